// The result box's text of "Result.txt".
#include "gui/ResultText.h"

#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

#include <algorithm>
#include <stdexcept>

namespace vontal {

namespace {

constexpr char16_t kReplacement = 0xFFFD;
constexpr char16_t kEllipsis = 0x2026;

// Whether the box shows the character as it is. Line and paragraph separators would break the
// line in the box where the file has none.
bool Shown(char32_t c) {
    if (c == U'\t') return true;
    if (c == 0x2028 || c == 0x2029) return false;
    return QChar::isPrint(c);
}

// Appends one line (without its line end) and '\n' to out.
void AppendLine(QString& out, QByteArrayView line) {
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QString text = utf8.decode(line);
    if (utf8.hasError()) text = QString::fromLatin1(line);
    qsizetype shown = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (shown == kResultLineChars) {
            out += QChar(kEllipsis);
            break;
        }
        ++shown;
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            const char32_t code = QChar::surrogateToUcs4(c, text.at(i + 1));
            if (Shown(code)) {
                out += c;
                out += text.at(i + 1);
            } else {
                out += QChar(kReplacement);
            }
            ++i;
            continue;
        }
        out += Shown(c.unicode()) ? c : QChar(kReplacement);
    }
    out += QLatin1Char('\n');
}

// Length of the line end at bytes[i] (a CR or LF): two for CR LF, else one.
qsizetype LineEndLength(QByteArrayView bytes, qsizetype i) {
    return bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n' ? 2 : 1;
}

}  // namespace

QString ResultBoxText(QByteArrayView bytes, bool cutAtStart) {
    QString out;
    out.reserve(std::min<qsizetype>(bytes.size(), kResultBoxBytes) + 64);
    qsizetype pos = 0;
    if (cutAtStart) {
        out += QLatin1String(kResultCutNote);
        out += QLatin1Char('\n');
        while (pos < bytes.size() && bytes[pos] != '\r' && bytes[pos] != '\n') ++pos;
        if (pos == bytes.size()) return out;
        pos += LineEndLength(bytes, pos);
    }
    while (pos < bytes.size()) {
        qsizetype end = pos;
        while (end < bytes.size() && bytes[end] != '\r' && bytes[end] != '\n') ++end;
        AppendLine(out, bytes.sliced(pos, end - pos));
        pos = end == bytes.size() ? end : end + LineEndLength(bytes, end);
    }
    return out;
}

QString LoadResultBoxText(const QString& path, qint64 limit) {
    limit = std::max<qint64>(limit, 1);
    auto fail = [&path](const QString& why) {
        throw std::runtime_error(QStringLiteral("Cannot read %1: %2").arg(path, why).toStdString());
    };
    const QFileInfo info(path);
    if (!info.exists()) return {};
    if (!info.isFile()) fail(QStringLiteral("not a regular file"));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) fail(file.errorString());
    const qint64 size = file.size();
    const bool cut = size > limit;
    // One byte more than is shown: it tells whether the first line shown begins a line.
    if (cut && !file.seek(size - limit - 1)) fail(file.errorString());
    const QByteArray bytes = file.read(cut ? limit + 1 : size);
    if (file.error() != QFileDevice::NoError) fail(file.errorString());
    return ResultBoxText(bytes, cut);
}

}  // namespace vontal
