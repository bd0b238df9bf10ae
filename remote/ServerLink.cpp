// The TCP link to the control server.
#include "remote/ServerLink.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkProxy>
#include <QTcpSocket>

namespace vontal {

ServerLink::ServerLink(QObject* parent) : QObject(parent), socket_(new QTcpSocket(this)) {
    socket_->setObjectName(QStringLiteral("serverSocket"));
    // The server is on the local network: no proxy from the environment is to be asked.
    socket_->setProxy(QNetworkProxy::NoProxy);
    socket_->setReadBufferSize(kReadLimit);
    connect(socket_, &QAbstractSocket::stateChanged, this, [this] { StateChanged(); });
    connect(socket_, &QIODevice::readyRead, this, [this] { Read(); });
    // A failed lookup or connect leaves the socket unconnected by itself; a failed send or
    // receive on an established link closes it, so that the next attempt can reconnect.
    connect(socket_, &QAbstractSocket::errorOccurred, this, [this] {
        if (socket_->state() == QAbstractSocket::ConnectedState) socket_->abort();
    });
}

ServerLink::~ServerLink() {
    // No notification may reach a window that is going away.
    QObject::disconnect(socket_, nullptr, nullptr, nullptr);
    socket_->abort();
}

quint16 ServerLink::ServerPort() {
    bool ok = false;
    const uint port = qEnvironmentVariable("VONTAL_SERVER_PORT").toUInt(&ok);
    return ok && port > 0 && port <= 65535 ? static_cast<quint16>(port) : kDefaultPort;
}

void ServerLink::Open(const QString& host) {
    if (up_) return;
    if (socket_->state() != QAbstractSocket::UnconnectedState) socket_->abort();
    socket_->connectToHost(host, ServerPort());
}

void ServerLink::Close() { socket_->abort(); }

bool ServerLink::Send(const QByteArray& text) {
    if (!up_) return false;
    if (socket_->bytesToWrite() + text.size() > kPendingSendLimit) return false;
    if (socket_->write(text) != text.size()) return false;
    socket_->flush();
    return true;
}

void ServerLink::StateChanged() {
    const bool up = socket_->state() == QAbstractSocket::ConnectedState;
    if (up == up_) return;
    up_ = up;
    ++connection_;
    peerName_.clear();
    emit linkChanged();
    if (up) LookUpPeerName();
}

void ServerLink::LookUpPeerName() {
    const QString address = socket_->peerAddress().toString();
    const quint64 connection = connection_;
    QHostInfo::lookupHost(address, this, [this, address, connection](const QHostInfo& info) {
        if (connection != connection_ || !up_) return;
        // A reverse lookup that finds no name answers with the address itself.
        const QString name = info.error() == QHostInfo::NoError && info.hostName() != address ? info.hostName()
                                                                                             : QString();
        if (name.isEmpty()) return;
        peerName_ = name;
        emit linkChanged();
    });
}

void ServerLink::Read() {
    if (!up_) return;
    QByteArray message = socket_->readAll();
    if (message.size() > kReadLimit) message.truncate(kReadLimit);
    if (!message.isEmpty()) emit messageReceived(message);
}

}  // namespace vontal
