// What the result box shows of "Result.txt": the file's lines decoded for display, and no more
// of them than the box can lay out at start-up. Qt Core only, so that it is tested and fuzzed
// without a window.
#pragma once

#include <QByteArrayView>
#include <QString>

namespace vontal {

// Bytes of the file's end that the box shows. A found record takes about 70 bytes, so this is
// thousands of divisors; a larger file is damaged or not ours, and reading it whole (or laying
// out a gigabyte in the box) would hold up the start-up without end.
inline constexpr qint64 kResultBoxBytes = 256 * 1024;
// Characters shown of one line: a record line has fewer than a hundred.
inline constexpr qsizetype kResultLineChars = 1000;
// The first line of the box when the file's beginning is left out.
inline constexpr const char* kResultCutNote = "(earlier lines in Result.txt)";

// The box text for bytes of "Result.txt": every line followed by '\n', as the records' lines
// read in order (CR LF, LF and a lone CR each end a line; a last line without a line end is a
// line too; no bytes, no lines). A line that is valid UTF-8 is read as UTF-8, any other as
// Latin-1, so that no byte is lost from view; characters that are not printable (NUL, control
// codes, line and paragraph separators) show as U+FFFD, and a line longer than kResultLineChars
// is cut there and ends in U+2026.
// cutAtStart: the bytes are the end of a longer file, taken from just before a line may begin;
// everything up to the first line end is the tail of a line whose beginning is missing, and the
// note takes its place.
QString ResultBoxText(QByteArrayView bytes, bool cutAtStart = false);

// The box text of the file at path, read from its last `limit` bytes only. Empty when the file
// does not exist. Throws std::runtime_error "Cannot read <path>: <reason>" when it exists but is
// not a regular file (a pipe would block the start-up) or cannot be read.
QString LoadResultBoxText(const QString& path, qint64 limit = kResultBoxBytes);

}  // namespace vontal
