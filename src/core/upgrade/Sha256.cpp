// SHA-256 of a downloaded upgrade file (the core's file digest, with a
// failure reported as the upgrade's own error) and of the information file.
#include "upgrade/Sha256.h"

// The one-shot digest function rather than EVP, as util/Sha256.cpp explains.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "upgrade/InfoFile.h"
#include "util/Errors.h"
#include "util/Sha256.h"

#include <openssl/sha.h>

namespace kv {

std::string Sha256OfFile(const std::string& path) {
    try {
        return FileSha256(path);
    } catch (const FileError& e) {
        throw UpgradeError(e.what());
    }
}

std::string Sha256OfText(std::string_view text) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char b : digest) {
        hex += kHex[b >> 4];
        hex += kHex[b & 15];
    }
    return hex;
}

} // namespace kv
