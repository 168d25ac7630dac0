#include "ui/windows/logviewer.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPainter>
#include <QTimer>

#include "catalogue/catalogue.h"
#include "report/report.h"
#include "ui/dialog_host.h"
#include "ui/look.h"
#include "ui/pictures.h"
#include "ui/report_drawing.h"
#include "ui/timgbox.h"
#include "ui/windows/animations.h"
#include "ui/windows/copia.h"
#include "ui/windows/stepbar.h"

namespace kv {

namespace {

const QColor kNavy(0, 0, 128);

QLabel* NewLabel(QWidget* parent, const char* name, const QString& text, const QFont& font,
                 const QColor& colour) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
    return label;
}

// The lines of a log file: ended by CR, LF or both; a last line end adds no empty line.
QStringList SplitLogLines(const QString& text) {
    QStringList lines;
    QString current;
    bool pending = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == '\r' || c == '\n') {
            lines << current;
            current.clear();
            pending = false;
            if (c == '\r' && i + 1 < text.size() && text.at(i + 1) == '\n') ++i;
        } else {
            current += c;
            pending = true;
        }
    }
    if (pending) lines << current;
    return lines;
}

}  // namespace

TForm4::TForm4(const ViewerContext& context, QWidget* parent)
    : QWidget(parent, Qt::Window), context_(context) {
    setObjectName("Form4");
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle("Logfile");
    resize(kWidth, kHeight);

    Panel1 = new QFrame(this);
    Panel1->setObjectName("Panel1");
    Panel1->setAutoFillBackground(true);
    QPalette band = Panel1->palette();
    band.setColor(QPalette::Window, Qt::black);
    Panel1->setPalette(band);
    Image1 = new QLabel(Panel1);
    Image1->setObjectName("Image1");
    Image1->setGeometry(6, 9, 67, 56);
    Image1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Image1->setToolTip("Pianeta terra");
    Label1 = NewLabel(Panel1, "Label1", "Kestravo ", Face(kMonoFace, 32, true), Qt::white);
    Label2 = NewLabel(Panel1, "Label2", "Opzioni", Face(kSansFace, 11), Qt::white);
    ComboBox1 = new QComboBox(Panel1);
    ComboBox1->setObjectName("ComboBox1");
    ComboBox1->setEditable(false);
    ComboBox1->setFont(Face(kSansFace, 11, true));
    QPalette red = ComboBox1->palette();
    red.setColor(QPalette::ButtonText, Qt::red);
    red.setColor(QPalette::Text, Qt::red);
    ComboBox1->setPalette(red);

    ReportBox = new TimgLBox(this);
    ReportBox->setObjectName("ReportBox");
    ReportBox->SetRowHeight(kRowHeight);
    ReportBox->setFont(Face(kSansFace, 11, true));
    ReportBox->setSelectionMode(QAbstractItemView::ExtendedSelection);
    QPalette rows = ReportBox->palette();
    rows.setColor(QPalette::Base, kNavy);
    rows.setColor(QPalette::Text, Qt::white);
    ReportBox->setPalette(rows);

    // 1. Live, nothing mirrored yet, no menu item to give back.
    // 2. The list's background.
    if (context_.ColourDepth >= 16) ReportBox->SetBitmap(ResourcePicture("RepoL"));
    // 3. The shared globe frames.
    if (context_.Pictures != nullptr) context_.Pictures->ViewerOpened();
    // 4. The action list.
    if (context_.Messages != nullptr) {
        Label2->setText(QString::fromStdString(context_.Messages->Text(175)));
        ComboBox1->clear();
        for (std::uint16_t message = 176; message <= 180; ++message)
            ComboBox1->addItem(QString::fromStdString(context_.Messages->Text(message)));
    }
    ComboBox1->setCurrentIndex(-1);
    ReportBox->SetDrawItemHandler(
        [this](QPainter& painter, int index, const QRect& rect, bool selected) {
            if (file_mode_) {
                ReportBox->DrawTextEntry(painter, index, rect, selected);
            } else if (context_.Report != nullptr) {
                DrawReportLine(*ReportBox, *context_.Report, painter, index, rect, selected);
            }
        });
    // The same action may be chosen again: every choice counts, not only a changed one.
    connect(ComboBox1, &QComboBox::activated, this, &TForm4::ComboBox1Change);

    // 5. The timer.
    Timer1 = new QTimer(this);
    Timer1->setInterval(kTickMs);
    connect(Timer1, &QTimer::timeout, this, &TForm4::Timer1Timer);
    Timer1->start();
}

TForm4::~TForm4() {
    ReleaseShared();
}

void TForm4::ReleaseShared() {
    if (released_) return;
    released_ = true;
    Timer1->stop();
    ReportBox->SetBitmap(QPixmap());
    if (context_.Pictures != nullptr) context_.Pictures->ViewerClosed();
    if (restore_item_ != nullptr) restore_item_->setEnabled(true);
}

void TForm4::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const int w = width();
    Panel1->setGeometry(0, 0, w, 74);
    Label1->setGeometry(qMax(80, w - 200), 2, 196, 34);
    Label2->setGeometry(qMax(80, w - 200), 35, 196, 13);
    ComboBox1->setGeometry(qMax(80, w - 200), 50, 192, 21);
    ReportBox->setGeometry(0, 74, w, height() - 74);
}

void TForm4::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    ReportBox->setFocus();
}

void TForm4::closeEvent(QCloseEvent* event) {
    ReleaseShared();
    QWidget::closeEvent(event);
}

void TForm4::FollowReport(QAction* item) {
    file_mode_ = false;
    restore_item_ = item;
}

void TForm4::SetFileMode() {
    file_mode_ = true;
    Label2->hide();
    ComboBox1->hide();
}

bool TForm4::LoadLogFile(const QString& path, QString& error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QString("Cannot open file %1").arg(path);
        return false;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        error = QString("Cannot open file %1").arg(path);
        return false;
    }
    ReportBox->clear();
    ReportBox->addItems(SplitLogLines(QString::fromUtf8(bytes)));
    ReportBox->SetTag(1);
    ReportBox->addItem(QStringLiteral(" "));
    SetFileMode();
    return true;
}

void TForm4::Timer1Timer() {
    // 1. The globe's next frame.
    if (context_.Pictures != nullptr) {
        if (const QPixmap* frame = context_.Pictures->NextGlobeFrame()) Image1->setPixmap(*frame);
    }
    // 2., 3. Live mode follows the main list: new rows are appended, a cleared list is
    //    copied afresh. The rows carry no text; they are drawn from the report.
    if (file_mode_ || context_.MainList == nullptr) return;
    const int n = context_.MainList->count();
    if (n > mirrored_) {
        const int added = n - mirrored_;
        const bool hourglass = added > kHourglassRows;
        if (hourglass) {
            ++hourglass_shown_;
            QApplication::setOverrideCursor(Qt::WaitCursor);
        }
        QStringList blank;
        blank.reserve(added);
        for (int i = 0; i < added; ++i) blank << QString();
        ReportBox->addItems(blank);
        if (hourglass) QApplication::restoreOverrideCursor();
        mirrored_ = n;
    } else if (n < mirrored_) {
        ReportBox->clear();
        for (int i = 0; i < n; ++i) ReportBox->addItem(context_.MainList->item(i)->text());
        mirrored_ = ReportBox->count();
    }
}

void TForm4::ComboBox1Change(int index) {
    if (file_mode_ || index < 0 || index > Tfcopia::Clean || context_.Report == nullptr ||
        context_.Messages == nullptr || context_.Pictures == nullptr) {
        ComboBox1->setCurrentIndex(-1);
        return;
    }
    const QString text = ComboBox1->itemText(index);
    // Scans wait from the destination question to the end of the action, so the action always
    // runs on the report the user chose from.
    auto choose_and_act = [&] {
        std::string destination;
        if (index == Tfcopia::Copy || index == Tfcopia::Move) {
            std::optional<QString> folder;
            if (context_.Dialogs != nullptr)
                folder = context_.Dialogs->AskDestinationFolder(this, *context_.Messages, text);
            if (!folder || folder->isEmpty()) return;
            // The folder as the user chose it, links resolved now: the copies then reach it
            // without following any link, so a link put on its path later leads nowhere.
            const QString resolved = QFileInfo(*folder).canonicalFilePath();
            destination = (resolved.isEmpty() ? *folder : resolved).toStdString();
            if (destination.back() != '/') destination += '/';
        }
        Tfcopia action(*context_.Messages, *context_.Report, *context_.Pictures,
                       context_.ProgramFolder, this);
        action.ActionToDo = index;
        action.Destination = destination;
        action.setWindowTitle(text);
        action.StepBar1->setMax(static_cast<int>(context_.Report->Count()) - 1);
        action.StepBar1->setProgress(0);
        if (context_.PrepareAction) context_.PrepareAction(action);
        action.exec();
    };
    if (context_.Exclusive) {
        context_.Exclusive(choose_and_act);
    } else {
        choose_and_act();
    }

    // The lines show their new state words in both views.
    ReportBox->viewport()->update();
    if (context_.MainList != nullptr) context_.MainList->viewport()->update();
    ComboBox1->setCurrentIndex(-1);
}

}  // namespace kv
