#include "ui/hints.h"

#include <QAbstractButton>
#include <QAction>
#include <QHelpEvent>
#include <QLabel>
#include <QMenu>
#include <QToolTip>
#include <QWidget>

#include "catalogue/catalogue.h"
#include "ui/hint_rules.h"

namespace kv {

namespace {

constexpr int kTooltipShownMs = 2500;

QString MessageOf(const Catalogue& catalogue, const QVariant& number) {
    std::optional<std::uint16_t> message = MessageNumberOfTag(number.toLongLong());
    return QString::fromStdString(catalogue.Text(*message));
}

bool HasNumber(const QVariant& number) {
    return number.isValid() && MessageNumberOfTag(number.toLongLong()).has_value();
}

}  // namespace

void SetTag(QObject* control, int tag) {
    control->setProperty("tag", tag);
}

void SetHelpContext(QAction* item, int help_context) {
    item->setProperty("helpContext", help_context);
}

void SetHint(QObject* control, const QString& hint) {
    if (auto* widget = qobject_cast<QWidget*>(control)) {
        widget->setToolTip(hint);
        widget->setStatusTip(hint);
    } else if (auto* action = qobject_cast<QAction*>(control)) {
        action->setStatusTip(hint);
        action->setToolTip(hint);
    }
}

void ApplyCaptions(QWidget* window, const Catalogue& catalogue) {
    const QList<QObject*> owned = window->findChildren<QObject*>();
    for (QObject* object : owned) {
        if (auto* action = qobject_cast<QAction*>(object)) {
            QVariant number = action->property("helpContext");
            if (HasNumber(number)) action->setText(MessageOf(catalogue, number));
            continue;
        }
        QVariant number = object->property("tag");
        if (!HasNumber(number)) continue;
        if (auto* label = qobject_cast<QLabel*>(object)) {
            label->setText(MessageOf(catalogue, number));
        } else if (auto* button = qobject_cast<QAbstractButton*>(object)) {
            button->setText(MessageOf(catalogue, number));
        }
    }
}

QString CutAtCharacter(const QString& text, int max_bytes) {
    const QByteArray bytes = text.toUtf8();
    if (bytes.size() <= max_bytes) return text;
    int end = max_bytes;
    // Back up over continuation bytes to the start of the character that does not fit.
    while (end > 0 && (static_cast<unsigned char>(bytes[end]) & 0xc0) == 0x80) --end;
    return QString::fromUtf8(bytes.left(end));
}

QString TranslateHint(const Catalogue& catalogue, const QString& hint) {
    return QString::fromStdString(HintText(catalogue, hint.toStdString()));
}

bool HintFilter::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::ToolTip) return false;
    auto* widget = qobject_cast<QWidget*>(watched);
    if (widget == nullptr || widget->toolTip().isEmpty()) return false;
    if (QToolTip::isVisible() && shown_for_ != nullptr && shown_for_ != widget) return true;
    auto* help = static_cast<QHelpEvent*>(event);
    QString text = TranslateHint(catalogue_, widget->toolTip());
    if (text.isEmpty()) {
        QToolTip::hideText();
    } else {
        QToolTip::showText(help->globalPos(), text, widget, QRect(), kTooltipShownMs);
        shown_for_ = widget;
    }
    return true;
}

}  // namespace kv
