// No system service protects secrets for every account of a POSIX machine:
// the console host keeps a password in its settings file in clear text, and
// that file's permissions are what protect it.
#include "platform.h"

size_t ProtectSecret(const char*, unsigned char*, size_t) { return 0; }

bool SecretProtectionAvailable() { return false; }

bool UnprotectSecret(const unsigned char*, size_t, char* clear, size_t clearSize) {
    if (clearSize > 0) clear[0] = 0;
    return false;
}
