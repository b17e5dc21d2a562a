#include "util/Sha256.h"

// The digest functions, not the EVP interface: EVP loads OpenSSL's provider
// machinery, 2 MiB of memory, for one digest this program makes of every
// received file. They stay in OpenSSL 3, marked deprecated.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "util/Errors.h"
#include "util/Fs.h"

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <openssl/sha.h>
#include <unistd.h>
#include <vector>

namespace kv {

std::string FileSha256(const std::string& path) {
    return FileSha256(path, {});
}

std::string FileSha256(const std::string& path, const std::function<bool()>& mayGrow) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw FileError("Cannot open file " + path + ": " + ErrnoText(errno));
    SHA256_CTX ctx;
    if (SHA256_Init(&ctx) != 1) {
        ::close(fd);
        throw FileError("Cannot hash file " + path + ": the SHA-256 digest is not available");
    }
    // Not zero-filled: most files hashed are a few KiB.
    constexpr size_t kBuffer = 1 << 18;
    std::unique_ptr<unsigned char[]> buf(new unsigned char[kBuffer]);
    for (;;) {
        // Asked before the read: once the writer is done, this read sees all.
        const bool more = mayGrow && mayGrow();
        ssize_t n = ::read(fd, buf.get(), kBuffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int e = errno;
            ::close(fd);
            throw FileError("Cannot read file " + path + ": " + ErrnoText(e));
        }
        if (n == 0 && !more)
            break;
        if (n == 0) {
            ::usleep(2000);
            continue;
        }
        SHA256_Update(&ctx, buf.get(), static_cast<size_t>(n));
    }
    ::close(fd);
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256_Final(digest, &ctx);
    const unsigned int length = SHA256_DIGEST_LENGTH;
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex.push_back(kHex[digest[i] >> 4]);
        hex.push_back(kHex[digest[i] & 15]);
    }
    return hex;
}

} // namespace kv
