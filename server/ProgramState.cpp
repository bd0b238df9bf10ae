// The program's replies taken apart.
#include "server/ProgramState.h"

#include <QStringList>

#include <algorithm>
#include <string>

#include "engine/NumberText.h"

namespace vontal::server {

namespace {

// The pieces between the fixed texts of the state reply, in order.
constexpr const char* kMarkers[] = {",nTemp=", ",nMax=", ",kMin=", ",kMax=", ",Start1=",
                                    ",Continue1=", ",Stop1=", ",WS=", "lab/|"};

std::optional<bool> Flag(QByteArrayView text) {
    if (text == "1") return true;
    if (text == "0") return false;
    return std::nullopt;
}

// The program's bytes as Latin-1 text, nothing dropped: the JSON carries them as they came and
// the page escapes them.
QString Text(QByteArrayView bytes) { return QString::fromLatin1(bytes.data(), bytes.size()); }

// The label's line that begins with `prefix`, without it; none when no line does.
std::optional<QString> LabelLine(const QString& label, const QString& prefix) {
    for (const QString& line : label.split('\r'))
        if (line.startsWith(prefix)) return line.mid(prefix.size());
    return std::nullopt;
}

std::optional<int64_t> ToK(const QString& text) {
    try {
        return StrToK(text.toStdString());
    } catch (const ConversionError&) {
        return std::nullopt;
    }
}

std::optional<uint32_t> ToExponent(const QString& text) {
    try {
        const int32_t n = StrToInt(text.toStdString());
        if (n < 0) return std::nullopt;
        return static_cast<uint32_t>(n);
    } catch (const ConversionError&) {
        return std::nullopt;
    }
}

}  // namespace

bool ReplyComplete(const QByteArray& collected, const char* token) {
    if (!collected.startsWith(token) || !collected.endsWith('|')) return false;
    if (QByteArrayView(token) == kStateReplyToken) {
        const qsizetype label = collected.indexOf("lab/|");
        return label >= 0 && collected.size() > label + 5;
    }
    return collected.count('|') >= 2;
}

std::optional<int64_t> LooseDigits(const QString& text) {
    std::string digits;
    for (QChar c : text)
        if (c >= '0' && c <= '9') digits += static_cast<char>(c.unicode());
    if (digits.empty()) return std::nullopt;
    const size_t first = digits.find_first_not_of('0');
    if (first == std::string::npos) return 0;
    if (digits.size() - first > 18) return std::nullopt;
    return std::stoll(digits.substr(first));
}

std::optional<ProgramState> ParseStateReply(const QByteArray& reply) {
    const QByteArrayView head = "[CurrentParameters]nMin=";
    if (!reply.startsWith(head) || !reply.endsWith('|')) return std::nullopt;
    QByteArrayView rest = QByteArrayView(reply).sliced(head.size());
    QByteArrayView values[10];
    for (int i = 0; i < 9; ++i) {
        const qsizetype at = rest.indexOf(QByteArrayView(kMarkers[i]));
        if (at < 0) return std::nullopt;
        values[i] = rest.first(at);
        rest = rest.sliced(at + qstrlen(kMarkers[i]));
    }
    // What is left is the label and its closing "|", which cannot be the bar of "lab/|" itself.
    if (rest.isEmpty() || !rest.endsWith('|')) return std::nullopt;
    values[9] = rest.first(rest.size() - 1);

    ProgramState state;
    state.nMin = Text(values[0]);
    state.nTemp = Text(values[1]);
    state.nMax = Text(values[2]);
    state.kMin = Text(values[3]);
    state.kMax = Text(values[4]);
    const auto start = Flag(values[5]), cont = Flag(values[6]), stop = Flag(values[7]), ws = Flag(values[8]);
    if (!start || !cont || !stop || !ws) return std::nullopt;
    state.startEnabled = *start;
    state.continueEnabled = *cont;
    state.stopEnabled = *stop;
    state.autostart = *ws;
    state.label = Text(values[9]);
    return state;
}

std::optional<int64_t> ProgramState::KReached() const {
    if (!Running()) return std::nullopt;
    const auto line = LabelLine(label, "k=");
    return line ? LooseDigits(*line) : std::nullopt;
}

std::optional<double> ProgramState::Rate() const {
    if (!Running()) return std::nullopt;
    const auto line = LabelLine(label, "k/sec=");
    if (!line) return std::nullopt;
    const auto digits = LooseDigits(*line);
    if (!digits) return std::nullopt;
    return static_cast<double>(*digits);
}

std::optional<uint32_t> ProgramState::Exponent() const { return ToExponent(nTemp); }

bool ProgramState::Starting() const { return stopEnabled && label.startsWith("Calculate sieve"); }

bool ProgramState::Finished() const {
    if (stopEnabled) return false;
    const auto n = ToExponent(nTemp), last = ToExponent(nMax);
    return n && last && *n > *last;
}

std::optional<double> ProgramState::ShareDone() const {
    const auto first = ToExponent(nMin), now = ToExponent(nTemp), last = ToExponent(nMax);
    if (!first || !now || !last || *first > *last) return std::nullopt;
    if (*now > *last) return 1.0;
    if (*now < *first) return 0.0;
    const double exponents = static_cast<double>(*last - *first) + 1.0;
    double within = 0.0;
    const auto low = ToK(kMin), high = ToK(kMax), k = KReached();
    if (low && high && k && *high > *low)
        within = std::clamp(static_cast<double>(*k - *low) / static_cast<double>(*high - *low), 0.0, 1.0);
    return std::clamp((static_cast<double>(*now - *first) + within) / exponents, 0.0, 1.0);
}

std::optional<ProgramResults> ParseResultsReply(const QByteArray& reply) {
    const QByteArrayView head = "[Results]count=";
    if (!reply.startsWith(head) || !reply.endsWith('|')) return std::nullopt;
    QByteArrayView rest = QByteArrayView(reply).sliced(head.size());
    const qsizetype bar = rest.indexOf('|');
    if (bar < 1 || bar > 18) return std::nullopt;
    ProgramResults results;
    for (char c : rest.first(bar))
        if (c < '0' || c > '9') return std::nullopt;
    results.count = std::stoll(std::string(rest.first(bar).data(), static_cast<size_t>(bar)));
    rest = rest.sliced(bar + 1);
    rest.chop(1);
    if (rest.contains('|')) return std::nullopt;
    if (!rest.isEmpty()) {
        const QStringList lines = Text(rest).split('\r', Qt::SkipEmptyParts);
        results.lines = lines.mid(std::max<qsizetype>(0, lines.size() - kResultLinesKept));
    }
    return results;
}

}  // namespace vontal::server
