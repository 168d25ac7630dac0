#include "ui/windows/stepbar.h"

#include <qdrawutil.h>
#include <QPainter>
#include <QPalette>
#include <cstdint>
#include <cstdlib>

namespace kv {

StepBar::StepBar(QWidget* parent) : QFrame(parent) {
    setFrameStyle(QFrame::NoFrame);
    setAutoFillBackground(false);
}

void StepBar::setProgress(int value) {
    progress_ = value;
    // A synchronous paint: the bar must move even while the caller keeps the event loop busy.
    repaint();
}

void StepBar::setBevelWidth(int width) {
    bevel_width_ = width < 0 ? 0 : width;
    update();
}

void StepBar::setOuterBevelLowered(bool lowered) {
    outer_lowered_ = lowered;
    update();
}

void StepBar::setSingleBorder(bool single) {
    if (single) {
        setFrameStyle(QFrame::Box | QFrame::Plain);
        setLineWidth(1);
    } else {
        setFrameStyle(QFrame::NoFrame);
    }
    update();
}

int StepBar::MulDiv(int a, int b, int c) {
    if (c == 0) return -1;
    const std::int64_t product = static_cast<std::int64_t>(a) * b;
    const bool negative = (product < 0) != (c < 0);
    const std::uint64_t num = static_cast<std::uint64_t>(std::llabs(product));
    const std::uint64_t den = static_cast<std::uint64_t>(std::llabs(static_cast<long long>(c)));
    const std::uint64_t rounded = (num + den / 2) / den;
    // A quotient that does not fit an int cannot be drawn as an edge or printed as a
    // percentage anyway; it is clamped rather than wrapped.
    const std::int64_t limit = 0x7FFFFFFF;
    const std::int64_t magnitude =
        rounded > static_cast<std::uint64_t>(limit) ? limit : static_cast<std::int64_t>(rounded);
    return static_cast<int>(negative ? -magnitude : magnitude);
}

int StepBar::Percent(int value, int max) {
    if (value < 1) return 0;
    const int p = MulDiv(value, 100, max);
    return p > 100 ? 99 : p;
}

void StepBar::paintEvent(QPaintEvent* event) {
    QFrame::paintEvent(event);  // the single-line border, when there is one
    const QRect client = contentsRect();
    QPainter painter(this);
    painter.setClipRect(client);
    painter.translate(client.topLeft());
    const int w = client.width();
    const int h = client.height();
    const int bw = bevel_width_;
    const QColor face = palette().color(backgroundRole());

    // The panel itself: its face and its lowered outer bevel.
    painter.fillRect(QRect(0, 0, w, h), face);
    if (outer_lowered_ && bw > 0) qDrawShadePanel(&painter, QRect(0, 0, w, h), palette(), true, bw);

    // The bar: red from the bevel to the fill edge, the panel's colour from there to the bar's
    // right edge. The right and bottom edges move in by twice the bevel width.
    const int right = w - 2 * bw;
    const int bottom = h - 2 * bw;
    const int edge = FillEdge(w, progress_, max_);
    if (edge > bw && bottom > bw)
        painter.fillRect(QRect(QPoint(bw, bw), QPoint(edge - 1, bottom - 1)), Qt::red);
    if (right > edge && bottom > bw) {
        const int from = edge < bw ? bw : edge;
        if (right > from)
            painter.fillRect(QRect(QPoint(from, bw), QPoint(right - 1, bottom - 1)), face);
    }

    // The percentage, centred in the whole client area, over both fills.
    painter.setPen(palette().color(foregroundRole()));
    painter.setFont(font());
    painter.drawText(QRect(0, 0, w, h), Qt::AlignCenter | Qt::TextSingleLine,
                     QString::number(Percent(progress_, max_)) + QLatin1Char('%'));
}

}  // namespace kv
