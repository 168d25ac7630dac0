// The database loader's result codes, the unscrambling, virus names and the name file.
#include <gtest/gtest.h>

#include "engine/signature_database.h"
#include "tests/signatures/sig_fixture.h"
#include "tests/support/test_support.h"

namespace kv::test {
namespace {

TEST(Unscramble, WorksDownwardsFromSizeMinus3To28) {
    Bytes b(31, 0);
    b[28] = 10;
    b[29] = 3;
    b[30] = 7;
    SignatureDatabase::Unscramble(b.data(), b.size());
    EXPECT_EQ(b[28], 7);  // 10 - 3: only byte 28 in a 31-byte buffer
    EXPECT_EQ(b[29], 3);
    EXPECT_EQ(b[30], 7);

    Bytes untouched(30, 0x55);
    untouched[28] = 9;
    SignatureDatabase::Unscramble(untouched.data(), untouched.size());
    EXPECT_EQ(untouched[28], 9);

    // Each byte minus its already unscrambled successor: 9 - 4 = 5, 20 - 5, 50 - 15.
    Bytes c(33, 0);
    for (std::size_t i = 0; i < 28; ++i) c[i] = static_cast<std::uint8_t>(i + 1);
    c[28] = 50;
    c[29] = 20;
    c[30] = 9;
    c[31] = 4;
    c[32] = 1;
    SignatureDatabase::Unscramble(c.data(), c.size());
    EXPECT_EQ((Bytes(c.begin() + 28, c.end())), (Bytes{35, 15, 5, 4, 1}));
    EXPECT_EQ(c[27], 28);  // bytes before 28 stay
    // Arithmetic is modulo 256.
    Bytes d(31, 0);
    d[28] = 2;
    d[29] = 5;
    SignatureDatabase::Unscramble(d.data(), d.size());
    EXPECT_EQ(d[28], 253);
}

TEST(VirusName, DecodesAndDropsALeadingSemicolonOrBrace) {
    // "AB": XOR chain 03 42, plus the length 2.
    const Bytes ab{0x05, 0x44};
    EXPECT_EQ(SignatureDatabase::UnscrambleName(ab.data(), ab.size()), "AB");
    // ";AB" and "}X".
    const Bytes semicolon{0x7D, 0x06, 0x45};
    EXPECT_EQ(SignatureDatabase::UnscrambleName(semicolon.data(), semicolon.size()), "AB");
    const Bytes brace{0x27, 0x5A};
    EXPECT_EQ(SignatureDatabase::UnscrambleName(brace.data(), brace.size()), "X");
    EXPECT_EQ(SignatureDatabase::UnscrambleName(nullptr, 0), "");
    // A long name wraps the length addition modulo 256.
    std::string long_name(200, 'v');
    long_name += "-Variant";
    Bytes scrambled = ScrambledName(long_name);
    EXPECT_EQ(SignatureDatabase::UnscrambleName(scrambled.data(), scrambled.size()), long_name);
}

// Writes a database folder from raw file contents; an empty optional file is left out.
struct RawDatabase {
    Bytes pattern;  // the whole pattern file, header included
    Bytes index;
    Bytes directory = Bytes(512, 0xFF);
    Bytes trie;
    Bytes names;
    bool with_pattern = true, with_index = true, with_directory = true, with_trie = true;
    bool with_names = true;

    void Write(const TempDir& dir) const {
        if (with_pattern) WriteFile(dir / "Matrix.DLL", pattern);
        if (with_index) WriteFile(dir / "Virus.seq", index);
        if (with_directory) WriteFile(dir / "tbl02.dir", directory);
        if (with_trie) WriteFile(dir / "tbl02", trie);
        if (with_names) WriteFile(dir / "tbl02.nam", names);
    }
};

// A pattern file of one simple record "VIR" named "Test.A", scrambled as stored.
RawDatabase ValidDatabase() {
    HandDatabase db;
    db.pattern.resize(24, 0);  // records from 24, so the trailer lies in the scrambled part
    AddedRecord record = db.Add(Simple(Str("VIR")), "Test.A");
    db.List('V', record.offset, 2);
    db.BuildIndex();
    Bytes plain = db.pattern;
    Bytes stored = plain;
    for (std::size_t i = 28; i + 3 <= stored.size(); ++i) {
        stored[i] = static_cast<std::uint8_t>(plain[i] + plain[i + 1]);
    }
    stored[0] = 'K';
    stored[1] = 'V';
    stored[4] = static_cast<std::uint8_t>(stored.size());
    stored[5] = static_cast<std::uint8_t>(stored.size() >> 8);
    stored[6] = static_cast<std::uint8_t>(db.index.size());
    stored[7] = static_cast<std::uint8_t>(db.index.size() >> 8);
    RawDatabase raw;
    raw.pattern = stored;
    raw.index = db.index;
    return raw;
}

TEST(Loader, LoadsUnscramblesAndNamesAHit) {
    TempDir dir;
    RawDatabase raw = ValidDatabase();
    raw.Write(dir);
    SignatureDatabase db;
    ASSERT_EQ(db.Load(dir.Path()), 0);
    DatabaseView view = db.View();
    ASSERT_EQ(view.pattern_size, raw.pattern.size());
    for (int i = 0; i < 8; ++i) EXPECT_EQ(view.pattern[i], 0) << i;  // header not copied
    EXPECT_EQ(view.pattern[24], 1);
    EXPECT_EQ(view.pattern[26], 'V');
    EXPECT_EQ(view.index_size, raw.index.size());
    EXPECT_EQ(view.directory_size, 512u);
    EXPECT_EQ(view.trie_size, 0u);

    DetectionRoutines routines;
    MatchKernel kernel(routines);
    kernel.Attach(view);
    Bytes data = Str("..VIR..");
    kernel.SetWindow(data.size(), data.data());
    kernel.SetFill(data.size(), 0);
    kernel.ScanWindow(MatchKernel::kModeAll);
    ASSERT_EQ(kernel.HitCount(), 1u);
    EXPECT_TRUE(db.DecodeVirusName(kernel.HitAt(0).record));
    EXPECT_EQ(db.VirusName(), "Test.A");
    // A record pointer whose trailer leaves the buffer gives no name.
    EXPECT_FALSE(db.DecodeVirusName(static_cast<std::uint32_t>(view.pattern_size - 1)));
    EXPECT_EQ(db.VirusName(), "");

    db.Release();
    EXPECT_FALSE(db.Loaded());
    EXPECT_EQ(db.View().pattern, nullptr);
}

TEST(Loader, ResultCodesInTheirOrder) {
    auto load = [](const RawDatabase& raw) {
        TempDir dir;
        raw.Write(dir);
        SignatureDatabase db;
        int code = db.Load(dir.Path());
        EXPECT_EQ(db.Loaded(), code == 0);
        return code;
    };
    RawDatabase raw = ValidDatabase();
    EXPECT_EQ(load(raw), 0);

    RawDatabase no_pattern = raw;
    no_pattern.with_pattern = false;
    no_pattern.with_trie = false;  // -1 wins over the later -2
    EXPECT_EQ(load(no_pattern), -1);
    RawDatabase no_index = raw;
    no_index.with_index = false;
    no_index.pattern.resize(4);  // -1 is decided before the header is read
    EXPECT_EQ(load(no_index), -1);

    RawDatabase short_header = raw;
    short_header.pattern.resize(7);
    EXPECT_EQ(load(short_header), -3);
    RawDatabase short_pattern = raw;
    short_pattern.pattern.pop_back();
    EXPECT_EQ(load(short_pattern), -3);
    RawDatabase tiny_size = raw;
    tiny_size.pattern[4] = 5;
    tiny_size.pattern[5] = 0;
    EXPECT_EQ(load(tiny_size), -3);
    RawDatabase short_index = raw;
    short_index.index.pop_back();
    short_index.with_trie = false;  // -3 of the index comes before the document files
    EXPECT_EQ(load(short_index), -3);

    RawDatabase no_trie = raw;
    no_trie.with_trie = false;
    EXPECT_EQ(load(no_trie), -2);
    RawDatabase no_directory = raw;
    no_directory.with_directory = false;
    EXPECT_EQ(load(no_directory), -2);

    // Bytes past the sizes in the header are ignored; the name file is not the loader's.
    RawDatabase longer = raw;
    longer.pattern.resize(longer.pattern.size() + 100, 0xEE);
    longer.index.resize(longer.index.size() + 100, 0xEE);
    longer.with_names = false;
    EXPECT_EQ(load(longer), 0);
}

TEST(Loader, FileNamesMatchWithoutRegardToCase) {
    TempDir dir;
    RawDatabase raw = ValidDatabase();
    WriteFile(dir / "MATRIX.dll", raw.pattern);
    WriteFile(dir / "virus.SEQ", raw.index);
    WriteFile(dir / "TBL02.DIR", raw.directory);
    WriteFile(dir / "Tbl02", raw.trie);
    WriteFile(dir / "TBL02.NAM", Bytes{2, 'o', 'k'});
    SignatureDatabase db;
    EXPECT_EQ(db.Load(dir.Path().substr(0, dir.Path().size() - 1)), 0);
    EXPECT_TRUE(db.OpenNameFile(dir.Path()));
    db.ReadSignatureName(0);
    EXPECT_EQ(db.DocumentName(), "ok");
}

TEST(NameFile, OneEntryCacheAndShortReads) {
    TempDir dir;
    WriteFile(dir / "tbl02.nam", Bytes{3, 'O', 'N', 'E', 5, 'F', 'I', 'R', 'S', 'T', 10, 'a', 'b'});
    SignatureDatabase db;
    ASSERT_TRUE(db.OpenNameFile(dir.Path()));
    db.ResetNameCache();
    db.ReadSignatureName(0);
    EXPECT_EQ(db.DocumentName(), "ONE");
    // The file changes under the open handle: the same offset is not read again.
    WriteFile(dir / "tbl02.nam", Bytes{3, 'T', 'W', 'O', 5, 'F', 'I', 'R', 'S', 'T'});
    db.ReadSignatureName(0);
    EXPECT_EQ(db.DocumentName(), "ONE");
    db.ReadSignatureName(4);
    EXPECT_EQ(db.DocumentName(), "FIRST");
    db.ReadSignatureName(0);
    EXPECT_EQ(db.DocumentName(), "TWO");
    db.ResetNameCache();
    db.ReadSignatureName(0);
    EXPECT_EQ(db.DocumentName(), "TWO");

    // A name cut short by the end of the file gives the bytes that are there.
    WriteFile(dir / "tbl02.nam", Bytes{10, 'a', 'b'});
    db.ReadSignatureName(0);  // cached
    db.ResetNameCache();
    db.ReadSignatureName(0);
    EXPECT_EQ(db.DocumentName(), "ab");
    db.ReadSignatureName(500);
    EXPECT_EQ(db.DocumentName(), "");
    db.CloseNameFile();
    EXPECT_FALSE(db.NameFileOpen());
}

}  // namespace
}  // namespace kv::test
