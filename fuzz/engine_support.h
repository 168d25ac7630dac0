// A scan engine for the fuzz targets of the file scan pipeline: the fuzz database, no
// catalogue, no companion driver, a report kept in memory, and the checks that hold after
// any scan of one file.
#pragma once

#include <cstdint>
#include <string>

#include "engine/engine.h"
#include "ui/catalogue/catalogue.h"
#include "ui/report/report.h"

namespace kv::fuzz {

class EngineHarness {
public:
    // `scratch` (ending in '/') names the missing companion driver device below it.
    explicit EngineHarness(const std::string& scratch);

    // Scans `path` as a resource named by the user, and checks what every scan of one file
    // promises: the scan ends and says so, the file is counted once, every infection counted
    // has its report line and every infection line is counted, and no temporary "ZIP" file
    // is left in the temporary folder. Returns the number of infections counted.
    int Scan(const std::string& path);

    // Report lines of `kind` in the last scan.
    int Lines(std::uint32_t kind) const;
    Engine& Scanner() { return engine_; }

private:
    Catalogue catalogue_;
    ReportList report_;
    ScanUi ui_;
    Engine engine_;
};

// Entries of the temporary folder whose names begin with "ZIP".
int CountTempFiles();

}  // namespace kv::fuzz
