// The main window.
#include "gui/MainWindow.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QDir>
#include <QFile>
#include <QInputDialog>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QScreen>
#include <QTextEdit>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <ctime>
#include <exception>
#include <string>

#include "engine/DateTimeText.h"
#include "engine/Kernel.h"
#include "engine/Records.h"
#include "Version.h"
#include "gui/AboutDialog.h"
#include "gui/Autostart.h"
#include "gui/ErrorBoxes.h"
#include "gui/HelpDialog.h"
#include "gui/LocaleText.h"
#include "gui/Look.h"
#include "gui/PlannerDialog.h"
#include "gui/ResultText.h"
#include "gui/StatusPanel.h"
#include "gui/StatusText.h"
#include "gui/TaskBoxFilter.h"
#include "gui/TrayPresence.h"
#include "settings/TaskFile.h"

namespace vontal {

namespace {

constexpr int kClientWidth = 355;
constexpr int kClientHeight = 327;
constexpr int kViewTickMs = 15000;
constexpr uint32_t kTicksPerRefresh = 120;  // the status summary is rebuilt every 30 minutes

const char* const kWaitingText = "Program does not work\rExpects a new task...";
const char* const kAcceptServerTasksKey = "AcceptServerTasks";
const char* const kStartQuestion = "   You really want to start\rcalculations from a beginning?";
const char* const kFloatingQuestion =
    "This function is established if in system work old \rDOS or Win3.1 of the program, which "
    "completely\rgrasp the processor not carrying out useful work.\r       You want to establish "
    "meaning?";
const char* const kHideQuestion =
    "ATTENTION. This function hide picture program with taskbar.\rYou should be advanced user to "
    "use this function.\rThat next time picture program became seen, it is necessary \rto change "
    "parameter in a file Vontal.ini \"isHidden=0\"";
const char* const kClearQuestion =
    "You want to clear Result Box and to remove a file Result.txt?\rIf you have found unique "
    "number, inform about it mankind!";
const char* const kCompletedTip = "Calculations are completed";
const char* const kPriorityNames[5] = {"priorityIdle", "priorityLowest", "priorityLower", "priorityNormal",
                                       "priorityHigher"};
const char* const kPriorityCaptions[5] = {"Idle", "Lowest", "Lower", "Normal", "Higher"};

// The millisecond tick counter of the running display.
uint32_t TickCountMs() {
    using namespace std::chrono;
    return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

QString Text(const std::string& s) { return QString::fromStdString(s); }

// The client area: a vertical fade from black to green and the captions of the task boxes.
class Canvas : public QWidget {
public:
    using QWidget::QWidget;
    const QLineEdit* boxes[4] = {};

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        const QRect outer = window()->frameGeometry();
        PaintFade(p, std::max(outer.width(), width()), std::max(outer.height(), height()), QColor(0, 255, 0));
        p.setFont(font());
        if (!boxes[0]) return;
        PaintBoxCaption(p, boxes[0], -38, QStringLiteral("For n="));
        PaintBoxCaption(p, boxes[1], -16, QStringLiteral("to"));
        PaintBoxCaption(p, boxes[2], -38, QStringLiteral("For k="));
        PaintBoxCaption(p, boxes[3], -16, QStringLiteral("to"));
    }
};

SessionOptions ForTheWindow(const MainWindowOptions& options) {
    SessionOptions s;
    s.dir = options.programDir.toStdString();
    s.frontEnd = FrontEnd::Window;
    s.cpuMHz = options.cpuMHz;
    return s;
}

}  // namespace

MainWindow::MainWindow(MainWindowOptions options, QWidget* parent)
    : QMainWindow(parent), options_(std::move(options)), session_(ForTheWindow(options_), *this) {
    setObjectName(QStringLiteral("mainWindow"));
    thousandsSeparator_ = LocaleThousandsSeparator();
    tray_ = new TrayPresence(this);
    connect(tray_, &TrayPresence::restoreRequested, this, [this] {
        showNormal();
        raise();
        activateWindow();
    });
    boxFilter_ = new TaskBoxFilter(this);
    BuildWindow();
    BuildMenus();
    remote_ = new RemoteControl(static_cast<IRemoteControlled&>(*this), this);

    startUpTimer_ = new QTimer(this);
    startUpTimer_->setObjectName(QStringLiteral("startUpTimer"));
    startUpTimer_->setInterval(10);
    startUpTimer_->setSingleShot(true);
    connect(startUpTimer_, &QTimer::timeout, this, [this] { StartUp(); });
    viewTimer_ = new QTimer(this);
    viewTimer_->setObjectName(QStringLiteral("viewTimer"));
    viewTimer_->setInterval(kViewTickMs);
    connect(viewTimer_, &QTimer::timeout, this, [this] { Guard([this] { ViewTick(); }); });
    // Floating priority follows the pointer's horizontal position while a search runs.
    pointerTimer_ = new QTimer(this);
    pointerTimer_->setObjectName(QStringLiteral("pointerTimer"));
    pointerTimer_->setInterval(200);
    connect(pointerTimer_, &QTimer::timeout, this,
            [this] { Guard([this] { session_.PointerMoved(QCursor::pos().x()); }); });

    SetIcon(FormulaIcon::Stop);
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QSize size = sizeHint();
        move(screen->availableGeometry().center() - QPoint(size.width() / 2, size.height() / 2));
    }
    // Started from the root directory, as a session's autostart may do, the program gives the
    // rest of the system 15 seconds before it begins.
    if (QDir::currentPath() == QLatin1String("/"))
        QTimer::singleShot(15000, this, [this] { startUpTimer_->start(); });
    else
        startUpTimer_->start();
}

MainWindow::~MainWindow() {
    // The end of the window stops the search and saves once more, unless the close already did.
    if (!exiting_) {
        exiting_ = true;
        Guard([this] { session_.Stop(); });
    }
}

// ---- Building ------------------------------------------------------------------------------------

void MainWindow::BuildWindow() {
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    auto* canvas = new Canvas(this);
    canvas->setObjectName(QStringLiteral("canvas"));
    canvas->setFixedSize(kClientWidth, kClientHeight);
    canvas->setFont(ArialBold(12));
    QPalette white = canvas->palette();
    white.setColor(QPalette::WindowText, Qt::white);
    white.setColor(QPalette::Window, QColor(0, 40, 0));
    canvas->setPalette(white);
    setCentralWidget(canvas);
    layout()->setSizeConstraint(QLayout::SetFixedSize);

    firstExponentLabel_ = new QLabel(QStringLiteral("nMin="), canvas);
    firstExponentLabel_->setObjectName(QStringLiteral("firstExponentLabel"));
    firstExponentLabel_->setAutoFillBackground(true);
    QPalette black = firstExponentLabel_->palette();
    black.setColor(QPalette::Window, Qt::black);
    black.setColor(QPalette::WindowText, Qt::white);
    firstExponentLabel_->setPalette(black);
    firstExponentLabel_->move(12, 8);
    firstExponentLabel_->adjustSize();

    progressLabel_ = new QLabel(QStringLiteral("k="), canvas);
    progressLabel_->setObjectName(QStringLiteral("progressLabel"));
    progressLabel_->setFont(ArialBold(13));
    progressLabel_->move(192, 8);
    progressLabel_->adjustSize();

    statusPanel_ = new StatusPanel(canvas, kClientWidth, kClientHeight);

    auto makeBox = [&](const char* name, int left, int top, int width, TaskBoxKind kind) {
        auto* box = new QLineEdit(canvas);
        box->setObjectName(QString::fromLatin1(name));
        box->setGeometry(left, top, width, 21);
        QPalette grey = box->palette();
        grey.setColor(QPalette::Base, QColor(211, 211, 211));
        grey.setColor(QPalette::Text, Qt::black);
        box->setPalette(grey);
        boxFilter_->Watch(box, kind);
        // What the boxes hold is the session's task texts: saved with the position, used by
        // Start and Continue.
        connect(box, &QLineEdit::textChanged, this, [this] {
            if (!showingTexts_) session_.SetTaskTexts(Boxes());
        });
        return box;
    };
    firstExponentBox_ = makeBox("firstExponent", 48, 36, 41, TaskBoxKind::Exponent);
    lastExponentBox_ = makeBox("lastExponent", 112, 36, 41, TaskBoxKind::Exponent);
    lowKBox_ = makeBox("lowK", 48, 68, 121, TaskBoxKind::Multiplier);
    highKBox_ = makeBox("highK", 192, 68, 121, TaskBoxKind::Multiplier);
    canvas->boxes[0] = firstExponentBox_;
    canvas->boxes[1] = lastExponentBox_;
    canvas->boxes[2] = lowKBox_;
    canvas->boxes[3] = highKBox_;

    resultBox_ = new QTextEdit(canvas);
    resultBox_->setObjectName(QStringLiteral("resultBox"));
    resultBox_->setReadOnly(true);
    // A little shorter than the canvas allows, so that the status panel's four lines (the share
    // done and the time left among them) stay clear of it.
    resultBox_->setGeometry(48, 104, 265, 160);
    resultBox_->setFont(ArialBold(13));
    resultBox_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    resultBox_->setLineWrapMode(QTextEdit::NoWrap);
    QTextOption centred(Qt::AlignHCenter);
    resultBox_->document()->setDefaultTextOption(centred);
    QPalette memo = resultBox_->palette();
    memo.setColor(QPalette::Base, QColor(190, 237, 192));
    memo.setColor(QPalette::Text, Qt::black);
    resultBox_->setPalette(memo);
}

void MainWindow::BuildMenus() {
    auto item = [](QMenu* menu, const char* name, const char* caption, QKeySequence key = {}) {
        QAction* action = menu->addAction(QString::fromLatin1(caption));
        action->setObjectName(QString::fromLatin1(name));
        if (!key.isEmpty()) action->setShortcut(key);
        return action;
    };
    QMenu* test = menuBar()->addMenu(QStringLiteral("Test"));
    test->setObjectName(QStringLiteral("testMenu"));
    startAction_ = item(test, "startAction", "Start", QKeySequence(Qt::CTRL | Qt::Key_P));
    continueAction_ = item(test, "continueAction", "Continue", QKeySequence(Qt::CTRL | Qt::Key_C));
    stopAction_ = item(test, "stopAction", "Stop");
    stopAction_->setEnabled(false);
    connect(startAction_, &QAction::triggered, this, [this] { Guard([this] { StartClicked(); }); });
    connect(continueAction_, &QAction::triggered, this, [this] { Guard([this] { ContinueClicked(); }); });
    connect(stopAction_, &QAction::triggered, this, [this] { Guard([this] { StopClicked(); }); });
    test->addSeparator();
    quitAction_ = item(test, "quitAction", "Quit", QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quitAction_, &QAction::triggered, this, [this] { QuitClicked(); });

    QMenu* options = menuBar()->addMenu(QStringLiteral("Options"));
    options->setObjectName(QStringLiteral("optionsMenu"));
    plannerAction_ = item(options, "plannerAction", "Following Task/Time");
    serverLinkAction_ = item(options, "serverLinkAction", "Connection with Local Server");
    serverLinkAction_->setCheckable(true);
    connect(serverLinkAction_, &QAction::triggered, this,
            [this](bool checked) { Guard([this, checked] { remote_->SetWanted(checked); }); });
    acceptServerTasksAction_ = item(options, "acceptServerTasksAction", "Accept Tasks from Server");
    acceptServerTasksAction_->setCheckable(true);
    connect(acceptServerTasksAction_, &QAction::triggered, this,
            [this](bool checked) { Guard([this, checked] { AcceptServerTasksClicked(checked); }); });
    options->addSeparator();
    priorityMenu_ = options->addMenu(QStringLiteral("Priority"));
    priorityMenu_->setObjectName(QStringLiteral("priorityMenu"));
    priorityMenu_->menuAction()->setObjectName(QStringLiteral("priorityMenuItem"));
    priorityMenu_->menuAction()->setEnabled(false);
    for (int i = 0; i < 5; ++i) {
        QAction* action =
            item(priorityMenu_, kPriorityNames[i], kPriorityCaptions[i], QKeySequence(Qt::CTRL | (Qt::Key_F1 + i)));
        action->setCheckable(true);
        connect(action, &QAction::triggered, this, [this, i] { Guard([this, i] { PriorityClicked(i); }); });
        priorityActions_[i] = action;
    }
    floatingPriorityAction_ = item(options, "floatingPriorityAction", "Floating Priority");
    floatingPriorityAction_->setCheckable(true);
    floatingPriorityAction_->setEnabled(false);
    connect(floatingPriorityAction_, &QAction::triggered, this,
            [this](bool checked) { Guard([this, checked] { FloatingPriorityClicked(checked); }); });
    // Cores to search with, stored in "Threads"; a running search takes the new count at once.
    threadsMenu_ = options->addMenu(QStringLiteral("Threads"));
    threadsMenu_->setObjectName(QStringLiteral("threadsMenu"));
    threadsMenu_->menuAction()->setObjectName(QStringLiteral("threadsMenuItem"));
    auto* threadChoice = new QActionGroup(this);
    const int cores = std::max(1, QThread::idealThreadCount());
    for (int i = 1; i <= cores; ++i) {
        QAction* action = threadsMenu_->addAction(QString::number(i));
        action->setObjectName(QStringLiteral("threads%1").arg(i));
        action->setCheckable(true);
        threadChoice->addAction(action);
        connect(action, &QAction::triggered, this, [this, i] { Guard([this, i] { ThreadsClicked(i); }); });
    }
    options->addSeparator();
    // Writes or removes the XDG autostart entry, which starts the program with the desktop
    // session (the control server still calls this command "[WindowsService]").
    autostartAction_ = item(options, "autostartAction", "Start with Desktop Session");
    autostartAction_->setCheckable(true);
    connect(autostartAction_, &QAction::triggered, this,
            [this](bool checked) { Guard([this, checked] { AutostartClicked(checked); }); });
    hideAction_ = item(options, "hideAction", "Hide");
    connect(hideAction_, &QAction::triggered, this, [this] { Guard([this] { HideClicked(); }); });
    options->addSeparator();
    clearResultAction_ = item(options, "clearResultAction", "Clear Result Box");
    connect(clearResultAction_, &QAction::triggered, this, [this] { Guard([this] { ClearResultBoxClicked(); }); });

    QMenu* help = menuBar()->addMenu(QStringLiteral("Help"));
    help->setObjectName(QStringLiteral("helpMenu"));
    helpAction_ = item(help, "helpAction", "Contents", QKeySequence(Qt::Key_F1));
    help->addSeparator();
    aboutAction_ = item(help, "aboutAction", "About", QKeySequence(Qt::Key_F2));

    // The tray icon's menu shares the run commands with the window's, so each is enabled alike.
    trayMenu_ = new QMenu(this);
    trayMenu_->setObjectName(QStringLiteral("trayMenu"));
    showHideAction_ = trayMenu_->addAction(QStringLiteral("Hide Window"));
    showHideAction_->setObjectName(QStringLiteral("showHideAction"));
    connect(showHideAction_, &QAction::triggered, this, [this] { ShowHideClicked(); });
    trayMenu_->addSeparator();
    trayMenu_->addAction(continueAction_);
    trayMenu_->addAction(stopAction_);
    trayMenu_->addSeparator();
    trayMenu_->addAction(quitAction_);
    connect(trayMenu_, &QMenu::aboutToShow, this, [this] { UpdateShowHideText(); });
    tray_->SetContextMenu(trayMenu_);

    // The dialogs are made once, hidden, and shown modally when asked for.
    about_ = new AboutDialog({QString::fromLatin1(kVersionText), QString::fromStdString(session_.dir().string()),
                              QString::fromStdString(SelectedKernel())},
                             this);
    planner_ = new PlannerDialog(this);
    help_ = new HelpDialog(this);
    connect(plannerAction_, &QAction::triggered, this, [this] { Guard([this] { OpenPlanner(); }); });
    connect(helpAction_, &QAction::triggered, this, [this] { Guard([this] { OpenHelp(); }); });
    connect(aboutAction_, &QAction::triggered, this, [this] { Guard([this] { OpenAbout(); }); });
}

// ---- Start-up ----------------------------------------------------------------------------------

bool MainWindow::StartsHidden() const { return TrayPresence::StartsHidden(session_.settingsPath()); }

void MainWindow::StartUp() {
    if (StartsHidden()) hide();
    Guard([this] {
        const std::string problem = session_.Open();
        if (!problem.empty())
            ShowError(QStringLiteral("Cannot read %1: %2").arg(Text(session_.settingsPath().string()), Text(problem)));
        SetTip(QStringLiteral("Vontal Factoring"));
        IniFile& ini = *session_.settings();
        if (ini.ReadInteger("f", "isHidden", 0) != 1) tray_->Show();
        const TaskTexts stored = ReadTaskTexts(ini);
        session_.SetTaskTexts(stored);
        ShowBoxes(stored);
        remote_->RestoreWanted(ini.ReadInteger("f", "ConnectToServerVontal", 0) == 1);
        acceptServerTasksAction_->setChecked(ini.ReadInteger("f", kAcceptServerTasksKey, 0) == 1);
        if (ini.ReadInteger("f", "OldProg", 0) == 1) floatingPriorityAction_->setEnabled(true);
        QStringList failures;
        for (const std::string& failure : session_.kernelFailures()) failures << Text(failure);
        statusPanel_->SetKernelFailures(failures);
        ShowWaitingTexts();
        autostartAction_->setChecked(AutostartEntryExists());
        ShowThreadsChoice();
        setWindowTitle(QStringLiteral("Vontal Number Factor Search, P%1:%2 MHz")
                           .arg(session_.cpuFamily())
                           .arg(session_.cpuMHz()));
    });
    startedUp_ = session_.settings() != nullptr;
    // An unreadable result file is reported, but the program runs unattended: it goes on to
    // continue the interrupted task and to take follow-on tasks.
    Guard([this] { LoadResultFile(); });
    if (!ResultBoxEmpty()) SetIcon(FormulaIcon::FoundStop);
    // A task that is in the settings file but cannot run is said so: nobody typed it, and
    // nothing else would tell why the search does not go on. No task, and a finished one, are
    // no news.
    if (startedUp_)
        Guard([this] {
            const StartOutcome out = session_.ContinueStoredTask();
            if (!out.message.empty()) ShowError(Text(out.message));
            AfterStart(out);
        });
    viewTimer_->start();
}

void MainWindow::LoadResultFile() { resultBox_->setPlainText(LoadResultBoxText(ProgramFile(kResultFileName))); }

// ---- Run control ---------------------------------------------------------------------------------

void MainWindow::StartClicked() {
    if (!AskYesNo(this, QString::fromLatin1(kStartQuestion), false)) return;
    StartAfresh();
}

void MainWindow::StartAfresh() {
    // A follow-on task may have started while the question was open.
    if (session_.searching()) return;
    const StartOutcome out = session_.StartNewTask();
    if (!out.message.empty()) ShowError(Text(out.message));
    AfterStart(out);
}

void MainWindow::ContinueClicked() {
    const StartOutcome out = session_.Continue();
    if (!out.message.empty()) ShowError(Text(out.message));
    AfterStart(out);
}

void MainWindow::AfterStart(const StartOutcome& out) {
    if (!out.started) return;
    priorityMenu_->menuAction()->setEnabled(true);
    for (int i = 0; i < 5; ++i) priorityActions_[i]->setChecked(i == session_.storedPriority());
    if (session_.floatingPriority()) floatingPriorityAction_->setChecked(true);
    session_.SetLastPointerX(QCursor::pos().x());
    pointerTimer_->start();
}

void MainWindow::StopClicked() {
    viewTimer_->stop();
    // The thread leaves after the candidates in hand; waiting for it makes the saved position
    // the exact point reached.
    session_.Stop();
    ShowStoppedLook();
}

// Back to the stopped look: the controls, the waiting texts, the icon and tip of a task that is
// no longer searched.
void MainWindow::ShowStoppedLook() {
    SetRunningControls(false);
    ShowWaitingTexts();
    pointerTimer_->stop();
    const TaskTexts boxes = Boxes();
    if (!boxes.nFirst.empty() && !boxes.nLast.empty() && !boxes.kLow.empty() && !boxes.kHigh.empty()) {
        SetIcon(ResultBoxEmpty() ? FormulaIcon::Stop : FormulaIcon::FoundStop);
        SetTip(QString::fromLatin1(kCompletedTip));
    }
}

void MainWindow::SetRunningControls(bool running) {
    stopAction_->setEnabled(running);
    continueAction_->setEnabled(!running);
    startAction_->setEnabled(!running);
    for (QLineEdit* box : {firstExponentBox_, lastExponentBox_, lowKBox_, highKBox_}) box->setEnabled(!running);
}

void MainWindow::ShowWaitingTexts() {
    SetProgressText(QString::fromLatin1(kWaitingText));
    statusPanel_->ShowStopped();
}

void MainWindow::ViewTick() {
    remote_->TryConnect();
    if (!session_.searching()) {
        // Between tasks: the next follow-on task, if any.
        if (session_.StartNextFollowingTask()) AfterStart({true, {}});
        return;
    }
    ShowRunningDisplay();
    session_.Tick();
}

void MainWindow::ShowRunningDisplay() {
    auto whole = [this](int64_t v) { return Text(FormatThousands(v, thousandsSeparator_)); };
    const SearchState& s = session_.state();
    const int64_t k = s.kPosition.load();
    const uint32_t now = TickCountMs();
    const int64_t rate = RatePerSecond(k, kAtTick_, now - msAtTick_);
    kPerDay_ = rate > INT64_MAX / 86400 ? INT64_MAX : rate * 86400;
    SetProgressText(QStringLiteral("k=%1\rk/sec= %2\rk/day= %3").arg(whole(k), whole(rate), Text(RoundedPower(kPerDay_))));
    SetTip(QStringLiteral("n=%1 k=%2").arg(s.nCurrent.load()).arg(whole(k)));
    kPerSecond_ = static_cast<double>(rate);
    ShowProgress();
    viewTicks_ = (viewTicks_ + 1) % kTicksPerRefresh;
    if (viewTicks_ == 1) RefreshStatus();
    session_.FloatingTick(viewTicks_);
    kAtTick_ = k;
    msAtTick_ = now;
}

void MainWindow::RefreshStatus() {
    const SearchState& s = session_.state();
    const uint32_t n = s.nCurrent.load();
    std::string firstText = std::to_string(n);
    std::optional<std::time_t> dateBegin;
    IniFile* ini = session_.settings();
    if (ini) {
        firstText = ini->ReadString("f", "nMin", firstText);
        dateBegin = ParseDateTime(ini->ReadString("f", "DateBegin", "0"));
    }
    firstExponentLabel_->setText(QStringLiteral("nMin=") + Text(firstText));
    firstExponentLabel_->adjustSize();

    StatusSummary summary;
    summary.dateBegin = dateBegin;
    if (const std::optional<double> left = SecondsLeft()) summary.dateEnd = EndDate(std::time(nullptr), *left);
    if (summary.dateEnd && ini) ini->WriteString("f", "DateEnd", FormatDate(*summary.dateEnd));
    summary.usedBytes = UsedArraysBytes(s.limbCount.load(), s.primeCount.load(), s.sieveBlockSize.load());
    summary.thousandsSeparator = thousandsSeparator_;
    summary.priority = Text(session_.priorityText());
    summary.serverConnected = serverConnected_;
    summary.serverHost = serverHost_;
    statusPanel_->ShowSummary(summary);
}

const RunTimeModel* MainWindow::TaskModel() {
    const SearchState& s = session_.state();
    const uint32_t n = s.nCurrent.load();
    if (n == 0) return nullptr;
    // The task's first exponent is the one it began with ("nMin"), not the one in hand.
    uint32_t nFirst = n;
    if (IniFile* ini = session_.settings()) {
        const int first = ini->ReadInteger("f", "nMin", static_cast<int>(n));
        if (first > 0 && static_cast<uint32_t>(first) <= n) nFirst = static_cast<uint32_t>(first);
    }
    const ModelKey key{nFirst, s.nLast.load(), s.kLow.load(), s.kHigh.load()};
    if (!model_ || !(key == modelKey_)) {
        model_.emplace(key.nFirst, key.nLast, key.kLow, key.kHigh, MachineCosts());
        modelKey_ = key;
    }
    return &*model_;
}

std::optional<double> MainWindow::SecondsLeft() {
    const RunTimeModel* model = TaskModel();
    if (!model) return std::nullopt;
    const SearchState& s = session_.state();
    return WallSecondsLeft(*model, s.nCurrent.load(), s.kPosition.load(), kPerSecond_, session_.runThreads());
}

void MainWindow::ShowProgress() {
    const RunTimeModel* model = TaskModel();
    if (!model || !session_.searching()) return;
    const SearchState& s = session_.state();
    const double share = model->At(s.nCurrent.load(), s.kPosition.load()).share();
    const std::optional<double> left = SecondsLeft();
    statusPanel_->SetProgress(QStringLiteral("Done %1% of the task,  %2 left")
                                  .arg(100 * share, 0, 'f', 1)
                                  .arg(Text(FormatDuration(left ? *left : -1))));
}

// ---- Options and help -------------------------------------------------------------------------------

void MainWindow::PriorityClicked(int level) {
    for (int i = 0; i < 5; ++i) priorityActions_[i]->setChecked(i == level);
    session_.SetPriority(level);
    RefreshStatus();
}

void MainWindow::FloatingPriorityClicked(bool checkedNow) {
    const bool wasChecked = !checkedNow;
    floatingPriorityAction_->setChecked(false);
    if (wasChecked) {
        session_.SetFloatingPriority(false);
        return;
    }
    if (!AskYesNo(this, QString::fromLatin1(kFloatingQuestion), false)) return;
    floatingPriorityAction_->setChecked(true);
    session_.SetFloatingPriority(true);
}

void MainWindow::AutostartClicked(bool checkedNow) {
    const bool wasChecked = !checkedNow;
    autostartAction_->setChecked(false);
    if (wasChecked) {
        RemoveAutostartEntry();
        return;
    }
    WriteAutostartEntry(options_.programPath, options_.programArguments);
    autostartAction_->setChecked(true);
}

void MainWindow::ShowThreadsChoice() {
    const QString checked = QStringLiteral("threads%1").arg(session_.ThreadsToUse());
    for (QAction* action : threadsMenu_->actions()) action->setChecked(action->objectName() == checked);
}

void MainWindow::AcceptServerTasksClicked(bool checkedNow) {
    if (IniFile* ini = session_.settings()) ini->WriteInteger("f", kAcceptServerTasksKey, checkedNow ? 1 : 0);
}

void MainWindow::ThreadsClicked(int threads) {
    if (IniFile* ini = session_.settings()) ini->WriteInteger("f", "Threads", threads);
    ShowThreadsChoice();
    // A running search stops at the candidates in hand, saves its position and goes on from it
    // on the new count of cores: what Stop and Continue would do.
    if (!session_.searching() || session_.runThreads() == session_.ThreadsToUse()) return;
    StopClicked();
    ContinueClicked();
}

void MainWindow::QuitClicked() {
    SaveForExit();
    close();
    QCoreApplication::quit();
}

void MainWindow::ShowHideClicked() {
    if (isVisible() && !isMinimized()) {
        hide();
    } else {
        showNormal();
        raise();
        activateWindow();
    }
    UpdateShowHideText();
}

void MainWindow::UpdateShowHideText() {
    showHideAction_->setText(isVisible() && !isMinimized() ? QStringLiteral("Hide Window") : QStringLiteral("Show Window"));
}

void MainWindow::HideClicked() {
    if (!AskYesNo(this, QString::fromLatin1(kHideQuestion), false)) return;
    if (IniFile* ini = session_.settings()) ini->WriteInteger("f", "isHidden", 1);
    tray_->Hide();
}

void MainWindow::ClearResultBoxClicked() {
    if (ResultBoxEmpty()) return;
    if (!AskYesNo(this, QString::fromLatin1(kClearQuestion), true)) return;
    resultBox_->clear();
    QFile::remove(ProgramFile(kResultFileName));  // a failed removal is not reported
    SetIcon(session_.searching() ? FormulaIcon::Continue : FormulaIcon::Stop);
}

void MainWindow::OpenPlanner() {
    // The settings file is opened by the start-up tick; the list lives nowhere before that.
    if (!session_.settings()) return;
    planner_->SetSettings(session_.settings());
    planner_->SetCpuMHz(session_.cpuMHz());
    planner_->SetThreads(session_.ThreadsToUse());
    planner_->exec();
}

void MainWindow::OpenHelp() { help_->exec(); }

void MainWindow::OpenAbout() { about_->exec(); }

// ---- What the session reports ----------------------------------------------------------------------

void MainWindow::EventQueued(const SearchEvent&) {
    // On the computation thread: the events are worked off on the window thread, in order.
    QMetaObject::invokeMethod(this, [this] { Guard([this] { session_.ProcessEvents(); }); }, Qt::QueuedConnection);
}

void MainWindow::SearchEventHandled(const SearchEvent& e, bool current) {
    switch (e.kind) {
        // A divisor found is shown whatever happened since: it is about to go into Result.txt.
        case SearchEventKind::DivisorFound: {
            const std::string record = FoundRecord(e.m, e.k, e.n);
            AppendResult(Text(record.substr(0, record.size() - 2)));
            SetIcon(session_.searching() ? FormulaIcon::Found : FormulaIcon::FoundStop);
            return;
        }
        case SearchEventKind::Warning:
            ShowError(Text(e.message));
            return;
        case SearchEventKind::Failed:
            ShowError(Text(e.message));
            // The search has ended: back to the stopped look (the session saved the position).
            if (current && e.wasRunning) {
                viewTimer_->stop();
                ShowStoppedLook();
            }
            return;
        default:
            break;
    }
    // The rest changes the run's look, which belongs to the run the session follows.
    if (!current) return;
    switch (e.kind) {
        case SearchEventKind::Started:
            SetRunningControls(true);
            SetProgressText(QStringLiteral("Calculate sieve"));
            SetIcon(ResultBoxEmpty() ? FormulaIcon::Continue : FormulaIcon::Found);
            viewTicks_ = 0;
            break;
        case SearchEventKind::ExponentBegun:
            RefreshStatus();
            SetProgressText(QStringLiteral("k=%1\rk/sec= \rk/day= ").arg(Text(FormatThousands(e.k, thousandsSeparator_))));
            kAtTick_ = e.k;
            msAtTick_ = TickCountMs();
            kPerSecond_ = 0;  // the rate of the last exponent says little about this one
            ShowProgress();
            if (!viewTimer_->isActive()) viewTimer_->start();
            break;
        case SearchEventKind::TaskFinished:
            // The view tick goes on: it takes the next follow-on task.
            ShowStoppedLook();
            break;
        case SearchEventKind::Stopped:
            // Stopped, a follow-on task waits as it does after Stop.
            viewTimer_->stop();
            ShowStoppedLook();
            break;
        default:
            break;
    }
}

void MainWindow::TaskTextsChanged(const TaskTexts& texts) { ShowBoxes(texts); }

void MainWindow::SaveFailed(const SaveFailure& failure) { ShowError(Text(failure.message)); }

void MainWindow::FollowingTaskTaken(const TaskTexts&, bool, const std::string& refusal) {
    if (!refusal.empty()) ShowError(Text(refusal));
}

void MainWindow::Notice(const std::string& message) { ShowError(Text(message)); }

// ---- What the remote control acts on -------------------------------------------------------------

bool MainWindow::CanRun(ServerCommand command) const {
    switch (command) {
        case ServerCommand::Start: return startAction_->isEnabled();
        case ServerCommand::Continue: return continueAction_->isEnabled();
        case ServerCommand::Stop: return stopAction_->isEnabled();
        default: return true;
    }
}

void MainWindow::Run(ServerCommand command) {
    switch (command) {
        case ServerCommand::Start:
            // The user of this machine may let the server start tasks without the question.
            if (acceptServerTasksAction_->isChecked())
                Guard([this] { StartAfresh(); });
            else
                startAction_->trigger();
            break;
        case ServerCommand::Continue: continueAction_->trigger(); break;
        case ServerCommand::Stop: stopAction_->trigger(); break;
        case ServerCommand::WindowsService: autostartAction_->trigger(); break;
        default: break;
    }
}

ServerStateFields MainWindow::State() const {
    ServerStateFields f;
    const std::string inHand = std::to_string(session_.state().nCurrent.load());
    IniFile* ini = session_.settings();
    f.nMin = Text(ini ? ini->ReadString("f", "nMin", inHand) : inHand);
    f.nTemp = firstExponentBox_->text();
    f.nMax = lastExponentBox_->text();
    f.kMin = lowKBox_->text();
    f.kMax = highKBox_->text();
    f.startEnabled = startAction_->isEnabled();
    f.continueEnabled = continueAction_->isEnabled();
    f.stopEnabled = stopAction_->isEnabled();
    f.windowsService = autostartAction_->isChecked();
    // The label shows its lines with line feeds; the reply keeps the carriage return.
    f.statusK = progressLabel_->text();
    f.statusK.replace(QLatin1Char('\n'), QLatin1Char('\r'));
    return f;
}

ServerResultsFields MainWindow::Results() const {
    ServerResultsFields results;
    // The result box holds two lines per divisor; the second says which number it divides.
    for (const QString& line : resultBox_->toPlainText().split(QLatin1Char('\n')))
        if (line.contains(QLatin1String(" divides F_"))) {
            ++results.count;
            results.lastLines << line.trimmed();
            if (results.lastLines.size() > kResultsReplyLines) results.lastLines.removeFirst();
        }
    return results;
}

void MainWindow::SetTaskBoxes(const TaskBoxTexts& texts) {
    firstExponentBox_->setText(texts.nFirst);
    lastExponentBox_->setText(texts.nLast);
    lowKBox_->setText(texts.kLow);
    highKBox_->setText(texts.kHigh);
}

ISettings* MainWindow::Settings() { return session_.settings(); }

std::optional<QString> MainWindow::AskServerHost(const QString& stored) {
    QInputDialog dialog(this);
    dialog.setObjectName(QStringLiteral("serverInput"));
    dialog.setWindowTitle(QStringLiteral("Server to connect to"));
    dialog.setLabelText(QStringLiteral("Address or Host Name:"));
    dialog.setTextValue(stored);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return dialog.textValue();
}

void MainWindow::TellLinkSwitchedOff(const QString& text) {
    QMessageBox box(QMessageBox::Information, QStringLiteral("Vontal factoring"), text, QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("information"));
    box.exec();
}

void MainWindow::LinkChanged(bool wanted, bool connected, const QString& host) {
    serverLinkAction_->setChecked(wanted);
    if (connected == serverConnected_ && host == serverHost_) return;
    serverConnected_ = connected;
    serverHost_ = host;
    Guard([this] { RefreshStatus(); });
}

// ---- Closing -----------------------------------------------------------------------------------

void MainWindow::closeEvent(QCloseEvent* event) {
    SaveForExit();
    event->accept();
}

void MainWindow::SaveForExit() {
    if (exiting_) return;
    exiting_ = true;
    // Stop first so that the position saved is the one the thread has really reached; then the
    // boxes as they stand, even when incomplete.
    Guard([this] { session_.SaveForExit(); });
    tray_->Hide();
}

void MainWindow::SavePosition() { Guard([this] { session_.SavePosition(); }); }

void MainWindow::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || !isMinimized()) return;
    // Minimised, the window leaves the screen and the taskbar and lives in the tray; with no
    // tray icon to bring it back it stays an ordinary minimised window.
    if (!tray_->CanHoldWindow()) return;
    QTimer::singleShot(0, this, [this] {
        setWindowState(windowState() & ~Qt::WindowMinimized);
        hide();
    });
}

// ---- Helpers -----------------------------------------------------------------------------------

TaskTexts MainWindow::Boxes() const {
    return {firstExponentBox_->text().toStdString(), lastExponentBox_->text().toStdString(),
            lowKBox_->text().toStdString(), highKBox_->text().toStdString()};
}

void MainWindow::ShowBoxes(const TaskTexts& texts) {
    showingTexts_ = true;
    firstExponentBox_->setText(Text(texts.nFirst));
    lastExponentBox_->setText(Text(texts.nLast));
    lowKBox_->setText(Text(texts.kLow));
    highKBox_->setText(Text(texts.kHigh));
    showingTexts_ = false;
}

void MainWindow::SetIcon(FormulaIcon icon) {
    icon_ = icon;
    const QIcon picture = FormulaQIcon(icon);
    setWindowIcon(picture);
    QApplication::setWindowIcon(picture);
    tray_->SetIcon(picture);
}

void MainWindow::SetTip(const QString& tip) { tray_->SetTip(tip); }

QString MainWindow::tipText() const { return tray_->tip(); }

bool MainWindow::trayIconShown() const { return tray_->shown(); }

bool MainWindow::ResultBoxEmpty() const { return resultBox_->document()->isEmpty(); }

void MainWindow::AppendResult(const QString& text) {
    QTextCursor cursor(resultBox_->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(Lines(text) + QLatin1Char('\n'));
    resultBox_->moveCursor(QTextCursor::End);
}

void MainWindow::SetProgressText(const QString& text) {
    progressLabel_->setText(Lines(text));
    progressLabel_->adjustSize();
}

void MainWindow::Guard(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        ShowError(Text(e.what()));
    }
}

void MainWindow::ShowError(const QString& message) {
    if (exiting_) {
        qWarning("%s", qPrintable(message));  // the window is going away: the error output only
        return;
    }
    ShowErrorBox(this, message);
}

QString MainWindow::ProgramFile(const char* name) const {
    return QDir(options_.programDir).filePath(QString::fromLatin1(name));
}

}  // namespace vontal
