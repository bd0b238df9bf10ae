// The text protocol spoken with the control server: which command a message carries, the task
// boxes that "[SetParameters]" fills, the state reply to "[ReceiveParameters]", and the dispatch
// of one message. Plain bytes in and out; no socket, no widgets.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace vontal {

enum class ServerCommand { None, Start, Continue, Stop, WindowsService, ReceiveParameters, SetParameters, ReceiveResults };

// The command of one message: a token standing at its very first byte, matched byte for byte
// (letter case included) in the order "[Start]", "[Continue]", "[Stop]", "[WindowsService]",
// "[ReceiveParameters]", "[SetParameters]", "[ReceiveResults]". Text behind the token does not
// matter here.
ServerCommand ParseServerCommand(const QByteArray& message);

// The token that carries `command` ("[Start]", …); empty for None. The server sends these.
const char* ServerCommandToken(ServerCommand command);

// The tokens the program's two replies begin with.
inline constexpr char kStateReplyToken[] = "[CurrentParameters]";
inline constexpr char kResultsReplyToken[] = "[Results]";

// The texts "[SetParameters]" puts into the four task boxes.
struct TaskBoxTexts {
    QString nFirst;  // the first exponent box
    QString nLast;   // the last exponent box
    QString kLow;    // the lowest k box
    QString kHigh;   // the highest k box
};

// Takes the four values apart by position, names unexamined: each value is what stands between
// the next "=" and the first "," after it. With no "=" left nothing is skipped; with no "," left
// the value is empty. Carriage return, line feed and NUL are dropped from the values: they end
// up in "Vontal.ini" at the next save, where a line break would add lines (and so any key) to
// the file.
TaskBoxTexts ParseSetParameters(const QByteArray& message);

// The message that fills the four boxes with `texts`: "[SetParameters]n=…,n=…,k=…,k=…,", what
// ParseSetParameters takes apart (the texts must hold no "," and no "=").
QByteArray BuildSetParameters(const TaskBoxTexts& texts);

// What the state reply reports, each text as it stands in the window.
struct ServerStateFields {
    QString nMin;   // the settings key "nMin", or the exponent in hand when the key is missing
    QString nTemp;  // the first exponent box (the exponent in hand)
    QString nMax;   // the last exponent box
    QString kMin;   // the lowest k box
    QString kMax;   // the highest k box
    bool startEnabled = false;
    bool continueEnabled = false;
    bool stopEnabled = false;
    bool windowsService = false;  // the autostart entry's menu item is ticked
    QString statusK;              // the progress label, lines separated by a carriage return
};

// "[CurrentParameters]nMin=…,nTemp=…,nMax=…,kMin=…,kMax=…,Start1=…,Continue1=…,Stop1=…,WS=…"
// "lab/|" + the status text + "|", in single-byte characters (no comma before "lab/|").
QByteArray BuildStateReply(const ServerStateFields& fields);

// The divisors the result box holds, for "[ReceiveResults]": how many, and the last lines of the
// form "123.2^52+1 divides F_50", oldest first.
struct ServerResultsFields {
    int count = 0;
    QStringList lastLines;
};

// At most this many divisor lines go into one results reply.
inline constexpr int kResultsReplyLines = 20;

// "[Results]count=<count>|" + the last lines (at most kResultsReplyLines), separated by a
// carriage return, + "|". A server that wants to know whether a divisor was found asks with
// "[ReceiveResults]"; the state reply stays as it always was.
QByteArray BuildResultsReply(const ServerResultsFields& fields);

// What a message may act on: the window's menu commands, its boxes and the link's send.
class IControlTarget {
public:
    virtual ~IControlTarget() = default;
    // Whether the menu command of "[Start]", "[Continue]" or "[Stop]" is enabled.
    virtual bool CommandEnabled(ServerCommand command) const = 0;
    // Runs the menu command's own handler (Start, Continue, Stop, Start with Desktop Session).
    virtual void RunCommand(ServerCommand command) = 0;
    virtual ServerStateFields CurrentState() const = 0;
    virtual ServerResultsFields CurrentResults() const = 0;
    virtual void SetTaskBoxes(const TaskBoxTexts& texts) = 0;
    virtual void SendReply(const QByteArray& reply) = 0;
};

// Handles one message, which is everything one read delivered. Unknown text, and a start,
// continue or stop whose menu command is disabled, is ignored without a reply.
void HandleServerMessage(const QByteArray& message, IControlTarget& target);

}  // namespace vontal
