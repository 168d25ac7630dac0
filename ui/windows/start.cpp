#include "ui/windows/start.h"

#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QTimer>

#include "catalogue/catalogue.h"
#include "platform/files.h"
#include "ui/look.h"
#include "ui/pictures.h"

namespace kv {

TForm1::TForm1(QWidget* parent) : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint) {
    setObjectName("Form1");
    setFixedSize(kWidth, kHeight);
    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setSingleShot(true);
    Timer1->setInterval(kCloseAfterMs);
    connect(Timer1, &QTimer::timeout, this, &TForm1::Timer1Timer);
}

std::unique_ptr<TForm1> TForm1::Create(const Catalogue& catalogue, int depth,
                                       const std::string& program_folder, QString& error,
                                       QWidget* parent) {
    QPixmap picture;
    if (depth >= 8) {
        const std::string file = platform::ResolveCaseInsensitive(program_folder, "St2.bmp");
        picture = QPixmap(QString::fromStdString(file));
        if (picture.isNull()) {
            error = QString("Cannot open file %1").arg(QString::fromStdString(file));
            return nullptr;
        }
    }
    std::unique_ptr<TForm1> form(new TForm1(parent));

    form->Image1 = new QLabel(form.get());
    form->Image1->setObjectName("Image1");
    form->Image1->setGeometry(0, 0, kWidth, kHeight);
    form->Image1->setScaledContents(true);

    form->Panel1 = new QFrame(form.get());
    form->Panel1->setObjectName("Panel1");
    form->Panel1->setGeometry(0, 0, kWidth, kHeight);
    form->Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    form->Panel1->setLineWidth(3);
    form->Panel1->setAutoFillBackground(true);
    QPalette panel = form->Panel1->palette();
    panel.setColor(QPalette::Window, QColor(0, 0, 128));
    form->Panel1->setPalette(panel);

    // The title, drawn white over a red copy one pixel to the left and one lower.
    const QFont title = Face(kSansFace, 64, true);
    form->Label1 = new QLabel("Kestravo ", form->Panel1);
    form->Label1->setObjectName("Label1");
    form->Label1->setFont(title);
    form->Label1->setStyleSheet("color: rgb(255, 0, 0);");
    form->Label1->move(135, 61);
    form->Label2 = new QLabel("Kestravo ", form->Panel1);
    form->Label2->setObjectName("Label2");
    form->Label2->setFont(title);
    form->Label2->setStyleSheet("color: rgb(255, 255, 255);");
    form->Label2->move(136, 60);
    form->Label3 = new QLabel(QString::fromStdString(catalogue.Text(112)), form->Panel1);
    form->Label3->setObjectName("Label3");
    form->Label3->setFont(Face(kSansFace, 16, true));
    form->Label3->setStyleSheet("color: rgb(255, 255, 0);");
    form->Label3->setGeometry(140, 150, 340, 24);
    form->Label4 = new QLabel(QString::fromStdString(catalogue.Text(272)), form->Panel1);
    form->Label4->setObjectName("Label4");
    form->Label4->setFont(Face(kSansFace, 13));
    form->Label4->setStyleSheet("color: rgb(255, 255, 255);");
    form->Label4->setGeometry(140, 180, 340, 20);
    form->Image2 = new QLabel(form->Panel1);
    form->Image2->setObjectName("Image2");
    form->Image2->setPixmap(ResourcePicture("about1"));
    form->Image2->setGeometry(40, 60, 72, 84);
    form->Shape1 = new QFrame(form->Panel1);
    form->Shape1->setObjectName("Shape1");
    form->Shape1->setGeometry(40, 250, 428, 100);
    form->Shape1->setStyleSheet(
        "#Shape1 { background-color: rgb(0, 255, 0); border-radius: 18px; }");
    form->Image3 = new QLabel(form->Shape1);
    form->Image3->setObjectName("Image3");
    form->Image3->setPixmap(ResourcePicture("about2"));
    form->Image3->setGeometry(190, 26, 48, 48);

    if (depth < 8) {
        form->Image1->hide();
        form->Panel1->show();
    } else {
        form->Panel1->hide();
        form->Image1->setPixmap(picture);
    }
    return form;
}

void TForm1::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect area = screen->availableGeometry();
        move(area.center() - QPoint(kWidth / 2, kHeight / 2));
    }
    Timer1->start();
}

void TForm1::Timer1Timer() {
    Timer1->stop();
    done(QDialog::Accepted);
}

}  // namespace kv
