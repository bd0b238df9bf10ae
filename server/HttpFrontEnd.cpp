// Requests in through Qt HTTP Server, replies out.
#include "server/HttpFrontEnd.h"

#include <QHttpServer>
#include <QMetaEnum>
#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QTcpSocket>
#include <QTimer>
#include <QUrlQuery>

#include <algorithm>

#include "server/ControlApi.h"

namespace vontal::server {

BoundedTcpServer::BoundedTcpServer(int idleMs, QObject* parent) : QTcpServer(parent), idleMs_(idleMs) {}

int BoundedTcpServer::openConnections() {
    // Tracked by guarded pointers, not by signals: Qt HTTP Server drops every connection of a
    // socket whose request does not parse.
    sockets_.removeIf([](const QPointer<QTcpSocket>& s) { return s.isNull(); });
    return static_cast<int>(sockets_.size());
}

void BoundedTcpServer::incomingConnection(qintptr descriptor) {
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    if (openConnections() >= kMaxConnections) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    socket->setReadBufferSize(kReadAhead);
    sockets_.append(socket);
    // The watchdog belongs to the socket, so it goes with it; it is wound up again by every
    // reply sent, and closes a connection that sent no whole request for so long.
    auto* watchdog = new QTimer(socket);
    watchdog->setSingleShot(true);
    watchdog->setInterval(idleMs_);
    QObject::connect(watchdog, &QTimer::timeout, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
    QObject::connect(socket, &QTcpSocket::bytesWritten, watchdog, [watchdog] { watchdog->start(); });
    watchdog->start();
    addPendingConnection(socket);
}

HttpFrontEnd::HttpFrontEnd(ControlApi& api, int idleMs)
    : api_(api), http_(std::make_unique<QHttpServer>()), idleMs_(idleMs) {
    // No routes: every request goes to the API, which has its own.
    http_->setMissingHandler([this](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
        ApiRequest in;
        in.method = QByteArray(QMetaEnum::fromType<QHttpServerRequest::Method>().valueToKey(
                                   static_cast<int>(request.method())))
                        .toUpper();
        in.path = request.url().path();
        const QUrlQuery query = request.query();
        in.hasQueryToken = query.hasQueryItem("token");
        in.queryToken = query.queryItemValue("token", QUrl::FullyDecoded);
        for (const auto& [name, value] : request.headers()) {
            if (name.compare("X-Vontal-Token", Qt::CaseInsensitive) == 0) {
                in.tokenHeader = value;
                in.hasTokenHeader = true;
            } else if (name.compare("Host", Qt::CaseInsensitive) == 0) {
                in.host = value;
            }
        }
        in.body = request.body();
        const ApiReply reply = api_.Handle(in);
        QHttpServerResponse response(reply.contentType, in.method == "HEAD" ? QByteArray() : reply.body,
                                     static_cast<QHttpServerResponse::StatusCode>(reply.status));
        response.addHeader("Cache-Control", "no-store");
        response.addHeader("X-Content-Type-Options", "nosniff");
        for (const auto& [name, value] : reply.headers) response.addHeader(name, value);
        response.write(std::move(responder));
    });
}

HttpFrontEnd::~HttpFrontEnd() = default;

bool HttpFrontEnd::Listen(const QHostAddress& address, quint16 port, QString* error) {
    listener_ = new BoundedTcpServer(idleMs_);
    if (!listener_->listen(address, port)) {
        *error = listener_->errorString();
        delete listener_;
        listener_ = nullptr;
        return false;
    }
    http_->bind(listener_);
    return true;
}

quint16 HttpFrontEnd::port() const { return listener_ ? listener_->serverPort() : 0; }

}  // namespace vontal::server
