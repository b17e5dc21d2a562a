#pragma once
// What the receive and send cycles have begun and not yet finished, kept in a
// small file of the program folder so that the next cycle after a crash, a
// stop, a lost connection or a power loss finishes it instead of doing it a
// second time. One format for both directions: each line is one event, an
// entry's intent or a later mark, and ends with its own checksum; a line cut
// short by a crash, or damaged, is ignored and a cut-off last line is removed
// before the next one is appended. docs/transfer-engine.md tells which event
// must be on disk before which step.
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace kv {

// The journal of received files, and the one of sent files, in the program folder.
inline constexpr const char* kReceiveJournalName = "KVRECV.JNL";
inline constexpr const char* kSendJournalName = "KVSEND.JNL";

// Marks an entry gets after its intent, each meaning "this step is done".
namespace mark {
// Receive: the file is in the inbox and its record in the transfer log.
inline constexpr char Delivered = 'D';
// Send: the upload under the temporary name was confirmed whole by the server.
inline constexpr char Whole = 'W';
// Send: the rename into the destination may have been carried out.
inline constexpr char Renaming = 'R';
// The server refused the remote delete (its lines were reported then).
inline constexpr char DeleteRefused = 'N';
// Finished: nothing is left to do.
inline constexpr char Closed = 'X';
// Abandoned: the step it began did not happen and never will.
inline constexpr char Abandoned = 'F';
// A name of the entry changed (the fields that changed come with it).
inline constexpr char Renamed = 'T';
} // namespace mark

// Intent fields of a received file in the journal.
namespace recv {
inline constexpr const char* Name = "name";
inline constexpr const char* Remote = "remote";
inline constexpr const char* Size = "size";
inline constexpr const char* Sha = "sha";
inline constexpr const char* Tmp = "tmp";
inline constexpr const char* Inbox = "inbox";
inline constexpr const char* Record = "record";
inline constexpr const char* Log = "log";
inline constexpr const char* LogAt = "logat";
inline constexpr const char* Mailbox = "mailbox";
} // namespace recv

// Intent fields of a sent file in the journal.
namespace send {
inline constexpr const char* Name = "name";
inline constexpr const char* Outbox = "outbox";
inline constexpr const char* Identity = "identity";
inline constexpr const char* Size = "size";
inline constexpr const char* Tmp = "tmp";
inline constexpr const char* Final = "final";
inline constexpr const char* Dest = "dest";
inline constexpr const char* Dated = "dated";
inline constexpr const char* Record = "record";
inline constexpr const char* Log = "log";
inline constexpr const char* LogAt = "logat";
inline constexpr const char* Mailbox = "mailbox";
} // namespace send

// How far an entry got, read from its marks in one place: the furthest
// step done counts, and a closed or abandoned entry is only that.
enum class EntryStep {
    Intended,      // the intent alone: nothing after it is known to be done
    Uploaded,      // send: confirmed whole under the temporary name (W)
    Renaming,      // send: the rename into place may have been carried out (R)
    Delivered,     // receive: in the inbox with its record (D)
    DeleteRefused, // receive: delivered, and the server refused the delete (D N)
    Closed,        // finished (X)
    Abandoned,     // the step it began did not happen and never will (F)
};

struct JournalEntry {
    std::string id;
    // Fields by name (see the cycles for theirs); a mark may change some.
    std::map<std::string, std::string> fields;
    std::string marks; // in the order they came

    const std::string& Get(const std::string& key) const;
    int64_t Number(const std::string& key) const; // -1 when absent or not a number
    bool Has(char m) const { return marks.find(m) != std::string::npos; }
    EntryStep Step() const;
    // Begun with the mailbox of this key (protocol, user, host, port); an
    // entry written before entries named their mailbox counts as any one's.
    bool OfMailbox(const std::string& key) const;
    bool Open() const { return Step() != EntryStep::Closed && Step() != EntryStep::Abandoned; }
    // Receive: in the inbox (its remote copy may still be there).
    bool Delivered() const {
        return Step() == EntryStep::Delivered || Step() == EntryStep::DeleteRefused;
    }
};

class TransferJournal {
public:
    // Loads the journal; a missing file is an empty one. Lines of the format
    // before this one ("sha size remote-path") are delivered receive entries.
    explicit TransferJournal(std::string path);
    ~TransferJournal();
    TransferJournal(const TransferJournal&) = delete;
    TransferJournal& operator=(const TransferJournal&) = delete;

    const std::string& Path() const { return path_; }
    // Every entry not closed or abandoned, oldest first.
    std::vector<JournalEntry*> OpenEntries();
    JournalEntry* Find(const std::string& id);

    // A new entry with a fresh id; its intent line waits for Write or Flush.
    JournalEntry& Begin(std::map<std::string, std::string> fields);
    // A mark, with fields it changes; waits for Write or Flush.
    void Mark(JournalEntry& entry, char m, const std::map<std::string, std::string>& changes = {});
    // Hands what waits to the file (one write): it then survives the end of
    // the process, not yet a power loss. Throws FileError.
    void Write();
    // Write, then to disk: survives a power loss. Throws FileError.
    void Flush();
    // Once nothing is open the file goes; a file mostly of finished entries
    // is written anew with the open ones only. Errors are left for later.
    void Compact();

    // The file system the journal is on (for one flush of several files).
    bool SameFileSystem(const std::string& folder) const;

private:
    void Load();
    void Apply(const std::vector<std::string>& parts);
    std::string Line(const std::vector<std::string>& parts) const;
    void OpenForAppend();

    std::string path_;
    std::deque<JournalEntry> entries_; // stable addresses: callers keep pointers
    std::map<std::string, size_t> byId_;
    std::string pending_;
    int fd_ = -1;
    int64_t goodSize_ = -1; // where a damaged tail starts (-1: none)
    size_t lines_ = 0;      // lines in the file
    bool created_ = false;  // the file was new: its folder is flushed too
    uint64_t nextId_ = 0;
};

// CRC-32 (IEEE) of the bytes, as 8 lower-case hex digits.
std::string Crc32Hex(const std::string& bytes);

} // namespace kv
