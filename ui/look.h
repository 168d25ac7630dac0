// The program's look: the faces that stand in for the classic Windows ones, and the
// application-wide style.
#pragma once

#include <QFont>
#include <QString>

class QApplication;

namespace kv {

// Metric-compatible faces: "MS Sans Serif" and "Arial", "Times New Roman", "Courier New".
inline const QString kSansFace = QStringLiteral("Liberation Sans");
inline const QString kSerifFace = QStringLiteral("Liberation Serif");
inline const QString kMonoFace = QStringLiteral("Liberation Mono");

// A font whose characters are `pixels` high.
QFont Face(const QString& family, int pixels, bool bold = false);

// The style (Fusion, with the program's tooltip delays) and the default font (the sans face,
// 11 pixels). Called once before any window is created.
void InstallApplicationLook(QApplication& application);

}  // namespace kv
