// The TCP link to the control server: one client connection to the server's port 31415, made
// one attempt at a time. It only reports (a message arrived, the link went up or down) and
// never shows anything: every socket error is swallowed and leaves the link down.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QTcpSocket;

namespace vontal {

class ServerLink : public QObject {
    Q_OBJECT
public:
    static constexpr quint16 kDefaultPort = 31415;
    // Bytes taken from the socket at one time, and so the longest message. A server that sends
    // faster than the window handles messages is held back by TCP instead of filling memory.
    static constexpr qint64 kReadLimit = 64 * 1024;
    // Replies not yet taken by the transport beyond which a new reply is dropped, so a server
    // that asks without reading cannot fill memory either.
    static constexpr qint64 kPendingSendLimit = 64 * 1024;

    explicit ServerLink(QObject* parent = nullptr);
    // Closes an open connection without a notification.
    ~ServerLink() override;

    // The server's port: VONTAL_SERVER_PORT when it holds a port number (so that test runs side
    // by side need not share one), else 31415. Read at every attempt.
    static quint16 ServerPort();

    // Connected: from the connect until the close of the connection.
    bool IsActive() const { return up_; }
    // The server computer's name by reverse lookup of its address; empty until the lookup has
    // answered, and when it finds no name.
    QString PeerHostName() const { return peerName_; }

    // One attempt to reach host (a name or a dotted address): lookup, then connect. Nothing
    // while connected. An attempt still under way is abandoned first, so that at most one
    // connection ever serves the protocol.
    void Open(const QString& host);
    // Closes the connection, or abandons the attempt under way.
    void Close();
    // Queues the whole text and hands it to the transport at once. Dropped (false) when the link
    // is down or replies are piling up unread.
    bool Send(const QByteArray& text);

    // The socket itself, for tests that watch its buffers.
    QTcpSocket* socket() const { return socket_; }

signals:
    // The link went up or down, or the server's name became known.
    void linkChanged();
    // Everything one read delivered: one message of the control protocol.
    void messageReceived(const QByteArray& message);

private:
    void StateChanged();
    void Read();
    void LookUpPeerName();

    QTcpSocket* socket_ = nullptr;
    bool up_ = false;
    QString peerName_;
    quint64 connection_ = 0;  // counts connections, so a late name lookup finds its own
};

}  // namespace vontal
