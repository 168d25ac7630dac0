#include "platform/profile.h"

#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/files.h"

namespace kv::platform {

namespace {

std::string Trim(const std::string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
    while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t' || text[end - 1] == '\r'))
        --end;
    return text.substr(begin, end - begin);
}

// Cuts `text` to at most `limit` bytes without splitting a UTF-8 character.
std::string CutAtCharacter(std::string text, std::size_t limit) {
    if (text.size() <= limit) return text;
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
    return text;
}

// One line of the file as it was read, with what the parser made of it.
struct IniLine {
    std::string raw;  // without its '\n'
    enum Type { kOther, kSection, kKey } type = kOther;
    std::string name;  // section name or key
    std::string value;
};

std::vector<IniLine> ParseLines(const std::string& content) {
    std::vector<IniLine> lines;
    std::size_t pos = 0;
    while (pos < content.size()) {
        std::size_t end = content.find('\n', pos);
        if (end == std::string::npos) end = content.size();
        IniLine line;
        line.raw = content.substr(pos, end - pos);
        std::string text = Trim(line.raw);
        if (!text.empty() && text[0] == '[') {
            std::size_t close = text.find(']');
            if (close != std::string::npos) {
                line.type = IniLine::kSection;
                line.name = Trim(text.substr(1, close - 1));
            }
        } else if (!text.empty() && text[0] != ';' && text[0] != '#') {
            std::size_t equals = text.find('=');
            if (equals != std::string::npos && equals > 0) {
                line.type = IniLine::kKey;
                line.name = Trim(text.substr(0, equals));
                line.value = Trim(text.substr(equals + 1));
                // A value in matching quotes is read without them.
                if (line.value.size() >= 2 &&
                    (line.value.front() == '"' || line.value.front() == '\'') &&
                    line.value.back() == line.value.front()) {
                    line.value = line.value.substr(1, line.value.size() - 2);
                }
            }
        }
        lines.push_back(std::move(line));
        pos = end + 1;
    }
    return lines;
}

bool ReadWholeFile(const std::string& path, std::string& content) {
    content.clear();
    File file;
    if (!file.OpenRead(path)) return false;
    char buffer[8192];
    for (;;) {
        long n = file.Read(buffer, sizeof buffer);
        if (n < 0) return false;
        if (n == 0) break;
        content.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
}

// Index of the line that holds `key` in the first section named `section`: the key's line,
// or -1. `section_line` gets the section's header line or -1, `last_line` the last line that
// belongs to the section and is not blank.
// The settings text of a file: a zero byte ends it, as it would end the buffer it was read
// into. Reader and writer both see exactly this text, so a value written is a value read.
bool ReadSettingsText(const std::string& path, std::string& content) {
    if (!ReadWholeFile(path, content)) return false;
    std::size_t zero = content.find('\0');
    if (zero != std::string::npos) content.resize(zero);
    return true;
}

void Locate(const std::vector<IniLine>& lines, const std::string& section, const std::string& key,
            long& section_line, long& key_line, long& last_line) {
    section_line = -1;
    key_line = -1;
    last_line = -1;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const IniLine& line = lines[i];
        if (line.type == IniLine::kSection) {
            if (section_line >= 0) break;  // the next section begins
            if (EqualsIgnoringCase(line.name, section)) {
                section_line = static_cast<long>(i);
                last_line = section_line;
            }
            continue;
        }
        if (section_line < 0) continue;
        if (!Trim(line.raw).empty()) last_line = static_cast<long>(i);
        if (key_line < 0 && line.type == IniLine::kKey && EqualsIgnoringCase(line.name, key))
            key_line = static_cast<long>(i);
    }
}

bool MakeFolders(const std::string& folder) {
    if (folder.empty()) return true;
    std::string partial;
    std::size_t pos = 0;
    while (pos <= folder.size()) {
        std::size_t slash = folder.find('/', pos);
        if (slash == std::string::npos) slash = folder.size();
        partial = folder.substr(0, slash);
        if (!partial.empty() && ::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
        pos = slash + 1;
    }
    return IsFolder(folder);
}

// Values are single lines: a line break would start a new, unrelated line of the file.
std::string OneLine(const std::string& value) {
    std::string line = value;
    for (char& c : line) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    return line;
}

}  // namespace

std::string SettingsFolder() {
    const char* xdg = ::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') return WithTrailingSlash(xdg) + "kestravo/";
    const char* home = ::getenv("HOME");
    if (home != nullptr && home[0] != '\0') return WithTrailingSlash(home) + ".config/kestravo/";
    // Without HOME (a service, a cron job), the account's own home from the password
    // database: a shared folder such as /tmp would let any local user plant the settings.
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/') {
        return WithTrailingSlash(found->pw_dir) + ".config/kestravo/";
    }
    // No home at all: no settings folder; reads give the defaults and writes fail.
    return std::string();
}

bool WriteFileAtomically(const std::string& path, const std::string& bytes) {
    std::string target = path;
    char resolved[PATH_MAX];
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) &&
        ::realpath(path.c_str(), resolved) != nullptr) {
        target = resolved;
    }
    mode_t mode = 0644;
    if (::stat(target.c_str(), &st) == 0) mode = st.st_mode & 07777;

    std::string pattern = target + ".XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data());
    if (fd < 0) return false;
    File file;
    file.Adopt(fd);
    bool ok =
        ::fchmod(fd, mode) == 0 && file.WriteAll(bytes.data(), bytes.size()) && ::fsync(fd) == 0;
    int saved = errno;
    file.Close();
    if (ok && ::rename(name.data(), target.c_str()) == 0) return true;
    if (ok) saved = errno;
    ::unlink(name.data());
    errno = saved;
    return false;
}

Profile Profile::Settings() {
    const std::string folder = SettingsFolder();
    if (folder.empty()) return Profile(std::string());
    return Profile(ResolveCaseInsensitive(folder, "KESTO.INI"));
}

bool Profile::ParseInteger(const std::string& text, std::int32_t& value) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        if (text.size() > 10) return false;
        std::uint32_t result = 0;
        for (std::size_t i = 2; i < text.size(); ++i) {
            char c = text[i];
            unsigned digit;
            if (c >= '0' && c <= '9') {
                digit = static_cast<unsigned>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                digit = static_cast<unsigned>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                digit = static_cast<unsigned>(c - 'A' + 10);
            } else {
                return false;
            }
            result = result * 16 + digit;
        }
        value = static_cast<std::int32_t>(result);
        return true;
    }
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i >= text.size()) return false;
    std::int64_t result = 0;
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (c < '0' || c > '9') return false;
        result = result * 10 + (c - '0');
        if (result > 2147483648LL) return false;
    }
    if (negative) result = -result;
    if (result > INT32_MAX || result < INT32_MIN) return false;
    value = static_cast<std::int32_t>(result);
    return true;
}

std::string Profile::ReadString(const std::string& section, const std::string& key,
                                const std::string& default_value) const {
    std::string content;
    if (!ReadSettingsText(path_, content)) return CutAtCharacter(default_value, kStringBuffer - 1);
    std::vector<IniLine> lines = ParseLines(content);
    long section_line, key_line, last_line;
    Locate(lines, section, key, section_line, key_line, last_line);
    if (key_line < 0) return CutAtCharacter(default_value, kStringBuffer - 1);
    return CutAtCharacter(lines[static_cast<std::size_t>(key_line)].value, kStringBuffer - 1);
}

std::int32_t Profile::ReadInteger(const std::string& section, const std::string& key,
                                  std::int32_t default_value) const {
    // A marker that no value can equal tells a missing key from an empty one.
    static const std::string kMissing("\x01missing");
    std::string text = ReadString(section, key, kMissing);
    std::int32_t value;
    if (text == kMissing || !ParseInteger(text, value)) return default_value;
    return value;
}

bool Profile::ReadBool(const std::string& section, const std::string& key,
                       bool default_value) const {
    return ReadInteger(section, key, default_value ? 1 : 0) != 0;
}

bool Profile::WriteString(const std::string& section, const std::string& key,
                          const std::string& value) const {
    if (path_.empty()) return false;  // no settings file at all (no home folder)
    std::string content;
    if (!ReadSettingsText(path_, content)) {
        if (FileExists(path_)) return false;  // there, but unreadable: do not replace it
        content.clear();
        std::size_t slash = path_.rfind('/');
        if (slash != std::string::npos && !MakeFolders(path_.substr(0, slash + 1))) return false;
    }
    bool ended = content.empty() || content.back() == '\n';
    std::vector<IniLine> lines = ParseLines(content);
    long section_line, key_line, last_line;
    Locate(lines, section, key, section_line, key_line, last_line);

    IniLine entry;
    entry.raw = key + "=" + OneLine(value);
    if (key_line >= 0) {
        IniLine& old = lines[static_cast<std::size_t>(key_line)];
        // Keep the key's own spelling; only the value changes.
        std::string trimmed = Trim(old.raw);
        entry.raw = trimmed.substr(0, trimmed.find('='));
        while (!entry.raw.empty() && (entry.raw.back() == ' ' || entry.raw.back() == '\t'))
            entry.raw.pop_back();
        entry.raw += '=';
        entry.raw += OneLine(value);
        // The line keeps the line end it had (a file written on another system ends its
        // lines in CR LF).
        if (!old.raw.empty() && old.raw.back() == '\r') entry.raw += '\r';
        old.raw = entry.raw;
    } else if (section_line >= 0) {
        const std::string& neighbour = lines[static_cast<std::size_t>(last_line)].raw;
        if (!neighbour.empty() && neighbour.back() == '\r') entry.raw += '\r';
        lines.insert(lines.begin() + last_line + 1, entry);
    } else {
        if (!lines.empty() && !Trim(lines.back().raw).empty()) lines.push_back(IniLine{});
        IniLine header;
        header.raw = "[" + section + "]";
        lines.push_back(header);
        lines.push_back(entry);
        ended = true;
    }

    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        out += lines[i].raw;
        if (i + 1 < lines.size() || ended) out += '\n';
    }
    return WriteFileAtomically(path_, out);
}

bool Profile::WriteInteger(const std::string& section, const std::string& key,
                           std::int32_t value) const {
    return WriteString(section, key, std::to_string(value));
}

bool Profile::WriteBool(const std::string& section, const std::string& key, bool value) const {
    return WriteString(section, key, value ? "1" : "0");
}

std::string Profile::WriteErrorText() const {
    return "Unable to write to " + path_;
}

}  // namespace kv::platform
