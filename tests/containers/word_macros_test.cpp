#include "containers/word_macros.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "platform/files.h"
#include "tests/containers/compound_builder.h"
#include "tests/support/test_support.h"

namespace kv::ole {
namespace {

using kv::test::TempDir;
using kv::test::WordDocumentSpec;
using kv::test::WordMacro;

// Stands in for the document search of the signature kernel: one signature, a byte pattern
// found anywhere in the block. Every block handed over is recorded.
class PatternSearcher : public DocumentSearcher {
public:
    explicit PatternSearcher(std::string pattern, std::string name = "Test.Macro")
        : pattern_(std::move(pattern)), name_(std::move(name)) {}
    bool Search(const std::uint8_t* data, std::size_t count, std::int64_t file_offset,
                DocumentHit& hit) override {
        std::string block(reinterpret_cast<const char*>(data), count);
        blocks.push_back({block, file_offset});
        for (std::size_t i = count; i < count + kSearchSlack; ++i) {
            if (data[i] != 0) slack_clean = false;
        }
        std::size_t at = block.find(pattern_);
        if (at == std::string::npos) return false;
        hit.name = name_;
        hit.offset = file_offset + static_cast<std::int64_t>(at);
        return true;
    }
    struct Seen {
        std::string bytes;
        std::int64_t offset;
    };
    std::vector<Seen> blocks;
    bool slack_clean = true;

private:
    std::string pattern_;
    std::string name_;
};

const std::string kVirus = "WBVIRUS-PATTERN-0042";

class WordMacrosTest : public ::testing::Test {
protected:
    std::string Write(const std::string& bytes, const std::string& name = "d.doc") {
        std::string path = dir_ / name;
        kv::test::WriteFile(path, bytes);
        return path;
    }
    std::string WriteDoc(const WordDocumentSpec& spec, kv::test::WordLayout* layout = nullptr) {
        return Write(kv::test::BuildWordDocument(spec, layout));
    }
    DocumentScanResult Scan(const std::string& path) {
        PatternSearcher searcher(kVirus);
        auto r = ScanDocument(path, searcher);
        blocks_ = searcher.blocks;
        EXPECT_TRUE(searcher.slack_clean);
        return r;
    }
    TempDir dir_;
    std::vector<PatternSearcher::Seen> blocks_;
};

TEST_F(WordMacrosTest, TheMacroTableIsReadAndWalked) {
    WordDocumentSpec spec;
    spec.macros = {{"AutoOpen", "Sub MAIN\nEnd Sub\n", 0},
                   {"Helper", "text two", 0x21},
                   {"Third", std::string(700, 't'), 0}};
    kv::test::WordLayout layout;
    for (std::size_t lead : {0u, 5u}) {
        SCOPED_TRACE(lead);
        spec.lead_bytes = lead;
        WordDocument doc;
        ASSERT_EQ(doc.Open(WriteDoc(spec, &layout), Access::kRead), kDocOk);
        EXPECT_EQ(doc.MacroCount(), 3);
        EXPECT_EQ(doc.MacroTableOffset(), layout.table_offset);
        EXPECT_EQ(doc.MacroTableLength(), layout.table_length);
        EXPECT_TRUE(doc.HasNameTable());
        std::vector<std::string> names, texts;
        do {
            ASSERT_TRUE(doc.FindMacroName());
            names.push_back(doc.MacroName());
            std::vector<std::uint8_t> buf(1000);
            std::size_t n = doc.ReadText(buf.data(), buf.size());
            texts.emplace_back(reinterpret_cast<char*>(buf.data()), n);
        } while (doc.NextMacro() == kDocOk);
        EXPECT_EQ(names, (std::vector<std::string>{"AutoOpen", "Helper", "Third"}));
        EXPECT_EQ(texts[0], spec.macros[0].text);
        EXPECT_EQ(texts[1], spec.macros[1].text);  // decoded with its key
        EXPECT_EQ(texts[2], spec.macros[2].text);
        EXPECT_EQ(doc.NextMacro(), kDocNoMacros);
        EXPECT_EQ(names.size(), 3u);
    }
}

TEST_F(WordMacrosTest, WhatIsNotAWordDocumentWithMacros) {
    WordDocumentSpec spec;
    spec.macros = {{"AutoOpen", "x", 0}};
    WordDocument doc;
    WordDocumentSpec word97 = spec;
    word97.ident = 0xA5EC;
    EXPECT_EQ(doc.Open(WriteDoc(word97), Access::kRead), kDocNotWord);
    WordDocumentSpec fifth = spec;
    fifth.streams_before = {"One", "Two", "Three"};
    EXPECT_EQ(doc.Open(WriteDoc(fifth), Access::kRead), kDocNotWord);
    WordDocumentSpec no_table = spec;
    no_table.with_macro_table = false;
    EXPECT_EQ(doc.Open(WriteDoc(no_table), Access::kRead), kDocNoMacros);
    WordDocumentSpec no_macros;
    EXPECT_EQ(doc.Open(WriteDoc(no_macros), Access::kRead), kDocNoMacros);
    std::string file = kv::test::BuildWordDocument(spec);
    EXPECT_EQ(doc.Open(Write(file.substr(0, 79)), Access::kRead), kDocNotWord);
}

TEST_F(WordMacrosTest, AnAutomaticMacroWithoutAKnownVirusIsSuspicious) {
    for (const char* name : {"AutoOpen", "AUTOCLOSE", "Payload", "autoexec"}) {
        SCOPED_TRACE(name);
        WordDocumentSpec spec;
        spec.macros = {{"Other", "harmless", 0}, {name, "harmless too", 0x11}};
        auto r = Scan(WriteDoc(spec));
        EXPECT_EQ(r.open_result, kDocOk);
        EXPECT_EQ(r.finding, DocumentFinding::kSuspiciousMacros);
        EXPECT_EQ(r.blocks_searched, 2);
    }
    // Names are compared whole, and only a to z change case.
    for (const char* name : {"AutoOpen2", "AutoOpe", "Macro1", "\xe1utoOpen"}) {
        SCOPED_TRACE(name);
        WordDocumentSpec spec;
        spec.macros = {{name, "harmless", 0}};
        EXPECT_EQ(Scan(WriteDoc(spec)).finding, DocumentFinding::kNothing);
    }
}

TEST_F(WordMacrosTest, AMacroNamedCleanAllSilencesTheSuspicion) {
    WordDocumentSpec spec;
    spec.macros = {{"AutoOpen", "harmless", 0}, {"CleanAll", "harmless", 0}};
    EXPECT_EQ(Scan(WriteDoc(spec)).finding, DocumentFinding::kNothing);
    spec.macros = {{"cleanall", "harmless", 0}, {"AutoExec", "harmless", 0}};
    EXPECT_EQ(Scan(WriteDoc(spec)).finding, DocumentFinding::kNothing);
}

TEST_F(WordMacrosTest, AMatchingMacroIsAVirusAndEndsTheSearch) {
    for (std::uint8_t key : {0x00, 0x5A}) {
        SCOPED_TRACE(key);
        WordDocumentSpec spec;
        spec.scatter = true;
        spec.macros = {{"AutoOpen", "harmless", 0},
                       {"Infect", "Sub MAIN\n" + kVirus + "\nEnd Sub", key},
                       {"Later", kVirus, 0}};
        kv::test::WordLayout layout;
        std::string path = WriteDoc(spec, &layout);
        auto r = Scan(path);
        EXPECT_EQ(r.finding, DocumentFinding::kMacroVirus);
        EXPECT_EQ(r.hit.name, "Test.Macro");
        EXPECT_EQ(r.macro_name, "Infect");
        EXPECT_EQ(r.blocks_searched, 2);
        // The block's offset is the file offset of the macro text.
        WordDocument doc;
        ASSERT_EQ(doc.Open(path, Access::kRead), kDocOk);
        ASSERT_EQ(blocks_.size(), 2u);
        EXPECT_EQ(blocks_[1].offset, doc.Stream().StreamToFileOffset(layout.text_offsets[1]));
        EXPECT_EQ(r.hit.offset, blocks_[1].offset + 9);
    }
}

TEST_F(WordMacrosTest, MacroTextsAreDecodedWithTheirKeyAndCutAt4000Bytes) {
    // Stored in clear under a non-zero key: decoding garbles it, no hit.
    WordDocumentSpec spec;
    spec.macros = {{"M", kVirus, 0x33}};
    std::string file = kv::test::BuildWordDocument(spec);
    kv::test::WordLayout layout;
    kv::test::BuildWordDocument(spec, &layout);
    // Undo the builder's encoding so the pattern stands in clear in the file.
    std::string encoded = kVirus;
    for (char& c : encoded) c = static_cast<char>(c ^ 0x33);
    std::size_t at = file.find(encoded);
    ASSERT_NE(at, std::string::npos);
    file.replace(at, kVirus.size(), kVirus);
    EXPECT_EQ(Scan(Write(file)).finding, DocumentFinding::kNothing);

    WordDocumentSpec late;
    late.macros = {{"Long", std::string(3990, ' ') + kVirus, 0}};
    auto r = Scan(WriteDoc(late));
    EXPECT_EQ(r.finding, DocumentFinding::kNothing);
    ASSERT_EQ(blocks_.size(), 1u);
    EXPECT_EQ(blocks_[0].bytes.size(), 4000u);
}

TEST_F(WordMacrosTest, OtherDocumentsAreSearchedAsPlainDataIn4000ByteBlocks) {
    std::string plain(10000, 'p');
    plain.replace(8500, kVirus.size(), kVirus);
    plain += std::string(20000, 'q');
    auto r = Scan(Write(plain, "plain.doc"));
    EXPECT_EQ(r.open_result, kDocNotWord);
    EXPECT_EQ(r.finding, DocumentFinding::kInfectedData);
    EXPECT_EQ(r.hit.offset, 8500);
    ASSERT_EQ(blocks_.size(), 3u);  // stops at the first block with a hit
    EXPECT_EQ(blocks_[2].offset, 8000);
    EXPECT_EQ(blocks_[2].bytes.size(), 4000u);

    // A Word 97 document and a spreadsheet: the whole file from offset 0.
    WordDocumentSpec word97;
    word97.ident = 0xA5EC;
    word97.macros = {{"AutoOpen", kVirus, 0x44}};  // encoded: only in clear would it match
    auto r97 = Scan(WriteDoc(word97));
    EXPECT_EQ(r97.open_result, kDocNotWord);
    EXPECT_EQ(r97.finding, DocumentFinding::kNothing);
    EXPECT_EQ(blocks_.front().offset, 0);
    std::string sheet = kv::test::BuildCompoundFile({{"Workbook", "cells " + kVirus}});
    auto rx = Scan(Write(sheet, "s.xls"));
    EXPECT_EQ(rx.finding, DocumentFinding::kInfectedData);

    // A 79-byte file with the signature is plain data too; an empty file has no block.
    std::string tiny = sheet.substr(0, 79);
    EXPECT_EQ(Scan(Write(tiny, "tiny.doc")).blocks_searched, 1);
    EXPECT_EQ(Scan(Write("", "empty.doc")).blocks_searched, 0);
    EXPECT_EQ(Scan(dir_ / "missing.doc").open_result, kDocCannotOpen);
}

TEST_F(WordMacrosTest, DocumentsWithoutMacroTablesAreNotSearched) {
    WordDocumentSpec spec;
    spec.with_macro_table = false;
    auto r = Scan(WriteDoc(spec));
    EXPECT_EQ(r.open_result, kDocNoMacros);
    EXPECT_EQ(r.blocks_searched, 0);
    EXPECT_FALSE(CleanDocument(WriteDoc(spec)));
}

// Runs `work` in a child process whose address space is bounded (outside the sanitizer build);
// gives its result and how
// far the child's peak resident memory grew while it ran (KiB), or result -100 when the child
// did not report.
std::pair<int, long> RunInBoundedChild(const std::function<int()>& work) {
    int fds[2];
    if (::pipe(fds) != 0) return {-100, 0};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
#ifndef KV_UNDER_ASAN
        const rlimit limit{rlim_t{1} << 30, rlim_t{1} << 30};
        ::setrlimit(RLIMIT_AS, &limit);
#endif
        rusage before{};
        ::getrusage(RUSAGE_SELF, &before);
        const long result = work();
        rusage after{};
        ::getrusage(RUSAGE_SELF, &after);
        const long out[2] = {result, after.ru_maxrss - before.ru_maxrss};
        (void)!::write(fds[1], out, sizeof out);
        ::_exit(0);
    }
    ::close(fds[1]);
    long in[2] = {-100, 0};
    if (pid < 0 || ::read(fds[0], in, sizeof in) != static_cast<ssize_t>(sizeof in)) in[0] = -100;
    ::close(fds[0]);
    if (pid > 0) ::waitpid(pid, nullptr, 0);
    return {static_cast<int>(in[0]), in[1]};
}

TEST_F(WordMacrosTest, ClaimedLengthsAreBoundByWhatTheStreamHolds) {
    // Small documents made to look huge: sparse files whose length fields claim what only
    // their size could hold. Opening one must neither allocate nor read what is claimed.
    WordDocumentSpec spec;
    spec.macros = {{"AutoOpen", "Sub MAIN\nEnd Sub\n", 0}};
    kv::test::WordLayout layout;
    const std::string doc = kv::test::BuildWordDocument(spec, &layout);
    const std::size_t stream_at = (layout.compound.chains.at("WordDocument").at(0) + 1) * 512;
    const struct {
        const char* what;
        std::uint32_t table_length;  // 0: as written
        off_t file_size;
        int expected;
    } cases[] = {
        {"4 GiB macro table in a 4 GiB sparse file", 0xFFFFFFF0, off_t{1} << 32, kDocNotWord},
        {"192 MiB macro table in a 256 MiB sparse file", 192u << 20, off_t{256} << 20, kDocNotWord},
        {"true table in a 1 TiB sparse file", 0, off_t{1} << 40, kDocOk},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string bytes = doc;
        if (c.table_length != 0) kv::test::Poke32(bytes, stream_at + 0x11C, c.table_length);
        const std::string path = Write(bytes, "sparse" + std::to_string(index++) + ".doc");
        if (::truncate(path.c_str(), c.file_size) != 0) GTEST_SKIP() << "no sparse files here";
        auto [result, grown_kib] = RunInBoundedChild([&path] {
            WordDocument word;
            return word.Open(path, Access::kRead);
        });
        EXPECT_EQ(result, c.expected);
        EXPECT_LT(grown_kib, 32 * 1024);
        ::unlink(path.c_str());
    }
}

TEST_F(WordMacrosTest, TheCleanerBlanksEveryMacroAndKeepsTheFileWhole) {
    WordDocumentSpec spec;
    spec.scatter = true;
    spec.macros = {{"AutoOpen", "Sub MAIN\n" + kVirus + "\nEnd Sub", 0x5A},
                   {"Payload", std::string(1500, 'z'), 0},
                   {"FileSave", "more", 0x07}};
    kv::test::WordLayout layout;
    std::string original = kv::test::BuildWordDocument(spec, &layout);
    std::string path = Write(original);
    ASSERT_EQ(Scan(path).finding, DocumentFinding::kMacroVirus);

    ASSERT_TRUE(CleanDocument(path));
    std::string cleaned = kv::test::ReadFile(path);
    EXPECT_EQ(cleaned.size(), original.size());
    auto r = Scan(path);
    EXPECT_EQ(r.open_result, kDocOk);
    EXPECT_EQ(r.finding, DocumentFinding::kNothing);

    WordDocument doc;
    ASSERT_EQ(doc.Open(path, Access::kRead), kDocOk);
    std::size_t i = 0;
    do {
        ASSERT_TRUE(doc.FindMacroName());
        EXPECT_EQ(doc.MacroName(), std::string(spec.macros[i].name.size(), ' '));
        std::vector<std::uint8_t> buf(2000);
        std::size_t n = doc.ReadText(buf.data(), buf.size());
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.data()), n),
                  std::string(spec.macros[i].text.size(), ' '));
        ++i;
    } while (doc.NextMacro() == kDocOk);
    EXPECT_EQ(i, 3u);
    doc.Close();

    // Only the macro texts and the table's name characters changed.
    std::size_t changed = 0;
    for (std::size_t k = 0; k < original.size(); ++k) changed += original[k] != cleaned[k];
    std::size_t most = 0;
    for (const auto& m : spec.macros) most += m.text.size() + 2 * m.name.size();
    EXPECT_LE(changed, most);
    EXPECT_GT(changed, 1500u);
    // Cleaning twice changes nothing more.
    ASSERT_TRUE(CleanDocument(path));
    EXPECT_EQ(kv::test::ReadFile(path), cleaned);
}

TEST_F(WordMacrosTest, TheCleanerRefusesWhatItCannotClean) {
    EXPECT_FALSE(CleanDocument(dir_ / "missing.doc"));
    EXPECT_FALSE(kv::platform::FileExists(dir_ / "missing.doc"));
    std::string plain = Write("plain text " + kVirus, "p.doc");
    EXPECT_FALSE(CleanDocument(plain));
    EXPECT_EQ(kv::test::ReadFile(plain), "plain text " + kVirus);

    // A macro whose text runs past the end of the stream cannot be wholly overwritten.
    WordDocumentSpec spec;
    spec.macros = {{"AutoOpen", "abc", 0}};
    kv::test::WordLayout layout;
    std::string file = kv::test::BuildWordDocument(spec, &layout);
    std::size_t table_at =
        static_cast<std::size_t>((layout.compound.chains["WordDocument"][0] + 1) * 512) +
        layout.table_offset;
    kv::test::Poke32(file, table_at + 4 + 12, 0xFFFFFFF0);  // first record's text length
    std::string path = Write(file);
    EXPECT_FALSE(CleanDocument(path));
    EXPECT_EQ(kv::test::ReadFile(path).size(), file.size());
}

TEST_F(WordMacrosTest, ATextInsideTheMacroTableEndsBlank) {
    // The table's length is stretched over the text that follows it: the table's write-back
    // must not put the text back after it was blanked.
    WordDocumentSpec spec;
    const std::string text = "Sub MAIN\n" + kVirus + "\nEnd Sub";
    spec.macros = {{"AutoOpen", text, 0x5A}};
    kv::test::WordLayout layout;
    std::string file = kv::test::BuildWordDocument(spec, &layout);
    const std::size_t stream_at =
        static_cast<std::size_t>((layout.compound.chains["WordDocument"][0] + 1) * 512);
    kv::test::Poke32(file, stream_at + 0x11C,
                     layout.table_length + static_cast<std::uint32_t>(text.size()));
    const std::string path = Write(file);
    ASSERT_EQ(Scan(path).finding, DocumentFinding::kMacroVirus);

    ASSERT_TRUE(CleanDocument(path));
    EXPECT_EQ(Scan(path).finding, DocumentFinding::kNothing);
    WordDocument doc;
    ASSERT_EQ(doc.Open(path, Access::kRead), kDocOk);
    std::vector<std::uint8_t> buf(200);
    const std::size_t n = doc.ReadText(buf.data(), buf.size());
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.data()), n), std::string(text.size(), ' '));
}

TEST_F(WordMacrosTest, MalformedTablesStayInsideTheirCopy) {
    WordDocumentSpec spec;
    spec.macros = {{"AutoOpen", "first text", 0}, {"CleanAll", "second", 0x10}, {"x", kVirus, 0}};
    kv::test::WordLayout layout;
    const std::string file = kv::test::BuildWordDocument(spec, &layout);
    const std::size_t table_at =
        static_cast<std::size_t>((layout.compound.chains["WordDocument"][0] + 1) * 512) +
        layout.table_offset;
    const std::size_t len = layout.table_length;
    std::mt19937 rng(7);
    for (int round = 0; round < 400; ++round) {
        std::string broken = file;
        int hits = 1 + static_cast<int>(rng() % 6);
        for (int i = 0; i < hits; ++i) {
            std::size_t at = table_at + rng() % len;
            // Favour the bytes that steer the walk: counts, lengths, offsets.
            broken[at] = static_cast<char>(rng() % 3 == 0 ? 0xFF : rng() & 0xFF);
        }
        std::string path = Write(broken, "f.doc");
        PatternSearcher searcher(kVirus);
        ScanDocument(path, searcher);
        CleanDocument(path);
        EXPECT_EQ(kv::test::ReadFile(path).size(), broken.size());
    }
    // A count far beyond the table, and name lengths that run off its end.
    std::string big_count = file;
    big_count[table_at + 2] = '\xFF';
    big_count[table_at + 3] = '\xFF';
    WordDocument doc;
    ASSERT_EQ(doc.Open(Write(big_count), Access::kRead), kDocOk);
    EXPECT_FALSE(doc.HasNameTable());
    EXPECT_FALSE(doc.FindMacroName());
}

TEST_F(WordMacrosTest, ANameCutShortByTheTableEndKeepsTheBytesThatAreThere) {
    WordDocumentSpec spec;
    spec.macros = {{"AutoOpen", "some text", 0}};
    kv::test::WordLayout layout;
    const std::string file = kv::test::BuildWordDocument(spec, &layout);
    const std::size_t length_field =
        static_cast<std::size_t>((layout.compound.chains["WordDocument"][0] + 1) * 512) + 0x11C;
    // The table ends with the table A record: identifier, length, "AutoOpen", zero byte. A
    // shorter table length cuts it: right after its three leading bytes, inside the name, and
    // just before the zero byte.
    struct Cut {
        std::uint32_t drop;
        std::string name;
        DocumentFinding finding;
    };
    const Cut cuts[] = {{9, "", DocumentFinding::kNothing},
                        {5, "Auto", DocumentFinding::kNothing},
                        {1, "AutoOpen", DocumentFinding::kSuspiciousMacros}};
    for (const Cut& cut : cuts) {
        SCOPED_TRACE(cut.drop);
        std::string broken = file;
        kv::test::Poke32(broken, length_field, layout.table_length - cut.drop);
        std::string path = Write(broken);
        WordDocument doc;
        ASSERT_EQ(doc.Open(path, Access::kRead), kDocOk);
        ASSERT_TRUE(doc.FindMacroName());
        EXPECT_EQ(doc.MacroName(), cut.name);
        doc.Close();
        EXPECT_EQ(Scan(path).finding, cut.finding);
        EXPECT_TRUE(CleanDocument(path));
        EXPECT_EQ(kv::test::ReadFile(path).size(), broken.size());
    }
}

TEST_F(WordMacrosTest, AnUnknownNameIdentifierGivesNoName) {
    WordDocumentSpec spec;
    spec.macros = {{"AutoOpen", "one", 0}, {"Second", "two", 0}};
    kv::test::WordLayout layout;
    std::string file = kv::test::BuildWordDocument(spec, &layout);
    const std::size_t table_at =
        static_cast<std::size_t>((layout.compound.chains["WordDocument"][0] + 1) * 512) +
        layout.table_offset;
    // The first record's name identifier matches no name record.
    file[table_at + 4 + 2] = '\x77';
    WordDocument doc;
    ASSERT_EQ(doc.Open(Write(file), Access::kRead), kDocOk);
    EXPECT_FALSE(doc.FindMacroName());
    ASSERT_EQ(doc.NextMacro(), kDocOk);
    ASSERT_TRUE(doc.FindMacroName());
    EXPECT_EQ(doc.MacroName(), "Second");
    doc.Close();
    // So the unnamed AutoOpen does not make the document suspicious.
    EXPECT_EQ(Scan(dir_ / "d.doc").finding, DocumentFinding::kNothing);
}

// Another compound-file reader must accept what we write, before and after cleaning.
TEST_F(WordMacrosTest, PythonOlefileReadsWrittenAndCleanedDocuments) {
    const char* python = "/usr/bin/python3";
    auto probe = kv::test::RunCommand({python, "-c", "import olefile"});
    if (probe.exit_code != 0) GTEST_SKIP() << "python3-olefile is not installed";
    WordDocumentSpec spec;
    spec.scatter = true;
    spec.macros = {{"AutoOpen", kVirus, 0x5A}, {"Other", std::string(3000, 'o'), 0}};
    std::string stream = kv::test::BuildWordStream(spec);
    std::string path = WriteDoc(spec);
    const std::string check =
        "import sys, olefile\n"
        "assert olefile.isOleFile(sys.argv[1])\n"
        "ole = olefile.OleFileIO(sys.argv[1], raise_defects=olefile.DEFECT_INCORRECT)\n"
        "data = ole.openstream('WordDocument').read()\n"
        "print(len(data), data[:2].hex(), ole.exists('\\x01CompObj'))\n";
    auto before = kv::test::RunCommand({python, "-c", check, path});
    EXPECT_EQ(before.exit_code, 0) << before.err;
    EXPECT_EQ(before.out, std::to_string(stream.size()) + " dca5 True\n");
    ASSERT_TRUE(CleanDocument(path));
    auto after = kv::test::RunCommand({python, "-c", check, path});
    EXPECT_EQ(after.exit_code, 0) << after.err;
    EXPECT_EQ(after.out, before.out);
}

}  // namespace
}  // namespace kv::ole
