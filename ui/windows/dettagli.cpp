#include "ui/windows/dettagli.h"

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QStorageInfo>

#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include "catalogue/catalogue.h"
#include "ui/look.h"
#include "ui/widgets.h"

namespace kv {

TFormDettagli::TFormDettagli(const Catalogue& catalogue, QWidget* parent,
                             const QString& start_folder)
    : QDialog(parent, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint) {
    setObjectName("FormDettagli");
    setFixedSize(kWidth, kHeight);

    Label1 = new QLabel("Directory di destinazione", this);
    Label1->setObjectName("Label1");
    Label1->setFont(Face(kSansFace, 11, true));
    Label1->setGeometry(8, 6, 215, 16);
    Label1->setText(QString::fromStdString(catalogue.Text(181)));
    Panel1 = new QFrame(this);
    Panel1->setObjectName("Panel1");
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Panel1->setGeometry(6, 24, 219, 22);
    Label2 = new QLabel(Panel1);
    Label2->setObjectName("Label2");
    Label2->setGeometry(4, 3, 211, 16);
    DriveComboBox1 = new QComboBox(this);
    DriveComboBox1->setObjectName("DriveComboBox1");
    DriveComboBox1->setGeometry(6, 52, 219, 22);
    DriveComboBox1->addItems(MountedVolumes());
    DirectoryListBox1 = new DirectoryTree(this);
    DirectoryListBox1->setObjectName("DirectoryListBox1");
    DirectoryListBox1->setGeometry(6, 80, 219, 130);
    BitBtn1 = new QPushButton(QString::fromStdString(catalogue.Text(2)), this);
    BitBtn1->setObjectName("BitBtn1");
    BitBtn1->setGeometry(64, 218, 75, 27);
    BitBtn1->setAutoDefault(false);
    BitBtn2 = new QPushButton(QString::fromStdString(catalogue.Text(1)), this);
    BitBtn2->setObjectName("BitBtn2");
    BitBtn2->setGeometry(148, 218, 75, 27);
    BitBtn2->setAutoDefault(false);

    connect(BitBtn2, &QPushButton::clicked, this, &QDialog::accept);
    connect(BitBtn1, &QPushButton::clicked, this, &QDialog::reject);
    connect(DriveComboBox1, &QComboBox::currentIndexChanged, this,
            &TFormDettagli::DriveComboBox1Change);
    connect(DirectoryListBox1, &DirectoryTree::DirectoryChanged, this,
            [this](const QString& folder) {
                Label2->setText(
                    Label2->fontMetrics().elidedText(folder, Qt::ElideMiddle, Label2->width()));
            });
    for (QWidget* child : findChildren<QWidget*>()) child->installEventFilter(this);
    installEventFilter(this);

    // The drive box shows the volume of the starting folder; the tree opens at the folder.
    const QString start =
        !start_folder.isEmpty() && QFileInfo(start_folder).isDir() ? start_folder : HomeFolder();
    const int volume = DriveComboBox1->findText(QStorageInfo(start).rootPath());
    if (volume >= 0) {
        const QSignalBlocker quiet(DriveComboBox1);
        DriveComboBox1->setCurrentIndex(volume);
    }
    if (!DirectoryListBox1->SetDirectory(start))
        DirectoryListBox1->SetDirectory(DriveComboBox1->currentText());
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - QPoint(kWidth / 2, kHeight / 2));
}

QString TFormDettagli::HomeFolder() {
    // A home of "/" (some service accounts) would open the dialog at the root after all.
    auto usable = [](const char* folder) {
        return folder != nullptr && folder[0] == '/' && folder[1] != '\0' &&
               QFileInfo(QString::fromLocal8Bit(folder)).isDir();
    };
    const char* home = ::getenv("HOME");
    if (usable(home)) return QString::fromLocal8Bit(home);
    if (const struct passwd* account = ::getpwuid(::getuid()))
        if (usable(account->pw_dir)) return QString::fromLocal8Bit(account->pw_dir);
    return QDir::tempPath();
}

QString TFormDettagli::SelectedFolder() const {
    return DirectoryListBox1->Directory();
}

void TFormDettagli::DriveComboBox1Change() {
    DirectoryListBox1->SetDirectory(DriveComboBox1->currentText());
}

bool TFormDettagli::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        reject();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

}  // namespace kv
