#include "engine/match_kernel.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define KV_SWEEP_AVX2 1
#endif

#include "platform/byte_order.h"
#include "platform/files.h"

namespace kv {

namespace {

constexpr std::uint8_t kEscape = 98;
constexpr std::size_t kListCount = 257;
constexpr std::size_t kAnchoredList = 256;
constexpr std::size_t kPrefilterBytes = 8;

inline std::uint64_t Load8(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Whether an escape's flags byte makes it a nibble test (it is none of the conditions).
inline bool IsNibbleFlags(std::uint8_t f) {
    return f != 0x40 && (f & 0x30) == 0;
}

#if KV_SWEEP_AVX2
// The sweep of PositionFilter::ForEach 32 bytes at a time, for processors that have AVX2
// (chosen at run time): from `p` while a whole 32-byte block lies in the data and starts at
// or before `last`, every position that holds one of the `n` bytes and `passes` is visited in
// ascending order. Returns false when the walk ends (a visit said so, or `last` was passed);
// `p` is where the caller goes on otherwise.
template <typename Passes, typename Visit>
__attribute__((target("avx2"))) bool SweepAvx2(const std::uint8_t* data, std::size_t count,
                                               std::size_t last, const std::uint8_t* bytes,
                                               std::size_t n, std::size_t& p, Passes& passes,
                                               Visit& visit) {
    __m256i needles[8];
    for (std::size_t i = 0; i < n; ++i) needles[i] = _mm256_set1_epi8(static_cast<char>(bytes[i]));
    for (; p + 32 <= count && p <= last; p += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + p));
        __m256i any = _mm256_cmpeq_epi8(v, needles[0]);
        for (std::size_t i = 1; i < n; ++i)
            any = _mm256_or_si256(any, _mm256_cmpeq_epi8(v, needles[i]));
        unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(any));
        while (mask != 0) {
            const std::size_t q = p + static_cast<std::size_t>(__builtin_ctz(mask));
            mask &= mask - 1;
            if (q > last) return false;
            if (passes(q) && !visit(q)) return false;
        }
    }
    return true;
}
#endif

}  // namespace

// Which start positions can begin a match at all: those whose pair (byte, next byte) is in
// the pair table. With few distinct first bytes the window is first swept 32 bytes at a time
// (with AVX2) or sixteen for them, so that a database with few signatures costs almost nothing
// per byte; otherwise the table is looked up for 64 positions at a time without a branch.
struct MatchKernel::PositionFilter {
    static constexpr std::size_t kFewFirstBytes = 8;

    // Bit (byte at p) << 8 | (byte at p + 1) is set when a match can start there: 8 KiB, a
    // row of 32 bytes per first byte, so the rows a window uses stay in the first-level cache.
    std::vector<std::uint64_t> pairs = std::vector<std::uint64_t>(1024, 0);
    std::vector<std::uint8_t> first_bytes;  // the first bytes of the pairs
    std::array<std::uint8_t, 256> is_first{};
#if KV_SWEEP_AVX2
    bool avx2 = __builtin_cpu_supports("avx2");
#endif

    void Set(unsigned first, unsigned next) {
        const unsigned pair = first << 8 | next;
        pairs[pair >> 6] |= std::uint64_t{1} << (pair & 63);
    }
    static unsigned Has(const std::uint64_t* table, unsigned first, unsigned next) {
        const unsigned pair = first << 8 | next;
        return static_cast<unsigned>(table[pair >> 6] >> (pair & 63)) & 1u;
    }

    void CollectFirstBytes() {
        first_bytes.clear();
        is_first.fill(0);
        for (unsigned b = 0; b < 256; ++b) {
            const std::uint64_t* row = pairs.data() + 4 * b;
            is_first[b] = (row[0] | row[1] | row[2] | row[3]) != 0 ? 1 : 0;
            if (is_first[b] != 0) first_bytes.push_back(static_cast<std::uint8_t>(b));
        }
    }

    // Calls visit(p) in ascending order for every position p <= last that passes; the last
    // byte of the data has no next byte and passes on its first byte alone. Stops when visit
    // returns false.
    template <typename Visit>
    void ForEach(const std::uint8_t* data, std::size_t count, std::size_t last,
                 Visit&& visit) const {
        if (first_bytes.empty() || count == 0) return;
        const std::uint64_t* table = pairs.data();
        auto pair_at = [&](std::size_t p) { return Has(table, data[p], data[p + 1]); };
        auto passes = [&](std::size_t p) {
            return p + 1 >= count ? is_first[data[p]] != 0 : pair_at(p) != 0;
        };
        std::size_t p = 0;
#if defined(__SSE2__)
        if (first_bytes.size() <= kFewFirstBytes) {
#if KV_SWEEP_AVX2
            if (avx2 && !SweepAvx2(data, count, last, first_bytes.data(), first_bytes.size(), p,
                                   passes, visit)) {
                return;
            }
#endif
            __m128i needles[kFewFirstBytes];
            const std::size_t n = first_bytes.size();
            for (std::size_t i = 0; i < n; ++i) {
                needles[i] = _mm_set1_epi8(static_cast<char>(first_bytes[i]));
            }
            for (; p + 16 <= count && p <= last; p += 16) {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + p));
                __m128i any = _mm_cmpeq_epi8(v, needles[0]);
                for (std::size_t i = 1; i < n; ++i) {
                    any = _mm_or_si128(any, _mm_cmpeq_epi8(v, needles[i]));
                }
                unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(any));
                while (mask != 0) {
                    const std::size_t q = p + static_cast<std::size_t>(__builtin_ctz(mask));
                    mask &= mask - 1;
                    if (q > last) return;
                    if (passes(q) && !visit(q)) return;
                }
            }
        }
#endif
        // Positions that have a next byte, 64 at a time.
        const std::size_t pair_end = count >= 2 ? std::min(last, count - 2) + 1 : 0;
        while (p < pair_end) {
            const std::size_t n = std::min<std::size_t>(64, pair_end - p);
            std::uint64_t mask = 0;
            for (std::size_t j = 0; j < n; ++j) mask |= std::uint64_t{pair_at(p + j)} << j;
            while (mask != 0) {
                const std::size_t q = p + static_cast<std::size_t>(__builtin_ctzll(mask));
                mask &= mask - 1;
                if (!visit(q)) return;
            }
            p += n;
        }
        for (; p <= last; ++p) {
            if (passes(p) && !visit(p)) return;
        }
    }
};

// A candidate of a list, ready for the search: the record offset and a cheap necessary
// condition on the first eight data bytes (those fixed by leading literal, skip and nibble
// tokens), tested with one masked compare before the record is touched.
struct MatchKernel::Candidate {
    std::uint64_t mask = 0;
    std::uint64_t value = 0;
    std::uint32_t record = 0;
};

// One candidate list under one class mask: its range of the plan's candidates.
struct MatchKernel::CandidateList {
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
};

// The index lists filtered for one class mask, in list order, with every candidate whose
// record lies outside the pattern buffer or whose target mask misses the class left out, and
// the filter of byte pairs (byte at p, byte at p + 1) for which any candidate of list "byte
// at p" can match.
struct MatchKernel::Plan {
    std::vector<Candidate> candidates;
    std::array<CandidateList, kListCount> lists;
    PositionFilter filter;
};

MatchKernel::MatchKernel(DetectionRoutines& routines) : routines_(routines) {}

MatchKernel::~MatchKernel() = default;

void MatchKernel::Attach(const DatabaseView& database) {
    database_ = database;
    for (auto& plan : plans_) plan.reset();
    for (std::uint8_t mask : {kClassExe, kClassProgram, kClassBoot}) plans_[mask] = BuildPlan(mask);
    BuildDocumentFilter();
    hit_count_ = 0;
}

void MatchKernel::Detach() {
    database_ = DatabaseView{};
    for (auto& plan : plans_) plan.reset();
    document_filter_.reset();
    hit_count_ = 0;
}

const MatchKernel::Plan& MatchKernel::PlanFor(std::uint8_t class_mask) {
    if (!plans_[class_mask]) plans_[class_mask] = BuildPlan(class_mask);
    return *plans_[class_mask];
}

void MatchKernel::Prefilter(std::uint32_t record, Candidate& candidate) const {
    std::uint8_t mask[kPrefilterBytes] = {};
    std::uint8_t value[kPrefilterBytes] = {};
    const std::uint8_t* pat = database_.pattern;
    const std::size_t size = database_.pattern_size;
    const std::uint32_t first = pat[record];
    if (first == 1) {
        if (record + 1 < size) {
            const std::size_t n = pat[record + 1];
            for (std::size_t i = 0; i < n && i < kPrefilterBytes && record + 2 + i < size; ++i) {
                mask[i] = 0xFF;
                value[i] = pat[record + 2 + i];
            }
        }
    } else {
        const std::size_t last = record + first;
        std::size_t q = record + 1;
        std::size_t d = 0;
        while (d < kPrefilterBytes && q <= last && q < size) {
            const std::uint8_t t = pat[q];
            if (t >= 200) {
                d += t - 200u;
                q += 1;
            } else if (t >= 1 && t <= 100 && t != kEscape) {
                if (q + 1 + t > size) break;
                for (std::size_t i = 0; i < t && d + i < kPrefilterBytes; ++i) {
                    mask[d + i] = 0xFF;
                    value[d + i] = pat[q + 1 + i];
                }
                d += t;
                q += 1u + t;
            } else if (t == kEscape && q + 1 < size && IsNibbleFlags(pat[q + 1])) {
                const std::uint8_t f = pat[q + 1];
                if (f & 0x80) {
                    mask[d] = 0xF0;
                    value[d] = static_cast<std::uint8_t>((f & 0x0F) << 4);
                } else {
                    mask[d] = 0x0F;
                    value[d] = f & 0x0F;
                }
                d += 1;
                q += 2;
            } else {
                break;  // a condition, routine, header move or gap: no fixed bytes further on
            }
        }
    }
    std::memcpy(&candidate.mask, mask, sizeof mask);
    std::memcpy(&candidate.value, value, sizeof value);
}

std::unique_ptr<MatchKernel::Plan> MatchKernel::BuildPlan(std::uint8_t class_mask) const {
    auto plan = std::make_unique<Plan>();
    const std::uint8_t* index = database_.index;
    const std::size_t size = index != nullptr ? database_.index_size : 0;
    for (std::size_t i = 0; i < kListCount; ++i) {
        CandidateList& list = plan->lists[i];
        list.begin = static_cast<std::uint32_t>(plan->candidates.size());
        if (4 * i + 4 <= size && database_.pattern != nullptr) {
            const std::size_t offset = platform::LoadLe16(index + 4 * i);
            const std::size_t count = platform::LoadLe16(index + 4 * i + 2);
            for (std::size_t c = 0; c < count; ++c) {
                const std::size_t at = offset + 3 * c;
                if (at + 3 > size) break;  // the rest of the list lies outside the block
                const std::uint32_t record = platform::LoadLe16(index + at);
                const std::uint8_t targets = index[at + 2];
                if ((targets & class_mask) == 0) continue;
                if (record >= database_.pattern_size) continue;
                Candidate candidate;
                candidate.record = record;
                Prefilter(record, candidate);
                if (i < kAnchoredList) {
                    // The list's byte is the first data byte: a candidate that demands
                    // another one can never match from this list.
                    std::uint8_t m0, v0;
                    std::memcpy(&m0, &candidate.mask, 1);
                    std::memcpy(&v0, &candidate.value, 1);
                    if ((static_cast<std::uint8_t>(i) & m0) != v0) continue;
                }
                plan->candidates.push_back(candidate);
            }
        }
        list.end = static_cast<std::uint32_t>(plan->candidates.size());
        if (i == kAnchoredList || list.begin == list.end) continue;
        // The second bytes the list's candidates accept; one candidate that accepts any
        // makes the whole row pass.
        std::uint64_t accepted[4] = {0, 0, 0, 0};
        bool any = false;
        for (std::uint32_t c = list.begin; c < list.end && !any; ++c) {
            std::uint8_t bytes[2][kPrefilterBytes];
            std::memcpy(bytes[0], &plan->candidates[c].mask, kPrefilterBytes);
            std::memcpy(bytes[1], &plan->candidates[c].value, kPrefilterBytes);
            const std::uint8_t m1 = bytes[0][1];
            const std::uint8_t v1 = bytes[1][1];
            if (m1 == 0) {
                any = true;
            } else if (m1 == 0xFF) {
                accepted[v1 >> 6] |= std::uint64_t{1} << (v1 & 63);
            } else {
                for (unsigned v = 0; v < 256; ++v) {
                    if ((v & m1) == v1) accepted[v >> 6] |= std::uint64_t{1} << (v & 63);
                }
            }
        }
        for (unsigned word = 0; word < 4; ++word) {
            std::uint64_t bits = any ? ~std::uint64_t{0} : accepted[word];
            while (bits != 0) {
                const unsigned v = word * 64 + static_cast<unsigned>(__builtin_ctzll(bits));
                bits &= bits - 1;
                plan->filter.Set(static_cast<unsigned>(i), v);
            }
        }
    }
    plan->filter.CollectFirstBytes();
    return plan;
}

void MatchKernel::BuildDocumentFilter() {
    document_filter_ = std::make_unique<PositionFilter>();
    const std::uint8_t* trie = database_.trie;
    const std::size_t size = database_.trie_size;
    if (database_.directory == nullptr || trie == nullptr) return;
    // The byte after a start position is the one the root node consumes: a key of a branch,
    // the first byte of a chain, anything before a leaf. A root that cannot be read never
    // gives a hit.
    auto set = [&](unsigned b, unsigned next) { document_filter_->Set(b, next); };
    for (unsigned b = 0; b < 256; ++b) {
        if (2 * std::size_t{b} + 2 > database_.directory_size) break;
        const std::size_t node = platform::LoadLe16(database_.directory + 2 * b);
        if (node == 0xFFFF || node >= size) continue;
        const std::uint8_t h = trie[node];
        if (h == 1) {
            if (node + 3 > size) continue;
            for (unsigned v = 0; v < 256; ++v) set(b, v);
        } else if (h == 0) {
            if (node + 2 > size) continue;
            const std::size_t keys = trie[node + 1];
            if (keys == 0 || keys == 255 || node + 2 + 3 * keys > size) continue;
            for (std::size_t k = 0; k < keys; ++k) set(b, trie[node + 2 + k]);
        } else if (h != 255 && node + 1 < size) {
            set(b, trie[node + 1]);
        }
    }
    document_filter_->CollectFirstBytes();
}

// ---- Window ----

void MatchKernel::SetWindow(std::size_t capacity, std::uint8_t* buffer) {
    window_.buffer = buffer;
    window_.capacity = buffer != nullptr ? capacity : 0;
    window_.count = 0;
}

void MatchKernel::SetFill(std::size_t count, std::int64_t window_offset) {
    window_.count = std::min(count, window_.capacity);
    window_.window_offset = window_offset;
}

void MatchKernel::LoadBlock(std::uint8_t* data, std::size_t count, std::uint8_t class_mask,
                            std::int64_t size_limit) {
    SetWindow(count, data);
    window_.count = window_.capacity;
    window_.saved_count = window_.count;
    window_.window_offset = 0;
    window_.entry_offset = 0;
    window_.size_limit = size_limit;
    window_.class_mask = class_mask;
    window_.entry_known = 0;
    window_.complete = 1;
    FillHeader();
}

void MatchKernel::FillHeader() {
    std::memset(window_.header, 0, sizeof window_.header);
    std::size_t n = std::min(window_.count, sizeof window_.header);
    if (n > 0) std::memcpy(window_.header, window_.buffer, n);
}

void MatchKernel::AnalyseExeHeader(std::int64_t& entry, std::int64_t& image_size) const {
    const std::uint8_t* h = window_.header;
    const std::uint32_t pages = platform::LoadLe16(h + 4);
    const std::uint32_t paragraphs = platform::LoadLe16(h + 8);
    const std::uint32_t ip = platform::LoadLe16(h + 20);
    const std::uint32_t cs = platform::LoadLe16(h + 22);
    const std::uint32_t segment = (paragraphs + cs + ip / 16) & 0xFFFFu;
    entry = static_cast<std::int64_t>(segment) * 16 + ip % 16;
    image_size = static_cast<std::int64_t>(pages) * 512;
}

bool MatchKernel::ReadAt(platform::File& file, std::int64_t offset) {
    if (offset < 0 || window_.buffer == nullptr || window_.capacity == 0) return false;
    long n = file.ReadAt(window_.buffer, window_.capacity, offset);
    if (n <= 0) return false;
    window_.count = static_cast<std::size_t>(n);
    window_.window_offset = offset;
    window_.entry_offset = offset;
    return true;
}

void MatchKernel::LocateEntry(platform::File& file) {
    ScanWindowState& w = window_;
    w.count = 0;
    w.saved_count = 0;
    w.window_offset = 0;
    w.entry_offset = 0;
    w.complete = 0;
    w.entry_known = 0;
    w.class_mask = kClassProgram;
    w.archive_mark = 0;
    w.jump_budget = kJumpBudget;
    std::memset(w.header, 0, sizeof w.header);
    w.size_limit = 0;
    if (w.buffer == nullptr || w.capacity == 0) return;

    const long n = file.ReadAt(w.buffer, w.capacity, 0);
    if (n < 0) return;
    w.count = static_cast<std::size_t>(n);
    if (n == 0) {
        w.complete = 1;
        return;
    }
    const DataView first{w.buffer, w.count};
    const bool exe =
        (first.At(0) == 'M' && first.At(1) == 'Z') || (first.At(0) == 'Z' && first.At(1) == 'M');
    // The length that counts: a first block shorter than the window ends where the file does;
    // an EXE header gives its image size (below); only for a longer file of another kind is
    // the file system asked.
    if (w.count < w.capacity) {
        w.complete = 1;
        w.size_limit = n;
    } else if (!exe) {
        w.size_limit = std::max<std::int64_t>(file.KnownSize(), 0);
    }
    FillHeader();
    w.archive_mark = static_cast<std::uint16_t>(first.At(30) | (first.At(31) << 8));

    std::size_t pos = 0;
    if (exe) {
        w.class_mask = kClassExe;
        w.entry_known = 1;
        std::int64_t entry = 0, image = 0;
        AnalyseExeHeader(entry, image);
        w.size_limit = image;
        w.entry_offset = entry;
        if (entry > image) {
            // A header that points past its own image: scan the first block.
            w.saved_count = w.count;
            return;
        }
        if (image > static_cast<std::int64_t>(w.count)) {
            if (!ReadAt(file, entry)) {
                // The entry block cannot be read (a truncated file): keep the first block;
                // the tail pass still runs.
                w.saved_count = w.count;
                return;
            }
        } else {
            w.complete = 1;
            pos = static_cast<std::size_t>(entry);
        }
    }

    // Leading jumps.
    while (w.jump_budget > 0) {
        --w.jump_budget;
        const DataView data{w.buffer, w.count};
        const std::uint8_t op = data.At(pos);
        if (op == 0xE9 || op == 0xE8) {
            const std::uint16_t displacement =
                static_cast<std::uint16_t>(data.At(pos + 1) | (data.At(pos + 2) << 8));
            if (displacement == 0) break;
            w.entry_known = 1;
            const std::int64_t target =
                w.window_offset + static_cast<std::int64_t>(pos) +
                static_cast<std::int16_t>(static_cast<std::uint16_t>(displacement + 3));
            // In a file larger than the window the jump is not followed: the tail pass
            // covers viruses appended at the end.
            if (w.complete == 0) break;
            if (!ReadAt(file, target)) {
                w.complete = 1;
                break;
            }
            pos = 0;
        } else if (op == 0xEA) {
            w.entry_known = 1;
            const std::uint32_t far = static_cast<std::uint32_t>(data.At(pos + 1)) |
                                      (static_cast<std::uint32_t>(data.At(pos + 2)) << 8) |
                                      (static_cast<std::uint32_t>(data.At(pos + 3)) << 16) |
                                      (static_cast<std::uint32_t>(data.At(pos + 4)) << 24);
            if (!ReadAt(file, static_cast<std::uint32_t>(far + 5))) {
                w.complete = 1;
                break;
            }
            pos = 0;
        } else if (op == 0x4D) {
            w.entry_known = 1;
            ++pos;
        } else {
            break;
        }
    }
    // The window starts at the entry: the anchored pass looks at its first byte, and the
    // saved count runs from there. In a window that holds the whole file the bytes are moved
    // down; otherwise a full block is read from the entry.
    if (pos > 0) PlaceWindowAt(file, pos);
    w.saved_count = w.count;
}

void MatchKernel::PlaceWindowAt(platform::File& file, std::size_t pos) {
    ScanWindowState& w = window_;
    if (pos >= w.count) return;
    const std::int64_t entry = w.window_offset + static_cast<std::int64_t>(pos);
    if (w.count < w.capacity) {
        std::memmove(w.buffer, w.buffer + pos, w.count - pos);
        std::memset(w.buffer + (w.count - pos), 0, pos);
        w.count -= pos;
        w.window_offset = entry;
        w.entry_offset = entry;
    } else if (!ReadAt(file, entry)) {
        w.entry_offset = entry;
    }
}

std::int64_t MatchKernel::LocateEntryInMemory() {
    ScanWindowState& w = window_;
    w.class_mask = kClassProgram;
    w.entry_known = 0;
    w.complete = 0;
    w.saved_count = w.count;
    FillHeader();
    const DataView data{w.buffer, w.count};
    std::int64_t entry = 0;
    std::size_t pos = 0;
    if ((data.At(0) == 'M' && data.At(1) == 'Z') || (data.At(0) == 'Z' && data.At(1) == 'M')) {
        w.class_mask = kClassExe;
        w.entry_known = 1;
        std::int64_t image = 0;
        AnalyseExeHeader(entry, image);
        w.size_limit = image;
        w.complete = (image <= static_cast<std::int64_t>(w.count) && entry <= image) ? 1 : 0;
        w.entry_offset = entry;
        const std::int64_t in_window = entry - w.window_offset;
        if (entry > image || in_window < 0 || in_window >= static_cast<std::int64_t>(w.count)) {
            return entry;
        }
        pos = static_cast<std::size_t>(in_window);
    }
    while (pos < w.count && w.buffer[pos] == 0x4D) {
        w.entry_known = 1;
        ++pos;
    }
    // Without a leading jump the entry is where the analysis stopped: past leading 0x4D
    // bytes, or at the EXE header's entry.
    if (pos < w.count) entry = w.window_offset + static_cast<std::int64_t>(pos);
    const std::uint8_t op = data.At(pos);
    if (pos < w.count && (op == 0xE9 || op == 0xE8)) {
        const std::uint16_t displacement =
            static_cast<std::uint16_t>(data.At(pos + 1) | (data.At(pos + 2) << 8));
        if (displacement != 0) {
            w.entry_known = 1;
            entry = w.window_offset + static_cast<std::int64_t>(pos) +
                    static_cast<std::int16_t>(static_cast<std::uint16_t>(displacement + 3));
        }
    } else if (pos < w.count && op == 0xEA) {
        w.entry_known = 1;
        const std::uint32_t far = static_cast<std::uint32_t>(data.At(pos + 1)) |
                                  (static_cast<std::uint32_t>(data.At(pos + 2)) << 8) |
                                  (static_cast<std::uint32_t>(data.At(pos + 3)) << 16) |
                                  (static_cast<std::uint32_t>(data.At(pos + 4)) << 24);
        entry = static_cast<std::uint32_t>(far + 5);
    }
    w.entry_offset = entry;
    return entry;
}

void MatchKernel::ReadTail(platform::File& file) {
    ScanWindowState& w = window_;
    w.count = 0;
    if (w.buffer == nullptr || w.size_limit < static_cast<std::int64_t>(w.capacity)) return;
    const std::int64_t offset = w.size_limit - static_cast<std::int64_t>(w.capacity);
    const long n = file.ReadAt(w.buffer, w.capacity, offset);
    if (n <= 0) return;
    w.count = static_cast<std::size_t>(n);
    w.window_offset = offset;
    w.entry_offset = offset;
}

// ---- Pattern search ----

void MatchKernel::AddHit(std::uint32_t record, std::int64_t file_offset) {
    if (hit_count_ >= kMaxHits) return;
    hits_[hit_count_].record = record;
    hits_[hit_count_].file_offset = file_offset;
    ++hit_count_;
}

std::int64_t MatchKernel::FileOffset(int region, std::size_t d) const {
    return region == 0 ? window_.window_offset + static_cast<std::int64_t>(d)
                       : static_cast<std::int64_t>(d);
}

bool MatchKernel::Compare(int region, std::size_t d, std::uint32_t q, std::size_t length) const {
    const DataView& data = regions_[region];
    const std::uint8_t* pat = database_.pattern + q;
    if (d + length <= data.count) return std::memcmp(data.data + d, pat, length) == 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (data.At(d + i) != pat[i]) return false;
    }
    return true;
}

bool MatchKernel::TrailerInside(std::uint32_t end) const {
    const std::size_t size = database_.pattern_size;
    return std::size_t{end} + 2 <= size &&
           std::size_t{end} + 2 + database_.pattern[end + 1] <= size;
}

bool MatchKernel::MatchRecord(std::uint32_t record, std::size_t p, std::uint32_t& end) {
    const std::uint8_t* pat = database_.pattern;
    const std::size_t size = database_.pattern_size;
    if (record >= size) return false;
    gap_budget_ = kGapTryBudget;
    const std::uint32_t first = pat[record];
    if (first == 1) {
        if (std::size_t{record} + 1 >= size) return false;
        const std::uint32_t n = pat[record + 1];
        if (std::size_t{record} + 2 + n > size) return false;
        if (!Compare(0, p, record + 2, n)) return false;
        end = record + 2 + n;
        return TrailerInside(end);
    }
    if (!MatchTokens(record + 1, record + first, 0, p, end)) return false;
    return TrailerInside(end);
}

bool MatchKernel::MatchTokens(std::uint32_t q, std::uint32_t last, int region, std::size_t d,
                              std::uint32_t& end) {
    const std::uint8_t* pat = database_.pattern;
    const std::size_t size = database_.pattern_size;
    for (;;) {
        if (q > last) {
            end = q;
            return true;
        }
        if (q >= size) return false;
        const std::uint8_t t = pat[q];
        if (t >= 200) {  // skip
            d += t - 200u;
            q += 1;
            continue;
        }
        if (t == 0) return false;
        if (t <= 100 && t != kEscape) {  // literal
            if (std::size_t{q} + 1 + t > size) return false;
            if (!Compare(region, d, q + 1, t)) return false;
            d += t;
            q += 1u + t;
            continue;
        }
        if (t == kEscape) {
            if (std::size_t{q} + 1 >= size) return false;
            const std::uint8_t f = pat[q + 1];
            if (f == 0x40) {  // entry known
                if (window_.entry_known == 0) return false;
                q += 2;
                continue;
            }
            if (f & 0x20) {  // near the end
                if (std::size_t{q} + 5 >= size) return false;
                const std::int64_t n = platform::LoadLe16(pat + q + 4);
                const std::int64_t r = window_.size_limit - FileOffset(region, d);
                if (r < 0 || n < r) return false;
                q += 3u + pat[q + 2];
                continue;
            }
            if (f & 0x10) {
                const unsigned low = f & 0x0Fu;
                if (low == 2) {  // built-in detection routine
                    if (std::size_t{q} + 4 >= size) return false;
                    const unsigned number = platform::LoadLe16(pat + q + 3);
                    std::size_t position = d;
                    if (!routines_.Call(number, regions_[region], position, window_.saved_count)) {
                        return false;
                    }
                    d = position;
                    q += 5u + pat[q + 2];
                    continue;
                }
                // Machine code carried in the record is never run: the condition is not met.
                if (low == 1) return false;
                region = 1;  // the following tokens test the header copy
                d = 0;
                q += 2;
                continue;
            }
            const std::uint8_t byte = regions_[region].At(d);
            const std::uint8_t nibble = (f & 0x80) ? byte >> 4 : byte & 0x0F;
            if (nibble != (f & 0x0F)) return false;
            d += 1;
            q += 2;
            continue;
        }

        // Gap: the next token must match at one of t - 99 positions.
        const unsigned tries = t - 99u;
        const std::uint32_t next = q + 1;
        if (next > last || next >= size) return false;
        const std::uint8_t u = pat[next];
        std::size_t width;
        std::uint32_t after;
        bool literal;
        if (u >= 1 && u <= 100 && u != kEscape) {
            literal = true;
            width = u;
            after = next + 1 + u;
            if (after > size) return false;
        } else if (u == kEscape) {
            if (std::size_t{next} + 1 >= size) return false;
            const std::uint8_t f = pat[next + 1];
            if (!IsNibbleFlags(f)) {
                // A condition or routine after a gap is tested once, where the gap begins.
                return MatchTokens(next, last, region, d, end);
            }
            literal = false;
            width = 1;
            after = next + 2;
        } else {
            return false;  // a gap, skip or zero after a gap has no meaning
        }
        const DataView& data = regions_[region];
        unsigned counted = 0;
        for (std::size_t at = d; counted < tries; ++at) {
            if (gap_budget_ == 0) return false;
            --gap_budget_;
            bool unit;
            if (literal) {
                unit = Compare(region, at, next + 1, width);
            } else {
                const std::uint8_t f = pat[next + 1];
                const std::uint8_t byte = data.At(at);
                unit = ((f & 0x80) ? byte >> 4 : byte & 0x0F) == (f & 0x0F);
            }
            if (unit) {
                if (MatchTokens(after, last, region, at + width, end)) return true;
                // Matched here but the rest did not: not counted while it lies in the data.
                if (at < data.count) continue;
            }
            ++counted;
        }
        return false;
    }
}

void MatchKernel::ScanWindow(int mode) {
    hit_count_ = 0;
    const ScanWindowState& w = window_;
    if (w.count == 0 || w.buffer == nullptr || database_.pattern == nullptr ||
        database_.index == nullptr) {
        return;
    }
    regions_[0] = DataView{w.buffer, w.count};
    regions_[1] = DataView{w.header, ScanWindowState::kHeaderCopySize};
    const Plan& plan = PlanFor(w.class_mask);
    const Candidate* candidates = plan.candidates.data();
    const std::uint8_t* data = w.buffer;
    const std::size_t count = w.count;

    auto word_at = [&](std::size_t p) -> std::uint64_t {
        if (p + kPrefilterBytes <= count) return Load8(data + p);
        std::uint8_t padded[kPrefilterBytes] = {};
        std::memcpy(padded, data + p, count - p);
        return Load8(padded);
    };

    if (mode == kModeAnchored) {
        const CandidateList& list = plan.lists[kAnchoredList];
        const std::uint64_t word = word_at(0);
        for (std::uint32_t c = list.begin; c < list.end; ++c) {
            if ((word & candidates[c].mask) != candidates[c].value) continue;
            std::uint32_t end;
            if (MatchRecord(candidates[c].record, 0, end)) {
                AddHit(end, w.window_offset);
                if (hit_count_ >= kMaxHits) return;
            }
        }
        return;
    }

    if (count < 2) return;  // the last byte of the window is never a start position
    plan.filter.ForEach(data, count, count - 2, [&](std::size_t p) {
        const CandidateList& list = plan.lists[data[p]];
        const std::uint64_t word = word_at(p);
        for (std::uint32_t c = list.begin; c < list.end; ++c) {
            if ((word & candidates[c].mask) != candidates[c].value) continue;
            std::uint32_t end;
            if (MatchRecord(candidates[c].record, p, end)) {
                AddHit(end, w.window_offset + static_cast<std::int64_t>(p));
                if (hit_count_ >= kMaxHits) return false;
            }
        }
        return true;
    });
}

// ---- Document search ----

void MatchKernel::SearchDocumentTrie() {
    SearchDocumentTrie(window_.buffer, window_.buffer != nullptr ? window_.count : 0,
                       window_.window_offset);
}

void MatchKernel::SearchDocumentTrie(const std::uint8_t* data, std::size_t count,
                                     std::int64_t window_offset) {
    hit_count_ = 0;
    const std::uint8_t* directory = database_.directory;
    const std::uint8_t* trie = database_.trie;
    if (data == nullptr || directory == nullptr || trie == nullptr) return;
    const std::size_t trie_size = database_.trie_size;
    // Every node consumes at least one data byte or ends the walk, and an acyclic trie has
    // fewer nodes than half its bytes: a longer walk is going round a loop.
    const std::size_t max_steps = trie_size / 2 + 1;

    if (!document_filter_) BuildDocumentFilter();
    if (count == 0) return;
    document_filter_->ForEach(data, count, count - 1, [&](std::size_t p) {
        const std::size_t slot = 2 * std::size_t{data[p]};
        if (slot + 2 > database_.directory_size) return true;
        const std::uint16_t root = platform::LoadLe16(directory + slot);
        if (root == 0xFFFF) return true;
        std::size_t node = root;
        std::size_t d = p + 1;
        for (std::size_t step = 0; step < max_steps; ++step) {
            if (node >= trie_size) break;
            const std::uint8_t h = trie[node];
            if (h == 1) {  // leaf
                if (node + 3 <= trie_size)
                    AddHit(platform::LoadLe16(trie + node + 1), window_offset + p);
                break;
            }
            if (h == 0) {  // branch: binary search of the data byte among the keys
                if (node + 2 > trie_size || d >= count) break;
                const std::size_t keys = trie[node + 1];
                if (keys == 0 || keys == 255 || node + 2 + 3 * keys > trie_size) break;
                const std::uint8_t* key = trie + node + 2;
                const std::uint8_t* found = std::lower_bound(key, key + keys, data[d]);
                if (found == key + keys || *found != data[d]) break;
                const std::size_t field = node + 2 + keys + 2 * std::size_t(found - key);
                node = field + platform::LoadLe16(trie + field);
                d += 1;
                continue;
            }
            if (h == 255) break;
            const std::size_t m = 255u - h;  // chain of m bytes
            if (node + 1 + m > trie_size || d + m > count) break;
            if (std::memcmp(trie + node + 1, data + d, m) != 0) break;
            d += m;
            node += 1 + m;
        }
        return hit_count_ < kMaxHits;
    });
}

}  // namespace kv
