// The figures of the status display: rates, the rounded power, the end date, and the four icon
// pictures.
#include <QGuiApplication>
#include <QImage>
#include <QTest>

#include <cmath>

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

    void endDate() {
        const std::time_t now = 1'700'000'000;
        QCOMPARE(EndDate(now, 0).value(), now);
        QCOMPARE(EndDate(now, 86400.4).value(), now + 86400);
        // Nothing sensible to say: no figure, a negative one, past the year 9999.
        QVERIFY(!EndDate(now, std::nan("")).has_value());
        QVERIFY(!EndDate(now, -1).has_value());
        QVERIFY(!EndDate(now, 1e12).has_value());
        QVERIFY(!EndDate(now, INFINITY).has_value());
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
