// Pictures by colour depth and the drawing of the report list: every line kind drawn at 24,
// 8 and 4 bits per pixel, grabbed to PNG files. Set KESTRAVO_SCREENSHOT_DIR to keep the
// pictures for a look; otherwise they go to a temporary folder that is removed.
#include <QComboBox>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QStackedWidget>
#include <QTabBar>
#include <QTest>

#include "platform/files.h"
#include "tests/ui/ui_test_main.h"
#include "tests/ui/ui_test_support.h"
#include "ui/pictures.h"
#include "ui/report_drawing.h"
#include "ui/timgbox.h"
#include "ui/widgets.h"

using kv::test::DesktopFixture;

namespace {

// Fills the report with one line of every kind a scan writes, and a banner and a summary
// with their pictures.
void FillReport(kv::MainWindow& window) {
    kv::ReportList& report = window.Report();
    kv::WriteBanner(report, window.Messages(), window.LoadedPictures().BlockPictures(),
                    "10.30.00 - 08/12/2025", false);
    kv::WriteResourceHeading(report, window.Messages(), "/home/user/");
    report.AddReportLine("/home/user/eicar.com", "EICAR-Test-File", kv::kind::InfectedFile);
    report.AddReportLine("/home/user/letter.doc", "Concept", kv::kind::MacroVirusDocument);
    report.AddReportLine("/home/user/auto.doc", "", kv::kind::SuspectDocument);
    report.AddReportLine("/home/user/pack.zip", "", kv::kind::InfectedArchive);
    report.AddReportLine("inner/eicar.com", "EICAR-Test-File", kv::kind::InfectedMember);
    report.AddReportLine("Boot Sector ", "Stoned", kv::kind::InfectedBootArea);
    report.AddReportLine("/home/user/cleaned.com", "Virus",
                         kv::kind::InfectedFile | kv::kind::Treated | kv::kind::Copied);
    report.AddReportLine("/home/user/failed.com", "Virus",
                         kv::kind::InfectedFile | kv::kind::TreatmentFailed | kv::kind::Treated |
                             kv::kind::Moved | kv::kind::Deleted);
    kv::ScanCounters counters;
    counters[kv::ScanCounters::FilesFound] = 120;
    counters[kv::ScanCounters::FilesScanned] = 40;
    counters[kv::ScanCounters::VirusesFound] = 3;
    counters[kv::ScanCounters::ArchivesOpened] = 2;
    kv::WriteResourceSummary(report, window.Messages(), window.LoadedPictures().BlockPictures(),
                             counters);
    kv::WriteTotalsBlock(report, window.Messages(), counters);
}

// The row of `box` at `index` as it is drawn, from a grab of the list's viewport.
QImage RowImage(kv::TimgLBox* box, int index) {
    QImage all = box->viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    QRect rect = box->visualRect(box->model()->index(index, 0));
    return all.copy(QRect(0, rect.top(), all.width(), box->RowHeight()));
}

bool HasColour(const QImage& image, const QRect& area, QRgb colour) {
    for (int y = area.top(); y <= area.bottom() && y < image.height(); ++y)
        for (int x = area.left(); x <= area.right() && x < image.width(); ++x)
            if ((image.pixel(x, y) & 0xFFFFFF) == (colour & 0xFFFFFF)) return true;
    return false;
}

// Whether the area holds anything but the colours of `background` at the same places.
bool DiffersFrom(const QImage& image, const QImage& background, const QRect& area) {
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (image.pixel(x, y) != background.pixel(x, y)) return true;
    return false;
}

// The background that row `index` of a list with `picture` shows: its band, laid from the
// left in copies one pixel short of the picture's width apart.
QImage ExpectedBackground(const QPixmap& picture, int index, int row_height, int width) {
    QImage source = picture.toImage().convertToFormat(QImage::Format_RGB32);
    const int bands = source.height() / row_height;
    QImage row(width, row_height, QImage::Format_RGB32);
    for (int y = 0; y < row_height; ++y)
        for (int x = 0; x < width; ++x)
            row.setPixel(x, y,
                         source.pixel(x % (source.width() - 1), (index % bands) * row_height + y));
    return row;
}

}  // namespace

class RenderTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void picturesAreChosenByColourDepth();
    void pictureSizesAndTransparency();
    void windowLookFollowsTheColourDepth();
    void rendersAtEveryDepth_data();
    void rendersAtEveryDepth();
    void rowDrawingRules();
    void selectedRowsAndTheEmptyArea();
    void nothingIsDrawnWhileDrawingIsOff();

private:
    QString OutputFolder();
    std::unique_ptr<kv::test::TempDir> temp_;
};

QString RenderTest::OutputFolder() {
    QString kept = qEnvironmentVariable("KESTRAVO_SCREENSHOT_DIR");
    if (!kept.isEmpty()) {
        QDir().mkpath(kept);
        return kept;
    }
    if (temp_ == nullptr) temp_ = std::make_unique<kv::test::TempDir>();
    return QString::fromStdString(temp_->Path());
}

void RenderTest::initTestCase() {
    QVERIFY(!kv::ResourcePicture("365").isNull());
}

void RenderTest::picturesAreChosenByColourDepth() {
    DesktopFixture fixture;
    kv::Pictures full, eight, four;
    full.Load(24, fixture.ProgramFolder());
    eight.Load(8, fixture.ProgramFolder());
    four.Load(4, fixture.ProgramFolder());

    for (const QPixmap* picture :
         {&full.FolderTree, &full.Window, &full.Page0, &full.Page2, &full.ReportBackground,
          &full.Banner, &full.SummaryClean, &full.SummaryInfected})
        QVERIFY(!picture->isNull());
    QCOMPARE(full.Window.toImage(), kv::ResourcePicture("1165").toImage());
    QCOMPARE(full.ReportBackground.toImage(), kv::ResourcePicture("repo165").toImage());

    // At 8 bits: the 256-colour set, and no report background.
    QVERIFY(eight.ReportBackground.isNull());
    QCOMPARE(eight.FolderTree.toImage(), kv::ResourcePicture("3256").toImage());
    QCOMPARE(eight.Window.toImage(), kv::ResourcePicture("11256").toImage());
    QCOMPARE(eight.Page0.toImage(), kv::ResourcePicture("26256").toImage());
    QCOMPARE(eight.Page2.toImage(), kv::ResourcePicture("4256").toImage());
    QVERIFY(!eight.Banner.isNull() && !eight.SummaryClean.isNull() &&
            !eight.SummaryInfected.isNull());
    QVERIFY(kv::ResourcePicture("repo2256")
                .toImage()
                .convertToFormat(QImage::Format_Indexed8, Qt::ThresholdDither)
                .colorCount() <= 256);

    // Below 8 bits: no picture at all but the Download-folder list's.
    for (const QPixmap* picture :
         {&four.FolderTree, &four.Window, &four.Page0, &four.Page2, &four.ReportBackground,
          &four.Banner, &four.SummaryClean, &four.SummaryInfected})
        QVERIFY(picture->isNull());
    QVERIFY(!four.DownloadList.isNull());
    kv::ReportBlockPictures none = four.BlockPictures();
    QVERIFY(none.Banner == nullptr && none.SummaryClean == nullptr &&
            none.SummaryInfected == nullptr);
    kv::ReportBlockPictures some = full.BlockPictures();
    QCOMPARE(kv::PixmapOfHandle(some.Banner), &full.Banner);
    QCOMPARE(kv::PixmapOfHandle(some.SummaryInfected), &full.SummaryInfected);

    // Names are matched without regard to case.
    QCOMPARE(kv::ResourcePicture("Repo165").toImage(), kv::ResourcePicture("repo165").toImage());
}

void RenderTest::pictureSizesAndTransparency() {
    QCOMPARE(kv::ResourcePicture("365").size(), QSize(198, 225));
    QCOMPARE(kv::ResourcePicture("2665").size(), QSize(320, 239));
    QCOMPARE(kv::ResourcePicture("RepoL").size(), QSize(238, 317));
    QCOMPARE(kv::ResourcePicture("1165").size(), QSize(639, 393));
    for (const char* name : {"repo265", "repo2256"})
        QCOMPARE(kv::ResourcePicture(name).height(), 6 * 19);
    for (const char* name : {"sum265", "sum165", "sum2256", "sum1256"})
        QCOMPARE(kv::ResourcePicture(name).height(), 3 * 19);
    QCOMPARE(kv::ResourcePicture("repo165").height() % 19, 0);
    QCOMPARE(QImage(QString::fromStdString(kv::test::ProgramDir() + "St2.bmp")).size(),
             QSize(508, 399));
    QVERIFY(!QImage(QString::fromStdString(kv::test::ProgramDir() + "40.bmp")).isNull());

    // The banner's corner is pure blue, and drawn it is transparent.
    QImage banner = kv::ResourcePicture("repo265").toImage();
    QCOMPARE(banner.pixel(0, 0) & 0xFFFFFF, 0x0000FFu);
    QImage masked = kv::WithBlueTransparent(kv::ResourcePicture("repo265"))
                        .toImage()
                        .convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(qAlpha(masked.pixel(0, 0)), 0);
    QCOMPARE(qAlpha(masked.pixel(masked.width() / 3, masked.height() / 2)), 255);
    // The 256-colour banner keeps its transparent colour exactly.
    QCOMPARE(kv::ResourcePicture("repo2256").toImage().pixel(0, 0) & 0xFFFFFF, 0x0000FFu);
}

void RenderTest::windowLookFollowsTheColourDepth() {
    DesktopFixture fixture;
    auto full = fixture.MakeWindow(24);
    QVERIFY(!full->Image3->isHidden());
    QVERIFY(full->Shape1->isHidden());
    QVERIFY(!full->Memo1->Bitmap().isNull());
    QVERIFY(!full->imgLBox2->Bitmap().isNull());
    QCOMPARE(full->ColourDepth(), 24);
    fixture.CloseWindow(full);

    auto eight = fixture.MakeWindow(8);
    QVERIFY(eight->Memo1->Bitmap().isNull());
    QVERIFY(!eight->Image3->isHidden());
    QCOMPARE(eight->DriveComboBox1->palette().color(QPalette::Base), QColor(Qt::black));
    QCOMPARE(eight->DriveComboBox1->palette().color(QPalette::Text), QColor(Qt::white));
    fixture.CloseWindow(eight);

    auto four = fixture.MakeWindow(4);
    QVERIFY(four->Image3->isHidden());
    for (QFrame* shape : {four->Shape1, four->Shape2, four->Shape3, four->Shape4, four->Shape5})
        QVERIFY(!shape->isHidden());
    QCOMPARE(four->DriveComboBox1->palette().color(QPalette::Base), QColor(Qt::white));
    QCOMPARE(four->DirectoryListBox1->palette().color(QPalette::Base), QColor(Qt::white));
    QVERIFY(four->imgLBox2->Bitmap().isNull());
    QVERIFY(!four->imgLBox3->Bitmap().isNull());  // "40.bmp" at every depth
    fixture.CloseWindow(four);
}

void RenderTest::rendersAtEveryDepth_data() {
    QTest::addColumn<int>("depth");
    QTest::newRow("24 bits") << 24;
    QTest::newRow("8 bits") << 8;
    QTest::newRow("4 bits") << 4;
}

void RenderTest::rendersAtEveryDepth() {
    QFETCH(int, depth);
    DesktopFixture fixture;
    auto window = fixture.MakeWindow(depth);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    const QString folder = OutputFolder();

    QImage setup = window->grab().toImage();
    QVERIFY(!setup.isNull());
    QCOMPARE(setup.size(), window->size());
    QVERIFY(setup.save(QString("%1/main-%2.png").arg(folder).arg(depth)));

    FillReport(*window);
    window->TabSet1->setCurrentIndex(1);
    QCOMPARE(window->Notebook1->currentIndex(), 1);
    QImage report = window->grab().toImage();
    QVERIFY(report.save(QString("%1/report-%2.png").arg(folder).arg(depth)));
    QImage list = window->Memo1->grab().toImage();
    QVERIFY(list.save(QString("%1/report-list-%2.png").arg(folder).arg(depth)));

    // The report again, wide enough to show every line whole.
    window->Memo1->setParent(nullptr);
    window->Memo1->resize(560, window->Report().Count() * 19 + 40);
    QImage wide = window->Memo1->grab().toImage();
    QVERIFY(wide.save(QString("%1/report-wide-%2.png").arg(folder).arg(depth)));
    window->Memo1->setParent(window->Notebook1->widget(1));
    window->Memo1->setGeometry(0, 0, 340, 236);
    window->Memo1->show();

    for (int page = 2; page <= 4; ++page) {
        window->TabSet1->setCurrentIndex(page);
        QVERIFY(window->grab().toImage().save(
            QString("%1/page%2-%3.png").arg(folder).arg(page).arg(depth)));
    }
    fixture.CloseWindow(window);
}

void RenderTest::rowDrawingRules() {
    DesktopFixture fixture;
    auto window = fixture.MakeWindow(24);
    kv::TimgLBox* memo = window->Memo1;
    memo->resize(400, 300);
    memo->show();
    kv::ReportList& report = window->Report();
    report.AddReportLine("", "", kv::kind::Plain);                     // 0
    report.AddReportLine("/pack.zip", "", kv::kind::InfectedArchive);  // 1
    report.AddReportLine("Files", "12", kv::kind::SummaryValue);       // 2
    report.AddReportLine("Files", "12", kv::kind::SummaryValue);       // 3
    kv::ReportLine* pictured = report.Line(3);
    report.AttachReportPicture(pictured, &window->LoadedPictures().SummaryClean, 1, 168, 16);
    QCOMPARE(memo->count(), 4);

    const QPixmap& background = window->LoadedPictures().ReportBackground;
    const int width = RowImage(memo, 0).width();
    // An empty line shows only its band of the background.
    QCOMPARE(RowImage(memo, 0), ExpectedBackground(background, 0, 19, width));

    // The archive line is yellow and bold.
    QVERIFY(HasColour(RowImage(memo, 1), QRect(16, 0, 200, 19), qRgb(255, 255, 0)));
    QVERIFY(!HasColour(RowImage(memo, 2), QRect(0, 0, 400, 19), qRgb(255, 255, 0)));

    // Label at 16, value at 140: nothing drawn between the two columns of a short label.
    QImage value_row = RowImage(memo, 2);
    QImage band2 = ExpectedBackground(background, 2, 19, width);
    QVERIFY(!DiffersFrom(value_row, band2, QRect(0, 0, 15, 19)));
    QVERIFY(DiffersFrom(value_row, band2, QRect(16, 2, 30, 14)));
    QVERIFY(!DiffersFrom(value_row, band2, QRect(60, 0, 78, 19)));
    QVERIFY(DiffersFrom(value_row, band2, QRect(140, 2, 20, 14)));
    QVERIFY(!DiffersFrom(value_row, band2, QRect(170, 0, 100, 19)));
    // With the summary picture, its slice stands at 168 (its corners are transparent).
    QImage picture_row = RowImage(memo, 3);
    QImage band3 = ExpectedBackground(background, 3, 19, width);
    QVERIFY(!DiffersFrom(picture_row, band3, QRect(60, 0, 78, 19)));
    QVERIFY(DiffersFrom(picture_row, band3, QRect(168, 0, 64, 19)));
    QVERIFY(!DiffersFrom(picture_row, band3, QRect(168, 0, 4, 2)));
    QVERIFY(!DiffersFrom(picture_row, band3, QRect(233, 0, 40, 19)));
    fixture.CloseWindow(window);
}

void RenderTest::selectedRowsAndTheEmptyArea() {
    DesktopFixture fixture;
    auto window = fixture.MakeWindow(24);
    kv::TimgLBox* memo = window->Memo1;
    memo->resize(300, 200);
    memo->show();
    window->Report().AddReportLine("", "", kv::kind::Plain);
    window->Report().AddReportLine("", "", kv::kind::Plain);
    QImage unselected = RowImage(memo, 0);
    // The report (tag 1) keeps its background on a selected row.
    memo->item(0)->setSelected(true);
    QCOMPARE(RowImage(memo, 0), unselected);

    // The area below the rows is tiled with the background, not left in the list's colour.
    QImage all = memo->viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QRgb navy = qRgb(0, 0, 128);
    QVERIFY((all.pixel(10, 100) & 0xFFFFFF) != (navy & 0xFFFFFF));
    QImage band =
        window->LoadedPictures().ReportBackground.toImage().convertToFormat(QImage::Format_RGB32);
    // The first empty row starts at the picture's own height there (38 lies in whole bands).
    QCOMPARE(all.pixel(3, 38 + 4), band.pixel(3, 38 + 4));

    // The Resource list (tag 0) fills a selected entry with the highlight colour.
    kv::TimgLBox* resources = window->imgLBox2;
    resources->show();
    resources->clear();
    resources->addItem("/a/");
    resources->addItem("/b/");
    resources->item(1)->setSelected(true);
    QImage entry = RowImage(resources, 1);
    QCOMPARE(entry.pixel(2, 8) & 0xFFFFFF,
             resources->palette().color(QPalette::Highlight).rgb() & 0xFFFFFF);
    QImage other = RowImage(resources, 0);
    QImage tree =
        window->LoadedPictures().FolderTree.toImage().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(other.pixel(2, 2), tree.pixel(2, 2));
    fixture.CloseWindow(window);
}

void RenderTest::nothingIsDrawnWhileDrawingIsOff() {
    DesktopFixture fixture;
    auto window = fixture.MakeWindow(4);
    kv::TimgLBox* memo = window->Memo1;
    memo->resize(300, 120);
    memo->show();
    window->Report().AddReportLine("visible text", "", kv::kind::Plain);
    QImage drawn = RowImage(memo, 0);
    QVERIFY(HasColour(drawn, QRect(16, 0, 100, 19), qRgb(255, 255, 255)));
    // The records go, the placeholder row stays: it is drawn as nothing.
    window->Report().ClearReportLines();
    memo->addItem(" ");
    QImage empty = RowImage(memo, 0);
    QVERIFY(!HasColour(empty, QRect(0, 0, 300, 19), qRgb(255, 255, 255)));
    fixture.CloseWindow(window);
}

KV_UI_TEST_MAIN(RenderTest)
#include "render_test.moc"
