#include "engine/report_blocks.h"

#include "catalogue/catalogue.h"

namespace kv {

namespace {

ReportLine* AddValueLine(ReportList& report, const Catalogue& catalogue, std::uint16_t label,
                         std::int32_t value) {
    return report.AddReportLine(catalogue.Text(label), std::to_string(value), kind::SummaryValue);
}

}  // namespace

void WriteBanner(ReportList& report, const Catalogue& catalogue,
                 const ReportBlockPictures& pictures, const std::string& status_text,
                 bool scan_request) {
    for (int row = 0; row < 6; ++row) {
        std::string text;
        if (row == 3) text = catalogue.Text(188) + " " + status_text;
        if (row == 4 && scan_request) text = catalogue.Text(148);
        ReportLine* line = report.AddReportLine(text, "", kind::Plain);
        report.AttachReportPicture(line, pictures.Banner, row, 4, 122);
    }
}

void WriteResourceHeading(ReportList& report, const Catalogue& catalogue,
                          const std::string& resource) {
    report.AddReportLine("", "", kind::Plain);
    report.AddReportLine(catalogue.Text(189) + " " + resource, "", kind::Plain);
    report.AddReportLine("", "", kind::Plain);
}

void WriteResourceSummary(ReportList& report, const Catalogue& catalogue,
                          const ReportBlockPictures& pictures, const ScanCounters& counters) {
    BitmapHandle picture = counters[ScanCounters::VirusesFound] != 0 ? pictures.SummaryInfected
                                                                     : pictures.SummaryClean;
    report.AddReportLine("", "", kind::Plain);
    const std::uint16_t labels[3] = {191, 192, 193};
    const int indices[3] = {ScanCounters::FilesFound, ScanCounters::FilesScanned,
                            ScanCounters::ArchivesOpened};
    for (int row = 0; row < 3; ++row) {
        ReportLine* line = AddValueLine(report, catalogue, labels[row], counters[indices[row]]);
        report.AttachReportPicture(line, picture, row, 168, 16);
    }
    AddValueLine(report, catalogue, 194, counters[ScanCounters::VirusesFound]);
    report.AddReportLine("", "", kind::Plain);
}

void WriteTotalsBlock(ReportList& report, const Catalogue& catalogue, const ScanCounters& totals) {
    report.AddReportLine(catalogue.Text(195), "", kind::Plain);
    AddValueLine(report, catalogue, 191, totals[ScanCounters::FilesFound]);
    AddValueLine(report, catalogue, 192, totals[ScanCounters::FilesScanned]);
    AddValueLine(report, catalogue, 193, totals[ScanCounters::ArchivesOpened]);
    AddValueLine(report, catalogue, 209, totals[ScanCounters::VirusesFound]);
    report.AddReportLine("", "", kind::Plain);
}

}  // namespace kv
