// The link to the control server on its own, against a server in this process on 127.0.0.1:
// one connection at a time, the peer's name, closes and resets, bounded buffers under a flood,
// and the port.
#include <QHostInfo>
#include <QSignalSpy>
#include <QTest>

#include "TestServer.h"
#include "remote/ServerLink.h"

using namespace vontal;

namespace {

constexpr int kWait = 60000;  // room for a loaded machine

}  // namespace

class ServerLinkTest : public QObject {
    Q_OBJECT
private slots:
    void init() {
        QVERIFY(server.listen());
        qputenv("VONTAL_SERVER_PORT", QByteArray::number(server.port()));
    }
    void cleanup() {
        server.server.close();
        for (auto& p : server.peers) delete p;
        server.peers.clear();
        server.received.clear();
    }

    // Attempts that overlap (the name lookup of "localhost" takes a moment) and an attempt
    // while connected: one connection serves, and messages arrive on it.
    void oneConnectionServes() {
        ServerLink link;
        QSignalSpy messages(&link, &ServerLink::messageReceived);
        link.Open("localhost");
        link.Open("localhost");
        link.Open("localhost");
        QTRY_VERIFY_WITH_TIMEOUT(link.IsActive(), kWait);
        link.Open("127.0.0.1");
        QTest::qWait(200);
        QCOMPARE(server.openCount(), 1);
        QVERIFY(link.IsActive());
        server.send("[Stop]");
        QTRY_COMPARE_WITH_TIMEOUT(messages.size(), 1, kWait);
        QCOMPARE(messages.at(0).at(0).toByteArray(), QByteArray("[Stop]"));
    }

    void peerNameByReverseLookup() {
        ServerLink link;
        QSignalSpy changes(&link, &ServerLink::linkChanged);
        link.Open("127.0.0.1");
        QTRY_VERIFY_WITH_TIMEOUT(link.IsActive(), kWait);
        const QString expected = QHostInfo::fromName("127.0.0.1").hostName();
        if (expected != "127.0.0.1") QTRY_COMPARE_WITH_TIMEOUT(link.PeerHostName(), expected, kWait);
        QVERIFY(changes.size() >= 1);
    }

    // An orderly close and a reset both leave the link down, ready for the next attempt.
    void closedAndResetLinksGoDown() {
        ServerLink link;
        link.Open("127.0.0.1");
        QTRY_VERIFY_WITH_TIMEOUT(link.IsActive(), kWait);
        server.last()->disconnectFromHost();
        QTRY_VERIFY_WITH_TIMEOUT(!link.IsActive(), kWait);
        QVERIFY(link.PeerHostName().isEmpty());
        QVERIFY(!link.Send("lost"));

        link.Open("127.0.0.1");
        QTRY_VERIFY_WITH_TIMEOUT(link.IsActive() && server.openCount() == 1, kWait);
        TestServer::Reset(server.last());
        // The reset shows when the link next reads or sends.
        QTest::qWait(50);
        link.Send(QByteArray(4096, 'x'));
        QTRY_VERIFY_WITH_TIMEOUT(!link.IsActive(), kWait);

        link.Open("127.0.0.1");
        QTRY_VERIFY_WITH_TIMEOUT(link.IsActive(), kWait);
    }

    // Megabytes in one write are taken in bounded pieces, none lost; replies to a server that
    // does not read are dropped beyond a bound, and the link stays up.
    void floodsStayBounded() {
        ServerLink link;
        qint64 total = 0;
        qint64 largest = 0;
        connect(&link, &ServerLink::messageReceived, this, [&](const QByteArray& m) {
            total += m.size();
            largest = std::max<qint64>(largest, m.size());
        });
        link.Open("127.0.0.1");
        QTRY_VERIFY_WITH_TIMEOUT(link.IsActive() && server.last(), kWait);
        QTcpSocket* peer = server.last();
        const qint64 flood = 4 * 1024 * 1024;
        QByteArray bytes(flood, '\0');
        for (qint64 i = 0; i < flood; ++i) bytes[i] = static_cast<char>(i * 7919 % 251);
        peer->write(bytes);
        qint64 mostWaiting = 0;
        QTRY_VERIFY_WITH_TIMEOUT((mostWaiting = std::max(mostWaiting, link.socket()->bytesAvailable()),
                                  total == flood),
                                 kWait);
        QVERIFY2(largest <= ServerLink::kReadLimit, qPrintable(QString::number(largest)));
        QVERIFY(mostWaiting <= ServerLink::kReadLimit);

        // The server stops reading: its socket buffers fill, then the link's pending bytes.
        peer->setReadBufferSize(1);
        peer->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
        link.socket()->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 4096);
        const QByteArray reply(150, 'r');
        int sent = 0;
        int dropped = 0;
        qint64 mostPending = 0;
        for (int i = 0; i < 20000; ++i) {
            (link.Send(reply) ? sent : dropped) += 1;
            mostPending = std::max(mostPending, link.socket()->bytesToWrite());
            if (i % 100 == 0) QCoreApplication::processEvents();
        }
        QVERIFY(dropped > 0);
        QVERIFY(sent > 0);
        QVERIFY(mostPending <= ServerLink::kPendingSendLimit);
        QVERIFY(link.IsActive());
    }

    void serverPort() {
        const QByteArray kept = qgetenv("VONTAL_SERVER_PORT");
        for (const char* bad : {"", "abc", "0", "70000", "-5"}) {
            qputenv("VONTAL_SERVER_PORT", bad);
            QCOMPARE(ServerLink::ServerPort(), quint16(31415));
        }
        qputenv("VONTAL_SERVER_PORT", kept);
        QCOMPARE(ServerLink::ServerPort(), server.port());

        // The real port, when nothing else holds it.
        qunsetenv("VONTAL_SERVER_PORT");
        TestServer real;
        if (!real.listen(31415)) QSKIP("port 31415 is in use on this machine");
        ServerLink link;
        link.Open("127.0.0.1");
        QTRY_VERIFY_WITH_TIMEOUT(link.IsActive() && real.openCount() == 1, kWait);
    }

private:
    TestServer server;
};

QTEST_GUILESS_MAIN(ServerLinkTest)
#include "server_link_test.moc"
