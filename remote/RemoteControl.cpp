// The remote control.
#include "remote/RemoteControl.h"

#include <QPointer>
#include <QTimer>

#include <exception>
#include <string>

#include "remote/ServerLink.h"
#include "settings/Settings.h"

namespace vontal {

namespace {

const char* const kSection = "f";
const char* const kConnectKey = "ConnectToServerVontal";
const char* const kHostKey = "HostServerVontal";
const char* const kSwitchedOffText = "This program will be not accessible ServerVontal!";

}  // namespace

RemoteControl::RemoteControl(IRemoteControlled& program, QObject* parent)
    : QObject(parent), program_(program), link_(new ServerLink(this)) {
    setObjectName(QStringLiteral("remoteControl"));
    connect(link_, &ServerLink::linkChanged, this,
            [this] { program_.LinkChanged(wanted_, link_->IsActive(), link_->PeerHostName()); });
    connect(link_, &ServerLink::messageReceived, this, [this](const QByteArray& message) {
        // The commands report their own failures; nothing the server sends may escape into the
        // event loop.
        try {
            HandleServerMessage(message, *this);
        } catch (const std::exception& e) {
            qWarning("Server message not handled: %s", e.what());
        }
    });
}

// ---- The link ----------------------------------------------------------------------------------

void RemoteControl::SetWanted(bool wanted) {
    if (wanted)
        SwitchOn();
    else
        SwitchOff();
}

void RemoteControl::RestoreWanted(bool wanted) { SetWantedFlag(wanted); }

void RemoteControl::SetWantedFlag(bool wanted) {
    wanted_ = wanted;
    program_.LinkChanged(wanted_, link_->IsActive(), link_->PeerHostName());
}

QString RemoteControl::StoredHost() const {
    ISettings* ini = program_.Settings();
    return ini ? QString::fromStdString(ini->ReadString(kSection, kHostKey, "")) : QString();
}

void RemoteControl::SwitchOn() {
    // Wanted only once a host has been given.
    SetWantedFlag(false);
    const std::optional<QString> host = program_.AskServerHost(StoredHost());  // not trimmed: a blank is a host too
    if (!host || host->isEmpty()) return;
    link_->Open(*host);
    if (ISettings* ini = program_.Settings()) {
        try {
            ini->WriteString(kSection, kHostKey, host->toStdString());
            ini->WriteString(kSection, kConnectKey, "1");
        } catch (...) {
            // Not stored, not switched on: no link may stay up behind an unmarked item.
            link_->Close();
            throw;
        }
    }
    SetWantedFlag(true);
}

void RemoteControl::SwitchOff() {
    SetWantedFlag(true);  // still on while the user reads that it goes off
    if (ISettings* ini = program_.Settings()) ini->WriteString(kSection, kConnectKey, "0");
    program_.TellLinkSwitchedOff(QString::fromLatin1(kSwitchedOffText));
    SetWantedFlag(false);
    // An attempt still under way is abandoned too: it would otherwise bring the link up behind
    // an unmarked item, after the user was told the server can no longer reach the program.
    link_->Close();
}

void RemoteControl::TryConnect() {
    if (!wanted_ || link_->IsActive()) return;
    link_->Open(StoredHost());
}

// ---- Commands ----------------------------------------------------------------------------------

bool RemoteControl::CommandEnabled(ServerCommand command) const {
    switch (command) {
        case ServerCommand::Start:
        case ServerCommand::Continue:
        case ServerCommand::Stop:
            return program_.CanRun(command);
        default:
            return true;
    }
}

void RemoteControl::RunCommand(ServerCommand command) {
    if (command != ServerCommand::Start) {
        program_.Run(command);
        return;
    }
    if (startQuestionPending_) return;
    startQuestionPending_ = true;
    // Start asks the local user first. Asked from here, inside the socket's read notification,
    // the question would hold that notification until answered, and the server's messages
    // meanwhile would go unread; so it is asked just after.
    QTimer::singleShot(0, this, [this] {
        QPointer<RemoteControl> self(this);
        if (program_.CanRun(ServerCommand::Start)) program_.Run(ServerCommand::Start);
        if (self) startQuestionPending_ = false;
    });
}

ServerStateFields RemoteControl::CurrentState() const { return program_.State(); }

ServerResultsFields RemoteControl::CurrentResults() const { return program_.Results(); }

void RemoteControl::SetTaskBoxes(const TaskBoxTexts& texts) { program_.SetTaskBoxes(texts); }

void RemoteControl::SendReply(const QByteArray& reply) { link_->Send(reply); }

}  // namespace vontal
