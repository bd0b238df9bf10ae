// The machines and their connections.
#include "server/Fleet.h"

#include <QDeadlineTimer>
#include <QHostInfo>
#include <QJsonArray>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

#include "engine/NumberText.h"
#include "remote/ControlProtocol.h"

namespace vontal::server {

namespace {

qint64 MonotonicMs() { return QDeadlineTimer::current().deadline(); }

// An IPv4 peer of a dual-stack listener shows as "::ffff:a.b.c.d": written as a.b.c.d.
QHostAddress Plain(const QHostAddress& address) {
    bool v4 = false;
    const quint32 ip = address.toIPv4Address(&v4);
    return v4 ? QHostAddress(ip) : address;
}

QString AddressText(const QHostAddress& address, quint16 port) {
    const QHostAddress plain = Plain(address);
    const QString ip = plain.toString();
    return (plain.protocol() == QAbstractSocket::IPv6Protocol ? "[" + ip + "]" : ip) + ":" + QString::number(port);
}

QJsonValue Text(const std::string& s) { return QString::fromStdString(s); }

QJsonObject TaskJson(const TaskTexts& task) {
    return {{"nFirst", Text(task.nFirst)}, {"nLast", Text(task.nLast)}, {"kLow", Text(task.kLow)},
            {"kHigh", Text(task.kHigh)}};
}

template <typename T>
QJsonValue OrNull(const std::optional<T>& value) {
    return value ? QJsonValue(static_cast<double>(*value)) : QJsonValue(QJsonValue::Null);
}

// Two texts of the same number, read as the program reads them ("2e6" and "2000000" alike); a
// text that is no number equals only itself.
bool SameK(const std::string& a, const std::string& b) {
    if (a == b) return true;
    try {
        return StrToK(a) == StrToK(b);
    } catch (const ConversionError&) {
        return false;
    }
}

bool SameExponent(const std::string& a, const std::string& b) {
    if (a == b) return true;
    try {
        return StrToInt(a) == StrToInt(b);
    } catch (const ConversionError&) {
        return false;
    }
}

// Whether a program's reply shows `task` as its task: its first and last exponent and its highest
// k. The lowest k box is left out: a running program rewrites it (a k of 1 shows as 3, the first
// k it searches).
bool ShowsTask(const ProgramState& state, const TaskTexts& task) {
    return SameExponent(state.nMin.toStdString(), task.nFirst) && SameExponent(state.nMax.toStdString(), task.nLast) &&
           SameK(state.kMax.toStdString(), task.kHigh);
}

bool SameTask(const ProgramState& a, const ProgramState& b) {
    return ShowsTask(a, {b.nMin.toStdString(), b.nMax.toStdString(), b.kMin.toStdString(), b.kMax.toStdString()});
}

}  // namespace

Fleet::Fleet(TaskQueue& queue, FleetOptions options, QObject* parent)
    : QObject(parent), queue_(queue), options_(options) {
    connect(&server_, &QTcpServer::newConnection, this, &Fleet::Accept);
    auto* prune = new QTimer(this);
    prune->setInterval(60 * 1000);
    connect(prune, &QTimer::timeout, this, &Fleet::Prune);
    prune->start();
}

Fleet::~Fleet() {
    for (MachineLink* link : links_) {
        link->disconnect(this);
        delete link;
    }
}

bool Fleet::Listen(const QHostAddress& address, quint16 port, QString* error) {
    // Room in the system's queue for many programs connecting at once (a server restarted in
    // front of a whole network of them).
    server_.setListenBacklogSize(256);
    if (server_.listen(address, port)) return true;
    *error = server_.errorString();
    return false;
}

void Fleet::Accept() {
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
        if (static_cast<int>(links_.size()) >= options_.maxConnections) {
            // Full: the oldest connection that has never answered makes room; when every one
            // has answered, they are programs, and the newcomer is turned away.
            MachineLink* idle = nullptr;
            for (MachineLink* link : links_)
                if (!link->answered() && (!idle || link->acceptedAt() < idle->acceptedAt())) idle = link;
            if (!idle) {
                socket->abort();
                socket->deleteLater();
                continue;
            }
            idle->Close();
        }
        auto* link = new MachineLink(socket, options_.times, this);
        links_.push_back(link);
        connect(link, &MachineLink::stateReceived, this, [this, link](const ProgramState& state) {
            if (Machine* m = FindByLink(link))
                OnState(*m, state);
            else
                Adopt(link, state);
        });
        connect(link, &MachineLink::resultsReceived, this, [this, link](const ProgramResults& results) {
            if (Machine* m = FindByLink(link)) {
                m->divisorCount = results.count;
                m->divisors = results.lines;
                m->divisorsUnknown = false;
            }
        });
        connect(link, &MachineLink::resultsUnsupported, this, [this, link] {
            if (Machine* m = FindByLink(link)) {
                m->divisorCount.reset();
                m->divisors.clear();
                m->divisorsUnknown = true;
            }
        });
        connect(link, &MachineLink::closed, this, [this, link] { OnClosed(link); });
    }
}

void Fleet::Adopt(MachineLink* link, const ProgramState& state) {
    const QHostAddress address = Plain(link->address());
    Machine* m = nullptr;
    // A program that comes back (restarted, or its link lost) on the same computer with the same
    // task takes its old place.
    for (auto& candidate : machines_)
        if (!candidate->link && candidate->address == address && candidate->state && SameTask(*candidate->state, state)) {
            m = candidate.get();
            break;
        }
    if (!m) {
        machines_.push_back(std::make_unique<Machine>());
        m = machines_.back().get();
        m->id = QString::number(nextId_++);
        m->address = address;
        m->host = address.toString();
    }
    m->link = link;
    m->port = link->port();
    m->goneAt = 0;
    m->finishedSince = 0;
    m->startSent = false;
    m->pollsSinceStart = 0;
    const QString id = m->id;
    QHostInfo::lookupHost(address.toString(), this, [this, id](const QHostInfo& info) {
        if (Machine* found = Find(id); found && info.error() == QHostInfo::NoError && !info.hostName().isEmpty())
            found->host = info.hostName();
    });
    Prune();
    OnState(*m, state);
}

void Fleet::OnState(Machine& m, const ProgramState& state) {
    m.state = state;
    m.lastSeen = QDateTime::currentDateTimeUtc();
    if (state.Finished()) {
        if (!m.finishedSince) m.finishedSince = MonotonicMs();
    } else {
        m.finishedSince = 0;
    }
    if (state.Running()) {
        m.startSent = false;
        m.pollsSinceStart = 0;
    } else if (m.startSent) {
        ++m.pollsSinceStart;
    }
    CheckBoxesSent(m);
    StepHandOut(m);
}

void Fleet::CheckBoxesSent(Machine& m) {
    if (!m.boxesSent || !m.link || !m.link->open()) return;
    const TaskTexts& task = *m.boxesSent;
    const ProgramState& state = *m.state;
    // During a run the first exponent box shows the exponent in hand, not what was sent.
    const bool taken = (state.Running() || state.nTemp.toStdString() == task.nFirst) &&
                       state.nMax.toStdString() == task.nLast && state.kMin.toStdString() == task.kLow &&
                       state.kMax.toStdString() == task.kHigh;
    if (taken || m.boxesSentAttempts >= 3) {
        m.boxesSent.reset();
        return;
    }
    // The command may have shared a read with another and gone unseen: sent again.
    m.link->SendCommand(SetParametersText(task));
    ++m.boxesSentAttempts;
}

QByteArray Fleet::SetParametersText(const TaskTexts& task) {
    const auto text = [](const std::string& s) { return QString::fromLatin1(s.c_str()); };
    return BuildSetParameters({text(task.nFirst), text(task.nLast), text(task.kLow), text(task.kHigh)});
}

void Fleet::StepHandOut(Machine& m) {
    if (!m.link || !m.link->open() || !m.state) return;
    const ProgramState& state = *m.state;
    if (m.assigned) {
        const TaskTexts& task = *m.assigned;
        if (state.Running()) {
            const bool ours = ShowsTask(state, task);
            // Running the task: it leaves the queue for good. Running something else (a
            // follow-on task of its own, a start by its user): the task goes back for another.
            if (ours)
                queue_.Confirm(m.id);
            else
                queue_.PutBack(m.id);
            m.assigned.reset();
            m.handOut = HandOut::None;
            return;
        }
        if (m.handOut == HandOut::BoxesSent) {
            const bool taken = state.nTemp.toStdString() == task.nFirst && state.nMax.toStdString() == task.nLast &&
                               state.kMin.toStdString() == task.kLow && state.kMax.toStdString() == task.kHigh;
            if (taken && state.startEnabled) {
                m.link->SendCommand(ServerCommandToken(ServerCommand::Start));
                m.handOut = HandOut::StartSent;
                m.startSent = true;
                m.pollsSinceStart = 0;
            } else if (m.boxAttempts < 3) {
                // The boxes did not take (the command may have shared a read with another):
                // sent again.
                m.link->SendCommand(SetParametersText(task));
                ++m.boxAttempts;
            } else {
                queue_.PutBack(m.id);
                m.assigned.reset();
                m.handOut = HandOut::None;
                m.finishedSince = 0;
            }
        }
        return;
    }
    if (state.Finished() && m.finishedSince && MonotonicMs() - m.finishedSince >= options_.graceMs &&
        !queue_.Waiting().empty()) {
        m.assigned = queue_.HandOut(m.id);
        m.handOut = HandOut::BoxesSent;
        m.boxAttempts = 1;
        m.link->SendCommand(SetParametersText(*m.assigned));
    }
}

void Fleet::OnClosed(MachineLink* link) {
    links_.erase(std::remove(links_.begin(), links_.end(), link), links_.end());
    if (Machine* m = FindByLink(link)) {
        m->link = nullptr;
        m->goneAt = MonotonicMs();
        if (m->assigned) queue_.PutBack(m->id);
        m->assigned.reset();
        m->handOut = HandOut::None;
        m->startSent = false;
        m->boxesSent.reset();
    }
    link->deleteLater();
}

void Fleet::Prune() {
    const qint64 now = MonotonicMs();
    std::erase_if(machines_, [&](const auto& m) { return !m->link && m->goneAt && now - m->goneAt >= options_.keepGoneMs; });
    while (static_cast<int>(machines_.size()) > options_.maxMachines) {
        auto oldest = machines_.end();
        for (auto it = machines_.begin(); it != machines_.end(); ++it)
            if (!(*it)->link && (oldest == machines_.end() || (*it)->goneAt < (*oldest)->goneAt)) oldest = it;
        if (oldest == machines_.end()) break;
        machines_.erase(oldest);
    }
}

Fleet::Machine* Fleet::Find(const QString& id) {
    for (auto& m : machines_)
        if (m->id == id) return m.get();
    return nullptr;
}

Fleet::Machine* Fleet::FindByLink(const MachineLink* link) {
    for (auto& m : machines_)
        if (m->link == link) return m.get();
    return nullptr;
}

QString Fleet::StateName(const Machine& m) const {
    if (!m.state) return "unknown";
    if (m.state->Running()) return m.state->Starting() ? "starting" : "running";
    if (m.startSent && m.pollsSinceStart >= 2) return "waiting-for-user";
    if (m.state->Finished()) return "finished";
    return "stopped";
}

double Fleet::FleetRate() const {
    double sum = 0;
    for (const auto& m : machines_)
        if (m->link && m->state && m->state->Running())
            if (const auto rate = m->state->Rate()) sum += *rate;
    return sum;
}

QJsonArray Fleet::MachinesJson() const {
    QJsonArray list;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (const auto& holder : machines_) {
        const Machine& m = *holder;
        const bool connected = m.link && m.link->open();
        QJsonObject o;
        o["id"] = m.id;
        o["address"] = AddressText(m.address, m.port);
        o["host"] = m.host;
        o["connected"] = connected;
        o["lastSeen"] = m.lastSeen.isValid() ? QJsonValue(m.lastSeen.toString(Qt::ISODate)) : QJsonValue();
        o["secondsSinceSeen"] = m.lastSeen.isValid() ? QJsonValue(m.lastSeen.msecsTo(now) / 1000.0) : QJsonValue();
        o["state"] = StateName(m);
        const ProgramState state = m.state.value_or(ProgramState{});
        o["task"] = QJsonObject{{"nMin", state.nMin}, {"nTemp", state.nTemp}, {"nMax", state.nMax},
                                {"kMin", state.kMin}, {"kMax", state.kMax}};
        o["exponent"] = m.state ? OrNull(state.Exponent()) : QJsonValue();
        o["kReached"] = m.state ? OrNull(state.KReached()) : QJsonValue();
        o["shareDone"] = m.state ? OrNull(state.ShareDone()) : QJsonValue();
        o["rate"] = m.state ? OrNull(state.Rate()) : QJsonValue();
        o["commands"] = QJsonObject{{"start", connected && state.startEnabled},
                                    {"continue", connected && state.continueEnabled},
                                    {"stop", connected && state.stopEnabled}};
        o["autostart"] = state.autostart;
        QString status = state.label;
        status.replace('\r', '\n');
        o["status"] = status;
        o["divisorCount"] = m.divisorsUnknown ? QJsonValue() : OrNull(m.divisorCount);
        o["divisors"] = QJsonArray::fromStringList(m.divisors);
        o["assignedTask"] = m.assigned ? QJsonValue(TaskJson(*m.assigned)) : QJsonValue();
        list.append(o);
    }
    return list;
}

ActionResult Fleet::Act(const QString& id, Action action, const TaskTexts& task) {
    Machine* m = Find(id);
    if (!m) return ActionResult::UnknownMachine;
    if (!m->link || !m->link->open() || !m->state) return ActionResult::NotEnabled;
    const ProgramState& state = *m->state;
    // A dashboard user's own command for the machine ends a hand-out still waiting there.
    auto release = [&] {
        if (!m->assigned) return;
        queue_.PutBack(m->id);
        m->assigned.reset();
        m->handOut = HandOut::None;
    };
    switch (action) {
        case Action::Continue:
            if (!state.continueEnabled) return ActionResult::NotEnabled;
            release();
            m->startSent = false;
            m->link->SendCommand(ServerCommandToken(ServerCommand::Continue));
            break;
        case Action::Stop:
            if (!state.stopEnabled) return ActionResult::NotEnabled;
            m->link->SendCommand(ServerCommandToken(ServerCommand::Stop));
            break;
        case Action::Start:
            if (!state.startEnabled) return ActionResult::NotEnabled;
            m->link->SendCommand(ServerCommandToken(ServerCommand::Start));
            m->startSent = true;
            m->pollsSinceStart = 0;
            break;
        case Action::Autostart:
            m->link->SendCommand(ServerCommandToken(ServerCommand::WindowsService));
            break;
        case Action::Task:
            if (!TaskQueue::Valid(task)) return ActionResult::BadTask;
            release();
            m->startSent = false;
            m->link->SendCommand(SetParametersText(task));
            m->boxesSent = task;
            m->boxesSentAttempts = 1;
            break;
    }
    return ActionResult::Accepted;
}

}  // namespace vontal::server
