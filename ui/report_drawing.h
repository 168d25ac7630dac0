// The drawing of one report row from its report line record: background, picture slice,
// fonts and colours by the line's kind, the composed text and the value column.
#pragma once

#include <QColor>
#include <QRect>

class QPainter;

namespace kv {

class ReportList;
class TimgLBox;

// The yellow of a line that names an archive holding infections.
inline const QColor kArchiveLineColour(255, 255, 0);

// Draws row `index` of `box` from the record with the same index of `report`. Draws nothing
// while the report's drawing is off or when there is no such record.
void DrawReportLine(const TimgLBox& box, const ReportList& report, QPainter& painter, int index,
                    const QRect& rect, bool selected);

}  // namespace kv
