// Feeds arbitrary server bytes to the reply reader (split at arbitrary points,
// as network reads split them), each reply line to the PASV, SIZE and PWD
// parsers, and each listing line to the LIST and MLSD parsers: no crash, no
// unbounded growth, only the session's own errors, the same reply whatever
// the split, and listing entries whose names are bytes of their line.
#include "ftp/FtpListingText.h"
#include "ftp/FtpReply.h"
#include "remote/RemoteErrors.h"
#include "util/Errors.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

struct Outcome {
    std::vector<std::vector<std::string>> replies;
    bool limit = false;
};

Outcome ReadReplies(const std::string& bytes, size_t step) {
    Outcome out;
    kv::ftp::ReplyReader reader;
    std::string buf;
    size_t pos = 0;
    try {
        while (pos < bytes.size() || !buf.empty()) {
            if (pos < bytes.size()) {
                buf.append(bytes, pos, step);
                pos += step;
            }
            size_t used = reader.Consume(buf);
            if (used > buf.size())
                __builtin_trap();
            buf.erase(0, used);
            if (reader.Done()) {
                if (reader.Lines().empty() || reader.Lines().size() > kv::ftp::kMaxReplyLines)
                    __builtin_trap();
                out.replies.push_back(reader.Lines());
                reader.Reset();
            } else if (pos >= bytes.size()) {
                break;
            }
            if (buf.size() > 2 * kv::ftp::kMaxReplyLineBytes + step)
                __builtin_trap();
        }
    } catch (const kv::FtpLimitError&) {
        out.limit = true;
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const size_t step = 1 + data[0] % 64;
    const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    Outcome a = ReadReplies(bytes, step);
    Outcome b = ReadReplies(bytes, bytes.size() + 1);
    if (a.limit != b.limit || (!a.limit && a.replies != b.replies))
        __builtin_trap();
    for (const auto& reply : a.replies) {
        for (const auto& line : reply) {
            (void)kv::ftp::ReplyCode(line);
            (void)kv::ftp::ParsePwdReply(line);
            try {
                kv::ftp::PasvTarget t = kv::ftp::ParsePasvReply(line);
                if (t.Port < 1 || t.Port > 65535)
                    __builtin_trap();
            } catch (const kv::KvError&) {
                // ConversionError or FtpError: the session reports it.
            }
            try {
                int port = kv::ftp::ParseEpsvReply(line);
                if (port < 1 || port > 65535)
                    __builtin_trap();
            } catch (const kv::FtpError&) {
            }
        }
        if (kv::ftp::ParseSizeReply(reply) < -1)
            __builtin_trap();
    }
    std::vector<std::string> lines;
    try {
        lines = kv::ftp::SplitListing(bytes);
    } catch (const kv::FtpLimitError&) {
        return 0;
    }
    for (const std::string& line : lines) {
        for (const kv::ftp::ListingLine& l :
             {kv::ftp::ParseListingLine(line), kv::ftp::ParseMlsdLine(line)}) {
            if (l.hasEntry && !l.recognised)
                __builtin_trap();
            if (l.entry.name.size() > line.size() || line.find(l.entry.name) == std::string::npos)
                __builtin_trap();
            if (l.entry.size < -1 || (!l.entry.time.empty() && l.entry.time.size() != 14))
                __builtin_trap();
        }
    }
    return 0;
}
