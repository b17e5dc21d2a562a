// SHA-256 of a file through libcrypto's digest interface, read in pieces.
#include "upgrade/Sha256.h"

#include "upgrade/InfoFile.h"
#include "util/Fs.h"

#include <openssl/evp.h>

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace kv {

std::string Sha256OfFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw UpgradeError("Cannot read " + path + ": " + ErrnoText(errno));
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    bool ok = ctx && EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) == 1;
    char buf[65536];
    int readErr = 0;
    while (ok) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            readErr = errno;
        if (n <= 0)
            break;
        ok = EVP_DigestUpdate(ctx.get(), buf, static_cast<size_t>(n)) == 1;
    }
    ::close(fd);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned mdLen = 0;
    if (readErr != 0)
        throw UpgradeError("Cannot read " + path + ": " + ErrnoText(readErr));
    if (!ok || EVP_DigestFinal_ex(ctx.get(), md, &mdLen) != 1)
        throw UpgradeError("Cannot compute the SHA-256 checksum of " + path);
    static const char* kHex = "0123456789abcdef";
    std::string hex;
    for (unsigned i = 0; i < mdLen; ++i) {
        hex += kHex[md[i] >> 4];
        hex += kHex[md[i] & 15];
    }
    return hex;
}

} // namespace kv
