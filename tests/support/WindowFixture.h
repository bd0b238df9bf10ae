// The one fixture of the window tests, the remote-control tests and the soak: a main window on a
// program directory of its own (a temporary one), with the helpers that read and write its
// files, find its controls and answer its questions.
#pragma once

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

#include <memory>
#include <string>

#include "gui/MainWindow.h"
#include "settings/IniFile.h"

namespace vontal::testing {

// Guard of every wait on the computation thread or a socket: room for a loaded machine (a CI
// run with two tests side by side on two cores, under a sanitizer).
inline constexpr int kWait = 60000;

// Clicks the given button of the next Yes/No question as soon as it shows.
inline void AnswerNextQuestion(QMessageBox::StandardButton answer) {
    auto* timer = new QTimer;
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, answer] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (box && box->objectName() == "question" && box->isVisible()) {
                timer->stop();
                timer->deleteLater();
                box->button(answer)->click();
                return;
            }
        }
    });
    timer->start();
}

class WindowFixture {
public:
    WindowFixture() { QVERIFY(dir.isValid()); }
    ~WindowFixture() {
        form.reset();
        for (QWidget* w : QApplication::topLevelWidgets())
            if (qobject_cast<QMessageBox*>(w)) w->close();
    }

    // --- The program directory.
    QString path(const QString& name) const { return dir.filePath(name); }
    void writeFile(const QString& name, const QByteArray& text) {
        QFile file(path(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(text);
    }
    QByteArray readFile(const QString& name) const {
        QFile file(path(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // The task keys of an interrupted or finished task, and "Priority=-1": the thread keeps the
    // test's own priority. At the default, idle, it gets no processor at all for long stretches
    // on a busy machine (a CI run with its tests side by side); tests of the idle priority write
    // their file without the key.
    void writeTask(const char* nTemp, const char* nMax, const char* kMin, const char* kMax, const char* kTemp = "0") {
        writeFile("Vontal.ini", QByteArray("[f]\r\nnMin=") + nTemp + "\r\nnTemp=" + nTemp + "\r\nnMax=" + nMax +
                                    "\r\nkMin=" + kMin + "\r\nkMax=" + kMax + "\r\nKTemp=" + kTemp +
                                    "\r\nPriority=-1\r\n");
    }
    std::string ini(const char* key, const char* section = "f") const {
        return IniFile(path("Vontal.ini").toStdString()).ReadString(section, key, "<missing>");
    }
    void setIni(const char* section, const char* key, const char* value) {
        IniFile(path("Vontal.ini").toStdString()).WriteString(section, key, value);
    }
    void setIni(const char* key, const char* value) { setIni("f", key, value); }
    // Exponent headers of n in the log.
    int headers(const char* exponent) const {
        return static_cast<int>(readFile("Vontal.log").count(QByteArray("n=") + exponent + "  k from"));
    }

    // --- The window.
    // Creates the window and waits for its start-up tick; viewMs shortens the 15-second tick.
    MainWindow& open(int viewMs = 15000) {
        MainWindowOptions options;
        options.programDir = dir.path();
        options.programPath = dir.filePath("vontal");
        options.programArguments = programArguments;
        options.cpuMHz = 1000;
        form = std::make_unique<MainWindow>(options);
        timer("viewTimer")->setInterval(viewMs);
        // The start-up tick runs in one go: once the settings file is open, it has ended.
        [&] { QTRY_VERIFY_WITH_TIMEOUT(form->started(), kWait); }();
        return *form;
    }

    QAction* action(const char* name) { return form->findChild<QAction*>(name); }
    QLineEdit* box(const char* name) { return form->findChild<QLineEdit*>(name); }
    QLabel* label(const char* name) { return form->findChild<QLabel*>(name); }
    QTimer* timer(const char* name = "viewTimer") { return form->findChild<QTimer*>(name); }
    QString memo() { return form->findChild<QTextEdit*>("resultBox")->toPlainText(); }
    void setBoxes(const char* f1, const char* f2, const char* k1, const char* k2) {
        box("firstExponent")->setText(f1);
        box("lastExponent")->setText(f2);
        box("lowK")->setText(k1);
        box("highK")->setText(k2);
    }
    QStringList boxes() {
        return {box("firstExponent")->text(), box("lastExponent")->text(), box("lowK")->text(), box("highK")->text()};
    }
    QString statusLastLine() { return label("statusPanel")->text().split('\n').last(); }
    QStringList errorMessages() {
        QStringList texts;
        for (QMessageBox* box : form->findChildren<QMessageBox*>("errorBox")) texts << box->text();
        return texts;
    }
    int errorBoxes() { return static_cast<int>(form->findChildren<QMessageBox*>("errorBox").size()); }
    bool running() { return action("stopAction")->isEnabled() && !action("startAction")->isEnabled(); }
    bool stoppedLook() {
        return !action("stopAction")->isEnabled() && action("startAction")->isEnabled() &&
               action("continueAction")->isEnabled() && box("firstExponent")->isEnabled() &&
               label("progressLabel")->text() == "Program does not work\nExpects a new task...";
    }

    QTemporaryDir dir;
    QStringList programArguments;  // what the program was started with (before open)
    std::unique_ptr<MainWindow> form;
};

}  // namespace vontal::testing
