// In-memory matching of a program member of an archive as it leaves the decoder.
//
// Only three regions of a member are matched, each as soon as its block is in the output
// window: up to 4000 bytes from the program's entry point (with a 128-byte anchored pass at
// the entry when that finds nothing) and, when nothing matched before, the member's last
// output block. ProgramMemberScan is the MemberSink that works out these regions; the
// matching itself is done by the signature kernel behind the ProgramMatcher interface, which
// the scan engine implements.
#pragma once

#include <cstddef>
#include <cstdint>

#include "containers/zip_reader.h"

namespace kv::zip {

// Bytes matched from the entry point, and the length of the anchored pass there.
constexpr std::size_t kEntryBlockSize = 4000;
constexpr std::size_t kAnchoredPassSize = 128;

// What the member scan needs of the signature kernel.
class ProgramMatcher {
public:
    virtual ~ProgramMatcher() = default;

    // The member's first block is in the window. The kernel clears its hit count, takes
    // `window` (kWindowSize bytes plus kWindowSlack zero bytes) as its scan window with
    // `count` valid bytes, takes `declared_size` as its size limit (the member's real size
    // when this first block is also its last, else the size from the directory), and runs
    // the entry analysis on the window's start. Returns the entry
    // point's offset within the member, 0 when the member does not start with a jump.
    virtual std::uint64_t BeginMember(std::uint8_t* window, std::size_t count,
                                      std::uint64_t declared_size) = 0;

    enum class Pass {
        // Pattern search over every start position of the region (mode 0).
        kEntry,
        // Anchored pass at the entry point (mode 1024): only the region's first position,
        // with the anchored candidate list; `saved_count` is the length of the entry region
        // just matched (the kernel's saved count).
        kAnchored,
        // Pattern search over the member's last output block (mode 0).
        kTail,
    };
    // Matches `count` bytes at `start` (inside the output window; reading up to kWindowSlack
    // bytes beyond the region's end stays inside the buffer). `member_offset` is the offset of
    // `start` within the member. Each pass restarts the hit list, as the kernel's search
    // does. A tail pass ends at the member's end as far as it is known: the kernel takes
    // `member_offset` + `count` as the size limit for it.
    virtual void Scan(Pass pass, std::uint8_t* start, std::size_t count,
                      std::uint64_t member_offset, std::size_t saved_count) = 0;

    // Hits of the last search.
    virtual int HitCount() const = 0;
};

// The sink of an in-memory extraction of a program member. For every block:
//  1. On the member's first block: ProgramMatcher::BeginMember gives the entry offset.
//  2. The block that holds the entry point (the first whose end lies beyond the entry
//     offset) is matched there: the region of min(d, 4000) bytes from the entry point (d =
//     bytes of the block from the entry point on; the region does not continue into the next
//     block), then, when nothing matched, the 128 bytes from the entry point with the
//     anchored pass. An entry point at or beyond the member's end is never reached.
//  3. The block with which the member's output reaches its directory size is its tail: when
//     nothing matched so far, the whole block is matched. If the output never reaches that
//     size exactly (a lying directory), the member's last block is matched as its tail
//     instead, when it is not empty; so is it when the output goes on past that size (a false
//     size never hides the real end of a member).
// After the extraction, HitCount() of the matcher tells whether the member is infected.
// One object serves one member; Reset() or a fresh object for the next.
class ProgramMemberScan : public MemberSink {
public:
    explicit ProgramMemberScan(ProgramMatcher& matcher) : matcher_(matcher) {}

    bool Consume(const OutputBlock& block) override;

    void Reset();
    // The entry offset that BeginMember gave, and whether the entry region was matched.
    std::uint64_t EntryOffset() const { return entry_offset_; }
    bool EntryReached() const { return entry_reached_; }
    // Whether the tail region was matched.
    bool TailScanned() const { return tail_scanned_; }

private:
    void ScanTail(const OutputBlock& block);

    ProgramMatcher& matcher_;
    std::uint64_t entry_offset_ = 0;
    bool entry_reached_ = false;
    bool tail_scanned_ = false;
};

}  // namespace kv::zip
