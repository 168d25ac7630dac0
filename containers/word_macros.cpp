#include "containers/word_macros.h"
#include "platform/byte_order.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

namespace kv::ole {

namespace {

constexpr std::uint16_t kWord6Ident = 0xA5DC;
constexpr std::size_t kTableOffsetField = 0x118;
constexpr std::size_t kTableLengthField = 0x11C;
constexpr std::size_t kFieldsEnd = kTableLengthField + 4;
constexpr std::uint32_t kMinimumTableLength = 27;
constexpr std::size_t kRecordSize = 24;
constexpr std::uint8_t kRecordMark = 0x55;

// Upper-cases the letters a to z only.
std::string UpperAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

}  // namespace

int WordDocument::Open(const std::string& path, Access access) {
    Close();
    const int result = file_.Open(path, access);
    return result == kDocOk ? ReadFields() : result;
}

int WordDocument::Open(platform::File file) {
    Close();
    const int result = file_.Open(std::move(file));
    return result == kDocOk ? ReadFields() : result;
}

int WordDocument::ReadFields() {
    std::uint8_t fields[kFieldsEnd] = {};
    file_.SeekStream(0);
    std::size_t got = file_.ReadStream(fields, sizeof fields);
    if (got < sizeof fields || platform::LoadLe16(fields) != kWord6Ident) return kDocNotWord;
    table_offset_ = platform::LoadLe32(fields + kTableOffsetField);
    table_length_ = platform::LoadLe32(fields + kTableLengthField);
    if (table_length_ < kMinimumTableLength ||
        static_cast<std::int64_t>(table_length_) > file_.FileSize()) {
        return kDocNoMacros;
    }
    // A table that runs past what the stream really holds cannot be read whole: the document
    // is damaged and scanned as plain data, before anything is allocated for the length it
    // claims (a sparse file of 4 GiB may claim a table of nearly 4 GiB).
    const std::uint64_t stream_bytes = file_.StreamBytes();
    if (table_offset_ >= stream_bytes || table_length_ > stream_bytes - table_offset_) {
        return kDocNotWord;
    }
    return ReadMacroTable();
}

int WordDocument::ReadMacroTable() {
    try {
        table_.assign(table_length_, 0);
    } catch (const std::bad_alloc&) {
        table_.clear();
        return kDocNotWord;
    }
    file_.SeekStream(table_offset_);
    if (file_.ReadStream(table_.data(), table_.size()) < table_.size()) return kDocNotWord;
    const std::size_t len = table_.size();
    if (table_[0] != 0xFF) return kDocNotWord;

    std::size_t c = 0;
    if (table_[1] == 1) {
        c = 2;
    } else {
        std::size_t j = 2;
        while (j < len && table_[j] != kRecordMark) ++j;
        if (j == len || j < 3) return kDocNotWord;
        c = j - 2;
        if (table_[c - 1] != 1) return kDocNotWord;
    }
    macro_count_ = platform::LoadLe16(&table_[c]);
    first_ = current_ = c + 2;
    // The first record must be a whole macro record; a table without one holds no macros.
    if (first_ + kRecordSize > len || table_[first_] != kRecordMark) return kDocNoMacros;
    FindNameTables(c);
    IndexNames();
    return kDocOk;
}

void WordDocument::FindNameTables(std::size_t c) {
    const std::size_t len = table_.size();
    has_table_a_ = false;
    std::size_t stop = c + 1 + kRecordSize * static_cast<std::size_t>(macro_count_);
    bool pair_found = false;
    for (; stop + 1 < len; ++stop) {
        if (table_[stop] == 0x00 && table_[stop + 1] == 0x10) {
            pair_found = true;
            break;
        }
    }
    table_b_ = pair_found ? stop + 2 : stop;
    if (table_b_ + 2 > len) return;
    std::size_t l = platform::LoadLe16(&table_[table_b_]);
    if (stop > len || l > len - stop) return;
    table_a_ = table_b_ + l + 3;
    // Table A must hold at least the identifier and length of one record.
    has_table_a_ = table_a_ + 3 <= len;
}

void WordDocument::Close() {
    file_.Close();
    table_.clear();
    table_offset_ = table_length_ = 0;
    macro_count_ = 0;
    first_ = current_ = 0;
    has_table_a_ = false;
    name_index_.clear();
    name_found_ = false;
    name_.clear();
}

std::uint16_t WordDocument::NameId() const {
    return platform::LoadLe16(&table_[current_ + 2]);
}
std::uint32_t WordDocument::TextLength() const {
    return platform::LoadLe32(&table_[current_ + 12]);
}
std::uint32_t WordDocument::TextOffset() const {
    return platform::LoadLe32(&table_[current_ + 20]);
}

std::size_t WordDocument::ReadText(std::uint8_t* buffer, std::size_t max) {
    std::size_t want = std::min<std::size_t>(max, TextLength());
    file_.SeekStream(TextOffset());
    std::size_t got = file_.ReadStream(buffer, want);
    if (std::uint8_t key = Key(); key != 0) {
        for (std::size_t i = 0; i < got; ++i) buffer[i] ^= key;
    }
    return got;
}

int WordDocument::NextMacro() {
    std::size_t next = current_ + kRecordSize;
    if (next + kRecordSize > table_.size() || table_[next] != kRecordMark) return kDocNoMacros;
    current_ = next;
    return kDocOk;
}

bool WordDocument::FindMacroName() {
    name_found_ = false;
    name_.clear();
    auto it = name_index_.find(NameId());
    if (it == name_index_.end()) return false;
    name_found_ = true;
    name_a_ = it->second.first;
    name_b_ = it->second.second;
    // The name runs to its zero byte or to the end of the table, and may be empty when the
    // record's three leading bytes end the table: never index the copy at its own end.
    const std::size_t start = name_a_ + 3;
    std::size_t end = start;
    while (end < table_.size() && table_[end] != 0) ++end;
    name_.assign(reinterpret_cast<const char*>(table_.data()) + start, end - start);
    return true;
}

void WordDocument::IndexNames() {
    // Tables A and B are walked side by side, at most one record per macro, and the first
    // table A record of each identifier is kept: the lookup of every macro then costs no walk.
    name_index_.clear();
    if (!has_table_a_) return;
    const std::size_t len = table_.size();
    std::size_t a = table_a_;
    std::size_t b = table_b_;
    for (std::size_t step = 0; step < macro_count_; ++step) {
        // Identifier and length byte of the table A record, length byte of the B record.
        if (a + 3 > len || b + 3 > len) break;
        name_index_.emplace(platform::LoadLe16(&table_[a]), std::make_pair(a, b));
        b += static_cast<std::size_t>(table_[b + 2]) + 3;
        a += static_cast<std::size_t>(table_[a + 2]) + 4;
    }
}

void WordDocument::BlankName() {
    if (!name_found_) return;
    for (std::size_t record : {name_a_, name_b_}) {
        std::size_t n = table_[record + 2];
        std::size_t from = record + 3;
        std::size_t to = std::min(table_.size(), from + n);
        if (from < to) std::memset(&table_[from], 0x20, to - from);
    }
}

bool WordDocument::BlankText() {
    // A text that does not lie wholly inside the stream is left alone rather than
    // overwriting whatever follows it up to the end of the stream.
    std::uint64_t length = TextLength();
    if (length > 0 && file_.StreamToFileOffset(std::uint64_t{TextOffset()} + length - 1) < 0) {
        return false;
    }
    // Bytes that the key decodes to blanks.
    std::array<std::uint8_t, kSectorSize> fill;
    fill.fill(static_cast<std::uint8_t>(Key() ^ 0x20));
    std::uint64_t left = length;
    file_.SeekStream(TextOffset());
    while (left > 0) {
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, fill.size()));
        if (file_.WriteStream(fill.data(), n) != n) return false;
        left -= n;
    }
    return true;
}

bool WordDocument::WriteMacroTable() {
    file_.SeekStream(table_offset_);
    return file_.WriteStream(table_.data(), table_.size()) == table_.size();
}

DocumentScanResult ScanDocument(const std::string& path, DocumentSearcher& searcher) {
    platform::File file;
    if (!file.OpenRead(path)) return DocumentScanResult{};
    return ScanDocument(std::move(file), searcher);
}

DocumentScanResult ScanDocument(platform::File file, DocumentSearcher& searcher) {
    DocumentScanResult result;
    std::array<std::uint8_t, kSearchBlockSize + kSearchSlack> block{};
    WordDocument doc;
    result.open_result = doc.Open(std::move(file));

    if (result.open_result == kDocNotWord) {
        // The plain pass reads through the document reader's cache: a small file was read
        // whole when its header was checked.
        std::int64_t offset = 0;
        for (;;) {
            long got = doc.Stream().ReadFileAt(block.data(), kSearchBlockSize, offset);
            if (got <= 0) break;
            std::size_t count = static_cast<std::size_t>(got);
            std::memset(block.data() + count, 0, block.size() - count);
            ++result.blocks_searched;
            if (searcher.Search(block.data(), count, offset, result.hit)) {
                result.finding = DocumentFinding::kInfectedData;
                break;
            }
            offset += got;
        }
        return result;
    }
    if (result.open_result != kDocOk) return result;

    bool suspicious = false;
    bool clean_all = false;
    do {
        std::int64_t offset = doc.TextFileOffset();
        block.fill(0);
        std::size_t count = doc.ReadText(block.data(), kSearchBlockSize);
        bool hit = false;
        if (count > 0) {
            ++result.blocks_searched;
            hit = searcher.Search(block.data(), count, offset, result.hit);
        }
        if (hit) {
            result.finding = DocumentFinding::kMacroVirus;
            if (doc.FindMacroName()) result.macro_name = doc.MacroName();
            return result;
        }
        if (doc.FindMacroName()) {
            std::string name = UpperAscii(doc.MacroName());
            if (name == "AUTOOPEN" || name == "AUTOCLOSE" || name == "PAYLOAD" ||
                name == "AUTOEXEC") {
                suspicious = true;
            }
            if (name == "CLEANALL") clean_all = true;
        }
    } while (doc.NextMacro() == kDocOk);
    if (suspicious && !clean_all) result.finding = DocumentFinding::kSuspiciousMacros;
    return result;
}

bool CleanDocument(const std::string& path) {
    WordDocument doc;
    if (doc.Open(path, Access::kReadWrite) != kDocOk) return false;
    // The names are blanked in the table copy and the table written back before any text is
    // overwritten: a text that lies inside the table itself must end blank, not be put back
    // by the table's write. The walk uses the copy, which the text writes do not change.
    bool whole = true;
    do {
        doc.FindMacroName();
        doc.BlankName();
    } while (doc.NextMacro() == kDocOk);
    if (!doc.WriteMacroTable()) whole = false;
    doc.FirstMacro();
    do {
        if (!doc.BlankText()) whole = false;
    } while (doc.NextMacro() == kDocOk);
    return whole;
}

}  // namespace kv::ole
