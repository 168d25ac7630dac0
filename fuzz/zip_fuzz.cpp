// Fuzz target: the ZIP reader over a hostile archive.
//
// Input: the archive. It is opened and walked to its end; the first members are extracted
// to a temporary file (which is walked again as a nested archive, two levels deep) and in
// memory through the program member scan, with a matcher that reads every byte it is given
// and checks that every region lies inside the output window. Both extractions must agree,
// the blocks must come as the sink is promised them, and a name that passes as safe must stay
// inside the folder it is extracted to.

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>

#include "containers/member_scan.h"
#include "containers/zip_reader.h"
#include "fuzz/fuzz_support.h"
#include "platform/files.h"

namespace {

// Members extracted per archive, archive levels opened, and bytes produced per member: small
// enough that one input stays well inside the fuzzer's time limit.
constexpr int kMembersExtracted = 8;
constexpr int kMaxDepth = 2;
constexpr std::uint64_t kMemberLimit = 1 << 20;
// A walk visits at most the 65535 entries that a 16-bit count announces, and ends then.
constexpr long kMaxWalk = 65536;

// Stands in for the signature kernel: reads every byte of every region, finds the entry point
// of a member that starts with a jump, and counts a hit where a region holds "KVFZ".
class TouchingMatcher : public kv::zip::ProgramMatcher {
public:
    std::uint64_t BeginMember(std::uint8_t* window, std::size_t count,
                              std::uint64_t /*declared_size*/) override {
        window_ = window;
        hits_ = 0;
        KV_FUZZ_CHECK(window != nullptr);
        KV_FUZZ_CHECK(count <= kv::zip::kWindowSize);
        // The slack behind the window is zero, and so is the window behind a short block.
        for (std::size_t i = count; i < kv::zip::kWindowSize + kv::zip::kWindowSlack; ++i)
            KV_FUZZ_CHECK(window[i] == 0);
        Touch(window, count);
        if (count >= 3 && window[0] == 0xE9) return 3u + (window[1] | (window[2] << 8));
        if (count >= 2 && window[0] == 0xEB) return 2u + window[1];
        return 0;
    }

    void Scan(Pass pass, std::uint8_t* start, std::size_t count, std::uint64_t /*member_offset*/,
              std::size_t saved_count) override {
        KV_FUZZ_CHECK(window_ != nullptr);
        KV_FUZZ_CHECK(start >= window_);
        std::size_t from = static_cast<std::size_t>(start - window_);
        if (pass == Pass::kAnchored) {
            // The anchored pass may run past the block, but not past the slack.
            KV_FUZZ_CHECK(count == kv::zip::kAnchoredPassSize);
            KV_FUZZ_CHECK(from + count <= kv::zip::kWindowSize + kv::zip::kWindowSlack);
            KV_FUZZ_CHECK(saved_count <= kv::zip::kEntryBlockSize);
        } else {
            KV_FUZZ_CHECK(from + count <= kv::zip::kWindowSize);
            if (pass == Pass::kEntry) KV_FUZZ_CHECK(count <= kv::zip::kEntryBlockSize);
            // A kernel may read up to the slack beyond a region's end.
            Touch(start + count, kv::zip::kWindowSlack);
        }
        Touch(start, count);
        hits_ = Find(start, count) ? 1 : 0;
    }

    int HitCount() const override { return hits_; }

private:
    void Touch(const std::uint8_t* p, std::size_t n) {
        unsigned sum = 0;
        for (std::size_t i = 0; i < n; ++i) sum += p[i];
        sum_ = sum_ + sum;
    }
    static bool Find(const std::uint8_t* p, std::size_t n) {
        static constexpr char kMark[] = "KVFZ";
        return std::search(p, p + n, kMark, kMark + 4) != p + n;
    }

    std::uint8_t* window_ = nullptr;
    int hits_ = 0;
    volatile unsigned sum_ = 0;
};

// Passes the blocks of an in-memory extraction on after checking that they come as promised:
// in order, every one but the last a full window, the window behind a block zero.
class CheckedSink : public kv::zip::MemberSink {
public:
    explicit CheckedSink(kv::zip::MemberSink& next) : next_(next) {}

    bool Consume(const kv::zip::OutputBlock& block) override {
        KV_FUZZ_CHECK(!ended_);
        KV_FUZZ_CHECK(block.first == (blocks_ == 0));
        KV_FUZZ_CHECK(block.offset == total_);
        KV_FUZZ_CHECK(block.total == block.offset + block.count);
        KV_FUZZ_CHECK(block.count <= kv::zip::kWindowSize);
        if (!block.last) KV_FUZZ_CHECK(block.count == kv::zip::kWindowSize);
        for (std::size_t i = block.count; i < kv::zip::kWindowSize + kv::zip::kWindowSlack; ++i)
            KV_FUZZ_CHECK(block.window[i] == 0);
        total_ = block.total;
        ++blocks_;
        ended_ = block.last;
        return next_.Consume(block);
    }
    bool Ended() const { return ended_; }
    std::uint64_t Total() const { return total_; }

private:
    kv::zip::MemberSink& next_;
    std::uint64_t total_ = 0;
    long blocks_ = 0;
    bool ended_ = false;
};

// A name that passes as safe, put below a folder, stays below it.
void CheckSafeName(const std::string& name) {
    if (!kv::zip::IsSafeMemberName(name)) return;
    std::string joined = (std::filesystem::path("/base") / name).lexically_normal().string();
    KV_FUZZ_CHECK(joined.rfind("/base/", 0) == 0);
}

void Walk(const std::string& path, int depth) {
    kv::zip::ZipArchive archive;
    int status = archive.Open(path);
    KV_FUZZ_CHECK(status == kv::zip::kStatusMember || status < 0);
    long steps = 0;
    int extracted = 0;
    while (archive.Status() == kv::zip::kStatusMember) {
        KV_FUZZ_CHECK(++steps <= kMaxWalk);
        CheckSafeName(archive.MemberName());
        CheckSafeName(archive.CentralName());
        KV_FUZZ_CHECK(archive.MemberName().find('\0') == std::string::npos);

        if (extracted < kMembersExtracted) {
            ++extracted;
            // To a file, as documents and nested archives are.
            kv::platform::TempFile temp("ZIP");
            int file_result = kv::zip::kExtractWriteFailed;
            std::uint64_t file_total = 0;
            if (temp.IsOpen()) {
                int result = archive.ExtractMember(temp.Handle(), kMemberLimit);
                file_result = result;
                file_total = archive.OutputTotal();
                std::int64_t written = temp.Handle().Size();
                KV_FUZZ_CHECK(written >= 0 && static_cast<std::uint64_t>(written) <= kMemberLimit);
                KV_FUZZ_CHECK(static_cast<std::uint64_t>(written) <= archive.OutputTotal());
                if (result == kv::zip::kExtractOk) {
                    KV_FUZZ_CHECK(static_cast<std::uint64_t>(written) ==
                                  archive.UncompressedSize());
                }
                if ((result == kv::zip::kExtractOk || result == kv::zip::kExtractSizeMismatch) &&
                    depth < kMaxDepth) {
                    temp.CloseHandle();
                    Walk(temp.Path(), depth + 1);
                }
            }
            // In memory, as program members are.
            TouchingMatcher matcher;
            kv::zip::ProgramMemberScan scan(matcher);
            CheckedSink sink(scan);
            int result = archive.ExtractMember(sink, kMemberLimit);
            KV_FUZZ_CHECK(archive.OutputTotal() <= kMemberLimit);
            KV_FUZZ_CHECK(sink.Total() == archive.OutputTotal());
            if (result == kv::zip::kExtractOk || result == kv::zip::kExtractSizeMismatch)
                KV_FUZZ_CHECK(sink.Ended());
            if (scan.EntryReached()) KV_FUZZ_CHECK(scan.EntryOffset() < archive.OutputTotal());
            if (result == kv::zip::kExtractNothing) {
                // At most one byte of input: by the compressed size or by the end of the file.
                KV_FUZZ_CHECK(archive.CompressedSize() <= 1 ||
                              archive.DataPos() + 1 >= archive.ArchiveSize());
            } else if (file_result != kv::zip::kExtractWriteFailed) {
                // The same member decodes alike wherever its output goes.
                KV_FUZZ_CHECK(result == file_result);
                KV_FUZZ_CHECK(archive.OutputTotal() == file_total);
            }
        }
        archive.Next();
    }
    KV_FUZZ_CHECK(archive.Status() == kv::zip::kStatusEnd || archive.Status() < 0);
    // Once over, the walk stays over.
    KV_FUZZ_CHECK(archive.Next() != kv::zip::kStatusMember);
    archive.Close();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kv::fuzz::ScratchDir dir;
    std::string path = dir / "input.zip";
    if (!dir.Ok() ||
        !kv::fuzz::WriteBytes(path, std::string_view(reinterpret_cast<const char*>(data), size)))
        return 0;
    Walk(path, 0);
    return 0;
}
