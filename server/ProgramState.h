// What a desktop program reports: its state reply "[CurrentParameters]…" and its results reply
// "[Results]…" taken apart, and the figures the dashboard derives from them (k reached, rate,
// share of the task done). Plain bytes in; nothing here trusts the text.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

#include "remote/ControlProtocol.h"

namespace vontal::server {

// The requests and the replies' tokens, as the program's side of the protocol spells them.
inline const char* const kStateRequest = ServerCommandToken(ServerCommand::ReceiveParameters);
inline const char* const kResultsRequest = ServerCommandToken(ServerCommand::ReceiveResults);
using vontal::kResultsReplyToken;
using vontal::kStateReplyToken;

// Whether `collected` (the bytes of one reply gathered so far, possibly over several reads) is
// a whole reply beginning with `token`: the state reply once the "|" after "lab/|" has come, the
// results reply once its second "|" has come.
bool ReplyComplete(const QByteArray& collected, const char* token);

// Every piece of "[CurrentParameters]nMin=…,nTemp=…,nMax=…,kMin=…,kMax=…,Start1=…,Continue1=…,
// Stop1=…,WS=…lab/|<label>|", texts as the program sent them (Latin-1), the label's carriage
// returns kept.
struct ProgramState {
    QString nMin, nTemp, nMax, kMin, kMax;
    bool startEnabled = false, continueEnabled = false, stopEnabled = false, autostart = false;
    QString label;

    // The first line of the label while running: "k=<digits with any separators>".
    std::optional<int64_t> KReached() const;
    // The second line: "k/sec= <digits with any separators>"; none while it is still empty.
    std::optional<double> Rate() const;
    // The exponent box as a number.
    std::optional<uint32_t> Exponent() const;
    // Running (or starting): Stop is what the program offers.
    bool Running() const { return stopEnabled; }
    // "Calculate sieve" while the run begins.
    bool Starting() const;
    // At rest with the exponent box past the last exponent: the task is done.
    bool Finished() const;
    // The share of the task done, 0 to 1: the exponents behind the one in hand, plus the part of
    // it up to the k reached. None when the task's texts do not convert.
    std::optional<double> ShareDone() const;
};

// The state reply taken apart; none when it is not one (a missing piece, a piece out of order,
// a flag other than 0 or 1, anything behind the closing "|").
std::optional<ProgramState> ParseStateReply(const QByteArray& reply);

// "[Results]count=<n>|<line>\r<line>…|": the number of divisors in the program's result box and
// its last lines.
struct ProgramResults {
    int64_t count = 0;
    QStringList lines;
};

// Lines kept of a results reply, however many it brings.
inline constexpr int kResultLinesKept = 20;

std::optional<ProgramResults> ParseResultsReply(const QByteArray& reply);

// Digits of a text, every other character dropped ("1.234.567", "1 234 567", "1'234'567" and
// "1,234,567" are all 1234567); none without a digit or beyond 18 digits.
std::optional<int64_t> LooseDigits(const QString& text);

}  // namespace vontal::server
