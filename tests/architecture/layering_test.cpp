// The folders of the product are its layers: each includes only the folders below it, so the
// folder graph is the link graph, and nothing outside the desktop program includes Qt or a
// header of the desktop program.
#include <dirent.h>
#include <sys/stat.h>

#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace kv::test {
namespace {

// The folders each product folder may include from, besides itself.
const std::map<std::string, std::set<std::string>>& AllowedIncludes() {
    static const std::map<std::string, std::set<std::string>> allowed = {
        {"platform", {}},
        {"catalogue", {"platform"}},
        {"report", {"platform", "catalogue"}},
        {"containers", {"platform"}},
        {"engine", {"platform", "catalogue", "report", "containers"}},
        {"update", {"platform", "containers"}},
        {"tools", {"platform", "catalogue", "report", "containers", "engine", "update"}},
    };
    return allowed;
}

void ListSources(const std::string& folder, std::vector<std::string>& files) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = folder + "/" + name;
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            ListSources(path, files);
        } else if (name.ends_with(".h") || name.ends_with(".cpp")) {
            files.push_back(path);
        }
    }
    ::closedir(dir);
}

// The target of every #include line of `path`, with its delimiters ("x/y.h" or <QFoo>).
std::vector<std::string> Includes(const std::string& path) {
    std::vector<std::string> out;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        const std::size_t hash = line.find_first_not_of(" \t");
        if (hash == std::string::npos || line.compare(hash, 8, "#include") != 0) continue;
        const std::size_t open = line.find_first_of("\"<", hash + 8);
        if (open == std::string::npos) continue;
        const std::size_t close = line.find(line[open] == '"' ? '"' : '>', open + 1);
        if (close != std::string::npos) out.push_back(line.substr(open, close - open + 1));
    }
    return out;
}

TEST(Layering, EveryFolderIncludesOnlyTheFoldersBelowIt) {
    const std::string root = KV_SOURCE_DIR;
    int files_checked = 0;
    for (const auto& [folder, allowed] : AllowedIncludes()) {
        std::vector<std::string> files;
        ListSources(root + folder, files);
        for (const std::string& file : files) {
            ++files_checked;
            for (const std::string& include : Includes(file)) {
                if (include[0] == '<') {
                    EXPECT_FALSE(include.size() > 2 && include[1] == 'Q' &&
                                 std::isupper(static_cast<unsigned char>(include[2])))
                        << file << " includes Qt: " << include;
                    continue;
                }
                const std::string target = include.substr(1, include.size() - 2);
                const std::size_t slash = target.find('/');
                if (slash == std::string::npos) continue;  // a header beside the file
                const std::string layer = target.substr(0, slash);
                EXPECT_TRUE(layer == folder || allowed.count(layer) == 1)
                    << file << " (" << folder << ") includes " << include;
            }
        }
    }
    EXPECT_GT(files_checked, 50);
}

}  // namespace
}  // namespace kv::test
