#include "ui/main_window.h"

#include <algorithm>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QLabel>
#include <QMenuBar>
#include <QPrinter>
#include <QPushButton>
#include <QScreen>
#include <QStackedWidget>
#include <QStatusTipEvent>
#include <QSystemTrayIcon>
#include <QTabBar>
#include <QTimer>
#include <QToolButton>

#include "platform/files.h"
#include "platform/profile.h"
#include "ui/dialog_host.h"
#include "ui/help_window.h"
#include "ui/hints.h"
#include "ui/look.h"
#include "ui/printing.h"
#include "ui/report_drawing.h"
#include "ui/timgbox.h"
#include "ui/widgets.h"

namespace kv {

MainWindow::MainWindow(const MainWindowOptions& options)
    : options_(options), engine_(catalogue_, report_, *this) {
    setObjectName("MainForm");
    if (options_.Dialogs != nullptr) {
        dialogs_ = options_.Dialogs;
    } else {
        own_dialogs_ = std::make_unique<DialogHost>();
        dialogs_ = own_dialogs_.get();
    }
    setWindowTitle("Kestravo");
    setWindowIcon(QIcon(ResourcePicture("kestravo")));
    setFont(Face(kSansFace, 11));
    CreateControls();
    CreateTrayMenu();

    const int menu_height = menuBar()->sizeHint().height();
    setMinimumSize(kMinWidth - kFrameWidth, kMinHeight - kFrameHeight + menu_height);
    setMaximumSize(kMaxWidth - kFrameWidth, kMaxHeight - kFrameHeight + menu_height);
    resize(kOuterWidth - kFrameWidth, kOuterHeight - kFrameHeight + menu_height);

    connect(SpeedButton1, &QToolButton::clicked, this, [this] { SpeedButton1Click(SpeedButton1); });
    connect(AvviaScansione1, &QAction::triggered, this,
            [this] { SpeedButton1Click(AvviaScansione1); });
    connect(imgLBox2, &QListWidget::itemDoubleClicked, this, &MainWindow::imgLBox2DblClick);
    connect(imgLBox2, &TimgLBox::FocusEntered, this, [this] {
        if (TabSet1->currentIndex() != 0) SelectPage(0);
        TabSet1->update();
    });
    connect(SpeedButton2, &QToolButton::clicked, this, &MainWindow::SpeedButton2Click);
    connect(StopScansione1, &QAction::triggered, this, &MainWindow::SpeedButton2Click);
    connect(Esci1, &QAction::triggered, this, &MainWindow::SpeedButton2Click);
    connect(SpeedButton3, &QToolButton::clicked, this, &MainWindow::SpeedButton3Click);
    connect(SpeedButton4, &QToolButton::clicked, this, &MainWindow::SpeedButton4Click);
    connect(SpeedButton5, &QToolButton::clicked, this, &MainWindow::SpeedButton5Click);
    connect(SpeedButton14, &QToolButton::clicked, this, &MainWindow::SpeedButton14Click);
    connect(BitBtn1, &QPushButton::clicked, this, &MainWindow::BitBtn1Click);
    connect(BitBtn2, &QPushButton::clicked, this, &MainWindow::BitBtn2Click);
    connect(SpeedButton6, &QToolButton::clicked, this, [this] { SpeedButton6Click(SpeedButton6); });
    connect(SpeedButton7, &QToolButton::clicked, this, [this] { SpeedButton7Click(SpeedButton7); });
    // The handlers read a menu item's check mark as it was before the click.
    connect(Attivatimer1, &QAction::triggered, this, [this](bool checked) {
        Attivatimer1->setChecked(!checked);
        SpeedButton6Click(Attivatimer1);
    });
    connect(ModalitInternet1, &QAction::triggered, this, [this](bool checked) {
        ModalitInternet1->setChecked(!checked);
        SpeedButton7Click(ModalitInternet1);
    });
    connect(mostraSetup1, &QAction::triggered, this, [this] { SelectPage(0); });
    connect(MostraReport1, &QAction::triggered, this, [this] { SelectPage(1); });
    connect(Mostrapannello1, &QAction::triggered, this, [this] { SelectPage(2); });
    connect(SalvaReport1, &QAction::triggered, this, &MainWindow::SalvaReport1Click);
    connect(Contents1, &QAction::triggered, this, &MainWindow::Contents1Click);
    connect(About1, &QAction::triggered, this, &MainWindow::About1Click);
    connect(VisualizzaLogfile1, &QAction::triggered, this, &MainWindow::VisualizzaLogfile1Click);
    connect(Allargafinestra1, &QAction::triggered, this, &MainWindow::Allargafinestra1Click);
    connect(Stampa1, &QAction::triggered, this, &MainWindow::Stampa1Click);
    connect(Timer1, &QTimer::timeout, this, &MainWindow::Timer1Timer);
    connect(ConnectBTN, &QPushButton::clicked, this, &MainWindow::ConnectBTNClick);
    connect(Closebtn, &QPushButton::clicked, this, &MainWindow::ClosebtnClick);
    connect(DriveComboBox1, &QComboBox::currentIndexChanged, this,
            &MainWindow::DriveComboBox1Change);
    connect(DirectoryListBox1, &DirectoryTree::DirectoryChanged, this,
            [this](const QString& folder) {
                Label20->setText(
                    Label20->fontMetrics().elidedText(folder, Qt::ElideMiddle, Label20->width()));
            });

    FormCreate();
}

MainWindow::~MainWindow() {
    // The viewers use the report and the animations, which go with this object.
    for (QPointer<TForm4>& viewer : viewers_) delete viewer.data();
    viewers_.clear();
    if (hint_filter_ != nullptr) qApp->removeEventFilter(hint_filter_);
    report_.SetListener(nullptr);
}

void MainWindow::FormCreate() {
    // 1. The temporary folder, the colour depth, the report store feeding Memo1, the
    //    activation repaint, the timer.
    temp_folder_ = platform::TempFolder();
    colour_depth_ = options_.ColourDepth > 0 ? options_.ColourDepth : DisplayColourDepth();
    report_.SetListener(this);
    Memo1->SetDrawItemHandler(
        [this](QPainter& painter, int index, const QRect& rect, bool selected) {
            DrawReportLine(*Memo1, report_, painter, index, rect, selected);
        });
    connect(qApp, &QGuiApplication::applicationStateChanged, this,
            [this](Qt::ApplicationState state) {
                if (state != Qt::ApplicationActive) return;
                update();
                Image9->update();
            });
    Timer1->start();

    // 2. The program folder.
    program_folder_ = options_.ProgramFolder.empty()
                          ? platform::ProgramFolder()
                          : platform::WithTrailingSlash(options_.ProgramFolder);
    catalogue_.SetProgramFolder(program_folder_);

    // 3. The Download-folder list.
    std::vector<std::string> downloads;
    if (LoadListFile(platform::ResolveCaseInsensitive(program_folder_, kDownloadListFileRead),
                     downloads)) {
        for (const std::string& entry : downloads) imgLBox3->addItem(QString::fromStdString(entry));
    }

    // 4. The settings.
    settings_.Load(platform::Profile::Settings(), program_folder_);
    SpeedButton6->setChecked(settings_.TimerActive);
    SpeedButton7->setChecked(settings_.InternetActive);
    SalvaReport1->setChecked(settings_.SaveLog);
    catalogue_.SetLanguage(settings_.Language);

    // 5. Captions from the catalogue.
    ApplyCaptions(this, catalogue_);
    if (Label6->text().size() > 10) Label6->setFont(Face(kSansFace, 11, false));
    for (QLabel* label : {Label2, Label4, Label6, Label7, Label14, Label19}) label->adjustSize();

    // 6. The report's suffix texts.
    ReportSuffixes suffixes;
    suffixes.Load(catalogue_);
    report_.SetSuffixes(suffixes);

    // 7. The tabs.
    while (TabSet1->count() > 0) TabSet1->removeTab(0);
    for (std::uint16_t message = 340; message <= 344; ++message)
        TabSet1->addTab(QString::fromStdString(catalogue_.Text(message)));
    TabSet1->setCurrentIndex(0);
    Notebook1->setCurrentIndex(0);
    current_tab_ = 0;
    connect(TabSet1, &QTabBar::currentChanged, this, &MainWindow::TabSet1Click);

    // 8. The pictures for the colour depth.
    pictures_.Load(colour_depth_, program_folder_);
    ApplyColourDepthLook();
    ApplyPictures();

    // 9. Hints.
    hint_filter_ = new HintFilter(catalogue_, this);
    qApp->installEventFilter(hint_filter_);

    // 10. The about window; nothing may start a scan while it is open.
    About1Click();

    // 11. The tray icon, and files and folders dropped on the window; the archive gauge is
    //     Status2 (DrawArchiveGauge). No download folder is watched yet; the engine drains the
    //     watches after a boot-area scan.
    AddTrayIcon();
    setAcceptDrops(true);
    watches_.Clear();
    engine_.Watches = &watch_drain_;

    // 12. The Resource list.
    std::vector<std::string> resources;
    if (LoadListFile(platform::ResolveCaseInsensitive(program_folder_, kResourceListFile),
                     resources)) {
        for (const std::string& entry : resources) imgLBox2->addItem(QString::fromStdString(entry));
    } else {
        imgLBox2->addItem("/");
    }

    // 13. The schedule.
    schedule_ = LoadSchedule(platform::Profile::Settings());

    // 14. The report can be scrolled across 1024 pixels.
    Memo1->SetHorizontalExtent(1024);
}

void MainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    FormShow();
}

void MainWindow::FormShow() {
    if (!centred_) {
        centred_ = true;
        if (QScreen* screen = QGuiApplication::primaryScreen()) {
            QRect area = screen->availableGeometry();
            move(area.center() - QPoint(width() / 2, height() / 2));
        }
    }
    // The folder tree starts at the root of the current drive.
    DirectoryListBox1->SetDirectory(DriveComboBox1->currentText());
    // Internet mode resumes when its button was left down.
    if (watches_.Count() == 0 && SpeedButton7->isChecked()) SpeedButton7Click(nullptr);
}

std::string MainWindow::LogFileName() const {
    return settings_.LogFile.empty() ? DesktopSettings::DefaultLogFile(program_folder_)
                                     : settings_.LogFile;
}

std::vector<std::string> MainWindow::Entries(const QListWidget* list) {
    std::vector<std::string> entries;
    for (int i = 0; i < list->count(); ++i) entries.push_back(list->item(i)->text().toStdString());
    return entries;
}

bool MainWindow::AddResource(const QString& entry) {
    for (int i = 0; i < imgLBox2->count(); ++i) {
        if (imgLBox2->item(i)->text().compare(entry, Qt::CaseInsensitive) == 0) return false;
    }
    imgLBox2->addItem(entry);
    return true;
}

// ---- Resource list and pages ----

void MainWindow::SpeedButton3Click() {
    QString folder = DirectoryListBox1->Directory();
    if (folder.isEmpty()) return;
    if (!folder.endsWith('/')) folder += '/';
    AddResource(folder);
}

void MainWindow::SpeedButton4Click() {
    for (int i = imgLBox2->count() - 1; i >= 0; --i) {
        if (imgLBox2->item(i)->isSelected()) delete imgLBox2->takeItem(i);
    }
    imgLBox2->setFocus();
}

void MainWindow::SpeedButton5Click() {
    std::optional<QString> file = dialogs_->OpenFileName(this);
    if (file && !file->isEmpty()) AddResource(*file);
}

void MainWindow::SpeedButton14Click() {
    std::optional<QString> path = dialogs_->AskPath(this, catalogue_, colour_depth_, last_path_);
    if (!path || path->isEmpty()) return;
    last_path_ = *path;
    // The path is opened as typed: folder names differ by case on this system.
    if (!DirectoryListBox1->SetDirectory(*path)) {
        dialogs_->ShowMessage(this, windowTitle(), QString("Cannot open folder %1").arg(*path));
        return;
    }
    const int drive = DriveComboBox1->findText(DirectoryListBox1->Root());
    if (drive >= 0 && drive != DriveComboBox1->currentIndex()) {
        QSignalBlocker block(DriveComboBox1);
        DriveComboBox1->setCurrentIndex(drive);
    }
}

void MainWindow::DriveComboBox1Change() {
    DirectoryListBox1->SetDirectory(DriveComboBox1->currentText());
}

void MainWindow::SelectPage(int index) {
    if (TabSet1->currentIndex() != index) {
        TabSet1->setCurrentIndex(index);  // runs TabSet1Click
    }
}

void MainWindow::TabSet1Click() {
    const int index = TabSet1->currentIndex();
    if (index == current_tab_) return;
    current_tab_ = index;
    Notebook1->setCurrentIndex(index);
    if (index == 2) imgLBox3->setFocus();
    if (index == 1 && isVisible()) Memo1->setFocus();
    if (index == 3) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        Notebook1->repaint();
        QCoreApplication::processEvents();
        virusListBox->clear();
        std::vector<std::string> names;
        if (LoadListFile(platform::ResolveCaseInsensitive(program_folder_, "virus.lst"), names)) {
            for (const std::string& name : names)
                virusListBox->addItem(QString::fromStdString(name));
        } else {
            virusListBox->addItem(QString::fromStdString(catalogue_.Text(199)));
        }
        QApplication::restoreOverrideCursor();
    } else {
        virusListBox->clear();
    }
    TabSet1->update();
}

// ---- Menus, timer, status ----

void MainWindow::SpeedButton2Click() {
    if (engine_.Options.ScanRunning != 0 || scan_in_progress_) {
        engine_.Options.StopRequested = 1;
        return;
    }
    close();
}

void MainWindow::SetStatus2(const QString& text) {
    Status2->SetGauge(-1);
    Status2->setText(text);
}

void MainWindow::ShowStatusHint(const QString& hint) {
    if (engine_.Options.ScanRunning != 0 || scan_in_progress_) return;
    status1->setText(TranslateHint(catalogue_, hint));
}

void MainWindow::ShowWriteFailure(const std::string& path) {
    dialogs_->ShowMessage(this, windowTitle(),
                          QString("Unable to write to %1").arg(QString::fromStdString(path)));
}

void MainWindow::SalvaReport1Click() {
    // The menu item has already inverted its check mark.
    if (!SalvaReport1->isChecked()) {
        settings_.SaveLog = false;
        return;
    }
    std::optional<QString> name =
        dialogs_->SaveLogFileName(this, QString::fromStdString(LogFileName()));
    if (!name || name->isEmpty()) {
        SalvaReport1->setChecked(false);
        return;
    }
    settings_.SaveLog = true;
    settings_.LogFile = name->toStdString();
    if (report_.SaveReport(settings_.LogFile) != 0) ShowWriteFailure(settings_.LogFile);
}

void MainWindow::Contents1Click() {
    const std::string file = platform::ResolveCaseInsensitive(program_folder_, "Kestravo.hlp");
    if (help_window_ != nullptr) {
        help_window_->show();
        help_window_->raise();
        help_window_->activateWindow();
        return;
    }
    auto* help = new HelpWindow(this);
    if (!help->Open(QString::fromStdString(file), catalogue_.Language() == 2 ? "en" : "it")) {
        delete help;
        dialogs_->ShowMessage(this, windowTitle(),
                              QString("Cannot open file %1").arg(QString::fromStdString(file)));
        return;
    }
    help_window_ = help;
    help->show();
}

void MainWindow::About1Click() {
    const std::uint8_t saved = engine_.Options.ScanRunning;
    engine_.Options.ScanRunning = 1;
    RenewTrayTip();
    dialogs_->ShowAbout(this, catalogue_, colour_depth_, program_folder_);
    engine_.Options.ScanRunning = saved;
    RenewTrayTip();
    if (!scan_in_progress_ && saved == 0) RunPendingRequests();
}

// ---- Log viewers and printing ----

ViewerContext MainWindow::MakeViewerContext() {
    ViewerContext context;
    context.Messages = &catalogue_;
    context.Report = &report_;
    context.MainList = Memo1;
    context.Pictures = &animations_;
    context.Dialogs = dialogs_;
    context.ProgramFolder = program_folder_;
    context.ColourDepth = colour_depth_;
    context.Exclusive = [this](const std::function<void()>& work) { RunWithoutScans(work); };
    return context;
}

std::vector<TForm4*> MainWindow::OpenViewers() const {
    std::vector<TForm4*> open;
    for (const QPointer<TForm4>& viewer : viewers_) {
        if (viewer != nullptr && !viewer->Closed()) open.push_back(viewer.data());
    }
    return open;
}

void MainWindow::CloseViewers() {
    for (QPointer<TForm4>& viewer : viewers_) {
        if (viewer != nullptr) viewer->close();
    }
    viewers_.clear();
}

void MainWindow::RunWithoutScans(const std::function<void()>& work) {
    const std::uint8_t saved = engine_.Options.ScanRunning;
    engine_.Options.ScanRunning = 1;
    work();
    engine_.Options.ScanRunning = saved;
    if (!scan_in_progress_ && saved == 0) RunPendingRequests();
}

void MainWindow::Allargafinestra1Click() {
    // At most one widened window: while it is open the item is disabled.
    if (!Allargafinestra1->isEnabled() || WidenedWindow() != nullptr) return;
    auto* viewer = new TForm4(MakeViewerContext(), this);
    if (colour_depth_ >= 16) viewer->ReportBox->SetBitmap(pictures_.ReportBackground);
    viewer->setWindowTitle(QString::fromStdString(catalogue_.Text(174)));
    viewer->ReportBox->SetTag(1);
    viewer->ReportBox->SetHorizontalExtent(1024);
    viewer->FollowReport(Allargafinestra1);
    Allargafinestra1->setEnabled(false);
    widened_ = viewer;
    std::erase_if(viewers_, [](const QPointer<TForm4>& open) { return open == nullptr; });
    viewers_.emplace_back(viewer);
    viewer->show();
    viewer->raise();
    viewer->activateWindow();
    QCoreApplication::processEvents();
}

void MainWindow::VisualizzaLogfile1Click() {
    std::optional<QString> name =
        dialogs_->OpenLogFileName(this, QString::fromStdString(LogFileName()));
    if (!name || name->isEmpty()) return;
    auto* viewer = new TForm4(MakeViewerContext(), this);
    QString error;
    if (!viewer->LoadLogFile(*name, error)) {
        delete viewer;
        dialogs_->ShowMessage(this, windowTitle(), error);
        return;
    }
    std::erase_if(viewers_, [](const QPointer<TForm4>& open) { return open == nullptr; });
    viewers_.emplace_back(viewer);
    viewer->show();
}

void MainWindow::Stampa1Click() {
    QPrinter printer;
    if (!dialogs_->ChoosePrinter(this, printer)) return;
    last_print_ = PrintReport(report_, printer);
    if (!last_print_.ok) {
        const QString where =
            printer.outputFileName().isEmpty() ? printer.printerName() : printer.outputFileName();
        dialogs_->ShowMessage(this, windowTitle(), QString("Unable to print to %1").arg(where));
    }
}

bool MainWindow::event(QEvent* event) {
    if (event->type() == kScanRequestEvent) {
        auto* request = static_cast<ScanRequestEvent*>(event);
        if (scan_in_progress_ || engine_.Options.ScanRunning != 0 || update_run_ != nullptr) {
            // Never a scan inside a scan, nor inside an update (its transfer would stall for
            // the whole scan): the request waits for the running one to end.
            // The same request waiting already covers this one: a folder is scanned once,
            // however often it changed in the meantime.
            const std::pair<int, QPointer<QListWidget>> waiting(request->WParam, request->LParam);
            if (std::find(pending_requests_.begin(), pending_requests_.end(), waiting) ==
                pending_requests_.end())
                pending_requests_.push_back(waiting);
        } else if (request->LParam != nullptr) {
            ScanRequest(request->WParam, request->LParam);
        }
        return true;
    }
    if (event->type() == kTrayNotifyEvent) {
        const int message = static_cast<TrayNotifyEvent*>(event)->LParam;
        if (message == kTrayMouseMove) {
            RenewTrayTip();
        } else if (message == kTrayRightDown) {
            QCoreApplication::postEvent(this, new QEvent(kTrayMenuEvent));
        }
        return true;
    }
    if (event->type() == kTrayMenuEvent) {
        OpenTrayMenu();
        return true;
    }
    if (event->type() == QEvent::StatusTip) {
        ShowStatusHint(static_cast<QStatusTipEvent*>(event)->tip());
        return true;
    }
    return QMainWindow::event(event);
}

void MainWindow::RunPendingRequests() {
    while (!pending_requests_.empty()) {
        auto [wparam, list] = pending_requests_.front();
        pending_requests_.pop_front();
        if (list != nullptr) QCoreApplication::postEvent(this, new ScanRequestEvent(wparam, list));
    }
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // A modal dialog lives inside the event handler that opened it: closing under it would
    // destroy it while it still runs. The dialog comes to the front instead.
    if (QWidget* dialog = QApplication::activeModalWidget(); dialog != nullptr && dialog != this) {
        event->ignore();
        MostraKestravo1Click();
        return;
    }
    if (engine_.Options.ScanRunning != 0 || scan_in_progress_) {
        engine_.Options.StopRequested = 1;
        event->ignore();
        return;
    }
    if (update_run_ != nullptr) {
        // The update runs inside this window's event handling: it ends its transfer, and the
        // window closes once the run is over.
        close_after_update_ = true;
        update_run_->Abort();
        event->ignore();
        return;
    }
    if (closed_) {
        event->accept();
        return;
    }
    // Whatever cannot be written is reported, and the window closes all the same: keeping it
    // open would not make the folder writable.
    QStringList failures;
    const std::string list_file =
        platform::ResolveCaseInsensitive(program_folder_, kResourceListFile);
    if (!SaveListFile(list_file, Entries(imgLBox2)))
        failures << QString("Unable to write to %1").arg(QString::fromStdString(list_file));
    Timer1->stop();
    settings_.TimerActive = SpeedButton6->isChecked();
    settings_.InternetActive = SpeedButton7->isChecked();
    settings_.SaveLog = SalvaReport1->isChecked();
    std::string error;
    if (!settings_.Save(platform::Profile::Settings(), error))
        failures << QString::fromStdString(error);
    const std::string auto_file =
        platform::ResolveCaseInsensitive(program_folder_, kDownloadListFileWrite);
    if (!SaveListFile(auto_file, Entries(imgLBox3)))
        failures << QString("Unable to write to %1").arg(QString::fromStdString(auto_file));
    if (!failures.isEmpty()) dialogs_->ShowMessage(this, windowTitle(), failures.join('\n'));

    CloseViewers();
    Memo1->clear();
    report_.ClearReportLines();
    if (help_window_ != nullptr) help_window_->close();
    if (TrayIcon != nullptr) TrayIcon->hide();
    closed_ = true;
    event->accept();
    emit Closed();
}

// ---- What the scan engine asks of the window ----

void MainWindow::PumpEvents() {
    QCoreApplication::processEvents();
    // The clock tick does not poll the watches during a scan; their events are read here now
    // and then, so the scan's own temporary files cannot overflow the system's event queue
    // (which would count as a change and start the scan again).
    if (watches_.Count() > 0 && (!watch_collect_.isValid() || watch_collect_.elapsed() >= 250)) {
        watch_collect_.start();
        watches_.Collect();
    }
}

void MainWindow::SetProgressCaption(const std::string& caption) {
    const QString text = QString::fromStdString(caption);
    status1->setText(text);
    emit ProgressCaptionChanged(text);
}

void MainWindow::SetScanButtonEnabled(bool enabled) {
    SpeedButton1->setEnabled(enabled);
}

void MainWindow::SetStopButtonCaption(const std::string& caption) {
    SpeedButton2->setText(QString::fromStdString(caption));
}

void MainWindow::DrawArchiveGauge(std::int64_t done, std::int64_t total) {
    std::int64_t percent = total > 0 ? done * 100 / total : 0;
    if (percent < 0) percent = 0;
    if (percent > 100) percent = 100;
    Status2->SetGauge(static_cast<int>(percent));
}

void MainWindow::ReportLineAdded(std::size_t) {
    Memo1->addItem(QStringLiteral(" "));
}

void MainWindow::ReportCleared() {
    Memo1->clear();
}

}  // namespace kv
