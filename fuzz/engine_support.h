// A scan engine for the fuzz targets of the file scan pipeline: the fuzz database, no
// catalogue, no companion driver, a report kept in memory, and the checks that hold after
// any scan of one file.
#pragma once

#include <cstdint>
#include <string>

#include "catalogue/catalogue.h"
#include "engine/engine.h"
#include "report/report.h"

namespace kv::fuzz {

class EngineHarness {
public:
    // `scratch` (ending in '/') names the missing companion driver device below it.
    // The scan's temporary files go to `scratch` while the harness lives, so the check that
    // none is left sees this input's files only, not those of programs running beside it.
    explicit EngineHarness(const std::string& scratch);
    ~EngineHarness();
    EngineHarness(const EngineHarness&) = delete;
    EngineHarness& operator=(const EngineHarness&) = delete;

    // Scans `path` as a resource named by the user, and checks what every scan of one file
    // promises: the scan ends and says so, the file is counted once, every infection counted
    // has its report line and every infection line is counted, and no temporary "ZIP" file
    // is left in the temporary folder. Returns the number of infections counted.
    int Scan(const std::string& path);

    // Report lines of `kind` in the last scan.
    int Lines(std::uint32_t kind) const;
    Engine& Scanner() { return engine_; }

private:
    std::string old_tmpdir_;
    bool had_tmpdir_ = false;
    Catalogue catalogue_;
    ReportList report_;
    ScanUi ui_;
    Engine engine_;
};

// Entries of the temporary folder whose names begin with "ZIP".
int CountTempFiles();

}  // namespace kv::fuzz
