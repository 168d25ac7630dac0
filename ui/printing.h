// Printing the report: the printer used as a text device that writes line after line, cuts a
// line that is wider than the page and begins a new page when the next line would come too
// close to the bottom.
#pragma once

#include <QFont>
#include <QPainter>
#include <QString>

class QPrinter;

namespace kv {

class ReportList;

// The text device on one printer. Lines start at the left edge of the printable area.
class PrinterTextDevice {
public:
    explicit PrinterTextDevice(QPrinter& printer);
    // Closes the device (and so ends the print job) if it is still open.
    ~PrinterTextDevice();
    PrinterTextDevice(const PrinterTextDevice&) = delete;
    PrinterTextDevice& operator=(const PrinterTextDevice&) = delete;

    // Starts the print job on the first page with `font`. False when the printer cannot be
    // opened.
    bool Open(const QFont& font);
    // Writes one line; a text wider than the page continues on the following lines. False
    // when the device is not open or a new page cannot be begun.
    bool WriteLine(const QString& text);
    // Ends the print job; false when the printer reported a failure.
    bool Close();

    bool IsOpen() const { return painter_.isActive(); }
    // The pages begun and the printed lines (a cut line counts once per part).
    int Pages() const { return pages_; }
    int PrintedLines() const { return lines_; }

private:
    // The number of characters of `text` from `from` on that fit into `width` pixels; at least
    // one character so that every line makes progress.
    int FittingLength(const QString& text, int from, int width) const;
    bool PrintOne(const QString& text);

    QPrinter& printer_;
    QPainter painter_;
    int y_ = 0;
    bool page_full_ = false;
    int pages_ = 0;
    int lines_ = 0;
};

// The font of the printed report: "Arial" at 11 points, in its metric-compatible face.
QFont ReportPrintFont();

struct PrintOutcome {
    bool ok = false;
    int pages = 0;
    int lines = 0;
};

// Prints the title line "Kestravo Antivirus" and then every report line as the log file has
// it. The device is closed also when writing fails.
PrintOutcome PrintReport(const ReportList& report, QPrinter& printer);

}  // namespace kv
