// The help window: shows the help file "Kestravo.hlp" (HTML) of the program folder at the
// part written in the user's language.
#pragma once

#include <QWidget>

class QTextBrowser;

namespace kv {

class HelpWindow : public QWidget {
    Q_OBJECT

public:
    explicit HelpWindow(QWidget* parent = nullptr);

    // Loads the help file and scrolls to `anchor` ("it", "en"); false when the file cannot be
    // read.
    bool Open(const QString& path, const QString& anchor);

    QTextBrowser* Browser = nullptr;
};

}  // namespace kv
