// A long flood of the real main window by a control server: for VONTAL_SOAK_MINUTES minutes
// (default 1) a server on 127.0.0.1, in a thread of its own, sends everything a server could send
// (bursts of commands, binary bytes, halves of messages, megabytes in one go, replies left
// unread, resets and orderly closes, after which the window reconnects) with valid commands in
// between, while the window runs a search. It measures how long the window's event loop is ever
// kept from a 10 ms timer, and the process's resident memory over time; it fails when a gap
// passes 2 s or memory keeps growing after the warm-up.
//
//   cmake --build build --target remote_soak
//   VONTAL_SOAK_MINUTES=3 build/bin/remote_soak
//
// Not a test of the suite (it is not registered with ctest): it runs for minutes.
#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <vector>

#include <unistd.h>

#include "TestServer.h"
#include "settings/IniFile.h"
#include "WindowFixture.h"
#include "gui/MainWindow.h"
#include "remote/RemoteControl.h"
#include "remote/ServerLink.h"

using namespace vontal;

namespace {

constexpr qint64 kLongestGapMs = 2000;
// Growth of the resident memory from the end of the warm-up to the end that counts as unbounded.
constexpr double kMostGrowthMB = 48;

double Minutes() {
    bool ok = false;
    const double minutes = qEnvironmentVariable("VONTAL_SOAK_MINUTES").toDouble(&ok);
    return ok && minutes > 0 ? minutes : 1.0;
}

double ResidentMB() {
    QFile statm("/proc/self/statm");
    if (!statm.open(QIODevice::ReadOnly)) return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toDouble() * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1 << 20) : 0;
}

// What the server has done, read by the main thread.
struct ServerCounts {
    std::atomic<qint64> bytes{0}, messages{0}, connections{0}, resets{0}, closes{0}, replies{0};
};

// The control server: lives in its own thread, so that a window that stops handling events
// does not also stop the flood. Each step of a 2 ms timer does one thing, picked at random;
// a step waits while the transport still holds more than a megabyte of what it sent.
class Flooder : public QObject {
public:
    explicit Flooder(ServerCounts& counts) : counts_(counts) {}

    quint16 Listen() {
        server_ = new QTcpServer(this);
        if (!server_->listen(QHostAddress::LocalHost, 0)) return 0;
        connect(server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* peer = server_->nextPendingConnection()) {
                if (peer_) peer_->abort();
                peer_ = peer;
                ++counts_.connections;
                connect(peer, &QTcpSocket::disconnected, peer, &QObject::deleteLater);
                connect(peer, &QTcpSocket::readyRead, this, [this, peer] { Read(peer); });
                // A task the window can run, so that it keeps its view tick and so reconnects.
                Send("[SetParameters]a=30,b=30,c=5,d=1e15,");
                pause_ = 20;
            }
        });
        timer_ = new QTimer(this);
        timer_->setInterval(2);
        connect(timer_, &QTimer::timeout, this, [this] { Step(); });
        timer_->start();
        return server_->serverPort();
    }

private:
    void Send(const QByteArray& bytes, bool message = true) { SendTo(peer_, bytes, message); }
    void SendTo(QTcpSocket* peer, const QByteArray& bytes, bool message = true) {
        peer->write(bytes);
        peer->flush();
        counts_.bytes += bytes.size();
        if (message) ++counts_.messages;
    }
    void Read(QTcpSocket* peer) {
        if (peer->readBufferSize() == 1) return;  // not reading just now: the window's replies wait
        const QByteArray replies = peer->readAll();
        counts_.replies += replies.count("[CurrentParameters]");
    }
    QByteArray Binary(qsizetype size) {
        QByteArray bytes(size, '\0');
        for (char& c : bytes) c = static_cast<char>(random_.bounded(256));
        return bytes;
    }

    void Step() {
        if (!peer_ || peer_->state() != QAbstractSocket::ConnectedState) return;
        if (pause_ > 0) {
            --pause_;
            return;
        }
        if (!pendingHalf_.isEmpty()) {
            Send(pendingHalf_, false);
            pendingHalf_.clear();
            return;
        }
        if (peer_->bytesToWrite() > (1 << 20)) return;
        static const char* const kBurst[] = {
            "[ReceiveParameters]", "[Stop]", "[Continue]", "[Start]", "[WindowsService]",
            "[SetParameters]a=30,b=30,c=5,d=1e15,", "[SetParameters]a=1x,b=,c=e5,d=99e17,",
            "[SetParameters]", "[SetParameters]====,,,,", " [Start]", "[start]", "[ReceiveParameters", "]",
            "\x01\xff[Stop]", "[Continue]junk behind", "", "[CurrentParameters]nMin=1"};
        const quint32 pick = random_.bounded(1000);
        if (pick < 500) {
            for (int i = 0; i < 50; ++i) Send(kBurst[random_.bounded(static_cast<int>(std::size(kBurst)))]);
        } else if (pick < 620) {
            Send(Binary(1 + random_.bounded(200 * 1024)));
        } else if (pick < 720) {
            // Half a message now, the rest at the next step: neither half is a command.
            const QByteArray whole = kBurst[random_.bounded(static_cast<int>(std::size(kBurst)))];
            const qsizetype half = whole.size() / 2;
            Send(whole.left(half));
            pendingHalf_ = whole.mid(half);
        } else if (pick < 740) {
            // Megabytes of parameters, some of them binary, followed by a start from them.
            QByteArray big = "[SetParameters]a=" + Binary(random_.bounded(3 << 20)) + ",b=2,c=3,d=4,";
            Send(big);
            Send("[Continue]");
        } else if (pick < 900) {
            peer_->setReadBufferSize(0);
            Read(peer_);
            Send("[ReceiveParameters]");
            pause_ = 5;
        } else if (pick < 960) {
            // Stops reading: the replies pile up on the window's side until it drops them.
            peer_->setReadBufferSize(1);
        } else if (pick < 980) {
            // Valid commands between the noise: a task, a stop, a continue.
            Send("[SetParameters]a=30,b=30,c=5,d=1e15,");
            pause_ = 10;
            QTimer::singleShot(10, this, [this] {
                if (peer_) Send("[Stop]");
            });
            QTimer::singleShot(30, this, [this] {
                if (peer_) Send("[Continue]");
            });
        } else {
            // The connection ends, abortively (RST) or in order, while the window runs a task,
            // so that its view tick reconnects (a stopped window waits for a new run, by design).
            // The messages go one by one: one read takes one message only.
            const bool reset = pick < 990;
            QTcpSocket* peer = peer_;
            peer_ = nullptr;  // no more flooding into this one
            SendTo(peer, "[SetParameters]a=30,b=30,c=5,d=1e15,");
            QTimer::singleShot(50, peer, [this, peer] { SendTo(peer, "[Continue]"); });
            QTimer::singleShot(150, peer, [this, peer, reset] {
                if (reset) {
                    ++counts_.resets;
                    TestServer::Reset(peer);
                } else {
                    ++counts_.closes;
                    peer->disconnectFromHost();
                }
                peer->deleteLater();
            });
        }
        if (peer_) peer_->flush();
    }

    ServerCounts& counts_;
    QTcpServer* server_ = nullptr;
    QTimer* timer_ = nullptr;
    QPointer<QTcpSocket> peer_;
    QByteArray pendingHalf_;
    int pause_ = 0;
    QRandomGenerator random_{20240917};
};

}  // namespace

class RemoteSoak : public QObject {
    Q_OBJECT
private slots:
    void floodTheWindow() {
        const double minutes = Minutes();
        QTemporaryDir config;
        QVERIFY(config.isValid());
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());

        ServerCounts counts;
        QThread serverThread;
        auto* flooder = new Flooder(counts);
        flooder->moveToThread(&serverThread);
        connect(&serverThread, &QThread::finished, flooder, &QObject::deleteLater);
        serverThread.start();
        quint16 port = 0;
        QMetaObject::invokeMethod(flooder, [&] { port = flooder->Listen(); }, Qt::BlockingQueuedConnection);
        QVERIFY(port != 0);
        qputenv("VONTAL_SERVER_PORT", QByteArray::number(port));

        testing::WindowFixture f;
        for (const auto& [key, value] : {std::pair{"nMin", "30"}, {"nTemp", "30"}, {"nMax", "30"}, {"kMin", "5"},
                                         {"kMax", "1e15"}, {"KTemp", "0"}, {"ConnectToServerVontal", "1"},
                                         {"HostServerVontal", "127.0.0.1"}})
            f.setIni(key, value);
        MainWindow* form = &f.open(100);  // reconnects within 100 ms
        form->show();
        qint64 windowMessages = 0;
        connect(form->findChild<RemoteControl*>()->link(), &ServerLink::messageReceived,
                [&](const QByteArray&) { ++windowMessages; });

        // The local user: answers each start question, now No, now Yes.
        int questions = 0;
        QTimer answerer;
        answerer.setInterval(20);
        connect(&answerer, &QTimer::timeout, [&] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                auto* box = qobject_cast<QMessageBox*>(w);
                if (!box || !box->isVisible() || box->objectName() != "question") continue;
                box->button(++questions % 2 ? QMessageBox::No : QMessageBox::Yes)->click();
            }
        });
        answerer.start();

        // A stopped window does not reconnect until a search runs again (by design); should the
        // server's last word before a reset have been a stop, the local user continues.
        int userContinues = 0;
        QElapsedTimer linkDown;
        linkDown.start();
        QTimer user;
        user.setInterval(500);
        connect(&user, &QTimer::timeout, [&] {
            if (form->findChild<RemoteControl*>()->link()->IsActive()) linkDown.restart();
            QAction* continue1 = form->findChild<QAction*>("continueAction");
            if (linkDown.elapsed() < 3000 || !continue1->isEnabled()) return;
            ++userContinues;
            for (const char* name : {"firstExponent", "lastExponent", "lowK", "highK"})
                form->findChild<QLineEdit*>(name)->setText(QString(name).endsWith("Exponent") ? "30" : "5");
            form->findChild<QLineEdit*>("highK")->setText("1e15");
            continue1->trigger();
            linkDown.restart();
        });
        user.start();

        // The event loop's pulse.
        QElapsedTimer clock;
        clock.start();
        qint64 lastTick = 0, longestGap = 0, periodGap = 0;
        QTimer pulse;
        pulse.setInterval(10);
        connect(&pulse, &QTimer::timeout, [&] {
            const qint64 now = clock.elapsed();
            periodGap = std::max(periodGap, now - lastTick);
            longestGap = std::max(longestGap, periodGap);
            lastTick = now;
        });
        pulse.start();

        auto errorBoxes = [&] { return form->findChildren<QMessageBox*>("errorBox").size(); };
        const qint64 totalMs = static_cast<qint64>(minutes * 60'000);
        const qint64 warmUpMs = std::min<qint64>(60'000, totalMs / 3);
        std::vector<std::pair<double, double>> samples;  // (minutes, MB) after the warm-up
        std::printf("soak: %.1f minutes; warm-up %lld s\n", minutes, static_cast<long long>(warmUpMs / 1000));
        std::printf("%7s %8s %9s %10s %9s %6s %7s %8s %6s\n", "time_s", "rss_MB", "gap_ms", "window_msg",
                    "sent_MB", "conns", "resets", "replies", "errbox");
        qint64 nextReport = 0;
        while (clock.elapsed() < totalMs) {
            QTest::qWait(100);
            if (clock.elapsed() < nextReport) continue;
            nextReport += 10'000;
            const double rss = ResidentMB();
            if (clock.elapsed() >= warmUpMs) samples.emplace_back(clock.elapsed() / 60'000.0, rss);
            std::printf("%7lld %8.1f %9lld %10lld %9.1f %6lld %7lld %8lld %6lld\n",
                        static_cast<long long>(clock.elapsed() / 1000), rss, static_cast<long long>(periodGap),
                        static_cast<long long>(windowMessages), counts.bytes.load() / double(1 << 20),
                        static_cast<long long>(counts.connections.load()),
                        static_cast<long long>(counts.resets + counts.closes), static_cast<long long>(counts.replies),
                        static_cast<long long>(errorBoxes()));
            std::fflush(stdout);
            periodGap = 0;
        }
        serverThread.quit();
        serverThread.wait();

        // Growth: the last samples against the first after the warm-up; and the trend between.
        QVERIFY2(samples.size() >= 2, "too short a run to judge memory");
        const double growth = samples.back().second - samples.front().second;
        double mt = 0, mm = 0;
        for (const auto& [t, m] : samples) mt += t, mm += m;
        mt /= static_cast<double>(samples.size());
        mm /= static_cast<double>(samples.size());
        double num = 0, den = 0;
        for (const auto& [t, m] : samples) num += (t - mt) * (m - mm), den += (t - mt) * (t - mt);
        const double slope = den > 0 ? num / den : 0;
        std::printf("soak: longest gap %lld ms; memory %.1f MB after warm-up, %.1f MB at the end (%+.1f MB, "
                    "trend %+.2f MB/min); %lld messages handled, %lld connections, %lld resets and closes, "
                    "%lld replies read, %d questions answered, %lld error boxes open, %d continues by the user\n",
                    static_cast<long long>(longestGap), samples.front().second, samples.back().second, growth, slope,
                    static_cast<long long>(windowMessages), static_cast<long long>(counts.connections.load()),
                    static_cast<long long>(counts.resets + counts.closes), static_cast<long long>(counts.replies),
                    questions, static_cast<long long>(errorBoxes()), userContinues);
        QVERIFY2(longestGap <= kLongestGapMs, qPrintable(QString("the window stood still for %1 ms").arg(longestGap)));
        QVERIFY2(growth <= kMostGrowthMB, qPrintable(QString("memory grew by %1 MB").arg(growth)));
        QVERIFY(windowMessages > 0 && counts.connections > 1 && counts.replies > 0);
    }
};

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Qt Test's watchdog would end a test function after five minutes.
    qputenv("QTEST_FUNCTION_TIMEOUT", QByteArray::number(static_cast<qint64>((Minutes() * 60 + 300) * 1000)));
    QApplication app(argc, argv);
    RemoteSoak soak;
    return QTest::qExec(&soak, argc, argv);
}

#include "remote_soak.moc"
