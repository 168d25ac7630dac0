// Runs kept inputs through a fuzz target's entry point without libFuzzer, so that the normal
// build replays every input that once crashed a reader (and the seed corpora) as a test.
//
// usage: replay_<target> PATH...   (a PATH that is a folder stands for every file in it)
// Exits 0 when every input ran, 1 when a PATH does not exist; a reader that crashes takes
// the program with it.

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"

namespace {

// Adds `path`, or the regular files of the folder `path` in name order. False when `path`
// does not exist.
bool Collect(const std::string& path, std::vector<std::string>& files) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    if (S_ISREG(st.st_mode)) {
        files.push_back(path);
        return true;
    }
    if (!S_ISDIR(st.st_mode)) return true;
    std::vector<std::string> found;
    if (DIR* dir = ::opendir(path.c_str())) {
        while (dirent* entry = ::readdir(dir)) {
            std::string name = entry->d_name;
            if (name.empty() || name[0] == '.') continue;
            std::string child = path + "/" + name;
            if (::stat(child.c_str(), &st) == 0 && S_ISREG(st.st_mode)) found.push_back(child);
        }
        ::closedir(dir);
    }
    std::sort(found.begin(), found.end());
    files.insert(files.end(), found.begin(), found.end());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> files;
    bool all_found = true;
    for (int i = 1; i < argc; ++i) all_found = Collect(argv[i], files) && all_found;
    for (const std::string& path : files) {
        std::string input = kv::fuzz::ReadBytes(path);
        std::fprintf(stderr, "replaying %s (%zu bytes)\n", path.c_str(), input.size());
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
    }
    std::printf("replayed %zu inputs\n", files.size());
    return all_found ? 0 : 1;
}
