// Arbitrary INI files through our profile reader: strings cut to the
// buffer, integers, and a write followed by a read of the same key; and the
// input as a SenderAddress value, which must never pass with anything that
// would break the MAIL FROM line it goes into.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "config/config.h"
#include "platform/platform.h"

namespace {
std::string iniPath;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    iniPath = (std::filesystem::temp_directory_path() / ("ambrel-fuzz-" + std::to_string(getpid()) + ".ini")).string();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* f = fopen(iniPath.c_str(), "wb");
    if (!f) return 0;
    fwrite(data, 1, size, f);
    fclose(f);
    const char* keys[][2] = {{"Ambrel", "LoopDelay"}, {"Ambrel", "UserFolder"}, {"Domains", "Domain1"},
                             {"MailBoxes", "Mailbox1"}, {"", ""}, {"a", "b"}};
    for (const auto& k : keys) {
        char out[16];
        memset(out, 'x', sizeof out);
        size_t n = ProfileGetString(k[0], k[1], "default", out, 8, iniPath.c_str());
        // Cut to size - 1 with its terminator, never past the buffer given.
        if (n > 7 || out[n] != 0 || out[8] != 'x') __builtin_trap();
        ProfileGetInt(k[0], k[1], -1, iniPath.c_str());
    }
    // A NUL byte cuts a line short for the reader but not for the writer's
    // copy of the line; a text INI file never holds one, so the round trip is
    // only asked of files without.
    bool text = memchr(data, 0, size) == nullptr;
    if (ProfileWriteString("Ambrel", "LogName", "fuzz.log", iniPath.c_str()) && text) {
        char back[64];
        ProfileGetString("Ambrel", "LogName", "", back, sizeof back, iniPath.c_str());
        if (strcmp(back, "fuzz.log") != 0) __builtin_trap();
    }
    std::string address(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
    if (IsPlausibleSenderAddress(address.c_str())) {
        size_t at = address.find('@');
        if (address.size() > kSenderAddressMax || at == 0 || at == std::string::npos ||
            address.find('@', at + 1) != std::string::npos || at + 1 == address.size())
            __builtin_trap();
        for (unsigned char c : address)
            if (c <= ' ' || c >= 0x7f || c == '<' || c == '>' || c == '"' || c == '\\') __builtin_trap();
    }
    return 0;
}
