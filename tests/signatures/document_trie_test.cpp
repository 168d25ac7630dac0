// The document search over a hand-built directory and trie.
#include <gtest/gtest.h>

#include "tests/signatures/sig_fixture.h"

namespace kv::test {
namespace {

// Signatures "ABXY" (name offset 5), "AC" (9) and "L" (20); 'Q' points past the trie.
HandDatabase TrieDatabase() {
    HandDatabase db;
    db.directory.assign(512, 0xFF);
    auto root = [&](char c, unsigned offset) {
        db.directory[2 * static_cast<unsigned char>(c)] = static_cast<std::uint8_t>(offset);
        db.directory[2 * static_cast<unsigned char>(c) + 1] =
            static_cast<std::uint8_t>(offset >> 8);
    };
    root('A', 0);
    root('L', 17);
    root('Q', 400);
    db.trie = {
        0,   2,   'B', 'C', 4, 0, 8, 0,  // branch at 0: fields at 4 (-> 8) and 6 (-> 14)
        253, 'X', 'Y',                   // chain of 2 at 8
        1,   5,   0,                     // leaf at 11
        1,   9,   0,                     // leaf at 14
        1,   20,  0,                     // leaf at 17
    };
    return db;
}

std::vector<std::pair<std::int64_t, std::uint32_t>> Search(MatchKernel& kernel, const Bytes& data,
                                                           std::int64_t offset = 0) {
    kernel.SearchDocumentTrie(data.data(), data.size(), offset);
    std::vector<std::pair<std::int64_t, std::uint32_t>> hits;
    for (std::size_t i = 0; i < kernel.HitCount(); ++i) {
        hits.emplace_back(kernel.HitAt(i).file_offset, kernel.HitAt(i).record);
    }
    return hits;
}

using Hits = std::vector<std::pair<std::int64_t, std::uint32_t>>;

TEST(DocumentTrie, BranchChainAndLeafNodes) {
    HandDatabase db = TrieDatabase();
    KernelRig rig;
    rig.Attach(db);
    EXPECT_EQ(Search(rig.kernel, Str("ABXY")), (Hits{{0, 5}}));
    EXPECT_EQ(Search(rig.kernel, Str("..AC..ABXY"), 1000), (Hits{{1002, 9}, {1006, 5}}));
    EXPECT_TRUE(Search(rig.kernel, Str("ABX.AD.AB.ZZ.QQ")).empty());
    // A one-byte signature: its root is a leaf, found at every position, the last included.
    EXPECT_EQ(Search(rig.kernel, Str("xLL")), (Hits{{1, 20}, {2, 20}}));
}

TEST(DocumentTrie, SignaturesMustEndInsideTheBlock) {
    HandDatabase db = TrieDatabase();
    KernelRig rig;
    rig.Attach(db);
    Bytes data = Str("..ABXY");
    EXPECT_EQ(Search(rig.kernel, data), (Hits{{2, 5}}));
    // The same bytes, with the block ending before "Y": the rest of the buffer is not read.
    rig.kernel.SearchDocumentTrie(data.data(), 5, 0);
    EXPECT_EQ(rig.kernel.HitCount(), 0u);
}

TEST(DocumentTrie, ThirtyHitsAtMost) {
    HandDatabase db = TrieDatabase();
    KernelRig rig;
    rig.Attach(db);
    Bytes data;
    for (int i = 0; i < 40; ++i) data = data + Str("AC");
    Hits hits = Search(rig.kernel, data);
    ASSERT_EQ(hits.size(), 30u);
    EXPECT_EQ(hits.back().first, 58);
}

TEST(DocumentTrie, TheWindowSearchUsesTheWindowsFill) {
    HandDatabase db = TrieDatabase();
    KernelRig rig;
    rig.Attach(db);
    rig.Fill(Str("..ACAC"), MatchKernel::kClassProgram, 300);
    rig.kernel.SetFill(4, 300);
    rig.kernel.SearchDocumentTrie();
    ASSERT_EQ(rig.kernel.HitCount(), 1u);
    EXPECT_EQ(rig.kernel.HitAt(0).file_offset, 302);
}

TEST(DocumentTrie, MalformedNodesEndTheWalkWithoutAHit) {
    HandDatabase db = TrieDatabase();
    KernelRig rig;
    // A branch whose keys reach past the block.
    db.trie[1] = 200;
    rig.Attach(db);
    EXPECT_TRUE(Search(rig.kernel, Str("ABXY AC")).empty());
    // A branch with no keys, and header byte 255.
    db.trie[1] = 0;
    rig.Attach(db);
    EXPECT_TRUE(Search(rig.kernel, Str("ABXY AC")).empty());
    db.trie[0] = 255;
    rig.Attach(db);
    EXPECT_TRUE(Search(rig.kernel, Str("ABXY AC")).empty());
    // A child offset that leads past the block, and a leaf cut short.
    db = TrieDatabase();
    db.trie[4] = 0xF0;
    db.trie.resize(16);
    rig.Attach(db);
    EXPECT_TRUE(Search(rig.kernel, Str("ABXY AC")).empty());
    // A directory shorter than 512 bytes: entries past its end are absent.
    db = TrieDatabase();
    db.directory.resize(2 * 'A' + 1);
    rig.Attach(db);
    EXPECT_TRUE(Search(rig.kernel, Str("AC")).empty());
}

}  // namespace
}  // namespace kv::test
