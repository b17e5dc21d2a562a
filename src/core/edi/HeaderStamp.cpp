#include "edi/HeaderStamp.h"

#include "app/AppState.h"
#include "edi/Classify.h"
#include "logging/Logs.h"
#include "util/BusyFiles.h"
#include "util/Fs.h"
#include "util/Text.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kv {

namespace {

class FileReader {
public:
    explicit FileReader(const std::string& path) : path_(path), buf_(64 * 1024) {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
        if (fd_ < 0) {
            int err = errno;
            throw FileError("Cannot open file " + path + ": " + ErrnoText(err));
        }
        if (::fstat(fd_, &opened_) != 0) {
            int err = errno;
            ::close(fd_);
            throw FileError("Cannot read file " + path + ": " + ErrnoText(err));
        }
    }
    ~FileReader() { ::close(fd_); }
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    // The next piece of the file; empty at its end.
    std::string_view Next() {
        for (;;) {
            ssize_t n = ::pread(fd_, buf_.data(), buf_.size(), offset_);
            if (n >= 0) {
                offset_ += n;
                return {buf_.data(), static_cast<size_t>(n)};
            }
            int err = errno;
            if (err != EINTR)
                throw FileError("Cannot read file " + path_ + ": " + ErrnoText(err));
        }
    }
    void Rewind() { offset_ = 0; }

    // Just before the rewrite takes the file's name: a file that changed
    // since it was opened, or that a program still holds open for writing,
    // would lose what that program writes next (it writes to the file the
    // rewrite replaces), so the rewrite is given up and the file waits.
    void ExpectUnchanged() const {
        struct stat now {};
        struct stat named {};
        const bool same = ::fstat(fd_, &now) == 0 && now.st_size == opened_.st_size &&
                          now.st_mtim.tv_sec == opened_.st_mtim.tv_sec &&
                          now.st_mtim.tv_nsec == opened_.st_mtim.tv_nsec &&
                          now.st_ctim.tv_sec == opened_.st_ctim.tv_sec &&
                          now.st_ctim.tv_nsec == opened_.st_ctim.tv_nsec &&
                          ::lstat(path_.c_str(), &named) == 0 && named.st_dev == now.st_dev &&
                          named.st_ino == now.st_ino;
        if (!same || BusyFiles::HeldForWriting(now.st_dev, now.st_ino))
            throw FileStillWrittenError("The file " + path_ +
                                        " changed or is still being written; it was not "
                                        "rewritten and waits for a later cycle");
    }

private:
    std::string path_;
    std::vector<char> buf_;
    int fd_ = -1;
    off_t offset_ = 0;
    struct stat opened_ {};
};

bool IsBreak(char c) {
    return c == '\r' || c == '\n';
}

// The first n characters of the first line (fewer when it is shorter).
std::string FirstLineStart(FileReader& in, size_t n) {
    std::string start;
    for (std::string_view piece; start.size() < n && !(piece = in.Next()).empty();) {
        auto stop = std::find_if(piece.begin(), piece.end(), IsBreak);
        start.append(piece.begin(), stop);
        if (stop != piece.end())
            break;
    }
    in.Rewind();
    return start.substr(0, n);
}

// Splits the file into lines at CR LF, CR or LF: runs of a line's characters go
// to sink.Text, the end of each line (also of a last line without a break) to
// sink.End. Nothing of a line is held here, whatever its length.
template <class Sink> void ForEachLine(FileReader& in, Sink& sink) {
    bool open = false;      // characters of an unfinished line were passed on
    bool crPending = false; // the last piece ended in CR: an LF first in the next belongs to it
    for (std::string_view piece; !(piece = in.Next()).empty();) {
        const char* p = piece.data();
        const char* end = p + piece.size();
        if (crPending && *p == '\n')
            ++p;
        crPending = false;
        while (p < end) {
            const char* q = std::find_if(p, end, IsBreak);
            if (q > p) {
                sink.Text(p, static_cast<size_t>(q - p));
                open = true;
            }
            if (q == end)
                break;
            sink.End();
            open = false;
            if (*q == '\r') {
                if (q + 1 == end)
                    crPending = true;
                else if (q[1] == '\n')
                    ++q;
            }
            p = q + 1;
        }
    }
    if (open)
        sink.End();
}

std::string StampTime(std::time_t t) {
    std::tm tm{};
    ::localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y%m%d%H%M", &tm);
    return buf;
}

// Puts value in place of the ':'-separated field `index` (from 0) of line; a
// last field keeps the "'" that ends the segment. The line has the field.
void SetField(std::string& line, size_t index, const std::string& value) {
    size_t start = 0;
    for (size_t i = 0; i < index; ++i)
        start = line.find(':', start) + 1;
    size_t end = line.find(':', start);
    if (end == std::string::npos) {
        end = line.size();
        if (end > start && line[end - 1] == '\'')
            --end;
    }
    line.replace(start, end - start, value);
}

} // namespace

void AddCnc102Header(AppState& state, const std::string& path) {
    FileReader in(path);
    std::string start = FirstLineStart(in, 2);
    if (start == "00" || start == "UN")
        return;

    AtomicFileWriter out(path);
    out.Write("00:CNC102:CNC102:9:" + state.settings.FileSender +
              ":CUSTOM:" + StampTime(state.Now()) + ":CNNGB'\r\n");
    struct Sink {
        AtomicFileWriter& out;
        int64_t lines = 0;
        bool text = false;
        void Text(const char* p, size_t n) {
            out.Write(p, n);
            text = true;
        }
        void End() {
            if (text) { // empty lines are dropped
                out.Write("\r\n", 2);
                ++lines;
            }
            text = false;
        }
    } sink{out};
    ForEachLine(in, sink);
    out.Write("99:" + IntToStr(sink.lines + 2) + "'\r\n");
    in.ExpectUnchanged();
    out.Commit();
    ReportInfo(state, "File->" + PrintableName(path) + " Add File Head Successfully!");
}

bool SetFlatHeaderParties(AppState& state, const std::string& path) {
    FileReader in(path);
    if (FirstLineStart(in, 3) != "00:")
        return false;

    AtomicFileWriter out(path);
    struct Sink {
        AtomicFileWriter& out;
        const std::string& path;
        const std::string& sender;
        std::string header = {};
        bool first = true;
        void Text(const char* p, size_t n) {
            if (first)
                header.append(p, n);
            else
                out.Write(p, n);
        }
        void End() {
            if (first) {
                std::vector<std::string> fields;
                SplitFields(header, ':', fields);
                if (fields.size() < 6)
                    throw HeaderFieldsError(
                        "The header of " + path +
                        " has fewer than six ':' fields, so its sender and receiver cannot be "
                        "set; the file was left as it was. Correct its first line.");
                // By position: an empty field, or a value that also appears
                // earlier in the line, must not move the edit elsewhere.
                SetField(header, 4, sender);
                SetField(header, 5, "TOLMA");
                out.Write(header);
                first = false;
            }
            out.Write("\r\n", 2);
        }
    } sink{out, path, state.settings.FileSender};
    ForEachLine(in, sink);
    in.ExpectUnchanged();
    out.Commit();
    return true;
}

bool UnwrapEdifact(const std::string& path) {
    FileReader in(path);
    std::string start = FirstLineStart(in, 3);
    if (start != "UNA" && start != "UNB")
        return false;
    // Already one line: the file stays as it is (no rewrite, no flush).
    bool hasBreak = false;
    for (std::string_view piece; !hasBreak && !(piece = in.Next()).empty();)
        hasBreak = std::find_if(piece.begin(), piece.end(), IsBreak) != piece.end();
    in.Rewind();
    if (!hasBreak)
        return false;

    AtomicFileWriter out(path);
    struct Sink {
        AtomicFileWriter& out;
        void Text(const char* p, size_t n) { out.Write(p, n); }
        void End() {}
    } sink{out};
    ForEachLine(in, sink);
    in.ExpectUnchanged();
    out.Commit();
    return true;
}

} // namespace kv
