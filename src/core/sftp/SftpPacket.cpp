// SFTP version 3 packets: requests built field by field, answers read the
// same way (big-endian numbers, strings with their length in front).
#include "sftp/SftpPacket.h"

namespace kv::sftp {

Request::Request(uint8_t type, uint32_t id) : id_(id) {
    b_.assign(4, '\0'); // the length, set by Bytes()
    b_.push_back(static_cast<char>(type));
    if (type != kInit)
        U32(id);
}

Request& Request::U32(uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        b_.push_back(static_cast<char>((v >> shift) & 0xff));
    return *this;
}

Request& Request::U64(uint64_t v) {
    U32(static_cast<uint32_t>(v >> 32));
    return U32(static_cast<uint32_t>(v));
}

Request& Request::Str(std::string_view s) {
    U32(static_cast<uint32_t>(s.size()));
    b_.append(s);
    return *this;
}

Request& Request::Mode(uint32_t permissions) {
    if (permissions == 0)
        return U32(0);
    return U32(kAttrPermissions).U32(permissions);
}

std::string Request::Bytes() && {
    const uint32_t n = static_cast<uint32_t>(b_.size() - 4);
    for (int i = 0; i < 4; ++i)
        b_[static_cast<size_t>(i)] = static_cast<char>((n >> (24 - 8 * i)) & 0xff);
    return std::move(b_);
}

uint32_t PacketLength(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return (uint32_t{u[0]} << 24) | (uint32_t{u[1]} << 16) | (uint32_t{u[2]} << 8) | u[3];
}

bool Reader::Take(size_t n) {
    if (!ok_ || p_.size() < n) {
        ok_ = false;
        last_ = {};
        return false;
    }
    last_ = p_.substr(0, n);
    p_.remove_prefix(n);
    return true;
}

uint8_t Reader::U8() {
    return Take(1) ? static_cast<uint8_t>(last_[0]) : 0;
}

uint32_t Reader::U32() {
    return Take(4) ? PacketLength(last_.data()) : 0;
}

uint64_t Reader::U64() {
    const uint64_t high = U32();
    return (high << 32) | U32();
}

std::string_view Reader::View() {
    const uint32_t n = U32();
    return Take(n) ? last_ : std::string_view();
}

Attrs Reader::ReadAttrs() {
    Attrs a;
    a.flags = U32();
    if (a.flags & kAttrSize)
        a.size = U64();
    if (a.flags & kAttrUidGid) {
        a.uid = U32();
        a.gid = U32();
    }
    if (a.flags & kAttrPermissions)
        a.permissions = U32();
    if (a.flags & kAttrAcModTime) {
        a.atime = U32();
        a.mtime = U32();
    }
    if (a.flags & kAttrExtended) {
        const uint32_t count = U32();
        for (uint32_t i = 0; i < count && ok_; ++i) {
            View();
            View();
        }
    }
    return a;
}

} // namespace kv::sftp
