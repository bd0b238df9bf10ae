// The dashboard's listener: Qt HTTP Server parses the requests, ControlApi answers them. Qt HTTP
// Server 6.4 puts no bound on its connections (how many, how long, how much they send before a
// request is whole), so its sockets come from a listener of ours that does: at most so many at
// once, each read at most so far ahead, each closed when no reply has gone out for a while.
#pragma once

#include <QHostAddress>
#include <QList>
#include <QPointer>
#include <QTcpServer>

#include <memory>

class QHttpServer;
class QTcpSocket;

namespace vontal::server {

class ControlApi;

class BoundedTcpServer : public QTcpServer {
    Q_OBJECT
public:
    static constexpr int kMaxConnections = 64;
    // Bytes Qt reads ahead of the HTTP parser on one connection; a request that needs more
    // stalls and is closed by the idle limit.
    static constexpr qint64 kReadAhead = 64 * 1024;

    explicit BoundedTcpServer(int idleMs, QObject* parent = nullptr);
    int openConnections();

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    int idleMs_;
    QList<QPointer<QTcpSocket>> sockets_;
};

class HttpFrontEnd {
public:
    explicit HttpFrontEnd(ControlApi& api, int idleMs = 30000);
    ~HttpFrontEnd();

    // False with the reason in `error`.
    bool Listen(const QHostAddress& address, quint16 port, QString* error);
    quint16 port() const;

private:
    ControlApi& api_;
    std::unique_ptr<QHttpServer> http_;
    BoundedTcpServer* listener_ = nullptr;
    int idleMs_;
};

}  // namespace vontal::server
