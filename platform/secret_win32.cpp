// Stored secrets through the data protection API, in the machine's scope: the
// service's account and the desktop user both run the program on the same
// files, and both must read what either saved.
#include "platform.h"

#include <windows.h>
#include <dpapi.h>

#include <cstring>

bool SecretProtectionAvailable() { return true; }

size_t ProtectSecret(const char* clear, unsigned char* out, size_t outSize) {
    size_t len = strlen(clear);
    if (len > 0xFFFF) return 0;  // far beyond any password; keeps the DWORD honest
    // The call only reads the clear text; the blob type has no const.
    DATA_BLOB in = {(DWORD)len, reinterpret_cast<BYTE*>(const_cast<char*>(clear))};
    DATA_BLOB blob = {0, nullptr};
    if (!CryptProtectData(&in, nullptr, nullptr, nullptr, nullptr,
                          CRYPTPROTECT_LOCAL_MACHINE | CRYPTPROTECT_UI_FORBIDDEN, &blob))
        return 0;
    size_t written = 0;
    if (blob.cbData > 0 && blob.cbData <= outSize) {
        memcpy(out, blob.pbData, blob.cbData);
        written = blob.cbData;
    }
    LocalFree(blob.pbData);
    return written;
}

bool UnprotectSecret(const unsigned char* data, size_t len, char* clear, size_t clearSize) {
    if (clearSize > 0) clear[0] = 0;
    if (len == 0 || len > 0xFFFFFF || clearSize == 0) return false;
    DATA_BLOB in = {(DWORD)len, const_cast<BYTE*>(data)};
    DATA_BLOB plain = {0, nullptr};
    if (!CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                            &plain))
        return false;
    // A text with a NUL inside could not come back whole through a C string:
    // refused like one that does not fit.
    bool ok = plain.cbData < clearSize && !memchr(plain.pbData, 0, plain.cbData);
    if (ok) {
        memcpy(clear, plain.pbData, plain.cbData);
        clear[plain.cbData] = 0;
    }
    SecureZeroMemory(plain.pbData, plain.cbData);
    LocalFree(plain.pbData);
    return ok;
}
