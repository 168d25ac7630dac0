// Fuzz target: the settings file reader and writer over a hostile "KESTO.INI".
//
// Input: the settings file. Every key the program reads is read with its default, and so is
// every section and key name that the file itself holds (in other letter case too). Then one
// value is written into the file, as closing does; the value must read back, and every other
// value must read as before.

#include <cctype>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/profile.h"

namespace {

constexpr std::size_t kMaxNames = 8;

struct Query {
    std::string section;
    std::string key;
};

// Section and key names that appear in the file, at most kMaxNames of each.
void NamesInFile(std::string_view content, std::vector<std::string>& sections,
                 std::vector<std::string>& keys) {
    std::size_t pos = 0;
    while (pos < content.size()) {
        std::size_t end = content.find('\n', pos);
        if (end == std::string_view::npos) end = content.size();
        std::string_view line = content.substr(pos, end - pos);
        pos = end + 1;
        std::size_t start = line.find_first_not_of(" \t");
        if (start == std::string_view::npos) continue;
        line = line.substr(start);
        if (line[0] == '[') {
            std::size_t close = line.find(']');
            if (close != std::string_view::npos && sections.size() < kMaxNames)
                sections.emplace_back(line.substr(1, close - 1));
        } else if (std::size_t eq = line.find('='); eq != std::string_view::npos && eq > 0) {
            std::string_view key = line.substr(0, eq);
            while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.remove_suffix(1);
            if (keys.size() < kMaxNames) keys.emplace_back(key);
        }
    }
}

std::string Flipped(std::string name) {
    for (char& c : name) {
        unsigned char u = static_cast<unsigned char>(c);
        if (std::islower(u)) {
            c = static_cast<char>(std::toupper(u));
        } else if (std::isupper(u)) {
            c = static_cast<char>(std::tolower(u));
        }
    }
    return name;
}

// Letters and digits only: a name that every reader of the file spells the same way.
bool Plain(const std::string& name) {
    if (name.empty() || name.size() > 64) return false;
    for (char c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

std::vector<std::string> ReadAll(const kv::platform::Profile& profile,
                                 const std::vector<Query>& queries) {
    std::vector<std::string> values;
    for (const Query& q : queries) {
        std::string value = profile.ReadString(q.section, q.key,
                                               "\x01"
                                               "default");
        KV_FUZZ_CHECK(value.size() < kv::platform::Profile::kStringBuffer);
        values.push_back(std::move(value));
        std::int32_t number = profile.ReadInteger(q.section, q.key, -7);
        std::int32_t parsed = 0;
        if (!kv::platform::Profile::ParseInteger(values.back(), parsed)) {
            KV_FUZZ_CHECK(number == -7);
        } else {
            KV_FUZZ_CHECK(number == parsed);
        }
        // Any value but 0 is true; the default (true) is not 0 either.
        KV_FUZZ_CHECK(profile.ReadBool(q.section, q.key, true) == (number != 0));
    }
    return values;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view content(reinterpret_cast<const char*>(data), size);
    kv::fuzz::ScratchDir dir;
    std::string path = dir / "KESTO.INI";
    if (!dir.Ok() || !kv::fuzz::WriteBytes(path, content)) return 0;
    kv::platform::Profile profile(path);

    std::vector<Query> queries = {
        {"timer", "active"}, {"internet", "active"}, {"SaveLog", "Active"}, {"Logfile", "Active"},
        {"Langue", "Setup"}, {"Internet", "SUB"},    {"Timer", "Day"},      {"Timer", "month"},
        {"Timer", "hour"},   {"Timer", "min"}};
    std::vector<std::string> sections, keys;
    NamesInFile(content, sections, keys);
    for (const std::string& s : sections) {
        for (const std::string& k : keys) queries.push_back({s, k});
        if (!keys.empty()) queries.push_back({Flipped(s), Flipped(keys.front())});
    }
    std::vector<std::string> before = ReadAll(profile, queries);

    // One write, into a section and key of the file when they are plainly spelt, else into a
    // key of the program's own.
    Query target{"LogFile", "Active"};
    if (!sections.empty() && Plain(sections.front())) target.section = sections.front();
    if (!keys.empty() && Plain(keys.back())) target.key = keys.back();
    std::string value = "v" + std::to_string(size) + "x" + std::to_string(content.size() % 97);
    KV_FUZZ_CHECK(profile.WriteString(target.section, target.key, value));
    std::vector<std::string> after = ReadAll(profile, queries);
    KV_FUZZ_CHECK(profile.ReadString(target.section, target.key, "") == value);
    auto same_name = [](const std::string& a, const std::string& b) {
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i) {
            if (std::toupper(static_cast<unsigned char>(a[i])) !=
                std::toupper(static_cast<unsigned char>(b[i])))
                return false;
        }
        return true;
    };
    for (std::size_t i = 0; i < queries.size(); ++i) {
        if (same_name(queries[i].section, target.section) && same_name(queries[i].key, target.key))
            continue;
        KV_FUZZ_CHECK(after[i] == before[i]);
    }
    return 0;
}
