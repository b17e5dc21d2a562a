#include "engine/journal/TransferJournal.h"

#include "util/Errors.h"
#include "util/Fs.h"
#include "util/Text.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kv {

namespace {

// More entries than any mailbox keeps open; beyond it the oldest are dropped.
constexpr size_t kMaxOpenEntries = 10000;

const std::array<uint32_t, 256>& CrcTable() {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    return table;
}

// Tabs and line breaks separate fields and lines; control bytes and '%' are
// written as %XX so any name fits in one field.
std::string Escape(const std::string& value) {
    std::string out;
    for (unsigned char c : value) {
        if (c < 0x20 || c == '%' || c == 0x7f) {
            static const char hex[] = "0123456789ABCDEF";
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::string Unescape(const std::string& value) {
    std::string out;
    for (size_t i = 0; i < value.size(); ++i) {
        int hi, lo;
        if (value[i] == '%' && i + 2 < value.size() && (hi = HexDigit(value[i + 1])) >= 0 &&
            (lo = HexDigit(value[i + 2])) >= 0) {
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            out += value[i];
        }
    }
    return out;
}

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        parts.push_back(line.substr(start, tab == std::string::npos ? tab : tab - start));
        if (tab == std::string::npos)
            return parts;
        start = tab + 1;
    }
}

// A line of the journal's first format: "<64 hex> <size> <remote path>", a
// file delivered whose remote copy may still be on the server.
bool ParseFirstFormat(const std::string& line, std::map<std::string, std::string>& fields) {
    size_t a = line.find(' ');
    size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
    if (a != 64 || b == std::string::npos || !TryStrToInt64(line.substr(a + 1, b - a - 1)))
        return false;
    fields = {{"sha", line.substr(0, a)},
              {"size", line.substr(a + 1, b - a - 1)},
              {"remote", line.substr(b + 1)}};
    return true;
}

} // namespace

std::string Crc32Hex(const std::string& bytes) {
    uint32_t c = 0xFFFFFFFFu;
    for (unsigned char b : bytes)
        c = CrcTable()[(c ^ b) & 0xFF] ^ (c >> 8);
    c ^= 0xFFFFFFFFu;
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08x", c);
    return buf;
}

bool JournalEntry::OfMailbox(const std::string& key) const {
    const std::string& mailbox = Get(recv::Mailbox);
    return mailbox.empty() || mailbox == key;
}

EntryStep JournalEntry::Step() const {
    if (Has(mark::Closed))
        return EntryStep::Closed;
    if (Has(mark::Abandoned))
        return EntryStep::Abandoned;
    if (Has(mark::DeleteRefused))
        return EntryStep::DeleteRefused;
    if (Has(mark::Delivered))
        return EntryStep::Delivered;
    if (Has(mark::Renaming))
        return EntryStep::Renaming;
    if (Has(mark::Whole))
        return EntryStep::Uploaded;
    return EntryStep::Intended;
}

const std::string& JournalEntry::Get(const std::string& key) const {
    static const std::string none;
    auto it = fields.find(key);
    return it == fields.end() ? none : it->second;
}

int64_t JournalEntry::Number(const std::string& key) const {
    auto n = TryStrToInt64(Get(key));
    return n ? *n : -1;
}

TransferJournal::TransferJournal(std::string path) : path_(std::move(path)) {
    nextId_ = static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch() /
                                    std::chrono::microseconds(1));
    Load();
}

TransferJournal::~TransferJournal() {
    if (fd_ >= 0)
        ::close(fd_);
}

void TransferJournal::Load() {
    std::string text;
    try {
        text = ReadWholeFile(path_);
    } catch (const FileError&) {
        return; // none yet
    }
    size_t start = 0;
    size_t legacy = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            // Cut off by a crash: removed before anything is appended.
            goodSize_ = static_cast<int64_t>(start);
            break;
        }
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        ++lines_;
        std::map<std::string, std::string> first;
        if (ParseFirstFormat(line, first)) {
            JournalEntry e;
            e.id = "first." + std::to_string(++legacy);
            e.fields = std::move(first);
            e.marks = std::string(1, mark::Delivered);
            byId_[e.id] = entries_.size();
            entries_.push_back(std::move(e));
            continue;
        }
        size_t lastTab = line.rfind('\t');
        if (lastTab == std::string::npos ||
            Crc32Hex(line.substr(0, lastTab)) != line.substr(lastTab + 1))
            continue; // damaged
        Apply(SplitTabs(line.substr(0, lastTab)));
    }
}

void TransferJournal::Apply(const std::vector<std::string>& parts) {
    if (parts.size() < 2)
        return;
    const std::string& kind = parts[0];
    const std::string& id = parts[1];
    auto fieldsFrom = [&](size_t first, std::map<std::string, std::string>& into) {
        for (size_t i = first; i < parts.size(); ++i) {
            size_t eq = parts[i].find('=');
            if (eq != std::string::npos)
                into[parts[i].substr(0, eq)] = Unescape(parts[i].substr(eq + 1));
        }
    };
    if (kind == "I") {
        if (byId_.count(id))
            return;
        JournalEntry e;
        e.id = id;
        fieldsFrom(2, e.fields);
        byId_[id] = entries_.size();
        entries_.push_back(std::move(e));
    } else if (kind == "M" && parts.size() >= 3 && parts[2].size() == 1) {
        auto it = byId_.find(id);
        if (it == byId_.end())
            return;
        JournalEntry& e = entries_[it->second];
        fieldsFrom(3, e.fields);
        e.marks += parts[2];
    }
}

std::vector<JournalEntry*> TransferJournal::OpenEntries() {
    std::vector<JournalEntry*> open;
    for (JournalEntry& e : entries_)
        if (e.Open())
            open.push_back(&e);
    return open;
}

JournalEntry* TransferJournal::Find(const std::string& id) {
    auto it = byId_.find(id);
    return it == byId_.end() ? nullptr : &entries_[it->second];
}

std::string TransferJournal::Line(const std::vector<std::string>& parts) const {
    std::string body;
    for (const std::string& p : parts) {
        if (!body.empty())
            body += '\t';
        body += p;
    }
    return body + '\t' + Crc32Hex(body) + '\n';
}

JournalEntry& TransferJournal::Begin(std::map<std::string, std::string> fields) {
    std::vector<JournalEntry*> open = OpenEntries();
    for (size_t i = 0; i + kMaxOpenEntries <= open.size(); ++i)
        Mark(*open[i], mark::Abandoned);
    JournalEntry e;
    e.id = std::to_string(nextId_++);
    while (byId_.count(e.id))
        e.id = std::to_string(nextId_++);
    std::vector<std::string> parts{"I", e.id};
    for (const auto& [key, value] : fields)
        parts.push_back(key + "=" + Escape(value));
    pending_ += Line(parts);
    e.fields = std::move(fields);
    byId_[e.id] = entries_.size();
    entries_.push_back(std::move(e));
    return entries_.back();
}

void TransferJournal::Mark(JournalEntry& entry, char m,
                           const std::map<std::string, std::string>& changes) {
    std::vector<std::string> parts{"M", entry.id, std::string(1, m)};
    for (const auto& [key, value] : changes) {
        parts.push_back(key + "=" + Escape(value));
        entry.fields[key] = value;
    }
    pending_ += Line(parts);
    entry.marks += m;
}

void TransferJournal::OpenForAppend() {
    if (fd_ >= 0)
        return;
    created_ = ::access(path_.c_str(), F_OK) != 0;
    // A root run leaves the journal to the program folder's owner (the service).
    int fd = OpenCreatingForFolderOwner(path_, O_WRONLY | O_CLOEXEC, 0600, FolderOf(path_));
    if (fd < 0)
        throw FileError("Cannot write file " + path_ + ": " + ErrnoText(errno));
    // A line cut off by a crash would swallow the next one: it goes first.
    if (goodSize_ >= 0 && ::ftruncate(fd, goodSize_) != 0) {
        int e = errno;
        ::close(fd);
        throw FileError("Cannot write file " + path_ + ": " + ErrnoText(e));
    }
    goodSize_ = -1;
    if (::lseek(fd, 0, SEEK_END) < 0) {
        int e = errno;
        ::close(fd);
        throw FileError("Cannot write file " + path_ + ": " + ErrnoText(e));
    }
    fd_ = fd;
}

void TransferJournal::Write() {
    if (pending_.empty())
        return;
    OpenForAppend();
    const off_t before = ::lseek(fd_, 0, SEEK_CUR);
    const char* p = pending_.data();
    size_t left = pending_.size();
    while (left > 0) {
        ssize_t n = ::write(fd_, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            int e = n < 0 ? errno : ENOSPC;
            // No half line stays behind for the next one to be glued to.
            if (before >= 0 && ::ftruncate(fd_, before) == 0)
                ::lseek(fd_, before, SEEK_SET);
            else
                goodSize_ = before;
            ::close(fd_);
            fd_ = -1;
            throw FileError("Cannot write file " + path_ + ": " + ErrnoText(e));
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    for (char c : pending_)
        lines_ += c == '\n';
    pending_.clear();
}

void TransferJournal::Flush() {
    Write();
    if (fd_ < 0)
        return;
    if (::fdatasync(fd_) != 0) {
        int e = errno;
        throw FileError("Cannot write file " + path_ + ": " + ErrnoText(e));
    }
    if (created_ && !SyncFolderChecked(FolderOf(path_)))
        throw FileError("Cannot write file " + path_ + ": " + ErrnoText(errno));
    created_ = false;
}

void TransferJournal::Compact() {
    try {
        Write();
    } catch (const FileError&) {
        return;
    }
    std::vector<JournalEntry*> open = OpenEntries();
    if (open.empty()) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
        // Not flushed: should the file come back, it holds only finished entries.
        if (lines_ > 0 || goodSize_ >= 0)
            ::unlink(path_.c_str());
        entries_.clear();
        byId_.clear();
        lines_ = 0;
        goodSize_ = -1;
        return;
    }
    if (lines_ < 64 || lines_ < 4 * open.size())
        return;
    std::string text;
    for (JournalEntry* e : open) {
        std::vector<std::string> parts{"I", e->id};
        for (const auto& [key, value] : e->fields)
            parts.push_back(key + "=" + Escape(value));
        text += Line(parts);
        for (char m : e->marks)
            text += Line({"M", e->id, std::string(1, m)});
    }
    try {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
        AtomicWriteFile(path_, text, 0600, FolderOf(path_));
        SyncFolder(FolderOf(path_));
    } catch (const FileError&) {
        return;
    }
    lines_ = 0;
    for (char c : text)
        lines_ += c == '\n';
    goodSize_ = -1;
}

bool TransferJournal::SameFileSystem(const std::string& folder) const {
    struct stat a, b;
    return ::stat(FolderOf(path_).c_str(), &a) == 0 && ::stat(folder.c_str(), &b) == 0 &&
           a.st_dev == b.st_dev;
}

} // namespace kv
