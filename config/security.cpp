// A domain's optional security keys: Security<n>, AuthUser<n>,
// AuthPassword<n>, TlsFingerprint<n>, SenderAddress<n> and RewriteFrom<n> in
// the domain section; and the pieces the writer needs to read a stored
// password back (base64, the "dpapi:" form).
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "config.h"
#include "keys.h"
#include "log/log.h"
#include "platform/platform.h"

namespace {

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char kProtectedPrefix[] = "dpapi:";
// A protected password is the system's blob around the text: well under
// this many bytes for a 255-character password.
constexpr size_t kProtectedMax = 2048;

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

const char* SecurityName(int security) {
    return security == kSecurityTls ? "tls" : security == kSecurityStartTls ? "starttls" : "none";
}

// Reads one key of the domain section into `out`; false when the value is
// longer than its row allows (refused, never cut: a cut password or user
// name would only fail at the server, far from its cause).
bool ReadKey(KeyId key, int n, char* out, size_t size) { return ReadDomainKey(key, n, out, size); }

bool Broken(int n, DomainEntry& d, KeyId after) {
    const KeyRule* rule = BrokenKeyRule(d, after);
    if (!rule) return false;
    ReportBrokenRule(*rule, n, d);
    ClearDomainSecurity(d);
    return true;
}

// atext of an addr-spec (RFC 5322) without the quoting forms: what the
// local part of a mailbox address can hold unquoted.
bool IsAtext(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return c && strchr("!#$%&'*+-/=?^_`{|}~", c) != nullptr;
}

// One or more runs of `ok` characters separated by single dots.
bool IsDotSeparated(const char* begin, const char* end, bool (*ok)(char)) {
    if (begin == end || *begin == '.' || end[-1] == '.') return false;
    for (const char* p = begin; p < end; p++) {
        if (*p == '.' ? p[1] == '.' : !ok(*p)) return false;
    }
    return true;
}

bool IsDomainChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

}  // namespace

bool IsPlausibleSenderAddress(const char* text) {
    size_t len = strlen(text);
    const char* at = strchr(text, '@');
    if (len > kSenderAddressMax || !at || strchr(at + 1, '@')) return false;
    const char* end = text + len;
    if (!IsDotSeparated(text, at, IsAtext)) return false;
    const char* domain = at + 1;
    // An address literal ("[192.0.2.1]") or a dotted name.
    if (*domain == '[') {
        if (end - domain < 3 || end[-1] != ']') return false;
        for (const char* p = domain + 1; p < end - 1; p++)
            if (!IsDomainChar(*p) && *p != '.' && *p != ':') return false;
        return true;
    }
    return IsDotSeparated(domain, end, IsDomainChar);
}

bool Base64Encode(const void* data, size_t len, char* out, size_t outSize) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    size_t need = (len + 2) / 3 * 4 + 1;
    if (outSize < need) {
        if (outSize) out[0] = 0;
        return false;
    }
    size_t o = 0;
    for (size_t i = 0; i < len; i += 3) {
        unsigned v = (unsigned)p[i] << 16;
        if (i + 1 < len) v |= (unsigned)p[i + 1] << 8;
        if (i + 2 < len) v |= p[i + 2];
        out[o++] = kBase64[(v >> 18) & 63];
        out[o++] = kBase64[(v >> 12) & 63];
        out[o++] = i + 1 < len ? kBase64[(v >> 6) & 63] : '=';
        out[o++] = i + 2 < len ? kBase64[v & 63] : '=';
    }
    out[o] = 0;
    return true;
}

bool Base64Decode(const char* text, unsigned char* out, size_t outSize, size_t* outLen) {
    size_t len = strlen(text);
    if (len % 4 != 0) return false;
    size_t o = 0;
    for (size_t i = 0; i < len; i += 4) {
        int v[4];
        int pad = 0;
        for (int k = 0; k < 4; k++) {
            char c = text[i + k];
            // Padding only at the very end, and at most two.
            if (c == '=' && i + 4 == len && k >= 2) {
                v[k] = 0;
                pad++;
                continue;
            }
            if (pad) return false;
            v[k] = Base64Value(c);
            if (v[k] < 0) return false;
        }
        unsigned bits = (unsigned)(v[0] << 18 | v[1] << 12 | v[2] << 6 | v[3]);
        unsigned char bytes[3] = {(unsigned char)(bits >> 16), (unsigned char)(bits >> 8), (unsigned char)bits};
        for (int k = 0; k < 3 - pad; k++) {
            if (o >= outSize) return false;
            out[o++] = bytes[k];
        }
    }
    *outLen = o;
    return true;
}

bool ParseTlsFingerprint(const char* text, unsigned char* pin) {
    size_t digits = 0;
    unsigned char bytes[kSha256Size];
    for (const char* p = text; *p; p++) {
        if (*p == ':') continue;
        int v = HexValue(*p);
        if (v < 0 || digits >= 2 * kSha256Size) return false;
        if (digits % 2 == 0) bytes[digits / 2] = (unsigned char)(v << 4);
        else bytes[digits / 2] |= (unsigned char)v;
        digits++;
    }
    if (digits != 2 * kSha256Size) return false;
    memcpy(pin, bytes, kSha256Size);
    return true;
}

bool ReadStoredPassword(const char* stored, char* clear, size_t clearSize) {
    size_t prefix = sizeof kProtectedPrefix - 1;
    if (strncasecmp(stored, kProtectedPrefix, prefix) != 0) {
        int w = snprintf(clear, clearSize, "%s", stored);
        return w >= 0 && (size_t)w < clearSize;
    }
    unsigned char blob[kProtectedMax];
    size_t n = 0;
    bool ok = Base64Decode(stored + prefix, blob, sizeof blob, &n) && n > 0 &&
              UnprotectSecret(blob, n, clear, clearSize);
    memset(blob, 0, sizeof blob);
    if (!ok && clearSize) clear[0] = 0;
    return ok;
}

void ClearDomainSecurity(DomainEntry& d) {
    d.security = kSecurityNone;
    memset(d.authUser, 0, sizeof d.authUser);
    memset(d.authPassword, 0, sizeof d.authPassword);
    d.hasPin = 0;
    memset(d.tlsPin, 0, sizeof d.tlsPin);
    memset(d.senderAddress, 0, sizeof d.senderAddress);
    d.rewriteFrom = 0;
    memset(&d.oauth, 0, sizeof d.oauth);
}

// A refused value drops the whole domain, as a missing SMTPServer<n> does,
// and the rest of the file still loads: relaying that domain's mail without
// the TLS or the login it asks for, or with a cut password, would be worse
// than not relaying it until the file is fixed.
bool LoadDomainSecurity(int n, DomainEntry& d) {
    ClearDomainSecurity(d);
    char value[kProtectedMax * 2];
    if (!ReadKey(kKeySecurity, n, value, sizeof value) || (value[0] && strcasecmp(value, "none") != 0 &&
                                               strcasecmp(value, "starttls") != 0 && strcasecmp(value, "tls") != 0)) {
        LogBoth("Config error: invalid Security%d for Domain%d (%s): none, starttls or tls expected\r\n", n, n,
                d.name);
        return false;
    }
    if (strcasecmp(value, "starttls") == 0) d.security = kSecurityStartTls;
    else if (strcasecmp(value, "tls") == 0) d.security = kSecurityTls;

    if (!ReadKey(kKeyTlsFingerprint, n, value, sizeof value) || (value[0] && !ParseTlsFingerprint(value, d.tlsPin))) {
        LogBoth("Config error: invalid TlsFingerprint%d for Domain%d (%s): 64 hex digits expected\r\n", n, n,
                d.name);
        ClearDomainSecurity(d);
        return false;
    }
    d.hasPin = value[0] != 0;
    if (Broken(n, d, kKeyTlsFingerprint)) return false;

    if (!ReadKey(kKeyAuthUser, n, d.authUser, sizeof d.authUser)) {
        LogBoth("Config error: AuthUser%d for Domain%d (%s) too long (at most %d characters)\r\n", n, n, d.name,
                (int)kAuthTextMax);
        ClearDomainSecurity(d);
        return false;
    }
    if (Broken(n, d, kKeyAuthUser)) return false;
    // The value buffer holds more than any password the table keeps, so an
    // overlong one shows as not fitting below instead of being cut here.
    ReadKey(kKeyAuthPassword, n, value, sizeof value);
    bool ok = ReadStoredPassword(value, d.authPassword, sizeof d.authPassword);
    bool isProtected = strncasecmp(value, kProtectedPrefix, sizeof kProtectedPrefix - 1) == 0;
    memset(value, 0, sizeof value);
    if (!ok) {
        if (isProtected)
            LogBoth("Config error: AuthPassword%d for Domain%d (%s) cannot be read here: a protected password "
                    "can only be read on the Windows machine that wrote it\r\n",
                    n, n, d.name);
        else
            LogBoth("Config error: AuthPassword%d for Domain%d (%s) too long (at most %d characters)\r\n", n, n,
                    d.name, (int)kAuthTextMax);
        ClearDomainSecurity(d);
        return false;
    }

    // The address goes into MAIL FROM (and, rewritten, into the From line)
    // as it stands: anything that would not be one plain address there is
    // refused here rather than sent. The value is not echoed, since it may
    // hold the very characters that make it unfit for a log line.
    if (!ReadKey(kKeySenderAddress, n, d.senderAddress, sizeof d.senderAddress) ||
        (d.senderAddress[0] && !IsPlausibleSenderAddress(d.senderAddress))) {
        LogBoth("Config error: invalid SenderAddress%d for Domain%d (%s): one address like "
                "user@example.org expected (at most %d characters, no blanks, quotes, <> or control "
                "characters)\r\n",
                n, n, d.name, (int)kSenderAddressMax);
        ClearDomainSecurity(d);
        return false;
    }
    if (!ReadKey(kKeyRewriteFrom, n, value, sizeof value) || (value[0] && strcmp(value, "0") != 0 && strcmp(value, "1") != 0)) {
        LogBoth("Config error: invalid RewriteFrom%d for Domain%d (%s): 0 or 1 expected\r\n", n, n, d.name);
        ClearDomainSecurity(d);
        return false;
    }
    d.rewriteFrom = strcmp(value, "1") == 0;
    if (Broken(n, d, kKeyRewriteFrom)) return false;
    if (!LoadDomainOAuth(n, d)) {
        ClearDomainSecurity(d);
        return false;
    }
    return true;
}

void ReportDomainSecurity(int row, const DomainEntry& d) {
    if (d.security != kSecurityNone) LogBoth("Domain[%d] security: %s.\r\n", row, SecurityName(d.security));
    if (d.hasPin) {
        char hex[2 * kSha256Size + 1];
        for (size_t i = 0; i < kSha256Size; i++) snprintf(hex + 2 * i, 3, "%02X", d.tlsPin[i]);
        LogBoth("Domain[%d] TLS fingerprint: %s.\r\n", row, hex);
    }
    // The password is never shown, only whether there is one.
    if (d.authUser[0] && d.oauth.method == kAuthOAuth2) LogBoth("Domain[%d] login: '%s' (OAuth 2.0).\r\n", row, d.authUser);
    else if (d.authUser[0])
        LogBoth("Domain[%d] login: '%s' (password %s).\r\n", row, d.authUser, d.authPassword[0] ? "set" : "empty");
    if (d.senderAddress[0])
        LogBoth("Domain[%d] sender: '%s'%s.\r\n", row, d.senderAddress,
                d.rewriteFrom ? " (From rewritten to it)" : "");
    ReportDomainOAuth(row, d);
}
