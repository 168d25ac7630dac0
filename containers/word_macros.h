// Macros of Word 6/95 documents: finding the macro table, walking its macro records and name
// tables, the macro-virus search of a document, and the cleaner that neutralises every macro
// in place.
//
// A Word 6/95 document is a compound file whose Word stream starts with the identifier
// 0xA5DC and gives, at stream offsets 0x118 and 0x11C, the stream offset and length of the
// macro table. The table is copied whole into memory. Its layout as read here:
//   byte 0: 0xFF;
//   the macro count (16 bits) at index c: c = 2 when byte 1 is 1; otherwise c = j - 2 for the
//     first index j >= 2 holding 0x55, and the byte at c - 1 must be 1;
//   24-byte macro records from index c + 2, each starting with 0x55: key at +1 (non-zero:
//     every byte of the macro text is stored XORed with it), name identifier (16 bits) at
//     +2, text length (32 bits) at +12, text stream offset (32 bits) at +20;
//   name tables: the first 0x00 0x10 byte pair from index c + 1 + 24 x count on ends just
//     before table B (when there is none, B starts where the search stopped); with L the
//     16-bit value at B, table A starts L + 3 bytes after B, unless L exceeds the table length
//     minus the search's stopping index (then there is no table A). Table A records: name
//     identifier (16 bits), length n, n characters, a zero byte. Table B records: two bytes,
//     length n, n characters.
// Every walk through the copy stays inside it: records and names that would run past its end
// count as absent. Lengths read from the document are bounded by what its stream really
// holds before they are used: the table's length before the copy is allocated, a macro
// text's length by the bytes the stream delivers (at most 4000 are read; the cleaner writes a
// text only when it lies wholly inside the stream).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "containers/compound_file.h"

namespace kv::ole {

// At most this many bytes of a macro text, and of each plain-data block, are searched.
constexpr std::size_t kSearchBlockSize = 4000;
// Bytes after a searched block that are always zero (a search never sees stale data there).
constexpr std::size_t kSearchSlack = 256;

// A Word document opened for its macros. One object per document; Close() or the destructor
// closes it.
class WordDocument {
public:
    WordDocument() = default;
    WordDocument(const WordDocument&) = delete;
    WordDocument& operator=(const WordDocument&) = delete;

    // Opens the document and reads its macro table. Returns kDocOk (macros present, the first
    // macro is current), kDocCannotOpen, kDocNotWord (scan as plain data) or kDocNoMacros
    // (nothing to scan: no macro table, one shorter than 27 bytes or longer than the file, or
    // a table whose first record is not a macro record).
    int Open(const std::string& path, Access access);
    // The same, for reading, of a file the caller opened, which the object takes over.
    int Open(platform::File file);
    void Close();

    CompoundFile& Stream() { return file_; }
    std::uint32_t MacroTableOffset() const { return table_offset_; }
    std::uint32_t MacroTableLength() const { return table_length_; }
    std::uint16_t MacroCount() const { return macro_count_; }
    const std::vector<std::uint8_t>& MacroTable() const { return table_; }
    // Whether the name tables were found (without table A, macros have no names).
    bool HasNameTable() const { return has_table_a_; }

    // ---- The current macro record ----
    std::size_t CurrentRecord() const { return current_; }
    std::uint8_t Key() const { return table_[current_ + 1]; }
    std::uint16_t NameId() const;
    std::uint32_t TextLength() const;
    std::uint32_t TextOffset() const;
    // File offset of the text's first byte; -1 when it lies outside the stream.
    std::int64_t TextFileOffset() const { return file_.StreamToFileOffset(TextOffset()); }
    // Reads up to min(text length, max) bytes of the text and decodes them with the key.
    // Returns the bytes read.
    std::size_t ReadText(std::uint8_t* buffer, std::size_t max);
    // Moves to the next record when it lies wholly inside the table and starts with 0x55:
    // returns 0; otherwise -3 and the current record stays.
    int NextMacro();
    // Goes back to the first record.
    void FirstMacro() { current_ = first_; }

    // Looks up the current macro's name: the first table A record, among the first
    // MacroCount() records of tables A and B walked side by side, whose identifier equals the
    // macro's name identifier. Returns whether there is one (never without table A; a macro
    // whose identifier matches no record has no name).
    bool FindMacroName();
    // After FindMacroName() found one: the name (the zero-terminated string after the length
    // byte of the table A record) and the table indices of the two name records.
    const std::string& MacroName() const { return name_; }
    std::size_t NameRecordA() const { return name_a_; }
    std::size_t NameRecordB() const { return name_b_; }

    // Cleaning: overwrites the current macro's name characters in both name tables with
    // blanks in the table copy (when FindMacroName() found them), and its text with bytes
    // that decode to blanks in the file. BlankText returns whether the whole text was
    // written (a text reaching beyond the stream is not touched at all); WriteMacroTable
    // writes the copy back and returns whether all of it was.
    void BlankName();
    bool BlankText();
    bool WriteMacroTable();

private:
    // Reads the stream's header fields and the macro table of the file just opened.
    int ReadFields();
    int ReadMacroTable();
    void FindNameTables(std::size_t count_index);
    void IndexNames();

    CompoundFile file_;
    std::uint32_t table_offset_ = 0;
    std::uint32_t table_length_ = 0;
    std::vector<std::uint8_t> table_;
    std::uint16_t macro_count_ = 0;
    std::size_t first_ = 0;
    std::size_t current_ = 0;
    bool has_table_a_ = false;
    std::size_t table_a_ = 0;
    std::size_t table_b_ = 0;
    // Name identifier -> (table A record, table B record).
    std::unordered_map<std::uint16_t, std::pair<std::size_t, std::size_t>> name_index_;
    bool name_found_ = false;
    std::size_t name_a_ = 0;
    std::size_t name_b_ = 0;
    std::string name_;
};

// A found signature: its name and the file offset where the match started.
struct DocumentHit {
    std::string name;
    std::int64_t offset = 0;
};

// The document search of the signature kernel, which the scan engine implements.
class DocumentSearcher {
public:
    virtual ~DocumentSearcher() = default;
    // Searches `count` bytes (at most kSearchBlockSize; followed by kSearchSlack zero bytes)
    // whose first byte stands at `file_offset` in the file (the window offset; for a macro
    // text, the file offset of the text's start). On a hit fills `hit` (the first hit's
    // signature name and file offset) and returns true.
    virtual bool Search(const std::uint8_t* data, std::size_t count, std::int64_t file_offset,
                        DocumentHit& hit) = 0;
};

// What the search of one document found; the scanner turns it into its report line.
enum class DocumentFinding {
    // Nothing to report (also for a document that could not be read).
    kNothing,
    // A file that is not a Word document with macros matched a document signature in its
    // plain data: an infected file.
    kInfectedData,
    // A macro of a Word document matched a document signature: a macro virus.
    kMacroVirus,
    // No macro matched, but a macro is named AUTOOPEN, AUTOCLOSE, PAYLOAD or AUTOEXEC (letters
    // compared without regard to case) and none is named CLEANALL: suspicious macros.
    kSuspiciousMacros,
};

struct DocumentScanResult {
    // The result of opening the document (kDocOk, kDocCannotOpen, kDocNotWord, kDocNoMacros).
    int open_result = kDocCannotOpen;
    DocumentFinding finding = DocumentFinding::kNothing;
    // For kInfectedData and kMacroVirus.
    DocumentHit hit;
    // For kMacroVirus: the infected macro's name, when the name tables give one.
    std::string macro_name;
    // Macro texts or plain-data blocks handed to the searcher.
    int blocks_searched = 0;
};

// Searches one document (a word-processor document or a spreadsheet):
//  - a Word 6/95 document with macros: each macro text (its first 4000 bytes, decoded with
//    its key) is searched, in table order, until the first hit; without a hit the macro
//    names decide whether the document is suspicious;
//  - any other readable file (kDocNotWord): the file is searched as plain data in blocks of
//    4000 bytes from offset 0, until the first hit;
//  - kDocCannotOpen, kDocNoMacros: nothing is searched.
DocumentScanResult ScanDocument(const std::string& path, DocumentSearcher& searcher);
// The same for a file the caller opened for reading.
DocumentScanResult ScanDocument(platform::File file, DocumentSearcher& searcher);

// Neutralises every macro of a Word 6/95 document in place: names blanked in both name
// tables, texts overwritten with bytes that decode to blanks, the table written back. The
// file keeps its size and stays a valid compound file. Returns true when the document had a
// macro table and every write went through; false when it could not be opened (a missing
// file is not created), is no Word document with macros, or a write fell short.
bool CleanDocument(const std::string& path);

}  // namespace kv::ole
