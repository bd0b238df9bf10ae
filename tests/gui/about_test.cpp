// The about box: its lines, the blinking of the two clickable lines, and the mail and web links
// handed to the desktop.
#include <QLabel>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <QDesktopServices>

#include "gui/AboutDialog.h"

using namespace vontal;

namespace {

constexpr int kWait = 60000;  // room for a loaded machine

// Stands in for the desktop's mail program and browser.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened << url; }
};

QColor Ground(const QLabel* label) { return label->palette().color(QPalette::Window); }

}  // namespace

class AboutTest : public QObject {
    Q_OBJECT
private slots:
    void linesAndSize();
    void blinksFourSecondsThenTwo();
    void clicksOpenMailAndWeb();
    void escapeClosesAndStopsTheTimer();
};

void AboutTest::linesAndSize() {
    AboutDialog about(QStringLiteral("4.4"));
    QCOMPARE(about.windowTitle(), QString("About"));
    QCOMPARE(about.size(), QSize(323, 172));
    const QStringList lines = about.findChild<QLabel*>("aboutText")->text().split('\n');
    QCOMPARE(lines.size(), 8);
    QCOMPARE(lines[0], QString("Vontal.exe -version 4.4, beta"));
    QCOMPARE(lines[1], QString("Vontal Number Factor Search"));
    QCOMPARE(lines[5], QString());
    QCOMPARE(lines[6], QString());
    QCOMPARE(lines[7], QString("      Project for search on Web:"));
    QCOMPARE(about.findChild<QLabel*>("picture")->pixmap().size(), QSize(115, 138));
    for (const char* name : {"mailLine", "webLine"})
        QCOMPARE(about.findChild<QLabel*>(name)->cursor().shape(), Qt::PointingHandCursor);
}

void AboutTest::blinksFourSecondsThenTwo() {
    AboutDialog about(QStringLiteral("4.4"));
    about.show();
    auto* timer = about.findChild<QTimer*>("blinkTimer");
    QVERIFY(timer->isActive());
    QCOMPARE(timer->interval(), 500);
    const auto* mail = about.findChild<QLabel*>("mailLine");
    const auto* web = about.findChild<QLabel*>("webLine");
    auto addresses = [&] {
        QCOMPARE(mail->text(), QString(kProjectMail));
        QCOMPARE(web->text(), QString(kProjectWeb));
        QCOMPARE(Ground(mail), QColor(255, 255, 170));
        QCOMPARE(Ground(web), QColor(152, 254, 172));
    };
    auto invitation = [&] {
        QCOMPARE(mail->text(), QString("Click here to mail me"));
        QCOMPARE(web->text(), QString("News, Data, Status, Program etc"));
        QCOMPARE(Ground(mail), QColor(255, 255, 40));
        QCOMPARE(Ground(web), QColor(55, 253, 95));
    };
    addresses();
    for (int cycle = 0; cycle < 2; ++cycle) {
        for (int tick = 1; tick < 8; ++tick) about.BlinkTick();
        addresses();
        about.BlinkTick();  // the 8th tick: 4 seconds
        invitation();
        for (int tick = 1; tick < 4; ++tick) about.BlinkTick();
        invitation();
        about.BlinkTick();  // the 4th tick: 2 seconds
        addresses();
    }
    // Reopening starts again with the addresses.
    for (int tick = 0; tick < 8; ++tick) about.BlinkTick();
    QVERIFY(about.showsInvitation());
    about.hide();
    about.show();
    QVERIFY(!about.showsInvitation());
    about.hide();
}

void AboutTest::clicksOpenMailAndWeb() {
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler("mailto", &catcher, "open");
    QDesktopServices::setUrlHandler("https", &catcher, "open");
    AboutDialog about(QStringLiteral("4.4"));
    about.show();
    auto* mail = about.findChild<QLabel*>("mailLine");
    QTest::mouseClick(mail, Qt::LeftButton);
    // Green at once; the mail program is asked a moment later.
    QCOMPARE(Ground(mail), QColor(0, 255, 0));
    QVERIFY(catcher.opened.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(catcher.opened.size(), 1, kWait);
    QCOMPARE(catcher.opened[0], QUrl(QString("mailto:") + kProjectMail));
    QTest::mouseClick(about.findChild<QLabel*>("webLine"), Qt::LeftButton);
    QCOMPARE(catcher.opened.size(), 2);
    QCOMPARE(catcher.opened[1], QUrl(kProjectWeb));
    // A right click is no click.
    QTest::mouseClick(about.findChild<QLabel*>("webLine"), Qt::RightButton);
    QCOMPARE(catcher.opened.size(), 2);
    QDesktopServices::unsetUrlHandler("mailto");
    QDesktopServices::unsetUrlHandler("https");
}

void AboutTest::escapeClosesAndStopsTheTimer() {
    AboutDialog about(QStringLiteral("4.4"));
    about.show();
    QTest::keyClick(&about, Qt::Key_Escape);
    QVERIFY(!about.isVisible());
    QVERIFY(!about.findChild<QTimer*>("blinkTimer")->isActive());
}

QTEST_MAIN(AboutTest)
#include "about_test.moc"
