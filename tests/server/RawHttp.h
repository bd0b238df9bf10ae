// One HTTP request over a plain socket, so that every header (Host included) is the test's own,
// and its reply once whole (its head and Content-Length bytes of body). The waits run the event
// loop, so the server may be in this very process.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTest>

struct RawReply {
    int status = 0;  // 0: no whole reply came
    QByteArray head, body;
};

inline RawReply RawRequest(quint16 port, const QByteArray& request, int timeoutMs = 60000) {
    QTcpSocket socket;
    RawReply reply;
    QByteArray all;
    QObject::connect(&socket, &QTcpSocket::connected, [&] { socket.write(request); });
    QObject::connect(&socket, &QTcpSocket::readyRead, [&] { all += socket.readAll(); });
    socket.connectToHost(QHostAddress::LocalHost, port);
    auto whole = [&] {
        const qsizetype end = all.indexOf("\r\n\r\n");
        if (end < 0) return false;
        const QByteArray head = all.left(end);
        qsizetype length = 0;
        for (const QByteArray& line : head.split('\n'))
            if (line.toLower().startsWith("content-length:")) length = line.mid(15).trimmed().toLongLong();
        if (all.size() < end + 4 + length) return false;
        reply.head = head;
        reply.body = all.mid(end + 4, length);
        reply.status = head.mid(9, 3).toInt();
        return true;
    };
    if (!QTest::qWaitFor([&] { return whole() || socket.state() == QAbstractSocket::UnconnectedState; }, timeoutMs))
        return reply;
    if (!reply.status) whole();
    return reply;
}

inline QByteArray HostHeader(quint16 port) { return "Host: 127.0.0.1:" + QByteArray::number(port) + "\r\n"; }

// GET /api/machines; an empty object when no whole reply came.
inline QJsonObject GetMachines(quint16 port) {
    const RawReply r = RawRequest(port, "GET /api/machines HTTP/1.1\r\n" + HostHeader(port) + "Connection: close\r\n\r\n");
    return r.status == 200 ? QJsonDocument::fromJson(r.body).object() : QJsonObject();
}

inline int Post(quint16 port, const QByteArray& path, const QByteArray& token, const QByteArray& body = {}) {
    return RawRequest(port, "POST " + path + " HTTP/1.1\r\n" + HostHeader(port) + "X-Vontal-Token: " + token +
                                "\r\nContent-Length: " + QByteArray::number(body.size()) +
                                "\r\nConnection: close\r\n\r\n" + body)
        .status;
}
