#include "ui/windows/timerwindow.h"

#include <QComboBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QToolButton>
#include <QVBoxLayout>

#include "catalogue/catalogue.h"
#include "ui/dialog_host.h"
#include "ui/look.h"
#include "ui/pictures.h"

namespace kv {

namespace {

QString Text(const Catalogue& catalogue, int number) {
    return QString::fromStdString(catalogue.Text(static_cast<std::uint16_t>(number)));
}

QLabel* NewLabel(QWidget* parent, const char* name, const QString& text, int x, int y) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setFont(Face(kSansFace, 11, true));
    label->setStyleSheet("color: rgb(0, 0, 128); background: transparent;");
    label->move(x, y);
    label->adjustSize();
    return label;
}

// A whole number as the settings and the boxes take it: decimal with an optional sign, or
// hexadecimal after "0x".
bool ToInteger(const QString& text, std::int32_t& value) {
    return platform::Profile::ParseInteger(text.trimmed().toStdString(), value);
}

}  // namespace

UpDown::UpDown(QLineEdit* associate, int min, int max, int position, QWidget* parent)
    : QWidget(parent), associate_(associate), min_(min), max_(max), position_(position) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    up_ = new QToolButton(this);
    up_->setArrowType(Qt::UpArrow);
    down_ = new QToolButton(this);
    down_->setArrowType(Qt::DownArrow);
    for (QToolButton* button : {up_, down_}) {
        button->setFocusPolicy(Qt::NoFocus);
        button->setAutoRepeat(true);
        button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
        layout->addWidget(button);
    }
    connect(up_, &QToolButton::clicked, this, [this] { Step(1); });
    connect(down_, &QToolButton::clicked, this, [this] { Step(-1); });
    associate_->installEventFilter(this);
    SetPosition(position);
}

void UpDown::SetPosition(int position) {
    position_ = qBound(min_, position, max_);
    associate_->setText(QString::number(position_));
}

void UpDown::Step(int delta) {
    std::int32_t typed = 0;
    int position = ToInteger(associate_->text(), typed) ? typed : position_;
    position += delta;
    if (position > max_) position = min_;
    if (position < min_) position = max_;
    SetPosition(position);
}

bool UpDown::eventFilter(QObject* watched, QEvent* event) {
    if (watched == associate_ && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Up || key == Qt::Key_Down) {
            Step(key == Qt::Key_Up ? 1 : -1);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

TForm::TForm(const Catalogue& catalogue, int depth, const platform::Profile& profile,
             DialogHost& host, QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      profile_(profile),
      host_(host) {
    setObjectName("Form");
    setFixedSize(kWidth, kHeight);
    setFont(Face(kSansFace, 11));
    setWindowTitle(Text(catalogue, 148));
    if (depth >= 16) background_ = ResourcePicture("365");

    Label1 = NewLabel(this, "Label1", Text(catalogue, 149), 10, 8);
    ComboBox1 = new QComboBox(this);
    ComboBox1->setObjectName("ComboBox1");
    ComboBox1->setGeometry(10, 24, 178, 22);
    for (int day = 1; day <= 31; ++day) ComboBox1->addItem(QString::number(day));
    for (int message = 150; message <= 157; ++message) ComboBox1->addItem(Text(catalogue, message));
    ComboBox1->setCurrentIndex(-1);

    Label2 = NewLabel(this, "Label2", Text(catalogue, 258), 10, 54);
    ComboBox2 = new QComboBox(this);
    ComboBox2->setObjectName("ComboBox2");
    ComboBox2->setGeometry(10, 70, 178, 22);
    for (int message = 259; message <= 271; ++message) ComboBox2->addItem(Text(catalogue, message));
    ComboBox2->setCurrentIndex(-1);

    Label3 = NewLabel(this, "Label3", Text(catalogue, 170), 10, 102);
    Edit1 = new QLineEdit(this);
    Edit1->setObjectName("Edit1");
    Edit1->setGeometry(10, 118, 56, 22);
    UpDown1 = new UpDown(Edit1, 0, 23, 1, this);
    UpDown1->setObjectName("UpDown1");
    UpDown1->setGeometry(66, 118, 16, 22);

    Label4 = NewLabel(this, "Label4", Text(catalogue, 171), 104, 102);
    Edit2 = new QLineEdit(this);
    Edit2->setObjectName("Edit2");
    Edit2->setGeometry(104, 118, 56, 22);
    UpDown2 = new UpDown(Edit2, 0, 59, 0, this);
    UpDown2->setObjectName("UpDown2");
    UpDown2->setGeometry(160, 118, 16, 22);

    BitBtn1 = new QPushButton(Text(catalogue, 2), this);
    BitBtn1->setObjectName("BitBtn1");
    BitBtn1->setGeometry(10, 186, 84, 28);
    BitBtn1->setAutoDefault(false);
    BitBtn2 = new QPushButton(Text(catalogue, 1), this);
    BitBtn2->setObjectName("BitBtn2");
    BitBtn2->setGeometry(104, 186, 84, 28);
    BitBtn2->setAutoDefault(false);

    connect(ComboBox1, &QComboBox::activated, this, &TForm::ComboBox1Change);
    connect(BitBtn1, &QPushButton::clicked, this, &QDialog::reject);
    connect(BitBtn2, &QPushButton::clicked, this, &TForm::BitBtn2Click);

    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void TForm::SetSchedule(const Schedule& schedule) {
    auto position = [](QComboBox* list, std::int32_t value) {
        list->setCurrentIndex(value >= 0 && value < list->count() ? value : -1);
    };
    position(ComboBox1, schedule.Day);
    position(ComboBox2, schedule.Month);
    Edit1->setText(QString::number(schedule.Hour));
    Edit2->setText(QString::number(schedule.Min));
}

void TForm::ComboBox1Change() {
    if (ComboBox1->currentIndex() == Schedule::kEveryDay && ComboBox2->currentIndex() < 0)
        ComboBox2->setCurrentIndex(Schedule::kEveryMonth);
}

void TForm::BitBtn2Click() {
    // Day and month first, then the two boxes, each of which must hold a whole number.
    std::int32_t hour = 0, minute = 0;
    bool written = profile_.WriteInteger(kScheduleSection, "Day", ComboBox1->currentIndex()) &&
                   profile_.WriteInteger(kScheduleSection, "Month", ComboBox2->currentIndex());
    if (!written) {
        host_.ShowMessage(this, windowTitle(), QString::fromStdString(profile_.WriteErrorText()));
        return;
    }
    for (auto [edit, value] : {std::pair{Edit1, &hour}, std::pair{Edit2, &minute}}) {
        if (!ToInteger(edit->text(), *value)) {
            host_.ShowMessage(this, windowTitle(),
                              QString("'%1' is not a valid integer value").arg(edit->text()));
            return;
        }
    }
    // An hour or minute that the clock never shows would be refused when read back.
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59) {
        const QString text = hour < 0 || hour > 23 ? Edit1->text() : Edit2->text();
        host_.ShowMessage(
            this, windowTitle(),
            QString("'%1' is out of range (hours 0 to 23, minutes 0 to 59)").arg(text));
        return;
    }
    if (!profile_.WriteInteger(kScheduleSection, "Hour", hour) ||
        !profile_.WriteInteger(kScheduleSection, "Min", minute)) {
        host_.ShowMessage(this, windowTitle(), QString::fromStdString(profile_.WriteErrorText()));
        return;
    }
    accept();
}

void TForm::paintEvent(QPaintEvent* event) {
    if (!background_.isNull()) {
        QPainter painter(this);
        painter.drawPixmap(0, 0, background_);
    }
    QDialog::paintEvent(event);
}

}  // namespace kv
