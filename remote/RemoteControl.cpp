// The main window's remote control.
#include "remote/RemoteControl.h"

#include <QAction>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

#include <exception>
#include <string>

#include "settings/IniFile.h"
#include "remote/ServerLink.h"

namespace vontal {

namespace {

const char* const kSection = "f";
const char* const kConnectKey = "ConnectToServerVontal";
const char* const kHostKey = "HostServerVontal";
const char* const kSwitchedOffText = "This program will be not accessible ServerVontal!";

}  // namespace

RemoteControl::RemoteControl(RemoteControlParts parts, QObject* parent)
    : QObject(parent), parts_(std::move(parts)), link_(new ServerLink(this)) {
    setObjectName(QStringLiteral("remoteControl"));
    connect(link_, &ServerLink::linkChanged, this, [this] {
        if (parts_.showLink) parts_.showLink(link_->IsActive(), link_->PeerHostName());
    });
    connect(link_, &ServerLink::messageReceived, this, [this](const QByteArray& message) {
        // The menu handlers report their own failures; nothing the server sends may escape
        // into the event loop.
        try {
            HandleServerMessage(message, *this);
        } catch (const std::exception& e) {
            qWarning("Server message not handled: %s", e.what());
        }
    });
}

// ---- The link ----------------------------------------------------------------------------------

void RemoteControl::clConnectClick(bool checkedNow) {
    if (checkedNow)
        SwitchOn();
    else
        SwitchOff();
}

QString RemoteControl::StoredHost() const {
    TIniFile* ini = parts_.settings ? parts_.settings() : nullptr;
    return ini ? QString::fromStdString(ini->ReadString(kSection, kHostKey, "")) : QString();
}

void RemoteControl::SwitchOn() {
    // The mark is set only once a host has been given.
    parts_.clConnect->setChecked(false);
    QInputDialog dialog(parts_.window);
    dialog.setObjectName(QStringLiteral("serverInput"));
    dialog.setWindowTitle(QStringLiteral("Server to connect to"));
    dialog.setLabelText(QStringLiteral("Adress or Host Name:"));
    dialog.setTextValue(StoredHost());
    if (dialog.exec() != QDialog::Accepted) return;
    const QString host = dialog.textValue();  // not trimmed: a blank is a host too
    if (host.isEmpty()) return;
    link_->Open(host);
    if (TIniFile* ini = parts_.settings ? parts_.settings() : nullptr) {
        try {
            ini->WriteString(kSection, kHostKey, host.toStdString());
            ini->WriteInteger(kSection, kConnectKey, 1);
        } catch (...) {
            // Not stored, not switched on: no link may stay up behind an unmarked item.
            link_->Close();
            throw;
        }
    }
    parts_.clConnect->setChecked(true);
}

void RemoteControl::SwitchOff() {
    parts_.clConnect->setChecked(true);
    if (TIniFile* ini = parts_.settings ? parts_.settings() : nullptr) ini->WriteInteger(kSection, kConnectKey, 0);
    QMessageBox box(QMessageBox::Information, QStringLiteral("Vontal factoring"),
                    QString::fromLatin1(kSwitchedOffText), QMessageBox::Ok, parts_.window);
    box.setObjectName(QStringLiteral("information"));
    box.exec();
    parts_.clConnect->setChecked(false);
    // An attempt still under way is abandoned too: it would otherwise bring the link up behind
    // an unmarked item, after the user was told the server can no longer reach the program.
    link_->Close();
}

void RemoteControl::ProbaConnect() {
    if (!parts_.clConnect->isChecked() || link_->IsActive()) return;
    link_->Open(StoredHost());
}

// ---- Commands ----------------------------------------------------------------------------------

bool RemoteControl::CommandEnabled(ServerCommand command) const {
    switch (command) {
        case ServerCommand::Start:
            return parts_.Start1->isEnabled();
        case ServerCommand::Continue:
            return parts_.Continue1->isEnabled();
        case ServerCommand::Stop:
            return parts_.Stop1->isEnabled();
        default:
            return true;
    }
}

void RemoteControl::RunCommand(ServerCommand command) {
    switch (command) {
        case ServerCommand::Start: {
            if (startQuestionPending_) return;
            startQuestionPending_ = true;
            // Start asks the local user first. Asked from here, inside the socket's read
            // notification, the question would hold that notification until answered, and the
            // server's messages meanwhile would go unread; so it is asked just after.
            QTimer::singleShot(0, this, [this] {
                QPointer<RemoteControl> self(this);
                if (parts_.Start1->isEnabled()) parts_.Start1->trigger();
                if (self) startQuestionPending_ = false;
            });
            return;
        }
        case ServerCommand::Continue:
            parts_.Continue1->trigger();
            return;
        case ServerCommand::Stop:
            parts_.Stop1->trigger();
            return;
        case ServerCommand::WindowsService:
            parts_.RunWindowsService->trigger();
            return;
        default:
            return;
    }
}

ServerStateFields RemoteControl::CurrentState() const {
    ServerStateFields f;
    const std::string inHand = std::to_string(parts_.exponentInHand ? parts_.exponentInHand() : 0);
    TIniFile* ini = parts_.settings ? parts_.settings() : nullptr;
    f.nMin = QString::fromStdString(ini ? ini->ReadString(kSection, "nMin", inHand) : inHand);
    f.nTemp = parts_.edtF1->text();
    f.nMax = parts_.edtF2->text();
    f.kMin = parts_.edtK1->text();
    f.kMax = parts_.edtK2->text();
    f.startEnabled = parts_.Start1->isEnabled();
    f.continueEnabled = parts_.Continue1->isEnabled();
    f.stopEnabled = parts_.Stop1->isEnabled();
    f.windowsService = parts_.RunWindowsService->isChecked();
    // The label shows its lines with line feeds; the reply keeps the carriage return.
    f.statusK = parts_.lblK->text();
    f.statusK.replace(QLatin1Char('\n'), QLatin1Char('\r'));
    return f;
}

void RemoteControl::SetTaskBoxes(const TaskBoxTexts& texts) {
    parts_.edtF1->setText(texts.nFirst);
    parts_.edtF2->setText(texts.nLast);
    parts_.edtK1->setText(texts.kLow);
    parts_.edtK2->setText(texts.kHigh);
}

void RemoteControl::SendReply(const QByteArray& reply) { link_->Send(reply); }

}  // namespace vontal
