// The layout of the message catalogue file "langua.ge" and the directory search that both the
// reader (Catalogue) and the compiler (kestravo-catc) use.
//
// The file starts at offset 0 with a directory of packed 9-byte little-endian records:
//   0  u16  message number
//   2  u8   language number
//   3  u16  text length in bytes (0 to 65535)
//   5  u32  absolute file offset of the text
// The directory has no count and no end marker. The records of one message number stand next
// to each other, one per language. The texts follow the directory as raw UTF-8 bytes with no
// terminator and no length prefix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kv::catalogue {

inline constexpr const char* kFileName = "langua.ge";
inline constexpr std::size_t kRecordSize = 9;
inline constexpr std::size_t kMaxTextLength = 65535;

struct Record {
    std::uint16_t number = 0;
    std::uint8_t language = 0;
    std::uint16_t length = 0;
    std::uint32_t offset = 0;

    bool operator==(const Record&) const = default;
};

// Decodes the kRecordSize bytes at `bytes`.
Record DecodeRecord(const unsigned char* bytes);
// Encodes `record` into the kRecordSize bytes at `bytes`.
void EncodeRecord(const Record& record, unsigned char* bytes);

// Where the directory ends. Without a count the records are read in 9-byte steps from
// offset 0, and the directory ends at the end of the data or at a trailing piece shorter than
// a record. Because the texts lie behind the directory, it also ends where the first text
// begins: the lowest offset of a non-empty text that a record read so far points to behind
// itself. So the bytes of a text are never taken for directory records, however they look.
class DirectoryEnd {
public:
    explicit DirectoryEnd(std::uint64_t data_size) : limit_(data_size) {}
    // Whether a whole record fits at `position`.
    bool Allows(std::uint64_t position) const { return position + kRecordSize <= limit_; }
    // Takes note of `record`, read at `position`.
    void Note(const Record& record, std::uint64_t position) {
        std::uint64_t behind = position + kRecordSize;
        if (record.length > 0 && record.offset >= behind && record.offset < limit_) {
            limit_ = record.offset;
        }
    }
    std::uint64_t Limit() const { return limit_; }

private:
    std::uint64_t limit_;
};

// The directory records of a catalogue held in memory, in file order.
class ImageRecords {
public:
    explicit ImageRecords(std::string_view image) : image_(image), end_(image.size()) {}
    // Reads the next record; false at the end of the directory.
    bool Next(Record& record) {
        if (!end_.Allows(position_)) return false;
        record = DecodeRecord(reinterpret_cast<const unsigned char*>(image_.data()) + position_);
        end_.Note(record, position_);
        position_ += kRecordSize;
        return true;
    }
    // Offset of the record that the last successful Next() returned.
    std::uint64_t LastPosition() const { return position_ - kRecordSize; }

private:
    std::string_view image_;
    std::uint64_t position_ = 0;
    DirectoryEnd end_;
};

// The lookup of message `number` in language `language`, over a source with a member
// `bool Next(Record&)` that yields the directory records in file order.
// Phase 1 looks for the first record of `number`. Phase 2 goes on from that record (itself
// included) to the first record of `language`; it does not look at the number again, so when
// the group of `number` lacks the language the search runs on into the following groups.
// The found record is used only when its number is still `number`: a missing language gives
// no text, never the text of another message. The language byte is widened to 16 bits and
// compared with the whole setting, so a setting above 255 never matches.
template <typename Source>
std::optional<Record> FindRecord(Source& source, std::uint16_t number, std::uint16_t language) {
    Record record;
    bool found = false;
    while (source.Next(record)) {
        if (record.number == number) {
            found = true;
            break;
        }
    }
    if (!found) return std::nullopt;
    while (static_cast<std::uint16_t>(record.language) != language) {
        if (!source.Next(record)) return std::nullopt;
    }
    if (record.number != number) return std::nullopt;
    return record;
}

// The text bytes of `record` in `image`: only those present when the record reaches past the
// end of the data.
std::string_view TextOf(std::string_view image, const Record& record);

// Length of the well-formed UTF-8 sequence that starts at text[pos], or 0 when the bytes there
// are not one (a stray continuation byte, an overlong form, a surrogate, a cut sequence).
std::size_t Utf8SequenceAt(std::string_view text, std::size_t pos);
// Offset of the first byte that is not part of a well-formed UTF-8 sequence, or npos.
std::size_t FindInvalidUtf8(std::string_view text);

}  // namespace kv::catalogue
