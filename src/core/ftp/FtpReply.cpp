#include "ftp/FtpReply.h"

#include "remote/RemoteErrors.h"
#include "util/Text.h"

#include <ctime>

namespace kv::ftp {

size_t ReplyReader::Consume(std::string_view data) {
    size_t pos = 0;
    while (!done_) {
        size_t eol = data.find('\n', pos);
        if (eol == std::string_view::npos) {
            if (data.size() - pos > kMaxReplyLineBytes)
                throw FtpLimitError("The FTP server sent a reply line longer than " +
                                    std::to_string(kMaxReplyLineBytes) +
                                    " bytes; the connection was closed. Check the server.");
            break;
        }
        std::string_view raw = data.substr(pos, eol - pos);
        pos = eol + 1;
        if (!raw.empty() && raw.back() == '\r')
            raw.remove_suffix(1);
        if (raw.size() > kMaxReplyLineBytes)
            throw FtpLimitError("The FTP server sent a reply line longer than " +
                                std::to_string(kMaxReplyLineBytes) +
                                " bytes; the connection was closed. Check the server.");
        std::string line = Trim(raw);
        if (line.empty())
            continue;
        // RFC 959 lets intermediary lines start with blanks: only an unpadded
        // line can end the reply.
        const bool closes = multi_ && raw.size() >= 4 && EqualsNoCase(raw.substr(0, 4), closing_);
        if (lines_.size() >= kMaxReplyLines)
            throw FtpLimitError("The FTP server sent a reply of more than " +
                                std::to_string(kMaxReplyLines) +
                                " lines; the connection was closed. Check the server.");
        lines_.push_back(std::move(line));
        const std::string& l = lines_.back();
        if (lines_.size() == 1) {
            if (l.size() > 3 && l[3] == '-') {
                multi_ = true;
                closing_ = l.substr(0, 3) + " ";
            } else {
                done_ = true;
            }
        } else if (closes) {
            done_ = true;
        }
    }
    return pos;
}

int ReplyReader::Code() const {
    if (!done_ || lines_.empty())
        return 0;
    return ReplyCode(lines_.back());
}

void ReplyReader::Reset() {
    lines_.clear();
    closing_.clear();
    multi_ = false;
    done_ = false;
}

int ReplyCode(std::string_view line) {
    if (StartsWith(line, "+OK"))
        return 1;
    if (StartsWith(line, "-ERR"))
        return 0;
    auto v = TryStrToInt64(line.substr(0, 3));
    return v ? static_cast<int>(*v) : 0;
}

PasvTarget ParsePasvReply(std::string_view lineIn) {
    std::string line = Trim(lineIn);
    std::string_view text = line;
    size_t open = text.find('('), close = text.find(')');
    if (open != std::string_view::npos && close != std::string_view::npos) {
        text = close > open ? text.substr(open + 1, close - open - 1) : std::string_view();
    } else {
        size_t blank = text.rfind(' ');
        if (blank != std::string_view::npos)
            text = text.substr(blank + 1);
        // "227 =10,0,0,5,4,1": the numbers start at the first digit.
        size_t digit = text.find_first_of("0123456789");
        text = digit == std::string_view::npos ? std::string_view() : text.substr(digit);
    }
    std::vector<std::string> fields;
    size_t pos = 0;
    while (fields.size() < 6) {
        size_t comma = text.find(',', pos);
        if (comma == std::string_view::npos) {
            fields.push_back(Trim(text.substr(std::min(pos, text.size()))));
            pos = text.size() + 1;
        } else {
            fields.push_back(Trim(text.substr(pos, comma - pos)));
            pos = comma + 1;
        }
    }
    PasvTarget t;
    t.Address = fields[0] + "." + fields[1] + "." + fields[2] + "." + fields[3];
    int hi = StrToInt(fields[4]);
    int lo = StrToInt(fields[5]);
    if (hi < 0 || hi > 255 || lo < 0 || lo > 255 || (hi == 0 && lo == 0))
        throw FtpError("The FTP server's passive-mode reply names no usable port: " + line);
    t.Port = hi * 256 + lo;
    return t;
}

int ParseEpsvReply(std::string_view lineIn) {
    const std::string line = Trim(lineIn);
    const size_t open = line.find('('),
                 close = line.find(')', open == std::string::npos ? 0 : open);
    std::string_view inner;
    if (open != std::string::npos && close != std::string::npos)
        inner = std::string_view(line).substr(open + 1, close - open - 1);
    // d d d port d
    if (inner.size() >= 5 && inner[1] == inner[0] && inner[2] == inner[0] &&
        inner.back() == inner[0]) {
        auto port = TryStrToInt64(inner.substr(3, inner.size() - 4));
        if (port && *port >= 1 && *port <= 65535)
            return static_cast<int>(*port);
    }
    throw FtpError("The FTP server's extended passive-mode reply names no usable port: " + line);
}

int64_t ParseSizeReply(const std::vector<std::string>& lines) {
    std::string text;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i > 0)
            text += "\r\n";
        text += lines[i];
    }
    text = Trim(text);
    size_t blank = text.find(' ');
    std::string rest = blank == std::string::npos ? std::string() : text.substr(blank + 1);
    auto v = TryStrToInt64(rest);
    if (!v || *v < 0)
        return -1;
    return *v;
}

std::string ParseMdtmReply(const std::vector<std::string>& lines) {
    if (lines.empty())
        return "";
    const std::string line = Trim(lines.back());
    const size_t blank = line.find(' ');
    const std::string time = blank == std::string::npos ? "" : Trim(line.substr(blank + 1));
    if (time.size() < 14 || time.find_first_not_of("0123456789.") != std::string::npos)
        return "";
    return time;
}

std::string ParsePwdReply(std::string_view line) {
    size_t first = line.find('"');
    if (first == std::string_view::npos)
        return "";
    std::string_view rest = line.substr(first + 1);
    return std::string(rest.substr(0, rest.find('"')));
}

std::vector<std::string> SplitListing(std::string_view text, size_t maxLines) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t e = text.find('\n', pos);
        std::string_view line = text.substr(pos, e == std::string_view::npos ? e : e - pos);
        pos = e == std::string_view::npos ? text.size() : e + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty())
            continue;
        if (lines.size() >= maxLines)
            throw FtpLimitError("The listing sent by the FTP server has more than " +
                                std::to_string(maxLines) +
                                " lines; it was refused. Check the remote folder.");
        lines.emplace_back(line);
    }
    return lines;
}

std::string TraceLine(std::string_view stamp, std::string_view text) {
    std::string out;
    out.reserve(stamp.size() + 2 + text.size() + 16);
    out.append(stamp);
    out.append(": ");
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            out.append("<EOL>");
            ++i;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::string TraceStamp() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char buf[128];
    size_t n = std::strftime(buf, sizeof buf, "%x %X", &tm);
    return std::string(buf, n);
}

} // namespace kv::ftp
