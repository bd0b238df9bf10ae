// The desktop program: one main window that searches for divisors of Fermat numbers, saving
// its position in "Vontal.ini" in the data folder (--dir DIR, else the data folder's rule).
#include <QApplication>
#include <QCommandLineParser>
#include <QMessageBox>
#include <QSessionManager>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "engine/Kernel.h"
#include "Version.h"
#include "gui/MainWindow.h"
#include "gui/SignalBridge.h"
#include "session/DataFolder.h"

namespace {

const char* const kHelp =
    R"(usage: vontal [--dir DIR] [Qt options such as -platform NAME]

The desktop program of Vontal: searches for prime divisors k.2^n+1 of the Fermat numbers
F_m = 2^(2^m)+1 in a window, continuing a stopped task by itself at the next start.

Options:
  --dir DIR    the data folder: Vontal.ini, Result.txt and Vontal.log. Without it: the
               executable's folder when a Vontal.ini lies there, else $XDG_DATA_HOME/Vontal
               (~/.local/share/Vontal), created on first use
  --version    print the version and the kernel in use, and exit
  -h, --help   print this help, and exit

With no display, vontal-cli searches without a window (QT_QPA_PLATFORM=offscreen runs this
program without one). Exit status 2: a mistake on the command line, an unusable data folder,
another Vontal program working in it, no display, or a VONTAL_KERNEL this machine cannot run.
)";

// What is answered before Qt starts, so that it works with no display: --help and --version,
// wherever they stand among the options (but not as the value of --dir).
enum class Early { None, Help, Version };

Early EarlyRequest(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--") == 0) break;
        if (std::strcmp(arg, "--dir") == 0) ++i;
        else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) return Early::Help;
        else if (std::strcmp(arg, "--version") == 0) return Early::Version;
    }
    return Early::None;
}

// Without a display (and without a platform chosen by hand) Qt cannot start and aborts.
bool NoDisplay(int argc, char** argv) {
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        if (!qEnvironmentVariableIsEmpty(name)) return false;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "-display") == 0) return false;
    return true;
}

// A message that ends the program before the window: on standard error, and in a box when
// there is a screen to show it (offscreen nobody could close the box).
int Refuse(const QString& text) {
    std::fprintf(stderr, "vontal: %s\n", text.toLocal8Bit().constData());
    if (QGuiApplication::platformName() != QLatin1String("offscreen"))
        QMessageBox::critical(nullptr, QApplication::applicationName(), text);
    return 2;
}

}  // namespace

int main(int argc, char* argv[]) {
    const Early early = EarlyRequest(argc, argv);
    if (early == Early::Help) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    // A kernel asked for by name (VONTAL_KERNEL) is used or the program does not start.
    const std::string kernelProblem = vontal::KernelChoiceProblem();
    if (early == Early::Version) {
        if (!kernelProblem.empty()) {
            std::fprintf(stderr, "vontal: %s\n", kernelProblem.c_str());
            return 2;
        }
        std::printf("vontal %s (kernel %s)\n", vontal::kVersionText, vontal::SelectedKernel().c_str());
        return 0;
    }
    if (NoDisplay(argc, argv)) {
        std::fputs("vontal: no display (neither DISPLAY nor WAYLAND_DISPLAY is set); vontal-cli searches "
                   "without a window, and QT_QPA_PLATFORM=offscreen runs this program without one\n",
                   stderr);
        return 2;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vontal factoring"));

    // Qt has taken its own options out of the arguments by now.
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption dirOption(QStringLiteral("dir"), QString(), QStringLiteral("DIR"));
    parser.addOption(dirOption);
    parser.addOption(QCommandLineOption(QStringLiteral("version")));
    parser.addOption(QCommandLineOption(QStringList{QStringLiteral("h"), QStringLiteral("help")}));
    if (!parser.parse(QApplication::arguments()) || !parser.positionalArguments().isEmpty()) {
        const QString error = parser.errorText().isEmpty()
                                  ? "unknown argument '" + parser.positionalArguments().first() + "'"
                                  : parser.errorText();
        std::fprintf(stderr, "vontal: %s\nTry 'vontal --help' for more information.\n",
                     error.toLocal8Bit().constData());
        return 2;
    }

    if (!kernelProblem.empty()) return Refuse(QString::fromStdString(kernelProblem));

    std::optional<std::filesystem::path> given;
    if (parser.isSet(dirOption)) given = std::filesystem::path(parser.value(dirOption).toStdString());
    const vontal::DataFolder folder = vontal::FindDataFolder(given);
    if (!folder.problem.empty()) return Refuse(QString::fromStdString(folder.problem));

    vontal::MainWindowOptions options;
    options.programDir = QString::fromStdString(folder.dir.string());
    options.programPath = QCoreApplication::applicationFilePath();
    // Started with the desktop session, the program is to find the same folder.
    if (given) options.programArguments = {QStringLiteral("--dir"), options.programDir};
    // A known clock (VONTAL_CPU_MHZ) skips the clock measurement, for quick test runs.
    bool known = false;
    const uint32_t mhz = qEnvironmentVariable("VONTAL_CPU_MHZ").toUInt(&known);
    if (known && mhz > 0) options.cpuMHz = mhz;

    vontal::MainWindow form(options);
    // One program per directory (this one or vontal-cli): two would interleave their records.
    if (!form.session().Lock()) return Refuse(QString::fromStdString(form.session().lockProblem()));

    // SIGTERM, SIGINT and SIGHUP, and the end of the session, save the position before the end.
    vontal::SignalBridge signalBridge;
    QObject::connect(&signalBridge, &vontal::SignalBridge::terminationRequested, &app, [&form] {
        form.SaveForExit();
        QCoreApplication::quit();
    });
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &form,
                     [&form](QSessionManager&) { form.SavePosition(); });
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &form, [&form] { form.SaveForExit(); });

    if (!form.StartsHidden()) form.show();
    return app.exec();
}
