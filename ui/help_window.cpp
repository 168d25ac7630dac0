#include "ui/help_window.h"

#include <QFile>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

namespace kv {

HelpWindow::HelpWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName("HelpWindow");
    setWindowTitle("Kestravo - Help");
    setAttribute(Qt::WA_DeleteOnClose);
    resize(560, 480);
    Browser = new QTextBrowser(this);
    Browser->setObjectName("Browser");
    Browser->setOpenExternalLinks(false);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(Browser);
}

bool HelpWindow::Open(const QString& path, const QString& anchor) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    const QString html = QString::fromUtf8(file.readAll());
    Browser->document()->setBaseUrl(QUrl::fromLocalFile(path));
    Browser->setHtml(html);
    if (!anchor.isEmpty()) Browser->scrollToAnchor(anchor);
    return true;
}

}  // namespace kv
