// The main window: the task boxes, the result box, the status labels, the menus, the two
// timers, the tray icon, and the run control that starts, continues and stops the computation
// thread and saves the position.
#pragma once

#include <QLineEdit>
#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "settings/IniFile.h"
#include "settings/TaskFile.h"
#include "gui/FormulaIcons.h"
#include "engine/Factor.h"
#include "engine/SearchState.h"

class QAction;
class QLabel;
class QMenu;
class QMessageBox;
class QSystemTrayIcon;
class QTextEdit;
class QTimer;

namespace vontal {

class RemoteControl;
class TfrmAbout;
class TfrmHelp;

struct TForm1Options {
    QString programDir;              // where "Vontal.ini", "Result.txt" and "Vontal.log" live
    QString programPath;             // the executable, for the autostart entry
    std::optional<uint32_t> cpuMHz;  // a known clock skips the half-second measurement
};

// Keystroke filters of the task boxes: whether a typed character may go into a box holding
// text. Exponent boxes take digits; multiplier boxes also take one exponent letter e or E.
bool ExponentBoxAccepts(QChar c);
bool MultiplierBoxAccepts(const QString& boxText, QChar c);

class TForm1 : public QMainWindow, public IFactorWindow {
    Q_OBJECT
public:
    explicit TForm1(TForm1Options options, QWidget* parent = nullptr);
    ~TForm1() override;

    // Whether the start-up should leave the window hidden: "Vontal.ini" exists and the program
    // can still be reached (its tray icon can be shown), or the user asked for no icon at all.
    bool StartsHidden() const;

    // IFactorWindow.
    std::string BoxText(Box box) const override;
    void Post(FactorEvent event) override;

    TSearchState& state() { return state_; }
    TIniFile* iniFile() { return ini_.get(); }
    FormulaIcon currentIcon() const { return icon_; }
    QString tipText() const { return tipText_; }
    bool trayIconShown() const;

    // Run control.
    void Start1Click();
    void Continue1Click();
    void Stop1Click();
    void StopClick();
    void RefreshInfo();
    // The server link reports its state here for the status summary.
    void SetServerLink(bool connected, const QString& hostName);

    // Saves the position once more and ends the run: SIGTERM, SIGINT, the end of the session.
    void SaveForExit();
    // Saves the position without stopping: the desktop session asks before it ends.
    void SavePosition();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildWindow();
    void BuildMenus();
    void FormCreate();
    void timFTimer();
    void timViewTimer();
    void RunningDisplay();
    void FollowingTaskStep();
    void FloatingStep();
    void HandleFactorEvent(const FactorEvent& event, uint64_t serial);

    void PriorityClick(int value);
    void FloatingPriorityClick(bool checkedNow);
    void RunWindowsServiceClick(bool checkedNow);
    void HideWinClick();
    void ClearResultBoxClick();
    void FollowingTaskClick();
    void Conte1Click();
    void About1Click();

    // Starts a search through StartFactor; true when a thread now runs.
    bool StartSearch();
    void BeginNewTask();
    void WriteINI();
    void SaveRunningPosition();
    BoxTexts Boxes() const;
    void SetBox(Box box, const QString& text);
    void SetRunningControls(bool running);
    void SetWaitingTexts();
    void SetIcon(FormulaIcon icon);
    void SetTip(const QString& tip);
    bool ResultBoxEmpty() const;
    void AppendResult(const QString& text);
    void LoadResultFile();
    void ContinueStoredTask();
    void ReportKernelSelfTest();
    // Puts the status summary into the lower status label, under the kernel notice if any.
    void ShowStatus(const QString& text);
    void ApplyPriority(int level);

    // Runs a handler; an exception ends it and its message is shown.
    void Guard(const std::function<void()>& handler);
    void ShowError(const QString& message);
    bool Ask(const QString& text, bool question);
    QString ProgramFile(const char* name) const;

    TForm1Options options_;
    TSearchState state_;
    std::unique_ptr<TIniFile> ini_;
    std::unique_ptr<TFactor> factor_;
    // Serial of the thread whose events the window follows; events of an earlier thread, or of
    // one that was told to stop, may only add found divisors.
    std::atomic<uint64_t> runSerial_{0};
    bool stopRequested_ = true;
    bool exiting_ = false;
    bool priorityErrorShown_ = false;
    bool serverConnected_ = false;
    QString serverHost_;
    RemoteControl* remote_ = nullptr;  // the server link and its commands
    QString tipText_;
    QStringList kernelFailures_;  // the kernel self-test's messages, for the status line
    FormulaIcon icon_ = FormulaIcon::Stop;

    QLabel* lblnMin = nullptr;
    QLabel* lblK = nullptr;
    QLabel* lblProc = nullptr;
    QLineEdit* edtF1 = nullptr;
    QLineEdit* edtF2 = nullptr;
    QLineEdit* edtK1 = nullptr;
    QLineEdit* edtK2 = nullptr;
    QTextEdit* Memo1 = nullptr;
    QTimer* timF = nullptr;
    QTimer* timView = nullptr;
    QTimer* timPointer = nullptr;
    QSystemTrayIcon* trayIcon = nullptr;

    QAction* Start1 = nullptr;
    QAction* Continue1 = nullptr;
    QAction* Stop1 = nullptr;
    QAction* FollowingTask = nullptr;
    QAction* clConnect = nullptr;
    QMenu* Priority1 = nullptr;
    QAction* priorityItems_[5] = {};
    QAction* FloatingPriority = nullptr;
    QAction* RunWindowsService = nullptr;
    QAction* HideWin = nullptr;
    QAction* ClearResultBox = nullptr;
    QAction* Conte1 = nullptr;
    QAction* About1 = nullptr;
    TfrmHelp* frmHelp = nullptr;
    TfrmAbout* frmAbout = nullptr;
};

}  // namespace vontal
