// kestravo-scan end to end with the shipped signature database: the test string inside a
// deflated member, a stored member, a nested archive, a self-extracting program and documents,
// each reported with its lines; the limit options; no temporary file left behind.
#include <string>
#include <vector>

#include "tests/containers/compound_builder.h"
#include "tests/pipeline/pipeline_support.h"

namespace kv::test {
namespace {

std::string Scanner() {
    return ProgramDir() + "kestravo-scan";
}

class ScanEndToEndTest : public PipelineTest {
protected:
    ScanEndToEndTest() {
        suffixes_.Load(catalogue_);
        expected_.SetSuffixes(suffixes_);
    }
    // The log line of a report line, as kestravo-scan writes it.
    std::string LogLine(const std::string& text, const std::string& detail, std::uint32_t kind) {
        return expected_.LogLine(*expected_.AddReportLine(text, detail, kind)) + "\r\n";
    }
    std::string Value(std::uint16_t label, int value) const {
        return catalogue_.Text(label) + " " + std::to_string(value) + "\r\n";
    }
    CommandResult Run(std::vector<std::string> args) {
        args.insert(args.begin(), {Scanner(), "--language", "2"});
        return RunCommand(args);  // TMPDIR is the test's temporary folder
    }
    std::string Eicar() const { return EicarString(); }

    ReportSuffixes suffixes_;
    ReportList expected_;
};

TEST_F(ScanEndToEndTest, EveryKindOfContainerIsReportedWithItsLines) {
    const std::string tree = dir_ / "tree/";
    const FileList program = {{"eicar.com", PaddedProgram(Eicar())}};
    ZipFiles(tree + "deflated.zip", program);
    ZipFiles(tree + "stored.zip", program, {"-0"});
    const std::string inner = ZipFiles(dir_ / "inner.zip", program);
    ZipFiles(tree + "nested.zip", {{"inner.zip", ReadFile(inner)}});
    WriteFile(tree + "setup.exe", SelfExtractorStub() + ReadFile(inner));
    RunZip(tree, {"-A", "setup.exe"});
    WordDocumentSpec macro;
    macro.macros = {{"AutoOpen", "Sub MAIN\r\n' " + Eicar() + "\r\nEnd Sub\r\n", 0x33}};
    WriteFile(tree + "macro.doc", BuildWordDocument(macro));
    WriteFile(tree + "plain.doc", "Dear reader,\r\n" + Eicar() + "\r\n");

    CommandResult r = Run({tree});
    EXPECT_EQ(r.exit_code, 1) << r.err;
    const std::string name = "EICAR-Test-File";
    for (const std::string& line :
         {LogLine(tree + "deflated.zip", "", kind::InfectedArchive) +
              LogLine("eicar.com", name, kind::InfectedMember),
          LogLine(tree + "stored.zip", "", kind::InfectedArchive) +
              LogLine("eicar.com", name, kind::InfectedMember),
          LogLine(tree + "nested.zip-->inner.zip", "", kind::InfectedArchive) +
              LogLine("eicar.com", name, kind::InfectedMember) +
              LogLine(tree + "nested.zip", "", kind::InfectedArchive),
          LogLine(tree + "setup.exe", "", kind::InfectedArchive) +
              LogLine("eicar.com", name, kind::InfectedMember),
          LogLine(tree + "macro.doc", name, kind::MacroVirusDocument),
          LogLine(tree + "plain.doc", name, kind::InfectedFile)}) {
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\nin:\n" << r.out;
    }
    // Six files (and the work folders of the fixtures, hidden); the four members and the
    // program are scanned; five archives opened, the nested one and the program's included.
    EXPECT_NE(r.out.find(Value(191, 6) + Value(192, 5) + Value(193, 5) + Value(194, 6)),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find(" B)"), std::string::npos);
}

TEST_F(ScanEndToEndTest, LimitOptionsAreTakenAndTheirLinesNameMemberAndLimit) {
    const std::string inner = ZipFiles(dir_ / "inner.zip", {{"eicar.com", PaddedProgram(Eicar())},
                                                            {"notes.doc", std::string(3000, 'n')}});
    const std::string nested = ZipFiles(dir_ / "nested.zip", {{"inner.zip", ReadFile(inner)}});

    CommandResult depth = Run({"--max-depth", "1", nested});
    EXPECT_EQ(depth.exit_code, 0) << depth.err;
    EXPECT_NE(depth.out.find(nested + "-->inner.zip " + catalogue_.Text(276) + " (1)\r\n"),
              std::string::npos)
        << depth.out;

    CommandResult member = Run({"--max-member-size", "2k", inner});
    EXPECT_EQ(member.exit_code, 1) << member.err;
    EXPECT_NE(member.out.find(inner + "-->notes.doc " + catalogue_.Text(277) + " (2 KiB)\r\n"),
              std::string::npos)
        << member.out;

    CommandResult total = Run({"--max-archive-inflate", "4K", inner});
    EXPECT_EQ(total.exit_code, 0) << total.err;
    EXPECT_NE(total.out.find(inner + "-->eicar.com " + catalogue_.Text(278) + " (4 KiB)\r\n"),
              std::string::npos)
        << total.out;

    // Raised limits scan everything.
    CommandResult raised = Run(
        {"--max-depth", "40", "--max-member-size", "1G", "--max-archive-inflate", "4G", nested});
    EXPECT_EQ(raised.exit_code, 1) << raised.err;
}

TEST_F(ScanEndToEndTest, BadLimitValuesAreErrors) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"--max-depth", "0"},
                                               {"--max-depth", "x"},
                                               {"--max-member-size", "0"},
                                               {"--max-member-size", "12X"},
                                               {"--max-member-size", "-5"},
                                               {"--max-member-size", "1KK"},
                                               {"--max-archive-inflate", ""},
                                               {"--max-archive-inflate", "99999999999999999999"},
                                               {"--max-archive-inflate", "17179869184G"},
                                               {"--max-archive-inflate"}}) {
        std::vector<std::string> argv = args;
        if (args.size() == 2) argv.push_back(dir_.Path());
        CommandResult r = Run(argv);
        EXPECT_EQ(r.exit_code, 2) << args[0] << " " << (args.size() > 1 ? args[1] : "");
        EXPECT_NE(r.err.find(args[0]), std::string::npos) << r.err;
    }
    CommandResult help = Run({"--help"});
    EXPECT_NE(help.out.find("--max-archive-inflate"), std::string::npos);
}

}  // namespace
}  // namespace kv::test
