// The one-pass scanner against the literal reading of the rules. The first
// input byte chooses the read size and the parts asked for; the rest is the
// file, held in an anonymous memory file so that both read it from a path.
#include "edi/Classify.h"
#include "edi/ClassifyReference.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

int MemoryFile() {
    static int fd = ::memfd_create("classify-fuzz", MFD_CLOEXEC);
    if (fd < 0)
        __builtin_trap();
    return fd;
}

void Check(bool same) {
    if (!same)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const uint8_t control = data[0];
    const std::string content(reinterpret_cast<const char*>(data) + 1, size - 1);

    int fd = MemoryFile();
    if (::ftruncate(fd, 0) != 0 ||
        ::pwrite(fd, content.data(), content.size(), 0) != static_cast<ssize_t>(content.size()))
        __builtin_trap();
    const std::string path = "/proc/self/fd/" + std::to_string(fd);

    static const size_t kSizes[] = {1, 2, 3, 4, 5, 7, 11, 16, 64, 100, 101, 4096};
    const size_t readSize = kSizes[control % std::size(kSizes)];
    const unsigned parts = (control >> 4) % 8;

    kv::ContentTexts fast = kv::ScanContent(fd, path, parts, readSize);
    if (parts & kv::kSenderPart)
        Check(fast.sender == kvref::FindSender(path));
    if (parts & kv::kReceiverPart)
        Check(fast.receiver == kvref::FindReceiver(path));
    if (parts & kv::kTypePart)
        Check(fast.type == kvref::FindMessageType(path));

    // The name rules, on the content's start taken as a name.
    std::string name = content.substr(0, content.find('\n')).substr(0, 64);
    kv::Classification byName;
    kvref::Result refName;
    bool incoming = control & 8;
    bool matched = kv::ClassifyByName(
        name, incoming ? kv::Direction::Incoming : kv::Direction::Outgoing, byName);
    Check(matched == kvref::ClassifyByName(name, incoming, refName));
    if (matched)
        Check(byName.sender == refName.sender && byName.receiver == refName.receiver &&
              byName.type == refName.type);
    return 0;
}
