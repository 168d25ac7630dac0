#include "catalogue/catalogue.h"

#include <cstring>
#include <vector>

#include "catalogue/catalogue_format.h"
#include "platform/files.h"

namespace kv {

namespace {

// The directory records of the open catalogue file, read in blocks of whole records.
class FileRecords {
public:
    FileRecords(platform::File& file, std::uint64_t size) : file_(file), end_(size) {}

    bool Next(catalogue::Record& record) {
        if (!end_.Allows(position_)) return false;
        if (used_ + catalogue::kRecordSize > filled_ && !Refill()) return false;
        record = catalogue::DecodeRecord(block_ + used_);
        end_.Note(record, position_);
        used_ += catalogue::kRecordSize;
        position_ += catalogue::kRecordSize;
        return true;
    }

private:
    static constexpr std::size_t kBlockSize = catalogue::kRecordSize * 455;

    // Reads the next block at position_; false when not one whole record is left (the end of
    // the file, a trailing piece shorter than a record, or a read error).
    bool Refill() {
        if (!file_.Seek(static_cast<std::int64_t>(position_))) return false;
        long got = file_.ReadFull(block_, kBlockSize);
        if (got < static_cast<long>(catalogue::kRecordSize)) return false;
        filled_ = static_cast<std::size_t>(got);
        used_ = 0;
        return true;
    }

    platform::File& file_;
    catalogue::DirectoryEnd end_;
    std::uint64_t position_ = 0;
    unsigned char block_[kBlockSize];
    std::size_t filled_ = 0;
    std::size_t used_ = 0;
};

}  // namespace

std::string Catalogue::FilePath() const {
    return platform::ResolveCaseInsensitive(folder_, catalogue::kFileName);
}

void Catalogue::GetMessageText(std::uint16_t number, std::string& text) const {
    text.clear();
    platform::File file;
    if (!file.OpenRead(FilePath())) return;
    std::int64_t size = file.Size();
    if (size <= 0) return;

    FileRecords records(file, static_cast<std::uint64_t>(size));
    std::optional<catalogue::Record> found = catalogue::FindRecord(records, number, language_);
    if (!found || found->length == 0) return;

    // A record that reaches past the end of the file yields the bytes that are there: the
    // text is read at its recorded length and cut to what the read delivered.
    if (!file.Seek(found->offset)) return;
    text.resize(found->length);
    long got = file.ReadFull(text.data(), text.size());
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
}

bool Catalogue::HasLanguage(std::uint16_t language) const {
    platform::File file;
    if (!file.OpenRead(FilePath())) return false;
    const std::int64_t size = file.Size();
    if (size <= 0) return false;
    FileRecords records(file, static_cast<std::uint64_t>(size));
    catalogue::Record record;
    while (records.Next(record)) {
        if (record.language == language) return true;
    }
    return false;
}

std::string Catalogue::Text(std::uint16_t number) const {
    std::string text;
    GetMessageText(number, text);
    return text;
}

const char* Catalogue::MessageTextPtr(std::uint16_t number) {
    std::string text;
    GetMessageText(number, text);
    std::size_t length = Utf8PrefixLength(text, kBufferSize - 1);
    std::memcpy(buffer_, text.data(), length);
    buffer_[length] = '\0';
    return buffer_;
}

std::size_t Utf8PrefixLength(std::string_view text, std::size_t max_bytes) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t length = catalogue::Utf8SequenceAt(text, pos);
        if (length == 0) length = 1;
        if (pos + length > max_bytes) break;
        pos += length;
    }
    return pos;
}

}  // namespace kv
