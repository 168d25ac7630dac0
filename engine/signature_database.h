// The signature database: five files in the database folder.
//
//   "Matrix.DLL"  pattern file: 8-byte header (4 bytes free for the builder: format tag and
//                 version; u16 pattern size; u16 index size), then the signature records and
//                 their name trailers, scrambled from byte 28 on
//   "Virus.seq"   index file: 257 list entries (u16 offset, u16 count) - lists 0..255 for the
//                 byte at a start position, 256 for the anchored pass - and the candidates
//                 (u16 record offset, 1-byte target mask: 1 EXE, 2 other programs, 4 boot)
//   "tbl02.dir"   document directory: 256 u16 root offsets into the trie (0xFFFF: none)
//   "tbl02"       document trie
//   "tbl02.nam"   names of the document signatures (length byte + name), read on demand
//
// The scan driver loads the first four for each resource it scans and releases them after;
// the name file stays open during the scan. All multi-byte values are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/match_kernel.h"
#include "platform/files.h"

namespace kv {

class SignatureDatabase {
public:
    static constexpr const char* kPatternFile = "Matrix.DLL";
    static constexpr const char* kIndexFile = "Virus.seq";
    static constexpr const char* kDirectoryFile = "tbl02.dir";
    static constexpr const char* kTrieFile = "tbl02";
    static constexpr const char* kNameFile = "tbl02.nam";
    static constexpr std::size_t kHeaderSize = 8;
    // Bytes below this offset of the pattern buffer are not scrambled.
    static constexpr std::size_t kScrambleStart = 28;
    // The document blocks are this much larger than their files (the slack stays zero).
    static constexpr std::size_t kDocumentSlack = 16;
    // A document file larger than this is refused as not loadable (code -2).
    static constexpr std::int64_t kMaxDocumentFileSize = std::int64_t{16} << 20;

    // Load results.
    static constexpr int kLoaded = 0;
    static constexpr int kMissing = -1;    // the pattern or the index file cannot be opened
    static constexpr int kNoMemory = -2;   // memory, or a document file missing or unreadable
    static constexpr int kTruncated = -3;  // a file shorter than the pattern header says

    SignatureDatabase() = default;
    ~SignatureDatabase();
    SignatureDatabase(const SignatureDatabase&) = delete;
    SignatureDatabase& operator=(const SignatureDatabase&) = delete;

    // Loads the four searched files from `folder` (trailing '/' optional; names are matched
    // without regard to letter case). Returns 0, -1, -2 or -3 as above; the first failure in
    // the order pattern header, pattern buffer, pattern bytes, index, document files decides.
    // On any failure nothing stays loaded. A pattern header size below 8 counts as -3; bytes
    // of a file beyond the size its header gives are ignored.
    int Load(const std::string& folder);
    // Frees every block and forgets them; the name file stays as it is.
    void Release();
    bool Loaded() const { return pattern_ != nullptr; }
    // The loaded blocks for the matching kernel (all null when nothing is loaded).
    DatabaseView View() const;

    // The name file: opened read-only by the scan driver for one resource.
    bool OpenNameFile(const std::string& folder);
    void CloseNameFile();
    bool NameFileOpen() const { return name_file_.IsOpen(); }
    // Forgets the last name read from the name file (the scan driver does so per resource).
    void ResetNameCache() { last_name_offset_ = -1; }

    // Sets the virus name from a pattern hit: `record_end` is the hit's record pointer, the
    // name trailer (one unused byte, length n, n scrambled bytes). Returns false and sets an
    // empty name when the trailer reaches outside the pattern buffer.
    bool DecodeVirusName(std::uint32_t record_end);
    // Sets the document signature name from a document hit's name offset. Reads the name file
    // unless the offset is the one read last; a short read gives the bytes that arrived.
    void ReadSignatureName(std::uint32_t name_offset);

    const std::string& VirusName() const { return virus_name_; }
    const std::string& DocumentName() const { return document_name_; }

    // Undoes the scrambling of a pattern buffer in place: for i from size - 3 down to 28,
    // byte i -= byte i + 1 (already unscrambled). Shorter buffers are left as they are.
    static void Unscramble(std::uint8_t* buffer, std::size_t size);
    // Decodes a scrambled name of n bytes: each byte minus n, then from the end each byte
    // XORed into the one before it; a leading ';' or '}' is dropped.
    static std::string UnscrambleName(const std::uint8_t* bytes, std::size_t n);

private:
    std::unique_ptr<std::uint8_t[]> pattern_;
    std::size_t pattern_size_ = 0;
    std::unique_ptr<std::uint8_t[]> index_;
    std::size_t index_size_ = 0;
    std::unique_ptr<std::uint8_t[]> directory_;
    std::size_t directory_size_ = 0;
    std::unique_ptr<std::uint8_t[]> trie_;
    std::size_t trie_size_ = 0;

    platform::File name_file_;
    std::int64_t last_name_offset_ = -1;
    std::string virus_name_;
    std::string document_name_;
};

}  // namespace kv
