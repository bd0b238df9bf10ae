// The main window and its run control.
#include "gui/TForm1.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTextEdit>
#include <QTimer>

#include <chrono>
#include <cmath>
#include <ctime>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "settings/FollowingTasks.h"
#include "gui/ResultText.h"
#include "gui/Autostart.h"
#include "gui/LocaleText.h"
#include "gui/StatusText.h"
#include "engine/DateTimeText.h"
#include "engine/Kernel.h"
#include "engine/Processor.h"
#include "engine/Records.h"
#include "engine/ThreadPriority.h"
#include "gui/TfrmAbout.h"
#include "gui/TfrmHelp.h"
#include "remote/RemoteControl.h"

namespace vontal {

namespace {

constexpr int kClientWidth = 355;
constexpr int kClientHeight = 327;
constexpr int kExponentBoxLength = 5;
constexpr int kMultiplierBoxLength = 18;
// Characters of an error shown in its box: box texts quoted in a conversion message may be
// thousands of characters long (a settings value, a server's parameters).
constexpr qsizetype kLongestMessage = 1000;
// Error boxes open at once. Unattended, nobody closes them: a control server that repeats a
// failing command with ever new text would otherwise open boxes (and take memory) without end.
constexpr qsizetype kOpenErrorBoxes = 5;

// Texts keep the carriage return as their line break; labels and message boxes show it as a
// new line.
QString Lines(const QString& text) {
    QString shown = text;
    shown.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return shown;
}

const char* const kWaitingText = "Program does not work\rExpects a new task...";
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
const char* const kPriorityNames[5] = {"Idle", "Lowest1", "Lower1", "Normal1", "Higher1"};
const char* const kPriorityCaptions[5] = {"Idle", "Lowest", "Lower", "Normal", "Higher"};
constexpr int kHighestLevel = 5;

// The millisecond tick counter the computation thread uses for tickStart.
uint32_t TickCountMs() {
    using namespace std::chrono;
    return static_cast<uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

QFont ArialBold(int pixelSize) {
    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(pixelSize);
    font.setBold(true);
    return font;
}

// The client area: a vertical fade from black to green and the captions of the task boxes.
class FormCanvas : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        const QRect outer = window()->frameGeometry();
        const int h = std::max(outer.height(), height());
        const int w = std::max(outer.width(), width());
        const double f = 255.0 / h;
        for (int y = 0; y <= h; ++y) {
            p.setPen(QColor(0, static_cast<int>(std::floor(y * f)), 0));
            p.drawLine(0, y, w, y);
        }
        p.setPen(Qt::white);
        p.setFont(font());
        auto caption = [&](int x, int y, const char* text) {
            p.drawText(QRect(x, y, 60, 20), Qt::AlignLeft | Qt::AlignTop, QString::fromLatin1(text));
        };
        caption(48 - 38, 36 + 4, "For n=");
        caption(112 - 16, 36 + 4, "to");
        caption(48 - 38, 68 + 4, "For k=");
        caption(192 - 16, 68 + 4, "to");
    }
};

}  // namespace

bool ExponentBoxAccepts(QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); }

bool MultiplierBoxAccepts(const QString& boxText, QChar c) {
    if (ExponentBoxAccepts(c)) return true;
    if (c == QLatin1Char('e') || c == QLatin1Char('E'))
        return !boxText.contains(QLatin1Char('e'), Qt::CaseInsensitive);
    return false;
}

TForm1::TForm1(TForm1Options options, QWidget* parent)
    : QMainWindow(parent), options_(std::move(options)) {
    setObjectName(QStringLiteral("Form1"));
    state_.programDir = options_.programDir.toStdString();
    state_.thousandsSeparator = LocaleThousandsSeparator();
    BuildWindow();
    BuildMenus();
    remote_ = new RemoteControl(
        {this, clConnect, Start1, Continue1, Stop1, RunWindowsService, edtF1, edtF2, edtK1, edtK2, lblK,
         [this] { return ini_.get(); }, [this] { return state_.nTemp.load(); },
         [this](bool connected, const QString& host) { SetServerLink(connected, host); }},
        this);

    timF = new QTimer(this);
    timF->setObjectName(QStringLiteral("timF"));
    timF->setInterval(10);
    connect(timF, &QTimer::timeout, this, [this] { timFTimer(); });
    timView = new QTimer(this);
    timView->setObjectName(QStringLiteral("timView"));
    timView->setInterval(15000);
    connect(timView, &QTimer::timeout, this, [this] { Guard([this] { timViewTimer(); }); });
    // The computation thread must not ask Qt for the pointer; the window thread keeps its
    // horizontal position in the search state for the floating priority.
    timPointer = new QTimer(this);
    timPointer->setObjectName(QStringLiteral("timPointer"));
    timPointer->setInterval(200);
    connect(timPointer, &QTimer::timeout, this,
            [this] { state_.pointerX.store(QCursor::pos().x(), std::memory_order_relaxed); });

    trayIcon = new QSystemTrayIcon(this);
    connect(trayIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
        if (r != QSystemTrayIcon::DoubleClick) return;
        showNormal();
        raise();
        activateWindow();
    });
    FormCreate();
}

TForm1::~TForm1() {
    // The destroy event stops the search and saves once more, unless the close already did.
    if (!exiting_) {
        exiting_ = true;
        Guard([this] { Stop1Click(); });
    }
    state_.stopFlag.store(1);
    factor_.reset();  // waits for the thread, which never waits for the window
    state_.iniFile = nullptr;
}

void TForm1::BuildWindow() {
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    auto* canvas = new FormCanvas(this);
    canvas->setObjectName(QStringLiteral("canvas"));
    canvas->setFixedSize(kClientWidth, kClientHeight);
    canvas->setFont(ArialBold(12));
    QPalette white = canvas->palette();
    white.setColor(QPalette::WindowText, Qt::white);
    white.setColor(QPalette::Window, QColor(0, 40, 0));
    canvas->setPalette(white);
    setCentralWidget(canvas);
    layout()->setSizeConstraint(QLayout::SetFixedSize);

    lblnMin = new QLabel(QStringLiteral("nMin="), canvas);
    lblnMin->setObjectName(QStringLiteral("lblnMin"));
    lblnMin->setAutoFillBackground(true);
    QPalette black = lblnMin->palette();
    black.setColor(QPalette::Window, Qt::black);
    black.setColor(QPalette::WindowText, Qt::white);
    lblnMin->setPalette(black);
    lblnMin->move(12, 8);
    lblnMin->adjustSize();

    lblK = new QLabel(QStringLiteral("k="), canvas);
    lblK->setObjectName(QStringLiteral("lblK"));
    lblK->setFont(ArialBold(13));
    lblK->move(192, 8);
    lblK->adjustSize();

    lblProc = new QLabel(canvas);
    lblProc->setObjectName(QStringLiteral("lblProc"));
    lblProc->setAlignment(Qt::AlignHCenter | Qt::AlignBottom);
    QPalette navy = lblProc->palette();
    navy.setColor(QPalette::WindowText, QColor(0, 0, 128));
    lblProc->setPalette(navy);
    lblProc->setGeometry(0, kClientHeight - 15, kClientWidth, 15);

    auto makeBox = [&](const char* name, int left, int top, int width) {
        auto* box = new QLineEdit(canvas);
        box->setObjectName(QString::fromLatin1(name));
        box->setGeometry(left, top, width, 21);
        QPalette grey = box->palette();
        grey.setColor(QPalette::Base, QColor(211, 211, 211));
        grey.setColor(QPalette::Text, Qt::black);
        box->setPalette(grey);
        // The length limit is kept by the keystroke filter, not by maxLength, which would cut a
        // longer text read from the settings file or a follow-on task without telling anyone.
        box->installEventFilter(this);
        return box;
    };
    edtF1 = makeBox("edtF1", 48, 36, 41);
    edtF2 = makeBox("edtF2", 112, 36, 41);
    edtK1 = makeBox("edtK1", 48, 68, 121);
    edtK2 = makeBox("edtK2", 192, 68, 121);

    Memo1 = new QTextEdit(canvas);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setReadOnly(true);
    Memo1->setGeometry(48, 104, 265, 169);
    Memo1->setFont(ArialBold(13));
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setLineWrapMode(QTextEdit::NoWrap);
    QTextOption centred(Qt::AlignHCenter);
    Memo1->document()->setDefaultTextOption(centred);
    QPalette memo = Memo1->palette();
    memo.setColor(QPalette::Base, QColor(190, 237, 192));
    memo.setColor(QPalette::Text, Qt::black);
    Memo1->setPalette(memo);
}

void TForm1::BuildMenus() {
    auto item = [](QMenu* menu, const char* name, const char* caption, QKeySequence key = {}) {
        QAction* action = menu->addAction(QString::fromLatin1(caption));
        action->setObjectName(QString::fromLatin1(name));
        if (!key.isEmpty()) action->setShortcut(key);
        return action;
    };
    QMenu* test = menuBar()->addMenu(QStringLiteral("Test"));
    test->setObjectName(QStringLiteral("Test1"));
    Start1 = item(test, "Start1", "Start", QKeySequence(Qt::CTRL | Qt::Key_P));
    Continue1 = item(test, "Continue1", "Continue", QKeySequence(Qt::CTRL | Qt::Key_C));
    Stop1 = item(test, "Stop1", "Stop");
    Stop1->setEnabled(false);
    connect(Start1, &QAction::triggered, this, [this] { Guard([this] { Start1Click(); }); });
    connect(Continue1, &QAction::triggered, this, [this] { Guard([this] { Continue1Click(); }); });
    connect(Stop1, &QAction::triggered, this, [this] { Guard([this] { Stop1Click(); }); });

    QMenu* options = menuBar()->addMenu(QStringLiteral("Options"));
    options->setObjectName(QStringLiteral("Options1"));
    FollowingTask = item(options, "FollowingTask", "Following Task/Time");
    clConnect = item(options, "clConnect", "Connection with Local Server");
    clConnect->setCheckable(true);
    connect(clConnect, &QAction::triggered, this,
            [this](bool checked) { Guard([this, checked] { remote_->clConnectClick(checked); }); });
    options->addSeparator();
    Priority1 = options->addMenu(QStringLiteral("Priority"));
    Priority1->setObjectName(QStringLiteral("Priority1"));
    Priority1->menuAction()->setObjectName(QStringLiteral("Priority1Item"));
    Priority1->menuAction()->setEnabled(false);
    for (int i = 0; i < 5; ++i) {
        QAction* action = item(Priority1, kPriorityNames[i], kPriorityCaptions[i],
                               QKeySequence(Qt::CTRL | (Qt::Key_F1 + i)));
        action->setCheckable(true);
        connect(action, &QAction::triggered, this, [this, i] { Guard([this, i] { PriorityClick(i); }); });
        priorityItems_[i] = action;
    }
    FloatingPriority = item(options, "FloatingPriority", "Floating Priority");
    FloatingPriority->setCheckable(true);
    FloatingPriority->setEnabled(false);
    connect(FloatingPriority, &QAction::triggered, this,
            [this](bool checked) { Guard([this, checked] { FloatingPriorityClick(checked); }); });
    options->addSeparator();
    RunWindowsService = item(options, "RunWindowsService", "Windows Service");
    RunWindowsService->setCheckable(true);
    connect(RunWindowsService, &QAction::triggered, this,
            [this](bool checked) { Guard([this, checked] { RunWindowsServiceClick(checked); }); });
    HideWin = item(options, "HideWin", "Hide");
    connect(HideWin, &QAction::triggered, this, [this] { Guard([this] { HideWinClick(); }); });
    options->addSeparator();
    ClearResultBox = item(options, "ClearResultBox", "Clear Result Box");
    connect(ClearResultBox, &QAction::triggered, this, [this] { Guard([this] { ClearResultBoxClick(); }); });

    QMenu* help = menuBar()->addMenu(QStringLiteral("Help"));
    help->setObjectName(QStringLiteral("Help1"));
    Conte1 = item(help, "Conte1", "Contents", QKeySequence(Qt::Key_F1));
    help->addSeparator();
    About1 = item(help, "About1", "About", QKeySequence(Qt::Key_F2));

    // The planner and the about box are made once, hidden, and shown modally when asked for.
    frmAbout = new TfrmAbout(QString::fromStdString(state_.versionText), this);
    frmHelp = new TfrmHelp(this);
    connect(FollowingTask, &QAction::triggered, this, [this] { Guard([this] { FollowingTaskClick(); }); });
    connect(Conte1, &QAction::triggered, this, [this] { Guard([this] { Conte1Click(); }); });
    connect(About1, &QAction::triggered, this, [this] { Guard([this] { About1Click(); }); });
}

// ---- Start-up ----------------------------------------------------------------------------------

void TForm1::FormCreate() {
    SetIcon(FormulaIcon::Stop);
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QSize size = sizeHint();
        move(screen->availableGeometry().center() - QPoint(size.width() / 2, size.height() / 2));
    }
    // Started from the root directory, as a session's autostart may do, the program gives the
    // rest of the system 15 seconds before it begins.
    if (QDir::currentPath() == QLatin1String("/"))
        QTimer::singleShot(15000, this, [this] { timF->start(); });
    else
        timF->start();
}

bool TForm1::StartsHidden() const {
    const QString path = ProgramFile(kSettingsFileName);
    if (!QFileInfo::exists(path)) return false;
    TIniFile ini(path.toStdString());
    if (ini.ReadInteger("f", "isHidden", 0) == 1) return true;
    // With no tray to show the icon in, a hidden window could never be brought back.
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void TForm1::timFTimer() {
    state_.stopFlag.store(1);
    timF->stop();
    if (StartsHidden()) hide();
    Guard([this] {
        state_.cpuMHz = options_.cpuMHz ? *options_.cpuMHz : MeasureCpuMHz();
        SetTip(QStringLiteral("Vontal Factoring"));
        ini_ = std::make_unique<TIniFile>(ProgramFile(kSettingsFileName).toStdString());
        state_.iniFile = ini_.get();
        if (ini_->ReadInteger("f", "isHidden", 0) != 1) trayIcon->show();
        const BoxTexts boxes = ReadTaskBoxes(*ini_);
        SetBox(Box::F1, QString::fromStdString(boxes.nMin));
        SetBox(Box::F2, QString::fromStdString(boxes.nMax));
        SetBox(Box::K1, QString::fromStdString(boxes.kMin));
        SetBox(Box::K2, QString::fromStdString(boxes.kMax));
        if (ini_->ReadInteger("f", "ConnectToServerVontal", 0) == 1) clConnect->setChecked(true);
        if (ini_->ReadInteger("f", "OldProg", 0) == 1) FloatingPriority->setEnabled(true);
        SetWaitingTexts();
        RunWindowsService->setChecked(AutostartEntryExists());
        state_.cpuFamily = CpuFamily();
        setWindowTitle(QStringLiteral("Vontal Number Factor Search, P%1:%2 MHz")
                           .arg(state_.cpuFamily)
                           .arg(state_.cpuMHz));
    });
    Guard([this] { ReportKernelSelfTest(); });
    // An unreadable result file is reported, but the program runs unattended: it goes on to
    // continue the interrupted task and to take follow-on tasks.
    Guard([this] { LoadResultFile(); });
    if (!ResultBoxEmpty()) SetIcon(FormulaIcon::FoundStop);
    if (ini_) Guard([this] { ContinueStoredTask(); });
    timView->start();
}

void TForm1::LoadResultFile() { Memo1->setPlainText(LoadResultBoxText(ProgramFile(kResultFileName))); }

// The start-up's continue. A task that is in the settings file but cannot run is said so: nobody
// typed it, and nothing else would tell why the search does not go on. No task, and a finished
// one, are no news.
void TForm1::ContinueStoredTask() {
    const std::string problem = StoredTaskProblem(Boxes());
    if (problem.empty()) {
        StartSearch();
        return;
    }
    ShowError(QStringLiteral("The task saved in %1 cannot be continued: %2")
                  .arg(ProgramFile(kSettingsFileName), QString::fromStdString(problem)));
}

// A kernel variant that failed its self-test is not used and the search runs on another, so
// nothing stops; but the user is to see it, and whoever collects the log is to know.
void TForm1::ReportKernelSelfTest() {
    const std::vector<std::string> failures = KernelSelfTestFailures();
    if (failures.empty()) return;
    kernelFailures_.clear();
    for (const std::string& failure : failures) kernelFailures_ << QString::fromStdString(failure);
    lblProc->setToolTip(kernelFailures_.join(QLatin1Char('\n')));
    SetWaitingTexts();
    for (const std::string& failure : failures)
        AppendToLog(state_.programDir, "\r\n" + failure, state_.cpuFamily, state_.cpuMHz);
}

// ---- Run control -------------------------------------------------------------------------------

bool TForm1::StartSearch() {
    // A running search is never replaced (the menu items are disabled, but the server may ask).
    if (factor_ && !factor_->Finished() && state_.stopFlag.load() == 0) return false;
    // A thread that was told to stop, or has completed, leaves first, so that every event still
    // queued from it carries the old serial.
    if (factor_) factor_->Join();
    const uint64_t previous = runSerial_.load();
    runSerial_.store(previous + 1);
    StartOutcome outcome;
    try {
        outcome = StartFactor(state_, *this, factor_);
    } catch (...) {
        runSerial_.store(previous);
        throw;
    }
    if (!outcome.started) {
        runSerial_.store(previous);
        return false;
    }
    stopRequested_ = false;
    priorityErrorShown_ = false;
    Priority1->menuAction()->setEnabled(true);
    for (int i = 0; i < 5; ++i) priorityItems_[i]->setChecked(i == outcome.storedPriority);
    if (outcome.floating) FloatingPriority->setChecked(true);
    state_.pointerX.store(QCursor::pos().x(), std::memory_order_relaxed);
    timPointer->start();
    return true;
}

void TForm1::BeginNewTask() {
    if (!ini_) return;
    vontal::BeginNewTask(*ini_, Boxes(), std::time(nullptr));
    state_.KTemp.store(0);
}

void TForm1::Start1Click() {
    if (!Ask(QString::fromLatin1(kStartQuestion), false)) return;
    // A follow-on task may have started while the question was open.
    if (state_.stopFlag.load() == 0) return;
    BeginNewTask();
    StartSearch();
}

void TForm1::Continue1Click() { StartSearch(); }

void TForm1::Stop1Click() {
    state_.stopFlag.store(1);
    timView->stop();
    // The thread leaves after the candidate in hand; waiting for it makes the saved KTemp the
    // exact point reached.
    if (factor_) factor_->Join();
    stopRequested_ = true;
    StopClick();
}

void TForm1::StopClick() {
    SetRunningControls(false);
    SetWaitingTexts();
    timPointer->stop();
    const uint32_t n = state_.nTemp.load();
    if (n != 0) SetBox(Box::F1, QString::number(n));
    const BoxTexts boxes = Boxes();
    if (!boxes.nMin.empty() && !boxes.nMax.empty() && !boxes.kMin.empty() && !boxes.kMax.empty()) {
        WriteINI();
        SetIcon(ResultBoxEmpty() ? FormulaIcon::Stop : FormulaIcon::FoundStop);
        SetTip(QString::fromLatin1(kCompletedTip));
    }
}

void TForm1::WriteINI() {
    if (ini_) vontal::WriteINI(*ini_, Boxes(), state_.KTemp.load());
}

// The position of a running search, saved while it runs: an exponent and a k that belong
// together, or nothing while the thread passes from one exponent to the next (the next save
// comes soon enough).
void TForm1::SaveRunningPosition() {
    uint32_t n = 0;
    int64_t k = 0;
    if (!ini_ || !state_.ResumePoint(n, k)) return;
    BoxTexts boxes = Boxes();
    boxes.nMin = std::to_string(n);
    vontal::WriteINI(*ini_, boxes, k);
}

void TForm1::timViewTimer() {
    remote_->ProbaConnect();
    if (state_.stopFlag.load() == 1)
        FollowingTaskStep();
    else
        RunningDisplay();
}

void TForm1::FollowingTaskStep() {
    if (!ini_) return;
    const std::optional<TaskTexts> task = TakeNextFollowingTask(*ini_);
    if (!task) return;
    SetBox(Box::F1, QString::fromStdString(task->nMin));
    SetBox(Box::F2, QString::fromStdString(task->nMax));
    SetBox(Box::K1, QString::fromStdString(task->kMin));
    SetBox(Box::K2, QString::fromStdString(task->kMax));
    BeginNewTask();
    StartSearch();
}

void TForm1::RunningDisplay() {
    auto whole = [this](int64_t v) { return QString::fromStdString(FormatThousands(v, state_.thousandsSeparator)); };
    const int64_t k = state_.KTemp.load();
    const uint32_t now = TickCountMs();
    const int64_t rate = RatePerSecond(k, state_.kStart.load(), now - state_.tickStart.load());
    const int64_t perDay = rate > INT64_MAX / 86400 ? INT64_MAX : rate * 86400;
    state_.kPerDay.store(perDay);
    lblK->setText(QStringLiteral("k=%1\nk/sec= %2\nk/day= %3")
                      .arg(whole(k), whole(rate), QString::fromStdString(RoundedPower(perDay))));
    lblK->adjustSize();
    SetTip(QStringLiteral("n=%1 k=%2").arg(state_.nTemp.load()).arg(whole(k)));

    const uint32_t ticks = state_.viewTicks.load() + 1;
    state_.viewTicks.store(ticks >= 120 ? 0 : ticks);
    if (ticks == 1) RefreshInfo();
    if (ticks >= 120) SaveRunningPosition();  // the position is saved every 30 minutes
    FloatingStep();
    state_.kStart.store(k);
    state_.tickStart.store(now);
}

void TForm1::FloatingStep() {
    const uint32_t mode = state_.floatingMode.load();
    if (mode == 0) return;
    if (mode == 1 && state_.viewTicks.load() % 6 == 0) {
        try {
            ApplyPriority(kHighestLevel);
            state_.priorityText.store(kHighestLevel);
        } catch (const std::exception& e) {
            // Refused every sixth tick for as long as the search runs: say it once.
            if (!priorityErrorShown_) ShowError(QString::fromStdString(e.what()));
            priorityErrorShown_ = true;
        }
    }
    state_.floatingMode.store(1);
}

void TForm1::RefreshInfo() {
    auto whole = [this](int64_t v) { return QString::fromStdString(FormatThousands(v, state_.thousandsSeparator)); };
    const uint32_t n = state_.nTemp.load();
    std::string nMinText = std::to_string(n);
    std::optional<std::time_t> dateBegin;
    uint32_t nFirst = n;
    if (ini_) {
        nMinText = ini_->ReadString("f", "nMin", nMinText);
        const int first = ini_->ReadInteger("f", "nMin", static_cast<int>(n));
        nFirst = first > 0 ? static_cast<uint32_t>(first) : n;
        dateBegin = ParseDateTime(ini_->ReadString("f", "DateBegin", "0"));
    }
    lblnMin->setText(QStringLiteral("nMin=") + QString::fromStdString(nMinText));
    lblnMin->adjustSize();

    const std::time_t now = std::time(nullptr);
    QString s = dateBegin ? QStringLiteral("Begin: ") + LocaleDateTimeText(*dateBegin) + QStringLiteral(",  ")
                          : QStringLiteral("Begin: Unknown Date,  ");
    EndEstimateInput in;
    in.n = n;
    in.nMax = state_.nMax.load();
    in.nFirst = nFirst;
    in.kMin = state_.kMin.load();
    in.kMax = state_.kMax.load();
    in.kTemp = state_.KTemp.load();
    in.kPerDay = state_.kPerDay.load();
    in.cpuMHz = state_.cpuMHz;
    in.dateBegin = dateBegin;
    in.now = now;
    const std::optional<std::time_t> end = EstimateEnd(in);
    if (end) {
        if (ini_) ini_->WriteString("f", "DateEnd", FormatDate(*end));
        s += QStringLiteral("Ending: ") + LocaleDateText(*end) + QLatin1Char('\n');
    } else {
        s += QStringLiteral("Ending: Unknown Date\n");
    }
    s += QStringLiteral("Used arrays: ") +
         whole(UsedArraysBytes(state_.limbCount.load(), state_.primeCount.load(), state_.sieveSize.load())) +
         QStringLiteral(" byte  ");
    s += QStringLiteral("Priority: ") + QString::fromStdString(state_.priorityName()) + QStringLiteral(",  ");
    s += QStringLiteral("ver.") + QString::fromStdString(state_.versionText);
    s += serverConnected_ ? QStringLiteral("\nIs connected with ServerVontal.exe: ") + serverHost_
                          : QStringLiteral("\nNO connection with ServerVontal.exe");
    ShowStatus(s);
}

void TForm1::ShowStatus(const QString& text) {
    QString shown = text;
    // The first failure, cut to the label's width; all of them in its tool tip and the log.
    if (!kernelFailures_.isEmpty())
        shown.prepend(lblProc->fontMetrics().elidedText(kernelFailures_.first(), Qt::ElideRight, kClientWidth) +
                      QLatin1Char('\n'));
    lblProc->setText(shown);
    const int h = std::max(15, lblProc->heightForWidth(kClientWidth) > 0 ? lblProc->heightForWidth(kClientWidth)
                                                                         : lblProc->sizeHint().height());
    lblProc->setGeometry(0, kClientHeight - h, kClientWidth, h);
}

void TForm1::SetServerLink(bool connected, const QString& hostName) {
    serverConnected_ = connected;
    serverHost_ = hostName;
    Guard([this] { RefreshInfo(); });
}

// ---- Events from the computation thread --------------------------------------------------------

void TForm1::Post(FactorEvent event) {
    const uint64_t serial = runSerial_.load();
    QMetaObject::invokeMethod(
        this, [this, event = std::move(event), serial] { HandleFactorEvent(event, serial); },
        Qt::QueuedConnection);
}

void TForm1::HandleFactorEvent(const FactorEvent& event, uint64_t serial) {
    const bool live = serial == runSerial_.load() && !stopRequested_;
    Guard([&] {
        switch (event.kind) {
            // A divisor found is shown whatever happened since: it is already in Result.txt.
            case FactorEventKind::AppendResult:
                AppendResult(QString::fromStdString(event.text));
                return;
            case FactorEventKind::FoundIcon:
                SetIcon(state_.stopFlag.load() == 0 ? FormulaIcon::Found : FormulaIcon::FoundStop);
                // The divisor is on disk and the thread has moved past it: save that at once, so
                // that a crash never records it twice.
                if (live && state_.stopFlag.load() == 0) SaveRunningPosition();
                return;
            case FactorEventKind::Message:
                ShowError(QString::fromStdString(event.text));
                return;
            case FactorEventKind::ThreadError:
                ShowError(QString::fromStdString(event.text));
                // The search has ended: back to the stopped look, with the position saved.
                if (live && event.started) {
                    timView->stop();
                    stopRequested_ = true;
                    StopClick();
                }
                return;
            default:
                break;
        }
        // The rest changes the run's look, which belongs to the live search only.
        if (!live) return;
        switch (event.kind) {
            case FactorEventKind::BoxText:
                SetBox(event.box, QString::fromStdString(event.text));
                break;
            case FactorEventKind::RunningControls:
                SetRunningControls(true);
                break;
            case FactorEventKind::LabelK:
                lblK->setText(Lines(QString::fromStdString(event.text)));
                lblK->adjustSize();
                break;
            case FactorEventKind::RunningIcon:
                SetIcon(ResultBoxEmpty() ? FormulaIcon::Continue : FormulaIcon::Found);
                break;
            case FactorEventKind::ViewTimerOn:
                if (!timView->isActive()) timView->start();
                break;
            case FactorEventKind::RefreshInfo:
                RefreshInfo();
                break;
            case FactorEventKind::TaskComplete:
                StopClick();
                break;
            default:
                break;
        }
    });
}

std::string TForm1::BoxText(Box box) const {
    const QLineEdit* edit = box == Box::F1 ? edtF1 : box == Box::F2 ? edtF2 : box == Box::K1 ? edtK1 : edtK2;
    return edit->text().toStdString();
}

BoxTexts TForm1::Boxes() const {
    return {BoxText(Box::F1), BoxText(Box::F2), BoxText(Box::K1), BoxText(Box::K2)};
}

void TForm1::SetBox(Box box, const QString& text) {
    QLineEdit* edit = box == Box::F1 ? edtF1 : box == Box::F2 ? edtF2 : box == Box::K1 ? edtK1 : edtK2;
    edit->setText(text);
}

void TForm1::SetRunningControls(bool running) {
    Stop1->setEnabled(running);
    Continue1->setEnabled(!running);
    Start1->setEnabled(!running);
    for (QLineEdit* box : {edtF1, edtF2, edtK1, edtK2}) box->setEnabled(!running);
}

void TForm1::SetWaitingTexts() {
    lblK->setText(Lines(QString::fromLatin1(kWaitingText)));
    lblK->adjustSize();
    ShowStatus(QStringLiteral("Program is stopped\nver.") + QString::fromStdString(state_.versionText));
}

// ---- Icons and the tray ------------------------------------------------------------------------

void TForm1::SetIcon(FormulaIcon icon) {
    icon_ = icon;
    const QIcon picture = FormulaQIcon(icon);
    setWindowIcon(picture);
    QApplication::setWindowIcon(picture);
    trayIcon->setIcon(picture);
}

void TForm1::SetTip(const QString& tip) {
    tipText_ = tip;
    trayIcon->setToolTip(tip.left(63));  // the tray tip holds 63 characters
}

bool TForm1::trayIconShown() const { return trayIcon->isVisible(); }

void TForm1::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || !isMinimized()) return;
    // Minimized, the window leaves the screen and the taskbar and lives in the tray; with no
    // tray icon to bring it back it stays an ordinary minimized window.
    if (!trayIcon->isVisible() || !QSystemTrayIcon::isSystemTrayAvailable()) return;
    QTimer::singleShot(0, this, [this] {
        setWindowState(windowState() & ~Qt::WindowMinimized);
        hide();
    });
}

// ---- Result box --------------------------------------------------------------------------------

bool TForm1::ResultBoxEmpty() const { return Memo1->document()->isEmpty(); }

void TForm1::AppendResult(const QString& text) {
    QTextCursor cursor(Memo1->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(Lines(text) + QLatin1Char('\n'));
    Memo1->moveCursor(QTextCursor::End);
}

void TForm1::FollowingTaskClick() {
    // The settings file is opened by the start-up tick; the list lives nowhere before that.
    if (!ini_) return;
    frmHelp->SetMode(TfrmHelp::Mode::Planner);
    frmHelp->SetSettings(ini_.get());
    frmHelp->SetCpuMHz(state_.cpuMHz);
    frmHelp->exec();
}

void TForm1::Conte1Click() {
    frmHelp->SetMode(TfrmHelp::Mode::Help);
    frmHelp->exec();
}

void TForm1::About1Click() { frmAbout->exec(); }

void TForm1::ClearResultBoxClick() {
    if (ResultBoxEmpty()) return;
    if (!Ask(QString::fromLatin1(kClearQuestion), true)) return;
    Memo1->clear();
    QFile::remove(ProgramFile(kResultFileName));  // a failed removal is not reported
    SetIcon(state_.stopFlag.load() == 0 ? FormulaIcon::Continue : FormulaIcon::Stop);
}

// ---- Priority ----------------------------------------------------------------------------------

void TForm1::ApplyPriority(int level) {
    const pid_t tid = factor_ ? factor_->Tid() : 0;
    if (tid != 0) ApplyThreadPriority(tid, level);  // an ended thread keeps only the stored value
}

void TForm1::PriorityClick(int value) {
    for (int i = 0; i < 5; ++i) priorityItems_[i]->setChecked(i == value);
    if (ini_) ini_->WriteInteger("f", "Priority", value);
    ApplyPriority(value);
    state_.priorityText.store(value);
    RefreshInfo();
}

void TForm1::FloatingPriorityClick(bool checkedNow) {
    const bool wasChecked = !checkedNow;
    FloatingPriority->setChecked(false);
    if (wasChecked) {
        if (ini_) ini_->WriteInteger("f", "FloatingPriority", 0);
        state_.floatingMode.store(0);
        return;
    }
    if (!Ask(QString::fromLatin1(kFloatingQuestion), false)) return;
    FloatingPriority->setChecked(true);
    if (ini_) ini_->WriteInteger("f", "FloatingPriority", 1);
    state_.floatingMode.store(1);
}

// ---- System integration ------------------------------------------------------------------------

void TForm1::RunWindowsServiceClick(bool checkedNow) {
    const bool wasChecked = !checkedNow;
    RunWindowsService->setChecked(false);
    if (wasChecked) {
        RemoveAutostartEntry();
        return;
    }
    WriteAutostartEntry(options_.programPath);
    RunWindowsService->setChecked(true);
}

void TForm1::HideWinClick() {
    if (!Ask(QString::fromLatin1(kHideQuestion), false)) return;
    if (ini_) ini_->WriteInteger("f", "isHidden", 1);
    trayIcon->hide();
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress) return QMainWindow::eventFilter(watched, event);
    auto* box = qobject_cast<QLineEdit*>(watched);
    if (box != edtF1 && box != edtF2 && box != edtK1 && box != edtK2) return QMainWindow::eventFilter(watched, event);
    const auto* key = static_cast<QKeyEvent*>(event);
    // Shortcuts, editing and navigation keys pass; only typed characters are filtered.
    if (key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) return false;
    const QString text = key->text();
    if (text.isEmpty() || !text.at(0).isPrint()) return false;
    const bool exponent = box == edtF1 || box == edtF2;
    for (QChar c : text)
        if (exponent ? !ExponentBoxAccepts(c) : !MultiplierBoxAccepts(box->text(), c)) return true;
    const int limit = exponent ? kExponentBoxLength : kMultiplierBoxLength;
    return box->text().size() - box->selectedText().size() + text.size() > limit;
}

// ---- Closing -----------------------------------------------------------------------------------

void TForm1::closeEvent(QCloseEvent* event) {
    SaveForExit();
    event->accept();
}

void TForm1::SaveForExit() {
    if (exiting_) return;
    exiting_ = true;
    // Stop first so that the position saved is the one the thread has really reached; then the
    // close's own save, which also keeps the boxes when they are incomplete.
    Guard([this] { Stop1Click(); });
    Guard([this] { WriteINI(); });
    trayIcon->hide();
}

void TForm1::SavePosition() { Guard([this] { WriteINI(); }); }

// ---- Helpers -----------------------------------------------------------------------------------

void TForm1::Guard(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        ShowError(QString::fromStdString(e.what()));
    }
}

void TForm1::ShowError(const QString& message) {
    qWarning("%s", qPrintable(message));
    if (exiting_) return;  // the window is going away; the message went to the error output
    QString shown = Lines(message);
    // Cut in the middle: a message says what went wrong at its end as often as at its start.
    if (shown.size() > kLongestMessage)
        shown = shown.left(kLongestMessage / 2) + QChar(0x2026) + shown.right(kLongestMessage / 2);
    // The same message still open is not shown twice: a command repeated by the control server
    // many times a second would otherwise pile up boxes without end. Beyond a few boxes the
    // oldest gives way to the newest.
    QList<QMessageBox*> open;
    for (QMessageBox* box : findChildren<QMessageBox*>(QStringLiteral("errorBox"), Qt::FindDirectChildrenOnly)) {
        if (!box->isVisible()) continue;
        if (box->text() == shown) return;
        open << box;  // in the order they were opened
    }
    while (open.size() >= kOpenErrorBoxes) open.takeFirst()->close();
    // Not modal: the program runs unattended, and the search goes on behind the box.
    auto* box = new QMessageBox(QMessageBox::Critical, QStringLiteral("Vontal factoring"), shown,
                                QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("errorBox"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
}

bool TForm1::Ask(const QString& text, bool question) {
    QMessageBox box(question ? QMessageBox::Question : QMessageBox::Information,
                    QStringLiteral("Vontal factoring"), Lines(text), QMessageBox::Yes | QMessageBox::No, this);
    box.setObjectName(QStringLiteral("question"));
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

QString TForm1::ProgramFile(const char* name) const {
    return QDir(options_.programDir).filePath(QString::fromLatin1(name));
}

}  // namespace vontal
