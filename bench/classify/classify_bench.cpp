// Generates the benchmark files and classifies them (run.sh measures).
//   classify_bench gen-noise PATH MIB      one line of binary noise, no header
//   classify_bench gen-edifact PATH MIB    a multi-line interchange, UNH+ on its last line
//   classify_bench gen-small DIR COUNT     small files of every kind
//   classify_bench classify PATH           prints the three texts
//   classify_bench classify-list LIST0     classifies the NUL-separated paths of LIST0
#include "edi/Classify.h"
#include "util/Fs.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <vector>

namespace {

// xorshift64*: fast and reproducible.
struct Random {
    uint64_t s = 0x9E3779B97F4A7C15ull;
    uint64_t Next() {
        s ^= s >> 12;
        s ^= s << 25;
        s ^= s >> 27;
        return s * 0x2545F4914F6CDD1Dull;
    }
    uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }
};

void Fail(const std::string& what) {
    std::cerr << what << "\n";
    std::exit(2);
}

// head, then block over and over, then tail: size bytes in all.
void WriteRepeated(const std::string& path, const std::string& head, const std::string& block,
                   uint64_t size, const std::string& tail) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        Fail("cannot write " + path);
    out << head;
    uint64_t left = size > head.size() + tail.size() ? size - head.size() - tail.size() : 0;
    while (left > 0) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(left, block.size()));
        out.write(block.data(), static_cast<std::streamsize>(n));
        left -= n;
    }
    out << tail;
    if (!out)
        Fail("cannot write " + path);
}

// (a) Binary noise without a line break: the whole file is the first line,
// and it must be searched for "<?xml" to the end.
void GenNoise(const std::string& path, uint64_t mib) {
    Random r;
    std::string block(4 << 20, '\0');
    for (auto& c : block) {
        c = static_cast<char>(r.Next() >> 56);
        if (c == '\n')
            c = ' ';
    }
    block[0] = 'P'; // PK-like start, not a header
    block[1] = 'K';
    WriteRepeated(path, "", block, mib << 20, "");
}

std::string Segment(Random& r) {
    static const char* const kSegments[] = {"LIN+%u++4000862141404:SRS'",
                                            "QTY+21:%u:PCE'",
                                            "PRI+AAA:%u.50:CT'",
                                            "NAD+SU+%u::9++SUPPLIER AG'",
                                            "CUX+2:EUR:9'",
                                            "DTM+137:20260104:102'",
                                            "RFF+ON:ORD%u'",
                                            "MOA+203:%u.00'",
                                            "IMD+F++:::DESCRIPTION %u'",
                                            "TAX+7+VAT+++:::19+S'",
                                            "ALC+A++++DI:%u'",
                                            "FTX+AAI+++FREE TEXT %u'"};
    char buf[96];
    std::snprintf(buf, sizeof buf, kSegments[r.Below(std::size(kSegments))], r.Below(100000));
    return buf;
}

// (b) An interchange with its header on line 2 and its message header on the
// very last line: the type search runs through the whole file.
void GenEdifact(const std::string& path, uint64_t mib) {
    Random r;
    std::string block;
    while (block.size() < (4u << 20))
        block += Segment(r) + "\r\n";
    std::string head = "UNA:+.? '\r\nUNB+UNOC:3+5412345000013:14+4012345000009:14+260104:1200+"
                       "REF00001'\r\n";
    std::string tail = "UNH+1+INVOIC:D:96A:UN:EAN008'\r\n";
    WriteRepeated(path, head, block, mib << 20, tail);
}

// (c) Small files of every kind, as an outbox or inbox holds them.
void GenSmall(const std::string& dir, int count) {
    if (!kv::ForceDirectories(dir))
        Fail("cannot create " + dir);
    Random r;
    for (int i = 0; i < count; ++i) {
        std::string name = "f" + std::to_string(i) + ".edi";
        std::string body;
        unsigned lines = 5 + r.Below(150);
        switch (i % 10) {
        case 0:
        case 1:
        case 2: // EDIFACT
            body = "UNA:+.? '\r\nUNB+UNOA:2+SENDER" + std::to_string(r.Below(99)) +
                   ":14+RECEIVER:14+260104:1200+" + std::to_string(i) + "'\r\nUNH+1+" +
                   (r.Below(2) ? "ORDERS" : "INVOIC") + ":D:96A:UN'\r\n";
            for (unsigned l = 0; l < lines; ++l)
                body += Segment(r) + "\r\n";
            body +=
                "UNT+" + std::to_string(lines + 2) + "+1'\r\nUNZ+1+" + std::to_string(i) + "'\r\n";
            break;
        case 3:
        case 4: // flat
            body = "00:PREMFT:V1:9:ABC1234:TOLMA:202601041200:CNNGB'\r\n";
            for (unsigned l = 0; l < lines; ++l)
                body +=
                    "10:" + std::to_string(l) + ":ITEM:" + std::to_string(r.Below(1000)) + "'\r\n";
            body += "99:" + std::to_string(lines + 2) + "'\r\n";
            break;
        case 5:
        case 6: // XML
            body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Envelope>\n<Header>\n"
                   "<SenderID>abc1234</SenderID>\n<ReceiverID>custom</ReceiverID>\n"
                   "<MessageType>cusdec</MessageType>\n</Header>\n<Body>\n";
            for (unsigned l = 0; l < lines; ++l)
                body += "<Item><No>" + std::to_string(l) + "</No><Qty>" +
                        std::to_string(r.Below(500)) + "</Qty></Item>\n";
            body += "</Body>\n</Envelope>\n";
            break;
        case 7: // something else
            for (unsigned l = 0; l < lines; ++l)
                body += "free text line " + std::to_string(r.Next()) + "\n";
            break;
        case 8: // bundle, known by name
            name = "CN_CNC102_20260104_ABC" + std::to_string(i) + "_01.ZIP";
            body = std::string(2000 + r.Below(20000), 'Z');
            break;
        default: // fixed format, known by name
            name = "CUS" + std::to_string(1000000 + i) + "ABCD.EAT";
            body = std::string(500 + r.Below(5000), 'F');
            break;
        }
        std::ofstream out(kv::JoinPath(dir, name), std::ios::binary | std::ios::trunc);
        out << body;
        if (!out)
            Fail("cannot write " + name);
    }
}

int Classify(const std::string& path) {
    kv::Classification c = kv::ClassifyFile(path, kv::Direction::Incoming);
    std::cout << (c.ok ? "ok" : "FAILED") << " | " << c.sender << " | " << c.receiver << " | "
              << c.type << "\n";
    return c.ok ? 0 : 1;
}

int ClassifyList(const std::string& list) {
    std::ifstream in(list, std::ios::binary);
    if (!in)
        Fail("cannot read " + list);
    std::map<std::string, int> kinds;
    int files = 0, failed = 0;
    for (std::string path; std::getline(in, path, '\0');) {
        kv::Classification c = kv::ClassifyFile(path, kv::Direction::Incoming);
        ++files;
        failed += !c.ok;
        size_t open = c.type.rfind('(');
        ++kinds[open == std::string::npos ? c.type : c.type.substr(open)];
    }
    std::cout << files << " files";
    for (auto& [kind, n] : kinds)
        std::cout << ", " << kind << " " << n;
    std::cout << (failed ? ", FAILED " + std::to_string(failed) : std::string()) << "\n";
    return failed ? 1 : 0;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 3 && args[0] == "gen-noise")
        GenNoise(args[1], std::stoull(args[2]));
    else if (args.size() == 3 && args[0] == "gen-edifact")
        GenEdifact(args[1], std::stoull(args[2]));
    else if (args.size() == 3 && args[0] == "gen-small")
        GenSmall(args[1], std::stoi(args[2]));
    else if (args.size() == 2 && args[0] == "classify")
        return Classify(args[1]);
    else if (args.size() == 2 && args[0] == "classify-list")
        return ClassifyList(args[1]);

    else
        Fail("usage: see the head of classify_bench.cpp");
    return 0;
}
