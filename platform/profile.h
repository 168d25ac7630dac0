// The settings file: an INI-style file of sections ("[name]") and "key=value" lines, read and
// written the way the program has always kept its settings. Sections and keys are compared
// without regard to letter case; lines that are not touched by a write are kept exactly as
// they stand; every write replaces the file atomically (a temporary file in the same folder,
// then a rename), so a crash never leaves half a settings file behind.
//
// Each read and each write opens the file anew: the object keeps nothing but the path.
#pragma once

#include <cstdint>
#include <string>

namespace kv::platform {

// The folder that holds the settings file: $XDG_CONFIG_HOME/kestravo/ when that variable is
// set to an absolute path, else $HOME/.config/kestravo/, and when HOME is unset or empty the
// account's home from the password database; always ending in '/'. Empty when the account
// has no home at all (never a shared folder such as /tmp). Not created here: the first write
// creates it.
std::string SettingsFolder();

// Writes `bytes` to `path` through a temporary file in the same folder that is flushed to
// disk and then renamed over `path`. A symbolic link at `path` is followed, so the file it
// points at is replaced and the link stays. On failure the old file is untouched, no
// temporary file is left behind and errno tells why.
bool WriteFileAtomically(const std::string& path, const std::string& bytes);

class Profile {
public:
    // String values come back cut to this many bytes minus one (at a character boundary).
    static constexpr std::size_t kStringBuffer = 1024;

    explicit Profile(std::string path) : path_(std::move(path)) {}

    // The program's settings file "KESTO.INI" in SettingsFolder(); an existing file whose name
    // differs only in letter case is used instead. Without a settings folder the path is
    // empty: every read gives its default and every write fails.
    static Profile Settings();

    const std::string& Path() const { return path_; }

    // The value of `key` in `section`, or `default_value` when the file, the section or the
    // key is missing. A key that is present with an empty value reads as "".
    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& default_value) const;
    // A decimal value (with an optional sign), or a hexadecimal one written "0x..."/"0X...".
    // A missing key, an empty value or a text that is not a number gives `default_value`.
    std::int32_t ReadInteger(const std::string& section, const std::string& key,
                             std::int32_t default_value) const;
    // An integer value; anything but 0 is true.
    bool ReadBool(const std::string& section, const std::string& key, bool default_value) const;

    // Sets `key` in `section` to `value`, adding the section and the key when they are
    // missing. Creates the file and its folder when needed. False when the file cannot be
    // written (see WriteErrorText).
    bool WriteString(const std::string& section, const std::string& key,
                     const std::string& value) const;
    bool WriteInteger(const std::string& section, const std::string& key, std::int32_t value) const;
    // Written as "0" or "1".
    bool WriteBool(const std::string& section, const std::string& key, bool value) const;

    // The message shown when a write is refused: "Unable to write to <path>".
    std::string WriteErrorText() const;

    // Parses an integer value as ReadInteger does; false when `text` is not a number.
    static bool ParseInteger(const std::string& text, std::int32_t& value);

private:
    std::string path_;
};

}  // namespace kv::platform
