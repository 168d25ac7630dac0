// The controls of the main window: positions, fonts and colours of the layout, the pages, the
// menus, and the pictures and colours chosen by the colour depth.
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QResizeEvent>
#include <QStackedWidget>
#include <QTabBar>
#include <QTimer>
#include <QToolButton>

#include <functional>

#include "ui/hints.h"
#include "ui/look.h"
#include "ui/main_window.h"
#include "ui/timgbox.h"
#include "ui/widgets.h"
#include "ui/windows/stepbar.h"

namespace kv {

namespace {

const QColor kNavy(0, 0, 128);
const QColor kYellow(255, 255, 0);
const QColor kWhite(255, 255, 255);
const QColor kPaleYellow(235, 209, 88);
const QColor kFormColour(0, 128, 128);

// The client area: tells its owner when its size changes, so the status bar follows.
class ClientArea : public QWidget {
public:
    explicit ClientArea(std::function<void()> resized) : resized_(std::move(resized)) {}

protected:
    void resizeEvent(QResizeEvent* event) override {
        QWidget::resizeEvent(event);
        resized_();
    }

private:
    std::function<void()> resized_;
};

void SetTextColour(QWidget* widget, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, colour);
    palette.setColor(QPalette::ButtonText, colour);
    palette.setColor(QPalette::Text, colour);
    widget->setPalette(palette);
}

QLabel* NewLabel(QWidget* parent, const char* name, const QString& caption, const QFont& font,
                 const QColor& colour, int x, int y) {
    auto* label = new QLabel(caption, parent);
    label->setObjectName(name);
    label->setFont(font);
    SetTextColour(label, colour);
    label->move(x, y);
    label->adjustSize();
    return label;
}

QLabel* NewPicture(QWidget* parent, const char* name, const QRect& geometry) {
    auto* picture = new QLabel(parent);
    picture->setObjectName(name);
    picture->setGeometry(geometry);
    picture->setScaledContents(true);
    return picture;
}

QToolButton* NewSpeedButton(QWidget* parent, const char* name, const QString& caption,
                            const QRect& geometry, const QFont& font) {
    auto* button = new QToolButton(parent);
    button->setObjectName(name);
    button->setText(caption);
    button->setGeometry(geometry);
    button->setFont(font);
    button->setToolButtonStyle(Qt::ToolButtonTextOnly);
    button->setFocusPolicy(Qt::NoFocus);
    SetTextColour(button, kNavy);
    return button;
}

QFrame* NewShape(QWidget* parent, const char* name, const QRect& geometry, const QString& style) {
    auto* shape = new QFrame(parent);
    shape->setObjectName(name);
    shape->setGeometry(geometry);
    shape->setStyleSheet(QString("#%1 { %2 }").arg(name, style));
    shape->hide();
    return shape;
}

QAction* NewItem(QMenu* menu, const char* name, const QString& caption, int help_context,
                 const QKeySequence& shortcut = QKeySequence()) {
    auto* item = new QAction(caption, menu);
    item->setObjectName(name);
    if (help_context > 0) SetHelpContext(item, help_context);
    if (!shortcut.isEmpty()) item->setShortcut(shortcut);
    menu->addAction(item);
    return item;
}

}  // namespace

void MainWindow::CreateControls() {
    auto* client = new ClientArea([this] { LayoutStatusBar(); });
    client->setObjectName("ClientArea");
    client->setAutoFillBackground(true);
    QPalette form = client->palette();
    form.setColor(QPalette::Window, kFormColour);
    client->setPalette(form);
    setCentralWidget(client);

    // Decorative shapes: hidden unless the display has too few colours for the pictures.
    Shape1 = NewShape(client, "Shape1", QRect(18, 8, 206, 64),
                      "background: white; border: 2px solid rgb(0,0,128); border-radius: 10px;");
    Shape2 = NewShape(client, "Shape2", QRect(326, 8, 306, 68),
                      "background: rgb(0,0,128); border-radius: 10px;");
    Shape3 = NewShape(client, "Shape3", QRect(0, 86, 639, 4), "background: rgb(255,255,0);");
    Shape4 = NewShape(client, "Shape4", QRect(20, 94, 356, 278),
                      "background: black; border-radius: 8px;");
    Shape5 = NewShape(client, "Shape5", QRect(386, 90, 244, 98),
                      "background: rgb(0,0,128); border-radius: 8px;");

    Image3 = NewPicture(client, "Image3", QRect(0, 1, 639, 393));

    Label1 = NewLabel(client, "Label1", "Kestravo", Face(kSerifFace, 32, true), kNavy, 27, 13);
    Label1->resize(145, 36);
    Label2 = NewLabel(client, "Label2", "-", Face(kSerifFace, 15, true), kNavy, 31, 48);
    SetTag(Label2, 112);
    Label3 = NewLabel(client, "Label3", "AntiVirus ", Face(kMonoFace, 48, true), kWhite, 336, 15);
    Label3->resize(290, 54);

    Panel1 = new QFrame(client);
    Panel1->setObjectName("Panel1");
    Panel1->setGeometry(26, 99, 344, 240);
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel1->setLineWidth(2);
    Notebook1 = new QStackedWidget(client);
    Notebook1->setObjectName("Notebook1");
    Notebook1->setGeometry(28, 101, 340, 236);
    const char* const page_names[5] = {"Setup", "Report", "Internet", "Viruslist", "Update"};
    for (const char* page_name : page_names) {
        auto* page = new QWidget(Notebook1);
        page->setObjectName(page_name);
        page->setAutoFillBackground(true);
        Notebook1->addWidget(page);
    }
    CreatePage0(Notebook1->widget(0));
    Memo1 = new TimgLBox(Notebook1->widget(1));
    Memo1->setObjectName("Memo1");
    Memo1->setGeometry(0, 0, 340, 236);
    Memo1->SetTag(1);
    Memo1->SetRowHeight(19);
    Memo1->setFont(Face(kSansFace, 11, true));
    Memo1->setSelectionMode(QAbstractItemView::ExtendedSelection);
    {
        QPalette palette = Memo1->palette();
        palette.setColor(QPalette::Base, kNavy);
        palette.setColor(QPalette::Text, kWhite);
        palette.setColor(QPalette::HighlightedText, kWhite);
        Memo1->setPalette(palette);
    }
    CreatePage2(Notebook1->widget(2));
    CreatePage3(Notebook1->widget(3));
    CreatePage4(Notebook1->widget(4));

    TabSet1 = new QTabBar(client);
    TabSet1->setObjectName("TabSet1");
    TabSet1->setGeometry(94, 344, 259, 20);
    TabSet1->setShape(QTabBar::RoundedSouth);
    TabSet1->setFont(Face(kSansFace, 11));
    TabSet1->setDrawBase(false);
    TabSet1->setExpanding(false);
    TabSet1->setUsesScrollButtons(true);
    TabSet1->setAutoFillBackground(true);
    TabSet1->setStyleSheet(
        "QTabBar { background: black; }"
        "QTabBar::tab { background: rgb(192,192,192); color: black; padding: 1px 4px;"
        " border: 1px solid black; border-top: none; margin-right: 1px; }"
        "QTabBar::tab:selected { background: white; }");

    Label19 = NewLabel(client, "Label19", "Risorse da Controllare", Face(kSansFace, 13), kYellow,
                       399, 95);
    SetTag(Label19, 136);
    Image2 = NewPicture(client, "Image2", QRect(391, 108, 233, 75));
    imgLBox2 = new TimgLBox(client);
    imgLBox2->setObjectName("imgLBox2");
    imgLBox2->setGeometry(394, 111, 227, 69);
    imgLBox2->SetRowHeight(16);
    imgLBox2->setSelectionMode(QAbstractItemView::ExtendedSelection);
    imgLBox2->setFont(Face(kSansFace, 11, true));
    SetTextColour(imgLBox2, kNavy);
    SetHint(imgLBox2, "213");
    Label19->raise();

    const QFont big_button = Face(kSerifFace, 24, true);
    SpeedButton1 =
        NewSpeedButton(client, "SpeedButton1", "Scansione", QRect(402, 217, 159, 43), big_button);
    SetTag(SpeedButton1, 137);
    SetHint(SpeedButton1, "101");
    SpeedButton2 =
        NewSpeedButton(client, "SpeedButton2", "Esci", QRect(451, 294, 158, 43), big_button);
    SetTag(SpeedButton2, 138);
    SetHint(SpeedButton2, "102");

    StatusBar1 = new QFrame(client);
    StatusBar1->setObjectName("StatusBar1");
    StatusBar1->setAutoFillBackground(true);
    {
        QPalette face;
        face.setColor(QPalette::Window, QColor(192, 192, 192));
        face.setColor(QPalette::WindowText, Qt::black);
        StatusBar1->setPalette(face);
    }
    status1 = new QLabel(StatusBar1);
    status1->setObjectName("status1");
    status1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    status1->setTextFormat(Qt::PlainText);
    status1->setFont(Face(kSansFace, 11));
    Status2 = new StatusPanel(StatusBar1);
    Status2->setObjectName("Status2");
    Status2->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Status2->setFont(Face(kSansFace, 11));

    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setInterval(1500);

    CreateMenus();
    LayoutStatusBar();
}

void MainWindow::CreatePage0(QWidget* page) {
    Image9 = NewPicture(page, "Image9", QRect(0, 0, 340, 236));
    Panel2 = new QFrame(page);
    Panel2->setObjectName("Panel2");
    Panel2->setGeometry(6, 4, 214, 228);
    Panel2->setFrameStyle(QFrame::Panel | QFrame::Sunken);

    Label20 = NewLabel(Panel2, "Label20", "/", Face(kSansFace, 11, true), kNavy, 9, 10);
    Label20->resize(196, 16);
    SetHint(Label20, "103");
    SpeedButton14 = NewSpeedButton(Panel2, "SpeedButton14", "I", QRect(3, 32, 19, 22),
                                   Face(kSerifFace, 13, true));
    SetHint(SpeedButton14, "109");
    DriveComboBox1 = new QComboBox(Panel2);
    DriveComboBox1->setObjectName("DriveComboBox1");
    DriveComboBox1->setGeometry(23, 32, 184, 22);
    DriveComboBox1->setFont(Face(kSansFace, 12, true));
    DriveComboBox1->addItems(MountedVolumes());
    SetHint(DriveComboBox1, "104");
    DirectoryListBox1 = new DirectoryTree(Panel2);
    DirectoryListBox1->setObjectName("DirectoryListBox1");
    DirectoryListBox1->setGeometry(9, 61, 198, 160);
    DirectoryListBox1->setFont(Face(kSansFace, 12, true));
    SetHint(DirectoryListBox1, "105");

    const QFont button_font = Face(kSansFace, 12, true);
    SpeedButton3 =
        NewSpeedButton(page, "SpeedButton3", "Aggiungi ", QRect(228, 14, 104, 30), button_font);
    SetTag(SpeedButton3, 144);
    SetHint(SpeedButton3, "106");
    SpeedButton4 =
        NewSpeedButton(page, "SpeedButton4", "Rimuovi ", QRect(228, 50, 104, 30), button_font);
    SetTag(SpeedButton4, 145);
    SetHint(SpeedButton4, "107");
    SpeedButton5 =
        NewSpeedButton(page, "SpeedButton5", "Aggiungi file", QRect(228, 86, 104, 30), button_font);
    SetTag(SpeedButton5, 146);
    SetHint(SpeedButton5, "108");
    SpeedButton6 = NewSpeedButton(page, "SpeedButton6", "T", QRect(228, 196, 26, 26), button_font);
    SpeedButton6->setCheckable(true);
    SetHint(SpeedButton6, "217");
    Label6 = NewLabel(page, "Label6", "Usa Timer", Face(kSansFace, 13, true), kNavy, 258, 200);
    SetTag(Label6, 147);
    SetHint(Label6, "217");
}

void MainWindow::CreatePage2(QWidget* page) {
    Image11 = NewPicture(page, "Image11", QRect(0, 0, 340, 236));
    SpeedButton7 =
        NewSpeedButton(page, "SpeedButton7", "@", QRect(10, 10, 26, 26), Face(kSansFace, 13, true));
    SpeedButton7->setCheckable(true);
    SetHint(SpeedButton7, "273");
    Label7 = NewLabel(page, "Label7", "Attiva modalità internet", Face(kSansFace, 13, true), kNavy,
                      42, 15);
    SetTag(Label7, 200);
    Label14 = NewLabel(page, "Label14", "Directory di download da controllare",
                       Face(kSansFace, 11, true), kNavy, 10, 48);
    SetTag(Label14, 201);
    imgLBox3 = new TimgLBox(page);
    imgLBox3->setObjectName("imgLBox3");
    imgLBox3->setGeometry(10, 66, 226, 160);
    imgLBox3->SetRowHeight(16);
    imgLBox3->setSelectionMode(QAbstractItemView::ExtendedSelection);
    imgLBox3->setFont(Face(kSansFace, 11, true));
    SetTextColour(imgLBox3, kNavy);
    BitBtn1 = new QPushButton("Aggiungi", page);
    BitBtn1->setObjectName("BitBtn1");
    BitBtn1->setGeometry(246, 66, 84, 28);
    SetTag(BitBtn1, 202);
    SetHint(BitBtn1, "274");
    BitBtn2 = new QPushButton("Rimuovi", page);
    BitBtn2->setObjectName("BitBtn2");
    BitBtn2->setGeometry(246, 100, 84, 28);
    SetTag(BitBtn2, 203);
    SetHint(BitBtn2, "275");
}

void MainWindow::CreatePage3(QWidget* page) {
    Image10 = NewPicture(page, "Image10", QRect(0, 0, 340, 236));
    Label4 = NewLabel(page, "Label4", "Lista virus ", Face(kSansFace, 13, true), kNavy, 10, 6);
    SetTag(Label4, 143);
    virusListBox = new QListWidget(page);
    virusListBox->setObjectName("virusListBox");
    virusListBox->setGeometry(10, 26, 320, 200);
    virusListBox->setFont(Face(kSansFace, 11));
}

void MainWindow::CreatePage4(QWidget* page) {
    const QFont font = Face(kSansFace, 11, true);
    Label21 = NewLabel(page, "Label21", "Status:", font, kNavy, 10, 12);
    ftpConnection = NewLabel(page, "ftpConnection", "Disconnected", font, kNavy, 90, 12);
    Label22 = NewLabel(page, "Label22", "Kilobytes:", font, kNavy, 10, 32);
    ftpsizelabel = NewLabel(page, "ftpsizelabel", "0", font, kNavy, 90, 32);
    // The update's bar: no outer bevel, a single-line border.
    progressbar1 = new StepBar(page);
    progressbar1->setObjectName("progressbar1");
    progressbar1->setGeometry(10, 54, 320, 18);
    progressbar1->setOuterBevelLowered(false);
    progressbar1->setSingleBorder(true);
    progressbar1->setMax(0);
    progressbar1->setProgress(0);
    Shape6 = new QFrame(page);
    Shape6->setObjectName("Shape6");
    Shape6->setGeometry(10, 80, 320, 118);
    Shape6->setStyleSheet("#Shape6 { background: black; }");
    Shape6->hide();
    memo6 = new QPlainTextEdit(page);
    memo6->setObjectName("memo6");
    memo6->setGeometry(12, 82, 316, 114);
    memo6->setReadOnly(true);
    memo6->hide();
    ConnectBTN = new QPushButton("Connect", page);
    ConnectBTN->setObjectName("ConnectBTN");
    ConnectBTN->setGeometry(160, 204, 80, 26);
    Closebtn = new QPushButton("Close", page);
    Closebtn->setObjectName("Closebtn");
    Closebtn->setGeometry(250, 204, 80, 26);
    Closebtn->setEnabled(false);
}

void MainWindow::CreateMenus() {
    QMenuBar* bar = menuBar();
    bar->setFont(Face(kSansFace, 11));

    File1 = bar->addMenu("&File");
    File1->setObjectName("File1");
    SetHelpContext(File1->menuAction(), 115);
    AvviaScansione1 = NewItem(File1, "AvviaScansione1", "Avvia Scansione", 116,
                              QKeySequence(Qt::CTRL | Qt::Key_A));
    SetHint(AvviaScansione1, "101");
    StopScansione1 =
        NewItem(File1, "StopScansione1", "Stop Scansione", 117, QKeySequence(Qt::CTRL | Qt::Key_C));
    StopScansione1->setEnabled(false);
    mostraSetup1 =
        NewItem(File1, "mostraSetup1", "&Mostra Setup", 118, QKeySequence(Qt::CTRL | Qt::Key_S));
    File1->addSeparator();
    Esci1 = NewItem(File1, "Esci1", "&Esci", 119);

    Report1 = bar->addMenu("&Report");
    Report1->setObjectName("Report1");
    SetHelpContext(Report1->menuAction(), 120);
    MostraReport1 = NewItem(Report1, "MostraReport1", "&Mostra Report", 121,
                            QKeySequence(Qt::CTRL | Qt::Key_R));
    SalvaReport1 = NewItem(Report1, "SalvaReport1", "&Salva su Logfile", 122);
    SalvaReport1->setCheckable(true);
    SetHint(SalvaReport1, "218");
    VisualizzaLogfile1 = NewItem(Report1, "VisualizzaLogfile1", "&Visualizza Logfile", 123);
    SetHint(VisualizzaLogfile1, "219");
    Allargafinestra1 = NewItem(Report1, "Allargafinestra1", "Allarga &finestra", 124,
                               QKeySequence(Qt::CTRL | Qt::Key_G));
    SetHint(Allargafinestra1, "220");
    Stampa1 = NewItem(Report1, "Stampa1", "Stam&pa ", 125);
    SetHint(Stampa1, "221");

    Internet1 = bar->addMenu("&Internet");
    Internet1->setObjectName("Internet1");
    Mostrapannello1 = NewItem(Internet1, "Mostrapannello1", "Mostra pa&nnello", 127);
    Attivatimer1 =
        NewItem(Internet1, "Attivatimer1", "Attiva timer", 128, QKeySequence(Qt::CTRL | Qt::Key_T));
    Attivatimer1->setCheckable(true);
    SetHint(Attivatimer1, "217");
    ModalitInternet1 = NewItem(Internet1, "ModalitInternet1", "Modalità Internet", 129,
                               QKeySequence(Qt::CTRL | Qt::Key_I));
    ModalitInternet1->setCheckable(true);
    SetHint(ModalitInternet1, "214");

    Opzioni1 = bar->addMenu("&Opzioni");
    Opzioni1->setObjectName("Opzioni1");
    SetHelpContext(Opzioni1->menuAction(), 130);
    ControllaZipFiles1 = NewItem(Opzioni1, "ControllaZipFiles1", "Controlla Zip Files", 131);
    ControllaZipFiles1->setCheckable(true);
    ControllaZipFiles1->setChecked(true);
    SetHint(ControllaZipFiles1, "215");
    Controllasottocartelle1 =
        NewItem(Opzioni1, "Controllasottocartelle1", "Controlla sotto cartelle", 206);
    Controllasottocartelle1->setCheckable(true);
    Controllasottocartelle1->setChecked(true);
    SetHint(Controllasottocartelle1, "216");

    Help1 = bar->addMenu("&Help");
    Help1->setObjectName("Help1");
    SetHelpContext(Help1->menuAction(), 132);
    Contents1 = NewItem(Help1, "Contents1", "&Contenuti", 133);
    About1 = NewItem(Help1, "About1", "&About...", 134);

    // Menus show their items' hints in the status bar.
    for (QMenu* menu : {File1, Report1, Internet1, Opzioni1, Help1})
        menu->setToolTipsVisible(false);
}

void MainWindow::LayoutStatusBar() {
    QWidget* client = centralWidget();
    if (client == nullptr || StatusBar1 == nullptr) return;
    const int width = client->width();
    const int height = client->height();
    StatusBar1->setGeometry(0, height - 24, width, 24);
    const int panel = 136;
    status1->setGeometry(2, 2, qMax(0, width - panel - 4), 20);
    Status2->setGeometry(width - panel + 3, 2, 130, 20);
}

void MainWindow::ApplyPictures() {
    Image3->setPixmap(pictures_.Window);
    Image3->setVisible(!pictures_.Window.isNull());
    Image9->setPixmap(pictures_.Page0);
    Image9->setVisible(!pictures_.Page0.isNull());
    Image10->setPixmap(pictures_.Page0);
    Image10->setVisible(!pictures_.Page0.isNull());
    Image11->setPixmap(pictures_.Page2);
    Image11->setVisible(!pictures_.Page2.isNull());
    Image2->setPixmap(pictures_.FolderTree);
    Image2->setVisible(!pictures_.FolderTree.isNull());
    imgLBox2->SetBitmap(pictures_.FolderTree);
    imgLBox3->SetBitmap(pictures_.DownloadList);
    Memo1->SetBitmap(pictures_.ReportBackground);

    // The folder tree lies on its picture too.
    QPalette tree = DirectoryListBox1->palette();
    if (!pictures_.FolderTree.isNull()) {
        tree.setBrush(QPalette::Base, QBrush(pictures_.FolderTree));
    }
    DirectoryListBox1->setPalette(tree);
}

void MainWindow::ApplyColourDepthLook() {
    auto colour_box = [](QWidget* widget, const QColor& base, const QColor& text) {
        QPalette palette = widget->palette();
        palette.setColor(QPalette::Base, base);
        palette.setColor(QPalette::Button, base);
        palette.setColor(QPalette::Text, text);
        palette.setColor(QPalette::ButtonText, text);
        palette.setColor(QPalette::WindowText, text);
        widget->setPalette(palette);
    };
    if (colour_depth_ <= 4) {
        colour_box(DirectoryListBox1, kWhite, kNavy);
        colour_box(DriveComboBox1, kWhite, kNavy);
        for (QFrame* shape : {Shape1, Shape2, Shape3, Shape4, Shape5}) shape->show();
    } else if (colour_depth_ == 8) {
        colour_box(DirectoryListBox1, kPaleYellow, kNavy);
        colour_box(DriveComboBox1, Qt::black, kWhite);
    } else {
        colour_box(DirectoryListBox1, kPaleYellow, kNavy);
        colour_box(DriveComboBox1, kPaleYellow, kNavy);
    }
    // Pages without a picture show the plain face colour.
    for (int i = 0; i < Notebook1->count(); ++i) {
        QWidget* page = Notebook1->widget(i);
        QPalette palette = page->palette();
        palette.setColor(QPalette::Window, QColor(192, 192, 192));
        page->setPalette(palette);
    }
}

}  // namespace kv
