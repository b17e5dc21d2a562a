// The user reference of Korvane.ini (docs/settings.md and its manual page
// packaging/korvane.ini.5) against the table of keys: every key of the table
// has exactly one entry in each, no entry names a key the table lacks, and
// an entry states the key's default and range as the table has them.
#include "config/SettingsKeys.h"
#include "support/TestSupport.h"

#include <climits>
#include <cstdlib>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <sstream>

using kvtest::ReadFile;

namespace {

// The keys whose extra groups 1 to 9 are described once, as "Name<n>".
const char* const kGroupKeys[] = {"Options/LocalInPath", "Options/LocalOutPath",
                                  "Options/RemoteInPath", "Options/RemoteOutPath"};

// Each entry's key and its text, as the page lists them. A key listed twice
// is recorded under "twice:" so the comparison reports it.
using Entries = std::map<std::string, std::string>;

void AddEntry(Entries& entries, const std::string& key) {
    const std::string name = entries.count(key) ? "twice:" + key : key;
    entries[name];
}

// docs/settings.md: "- **`Section/Name`**: text", the text running on to
// the next blank line or item.
Entries MarkdownEntries(const std::string& text) {
    Entries entries;
    const std::regex item(R"(^- \*\*`([A-Za-z]+/[A-Za-z0-9<>]+)`\*\*)");
    std::istringstream in(text);
    std::string line, current;
    while (std::getline(in, line)) {
        std::smatch m;
        if (std::regex_search(line, m, item)) {
            current = m[1];
            AddEntry(entries, current);
        } else if (line.empty() || line.rfind("- ", 0) == 0 || line.rfind("#", 0) == 0) {
            current.clear();
        }
        if (!current.empty())
            entries[current] += line + " ";
    }
    return entries;
}

// packaging/korvane.ini.5: ".TP", ".B Section/Name", text up to the next request.
Entries ManualEntries(const std::string& text) {
    Entries entries;
    const std::regex item(R"(^\.B ([A-Za-z]+/[A-Za-z0-9<>]+)$)");
    std::istringstream in(text);
    std::string line, previous, current;
    while (std::getline(in, line)) {
        std::smatch m;
        if (previous == ".TP" && std::regex_search(line, m, item)) {
            current = m[1];
            AddEntry(entries, current);
        } else if (line.rfind(".", 0) == 0) {
            current.clear();
        } else if (!current.empty()) {
            entries[current] += line + " ";
        }
        previous = line;
    }
    return entries;
}

std::map<std::string, const kv::SettingKey*> TableEntries() {
    std::map<std::string, const kv::SettingKey*> keys;
    for (const kv::SettingKey* key : kv::AllSettingKeys())
        keys[key->Path()] = key;
    for (const char* group : kGroupKeys) {
        const std::string path = std::string(group) + "<n>";
        // A group key named here must be a key of the table.
        EXPECT_EQ(keys.count(group), 1u) << group;
        keys[path] = keys[group];
    }
    return keys;
}

TEST(SettingsReference, EveryKeyOfTheTableOnceInTheDocsAndTheManualPage) {
    const char* source = std::getenv("KORVANE_SOURCE_DIR");
    ASSERT_NE(source, nullptr) << "run through ctest";
    const std::string root(source);
    const struct {
        const char* file;
        Entries entries;
    } pages[] = {
        {"docs/settings.md", MarkdownEntries(ReadFile(root + "/docs/settings.md"))},
        {"packaging/korvane.ini.5", ManualEntries(ReadFile(root + "/packaging/korvane.ini.5"))},
    };
    const auto table = TableEntries();
    for (const auto& page : pages) {
        for (const auto& [path, key] : table) {
            auto it = page.entries.find(path);
            if (it == page.entries.end()) {
                ADD_FAILURE() << page.file << " lacks " << path;
                continue;
            }
            const std::string& text = it->second;
            const bool group = path.back() == '>';
            // The default a user gets, as the table has it.
            if (!group && !key->absent.empty()) {
                EXPECT_NE(text.find(std::string(key->absent)), std::string::npos)
                    << page.file << ": " << path << " does not say its default " << key->absent;
            }
            if (key->kind == kv::ValueKind::Number &&
                (key->min != INT32_MIN || key->max != INT32_MAX)) {
                EXPECT_NE(text.find(std::to_string(key->min) + " to " + std::to_string(key->max)),
                          std::string::npos)
                    << page.file << ": " << path << " does not say its range";
            }
        }
        for (const auto& [path, text] : page.entries)
            EXPECT_EQ(table.count(path), 1u)
                << page.file << " names " << path << ", which is no key of the table (or twice)";
    }
}

} // namespace
