// A desktop program as the control server sees it, in the test's own process: a QTcpSocket that
// connects to the server's program port and answers its commands as the program does (the state
// reply, the results reply, the boxes of "[SetParameters]", start, continue, stop), keeping every
// command it received.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QTcpSocket>

class FakeProgram : public QObject {
public:
    QByteArray nMin = "50", nTemp = "52", nMax = "60", kMin = "20e12", kMax = "30e12";
    bool running = false;
    bool autostart = false;
    // Starts at once on "[Start]" (the program's "Accept Tasks from Server"); otherwise its user
    // is asked and never answers.
    bool acceptsTasks = false;
    bool answersResults = true;
    bool answers = true;     // false: says nothing at all
    bool takesBoxes = true;  // false: "[SetParameters]" leaves the boxes as they are
    QByteArray label = "Program does not work\rExpects a new task...";
    QByteArray results = "[Results]count=1|5.2^52+1 divides F_50|";
    QList<QByteArray> received;

    FakeProgram() {
        connect(&socket, &QTcpSocket::readyRead, this, [this] {
            const QByteArray message = socket.readAll();
            received << message;
            Handle(message);
        });
    }
    void connectTo(quint16 port) { socket.connectToHost(QHostAddress::LocalHost, port); }

    QByteArray StateReply() const {
        const char* flag[] = {"0", "1"};
        return "[CurrentParameters]nMin=" + nMin + ",nTemp=" + nTemp + ",nMax=" + nMax + ",kMin=" + kMin +
               ",kMax=" + kMax + ",Start1=" + flag[!running] + ",Continue1=" + flag[!running] +
               ",Stop1=" + flag[running] + ",WS=" + flag[autostart] + "lab/|" + label + "|";
    }
    int count(const QByteArray& token) const {
        int n = 0;
        for (const QByteArray& m : received)
            if (m.startsWith(token)) ++n;
        return n;
    }

    QTcpSocket socket;

private:
    void Handle(const QByteArray& message) {
        if (!answers) return;
        if (message.startsWith("[ReceiveParameters]")) {
            socket.write(StateReply());
        } else if (message.startsWith("[ReceiveResults]")) {
            if (answersResults) socket.write(results);
        } else if (message.startsWith("[SetParameters]") && takesBoxes) {
            // Each value stands between the next "=" and the "," after it.
            QList<QByteArray> values;
            qsizetype at = 0;
            for (int i = 0; i < 4; ++i) {
                const qsizetype eq = message.indexOf('=', at);
                const qsizetype comma = message.indexOf(',', eq + 1);
                if (eq < 0 || comma < 0) return;
                values << message.mid(eq + 1, comma - eq - 1);
                at = comma + 1;
            }
            nTemp = values[0];
            nMax = values[1];
            kMin = values[2];
            kMax = values[3];
        } else if (message.startsWith("[Start]") && !running && acceptsTasks) {
            running = true;
            nMin = nTemp;
            label = "k=1\rk/sec= \rk/day= ";
        } else if (message.startsWith("[Continue]") && !running) {
            running = true;
            label = "k=1\rk/sec= \rk/day= ";
        } else if (message.startsWith("[Stop]") && running) {
            running = false;
            label = "Program does not work\rExpects a new task...";
        } else if (message.startsWith("[WindowsService]")) {
            autostart = !autostart;
        }
    }
};
