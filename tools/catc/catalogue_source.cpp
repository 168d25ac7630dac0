#include "tools/catc/catalogue_source.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <optional>
#include <unordered_map>

#include "catalogue/catalogue_format.h"

namespace kv::catc {

namespace {

using catalogue::kMaxTextLength;
using catalogue::kRecordSize;
using catalogue::Record;

// Above this many records the read-back check of Build is skipped: it is quadratic.
constexpr std::size_t kMaxCheckedRecords = 10000;

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view TrimLeft(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    return s;
}

std::string_view TrimRight(std::string_view s) {
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

// A decimal number of digits only, or nothing when it is not one or exceeds `max`.
std::optional<unsigned long> ParseDecimal(std::string_view digits, unsigned long max) {
    if (digits.empty()) return std::nullopt;
    unsigned long value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned long>(c - '0');
        if (value > max) return std::nullopt;
    }
    return value;
}

bool AllDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string Hex2(unsigned char byte) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "\\x%02X", byte);
    return buffer;
}

}  // namespace

bool Unescape(std::string_view body, std::string& text, std::string& error) {
    text.clear();
    for (std::size_t i = 0; i < body.size(); ++i) {
        char c = body[i];
        if (c != '\\') {
            text.push_back(c);
            continue;
        }
        if (i + 1 >= body.size()) {
            error = "backslash at the end of the text (write \\\\ for a backslash)";
            return false;
        }
        char e = body[++i];
        switch (e) {
            case 'n':
                text.push_back('\n');
                break;
            case 'r':
                text.push_back('\r');
                break;
            case 't':
                text.push_back('\t');
                break;
            case '\\':
                text.push_back('\\');
                break;
            case '"':
                text.push_back('"');
                break;
            case 'x': {
                int high = i + 1 < body.size() ? HexValue(body[i + 1]) : -1;
                int low = i + 2 < body.size() ? HexValue(body[i + 2]) : -1;
                if (high < 0 || low < 0) {
                    error = "\\x needs two hex digits";
                    return false;
                }
                text.push_back(static_cast<char>(high * 16 + low));
                i += 2;
                break;
            }
            default: {
                std::size_t length = catalogue::Utf8SequenceAt(body, i);
                error = "unknown escape \\" + std::string(body.substr(i, length ? length : 1));
                return false;
            }
        }
    }
    return true;
}

std::string QuoteText(std::string_view text) {
    std::string out = "\"";
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t length = catalogue::Utf8SequenceAt(text, pos);
        unsigned char c = static_cast<unsigned char>(text[pos]);
        if (length > 1) {
            out.append(text.substr(pos, length));
        } else if (length == 0) {
            out += Hex2(c);  // a byte that is no UTF-8 character
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            out += Hex2(c);
        } else {
            out.push_back(static_cast<char>(c));
        }
        pos += length ? length : 1;
    }
    out += "\"";
    return out;
}

void CatalogueSource::Error(const std::string& file, int line, const std::string& message) {
    errors_.push_back(file + ":" + std::to_string(line) + ": " + message);
}

void CatalogueSource::AddSource(const std::string& file_name, std::string_view contents) {
    std::optional<std::uint8_t> language;
    bool reported_missing_header = false;
    int line_number = 0;
    std::size_t start = 0;
    while (start < contents.size()) {
        std::size_t end = contents.find('\n', start);
        if (end == std::string_view::npos) end = contents.size();
        std::string_view line = contents.substr(start, end - start);
        start = end + 1;
        ++line_number;

        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line_number == 1 && line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);
        line = TrimLeft(line);
        if (line.empty() || line.front() == '#') continue;

        std::size_t token_end = 0;
        while (token_end < line.size() && !IsBlank(line[token_end])) ++token_end;
        std::string_view token = line.substr(0, token_end);
        std::string_view rest = line.substr(token_end);

        if (token == "language") {
            std::string_view value = TrimRight(TrimLeft(rest));
            std::optional<unsigned long> number = ParseDecimal(value, 255);
            if (!number) {
                Error(file_name, line_number,
                      "bad language number '" + std::string(value) + "' (0 to 255)");
                continue;
            }
            language = static_cast<std::uint8_t>(*number);
            languages_.insert(*language);
            continue;
        }
        if (!AllDigits(token)) {
            if (!token.empty() && token.front() >= '0' && token.front() <= '9') {
                Error(file_name, line_number, "bad message number '" + std::string(token) + "'");
            } else {
                Error(file_name, line_number,
                      "expected a message number or 'language N', found '" + std::string(token) +
                          "'");
            }
            continue;
        }
        std::optional<unsigned long> number = ParseDecimal(token, 65535);
        if (!number) {
            Error(file_name, line_number,
                  "bad message number " + std::string(token) + " (0 to 65535)");
            continue;
        }
        if (!language) {
            if (!reported_missing_header) {
                Error(file_name, line_number,
                      "missing language header: a line 'language N' must come before the "
                      "first message");
                reported_missing_header = true;
            }
            continue;
        }
        ParseMessage(file_name, line_number, rest, static_cast<std::uint16_t>(*number), *language);
    }
    if (!language && !reported_missing_header) {
        Error(file_name, line_number > 0 ? line_number : 1,
              "missing language header: the file has no line 'language N'");
    }
}

void CatalogueSource::ParseMessage(const std::string& file, int line, std::string_view rest,
                                   std::uint16_t number, std::uint8_t language) {
    const std::string what = "message " + std::to_string(number);
    rest = TrimLeft(rest);
    if (rest.empty()) {
        Error(file, line, what + " has no text (write \"\" for an empty text)");
        return;
    }
    std::string_view body;
    if (rest.front() == '"') {
        std::size_t close = 1;
        while (close < rest.size() && rest[close] != '"') close += rest[close] == '\\' ? 2 : 1;
        if (close >= rest.size()) {
            Error(file, line, what + ": missing closing quote");
            return;
        }
        if (!TrimLeft(rest.substr(close + 1)).empty()) {
            Error(file, line, what + ": text after the closing quote");
            return;
        }
        body = rest.substr(1, close - 1);
    } else {
        body = TrimRight(rest);
    }

    std::string text, error;
    if (!Unescape(body, text, error)) {
        Error(file, line, what + ": " + error);
        return;
    }
    if (text.size() > kMaxTextLength) {
        Error(file, line,
              what + ": text of " + std::to_string(text.size()) + " bytes, more than " +
                  std::to_string(kMaxTextLength));
        return;
    }
    std::size_t bad = catalogue::FindInvalidUtf8(text);
    if (bad != std::string_view::npos) {
        Error(file, line, what + ": invalid UTF-8 at byte " + std::to_string(bad) + " of the text");
        return;
    }
    if (text.find('\0') != std::string::npos) {
        Error(file, line, what + ": the text holds a NUL byte");
        return;
    }
    auto [it, inserted] =
        messages_.try_emplace({number, language}, SourceMessage{text, file, line});
    if (!inserted) {
        Error(file, line,
              what + " given twice for language " + std::to_string(language) + " (first at " +
                  it->second.file + ":" + std::to_string(it->second.line) + ")");
    }
}

std::vector<std::string> CatalogueSource::Warnings() const {
    std::map<std::uint16_t, std::set<std::uint8_t>> present;
    for (const auto& [key, message] : messages_) present[key.first].insert(key.second);
    std::vector<std::string> warnings;
    for (const auto& [number, languages] : present) {
        for (std::uint8_t language : languages_) {
            if (!languages.count(language)) {
                warnings.push_back("warning: message " + std::to_string(number) +
                                   " has no text in language " + std::to_string(language));
            }
        }
    }
    return warnings;
}

bool CatalogueSource::Build(std::string& image, std::string& error) const {
    const std::uint64_t directory_size = messages_.size() * kRecordSize;
    std::string texts;
    std::unordered_map<std::string, std::uint32_t> stored;  // text -> its offset
    std::vector<Record> records;
    records.reserve(messages_.size());
    for (const auto& [key, message] : messages_) {
        Record record;
        record.number = key.first;
        record.language = key.second;
        record.length = static_cast<std::uint16_t>(message.text.size());
        std::uint64_t offset = directory_size;  // where an empty text points: inside the file
        if (!message.text.empty()) {
            auto found = stored.find(message.text);
            if (found != stored.end()) {
                offset = found->second;
            } else {
                offset = directory_size + texts.size();
                if (offset + message.text.size() > std::numeric_limits<std::uint32_t>::max()) {
                    error = "the catalogue would exceed 4 GiB";
                    return false;
                }
                stored.emplace(message.text, static_cast<std::uint32_t>(offset));
                texts += message.text;
            }
        }
        record.offset = static_cast<std::uint32_t>(offset);
        records.push_back(record);
    }

    image.assign(directory_size, '\0');
    for (std::size_t i = 0; i < records.size(); ++i) {
        catalogue::EncodeRecord(records[i],
                                reinterpret_cast<unsigned char*>(image.data()) + i * kRecordSize);
    }
    image += texts;

    // Read every text back the way the program looks it up, including the languages a message
    // lacks, which must give no text.
    if (messages_.size() > kMaxCheckedRecords) return true;
    std::set<std::uint16_t> numbers;
    for (const auto& entry : messages_) numbers.insert(entry.first.first);
    for (std::uint16_t number : numbers) {
        for (std::uint8_t language : languages_) {
            catalogue::ImageRecords source(image);
            std::optional<Record> found = catalogue::FindRecord(source, number, language);
            auto expected = messages_.find({number, language});
            bool good = expected == messages_.end()
                            ? !found.has_value()
                            : found && catalogue::TextOf(image, *found) == expected->second.text;
            if (!good) {
                error = "internal error: message " + std::to_string(number) + " in language " +
                        std::to_string(language) + " does not read back as written";
                return false;
            }
        }
    }
    return true;
}

std::string DumpCatalogue(std::string_view image, const std::string& name) {
    struct Entry {
        Record record;
        std::uint64_t position;
    };
    std::vector<Entry> entries;
    catalogue::ImageRecords source(image);
    Record record;
    while (source.Next(record)) entries.push_back({record, source.LastPosition()});

    std::string out = "# " + name + ": " + std::to_string(image.size()) + " bytes, " +
                      std::to_string(entries.size()) + " directory records\n";
    if (entries.empty()) return out;

    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        if (a.record.language != b.record.language) return a.record.language < b.record.language;
        return a.record.number < b.record.number;
    });
    int language = -1;
    for (const Entry& entry : entries) {
        const Record& r = entry.record;
        if (r.language != language) {
            language = r.language;
            out += "\nlanguage " + std::to_string(language) + "\n";
        }
        std::string where = "# message " + std::to_string(r.number) + " (record at " +
                            std::to_string(entry.position) + ", offset " +
                            std::to_string(r.offset) + ", length " + std::to_string(r.length) +
                            "): ";
        if (static_cast<std::uint64_t>(r.offset) + r.length > image.size()) {
            out += where + "the text reaches past the end of the file; shown as far as it goes\n";
        }
        std::string_view text = catalogue::TextOf(image, r);
        if (catalogue::FindInvalidUtf8(text) != std::string_view::npos) {
            out += where + "the text is not valid UTF-8\n";
        }
        catalogue::ImageRecords lookup(image);
        std::optional<Record> found = catalogue::FindRecord(lookup, r.number, r.language);
        bool reachable = found && lookup.LastPosition() == entry.position;
        std::string line = std::to_string(r.number) + " " + QuoteText(text) + "\n";
        if (!reachable) {
            out += where + "a lookup never finds this record\n# " + line;
        } else {
            out += line;
        }
    }
    return out;
}

}  // namespace kv::catc
