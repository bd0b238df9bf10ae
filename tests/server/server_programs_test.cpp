// The real thing: vontal-server and four real desktop programs (offscreen, each in its own data
// folder and with its own settings file) on 127.0.0.1. The dashboard's JSON shows their tasks
// and progress; Stop and Continue from the API act on the machine named and no other; two
// machines that have finished their tasks are given the queue's tasks: the one whose user
// accepts tasks from the server starts at once, the other is shown waiting for its user.
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>

#include "RawHttp.h"
#include "ServerProcess.h"

namespace {

// Guard of every wait: the programs' first link attempt comes with their first 15-second view
// tick, on a loaded machine later.
constexpr int kWait = 120000;

class Program {
public:
    // `ini`: the [f] keys after the priority and the link to the server.
    Program(const QByteArray& ini, quint16 serverPort) {
        QVERIFY(dir.isValid());
        QVERIFY(QDir().mkpath(dir.filePath("data")));
        QVERIFY(QDir().mkpath(dir.filePath("home/.config")));
        QFile file(dir.filePath("data/Vontal.ini"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        // The thread keeps the test's own priority: at the default, idle, it may get no
        // processor for long stretches on a busy machine.
        file.write("[f]\r\nPriority=-1\r\nConnectToServerVontal=1\r\nHostServerVontal=127.0.0.1\r\n" + ini);
        file.close();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("VONTAL_CPU_MHZ", "2000");
        env.insert("VONTAL_SERVER_PORT", QString::number(serverPort));
        // The autostart switch and anything else of the desktop session stay in here.
        env.insert("HOME", dir.filePath("home"));
        env.insert("XDG_CONFIG_HOME", dir.filePath("home/.config"));
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(dir.path());
        process.start(VONTAL_PROGRAM, {"--dir", dir.filePath("data")});
        QVERIFY(process.waitForStarted());
    }
    ~Program() {
        if (process.state() != QProcess::NotRunning) {
            ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
            if (!process.waitForFinished(60000)) {
                process.kill();
                process.waitForFinished();
            }
        }
    }
    QTemporaryDir dir;
    QProcess process;
};

// The machine whose task begins at exponent `nMin`, from a fresh /api/machines.
QJsonObject Machine(quint16 port, const QString& nMin) {
    for (const QJsonValue v : GetMachines(port)["machines"].toArray())
        if (v.toObject()["task"].toObject()["nMin"].toString() == nMin) return v.toObject();
    return {};
}

bool ProgramKnowsServerTasks() {
    QFile program(VONTAL_PROGRAM);
    return program.open(QIODevice::ReadOnly) && program.readAll().contains("AcceptServerTasks");
}

}  // namespace

class ServerProgramsTest : public QObject {
    Q_OBJECT
private slots:
    void realProgramsDrivenThroughTheApi() {
        ServerProcess server({"--poll-seconds", "1", "--grace-seconds", "3"});
        const QByteArray token = ServerProcess::kToken;
        const QByteArray first = R"({"nFirst":"33","nLast":"33","kLow":"1","kHigh":"1e15"})";
        const QByteArray second = R"({"nFirst":"34","nLast":"34","kLow":"1","kHigh":"1e15"})";
        QCOMPARE(Post(server.httpPort, "/api/queue", token, first), 202);
        QCOMPARE(Post(server.httpPort, "/api/queue", token, second), 202);
        QCOMPARE(server.queueFile(), QByteArray("n=33 to 33, k=1 to 1e15\nn=34 to 34, k=1 to 1e15\n"));

        // Two programs searching long tasks; two whose tasks are done (the exponent past the
        // last), one of them accepting tasks from the server.
        Program a("nMin=40\r\nnTemp=40\r\nnMax=40\r\nkMin=1\r\nkMax=1e15\r\nKTemp=0\r\n", server.programPort);
        Program b("nMin=41\r\nnTemp=41\r\nnMax=41\r\nkMin=1\r\nkMax=1e15\r\nKTemp=0\r\n", server.programPort);
        Program accepting("nMin=20\r\nnTemp=21\r\nnMax=20\r\nkMin=1\r\nkMax=100\r\nKTemp=0\r\nAcceptServerTasks=1\r\n",
                          server.programPort);
        Program asking("nMin=22\r\nnTemp=23\r\nnMax=22\r\nkMin=1\r\nkMax=100\r\nKTemp=0\r\n", server.programPort);

        QTRY_VERIFY_WITH_TIMEOUT(GetMachines(server.httpPort)["machines"].toArray().size() == 4, kWait);
        // Tasks and progress: each running machine with its exponent, k reached, share and rate.
        for (const char* n : {"40", "41"}) {
            QTRY_VERIFY_WITH_TIMEOUT(Machine(server.httpPort, n)["state"].toString() == "running" &&
                                         !Machine(server.httpPort, n)["kReached"].isNull() &&
                                         !Machine(server.httpPort, n)["rate"].isNull(),
                                     kWait);
            const QJsonObject m = Machine(server.httpPort, n);
            QCOMPARE(m["exponent"].toInt(), QString(n).toInt());
            QCOMPARE(m["task"].toObject()["kMax"].toString(), QString("1e15"));
            QVERIFY(m["shareDone"].toDouble() >= 0.0 && m["shareDone"].toDouble() < 1.0);
            QVERIFY(m["connected"].toBool());
            QVERIFY(m["address"].toString().startsWith("127.0.0.1:"));
            QCOMPARE(m["commands"].toObject()["stop"].toBool(), true);
        }
        QVERIFY(GetMachines(server.httpPort)["fleetRate"].toDouble() > 0);

        // Stop acts on the machine named, and on no other.
        const QByteArray idA = Machine(server.httpPort, "40")["id"].toString().toLatin1();
        QCOMPARE(Post(server.httpPort, "/api/machines/" + idA + "/continue", token), 409);
        QCOMPARE(Post(server.httpPort, "/api/machines/" + idA + "/stop", "wrong"), 403);
        QCOMPARE(Post(server.httpPort, "/api/machines/" + idA + "/stop", token), 202);
        QTRY_COMPARE_WITH_TIMEOUT(Machine(server.httpPort, "40")["state"].toString(), QString("stopped"), kWait);
        QCOMPARE(Machine(server.httpPort, "41")["state"].toString(), QString("running"));
        QCOMPARE(Machine(server.httpPort, "40")["commands"].toObject()["continue"].toBool(), true);
        // Continue brings it back.
        QCOMPARE(Post(server.httpPort, "/api/machines/" + idA + "/continue", token), 202);
        QTRY_COMPARE_WITH_TIMEOUT(Machine(server.httpPort, "40")["state"].toString(), QString("running"), kWait);
        QCOMPARE(Machine(server.httpPort, "41")["state"].toString(), QString("running"));

        // The machine that asks its user is shown waiting for them, its task still in the file.
        QJsonObject waiting;
        QTRY_VERIFY_WITH_TIMEOUT((waiting = Machine(server.httpPort, "22"))["state"].toString() == "waiting-for-user",
                                 kWait);
        const QString waitingFor = waiting["assignedTask"].toObject()["nFirst"].toString();
        QVERIFY(waitingFor == "33" || waitingFor == "34");
        QVERIFY(server.queueFile().contains("n=" + waitingFor.toLatin1() + " to "));
        QCOMPARE(waiting["task"].toObject()["nTemp"].toString(), waitingFor);

        if (!ProgramKnowsServerTasks())
            QSKIP("the desktop program has no \"Accept Tasks from Server\" setting yet: it asks its user too");
        // The machine that accepts runs the other task, which has left the file.
        const QString other = waitingFor == "33" ? "34" : "33";
        QTRY_COMPARE_WITH_TIMEOUT(Machine(server.httpPort, other)["state"].toString(), QString("running"), kWait);
        QTRY_VERIFY_WITH_TIMEOUT(!server.queueFile().contains("n=" + other.toLatin1() + " to "), kWait);
        QCOMPARE(server.queueFile(), "n=" + waitingFor.toLatin1() + " to " + waitingFor.toLatin1() + ", k=1 to 1e15\n");
    }
};

QTEST_GUILESS_MAIN(ServerProgramsTest)
#include "server_programs_test.moc"
