// vontal-server: the control server that the desktop programs of a network connect to, with its
// dashboard and HTTP API. One thread, Qt's event loop; SIGTERM and SIGINT end it in order.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QSocketNotifier>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <optional>

#include "server/ControlApi.h"
#include "server/Fleet.h"
#include "server/HttpFrontEnd.h"
#include "server/TaskQueue.h"

using namespace vontal::server;

namespace {

int signalPipe[2] = {-1, -1};

void OnSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

[[noreturn]] void Fail(const QString& message) {
    std::fprintf(stderr, "vontal-server: %s\n", qPrintable(message));
    std::exit(2);
}

QString DefaultDir() {
    // A relative XDG_DATA_HOME is ignored, as the XDG rules say.
    const QString xdg = qEnvironmentVariable("XDG_DATA_HOME");
    const QString base = !xdg.isEmpty() && QDir::isAbsolutePath(xdg) ? xdg : QDir::homePath() + "/.local/share";
    return base + "/vontal-server";
}

// The token of <dir>/token, made (32 random hex characters, readable by the owner only) when
// the file is missing.
QByteArray TokenFromFile(const QString& dir) {
    const QString path = dir + "/token";
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
        QByteArray token;
        for (int i = 0; i < 4; ++i)
            token += QByteArray::number(QRandomGenerator::system()->generate(), 16).rightJustified(8, '0');
        const QByteArray line = token + "\n";
        const bool ok = ::write(fd, line.constData(), static_cast<size_t>(line.size())) == line.size() && ::fsync(fd) == 0;
        ::close(fd);
        if (!ok) {
            QFile::remove(path);
            Fail(path + ": cannot be written");
        }
        return token;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) Fail(path + ": " + file.errorString());
    const QByteArray token = file.read(1024).trimmed();
    if (token.isEmpty()) Fail(path + ": empty; delete it to have a new token made, or give --token");
    return token;
}

int ParseNumber(const QCommandLineParser& parser, const QString& option, int low, int high) {
    bool ok = false;
    const int value = parser.value(option).toInt(&ok);
    if (!ok || value < low || value > high)
        Fail(QString("--%1 takes a number from %2 to %3, not \"%4\"").arg(option).arg(low).arg(high).arg(parser.value(option)));
    return value;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("vontal-server");
    QCoreApplication::setApplicationVersion(VONTAL_VERSION);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        "The control server of the Vontal desktop programs on a network.\n"
        "\n"
        "Each desktop program whose Options -> Connection with Local Server names this computer connects\n"
        "to the program port. The server asks every program for its state every few seconds and shows\n"
        "all of them on a dashboard in the web browser, with the total rate of the fleet; from there\n"
        "a program can be stopped, continued, given the boxes of its next task and started. A program\n"
        "that has finished its task is given the next task of the queue (queue.txt in the data folder,\n"
        "one task a line: n=50 to 60, k=20e12 to 30e12); it starts at once when its user has ticked\n"
        "Accept Tasks from Server, otherwise it asks its user and the dashboard shows it waiting.\n"
        "\n"
        "The dashboard listens on 127.0.0.1 unless told otherwise. Every action is a POST carrying the\n"
        "access token (header X-Vontal-Token); on another address every request needs it, and the page\n"
        "is opened as http://<address>:<port>/?token=<token>. The token is --token, or the file 'token'\n"
        "in the data folder, made on first start.\n"
        "\n"
        "HTTP API: GET /api/machines; POST /api/machines/<id>/continue|stop|start|autostart;\n"
        "POST /api/machines/<id>/task and POST /api/queue with {\"nFirst\",\"nLast\",\"kLow\",\"kHigh\"};\n"
        "POST /api/queue/<index>/delete.\n"
        "\n"
        "Exit status: 0 after SIGTERM or SIGINT, 2 when an option, the data folder, the token, the\n"
        "queue file or a port cannot be used.\n"
        "\n"
        "Example: vontal-server --http-address 0.0.0.0");
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({
        {"program-port", "Port the desktop programs connect to (default 31415).", "port", "31415"},
        {"http-address", "Address of the dashboard and API (default 127.0.0.1).", "address", "127.0.0.1"},
        {"http-port", "Port of the dashboard and API (default 8314).", "port", "8314"},
        {"dir", "Folder of queue.txt and token (default $XDG_DATA_HOME/vontal-server,\n"
                "else ~/.local/share/vontal-server; made when missing).", "folder"},
        {"token", "Access token (otherwise read from <dir>/token).", "text"},
        {"poll-seconds", "Seconds between two state polls of a program (default 5).", "seconds", "5"},
        {"grace-seconds", "Seconds a finished machine is left to its own follow-on tasks before it\n"
                          "is given the queue's next task (default 20).", "seconds", "20"},
    });
    parser.process(app);
    if (!parser.positionalArguments().isEmpty())
        Fail("unexpected argument \"" + parser.positionalArguments().first() + "\" (see --help)");

    const int programPort = ParseNumber(parser, "program-port", 0, 65535);
    const int httpPort = ParseNumber(parser, "http-port", 0, 65535);
    const int pollSeconds = ParseNumber(parser, "poll-seconds", 1, 3600);
    const int graceSeconds = ParseNumber(parser, "grace-seconds", 0, 86400);
    const QString addressText = parser.value("http-address");
    QHostAddress httpAddress;
    if (addressText == "localhost")
        httpAddress = QHostAddress::LocalHost;
    else if (!httpAddress.setAddress(addressText))
        Fail("--http-address takes an IP address, not \"" + addressText + "\"");

    const QString dir = parser.isSet("dir") ? parser.value("dir") : DefaultDir();
    if (!QDir().mkpath(dir)) Fail(dir + ": the folder cannot be made");
    QByteArray token = parser.isSet("token") ? parser.value("token").toUtf8() : TokenFromFile(dir);
    if (token.isEmpty()) Fail("--token must not be empty");

    TaskQueue queue(dir + "/queue.txt");
    QString error;
    if (!queue.Load(&error)) Fail(error);

    FleetOptions fleetOptions;
    fleetOptions.times.pollMs = pollSeconds * 1000;
    fleetOptions.graceMs = graceSeconds * 1000;
    Fleet fleet(queue, fleetOptions);
    if (!fleet.Listen(QHostAddress::Any, static_cast<quint16>(programPort), &error))
        Fail(QString("program port %1: %2").arg(programPort).arg(error));

    ApiOptions apiOptions;
    apiOptions.token = token;
    apiOptions.loopback = httpAddress.isLoopback();
    apiOptions.pollSeconds = pollSeconds;
    apiOptions.version = VONTAL_VERSION;
    ControlApi api(fleet, queue, apiOptions);
    HttpFrontEnd front(api);
    if (!front.Listen(httpAddress, static_cast<quint16>(httpPort), &error))
        Fail(QString("dashboard %1:%2: %3").arg(addressText).arg(httpPort).arg(error));
    // Port 0 takes a free port: the Host header must name the one taken.
    api.SetPort(front.port());

    const QString shown = httpAddress.protocol() == QAbstractSocket::IPv6Protocol ? "[" + httpAddress.toString() + "]"
                                                                                  : httpAddress.toString();
    std::printf("vontal-server: programs on port %u, dashboard on http://%s:%u/\n", fleet.port(), qPrintable(shown),
                front.port());
    std::fflush(stdout);

    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) Fail("socketpair failed");
    QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, [] { QCoreApplication::quit(); });
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    return app.exec();
}
