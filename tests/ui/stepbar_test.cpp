// The progress bar control: where the red fill ends and what percentage it prints, for the
// ordinary cases and the odd ones a caller can produce (no maximum, a value past it).
#include <QImage>
#include <QTest>

#include "tests/ui/ui_test_main.h"
#include "ui/windows/stepbar.h"

namespace {

constexpr QRgb kRed = 0xFFFF0000;

// The colour of every column in the middle row of the bar, left to right.
std::vector<QRgb> MiddleRow(kv::StepBar& bar) {
    const QImage image = bar.grab().toImage().convertToFormat(QImage::Format_RGB32);
    std::vector<QRgb> row;
    for (int x = 0; x < image.width(); ++x) row.push_back(image.pixel(x, 2) | 0xFF000000);
    return row;
}

int RedColumns(const std::vector<QRgb>& row) {
    int count = 0;
    for (QRgb colour : row) count += colour == kRed ? 1 : 0;
    return count;
}

}  // namespace

class StepBarTest : public QObject {
    Q_OBJECT

private slots:
    void RoundsLikeTheSystemAndGuardsZero() {
        QCOMPARE(kv::StepBar::MulDiv(165, 50, 200), 41);  // 41.25
        QCOMPARE(kv::StepBar::MulDiv(3, 1, 2), 2);        // halves away from zero
        QCOMPARE(kv::StepBar::MulDiv(-3, 1, 2), -2);
        QCOMPARE(kv::StepBar::MulDiv(7, 5, 0), -1);
        // The product is taken in 64 bits and a result past int is clamped, not wrapped.
        QCOMPARE(kv::StepBar::MulDiv(2000000000, 2000000000, 2000000000), 2000000000);
        QCOMPARE(kv::StepBar::MulDiv(2000000000, 2000000000, 1), 0x7FFFFFFF);

        QCOMPARE(kv::StepBar::Percent(0, 100), 0);
        QCOMPARE(kv::StepBar::Percent(50, 200), 25);
        QCOMPARE(kv::StepBar::Percent(100, 100), 100);
        QCOMPARE(kv::StepBar::Percent(150, 100), 99);
        QCOMPARE(kv::StepBar::Percent(0, 0), 0);
        QCOMPARE(kv::StepBar::Percent(5, 0), -1);
    }

    void FillsRedUpToTheEdge() {
        kv::StepBar bar;
        bar.setBevelWidth(0);
        bar.resize(165, 18);
        bar.setMax(200);
        bar.setProgress(50);
        std::vector<QRgb> row = MiddleRow(bar);
        QCOMPARE(RedColumns(row), 41);
        QCOMPARE(row[40], kRed);
        QVERIFY(row[41] != kRed);

        bar.setProgress(0);
        QCOMPARE(RedColumns(MiddleRow(bar)), 0);

        // Full: red across the whole client width, over the part left for the unfilled bar.
        bar.setProgress(200);
        QCOMPARE(RedColumns(MiddleRow(bar)), 165);

        // No maximum: nothing red, whatever the progress.
        bar.setMax(0);
        bar.setProgress(7);
        QCOMPARE(RedColumns(MiddleRow(bar)), 0);
    }

    void SettingTheMaximumAloneChangesNothingUntilRepainted() {
        kv::StepBar bar;
        bar.resize(100, 18);
        bar.setMax(100);
        bar.setProgress(50);
        bar.setMax(200);
        QCOMPARE(bar.progress(), 50);
        QCOMPARE(bar.Max(), 200);
        // The next paint uses the new maximum: 50 of 200 over 100 pixels ends at 25.
        const std::vector<QRgb> row = MiddleRow(bar);
        QCOMPARE(row[24], kRed);
        QVERIFY(row[26] != kRed);
    }
};

KV_UI_TEST_MAIN(StepBarTest)
#include "stepbar_test.moc"
