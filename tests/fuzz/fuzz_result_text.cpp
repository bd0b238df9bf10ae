// The result box's text of "Result.txt", whatever the file holds: no crash, no character the box
// would lay out as something else (control codes, separators, unpaired surrogates), no more text
// than bytes, one box line per line of the file, plain CR LF text shown unchanged; and the end
// of the file read alone shows exactly the last lines of the whole.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <cstring>
#include <string>
#include <unistd.h>

#include "gui/ResultText.h"

namespace {

void Check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "invariant broken: %s\n", what);
    __builtin_trap();
}

// Lines of the file as the box counts them: CR LF, LF and a lone CR each end one, and a last
// piece without a line end is a line too.
qsizetype LineCount(const QByteArray& bytes) {
    qsizetype lines = 0;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
        if (bytes[i] == '\r' || bytes[i] == '\n') ++lines;
    }
    if (!bytes.isEmpty() && bytes.back() != '\r' && bytes.back() != '\n') ++lines;
    return lines;
}

void CheckShownText(const QString& text) {
    Check(text.isEmpty() || text.back() == QLatin1Char('\n'), "every line ends in a line feed");
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == QLatin1Char('\n') || c == QLatin1Char('\t')) continue;
        if (c.isHighSurrogate()) {
            Check(i + 1 < text.size() && text[i + 1].isLowSurrogate(), "surrogates come in pairs");
            Check(QChar::isPrint(QChar::surrogateToUcs4(c, text[i + 1])), "printable characters only");
            ++i;
            continue;
        }
        Check(!c.isLowSurrogate(), "no lone low surrogate");
        Check(c.isPrint() && c.unicode() != 0x2028 && c.unicode() != 0x2029, "printable characters only");
    }
}

bool PlainCrLfText(const QByteArray& bytes) {
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c == '\r') {
            if (i + 1 >= bytes.size() || bytes[i + 1] != '\n') return false;
            ++i;
        } else if (c < 0x20 || c > 0x7e) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QString whole = vontal::ResultBoxText(bytes);
    CheckShownText(whole);
    Check(whole.size() <= bytes.size() + 1, "no more characters than bytes (and a final line feed)");
    Check(whole.count(QLatin1Char('\n')) == LineCount(bytes), "one box line per line of the file");

    bool shortLines = true;
    for (const QByteArray& line : bytes.split('\n')) shortLines &= line.size() <= vontal::kResultLineChars;
    if (PlainCrLfText(bytes) && shortLines) {
        QString back = whole;
        back.replace(QLatin1String("\n"), QLatin1String("\r\n"));
        if (!bytes.endsWith("\r\n") && !bytes.isEmpty()) back.chop(2);
        Check(back.toLatin1() == bytes, "plain CR LF text is shown as it is");
    }

    // The file's end only: the note, then the last lines of the whole, unchanged.
    static const QString path = QDir::temp().filePath(QStringLiteral("vontal-fuzz-%1-Result.txt").arg(getpid()));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) __builtin_trap();
    file.write(bytes);
    file.close();
    const qint64 limit = size == 0 ? 1 : 1 + data[0] % 64;
    const QString tail = vontal::LoadResultBoxText(path, limit);
    QFile::remove(path);
    if (bytes.size() <= limit) {
        Check(tail == whole, "a file within the limit is shown whole");
    } else {
        CheckShownText(tail);
        const QString note = QLatin1String(vontal::kResultCutNote) + QLatin1Char('\n');
        Check(tail.startsWith(note), "a cut file begins with the note");
        Check(whole.endsWith(QStringView(tail).sliced(note.size())), "the end shows the last lines of the whole");
        const qsizetype before = whole.size() - (tail.size() - note.size());
        Check(before == 0 || whole[before - 1] == QLatin1Char('\n'), "only whole lines are shown");
    }
    return 0;
}
