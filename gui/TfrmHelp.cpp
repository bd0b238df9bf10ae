// The task planner and help dialog.
#include "gui/TfrmHelp.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>

#include <exception>
#include <string>
#include <vector>

namespace vontal {

namespace {

constexpr int kClientWidth = 540;
constexpr int kClientHeight = 330;
constexpr int kExponentBoxLength = 5;
constexpr int kMultiplierBoxLength = 18;
constexpr int kSpeedBoxLength = 4;
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

QFont ArialBold(int pixelSize) {
    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(pixelSize);
    font.setBold(true);
    return font;
}

QString Text(const std::string& s) { return QString::fromStdString(s); }
std::string Std(const QString& s) { return s.toStdString(); }

QString SlotKey(int slot) { return QStringLiteral("Task %1").arg(slot); }

bool IsDigit(QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); }

}  // namespace

TfrmHelp::TfrmHelp(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frmHelp"));
    setModal(true);
    setFont(ArialBold(12));
    setFixedSize(kClientWidth, kClientHeight);
    BuildControls();
}

void TfrmHelp::BuildControls() {
    auto box = [this](const char* name, int x, int y, int width) {
        auto* edit = new QLineEdit(this);
        edit->setObjectName(QString::fromLatin1(name));
        edit->setGeometry(x, y, width, 22);
        edit->installEventFilter(this);
        connect(edit, &QLineEdit::textChanged, this, [this] { edtF1Change(); });
        return edit;
    };
    edtF1 = box("edtF1", 56, 14, 60);
    edtF2 = box("edtF2", 136, 14, 60);
    edtK1 = box("edtK1", 56, 44, 150);
    edtK2 = box("edtK2", 226, 44, 150);
    edtSpeed = box("edtSpeed", 446, 14, 42);

    lblDay = new QLabel(QString::fromLatin1(kDynamicHelp), this);
    lblDay->setObjectName(QStringLiteral("lblDay"));
    lblDay->setGeometry(16, 74, 410, 32);
    lblDay->setWordWrap(true);
    QPalette yellow = lblDay->palette();
    yellow.setColor(QPalette::WindowText, Qt::yellow);
    lblDay->setPalette(yellow);

    lbTask = new QListWidget(this);
    lbTask->setObjectName(QStringLiteral("lbTask"));
    lbTask->setGeometry(16, 110, 410, 206);
    lbTask->setToolTip(QStringLiteral("Tasks list, which will be will be executed after end of the basic task."));
    connect(lbTask, &QListWidget::itemClicked, this, [this] { lbTaskClick(); });
    // Moving through the list with the keys copies the entry too; a selection the dialog makes
    // itself (loading, Delete) does not.
    connect(lbTask, &QListWidget::currentRowChanged, this, [this](int row) {
        if (!selectingInCode_ && row >= 0) lbTaskClick();
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
    btAddNew = button("btAddNew", "Add", "To add a new task, but no more than 10 tasks.", 110);
    btChange = button("btChange", "Change", "To change a task, on which there is a focus", 142);
    btDelete = button("btDelete", "Delete", "To remove a task from the list", 174);
    btOK = button("btOK", "OK", "To save the data from ListBox in ini a file and to close.", 258);
    btCancel = button("btCancel", "Cancel", "No to save change and to close.", 290);
    connect(btAddNew, &QPushButton::clicked, this, [this] { btAddNewClick(); });
    connect(btChange, &QPushButton::clicked, this, [this] { btChangeClick(); });
    connect(btDelete, &QPushButton::clicked, this, [this] { btDeleteClick(); });
    connect(btOK, &QPushButton::clicked, this, [this] { btOKClick(); });
    connect(btCancel, &QPushButton::clicked, this, &QDialog::reject);

    txtHelp = new QPlainTextEdit(this);
    txtHelp->setObjectName(QStringLiteral("txtHelp"));
    txtHelp->setReadOnly(true);
    txtHelp->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QFont guide(QStringLiteral("Arial"));
    guide.setPixelSize(13);
    guide.setBold(false);
    txtHelp->setFont(guide);
    txtHelp->setPlainText(HelpText());
    txtHelp->installEventFilter(this);
    txtHelp->hide();
}

// ---- Opening -----------------------------------------------------------------------------------

void TfrmHelp::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!event->spontaneous()) FormShow();
}

void TfrmHelp::FormShow() {
    check_ = TaskCheck{};  // exponents incomplete until the boxes say otherwise
    const bool help = mode_ == Mode::Help;
    for (QWidget* w : std::initializer_list<QWidget*>{edtF1, edtF2, edtK1, edtK2, edtSpeed, lblDay, lbTask,
                                                       btAddNew, btChange, btDelete, btOK, btCancel})
        w->setVisible(!help);
    if (help) {
        txtHelp->setGeometry(rect());
        txtHelp->show();
        txtHelp->moveCursor(QTextCursor::Start);
        txtHelp->setFocus();
        setWindowTitle(QStringLiteral("Help"));
        return;
    }
    txtHelp->hide();
    setWindowTitle(QString::fromLatin1(kPlannerCaption));
    SetBoxText(edtSpeed, QString::number(cpuMHz_));
    lblDay->setText(QString::fromLatin1(kDynamicHelp));
    lbTask->clear();
    LoadTasks();
    SetBoxes(TaskTexts{});
    edtF1->setFocus();
}

void TfrmHelp::LoadTasks() {
    if (!settings_) return;
    loading_ = true;
    for (int slot = 1; slot <= kMaxTasks; ++slot) {
        std::string line;
        try {
            line = settings_->ReadString(kFollowingTasksSection, Std(SlotKey(slot)), "");
        } catch (const std::exception& e) {
            ShowError(Text(e.what()));
            break;
        }
        if (line.empty()) continue;
        // The line goes in as read; if its values pass the check it becomes the entry with its
        // estimate. Otherwise (values that are not numbers, reversed ranges) it stays as read,
        // and OK writes it back unchanged.
        auto* entry = new QListWidgetItem(Text(line), lbTask);
        entry->setData(kStoredLineRole, Text(line));
        entry->setData(kSlotRole, slot);
        entry->setData(kSlotLineRole, Text(line));
        SelectRow(lbTask->row(entry));
        lbTaskClick();
        if (!check_.passes()) continue;
        if (AlreadyListed(entry)) {
            lblDay->setText(QString::fromLatin1(kAlreadyFilled));
            continue;
        }
        entry->setText(DisplayForm());
        entry->setData(kStoredLineRole, Text(FormatFollowingTaskLine(Boxes())));
    }
    loading_ = false;
}

// ---- The boxes and the check -------------------------------------------------------------------

void TfrmHelp::edtF1Change() {
    TaskCheck check = CheckTask(Boxes());
    check_ = check;
    if (!check.conversionError.empty()) {
        // The message line keeps what it showed; the user sees why in the error box.
        if (!loading_) ShowError(Text(check.conversionError));
        return;
    }
    lblDay->setText(Text(TaskCheckLine(check, Std(edtSpeed->text()))));
}

TaskTexts TfrmHelp::Boxes() const {
    return TaskTexts{Std(edtF1->text()), Std(edtF2->text()), Std(edtK1->text()), Std(edtK2->text())};
}

void TfrmHelp::SetBoxes(const TaskTexts& task) {
    SetBoxText(edtF1, Text(task.nMin));
    SetBoxText(edtF2, Text(task.nMax));
    SetBoxText(edtK1, Text(task.kMin));
    SetBoxText(edtK2, Text(task.kMax));
}

void TfrmHelp::SetBoxText(QLineEdit* box, const QString& text) {
    // Only a real change re-runs the check, so emptying boxes that are empty leaves the message.
    if (box->text() != text) box->setText(text);
}

QString TfrmHelp::DisplayForm() const {
    return Text(FormatFollowingTaskLine(Boxes()) + ", " + EstimateText(check_, Std(edtSpeed->text())));
}

bool TfrmHelp::AlreadyListed(const QListWidgetItem* except) const {
    // Tasks are compared by their four values, so the same task is found whatever estimate its
    // entry carries (the clock box may have changed since it was added).
    const TaskTexts task = Boxes();
    for (int i = 0; i < lbTask->count(); ++i) {
        const QListWidgetItem* entry = lbTask->item(i);
        if (entry != except && ParseFollowingTaskLine(Std(StoredLine(entry))) == task) return true;
    }
    return false;
}

QString TfrmHelp::StoredLine(const QListWidgetItem* entry) {
    return entry->data(kStoredLineRole).toString();
}

bool TfrmHelp::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress) return QDialog::eventFilter(watched, event);
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Escape) {
        reject();
        return true;
    }
    auto* box = qobject_cast<QLineEdit*>(watched);
    if (!box) return QDialog::eventFilter(watched, event);
    // Shortcuts, editing and navigation keys pass; typed characters are filtered. Pasted text
    // is not, and is checked like any other.
    if (key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) return false;
    const QString text = key->text();
    if (text.isEmpty() || !text.at(0).isPrint()) return false;
    const bool multiplier = box == edtK1 || box == edtK2;
    for (QChar c : text) {
        if (IsDigit(c)) continue;
        const bool letter = c == QLatin1Char('e') || c == QLatin1Char('E');
        if (!multiplier || !letter || box->text().contains(QLatin1Char('e'), Qt::CaseInsensitive)) return true;
    }
    const int limit = multiplier ? kMultiplierBoxLength : box == edtSpeed ? kSpeedBoxLength : kExponentBoxLength;
    return box->text().size() - box->selectedText().size() + text.size() > limit;
}

// ---- The list ----------------------------------------------------------------------------------

void TfrmHelp::lbTaskClick() {
    const QListWidgetItem* entry = lbTask->currentItem();
    if (!entry) return;
    SetBoxes(ParseFollowingTaskLine(Std(entry->text())));
}

void TfrmHelp::btAddNewClick() {
    if (lbTask->count() >= kMaxTasks) {
        lblDay->setText(QString::fromLatin1(kTooManyTasks));
        return;
    }
    if (!check_.passes()) return;
    if (AlreadyListed(nullptr)) {
        lblDay->setText(QString::fromLatin1(kAlreadyFilled));
        return;
    }
    auto* entry = new QListWidgetItem(DisplayForm(), lbTask);
    entry->setData(kStoredLineRole, Text(FormatFollowingTaskLine(Boxes())));
}

void TfrmHelp::btChangeClick() {
    QListWidgetItem* entry = lbTask->currentItem();
    // With nothing selected there is nothing to change.
    if (!entry || !entry->isSelected() || !check_.passes()) return;
    if (AlreadyListed(nullptr)) {
        lblDay->setText(QString::fromLatin1(kAlreadyFilled));
        return;
    }
    entry->setText(DisplayForm());
    entry->setData(kStoredLineRole, Text(FormatFollowingTaskLine(Boxes())));
    // A task changed here is the user's new task, whatever became of the one loaded in its place.
    entry->setData(kSlotRole, QVariant());
    entry->setData(kSlotLineRole, QVariant());
}

void TfrmHelp::btDeleteClick() {
    const QListWidgetItem* entry = lbTask->currentItem();
    if (!entry || !entry->isSelected()) return;
    const int row = lbTask->row(entry);
    selectingInCode_ = true;
    delete lbTask->takeItem(row);
    selectingInCode_ = false;
    SelectRow(std::min(row, lbTask->count() - 1));
}

void TfrmHelp::SelectRow(int row) {
    selectingInCode_ = true;
    if (row < 0) {
        lbTask->setCurrentRow(-1);
        lbTask->clearSelection();
    } else {
        lbTask->setCurrentRow(row);
    }
    selectingInCode_ = false;
}

void TfrmHelp::btOKClick() {
    if (!settings_) return;
    try {
        // The main window takes follow-on tasks from the file while the dialog is open, emptying
        // their slots. An entry loaded from a slot that no longer holds its line was taken and
        // has started (or was replaced by hand): writing it back would run it a second time.
        std::vector<std::string> lines;
        for (int i = 0; i < lbTask->count(); ++i) {
            const QListWidgetItem* entry = lbTask->item(i);
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
        ShowError(Text(e.what()));
        return;
    }
    accept();
}

// ---- Closing and painting ----------------------------------------------------------------------

void TfrmHelp::done(int result) {
    SetBoxes(TaskTexts{});
    QDialog::done(result);
}

void TfrmHelp::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    // Black at the top to full blue at the bottom, one line per row of the window's outer height.
    const int outerHeight = std::max(1, frameGeometry().height());
    const double step = 255.0 / outerHeight;
    for (int y = 0; y <= outerHeight; ++y) {
        painter.setPen(QColor(0, 0, std::min(255, static_cast<int>(y * step))));
        painter.drawLine(0, y, width(), y);
    }
    if (mode_ == Mode::Help) return;
    QFont bold = font();
    bold.setBold(true);
    painter.setFont(bold);
    painter.setPen(Qt::white);
    auto label = [&painter](const QLineEdit* box, int dx, const char* text) {
        const QPoint at(box->x() + dx, box->y() + 4);
        painter.drawText(QRect(at, QSize(60, box->height())), Qt::AlignLeft | Qt::AlignTop, QString::fromLatin1(text));
    };
    label(edtF1, -38, "For n=");
    label(edtF2, -16, "to");
    label(edtK1, -38, "For k=");
    label(edtK2, -16, "to");
    label(edtSpeed, -26, "CPU");
    label(edtSpeed, 46, "Mhz");
}

void TfrmHelp::ShowError(const QString& message) {
    qWarning("%s", qPrintable(message));
    // Not modal: it does not stop the typing, and tests can find it.
    auto* box = new QMessageBox(QMessageBox::Critical, QStringLiteral("Vontal factoring"), message,
                                QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("errorBox"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
}

}  // namespace vontal
