#include "containers/member_scan.h"

#include <algorithm>

namespace kv::zip {

void ProgramMemberScan::Reset() {
    entry_offset_ = 0;
    entry_reached_ = false;
    tail_scanned_ = false;
}

void ProgramMemberScan::ScanTail(const OutputBlock& block) {
    tail_scanned_ = true;
    if (block.count == 0) return;  // an empty search finds nothing
    matcher_.Scan(ProgramMatcher::Pass::kTail, block.window, block.count, block.offset, 0);
}

bool ProgramMemberScan::Consume(const OutputBlock& block) {
    if (block.first) {
        Reset();
        // A member of one block has its real size known at once; a bigger one has only the
        // directory's word for it until its last block.
        entry_offset_ = matcher_.BeginMember(block.window, block.count,
                                             block.last ? block.total : block.declared_size);
    }
    // The entry point lies in this block when the block ends beyond it: d of the block's bytes
    // run from there to the block end. (An entry exactly at a block's end is the first byte
    // of the next block, so that one holds it.)
    if (!entry_reached_ && block.total > entry_offset_) {
        std::uint64_t d = block.total - entry_offset_;
        std::size_t from = block.count - static_cast<std::size_t>(d);
        std::size_t region = static_cast<std::size_t>(std::min<std::uint64_t>(d, kEntryBlockSize));
        std::uint8_t* start = block.window + from;
        matcher_.Scan(ProgramMatcher::Pass::kEntry, start, region, entry_offset_, 0);
        entry_reached_ = true;
        if (matcher_.HitCount() == 0) {
            matcher_.Scan(ProgramMatcher::Pass::kAnchored, start, kAnchoredPassSize, entry_offset_,
                          region);
        }
    }
    if (block.total == block.declared_size && matcher_.HitCount() == 0) {
        ScanTail(block);
    } else if (block.last && block.total != block.declared_size && matcher_.HitCount() == 0) {
        // The directory size lied: the member's real last block is its tail, also when a
        // block that happened to end at the claimed size was matched as one before.
        ScanTail(block);
    }
    return true;
}

}  // namespace kv::zip
