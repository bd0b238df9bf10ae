// The about box: its lines, the blinking of the two clickable lines, and the licence and the data
// folder handed to the desktop.
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

const AboutFacts kFacts{"4.4", "/home/someone/.local/share/Vontal", "avx512ifma"};

}  // namespace

class AboutTest : public QObject {
    Q_OBJECT
private slots:
    void linesAndSize();
    void longFolderKeepsItsEnds();
    void blinksFourSecondsThenTwo();
    void clicksOpenLicenceAndFolder();
    void escapeClosesAndStopsTheTimer();
};

void AboutTest::linesAndSize() {
    AboutDialog about(kFacts);
    QCOMPARE(about.windowTitle(), QString("About"));
    QCOMPARE(about.size(), QSize(400, 200));
    const QString text = about.findChild<QLabel*>("aboutText")->text();
    const QStringList lines = text.split('\n');
    QCOMPARE(lines[0], QString("Vontal 4.4"));
    QCOMPARE(lines[1], QString("Vontal Number Factor Search"));
    QVERIFY(lines.contains("Kernel in use: avx512ifma"));
    QCOMPARE(about.findChild<QLabel*>("licenceCaption")->text(), QString("Licence:"));
    QCOMPARE(about.findChild<QLabel*>("folderCaption")->text(), QString("Data folder:"));
    // Nothing of another system, and no address that nobody answers.
    for (const char* gone : {".exe", "@", "example", "http"}) QVERIFY2(!text.contains(gone), gone);
    about.show();
    QCOMPARE(about.findChild<QLabel*>("licenceLine")->text(), QString("GPL-3.0-or-later"));
    QCOMPARE(about.findChild<QLabel*>("folderLine")->text(), kFacts.dataDir);
    QCOMPARE(about.findChild<QLabel*>("folderLine")->toolTip(), kFacts.dataDir);
    QCOMPARE(about.findChild<QLabel*>("picture")->pixmap().size(), QSize(115, 138));
    for (const char* name : {"licenceLine", "folderLine"})
        QCOMPARE(about.findChild<QLabel*>(name)->cursor().shape(), Qt::PointingHandCursor);
    // Every line is inside the box, and none covers another.
    const QList<QLabel*> labels = about.findChildren<QLabel*>();
    for (QLabel* label : labels) {
        QVERIFY2(about.rect().contains(label->geometry()), qPrintable(label->objectName()));
        for (QLabel* other : labels)
            QVERIFY2(label == other || !label->geometry().intersects(other->geometry()),
                     qPrintable(label->objectName() + " " + other->objectName()));
    }
}

void AboutTest::longFolderKeepsItsEnds() {
    const QString longDir = "/home/" + QString(200, 'x') + "/.local/share/Vontal";
    AboutDialog about({"4.4", longDir, "portable"});
    about.show();
    const QString shown = about.findChild<QLabel*>("folderLine")->text();
    QVERIFY(shown.size() < longDir.size());
    QVERIFY(shown.startsWith("/home/"));
    QVERIFY(shown.endsWith("/Vontal"));
    QCOMPARE(about.findChild<QLabel*>("folderLine")->toolTip(), longDir);
}

void AboutTest::blinksFourSecondsThenTwo() {
    AboutDialog about(kFacts);
    about.show();
    auto* timer = about.findChild<QTimer*>("blinkTimer");
    QVERIFY(timer->isActive());
    QCOMPARE(timer->interval(), 500);
    const auto* licence = about.findChild<QLabel*>("licenceLine");
    const auto* folder = about.findChild<QLabel*>("folderLine");
    auto facts = [&] {
        QCOMPARE(licence->text(), QString(kLicenceName));
        QCOMPARE(folder->text(), kFacts.dataDir);
        QCOMPARE(Ground(licence), QColor(152, 254, 172));
        QCOMPARE(Ground(folder), QColor(255, 255, 170));
    };
    auto invitation = [&] {
        QCOMPARE(licence->text(), QString("Click here to read it"));
        QCOMPARE(folder->text(), QString("Click here to open the data folder"));
        QCOMPARE(Ground(licence), QColor(55, 253, 95));
        QCOMPARE(Ground(folder), QColor(255, 255, 40));
    };
    facts();
    for (int cycle = 0; cycle < 2; ++cycle) {
        for (int tick = 1; tick < 8; ++tick) about.BlinkTick();
        facts();
        about.BlinkTick();  // the 8th tick: 4 seconds
        invitation();
        for (int tick = 1; tick < 4; ++tick) about.BlinkTick();
        invitation();
        about.BlinkTick();  // the 4th tick: 2 seconds
        facts();
    }
    // Reopening starts again with the facts.
    for (int tick = 0; tick < 8; ++tick) about.BlinkTick();
    QVERIFY(about.showsInvitation());
    about.hide();
    about.show();
    QVERIFY(!about.showsInvitation());
    about.hide();
}

void AboutTest::clicksOpenLicenceAndFolder() {
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler("file", &catcher, "open");
    QDesktopServices::setUrlHandler("https", &catcher, "open");
    AboutDialog about(kFacts);
    about.show();
    auto* folder = about.findChild<QLabel*>("folderLine");
    QTest::mouseClick(folder, Qt::LeftButton);
    // Green at once; the file manager is asked a moment later.
    QCOMPARE(Ground(folder), QColor(0, 255, 0));
    QVERIFY(catcher.opened.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(catcher.opened.size(), 1, kWait);
    QCOMPARE(catcher.opened[0], QUrl::fromLocalFile(kFacts.dataDir));
    QTest::mouseClick(about.findChild<QLabel*>("licenceLine"), Qt::LeftButton);
    QCOMPARE(catcher.opened.size(), 2);
    QCOMPARE(catcher.opened[1], QUrl(kLicenceUrl));
    // A right click is no click.
    QTest::mouseClick(about.findChild<QLabel*>("licenceLine"), Qt::RightButton);
    QCOMPARE(catcher.opened.size(), 2);
    QDesktopServices::unsetUrlHandler("file");
    QDesktopServices::unsetUrlHandler("https");
}

void AboutTest::escapeClosesAndStopsTheTimer() {
    AboutDialog about(kFacts);
    about.show();
    QTest::keyClick(&about, Qt::Key_Escape);
    QVERIFY(!about.isVisible());
    QVERIFY(!about.findChild<QTimer*>("blinkTimer")->isActive());
}

QTEST_MAIN(AboutTest)
#include "about_test.moc"
