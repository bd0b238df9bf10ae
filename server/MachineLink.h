// One desktop program's connection: the commands for it sent one at a time, each reply gathered
// over as many reads as it takes (bounded in size and time), a pause after every command that
// has no reply, and the poll of the program's state every few seconds. The program takes each
// read as one whole message, so two commands sent close together would reach it as one and only
// the first would act.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QTimer>

#include <deque>

#include "server/ProgramState.h"

class QTcpSocket;

namespace vontal::server {

struct LinkTimes {
    int pollMs = 5000;           // between state polls
    int replyTimeoutMs = 10000;  // a reply not complete by then has failed
    int gapMs = 1000;            // after a command without reply, before the next one
};

class MachineLink : public QObject {
    Q_OBJECT
public:
    // Bytes of one reply at most; a program never sends that much at once.
    static constexpr qsizetype kReplyLimit = 64 * 1024;
    // Failed replies in a row after which the connection is closed.
    static constexpr int kFailuresInARow = 5;

    // Takes the connected socket over (as its child) and polls at once.
    MachineLink(QTcpSocket* socket, LinkTimes times, QObject* parent = nullptr);
    ~MachineLink() override;

    // A command without reply ("[Stop]", "[SetParameters]…"): queued behind the others, then a
    // state poll so that its effect shows soon.
    void SendCommand(const QByteArray& text);
    // Closes the connection (closed() follows).
    void Close();

    QHostAddress address() const { return address_; }
    quint16 port() const { return port_; }
    bool open() const { return open_; }
    // Whether the program has ever sent a whole, well-formed state reply.
    bool answered() const { return answered_; }
    // Whether a results request is still worth sending (a program that ignored one is not asked
    // again on this connection).
    bool resultsSupported() const { return resultsSupported_; }
    // Since the connection was accepted (ms of a monotonic clock), for choosing whom to drop.
    qint64 acceptedAt() const { return acceptedAt_; }
    int protocolErrors() const { return protocolErrors_; }
    // Commands waiting or in flight.
    int backlog() const { return static_cast<int>(queue_.size()) + (inFlight_ ? 1 : 0); }

signals:
    void stateReceived(const vontal::server::ProgramState& state);
    void resultsReceived(const vontal::server::ProgramResults& results);
    // The program ignored the results request: its divisors are unknown.
    void resultsUnsupported();
    void closed();

private:
    enum class Reply { None, State, Results };
    struct Command {
        QByteArray text;
        Reply reply = Reply::None;
    };

    void Enqueue(const QByteArray& text, Reply reply);
    void Poll();
    void SendNext();
    void Read();
    void ReplyTimedOut();
    // A reply that failed: counted; too many in a row close the connection.
    void Failed();
    void Finish(bool ok);
    static const char* Token(Reply reply);

    QTcpSocket* socket_;
    LinkTimes times_;
    QHostAddress address_;
    quint16 port_ = 0;
    qint64 acceptedAt_ = 0;
    std::deque<Command> queue_;
    std::optional<Command> inFlight_;
    QByteArray collected_;
    QTimer pollTimer_, replyTimer_, gapTimer_;
    bool open_ = true;
    bool answered_ = false;
    bool resultsSupported_ = true;
    bool resultsAnswered_ = false;
    int failuresInARow_ = 0;
    int protocolErrors_ = 0;
};

}  // namespace vontal::server
