// Every desktop program that connects, as a machine of the dashboard: the listening port for the
// programs, their connections within limits, the last state and divisors of each, machines that
// went away kept for a day, the commands the dashboard sends, and the hand-out of the queue's
// next task to a machine that has finished its own.
#pragma once

#include <QDateTime>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTcpServer>

#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "server/MachineLink.h"
#include "server/ProgramState.h"
#include "server/TaskQueue.h"

namespace vontal::server {

struct FleetOptions {
    LinkTimes times;
    int graceMs = 20000;                 // a finished machine's own follow-on tasks go first
    int maxConnections = 256;            // program connections open at once
    qint64 keepGoneMs = 24LL * 3600 * 1000;  // a machine that went away stays listed so long
    int maxMachines = 1024;              // machines listed, those that went away dropped first
};

// What the dashboard asks a machine to do.
enum class Action { Continue, Stop, Start, Autostart, Task };

enum class ActionResult { Accepted, UnknownMachine, NotEnabled, BadTask };

class Fleet : public QObject {
    Q_OBJECT
public:
    Fleet(TaskQueue& queue, FleetOptions options, QObject* parent = nullptr);
    ~Fleet() override;

    // Listens for programs; false with the reason in `error`.
    bool Listen(const QHostAddress& address, quint16 port, QString* error);
    quint16 port() const { return server_.serverPort(); }

    // The machines as "/api/machines" lists them.
    QJsonArray MachinesJson() const;
    // The sum of the rates of the machines that run, k per second.
    double FleetRate() const;

    ActionResult Act(const QString& id, Action action, const TaskTexts& task = {});

    // Connections open now, answered or not (for tests and limits).
    int openConnections() const { return static_cast<int>(links_.size()); }

private:
    enum class HandOut { None, BoxesSent, StartSent };
    struct Machine {
        QString id;
        QPointer<MachineLink> link;
        QHostAddress address;
        quint16 port = 0;
        QString host;
        std::optional<ProgramState> state;
        QDateTime lastSeen;
        qint64 goneAt = 0;  // monotonic ms when the connection closed; 0 while connected
        std::optional<int64_t> divisorCount;
        QStringList divisors;
        bool divisorsUnknown = false;
        // The hand-out of a queued task.
        std::optional<TaskTexts> assigned;
        HandOut handOut = HandOut::None;
        int boxAttempts = 0;
        qint64 finishedSince = 0;  // monotonic ms the machine was first seen finished; 0 if not
        // A "[Start]" sent and the machine still at rest: polls since.
        bool startSent = false;
        int pollsSinceStart = 0;
    };

    void Accept();
    void Adopt(MachineLink* link, const ProgramState& state);
    void OnState(Machine& m, const ProgramState& state);
    void StepHandOut(Machine& m);
    void OnClosed(MachineLink* link);
    void Prune();
    Machine* Find(const QString& id);
    Machine* FindByLink(const MachineLink* link);
    QString StateName(const Machine& m) const;
    static QByteArray SetParametersText(const TaskTexts& task);

    TaskQueue& queue_;
    FleetOptions options_;
    QTcpServer server_;
    std::vector<MachineLink*> links_;  // every open connection
    std::vector<std::unique_ptr<Machine>> machines_;
    quint64 nextId_ = 1;
};

}  // namespace vontal::server
