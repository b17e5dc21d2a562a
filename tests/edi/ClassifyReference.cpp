#include "ClassifyReference.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace kvref {

namespace {

std::string Upper(std::string s) {
    for (auto& c : s)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return s;
}

// Pascal-style Copy(s, index, count) with 1-based index; out-of-range parts are cut.
std::string Copy(const std::string& s, long index, long count) {
    if (index < 1)
        index = 1;
    if (count <= 0 || index > static_cast<long>(s.size()))
        return "";
    return s.substr(static_cast<size_t>(index - 1), static_cast<size_t>(count));
}

// 1-based position of sub in s, 0 when absent (and for an empty sub).
long Pos(const std::string& sub, const std::string& s) {
    if (sub.empty())
        return 0;
    size_t p = s.find(sub);
    return p == std::string::npos ? 0 : static_cast<long>(p) + 1;
}

class TextFile {
public:
    explicit TextFile(const std::string& path) : f_(path, std::ios::binary) {
        std::error_code ec;
        if (!f_ || std::filesystem::is_directory(path, ec))
            throw std::runtime_error("cannot open " + path);
    }
    // A line ends at LF; every CR is dropped. At the end of the file: empty.
    std::string ReadLn() {
        std::string line;
        std::getline(f_, line, '\n');
        if (f_.bad())
            throw std::runtime_error("cannot read");
        line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
        return line;
    }
    bool Eof() { return f_.peek() == std::char_traits<char>::eof(); }

private:
    std::ifstream f_;
};

struct PartRules {
    int flatIndex;
    const char* flatFailure;
    const char* segmentTag;
    int ediIndex;
    const char* ediFailure;
    std::vector<std::pair<std::string, std::string>> xmlTags;
    const char* xmlFailure;
    const char* flatSuffix;
    const char* ediSuffix;
    const char* xmlSuffix;
};

const PartRules kSender{4,
                        "UNKNOWN Sender",
                        "UNB+",
                        2,
                        "UNKNOWN Sender",
                        {{"<SenderCode>", "</SenderCode>"},
                         {"<SenderID>", "</SenderID>"},
                         {"<SENDER_ID>", "</SENDER_ID>"}},
                        "UNKNOWN Sender",
                        "",
                        "",
                        ""};
const PartRules kReceiver{5,
                          "UNKNOWN Receiver",
                          "UNB+",
                          3,
                          "UNKNOWN Receiver",
                          {{"<ReceiverCode>", "</ReceiverCode>"},
                           {"<ReceiverID>", "</ReceiverID>"},
                           {"<RECEIVER_ID>", "</RECEIVER_ID>"}},
                          "UNKNOWN Receiver",
                          "",
                          "",
                          ""};
const PartRules kType{1,
                      "UNKNOWN FLAT",
                      "UNH+",
                      2,
                      "UNKNOWN EDIFACT",
                      {{"<MessageType>", "</MessageType>"}, {"<MSG_TYPE>", "</MSG_TYPE>"}},
                      "UNKNOWN XML",
                      "(FLAT)",
                      "(EDIFACT)",
                      "(XML)"};

std::string Find(const std::string& path, const PartRules& rules) {
    TextFile f(path);
    std::string result = "UNKNOWN";
    std::string L = f.ReadLn();
    if (Copy(L, 1, 3) == "00:") {
        std::vector<std::string> list;
        SplitFields(L, ':', list);
        if (rules.flatIndex < static_cast<int>(list.size()))
            result = Upper(list[rules.flatIndex]) + rules.flatSuffix;
        else
            result = rules.flatFailure;
    } else if (Copy(L, 1, 3) == "UNA" || Copy(L, 1, 3) == "UNB") {
        while (Pos(rules.segmentTag, L) == 0 && !f.Eof())
            L = f.ReadLn();
        result = rules.ediFailure;
        if (long p = Pos(rules.segmentTag, L); p > 0) {
            std::string S = Copy(L, p, 100);
            std::vector<std::string> list;
            SplitFields(S, '+', list);
            if (rules.ediIndex < static_cast<int>(list.size())) {
                std::string field = Upper(list[rules.ediIndex]);
                std::vector<std::string> sub;
                SplitFields(field, ':', sub);
                if (!sub.empty())
                    result = Upper(sub[0]) + rules.ediSuffix;
            }
        }
    } else if (Pos("<?xml", L) > 0) {
        auto anyTag = [&] {
            for (auto& t : rules.xmlTags)
                if (Pos(t.first, L) > 0)
                    return true;
            return false;
        };
        while (!anyTag() && !f.Eof())
            L = f.ReadLn();
        result = rules.xmlFailure;
        for (auto& t : rules.xmlTags) {
            if (long p = Pos(t.first, L); p > 0) {
                long start = p + static_cast<long>(t.first.size());
                L = Copy(L, start, Pos(t.second, L) - start);
                result = Upper(L) + rules.xmlSuffix;
            }
        }
    }
    return result;
}

} // namespace

bool SplitFields(std::string text, char sep, std::vector<std::string>& list) {
    if (text.empty())
        return false;
    const std::string s(1, sep);
    while (Pos(s, text) > 0) {
        long p = Pos(s, text);
        list.push_back(Copy(text, 1, p - 1));
        text.erase(0, static_cast<size_t>(p));
    }
    if (!text.empty() && text.back() == '\'')
        text.pop_back();
    list.push_back(text);
    return true;
}

std::string FindSender(const std::string& path) {
    return Find(path, kSender);
}
std::string FindReceiver(const std::string& path) {
    return Find(path, kReceiver);
}
std::string FindMessageType(const std::string& path) {
    return Find(path, kType);
}

bool ClassifyByName(const std::string& name, bool incoming, Result& out) {
    std::string up = Upper(name);
    long len = static_cast<long>(name.size());
    if (Copy(up, 1, 3) == "CN_" && Copy(up, len - 3, 4) == ".ZIP") {
        long p1 = Pos("_", name);
        auto next = [&](long prev) {
            long q = Pos("_", Copy(name, prev + 1, len));
            return q == 0 ? prev : prev + q;
        };
        long p2 = next(p1), p3 = next(p2), p4 = next(p3);
        out.type = Copy(name, p1 + 1, p2 - p1 - 1) + "(ZIP)";
        std::string partner = Copy(name, p3 + 1, p4 - p3 - 1);
        out.sender = incoming ? partner : "3100";
        out.receiver = incoming ? "3100" : partner;
        return true;
    }
    if (Copy(up, 1, 3) == "CUS" && Copy(up, len - 3, 4) == ".EAT") {
        out.sender = Copy(name, 1, 7);
        out.receiver = Copy(name, 8, 7);
        out.type = "MFT506(FIXED)";
        return true;
    }
    return false;
}

Result ClassifyFile(const std::string& name, const std::string& path, bool incoming) {
    Result r;
    if (ClassifyByName(name, incoming, r))
        return r;
    try {
        r.sender = FindSender(path);
        r.receiver = FindReceiver(path);
        r.type = FindMessageType(path);
    } catch (const std::exception&) {
        r = Result{false, "UNKNOWN", "UNKNOWN", "UNKNOWN"};
    }
    return r;
}

} // namespace kvref
