// The control server's parts in the test's own process: the program's replies taken apart (the
// documented example byte for byte, and odd replies that must never crash), the queue file, the
// hand-out of queued tasks to finished machines played by fake programs, and the API's rules
// with one real request over HTTP.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

#include <memory>

#include "FakeProgram.h"
#include "RawHttp.h"
#include "server/ControlApi.h"
#include "server/Fleet.h"
#include "server/HttpFrontEnd.h"
#include "server/ProgramState.h"
#include "server/TaskQueue.h"

using namespace vontal;
using namespace vontal::server;

namespace {

constexpr int kWait = 60000;

const QByteArray kExample =
    "[CurrentParameters]nMin=50,nTemp=52,nMax=60,kMin=20e12,kMax=30e12,Start1=1,Continue1=1,Stop1=0,WS=0lab/|"
    "Program does not work\rExpects a new task...|";

QByteArray Running(const QByteArray& label, const QByteArray& nTemp = "52") {
    return "[CurrentParameters]nMin=50,nTemp=" + nTemp +
           ",nMax=60,kMin=20e12,kMax=30e12,Start1=0,Continue1=0,Stop1=1,WS=1lab/|" + label + "|";
}

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// A fleet on a free port of 127.0.0.1 with short times, its queue in a temporary folder.
struct FleetFixture {
    explicit FleetFixture(int graceMs = 1500) : queue(dir.filePath("queue.txt")) {
        FleetOptions options;
        options.times = {200, 2000, 50};
        options.graceMs = graceMs;
        fleet = std::make_unique<Fleet>(queue, options);
        QString error;
        QVERIFY2(fleet->Listen(QHostAddress::LocalHost, 0, &error), qPrintable(error));
    }
    QJsonArray machines() const { return fleet->MachinesJson(); }
    QJsonObject machine(int i = 0) const { return machines().at(i).toObject(); }
    void connect(FakeProgram& program) {
        program.connectTo(fleet->port());
        const int before = static_cast<int>(machines().size());
        QTRY_VERIFY_WITH_TIMEOUT(machines().size() > before || program.count("[ReceiveParameters]") > 1, kWait);
    }
    QTemporaryDir dir;
    TaskQueue queue;
    std::unique_ptr<Fleet> fleet;
};

TaskTexts Task(const char* a, const char* b, const char* c, const char* d) { return {a, b, c, d}; }

}  // namespace

class ServerLogicTest : public QObject {
    Q_OBJECT
private slots:
    // ---- The replies.

    void exampleReplyEveryPiece() {
        const auto state = ParseStateReply(kExample);
        QVERIFY(state);
        QCOMPARE(state->nMin, QString("50"));
        QCOMPARE(state->nTemp, QString("52"));
        QCOMPARE(state->nMax, QString("60"));
        QCOMPARE(state->kMin, QString("20e12"));
        QCOMPARE(state->kMax, QString("30e12"));
        QCOMPARE(state->startEnabled, true);
        QCOMPARE(state->continueEnabled, true);
        QCOMPARE(state->stopEnabled, false);
        QCOMPARE(state->autostart, false);
        QCOMPARE(state->label, QString("Program does not work\rExpects a new task..."));
        QVERIFY(!state->Running() && !state->Finished() && !state->KReached() && !state->Rate());
        QCOMPARE(state->Exponent(), std::optional<uint32_t>(52));
        // Two of eleven exponents behind it, none of the k range known.
        QCOMPARE(*state->ShareDone(), 2.0 / 11.0);
        QVERIFY(ReplyComplete(kExample, kStateReplyToken));
        // Every cut short of the whole is incomplete, and does not parse.
        for (qsizetype n = 0; n < kExample.size(); ++n) {
            QVERIFY2(!ReplyComplete(kExample.left(n), kStateReplyToken), kExample.left(n).constData());
            QVERIFY(!ParseStateReply(kExample.left(n)));
        }
    }

    void runningReplyFigures() {
        // 25 % through exponent 52: k halfway... (20e12 + 2.5e12) of 20e12..30e12.
        const auto state = ParseStateReply(Running("k=22.500.000.000.000\rk/sec= 1.234.567\rk/day= 1.07.10^11"));
        QVERIFY(state && state->Running() && !state->Starting() && state->autostart);
        QCOMPARE(state->KReached(), std::optional<int64_t>(22'500'000'000'000));
        QCOMPARE(state->Rate(), std::optional<double>(1234567));
        QCOMPARE(*state->ShareDone(), (2.0 + 0.25) / 11.0);
        const auto starting = ParseStateReply(Running("Calculate sieve"));
        QVERIFY(starting && starting->Starting() && !starting->KReached());
        const auto finished = ParseStateReply(QByteArray(kExample).replace("nTemp=52", "nTemp=61"));
        QVERIFY(finished && finished->Finished());
        QCOMPARE(*finished->ShareDone(), 1.0);
    }

    void oddReplies_data() {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("parses");
        QTest::addColumn<qint64>("k");     // -1: none
        QTest::addColumn<double>("rate");  // -1: none
        QTest::newRow("empty") << QByteArray() << false << -1LL << -1.0;
        QTest::newRow("token only") << QByteArray("[CurrentParameters]") << false << -1LL << -1.0;
        QTest::newRow("no label") << QByteArray(kExample).left(kExample.indexOf("lab/|")) + "|" << false << -1LL << -1.0;
        QTest::newRow("no closing bar") << kExample.chopped(1) << false << -1LL << -1.0;
        QTest::newRow("flag 2") << QByteArray(kExample).replace("Stop1=0", "Stop1=2") << false << -1LL << -1.0;
        QTest::newRow("flag empty") << QByteArray(kExample).replace("WS=0", "WS=") << false << -1LL << -1.0;
        QTest::newRow("piece missing") << QByteArray(kExample).replace(",kMax=30e12", "") << false << -1LL << -1.0;
        QTest::newRow("other token") << QByteArray(kExample).replace("[CurrentParameters]", "[Current]") << false
                                     << -1LL << -1.0;
        QTest::newRow("comma before lab") << QByteArray(kExample).replace("WS=0lab", "WS=0,lab") << false << -1LL
                                          << -1.0;
        QTest::newRow("separator comma") << Running("k=1,234,567\rk/sec= 12,345\rk/day= ") << true << 1234567LL
                                         << 12345.0;
        QTest::newRow("separator dot") << Running("k=1.234.567\rk/sec= 12.345\rk/day= ") << true << 1234567LL
                                       << 12345.0;
        QTest::newRow("separator blank") << Running("k=1 234 567\rk/sec= 12 345\rk/day= ") << true << 1234567LL
                                         << 12345.0;
        QTest::newRow("separator apostrophe") << Running("k=1'234'567\rk/sec= 12'345\rk/day= ") << true << 1234567LL
                                              << 12345.0;
        QTest::newRow("separator no-break space") << Running("k=1\xa0" "234\xa0" "567\rk/sec= 7\rk/day= ") << true
                                                  << 1234567LL << 7.0;
        QTest::newRow("rate still empty") << Running("k=123\rk/sec= \rk/day= ") << true << 123LL << -1.0;
        QTest::newRow("huge k") << Running("k=123456789012345678901234567890\rk/sec= 99999999999999999999\rk/day= ")
                                << true << -1LL << -1.0;
        QTest::newRow("no digits") << Running("k=abc\rk/sec= xyz") << true << -1LL << -1.0;
        QTest::newRow("html label") << Running("<script>alert(1)</script>") << true << -1LL << -1.0;
        QTest::newRow("binary label") << Running(QByteArray("k=\0\x01\xff\x7f" "5", 7)) << true << 5LL << -1.0;
        QTest::newRow("binary everywhere") << QByteArray("\0\xff[CurrentParameters]\0", 22) << false << -1LL << -1.0;
        QTest::newRow("bar in label") << Running("a|b") << true << -1LL << -1.0;
        QTest::newRow("text after reply") << kExample + "[CurrentParameters]" << false << -1LL << -1.0;
        QTest::newRow("huge exponent") << QByteArray(kExample).replace("nTemp=52", "nTemp=99999999999999999999")
                                       << true << -1LL << -1.0;
        QTest::newRow("k boxes not numbers") << QByteArray(Running("k=5")).replace("kMin=20e12", "kMin=x") << true
                                             << 5LL << -1.0;
    }
    void oddReplies() {
        QFETCH(QByteArray, reply);
        QFETCH(bool, parses);
        QFETCH(qint64, k);
        QFETCH(double, rate);
        const auto state = ParseStateReply(reply);
        QCOMPARE(bool(state), parses);
        if (!state) return;
        QCOMPARE(state->KReached().value_or(-1), k);
        QCOMPARE(state->Rate().value_or(-1.0), rate);
        if (const auto share = state->ShareDone()) QVERIFY(*share >= 0.0 && *share <= 1.0);
    }

    // Random damage to the example and to a running reply: never a crash, and what parses has
    // its figures in range.
    void damagedRepliesNeverCrash() {
        QRandomGenerator random(15);
        const QByteArray seeds[] = {kExample, Running("k=22.500.000\rk/sec= 1.234\rk/day= 1.07.10^11")};
        for (int i = 0; i < 20000; ++i) {
            QByteArray reply = seeds[i % 2];
            const int edits = 1 + random.bounded(4);
            for (int e = 0; e < edits && !reply.isEmpty(); ++e) {
                const int at = random.bounded(static_cast<int>(reply.size()));
                switch (random.bounded(3)) {
                    case 0: reply[at] = static_cast<char>(random.bounded(256)); break;
                    case 1: reply.remove(at, 1 + random.bounded(5)); break;
                    default: reply.insert(at, static_cast<char>(random.bounded(256)));
                }
            }
            ReplyComplete(reply, kStateReplyToken);
            if (const auto state = ParseStateReply(reply)) {
                if (const auto share = state->ShareDone()) QVERIFY(*share >= 0.0 && *share <= 1.0);
                if (const auto k = state->KReached()) QVERIFY(*k >= 0);
                state->Rate();
                state->Exponent();
                state->Finished();
            }
            ParseResultsReply(reply);
        }
    }

    void resultsReplies() {
        const auto none = ParseResultsReply("[Results]count=0||");
        QVERIFY(none && none->count == 0 && none->lines.isEmpty());
        const auto two = ParseResultsReply("[Results]count=2|5.2^52+1 divides F_50\r7.2^53+1 divides F_51|");
        QVERIFY(two && two->count == 2);
        QCOMPARE(two->lines, (QStringList{"5.2^52+1 divides F_50", "7.2^53+1 divides F_51"}));
        QByteArray many = "[Results]count=30|";
        for (int i = 0; i < 30; ++i) many += QByteArray::number(i) + ".2^9+1 divides F_7\r";
        many += "|";
        const auto last = ParseResultsReply(many);
        QVERIFY(last && last->lines.size() == kResultLinesKept && last->lines.last() == "29.2^9+1 divides F_7");
        for (const QByteArray& bad : {QByteArray("[Results]count=|x|"), QByteArray("[Results]count=1x|x|"),
                                     QByteArray("[Results]count=1|x"), QByteArray("[Results]count=1|x|y|"),
                                     QByteArray("[Results]count=99999999999999999999|x|"), QByteArray("[Results]")})
            QVERIFY2(!ParseResultsReply(bad), bad.constData());
        QVERIFY(!ReplyComplete("[Results]count=2|5.2^52+1 divides F_50", kResultsReplyToken));
        QVERIFY(ReplyComplete("[Results]count=2|5.2^52+1 divides F_50|", kResultsReplyToken));
    }

    // ---- The queue file.

    void queueFileFormAndAtomicRewrite() {
        QTemporaryDir dir;
        const QString path = dir.filePath("queue.txt");
        TaskQueue queue(path);
        QString error;
        QVERIFY(queue.Load(&error));  // no file: empty
        QVERIFY(queue.Append(Task("50", "60", "20e12", "30e12")));
        QVERIFY(queue.Append(Task("61", "61", "1", "1000")));
        QCOMPARE(ReadAll(path), QByteArray("n=50 to 60, k=20e12 to 30e12\nn=61 to 61, k=1 to 1000\n"));
        // Every change replaces the file (a new file renamed over it), so a reader or a crash
        // never meets half of it; nothing else is left in the folder.
        struct stat before {};
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &before), 0);
        QVERIFY(queue.Remove(0));
        struct stat after {};
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &after), 0);
        QVERIFY(before.st_ino != after.st_ino);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"queue.txt"});
        QCOMPARE(ReadAll(path), QByteArray("n=61 to 61, k=1 to 1000\n"));
        QVERIFY(!queue.Remove(1) && !queue.Remove(-1));

        // Refused: not a task, texts that would break "[SetParameters]", a folder not writable.
        for (const TaskTexts& bad : {Task("", "60", "1", "2"), Task("60", "50", "1", "2"), Task("50", "60", "1,5", "9"),
                                     Task("5", "6", "1", "2"), Task("50", "60", "1=", "9"), Task("50", "60", "x", "9")})
            QVERIFY(!queue.Append(bad));
        QCOMPARE(queue.Waiting().size(), size_t(1));

        // Read back, CR LF and blank lines allowed; a line that is not a task stops the load and
        // leaves the file as it was.
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("n=50 to 60, k=20e12 to 30e12\r\n\r\nn=70 to 70, k=1 to 1e6\n");
        f.close();
        TaskQueue again(path);
        QVERIFY(again.Load(&error));
        QCOMPARE(again.Waiting().size(), size_t(2));
        QCOMPARE(again.Waiting()[1], Task("70", "70", "1", "1e6"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("n=50 to 60, k=20e12 to 30e12\ngarbage\n");
        f.close();
        QVERIFY(!again.Load(&error));
        QVERIFY2(error.contains("line 2"), qPrintable(error));
        QCOMPARE(ReadAll(path), QByteArray("n=50 to 60, k=20e12 to 30e12\ngarbage\n"));

        if (::geteuid() != 0) {  // root writes anywhere
            TaskQueue locked(dir.filePath("sub/queue.txt"));
            QVERIFY(QDir().mkpath(dir.filePath("sub")));
            QFile::setPermissions(dir.filePath("sub"), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
            QVERIFY(!locked.Append(Task("50", "60", "1", "2")));
            QVERIFY(locked.Waiting().empty());
            QFile::setPermissions(dir.filePath("sub"), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        }
    }

    void queueHandOutConfirmAndPutBack() {
        QTemporaryDir dir;
        const QString path = dir.filePath("queue.txt");
        TaskQueue queue(path);
        QVERIFY(queue.Append(Task("50", "50", "1", "2e6")));
        QVERIFY(queue.Append(Task("51", "51", "1", "2e6")));
        QVERIFY(queue.Append(Task("52", "52", "1", "2e6")));
        const QByteArray all = ReadAll(path);
        QCOMPARE(queue.HandOut("a")->nFirst, std::string("50"));
        QCOMPARE(queue.HandOut("b")->nFirst, std::string("51"));
        // Handed out is not done: the file keeps both.
        QCOMPARE(ReadAll(path), all);
        QCOMPARE(queue.Waiting().size(), size_t(1));
        queue.Confirm("a");
        QCOMPARE(ReadAll(path), QByteArray("n=51 to 51, k=1 to 2e6\nn=52 to 52, k=1 to 2e6\n"));
        queue.PutBack("b");
        QCOMPARE(queue.Waiting().front().nFirst, std::string("51"));
        QCOMPARE(ReadAll(path), QByteArray("n=51 to 51, k=1 to 2e6\nn=52 to 52, k=1 to 2e6\n"));
        queue.Confirm("nobody");
        queue.PutBack("nobody");
        QCOMPARE(queue.Waiting().size(), size_t(2));
    }

    // ---- Machines and the hand-out, with fake programs.

    // A finished machine that accepts tasks: nothing before the grace period, then the boxes,
    // then "[Start]"; the task leaves the file once the machine runs it, not before.
    void handOutAfterGraceRemovedOnceRunning() {
        const int grace = 1500;
        FleetFixture f(grace);
        QVERIFY(f.queue.Append(Task("61", "62", "1", "1e6")));
        QVERIFY(f.queue.Append(Task("63", "63", "1", "1e6")));
        FakeProgram program;
        program.nTemp = "61";  // finished 50..60
        program.acceptsTasks = true;
        QElapsedTimer sinceConnect;
        sinceConnect.start();
        f.connect(program);
        QCOMPARE(f.machine()["state"].toString(), QString("finished"));
        QTRY_VERIFY_WITH_TIMEOUT(program.count("[SetParameters]") == 1, kWait);
        // The machine was first seen finished after it connected.
        QVERIFY2(sinceConnect.elapsed() >= grace, qPrintable(QString::number(sinceConnect.elapsed())));
        QVERIFY(program.received.contains("[SetParameters]n=61,n=62,k=1,k=1e6,"));
        QVERIFY(ReadAll(f.queue.path()).startsWith("n=61 to 62"));
        QTRY_VERIFY_WITH_TIMEOUT(program.running, kWait);
        QTRY_COMPARE_WITH_TIMEOUT(ReadAll(f.queue.path()), QByteArray("n=63 to 63, k=1 to 1e6\n"), kWait);
        QCOMPARE(f.machine()["assignedTask"].isNull(), true);
        QCOMPARE(f.machine()["task"].toObject()["nMin"].toString(), QString("61"));
        QCOMPARE(program.count("[SetParameters]"), 1);
        QCOMPARE(program.count("[Start]"), 1);
        // Never two commands in one read: each message the program got is one token.
        for (const QByteArray& m : program.received) QCOMPARE(m.count('['), 1);
    }

    // A machine whose user must answer: shown waiting two polls after "[Start]"; the task stays
    // in the file and goes back to the front when the machine leaves.
    void waitingForUserAndPutBackOnDisconnect() {
        FleetFixture f(300);
        QVERIFY(f.queue.Append(Task("61", "62", "1", "1e6")));
        QVERIFY(f.queue.Append(Task("63", "63", "1", "1e6")));
        FakeProgram program;
        program.nTemp = "61";
        f.connect(program);
        QTRY_COMPARE_WITH_TIMEOUT(f.machine()["state"].toString(), QString("waiting-for-user"), kWait);
        QCOMPARE(program.count("[Start]"), 1);
        QCOMPARE(f.machine()["assignedTask"].toObject()["nFirst"].toString(), QString("61"));
        QCOMPARE(f.queue.Waiting().size(), size_t(1));
        QCOMPARE(ReadAll(f.queue.path()), QByteArray("n=61 to 62, k=1 to 1e6\nn=63 to 63, k=1 to 1e6\n"));
        program.socket.abort();
        QTRY_VERIFY_WITH_TIMEOUT(!f.machine()["connected"].toBool(), kWait);
        QCOMPARE(f.queue.Waiting().size(), size_t(2));
        QCOMPARE(f.queue.Waiting().front(), Task("61", "62", "1", "1e6"));
        QCOMPARE(ReadAll(f.queue.path()), QByteArray("n=61 to 62, k=1 to 1e6\nn=63 to 63, k=1 to 1e6\n"));
        QVERIFY(f.machine()["assignedTask"].isNull());
        // It comes back with the same task: the same machine, connected again.
        const QString id = f.machine()["id"].toString();
        FakeProgram back;
        back.nMin = program.nMin;
        back.nMax = program.nMax;
        back.kMin = program.kMin;
        back.kMax = program.kMax;
        f.connect(back);
        QTRY_VERIFY_WITH_TIMEOUT(f.machine()["connected"].toBool(), kWait);
        QCOMPARE(f.machines().size(), 1);
        QCOMPARE(f.machine()["id"].toString(), id);
    }

    // Boxes that do not take are sent again, three times at most; then the task goes back.
    void boxesThatDoNotTake() {
        FleetFixture f(0);
        QVERIFY(f.queue.Append(Task("61", "62", "1", "1e6")));
        FakeProgram program;
        program.nTemp = "61";
        program.takesBoxes = false;
        f.connect(program);
        QTRY_VERIFY_WITH_TIMEOUT(program.count("[SetParameters]") >= 3 && f.machine()["assignedTask"].isNull(), kWait);
        QCOMPARE(program.count("[Start]"), 0);
        QCOMPARE(f.queue.Waiting().size(), size_t(1));
    }

    // Boxes sent from the dashboard that do not take are sent again, three times in all.
    void dashboardBoxesRepeated() {
        FleetFixture f;
        FakeProgram program;
        program.takesBoxes = false;
        f.connect(program);
        const QString id = f.machine()["id"].toString();
        QCOMPARE(int(f.fleet->Act(id, Action::Task, Task("70", "71", "1", "3e6"))), int(ActionResult::Accepted));
        QTRY_COMPARE_WITH_TIMEOUT(program.count("[SetParameters]"), 3, kWait);
        // No more after the third: a few more polls go by without one.
        const int polls = program.count("[ReceiveParameters]");
        QTRY_VERIFY_WITH_TIMEOUT(program.count("[ReceiveParameters]") > polls + 3, kWait);
        QCOMPARE(program.count("[SetParameters]"), 3);
        // A program that takes them gets them once.
        FakeProgram taking;
        taking.nMin = "90";
        f.connect(taking);
        QString takingId;
        for (const QJsonValue v : f.machines())
            if (v.toObject()["task"].toObject()["nMin"].toString() == "90") takingId = v.toObject()["id"].toString();
        QCOMPARE(int(f.fleet->Act(takingId, Action::Task, Task("70", "71", "1", "3e6"))), int(ActionResult::Accepted));
        QTRY_VERIFY_WITH_TIMEOUT(taking.nMax == "71", kWait);
        const int after = taking.count("[ReceiveParameters]");
        QTRY_VERIFY_WITH_TIMEOUT(taking.count("[ReceiveParameters]") > after + 3, kWait);
        QCOMPARE(taking.count("[SetParameters]"), 1);
    }

    // Divisors: known from a program that answers the results request; unknown (null) from one
    // that ignores it, which is not asked again.
    void divisorsKnownOrUnknown() {
        FleetFixture f;
        FakeProgram answering, silent;
        silent.answersResults = false;
        silent.nMin = "70";
        f.connect(answering);
        f.connect(silent);
        auto byTask = [&](const char* nMin) {
            for (const QJsonValue v : f.machines())
                if (v.toObject()["task"].toObject()["nMin"].toString() == nMin) return v.toObject();
            return QJsonObject();
        };
        QTRY_COMPARE_WITH_TIMEOUT(byTask("50")["divisorCount"].toInt(), 1, kWait);
        QCOMPARE(byTask("50")["divisors"].toArray().first().toString(), QString("5.2^52+1 divides F_50"));
        QTRY_VERIFY_WITH_TIMEOUT(silent.count("[ReceiveParameters]") > 3 + silent.count("[ReceiveResults]") &&
                                     silent.count("[ReceiveResults]") == 1,
                                 kWait);
        QVERIFY(byTask("70")["divisorCount"].isNull());
        QVERIFY(byTask("70")["connected"].toBool());
    }

    // ---- The API.

    void accessRules_data() {
        QTest::addColumn<bool>("loopback");
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QByteArray>("host");
        QTest::addColumn<QByteArray>("header");  // "-": none
        QTest::addColumn<QString>("query");      // "-": none
        QTest::addColumn<int>("kind");           // 0 read, 1 action, 2 page, 3 asset
        QTest::addColumn<int>("access");
        const int ok = int(Access::Allowed), host = int(Access::BadHost), token = int(Access::NeedsToken),
                  method = int(Access::BadMethod);
        const QByteArray h = "127.0.0.1:8314";
        QTest::newRow("loopback read") << true << QByteArray("GET") << h << QByteArray("-") << "-" << 0 << ok;
        QTest::newRow("loopback localhost") << true << QByteArray("GET") << QByteArray("localhost:8314") << QByteArray("-") << "-" << 0 << ok;
        QTest::newRow("loopback ipv6") << true << QByteArray("GET") << QByteArray("[::1]:8314") << QByteArray("-") << "-" << 0 << ok;
        QTest::newRow("rebinding name") << true << QByteArray("GET") << QByteArray("evil.example:8314") << QByteArray("-") << "-" << 0 << host;
        QTest::newRow("other port") << true << QByteArray("GET") << QByteArray("127.0.0.1:80") << QByteArray("-") << "-" << 0 << host;
        QTest::newRow("no host") << true << QByteArray("GET") << QByteArray() << QByteArray("-") << "-" << 0 << host;
        QTest::newRow("loopback action") << true << QByteArray("POST") << h << QByteArray("secret") << "-" << 1 << ok;
        QTest::newRow("action no token") << true << QByteArray("POST") << h << QByteArray("-") << "-" << 1 << token;
        QTest::newRow("action wrong token") << true << QByteArray("POST") << h << QByteArray("secreT") << "-" << 1 << token;
        QTest::newRow("action longer token") << true << QByteArray("POST") << h << QByteArray("secret!") << "-" << 1 << token;
        QTest::newRow("action empty token") << true << QByteArray("POST") << h << QByteArray("") << "-" << 1 << token;
        QTest::newRow("action query token") << true << QByteArray("POST") << h << QByteArray("-") << "secret" << 1 << token;
        QTest::newRow("action by GET") << true << QByteArray("GET") << h << QByteArray("secret") << "-" << 1 << method;
        QTest::newRow("read by POST") << true << QByteArray("POST") << h << QByteArray("secret") << "-" << 0 << method;
        QTest::newRow("remote read no token") << false << QByteArray("GET") << QByteArray("anything") << QByteArray("-") << "-" << 0 << token;
        QTest::newRow("remote read token") << false << QByteArray("GET") << QByteArray("anything") << QByteArray("secret") << "-" << 0 << ok;
        QTest::newRow("remote read query") << false << QByteArray("GET") << QByteArray("x") << QByteArray("-") << "secret" << 0 << token;
        QTest::newRow("remote page no token") << false << QByteArray("GET") << QByteArray("x") << QByteArray("-") << "-" << 2 << token;
        QTest::newRow("remote page query") << false << QByteArray("GET") << QByteArray("x") << QByteArray("-") << "secret" << 2 << ok;
        QTest::newRow("remote page bad query") << false << QByteArray("GET") << QByteArray("x") << QByteArray("-") << "secre" << 2 << token;
        QTest::newRow("remote asset") << false << QByteArray("GET") << QByteArray("x") << QByteArray("-") << "-" << 3 << ok;
        QTest::newRow("remote action") << false << QByteArray("POST") << QByteArray("x") << QByteArray("secret") << "-" << 1 << ok;
        QTest::newRow("remote action no token") << false << QByteArray("POST") << QByteArray("x") << QByteArray("-") << "-" << 1 << token;
        QTest::newRow("remote action by GET, token") << false << QByteArray("GET") << QByteArray("x") << QByteArray("secret") << "-" << 1 << method;
    }
    void accessRules() {
        QFETCH(bool, loopback);
        QFETCH(QByteArray, method);
        QFETCH(QByteArray, host);
        QFETCH(QByteArray, header);
        QFETCH(QString, query);
        QFETCH(int, kind);
        QFETCH(int, access);
        ApiOptions options;
        options.token = "secret";
        options.loopback = loopback;
        options.port = 8314;
        ApiRequest request;
        request.method = method;
        request.host = host;
        request.hasTokenHeader = header != "-";
        request.tokenHeader = request.hasTokenHeader ? header : QByteArray();
        request.hasQueryToken = query != "-";
        request.queryToken = request.hasQueryToken ? query : QString();
        QCOMPARE(int(Decide(options, request, kind == 1, kind == 2, kind == 3)), access);
    }

    // The routes on a fleet with one fake program at rest.
    void apiReplies() {
        FleetFixture f;
        FakeProgram program;
        program.label = "<script>alert(1)</script>";
        f.connect(program);
        ApiOptions options{"secret", true, 8314, 5, "9.9"};
        ControlApi api(*f.fleet, f.queue, options);
        auto call = [&](const char* method, const QString& path, const QByteArray& body = {}, bool token = true) {
            ApiRequest r;
            r.method = method;
            r.path = path;
            r.host = "127.0.0.1:8314";
            r.hasTokenHeader = token;
            r.tokenHeader = token ? "secret" : "";
            r.body = body;
            return api.Handle(r);
        };
        ApiReply reply = call("GET", "/api/machines", {}, false);
        QCOMPARE(reply.status, 200);
        QCOMPARE(reply.contentType, QByteArray("application/json"));
        const QJsonObject top = QJsonDocument::fromJson(reply.body).object();
        for (const char* key : {"serverVersion", "time", "pollSeconds", "fleetRate", "queue", "machines"})
            QVERIFY2(top.contains(key), key);
        QCOMPARE(top["serverVersion"].toString(), QString("9.9"));
        QVERIFY(QDateTime::fromString(top["time"].toString(), Qt::ISODate).isValid());
        QCOMPARE(top["pollSeconds"].toInt(), 5);
        const QJsonObject m = top["machines"].toArray().first().toObject();
        const QString id = m["id"].toString();
        for (const char* key : {"id", "address", "host", "connected", "lastSeen", "secondsSinceSeen", "state", "task",
                                "exponent", "kReached", "shareDone", "rate", "commands", "autostart", "status",
                                "divisorCount", "divisors", "assignedTask"})
            QVERIFY2(m.contains(key), key);
        QVERIFY(m["address"].toString().startsWith("127.0.0.1:"));
        QCOMPARE(m["state"].toString(), QString("stopped"));
        QCOMPARE(m["task"].toObject()["kMin"].toString(), QString("20e12"));
        QCOMPARE(m["exponent"].toInt(), 52);
        QVERIFY(m["kReached"].isNull() && m["rate"].isNull());
        QCOMPARE(m["commands"].toObject()["stop"].toBool(), false);
        QCOMPARE(m["commands"].toObject()["continue"].toBool(), true);
        // The label as the program sent it: escaping it is the page's job.
        QCOMPARE(m["status"].toString(), QString("<script>alert(1)</script>"));

        QCOMPARE(call("POST", "/api/machines/" + id + "/stop").status, 409);
        QCOMPARE(call("POST", "/api/machines/nobody/stop").status, 404);
        QCOMPARE(call("GET", "/api/machines/" + id + "/stop").status, 405);
        QCOMPARE(call("POST", "/api/machines/" + id + "/continue", {}, false).status, 403);
        QCOMPARE(call("POST", "/api/machines/" + id + "/frobnicate").status, 404);
        QCOMPARE(call("GET", "/nothing").status, 404);
        QCOMPARE(call("POST", "/api/machines/" + id + "/task", "not json").status, 400);
        QCOMPARE(call("POST", "/api/machines/" + id + "/task", R"({"nFirst":50,"nLast":"60","kLow":"1","kHigh":"2"})").status, 400);
        QCOMPARE(call("POST", "/api/machines/" + id + "/task", R"({"nFirst":"60","nLast":"50","kLow":"1","kHigh":"2"})").status, 400);
        QCOMPARE(call("POST", "/api/machines/" + id + "/task", QByteArray(kBodyLimit + 1, ' ')).status, 413);
        QCOMPARE(call("POST", "/api/machines/" + id + "/task", R"({"nFirst":"70","nLast":"71","kLow":"1","kHigh":"3e6"})").status, 202);
        QTRY_VERIFY_WITH_TIMEOUT(program.nTemp == "70" && program.kMax == "3e6", kWait);
        QCOMPARE(call("POST", "/api/machines/" + id + "/continue").status, 202);
        QTRY_VERIFY_WITH_TIMEOUT(program.running, kWait);
        QTRY_COMPARE_WITH_TIMEOUT(QJsonDocument::fromJson(call("GET", "/api/machines").body)
                                      .object()["machines"].toArray().first().toObject()["state"].toString(),
                                  QString("running"), kWait);
        QCOMPARE(call("POST", "/api/machines/" + id + "/continue").status, 409);
        QCOMPARE(call("POST", "/api/machines/" + id + "/start").status, 409);
        QCOMPARE(call("POST", "/api/machines/" + id + "/autostart").status, 202);
        QTRY_VERIFY_WITH_TIMEOUT(program.autostart, kWait);
        QCOMPARE(call("POST", "/api/machines/" + id + "/stop").status, 202);
        QTRY_VERIFY_WITH_TIMEOUT(!program.running, kWait);

        QCOMPARE(call("POST", "/api/queue", R"({"nFirst":"80","nLast":"81","kLow":"1","kHigh":"1e6"})").status, 202);
        QCOMPARE(call("POST", "/api/queue", R"({"nFirst":"80"})").status, 400);
        QCOMPARE(call("GET", "/api/queue").status, 405);
        QCOMPARE(ReadAll(f.queue.path()), QByteArray("n=80 to 81, k=1 to 1e6\n"));
        const QJsonArray queue = QJsonDocument::fromJson(call("GET", "/api/machines").body).object()["queue"].toArray();
        QCOMPARE(queue.first().toObject(), (QJsonObject{{"nFirst", "80"}, {"nLast", "81"}, {"kLow", "1"}, {"kHigh", "1e6"}}));
        QCOMPARE(call("POST", "/api/queue/1/delete").status, 404);
        QCOMPARE(call("POST", "/api/queue/x/delete").status, 404);
        QCOMPARE(call("POST", "/api/queue/0/delete").status, 202);
        QCOMPARE(ReadAll(f.queue.path()), QByteArray());

        // The page carries the token on loopback.
        reply = call("GET", "/", {}, false);
        QCOMPARE(reply.status, 200);
        QVERIFY(reply.contentType.startsWith("text/html"));
        QVERIFY(reply.body.contains(R"(<meta name="vontal-token" content="secret">)"));
        QVERIFY(reply.body.contains(R"(id="machines")"));
        const auto header = [&](const QByteArray& name) {
            for (const auto& [key, value] : reply.headers)
                if (key.compare(name, Qt::CaseInsensitive) == 0) return value;
            return QByteArray();
        };
        QVERIFY(header("Content-Security-Policy").contains("script-src 'self'"));
        QVERIFY(!header("Content-Security-Policy").contains("unsafe"));
        QCOMPARE(call("GET", "/dashboard.js", {}, false).status, 200);
        QCOMPARE(call("GET", "/dashboard.css", {}, false).status, 200);
    }

    // One real request each way over HTTP on 127.0.0.1.
    void realHttpOnLoopback() {
        FleetFixture f;
        ControlApi api(*f.fleet, f.queue, ApiOptions{"secret", true, 0, 5, "9.9"});
        HttpFrontEnd front(api);
        QString error;
        QVERIFY2(front.Listen(QHostAddress::LocalHost, 0, &error), qPrintable(error));
        api.SetPort(front.port());
        const QByteArray host = "Host: 127.0.0.1:" + QByteArray::number(front.port()) + "\r\n";
        RawReply r = RawRequest(front.port(), "GET /api/machines HTTP/1.1\r\n" + host + "\r\n");
        QCOMPARE(r.status, 200);
        QVERIFY2(r.head.toLower().contains("content-type: application/json"), r.head.constData());
        QVERIFY(QJsonDocument::fromJson(r.body).object().contains("machines"));
        r = RawRequest(front.port(), "GET /api/machines HTTP/1.1\r\nHost: attacker.example:" +
                                         QByteArray::number(front.port()) + "\r\n\r\n");
        QCOMPARE(r.status, 403);
        r = RawRequest(front.port(), "POST /api/queue HTTP/1.1\r\n" + host + "Content-Length: 2\r\n\r\n{}");
        QCOMPARE(r.status, 403);
        const QByteArray body = R"({"nFirst":"80","nLast":"81","kLow":"1","kHigh":"1e6"})";
        r = RawRequest(front.port(), "POST /api/queue HTTP/1.1\r\n" + host + "X-Vontal-Token: secret\r\nContent-Length: " +
                                         QByteArray::number(body.size()) + "\r\n\r\n" + body);
        QCOMPARE(r.status, 202);
        QCOMPARE(r.body, QByteArray(R"({"ok":true})"));
        r = RawRequest(front.port(), "GET /api/queue/0/delete HTTP/1.1\r\n" + host + "X-Vontal-Token: secret\r\n\r\n");
        QCOMPARE(r.status, 405);
        QCOMPARE(f.queue.Waiting().size(), size_t(1));

        // Connections opened to sit idle, more than the listener takes at once, do not lock
        // the dashboard out: the oldest that never had a reply gives way.
        std::vector<std::unique_ptr<QTcpSocket>> idle;
        for (int i = 0; i < BoundedTcpServer::kMaxConnections + 16; ++i) {
            idle.push_back(std::make_unique<QTcpSocket>());
            idle.back()->connectToHost(QHostAddress::LocalHost, front.port());
        }
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(idle.begin(), idle.end(), [](const auto& s) {
                                     return s->state() == QAbstractSocket::ConnectedState ||
                                            s->state() == QAbstractSocket::UnconnectedState;
                                 }),
                                 kWait);
        r = RawRequest(front.port(), "GET /api/machines HTTP/1.1\r\n" + host + "\r\n");
        QCOMPARE(r.status, 200);
    }
};

QTEST_GUILESS_MAIN(ServerLogicTest)
#include "server_logic_test.moc"
