#include "edi/Classify.h"

#include "util/Errors.h"
#include "util/Fs.h"
#include "util/Text.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace kv {

bool SplitFields(std::string_view text, char sep, std::vector<std::string>& list) {
    if (text.empty())
        return false;
    size_t pos = 0;
    for (size_t p; (p = text.find(sep, pos)) != std::string_view::npos; pos = p + 1)
        list.emplace_back(text.substr(pos, p - pos));
    std::string_view rest = text.substr(pos);
    if (!rest.empty() && rest.back() == '\'')
        rest.remove_suffix(1);
    list.emplace_back(rest);
    return true;
}

bool ClassifyByName(const std::string& name, Direction direction, Classification& out) {
    if (StartsWithNoCase(name, "CN_") && EndsWithNoCase(name, ".ZIP")) {
        // The first four underscores, each searched after the previous one; a
        // missing one stands where the previous one stood, so its field is empty.
        size_t pos[5] = {0, name.find('_'), 0, 0, 0};
        for (int k = 2; k <= 4; ++k) {
            size_t next = name.find('_', pos[k - 1] + 1);
            pos[k] = next == std::string::npos ? pos[k - 1] : next;
        }
        auto field = [&](int k) {
            return pos[k] > pos[k - 1] ? name.substr(pos[k - 1] + 1, pos[k] - pos[k - 1] - 1)
                                       : std::string();
        };
        std::string partner = field(4);
        out.type = field(2) + "(ZIP)";
        if (direction == Direction::Incoming) {
            out.sender = partner;
            out.receiver = "3100";
        } else {
            out.sender = "3100";
            out.receiver = partner;
        }
        return true;
    }
    if (StartsWithNoCase(name, "CUS") && EndsWithNoCase(name, ".EAT")) {
        out.sender = name.substr(0, 7);
        out.receiver = name.size() > 7 ? name.substr(7, 7) : std::string();
        out.type = "MFT506(FIXED)";
        return true;
    }
    return false;
}

namespace {

enum PartIndex { kSender = 0, kReceiver = 1, kType = 2 };

const char* const kFlatFailure[3] = {"UNKNOWN Sender", "UNKNOWN Receiver", "UNKNOWN FLAT"};
const char* const kEdiFailure[3] = {"UNKNOWN Sender", "UNKNOWN Receiver", "UNKNOWN EDIFACT"};
const char* const kXmlFailure[3] = {"UNKNOWN Sender", "UNKNOWN Receiver", "UNKNOWN XML"};
constexpr int kFlatIndex[3] = {4, 5, 1};
constexpr int kEdiIndex[3] = {2, 3, 2};
constexpr size_t kSegmentWindow = 100;

// Every string the XML rule looks for. Each begins with '<' and holds no other
// '<', and each tag ends with its only '>', so two occurrences of these strings
// never overlap: a scanner can take them one after another.
struct Token {
    const char* text;
    size_t size;
    int part;  // -1 for the XML declaration
    int level; // position of the tag in its part's list
    bool close;
};

constexpr Token kTokens[] = {
    {"<?xml", 5, -1, 0, false},
    {"<SenderCode>", 12, kSender, 0, false},
    {"</SenderCode>", 13, kSender, 0, true},
    {"<SenderID>", 10, kSender, 1, false},
    {"</SenderID>", 11, kSender, 1, true},
    {"<SENDER_ID>", 11, kSender, 2, false},
    {"</SENDER_ID>", 12, kSender, 2, true},
    {"<ReceiverCode>", 14, kReceiver, 0, false},
    {"</ReceiverCode>", 15, kReceiver, 0, true},
    {"<ReceiverID>", 12, kReceiver, 1, false},
    {"</ReceiverID>", 13, kReceiver, 1, true},
    {"<RECEIVER_ID>", 13, kReceiver, 2, false},
    {"</RECEIVER_ID>", 14, kReceiver, 2, true},
    {"<MessageType>", 13, kType, 0, false},
    {"</MessageType>", 14, kType, 0, true},
    {"<MSG_TYPE>", 10, kType, 1, false},
    {"</MSG_TYPE>", 11, kType, 1, true},
};
constexpr int kTokenCount = sizeof kTokens / sizeof kTokens[0];

// The characters that may follow '<' in a token, and CR.
struct SecondChars {
    bool set[256] = {};
    constexpr SecondChars() {
        for (const Token& t : kTokens)
            set[static_cast<unsigned char>(t.text[1])] = true;
        set[static_cast<unsigned char>('\r')] = true;
    }
    constexpr bool operator[](unsigned char c) const { return set[c]; }
};
constexpr SecondChars kSecondChar;
constexpr uint32_t kAllTokens = (1u << kTokenCount) - 1;
constexpr int kLevels[3] = {3, 3, 2};

// The first a in [p, end) that is followed by b1 or b2, or that stands last;
// null when there is none. EDIFACT text holds a 'U' every few dozen bytes, so
// looking at pairs 32 bytes at a time beats stopping at each 'U'.
const char* FindPair(const char* p, const char* end, char a, char b1, char b2) {
#ifdef __SSE2__
    const __m128i va = _mm_set1_epi8(a), vb1 = _mm_set1_epi8(b1), vb2 = _mm_set1_epi8(b2);
    auto pairs = [&](const char* q) {
        __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
        __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 1));
        __m128i hit =
            _mm_and_si128(_mm_cmpeq_epi8(first, va),
                          _mm_or_si128(_mm_cmpeq_epi8(next, vb1), _mm_cmpeq_epi8(next, vb2)));
        return static_cast<unsigned>(_mm_movemask_epi8(hit));
    };
    while (end - p >= 33) {
        unsigned mask = pairs(p) | pairs(p + 16) << 16;
        if (mask)
            return p + __builtin_ctz(mask);
        p += 32;
    }
#endif
    for (; p < end; ++p)
        if (*p == a && (p + 1 == end || p[1] == b1 || p[1] == b2))
            return p;
    return nullptr;
}

void AppendWithoutCr(std::string& out, const char* p, size_t n) {
    const char* end = p + n;
    while (p < end) {
        const char* cr =
            static_cast<const char*>(std::memchr(p, '\r', static_cast<size_t>(end - p)));
        const char* stop = cr ? cr : end;
        out.append(p, static_cast<size_t>(stop - p));
        p = cr ? cr + 1 : end;
    }
}

// The XML rule for one part on one line: the opening tags are tried in list
// order, and each one found replaces the line by the text between it and the
// first closing tag of the line. Stage k sees the text that the stages before
// it left. Until a stage's opening tag appears the text is unchanged, so the
// next stage reads the same text; when it appears, what the next stage read so
// far no longer counts and it starts again on the value.
class XmlPart {
public:
    void Reset(int levels) {
        levels_ = levels;
        for (auto& s : stages_)
            s = Stage{};
        lineHasOpening_ = false;
    }

    void Occurrence(int level, bool close, uint64_t begin, uint64_t end) {
        if (!close)
            lineHasOpening_ = true;
        for (int k = 0; k < levels_; ++k) {
            Stage& s = stages_[k];
            if (s.mode == Mode::Done)
                return;
            if (level == k && s.mode == Mode::Before) {
                if (close) {
                    s.closeSeen = true;
                } else if (s.closeSeen) {
                    s.mode = Mode::Done; // the closing tag stands before: the value is empty
                    s.from = s.to = 0;
                } else {
                    s.mode = Mode::Inside;
                    s.from = end;
                    for (int j = k + 1; j < levels_; ++j)
                        stages_[j] = Stage{};
                }
                return;
            }
            if (level == k && close && s.mode == Mode::Inside) {
                uint64_t from, to;
                if (!Ending(k + 1, from, to)) {
                    from = s.from;
                    to = begin;
                }
                s.mode = Mode::Done;
                s.from = from;
                s.to = to;
                return;
            }
        }
    }

    // The value is settled before the line ends once the first tag's element is complete.
    bool Settled() const { return stages_[0].mode == Mode::Done; }
    bool LineHasOpening() const { return lineHasOpening_; }

    // The value at the end of the line: false when no opening tag was found.
    bool Value(uint64_t& from, uint64_t& to) const { return Ending(0, from, to); }

private:
    enum class Mode { Before, Inside, Done };
    struct Stage {
        Mode mode = Mode::Before;
        bool closeSeen = false;
        uint64_t from = 0, to = 0;
    };

    // The result of stages k and later when their text ends here.
    bool Ending(int k, uint64_t& from, uint64_t& to) const {
        for (; k < levels_; ++k) {
            const Stage& s = stages_[k];
            if (s.mode == Mode::Before)
                continue;
            if (s.mode == Mode::Inside) {
                from = to = 0; // no closing tag: empty
            } else {
                from = s.from;
                to = s.to;
            }
            return true;
        }
        return false;
    }

    int levels_ = 0;
    Stage stages_[3];
    bool lineHasOpening_ = false;
};

class Scanner {
public:
    Scanner(int fd, const std::string& name, unsigned parts, size_t readSize)
        : fd_(fd), name_(name), readSize_(std::max<size_t>(readSize, 1)) {
        for (int p = 0; p < 3; ++p)
            want_[p] = (parts >> p) & 1u;
        for (int p = 0; p < 3; ++p)
            xml_[p].Reset(kLevels[p]);
    }

    ContentTexts Run() {
        if (!want_[0] && !want_[1] && !want_[2])
            return {};
        // A small file needs no more than its size (and one byte to see its
        // end); should it grow meanwhile, it is simply read in more pieces.
        size_t size = readSize_;
        struct stat st;
        if (::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0 &&
            static_cast<uint64_t>(st.st_size) < size)
            size = std::max<size_t>(static_cast<size_t>(st.st_size) + 1, 64);
        buf_.reset(new char[size]);
        uint64_t offset = 0;
        while (!finished_) {
            ssize_t n = ::pread(fd_, buf_.get(), size, static_cast<off_t>(offset));
            if (n < 0) {
                int err = errno;
                if (err == EINTR)
                    continue;
                throw FileError("Cannot read file " + name_ + ": " + ErrnoText(err));
            }
            if (n == 0)
                break;
            base_ = offset;
            len_ = static_cast<size_t>(n);
            lf_ = kUnknown;
            Process();
            offset += len_;
        }
        if (!finished_)
            EndOfFile();
        return Results();
    }

private:
    enum class Mode { Start, Flat, Edifact, XmlFirstLine, Xml, Unknown };
    static constexpr size_t kUnknown = SIZE_MAX;

    void Process() {
        size_t pos = 0;
        while (pos < len_ && !finished_) {
            switch (mode_) {
            case Mode::Start:
                pos = StepStart(pos);
                break;
            case Mode::Flat:
                pos = StepFlat(pos);
                break;
            case Mode::Edifact:
                pos = StepEdifact(pos);
                break;
            case Mode::XmlFirstLine:
            case Mode::Xml:
                pos = StepXml(pos);
                break;
            case Mode::Unknown:
                finished_ = true;
                break;
            }
        }
    }

    // ---- the first three characters decide the rule

    size_t StepStart(size_t pos) {
        char c = buf_[pos];
        if (c == '\r')
            return pos + 1;
        if (c == '\n') { // a first line shorter than three characters
            mode_ = Mode::Unknown;
            finished_ = true;
            return pos + 1;
        }
        head_[headSize_] = c;
        headOffset_[headSize_] = base_ + pos;
        if (++headSize_ == 3)
            Decide();
        return pos + 1;
    }

    void Decide() {
        std::string_view head(head_, 3);
        if (head == "00:") {
            mode_ = Mode::Flat;
            flatField_ = 1;
            flatLast_ = 0;
            for (int p = 0; p < 3; ++p)
                if (want_[p])
                    flatLast_ = std::max(flatLast_, kFlatIndex[p]);
        } else if (head == "UNA" || head == "UNB") {
            mode_ = Mode::Edifact;
            for (int w = 0; w < 2; ++w)
                window_[w].wanted = w == 0 ? (want_[kSender] || want_[kReceiver]) : want_[kType];
            for (char c : head)
                EdifactChar(c);
        } else {
            mode_ = Mode::XmlFirstLine;
            for (int i = 0; i < 3; ++i)
                XmlChar(head_[i], headOffset_[i]);
        }
    }

    // ---- flat header: the ':' fields of the first line

    int FlatPartOf(int field) const {
        for (int p = 0; p < 3; ++p)
            if (want_[p] && kFlatIndex[p] == field)
                return p;
        return -1;
    }

    size_t StepFlat(size_t pos) {
        const char* b = buf_.get();
        const char* lf = static_cast<const char*>(std::memchr(b + pos, '\n', len_ - pos));
        size_t lineEnd = lf ? static_cast<size_t>(lf - b) : len_;
        while (pos < lineEnd) {
            const char* colon = static_cast<const char*>(std::memchr(b + pos, ':', lineEnd - pos));
            size_t stop = colon ? static_cast<size_t>(colon - b) : lineEnd;
            int part = FlatPartOf(flatField_);
            if (part >= 0)
                AppendWithoutCr(flat_[part], b + pos, stop - pos);
            pos = stop;
            if (!colon)
                break;
            if (part >= 0)
                flatHave_[part] = true;
            ++pos;
            if (++flatField_ > flatLast_) { // every wanted field is complete
                finished_ = true;
                return pos;
            }
        }
        if (lf) {
            FlatLineEnd();
            return lineEnd + 1;
        }
        return len_;
    }

    void FlatLineEnd() {
        // The field being read is the last one: it loses one closing "'".
        int part = FlatPartOf(flatField_);
        if (part >= 0) {
            if (!flat_[part].empty() && flat_[part].back() == '\'')
                flat_[part].pop_back();
            flatHave_[part] = true;
        }
        finished_ = true;
    }

    // ---- UN/EDIFACT: the 100 characters from the first "UNB+" and "UNH+"

    struct Window {
        enum State { Missing, Filling, Complete } state = Missing;
        bool wanted = false;
        std::string text;
    };

    size_t StepEdifact(size_t pos) {
        const char* b = buf_.get();
        while (pos < len_) {
            if (match_ == 0 && window_[0].state != Window::Filling &&
                window_[1].state != Window::Filling) {
                // Nothing pending: only a 'U' can start what is searched for,
                // and only one followed by 'N' (or by a CR, which is dropped).
                const char* u = FindPair(b + pos, b + len_, 'U', 'N', '\r');
                if (!u)
                    return len_;
                pos = static_cast<size_t>(u - b);
            }
            EdifactChar(b[pos++]);
            if (finished_)
                return pos;
        }
        return len_;
    }

    void EdifactChar(char c) {
        if (c == '\r')
            return;
        if (c == '\n') {
            match_ = 0;
            for (auto& w : window_)
                if (w.state == Window::Filling)
                    w.state = Window::Complete;
            CheckEdifactDone();
            return;
        }
        for (auto& w : window_) {
            if (w.state == Window::Filling) {
                w.text.push_back(c);
                if (w.text.size() == kSegmentWindow)
                    w.state = Window::Complete;
            }
        }
        // "UNB+" and "UNH+" share their start and neither repeats its own
        // beginning, so a failed match can only restart at the current 'U'.
        switch (match_) {
        case 1:
            match_ = c == 'N' ? 2 : 0;
            break;
        case 2:
            if (c == 'B' || c == 'H') {
                third_ = c;
                match_ = 3;
            } else {
                match_ = 0;
            }
            break;
        case 3:
            match_ = 0;
            if (c == '+') {
                Window& w = window_[third_ == 'B' ? 0 : 1];
                if (w.wanted && w.state == Window::Missing) {
                    w.text = std::string("UN") + third_ + "+";
                    w.state = Window::Filling;
                }
            }
            break;
        default:
            break;
        }
        if (match_ == 0 && c == 'U')
            match_ = 1;
        CheckEdifactDone();
    }

    void CheckEdifactDone() {
        bool done = true;
        for (auto& w : window_)
            if (w.wanted && w.state != Window::Complete)
                done = false;
        finished_ = done;
    }

    std::string EdifactText(int part) const {
        const Window& w = window_[part == kType ? 1 : 0];
        if (w.state == Window::Missing)
            return kEdiFailure[part];
        std::vector<std::string> fields;
        SplitFields(w.text, '+', fields);
        if (static_cast<size_t>(kEdiIndex[part]) >= fields.size())
            return kEdiFailure[part];
        std::vector<std::string> sub;
        if (!SplitFields(UpperCase(fields[kEdiIndex[part]]), ':', sub))
            return kEdiFailure[part];
        return UpperCase(sub[0]) + (part == kType ? "(EDIFACT)" : "");
    }

    // ---- XML: tags, line by line

    size_t StepXml(size_t pos) {
        const char* b = buf_.get();
        while (pos < len_) {
            if (tokenSize_ == 0) {
                if (lf_ == kUnknown || lf_ < pos) {
                    const char* lf =
                        static_cast<const char*>(std::memchr(b + pos, '\n', len_ - pos));
                    lf_ = lf ? static_cast<size_t>(lf - b) : len_;
                }
                // Only a '<' followed by the second character of a token (or
                // by a CR, which is dropped) can start one.
                const char* lineEnd = b + lf_;
                const char* lt = static_cast<const char*>(std::memchr(b + pos, '<', lf_ - pos));
                while (lt && lt + 1 < lineEnd && !kSecondChar[static_cast<unsigned char>(lt[1])])
                    lt = static_cast<const char*>(
                        std::memchr(lt + 1, '<', static_cast<size_t>(lineEnd - lt - 1)));
                if (!lt) {
                    pos = lf_;
                    if (pos == len_)
                        return len_;
                    XmlLineEnd();
                    ++pos;
                    if (finished_)
                        return pos;
                    continue;
                }
                pos = static_cast<size_t>(lt - b);
            }
            char c = b[pos];
            if (c == '\n') {
                tokenSize_ = 0;
                XmlLineEnd();
            } else if (c != '\r') {
                XmlChar(c, base_ + pos);
            }
            ++pos;
            if (finished_)
                return pos;
        }
        return len_;
    }

    // One character of a line (never LF or CR) at file offset `at`.
    void XmlChar(char c, uint64_t at) {
        if (c == '<') {
            tokenSize_ = 1;
            tokenSet_ = kAllTokens;
            tokenBegin_ = at;
            return;
        }
        if (tokenSize_ == 0)
            return;
        uint32_t still = 0;
        int complete = -1;
        for (uint32_t set = tokenSet_; set; set &= set - 1) {
            int i = __builtin_ctz(set);
            const Token& t = kTokens[i];
            if (t.size > tokenSize_ && t.text[tokenSize_] == c) {
                still |= 1u << i;
                if (t.size == tokenSize_ + 1)
                    complete = i;
            }
        }
        tokenSet_ = still;
        ++tokenSize_;
        if (complete >= 0) {
            tokenSize_ = 0;
            Found(kTokens[complete], tokenBegin_, at + 1);
        } else if (still == 0) {
            tokenSize_ = 0;
        }
    }

    void Found(const Token& t, uint64_t begin, uint64_t end) {
        if (t.part < 0) {
            if (mode_ == Mode::XmlFirstLine)
                xmlDeclared_ = true;
            CheckXmlDone();
            return;
        }
        if (!want_[t.part] || xmlDone_[t.part])
            return;
        XmlPart& x = xml_[t.part];
        x.Occurrence(t.level, t.close, begin, end);
        if (x.Settled())
            Settle(t.part);
        CheckXmlDone();
    }

    void Settle(int part) {
        uint64_t from = 0, to = 0;
        xml_[part].Value(from, to);
        xmlValue_[part] = Fetch(from, to);
        xmlDone_[part] = true;
    }

    void XmlLineEnd() {
        for (int p = 0; p < 3; ++p) {
            if (!want_[p] || xmlDone_[p])
                continue;
            if (xml_[p].LineHasOpening())
                Settle(p); // the search for this part stops at this line
            else
                xml_[p].Reset(kLevels[p]);
        }
        if (mode_ == Mode::XmlFirstLine) {
            if (!xmlDeclared_) {
                mode_ = Mode::Unknown;
                finished_ = true;
                return;
            }
            mode_ = Mode::Xml;
        }
        CheckXmlDone();
    }

    void CheckXmlDone() {
        if (!xmlDeclared_)
            return;
        for (int p = 0; p < 3; ++p)
            if (want_[p] && !xmlDone_[p])
                return;
        finished_ = true;
    }

    // The line's characters between two file offsets (no LF lies between them).
    std::string Fetch(uint64_t from, uint64_t to) {
        std::string out;
        if (to <= from)
            return out;
        if (from >= base_ && to <= base_ + len_) {
            AppendWithoutCr(out, buf_.get() + (from - base_), static_cast<size_t>(to - from));
            return out;
        }
        // The value began in an earlier piece: fetch it back by its offsets.
        std::vector<char> piece(std::min<uint64_t>(to - from, 64 * 1024));
        while (from < to) {
            size_t want = static_cast<size_t>(std::min<uint64_t>(to - from, piece.size()));
            ssize_t n = ::pread(fd_, piece.data(), want, static_cast<off_t>(from));
            int err = errno;
            if (n < 0 && err == EINTR)
                continue;
            if (n <= 0)
                throw FileError("Cannot read file " + name_ + ": " +
                                (n < 0 ? ErrnoText(err) : std::string("it became shorter")));
            AppendWithoutCr(out, piece.data(), static_cast<size_t>(n));
            from += static_cast<uint64_t>(n);
        }
        return out;
    }

    // ---- end and results

    void EndOfFile() {
        switch (mode_) {
        case Mode::Start:
            mode_ = Mode::Unknown;
            break;
        case Mode::Flat:
            FlatLineEnd();
            break;
        case Mode::Edifact:
            for (auto& w : window_)
                if (w.state == Window::Filling)
                    w.state = Window::Complete;
            break;
        case Mode::XmlFirstLine:
        case Mode::Xml:
            XmlLineEnd();
            break;
        case Mode::Unknown:
            break;
        }
        finished_ = true;
    }

    ContentTexts Results() const {
        std::string texts[3] = {"UNKNOWN", "UNKNOWN", "UNKNOWN"};
        for (int p = 0; p < 3; ++p) {
            if (!want_[p])
                continue;
            switch (mode_) {
            case Mode::Flat:
                texts[p] = flatHave_[p] ? UpperCase(flat_[p]) + (p == kType ? "(FLAT)" : "")
                                        : kFlatFailure[p];
                break;
            case Mode::Edifact:
                texts[p] = EdifactText(p);
                break;
            case Mode::XmlFirstLine:
            case Mode::Xml:
                if (xmlDeclared_)
                    texts[p] = xmlDone_[p] ? UpperCase(xmlValue_[p]) + (p == kType ? "(XML)" : "")
                                           : kXmlFailure[p];
                break;
            default:
                break;
            }
        }
        ContentTexts out;
        out.sender = std::move(texts[kSender]);
        out.receiver = std::move(texts[kReceiver]);
        out.type = std::move(texts[kType]);
        return out;
    }

    int fd_;
    const std::string& name_;
    size_t readSize_;
    bool want_[3] = {false, false, false};
    std::unique_ptr<char[]> buf_;
    uint64_t base_ = 0; // file offset of buf_[0]
    size_t len_ = 0;
    size_t lf_ = kUnknown; // next LF at or after the scan position, in this piece
    Mode mode_ = Mode::Start;
    bool finished_ = false;

    char head_[3] = {0, 0, 0};
    uint64_t headOffset_[3] = {0, 0, 0};
    int headSize_ = 0;

    int flatField_ = 0;
    int flatLast_ = 0;
    std::string flat_[3];
    bool flatHave_[3] = {false, false, false};

    int match_ = 0;
    char third_ = 0;
    Window window_[2];

    size_t tokenSize_ = 0;
    uint32_t tokenSet_ = 0;
    uint64_t tokenBegin_ = 0;
    bool xmlDeclared_ = false;
    XmlPart xml_[3];
    bool xmlDone_[3] = {false, false, false};
    std::string xmlValue_[3];
};

int OpenForScan(const std::string& path) {
    // O_NONBLOCK: a fifo or device put where a file was expected fails at the
    // first read instead of hanging the cycle.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0)
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return fd;
}

std::string FindOne(const std::string& path, unsigned part) {
    int fd = OpenForScan(path);
    if (fd < 0) {
        int err = errno;
        throw FileError("Cannot open file " + path + ": " + ErrnoText(err));
    }
    ContentTexts t;
    try {
        t = ScanContent(fd, path, part);
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
    return part == kSenderPart ? t.sender : part == kReceiverPart ? t.receiver : t.type;
}

} // namespace

ContentTexts ScanContent(int fd, const std::string& displayName, unsigned parts, size_t readSize) {
    return Scanner(fd, displayName, parts, readSize).Run();
}

std::string FindSender(const std::string& path) {
    return FindOne(path, kSenderPart);
}
std::string FindReceiver(const std::string& path) {
    return FindOne(path, kReceiverPart);
}
std::string FindMessageType(const std::string& path) {
    return FindOne(path, kTypePart);
}

Classification ClassifyFile(const std::string& path, const std::string& name, Direction direction) {
    Classification c;
    if (ClassifyByName(name, direction, c))
        return c;
    Classification failed{false, "UNKNOWN", "UNKNOWN", "UNKNOWN"};
    int fd = OpenForScan(path);
    if (fd < 0)
        return failed;
    try {
        ContentTexts t = ScanContent(fd, path);
        c.sender = std::move(t.sender);
        c.receiver = std::move(t.receiver);
        c.type = std::move(t.type);
    } catch (const std::exception&) {
        c = failed;
    }
    ::close(fd);
    return c;
}

Classification ClassifyFile(const std::string& path, Direction direction) {
    return ClassifyFile(path, FileNameOf(path), direction);
}

} // namespace kv
