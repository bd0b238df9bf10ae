// The desktop program: one main window that searches for divisors of Fermat numbers, saving
// its position in "Vontal.ini" beside the executable.
#include <QApplication>
#include <QMessageBox>
#include <QSessionManager>

#include <cstdio>
#include <optional>

#include "engine/Kernel.h"
#include "gui/MainWindow.h"
#include "gui/SignalBridge.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vontal factoring"));

    vontal::MainWindowOptions options;
    options.programDir = QCoreApplication::applicationDirPath();
    options.programPath = QCoreApplication::applicationFilePath();
    // A known clock (VONTAL_CPU_MHZ) skips the half-second measurement, for quick test runs.
    bool known = false;
    const uint32_t mhz = qEnvironmentVariable("VONTAL_CPU_MHZ").toUInt(&known);
    if (known && mhz > 0) options.cpuMHz = mhz;

    // A kernel asked for by name (VONTAL_KERNEL) is used or the program does not start.
    if (const std::string problem = vontal::KernelChoiceProblem(); !problem.empty()) {
        std::fprintf(stderr, "vontal: %s\n", problem.c_str());
        if (QGuiApplication::platformName() != QLatin1String("offscreen"))
            QMessageBox::critical(nullptr, QApplication::applicationName(), QString::fromStdString(problem));
        return 2;
    }
    vontal::MainWindow form(options);
    // One program per directory (this one or vontal-cli): two would interleave their records.
    if (!form.session().Lock()) {
        const QString text = QString::fromStdString(form.session().lockProblem());
        std::fprintf(stderr, "vontal: %s\n", text.toLocal8Bit().constData());
        // Without a display nobody could close the box, and the program would never end.
        if (QGuiApplication::platformName() != QLatin1String("offscreen"))
            QMessageBox::critical(nullptr, QApplication::applicationName(), text);
        return 2;
    }

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
