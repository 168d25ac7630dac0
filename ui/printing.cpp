#include "ui/printing.h"

#include <QFontMetrics>
#include <QPrinter>

#include "report/report.h"
#include "ui/look.h"

namespace kv {

PrinterTextDevice::PrinterTextDevice(QPrinter& printer) : printer_(printer) {}

PrinterTextDevice::~PrinterTextDevice() {
    if (painter_.isActive()) painter_.end();
}

bool PrinterTextDevice::Open(const QFont& font) {
    if (painter_.isActive()) return true;
    if (!painter_.begin(&printer_)) return false;
    painter_.setFont(QFont(font, &printer_));
    painter_.setPen(Qt::black);
    y_ = 0;
    pages_ = 1;
    lines_ = 0;
    page_full_ = false;
    return true;
}

bool PrinterTextDevice::Close() {
    if (!painter_.isActive()) return false;
    return painter_.end();
}

int PrinterTextDevice::FittingLength(const QString& text, int from, int width) const {
    const QFontMetrics metrics = painter_.fontMetrics();
    const int rest = static_cast<int>(text.size()) - from;
    // The longest prefix that fits, by halving; widths grow with the length.
    int low = 0, high = rest;
    while (low < high) {
        const int middle = (low + high + 1) / 2;
        if (metrics.horizontalAdvance(text.mid(from, middle)) <= width) {
            low = middle;
        } else {
            high = middle - 1;
        }
    }
    if (low == 0) low = 1;
    // Never split a character that takes two UTF-16 units.
    if (from + low < text.size() && text.at(from + low).isLowSurrogate()) {
        low = low > 1 ? low - 1 : low + 1;
    }
    return qMin(low, rest);
}

bool PrinterTextDevice::PrintOne(const QString& text) {
    // The page that the last line filled is turned only when there is more to print, so a
    // job never ends with an empty page.
    if (page_full_) {
        if (!printer_.newPage()) return false;
        page_full_ = false;
        ++pages_;
        y_ = 0;
    }
    const QFontMetrics metrics = painter_.fontMetrics();
    const int height = text.isEmpty() ? metrics.height() : metrics.height() + 2;
    if (!text.isEmpty()) painter_.drawText(0, y_ + metrics.ascent(), text);
    ++lines_;
    y_ += height;
    if (y_ > painter_.device()->height() - 2 * height) page_full_ = true;
    return true;
}

bool PrinterTextDevice::WriteLine(const QString& text) {
    if (!painter_.isActive()) return false;
    const int width = painter_.device()->width();
    if (text.isEmpty()) return PrintOne(text);
    int from = 0;
    while (from < text.size()) {
        const int length = FittingLength(text, from, width);
        if (!PrintOne(text.mid(from, length))) return false;
        from += length;
    }
    return true;
}

QFont ReportPrintFont() {
    QFont font(kSansFace);
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(11);
    return font;
}

PrintOutcome PrintReport(const ReportList& report, QPrinter& printer) {
    PrintOutcome outcome;
    PrinterTextDevice device(printer);
    if (!device.Open(ReportPrintFont())) return outcome;
    bool ok = device.WriteLine(QStringLiteral("Kestravo Antivirus"));
    for (std::size_t i = 0; ok && i < report.Count(); ++i)
        ok = device.WriteLine(QString::fromStdString(report.LogLine(*report.Line(i))));
    outcome.pages = device.Pages();
    outcome.lines = device.PrintedLines();
    outcome.ok = device.Close() && ok;
    return outcome;
}

}  // namespace kv
