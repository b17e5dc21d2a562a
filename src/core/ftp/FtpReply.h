#pragma once
// What an FTP server says on the control connection, parsed without any I/O:
// assembling one reply from received bytes, its code, and the answers to PASV,
// SIZE and PWD. The session feeds these; the fuzz target and the unit tests
// drive them directly.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kv::ftp {

// Limits against a broken or hostile server.
inline constexpr size_t kMaxReplyLineBytes = 64 * 1024;
inline constexpr size_t kMaxReplyLines = 1000;
inline constexpr int64_t kMaxListingBytes = 256LL * 1024 * 1024;
// A listing line costs a string header on top of its bytes: bounding the
// number keeps a listing's memory within a small multiple of its size.
inline constexpr size_t kMaxListingLines = 1000000;

// Assembles one reply. Lines end at LF (a CR before it is dropped), are
// trimmed, and empty ones are skipped. A first line whose 4th character is '-'
// opens a multi-line reply that ends only at a line starting, unpadded, with
// the same three characters and a blank (letter case ignored); lines in
// between belong to the reply whatever they start with or however short.
class ReplyReader {
public:
    // Takes complete lines from the front of data until the reply is complete
    // or no complete line is left; returns the number of bytes taken. Throws
    // FtpLimitError for a line over kMaxReplyLineBytes (also while it is still
    // incomplete) or a reply of more than kMaxReplyLines lines.
    size_t Consume(std::string_view data);
    bool Done() const { return done_; }
    // The code of the last line (see ReplyCode); 0 until Done.
    int Code() const;
    const std::vector<std::string>& Lines() const { return lines_; }
    void Reset();

private:
    std::vector<std::string> lines_;
    std::string closing_;
    bool multi_ = false;
    bool done_ = false;
};

// The code of a reply's last line: 1 for "+OK", 0 for "-ERR", else the integer
// value of the first three characters, 0 when they are not a number.
int ReplyCode(std::string_view line);

// The target named by a PASV reply: the text between the first '(' and the
// first ')', or from the first digit after the last blank when there are no
// brackets; four address
// fields and the port's high and low byte, separated by ','. A port field that
// is not an integer throws ConversionError; a byte out of range or port 0
// throws FtpError naming the line.
struct PasvTarget {
    std::string Address;
    int Port = 0;
};
PasvTarget ParsePasvReply(std::string_view line);

// The port named by an EPSV reply (RFC 2428): "(|||port|)", any delimiter
// character. A reply of another form or a port outside 1 to 65535 throws
// FtpError naming the line.
int ParseEpsvReply(std::string_view line);

// The size in a 213 reply's text (lines joined by CR LF): the part after the
// first blank; -1 when it is not a non-negative integer.
int64_t ParseSizeReply(const std::vector<std::string>& lines);

// The time in a 213 reply to MDTM (RFC 3659: "YYYYMMDDHHMMSS", possibly with
// a fraction): the part after the first blank of the last line; empty when it
// is not such a time.
std::string ParseMdtmReply(const std::vector<std::string>& lines);

// The folder in a 257 reply line: the text between the first double quote and
// the next one (or the line's end); empty when there is no double quote.
std::string ParsePwdReply(std::string_view line);

// A listing split into lines at LF (a CR before it is dropped; a CR elsewhere
// belongs to its line). Empty lines are dropped; more than maxLines lines
// throw FtpLimitError.
std::vector<std::string> SplitListing(std::string_view text, size_t maxLines = kMaxListingLines);

// A trace line: the stamp, ": " and the text with every CR LF shown as "<EOL>".
std::string TraceLine(std::string_view stamp, std::string_view text);

// The current local date and time as the locale writes them ("%x %X").
std::string TraceStamp();

} // namespace kv::ftp
