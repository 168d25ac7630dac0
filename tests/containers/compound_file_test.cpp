#include "containers/compound_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/containers/compound_builder.h"
#include "tests/support/test_support.h"

namespace kv::ole {
namespace {

using kv::test::TempDir;

std::string StreamBytes(std::size_t size) {
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        s[i] = static_cast<char>((i / 512) * 7 + (i % 512));  // every sector differs
    }
    s[0] = 'W';
    return s;
}

class CompoundFileTest : public ::testing::Test {
protected:
    std::string Write(const std::string& bytes, const std::string& name = "d.doc") {
        std::string path = dir_ / name;
        kv::test::WriteFile(path, bytes);
        return path;
    }
    TempDir dir_;
};

TEST_F(CompoundFileTest, WhatCountsAsACompoundFileWithAWordStream) {
    CompoundFile cf;
    std::string data = StreamBytes(8192);
    EXPECT_EQ(cf.Open(Write(kv::test::BuildCompoundFile({{"WordDocument", data}})), Access::kRead),
              kDocOk);
    // Any name starting with "Word" passes, as the check reads seven bytes.
    EXPECT_EQ(cf.Open(Write(kv::test::BuildCompoundFile({{"Wordle", data}})), Access::kRead),
              kDocOk);
    EXPECT_EQ(cf.Open(Write(kv::test::BuildCompoundFile({{"Workbook", data}, {"Book", data}})),
                      Access::kRead),
              kDocNotWord);
    // The Word stream as fifth directory entry is not looked at.
    EXPECT_EQ(cf.Open(Write(kv::test::BuildCompoundFile(
                          {{"a", data}, {"b", data}, {"c", data}, {"WordDocument", data}})),
                      Access::kRead),
              kDocNotWord);
    EXPECT_EQ(
        cf.Open(
            Write(kv::test::BuildCompoundFile({{"a", data}, {"b", data}, {"WordDocument", data}})),
            Access::kRead),
        kDocOk);
    std::string header = kv::test::BuildCompoundFile({{"WordDocument", data}});
    EXPECT_EQ(cf.Open(Write(header.substr(0, 79)), Access::kRead), kDocNotWord);
    EXPECT_EQ(cf.Open(Write(header.substr(0, 80)), Access::kRead), kDocNotWord);
    EXPECT_EQ(cf.Open(Write(std::string(5000, 'x')), Access::kRead), kDocNotWord);
    std::string big_sectors = header;
    big_sectors[0x1E] = 12;
    EXPECT_EQ(cf.Open(Write(big_sectors), Access::kRead), kDocNotWord);
    EXPECT_EQ(cf.Open(dir_ / "missing.doc", Access::kRead), kDocCannotOpen);
    EXPECT_EQ(cf.Open(dir_ / "missing.doc", Access::kReadWrite), kDocCannotOpen);
    EXPECT_FALSE(kv::platform::FileExists(dir_ / "missing.doc"));
}

TEST_F(CompoundFileTest, StreamOffsetsFollowTheSectorChain) {
    std::string data = StreamBytes(6144);
    kv::test::CompoundLayout layout;
    kv::test::CompoundOptions scattered;
    scattered.scatter = true;
    std::string file = kv::test::BuildCompoundFile({{"WordDocument", data}}, scattered, &layout);
    CompoundFile cf;
    ASSERT_EQ(cf.Open(Write(file), Access::kRead), kDocOk);
    const auto& chain = layout.chains["WordDocument"];
    EXPECT_EQ(cf.Chain(), chain);
    for (std::uint64_t k : {0u, 1u, 5u, 11u}) {
        for (std::uint64_t r : {0u, 1u, 511u}) {
            EXPECT_EQ(cf.StreamToFileOffset(512 * k + r),
                      static_cast<std::int64_t>((chain[k] + 1) * 512 + r));
        }
    }
    EXPECT_EQ(cf.StreamToFileOffset(6144), -1);
    std::string read(6144, '\0');
    cf.SeekStream(0);
    EXPECT_EQ(cf.ReadStream(read.data(), read.size()), 6144u);
    EXPECT_EQ(read, data);
    // Reads across a sector boundary and past the end of the chain.
    std::string piece(1000, '\0');
    cf.SeekStream(5500);
    EXPECT_EQ(cf.ReadStream(piece.data(), piece.size()), 644u);
    EXPECT_EQ(piece.substr(0, 644), data.substr(5500));
    EXPECT_EQ(cf.StreamPosition(), 6144u);
}

TEST_F(CompoundFileTest, AWriteAcrossASectorBoundarySplitsAlongTheChain) {
    std::string data = StreamBytes(8192);
    kv::test::CompoundLayout layout;
    kv::test::CompoundOptions scattered;
    scattered.scatter = true;
    std::string file = kv::test::BuildCompoundFile({{"WordDocument", data}}, scattered, &layout);
    std::string path = Write(file);
    CompoundFile cf;
    ASSERT_EQ(cf.Open(path, Access::kReadWrite), kDocOk);
    cf.SeekStream(3 * 512 - 5);
    EXPECT_EQ(cf.WriteStream("ABCDEFGHIJ", 10), 10u);
    cf.Close();
    std::string after = kv::test::ReadFile(path);
    ASSERT_EQ(after.size(), file.size());
    const auto& chain = layout.chains["WordDocument"];
    std::size_t end_of_2 = (chain[2] + 1) * 512 + 507;
    std::size_t start_of_3 = (chain[3] + 1) * 512;
    EXPECT_EQ(after.substr(end_of_2, 5), "ABCDE");
    EXPECT_EQ(after.substr(start_of_3, 5), "FGHIJ");
    // Nothing else changed.
    std::string expected = file;
    expected.replace(end_of_2, 5, "ABCDE");
    expected.replace(start_of_3, 5, "FGHIJ");
    EXPECT_EQ(after, expected);
    // Read access cannot write.
    ASSERT_EQ(cf.Open(path, Access::kRead), kDocOk);
    EXPECT_EQ(cf.WriteStream("x", 1), 0u);
}

TEST_F(CompoundFileTest, BrokenChainsEndInsteadOfLoopingOrLeavingTheFile) {
    std::string data = StreamBytes(8192);
    kv::test::CompoundLayout layout;
    std::string file = kv::test::BuildCompoundFile({{"WordDocument", data}}, {}, &layout);
    const auto chain = layout.chains["WordDocument"];
    struct Case {
        const char* what;
        std::uint32_t value;
        std::size_t expected_sectors;
    };
    const Case cases[] = {
        {"loop to the start", chain[0], 4},
        {"loop to itself", chain[3], 4},
        {"outside the file", 0x00100000, 4},
        {"into the allocation table", layout.fat_sectors[0], 4},
        {"into the directory", layout.directory_sectors[0], 4},
        {"free marker", 0xFFFFFFFF, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string broken = file;
        kv::test::Poke32(broken, kv::test::FatEntryOffset(layout, chain[3]), c.value);
        std::string path = Write(broken);
        CompoundFile cf;
        ASSERT_EQ(cf.Open(path, Access::kReadWrite), kDocOk);
        EXPECT_EQ(cf.Chain().size(), c.expected_sectors);
        std::string all(20000, '\0');
        cf.SeekStream(0);
        EXPECT_EQ(cf.ReadStream(all.data(), all.size()), c.expected_sectors * 512);
        EXPECT_EQ(all.substr(0, 2048), data.substr(0, 2048));
        // Writing everything stops at the chain's end; the file keeps its size and its
        // structure sectors stay untouched.
        std::string blanks(20000, ' ');
        cf.SeekStream(0);
        EXPECT_EQ(cf.WriteStream(blanks.data(), blanks.size()), c.expected_sectors * 512);
        cf.Close();
        std::string after = kv::test::ReadFile(path);
        EXPECT_EQ(after.size(), broken.size());
        EXPECT_EQ(after.substr(0, 3 * 512), broken.substr(0, 3 * 512));
    }
}

TEST_F(CompoundFileTest, ATruncatedFileIsNeverReadOrWrittenPastItsEnd) {
    std::string data = StreamBytes(8192);
    std::string file = kv::test::BuildCompoundFile({{"WordDocument", data}});
    std::string cut = file.substr(0, file.size() - 4096 - 100);
    std::string path = Write(cut);
    CompoundFile cf;
    ASSERT_EQ(cf.Open(path, Access::kReadWrite), kDocOk);
    std::string all(8192, '\0');
    cf.SeekStream(0);
    std::size_t got = cf.ReadStream(all.data(), all.size());
    EXPECT_LT(got, 8192u);
    EXPECT_EQ(all.substr(0, got), data.substr(0, got));
    std::string blanks(8192, ' ');
    cf.SeekStream(0);
    EXPECT_EQ(cf.WriteStream(blanks.data(), blanks.size()), got);
    cf.Close();
    EXPECT_EQ(kv::test::ReadFile(path).size(), cut.size());
}

TEST_F(CompoundFileTest, HeaderFieldsPointingAnywhere) {
    std::string data = StreamBytes(8192);
    std::string file = kv::test::BuildCompoundFile({{"WordDocument", data}});
    struct Case {
        std::size_t offset;
        std::uint32_t value;
        int expected;
    };
    const Case cases[] = {
        {0x30, 0xFFFFFFFE, kDocNotWord},  // directory beyond the file
        {0x30, 0x7FFFFFFF, kDocNotWord},
        {0x2C, 0, kDocOk},           // no FAT sectors: the chain is one sector
        {0x2C, 0xFFFFFFFF, kDocOk},  // more than the header lists
        {0x4C, 0xFFFFFFF0, kDocOk},  // FAT sector outside the file
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offset);
        std::string broken = file;
        kv::test::Poke32(broken, c.offset, c.value);
        CompoundFile cf;
        ASSERT_EQ(cf.Open(Write(broken), Access::kRead), c.expected);
        if (c.expected == kDocOk) {
            EXPECT_LE(cf.Chain().size(), 16u);
            std::string all(9000, '\0');
            cf.SeekStream(0);
            EXPECT_LE(cf.ReadStream(all.data(), all.size()), 8192u);
        }
    }
}

}  // namespace
}  // namespace kv::ole
