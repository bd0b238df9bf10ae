// A control server for tests: a QTcpServer on 127.0.0.1 in the test's own process that keeps
// every connection it accepts and what each one sent.
#pragma once

#include <QHostAddress>
#include <QList>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <functional>

#include <sys/socket.h>

class TestServer : public QObject {
public:
    TestServer() {
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* peer = server.nextPendingConnection()) {
                peers << peer;
                received << QByteArray();
                sent << 0;
                const int index = peers.size() - 1;
                // Every write counts, those of send() and those a test makes on the socket itself.
                connect(peer, &QIODevice::bytesWritten, this, [this, index](qint64 bytes) { sent[index] += bytes; });
                if (onConnect) onConnect(peer);
                connect(peer, &QTcpSocket::readyRead, this, [this, peer, index] {
                    if (peer->readBufferSize() == 0) received[index] += peer->readAll();
                });
            }
        });
    }

    // Closes a connection with a reset instead of an orderly close.
    static void Reset(QTcpSocket* peer) {
        const linger abortive{1, 0};
        setsockopt(static_cast<int>(peer->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        peer->abort();
    }

    // Port 0 takes a free port.
    bool listen(quint16 port = 0) { return server.listen(QHostAddress::LocalHost, port); }
    quint16 port() const { return server.serverPort(); }
    // A free port that nothing listens on yet.
    static quint16 FreePort() {
        QTcpServer probe;
        return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
    }

    int connectionCount() const { return static_cast<int>(peers.size()); }
    int openCount() const {
        int open = 0;
        for (const QPointer<QTcpSocket>& p : peers)
            if (p && p->state() == QAbstractSocket::ConnectedState) ++open;
        return open;
    }
    QTcpSocket* last() const { return peers.isEmpty() ? nullptr : peers.last().data(); }
    QByteArray& lastReceived() { return received.last(); }

    // Whether the other side has taken every byte written to the last connection (needs `taken`).
    bool allTaken() const {
        const QTcpSocket* peer = last();
        return peer && peer->bytesToWrite() == 0 && taken && taken() >= sent.last();
    }

    // Sends one message. With `taken` set, waits until the other side has taken everything sent
    // before, then this message: so two messages never reach it in one read, and the test reads
    // the other side's state only once the message has been acted on. Without, waits until the
    // bytes have left for the other side.
    void send(const QByteArray& message, int timeoutMs = 60000) {
        QTcpSocket* peer = last();
        QVERIFY(peer);
        if (taken) QTRY_VERIFY_WITH_TIMEOUT(allTaken(), timeoutMs);
        peer->write(message);
        peer->flush();
        if (taken)
            QTRY_VERIFY_WITH_TIMEOUT(allTaken(), timeoutMs);
        else
            QTRY_VERIFY_WITH_TIMEOUT(peer->bytesToWrite() == 0, timeoutMs);
    }

    // What the server does with each new connection, if anything.
    std::function<void(QTcpSocket*)> onConnect;
    // Bytes of the present connection that the other side (in the same process) has taken and
    // acted on so far.
    std::function<qint64()> taken;
    QTcpServer server;
    QList<QPointer<QTcpSocket>> peers;
    QList<QByteArray> received;
    QList<qint64> sent;  // bytes handed to the system, per connection
};
