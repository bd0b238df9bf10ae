// The main window driven as a user drives it: menu items, typed keys and the questions'
// buttons, with the settings, result and log files in a temporary directory.
#include <QAction>
#include <QCursor>
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include "settings/IniFile.h"
#include "gui/ResultText.h"
#include "WindowFixture.h"
#include "gui/MainWindow.h"

using namespace vontal;

namespace {

// Bytes that look like nothing: the same every run.
QByteArray Garbage(qsizetype size) {
    QByteArray bytes(size, '\0');
    uint32_t x = 12345;
    for (char& c : bytes) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return bytes;
}

constexpr qsizetype kTenMB = 10 * 1024 * 1024;

using Fixture = testing::WindowFixture;
using testing::AnswerNextQuestion;
using testing::kWait;

}  // namespace

class WindowTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { qputenv("XDG_CONFIG_HOME", configDir.path().toUtf8()); }

    void startAnsweredNoChangesNothing() {
        Fixture f;
        f.writeTask("21", "20", "1", "100");  // a finished task: nothing continues at start-up
        MainWindow& form = f.open();
        QVERIFY(f.stoppedLook());
        QCOMPARE(form.windowTitle(), QString("Vontal Number Factor Search, P%1:1000 MHz").arg(form.session().cpuFamily()));
        f.setBoxes("20", "20", "1", "1e6");
        const QByteArray before = f.readFile("Vontal.ini");
        AnswerNextQuestion(QMessageBox::No);
        f.action("startAction")->trigger();
        QTest::qWait(100);
        QCOMPARE(f.readFile("Vontal.ini"), before);
        QCOMPARE(f.box("firstExponent")->text(), QString("20"));
        QCOMPARE(f.box("highK")->text(), QString("1e6"));
        QVERIFY(f.stoppedLook());
        QVERIFY(!QFile::exists(f.path("Vontal.log")));
    }

    void refusedTasksStartNothing_data() {
        QTest::addColumn<QString>("f1");
        QTest::addColumn<QString>("f2");
        QTest::addColumn<QString>("k1");
        QTest::addColumn<QString>("k2");
        QTest::newRow("first n below 8") << "7" << "20" << "1" << "100";
        QTest::newRow("n reversed") << "50" << "49" << "1" << "100";
        QTest::newRow("k reversed") << "20" << "20" << "100" << "1";
        QTest::newRow("a box empty") << "20" << "" << "1" << "100";
    }
    void refusedTasksStartNothing() {
        QFETCH(QString, f1);
        QFETCH(QString, f2);
        QFETCH(QString, k1);
        QFETCH(QString, k2);
        Fixture f;
        f.open();
        f.setBoxes(qPrintable(f1), qPrintable(f2), qPrintable(k1), qPrintable(k2));
        AnswerNextQuestion(QMessageBox::Yes);
        f.action("startAction")->trigger();
        f.action("continueAction")->trigger();
        QTest::qWait(100);
        QVERIFY(f.stoppedLook());
        QVERIFY(!f.form->session().searching());
        QVERIFY(!f.action("priorityMenuItem")->isEnabled());
        QVERIFY(!QFile::exists(f.path("Vontal.log")));
        QVERIFY(f.errorMessages().isEmpty());
    }

    // An interrupted task continues at start-up without a click; Stop keeps the exponent and
    // the k reached; a follow-on task is not taken while stopped; Continue resumes at the
    // saved k without a new log header.
    void stopThenContinueResumesAtTheSavedPosition() {
        Fixture f;
        f.writeTask("30", "31", "1", "1e15");
        MainWindow& form = f.open(50);
        QTRY_VERIFY_WITH_TIMEOUT(f.running() && form.session().state().kPosition.load() > 100'000, kWait);
        QVERIFY(f.timer("viewTimer")->isActive());
        QCOMPARE(form.currentIcon(), f.memo().isEmpty() ? FormulaIcon::Continue : FormulaIcon::Found);
        QVERIFY(f.action("priorityMenuItem")->isEnabled());

        f.action("stopAction")->trigger();
        QVERIFY(f.stoppedLook());
        QCOMPARE(f.box("firstExponent")->text(), QString("30"));
        const int64_t reached = form.session().state().kPosition.load();
        QCOMPARE(f.ini("KTemp"), std::to_string(reached));
        QCOMPARE(f.ini("nTemp"), std::string("30"));
        QCOMPARE(form.tipText(), QString("Calculations are completed"));
        QCOMPARE(form.currentIcon(), f.memo().isEmpty() ? FormulaIcon::Stop : FormulaIcon::FoundStop);
        QVERIFY(!f.timer("viewTimer")->isActive());

        // Stopped: a follow-on task written into the file now waits.
        f.setIni("Following tasks", "Task 1", "n=20 to 20, k=1 to 100");
        QTest::qWait(300);
        QCOMPARE(f.ini("Task 1", "Following tasks"), std::string("n=20 to 20, k=1 to 100"));
        QCOMPARE(f.box("lastExponent")->text(), QString("31"));
        f.setIni("Following tasks", "Task 1", "");

        f.action("continueAction")->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(f.running() && form.session().state().kPosition.load() > reached, kWait);
        const QByteArray log = f.readFile("Vontal.log");
        QCOMPARE(log.count("n=30  k from"), 1);  // resumed: no second header
        f.action("stopAction")->trigger();
        QVERIFY(std::stoll(f.ini("KTemp")) > reached);
    }

    // A divisor found while the search runs is followed at once by a save of a position past
    // it, so that a crash cannot make the next start record it again.
    void aFoundDivisorIsFollowedByASave() {
        Fixture f;
        f.writeTask("14", "15", "1", "1e15");
        MainWindow& form = f.open();  // no view tick for 15 s: no periodic save
        QTRY_VERIFY_WITH_TIMEOUT(f.memo().contains("7.2^14+1 divides F_12"), kWait);
        // The exponent's begin was saved too (at k = 3); the save after the divisor may come in a
        // later turn of the event loop than the divisor's display, on a busy machine much later.
        QTRY_VERIFY_WITH_TIMEOUT(std::atoll(f.ini("KTemp").c_str()) > 7, kWait);
        QVERIFY(f.running());
        QVERIFY(std::stoll(f.ini("KTemp")) >= 9);
        QCOMPARE(f.ini("nMin"), std::string("14"));
        f.action("stopAction")->trigger();
        QVERIFY(std::stoll(f.ini("KTemp")) >= form.session().state().kPosition.load());
    }

    // A task completes, and the next view tick takes "Task 1": boxes filled, entry emptied,
    // a new begin date, the search running.
    void completedTaskTakesTheNextFollowOnTask() {
        Fixture f;
        f.writeTask("14", "14", "1", "100");
        f.setIni("f", "DateBegin", "2001-02-03 04:05:06");
        f.setIni("Following tasks", "Task 1", "n=15 to 16, k=1 to 2000, Days=0");
        MainWindow& form = f.open(50);
        QTRY_VERIFY_WITH_TIMEOUT(f.box("lastExponent")->text() == "16", kWait);
        QCOMPARE(f.box("highK")->text(), QString("2000"));
        QCOMPARE(f.ini("Task 1", "Following tasks"), std::string());
        QVERIFY(f.ini("DateBegin") != "2001-02-03 04:05:06");
        QCOMPARE(f.ini("nMin"), std::string("15"));
        // The first task found 7*2^14+1, a divisor of F_12; the second runs to its end.
        QVERIFY(f.memo().contains("7.2^14+1 divides F_12"));
        QVERIFY(f.readFile("Result.txt").contains("7.2^14+1 divides F_12\r\n"));
        QTRY_VERIFY_WITH_TIMEOUT(f.box("firstExponent")->text() == "17" && f.stoppedLook(), kWait);
        QCOMPARE(f.ini("nTemp"), std::string("17"));
        QVERIFY(f.readFile("Vontal.log").contains("n=16  k from 3"));
        QVERIFY(f.memo().contains("37.2^16+1 divides F_9"));
        QCOMPARE(form.currentIcon(), FormulaIcon::FoundStop);
        QVERIFY(f.timer("viewTimer")->isActive());  // completion leaves the tick running
    }

    void runningDisplayShowsRatesAndSavesEvery120Ticks() {
        Fixture f;
        // No "Priority" key: the default, idle.
        f.writeFile("Vontal.ini", "[f]\r\nnMin=30\r\nnTemp=30\r\nnMax=30\r\nkMin=1\r\nkMax=1e15\r\nKTemp=0\r\n");
        MainWindow& form = f.open(100);
        // The thread puts itself in the idle class (at nice 19). Then, where the test may (as
        // root, like CI), it is raised back, so that it moves on a busy machine too and the rates
        // below come in time; the status line goes on showing the priority chosen.
        auto idle = [&form] {
            const pid_t tid = form.session().threadId();
            return tid != 0 && sched_getscheduler(tid) == SCHED_IDLE && getpriority(PRIO_PROCESS, static_cast<id_t>(tid)) == 19;
        };
        QTRY_VERIFY_WITH_TIMEOUT(idle(), kWait);
        const pid_t tid = form.session().threadId();
        const sched_param normal{};
        if (sched_setscheduler(tid, SCHED_OTHER, &normal) == 0) setpriority(PRIO_PROCESS, static_cast<id_t>(tid), 0);
        QTRY_VERIFY_WITH_TIMEOUT(f.label("progressLabel")->text().contains("k/day= "), kWait);
        const QRegularExpression display(R"(^k=[\d,]+\nk/sec= [\d,]+\nk/day= (\d|\d\.10\^\d+)$)");
        QTRY_VERIFY_WITH_TIMEOUT(display.match(f.label("progressLabel")->text()).hasMatch() &&
                                     form.kPerDay() > 0, kWait);
        QVERIFY(form.tipText().startsWith("n=30 k="));
        const QString summary = f.label("statusPanel")->text();
        QVERIFY2(summary.startsWith("Begin: Unknown Date,  Ending: "), qPrintable(summary));
        QVERIFY(summary.contains("Used arrays: "));
        QVERIFY(summary.contains("Priority: 1-Idle,  ver.4.4"));
        QVERIFY(summary.endsWith("\nNO connection with the control server"));
        QVERIFY(f.label("firstExponentLabel")->text() == "nMin=30");
        // The share of the task done and the time left, from the second line on every tick.
        const QRegularExpression progress(R"(\nDone \d+\.\d% of the task,  (\d+d \d\dh|\d+h \d\dm|\d+m \d\ds) left\n)");
        QTRY_VERIFY_WITH_TIMEOUT(progress.match(f.label("statusPanel")->text()).hasMatch(), kWait);
        QCOMPARE(f.label("statusPanel")->text().split('\n').size(), 4);

        // The position is saved every 30 minutes: half an hour on, the next tick saves it (the
        // thread's position is never below 3).
        f.setIni("f", "KTemp", "1");
        form.session().AgeLastSave(std::chrono::minutes(31));
        QTRY_VERIFY_WITH_TIMEOUT(f.ini("KTemp") != "1", kWait);
    }

    void badBoxTextShowsTheConversionMessage_data() {
        QTest::addColumn<QString>("f1");
        QTest::addColumn<QString>("k2");
        QTest::addColumn<QString>("message");
        QTest::newRow("n not a number") << "1x" << "100" << "'1x' is not a valid integer value";
        QTest::newRow("k not a number") << "20" << "e5" << "'e5' is not a valid floating point value";
        QTest::newRow("k of 2^63 or more") << "20" << "99e17" << "Invalid floating point operation";
    }
    void badBoxTextShowsTheConversionMessage() {
        QFETCH(QString, f1);
        QFETCH(QString, k2);
        QFETCH(QString, message);
        Fixture f;
        f.open();
        f.setBoxes(qPrintable(f1), "20", "1", qPrintable(k2));  // pasted text is not filtered
        f.action("continueAction")->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(f.errorMessages(), QStringList{message}, kWait);
        QVERIFY(f.stoppedLook());
        QVERIFY(!f.form->session().searching());
    }

    // Failures with ever new text, as a control server repeating a failing start would bring:
    // only the newest few stay open, however many come.
    void errorBoxesStayFewAndShowTheNewest() {
        Fixture f;
        f.open();
        for (int i = 1; i <= 12; ++i) {
            f.setBoxes(qPrintable(QString("%1x").arg(i)), "20", "1", "100");
            f.action("continueAction")->trigger();
        }
        QStringList newest;
        for (int i = 8; i <= 12; ++i) newest << QString("'%1x' is not a valid integer value").arg(i);
        QTRY_COMPARE_WITH_TIMEOUT(f.errorMessages(), newest, kWait);
    }

    // Result.txt that cannot be read (here a folder) is reported and start-up goes on; the
    // divisor that then cannot be written ends the thread, which is reported too, and the
    // window returns to the stopped look with the divisor's k saved, so it is tested again.
    void fileErrorsAreShownAndThePositionKept() {
        Fixture f;
        f.writeTask("14", "14", "1", "100");
        QVERIFY(QDir(f.dir.path()).mkdir("Result.txt"));
        f.open(50);
        QTRY_COMPARE_WITH_TIMEOUT(f.errorMessages().size(), 2, kWait);
        const QStringList errors = f.errorMessages();
        QVERIFY2(errors[0].startsWith("Cannot read " + f.path("Result.txt")), qPrintable(errors[0]));
        QVERIFY2(errors[1].contains("Result.txt"), qPrintable(errors[1]));
        QTRY_VERIFY_WITH_TIMEOUT(f.stoppedLook(), kWait);
        QCOMPARE(f.ini("KTemp"), std::string("7"));
        QCOMPARE(f.ini("nTemp"), std::string("14"));
        QVERIFY(!f.timer("viewTimer")->isActive());
        QVERIFY(f.memo().contains("7.2^14+1 divides F_12"));
    }

    void clearResultBox() {
        Fixture f;
        f.writeTask("15", "14", "1", "100");
        f.writeFile("Result.txt", "\r\nfound m=12,  k=7,  n=14\r\n7.2^14+1 divides F_12\r\n");
        MainWindow& form = f.open();
        QCOMPARE(f.memo(), QString("\nfound m=12,  k=7,  n=14\n7.2^14+1 divides F_12\n"));
        QCOMPARE(form.currentIcon(), FormulaIcon::FoundStop);

        AnswerNextQuestion(QMessageBox::No);
        f.action("clearResultAction")->trigger();
        QVERIFY(!f.memo().isEmpty());
        QVERIFY(QFile::exists(f.path("Result.txt")));

        AnswerNextQuestion(QMessageBox::Yes);
        f.action("clearResultAction")->trigger();
        QVERIFY(f.memo().isEmpty());
        QVERIFY(!QFile::exists(f.path("Result.txt")));
        QCOMPARE(form.currentIcon(), FormulaIcon::Stop);

        // With an empty box nothing is asked and nothing deleted.
        f.writeFile("Result.txt", "kept");
        f.action("clearResultAction")->trigger();  // a question would block here until the timeout
        QVERIFY(QFile::exists(f.path("Result.txt")));
    }

    void clearResultBoxWhileRunningKeepsTheSearch() {
        Fixture f;
        f.writeTask("30", "30", "1", "1e15");
        f.writeFile("Result.txt", "\r\nfound m=12,  k=7,  n=14\r\n7.2^14+1 divides F_12\r\n");
        MainWindow& form = f.open();
        QTRY_VERIFY_WITH_TIMEOUT(f.running(), kWait);
        QCOMPARE(form.currentIcon(), FormulaIcon::Found);
        AnswerNextQuestion(QMessageBox::Yes);
        f.action("clearResultAction")->trigger();
        QCOMPARE(form.currentIcon(), FormulaIcon::Continue);
        QVERIFY(f.running());
        QVERIFY(form.session().searching());
    }

    void autostartTwiceLeavesNoEntry() {
        Fixture f;
        f.open();
        QCOMPARE(f.action("autostartAction")->text(), QString("Start with Desktop Session"));
        const QString entry = configDir.filePath("autostart/Vontal.desktop");
        QVERIFY(!f.action("autostartAction")->isChecked());
        f.action("autostartAction")->trigger();
        QVERIFY(f.action("autostartAction")->isChecked());
        QFile file(entry);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray text = file.readAll();
        QVERIFY(text.contains("Exec=\"" + f.path("vontal").toUtf8() + "\"\n"));
        QVERIFY(text.startsWith("[Desktop Entry]\n"));
        f.action("autostartAction")->trigger();
        QVERIFY(!f.action("autostartAction")->isChecked());
        QVERIFY(!QFile::exists(entry));
    }

    // A data folder named by hand goes into the entry, so that the program started with the
    // desktop session works in the same folder; each argument quoted as the entry's rules ask.
    void autostartEntryKeepsTheDataFolder() {
        Fixture f;
        f.programArguments = {"--dir", "/data/50% \"done\""};
        f.open();
        f.action("autostartAction")->trigger();
        QFile file(configDir.filePath("autostart/Vontal.desktop"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray text = file.readAll();
        QVERIFY2(text.contains("Exec=\"" + f.path("vontal").toUtf8() + "\" \"--dir\" \"/data/50%% \\\\\"done\\\\\"\"\n"),
                 text.constData());
        f.action("autostartAction")->trigger();
    }

    void hide() {
        Fixture f;
        MainWindow& form = f.open();
        QVERIFY(form.trayIconShown());
        AnswerNextQuestion(QMessageBox::No);
        f.action("hideAction")->trigger();
        QVERIFY(form.trayIconShown());
        QCOMPARE(f.ini("isHidden"), std::string("<missing>"));
        AnswerNextQuestion(QMessageBox::Yes);
        f.action("hideAction")->trigger();
        QVERIFY(!form.trayIconShown());
        QCOMPARE(f.ini("isHidden"), std::string("1"));
    }

    void startUpWithSavedOptions() {
        Fixture f;
        f.writeTask("30", "30", "1", "1e15");
        f.setIni("f", "isHidden", "1");
        f.setIni("f", "OldProg", "1");
        f.setIni("f", "FloatingPriority", "1");
        f.setIni("f", "Priority", "2");
        f.setIni("f", "ConnectToServerVontal", "1");
        MainWindow& form = f.open();
        QVERIFY(form.StartsHidden());
        QVERIFY(!form.isVisible());
        QVERIFY(!form.trayIconShown());
        QVERIFY(f.action("serverLinkAction")->isChecked());
        QVERIFY(f.action("floatingPriorityAction")->isEnabled());
        QVERIFY(f.action("floatingPriorityAction")->isChecked());
        QVERIFY(f.action("priorityLower")->isChecked());
        QVERIFY(!f.action("priorityIdle")->isChecked());
        QTRY_VERIFY_WITH_TIMEOUT(f.running(), kWait);
    }

    // A priority picked from the menu is stored, applied to the running thread at once and
    // shown on the status line.
    void priorityMenu() {
        Fixture f;
        f.writeTask("30", "30", "1", "1e15");
        // From "Normal", since an ordinary user may lower a priority but never leave idle.
        f.setIni("f", "Priority", "3");
        MainWindow& form = f.open();
        QTRY_VERIFY_WITH_TIMEOUT(f.running(), kWait);
        QVERIFY(f.action("priorityNormal")->isChecked());
        f.action("priorityLower")->trigger();
        QVERIFY(f.action("priorityLower")->isChecked());
        QVERIFY(!f.action("priorityNormal")->isChecked());
        QCOMPARE(f.ini("Priority"), std::string("2"));
        QVERIFY(f.label("statusPanel")->text().contains("Priority: 3-Lower,"));
        QCOMPARE(form.session().priorityLevel(), 2);
        // "Lower" is nice 10 for the computation thread alone.
        const pid_t tid = form.session().threadId();
        QVERIFY(tid != 0);
        errno = 0;
        QCOMPARE(getpriority(PRIO_PROCESS, static_cast<id_t>(tid)), 10);
    }

    // Floating priority: a horizontal pointer move drops the thread to "2-Lowest" at once, a
    // vertical one does not; resting, a later view tick raises it to "6-Highest".
    void floatingPriorityFollowsThePointer() {
        Fixture f;
        f.writeTask("30", "30", "1", "1e15");
        f.setIni("f", "OldProg", "1");
        f.setIni("f", "FloatingPriority", "1");
        f.setIni("f", "Priority", "3");
        QCursor::setPos(0, 0);
        MainWindow& form = f.open(60000);
        QTRY_VERIFY_WITH_TIMEOUT(f.running(), kWait);
        QTest::qWait(400);
        form.session().SetLastPointerX(QCursor::pos().x());
        form.session().SetPriorityLevelShown(0);
        QCursor::setPos(QCursor::pos().x(), 150);
        QTest::qWait(400);
        QCOMPARE(form.session().priorityLevel(), 0);
        QCursor::setPos(QCursor::pos().x() + 40, 150);
        QTRY_COMPARE_WITH_TIMEOUT(form.session().priorityLevel(), 1, kWait);
        QCOMPARE(form.session().floatingMode(), 2u);
        const pid_t tid = form.session().threadId();
        QCOMPARE(getpriority(PRIO_PROCESS, static_cast<id_t>(tid)), 19);

        // Ticks: the first re-arms, the next whose count is a multiple of 6 raises.
        f.timer("viewTimer")->setInterval(20);
        f.timer("viewTimer")->start();
        if (geteuid() != 0) {
            // Raising needs privilege: the refusal is shown once, and the search goes on.
            QTRY_COMPARE_WITH_TIMEOUT(f.errorMessages().size(), 1, kWait);
            QTest::qWait(300);
            QCOMPARE(f.errorMessages().size(), 1);
            QVERIFY(f.running());
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(form.session().priorityLevel(), 5, kWait);
        QCOMPARE(getpriority(PRIO_PROCESS, static_cast<id_t>(tid)), -10);

        // Switched off, the thread keeps the priority it has.
        f.action("floatingPriorityAction")->trigger();
        QVERIFY(!f.action("floatingPriorityAction")->isChecked());
        QCOMPARE(f.ini("FloatingPriority"), std::string("0"));
        QCOMPARE(form.session().floatingMode(), 0u);
        QCOMPARE(form.session().priorityLevel(), 5);
    }

    // The run commands, Threads and Quit: in the menus, and in the tray icon's menu.
    void menusOfTheDesktop() {
        Fixture f;
        f.setIni("Threads", "1");
        MainWindow& form = f.open();
        auto* tray = form.findChild<QMenu*>("trayMenu");
        QVERIFY(tray);
        QList<QAction*> items;
        for (QAction* a : tray->actions())
            if (!a->isSeparator()) items << a;
        QCOMPARE(items, (QList<QAction*>{f.action("showHideAction"), f.action("continueAction"), f.action("stopAction"),
                                         f.action("quitAction")}));
        QCOMPARE(f.action("quitAction")->text(), QString("Quit"));
        QCOMPARE(f.action("quitAction")->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
        // Show or hide, as the window stands.
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        emit tray->aboutToShow();
        QCOMPARE(f.action("showHideAction")->text(), QString("Hide Window"));
        f.action("showHideAction")->trigger();
        QVERIFY(!form.isVisible());
        QCOMPARE(f.action("showHideAction")->text(), QString("Show Window"));
        f.action("showHideAction")->trigger();
        QVERIFY(form.isVisible());
        // One item per core, the stored count ticked; a choice is stored at once.
        auto* threads = form.findChild<QMenu*>("threadsMenu");
        QVERIFY(threads);
        const int cores = std::max(1, QThread::idealThreadCount());
        QCOMPARE(threads->actions().size(), cores);
        QVERIFY(f.action("threads1")->isChecked());
        f.action(qPrintable(QString("threads%1").arg(cores)))->trigger();
        QCOMPARE(f.ini("Threads"), std::to_string(cores));
        QVERIFY(f.action(qPrintable(QString("threads%1").arg(cores)))->isChecked());
        QCOMPARE(form.session().ThreadsToUse(), uint32_t(cores));
    }

    void threadsChangeARunningSearchAtOnce() {
        if (QThread::idealThreadCount() < 2) QSKIP("one core: no other count to choose");
        Fixture f;
        f.writeTask("30", "30", "1", "1e15");
        f.setIni("Threads", "1");
        MainWindow& form = f.open();
        QTRY_VERIFY_WITH_TIMEOUT(f.running() && form.session().state().kPosition.load() > 100'000, kWait);
        QCOMPARE(form.session().runThreads(), uint32_t(1));
        f.action("threads2")->trigger();
        // Stopped at the candidates in hand, the position saved, and on again from it on two cores.
        const int64_t saved = std::stoll(f.ini("KTemp"));
        QVERIFY(saved > 100'000);
        QVERIFY(form.session().searching());
        QCOMPARE(form.session().runThreads(), uint32_t(2));
        QTRY_VERIFY_WITH_TIMEOUT(f.running(), kWait);
        QTRY_VERIFY_WITH_TIMEOUT(form.session().state().kPosition.load() > saved, kWait);
        QCOMPARE(f.errorMessages(), QStringList());
    }

    void quitSavesAndEnds() {
        Fixture f;
        f.writeTask("30", "30", "1", "1e15");
        MainWindow& form = f.open();
        form.show();
        QTRY_VERIFY_WITH_TIMEOUT(f.running() && form.session().state().kPosition.load() > 100'000, kWait);
        f.action("quitAction")->trigger();
        QVERIFY(!form.session().searching());
        QVERIFY(!form.isVisible());
        QVERIFY(!form.trayIconShown());
        const std::string saved = f.ini("KTemp");
        QCOMPARE(saved, std::to_string(form.session().state().kPosition.load()));
        QVERIFY(std::stoll(saved) > 100'000);
    }

    // Closing over empty boxes and no stored task (a first start ended at once, by the window or
    // by SIGTERM, which saves the same way) writes no settings file: the file's mere existence
    // would hide the window at the next start. What was typed, or cleared over a stored task,
    // is kept as before.
    void exitWithNothingTypedWritesNoSettingsFile() {
        {
            Fixture f;
            f.open().close();
            QVERIFY(!QFile::exists(f.path("Vontal.ini")));
        }
        {
            Fixture f;
            MainWindow& form = f.open();
            f.setBoxes("30", "", "", "");
            form.close();
            QCOMPARE(f.ini("nTemp"), std::string("30"));
            QCOMPARE(f.ini("kMax"), std::string(""));
        }
        {
            Fixture f;
            f.writeTask("32", "31", "1", "1e9");  // finished: nothing starts
            MainWindow& form = f.open();
            QCOMPARE(f.boxes(), (QStringList{"32", "31", "1", "1e9"}));
            f.setBoxes("", "", "", "");
            form.close();
            QCOMPARE(f.ini("nTemp"), std::string(""));
            QCOMPARE(f.ini("kMin"), std::string(""));
        }
    }

    void closeSavesThePosition() {
        Fixture f;
        f.writeTask("30", "30", "1", "1e15");
        MainWindow& form = f.open();
        QTRY_VERIFY_WITH_TIMEOUT(f.running() && form.session().state().kPosition.load() > 100'000, kWait);
        form.close();
        const std::string saved = f.ini("KTemp");
        QCOMPARE(saved, std::to_string(form.session().state().kPosition.load()));
        QVERIFY(std::stoll(saved) > 100'000);
        QVERIFY(!form.trayIconShown());
    }

    // Whatever "Vontal.ini" holds, the program comes up: the window shows, nothing modal waits
    // for a click, every option has its default, and a task that is there but cannot run is
    // reported in the error box the window uses for every failure (not modal).
    void hostileSettingsFileAtStartUp_data() {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QStringList>("boxes");  // "*": not compared
        QTest::addColumn<bool>("runs");
        QTest::addColumn<QString>("notice");  // pattern of the one error shown; empty: none
        // The rows that run keep the thread at the test's priority (see Fixture::writeTask).
        const QByteArray task = "[f]\r\nnTemp=30\r\nnMax=30\r\nkMin=5\r\nkMax=1e15\r\nPriority=-1\r\n";
        const QStringList taskBoxes{"30", "30", "5", "1e15"};
        const QStringList none{"", "", "", ""};
        const QString cannot = "^The task saved in .*Vontal\\.ini cannot be continued: ";
        QTest::newRow("empty") << QByteArray() << none << false << QString();
        QTest::newRow("binary garbage") << Garbage(64 * 1024) << none << false << QString();
        QTest::newRow("garbage in a task value")
            << "[f]\r\nnTemp=30\r\nnMax=30\r\nkMin=1\r\nkMax=" + Garbage(300).replace('\n', 'x') + "\r\n"
            << QStringList{"30", "30", "1", "*"} << false
            << QString(cannot + "'.*' is not a valid floating point value$");
        QTest::newRow("truncated mid-line") << QByteArray("[f]\r\nnMin=30\r\nnTemp=30\r\nnMax=31\r\nkMin=1\r\nkMa")
                                            << QStringList{"30", "31", "1", ""} << false
                                            << cannot + "the task is incomplete \\(missing or empty: kMax\\)$";
        QTest::newRow("truncated section header") << QByteArray("[f\r\nnTemp=30\r\nnMax=30\r\n") << none << false
                                                  << QString();
        QTest::newRow("10 MB line before the task")
            << "; " + QByteArray(kTenMB, 'x') + "\r\n" + task << taskBoxes << true << QString();
        QTest::newRow("10 MB value") << "[f]\r\nnTemp=" + QByteArray(kTenMB, '7') + "\r\nnMax=30\r\nkMin=1\r\nkMax=9\r\n"
                                     << QStringList{QString(IniFile::kMaxValueLength, '7'), "30", "1", "9"} << false
                                     << cannot + "'7+\u2026?7+' is not a valid integer value$";
        QTest::newRow("10 MB of line breaks") << QByteArray(kTenMB, '\n') + task << taskBoxes << true << QString();
        QTest::newRow("odd case and blanks")
            << QByteArray("  [ F ]  \r\n  NTEMP = 30 \r\n nmax=30\r\n\tKMIN\t=\t5\r\nKmax = 1e15 \r\n PRIORITY = -1\r\n") << taskBoxes
            << true << QString();
        QTest::newRow("first n below 8") << QByteArray("[f]\r\nnTemp=7\r\nnMax=30\r\nkMin=1\r\nkMax=9\r\n")
                                         << QStringList{"7", "30", "1", "9"} << false
                                         << cannot + "the first exponent 7 is below 8$";
        QTest::newRow("k reversed") << QByteArray("[f]\r\nnTemp=30\r\nnMax=30\r\nkMin=9\r\nkMax=1\r\n")
                                    << QStringList{"30", "30", "9", "1"} << false
                                    << cannot + "the highest k is below the lowest$";
        QTest::newRow("finished") << QByteArray("[f]\r\nnTemp=31\r\nnMax=30\r\nkMin=1\r\nkMax=9\r\n")
                                  << QStringList{"31", "30", "1", "9"} << false << QString();
        QTest::newRow("KTemp not a number") << task + "KTemp=12x\r\n" << taskBoxes << false
                                            << "^'12x' is not a valid integer value$";
    }
    void hostileSettingsFileAtStartUp() {
        QFETCH(QByteArray, ini);
        QFETCH(QStringList, boxes);
        QFETCH(bool, runs);
        QFETCH(QString, notice);
        Fixture f;
        f.writeFile("Vontal.ini", ini);
        MainWindow& form = f.open();
        if (!form.StartsHidden()) form.show();
        QVERIFY(form.isVisible());
        QVERIFY(!QApplication::activeModalWidget());
        const char* names[] = {"firstExponent", "lastExponent", "lowK", "highK"};
        for (int i = 0; i < 4; ++i)
            if (boxes[i] != "*") QCOMPARE(f.box(names[i])->text(), boxes[i]);
        if (runs)
            QTRY_VERIFY_WITH_TIMEOUT(f.running(), kWait);
        else
            QTRY_VERIFY_WITH_TIMEOUT(f.stoppedLook() && !f.form->session().searching(), kWait);
        if (notice.isEmpty()) {
            QTest::qWait(50);
            QCOMPARE(f.errorMessages(), QStringList());
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(f.errorMessages().size(), 1, kWait);
            const QString shown = f.errorMessages().first();
            QVERIFY2(QRegularExpression(notice, QRegularExpression::DotMatchesEverythingOption).match(shown).hasMatch(),
                     qPrintable(shown.right(300).toUtf8().toPercentEncoding(" ")));
            QVERIFY(shown.size() <= 1001);
        }
        QVERIFY(!QApplication::activeModalWidget());
        // The options read their defaults.
        QVERIFY(!f.action("serverLinkAction")->isChecked());
        QVERIFY(!f.action("floatingPriorityAction")->isEnabled());
        QVERIFY(form.trayIconShown());
        QVERIFY(f.label("statusPanel")->text().startsWith("Program is stopped") || runs);
    }

    // "Result.txt" as the box shows it at start-up: no lines, no divisor; binary bytes as
    // printable text; of a gigabyte file only its end, read at once.
    void resultFileAtStartUp_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<qint64>("zerosBefore");  // a sparse run of zero bytes first
        QTest::addColumn<QString>("memo");
        const QByteArray record = "\r\nfound m=12,  k=7,  n=14\r\n7.2^14+1 divides F_12\r\n";
        const QString shown = "\nfound m=12,  k=7,  n=14\n7.2^14+1 divides F_12\n";
        QTest::newRow("empty") << QByteArray() << qint64(0) << QString();
        QTest::newRow("binary") << QByteArray("\x01\x00\xff\xfe\x1b[2J", 8) + record << qint64(0)
                                << QString::fromUtf8("\uFFFD\uFFFD\u00FF\u00FE\uFFFD[2J") + shown;
        QTest::newRow("1 GB") << record << qint64(1) << QString(kResultCutNote) + shown;
    }
    void resultFileAtStartUp() {
        QFETCH(QByteArray, content);
        QFETCH(qint64, zerosBefore);
        QFETCH(QString, memo);
        Fixture f;
        f.writeTask("31", "30", "1", "9");
        {
            QFile file(f.path("Result.txt"));
            QVERIFY(file.open(QIODevice::WriteOnly));
            if (zerosBefore) QVERIFY(file.resize(zerosBefore << 30) && file.seek(zerosBefore << 30));
            file.write(content);
        }
        MainWindow& form = f.open();
        QCOMPARE(f.memo(), memo);
        QCOMPARE(form.currentIcon(), memo.isEmpty() ? FormulaIcon::Stop : FormulaIcon::FoundStop);
        QCOMPARE(f.errorMessages(), QStringList());
    }

    // A kernel variant that fails its self-test: the status line says so from the start and
    // keeps saying it, the log records it, and the search runs on a variant that passed.
    void kernelSelfTestFailureIsShownAndLogged() {
        if (!qEnvironmentVariableIsSet("VONTAL_KERNEL_SELFTEST_FAIL")) {
            // The self-test runs once, before main(): the failure is made in a process of its own.
            QProcess child;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("VONTAL_KERNEL_SELFTEST_FAIL", "portable");
            child.setProcessEnvironment(env);
            child.setProcessChannelMode(QProcess::MergedChannels);
            child.start(QCoreApplication::applicationFilePath(), {"kernelSelfTestFailureIsShownAndLogged"});
            QVERIFY(child.waitForFinished(60000));
            QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0, child.readAll().constData());
            return;
        }
        const QString failure = "kernel portable failed its self-test on 7*2^14+1 (m=0, expected 12); it is not used";
        Fixture f;
        f.writeTask("14", "14", "1", "100");
        MainWindow& form = f.open();
        QLabel* status = f.label("statusPanel");
        QVERIFY2(failure.startsWith(status->text().split('\n').first().chopped(1)), qPrintable(status->text()));
        QCOMPARE(status->toolTip(), failure);
        // The search runs on another variant and finds the divisor all the same.
        QTRY_VERIFY_WITH_TIMEOUT(f.memo().contains("7.2^14+1 divides F_12") && f.stoppedLook(), kWait);
        form.RefreshStatus();
        QVERIFY(status->text().startsWith(status->text().split('\n').first()));
        QVERIFY(failure.startsWith(status->text().split('\n').first().chopped(1)));
        QVERIFY(status->text().endsWith("\nNO connection with the control server"));
        const QByteArray log = f.readFile("Vontal.log");
        QVERIFY2(log.startsWith("Model "), log.constData());
        QVERIFY2(log.contains("MHz\r\n" + failure.toLatin1() + "\r\nn=14  k from 3"), log.constData());
        QCOMPARE(f.errorMessages(), QStringList());
    }

private:
    QTemporaryDir configDir;
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
