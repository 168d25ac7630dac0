// kestravo-catc run as a program: the source format, the layout it writes, its error reports
// and the dump that compiles back into the same file.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "catalogue/catalogue.h"
#include "platform/files.h"
#include "tests/support/test_support.h"

namespace {

using kv::Catalogue;
using kv::test::CommandResult;
using kv::test::ProgramDir;
using kv::test::ReadFile;
using kv::test::RunCommand;
using kv::test::TempDir;
using kv::test::WriteFile;

using Sources = std::vector<std::pair<std::string, std::string>>;  // file name, contents

std::string Catc() {
    return ProgramDir() + "kestravo-catc";
}

// Writes the sources into `dir` and compiles them into dir/langua.ge.
CommandResult Compile(const TempDir& dir, const Sources& sources) {
    std::vector<std::string> argv = {Catc(), "-o", dir / "langua.ge"};
    for (const auto& [name, contents] : sources) {
        WriteFile(dir / name, contents);
        argv.push_back(dir / name);
    }
    return RunCommand(argv);
}

unsigned Get16(const std::string& s, std::size_t at) {
    return static_cast<unsigned char>(s[at]) | (static_cast<unsigned char>(s[at + 1]) << 8);
}

struct RawRecord {
    unsigned number, language, length;
    std::uint64_t offset;
};

// The directory of a compiled file: records up to the first text.
std::vector<RawRecord> ReadDirectory(const std::string& image) {
    std::vector<RawRecord> records;
    std::uint64_t end = image.size();
    for (std::size_t at = 0; at + 9 <= end; at += 9) {
        RawRecord r{Get16(image, at), static_cast<unsigned char>(image[at + 2]),
                    Get16(image, at + 3),
                    Get16(image, at + 5) + (std::uint64_t{Get16(image, at + 7)} << 16)};
        records.push_back(r);
        if (r.length > 0) end = std::min<std::uint64_t>(end, r.offset);
    }
    return records;
}

TEST(CatalogueCompiler, SourceFormatEscapesQuotesAndBlanks) {
    TempDir dir;
    const std::string italian =
        "# comment\n"
        "   # indented comment\n"
        "\n"
        "language 1\n"
        "1 plain text   \n"
        "2 \"  padded  \"\n"
        "3 \"\"\n"
        "4 a\\tb\\nc\\rd\\\\e\\\"f\n"
        "5   \"quote \\\" inside\"   \n"
        "6 \\xC3\\xA0 e \xC3\xA0\n"
        "7 Stam&pa # not a comment\n"
        "8\ttab separated\n"
        "9 " +
        std::string(65535, 'z') + "\n";
    const std::string english = "\xEF\xBB\xBFlanguage 2\r\n1 one\r\n2 \"two \"\r\n";
    CommandResult r = Compile(dir, {{"1-it.txt", italian}, {"2-en.txt", english}});
    ASSERT_EQ(r.exit_code, 0) << r.err;

    Catalogue it(dir.Path(), 1);
    EXPECT_EQ(it.Text(1), "plain text");
    EXPECT_EQ(it.Text(2), "  padded  ");
    EXPECT_EQ(it.Text(3), "");
    EXPECT_EQ(it.Text(4), "a\tb\nc\rd\\e\"f");
    EXPECT_EQ(it.Text(5), "quote \" inside");
    EXPECT_EQ(it.Text(6), "\xC3\xA0 e \xC3\xA0");
    EXPECT_EQ(it.Text(7), "Stam&pa # not a comment");
    EXPECT_EQ(it.Text(8), "tab separated");
    EXPECT_EQ(it.Text(9), std::string(65535, 'z'));
    Catalogue en(dir.Path(), 2);
    EXPECT_EQ(en.Text(1), "one");
    EXPECT_EQ(en.Text(2), "two ");
    EXPECT_EQ(en.Text(3), "");
    // Messages that only one language has are reported, but do not fail the build.
    EXPECT_NE(r.err.find("warning: message 3 has no text in language 2"), std::string::npos);
}

TEST(CatalogueCompiler, DirectoryIsSortedGroupedAndInsideTheFile) {
    TempDir dir;
    CommandResult r = Compile(dir, {{"b.txt", "language 2\n300 three\n5 five\n7 same\n1 \"\"\n"},
                                    {"a.txt", "language 1\n7 same\n300 tre\n1 uno\n"},
                                    {"c.txt", "language 3\n5 fuenf\n"}});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::string image = ReadFile(dir / "langua.ge");
    std::vector<RawRecord> records = ReadDirectory(image);
    ASSERT_EQ(records.size(), 8u);
    const std::vector<std::pair<unsigned, unsigned>> expected = {
        {1, 1}, {1, 2}, {5, 2}, {5, 3}, {7, 1}, {7, 2}, {300, 1}, {300, 2}};
    for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].number, expected[i].first) << i;
        EXPECT_EQ(records[i].language, expected[i].second) << i;
        EXPECT_GE(records[i].offset, records.size() * 9) << i;
        EXPECT_LE(records[i].offset + records[i].length, image.size()) << i;
    }
    // Identical texts are stored once.
    EXPECT_EQ(records[4].offset, records[5].offset);
    EXPECT_EQ(image.size(), 8 * 9 + std::string("unofivefuenfsametrethree").size());
}

struct BadSource {
    std::string contents;
    int line;
    std::string message;
};

TEST(CatalogueCompiler, ErrorsNameFileAndLineAndWriteNothing) {
    const std::vector<BadSource> cases = {
        {"language 1\n1 bad \\q escape\n", 2, "unknown escape \\q"},
        {"language 1\n1 \\x4\n", 2, "two hex digits"},
        {"language 1\n1 ends in \\\n", 2, "backslash at the end"},
        {"language 1\n\n65536 x\n", 3, "bad message number"},
        {"language 1\n12x y\n", 2, "bad message number '12x'"},
        {"language 1\nScansione\n", 2, "expected a message number"},
        {"# no header\n\n1 text\n2 text\n", 3, "missing language header"},
        {"", 1, "missing language header"},
        {"language 256\n", 1, "bad language number"},
        {"language uno\n", 1, "bad language number"},
        {"language 1\n5 a\n5 b\n", 3, "message 5 given twice for language 1"},
        {"language 1\n7 " + std::string(65536, 'a') + "\n", 2, "more than 65535"},
        {"language 1\n8 caff\xE8\n", 2, "invalid UTF-8"},
        {"language 1\n8 \\xC3\n", 2, "invalid UTF-8"},
        {"language 1\n8 \\xED\\xA0\\x80\n", 2, "invalid UTF-8"},  // a surrogate
        {"language 1\n8 a\\x00b\n", 2, "NUL"},
        {"language 1\n9 \"open\n", 2, "missing closing quote"},
        {"language 1\n9 \"closed\" more\n", 2, "text after the closing quote"},
        {"language 1\n10\n", 2, "has no text"},
    };
    for (const BadSource& c : cases) {
        TempDir dir;
        CommandResult r = Compile(dir, {{"src.txt", c.contents}});
        const std::string where = dir / "src.txt" + ":" + std::to_string(c.line) + ": ";
        EXPECT_EQ(r.exit_code, 1) << c.message;
        EXPECT_NE(r.err.find(where), std::string::npos) << c.message << "\n" << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.message << "\n" << r.err;
        EXPECT_FALSE(kv::platform::FileExists(dir / "langua.ge")) << c.message;
    }
}

TEST(CatalogueCompiler, ErrorsAcrossFilesAreAllReportedAndKeepTheOldOutput) {
    TempDir dir;
    WriteFile(dir / "langua.ge", "old");
    CommandResult r =
        Compile(dir, {{"a.txt", "language 1\n1 uno\n"}, {"b.txt", "language 1\n\n1 one\n2 \\z\n"}});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find(dir / "b.txt:3: message 1 given twice for language 1 (first at " +
                         dir / "a.txt:2)"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find(dir / "b.txt:4: "), std::string::npos) << r.err;
    EXPECT_EQ(ReadFile(dir / "langua.ge"), "old");

    CommandResult missing = RunCommand({Catc(), "-o", dir / "x.ge", dir / "absent.txt"});
    EXPECT_EQ(missing.exit_code, 1);
    EXPECT_NE(missing.err.find("absent.txt"), std::string::npos);
}

TEST(CatalogueCompiler, CommandLine) {
    CommandResult help = RunCommand({Catc(), "--help"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_NE(help.out.find("-o OUTPUT SOURCE..."), std::string::npos);
    EXPECT_NE(help.out.find("--dump FILE"), std::string::npos);
    EXPECT_EQ(RunCommand({Catc()}).exit_code, 2);
    EXPECT_EQ(RunCommand({Catc(), "-o"}).exit_code, 2);
    EXPECT_EQ(RunCommand({Catc(), "-o", "/tmp/never-written.ge"}).exit_code, 2);
    EXPECT_EQ(RunCommand({Catc(), "--frobnicate"}).exit_code, 2);
    EXPECT_EQ(RunCommand({Catc(), "--dump"}).exit_code, 2);
    EXPECT_EQ(RunCommand({Catc(), "--dump", "/nonexistent/langua.ge"}).exit_code, 1);
}

TEST(CatalogueCompiler, DumpCompilesBackIntoTheSameFile) {
    TempDir dir;
    Sources sources;
    for (const auto& entry :
         std::filesystem::directory_iterator(kv::test::SourceDir() + "data/catalogue")) {
        if (entry.path().extension() == ".txt") {
            sources.push_back({entry.path().filename().string(), ReadFile(entry.path().string())});
        }
    }
    ASSERT_FALSE(sources.empty());
    sources.push_back({"9-extra.txt",
                       "language 9\n1 \"  \\t\\r\\n\\\\\\\"\\x01\\x7F \"\n2 \"\"\n65535 "
                       "\xE2\x82\xAC\xF0\x9F\x98\x80\n0 zero\n"});
    ASSERT_EQ(Compile(dir, sources).exit_code, 0);
    const std::string first = ReadFile(dir / "langua.ge");

    CommandResult dump = RunCommand({Catc(), "--dump", dir / "langua.ge"});
    ASSERT_EQ(dump.exit_code, 0) << dump.err;
    EXPECT_NE(dump.out.find("\nlanguage 1\n"), std::string::npos);
    EXPECT_NE(dump.out.find("\n125 \"Stam&pa \"\n"), std::string::npos);
    EXPECT_NE(dump.out.find("\n137 \"Scansione\"\n"), std::string::npos);

    TempDir again;
    CommandResult r = Compile(again, {{"dump.txt", dump.out}});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(ReadFile(again / "langua.ge") == first);
}

TEST(CatalogueCompiler, DumpOfABrokenFileReportsInsteadOfFailing) {
    TempDir dir;
    // Message 1 reaches past the end; a second record of 1 in language 1 is never found.
    std::string image;
    auto record = [&](unsigned number, unsigned language, unsigned length, unsigned offset) {
        image += {static_cast<char>(number & 0xFF),
                  static_cast<char>(number >> 8),
                  static_cast<char>(language),
                  static_cast<char>(length & 0xFF),
                  static_cast<char>(length >> 8),
                  static_cast<char>(offset & 0xFF),
                  static_cast<char>((offset >> 8) & 0xFF),
                  static_cast<char>((offset >> 16) & 0xFF),
                  static_cast<char>(offset >> 24)};
    };
    record(1, 1, 50, 27);
    record(1, 1, 2, 27);
    record(2, 1, 2, 29);
    image += "abcd";
    WriteFile(dir / "broken.ge", image);
    CommandResult r = RunCommand({Catc(), "--dump", dir / "broken.ge"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("past the end"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("never finds"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\n2 \"cd\"\n"), std::string::npos) << r.out;

    // Random bytes: the dump finishes whatever they hold.
    std::mt19937 random(1234);
    for (int round = 0; round < 20; ++round) {
        std::string noise(1 + random() % 4000, '\0');
        for (char& c : noise) c = static_cast<char>(random());
        WriteFile(dir / "noise.ge", noise);
        EXPECT_EQ(RunCommand({Catc(), "--dump", dir / "noise.ge"}).exit_code, 0);
        Catalogue catalogue(dir.Path(), static_cast<std::uint16_t>(random() % 3));
        WriteFile(dir / "langua.ge", noise);
        for (int n = 0; n < 20; ++n) catalogue.MessageTextPtr(static_cast<std::uint16_t>(random()));
    }
}

}  // namespace
