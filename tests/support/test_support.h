// Helpers shared by the unit tests: temporary folders that clean themselves up, file
// writing, and running a program of the build with its output captured.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// KV_UNDER_ASAN is 1 in a build with AddressSanitizer, which reserves far more address space
// than it uses: a limit on the address space (RLIMIT_AS) means nothing there.
#if defined(__SANITIZE_ADDRESS__)
#define KV_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KV_UNDER_ASAN 1
#endif
#endif

namespace kv::test {

// The program folder of the build (ending in '/') and the source tree (ending in '/').
inline std::string ProgramDir() {
    return KV_PROGRAM_DIR;
}
inline std::string SourceDir() {
    return KV_SOURCE_DIR;
}

// A fresh folder under the temporary folder, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    // The folder's path, ending in '/'.
    const std::string& Path() const { return path_; }
    // Path() + relative.
    std::string operator/(const std::string& relative) const { return path_ + relative; }

private:
    std::string path_;
};

// Writes `bytes` to `path`, creating missing parent folders.
void WriteFile(const std::string& path, const std::string& bytes);
void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes);
std::string ReadFile(const std::string& path);
void MakeFolders(const std::string& path);

struct CommandResult {
    int exit_code = -1;
    std::string out;
    std::string err;
};
// Runs argv (argv[0] a path) with standard input from /dev/null and captures both outputs.
CommandResult RunCommand(const std::vector<std::string>& argv,
                         const std::string& working_folder = "");

// `argv` run as the ordinary user "nobody" (through setpriv), for tests of what an unprivileged
// user can do. Only root can switch users: check RunningAsRoot() and skip otherwise.
std::vector<std::string> AsNobody(const std::vector<std::string>& argv);
bool RunningAsRoot();

// A TCP port on 127.0.0.1 that was free a moment ago (bound and released): nothing listens on
// it, and a server started next may take it.
std::uint16_t FreeLoopbackPort();

// The standard anti-virus test string (68 bytes), assembled so that this source file does not
// itself carry it in one piece.
std::string EicarString();

// Number of entries in the temporary folder whose names start with `prefix`.
int CountTempFiles(const std::string& folder, const std::string& prefix);

}  // namespace kv::test
