#include "tests/pipeline/pipeline_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace kv::test {

const char* const kPipelineSignatures =
    "EICAR-Test-File:exe+com:\"X5O!P%@AP[4\\\\PZX54(P^)7CC)7}$\" \"EICAR-STANDARD-ANTIVIRUS-\" "
    "\"TEST-FILE!$H+H*\"\n"
    "EICAR-Test-File:doc:\"X5O!P%@AP[4\\\\PZX54(P^)7CC)7}$\" \"EICAR-STANDARD-ANTIVIRUS-\" "
    "\"TEST-FILE!$H+H*\"\n"
    "Tail.Marker:exe+com:\"KV-TAIL-MARK\" (near-end 4000)\n"
    "Macro.Test:doc:\"KV-MACRO-VIRUS-PATTERN\"\n";

ScopedTempFolder::ScopedTempFolder(const std::string& folder) {
    if (const char* old = std::getenv("TMPDIR")) {
        had_value_ = true;
        old_value_ = old;
    }
    ::setenv("TMPDIR", folder.c_str(), 1);
}

ScopedTempFolder::~ScopedTempFolder() {
    if (had_value_) {
        ::setenv("TMPDIR", old_value_.c_str(), 1);
    } else {
        ::unsetenv("TMPDIR");
    }
}

void RunZip(const std::string& folder, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"/usr/bin/zip", "-q"};
    argv.insert(argv.end(), args.begin(), args.end());
    CommandResult r = RunCommand(argv, folder);
    ASSERT_EQ(r.exit_code, 0) << "zip failed: " << r.err;
}

std::string ZipFiles(const std::string& archive, const FileList& files,
                     const std::vector<std::string>& options) {
    // A hidden folder, so that a walk over the archive's folder does not see the files.
    const std::size_t slash = archive.rfind('/');
    const std::string work =
        archive.substr(0, slash + 1) + "." + archive.substr(slash + 1) + ".work/";
    std::vector<std::string> args = options;
    args.push_back(archive);
    for (const auto& [name, content] : files) {
        WriteFile(work + name, content);
        args.push_back(name);
    }
    RunZip(work, args);
    return archive;
}

std::string ZipThroughPipe(const std::string& folder, const std::vector<std::string>& files) {
    std::vector<std::string> argv = {"/usr/bin/zip", "-q", "-"};
    argv.insert(argv.end(), files.begin(), files.end());
    CommandResult r = RunCommand(argv, folder);
    EXPECT_EQ(r.exit_code, 0) << "zip failed: " << r.err;
    return r.out;
}

std::string PaddedProgram(const std::string& payload, std::size_t size) {
    std::string program = payload;
    while (program.size() < size) program += "\x90\x90\x90\x90\xC3 filler ";
    program.resize(std::max(size, payload.size()));
    return program;
}

std::string SelfExtractorStub() {
    std::string stub(512, '\0');
    stub[0] = 'M';
    stub[1] = 'Z';
    stub[2] = 0;  // bytes on the last page: the whole page
    stub[4] = 1;  // one page
    stub[8] = 2;  // header paragraphs: the code starts at 32
    stub[30] = 'P';
    stub[31] = 'K';
    for (std::size_t i = 32; i < stub.size(); ++i) stub[i] = '\x90';
    stub[511] = '\xC3';
    return stub;
}

std::vector<std::string> LinesOf(const ReportList& report) {
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < report.Count(); ++i) {
        const ReportLine* l = report.Line(i);
        char kind[16];
        std::snprintf(kind, sizeof kind, "%08X", l->Kind);
        lines.push_back(l->Text + "|" + l->Detail + "|" + kind);
    }
    return lines;
}

void RecordingUi::PumpEvents() {
    ++pumps;
    if (stop_at_pump != 0 && pumps == stop_at_pump && engine != nullptr) {
        engine->Options.StopRequested = 1;
    }
}

void RecordingUi::SetProgressCaption(const std::string& caption) {
    captions.push_back(caption);
    if (!temp_folder.empty()) {
        most_temp_files = std::max(most_temp_files, CountTempFiles(temp_folder, "ZIP"));
    }
}

void RecordingUi::DrawArchiveGauge(std::int64_t done, std::int64_t total) {
    gauge.emplace_back(done, total);
}

PipelineTest::PipelineTest() : catalogue_(ProgramDir(), 2), engine_(catalogue_, report_, ui_) {
    engine_.DriverDevice = dir_ / "no-driver";
    engine_.Options.ScanArchives = 1;
    ui_.engine = &engine_;
    ui_.temp_folder = tmp_.Path();
    WriteFile(dir_ / "fixture.sig", kPipelineSignatures);
    CommandResult r =
        RunCommand({ProgramDir() + "kestravo-sigc", "-o", dir_ / "db", dir_ / "fixture.sig"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
}

PipelineTest::~PipelineTest() {
    // Whatever the test did, no extracted member may stay behind.
    EXPECT_EQ(TempFiles(), 0);
}

int PipelineTest::Scan(const std::string& target) {
    return engine_.ScanResource(dir_ / "db/", target);
}

std::string PipelineTest::Line(const std::string& text, const std::string& detail,
                               std::uint32_t kind) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08X", kind);
    return text + "|" + detail + "|" + hex;
}

}  // namespace kv::test
