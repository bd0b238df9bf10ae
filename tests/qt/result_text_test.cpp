// What the result box shows of "Result.txt": lines as the records wrote them, any bytes made
// printable, and of a file too large to show only its end, read without reading the rest.
#include "gui/ResultText.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstring>
#include <stdexcept>
#include <string>

#include <sys/resource.h>
#include <sys/stat.h>

namespace vontal {
namespace {

const QString kRecordShown = "\nfound m=12,  k=7,  n=14\n7.2^14+1 divides F_12\n";

struct Case {
    const char* name;
    QByteArray bytes;
    bool cut;
    QString shown;
};

TEST(ResultBoxText, LinesAndCharacters) {
    const QString note = QString(kResultCutNote) + "\n";
    const Case cases[] = {
        {"records with CR LF", "\r\nfound m=12,  k=7,  n=14\r\n7.2^14+1 divides F_12\r\n", false, kRecordShown},
        {"LF and a lone CR end lines too", "a\nb\rc\r\n", false, "a\nb\nc\n"},
        {"a last line without a line end", "a\r\nb", false, "a\nb\n"},
        {"no bytes, no lines", "", false, ""},
        {"one empty line", "\r\n", false, "\n"},
        {"control bytes and NUL", QByteArray("a\0b\x01\x1b[2J\x7f", 9), false,
         QString::fromUtf8("a\uFFFDb\uFFFD\uFFFD[2J\uFFFD\n")},
        {"tab kept", "m=12,\tk=7", false, "m=12,\tk=7\n"},
        {"valid UTF-8", "\xc3\xa9t\xc3\xa9 \xf0\x9f\x98\x80", false, QString::fromUtf8("\u00e9t\u00e9 \U0001F600\n")},
        {"not UTF-8: Latin-1", "\xe9t\xe9", false, QString::fromUtf8("\u00e9t\u00e9\n")},
        {"UTF-8 cut mid-character: Latin-1", "ok\xe2\x82", false, QString::fromUtf8("ok\u00e2\uFFFD\n")},
        {"separators and direction marks", "a\xe2\x80\xa8" "b\xe2\x80\xae" "c", false, QString::fromUtf8("a\uFFFDb\uFFFDc\n")},
        {"cut: the partial first line gives way to the note", "tial line\r\nwhole\r\n", true, note + "whole\n"},
        {"cut just after a CR of a CR LF", "\nwhole\r\n", true, note + "whole\n"},
        {"cut where a line begins", "\r\nwhole", true, note + "whole\n"},
        {"cut inside the only line", "no line end at all", true, note},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ResultBoxText(c.bytes, c.cut), c.shown);
    }
}

TEST(ResultBoxText, ALongLineIsCutWithAnEllipsis) {
    const QString shown = ResultBoxText(QByteArray(5000, '7') + "\r\nnext\r\n");
    EXPECT_EQ(shown, QString(kResultLineChars, '7') + QChar(0x2026) + "\nnext\n");
    // A line of exactly the limit is whole.
    EXPECT_EQ(ResultBoxText(QByteArray(kResultLineChars, '7')), QString(kResultLineChars, '7') + "\n");
}

class ResultFileTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir_.isValid()); }
    QString Path() const { return dir_.filePath("Result.txt"); }
    // "Cannot read <path>: ..." or "" when nothing was thrown.
    std::string LoadError() {
        try {
            LoadResultBoxText(Path());
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return {};
    }
    QTemporaryDir dir_;
};

TEST_F(ResultFileTest, AMissingFileIsAnEmptyBox) { EXPECT_EQ(LoadResultBoxText(Path()), QString()); }

// A pipe would block the start-up until something writes into it; a folder cannot be read.
TEST_F(ResultFileTest, WhatIsNoRegularFileIsReportedNotRead) {
    ASSERT_EQ(mkfifo(Path().toLocal8Bit().constData(), 0600), 0);
    EXPECT_EQ(LoadError(), "Cannot read " + Path().toStdString() + ": not a regular file");
    ASSERT_TRUE(QFile::remove(Path()));
    ASSERT_TRUE(QDir(dir_.path()).mkdir("Result.txt"));
    EXPECT_EQ(LoadError(), "Cannot read " + Path().toStdString() + ": not a regular file");
}

// A gigabyte (sparse, so it costs no disk) with a record at its end: only the end is read, so
// the peak memory of the process hardly moves, and the box shows the record under the note.
TEST_F(ResultFileTest, OfAGigabyteOnlyTheEndIsRead) {
    {
        QFile file(Path());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_TRUE(file.resize(qint64{1} << 30));
        ASSERT_TRUE(file.seek(qint64{1} << 30));
        file.write("\r\nfound m=12,  k=7,  n=14\r\n7.2^14+1 divides F_12\r\n");
    }
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    const QString shown = LoadResultBoxText(Path());
    getrusage(RUSAGE_SELF, &after);
    EXPECT_EQ(shown, QString(kResultCutNote) + kRecordShown);
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024);  // kilobytes
    // Records that fill more than the limit: the last whole lines are shown, as they are.
    QFile file(Path());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QByteArray all;
    for (int i = 0; i < 10000; ++i) all += "\r\nfound m=12,  k=7,  n=" + QByteArray::number(i) + "\r\n";
    file.write(all);
    file.close();
    const QString tail = LoadResultBoxText(Path());
    EXPECT_TRUE(tail.startsWith(QString(kResultCutNote) + "\n"));
    EXPECT_TRUE(tail.endsWith("\nfound m=12,  k=7,  n=9999\n"));
    EXPECT_TRUE(ResultBoxText(all).endsWith(tail.mid(qsizetype(strlen(kResultCutNote)) + 1)));
    EXPECT_LE(tail.size(), kResultBoxBytes + 64);
}

}  // namespace
}  // namespace vontal
