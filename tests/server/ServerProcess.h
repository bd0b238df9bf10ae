// The real vontal-server, started as a process on free ports (port 0) in a temporary data folder,
// and waited for until it prints the line that names its ports.
#pragma once

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

class ServerProcess {
public:
    static constexpr const char* kToken = "test-token-0123456789";

    explicit ServerProcess(const QStringList& extra = {}) {
        QVERIFY(dir.isValid());
        QStringList args{"--program-port", "0", "--http-port", "0", "--dir", dir.path(), "--token", kToken};
        args << extra;
        process.start(VONTAL_SERVER, args);
        QVERIFY(process.waitForStarted());
        const QRegularExpression line("programs on port (\\d+), dashboard on http://127\\.0\\.0\\.1:(\\d+)/");
        QTRY_VERIFY_WITH_TIMEOUT(line.match(QString::fromLatin1(out += process.readAllStandardOutput())).hasMatch() ||
                                     process.state() == QProcess::NotRunning,
                                 60000);
        const QRegularExpressionMatch m = line.match(QString::fromLatin1(out));
        QVERIFY2(m.hasMatch(), (out + process.readAllStandardError()).constData());
        programPort = static_cast<quint16>(m.captured(1).toUInt());
        httpPort = static_cast<quint16>(m.captured(2).toUInt());
    }
    ~ServerProcess() {
        if (process.state() != QProcess::NotRunning) {
            ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
            if (!process.waitForFinished(60000)) {
                process.kill();
                process.waitForFinished();
            }
        }
    }
    // Resident memory in KiB, from /proc; 0 when the process is gone.
    long rssKiB() const {
        QFile status(QString("/proc/%1/status").arg(process.processId()));
        if (!status.open(QIODevice::ReadOnly)) return 0;
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').first().toLong();
        return 0;
    }
    // Sockets the process has open (listeners and connections), from /proc.
    int openSockets() const {
        const QString fds = QString("/proc/%1/fd").arg(process.processId());
        int sockets = 0;
        for (const QString& fd : QDir(fds).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System))
            if (QFile::symLinkTarget(fds + "/" + fd).contains("socket:")) ++sockets;
        return sockets;
    }
    QByteArray queueFile() const {
        QFile f(dir.filePath("queue.txt"));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    QTemporaryDir dir;
    QProcess process;
    QByteArray out;
    quint16 programPort = 0, httpPort = 0;
};
