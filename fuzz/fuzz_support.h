// Helpers shared by the fuzz targets: a scratch folder for one input, writing and reading
// whole files, a reader of the input's leading fields, and the check that turns a broken
// promise of a reader into a crash that the fuzzer reports with its input.
//
// Every target defines LLVMFuzzerTestOneInput. The fuzz build links it with libFuzzer; the
// normal build links it with replay_main.cpp, which runs kept inputs through it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kv::fuzz {

// A fresh folder under the temporary folder for one input, removed with the files in it (one
// level deep) on destruction. Path() ends in '/'; empty when the folder could not be made.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    bool Ok() const { return !path_.empty(); }
    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + name; }

private:
    std::string path_;
};

// Writes `bytes` to `path`, replacing it. False when that fails.
bool WriteBytes(const std::string& path, std::string_view bytes);
// The whole content of `path`; empty when it cannot be read.
std::string ReadBytes(const std::string& path);

// Takes fixed-size fields from the front of an input; what is left over is the payload.
class InputReader {
public:
    InputReader(const std::uint8_t* data, std::size_t size)
        : data_(reinterpret_cast<const char*>(data), size) {}
    // Little-endian; 0 for the bytes that the input lacks.
    std::uint8_t Byte();
    std::uint16_t U16();
    std::string_view Rest() const { return data_.substr(pos_); }

private:
    std::string_view data_;
    std::size_t pos_ = 0;
};

// Prints what failed and aborts; the fuzzer keeps the input that got here.
[[noreturn]] void Fail(const char* condition, const char* file, int line);

}  // namespace kv::fuzz

// A property the code under test promises for every input, however hostile.
#define KV_FUZZ_CHECK(condition) \
    ((condition) ? static_cast<void>(0) : ::kv::fuzz::Fail(#condition, __FILE__, __LINE__))

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
