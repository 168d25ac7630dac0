#include "ui/windows/copia.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <unistd.h>

#include "catalogue/catalogue.h"
#include "containers/word_macros.h"
#include "platform/device.h"
#include "platform/files.h"
#include "platform/process.h"
#include "report/report.h"
#include "ui/look.h"
#include "ui/windows/animations.h"
#include "ui/windows/file_actions.h"
#include "ui/windows/stepbar.h"

namespace kv {

Tfcopia::Tfcopia(const Catalogue& catalogue, ReportList& report, Animations& animations,
                 std::string program_folder, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowMinimizeButtonHint),
      catalogue_(catalogue),
      report_(report),
      animations_(animations),
      program_folder_(platform::WithTrailingSlash(std::move(program_folder))) {
    setObjectName("fcopia");
    setWindowTitle("Azione su files infetti");
    setFixedSize(kWidth, kHeight);
    NotifyDriver = [](unsigned long request) {
        platform::SendDeviceRequest(platform::kDriverDevice, request);
    };

    Image1 = new QLabel(this);
    Image1->setObjectName("Image1");
    Image1->setGeometry(4, 4, 337, 62);
    Image1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Label1 = new QLabel("Destinazione", this);
    Label1->setObjectName("Label1");
    Label1->setFont(Face(kSansFace, 11, true));
    Label1->setGeometry(8, 70, 329, 16);
    Panel1 = new QFrame(this);
    Panel1->setObjectName("Panel1");
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Panel1->setGeometry(6, 88, 333, 22);
    Label2 = new QLabel(Panel1);
    Label2->setObjectName("Label2");
    Label2->setGeometry(4, 3, 325, 16);
    StepBar1 = new StepBar(this);
    StepBar1->setObjectName("StepBar1");
    StepBar1->setGeometry(6, 116, 333, 18);
    BitBtn1 = new QPushButton("&Annulla", this);
    BitBtn1->setObjectName("BitBtn1");
    BitBtn1->setGeometry(135, 142, 75, 27);
    BitBtn1->setAutoDefault(false);

    Timer1 = new QTimer(this);
    Timer1->setSingleShot(true);
    Timer1->setInterval(100);
    Timer2 = new QTimer(this);
    Timer2->setInterval(100);
    connect(BitBtn1, &QPushButton::clicked, this, &Tfcopia::BitBtn1Click);
    connect(Timer1, &QTimer::timeout, this, &Tfcopia::Timer1Timer);
    connect(Timer2, &QTimer::timeout, this, &Tfcopia::Timer2Timer);
    Timer2->start();
}

void Tfcopia::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!started_ && !Timer1->isActive()) Timer1->start();
}

void Tfcopia::BitBtn1Click() {
    BitBtn1->setEnabled(false);
    cancelled_ = true;
}

void Tfcopia::Timer2Timer() {
    Image1->setPixmap(animations_.NextActionPicture());
}

// The window ends only when its work has; Esc and the window manager's close are ignored.
void Tfcopia::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void Tfcopia::closeEvent(QCloseEvent* event) {
    if (!finished_) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void Tfcopia::reject() {
    if (finished_) QDialog::reject();
}

void Tfcopia::SetStep(int message) {
    Label1->setText(QString::fromStdString(catalogue_.Text(static_cast<std::uint16_t>(message))));
}

void Tfcopia::Timer1Timer() {
    Timer1->stop();
    if (started_) return;
    started_ = true;

    if (NotifyDriver) NotifyDriver(1);
    StepBar1->setMax(static_cast<int>(report_.Count()) - 1);
    // The count is read again for every line: the report may change while events run.
    for (std::size_t i = 0; i < report_.Count() && !cancelled_; ++i) {
        QCoreApplication::processEvents();
        ReportLine* line = report_.Line(i);
        if (line == nullptr) break;
        if (line->Kind & (kind::Infected | kind::ArchiveInfected)) {
            Label2->setText(QString::fromStdString(line->Text));
            ActOn(*line);
        }
        StepBar1->setProgress(static_cast<int>(i));
    }
    if (NotifyDriver) NotifyDriver(2);

    finished_ = true;
    Timer2->stop();
    done(cancelled_ ? kResultCancel : kResultOk);
}

bool Tfcopia::ArchiveLineInReport(const ReportLine& line) const {
    if (!line.Archive) return false;
    for (std::size_t i = 0; i < report_.Count(); ++i) {
        const ReportLine* other = report_.Line(i);
        if (other != nullptr && other->File == line.Archive &&
            (other->Kind & kind::ArchiveInfected))
            return true;
    }
    return false;
}

namespace {

// The outcome of an action on the line: a file that is no longer the one the scan met is
// marked not treated; a success takes that mark away again.
void MarkOutcome(ReportLine& line, ActionResult result, std::uint32_t done_bit) {
    if (result == ActionResult::kNotTheScannedFile) {
        line.Kind |= kind::NotTreated;
    } else if (result == ActionResult::kDone) {
        line.Kind = (line.Kind & ~kind::NotTreated) | done_bit;
    }
}

// Shows where a copy went when it had to take a free name.
void NoteCopyName(ReportLine& line, const std::string& destination, const std::string& copy_name,
                  const std::string& own_name) {
    line.CopiedTo =
        copy_name == own_name ? std::string() : platform::PrintableName(destination + copy_name);
}

}  // namespace

void Tfcopia::ActOn(ReportLine& line) {
    if (!line.File) {
        // The line names no file of its own (a member of an archive): its archive's line,
        // when the report holds it, is the one acted upon; the text is never taken for a path.
        if (!ArchiveLineInReport(line)) line.Kind |= kind::NotTreated;
        return;
    }
    platform::ScannedFile& file = *line.File;
    std::string copy_name;
    switch (ActionToDo) {
        case Copy: {
            SetStep(176);
            const ActionResult result = CopyScannedFile(file, Destination, copy_name);
            if (result == ActionResult::kDone)
                NoteCopyName(line, Destination, copy_name, file.name);
            MarkOutcome(line, result, kind::Copied);
            break;
        }
        case Move: {
            if (line.Kind & kind::Moved) break;
            SetStep(177);
            const ActionResult result = MoveScannedFile(file, Destination, copy_name);
            if (result == ActionResult::kDone || result == ActionResult::kCopiedOnly)
                NoteCopyName(line, Destination, copy_name, file.name);
            if (result == ActionResult::kCopiedOnly) {
                // The copy is made but the source could not be removed: copied, not moved.
                line.Kind = (line.Kind & ~kind::NotTreated) | kind::Copied;
                break;
            }
            MarkOutcome(line, result, kind::Moved);
            break;
        }
        case Delete:
            if (line.Kind & kind::Deleted) break;
            SetStep(178);
            MarkOutcome(line, DeleteScannedFile(file), kind::Deleted);
            break;
        case Rename: {
            SetStep(179);
            const std::string old_name = file.name;
            const ActionResult result = RenameScannedFile(file);
            MarkOutcome(line, result, 0);
            if (result == ActionResult::kDone && file.name != old_name) {
                // The line shows the new name in place of the old one.
                const std::size_t slash = line.Text.find_last_of('/');
                line.Text =
                    (slash == std::string::npos ? std::string() : line.Text.substr(0, slash + 1)) +
                    platform::PrintableName(file.name);
            }
            break;
        }
        case Clean:
            if (line.Kind & (kind::Deleted | kind::Moved)) break;
            SetStep(180);
            CleanFile(line);
            break;
        default:
            break;
    }
}

void Tfcopia::CleanFile(ReportLine& line) {
    ScannedFileHandle handle;
    if (!handle.Open(*line.File)) {
        line.Kind |= kind::NotTreated;
        return;
    }
    line.Kind &= ~kind::NotTreated;
    bool treated = false;
    if (line.Kind & (kind::SuspectMacros | kind::MacroVirus)) {
        // The cleaner opens the very file just verified, through its descriptor's entry in
        // /proc: a file put in its place meanwhile is not the one written to.
        treated = ole::CleanDocument("/proc/self/fd/" + std::to_string(handle.Descriptor()));
    } else {
        // The cleaner program gets the file's path as it is on disk (names differ by letter
        // case here, so it is never upper-cased), in the folder just reached without links.
        const std::string cleaner =
            platform::ResolveCaseInsensitive(program_folder_, kCleanerProgram);
        const platform::ProgramResult result = platform::RunProgram(
            {cleaner, line.File->folder + line.File->name}, program_folder_, kCleanerTimeoutMs);
        treated = result.started && !result.timed_out && result.exit_code == 1;
    }
    // The latest attempt decides: a line is never both treated and not treated.
    if (treated) {
        line.Kind = (line.Kind & ~kind::TreatmentFailed) | kind::Treated;
    } else {
        line.Kind = (line.Kind & ~kind::Treated) | kind::TreatmentFailed;
    }
}

}  // namespace kv
