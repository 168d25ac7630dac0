// The report blocks a scan writes around the engine's own lines: the picture banner, the
// heading of each resource, the summary after each resource and the totals block. Shared by
// the desktop program and the command-line scanner.
#pragma once

#include <string>

#include "engine/scan_types.h"
#include "report/report.h"

namespace kv {

class Catalogue;

// Pictures of the blocks; any of them may be missing (low colour depths, no display).
struct ReportBlockPictures {
    BitmapHandle Banner = nullptr;           // six rows
    BitmapHandle SummaryInfected = nullptr;  // three rows, when the resource had infections
    BitmapHandle SummaryClean = nullptr;     // three rows, when it had none
};

// The six banner lines. Line 4 is message 188, a blank and `status_text` (the status panel's
// text when the scan started); line 5 is message 148 for a scan request, else empty.
void WriteBanner(ReportList& report, const Catalogue& catalogue,
                 const ReportBlockPictures& pictures, const std::string& status_text,
                 bool scan_request);

// An empty line, message 189 + " " + the resource path, an empty line.
void WriteResourceHeading(ReportList& report, const Catalogue& catalogue,
                          const std::string& resource);

// The summary after one resource: an empty line, files found, files scanned and archives
// opened with the rows of the summary picture, infections, an empty line.
void WriteResourceSummary(ReportList& report, const Catalogue& catalogue,
                          const ReportBlockPictures& pictures, const ScanCounters& counters);

// The totals block: message 195, files found, files scanned, archives opened, infections
// (message 209), an empty line.
void WriteTotalsBlock(ReportList& report, const Catalogue& catalogue, const ScanCounters& totals);

}  // namespace kv
