#include "containers/zip_reader.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "platform/files.h"
#include "tests/containers/zip_builder.h"
#include "tests/support/test_support.h"

namespace kv::zip {
namespace {

using kv::test::TempDir;
using kv::test::ZipBuilder;
using kv::test::ZipMember;

// Keeps every block that an extraction hands on.
struct Block {
    std::string bytes;
    std::uint64_t offset = 0;
    std::uint64_t total = 0;
    std::uint64_t declared = 0;
    bool first = false;
    bool last = false;
    bool tail_zero = true;  // window bytes after the block and the slack are zero
};

class RecordingSink : public MemberSink {
public:
    bool Consume(const OutputBlock& b) override {
        Block k;
        k.bytes.assign(reinterpret_cast<const char*>(b.window), b.count);
        k.offset = b.offset;
        k.total = b.total;
        k.declared = b.declared_size;
        k.first = b.first;
        k.last = b.last;
        for (std::size_t i = b.count; i < kWindowSize + kWindowSlack; ++i) {
            if (b.window[i] != 0) {
                k.tail_zero = false;
                break;
            }
        }
        blocks.push_back(std::move(k));
        return blocks.size() < stop_after;
    }
    std::string Joined() const {
        std::string all;
        for (const Block& b : blocks) all += b.bytes;
        return all;
    }
    std::vector<Block> blocks;
    std::size_t stop_after = static_cast<std::size_t>(-1);
};

class CountingProgress : public ExtractProgress {
public:
    void OnFlush(std::uint64_t done, std::uint64_t total) override {
        calls.emplace_back(done, total);
    }
    std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;
};

std::string Pattern(std::size_t size, unsigned seed = 1) {
    std::mt19937 rng(seed);
    std::string s(size, '\0');
    // Half random, half text, so Deflate has work of both kinds.
    for (std::size_t i = 0; i < size; ++i) {
        s[i] = (i / 1000) % 2 == 0 ? static_cast<char>(rng() & 0xFF)
                                   : static_cast<char>('a' + (i * 7) % 26);
    }
    return s;
}

// Extracts the current member into a file and returns the result and the file's content.
std::pair<int, std::string> ExtractToFile(ZipArchive& archive, const TempDir& dir,
                                          std::uint64_t limit = kDefaultFileLimit) {
    std::string path = dir / "out.bin";
    platform::File out;
    EXPECT_TRUE(out.Create(path));
    int r = archive.ExtractMember(out, limit);
    out.Close();
    return {r, kv::test::ReadFile(path)};
}

std::vector<std::string> WalkNames(ZipArchive& archive) {
    std::vector<std::string> names;
    while (archive.Status() == kStatusMember) {
        names.push_back(archive.MemberName());
        archive.Next();
    }
    return names;
}

bool HaveZipTool() {
    return platform::FileExists("/usr/bin/zip");
}

// ---- Archives made by the zip tool ----

class RealArchives : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveZipTool()) GTEST_SKIP() << "Info-ZIP zip is not installed";
        big_ = Pattern(100000);
        kv::test::WriteFile(dir_ / "src/prog.com", big_);
        kv::test::WriteFile(dir_ / "src/readme.txt", std::string(5000, 'r'));
        kv::test::WriteFile(dir_ / "src/empty.txt", std::string());
    }
    kv::test::CommandResult Zip(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {"/usr/bin/zip", "-q"};
        argv.insert(argv.end(), args.begin(), args.end());
        return kv::test::RunCommand(argv, dir_ / "src");
    }
    TempDir dir_;
    std::string big_;
};

TEST_F(RealArchives, DeflatedAndStoredMembersExtractToTheirContent) {
    for (const char* level : {"-6", "-0"}) {
        SCOPED_TRACE(level);
        std::string zip = dir_ / (std::string("a") + level + ".zip");
        ASSERT_EQ(Zip({level, zip, "prog.com", "readme.txt", "empty.txt"}).exit_code, 0);
        ZipArchive archive;
        ASSERT_EQ(archive.Open(zip), kStatusMember);
        EXPECT_EQ(archive.MemberName(), "prog.com");
        EXPECT_EQ(archive.Method(), std::string(level) == "-0" ? 0 : 8);
        EXPECT_TRUE(archive.HeadersAgree());
        auto [r, content] = ExtractToFile(archive, dir_);
        EXPECT_EQ(r, kExtractOk);
        EXPECT_EQ(content, big_);

        ASSERT_EQ(archive.Next(), kStatusMember);
        EXPECT_EQ(archive.MemberName(), "readme.txt");
        RecordingSink sink;
        EXPECT_EQ(archive.ExtractMember(sink), kExtractOk);
        EXPECT_EQ(sink.Joined(), std::string(5000, 'r'));

        ASSERT_EQ(archive.Next(), kStatusMember);
        EXPECT_EQ(archive.MemberName(), "empty.txt");
        auto [r2, content2] = ExtractToFile(archive, dir_);
        EXPECT_EQ(r2, kExtractOk);
        EXPECT_TRUE(content2.empty());
        EXPECT_EQ(archive.Next(), kStatusEnd);
        EXPECT_EQ(archive.Next(), kStatusEnd);
    }
}

TEST_F(RealArchives, MembersWrittenToAPipeCarryDataDescriptorsAndStillExtract) {
    // Written to standard output, zip cannot seek back: sizes follow the data.
    auto res =
        kv::test::RunCommand({"/usr/bin/zip", "-q", "-", "prog.com", "readme.txt"}, dir_ / "src");
    ASSERT_EQ(res.exit_code, 0);
    kv::test::WriteFile(dir_ / "piped.zip", res.out);
    ZipArchive archive;
    ASSERT_EQ(archive.Open(dir_ / "piped.zip"), kStatusMember);
    RecordingSink sink;
    EXPECT_EQ(archive.ExtractMember(sink), kExtractOk);
    EXPECT_EQ(sink.Joined(), big_);
    ASSERT_EQ(archive.Next(), kStatusMember);
    EXPECT_EQ(archive.MemberName(), "readme.txt");
    EXPECT_EQ(ExtractToFile(archive, dir_).second, std::string(5000, 'r'));
}

TEST_F(RealArchives, CommentedAndNestedArchives) {
    kv::test::WriteFile(dir_ / "src/comment.txt", std::string(100, 'c'));
    ASSERT_EQ(Zip({"inner.zip", "prog.com"}).exit_code, 0);
    ASSERT_EQ(Zip({"outer.zip", "inner.zip", "readme.txt"}).exit_code, 0);
    auto res = kv::test::RunCommand({"/bin/sh", "-c", "/usr/bin/zip -q -z outer.zip < comment.txt"},
                                    dir_ / "src");
    ASSERT_EQ(res.exit_code, 0);

    ZipArchive outer;
    ASSERT_EQ(outer.Open(dir_ / "src/outer.zip"), kStatusMember);
    EXPECT_EQ(outer.MemberName(), "inner.zip");
    platform::TempFile temp("ZIP");
    ASSERT_TRUE(temp.IsOpen());
    EXPECT_EQ(outer.ExtractMember(temp.Handle()), kExtractOk);
    temp.CloseHandle();
    {
        ZipArchive inner;
        ASSERT_EQ(inner.Open(temp.Path()), kStatusMember);
        EXPECT_EQ(inner.MemberName(), "prog.com");
        RecordingSink sink;
        EXPECT_EQ(inner.ExtractMember(sink), kExtractOk);
        EXPECT_EQ(sink.Joined(), big_);
    }
    EXPECT_EQ(WalkNames(outer), (std::vector<std::string>{"inner.zip", "readme.txt"}));
    EXPECT_EQ(outer.Status(), kStatusEnd);
}

TEST_F(RealArchives, EveryTruncationIsRejectedOrReportedWithoutHarm) {
    std::string zip = dir_ / "t.zip";
    ASSERT_EQ(Zip({zip, "prog.com", "readme.txt"}).exit_code, 0);
    std::string whole = kv::test::ReadFile(zip);
    for (std::size_t cut = 0; cut < whole.size(); cut += 997) {
        kv::test::WriteFile(dir_ / "cut.zip", whole.substr(0, cut));
        ZipArchive archive;
        int status = archive.Open(dir_ / "cut.zip");
        // The directory sits at the end: a cut archive has none left to trust.
        EXPECT_LT(status, 0) << "cut at " << cut;
    }
    // The end of the archive kept, data cut from its middle: offsets now point astray.
    std::string holed = whole.substr(0, 1000) + whole.substr(whole.size() - 300);
    kv::test::WriteFile(dir_ / "holed.zip", holed);
    ZipArchive archive;
    int status = archive.Open(dir_ / "holed.zip");
    while (status == kStatusMember) {
        RecordingSink sink;
        EXPECT_NE(archive.ExtractMember(sink), kExtractOk);
        status = archive.Next();
    }
}

// Little-endian fields of an archive, for the damage done below.
std::uint64_t Field(const std::string& zip, std::size_t at, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<std::uint8_t>(zip[at + i]);
    return v;
}
void SetField(std::string& zip, std::size_t at, int bytes, std::uint64_t value) {
    for (int i = 0; i < bytes; ++i) zip[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

TEST_F(RealArchives, Zip64ArchivesAndLongCommentsAreRead) {
    // zip -fz writes Zip64 records and extra fields for every member; zip -z takes a comment
    // from standard input, here one of 60,000 bytes holding an end record signature.
    std::string comment = std::string(30000, 'c') + "PK\x05\x06" + std::string(29996, 'd');
    kv::test::WriteFile(dir_ / "src/comment.txt", comment);
    // (Given at creation: zip -z on an existing Zip64 archive drops its Zip64 records.)
    for (const char* options : {"-fz -z z64.zip", "-z plain.zip"}) {
        auto res = kv::test::RunCommand({"/bin/sh", "-c",
                                         std::string("/usr/bin/zip -q ") + options +
                                             " prog.com readme.txt empty.txt < comment.txt"},
                                        dir_ / "src");
        ASSERT_EQ(res.exit_code, 0) << res.err;
    }
    for (const char* name : {"z64.zip", "plain.zip"}) {
        SCOPED_TRACE(name);
        ZipArchive archive;
        ASSERT_EQ(archive.Open(dir_ / (std::string("src/") + name)), kStatusMember);
        EXPECT_EQ(archive.IsZip64(), std::string(name) == "z64.zip");
        EXPECT_EQ(archive.UncompressedSize(), big_.size());
        EXPECT_EQ(ExtractToFile(archive, dir_).second, big_);
        ASSERT_EQ(archive.Next(), kStatusMember);
        RecordingSink sink;
        EXPECT_EQ(archive.ExtractMember(sink), kExtractOk);
        EXPECT_EQ(sink.Joined(), std::string(5000, 'r'));
        EXPECT_EQ(WalkNames(archive), (std::vector<std::string>{"readme.txt", "empty.txt"}));
        EXPECT_EQ(archive.Status(), kStatusEnd);
    }

    // Damage to the Zip64 records: the walk refuses or the member fails, never more.
    const std::string whole = kv::test::ReadFile(dir_ / "src/z64.zip");
    const std::size_t end = whole.rfind(std::string("PK\x05\x06"), whole.size() - 60000);
    ASSERT_NE(end, std::string::npos);
    const std::size_t locator = end - 20;
    ASSERT_EQ(Field(whole, locator, 4), 0x07064b50u);
    const std::size_t record = static_cast<std::size_t>(Field(whole, locator + 8, 8));
    const std::size_t directory = static_cast<std::size_t>(Field(whole, record + 48, 8));
    // The Zip64 block among the first central header's extra fields.
    std::size_t zip64 = directory + 46 + Field(whole, directory + 28, 2);
    while (Field(whole, zip64, 2) != 1) zip64 += 4 + Field(whole, zip64 + 2, 2);
    struct Damage {
        const char* what;
        std::size_t at;
        int bytes;
        std::uint64_t value;
        bool opens;
    };
    const Damage damages[] = {
        {"locator beyond the file", locator + 8, 8, ~0ull, false},
        {"locator onto itself", locator + 8, 8, locator, false},
        {"record signature", record, 4, 0, false},
        {"directory offset beyond the file", record + 48, 8, 1ull << 62, false},
        {"directory size beyond the file", record + 40, 8, ~0ull, true},
        {"Zip64 block cut short", zip64 + 2, 2, 4, true},
        {"Zip64 block longer than the extra fields", zip64 + 2, 2, 0xFFFF, true},
        {"sizes in the Zip64 block beyond the file", zip64 + 4, 8, ~0ull, true},
    };
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.what);
        std::string zip = whole;
        SetField(zip, d.at, d.bytes, d.value);
        kv::test::WriteFile(dir_ / "bad.zip", zip);
        ZipArchive archive;
        const int status = archive.Open(dir_ / "bad.zip");
        EXPECT_EQ(status == kStatusMember, d.opens) << status;
        while (archive.Status() == kStatusMember) {
            RecordingSink sink;
            const int r = archive.ExtractMember(sink);
            if (archive.MemberName() == "prog.com" && r == kExtractOk) {
                EXPECT_EQ(sink.Joined(), big_);
            }
            archive.Next();
        }
    }
}

// ---- Edge archives ----

TEST(ZipEndRecord, CommentsOfAnyLengthAreFound) {
    TempDir dir;
    // A signature inside the comment, with a comment length that does not reach the end of
    // the file, is no end record; the real one further in is found. So it is when the comment
    // ends in a whole empty end record.
    std::string fake = std::string("PK\x05\x06") + std::string(18, '\0');
    const std::string with_fake = std::string(30000, 'x') + fake + std::string(29978, 'y');
    for (const std::string& comment :
         {std::string(), std::string(100, 'x'), std::string(2026, 'x'), std::string(2027, 'x'),
          std::string(65535, 'x'), with_fake, fake}) {
        SCOPED_TRACE(comment.size());
        ZipBuilder b;
        b.Add("a.txt", "hello");
        b.comment = comment;
        kv::test::WriteFile(dir / "c.zip", b.Build());
        ZipArchive archive;
        ASSERT_EQ(archive.Open(dir / "c.zip"), kStatusMember);
        EXPECT_EQ(WalkNames(archive), std::vector<std::string>{"a.txt"});
        EXPECT_EQ(archive.Status(), kStatusEnd);
    }
    // An end record further in than the longest comment allows is not looked for.
    ZipBuilder b;
    b.Add("a.txt", "hello");
    kv::test::WriteFile(dir / "far.zip", b.Build() + std::string(65536, 'z'));
    ZipArchive archive;
    EXPECT_EQ(archive.Open(dir / "far.zip"), kStatusNotArchive);
}

TEST(ZipEndRecord, AStoredNestedArchiveDoesNotHideTheOuterEndRecord) {
    // The inner archive's end record lies in the last 2048 bytes of the outer one, before the
    // outer directory; a search from the front would take it.
    ZipBuilder inner;
    inner.Add("x.com", "inner data");
    ZipBuilder outer;
    outer.Add("inner.zip", inner.Build(), 0);
    outer.comment = std::string(40, 'c');
    TempDir dir;
    kv::test::WriteFile(dir / "o.zip", outer.Build());
    ZipArchive archive;
    ASSERT_EQ(archive.Open(dir / "o.zip"), kStatusMember);
    EXPECT_EQ(archive.MemberName(), "inner.zip");
    EXPECT_EQ(ExtractToFile(archive, dir).second, inner.Build());
}

TEST(ZipEndRecord, ShortMissingAndEmptyArchives) {
    TempDir dir;
    ZipArchive archive;
    EXPECT_EQ(archive.Open(dir / "missing.zip"), kStatusCannotOpen);
    kv::test::WriteFile(dir / "short.zip", std::string(22, 'P'));
    EXPECT_EQ(archive.Open(dir / "short.zip"), kStatusTooShort);
    // An archive without members is a bare end record, with or without a comment.
    ZipBuilder empty;
    kv::test::WriteFile(dir / "empty.zip", empty.Build());
    EXPECT_EQ(archive.Open(dir / "empty.zip"), kStatusEmpty);
    empty.comment = "nothing here";
    kv::test::WriteFile(dir / "empty.zip", empty.Build());
    EXPECT_EQ(archive.Open(dir / "empty.zip"), kStatusEmpty);
    kv::test::WriteFile(dir / "plain.txt", std::string(5000, 'p'));
    EXPECT_EQ(archive.Open(dir / "plain.txt"), kStatusNotArchive);
    EXPECT_EQ(archive.ExtractMember(*std::make_unique<RecordingSink>()), kExtractNoMember);
}

TEST(ZipWalk, TheDirectoryDecidesHowManyMembersThereAre) {
    ZipBuilder b;
    for (int i = 0; i < 5; ++i) b.Add("m" + std::to_string(i), "data" + std::to_string(i));
    b.listed = 3;
    TempDir dir;
    kv::test::WriteFile(dir / "z.zip", b.Build());
    ZipArchive archive;
    ASSERT_EQ(archive.Open(dir / "z.zip"), kStatusMember);
    EXPECT_EQ(WalkNames(archive), (std::vector<std::string>{"m0", "m1", "m2"}));
    EXPECT_EQ(archive.Status(), kStatusEnd);
    // An entry count below the directory's (as the 16 bits of the end record give for more
    // than 65,535 entries) hides none of them.
    b.listed.reset();
    b.entries = 1;
    kv::test::WriteFile(dir / "z.zip", b.Build());
    ASSERT_EQ(archive.Open(dir / "z.zip"), kStatusMember);
    EXPECT_EQ(WalkNames(archive).size(), 5u);
    EXPECT_EQ(archive.Status(), kStatusEnd);
}

TEST(ZipWalk, AnEntryCountBeyondTheDirectoryEndsTheWalkWithAnError) {
    ZipBuilder b;
    b.Add("a", "1").Add("b", "2");
    b.entries = 7;
    TempDir dir;
    kv::test::WriteFile(dir / "z.zip", b.Build());
    ZipArchive archive;
    ASSERT_EQ(archive.Open(dir / "z.zip"), kStatusMember);
    EXPECT_EQ(WalkNames(archive), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(archive.Status(), kStatusNotArchive);
}

TEST(ZipWalk, DirectoryOffsetsOutsideTheFile) {
    TempDir dir;
    ZipBuilder b;
    b.Add("a", "1");
    b.directory_offset = 0x7FFFFFF0;
    kv::test::WriteFile(dir / "z.zip", b.Build());
    ZipArchive archive;
    EXPECT_EQ(archive.Open(dir / "z.zip"), kStatusNotArchive);

    // A local header offset beyond the file: listed, but not extractable.
    ZipBuilder c;
    ZipMember m;
    m.name = "far.exe";
    m.data = "x";
    m.central_local_offset = 0xFFFFFF00;
    c.Add(m).Add("near.txt", "near");
    kv::test::WriteFile(dir / "y.zip", c.Build());
    ASSERT_EQ(archive.Open(dir / "y.zip"), kStatusMember);
    EXPECT_EQ(archive.MemberName(), "far.exe");
    EXPECT_FALSE(archive.HeadersAgree());
    RecordingSink sink;
    EXPECT_EQ(archive.ExtractMember(sink), kExtractBadMember);
    EXPECT_TRUE(sink.blocks.empty());
    ASSERT_EQ(archive.Next(), kStatusMember);
    EXPECT_EQ(ExtractToFile(archive, dir).second, "near");
}

TEST(ZipWalk, NamesAndMethodComeFromTheLocalHeader) {
    ZipMember m;
    m.name = "../../evil.exe";
    m.data = "payload";
    m.method = 0;
    m.central_name = "harmless.txt";
    m.central_method = 8;
    ZipBuilder b;
    b.Add(m);
    TempDir dir;
    kv::test::WriteFile(dir / "z.zip", b.Build());
    ZipArchive archive;
    ASSERT_EQ(archive.Open(dir / "z.zip"), kStatusMember);
    EXPECT_EQ(archive.MemberName(), "../../evil.exe");
    EXPECT_EQ(archive.CentralName(), "harmless.txt");
    EXPECT_EQ(archive.Method(), 0);
    EXPECT_EQ(archive.CentralMethod(), 8);
    EXPECT_FALSE(archive.HeadersAgree());
    EXPECT_FALSE(IsSafeMemberName(archive.MemberName()));
    EXPECT_EQ(ExtractToFile(archive, dir).second, "payload");
}

TEST(ZipWalk, BrokenLocalHeadersLeaveTheMemberInTheWalk) {
    ZipMember bad_sig;
    bad_sig.name = "a.exe";
    bad_sig.data = "aaaa";
    bad_sig.local_signature = 0x12345678;
    ZipMember long_name;
    long_name.name = "b.exe";
    long_name.data = "bbbb";
    long_name.local_name_length = 0xFFFF;  // runs past the end of the file
    ZipBuilder b;
    b.Add(bad_sig).Add(long_name);
    TempDir dir;
    kv::test::WriteFile(dir / "z.zip", b.Build());
    ZipArchive archive;
    ASSERT_EQ(archive.Open(dir / "z.zip"), kStatusMember);
    EXPECT_EQ(archive.MemberName(), "a.exe");
    RecordingSink sink;
    EXPECT_EQ(archive.ExtractMember(sink), kExtractBadMember);
    ASSERT_EQ(archive.Next(), kStatusMember);
    EXPECT_EQ(archive.MemberName(), "b.exe");
    EXPECT_EQ(archive.ExtractMember(sink), kExtractBadMember);
    EXPECT_EQ(archive.Next(), kStatusEnd);
}

TEST(ZipWalk, BytesBeforeTheFirstMemberAndNamesWithANulByte) {
    ZipBuilder b;
    b.prefix = "MZ" + std::string(3000, '\x90');
    b.Add(std::string("nul\0tail.txt", 12), "content");
    TempDir dir;
    kv::test::WriteFile(dir / "sfx.exe", b.Build());
    ZipArchive archive;
    ASSERT_EQ(archive.Open(dir / "sfx.exe"), kStatusMember);
    EXPECT_EQ(archive.MemberName(), "nul");
    EXPECT_EQ(ExtractToFile(archive, dir).second, "content");
}

// ---- Extraction ----

TEST(ZipExtract, UnknownMethodsAreReportedAndTheWalkGoesOn) {
    ZipBuilder b;
    b.Add("imploded.exe", "xxxx", 6).Add("ok.txt", "fine");
    TempDir dir;
    kv::test::WriteFile(dir / "z.zip", b.Build());
    ZipArchive archive;
    ASSERT_EQ(archive.Open(dir / "z.zip"), kStatusMember);
    EXPECT_EQ(archive.Method(), 6);
    RecordingSink sink;
    EXPECT_EQ(archive.ExtractMember(sink), kExtractBadMethod);
    EXPECT_TRUE(sink.blocks.empty());
    ASSERT_EQ(archive.Next(), kStatusMember);
    EXPECT_EQ(archive.ExtractMember(sink), kExtractOk);
    EXPECT_EQ(sink.Joined(), "fine");
}

TEST(ZipExtract, CorruptAndCutDeflateStreamsAreDataErrors) {
    std::string good = kv::test::DeflateRaw(Pattern(50000));
    ZipMember reserved;  // first block of reserved type 3
    reserved.name = "bad1";
    reserved.data = "whatever";
    reserved.raw = std::string("\x07\x00\x00\x00", 4);
    ZipMember cut;  // the stream does not end within the compressed size
    cut.name = "bad2";
    cut.data = Pattern(50000);
    cut.raw = good.substr(0, good.size() / 2);
    ZipMember garbage;
    garbage.name = "bad3";
    garbage.data = Pattern(50000);
    garbage.raw = good;
    for (std::size_t i = 100; i < 200; ++i) (*garbage.raw)[i] = static_cast<char>(0xFF);
    ZipBuilder b;
    b.Add(reserved).Add(cut).Add(garbage).Add("good", "still fine");
    TempDir dir;
    kv::test::WriteFile(dir / "z.zip", b.Build());
    ZipArchive archive;
    ASSERT_EQ(archive.Open(dir / "z.zip"), kStatusMember);
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(archive.MemberName());
        RecordingSink sink;
        int r = archive.ExtractMember(sink);
        EXPECT_EQ(r, kExtractBadData);
        if (!sink.blocks.empty()) {
            EXPECT_FALSE(sink.blocks.back().last);
        }
        ASSERT_EQ(archive.Next(), kStatusMember);
    }
    RecordingSink sink;
    EXPECT_EQ(archive.ExtractMember(sink), kExtractOk);
    EXPECT_EQ(sink.Joined(), "still fine");
}

TEST(ZipExtract, AMemberOfExactly65536BytesEndsWithAnEmptyLastBlock) {
    std::string data = Pattern(65536, 7);
    for (std::uint16_t method : {8, 0}) {
        SCOPED_TRACE(method);
        ZipBuilder b;
        b.Add("p.exe", data, method);
        TempDir dir;
        kv::test::WriteFile(dir / "z.zip", b.Build());
        ZipArchive archive;
        ASSERT_EQ(archive.Open(dir / "z.zip"), kStatusMember);
        RecordingSink sink;
        CountingProgress progress;
        EXPECT_EQ(archive.ExtractMember(sink, kDefaultMemoryLimit, &progress), kExtractOk);
        ASSERT_EQ(sink.blocks.size(), 3u);
        EXPECT_EQ(sink.blocks[0].bytes.size(), 32768u);
        EXPECT_EQ(sink.blocks[1].bytes.size(), 32768u);
        EXPECT_EQ(sink.blocks[2].bytes.size(), 0u);
        EXPECT_TRUE(sink.blocks[0].first);
        EXPECT_FALSE(sink.blocks[1].first || sink.blocks[1].last);
        EXPECT_TRUE(sink.blocks[2].last);
        EXPECT_EQ(sink.blocks[1].offset, 32768u);
        EXPECT_EQ(sink.blocks[1].total, 65536u);
        EXPECT_EQ(sink.blocks[1].declared, 65536u);
        EXPECT_TRUE(sink.blocks[2].tail_zero);
        EXPECT_EQ(sink.Joined(), data);
        EXPECT_EQ(progress.calls, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{
                                      {32768, 65536}, {65536, 65536}, {65536, 65536}}));
        EXPECT_EQ(archive.OutputTotal(), 65536u);
    }
}

TEST(ZipExtract, ShortLastBlocksLeaveNoBytesOfEarlierBlocksBehindThem) {
    std::string data = Pattern(40000, 3);
    ZipBuilder b;
    b.Add("big", data).Add("small", "tiny member");
    TempDir dir;
    kv::test::WriteFile(dir / "z.zip", b.Build());
    ZipArchive archive;
    ASSERT_EQ(archive.Open(dir / "z.zip"), kStatusMember);
    RecordingSink sink;
    ASSERT_EQ(archive.ExtractMember(sink), kExtractOk);
    ASSERT_EQ(sink.blocks.size(), 2u);
    EXPECT_TRUE(sink.blocks[0].tail_zero);
    EXPECT_TRUE(sink.blocks[1].tail_zero);
    ASSERT_EQ(archive.Next(), kStatusMember);
    RecordingSink small;
    ASSERT_EQ(archive.ExtractMember(small), kExtractOk);
    ASSERT_EQ(small.blocks.size(), 1u);
    EXPECT_TRUE(small.blocks[0].first && small.blocks[0].last);
    EXPECT_TRUE(small.blocks[0].tail_zero);
}

TEST(ZipExtract, TinyMembersAreNotMatchedButAreWrittenToFiles) {
    ZipBuilder b;
    b.Add("zero", "", 0).Add("one", "1", 0).Add("zero8", "", 8);
    TempDir dir;
    kv::test::WriteFile(dir / "z.zip", b.Build());
    ZipArchive archive;
    ASSERT_EQ(archive.Open(dir / "z.zip"), kStatusMember);
    for (const char* expected : {"", "1", ""}) {
        SCOPED_TRACE(archive.MemberName());
        RecordingSink sink;
        int r = archive.ExtractMember(sink);
        if (archive.Method() == 0) {
            EXPECT_EQ(r, kExtractNothing);
            EXPECT_TRUE(sink.blocks.empty());
        } else {
            // An empty deflated member still has a two-byte stream: one empty last block.
            EXPECT_EQ(r, kExtractOk);
            ASSERT_EQ(sink.blocks.size(), 1u);
            EXPECT_TRUE(sink.blocks[0].first && sink.blocks[0].last);
        }
        auto [rf, content] = ExtractToFile(archive, dir);
        EXPECT_EQ(rf, kExtractOk);
        EXPECT_EQ(content, expected);
        archive.Next();
    }
}

TEST(ZipExtract, LyingSizesAreReported) {
    std::string data = Pattern(20000, 5);
    ZipMember past_end;  // compressed size runs past the end of the file: read to that end
    past_end.name = "past";
    past_end.data = data;
    past_end.central_compressed = 0x00FFFFFF;
    ZipMember small;  // uncompressed size too small: everything still comes out
    small.name = "small";
    small.data = data;
    small.central_uncompressed = 100;
    ZipMember stored_big;  // stored, uncompressed size larger than the data
    stored_big.name = "stored";
    stored_big.data = data;
    stored_big.method = 0;
    stored_big.central_uncompressed = 30000;
    ZipBuilder b;
    b.Add(past_end).Add(small).Add(stored_big);
    TempDir dir;
    kv::test::WriteFile(dir / "z.zip", b.Build());
    ZipArchive archive;
    ASSERT_EQ(archive.Open(dir / "z.zip"), kStatusMember);
    RecordingSink past;
    EXPECT_EQ(archive.ExtractMember(past), kExtractSizeMismatch);
    EXPECT_EQ(past.Joined(), data);
    RecordingSink sink;
    ASSERT_EQ(archive.Next(), kStatusMember);
    EXPECT_EQ(archive.ExtractMember(sink), kExtractSizeMismatch);
    EXPECT_EQ(sink.Joined(), data);
    EXPECT_TRUE(sink.blocks.back().last);
    ASSERT_EQ(archive.Next(), kStatusMember);
    auto [r, content] = ExtractToFile(archive, dir);
    EXPECT_EQ(r, kExtractSizeMismatch);
    EXPECT_EQ(content, data);
}

TEST(ZipExtract, LimitsStopOversizedMembers) {
    std::string zeros(3 * 1024 * 1024, '\0');  // deflates to a few kilobytes
    ZipMember honest;
    honest.name = "honest";
    honest.data = zeros;
    ZipMember liar;  // claims 10 bytes: the output count catches it
    liar.name = "liar";
    liar.data = zeros;
    liar.central_uncompressed = 10;
    ZipBuilder b;
    b.Add(honest).Add(liar).Add("stored", std::string(70000, 's'), 0);
    TempDir dir;
    kv::test::WriteFile(dir / "bomb.zip", b.Build());
    ZipArchive archive;
    ASSERT_EQ(archive.Open(dir / "bomb.zip"), kStatusMember);
    // Decoded until its output passes the limit, never beyond.
    auto [r1, c1] = ExtractToFile(archive, dir, 1024 * 1024);
    EXPECT_EQ(r1, kExtractOverLimit);
    EXPECT_LE(c1.size(), 1024u * 1024u);
    // Exactly at the limit is fine.
    EXPECT_EQ(ExtractToFile(archive, dir, zeros.size()).first, kExtractOk);
    ASSERT_EQ(archive.Next(), kStatusMember);
    auto [r2, c2] = ExtractToFile(archive, dir, 1024 * 1024);
    EXPECT_EQ(r2, kExtractOverLimit);
    EXPECT_LE(c2.size(), 1024u * 1024u);
    RecordingSink sink;
    EXPECT_EQ(archive.ExtractMember(sink, 100000), kExtractOverLimit);
    EXPECT_LE(sink.Joined().size(), 100000u);
    ASSERT_EQ(archive.Next(), kStatusMember);
    RecordingSink stored;
    EXPECT_EQ(archive.ExtractMember(stored, 65536), kExtractOverLimit);
    EXPECT_EQ(archive.ExtractMember(stored, 70000), kExtractOk);
}

TEST(ZipExtract, ASinkCanEndTheExtraction) {
    ZipBuilder b;
    b.Add("big", Pattern(200000, 9));
    TempDir dir;
    kv::test::WriteFile(dir / "z.zip", b.Build());
    ZipArchive archive;
    ASSERT_EQ(archive.Open(dir / "z.zip"), kStatusMember);
    RecordingSink sink;
    sink.stop_after = 2;
    EXPECT_EQ(archive.ExtractMember(sink), kExtractStopped);
    EXPECT_EQ(sink.blocks.size(), 2u);
    // The member can be extracted again from its start.
    RecordingSink again;
    EXPECT_EQ(archive.ExtractMember(again), kExtractOk);
    EXPECT_EQ(again.Joined(), Pattern(200000, 9));
}

TEST(ZipExtract, RandomDamageNeverCrashesOrHangs) {
    ZipBuilder b;
    b.Add("a.exe", Pattern(70000, 2)).Add("b.doc", Pattern(3000, 4), 0).Add("c", "c");
    const std::string whole = b.Build();
    TempDir dir;
    std::mt19937 rng(42);
    for (int round = 0; round < 300; ++round) {
        std::string damaged = whole;
        int hits = 1 + static_cast<int>(rng() % 8);
        for (int i = 0; i < hits; ++i) {
            damaged[rng() % damaged.size()] = static_cast<char>(rng() & 0xFF);
        }
        kv::test::WriteFile(dir / "d.zip", damaged);
        ZipArchive archive;
        int status = archive.Open(dir / "d.zip");
        int members = 0;
        while (status == kStatusMember && members < 10) {
            RecordingSink sink;
            archive.ExtractMember(sink, 1 << 20);
            status = archive.Next();
            ++members;
        }
        EXPECT_LT(members, 10);
    }
}

TEST(ZipNames, SafeNamesForWritingBelowAFolder) {
    for (const char* ok : {"a.txt", "dir/a.txt", "dir/", "a..b", "..a", "x/...y"}) {
        EXPECT_TRUE(IsSafeMemberName(ok)) << ok;
    }
    for (const char* bad : {"", "/etc/passwd", "../x", "a/../../x", "a/..", "..", ".", "a\\b",
                            "C:x", "c:/x", "a//b", "./a"}) {
        EXPECT_FALSE(IsSafeMemberName(bad)) << bad;
    }
    EXPECT_FALSE(IsSafeMemberName(std::string("a\0b", 3)));
}

}  // namespace
}  // namespace kv::zip
