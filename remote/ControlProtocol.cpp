// The control protocol on plain bytes.
#include "remote/ControlProtocol.h"

#include <algorithm>

namespace vontal {

namespace {

struct Token {
    const char* text;
    ServerCommand command;
};

// The order in which the tokens are tested.
constexpr Token kTokens[] = {
    {"[Start]", ServerCommand::Start},
    {"[Continue]", ServerCommand::Continue},
    {"[Stop]", ServerCommand::Stop},
    {"[WindowsService]", ServerCommand::WindowsService},
    {"[ReceiveParameters]", ServerCommand::ReceiveParameters},
    {"[SetParameters]", ServerCommand::SetParameters},
    {"[ReceiveResults]", ServerCommand::ReceiveResults},
};

QString BoxValue(QByteArrayView bytes) {
    QByteArray kept;
    kept.reserve(bytes.size());
    for (char c : bytes)
        if (c != '\r' && c != '\n' && c != '\0') kept += c;
    return QString::fromLatin1(kept);
}

const char* Flag(bool on) { return on ? "1" : "0"; }

}  // namespace

ServerCommand ParseServerCommand(const QByteArray& message) {
    for (const Token& token : kTokens)
        if (message.startsWith(token.text)) return token.command;
    return ServerCommand::None;
}

const char* ServerCommandToken(ServerCommand command) {
    for (const Token& token : kTokens)
        if (token.command == command) return token.text;
    return "";
}

TaskBoxTexts ParseSetParameters(const QByteArray& message) {
    QByteArrayView rest(message);
    auto next = [&rest]() {
        const qsizetype equals = rest.indexOf('=');
        if (equals >= 0) rest = rest.sliced(equals + 1);
        const qsizetype comma = rest.indexOf(',');
        return comma >= 0 ? BoxValue(rest.first(comma)) : QString();
    };
    TaskBoxTexts texts;
    texts.nFirst = next();
    texts.nLast = next();
    texts.kLow = next();
    texts.kHigh = next();
    return texts;
}

QByteArray BuildSetParameters(const TaskBoxTexts& t) {
    return QByteArray(ServerCommandToken(ServerCommand::SetParameters)) + "n=" + t.nFirst.toLatin1() + ",n=" +
           t.nLast.toLatin1() + ",k=" + t.kLow.toLatin1() + ",k=" + t.kHigh.toLatin1() + ",";
}

QByteArray BuildStateReply(const ServerStateFields& f) {
    QByteArray reply(kStateReplyToken);
    reply += "nMin=";
    reply += f.nMin.toLatin1();
    reply += ",nTemp=";
    reply += f.nTemp.toLatin1();
    reply += ",nMax=";
    reply += f.nMax.toLatin1();
    reply += ",kMin=";
    reply += f.kMin.toLatin1();
    reply += ",kMax=";
    reply += f.kMax.toLatin1();
    reply += ",Start1=";
    reply += Flag(f.startEnabled);
    reply += ",Continue1=";
    reply += Flag(f.continueEnabled);
    reply += ",Stop1=";
    reply += Flag(f.stopEnabled);
    reply += ",WS=";
    reply += Flag(f.windowsService);
    reply += "lab/|";
    reply += f.statusK.toLatin1();
    reply += "|";
    return reply;
}

QByteArray BuildResultsReply(const ServerResultsFields& f) {
    QByteArray reply(kResultsReplyToken);
    reply += "count=";
    reply += QByteArray::number(f.count);
    reply += "|";
    const qsizetype first = std::max<qsizetype>(0, f.lastLines.size() - kResultsReplyLines);
    for (qsizetype i = first; i < f.lastLines.size(); ++i) {
        if (i > first) reply += "\r";
        // A line never carries the separators of the reply.
        QByteArray line = f.lastLines[i].toLatin1();
        line.replace('\r', ' ').replace('\n', ' ').replace('|', ' ');
        reply += line;
    }
    reply += "|";
    return reply;
}

void HandleServerMessage(const QByteArray& message, IControlTarget& target) {
    const ServerCommand command = ParseServerCommand(message);
    switch (command) {
        case ServerCommand::Start:
        case ServerCommand::Continue:
        case ServerCommand::Stop:
            if (target.CommandEnabled(command)) target.RunCommand(command);
            return;
        case ServerCommand::WindowsService:
            target.RunCommand(command);
            return;
        case ServerCommand::ReceiveParameters:
            target.SendReply(BuildStateReply(target.CurrentState()));
            return;
        case ServerCommand::SetParameters:
            target.SetTaskBoxes(ParseSetParameters(message));
            return;
        case ServerCommand::ReceiveResults:
            target.SendReply(BuildResultsReply(target.CurrentResults()));
            return;
        case ServerCommand::None:
            return;
    }
}

}  // namespace vontal
