// The real vontal-server against hostile peers on its program port: floods of megabytes, binary
// data, half replies followed by silence, resets, a thousand idle connections. Meanwhile a
// well-behaved program (a fake one in this process) keeps being polled and shown, the API keeps
// answering, the server's memory stays bounded, and a label with HTML in it comes out in the
// JSON as the same text.
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QPointer>
#include <QRandomGenerator>
#include <QTest>
#include <QTimer>

#include <sys/resource.h>
#include <sys/socket.h>

#include <memory>
#include <vector>

#include "FakeProgram.h"
#include "RawHttp.h"
#include "ServerProcess.h"

namespace {

constexpr int kWait = 90000;
// The server's memory may not grow beyond this whatever the peers send.
constexpr long kRssLimitKiB = 200 * 1024;

void Reset(QTcpSocket& socket) {
    const linger abortive{1, 0};
    setsockopt(static_cast<int>(socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    socket.abort();
}

QJsonObject MachineWithLabel(const QJsonObject& top, const QString& status) {
    for (const QJsonValue v : top["machines"].toArray())
        if (v.toObject()["status"].toString() == status) return v.toObject();
    return {};
}

}  // namespace

class ServerHostileTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        // A thousand sockets on this side: more than the usual soft limit of open files.
        rlimit files{};
        getrlimit(RLIMIT_NOFILE, &files);
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }

    void hostilePeersDoNotStopTheServer() {
        ServerProcess server({"--poll-seconds", "1"});
        const QString html = "<script>alert(1)</script>";
        FakeProgram good;
        good.label = html.toLatin1();
        good.connectTo(server.programPort);
        QTRY_VERIFY_WITH_TIMEOUT(!MachineWithLabel(GetMachines(server.httpPort), html).isEmpty(), kWait);
        const QJsonObject shown = MachineWithLabel(GetMachines(server.httpPort), html);
        QCOMPARE(shown["status"].toString(), html);
        QCOMPARE(shown["connected"].toBool(), true);

        // The server's sockets with the good program connected: the storm must end there again.
        const int baseline = server.openSockets();
        QVERIFY(baseline >= 3);

        // A program that floods: megabytes unasked.
        QTcpSocket flood;
        flood.connectToHost(QHostAddress::LocalHost, server.programPort);
        QVERIFY(flood.waitForConnected(kWait));
        qint64 flooded = 0;
        const QByteArray block(256 * 1024, 'A');
        QTimer pump;
        QObject::connect(&pump, &QTimer::timeout, [&] {
            if (flood.state() == QAbstractSocket::ConnectedState && flood.bytesToWrite() < 4 * block.size() &&
                flooded < 64LL * 1024 * 1024) {
                flood.write(block);
                flooded += block.size();
            }
        });
        pump.start(1);

        // Binary bytes in answer to the poll; a valid start of a reply and then silence;
        // connections that answer half and reset.
        QTcpSocket binary, half;
        for (QTcpSocket* s : {&binary, &half}) s->connectToHost(QHostAddress::LocalHost, server.programPort);
        QObject::connect(&binary, &QTcpSocket::readyRead, [&] {
            binary.readAll();
            QByteArray junk(64 * 1024, '\0');
            for (char& c : junk) c = static_cast<char>(QRandomGenerator::global()->bounded(256));
            binary.write(junk);
        });
        QObject::connect(&half, &QTcpSocket::readyRead, [&] {
            half.readAll();
            half.write("[CurrentParameters]nMin=50,nTemp=");
        });
        std::vector<std::unique_ptr<QTcpSocket>> resets;
        for (int i = 0; i < 50; ++i) {
            resets.push_back(std::make_unique<QTcpSocket>());
            QTcpSocket* s = resets.back().get();
            QObject::connect(s, &QTcpSocket::readyRead, s, [s] {
                s->readAll();
                s->write("[CurrentParameters]nMin=50,nTemp=52,nMax=");
                s->flush();
                Reset(*s);
            });
            s->connectToHost(QHostAddress::LocalHost, server.programPort);
        }

        // A thousand connections that never say anything.
        std::vector<std::unique_ptr<QTcpSocket>> idle;
        for (int i = 0; i < 1000; ++i) {
            idle.push_back(std::make_unique<QTcpSocket>());
            idle.back()->connectToHost(QHostAddress::LocalHost, server.programPort);
        }

        // The server ends every one of them: the flood and the binary at once, the half reply
        // and the idle ones at their reply time-out, the oldest idle ones earlier when the
        // connections run out. Its own sockets tell: a connection that the system's queue never
        // handed to the server ends nowhere, and this side cannot see which those are.
        const int polledBefore = good.count("[ReceiveParameters]");
        long mostRss = 0;
        int mostSockets = 0;
        const bool ended = QTest::qWaitFor(
            [&] {
                mostRss = std::max(mostRss, server.rssKiB());
                const int sockets = server.openSockets();
                mostSockets = std::max(mostSockets, sockets);
                return flood.state() == QAbstractSocket::UnconnectedState &&
                       binary.state() == QAbstractSocket::UnconnectedState &&
                       half.state() == QAbstractSocket::UnconnectedState && sockets <= baseline;
            },
            kWait);
        QVERIFY2(ended, qPrintable(QString("still open: flood %1, binary %2, half %3, server sockets %4 (%5 before)")
                                       .arg(flood.state())
                                       .arg(binary.state())
                                       .arg(half.state())
                                       .arg(server.openSockets())
                                       .arg(baseline)));
        // The storm reached the server, which never held more program connections at once than
        // its limit of 256.
        qInfo("server: at most %d sockets (%d before the storm), %ld KiB resident", mostSockets, baseline, mostRss);
        QVERIFY2(mostSockets > baseline + 100, qPrintable(QString::number(mostSockets)));
        QVERIFY2(mostSockets <= baseline + 256 + 8, qPrintable(QString::number(mostSockets)));
        pump.stop();
        QVERIFY2(mostRss > 0 && mostRss < kRssLimitKiB, qPrintable(QString::number(mostRss)));
        QVERIFY2(flooded < 64LL * 1024 * 1024, "the flood was taken in whole");

        // The well-behaved program was polled while the storm lasted (its idle connections at
        // least the 10 s of their reply time-out), is still connected and still shown; none of
        // the hostile peers is listed as a machine.
        QVERIFY(good.count("[ReceiveParameters]") > polledBefore);
        QVERIFY(good.socket.state() == QAbstractSocket::ConnectedState);
        QTRY_VERIFY_WITH_TIMEOUT(good.count("[ReceiveParameters]") > polledBefore + 2, kWait);
        const QJsonObject top = GetMachines(server.httpPort);
        QCOMPARE(top["machines"].toArray().size(), 1);
        QCOMPARE(MachineWithLabel(top, html)["connected"].toBool(), true);
        QVERIFY(server.rssKiB() < kRssLimitKiB);

        // The server still takes programs.
        FakeProgram late;
        late.nMin = "77";
        late.connectTo(server.programPort);
        QTRY_COMPARE_WITH_TIMEOUT(GetMachines(server.httpPort)["machines"].toArray().size(), 2, kWait);
    }
};

QTEST_GUILESS_MAIN(ServerHostileTest)
#include "server_hostile_test.moc"
