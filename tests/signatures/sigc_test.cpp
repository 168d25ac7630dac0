// The signature compiler, run as the program it is: encodings of every token, the candidate
// lists, the document trie, the round trip through --dump, --check and every error message.
#include <gtest/gtest.h>

#include "engine/signature_database.h"
#include "tests/signatures/sig_fixture.h"
#include "tests/support/test_support.h"

namespace kv::test {
namespace {

const char* const kFiles[] = {"Matrix.DLL", "Virus.seq", "tbl02.dir", "tbl02", "tbl02.nam"};

CommandResult Sigc(const std::vector<std::string>& args) {
    std::vector<std::string> argv{ProgramDir() + "kestravo-sigc"};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunCommand(argv);
}

// Compiles `source` (written as file `name`) into `dir`/db.
CommandResult Compile(const TempDir& dir, const std::string& source,
                      const std::string& name = "test.sig") {
    WriteFile(dir / name, source);
    return Sigc({"-o", dir / "db", dir / name});
}

struct Listed {
    std::uint32_t record;
    std::uint8_t mask;
};

std::vector<Listed> List(const DatabaseView& db, unsigned list) {
    std::vector<Listed> out;
    unsigned offset = db.index[4 * list] | (db.index[4 * list + 1] << 8);
    unsigned count = db.index[4 * list + 2] | (db.index[4 * list + 3] << 8);
    for (unsigned c = 0; c < count; ++c) {
        const std::uint8_t* e = db.index + offset + 3 * c;
        out.push_back(Listed{static_cast<std::uint32_t>(e[0] | (e[1] << 8)), e[2]});
    }
    return out;
}

TEST(SigcEncoding, EveryTokenKindAndTheHeader) {
    TempDir dir;
    CommandResult r = Compile(dir,
                              "!version 7\n"
                              "Tokens:exe+com:\"AB\" ?? {3} {-4} \"CD\" a? ?b (entry) "
                              "(near-end 300) (header) (decryptor) (marker) (routine 9)\n");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    Bytes raw = Str(ReadFile(dir / "db/Matrix.DLL"));
    EXPECT_EQ(raw[0], 'K');
    EXPECT_EQ(raw[1], 'V');
    EXPECT_EQ(raw[2] | (raw[3] << 8), 7);

    SignatureDatabase db;
    ASSERT_EQ(db.Load(dir / "db"), 0);
    DatabaseView view = db.View();
    Bytes tokens = Lit("AB") + Skip(4) + Bytes{104} + Lit("CD") + High(0xA) + Low(0xB) + Entry() +
                   NearEnd(300) + HeaderMove() + Routine(0) + Routine(1) + Routine(9);
    Bytes expected = Record(tokens);
    ASSERT_GE(view.pattern_size, 8 + expected.size() + 2 + 6);
    EXPECT_EQ(Bytes(view.pattern + 8, view.pattern + 8 + expected.size()), expected);
    std::uint32_t end = static_cast<std::uint32_t>(8 + expected.size());
    EXPECT_TRUE(db.DecodeVirusName(end));
    EXPECT_EQ(db.VirusName(), "Tokens");
    auto listed = List(view, 'A');
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].record, 8u);
    EXPECT_EQ(listed[0].mask, 3);
}

TEST(SigcEncoding, LiteralSplittingAndSimpleRecords) {
    TempDir dir;
    std::string x98(98, 'x'), y250(250, 'y');
    ASSERT_EQ(
        Compile(dir, "Split:com:?? \"" + x98 + "\"\nSimple:boot:\"" + y250 + "\"\n").exit_code, 0);
    SignatureDatabase db;
    ASSERT_EQ(db.Load(dir / "db"), 0);
    DatabaseView view = db.View();
    // 98 is the escape byte: a 98-byte literal becomes 97 + 1.
    Bytes split = Record(Skip(1) + Lit(std::string(97, 'x')) + Lit("x"));
    EXPECT_EQ(Bytes(view.pattern + 8, view.pattern + 8 + split.size()), split);
    auto simple = List(view, 'y');  // the skip-first record is in every list
    ASSERT_EQ(simple.size(), 2u);
    EXPECT_EQ(simple[0].mask, 2);
    simple.erase(simple.begin());
    EXPECT_EQ(simple[0].mask, 4);
    EXPECT_EQ(view.pattern[simple[0].record], 1);
    EXPECT_EQ(view.pattern[simple[0].record + 1], 250);
}

TEST(SigcEncoding, CandidateListsFollowTheFirstDataByte) {
    TempDir dir;
    ASSERT_EQ(Compile(dir,
                      "Anchored:com:^\"MZ\"\n"
                      "Nibble:exe:4? \"!\"\n"
                      "Skip:com:?? \"!\"\n"
                      "Cond:com:(entry) (near-end 9) \"Q\"\n"
                      "Routine:com:(marker) \"!\"\n")
                  .exit_code,
              0);
    SignatureDatabase db;
    ASSERT_EQ(db.Load(dir / "db"), 0);
    DatabaseView view = db.View();
    auto count = [&](unsigned list) { return List(view, list).size(); };
    EXPECT_EQ(count(256), 1u);  // only the anchored one
    EXPECT_EQ(count('M'), 3u);  // 0x4D: the nibble 4?, the skip and the routine
    EXPECT_EQ(count('Q'), 3u);  // skip, condition-then-Q, routine
    EXPECT_EQ(count(0x40), 3u);
    EXPECT_EQ(count(0x50), 2u);
    std::size_t total = 0;
    for (unsigned i = 0; i < 256; ++i) total += count(i);
    EXPECT_EQ(total, 16u + 256u + 1u + 256u);
}

TEST(SigcEncoding, DocumentTrieIsSearchable) {
    TempDir dir;
    ASSERT_EQ(Compile(dir,
                      "First:doc:\"macro-one\"\n"
                      "Second:doc:\"macro-two\"\n"
                      "Third:doc:\"mad\"\n"
                      "Byte:doc:7f\n"
                      "Long:doc:\"" +
                          std::string(300, 'L') + "\"\n")
                  .exit_code,
              0);
    SignatureDatabase db;
    ASSERT_EQ(db.Load(dir / "db"), 0);
    ASSERT_TRUE(db.OpenNameFile(dir / "db"));
    DetectionRoutines routines;
    MatchKernel kernel(routines);
    kernel.Attach(db.View());
    Bytes data = Str("..macro-two..mad.macro-on.\x7f") + Bytes(300, 'L');
    kernel.SearchDocumentTrie(data.data(), data.size(), 0);
    std::vector<std::string> names;
    for (std::size_t i = 0; i < kernel.HitCount(); ++i) {
        db.ReadSignatureName(kernel.HitAt(i).record);
        names.push_back(db.DocumentName() + "@" + std::to_string(kernel.HitAt(i).file_offset));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Second@2", "Third@13", "Byte@26", "Long@27"}));
}

// {0} skips nothing but ends a literal: after a gap, a try where the first literal matches and
// the rest does not is not counted, so the search reaches further than with one literal.
TEST(SigcEncoding, AZeroSkipEndsALiteral) {
    TempDir dir;
    ASSERT_EQ(Compile(dir,
                      "Split:com:\"Z\" {-1} \"AB\" {0} \"CD\"\n"
                      "Joined:com:\"Z\" {-1} \"AB\" \"CD\"\n")
                  .exit_code,
              0);
    SignatureDatabase db;
    ASSERT_EQ(db.Load(dir / "db"), 0);
    DetectionRoutines routines;
    MatchKernel kernel(routines);
    kernel.Attach(db.View());
    Bytes data = Str("ZABABCD") + Bytes(8, 0);
    kernel.LoadBlock(data.data(), data.size(), MatchKernel::kClassProgram,
                     static_cast<std::int64_t>(data.size()));
    kernel.ScanWindow(MatchKernel::kModeAll);
    ASSERT_EQ(kernel.HitCount(), 1u);
    db.DecodeVirusName(kernel.HitAt(0).record);
    EXPECT_EQ(db.VirusName(), "Split");
}

TEST(SigcRoundTrip, DumpCompilesToTheSameFiles) {
    TempDir dir;
    std::string source =
        "# a fixture of every kind\n"
        "!version 513\n"
        "A.Tokens:exe+com+boot:\"AB\" ?? {60} {-4} \"CD\" a? ?b (entry) (near-end 300) (header) "
        "\"MZ\" (decryptor) 75 (marker) (routine 9)\n"
        "B.Anchored:exe:^e8 00 00 5d {0} \"tail\\\\\\\"quote\\x00\"\n"
        "C.Big:com:\"" +
        std::string(230, 'q') +
        "\" {-99} 01 02\n"
        "D.Doc:doc:\"document bytes\" 00 ff\n"
        "E.Doc:doc:\"document bytez\"\n"
        "A.Tokens:doc:\"same name, other section\"\n"
        "F.Hash:com:\"a#b\" # a comment after the body\n";
    ASSERT_EQ(Compile(dir, source).exit_code, 0);
    CommandResult dump = Sigc({"--dump", dir / "db"});
    ASSERT_EQ(dump.exit_code, 0) << dump.err;
    EXPECT_EQ(dump.err, "");
    WriteFile(dir / "dumped.sig", dump.out);
    CommandResult again = Sigc({"-o", dir / "again", dir / "dumped.sig"});
    ASSERT_EQ(again.exit_code, 0) << again.err << dump.out;
    for (const char* file : kFiles) {
        EXPECT_EQ(ReadFile(dir / ("again/" + std::string(file))),
                  ReadFile(dir / ("db/" + std::string(file))))
            << file;
    }
    EXPECT_NE(dump.out.find("!version 513"), std::string::npos);
    EXPECT_NE(dump.out.find("F.Hash:com:\"a#b\""), std::string::npos);
}

TEST(SigcRoundTrip, ShippedSourceRoundTrips) {
    TempDir dir;
    CommandResult r = Sigc({"-o", dir / "db", "--list", dir / "virus.lst",
                            SourceDir() + "data/signatures/default.sig"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    CommandResult dump = Sigc({"--dump", dir / "db"});
    ASSERT_EQ(dump.exit_code, 0);
    EXPECT_EQ(dump.err, "");
    std::string list = ReadFile(dir / "virus.lst");
    EXPECT_EQ(list.rfind("EICAR-Test-File\n", 0), 0u);
    EXPECT_EQ(list.find("EICAR-Test-File", 1), std::string::npos);  // listed once
}

TEST(SigcCheck, ReportsTheLoadCodeAndCounts) {
    TempDir dir;
    ASSERT_EQ(Compile(dir, "A:com:\"AAA\"\nB:exe:??\"B\"\nC:doc:\"CCC\"\n").exit_code, 0);
    CommandResult check = Sigc({"--check", dir / "db"});
    EXPECT_EQ(check.exit_code, 0);
    EXPECT_EQ(check.out, "code 0: 3 signatures (2 program/boot, 1 document)\n");
    platform::RemoveFile(dir / "db/tbl02");
    check = Sigc({"--check", dir / "db"});
    EXPECT_EQ(check.exit_code, 1);
    EXPECT_EQ(check.out, "code -2: the database cannot be loaded\n");
    check = Sigc({"--check", dir / "nowhere"});
    EXPECT_EQ(check.out, "code -1: the database cannot be loaded\n");
}

TEST(SigcCheck, DumpWarnsAboutWhatSourceCannotSay) {
    TempDir dir;
    ASSERT_EQ(Compile(dir, "A:com:\"AAA\"\n").exit_code, 0);
    // Put a record with a carried routine in place of the first one (same length).
    SignatureDatabase db;
    ASSERT_EQ(db.Load(dir / "db"), 0);
    Bytes raw = Str(ReadFile(dir / "db/Matrix.DLL"));
    raw[8] = 5;  // L = 5: an escape 0x62 0x11 with its length, then one byte
    raw[9] = 98;
    raw[10] = 0x11;
    raw[11] = 0;
    raw[12] = 0xC3;
    raw[13] = 0xC3;
    WriteFile(dir / "db/Matrix.DLL", raw);
    CommandResult dump = Sigc({"--dump", dir / "db"});
    EXPECT_EQ(dump.exit_code, 0);
    EXPECT_NE(dump.err.find("warning"), std::string::npos);
}

struct ErrorCase {
    std::string source;
    std::string expected;  // "test.sig:LINE: message"
};

TEST(SigcErrors, EveryErrorNamesTheFileAndLine) {
    std::string many_patterns, many_lists;
    for (int i = 1; i <= 300; ++i) {
        char name[8];
        std::snprintf(name, sizeof name, "P%03d", i);  // 250 + 2 + 2 + 4 bytes each
        many_patterns += std::string(name) + ":com:\"" + std::string(250, 'p') + "\"\n";
    }
    for (int i = 1; i <= 100; ++i) {
        many_lists.append("L").append(std::to_string(i)).append(":com:?? \"L\"\n");
    }
    const ErrorCase cases[] = {
        {"A:com:\"AB\" zz\n", "test.sig:1: unknown token 'zz'"},
        {"\nA:com:\"AB\" (jump)\n", "test.sig:2: unknown token '(jump)'"},
        {"A:com:\"AB\" {-3} ?? \"C\"\n", "test.sig:1: a gap '{-3}' must be followed by a literal"},
        {"A:com:\"AB\" {-3} (header) \"C\"\n", "test.sig:1: a gap '{-3}' must be followed"},
        {"A:com:\"AB\" {-3}\n", "test.sig:1: a gap '{-3}' must be followed"},
        {"A:com:\"AB\" {-100} \"C\"\n", "test.sig:1: a gap '{-m}' needs m from 1 to 99"},
        {"A:com:?? \"" + std::string(300, 'r') + "\"\n",
         "test.sig:1: record longer than 255 token bytes"},
        {many_patterns, "test.sig:254: the pattern file would exceed 65535 bytes"},
        {many_lists, "test.sig:84: the index file would exceed 65535 bytes"},
        {"A:com:\n", "test.sig:1: empty body"},
        {"A:com:{5} ??\n", "test.sig:1: empty body"},
        {"A:doc:\"ABC\"\nB:doc:\"ABCD\"\n",
         "test.sig:2: document signature 'A' (test.sig:1) is a prefix of 'B', which could never "
         "be found"},
        {"B:doc:\"ABCD\"\nA:doc:\"ABC\"\n",
         "test.sig:2: document signature 'A' is a prefix of 'B' (test.sig:1)"},
        {"A:doc:\"ABC\"\nB:doc:\"ABC\"\n", "test.sig:2: document signature 'B' has the same bytes"},
        {"Same:com:\"AB\"\n\nSame:exe:\"CD\"\n",
         "test.sig:3: duplicate name 'Same' (first at test.sig:1)"},
        {"A:disk:\"AB\"\n", "test.sig:1: unknown target 'disk'"},
        {"A \"AB\"\n", "test.sig:1: expected NAME:TARGETS:BODY"},
        {"A:com:\"A\\q\"\n", "test.sig:1: unknown escape '\\q'"},
        {"A:com:\"AB\n", "test.sig:1: unterminated string"},
        {"A:com:abc\n", "test.sig:1: unknown token 'c'"},
        {";A:com:\"AB\"\n", "test.sig:1: name ';A' begins with ';' or '}'"},
        {"A:doc:\"AB\" ?? \"C\"\n", "test.sig:1: a document signature holds literals only"},
        {"A:doc:^\"AB\"\n", "test.sig:1: a document signature cannot be anchored"},
        {"!version 1\n!version 2\n", "test.sig:2: a second database version 2"},
    };
    for (const ErrorCase& c : cases) {
        TempDir dir;
        CommandResult r = Compile(dir, c.source);
        EXPECT_EQ(r.exit_code, 1) << c.expected;
        std::string expected = c.expected;
        for (std::size_t at = 0; (at = expected.find("test.sig", at)) != std::string::npos;) {
            expected.insert(at, dir.Path());
            at += dir.Path().size() + 8;
        }
        EXPECT_NE(r.err.find(expected), std::string::npos)
            << "expected: " << c.expected << "\nstderr: " << r.err.substr(0, 600);
        EXPECT_FALSE(platform::FileExists(dir / "db/Matrix.DLL")) << c.expected;
    }
}

TEST(SigcErrors, ErrorsNameTheirOwnFileAndAllAreReported) {
    TempDir dir;
    WriteFile(dir / "one.sig", "Good:com:\"AB\"\n");
    WriteFile(dir / "two.sig", "Bad:com:zz\n\nGood:exe:\"CD\"\n");
    CommandResult r = Sigc({"-o", dir / "db", dir / "one.sig", dir / "two.sig"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find(dir / "two.sig:1: unknown token 'zz'"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(dir / "two.sig:3: duplicate name 'Good' (first at " + dir / "one.sig:1)"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(Sigc({"-o", dir / "db", dir / "missing.sig"}).exit_code, 2);
    EXPECT_EQ(Sigc({"--bogus"}).exit_code, 2);
}

}  // namespace
}  // namespace kv::test
