// SHA-256 of a downloaded upgrade file: the core's file digest, with a
// failure reported as the upgrade's own error.
#include "upgrade/Sha256.h"

#include "upgrade/InfoFile.h"
#include "util/Errors.h"
#include "util/Sha256.h"

namespace kv {

std::string Sha256OfFile(const std::string& path) {
    try {
        return FileSha256(path);
    } catch (const FileError& e) {
        throw UpgradeError(e.what());
    }
}

} // namespace kv
