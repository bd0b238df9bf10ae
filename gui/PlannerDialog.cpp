// The task planner.
#include "gui/PlannerDialog.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QShowEvent>

#include <exception>
#include <string>
#include <vector>

#include "gui/ErrorBoxes.h"
#include "gui/Look.h"
#include "gui/TaskBoxFilter.h"
#include "session/TaskEstimate.h"

namespace vontal {

namespace {

constexpr int kClientWidth = 540;
constexpr int kClientHeight = 330;
constexpr int kMaxTasks = kFollowingTaskCount;

const char* const kPlannerCaption = "Back other tasks and approximate time of their calculation";
const char* const kDynamicHelp = "Dynamic help";
const char* const kTooManyTasks = "Maximum quantity of tasks 10";
const char* const kAlreadyFilled = "Such task is already filled";

// What a list entry carries besides its text: the line OK writes, and for an entry loaded from
// the file and not changed since, its slot and the line as it was read there.
constexpr int kStoredLineRole = Qt::UserRole;
constexpr int kSlotRole = Qt::UserRole + 1;
constexpr int kSlotLineRole = Qt::UserRole + 2;

QString Text(const std::string& s) { return QString::fromStdString(s); }
std::string Std(const QString& s) { return s.toStdString(); }

QString SlotKey(int slot) { return QStringLiteral("Task %1").arg(slot); }

}  // namespace

PlannerDialog::PlannerDialog(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("plannerDialog"));
    setWindowTitle(QString::fromLatin1(kPlannerCaption));
    setModal(true);
    setFont(ArialBold(12));
    setFixedSize(kClientWidth, kClientHeight);
    BuildControls();
}

void PlannerDialog::BuildControls() {
    auto* filter = new TaskBoxFilter(this);
    auto box = [this, filter](const char* name, int x, int y, int width, TaskBoxKind kind) {
        auto* edit = new QLineEdit(this);
        edit->setObjectName(QString::fromLatin1(name));
        edit->setGeometry(x, y, width, 22);
        filter->Watch(edit, kind);
        connect(edit, &QLineEdit::textChanged, this, [this] { BoxesChanged(); });
        return edit;
    };
    firstExponentBox_ = box("firstExponent", 56, 14, 60, TaskBoxKind::Exponent);
    lastExponentBox_ = box("lastExponent", 136, 14, 60, TaskBoxKind::Exponent);
    lowKBox_ = box("lowK", 56, 44, 150, TaskBoxKind::Multiplier);
    highKBox_ = box("highK", 226, 44, 150, TaskBoxKind::Multiplier);
    clockBox_ = box("clockBox", 446, 14, 42, TaskBoxKind::Clock);

    messageLine_ = new QLabel(QString::fromLatin1(kDynamicHelp), this);
    messageLine_->setObjectName(QStringLiteral("messageLine"));
    messageLine_->setGeometry(16, 74, 410, 32);
    messageLine_->setWordWrap(true);
    QPalette yellow = messageLine_->palette();
    yellow.setColor(QPalette::WindowText, Qt::yellow);
    messageLine_->setPalette(yellow);

    taskList_ = new QListWidget(this);
    taskList_->setObjectName(QStringLiteral("taskList"));
    taskList_->setGeometry(16, 110, 410, 206);
    taskList_->setToolTip(QStringLiteral("Tasks list, which will be will be executed after end of the basic task."));
    connect(taskList_, &QListWidget::itemClicked, this, [this] { EntryChosen(); });
    // Moving through the list with the keys copies the entry too; a selection the dialog makes
    // itself (loading, Delete) does not.
    connect(taskList_, &QListWidget::currentRowChanged, this, [this](int row) {
        if (!selectingInCode_ && row >= 0) EntryChosen();
    });

    auto button = [this](const char* name, const char* caption, const char* hint, int y) {
        auto* b = new QPushButton(QString::fromLatin1(caption), this);
        b->setObjectName(QString::fromLatin1(name));
        b->setToolTip(QString::fromLatin1(hint));
        b->setGeometry(440, y, 86, 26);
        // Enter in a box must not press a button behind the user's back.
        b->setAutoDefault(false);
        b->setDefault(false);
        return b;
    };
    addButton_ = button("addButton", "Add", "To add a new task, but no more than 10 tasks.", 110);
    changeButton_ = button("changeButton", "Change", "To change a task, on which there is a focus", 142);
    deleteButton_ = button("deleteButton", "Delete", "To remove a task from the list", 174);
    okButton_ = button("okButton", "OK", "To save the data from ListBox in ini a file and to close.", 258);
    cancelButton_ = button("cancelButton", "Cancel", "No to save change and to close.", 290);
    connect(addButton_, &QPushButton::clicked, this, [this] { AddClicked(); });
    connect(changeButton_, &QPushButton::clicked, this, [this] { ChangeClicked(); });
    connect(deleteButton_, &QPushButton::clicked, this, [this] { DeleteClicked(); });
    connect(okButton_, &QPushButton::clicked, this, [this] { OkClicked(); });
    connect(cancelButton_, &QPushButton::clicked, this, &QDialog::reject);
}

// ---- Opening -----------------------------------------------------------------------------------

void PlannerDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!event->spontaneous()) Opened();
}

void PlannerDialog::Opened() {
    check_ = TaskCheck{};  // exponents incomplete until the boxes say otherwise
    SetBoxText(clockBox_, QString::number(cpuMHz_));
    messageLine_->setText(QString::fromLatin1(kDynamicHelp));
    taskList_->clear();
    LoadTasks();
    SetBoxes(TaskTexts{});
    firstExponentBox_->setFocus();
}

void PlannerDialog::LoadTasks() {
    if (!settings_) return;
    loading_ = true;
    for (int slot = 1; slot <= kMaxTasks; ++slot) {
        std::string line;
        try {
            line = settings_->ReadString(kFollowingTasksSection, Std(SlotKey(slot)), "");
        } catch (const std::exception& e) {
            ShowErrorBox(this, Text(e.what()));
            break;
        }
        if (line.empty()) continue;
        // The line goes in as read; if its values pass the check it becomes the entry with its
        // estimate. Otherwise (values that are not numbers, reversed ranges) it stays as read,
        // and OK writes it back unchanged.
        auto* entry = new QListWidgetItem(Text(line), taskList_);
        entry->setData(kStoredLineRole, Text(line));
        entry->setData(kSlotRole, slot);
        entry->setData(kSlotLineRole, Text(line));
        SelectRow(taskList_->row(entry));
        EntryChosen();
        if (!check_.rangesPass()) continue;
        if (AlreadyListed(entry)) {
            messageLine_->setText(QString::fromLatin1(kAlreadyFilled));
            continue;
        }
        entry->setText(DisplayForm());
        entry->setData(kStoredLineRole, Text(FormatFollowingTaskLine(Boxes())));
    }
    loading_ = false;
}

// ---- The boxes and the check -------------------------------------------------------------------

void PlannerDialog::BoxesChanged() {
    TaskCheck check = CheckTask(Boxes());
    check_ = check;
    if (!check.conversionError.empty()) {
        // The message line keeps what it showed; the user sees why in the error box.
        if (!loading_) ShowErrorBox(this, Text(check.conversionError));
        return;
    }
    messageLine_->setText(Text(TaskCheckLine(check, Std(clockBox_->text()), Basis())));
}

TaskTexts PlannerDialog::Boxes() const {
    return TaskTexts{Std(firstExponentBox_->text()), Std(lastExponentBox_->text()), Std(lowKBox_->text()), Std(highKBox_->text())};
}

void PlannerDialog::SetBoxes(const TaskTexts& task) {
    SetBoxText(firstExponentBox_, Text(task.nFirst));
    SetBoxText(lastExponentBox_, Text(task.nLast));
    SetBoxText(lowKBox_, Text(task.kLow));
    SetBoxText(highKBox_, Text(task.kHigh));
}

void PlannerDialog::SetBoxText(QLineEdit* box, const QString& text) {
    // Only a real change re-runs the check, so emptying boxes that are empty leaves the message.
    if (box->text() != text) box->setText(text);
}

QString PlannerDialog::DisplayForm() const {
    return Text(FormatFollowingTaskLine(Boxes()) + ", " + EstimateText(check_, Std(clockBox_->text()), Basis()));
}

bool PlannerDialog::AlreadyListed(const QListWidgetItem* except) const {
    // Tasks are compared by their four values, so the same task is found whatever estimate its
    // entry carries (the clock box may have changed since it was added).
    const TaskTexts task = Boxes();
    for (int i = 0; i < taskList_->count(); ++i) {
        const QListWidgetItem* entry = taskList_->item(i);
        if (entry != except && ParseFollowingTaskLine(Std(StoredLine(entry))) == task) return true;
    }
    return false;
}

QString PlannerDialog::StoredLine(const QListWidgetItem* entry) {
    return entry->data(kStoredLineRole).toString();
}

// ---- The list ----------------------------------------------------------------------------------

void PlannerDialog::EntryChosen() {
    const QListWidgetItem* entry = taskList_->currentItem();
    if (!entry) return;
    SetBoxes(ParseFollowingTaskLine(Std(entry->text())));
}

void PlannerDialog::AddClicked() {
    if (taskList_->count() >= kMaxTasks) {
        messageLine_->setText(QString::fromLatin1(kTooManyTasks));
        return;
    }
    if (!check_.rangesPass()) return;
    if (AlreadyListed(nullptr)) {
        messageLine_->setText(QString::fromLatin1(kAlreadyFilled));
        return;
    }
    auto* entry = new QListWidgetItem(DisplayForm(), taskList_);
    entry->setData(kStoredLineRole, Text(FormatFollowingTaskLine(Boxes())));
}

void PlannerDialog::ChangeClicked() {
    QListWidgetItem* entry = taskList_->currentItem();
    // With nothing selected there is nothing to change.
    if (!entry || !entry->isSelected() || !check_.rangesPass()) return;
    if (AlreadyListed(nullptr)) {
        messageLine_->setText(QString::fromLatin1(kAlreadyFilled));
        return;
    }
    entry->setText(DisplayForm());
    entry->setData(kStoredLineRole, Text(FormatFollowingTaskLine(Boxes())));
    // A task changed here is the user's new task, whatever became of the one loaded in its place.
    entry->setData(kSlotRole, QVariant());
    entry->setData(kSlotLineRole, QVariant());
}

void PlannerDialog::DeleteClicked() {
    const QListWidgetItem* entry = taskList_->currentItem();
    if (!entry || !entry->isSelected()) return;
    const int row = taskList_->row(entry);
    selectingInCode_ = true;
    delete taskList_->takeItem(row);
    selectingInCode_ = false;
    SelectRow(std::min(row, taskList_->count() - 1));
}

void PlannerDialog::SelectRow(int row) {
    selectingInCode_ = true;
    if (row < 0) {
        taskList_->setCurrentRow(-1);
        taskList_->clearSelection();
    } else {
        taskList_->setCurrentRow(row);
    }
    selectingInCode_ = false;
}

void PlannerDialog::OkClicked() {
    if (!settings_) return;
    try {
        // The main window takes follow-on tasks from the file while the dialog is open, emptying
        // their slots. An entry loaded from a slot that no longer holds its line was taken and
        // has started (or was replaced by hand): writing it back would run it a second time.
        std::vector<std::string> lines;
        for (int i = 0; i < taskList_->count(); ++i) {
            const QListWidgetItem* entry = taskList_->item(i);
            const QVariant slot = entry->data(kSlotRole);
            if (slot.isValid()) {
                const std::string now = settings_->ReadString(kFollowingTasksSection, Std(SlotKey(slot.toInt())), "");
                if (now != Std(entry->data(kSlotLineRole).toString())) continue;
            }
            lines.push_back(Std(StoredLine(entry)));
        }
        // Slots are renumbered from 1 in list order; every slot behind the last is emptied.
        for (int slot = 1; slot <= kMaxTasks; ++slot) {
            const size_t index = static_cast<size_t>(slot - 1);
            settings_->WriteString(kFollowingTasksSection, Std(SlotKey(slot)),
                                   index < lines.size() ? lines[index] : std::string());
        }
    } catch (const std::exception& e) {
        ShowErrorBox(this, Text(e.what()));
        return;
    }
    accept();
}

// ---- Closing and painting ----------------------------------------------------------------------

void PlannerDialog::done(int result) {
    SetBoxes(TaskTexts{});
    QDialog::done(result);
}

void PlannerDialog::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    // Black at the top to full blue at the bottom, over the window's outer height.
    PaintFade(painter, width(), frameGeometry().height(), QColor(0, 0, 255));
    QFont bold = font();
    bold.setBold(true);
    painter.setFont(bold);
    PaintBoxCaption(painter, firstExponentBox_, -38, QStringLiteral("For n="));
    PaintBoxCaption(painter, lastExponentBox_, -16, QStringLiteral("to"));
    PaintBoxCaption(painter, lowKBox_, -38, QStringLiteral("For k="));
    PaintBoxCaption(painter, highKBox_, -16, QStringLiteral("to"));
    PaintBoxCaption(painter, clockBox_, -26, QStringLiteral("CPU"));
    PaintBoxCaption(painter, clockBox_, 46, QStringLiteral("Mhz"));
}

}  // namespace vontal
