#pragma once
// A literal reading of the classification rules, kept beside the tests as the
// yardstick for the one-pass scanner: each function opens the file itself,
// reads it line by line from the start and holds whole lines, exactly as the
// rules are written. Slow on purpose; never used by the program.
#include <string>
#include <vector>

namespace kvref {

struct Result {
    bool ok = true;
    std::string sender;
    std::string receiver;
    std::string type;
};

bool SplitFields(std::string text, char sep, std::vector<std::string>& list);

// Throw std::runtime_error when the file cannot be opened or read.
std::string FindSender(const std::string& path);
std::string FindReceiver(const std::string& path);
std::string FindMessageType(const std::string& path);

// The name rules alone; false when neither applies.
bool ClassifyByName(const std::string& name, bool incoming, Result& out);
Result ClassifyFile(const std::string& name, const std::string& path, bool incoming);

} // namespace kvref
