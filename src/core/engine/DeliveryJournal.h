#pragma once
// The files delivered into an inbox whose remote copy may still be on the
// server (its delete not yet tried, or failed): remote path, size and SHA-256
// of the bytes, in a small file of the program folder. An entry is written
// durably before the remote delete is tried, so a file downloaded again with
// the same bytes is recognised, whether the delete failed or the machine
// stopped in between, and is not delivered twice.
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace kv {

class DeliveryJournal {
public:
    // Loads the journal (a missing file is an empty journal; unreadable lines
    // are dropped).
    explicit DeliveryJournal(std::string path);

    bool Contains(const std::string& remotePath, int64_t size, const std::string& sha) const;
    // Whether any entry has that remote path and size (the hash then decides).
    bool HasPath(const std::string& remotePath, int64_t size) const;
    // Adds an entry and flushes it to disk. Throws FileError on failure.
    void Add(const std::string& remotePath, int64_t size, const std::string& sha) {
        Append(remotePath, size, sha);
        Flush();
    }
    // Adds an entry to the file without flushing it; Flush makes it durable.
    void Append(const std::string& remotePath, int64_t size, const std::string& sha);
    void Flush();
    // The remote copy is gone: the entry is dropped at the next Save.
    void Remove(const std::string& remotePath);
    // Drops the entries of remoteFolder whose file is no longer listed there.
    void KeepOnlyListed(const std::string& remoteFolder, const std::set<std::string>& listed);
    // Writes the journal back when entries were dropped. Throws FileError.
    void Save();

    size_t Size() const { return entries_.size(); }

private:
    struct Entry {
        std::string sha;
        int64_t size;
        std::string remotePath;
    };
    std::string path_;
    std::vector<Entry> entries_;
    bool dirty_ = false;
    int appendFd_ = -1;    // open between Append and Flush
    bool created_ = false; // the file was new: its folder is flushed too

public:
    ~DeliveryJournal();
    DeliveryJournal(const DeliveryJournal&) = delete;
    DeliveryJournal& operator=(const DeliveryJournal&) = delete;
};

} // namespace kv
