#include "fuzz/fuzz_support.h"

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "platform/files.h"

namespace kv::fuzz {

ScratchDir::ScratchDir() {
    std::string pattern = platform::TempFolder() + "kvfuzz.XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (::mkdtemp(name.data()) != nullptr) path_ = std::string(name.data()) + "/";
}

ScratchDir::~ScratchDir() {
    if (path_.empty()) return;
    if (DIR* dir = ::opendir(path_.c_str())) {
        while (dirent* entry = ::readdir(dir)) {
            std::string name = entry->d_name;
            if (name == "." || name == "..") continue;
            ::unlink((path_ + name).c_str());
        }
        ::closedir(dir);
    }
    ::rmdir(path_.c_str());
}

bool WriteBytes(const std::string& path, std::string_view bytes) {
    platform::File file;
    return file.Create(path) && file.WriteAll(bytes.data(), bytes.size());
}

std::string ReadBytes(const std::string& path) {
    std::string content;
    platform::File file;
    if (!file.OpenRead(path)) return content;
    char buffer[8192];
    for (;;) {
        long n = file.Read(buffer, sizeof buffer);
        if (n <= 0) break;
        content.append(buffer, static_cast<std::size_t>(n));
    }
    return content;
}

std::uint8_t InputReader::Byte() {
    if (pos_ >= data_.size()) return 0;
    return static_cast<std::uint8_t>(data_[pos_++]);
}

std::uint16_t InputReader::U16() {
    std::uint16_t low = Byte();
    std::uint16_t high = Byte();
    return static_cast<std::uint16_t>(low | (high << 8));
}

void Fail(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
    std::fflush(stderr);
    ::abort();
}

}  // namespace kv::fuzz
