// The figures of the status display: rates, the rounded power, the end-date estimate, and the
// four icon pictures.
#include <QGuiApplication>
#include <QImage>
#include <QTest>

#include "gui/FormulaIcons.h"
#include "gui/StatusText.h"

using namespace vontal;

class StatusTextTest : public QObject {
    Q_OBJECT
private slots:
    void roundedPower_data() {
        QTest::addColumn<qint64>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("a day at 300,000 k/s") << qint64(25'920'000'000) << "3.10^10";
        QTest::newRow("26e9") << qint64(26'000'000'000) << "3.10^10";
        QTest::newRow("rounds up a decade") << qint64(96'000) << "1.10^5";
        QTest::newRow("ten") << qint64(10) << "1.10^1";
        QTest::newRow("below ten is plain") << qint64(7) << "7";
        QTest::newRow("nothing moved") << qint64(0) << "0";
        QTest::newRow("negative is nothing") << qint64(-5) << "0";
    }
    void roundedPower() {
        QFETCH(qint64, value);
        QFETCH(QString, text);
        QCOMPARE(QString::fromStdString(RoundedPower(value)), text);
    }

    void ratePerSecond() {
        QCOMPARE(RatePerSecond(4'500'000, 0, 15000), int64_t(300'000));
        // The thread restarted the interval in the tick's millisecond: no division by zero.
        QCOMPARE(RatePerSecond(1000, 0, 0), int64_t(1'000'000));
        // A new exponent began at kLow since the last tick.
        QCOMPARE(RatePerSecond(3, 9'000'000, 15000), int64_t(0));
        QCOMPARE(UsedArraysBytes(2, 10'000, 1'024'000), int64_t(16 * 2 + 5 * 10'000 + 128'000 + 100));
    }

    void endEstimate() {
        const std::time_t now = 1'700'000'000;
        EndEstimateInput base;
        base.n = 50;
        base.nLast = 50;
        base.nFirst = 50;
        base.kLow = 1'000'001;
        base.kHigh = 2'000'001;
        base.cpuMHz = 2000;
        base.now = now;

        // Case A with a measured speed: a million k left at a million a day is one day.
        EndEstimateInput a = base;
        a.kPosition = a.kLow;
        a.kPerDay = 1'000'000;
        QCOMPARE(EstimateEnd(a).value(), now + 86400);

        // Case A with no speed yet: the model of 1.4e11 * MHz / n^2 k per day.
        a.kPerDay = 0;
        const double modelDays = 1'000'000.0 * 50 * 50 / 1.4e11 / 2000;
        QVERIFY(std::abs(double(EstimateEnd(a).value() - now) - modelDays * 86400) < 2);

        // Case B: half done in one day leaves one more day.
        EndEstimateInput b = base;
        b.kPosition = 1'500'001;
        b.dateBegin = now - 86400;
        QCOMPARE(EstimateEnd(b).value(), now + 86400);

        // Case B over two exponents: the later exponent weighs (51/50)^2 of this one.
        b.nLast = 51;
        const double rest = 500'000 + (51.0 / 50) * (51.0 / 50) * 1'000'000;
        QVERIFY(std::abs(double(EstimateEnd(b).value() - now) - 86400 * rest / 500'000) < 2);

        // Work done of zero or less says nothing: the speed is used instead of dividing by it.
        EndEstimateInput d = base;
        d.kPosition = 500'001;  // below kLow, as after raising the first k box before a Continue
        d.dateBegin = now - 86400;
        d.kPerDay = 3'000'000;
        QVERIFY(EstimateEnd(d).has_value());
        QVERIFY(EstimateEnd(d).value() >= now);

        // Nothing sensible to say: no exponent yet; no speed and no clock; past the year 9999.
        EndEstimateInput none = base;
        none.n = 0;
        QVERIFY(!EstimateEnd(none).has_value());
        none = base;
        none.kPosition = none.kLow;
        none.cpuMHz = 0;
        QVERIFY(!EstimateEnd(none).has_value());
        none = base;
        none.kHigh = INT64_MAX;
        none.kPosition = none.kLow;
        none.kPerDay = 1;
        QVERIFY(!EstimateEnd(none).has_value());
        // A begin date in the future (the clock was set back) gives no negative duration.
        EndEstimateInput future = base;
        future.kPosition = 1'500'001;
        future.dateBegin = now + 86400;
        future.kPerDay = 1'000'000;
        QVERIFY(EstimateEnd(future).value() >= now);
    }

    void iconFields_data() {
        QTest::addColumn<int>("which");
        QTest::addColumn<QColor>("top");
        QTest::addColumn<QColor>("bottom");
        QTest::newRow("running") << int(FormulaIcon::Continue) << QColor(0, 255, 0) << QColor(0, 255, 0);
        QTest::newRow("stopped") << int(FormulaIcon::Stop) << QColor(255, 255, 0) << QColor(255, 255, 0);
        QTest::newRow("running, found") << int(FormulaIcon::Found) << QColor(0, 255, 0) << QColor(255, 0, 0);
        QTest::newRow("stopped, found") << int(FormulaIcon::FoundStop) << QColor(255, 255, 0) << QColor(255, 0, 0);
    }
    void iconFields() {
        QFETCH(int, which);
        QFETCH(QColor, top);
        QFETCH(QColor, bottom);
        const QImage image = FormulaPixmap(static_cast<FormulaIcon>(which)).toImage();
        QCOMPARE(image.size(), QSize(32, 32));
        QCOMPARE(image.pixelColor(0, 0), top);     // above the diagonal
        QCOMPARE(image.pixelColor(31, 31), bottom);  // below it
        // The formula is drawn in black.
        int black = 0;
        for (int y = 0; y < 32; ++y)
            for (int x = 0; x < 32; ++x) black += image.pixelColor(x, y) == QColor(Qt::black);
        QVERIFY(black > 30);
    }
};

QTEST_MAIN(StatusTextTest)
#include "status_text_test.moc"
