#include "ui/report_drawing.h"

#include <QPainter>

#include "report/report.h"
#include "ui/pictures.h"
#include "ui/timgbox.h"

namespace kv {

void DrawReportLine(const TimgLBox& box, const ReportList& report, QPainter& painter, int index,
                    const QRect& rect, bool selected) {
    if (!report.DrawingEnabled()) return;
    const ReportLine* line = report.Line(static_cast<std::size_t>(index));
    if (line == nullptr) return;
    painter.save();
    int text_x = 16;

    if (box.RowKeepsBackground(selected)) {
        box.TileRowBackground(painter, index, rect);
    } else {
        painter.fillRect(rect, box.RowColour(selected));
    }

    QFont font = painter.font();
    if ((line->Kind & kind::StyleMask) == 1) {
        // The engine's own lines: 9 points, not bold.
        font.setPixelSize(12);
        font.setBold(false);
    }

    const ReportPicture* picture = line->Picture.get();
    const QPixmap* bitmap = picture != nullptr ? PixmapOfHandle(picture->Bitmap) : nullptr;
    if (bitmap != nullptr && !bitmap->isNull()) {
        // One slice of the picture, a row high; its pure blue is transparent (the mask).
        const int row_height = box.RowHeight();
        painter.drawPixmap(rect.left() + picture->PictureX, rect.top(), *bitmap, 0,
                           picture->Row * row_height, bitmap->width(), row_height);
        text_x = picture->TextX;
    }

    if (line->Kind & kind::ArchiveInfected) {
        painter.setPen(kArchiveLineColour);
        font.setBold(true);
    }
    painter.setFont(font);

    std::string text;
    report.ComposeReportLine(*line, text);
    DrawTextAtTop(painter, rect.left() + text_x, rect.top(), QString::fromStdString(text));
    if (line->Kind & kind::LabelAndValue) {
        const int value_x = static_cast<int>(line->Kind & kind::StyleMask);
        DrawTextAtTop(painter, rect.left() + value_x, rect.top(),
                      QString::fromStdString(line->Detail));
    }
    painter.restore();
}

}  // namespace kv
