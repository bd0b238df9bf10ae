// The program itself: copied into a temporary directory beside a settings file holding an
// interrupted task, started with no display, never clicked.
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <csignal>

#include "SearchClock.h"

namespace {

using namespace std::chrono_literals;

// Guard of every wait on the program: room for a loaded machine (a CI run with two tests side by
// side on two cores, under a sanitizer).
constexpr int kWait = 60000;

// Appended to each settings file: the thread keeps the test's own priority. At the default,
// idle, it gets no processor at all for long stretches on a busy machine.
const QByteArray kTestPriority = "Priority=-1\r\n";

class Program {
public:
    // With a settings file beside the program (a portable copy), or in `dataDir` when one is given.
    explicit Program(const QByteArray& ini, const QString& dataDir = {}) {
        QVERIFY(dir.isValid());
        QVERIFY(QFile::copy(VONTAL_PROGRAM, dir.filePath("vontal")));
        data = dataDir.isEmpty() ? dir.path() : dataDir;
        QVERIFY(QDir().mkpath(data));
        QFile file(QDir(data).filePath("Vontal.ini"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(ini + kTestPriority);
    }
    ~Program() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }
    void start(const QStringList& arguments = {}, const QProcessEnvironment& extra = {}) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("VONTAL_CPU_MHZ", "2000");
        env.insert("XDG_CONFIG_HOME", dir.filePath("config"));
        env.insert(extra);
        process.setProcessEnvironment(env);
        // Another working directory: the files must land in the data folder all the same.
        process.setWorkingDirectory(QDir::tempPath());
        process.start(dir.filePath("vontal"), arguments);
        QVERIFY(process.waitForStarted());
    }
    QByteArray read(const char* name) const {
        QFile file(QDir(data).filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // The files beside the program.
    QStringList programFolder() const { return QDir(dir.path()).entryList(QDir::Files | QDir::NoDotAndDotDot); }
    QByteArray iniValue(const char* key) const {
        const QRegularExpression line(QString("^%1=(.*?)\\r?$").arg(key), QRegularExpression::MultilineOption);
        return line.match(QString::fromLatin1(read("Vontal.ini"))).captured(1).toLatin1();
    }
    // Waits until the program's computation thread has searched for `searched` of processor
    // time (a while on an idle machine, longer on a busy one).
    void waitUntilSearched(std::chrono::milliseconds searched) {
        QVERIFY2(vontal::testing::WaitUntilSearched(static_cast<pid_t>(process.processId()), searched,
                                                    std::chrono::seconds(kWait / 1000)),
                 "the program did not search");
        QVERIFY(process.state() == QProcess::Running);
    }
    void terminate() {
        ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
        QVERIFY(process.waitForFinished(kWait));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
    }

    QTemporaryDir dir;
    QString data;  // the data folder
    QProcess process;
};

// Runs the program to its end (a request answered without a window, or a refusal).
struct Ended {
    int status = -1;
    QByteArray out, err;
};
Ended RunToEnd(const QStringList& arguments, const QProcessEnvironment& env) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(VONTAL_PROGRAM, arguments);
    Ended e;
    if (!p.waitForFinished(kWait) || p.exitStatus() != QProcess::NormalExit) return e;
    e.status = p.exitCode();
    e.out = p.readAllStandardOutput();
    e.err = p.readAllStandardError();
    return e;
}

}  // namespace

class EndToEndTest : public QObject {
    Q_OBJECT
private slots:
    // n = 14 was interrupted at k = 5: it resumes there without a header, finds 7*2^14+1 | F_12,
    // then searches n = 15 and 16 afresh and completes.
    void interruptedTaskContinuesAndCompletes() {
        Program program("[f]\r\nnMin=14\r\nnTemp=14\r\nnMax=16\r\nkMin=1\r\nkMax=20000\r\nKTemp=5\r\n"
                        "DateBegin=2024-01-02 03:04:05\r\n");
        program.start();
        QTRY_VERIFY_WITH_TIMEOUT(program.iniValue("nTemp") == "17", kWait);
        const QByteArray result = program.read("Result.txt");
        QCOMPARE(result.count("divides F_"), 4);
        QVERIFY(result.startsWith("\r\nfound m=12,  k=7,  n=14\r\n7.2^14+1 divides F_12\r\n"));
        QVERIFY(result.contains("973.2^16+1 divides F_12\r\n"));
        const QByteArray log = program.read("Vontal.log");
        QVERIFY(log.startsWith("Model "));
        QVERIFY(log.contains("2000MHz"));
        QVERIFY(!log.contains("n=14  k from"));  // resumed, not begun again
        QVERIFY(log.contains("n=15  k from"));
        QCOMPARE(log.count(" up to 20000, CODO="), 3);
        // results.jsonl: the same divisors and exponents, whole JSON lines; n = 14 counts its
        // candidates from where it resumed.
        const QByteArray jsonl = program.read("results.jsonl");
        QVERIFY(jsonl.endsWith('\n') && !jsonl.contains('\r'));
        QStringList divisors, exponents;
        for (const QByteArray& line : jsonl.trimmed().split('\n')) {
            QJsonParseError error;
            const QJsonObject o = QJsonDocument::fromJson(line, &error).object();
            QVERIFY2(error.error == QJsonParseError::NoError, line.constData());
            if (o["type"] == "divisor")
                divisors << o["k"].toString() + ".2^" + QString::number(o["n"].toInt()) + "+1 divides F_" +
                                QString::number(o["m"].toInt());
            else
                exponents << QString::number(o["n"].toInt()) + " " + o["tested_from"].toString() + " " + o["check"].toString();
        }
        QCOMPARE(divisors.size(), 4);
        for (const QString& d : divisors) QVERIFY2(result.contains((d + "\r\n").toLatin1()), qPrintable(d));
        QCOMPARE(exponents.size(), 3);
        for (const QString& e : exponents) QVERIFY2(log.contains("CODO=" + e.section(' ', 2).toLatin1()), qPrintable(e));
        QVERIFY2(exponents[0].startsWith("14 5 ") && exponents[1].startsWith("15 3 ") && exponents[2].startsWith("16 3 "),
                 qPrintable(exponents.join(", ")));
        QCOMPARE(program.iniValue("KTemp").isEmpty(), false);
        QVERIFY(program.iniValue("DateEnd").size() >= 10);
        program.terminate();
        QCOMPARE(program.iniValue("nTemp"), QByteArray("17"));
    }

    // --version and --help need no display; with none, and no platform chosen, the program
    // says so and ends (Qt would abort); a mistake on the command line is named.
    void commandLineWithoutADisplay() {
        QProcessEnvironment bare = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) bare.remove(name);
        Ended e = RunToEnd({"--version"}, bare);
        QCOMPARE(e.status, 0);
        QVERIFY2(QRegularExpression("^vontal 4\\.4 \\(kernel [a-z0-9-]+\\)\n$").match(QString::fromLatin1(e.out)).hasMatch(), e.out.constData());
        e = RunToEnd({"--help"}, bare);
        QCOMPARE(e.status, 0);
        QVERIFY(e.out.contains("--dir DIR") && e.out.contains("--version") && e.out.contains("Exit status 2"));
        e = RunToEnd({}, bare);
        QCOMPARE(e.status, 2);
        QVERIFY2(e.err.contains("vontal: no display") && e.err.contains("vontal-cli"), e.err.constData());
        QProcessEnvironment offscreen = bare;
        offscreen.insert("QT_QPA_PLATFORM", "offscreen");
        e = RunToEnd({"--frobnicate"}, offscreen);
        QCOMPARE(e.status, 2);
        QVERIFY2(e.err.contains("frobnicate"), e.err.constData());
        e = RunToEnd({"--dir"}, offscreen);
        QCOMPARE(e.status, 2);
        QVERIFY2(e.err.contains("--dir"), e.err.constData());
    }

    // The data folder: named with --dir, or by the rule ($XDG_DATA_HOME/Vontal when no
    // Vontal.ini lies beside the program); nothing lands beside the program. One that cannot
    // be used is refused with the reason.
    void dataFolder() {
        const QByteArray task = "[f]\r\nnMin=14\r\nnTemp=14\r\nnMax=16\r\nkMin=1\r\nkMax=20000\r\nKTemp=0\r\n";
        QTemporaryDir elsewhere;
        for (const bool named : {true, false}) {
            const QString data = elsewhere.filePath(named ? "named" : "xdg/Vontal");
            Program program(task, data);
            QProcessEnvironment env;
            env.insert("HOME", elsewhere.filePath("home"));
            env.insert("XDG_DATA_HOME", elsewhere.filePath("xdg"));
            program.start(named ? QStringList{"--dir", data} : QStringList{}, env);
            QTRY_VERIFY_WITH_TIMEOUT(program.iniValue("nTemp") == "17", kWait);
            QCOMPARE(program.read("Result.txt").count("divides F_"), 4);
            program.terminate();
            QCOMPARE(program.programFolder(), QStringList{"vontal"});
        }
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        const Ended e = RunToEnd({"--dir", elsewhere.filePath("missing")}, env);
        QCOMPARE(e.status, 2);
        QVERIFY2(e.err.contains("is not a directory"), e.err.constData());
        QVERIFY(!QFile::exists(elsewhere.filePath("missing")));
    }

    // A long task is running when SIGTERM comes: the k reached is saved before the end, and the
    // next start goes on from there.
    void positionSavedOnTermination() {
        Program program("[f]\r\nnMin=30\r\nnTemp=30\r\nnMax=30\r\nkMin=1\r\nkMax=1e15\r\nKTemp=1000001\r\n");
        program.start();
        // A resumed exponent writes nothing until it ends; let it move on.
        program.waitUntilSearched(1000ms);
        program.terminate();
        const qint64 saved = program.iniValue("KTemp").toLongLong();
        QVERIFY2(saved > 1000001, program.iniValue("KTemp").constData());
        QCOMPARE(program.iniValue("nTemp"), QByteArray("30"));
        QCOMPARE(program.iniValue("kMax"), QByteArray("1e15"));

        program.start();
        program.waitUntilSearched(500ms);
        program.process.kill();  // no chance to save: the file keeps the last saved position
        QVERIFY(program.process.waitForFinished(kWait));
        QVERIFY(program.iniValue("KTemp").toLongLong() >= saved);
        QVERIFY(!program.read("Vontal.log").contains("n=30  k from"));
    }
};

QTEST_GUILESS_MAIN(EndToEndTest)
#include "end_to_end_test.moc"
