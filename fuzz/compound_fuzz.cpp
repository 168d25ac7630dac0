// Fuzz target: the compound document reader, the Word macro tables, the document search and
// the macro cleaner over a hostile document.
//
// Input: the document. It is searched as the scanner searches documents, with a searcher that
// reads every byte it is given; its macros are walked and named; then a copy is cleaned. The
// cleaner must leave the copy's size and every byte outside the Word stream's sectors as they
// were, and the cleaned copy is searched again.

#include <algorithm>
#include <string>
#include <vector>

#include "containers/compound_file.h"
#include "containers/word_macros.h"
#include "fuzz/fuzz_support.h"

namespace {

// A walk over the macro records ends within the table: at most one step per record.
constexpr long kMaxMacroSteps = 1 << 20;

// Stands in for the signature kernel: reads every byte and the zero slack behind it, and
// counts a hit where a block holds "KVFZ".
class TouchingSearcher : public kv::ole::DocumentSearcher {
public:
    bool Search(const std::uint8_t* data, std::size_t count, std::int64_t file_offset,
                kv::ole::DocumentHit& hit) override {
        KV_FUZZ_CHECK(count > 0 && count <= kv::ole::kSearchBlockSize);
        unsigned sum = 0;
        for (std::size_t i = 0; i < count; ++i) sum += data[i];
        sum_ = sum_ + sum;
        for (std::size_t i = count; i < count + kv::ole::kSearchSlack; ++i)
            KV_FUZZ_CHECK(data[i] == 0);
        static constexpr char kMark[] = "KVFZ";
        const std::uint8_t* found = std::search(data, data + count, kMark, kMark + 4);
        if (found == data + count) return false;
        hit.name = "Fuzz.Mark";
        hit.offset = file_offset + (found - data);
        return true;
    }

private:
    volatile unsigned sum_ = 0;
};

void WalkMacros(const std::string& path) {
    kv::ole::WordDocument doc;
    if (doc.Open(path, kv::ole::Access::kRead) != kv::ole::kDocOk) return;
    KV_FUZZ_CHECK(doc.MacroTable().size() == doc.MacroTableLength());
    // The table was read whole from the stream: its claimed extent lies inside what the
    // stream really holds.
    KV_FUZZ_CHECK(std::uint64_t{doc.MacroTableOffset()} + doc.MacroTableLength() <=
                  doc.Stream().StreamBytes());
    KV_FUZZ_CHECK(doc.Stream().StreamBytes() <= doc.Stream().ChainBytes());
    long steps = 0;
    std::vector<std::uint8_t> text(kv::ole::kSearchBlockSize);
    do {
        KV_FUZZ_CHECK(++steps <= kMaxMacroSteps);
        KV_FUZZ_CHECK(doc.CurrentRecord() + 24 <= doc.MacroTable().size());
        std::int64_t at = doc.TextFileOffset();
        KV_FUZZ_CHECK(at < doc.Stream().FileSize());
        std::size_t got = doc.ReadText(text.data(), text.size());
        KV_FUZZ_CHECK(got <= std::min<std::size_t>(text.size(), doc.TextLength()));
        if (doc.FindMacroName()) {
            KV_FUZZ_CHECK(doc.HasNameTable());
            KV_FUZZ_CHECK(doc.NameRecordA() + 3 <= doc.MacroTable().size());
            KV_FUZZ_CHECK(doc.NameRecordB() + 3 <= doc.MacroTable().size());
            KV_FUZZ_CHECK(doc.MacroName().find('\0') == std::string::npos);
        }
    } while (doc.NextMacro() == kv::ole::kDocOk);
}

// Reads a piece of the stream and compares it with the sectors of its chain, read directly
// from the input: the stream is the chain's sectors one after another, as far as the file
// holds them.
void CheckStreamRead(const std::string& path, std::string_view input, std::uint64_t seed) {
    kv::ole::CompoundFile file;
    if (file.Open(path, kv::ole::Access::kRead) != kv::ole::kDocOk) return;
    const std::vector<std::uint32_t>& chain = file.Chain();
    std::uint64_t position = seed % (file.ChainBytes() + kv::ole::kSectorSize);
    std::size_t length = static_cast<std::size_t>(seed % 1531);
    std::string expected;
    for (std::uint64_t at = position; at < position + length; ++at) {
        std::uint64_t k = at / kv::ole::kSectorSize;
        if (k >= chain.size()) break;
        std::uint64_t offset =
            (std::uint64_t{chain[k]} + 1) * kv::ole::kSectorSize + at % kv::ole::kSectorSize;
        if (offset >= input.size()) break;
        expected.push_back(input[offset]);
    }
    std::string got(length, '\0');
    file.SeekStream(position);
    std::size_t n = file.ReadStream(got.data(), length);
    KV_FUZZ_CHECK(n == expected.size());
    KV_FUZZ_CHECK(got.compare(0, n, expected) == 0);
    KV_FUZZ_CHECK(file.StreamPosition() == position + n);
}

// Whether the file offset `pos` lies in one of the sectors of `chain`.
bool InChain(const std::vector<std::uint32_t>& chain, std::size_t pos) {
    if (pos < kv::ole::kSectorSize) return false;  // the header
    std::uint64_t sector = pos / kv::ole::kSectorSize - 1;
    return std::find(chain.begin(), chain.end(), sector) != chain.end();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    kv::fuzz::ScratchDir dir;
    std::string path = dir / "input.doc";
    std::string copy = dir / "copy.doc";
    if (!dir.Ok() || !kv::fuzz::WriteBytes(path, input) || !kv::fuzz::WriteBytes(copy, input))
        return 0;

    TouchingSearcher searcher;
    kv::ole::DocumentScanResult result = kv::ole::ScanDocument(path, searcher);
    KV_FUZZ_CHECK(result.open_result <= 0 && result.open_result >= kv::ole::kDocNoMacros);
    WalkMacros(path);
    CheckStreamRead(path, input, size * 2654435761u + (size > 0 ? data[size - 1] : 0));

    // The sectors that the cleaner may write: the Word stream's chain.
    std::vector<std::uint32_t> chain;
    {
        kv::ole::CompoundFile file;
        if (file.Open(copy, kv::ole::Access::kRead) == kv::ole::kDocOk) chain = file.Chain();
    }
    bool cleaned = kv::ole::CleanDocument(copy);
    std::string after = kv::fuzz::ReadBytes(copy);
    KV_FUZZ_CHECK(after.size() == size);
    if (chain.empty()) {
        KV_FUZZ_CHECK(after == input);
    } else {
        for (std::size_t i = 0; i < size; ++i) {
            if (after[i] != input[i]) KV_FUZZ_CHECK(InChain(chain, i));
        }
    }
    if (cleaned) {
        KV_FUZZ_CHECK(!chain.empty());
        kv::ole::ScanDocument(copy, searcher);
        WalkMacros(copy);
    }
    return 0;
}
