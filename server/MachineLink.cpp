// One program's connection.
#include "server/MachineLink.h"

#include <QDeadlineTimer>
#include <QTcpSocket>

namespace vontal::server {

namespace {

// Commands waiting beyond this are dropped: a program that stopped answering must not make the
// server hold an ever longer list for it.
constexpr size_t kQueueLimit = 32;

qint64 MonotonicMs() { return QDeadlineTimer::current().deadline(); }

}  // namespace

MachineLink::MachineLink(QTcpSocket* socket, LinkTimes times, QObject* parent)
    : QObject(parent), socket_(socket), times_(times) {
    socket_->setParent(this);
    // Qt takes no more from the system than one reply may hold; the rest waits in the kernel,
    // and TCP holds back a program that floods.
    socket_->setReadBufferSize(kReplyLimit);
    address_ = socket_->peerAddress();
    port_ = socket_->peerPort();
    acceptedAt_ = MonotonicMs();
    connect(socket_, &QTcpSocket::readyRead, this, &MachineLink::Read);
    connect(socket_, &QTcpSocket::disconnected, this, &MachineLink::Close);
    connect(socket_, &QTcpSocket::errorOccurred, this, &MachineLink::Close);

    pollTimer_.setInterval(times_.pollMs);
    connect(&pollTimer_, &QTimer::timeout, this, &MachineLink::Poll);
    replyTimer_.setSingleShot(true);
    replyTimer_.setInterval(times_.replyTimeoutMs);
    connect(&replyTimer_, &QTimer::timeout, this, &MachineLink::ReplyTimedOut);
    gapTimer_.setSingleShot(true);
    gapTimer_.setInterval(times_.gapMs);
    connect(&gapTimer_, &QTimer::timeout, this, &MachineLink::SendNext);

    pollTimer_.start();
    Poll();
}

MachineLink::~MachineLink() {
    open_ = false;
    socket_->disconnect(this);
    socket_->abort();
}

const char* MachineLink::Token(Reply reply) {
    return reply == Reply::State ? kStateReplyToken : kResultsReplyToken;
}

void MachineLink::SendCommand(const QByteArray& text) {
    Enqueue(text, Reply::None);
    if (queue_.empty() || queue_.back().reply != Reply::State) Enqueue(kStateRequest, Reply::State);
}

void MachineLink::Enqueue(const QByteArray& text, Reply reply) {
    if (!open_ || queue_.size() >= kQueueLimit) return;
    queue_.push_back({text, reply});
    SendNext();
}

void MachineLink::Poll() {
    auto waiting = [this](Reply reply) {
        if (inFlight_ && inFlight_->reply == reply) return true;
        for (const Command& c : queue_)
            if (c.reply == reply) return true;
        return false;
    };
    if (!waiting(Reply::State)) Enqueue(kStateRequest, Reply::State);
    if (resultsSupported_ && !waiting(Reply::Results)) Enqueue(kResultsRequest, Reply::Results);
}

void MachineLink::SendNext() {
    if (!open_ || inFlight_ || gapTimer_.isActive() || queue_.empty()) return;
    Command command = std::move(queue_.front());
    queue_.pop_front();
    collected_.clear();
    socket_->write(command.text);
    if (command.reply == Reply::None) {
        gapTimer_.start();
    } else {
        inFlight_ = std::move(command);
        replyTimer_.start();
    }
}

void MachineLink::Read() {
    if (!open_) return;
    const QByteArray data = socket_->readAll();
    if (data.isEmpty()) return;
    if (!inFlight_) {
        // Nothing was asked: a program never speaks first.
        ++protocolErrors_;
        Failed();
        return;
    }
    collected_ += data;
    if (collected_.size() > kReplyLimit) {
        ++protocolErrors_;
        Close();
        return;
    }
    const char* token = Token(inFlight_->reply);
    const QByteArrayView tokenView(token);
    const bool onTrack = collected_.startsWith(tokenView) || tokenView.startsWith(collected_);
    if (!onTrack) {
        ++protocolErrors_;
        Finish(false);
        return;
    }
    if (!ReplyComplete(collected_, token)) return;  // the rest comes with the next reads
    if (inFlight_->reply == Reply::State) {
        const auto state = ParseStateReply(collected_);
        if (!state) {
            ++protocolErrors_;
            Finish(false);
            return;
        }
        answered_ = true;
        const ProgramState copy = *state;
        Finish(true);
        emit stateReceived(copy);
    } else {
        const auto results = ParseResultsReply(collected_);
        if (!results) {
            ++protocolErrors_;
            Finish(false);
            return;
        }
        resultsAnswered_ = true;
        const ProgramResults copy = *results;
        Finish(true);
        emit resultsReceived(copy);
    }
}

void MachineLink::Finish(bool ok) {
    replyTimer_.stop();
    inFlight_.reset();
    collected_.clear();
    if (ok)
        failuresInARow_ = 0;
    else
        Failed();
    SendNext();
}

void MachineLink::ReplyTimedOut() {
    if (!inFlight_) return;
    const Reply reply = inFlight_->reply;
    inFlight_.reset();
    collected_.clear();
    if (reply == Reply::Results && !resultsAnswered_) {
        // A program built before the results request ignores it: not an error, but not asked again.
        resultsSupported_ = false;
        for (auto it = queue_.begin(); it != queue_.end();)
            it = it->reply == Reply::Results ? queue_.erase(it) : it + 1;
        emit resultsUnsupported();
    } else {
        ++protocolErrors_;
        Failed();
    }
    SendNext();
}

void MachineLink::Failed() {
    // A connection that has never answered well is not given a second chance: it may be one of
    // many that something opened to tie the server up.
    if (!answered_ || ++failuresInARow_ >= kFailuresInARow) Close();
}

void MachineLink::Close() {
    if (!open_) return;
    open_ = false;
    pollTimer_.stop();
    replyTimer_.stop();
    gapTimer_.stop();
    queue_.clear();
    inFlight_.reset();
    socket_->abort();
    emit closed();
}

}  // namespace vontal::server
