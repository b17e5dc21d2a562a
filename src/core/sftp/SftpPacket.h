#pragma once
// SFTP version 3 packets: the numbers of the protocol (packet types, open
// flags, attribute flags, status codes, file types), requests built into the
// bytes that go on the channel, and a reader over the bytes of an answer.
// Pure: no connection here.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kv::sftp {

enum PacketType : uint8_t {
    kInit = 1,
    kVersion = 2,
    kOpen = 3,
    kClose = 4,
    kRead = 5,
    kWrite = 6,
    kLstat = 7,
    kFstat = 8,
    kOpendir = 11,
    kReaddir = 12,
    kRemove = 13,
    kRealpath = 16,
    kStat = 17,
    kRename = 18,
    kStatus = 101,
    kHandle = 102,
    kData = 103,
    kName = 104,
    kAttrs = 105,
    kExtended = 200,
    kExtendedReply = 201,
};

// Open flags.
constexpr uint32_t kFxfRead = 0x01, kFxfWrite = 0x02, kFxfAppend = 0x04, kFxfCreat = 0x08,
                   kFxfTrunc = 0x10, kFxfExcl = 0x20;
// Attribute flags.
constexpr uint32_t kAttrSize = 0x01, kAttrUidGid = 0x02, kAttrPermissions = 0x04,
                   kAttrAcModTime = 0x08, kAttrExtended = 0x80000000u;
// Status codes (1 to 8 are version 3's; servers send the later ones too).
enum Status : uint32_t {
    kOk = 0,
    kEof = 1,
    kNoSuchFile = 2,
    kPermissionDenied = 3,
    kFailure = 4,
    kBadMessage = 5,
    kNoConnection = 6,
    kConnectionLost = 7,
    kOpUnsupported = 8,
    kInvalidHandle = 9,
    kNoSuchPath = 10,
    kFileAlreadyExists = 11,
    kWriteProtect = 12,
    kNoMedia = 13,
    kNoSpaceOnFilesystem = 14,
    kQuotaExceeded = 15,
    kUnknownPrincipal = 16,
    kLockConflict = 17,
    kDirNotEmpty = 18,
    kNotADirectory = 19,
    kInvalidFilename = 20,
    kLinkLoop = 21,
};
// File types in the permissions (the POSIX values).
constexpr uint32_t kIfMt = 0170000, kIfSock = 0140000, kIfLnk = 0120000, kIfReg = 0100000,
                   kIfBlk = 0060000, kIfDir = 0040000, kIfChr = 0020000, kIfIfo = 0010000;

// A file's attributes; a field counts only when its flag is set.
struct Attrs {
    uint32_t flags = 0;
    uint64_t size = 0;
    uint32_t uid = 0, gid = 0, permissions = 0, atime = 0, mtime = 0;
    bool HasSize() const { return flags & kAttrSize; }
    bool HasType() const { return flags & kAttrPermissions; }
    bool HasTime() const { return flags & kAttrAcModTime; }
    bool IsDir() const { return HasType() && (permissions & kIfMt) == kIfDir; }
    bool IsRegular() const { return HasType() && (permissions & kIfMt) == kIfReg; }
};

// One request: type, id (none for INIT) and the fields added in order;
// Bytes() gives the packet with its length in front.
class Request {
public:
    Request(uint8_t type, uint32_t id);
    uint32_t Id() const { return id_; }
    Request& U32(uint32_t v);
    Request& U64(uint64_t v);
    Request& Str(std::string_view s);
    // Attributes holding only permissions (0: no attributes).
    Request& Mode(uint32_t permissions);
    std::string Bytes() &&;

private:
    uint32_t id_;
    std::string b_;
};

// Reads the fields of an answer; a field past the end reads as zero or empty
// and marks the answer malformed (Ok() false).
class Reader {
public:
    explicit Reader(std::string_view bytes) : p_(bytes) {}
    uint8_t U8();
    uint32_t U32();
    uint64_t U64();
    std::string_view View();
    std::string Str() { return std::string(View()); }
    Attrs ReadAttrs();
    bool Ok() const { return ok_; }
    bool AtEnd() const { return p_.empty(); }

private:
    bool Take(size_t n);
    std::string_view p_;
    std::string_view last_;
    bool ok_ = true;
};

// The length in front of a packet (the 4 bytes at p).
uint32_t PacketLength(const char* p);

} // namespace kv::sftp
