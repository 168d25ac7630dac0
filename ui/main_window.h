// The main window: the Resource list, the pages of the notebook, the report list, the menus,
// the scan command and the scan request. It owns the run's catalogue, report, scan engine,
// pictures and settings; everything runs on the user-interface thread, and a scan keeps the
// window alive by letting pending events run once per folder entry.
#pragma once

#include <QDateTime>
#include <QElapsedTimer>
#include <QEvent>
#include <QListWidget>
#include <QMainWindow>
#include <QPointer>

#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "catalogue/catalogue.h"
#include "engine/engine.h"
#include "platform/change_watch.h"
#include "report/report.h"
#include "ui/pictures.h"
#include "ui/printing.h"
#include "ui/schedule.h"
#include "ui/settings.h"
#include "ui/windows/animations.h"
#include "ui/windows/logviewer.h"
#include "update/ftp_client.h"
#include "update/update_run.h"

class QAction;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QStackedWidget;
class QSystemTrayIcon;
class QTabBar;
class QTimer;
class QToolButton;

namespace kv {

class DialogHost;
class DirectoryTree;
class HintFilter;
class StatusPanel;
class StepBar;
class TimgLBox;

// The scan request: a custom event of number 1136 posted to the main window. WParam is the
// index of the entry to scan, or negative for all entries; LParam is the list whose entries
// are scanned (the Resource list or the Download-folder list).
inline constexpr QEvent::Type kScanRequestEvent = static_cast<QEvent::Type>(1136);

class ScanRequestEvent : public QEvent {
public:
    ScanRequestEvent(int wparam, QListWidget* lparam)
        : QEvent(kScanRequestEvent), WParam(wparam), LParam(lparam) {}
    int WParam;
    QPointer<QListWidget> LParam;
};

// The tray icon's notification: a custom event of number 1135 posted to the main window.
// WParam is the icon's identifier, LParam the mouse message (kTrayMouseMove, kTrayRightDown).
inline constexpr QEvent::Type kTrayNotifyEvent = static_cast<QEvent::Type>(1135);
// Opens the tray icon's pop-up menu: a custom event of number 1137, posted by the handler of
// 1135.
inline constexpr QEvent::Type kTrayMenuEvent = static_cast<QEvent::Type>(1137);
inline constexpr int kTrayIconId = 1135;
inline constexpr int kTrayMouseMove = 512;
inline constexpr int kTrayRightDown = 516;

class TrayNotifyEvent : public QEvent {
public:
    TrayNotifyEvent(int wparam, int lparam)
        : QEvent(kTrayNotifyEvent), WParam(wparam), LParam(lparam) {}
    int WParam;
    int LParam;
};

struct MainWindowOptions {
    // The folder of the program's data files; empty: the folder of the running program.
    std::string ProgramFolder;
    // Bits per pixel of the display; 0: the display's own (see DisplayColourDepth).
    int ColourDepth = 0;
    // The modal exchanges; null: the real dialogs.
    DialogHost* Dialogs = nullptr;
    // The port of the update server on this machine.
    std::uint16_t UpdatePort = update::kDefaultPort;
    // The local date and time the clock shows and the schedule is matched against; null: the
    // system clock.
    std::function<QDateTime()> Clock;
    // The bounds on the subfolder watches of internet mode.
    platform::WatchLimits WatchBounds;
};

// What the engine drains after a boot-area scan: the watches of internet mode.
class WatchTableDrain : public WatchDrain {
public:
    explicit WatchTableDrain(platform::WatchTable& table) : table_(table) {}
    void Drain(int timeout_ms) override { table_.Drain(timeout_ms); }

private:
    platform::WatchTable& table_;
};

class MainWindow : public QMainWindow,
                   private ScanUi,
                   private ReportListener,
                   private update::UpdatePage {
    Q_OBJECT

public:
    // The window's size limits and its size at start, for the whole window with its frame.
    static constexpr int kOuterWidth = 647, kOuterHeight = 465;
    static constexpr int kMinWidth = 319, kMinHeight = 171;
    static constexpr int kMaxWidth = 648, kMaxHeight = 465;
    // What the classic window frame took of those sizes: borders, caption and menu bar. The client
    // area (the pages, the status bar) keeps its size; the menu bar is added at its own height.
    static constexpr int kFrameWidth = 8, kFrameHeight = 46;

    explicit MainWindow(const MainWindowOptions& options = MainWindowOptions());
    ~MainWindow() override;

    // Values offered to other windows.
    const std::string& ProgramFolder() const { return program_folder_; }
    const std::string& TemporaryFolder() const { return temp_folder_; }
    int ColourDepth() const { return colour_depth_; }
    Catalogue& Messages() { return catalogue_; }
    ReportList& Report() { return report_; }
    Engine& ScanEngine() { return engine_; }
    const Pictures& LoadedPictures() const { return pictures_; }
    const ScanCounters& ScanTotals() const { return totals_; }
    int ScanRequestCount() const { return scan_request_count_; }
    // Whether a scan command or a scan request is running (from its first step to its last).
    bool ScanInProgress() const { return scan_in_progress_; }
    // Scan requests that arrived during a scan and wait for it to end.
    std::size_t PendingScanRequests() const { return pending_requests_.size(); }
    // The file the log is saved to.
    std::string LogFileName() const;
    const DesktopSettings& Settings() const { return settings_; }
    // The path typed last in the path dialog.
    const QString& LastTypedPath() const { return last_path_; }
    // The tray tip as it is now: message 209 and the infections of the last scan when it
    // found any, else message 210 while a scan runs, else "Kestravo Antivirus"; cut to the
    // 63 bytes of the tip field at a character boundary.
    QString TrayTipText() const;
    // The tip the icon was last given (kept also when the desktop has no tray).
    const QString& TrayTip() const { return tray_tip_; }
    // Whether an update run is in progress (from the Connect button to its end).
    bool UpdateInProgress() const { return update_run_ != nullptr; }
    // The schedule the clock tick matches (loaded at start and after the schedule dialog).
    const Schedule& LiveSchedule() const { return schedule_; }
    // The watches of internet mode's download folders.
    const platform::WatchTable& DownloadWatches() const { return watches_; }
    // The local date and time of the clock (see MainWindowOptions::Clock).
    QDateTime Now() const;
    // The animations of the auxiliary windows, for the whole run.
    Animations& WindowAnimations() { return animations_; }
    // The widened report window while it is open.
    TForm4* WidenedWindow() const {
        return widened_ != nullptr && !widened_->Closed() ? widened_.data() : nullptr;
    }
    // The log viewers that are open, the widened report window among them.
    std::vector<TForm4*> OpenViewers() const;
    // What a log viewer opened from this window is given.
    ViewerContext MakeViewerContext();
    // How the last print job went.
    const PrintOutcome& LastPrint() const { return last_print_; }

    // The Resource list's add rule: appends `entry` unless an entry equal to it without regard
    // to letter case is there. Returns whether it was added.
    bool AddResource(const QString& entry);
    // The Download-folder list's add rule, the same.
    bool AddDownloadFolder(const QString& entry);
    // The entries of a list box.
    static std::vector<std::string> Entries(const QListWidget* list);

    // ---- Controls, by their form names ----
    QLabel* Image3 = nullptr;  // window background
    QLabel* Label1 = nullptr;  // "Kestravo": the product name
    QLabel* Label2 = nullptr;  // the line under the name (message 112)
    QLabel* Label3 = nullptr;  // "AntiVirus ": the title's second word
    QFrame* Shape1 = nullptr;  // decorative shapes shown at 4 bits per pixel and fewer
    QFrame* Shape2 = nullptr;
    QFrame* Shape3 = nullptr;
    QFrame* Shape4 = nullptr;
    QFrame* Shape5 = nullptr;
    QFrame* Panel1 = nullptr;             // the raised frame around the notebook
    QStackedWidget* Notebook1 = nullptr;  // the five pages, Setup to Update
    QTabBar* TabSet1 = nullptr;           // the page tabs (messages 340 to 344)
    QLabel* Label19 = nullptr;            // "Risorse da Controllare": the Resource list's caption
    QLabel* Image2 = nullptr;             // the picture behind the Resource list's caption
    TimgLBox* imgLBox2 = nullptr;         // the Resource list
    QToolButton* SpeedButton1 = nullptr;  // "Scansione": scans the Resource list
    QToolButton* SpeedButton2 = nullptr;  // exit: stops a scan, else closes the window
    QFrame* StatusBar1 = nullptr;
    QLabel* status1 = nullptr;       // the wide status panel: hints and notices
    StatusPanel* Status2 = nullptr;  // progress caption, clock and the archive gauge
    QTimer* Timer1 = nullptr;        // the 1.5 s tick: clock, schedule, internet mode
    // Page 0: Setup
    QLabel* Image9 = nullptr;                    // page background
    QFrame* Panel2 = nullptr;                    // the sunken frame of the folder chooser
    QLabel* Label20 = nullptr;                   // the current folder of the folder tree
    QToolButton* SpeedButton14 = nullptr;        // "I": the path dialog (type a folder)
    QComboBox* DriveComboBox1 = nullptr;         // mounted file systems
    DirectoryTree* DirectoryListBox1 = nullptr;  // the folder tree
    QToolButton* SpeedButton3 = nullptr;         // "Aggiungi": adds the selected folder
    QToolButton* SpeedButton4 = nullptr;         // "Rimuovi": removes the selected resources
    QToolButton* SpeedButton5 = nullptr;         // "Aggiungi file": adds one file
    QToolButton* SpeedButton6 = nullptr;         // "Usa Timer": schedule toggle
    QLabel* Label6 = nullptr;                    // "Usa Timer", the toggle's caption
    // Page 1: Report
    TimgLBox* Memo1 = nullptr;  // the report list
    // Page 2: Internet
    QLabel* Image11 = nullptr;            // page background
    QToolButton* SpeedButton7 = nullptr;  // internet mode switch
    QLabel* Label7 = nullptr;             // "Attiva modalità internet", the switch's caption
    QLabel* Label14 = nullptr;            // the Download-folder list's caption
    TimgLBox* imgLBox3 = nullptr;         // the Download-folder list
    QPushButton* BitBtn1 = nullptr;       // "Aggiungi": adds a download folder (folder picker)
    QPushButton* BitBtn2 = nullptr;       // "Rimuovi": removes the selected download folder
    // Page 3: Virus list
    QLabel* Image10 = nullptr;            // page background
    QLabel* Label4 = nullptr;             // "Lista virus"
    QListWidget* virusListBox = nullptr;  // the names of "virus.lst"
    // Page 4: Update
    QLabel* Label21 = nullptr;          // "Status:"
    QLabel* ftpConnection = nullptr;    // "Connected" / "Disconnected"
    QLabel* Label22 = nullptr;          // "Kilobytes:"
    QLabel* ftpsizelabel = nullptr;     // bytes of the package received
    StepBar* progressbar1 = nullptr;    // the package download's progress
    QFrame* Shape6 = nullptr;           // the frame around the transcript
    QPlainTextEdit* memo6 = nullptr;    // the update transcript
    QPushButton* ConnectBTN = nullptr;  // "Connect": runs the update
    QPushButton* Closebtn = nullptr;    // "Close": ends the transfer in progress
    // The tray icon (null when the desktop has no tray) and its pop-up menu
    QSystemTrayIcon* TrayIcon = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QAction* MostraKestravo1 = nullptr;
    QAction* NascondiPannello1 = nullptr;
    QAction* AvviaScansione2 = nullptr;
    QAction* ChiudiKestravo1 = nullptr;
    // Menus
    QMenu* File1 = nullptr;
    QAction* AvviaScansione1 = nullptr;
    QAction* StopScansione1 = nullptr;
    QAction* mostraSetup1 = nullptr;
    QAction* Esci1 = nullptr;
    QMenu* Report1 = nullptr;
    QAction* MostraReport1 = nullptr;
    QAction* SalvaReport1 = nullptr;
    QAction* VisualizzaLogfile1 = nullptr;
    QAction* Allargafinestra1 = nullptr;
    QAction* Stampa1 = nullptr;
    QMenu* Internet1 = nullptr;
    QAction* Mostrapannello1 = nullptr;
    QAction* Attivatimer1 = nullptr;
    QAction* ModalitInternet1 = nullptr;
    QMenu* Opzioni1 = nullptr;
    QAction* ControllaZipFiles1 = nullptr;
    QAction* Controllasottocartelle1 = nullptr;
    QMenu* Help1 = nullptr;
    QAction* Contents1 = nullptr;
    QAction* About1 = nullptr;

public slots:
    // The scan command. `sender` is the control that caused it: the Resource list for a
    // double-click (then only its current entry is scanned), anything else for all entries.
    void SpeedButton1Click(QObject* sender = nullptr);
    void imgLBox2DblClick();
    void SpeedButton2Click();
    void SpeedButton3Click();
    void SpeedButton4Click();
    void SpeedButton5Click();
    void SpeedButton14Click();
    void BitBtn1Click();
    void BitBtn2Click();
    // The schedule toggle ("Usa Timer" button and "Attiva timer" menu item) and the internet
    // mode switch (SpeedButton7 and "Modalità Internet"); `sender` tells which control it was.
    void SpeedButton6Click(QObject* sender = nullptr);
    void SpeedButton7Click(QObject* sender = nullptr);
    void TabSet1Click();
    void Timer1Timer();
    void SalvaReport1Click();
    void Contents1Click();
    void About1Click();
    void DriveComboBox1Change();
    void ConnectBTNClick();
    void ClosebtnClick();
    void MostraKestravo1Click();
    void NascondiPannello1Click();
    void VisualizzaLogfile1Click();
    void Allargafinestra1Click();
    void Stampa1Click();

signals:
    // The window has closed: the program ends.
    void Closed();
    // The scan engine's progress text changed.
    void ProgressCaptionChanged(const QString& caption);

protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    // Start-up, in its fixed order.
    void FormCreate();
    void FormShow();
    void CreateControls();
    void CreatePage0(QWidget* page);
    void CreatePage2(QWidget* page);
    void CreatePage3(QWidget* page);
    void CreatePage4(QWidget* page);
    void CreateMenus();
    void CreateTrayMenu();
    // Adds the tray icon with the start tip; renews its tip; opens its menu (event 1137).
    void AddTrayIcon();
    void RenewTrayTip();
    void OpenTrayMenu();
    void ApplyPictures();
    void ApplyColourDepthLook();
    void LayoutStatusBar();

    // The scan request handler, and the requests kept while a scan runs.
    void ScanRequest(int wparam, QListWidget* list);
    void RunPendingRequests();
    // The steps shared by both ways of scanning.
    void ClearReport();
    void AskAboutInfections(bool from_request);
    void EndScan(bool from_command);
    void SelectPage(int index);
    void ShowStatusHint(const QString& hint);
    void SetStatus2(const QString& text);
    void ShowWriteFailure(const std::string& path);
    // Internet mode: builds the watch table from the first entries of the Download-folder
    // list; closes every watch.
    void SwitchInternetOn();
    void CloseWatches();
    // The files the program writes itself (temporary files, the log), whose changes the
    // watches ignore.
    platform::OwnFiles OwnFilesNow() const;
    // Tells the user, once, that a bound left subfolders of the download folders unwatched.
    void ShowWatchLimitNotice();
    // Runs `work` (an action on infected files) with scans held back, like the about window.
    void RunWithoutScans(const std::function<void()>& work);
    void CloseViewers();
    // The target the engine is given for a list entry (folders end in '/').
    std::string ResourceTarget(const std::string& entry, bool from_request) const;
    void ScanOneResource(const std::string& heading, const std::string& target);

    // ScanUi
    void PumpEvents() override;
    void SetProgressCaption(const std::string& caption) override;
    void SetScanButtonEnabled(bool enabled) override;
    void SetStopButtonCaption(const std::string& caption) override;
    void DrawArchiveGauge(std::int64_t done, std::int64_t total) override;
    // ReportListener
    void ReportLineAdded(std::size_t index) override;
    void ReportCleared() override;
    // UpdatePage: the controls of page 4
    void SetSizeText(const std::string& text) override;
    void SetConnectionText(const std::string& text) override;
    void SetButtons(bool connect_enabled, bool close_enabled) override;
    void ClearTranscript() override;
    void AppendLine(const std::string& line) override;
    void SetTranscript(const std::string& text) override;
    void ShowTranscript() override;
    void SetProgressMax(int max) override;
    void SetProgress(int position) override;
    void ShowPackageError() override;
    void ShowExtractProgress(std::uint64_t done, std::uint64_t total) override;
    void Pump() override;

    MainWindowOptions options_;
    std::unique_ptr<DialogHost> own_dialogs_;
    DialogHost* dialogs_ = nullptr;
    std::string program_folder_;
    std::string temp_folder_;
    int colour_depth_ = 24;
    Catalogue catalogue_;
    ReportList report_;
    Engine engine_;
    Pictures pictures_;
    DesktopSettings settings_;
    Schedule schedule_;
    platform::WatchTable watches_;
    WatchTableDrain watch_drain_{watches_};
    // When the watches' events were last read during a scan.
    QElapsedTimer watch_collect_;
    HintFilter* hint_filter_ = nullptr;

    ScanCounters totals_;
    int scan_request_count_ = 0;
    bool scan_in_progress_ = false;
    std::deque<std::pair<int, QPointer<QListWidget>>> pending_requests_;
    int current_tab_ = -1;
    QString last_path_;
    bool closed_ = false;
    bool centred_ = false;
    QPointer<QWidget> help_window_;
    QString tray_tip_;
    // The update's FTP client, and the run while one is in progress.
    update::FtpClient ftp_client_;
    update::UpdateRun* update_run_ = nullptr;
    // The window was asked to close during an update: it closes when the run has ended.
    bool close_after_update_ = false;
    Animations animations_;
    QPointer<TForm4> widened_;
    std::vector<QPointer<TForm4>> viewers_;
    PrintOutcome last_print_;
};

}  // namespace kv
