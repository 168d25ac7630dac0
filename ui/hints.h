// Captions and hints from the message catalogue. A control carries its message number as the
// dynamic property "tag" (labels and buttons) and a menu item as "helpContext"; when a window
// is created every such control of it takes the text of that number as its caption. Hints are
// kept as the controls' tooltips and status tips; a hint of one to three digits is a message
// number, replaced by its text when it is shown.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

class QAction;
class QWidget;

namespace kv {

class Catalogue;

// Gives a control or a menu item its message number.
void SetTag(QObject* control, int tag);
void SetHelpContext(QAction* item, int help_context);
// Gives a control (or a menu item) a hint: a message number or a text.
void SetHint(QObject* control, const QString& hint);

// Sets the captions of every labelled control, button and menu item that `window` owns whose
// tag or help-context number is greater than 0, even to an empty text. Others keep theirs.
void ApplyCaptions(QWidget* window, const Catalogue& catalogue);

// `text` cut to at most `max_bytes` bytes of UTF-8, never inside a character (for the fixed
// fields that texts are copied into, such as the tray tip).
QString CutAtCharacter(const QString& text, int max_bytes);

// The text a hint shows.
QString TranslateHint(const Catalogue& catalogue, const QString& hint);

// Shows tooltips with numbered hints translated, for 2.5 seconds. While one is shown, the
// tooltip of another control does not replace it: that one waits until the pointer rests on
// it again after the shown one has gone. Installed on the application by the main window.
class HintFilter : public QObject {
public:
    HintFilter(const Catalogue& catalogue, QObject* parent)
        : QObject(parent), catalogue_(catalogue) {}
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    const Catalogue& catalogue_;
    QPointer<QWidget> shown_for_;
};

}  // namespace kv
