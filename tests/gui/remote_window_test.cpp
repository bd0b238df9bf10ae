// The main window driven by a control server: a QTcpServer on 127.0.0.1 in this process sends
// the protocol's commands and reads the replies, in each run state; the link is switched on and
// off from the menu, retries on the view tick, and never shows a network error.
#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHostInfo>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

#include "TestServer.h"
#include "WindowFixture.h"
#include "settings/IniFile.h"
#include "gui/Autostart.h"
#include "gui/MainWindow.h"
#include "remote/RemoteControl.h"
#include "remote/ServerLink.h"

using namespace vontal;

namespace {

using testing::kWait;
const QString kConnected = "Is connected with the control server: ";
const QString kNotConnected = "NO connection with the control server";
const QByteArray kStoppedAt52 =
    "[CurrentParameters]nMin=50,nTemp=52,nMax=60,kMin=20e12,kMax=30e12,Start1=1,Continue1=1,Stop1=0,"
    "WS=0lab/|Program does not work\rExpects a new task...|";

// Answers the window's questions and information boxes, and the server input box, as they
// show, counting them.
class Answerer : public QObject {
public:
    QMessageBox::StandardButton answer = QMessageBox::No;
    std::optional<QString> hostTyped;  // accepted with this text; none: cancelled
    // Keeps a question open while it returns false.
    std::function<bool()> beforeAnswer;
    QStringList texts;          // of the message boxes answered
    QStringList prefills;       // of the input boxes answered
    QStringList inputLabels;    // their labels
    int mostOpenAtOnce = 0;

    Answerer() {
        timer.setInterval(5);
        connect(&timer, &QTimer::timeout, this, [this] { Poll(); });
        timer.start();
    }

private:
    void Poll() {
        int open = 0;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (!w->isVisible()) continue;
            if (auto* input = qobject_cast<QInputDialog*>(w); input && input->objectName() == "serverInput") {
                prefills << input->textValue();
                inputLabels << input->labelText();
                if (hostTyped) {
                    input->setTextValue(*hostTyped);
                    input->accept();
                } else {
                    input->reject();
                }
                continue;
            }
            auto* box = qobject_cast<QMessageBox*>(w);
            if (!box || box->objectName() == "errorBox") continue;
            ++open;
        }
        mostOpenAtOnce = std::max(mostOpenAtOnce, open);
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (!box || !box->isVisible() || box->objectName() == "errorBox") continue;
            if (beforeAnswer && !beforeAnswer()) return;
            texts << box->text();
            QAbstractButton* button = box->button(answer);
            (button ? button : box->button(QMessageBox::Ok))->click();
        }
    }
    QTimer timer;
};

bool AnyMessageBoxShown() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (qobject_cast<QMessageBox*>(w) && w->isVisible()) return true;
    return false;
}

// The window with a control server of its own on 127.0.0.1.
class Fixture : public testing::WindowFixture {
public:
    Fixture() {
        QVERIFY(server.listen());
        qputenv("VONTAL_SERVER_PORT", QByteArray::number(server.port()));
    }

    // The link switched on in the file, to this test's server: up at the first tick. The
    // server's sends then wait until the window has acted on each message.
    MainWindow& openConnected(int viewMs = 100) {
        setIni("ConnectToServerVontal", "1");
        setIni("HostServerVontal", "127.0.0.1");
        open(viewMs);
        // Connected after the remote control's own handler, so this count follows the handling.
        ServerLink* link = form->findChild<RemoteControl*>()->link();
        QObject::connect(link->socket(), &QAbstractSocket::connected, form.get(), [this] { taken = 0; });
        QObject::connect(link, &ServerLink::messageReceived, form.get(),
                         [this](const QByteArray& message) { taken += message.size(); });
        server.taken = [this] { return taken; };
        [&] {
            QTRY_VERIFY_WITH_TIMEOUT(server.openCount() == 1 && statusLastLine().startsWith(kConnected), kWait);
        }();
        return *form;
    }

    // Bytes of the present connection the window has taken from the server and acted on.
    qint64 taken = 0;

    // "[ReceiveParameters]" and the whole reply.
    QByteArray ask() {
        server.lastReceived().clear();
        server.send("[ReceiveParameters]");
        [&] { QTRY_VERIFY_WITH_TIMEOUT(server.lastReceived().count('|') >= 2, kWait); }();
        return server.lastReceived();
    }

    TestServer server;
};

// The name the status line shows for 127.0.0.1: its reverse lookup, empty when there is none.
QString LoopbackName() {
    const QString name = QHostInfo::fromName("127.0.0.1").hostName();
    return name == "127.0.0.1" ? QString() : name;
}

}  // namespace

class RemoteWindowTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { qputenv("XDG_CONFIG_HOME", configDir.path().toUtf8()); }

    // The example task, running at 52 when the window starts: start and continue are refused
    // while it runs; the server's stop stops it; the state reply is the documented one; stop
    // and an unanswered start change nothing afterwards.
    void exampleTaskRunningThenStopped() {
        Fixture f;
        f.writeTask("52", "60", "20e12", "30e12");
        f.setIni("nMin", "50");
        f.openConnected();
        QTRY_VERIFY_WITH_TIMEOUT(f.running() && f.headers("52") == 1, kWait);
        QVERIFY(f.ask().startsWith("[CurrentParameters]nMin=50,nTemp=52,nMax=60,kMin=20e12,kMax=30e12,Start1=0,"
                                   "Continue1=0,Stop1=1,WS=0lab/|"));
        Answerer answers;
        f.server.send("[Start]");
        f.server.send("[Continue]");
        QTest::qWait(100);
        QVERIFY(answers.texts.isEmpty());
        QVERIFY(f.running());
        QCOMPARE(f.headers("52"), 1);

        f.server.send("[Stop]");
        QTRY_VERIFY_WITH_TIMEOUT(f.stoppedLook(), kWait);
        QVERIFY(!f.form->session().searching());
        QVERIFY(!f.timer()->isActive());
        QCOMPARE(f.ask(), kStoppedAt52);

        const QByteArray saved = f.readFile("Vontal.ini");
        f.server.send("[Stop]");
        f.server.send("[Start]");  // answered No
        QTRY_COMPARE_WITH_TIMEOUT(answers.texts.size(), 1, kWait);
        QCOMPARE(answers.texts[0], QString("   You really want to start\ncalculations from a beginning?"));
        QCOMPARE(f.readFile("Vontal.ini"), saved);
        QCOMPARE(f.ask(), kStoppedAt52);
    }

    // At rest: "[SetParameters]" fills the boxes and starts nothing; only an exact "[Start]"
    // asks; No changes nothing; while the question waits the server is still answered and a
    // second "[Start]" asks nothing more; Yes runs the task from the boxes.
    void startAtRest() {
        Fixture f;
        f.writeTask("21", "20", "1", "100");  // finished: nothing continues at start-up
        f.openConnected();
        QVERIFY(f.stoppedLook());
        Answerer answers;
        const QByteArray saved = f.readFile("Vontal.ini");
        f.server.send("[SetParameters]nMin=20,nMax=20,kMin=1,kMax=100");
        QCOMPARE(f.boxes(), (QStringList{"20", "20", "1", ""}));
        f.server.send("[SetParameters]nMin=20,nMax=20,kMin=1,kMax=100,");
        QCOMPARE(f.boxes(), (QStringList{"20", "20", "1", "100"}));
        f.server.send(" [Start]");
        f.server.send("[start]");
        QTest::qWait(100);
        QVERIFY(answers.texts.isEmpty());
        QVERIFY(f.stoppedLook());
        QCOMPARE(f.readFile("Vontal.ini"), saved);

        f.server.send("[Start]");
        QTRY_COMPARE_WITH_TIMEOUT(answers.texts.size(), 1, kWait);
        QTest::qWait(50);
        QVERIFY(f.stoppedLook());
        QCOMPARE(f.readFile("Vontal.ini"), saved);
        QVERIFY(!QFile::exists(f.path("Vontal.log")));

        // Yes, after a second "[Start]" and a "[ReceiveParameters]" sent while the question waits,
        // each once the window has taken what came before it.
        int step = 0;
        answers.answer = QMessageBox::Yes;
        answers.beforeAnswer = [&] {
            QTcpSocket* peer = f.server.last();
            if (step == 0) {
                peer->write("[Start]");
                step = 1;
            } else if (step == 1 && f.server.allTaken()) {
                f.server.lastReceived().clear();
                peer->write("[ReceiveParameters]");
                step = 2;
            }
            return step == 2 && f.server.lastReceived().count('|') >= 2;
        };
        f.server.send("[Start] from the server");
        QTRY_VERIFY_WITH_TIMEOUT(f.readFile("Vontal.log").contains("n=20  k from") && f.stoppedLook() &&
                                     f.box("firstExponent")->text() == "21",
                                 kWait);
        QCOMPARE(answers.texts.size(), 2);
        QCOMPARE(answers.mostOpenAtOnce, 1);
        QVERIFY(f.server.lastReceived().startsWith("[CurrentParameters]nMin=21,nTemp=20,nMax=20,kMin=1,kMax=100,"
                                                   "Start1=1,Continue1=1,Stop1=0,"));
        QCOMPARE(f.ini("nMin"), std::string("20"));
    }

    // With "Accept Tasks from Server" ticked, the server's "[Start]" runs the task in the boxes
    // at once, without the question; the local user's own Start still asks; unticking stores 0
    // and brings the question back for the server too.
    void serverTasksAcceptedWithoutTheQuestion() {
        Fixture f;
        f.writeTask("21", "20", "1", "100");  // finished: nothing continues at start-up
        f.setIni("AcceptServerTasks", "1");
        f.openConnected();
        QVERIFY(f.action("acceptServerTasksAction")->isChecked());
        Answerer answers;
        f.server.send("[SetParameters]nMin=20,nMax=20,kMin=1,kMax=100,");
        f.server.send("[Start]");
        QTRY_VERIFY_WITH_TIMEOUT(f.readFile("Vontal.log").contains("n=20  k from") && f.stoppedLook() &&
                                     f.box("firstExponent")->text() == "21",
                                 kWait);
        QVERIFY(answers.texts.isEmpty());
        QCOMPARE(f.ini("nMin"), std::string("20"));

        f.action("startAction")->trigger();  // the local user's Start, answered No
        QTRY_COMPARE_WITH_TIMEOUT(answers.texts.size(), 1, kWait);

        f.action("acceptServerTasksAction")->trigger();
        QCOMPARE(f.ini("AcceptServerTasks"), std::string("0"));
        f.server.send("[Start]");
        QTRY_COMPARE_WITH_TIMEOUT(answers.texts.size(), 2, kWait);
        QCOMPARE(answers.texts[1], QString("   You really want to start\ncalculations from a beginning?"));
        QVERIFY(f.stoppedLook());
    }

    // "[ReceiveResults]" tells the server how many divisors the result box holds, with their
    // lines; without any, a count of 0.
    void resultsReplyFromTheResultBox() {
        for (const bool withDivisors : {false, true}) {
            Fixture f;
            f.writeTask("21", "20", "1", "100");
            if (withDivisors)
                f.writeFile("Result.txt", "found m=5,  k=3,  n=7\r\n3.2^7+1 divides F_5\r\n"
                                          "found m=23,  k=5,  n=25\r\n5.2^25+1 divides F_23\r\n");
            f.openConnected();
            f.server.lastReceived().clear();
            f.server.send("[ReceiveResults]");
            QTRY_VERIFY_WITH_TIMEOUT(f.server.lastReceived().count('|') >= 2, kWait);
            QCOMPARE(f.server.lastReceived(), withDivisors ? QByteArray("[Results]count=2|3.2^7+1 divides F_5\r"
                                                                        "5.2^25+1 divides F_23|")
                                                           : QByteArray("[Results]count=0||"));
        }
    }

    // Continue takes the boxes as they stand: bad text gives the start's own message (once, however
    // often it is repeated); while running it is refused; after a stop it resumes.
    void continueInEachState() {
        Fixture f;
        f.writeTask("21", "20", "1", "100");
        f.openConnected();
        f.server.send("[SetParameters]a=1x,b=20,c=1,d=100,");
        for (int i = 0; i < 100; ++i) {
            f.server.last()->write("[Continue]");
            f.server.last()->flush();
            QTest::qWait(2);
        }
        QTRY_COMPARE_WITH_TIMEOUT(f.errorBoxes(), 1, kWait);
        QTest::qWait(100);
        QCOMPARE(f.errorBoxes(), 1);
        QCOMPARE(f.form->findChild<QMessageBox*>("errorBox")->text(), QString("'1x' is not a valid integer value"));
        QVERIFY(f.stoppedLook());

        f.server.send("[SetParameters]a=30,b=30,c=1,d=1e15,");
        f.server.send("[Continue]");
        QTRY_VERIFY_WITH_TIMEOUT(f.running() && f.form->session().state().kPosition.load() > 1000, kWait);
        f.server.send("[Continue]");
        QVERIFY(f.running());
        QCOMPARE(f.headers("30"), 1);

        f.server.send("[Stop]");
        QTRY_VERIFY_WITH_TIMEOUT(f.stoppedLook(), kWait);
        const int64_t reached = f.form->session().state().kPosition.load();
        QCOMPARE(f.ini("KTemp"), std::to_string(reached));
        f.server.send("[Continue]");
        QTRY_VERIFY_WITH_TIMEOUT(f.running() && f.form->session().state().kPosition.load() > reached, kWait);
        QCOMPARE(f.headers("30"), 1);  // resumed, not begun again
        QVERIFY(f.ask().contains(",Start1=0,Continue1=0,Stop1=1,"));
        f.server.send("[Stop]");
        QTRY_VERIFY_WITH_TIMEOUT(f.stoppedLook(), kWait);
        QVERIFY(f.ask().contains(",Start1=1,Continue1=1,Stop1=0,"));
    }

    // During a run "[SetParameters]" replaces the texts and the search keeps its bounds; line
    // breaks and NUL in a value never reach the settings file as lines of their own.
    void setParametersDuringARunAndIntoTheFile() {
        Fixture f;
        f.writeTask("30", "30", "1", "1e15");
        f.openConnected();
        QTRY_VERIFY_WITH_TIMEOUT(f.running(), kWait);
        f.server.send("[SetParameters]nMin=40,nMax=41,kMin=5,kMax=6");
        QCOMPARE(f.boxes(), (QStringList{"40", "41", "5", ""}));
        QVERIFY(f.running());
        QCOMPARE(f.form->session().state().kHigh.load(), int64_t(1'000'000'000'000'000));

        const char injection[] = "[SetParameters]nMin=30,nMax=30,kMin=1,kMax=1e15\r\n[f]\r\nisHidden=1\r\n"
                                 "HostServerVontal=elsewhere\0,";
        f.server.send(QByteArray(injection, sizeof injection - 1));
        const QString injected = "1e15[f]isHidden=1HostServerVontal=elsewhere";
        QCOMPARE(f.box("highK")->text(), injected);
        QVERIFY(f.ask().contains(",kMax=" + injected.toLatin1() + ",Start1=0,"));
        f.server.send("[Stop]");
        QTRY_VERIFY_WITH_TIMEOUT(f.stoppedLook(), kWait);
        QCOMPARE(f.ini("kMax"), injected.toStdString());
        QCOMPARE(f.ini("isHidden"), std::string("<missing>"));
        QCOMPARE(f.ini("HostServerVontal"), std::string("127.0.0.1"));
        const QByteArray file = f.readFile("Vontal.ini");
        QCOMPARE(file.count("[f]\r\n"), 1);
        QVERIFY(!file.contains('\0'));
    }

    void windowsServiceTwiceRestoresTheEntry_data() {
        QTest::addColumn<bool>("run");
        QTest::addColumn<bool>("entryBefore");
        QTest::newRow("at rest, no entry") << false << false;
        QTest::newRow("running, entry present") << true << true;
    }
    void windowsServiceTwiceRestoresTheEntry() {
        QFETCH(bool, run);
        QFETCH(bool, entryBefore);
        Fixture f;
        const QString entry = configDir.filePath("autostart/Vontal.desktop");
        QFile::remove(entry);
        if (entryBefore) WriteAutostartEntry(f.path("vontal"));
        if (run)
            f.writeTask("30", "30", "1", "1e15");
        else
            f.writeTask("21", "20", "1", "100");
        f.openConnected();
        QTRY_COMPARE_WITH_TIMEOUT(f.running(), run, kWait);
        QCOMPARE(f.action("autostartAction")->isChecked(), entryBefore);

        f.server.send("[WindowsService]");
        QCOMPARE(QFile::exists(entry), !entryBefore);
        QCOMPARE(f.action("autostartAction")->isChecked(), !entryBefore);
        QVERIFY(f.ask().contains(entryBefore ? ",WS=0lab/|" : ",WS=1lab/|"));
        f.server.send("[WindowsService]");
        QCOMPARE(QFile::exists(entry), entryBefore);
        QCOMPARE(f.action("autostartAction")->isChecked(), entryBefore);
        QVERIFY(f.ask().contains(entryBefore ? ",WS=1lab/|" : ",WS=0lab/|"));
        QCOMPARE(f.running(), run);
        QFile::remove(entry);
    }

    // The menu item: cancel changes nothing; a host connects at once and is stored; switching
    // off says so, stores it and closes the link; an empty host changes nothing.
    void switchingTheLinkOnAndOff() {
        Fixture f;
        f.writeTask("21", "20", "1", "100");
        f.open(60000);  // no tick: whatever connects, connects at once
        Answerer answers;
        f.action("serverLinkAction")->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(answers.prefills.size(), 1, kWait);
        QCOMPARE(answers.inputLabels, QStringList{"Address or Host Name:"});
        QVERIFY(!f.action("serverLinkAction")->isChecked());
        QCOMPARE(f.ini("ConnectToServerVontal"), std::string("<missing>"));
        QCOMPARE(f.ini("HostServerVontal"), std::string("<missing>"));

        answers.hostTyped = "127.0.0.1";
        f.action("serverLinkAction")->trigger();
        QVERIFY(f.action("serverLinkAction")->isChecked());
        QCOMPARE(f.ini("ConnectToServerVontal"), std::string("1"));
        QCOMPARE(f.ini("HostServerVontal"), std::string("127.0.0.1"));
        QTRY_COMPARE_WITH_TIMEOUT(f.server.openCount(), 1, kWait);
        QTRY_COMPARE_WITH_TIMEOUT(f.statusLastLine(), kConnected + LoopbackName(), kWait);
        QCOMPARE(f.server.connectionCount(), 1);  // the cancelled box made no attempt

        f.action("serverLinkAction")->trigger();
        QCOMPARE(answers.texts, QStringList{"This program will be not accessible ServerVontal!"});
        QVERIFY(!f.action("serverLinkAction")->isChecked());
        QCOMPARE(f.ini("ConnectToServerVontal"), std::string("0"));
        QTRY_COMPARE_WITH_TIMEOUT(f.server.openCount(), 0, kWait);
        QTRY_COMPARE_WITH_TIMEOUT(f.statusLastLine(), kNotConnected, kWait);

        answers.hostTyped = "";
        f.action("serverLinkAction")->trigger();
        QCOMPARE(answers.prefills.last(), QString("127.0.0.1"));
        QVERIFY(!f.action("serverLinkAction")->isChecked());
        QCOMPARE(f.ini("ConnectToServerVontal"), std::string("0"));
        QTest::qWait(50);
        QCOMPARE(f.server.connectionCount(), 1);
    }

    // The host is read from the file at every attempt; a name that does not resolve, and then a
    // server that is not there yet, are tried silently; the server that appears is reached at
    // the next tick.
    void linkComesUpWithinOneTickOfTheServer() {
        Fixture f;
        const quint16 port = TestServer::FreePort();
        qputenv("VONTAL_SERVER_PORT", QByteArray::number(port));
        f.writeTask("21", "20", "1", "100");
        f.setIni("ConnectToServerVontal", "1");
        f.setIni("HostServerVontal", "no-such-host.invalid");
        f.open(400);
        QVERIFY(f.action("serverLinkAction")->isChecked());
        // Never connected, the status line is still the waiting one; a rebuild would end in
        // the "NO connection" line.
        QTest::qWait(700);  // two lookups
        QVERIFY(!f.statusLastLine().startsWith(kConnected));
        f.setIni("HostServerVontal", "127.0.0.1");
        QTest::qWait(900);  // refused twice
        QVERIFY(!f.statusLastLine().startsWith(kConnected));
        QVERIFY(!AnyMessageBoxShown());

        QSignalSpy ticks(f.timer(), &QTimer::timeout);
        TestServer late;
        QVERIFY(late.listen(port));
        QTRY_COMPARE_WITH_TIMEOUT(late.openCount(), 1, kWait);
        QVERIFY2(ticks.size() <= 1, qPrintable(QString::number(ticks.size())));
        QTRY_VERIFY_WITH_TIMEOUT(f.statusLastLine().startsWith(kConnected), kWait);
        QTest::qWait(900);
        QCOMPARE(late.connectionCount(), 1);  // no attempt while up
    }

    void networkErrorsShowNothing_data() {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("server");
        QTest::newRow("nothing listens") << "127.0.0.1" << "absent";
        QTest::newRow("server closes at once") << "127.0.0.1" << "close";
        QTest::newRow("reset mid-reply") << "127.0.0.1" << "reset";
        QTest::newRow("empty host") << "" << "listening";
    }
    void networkErrorsShowNothing() {
        QFETCH(QString, host);
        QFETCH(QString, server);
        Fixture f;
        if (server == "absent") qputenv("VONTAL_SERVER_PORT", QByteArray::number(TestServer::FreePort()));
        if (server == "close") f.server.onConnect = [](QTcpSocket* peer) { peer->disconnectFromHost(); };
        if (server == "reset")
            f.server.onConnect = [](QTcpSocket* peer) {
                peer->write("[ReceiveParameters]");
                peer->flush();
                QTimer::singleShot(5, peer, [peer] { TestServer::Reset(peer); });
            };
        f.writeTask("21", "20", "1", "100");
        f.setIni("ConnectToServerVontal", "1");
        f.setIni("HostServerVontal", host.toLatin1().constData());
        f.open(50);
        // Watched for 600 ms, and where the server takes the connections, until the window has
        // come back at least three times (a busy machine may make that take longer).
        const bool retries = server == "close" || server == "reset";
        QElapsedTimer elapsed;
        elapsed.start();
        bool boxShown = false;
        while (elapsed.elapsed() < 600 || (retries && f.server.connectionCount() < 3 && elapsed.elapsed() < kWait)) {
            QTest::qWait(10);
            boxShown = boxShown || AnyMessageBoxShown();
        }
        QVERIFY(!boxShown);
        QCOMPARE(f.errorBoxes(), 0);
        QVERIFY(f.action("serverLinkAction")->isChecked());
        if (server == "close" || server == "reset") QVERIFY(f.server.connectionCount() >= 3);  // retried
        if (server != "reset" && server != "close") QCOMPARE(f.server.connectionCount(), 0);
        // A link that was up and went down shows so; one never up leaves the waiting text.
        if (server == "close" || server == "reset")
            QTRY_COMPARE_WITH_TIMEOUT(f.statusLastLine(), kNotConnected, kWait);
        else
            QVERIFY(!f.statusLastLine().startsWith(kConnected));
    }

    // A stop halts the view tick and with it the retries; a new run brings both back.
    void afterAStopTheLinkStaysDownUntilARun() {
        Fixture f;
        f.writeTask("30", "30", "1", "1e15");
        f.openConnected();
        QTRY_VERIFY_WITH_TIMEOUT(f.running(), kWait);
        f.server.send("[Stop]");
        QTRY_VERIFY_WITH_TIMEOUT(f.stoppedLook(), kWait);
        f.server.last()->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(f.statusLastLine(), kNotConnected, kWait);
        QTest::qWait(500);
        QCOMPARE(f.server.connectionCount(), 1);
        f.action("continueAction")->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(f.running() && f.server.openCount() == 1, kWait);
        QCOMPARE(f.server.connectionCount(), 2);
    }

    // Megabytes in one go, binary bytes and thousands of messages from a server that does not
    // read its replies: the window keeps handling events, the link's buffers stay bounded, and
    // afterwards the link still answers.
    void floodKeepsTheWindowResponsive() {
        Fixture f;
        f.writeTask("21", "20", "1", "100");
        f.openConnected();
        auto* client = f.form->findChild<QTcpSocket*>("serverSocket");
        QVERIFY(client);
        QTcpSocket* peer = f.server.last();
        Answerer answers;  // says No to every question a "[Start]" asks
        int messages = 0;
        QObject::connect(f.form->findChild<RemoteControl*>()->link(), &ServerLink::messageReceived,
                         [&](const QByteArray&) { ++messages; });

        // The window's event loop keeps turning: a 5 ms timer never waits long.
        QElapsedTimer clock;
        clock.start();
        qint64 last = 0;
        qint64 longestGap = 0;
        QTimer watch;
        watch.setInterval(5);
        QObject::connect(&watch, &QTimer::timeout, [&] {
            longestGap = std::max(longestGap, clock.elapsed() - last);
            last = clock.elapsed();
        });
        watch.start();
        qint64 mostWaiting = 0;
        qint64 mostPending = 0;
        auto sample = [&] {
            mostWaiting = std::max(mostWaiting, client->bytesAvailable());
            mostPending = std::max(mostPending, client->bytesToWrite());
        };

        // The server does not read its replies while it floods. (Replies dropped once too many
        // wait for the transport are covered by the link's own test.)
        peer->setReadBufferSize(1);
        QByteArray big = "[SetParameters]a=" + QByteArray(3 * 1024 * 1024, 'x') + ",b=2,c=3,d=4,";
        for (int i = 0; i < 256 * 1024; ++i) big[17 + i * 12] = static_cast<char>(i % 256);  // binary bytes
        peer->write(big);
        QTRY_VERIFY_WITH_TIMEOUT((sample(), peer->bytesToWrite() == 0), kWait);
        const char* const flood[] = {"[ReceiveParameters]", "[Start]", "[SetParameters]a=1,b=2,c=3,d=4,",
                                     "\x01\xff[Stop]"};
        for (int i = 0; i < 4000; ++i) {
            peer->write(flood[i % 4]);
            peer->flush();
            QCoreApplication::processEvents();
            sample();
        }
        QTRY_VERIFY_WITH_TIMEOUT((sample(), peer->bytesToWrite() == 0), kWait);
        QTest::qWait(200);
        sample();
        QVERIFY2(longestGap < 2000, qPrintable(QString::number(longestGap)));
        QVERIFY2(messages > 50, qPrintable(QString::number(messages)));  // the big one came in pieces
        QVERIFY(mostWaiting <= ServerLink::kReadLimit);
        QVERIFY(mostPending <= ServerLink::kPendingSendLimit);
        QVERIFY(answers.mostOpenAtOnce <= 1);
        for (const QString& text : f.boxes()) QVERIFY(text.size() <= ServerLink::kReadLimit);
        QVERIFY(f.stoppedLook());
        QVERIFY(f.statusLastLine().startsWith(kConnected));

        // The server reads again: the link still answers.
        peer->setReadBufferSize(0);
        QTRY_VERIFY_WITH_TIMEOUT((peer->readAll(), client->bytesToWrite() == 0), kWait);
        QTest::qWait(100);
        peer->readAll();
        QVERIFY(f.ask().startsWith("[CurrentParameters]nMin=21,"));
    }

private:
    QTemporaryDir configDir;
};

QTEST_MAIN(RemoteWindowTest)
#include "remote_window_test.moc"
