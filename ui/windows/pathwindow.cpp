#include "ui/windows/pathwindow.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>

#include "catalogue/catalogue.h"
#include "ui/look.h"
#include "ui/pictures.h"

namespace kv {

TForm3::TForm3(const Catalogue& catalogue, int depth, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    setObjectName("Form3");
    setFixedSize(kWidth, kHeight);
    setWindowTitle(QString::fromStdString(catalogue.Text(172)));
    if (depth >= 16) background_ = ResourcePicture("2665");

    Label1 = new QLabel(QString::fromStdString(catalogue.Text(173)), this);
    Label1->setObjectName("Label1");
    Label1->setFont(Face(kSansFace, 11, true));
    Label1->setStyleSheet("color: rgb(0, 0, 128);");
    Label1->setGeometry(8, 8, 300, 16);
    Edit1 = new QLineEdit(this);
    Edit1->setObjectName("Edit1");
    Edit1->setGeometry(8, 26, 302, 22);
    BitBtn1 = new QPushButton(QString::fromStdString(catalogue.Text(2)), this);
    BitBtn1->setObjectName("BitBtn1");
    BitBtn1->setGeometry(150, 66, 75, 27);
    BitBtn1->setAutoDefault(false);
    BitBtn2 = new QPushButton(QString::fromStdString(catalogue.Text(1)), this);
    BitBtn2->setObjectName("BitBtn2");
    BitBtn2->setGeometry(233, 66, 75, 27);
    BitBtn2->setAutoDefault(false);

    connect(Edit1, &QLineEdit::returnPressed, this, &QDialog::accept);
    connect(BitBtn2, &QPushButton::clicked, this, &QDialog::accept);
    connect(BitBtn1, &QPushButton::clicked, this, &QDialog::reject);
    Edit1->setFocus();
}

void TForm3::keyPressEvent(QKeyEvent* event) {
    // Esc does not close this dialog.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TForm3::paintEvent(QPaintEvent* event) {
    QDialog::paintEvent(event);
    if (background_.isNull()) return;
    QPainter painter(this);
    painter.drawPixmap(rect(), background_);
}

}  // namespace kv
