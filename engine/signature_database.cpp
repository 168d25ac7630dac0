#include "engine/signature_database.h"
#include "platform/byte_order.h"

#include <new>

namespace kv {

namespace {

// A zero-filled block, or null when the memory cannot be had.
std::unique_ptr<std::uint8_t[]> Obtain(std::size_t size) {
    return std::unique_ptr<std::uint8_t[]>(new (std::nothrow) std::uint8_t[size > 0 ? size : 1]());
}

bool ReadExactly(platform::File& file, std::uint8_t* buffer, std::size_t count) {
    return file.ReadFull(buffer, count) == static_cast<long>(count);
}

// Loads one document file whole into a block kDocumentSlack bytes larger than the file.
bool LoadDocumentFile(platform::File& file, std::unique_ptr<std::uint8_t[]>& block,
                      std::size_t& size) {
    const std::int64_t file_size = file.Size();
    if (file_size < 0 || file_size > SignatureDatabase::kMaxDocumentFileSize) return false;
    size = static_cast<std::size_t>(file_size);
    block = Obtain(size + SignatureDatabase::kDocumentSlack);
    if (!block) return false;
    return ReadExactly(file, block.get(), size);
}

}  // namespace

SignatureDatabase::~SignatureDatabase() = default;

void SignatureDatabase::Unscramble(std::uint8_t* buffer, std::size_t size) {
    if (size < kScrambleStart + 3) return;
    for (std::size_t i = size - 3 + 1; i-- > kScrambleStart;) {
        buffer[i] = static_cast<std::uint8_t>(buffer[i] - buffer[i + 1]);
    }
}

std::string SignatureDatabase::UnscrambleName(const std::uint8_t* bytes, std::size_t n) {
    std::string name(n, '\0');
    for (std::size_t i = 0; i < n; ++i) name[i] = static_cast<char>(bytes[i] - n);
    for (std::size_t i = n; i-- > 1;) name[i - 1] = static_cast<char>(name[i - 1] ^ name[i]);
    if (!name.empty() && (name[0] == ';' || name[0] == '}')) name.erase(0, 1);
    return name;
}

int SignatureDatabase::Load(const std::string& folder_path) {
    Release();
    const std::string folder = platform::WithTrailingSlash(folder_path);

    platform::File pattern_file;
    platform::File index_file;
    const bool pattern_open =
        pattern_file.OpenRead(platform::ResolveCaseInsensitive(folder, kPatternFile));
    const bool index_open =
        index_file.OpenRead(platform::ResolveCaseInsensitive(folder, kIndexFile));
    if (!pattern_open || !index_open) return kMissing;

    std::uint8_t header[kHeaderSize];
    if (!ReadExactly(pattern_file, header, kHeaderSize)) return kTruncated;
    const std::size_t pattern_size = platform::LoadLe16(header + 4);
    const std::size_t index_size = platform::LoadLe16(header + 6);
    // A pattern size below the header's own size names no buffer at all.
    if (pattern_size < kHeaderSize) return kTruncated;

    // The buffer's first 8 bytes stay zero: offsets into it equal offsets into the file.
    auto pattern = Obtain(pattern_size);
    if (!pattern) return kNoMemory;
    if (!ReadExactly(pattern_file, pattern.get() + kHeaderSize, pattern_size - kHeaderSize)) {
        return kTruncated;
    }
    Unscramble(pattern.get(), pattern_size);

    auto index = Obtain(index_size);
    if (!index) return kNoMemory;
    // Only the header's index size is read, whatever the file's length.
    if (!ReadExactly(index_file, index.get(), index_size)) return kTruncated;
    pattern_file.Close();
    index_file.Close();

    platform::File directory_file;
    platform::File trie_file;
    const bool directory_open =
        directory_file.OpenRead(platform::ResolveCaseInsensitive(folder, kDirectoryFile));
    const bool trie_open = trie_file.OpenRead(platform::ResolveCaseInsensitive(folder, kTrieFile));
    if (!directory_open || !trie_open) return kNoMemory;
    std::unique_ptr<std::uint8_t[]> directory, trie;
    std::size_t directory_size = 0, trie_size = 0;
    if (!LoadDocumentFile(directory_file, directory, directory_size) ||
        !LoadDocumentFile(trie_file, trie, trie_size)) {
        return kNoMemory;
    }

    pattern_ = std::move(pattern);
    pattern_size_ = pattern_size;
    index_ = std::move(index);
    index_size_ = index_size;
    directory_ = std::move(directory);
    directory_size_ = directory_size;
    trie_ = std::move(trie);
    trie_size_ = trie_size;
    return kLoaded;
}

void SignatureDatabase::Release() {
    pattern_.reset();
    index_.reset();
    directory_.reset();
    trie_.reset();
    pattern_size_ = index_size_ = directory_size_ = trie_size_ = 0;
}

DatabaseView SignatureDatabase::View() const {
    DatabaseView view;
    if (!Loaded()) return view;
    view.pattern = pattern_.get();
    view.pattern_size = pattern_size_;
    view.index = index_.get();
    view.index_size = index_size_;
    view.directory = directory_.get();
    view.directory_size = directory_size_;
    view.trie = trie_.get();
    view.trie_size = trie_size_;
    return view;
}

bool SignatureDatabase::OpenNameFile(const std::string& folder) {
    name_file_.Close();
    return name_file_.OpenRead(
        platform::ResolveCaseInsensitive(platform::WithTrailingSlash(folder), kNameFile));
}

void SignatureDatabase::CloseNameFile() {
    name_file_.Close();
}

bool SignatureDatabase::DecodeVirusName(std::uint32_t record_end) {
    virus_name_.clear();
    const std::size_t at = record_end;
    if (!pattern_ || at + 2 > pattern_size_) return false;
    const std::size_t n = pattern_[at + 1];
    if (at + 2 + n > pattern_size_) return false;
    virus_name_ = UnscrambleName(pattern_.get() + at + 2, n);
    return true;
}

void SignatureDatabase::ReadSignatureName(std::uint32_t name_offset) {
    if (static_cast<std::int64_t>(name_offset) == last_name_offset_) return;
    last_name_offset_ = name_offset;
    document_name_.clear();
    if (!name_file_.IsOpen() || !name_file_.Seek(name_offset)) return;
    std::uint8_t length = 0;
    if (name_file_.ReadFull(&length, 1) != 1) return;
    std::string name(length, '\0');
    const long got = name_file_.ReadFull(name.data(), length);
    name.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    document_name_ = std::move(name);
}

}  // namespace kv
