// The main window: the four task boxes, the progress label, the result box, the status panel and
// the menus, on a search session. It shows what the session reports and hands it the user's
// requests (and the control server's, through the remote control); the session owns the task,
// the thread, the settings file and the rules for saving.
#pragma once

#include <QMainWindow>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "gui/FormulaIcons.h"
#include "remote/RemoteControl.h"
#include "session/RunTime.h"
#include "session/SearchSession.h"

class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QTextEdit;
class QTimer;

namespace vontal {

class AboutDialog;
class HelpDialog;
class PlannerDialog;
class StatusPanel;
class TaskBoxFilter;
class TrayPresence;

struct MainWindowOptions {
    QString programDir;              // where "Vontal.ini", "Result.txt" and "Vontal.log" live
    QString programPath;             // the executable, for the autostart entry
    QStringList programArguments;    // and the arguments it is to be started with there
    std::optional<uint32_t> cpuMHz;  // a known clock skips the clock measurement
};

class MainWindow : public QMainWindow, private SessionListener, private IRemoteControlled {
    Q_OBJECT
public:
    explicit MainWindow(MainWindowOptions options, QWidget* parent = nullptr);
    ~MainWindow() override;

    SearchSession& session() { return session_; }
    // Whether the start-up should leave the window hidden.
    bool StartsHidden() const;
    // Set once the start-up tick has opened the settings file.
    bool started() const { return startedUp_; }
    FormulaIcon currentIcon() const { return icon_; }
    QString tipText() const;
    bool trayIconShown() const;
    RemoteControl& remote() { return *remote_; }
    // The speed the running display measured last, in k a day (0 before its first tick).
    int64_t kPerDay() const { return kPerDay_; }

    // Rebuilds the status summary.
    void RefreshStatus();
    // Saves the position once more and ends the run: SIGTERM, SIGINT, the end of the program.
    void SaveForExit();
    // Saves the position without stopping: the desktop session asks before it ends.
    void SavePosition();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    // --- Building and starting up.
    void BuildWindow();
    void BuildMenus();
    void StartUp();
    void LoadResultFile();

    // --- Run control: the menu commands.
    void StartClicked();
    // Starts the task in the boxes from its beginning (Start once the user said yes).
    void StartAfresh();
    void ContinueClicked();
    void StopClicked();
    // A start the session has made: the priority menu follows the stored values.
    void AfterStart(const StartOutcome& outcome);
    void ShowStoppedLook();
    void SetRunningControls(bool running);
    void ShowWaitingTexts();
    void ViewTick();
    void ShowRunningDisplay();
    // The run-time model of the task in hand (null before a search has run), built when its
    // ranges change; the wall time left by it and the rate measured last; the status panel's
    // line with the share done and the time left.
    const RunTimeModel* TaskModel();
    std::optional<double> SecondsLeft();
    void ShowProgress();

    // --- Options and help.
    void PriorityClicked(int level);
    void FloatingPriorityClicked(bool checkedNow);
    void AutostartClicked(bool checkedNow);
    void AcceptServerTasksClicked(bool checkedNow);
    void ThreadsClicked(int threads);
    void ShowThreadsChoice();
    void QuitClicked();
    void ShowHideClicked();
    void UpdateShowHideText();
    void HideClicked();
    void ClearResultBoxClicked();
    void OpenPlanner();
    void OpenHelp();
    void OpenAbout();

    // --- What the session reports.
    void EventQueued(const SearchEvent& event) override;
    void SearchEventHandled(const SearchEvent& event, bool current) override;
    void TaskTextsChanged(const TaskTexts& texts) override;
    void SaveFailed(const SaveFailure& failure) override;
    void FollowingTaskTaken(const TaskTexts& task, bool started, const std::string& refusal) override;
    void Notice(const std::string& message) override;

    // --- What the remote control acts on.
    bool CanRun(ServerCommand command) const override;
    void Run(ServerCommand command) override;
    ServerStateFields State() const override;
    ServerResultsFields Results() const override;
    void SetTaskBoxes(const TaskBoxTexts& texts) override;
    ISettings* Settings() override;
    std::optional<QString> AskServerHost(const QString& stored) override;
    void TellLinkSwitchedOff(const QString& text) override;
    void LinkChanged(bool wanted, bool connected, const QString& host) override;

    // --- Helpers.
    TaskTexts Boxes() const;
    void ShowBoxes(const TaskTexts& texts);
    void SetIcon(FormulaIcon icon);
    void SetTip(const QString& tip);
    bool ResultBoxEmpty() const;
    void AppendResult(const QString& text);
    void SetProgressText(const QString& text);
    // Runs a handler; an exception ends it and its message is shown.
    void Guard(const std::function<void()>& handler);
    void ShowError(const QString& message);
    QString ProgramFile(const char* name) const;

    MainWindowOptions options_;
    SearchSession session_;
    RemoteControl* remote_ = nullptr;
    TrayPresence* tray_ = nullptr;
    StatusPanel* statusPanel_ = nullptr;
    TaskBoxFilter* boxFilter_ = nullptr;
    bool startedUp_ = false;
    bool exiting_ = false;
    bool showingTexts_ = false;  // the boxes are being filled from the session
    bool serverConnected_ = false;
    QString serverHost_;
    FormulaIcon icon_ = FormulaIcon::Stop;
    char thousandsSeparator_ = ',';
    // The running display: k and time of the last view tick, the speed measured, the ticks.
    int64_t kAtTick_ = 0;
    uint32_t msAtTick_ = 0;
    int64_t kPerDay_ = 0;
    uint32_t viewTicks_ = 0;
    double kPerSecond_ = 0;  // the rate of the last view tick; 0 until one was measured
    struct ModelKey {
        uint32_t nFirst = 0, nLast = 0;
        int64_t kLow = 0, kHigh = 0;
        bool operator==(const ModelKey&) const = default;
    };
    std::optional<RunTimeModel> model_;
    ModelKey modelKey_;

    QLabel* firstExponentLabel_ = nullptr;
    QLabel* progressLabel_ = nullptr;
    QLineEdit* firstExponentBox_ = nullptr;
    QLineEdit* lastExponentBox_ = nullptr;
    QLineEdit* lowKBox_ = nullptr;
    QLineEdit* highKBox_ = nullptr;
    QTextEdit* resultBox_ = nullptr;
    QTimer* startUpTimer_ = nullptr;
    QTimer* viewTimer_ = nullptr;
    QTimer* pointerTimer_ = nullptr;

    QAction* startAction_ = nullptr;
    QAction* continueAction_ = nullptr;
    QAction* stopAction_ = nullptr;
    QAction* plannerAction_ = nullptr;
    QAction* serverLinkAction_ = nullptr;
    QMenu* priorityMenu_ = nullptr;
    QAction* priorityActions_[5] = {};
    QAction* floatingPriorityAction_ = nullptr;
    QAction* autostartAction_ = nullptr;
    // The server's "[Start]" starts the task without asking the local user ("AcceptServerTasks").
    QAction* acceptServerTasksAction_ = nullptr;
    QAction* hideAction_ = nullptr;
    QAction* clearResultAction_ = nullptr;
    QAction* quitAction_ = nullptr;
    QMenu* threadsMenu_ = nullptr;
    QMenu* trayMenu_ = nullptr;
    QAction* showHideAction_ = nullptr;
    QAction* helpAction_ = nullptr;
    QAction* aboutAction_ = nullptr;
    PlannerDialog* planner_ = nullptr;
    HelpDialog* help_ = nullptr;
    AboutDialog* about_ = nullptr;
};

}  // namespace vontal
