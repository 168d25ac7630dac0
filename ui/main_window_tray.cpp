// The tray icon of the main window: its tip, its pop-up menu (events 1135 and 1137), showing
// and hiding the window; and files or folders dropped on the window.
#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMenu>
#include <QMimeData>
#include <QSystemTrayIcon>
#include <QUrl>

#include "ui/hints.h"
#include "ui/main_window.h"

namespace kv {

namespace {

// The tip field holds 64 bytes with its terminating NUL.
constexpr int kTipBytes = 63;

// The local paths of a drag's files and folders.
QStringList DroppedPaths(const QMimeData* data) {
    QStringList paths;
    if (data == nullptr || !data->hasUrls()) return paths;
    for (const QUrl& url : data->urls()) {
        if (url.isLocalFile() && !url.toLocalFile().isEmpty()) paths << url.toLocalFile();
    }
    return paths;
}

}  // namespace

void MainWindow::CreateTrayMenu() {
    // The captions stay as they are in every language.
    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName("PopupMenu1");
    MostraKestravo1 = PopupMenu1->addAction("Mostra Kestravo");
    MostraKestravo1->setObjectName("MostraKestravo1");
    NascondiPannello1 = PopupMenu1->addAction("Nascondi Pannello");
    NascondiPannello1->setObjectName("NascondiPannello1");
    PopupMenu1->addSeparator();
    AvviaScansione2 = PopupMenu1->addAction("Avvia Scansione");
    AvviaScansione2->setObjectName("AvviaScansione2");
    SetHint(AvviaScansione2, "101");
    PopupMenu1->addSeparator();
    ChiudiKestravo1 = PopupMenu1->addAction("Chiudi Kestravo");
    ChiudiKestravo1->setObjectName("ChiudiKestravo1");
    PopupMenu1->setToolTipsVisible(false);
    // The menu is a window of its own, so its items' status tips would not reach this
    // window's status label by themselves.
    connect(PopupMenu1, &QMenu::hovered, this,
            [this](QAction* item) { ShowStatusHint(item->statusTip()); });

    connect(MostraKestravo1, &QAction::triggered, this, &MainWindow::MostraKestravo1Click);
    connect(NascondiPannello1, &QAction::triggered, this, &MainWindow::NascondiPannello1Click);
    connect(AvviaScansione2, &QAction::triggered, this,
            [this] { SpeedButton1Click(AvviaScansione2); });
    connect(ChiudiKestravo1, &QAction::triggered, this, [this] { close(); });
}

QString MainWindow::TrayTipText() const {
    const std::int32_t infections = totals_[ScanCounters::VirusesFound];
    QString tip;
    if (infections > 0) {
        tip = QString::fromStdString(catalogue_.Text(209)) + QString::number(infections);
    } else if (engine_.Options.ScanRunning != 0 || scan_in_progress_) {
        tip = QString::fromStdString(catalogue_.Text(210));
    } else {
        tip = "Kestravo Antivirus";
    }
    return CutAtCharacter(tip, kTipBytes);
}

void MainWindow::AddTrayIcon() {
    tray_tip_ = "Kestravo antivirus";
    // A desktop without a tray gets no icon; the program runs on without one.
    if (!QSystemTrayIcon::isSystemTrayAvailable()) return;
    TrayIcon = new QSystemTrayIcon(windowIcon(), this);
    TrayIcon->setObjectName("TrayIcon");
    TrayIcon->setToolTip(tray_tip_);
    connect(TrayIcon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                // Only the right button does anything; a left click does not show the window.
                if (reason == QSystemTrayIcon::Context) {
                    QCoreApplication::postEvent(this,
                                                new TrayNotifyEvent(kTrayIconId, kTrayRightDown));
                }
            });
    TrayIcon->show();
}

void MainWindow::RenewTrayTip() {
    const QString tip = TrayTipText();
    if (tip == tray_tip_) return;
    tray_tip_ = tip;
    if (TrayIcon != nullptr) TrayIcon->setToolTip(tip);
}

void MainWindow::OpenTrayMenu() {
    const QPoint at = QCursor::pos();
    QCoreApplication::processEvents();
    AvviaScansione2->setEnabled(engine_.Options.ScanRunning == 0 && !scan_in_progress_);
    NascondiPannello1->setEnabled(isVisible());
    PopupMenu1->popup(at);
}

void MainWindow::MostraKestravo1Click() {
    show();
    if (isMinimized()) setWindowState(windowState() & ~Qt::WindowMinimized);
    raise();
    activateWindow();
    // A dialog that is open comes to the front over the window.
    QWidget* dialog = QApplication::activeModalWidget();
    if (dialog != nullptr && dialog != this && dialog->isVisible() && dialog->isEnabled()) {
        dialog->raise();
        dialog->activateWindow();
    }
}

void MainWindow::NascondiPannello1Click() {
    // The timer goes on: the clock, the schedule and internet mode keep working.
    hide();
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (!DroppedPaths(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event) {
    // Dropped files and folders join the Resource list, folders with their trailing '/'.
    const QStringList paths = DroppedPaths(event->mimeData());
    for (QString path : paths) {
        const QFileInfo info(path);
        if (!info.exists()) continue;
        if (info.isDir() && !path.endsWith('/')) path += '/';
        AddResource(path);
    }
    if (!paths.isEmpty()) event->acceptProposedAction();
}

}  // namespace kv
