#include "containers/member_scan.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "tests/containers/zip_builder.h"
#include "tests/support/test_support.h"

namespace kv::zip {
namespace {

using Pass = ProgramMatcher::Pass;

// Stands in for the signature kernel: the entry offset is given by the test, a "signature"
// is a marker string found anywhere in a searched region (the anchored pass: only at its
// start). Every search is recorded.
class FakeMatcher : public ProgramMatcher {
public:
    struct Search {
        Pass pass;
        std::size_t window_pos;
        std::size_t count;
        std::uint64_t member_offset;
        std::size_t saved_count;
    };
    std::uint64_t BeginMember(std::uint8_t* window, std::size_t count,
                              std::uint64_t declared_size) override {
        window_ = window;
        first_count = count;
        declared = declared_size;
        hits_ = 0;
        ++members;
        return entry;
    }
    void Scan(Pass pass, std::uint8_t* start, std::size_t count, std::uint64_t member_offset,
              std::size_t saved_count) override {
        searches.push_back(
            {pass, static_cast<std::size_t>(start - window_), count, member_offset, saved_count});
        hits_ = 0;
        std::string region(reinterpret_cast<const char*>(start), count);
        if (pass == Pass::kAnchored) {
            if (region.compare(0, marker.size(), marker) == 0) hits_ = 1;
        } else if (region.find(marker) != std::string::npos) {
            hits_ = 1;
        }
    }
    int HitCount() const override { return hits_; }

    std::uint64_t entry = 0;
    std::string marker = "<<SIGNATURE>>";
    std::vector<Search> searches;
    std::size_t first_count = 0;
    std::uint64_t declared = 0;
    int members = 0;

private:
    std::uint8_t* window_ = nullptr;
    int hits_ = 0;
};

std::string Filler(std::size_t size) {
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>("0123456789abcdef"[i % 16]);
    return s;
}

// Builds an archive of the given members, scans each with a fresh member scan and returns
// the extraction result of the last one.
class MemberScanTest : public ::testing::Test {
protected:
    int ScanOnly(const std::string& data, std::uint16_t method = 8,
                 std::optional<std::uint32_t> declared = std::nullopt) {
        kv::test::ZipMember m;
        m.name = "prog.exe";
        m.data = data;
        m.method = method;
        m.central_uncompressed = declared;
        kv::test::ZipBuilder b;
        b.Add(m);
        kv::test::WriteFile(dir_ / "m.zip", b.Build());
        EXPECT_EQ(archive_.Open(dir_ / "m.zip"), kStatusMember);
        matcher_.searches.clear();
        ProgramMemberScan scan(matcher_);
        int r = archive_.ExtractMember(scan);
        entry_reached_ = scan.EntryReached();
        return r;
    }
    std::vector<Pass> Passes() const {
        std::vector<Pass> p;
        for (const auto& s : matcher_.searches) p.push_back(s.pass);
        return p;
    }
    kv::test::TempDir dir_;
    ZipArchive archive_;
    FakeMatcher matcher_;
    bool entry_reached_ = false;
};

TEST_F(MemberScanTest, AnEntryPoint40000BytesInIsMatchedInTheSecondBlock) {
    std::string data = Filler(60000);
    data.replace(40000, matcher_.marker.size(), matcher_.marker);
    matcher_.entry = 40000;
    EXPECT_EQ(ScanOnly(data), kExtractOk);
    ASSERT_FALSE(matcher_.searches.empty());
    const auto& s = matcher_.searches[0];
    EXPECT_EQ(s.pass, Pass::kEntry);
    EXPECT_EQ(s.window_pos, 40000u - 32768u);
    EXPECT_EQ(s.count, 4000u);
    EXPECT_EQ(s.member_offset, 40000u);
    EXPECT_EQ(matcher_.HitCount(), 1);
    // A hit at the entry: no anchored pass and no tail pass.
    EXPECT_EQ(matcher_.searches.size(), 1u);
    EXPECT_EQ(matcher_.declared, 60000u);
}

TEST_F(MemberScanTest, WithoutAHitTheAnchoredAndTailPassesFollow) {
    matcher_.entry = 0;
    EXPECT_EQ(ScanOnly(Filler(50000)), kExtractOk);
    ASSERT_EQ(Passes(), (std::vector<Pass>{Pass::kEntry, Pass::kAnchored, Pass::kTail}));
    EXPECT_EQ(matcher_.searches[0].window_pos, 0u);
    EXPECT_EQ(matcher_.searches[0].count, 4000u);
    EXPECT_EQ(matcher_.searches[1].count, 128u);
    EXPECT_EQ(matcher_.searches[1].saved_count, 4000u);
    EXPECT_EQ(matcher_.searches[2].window_pos, 0u);
    EXPECT_EQ(matcher_.searches[2].count, 50000u - 32768u);
    EXPECT_EQ(matcher_.searches[2].member_offset, 32768u);
    EXPECT_EQ(matcher_.HitCount(), 0);
}

TEST_F(MemberScanTest, AnEntryNearTheEndOfABlockGetsOnlyTheRestOfThatBlock) {
    matcher_.entry = 32768 - 100;
    EXPECT_EQ(ScanOnly(Filler(50000)), kExtractOk);
    ASSERT_GE(matcher_.searches.size(), 2u);
    EXPECT_EQ(matcher_.searches[0].window_pos, 32768u - 100u);
    EXPECT_EQ(matcher_.searches[0].count, 100u);
    EXPECT_EQ(matcher_.searches[1].pass, Pass::kAnchored);
    EXPECT_EQ(matcher_.searches[1].saved_count, 100u);
}

TEST_F(MemberScanTest, AnEntryExactlyOnABlockBoundaryIsMatchedInTheNextBlock) {
    std::string data = Filler(50000);
    data.replace(32768, matcher_.marker.size(), matcher_.marker);
    matcher_.entry = 32768;
    EXPECT_EQ(ScanOnly(data), kExtractOk);
    ASSERT_FALSE(matcher_.searches.empty());
    EXPECT_EQ(matcher_.searches[0].pass, Pass::kEntry);
    EXPECT_EQ(matcher_.searches[0].member_offset, 32768u);
    EXPECT_EQ(matcher_.searches[0].window_pos, 0u);
    EXPECT_EQ(matcher_.searches[0].count, 4000u);
    EXPECT_EQ(matcher_.HitCount(), 1);
}

TEST_F(MemberScanTest, AnEntryBeyondTheDataLeavesOnlyTheTailAndNoStaleHit) {
    // First a member with a hit, then one whose entry lies beyond its data and whose tail is
    // clean: the earlier hit must not survive.
    std::string infected = Filler(10000);
    infected.replace(10, matcher_.marker.size(), matcher_.marker);
    matcher_.entry = 0;
    EXPECT_EQ(ScanOnly(infected), kExtractOk);
    EXPECT_EQ(matcher_.HitCount(), 1);

    matcher_.entry = 999999;
    std::string clean = Filler(40000);
    clean.replace(100, matcher_.marker.size(), matcher_.marker);  // not in the last block
    EXPECT_EQ(ScanOnly(clean), kExtractOk);
    EXPECT_FALSE(entry_reached_);
    EXPECT_EQ(Passes(), (std::vector<Pass>{Pass::kTail}));
    EXPECT_EQ(matcher_.HitCount(), 0);

    std::string tail_hit = Filler(40000);
    tail_hit.replace(39000, matcher_.marker.size(), matcher_.marker);
    EXPECT_EQ(ScanOnly(tail_hit), kExtractOk);
    EXPECT_EQ(matcher_.HitCount(), 1);
}

TEST_F(MemberScanTest, A65536ByteMemberHasItsSecondFullBlockAsTail) {
    std::string data = Filler(65536);
    data.replace(60000, matcher_.marker.size(), matcher_.marker);
    matcher_.entry = 999999;
    for (std::uint16_t method : {8, 0}) {
        SCOPED_TRACE(method);
        EXPECT_EQ(ScanOnly(data, method), kExtractOk);
        ASSERT_EQ(matcher_.searches.size(), 1u);
        EXPECT_EQ(matcher_.searches[0].pass, Pass::kTail);
        EXPECT_EQ(matcher_.searches[0].member_offset, 32768u);
        EXPECT_EQ(matcher_.searches[0].count, 32768u);
        EXPECT_EQ(matcher_.HitCount(), 1);
    }
}

TEST_F(MemberScanTest, StoredMembersAreCutAtTheirSizeSoTheirTailIsMatched) {
    std::string data = Filler(5000);
    data.replace(4980, matcher_.marker.size(), matcher_.marker);
    matcher_.entry = 999999;
    EXPECT_EQ(ScanOnly(data, 0), kExtractOk);
    ASSERT_EQ(matcher_.searches.size(), 1u);
    EXPECT_EQ(matcher_.searches[0].count, 5000u);
    EXPECT_EQ(matcher_.HitCount(), 1);
}

TEST_F(MemberScanTest, ALyingDirectorySizeStillGetsTheLastBlockMatched) {
    std::string data = Filler(40000);
    data.replace(39000, matcher_.marker.size(), matcher_.marker);
    matcher_.entry = 999999;
    const struct {
        std::uint32_t declared;
        std::vector<Pass> passes;
    } cases[] = {
        {12345, {Pass::kTail}},
        {0xFFFFFFFF, {Pass::kTail}},
        // The first block ends exactly at the claimed size and is matched as a tail; the real
        // last block is matched too.
        {32768, {Pass::kTail, Pass::kTail}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.declared);
        EXPECT_EQ(ScanOnly(data, 8, c.declared), kExtractSizeMismatch);
        EXPECT_EQ(Passes(), c.passes);
        EXPECT_EQ(matcher_.searches.back().member_offset, 32768u);
        EXPECT_EQ(matcher_.HitCount(), 1);
    }
}

}  // namespace
}  // namespace kv::zip
