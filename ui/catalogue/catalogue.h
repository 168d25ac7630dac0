// The message catalogue: every numbered text the user sees, read from "langua.ge" in the
// program folder for the current language. No Qt here: the engine and the command-line
// scanner use it too.
#pragma once

#include <cstdint>
#include <string>

namespace kv {

class Catalogue {
public:
    // Texts handed out by MessageTextPtr are cut to this many bytes (at a character boundary).
    static constexpr std::size_t kBufferSize = 132;

    Catalogue() = default;
    Catalogue(std::string program_folder, std::uint16_t language)
        : folder_(std::move(program_folder)), language_(language) {}

    // The folder that holds "langua.ge", ending in '/'.
    void SetProgramFolder(std::string folder) { folder_ = std::move(folder); }
    const std::string& ProgramFolder() const { return folder_; }
    // The language number of the settings; 0 until the settings are read.
    void SetLanguage(std::uint16_t language) { language_ = language; }
    std::uint16_t Language() const { return language_; }

    // Sets `text` to message `number` in the current language, or to "" when there is none.
    // The file is opened, scanned and closed on every call.
    void GetMessageText(std::uint16_t number, std::string& text) const;
    // The same, returned by value.
    std::string Text(std::uint16_t number) const;
    // The text copied into this catalogue's 132-byte buffer (at most 131 bytes and a zero);
    // the next call overwrites it.
    const char* MessageTextPtr(std::uint16_t number);

private:
    std::string folder_;
    std::uint16_t language_ = 0;
    char buffer_[kBufferSize] = {};
};

}  // namespace kv
