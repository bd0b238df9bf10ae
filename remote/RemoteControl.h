// The main window's remote control: the menu item "Connection with Local Server" that switches
// the server link on and off, the reconnect attempt on every view tick, and the control
// server's commands carried out by the window's own menu items.
#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>

#include "remote/ControlProtocol.h"

class QAction;
class QLabel;
class QLineEdit;
class QWidget;

namespace vontal {

class ServerLink;
class TIniFile;

// The parts of the main window the remote control works through.
struct RemoteControlParts {
    QWidget* window = nullptr;  // parent of the input box and the message box
    QAction* clConnect = nullptr;
    QAction* Start1 = nullptr;
    QAction* Continue1 = nullptr;
    QAction* Stop1 = nullptr;
    QAction* RunWindowsService = nullptr;
    QLineEdit* edtF1 = nullptr;
    QLineEdit* edtF2 = nullptr;
    QLineEdit* edtK1 = nullptr;
    QLineEdit* edtK2 = nullptr;
    QLabel* lblK = nullptr;
    std::function<TIniFile*()> settings;            // null until the start-up has opened the file
    std::function<uint32_t()> exponentInHand;       // nTemp of the search state
    std::function<void(bool connected, const QString& host)> showLink;  // the status summary
};

class RemoteControl : public QObject, private IControlTarget {
    Q_OBJECT
public:
    RemoteControl(RemoteControlParts parts, QObject* parent);

    // The menu command; checkedNow is the item's check mark after the click toggled it. On:
    // asks for the server's host, tries it at once and stores it. Off: stores the choice, says
    // so, and closes the link.
    void clConnectClick(bool checkedNow);
    // One connection attempt, to the host stored in the settings file now, when the link is
    // wanted and down. The view timer calls it first thing on every tick.
    void ProbaConnect();

    ServerLink* link() const { return link_; }

private:
    bool CommandEnabled(ServerCommand command) const override;
    void RunCommand(ServerCommand command) override;
    ServerStateFields CurrentState() const override;
    void SetTaskBoxes(const TaskBoxTexts& texts) override;
    void SendReply(const QByteArray& reply) override;

    void SwitchOn();
    void SwitchOff();
    QString StoredHost() const;

    RemoteControlParts parts_;
    ServerLink* link_ = nullptr;
    // A server's "[Start]" waits for the local user's answer; further ones meanwhile are
    // ignored rather than stacking up questions.
    bool startQuestionPending_ = false;
};

}  // namespace vontal
