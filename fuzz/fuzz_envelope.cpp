// Arbitrary message files through the envelope scan, and arbitrary header
// values through the address extraction. What comes out goes into command
// lines, so it must fit and hold no control character.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "config/config.h"
#include "relay/relay.h"
#include "fuzz/message_file.h"

namespace {
std::string filePath;

void CheckAddress(const char* a) {
    size_t n = strnlen(a, kAddressMax + 1);
    if (n > kAddressMax) __builtin_trap();
    for (size_t i = 0; i < n; i++)
        if ((unsigned char)a[i] < 0x20 || a[i] == 0x7f) __builtin_trap();
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ResetConfiguration();
    filePath = (std::filesystem::temp_directory_path() / ("ambrel-fuzz-" + std::to_string(getpid()) + ".CNM")).string();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The first byte picks the recipient header, as a configuration could.
    snprintf(relaySettings.XToHeader, sizeof relaySettings.XToHeader, "%s",
             size && (data[0] & 1) ? "X-Rcpt:" : "X-Envelope-To:");

    std::string value(reinterpret_cast<const char*>(data), size);
    char out[kAddressMax + 1] = "kept";
    ExtractAddress(out, value.c_str());
    CheckAddress(out);

    MsgFile* m = OpenInputAsMessage(filePath.c_str(), data, size);
    if (!m) return 0;
    char sender[kAddressMax + 1], recipient[kAddressMax + 1];
    bool found = ScanEnvelope(m, sender, recipient);
    CheckAddress(sender);
    CheckAddress(recipient);
    if (found != (recipient[0] != 0)) __builtin_trap();
    // Positioned back at the start: the first read gives the first bytes.
    char line[kLineRead];
    if (size && data[0] != '\r' && MsgReadLine(m, line, sizeof line) && line[0] != (char)data[0]) __builtin_trap();
    MsgClose(m);
    return 0;
}
