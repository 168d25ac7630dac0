// The message catalogue: every numbered text the user sees, read from "langua.ge" in the
// program folder for the current language. No Qt here: the engine and the command-line
// scanner use it too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

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
    // The file is opened, scanned and closed on every call; nothing is cached, so a catalogue
    // replaced on disk (an update) is read at the next call. A record whose text reaches past
    // the end of the file gives the bytes that are present.
    void GetMessageText(std::uint16_t number, std::string& text) const;
    // The same, returned by value.
    std::string Text(std::uint16_t number) const;
    // The text copied into this catalogue's 132-byte buffer (at most 131 bytes and a zero);
    // the next call overwrites it. A longer text is cut at a character boundary, never inside
    // a multi-byte UTF-8 character.
    const char* MessageTextPtr(std::uint16_t number);

    // Whether the catalogue file holds any text in language `language`.
    bool HasLanguage(std::uint16_t language) const;

    // The path of the catalogue file: ProgramFolder() + "langua.ge", matched ignoring case.
    std::string FilePath() const;

private:
    std::string folder_;
    std::uint16_t language_ = 0;
    char buffer_[kBufferSize] = {};
};

// The longest prefix of `text` of at most `max_bytes` bytes that ends at a character
// boundary: a well-formed multi-byte UTF-8 character is kept whole or left out whole; a byte
// that belongs to no well-formed character counts as one character of its own. Serves every
// fixed-size text field (the message buffer, the tray tip).
std::size_t Utf8PrefixLength(std::string_view text, std::size_t max_bytes);

}  // namespace kv
