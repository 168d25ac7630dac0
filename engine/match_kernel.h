// The signature matching kernel: the scan window, the hit list and the two searches.
//
// Pattern search (ScanWindow). At every start position of the window the kernel takes the
// candidate list of the byte found there from the index block, skips candidates whose target
// mask shares no bit with the window's class mask, and matches each remaining signature record
// from that position. A record is a small program of tokens, stored in the pattern buffer:
//
//   first byte 1 (record start only)  1, n, n bytes: the n bytes must equal the data
//   first byte L (record start only)  the tokens occupy the L bytes after L; the record
//                                     matches when the token position passes its last byte
//   1..100 except 98   t, t bytes     literal: the t bytes must equal the data (0 never matches)
//   98 (0x62)          escape, flags  a condition or test, by the flags byte f:
//        f == 0x40                    the entry point must be known
//        f & 0x20       f, l, -, N16  near the end: r = size limit - file offset of the data
//                                     position; r >= 0 and N >= r; next token after l bytes
//        f & 0x10, low nibble 2       f, l, R16, l bytes: detection routine R must report
//                                     "found"; it may move the data position
//        f & 0x10, low nibble 1       a routine carried in the record: never run, not met
//        f & 0x10, other              the data position moves to the header copy
//        otherwise, f & 0x80          high nibble of the data byte == low nibble of f
//        otherwise                    low nibble of the data byte == low nibble of f
//   101..199           gap            the next token must match at one of t - 99 positions;
//                                     positions where a literal (or nibble test) matches but the
//                                     rest of the record does not are not counted as tries
//   200..255           skip           t - 200 data bytes
//
// A record that is followed by a name trailer (one unused byte, a length n, n name bytes)
// lying inside the pattern buffer matches; each match appends a hit whose record pointer is
// the first byte after the record's last token, where the trailer begins.
//
// Document search (SearchDocumentTrie). From every start position the kernel looks up the
// document directory entry of the byte there and walks the document trie with the following
// bytes: a branch node (0, k, k ascending keys, k child offsets counted from each offset field),
// a chain node (h = 2..254, then 255 - h bytes that must equal the data) or a leaf (1, name
// offset). Reaching a leaf appends a hit whose record pointer is the leaf's name offset.
//
// Safety. Every read is checked against the block it belongs to: a candidate list, record,
// trie node or name trailer that reaches outside its block simply does not match. The window
// is its filled bytes followed by zeros: bytes of the buffer past the current fill never take
// part in a match, so nothing of an earlier file is ever seen. A gap whose literal keeps
// matching in the zeros past the fill counts those tries, and a record match has a budget of
// gap tries, so a hostile record cannot make a search run without end. The document search
// reads no byte past the fill (a document signature must end inside the block) and gives up a
// walk that visits more nodes than an acyclic trie of that size can hold.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/detection_routines.h"

namespace kv {

namespace platform {
class File;
}

// The loaded database blocks the kernel searches. The pattern buffer's offsets equal the
// pattern file's offsets; the index block holds 257 list entries (offset, count) and the
// three-byte candidates; the directory holds 256 root offsets into the trie (0xFFFF: none).
struct DatabaseView {
    const std::uint8_t* pattern = nullptr;
    std::size_t pattern_size = 0;
    const std::uint8_t* index = nullptr;
    std::size_t index_size = 0;
    const std::uint8_t* directory = nullptr;
    std::size_t directory_size = 0;
    const std::uint8_t* trie = nullptr;
    std::size_t trie_size = 0;
};

// One hit of the last search.
struct Hit {
    // Pattern hit: offset in the pattern buffer of the byte after the matched record (the
    // name trailer). Document hit: the leaf's offset into the name file.
    std::uint32_t record = 0;
    // File offset of the start position: window offset + position.
    std::int64_t file_offset = 0;
};

// The one window of bytes being scanned, with its file offsets and class.
struct ScanWindowState {
    static constexpr std::size_t kHeaderCopySize = 28;

    std::uint8_t* buffer = nullptr;
    std::size_t capacity = 0;        // bytes read per fill
    std::size_t count = 0;           // filled bytes; everything past them reads as 0
    std::size_t saved_count = 0;     // extent of the encrypted-marker search
    std::int64_t window_offset = 0;  // file offset of buffer[0]
    std::int64_t entry_offset = 0;   // file offset of the program's entry point
    std::int64_t size_limit = 0;     // file size; an EXE's pages x 512; 512 for a boot sector
    std::uint8_t class_mask = 2;     // 1 EXE image, 2 other program image, 4 boot sector
    std::uint8_t entry_known = 0;    // the entry point was located or a leading jump seen
    std::uint8_t complete = 0;       // the window holds the whole file (or EXE image)
    std::uint8_t header[kHeaderCopySize] = {};  // the file's first 28 bytes (zeros past its end)
    std::uint16_t archive_mark = 0;  // 16-bit value at file offset 30; 0x4B50 ("PK"): SFX
    int jump_budget = 0;
};

class MatchKernel {
public:
    static constexpr std::size_t kMaxHits = 30;
    static constexpr int kModeAll = 0;          // every start position, list of its byte
    static constexpr int kModeAnchored = 1024;  // position 0 only, candidate list 256
    static constexpr std::uint8_t kClassExe = 1;
    static constexpr std::uint8_t kClassProgram = 2;
    static constexpr std::uint8_t kClassBoot = 4;
    static constexpr int kJumpBudget = 20;
    static constexpr std::uint16_t kArchiveMarkPk = 0x4B50;
    // Gap tries one record match may spend in all (nested gaps included). Far above what any
    // real record needs in a 32 KiB window; it only stops hostile records.
    static constexpr std::uint32_t kGapTryBudget = 1u << 16;

    explicit MatchKernel(DetectionRoutines& routines);
    ~MatchKernel();
    MatchKernel(const MatchKernel&) = delete;
    MatchKernel& operator=(const MatchKernel&) = delete;

    // ---- Database ----
    // Installs the blocks of a loaded database (they must outlive the attachment) and
    // prepares the candidate lists for the program and boot classes. Records and lists are
    // not validated here: whatever lies outside its block simply never matches.
    void Attach(const DatabaseView& database);
    void Detach();
    bool Attached() const { return database_.pattern != nullptr || database_.index != nullptr; }
    const DatabaseView& Database() const { return database_; }

    // ---- Window ----
    ScanWindowState& Window() { return window_; }
    const ScanWindowState& Window() const { return window_; }
    // The window becomes `buffer` (at least `capacity` bytes) with that capacity; count 0.
    void SetWindow(std::size_t capacity, std::uint8_t* buffer);
    // Marks the first `count` bytes of the buffer as filled (an in-memory fill, e.g. a
    // decompressed block), starting at file offset `window_offset`. `count` is capped at the
    // capacity.
    void SetFill(std::size_t count, std::int64_t window_offset);
    // Makes a caller's block the window for a search under `class_mask`, e.g. a 512-byte boot
    // sector under kClassBoot with size limit 512: count = capacity = `count`, offsets 0,
    // header copy from the block, entry not known, complete 1, saved count = count.
    void LoadBlock(std::uint8_t* data, std::size_t count, std::uint8_t class_mask,
                   std::int64_t size_limit);

    // Fills the window from a program file and places it at the entry point: reads the first
    // block, keeps the header copy and the archive mark, analyses an EXE header (class 1, size
    // limit pages x 512) or takes the file as another program (class 2, size limit = file
    // size), and follows up to 20 leading jumps (near jumps and calls only when the file fits
    // in the window; far jumps always). The window then starts at the entry, also when the
    // entry lies inside the first block (an EXE image that fits in it, leading 0x4D bytes).
    // Sets saved count = count.
    void LocateEntry(platform::File& file);
    // The same analysis on a window already filled in memory (SetFill), without reading:
    // header copy, EXE header (class 1, entry known, size limit, complete when the image lies
    // within the fill and the entry within the image; class 2 otherwise, the size limit is
    // left to the caller), then leading 0x4D bytes are skipped and one near jump, call or far
    // jump gives the entry. Returns the entry offset: the jump's target, or where the
    // analysis stopped (the EXE header's entry, past leading 0x4D bytes; 0 for a block that
    // begins with neither). Sets saved count = count.
    std::int64_t LocateEntryInMemory();
    // Fills the window with the last `capacity` bytes before the size limit (which become the
    // window and entry offset). Count 0, nothing read, when the size limit is below the
    // capacity; a failed read leaves the window empty.
    void ReadTail(platform::File& file);

    // ---- Searches ----
    // Pattern search over the window in kModeAll or kModeAnchored (any other mode is taken as
    // kModeAll). Hits are read with HitCount/HitAt; at most 30.
    void ScanWindow(int mode);
    // Document search over the window.
    void SearchDocumentTrie();
    // Document search over a caller's block (`window_offset` is the file offset of data[0],
    // used for the hits' file offsets). The window is not changed.
    void SearchDocumentTrie(const std::uint8_t* data, std::size_t count,
                            std::int64_t window_offset);

    std::size_t HitCount() const { return hit_count_; }
    const Hit& HitAt(std::size_t i) const { return hits_[i]; }
    void ResetHits() { hit_count_ = 0; }
    std::uint16_t ArchiveMark() const { return window_.archive_mark; }

    DetectionRoutines& Routines() { return routines_; }

private:
    struct Candidate;
    struct CandidateList;
    struct PositionFilter;
    struct Plan;

    const Plan& PlanFor(std::uint8_t class_mask);
    std::unique_ptr<Plan> BuildPlan(std::uint8_t class_mask) const;
    void BuildDocumentFilter();
    void Prefilter(std::uint32_t record, Candidate& candidate) const;

    // Matching one record at position `p` of the window; on a match `end` is the position
    // after the record's last token.
    bool MatchRecord(std::uint32_t record, std::size_t p, std::uint32_t& end);
    bool MatchTokens(std::uint32_t q, std::uint32_t last, int region, std::size_t d,
                     std::uint32_t& end);
    // Whether `length` data bytes at `d` of `region` equal pattern bytes at `q`.
    bool Compare(int region, std::size_t d, std::uint32_t q, std::size_t length) const;
    bool TrailerInside(std::uint32_t end) const;
    std::int64_t FileOffset(int region, std::size_t d) const;

    void AddHit(std::uint32_t record, std::int64_t file_offset);
    void FillHeader();
    // Reads capacity bytes at `offset` into the window; false (window unchanged) when the
    // read fails or returns nothing.
    bool ReadAt(platform::File& file, std::int64_t offset);
    // Moves the window start to position `pos` of the window (the entry point).
    void PlaceWindowAt(platform::File& file, std::size_t pos);
    void AnalyseExeHeader(std::int64_t& entry, std::int64_t& image_size) const;

    DetectionRoutines& routines_;
    DatabaseView database_;
    std::array<std::unique_ptr<Plan>, 256> plans_;
    std::unique_ptr<PositionFilter> document_filter_;
    ScanWindowState window_;
    std::array<Hit, kMaxHits> hits_{};
    std::size_t hit_count_ = 0;

    // State of the record match under way.
    DataView regions_[2];  // 0: the window, 1: the header copy
    std::uint32_t gap_budget_ = 0;
};

}  // namespace kv
