// HTTPS through libcurl (its OpenSSL build, so the trust is the same store
// the TLS channel uses), private files with mode 0600, the loopback
// listener on POSIX sockets.
#include "http.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <curl/curl.h>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <strings.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform.h"

namespace {

std::once_flag curlStarted;

size_t Collect(char* data, size_t size, size_t count, void* user) {
    std::string* body = static_cast<std::string*>(user);
    // An answer far larger than any token reply is not one.
    if (body->size() + size * count > 1 << 20) return 0;
    body->append(data, size * count);
    return size * count;
}

}  // namespace

bool HttpsPostForm(const char* url, const std::string& form, int timeoutMs, int* status, std::string* body,
                   char* err, size_t errSize) {
    std::call_once(curlStarted, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    *status = 0;
    body->clear();
    if (strncasecmp(url, "https://", 8) != 0) {
        snprintf(err, errSize, "not an https:// address");
        return false;
    }
    CURL* c = curl_easy_init();
    if (!c) {
        snprintf(err, errSize, "HTTP client not available");
        return false;
    }
    char curlError[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(c, CURLOPT_URL, url);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_SSLVERSION, (long)CURL_SSLVERSION_TLSv1_2);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    // The OpenSSL channel takes its trust from these two as well.
    if (const char* f = getenv("SSL_CERT_FILE")) curl_easy_setopt(c, CURLOPT_CAINFO, f);
    if (const char* d = getenv("SSL_CERT_DIR")) curl_easy_setopt(c, CURLOPT_CAPATH, d);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, (long)timeoutMs);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, (long)(timeoutMs < 30000 ? timeoutMs : 30000));
    curl_easy_setopt(c, CURLOPT_POST, 1L);
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, form.c_str());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, (long)form.size());
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, body);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, curlError);
    struct curl_slist* headers = curl_slist_append(nullptr, "Accept: application/json");
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
    CURLcode rc = curl_easy_perform(c);
    long code = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &code);
    curl_slist_free_all(headers);
    curl_easy_cleanup(c);
    if (rc != CURLE_OK) {
        snprintf(err, errSize, "%s", curlError[0] ? curlError : curl_easy_strerror(rc));
        return false;
    }
    *status = (int)code;
    return true;
}

int WritePrivateFileErrno(const char* path, const std::string& data) {
    std::string tmp = std::string(path) + ".new";
    unlink(tmp.c_str());
    // Created 0600 from the start: never readable by others, not even for
    // the moment before a chmod.
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return errno;
    const char* p = data.data();
    size_t left = data.size();
    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int e = n < 0 ? errno : EIO;
            close(fd);
            unlink(tmp.c_str());
            return e;
        }
        p += n;
        left -= (size_t)n;
    }
    if (close(fd) != 0) {
        int e = errno;
        unlink(tmp.c_str());
        return e;
    }
    int rc = ReplaceFileErrno(tmp.c_str(), path);
    if (rc != 0) unlink(tmp.c_str());
    return rc;
}

bool RandomBytes(unsigned char* out, size_t len) {
    while (len > 0) {
        ssize_t n = getrandom(out, len, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        out += n;
        len -= (size_t)n;
    }
    return true;
}

bool Sha256(const void* data, size_t len, unsigned char* out) {
    unsigned int n = 0;
    return EVP_Digest(data, len, out, &n, EVP_sha256(), nullptr) == 1 && n == 32;
}

bool OpenInBrowser(const char* url) {
    if (strncasecmp(url, "https://", 8) != 0) return false;
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, 1);
            dup2(null, 2);
        }
        execlp("xdg-open", "xdg-open", url, (char*)nullptr);
        _exit(127);
    }
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

struct LoopbackListener {
    int fd;
};

LoopbackListener* LoopbackListen(int* port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        close(fd);
        return nullptr;
    }
    *port = ntohs(a.sin_port);
    return new LoopbackListener{fd};
}

SockHandle LoopbackAccept(LoopbackListener* l, int timeoutMs) {
    pollfd p{l->fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return kNoSocket;
    int c = accept4(l->fd, nullptr, nullptr, SOCK_CLOEXEC);
    return c < 0 ? kNoSocket : (SockHandle)c;
}

void LoopbackClose(LoopbackListener* l) {
    if (!l) return;
    close(l->fd);
    delete l;
}
