// The pattern search on hand-built records: every token and escape form, the gap rule, the
// candidate lists and masks, the hit cap and the bounds of every block.
#include <gtest/gtest.h>

#include <random>

#include "tests/signatures/sig_fixture.h"

namespace kv::test {
namespace {

using Offsets = std::vector<std::int64_t>;

TEST(KernelTokens, SimpleAndTokenRecordsReportTheTrailerAndStartOffset) {
    HandDatabase db;
    AddedRecord simple = db.AddListed('A', Simple(Str("ABC")));
    AddedRecord tokens = db.AddListed('X', Record(Lit("XY") + Lit("Z")));
    KernelRig rig;
    rig.Attach(db);
    rig.Fill(Str("..ABC..XYZ.."), MatchKernel::kClassProgram, 1000);
    auto hits = rig.Scan();
    ASSERT_EQ(hits.size(), 2u);
    EXPECT_EQ(hits[0].record, simple.end);
    EXPECT_EQ(hits[0].file_offset, 1002);
    EXPECT_EQ(hits[1].record, tokens.end);
    EXPECT_EQ(hits[1].file_offset, 1007);
}

TEST(KernelTokens, SkipsAdvanceByTheirCountAndSkip200ByNothing) {
    HandDatabase db;
    db.AddListed('A', Record(Lit("A") + Skip(0) + Lit("B")));
    db.AddListed('C', Record(Lit("C") + Skip(3) + Lit("D")));
    KernelRig rig;
    rig.Attach(db);
    rig.Fill(Str("AB.C123D.C12D"));
    EXPECT_EQ(rig.Offsets(), (Offsets{0, 3}));
}

TEST(KernelTokens, TokenZeroAndAnEmptyLiteralNeverMatch) {
    HandDatabase db;
    db.AddListed('A', Record(Lit("A") + Bytes{0}));
    KernelRig rig;
    rig.Attach(db);
    rig.Fill(Str("AAAA"));
    EXPECT_TRUE(rig.Offsets().empty());
}

TEST(KernelTokens, NibbleTestsCompareTheHighOrTheLowHalf) {
    HandDatabase db;
    db.AddListed('K', Record(Lit("K") + High(0x4) + Low(0x7) + Lit("!")));
    KernelRig rig;
    rig.Attach(db);
    // 'A' = 0x41 has high nibble 4; 'G' = 0x47 and 'w' = 0x77 have low nibble 7.
    rig.Fill(Str("KAG! KAw! KQG! KAA!"));
    EXPECT_EQ(rig.Offsets(), (Offsets{0, 5}));
}

TEST(KernelTokens, EscapeFlagsFallThroughInTableOrder) {
    HandDatabase db;
    // 0xC5 carries 0x40 but is not exactly 0x40, and has neither 0x20 nor 0x10: a high nibble
    // test for 5. 0x45 the same for the low nibble.
    db.AddListed('K', Record(Lit("K") + Bytes{98, 0xC5} + Bytes{98, 0x45}));
    KernelRig rig;
    rig.Attach(db);
    rig.Fill(Str("K\x55\x35 K\x45\x35 K\x55\x36."));
    EXPECT_EQ(rig.Offsets(), (Offsets{0}));
}

TEST(KernelTokens, EntryConditionNeedsTheEntryKnown) {
    HandDatabase db;
    db.AddListed('E', Record(Lit("E") + Entry() + Lit("N")));
    KernelRig rig;
    rig.Attach(db);
    rig.Fill(Str("EN."));
    EXPECT_TRUE(rig.Offsets().empty());
    rig.kernel.Window().entry_known = 1;
    EXPECT_EQ(rig.Offsets(), (Offsets{0}));
}

TEST(KernelTokens, NearEndMeasuresFromTheSizeLimit) {
    HandDatabase db;
    // "T" followed by the end within 10 bytes of the size limit (measured after the "T").
    db.AddListed('T', Record(Lit("T") + NearEnd(10)));
    KernelRig rig;
    rig.Attach(db);
    Bytes data(40, '.');
    data[5] = 'T';   // r = 100 - (60 + 6) = 34: too far
    data[30] = 'T';  // r = 100 - 91 = 9
    data[38] = 'T';  // r = 1
    rig.Fill(data, MatchKernel::kClassProgram, 60, 100);
    EXPECT_EQ(rig.Offsets(), (Offsets{90, 98}));
    // Past the size limit r is negative: no match.
    rig.Fill(data, MatchKernel::kClassProgram, 60, 80);
    EXPECT_TRUE(rig.Offsets().empty());
    // N counts inclusive: r == N matches.
    rig.Fill(data, MatchKernel::kClassProgram, 60, 101);
    EXPECT_EQ(rig.Offsets(), (Offsets{90, 98}));
    rig.Fill(data, MatchKernel::kClassProgram, 60, 102);
    EXPECT_EQ(rig.Offsets(), (Offsets{98}));
}

TEST(KernelTokens, HeaderMoveTestsTheFirst28BytesOfTheFile) {
    HandDatabase db;
    db.AddListed('H', Record(Lit("H") + HeaderMove() + Lit("MZ") + Skip(2) + Lit("Q")));
    KernelRig rig;
    rig.Attach(db);
    Bytes data = Str("MZ..Q") + Bytes(30, '.');
    data[20] = 'H';
    rig.Fill(data, MatchKernel::kClassExe, 0);
    EXPECT_EQ(rig.Offsets(), (Offsets{20}));
    // The header copy, not the window: a window elsewhere in the file still sees it.
    Bytes later(40, '.');
    later[3] = 'H';
    rig.Fill(later, MatchKernel::kClassExe, 5000, 10000);
    std::memcpy(rig.kernel.Window().header, "MZ..Q", 5);
    EXPECT_EQ(rig.Offsets(), (Offsets{5003}));
    // Reads past the 28 header bytes see zeros.
    HandDatabase far;
    far.AddListed('H', Record(Lit("H") + HeaderMove() + Skip(28) + Lit(Bytes{0, 0})));
    rig.Attach(far);
    EXPECT_EQ(rig.Offsets(), (Offsets{5003}));
}

TEST(KernelTokens, RoutineCallsUseTheTableAndCarriedCodeIsNeverRun) {
    // The encrypted marker (plain key) after "R": the routine searches from the byte after
    // the data position and leaves the position on the byte before 0xBF.
    Bytes marker = Str("R") + Bytes{0x00, 0x00, 0xBF, 0xA1, 0x15} + Bytes(8, 0x90);
    HandDatabase db;
    db.AddListed('R', Record(Lit("R") + Routine(1) + Skip(1) + Lit(Bytes{0xBF})));
    KernelRig rig;
    rig.Attach(db);
    rig.Fill(marker + Str("...."));
    EXPECT_EQ(rig.Offsets(), (Offsets{0}));

    HandDatabase unknown;
    unknown.AddListed('R', Record(Lit("R") + Routine(7)));
    rig.Attach(unknown);
    EXPECT_TRUE(rig.Offsets().empty());

    // A routine carried in the record (flags 0x11) counts as not met, whatever it holds.
    HandDatabase carried;
    carried.AddListed('R', Record(Lit("R") + Bytes{98, 0x11, 1, 0xF8, 0xC3, 0x90}));
    rig.Attach(carried);
    EXPECT_TRUE(rig.Offsets().empty());
}

TEST(KernelGap, FindsTheLiteralAtAnyOfTheTries) {
    // Gap token 110: 11 tries, then a three-byte literal.
    HandDatabase db;
    db.AddListed('G', Record(Lit("G") + Bytes{110} + Lit("abc")));
    KernelRig rig;
    rig.Attach(db);
    for (unsigned distance = 0; distance <= 12; ++distance) {
        Bytes data = Str("G") + Bytes(distance, '.') + Str("abc") + Bytes(20, '.');
        rig.Fill(data);
        EXPECT_EQ(rig.Offsets().size(), distance <= 10 ? 1u : 0u) << "distance " << distance;
    }
}

TEST(KernelGap, TriesWhereOnlyTheLiteralMatchesAreNotCounted) {
    // Two tries, then "AB", then "Z". At try 0 "AB" matches but the rest does not: that try
    // is not counted, so the search still reaches the "AB" at try 2.
    HandDatabase db;
    db.AddListed('K', Record(Lit("K") + Gap(2) + Lit("AB") + Lit("Z")));
    KernelRig rig;
    rig.Attach(db);
    rig.Fill(Str("KABABZ."));
    EXPECT_EQ(rig.Offsets(), (Offsets{0}));
    // With the rule, many near misses in a row never use up the tries.
    HandDatabase run;
    run.AddListed('K', Record(Lit("K") + Gap(2) + Lit("AA") + Lit("Z")));
    rig.Attach(run);
    rig.Fill(Str("KAAAAAAAAAAZ."));
    EXPECT_EQ(rig.Offsets(), (Offsets{0}));
    rig.Attach(db);
    // Counted misses do.
    rig.Fill(Str("K..ABZ."));
    EXPECT_TRUE(rig.Offsets().empty());
}

TEST(KernelGap, NibbleAfterAGapActsAsAOneByteLiteral) {
    HandDatabase db;
    db.AddListed('K', Record(Lit("K") + Gap(3) + High(0x3) + Lit("!")));
    KernelRig rig;
    rig.Attach(db);
    rig.Fill(Str("K.1.1!"));  // '1' = 0x31: a near miss at try 1, the match at try 3
    EXPECT_EQ(rig.Offsets(), (Offsets{0}));
    rig.Fill(Str("K...1!"));
    EXPECT_TRUE(rig.Offsets().empty());
}

TEST(KernelGap, ConditionAfterAGapIsTestedOnceWhereTheGapBegins) {
    HandDatabase db;
    db.AddListed('K', Record(Lit("K") + Gap(5) + Entry() + Lit("!")));
    KernelRig rig;
    rig.Attach(db);
    rig.Fill(Str("K!.."));
    rig.kernel.Window().entry_known = 1;
    EXPECT_EQ(rig.Offsets(), (Offsets{0}));
    rig.Fill(Str("K.!."));
    rig.kernel.Window().entry_known = 1;
    EXPECT_TRUE(rig.Offsets().empty());
}

TEST(KernelGap, GapFollowedByASkipGapOrNothingNeverMatches) {
    HandDatabase db;
    db.AddListed('K', Record(Lit("K") + Gap(3) + Skip(1) + Lit("!")));
    db.AddListed('K', Record(Lit("K") + Gap(3) + Gap(3) + Lit("!")));
    db.AddListed('K', Record(Lit("K") + Gap(3)));
    KernelRig rig;
    rig.Attach(db);
    rig.Fill(Str("K!!!!!"));
    EXPECT_TRUE(rig.Offsets().empty());
}

TEST(KernelGap, ZerosPastTheFillEndTheNearMissRule) {
    // The literal 00 00 matches everywhere in the zeros past the fill while the rest never
    // does; those tries count, so the search ends.
    HandDatabase db;
    db.AddListed('K', Record(Lit("K") + Gap(100) + Lit(Bytes{0, 0}) + Lit("Z")));
    // Nested gaps over zeros are bounded by the gap budget.
    Bytes nested = Lit("K");
    for (int i = 0; i < 20; ++i) nested = nested + Gap(100) + Lit(Bytes{0});
    nested = nested + Lit("Z");
    db.AddListed('K', Record(nested));
    KernelRig rig;
    rig.Attach(db);
    Bytes data(4000, 0);
    for (std::size_t i = 0; i < data.size(); i += 97) data[i] = 'K';
    rig.Fill(data);
    EXPECT_TRUE(rig.Offsets().empty());
}

TEST(KernelWindowEdges, BytesPastTheFillReadAsZero) {
    HandDatabase db;
    db.AddListed('x', Record(Lit("xy") + Lit("STALE")));
    db.AddListed('q', Record(Lit("qr") + Lit(Bytes{0, 0, 0})));
    KernelRig rig;
    rig.Attach(db);
    // A previous fill left "xySTALE" in the buffer; the new fill holds "..xy" only.
    rig.Fill(Str("..xySTALE"));
    ASSERT_EQ(rig.Offsets(), (Offsets{2}));
    rig.kernel.SetFill(4, 0);
    EXPECT_TRUE(rig.Offsets().empty());
    // Zeros really are there for records that ask for them.
    rig.Fill(Str("..qr"));
    EXPECT_EQ(rig.Offsets(), (Offsets{2}));
}

TEST(KernelWindowEdges, OneByteWindowHasNoStartAndTwoBytesHaveOne) {
    HandDatabase db;
    db.AddListed('A', Simple(Str("A")));
    db.AddListed(256, Simple(Str("A")));
    KernelRig rig;
    rig.Attach(db);
    rig.Fill(Str("A"));
    EXPECT_TRUE(rig.Offsets().empty());
    EXPECT_EQ(rig.Offsets(MatchKernel::kModeAnchored), (Offsets{0}));
    rig.Fill(Str("AA"));
    EXPECT_EQ(rig.Offsets(), (Offsets{0}));
    rig.Fill(Str(""));
    EXPECT_TRUE(rig.Offsets(MatchKernel::kModeAnchored).empty());
}

TEST(KernelWindowEdges, AnchoredPassUsesList256AtTheFirstPositionOnly) {
    HandDatabase db;
    db.AddListed(256, Record(Lit("AB")));
    KernelRig rig;
    rig.Attach(db);
    rig.Fill(Str("AB.AB"));
    EXPECT_EQ(rig.Offsets(MatchKernel::kModeAnchored), (Offsets{0}));
    EXPECT_TRUE(rig.Offsets(MatchKernel::kModeAll).empty());  // list 256 is not per byte
    rig.Fill(Str(".AB.AB"));
    EXPECT_TRUE(rig.Offsets(MatchKernel::kModeAnchored).empty());
}

TEST(KernelWindowEdges, TargetMasksSelectPerClass) {
    HandDatabase db;
    AddedRecord exe = db.AddListed('V', Simple(Str("V!")), 1);
    AddedRecord com = db.AddListed('V', Simple(Str("V!")), 2);
    AddedRecord boot = db.AddListed('V', Simple(Str("V!")), 4);
    AddedRecord exe_com = db.AddListed('V', Simple(Str("V!")), 3);
    KernelRig rig;
    rig.Attach(db);
    auto records = [&](std::uint8_t class_mask) {
        rig.Fill(Str("V!."), class_mask);
        std::vector<std::uint32_t> r;
        for (const Hit& h : rig.Scan()) r.push_back(h.record);
        return r;
    };
    EXPECT_EQ(records(1), (std::vector<std::uint32_t>{exe.end, exe_com.end}));
    EXPECT_EQ(records(2), (std::vector<std::uint32_t>{com.end, exe_com.end}));
    EXPECT_EQ(records(4), (std::vector<std::uint32_t>{boot.end}));
    EXPECT_EQ(records(6), (std::vector<std::uint32_t>{com.end, boot.end, exe_com.end}));
}

TEST(KernelWindowEdges, EveryCandidateIsTriedAndTheHitListStopsAt30) {
    HandDatabase db;
    db.AddListed('A', Simple(Str("A")));
    db.AddListed('A', Record(Lit("A") + Skip(1)));
    KernelRig rig;
    rig.Attach(db);
    rig.Fill(Str("A.A."));
    EXPECT_EQ(rig.Offsets(), (Offsets{0, 0, 2, 2}));
    Bytes many;
    for (int i = 0; i < 40; ++i) many = many + Str("A.");
    rig.Fill(many);
    Offsets offsets = rig.Offsets();
    ASSERT_EQ(offsets.size(), 30u);
    EXPECT_EQ(offsets.back(), 28);  // hits 29 and 30 at position 28
}

TEST(KernelBounds, RecordsListsAndTrailersOutsideTheirBlocksDoNotMatch) {
    KernelRig rig;
    {
        // Candidate offset past the pattern buffer, and a list reaching past the index.
        HandDatabase db;
        AddedRecord good = db.AddListed('A', Simple(Str("AB")));
        db.List('A', 60000);
        db.BuildIndex();
        // List 'B' claims 1000 candidates at the end of the block.
        db.index[4 * 'B'] = static_cast<std::uint8_t>(db.index.size() - 2);
        db.index[4 * 'B' + 1] = static_cast<std::uint8_t>((db.index.size() - 2) >> 8);
        db.index[4 * 'B' + 2] = 0xE8;
        db.index[4 * 'B' + 3] = 0x03;
        rig.Attach(db);
        rig.Fill(Str("ABAB"));
        auto hits = rig.Scan();
        ASSERT_EQ(hits.size(), 2u);
        EXPECT_EQ(hits[0].record, good.end);
    }
    {
        // A literal reaching past the end of the pattern buffer.
        HandDatabase db;
        db.pattern.insert(db.pattern.end(), {3, 1, 'A', 50, 'B'});
        db.List('A', 8);
        rig.Attach(db);
        rig.Fill(Str("AB") + Bytes(100, 'B'));
        EXPECT_TRUE(rig.Offsets().empty());
    }
    {
        // A record whose name trailer runs past the buffer.
        HandDatabase db;
        db.pattern.insert(db.pattern.end(), {1, 1, 'A', 0, 40, 'x'});
        db.List('A', 8);
        rig.Attach(db);
        rig.Fill(Str("AA"));
        EXPECT_TRUE(rig.Offsets().empty());
        db.pattern.resize(8 + 5 + 40, 'n');
        rig.Attach(db);
        EXPECT_EQ(rig.Offsets(), (Offsets{0}));
    }
    {
        // An index block shorter than its 257-entry table: only whole entries count.
        HandDatabase db;
        db.Add(Simple(Bytes{0, 0}));
        db.index = {4, 0, 1, 0, 8, 0, 7};  // list 0: one candidate; list 1 cut off
        rig.Attach(db);
        rig.Fill(Bytes(10, 0));
        EXPECT_EQ(rig.Offsets().size(), 9u);
    }
}

TEST(KernelBounds, NoDatabaseOrNoWindowFindsNothing) {
    KernelRig rig;
    rig.Fill(Str("anything"));
    EXPECT_TRUE(rig.Offsets().empty());
    HandDatabase db;
    db.AddListed('a', Simple(Str("an")));
    rig.Attach(db);
    rig.kernel.SetWindow(0, nullptr);
    rig.kernel.ScanWindow(MatchKernel::kModeAll);
    EXPECT_EQ(rig.kernel.HitCount(), 0u);
    rig.kernel.Detach();
    rig.Fill(Str("anything"));
    EXPECT_TRUE(rig.Offsets().empty());
}

TEST(KernelBounds, RandomBlocksNeverReadOutsideThemselves) {
    // Every block is exactly as large as its vector, so a read past any of them is caught by
    // the address sanitizer builds; here the searches must simply finish.
    std::mt19937 rng(99);
    auto bytes = [&](std::size_t n) {
        Bytes b(n);
        for (auto& x : b) x = static_cast<std::uint8_t>(rng());
        return b;
    };
    for (int round = 0; round < 120; ++round) {
        Bytes pattern = bytes(rng() % 600);
        Bytes index = bytes(rng() % 1400);
        Bytes directory = bytes(rng() % 520);
        Bytes trie = bytes(rng() % 400);
        // Keep offsets small enough to land inside the blocks now and then.
        for (std::size_t i = 0; i + 1 < index.size(); i += 2) index[i + 1] &= 0x03;
        for (std::size_t i = 0; i + 1 < directory.size(); i += 2) directory[i + 1] &= 0x01;
        DatabaseView view{pattern.data(),   pattern.size(),   index.data(), index.size(),
                          directory.data(), directory.size(), trie.data(),  trie.size()};
        KernelRig rig;
        rig.kernel.Attach(view);
        for (int k = 0; k < 5; ++k) {
            Bytes data = bytes(rng() % 120);
            rig.Fill(data, static_cast<std::uint8_t>(1 + rng() % 7));
            rig.kernel.Window().entry_known = rng() & 1;
            rig.Scan(MatchKernel::kModeAll);
            rig.Scan(MatchKernel::kModeAnchored);
            rig.kernel.SearchDocumentTrie(data.data(), data.size(), 0);
            EXPECT_LE(rig.kernel.HitCount(), MatchKernel::kMaxHits);
        }
    }
}

}  // namespace
}  // namespace kv::test
