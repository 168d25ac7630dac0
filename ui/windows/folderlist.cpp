#include "ui/windows/folderlist.h"

#include <QComboBox>
#include <QDir>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>

#include "ui/hints.h"
#include "ui/look.h"
#include "ui/widgets.h"

namespace kv {

TFolderList::TFolderList(const Catalogue& catalogue, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    setObjectName("FolderList");
    setFixedSize(kWidth, kHeight);
    setFont(Face(kSansFace, 11));
    setWindowTitle("Internet Download");

    const QFont bold = Face(kSansFace, 11, true);
    Label1 = new QLabel("Directory corrente ", this);
    Label1->setObjectName("Label1");
    Label1->setFont(bold);
    Label1->setGeometry(8, 6, 246, 16);
    SetTag(Label1, 222);
    Panel1 = new QFrame(this);
    Panel1->setObjectName("Panel1");
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Panel1->setGeometry(8, 24, 246, 22);
    Label2 = new QLabel(Panel1);
    Label2->setObjectName("Label2");
    Label2->setFont(bold);
    Label2->setGeometry(4, 3, 238, 16);

    DriveComboBox1 = new QComboBox(this);
    DriveComboBox1->setObjectName("DriveComboBox1");
    DriveComboBox1->setGeometry(8, 52, 246, 22);
    DriveComboBox1->addItems(MountedVolumes());
    DirectoryListBox1 = new DirectoryTree(this);
    DirectoryListBox1->setObjectName("DirectoryListBox1");
    DirectoryListBox1->setGeometry(8, 80, 246, 134);

    BitBtn1 = new QPushButton("&Annulla", this);
    BitBtn1->setObjectName("BitBtn1");
    BitBtn1->setGeometry(92, 222, 78, 26);
    BitBtn1->setAutoDefault(false);
    SetTag(BitBtn1, 2);
    BitBtn2 = new QPushButton("&OK", this);
    BitBtn2->setObjectName("BitBtn2");
    BitBtn2->setGeometry(176, 222, 78, 26);
    BitBtn2->setAutoDefault(false);
    SetTag(BitBtn2, 1);
    ApplyCaptions(this, catalogue);

    connect(BitBtn1, &QPushButton::clicked, this, &QDialog::reject);
    connect(BitBtn2, &QPushButton::clicked, this, &QDialog::accept);
    // Esc cancels wherever the focus is, the folder tree included.
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    escape->setContext(Qt::WindowShortcut);
    connect(escape, &QShortcut::activated, this, &QDialog::reject);

    connect(DirectoryListBox1, &DirectoryTree::DirectoryChanged, this, &TFolderList::ShowFolder);
    connect(DriveComboBox1, &QComboBox::currentIndexChanged, this,
            [this] { DirectoryListBox1->SetDirectory(DriveComboBox1->currentText()); });

    // The tree starts at the program's current folder, on its drive.
    if (!DirectoryListBox1->SetDirectory(QDir::currentPath()))
        DirectoryListBox1->SetDirectory(DriveComboBox1->currentText());
    const int drive = DriveComboBox1->findText(DirectoryListBox1->Root());
    if (drive >= 0 && drive != DriveComboBox1->currentIndex()) {
        QSignalBlocker block(DriveComboBox1);
        DriveComboBox1->setCurrentIndex(drive);
    }
}

QString TFolderList::Folder() const {
    return DirectoryListBox1->Directory();
}

void TFolderList::ShowFolder(const QString& folder) {
    Label2->setText(Label2->fontMetrics().elidedText(folder, Qt::ElideMiddle, Label2->width()));
    Label2->setToolTip(folder);
}

}  // namespace kv
