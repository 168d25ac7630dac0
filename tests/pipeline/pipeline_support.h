// Shared pieces of the file scan pipeline tests: a fixture database compiled with
// kestravo-sigc, an engine with a recording user interface, the temporary folder pointed at a
// test folder (so that left-over "ZIP" files can be counted), and archives made by Info-ZIP
// zip.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "catalogue/catalogue.h"
#include "engine/engine.h"
#include "report/report.h"
#include "tests/support/test_support.h"

namespace kv::test {

// The fixture signatures: the test string as a program and as a document signature, a marker
// that only counts in the last 4000 bytes of a program, and a macro virus pattern.
extern const char* const kPipelineSignatures;
inline constexpr const char* kMacroPattern = "KV-MACRO-VIRUS-PATTERN";

// Points TMPDIR at `folder` for the object's life.
class ScopedTempFolder {
public:
    explicit ScopedTempFolder(const std::string& folder);
    ~ScopedTempFolder();
    ScopedTempFolder(const ScopedTempFolder&) = delete;
    ScopedTempFolder& operator=(const ScopedTempFolder&) = delete;

private:
    bool had_value_ = false;
    std::string old_value_;
};

// Runs Info-ZIP zip with `args` in `folder` (quietly); the test fails when zip does.
void RunZip(const std::string& folder, const std::vector<std::string>& args);
// Writes `files` (name, content) into a hidden work folder beside `archive` and zips them, in this
// order, with `options` into `archive`. Returns `archive`.
using FileList = std::vector<std::pair<std::string, std::string>>;
std::string ZipFiles(const std::string& archive, const FileList& files,
                     const std::vector<std::string>& options = {});
// zip writing to a pipe: its members carry data descriptors. Returns the archive's bytes.
std::string ZipThroughPipe(const std::string& folder, const std::vector<std::string>& files);

// A program file of `size` bytes that starts with `payload` and is padded with bytes that
// Deflate compresses well (so zip really deflates it).
std::string PaddedProgram(const std::string& payload, std::size_t size = 6000);

// A small EXE image (one 512-byte page) with "PK" at offset 30: the start of a
// self-extracting archive.
std::string SelfExtractorStub();

// The report lines as "text|detail|KIND" (kind in eight hex digits).
std::vector<std::string> LinesOf(const ReportList& report);

class RecordingUi : public ScanUi {
public:
    void PumpEvents() override;
    void SetProgressCaption(const std::string& caption) override;
    void DrawArchiveGauge(std::int64_t done, std::int64_t total) override;

    std::vector<std::string> captions;
    std::vector<std::pair<std::int64_t, std::int64_t>> gauge;
    int pumps = 0;
    // When set, the pump with this number (counted from 1) requests a stop.
    int stop_at_pump = 0;
    Engine* engine = nullptr;
    // "ZIP" files in `temp_folder` counted at each caption (the extracted member is there
    // while it is scanned).
    std::string temp_folder;
    int most_temp_files = 0;
};

class PipelineTest : public ::testing::Test {
protected:
    PipelineTest();
    ~PipelineTest() override;

    // Scans one resource with the fixture database.
    int Scan(const std::string& target);
    std::vector<std::string> Lines() const { return LinesOf(report_); }
    int Counter(int index) const { return engine_.Counters[index]; }
    // "text|detail|KIND" for the lines the pipeline writes.
    static std::string Line(const std::string& text, const std::string& detail, std::uint32_t kind);
    // Temporary "ZIP" files now in the test's temporary folder.
    int TempFiles() const { return CountTempFiles(tmp_.Path(), "ZIP"); }

    TempDir dir_;
    TempDir tmp_;
    ScopedTempFolder scoped_tmp_{tmp_.Path()};
    Catalogue catalogue_;
    ReportList report_;
    RecordingUi ui_;
    Engine engine_;
};

}  // namespace kv::test
