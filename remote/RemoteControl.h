// The remote control: the link to the control server switched on and off, the reconnect attempt
// on every view tick, and the server's commands carried out by the program's own commands. It
// talks to the program through IRemoteControlled, never to its widgets, and needs Qt Core and
// Network only.
#pragma once

#include <QObject>
#include <QString>

#include <optional>

#include "remote/ControlProtocol.h"

namespace vontal {

class ISettings;
class ServerLink;

// What the remote control acts on: the program's run commands, its task boxes and what it shows,
// and its user, who is asked for the server's address and told when the link is switched off.
class IRemoteControlled {
public:
    virtual ~IRemoteControlled() = default;
    // Whether the command of "[Start]", "[Continue]" or "[Stop]" is enabled now.
    virtual bool CanRun(ServerCommand command) const = 0;
    // Runs the command as its menu item does: Start asks the local user first, unless the user
    // lets the server start tasks without the question.
    virtual void Run(ServerCommand command) = 0;
    virtual ServerStateFields State() const = 0;
    // The divisors in the result box.
    virtual ServerResultsFields Results() const = 0;
    virtual void SetTaskBoxes(const TaskBoxTexts& texts) = 0;
    // The settings file, where the server's host and the switch are kept; null until it is open.
    virtual ISettings* Settings() = 0;
    // Asks for the server's host, offering `stored`; nothing when the user cancels.
    virtual std::optional<QString> AskServerHost(const QString& stored) = 0;
    // Tells the user (and waits until read) that the link is switched off.
    virtual void TellLinkSwitchedOff(const QString& text) = 0;
    // The link is wanted or not, up or down, or the server's name became known.
    virtual void LinkChanged(bool wanted, bool connected, const QString& host) = 0;
};

class RemoteControl : public QObject, private IControlTarget {
    Q_OBJECT
public:
    RemoteControl(IRemoteControlled& program, QObject* parent);

    // The user's choice. On: asks for the server's host, tries it at once and stores it (the
    // link is wanted only once a host has been given). Off: stores the choice, says so, and
    // closes the link.
    void SetWanted(bool wanted);
    // The choice read from the settings file at start-up: no question, no attempt yet.
    void RestoreWanted(bool wanted);
    bool wanted() const { return wanted_; }
    // One connection attempt, to the host stored in the settings file now, when the link is
    // wanted and down. The view tick calls it first thing.
    void TryConnect();

    ServerLink* link() const { return link_; }

private:
    bool CommandEnabled(ServerCommand command) const override;
    void RunCommand(ServerCommand command) override;
    ServerStateFields CurrentState() const override;
    ServerResultsFields CurrentResults() const override;
    void SetTaskBoxes(const TaskBoxTexts& texts) override;
    void SendReply(const QByteArray& reply) override;

    void SwitchOn();
    void SwitchOff();
    void SetWantedFlag(bool wanted);
    QString StoredHost() const;

    IRemoteControlled& program_;
    ServerLink* link_ = nullptr;
    bool wanted_ = false;
    // A server's "[Start]" waits for the local user's answer; further ones meanwhile are
    // ignored rather than stacking up questions.
    bool startQuestionPending_ = false;
};

}  // namespace vontal
