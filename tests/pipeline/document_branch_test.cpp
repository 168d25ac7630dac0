// The document branch of the file scan: macro viruses and suspicious automatic macros in Word
// 6/95 documents, everything else searched as plain data, the report lines and counters of
// each, the shipped database's document signature, and the cleaner.
#include <string>
#include <vector>

#include "containers/word_macros.h"
#include "tests/containers/compound_builder.h"
#include "tests/pipeline/pipeline_support.h"

namespace kv::test {
namespace {

using Texts = std::vector<std::string>;

const std::string kEicarName = "EICAR-Test-File";

std::string MacroText(const std::string& inner) {
    return "Sub MAIN\r\n  " + inner + "\r\nEnd Sub\r\n";
}

WordDocumentSpec Document(std::vector<WordMacro> macros) {
    WordDocumentSpec spec;
    spec.macros = std::move(macros);
    return spec;
}

class DocumentBranchTest : public PipelineTest {
protected:
    // Writes a document and scans it alone; returns its report lines.
    Texts ScanDocument(const std::string& name, const std::string& bytes) {
        WriteFile(dir_ / name, bytes);
        report_.ClearReportLines();
        EXPECT_EQ(Scan(dir_ / name), 0);
        return Lines();
    }
    // Whether python3-olefile opens the file as a compound file and reads its Word stream.
    bool OleFileReads(const std::string& path) {
        CommandResult r = RunCommand({"/usr/bin/python3", "-c",
                                      "import sys, olefile\n"
                                      "ole = olefile.OleFileIO(sys.argv[1])\n"
                                      "data = ole.openstream('WordDocument').read()\n"
                                      "sys.exit(0 if len(data) > 0 else 1)\n",
                                      path});
        EXPECT_EQ(r.err, "");
        return r.exit_code == 0;
    }
};

TEST_F(DocumentBranchTest, MacroVirusIsReportedWithItsSignatureName) {
    for (std::uint8_t key : {0x00, 0x5A}) {
        SCOPED_TRACE(key);
        WordDocumentSpec spec = Document({{"Tools", MacroText("' harmless"), key},
                                          {"Helper", MacroText(kMacroPattern), key},
                                          {"AutoOpen", MacroText("Helper"), key}});
        EXPECT_EQ(ScanDocument("virus.doc", BuildWordDocument(spec)),
                  (Texts{Line(dir_ / "virus.doc", "Macro.Test", kind::MacroVirusDocument)}));
        // Documents are not counted as scanned files; the macro virus is counted.
        EXPECT_EQ(Counter(ScanCounters::FilesFound), 1);
        EXPECT_EQ(Counter(ScanCounters::FilesScanned), 0);
        EXPECT_EQ(Counter(ScanCounters::VirusesFound), 1);
    }
}

TEST_F(DocumentBranchTest, AutomaticMacrosWithoutAKnownVirusAreSuspicious) {
    const std::string path = dir_ / "auto.doc";
    EXPECT_EQ(ScanDocument("auto.doc", BuildWordDocument(Document({{"AutoOpen", MacroText("x")}}))),
              (Texts{Line(path, "", kind::SuspectDocument)}));
    EXPECT_EQ(Counter(ScanCounters::VirusesFound), 0);
    EXPECT_EQ(ScanDocument("auto.doc", BuildWordDocument(Document({{"autoexec", MacroText("x")}}))),
              (Texts{Line(path, "", kind::SuspectDocument)}));
    // A macro named CleanAll marks the document as cleaned.
    EXPECT_EQ(ScanDocument("auto.doc", BuildWordDocument(Document({{"AutoOpen", MacroText("x")},
                                                                   {"CleanAll", MacroText("y")}}))),
              Texts{});
    EXPECT_EQ(ScanDocument("auto.doc", BuildWordDocument(Document({{"FileSave", MacroText("x")}}))),
              Texts{});
}

TEST_F(DocumentBranchTest, OtherFilesAreSearchedAsPlainDataOnly) {
    // Not a compound file: the test string deep in the file.
    std::string plain(12000, 'a');
    plain.replace(9000, EicarString().size(), EicarString());
    EXPECT_EQ(ScanDocument("plain.doc", plain),
              (Texts{Line(dir_ / "plain.doc", kEicarName, kind::InfectedFile)}));
    EXPECT_EQ(Counter(ScanCounters::VirusesFound), 1);
    EXPECT_EQ(Counter(ScanCounters::FilesScanned), 0);

    // A program signature in a document is never looked for.
    EXPECT_EQ(ScanDocument("program.doc", "text KV-TAIL-MARK text"), Texts{});

    // A Word 97 document (another identifier): its macro text is only plain data here.
    WordDocumentSpec word97 = Document({{"Helper", MacroText(kMacroPattern)}});
    word97.ident = 0xA5EC;
    EXPECT_EQ(ScanDocument("word97.doc", BuildWordDocument(word97)),
              (Texts{Line(dir_ / "word97.doc", "Macro.Test", kind::InfectedFile)}));

    // A spreadsheet workbook.
    const std::string workbook =
        BuildCompoundFile({{"Workbook", "cells " + EicarString() + " more cells"}});
    EXPECT_EQ(ScanDocument("book.xls", workbook),
              (Texts{Line(dir_ / "book.xls", kEicarName, kind::InfectedFile)}));

    // A Word document whose macro table is missing holds nothing to scan.
    WordDocumentSpec no_table = Document({{"Helper", MacroText(kMacroPattern)}});
    no_table.with_macro_table = false;
    EXPECT_EQ(ScanDocument("no-table.doc", BuildWordDocument(no_table)), Texts{});
}

TEST_F(DocumentBranchTest, ShippedDatabaseFindsTheTestStringInADocument) {
    WriteFile(dir_ / "letter.doc", "Dear reader,\r\n" + EicarString() + "\r\nregards\r\n");
    EXPECT_EQ(engine_.ScanResource(ProgramDir(), dir_ / "letter.doc"), 0);
    EXPECT_EQ(Lines(), (Texts{Line(dir_ / "letter.doc", kEicarName, kind::InfectedFile)}));
}

TEST_F(DocumentBranchTest, CleanedDocumentKeepsItsSizeStaysACompoundFileAndScansClean) {
    WordDocumentSpec spec = Document({{"AutoOpen", MacroText(kMacroPattern), 0x21},
                                      {"Helper", MacroText("' helper"), 0},
                                      {"AutoClose", MacroText("' close"), 0x7E}});
    spec.scatter = true;
    const std::string path = dir_ / "infected.doc";
    const std::string before = BuildWordDocument(spec);
    EXPECT_EQ(ScanDocument("infected.doc", before),
              (Texts{Line(path, "Macro.Test", kind::MacroVirusDocument)}));
    ASSERT_TRUE(OleFileReads(path));

    ASSERT_TRUE(ole::CleanDocument(path));
    const std::string after = ReadFile(path);
    EXPECT_EQ(after.size(), before.size());
    EXPECT_NE(after, before);
    EXPECT_TRUE(OleFileReads(path));
    // The macros are still there, with blank names and texts: neither a virus nor suspicious.
    report_.ClearReportLines();
    EXPECT_EQ(Scan(path), 0);
    EXPECT_EQ(Lines(), Texts{});
    EXPECT_EQ(Counter(ScanCounters::VirusesFound), 0);
}

}  // namespace
}  // namespace kv::test
