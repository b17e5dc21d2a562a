#include "util/Sha256.h"

#include "util/Errors.h"
#include "util/Fs.h"

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <openssl/evp.h>
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
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
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
        EVP_DigestUpdate(ctx.get(), buf.get(), static_cast<size_t>(n));
    }
    ::close(fd);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(ctx.get(), digest, &length);
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex.push_back(kHex[digest[i] >> 4]);
        hex.push_back(kHex[digest[i] & 15]);
    }
    return hex;
}

} // namespace kv
