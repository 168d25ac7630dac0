// Filling the scan window from program files: the entry analysis of EXE headers, leading
// jumps inside and outside a complete window, the jump budget, the tail, and the same
// analysis on a block in memory.
#include <gtest/gtest.h>

#include "platform/files.h"
#include "tests/signatures/sig_fixture.h"
#include "tests/support/test_support.h"

namespace kv::test {
namespace {

void Put16(Bytes& b, std::size_t at, unsigned v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

// An EXE image: "MZ", pages, header paragraphs, CS:IP; the rest filler.
Bytes Exe(std::size_t size, unsigned pages, unsigned paragraphs, unsigned cs, unsigned ip) {
    Bytes b(size, 0x90);
    b[0] = 'M';
    b[1] = 'Z';
    Put16(b, 4, pages);
    Put16(b, 8, paragraphs);
    Put16(b, 20, ip);
    Put16(b, 22, cs);
    return b;
}

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        buffer_.assign(4096, 0);
        kernel_.SetWindow(4000, buffer_.data());
    }

    void Locate(const Bytes& contents) {
        WriteFile(dir_ / "file.bin", contents);
        ASSERT_TRUE(file_.OpenRead(dir_ / "file.bin"));
        kernel_.LocateEntry(file_);
    }

    const ScanWindowState& W() const { return kernel_.Window(); }

    TempDir dir_;
    platform::File file_;
    DetectionRoutines routines_;
    MatchKernel kernel_{routines_};
    Bytes buffer_;
};

TEST_F(WindowTest, SmallComFollowsItsJumpLargeComDoesNot) {
    Bytes com(3000, 0x90);
    com[0] = 0xE9;
    Put16(com, 1, 997);  // target 0 + 997 + 3
    std::memcpy(com.data() + 1000, "TARGET", 6);
    Locate(com);
    EXPECT_EQ(W().window_offset, 1000);
    EXPECT_EQ(W().entry_offset, 1000);
    EXPECT_EQ(W().count, 2000u);
    EXPECT_EQ(W().complete, 1);
    EXPECT_EQ(W().entry_known, 1);
    EXPECT_EQ(W().class_mask, MatchKernel::kClassProgram);
    EXPECT_EQ(std::memcmp(buffer_.data(), "TARGET", 6), 0);
    EXPECT_EQ(W().saved_count, 2000u);

    file_.Close();
    Bytes big(50000, 0x90);
    big[0] = 0xE9;
    Put16(big, 1, 997);
    Locate(big);
    EXPECT_EQ(W().window_offset, 0);
    EXPECT_EQ(W().count, 4000u);
    EXPECT_EQ(W().complete, 0);
    EXPECT_EQ(W().entry_known, 1);  // the jump was seen, not followed
    kernel_.ReadTail(file_);
    EXPECT_EQ(W().window_offset, 46000);
    EXPECT_EQ(W().entry_offset, 46000);
    EXPECT_EQ(W().count, 4000u);
}

TEST_F(WindowTest, JumpDisplacementsAreSigned16BitAndZeroEndsTheAnalysis) {
    Bytes com(3000, 0x90);
    com[100] = 0xE8;
    com[0] = 0xE9;
    Put16(com, 1, 97);                     // to 100
    Put16(com, 101, 0xFFFF - 50 + 1 - 3);  // -53 + 3: back to 100 - 50 = 50
    com[50] = 0xE9;
    Put16(com, 51, 0);  // displacement 0: the analysis ends here
    Locate(com);
    EXPECT_EQ(W().window_offset, 50);
    EXPECT_EQ(W().entry_known, 1);

    file_.Close();
    Bytes back(3000, 0x90);
    back[0] = 0xE9;
    Put16(back, 1, 0xFFF0);  // before the file's start: the read fails
    Locate(back);
    EXPECT_EQ(W().window_offset, 0);
    EXPECT_EQ(W().count, 3000u);
    EXPECT_EQ(W().complete, 1);

    file_.Close();
    Bytes zero(3000, 0x90);
    zero[0] = 0xE8;
    Put16(zero, 1, 0);
    Locate(zero);
    EXPECT_EQ(W().entry_known, 0);
    EXPECT_EQ(W().window_offset, 0);
}

TEST_F(WindowTest, LeadingJumpsStopAfterTwentySteps) {
    Bytes com(1000, 0x90);
    for (std::size_t at = 0; at + 3 < 400; at += 10) {
        com[at] = 0xE9;
        Put16(com, at + 1, 7);  // to at + 10
    }
    Locate(com);
    EXPECT_EQ(W().window_offset, 200);
    EXPECT_EQ(W().jump_budget, 0);
}

TEST_F(WindowTest, DecBytesAreSkippedAndFarJumpsAlwaysFollowed) {
    Bytes com(3000, 0x90);
    com[0] = 0x4D;
    com[1] = 0x4D;
    com[2] = 0xE9;
    Put16(com, 3, 500);  // from offset 2: 2 + 503
    Locate(com);
    EXPECT_EQ(W().window_offset, 505);
    EXPECT_EQ(W().entry_known, 1);

    file_.Close();
    Bytes big(50000, 0x90);
    big[0] = 0xEA;
    Put16(big, 1, 2000);
    Put16(big, 3, 0);
    Locate(big);
    EXPECT_EQ(W().window_offset, 2005);
    EXPECT_EQ(W().complete, 0);
    EXPECT_EQ(W().entry_known, 1);
}

TEST_F(WindowTest, ExeEntryFromTheHeaderAndImageSizeFromPages) {
    // Entry (2 + 0x3000 + 0x105 / 16) x 16 + 5 = 196901 in a 200000-byte file of 390 pages.
    Bytes exe = Exe(200000, 390, 2, 0x3000, 0x0105);
    Locate(exe);
    EXPECT_EQ(W().class_mask, MatchKernel::kClassExe);
    EXPECT_EQ(W().entry_known, 1);
    EXPECT_EQ(W().size_limit, 199680);
    EXPECT_EQ(W().entry_offset, 196901);
    EXPECT_EQ(W().window_offset, 196901);
    EXPECT_EQ(W().count, 3099u);
    EXPECT_EQ(W().complete, 0);
    EXPECT_EQ(W().header[0], 'M');
    kernel_.ReadTail(file_);
    EXPECT_EQ(W().window_offset, 199680 - 4000);
}

TEST_F(WindowTest, ExeParagraphSumWrapsAt64K) {
    // 0x20 + 0xFFF0 + 0x40 / 16 = 0x10014, taken modulo 65536: entry 0x140.
    Bytes exe = Exe(1000, 1, 0x20, 0xFFF0, 0x0040);
    exe[0x140] = 0xE9;
    Put16(exe, 0x141, 200 - 0x140 - 3);  // in a complete window the jump is followed
    Locate(exe);
    EXPECT_EQ(W().size_limit, 512);
    EXPECT_EQ(W().complete, 1);
    EXPECT_EQ(W().window_offset, 200);
}

TEST_F(WindowTest, AnEntryInsideTheFirstBlockStartsTheWindow) {
    // A whole EXE image in the first block: the window moves down to the entry and nothing
    // of the header stays behind it.
    Bytes exe = Exe(1000, 1, 2, 0, 0x40);  // entry 32 + 64 in an image of 512
    Locate(exe);
    EXPECT_EQ(W().window_offset, 96);
    EXPECT_EQ(W().entry_offset, 96);
    EXPECT_EQ(W().count, 904u);
    EXPECT_EQ(W().saved_count, 904u);
    EXPECT_EQ(W().complete, 1);
    EXPECT_EQ(buffer_[904], 0);
    EXPECT_EQ(W().header[0], 'M');

    // Leading 0x4D bytes in a file longer than the window: a full block from the entry.
    file_.Close();
    Bytes big(50000, 0x90);
    big[0] = big[1] = big[2] = 0x4D;
    Locate(big);
    EXPECT_EQ(W().window_offset, 3);
    EXPECT_EQ(W().count, 4000u);
    EXPECT_EQ(W().complete, 0);
}

TEST_F(WindowTest, ExeEntryBeyondTheImageKeepsTheFirstBlock) {
    Bytes exe = Exe(5000, 1, 2, 0x40, 0);  // entry 32 + 0x400 = 1056 > 512
    Locate(exe);
    EXPECT_EQ(W().window_offset, 0);
    EXPECT_EQ(W().count, 4000u);
    EXPECT_EQ(W().size_limit, 512);
    EXPECT_EQ(W().complete, 0);
    // The tail of an image smaller than the window reads nothing.
    kernel_.ReadTail(file_);
    EXPECT_EQ(W().count, 0u);
}

TEST_F(WindowTest, ArchiveMarkHeaderCopyAndEmptyFiles) {
    Bytes sfx = Exe(3000, 6, 2, 0, 0);
    sfx[30] = 'P';
    sfx[31] = 'K';
    Locate(sfx);
    EXPECT_EQ(kernel_.ArchiveMark(), MatchKernel::kArchiveMarkPk);

    file_.Close();
    Locate(Str("short"));
    EXPECT_EQ(kernel_.ArchiveMark(), 0);
    EXPECT_EQ(W().header[4], 't');
    EXPECT_EQ(W().header[5], 0);

    file_.Close();
    Locate(Bytes{});
    EXPECT_EQ(W().count, 0u);
    EXPECT_EQ(W().complete, 1);
}

TEST_F(WindowTest, InMemoryAnalysisGivesTheEntryWithoutReading) {
    auto load = [&](const Bytes& data, std::int64_t offset = 0) {
        std::memcpy(buffer_.data(), data.data(), data.size());
        kernel_.SetFill(data.size(), offset);
        return kernel_.LocateEntryInMemory();
    };
    Bytes com(100, 0x90);
    EXPECT_EQ(load(com), 0);
    EXPECT_EQ(W().entry_known, 0);
    com[0] = 0x4D;
    com[1] = 0xE8;
    Put16(com, 2, 40);  // from 1: 1 + 43
    EXPECT_EQ(load(com), 44);
    EXPECT_EQ(W().entry_known, 1);
    EXPECT_EQ(load(com, 1000), 1044);
    com[1] = 0xEA;
    Put16(com, 2, 0x1234);
    Put16(com, 4, 0x0001);
    EXPECT_EQ(load(com), 0x11234 + 5);

    Bytes exe = Exe(3000, 4, 2, 0, 0x10);  // entry 48 in an image of 2048
    exe[48] = 0xE9;
    Put16(exe, 49, 100);
    EXPECT_EQ(load(exe), 48 + 103);
    EXPECT_EQ(W().class_mask, MatchKernel::kClassExe);
    EXPECT_EQ(W().size_limit, 2048);
    EXPECT_EQ(W().complete, 1);
    EXPECT_EQ(load(Bytes(exe.begin(), exe.begin() + 1000)), 48 + 103);
    EXPECT_EQ(W().complete, 0);  // the image reaches past the block

    // Leading 0x4D bytes without a jump: the entry is the first other byte.
    Bytes dec(100, 0x90);
    dec[0] = dec[1] = 0x4D;
    EXPECT_EQ(load(dec, 1000), 1002);
    // A block of nothing but 0x4D ends at the block's end.
    EXPECT_EQ(load(Bytes(64, 0x4D)), 0);
}

TEST(BootBlock, ASectorIsSearchedUnderTheBootClassOnly) {
    HandDatabase db;
    AddedRecord boot = db.AddListed('B', Simple(Str("BOOTSIG")), 4);
    db.AddListed('B', Simple(Str("BOOTSIG")), 3);
    db.AddListed(256, Record(Lit(Bytes{0xEB, 0x3C}) + NearEnd(512)), 4);
    DetectionRoutines routines;
    MatchKernel kernel(routines);
    kernel.Attach(db.View());
    Bytes sector(512, 0);
    sector[0] = 0xEB;
    sector[1] = 0x3C;
    std::memcpy(sector.data() + 400, "BOOTSIG", 7);
    kernel.LoadBlock(sector.data(), sector.size(), MatchKernel::kClassBoot, 512);
    EXPECT_EQ(kernel.Window().count, 512u);
    EXPECT_EQ(kernel.Window().header[0], 0xEB);
    kernel.ScanWindow(MatchKernel::kModeAll);
    ASSERT_EQ(kernel.HitCount(), 1u);
    EXPECT_EQ(kernel.HitAt(0).record, boot.end);
    EXPECT_EQ(kernel.HitAt(0).file_offset, 400);
    kernel.ScanWindow(MatchKernel::kModeAnchored);
    EXPECT_EQ(kernel.HitCount(), 1u);
}

}  // namespace
}  // namespace kv::test
