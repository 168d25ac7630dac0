#include "ui/look.h"

#include <QApplication>
#include <QProxyStyle>
#include <QStyleFactory>

namespace kv {

namespace {

// Tooltips appear half a second after the pointer comes to rest on a control, also right
// after another tooltip has gone (no quick succession of tooltips).
class KestravoStyle : public QProxyStyle {
public:
    explicit KestravoStyle(QStyle* base) : QProxyStyle(base) {}
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* data) const override {
        if (hint == SH_ToolTip_WakeUpDelay) return 500;
        if (hint == SH_ToolTip_FallAsleepDelay) return 0;
        return QProxyStyle::styleHint(hint, option, widget, data);
    }
};

}  // namespace

QFont Face(const QString& family, int pixels, bool bold) {
    QFont font(family);
    font.setPixelSize(pixels);
    font.setBold(bold);
    font.setStyleHint(family == kMonoFace    ? QFont::TypeWriter
                      : family == kSerifFace ? QFont::Serif
                                             : QFont::SansSerif);
    return font;
}

void InstallApplicationLook(QApplication& application) {
    application.setStyle(new KestravoStyle(QStyleFactory::create("Fusion")));
    application.setFont(Face(kSansFace, 11));
}

}  // namespace kv
