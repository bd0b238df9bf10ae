// The task planner driven as a user drives it: typed keys, clicks on the list and the buttons,
// with "Vontal.ini" in a temporary directory.
#include <QAction>
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

#include "settings/FollowingTasks.h"
#include "settings/IniFile.h"
#include "gui/MainWindow.h"
#include "gui/HelpDialog.h"
#include "gui/PlannerDialog.h"
#include "session/TaskEstimate.h"

using namespace vontal;

namespace {

constexpr int kWait = 60000;  // room for a loaded machine

const char* const kIncompleteN = "Values n`s not complete filled";

// The prices of the planner's estimates here: fixed, so that the entries are the same on every
// machine (the estimate's arithmetic has tests of its own).
class TestPrices : public ICostSource {
public:
    SieveCost Sieve() override { return {1e-8, 2e-9, 0.07, 800'000}; }
    double SquaringSeconds(uint32_t, uint64_t) override { return 1e-9; }
};
TestPrices gPrices;

// The estimate text of a task at the given clock, the planner's clock being 400 MHz.
QString Estimate(const TaskTexts& task, const char* mhz = "400") {
    return QString::fromStdString(EstimateText(CheckTask(task), mhz, {&gPrices, 400, 1}));
}
QString Entry(const TaskTexts& task, const char* mhz = "400") {
    return QString::fromStdString(FormatFollowingTaskLine(task)) + ", " + Estimate(task, mhz);
}

// A planner over a settings file in a temporary directory, opened at 400 MHz.
class Planner {
public:
    explicit Planner(const QByteArray& iniText = {}) {
        if (!iniText.isNull()) {
            QFile file(path());
            if (file.open(QIODevice::WriteOnly)) file.write(iniText);
        }
        ini = std::make_unique<IniFile>(path().toStdString());
        dialog.SetSettings(ini.get());
        dialog.SetCpuMHz(400);
        dialog.SetCostSource(&gPrices);
    }
    ~Planner() {
        for (QMessageBox* box : dialog.findChildren<QMessageBox*>()) box->close();
    }

    void open() {
        dialog.show();
        QCoreApplication::processEvents();
    }
    QString path() const { return dir.filePath("Vontal.ini"); }
    QByteArray fileBytes() const {
        QFile file(path());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    QString slot(int i) const {
        return QString::fromStdString(ini->ReadString("Following tasks", "Task " + std::to_string(i), "<missing>"));
    }

    QLineEdit* box(const char* name) { return dialog.findChild<QLineEdit*>(name); }
    QListWidget* list() { return dialog.findChild<QListWidget*>("taskList"); }
    QString message() { return dialog.findChild<QLabel*>("messageLine")->text(); }
    QStringList entries() {
        QStringList texts;
        for (int i = 0; i < list()->count(); ++i) texts << list()->item(i)->text();
        return texts;
    }
    int errorBoxes() { return dialog.findChildren<QMessageBox*>("errorBox").size(); }

    void type(const char* name, const QString& text) { QTest::keyClicks(box(name), text); }
    void clearBox(const char* name) {
        box(name)->selectAll();
        QTest::keyClick(box(name), Qt::Key_Backspace);
    }
    // Types a task into the four boxes, replacing what they held.
    void typeTask(const QString& n1, const QString& n2, const QString& k1, const QString& k2) {
        const char* names[] = {"firstExponent", "lastExponent", "lowK", "highK"};
        const QString texts[] = {n1, n2, k1, k2};
        for (int i = 0; i < 4; ++i) {
            clearBox(names[i]);
            type(names[i], texts[i]);
        }
    }
    void press(const char* button) { QTest::mouseClick(dialog.findChild<QPushButton*>(button), Qt::LeftButton); }
    void clickEntry(int row) {
        QListWidget* l = list();
        QTest::mouseClick(l->viewport(), Qt::LeftButton, {}, l->visualItemRect(l->item(row)).center());
    }

    QTemporaryDir dir;
    std::unique_ptr<IniFile> ini;
    PlannerDialog dialog;
};

QByteArray Section(std::initializer_list<std::pair<int, const char*>> lines) {
    QByteArray text = "[f]\r\nnTemp=60\r\n[Following tasks]\r\n";
    for (const auto& [slot, line] : lines) text += "Task " + QByteArray::number(slot) + "=" + line + "\r\n";
    return text;
}

}  // namespace

class PlannerTest : public QObject {
    Q_OBJECT
private slots:
    void loadsGappedSlotsAndOkRenumbersThem();
    void emptySectionOpensEmpty();
    void messageLineFollowsEveryChange();
    void addRefusesAnEleventhTaskAndADuplicate();
    void noClockStillStoresThePlainLine();
    void cancelAndEscapeWriteNothing();
    void storedLineThatIsNotNumbersIsKeptAsRead();
    void changeReplacesTheSelectedEntryOnly();
    void deleteMovesTheSelection();
    void okDropsTasksTakenWhileOpen();
    void conversionErrorKeepsTheMessageLine();
    void helpDialogShowsTheGuide();
    void menuItemsOpenTheDialogs();
};

void PlannerTest::loadsGappedSlotsAndOkRenumbersThem() {
    Planner p(Section({{2, "n=50 to 50, k=20e12 to 30e12"},
                       {5, "n=51 to 51, k=1 to 1000000000000, Days ~ 999"},
                       {9, "n=100 to 200, k=1e12 to 1e13"}}));
    p.open();
    // The stored tail of the second line is replaced by a fresh estimate.
    QCOMPARE(p.entries(), QStringList({Entry({"50", "50", "20e12", "30e12"}), Entry({"51", "51", "1", "1000000000000"}),
                                       Entry({"100", "200", "1e12", "1e13"})}));
    QCOMPARE(p.box("firstExponent")->text(), QString());
    QCOMPARE(p.box("highK")->text(), QString());
    QCOMPARE(p.box("clockBox")->text(), QString("400"));
    QCOMPARE(p.message(), QString(kIncompleteN));
    QCOMPARE(p.dialog.windowTitle(), QString("Back other tasks and approximate time of their calculation"));

    p.press("okButton");
    QVERIFY(!p.dialog.isVisible());
    QCOMPARE(p.slot(1), QString("n=50 to 50, k=20e12 to 30e12"));
    QCOMPARE(p.slot(2), QString("n=51 to 51, k=1 to 1000000000000"));
    QCOMPARE(p.slot(3), QString("n=100 to 200, k=1e12 to 1e13"));
    for (int i = 4; i <= 10; ++i) QCOMPARE(p.slot(i), QString());  // present and empty, not missing
    QVERIFY(p.fileBytes().contains("[f]\r\nnTemp=60\r\n"));
    QVERIFY(p.fileBytes().contains("Task 10=\r\n"));
}

void PlannerTest::emptySectionOpensEmpty() {
    Planner p;
    p.open();
    QCOMPARE(p.list()->count(), 0);
    QCOMPARE(p.message(), QString("Dynamic help"));
    QCOMPARE(p.box("firstExponent")->text(), QString());
    // Reopening reloads from the file: an entry added and cancelled is gone.
    p.typeTask("50", "50", "20e12", "30e12");
    p.press("addButton");
    QCOMPARE(p.list()->count(), 1);
    p.press("cancelButton");
    p.open();
    QCOMPARE(p.list()->count(), 0);
    QCOMPARE(p.box("firstExponent")->text(), QString());
}

void PlannerTest::messageLineFollowsEveryChange() {
    Planner p;
    p.open();
    p.type("firstExponent", "60");
    QCOMPARE(p.message(), QString(kIncompleteN));
    p.type("lastExponent", "5");
    QCOMPARE(p.message(), QString("Attention, values nMin > nMax"));
    p.type("lastExponent", "0");  // 50
    QCOMPARE(p.message(), QString("Attention, values nMin > nMax"));
    p.clearBox("firstExponent");
    p.type("firstExponent", "50");
    QCOMPARE(p.message(), QString("Values k`s not complete filled"));
    p.type("lowK", "30e12");
    p.type("highK", "20e12");
    QCOMPARE(p.message(), QString("Attention, values kMin > kMax"));
    p.clearBox("lowK");
    QCOMPARE(p.message(), QString("Values k`s not complete filled"));
    p.type("lowK", "20e12");
    p.clearBox("highK");
    p.type("highK", "30e12");
    QCOMPARE(p.message(), Estimate({"50", "50", "20e12", "30e12"}));
    QVERIFY(p.dialog.check().passes());
    // The clock box is one of the five: the estimate follows it.
    p.clearBox("clockBox");
    QCOMPARE(p.message(), QString("Establish CPU Mhz"));
    p.type("clockBox", "800");
    QCOMPARE(p.message(), Estimate({"50", "50", "20e12", "30e12"}, "800"));
    QVERIFY(p.message() != Estimate({"50", "50", "20e12", "30e12"}));
    QCOMPARE(p.errorBoxes(), 0);
}

void PlannerTest::addRefusesAnEleventhTaskAndADuplicate() {
    {
        Planner p;
        p.open();
        p.typeTask("50", "50", "20e12", "30e12");
        p.press("addButton");
        p.press("addButton");
        QCOMPARE(p.message(), QString("Such task is already filled"));
        QCOMPARE(p.entries(), QStringList({Entry({"50", "50", "20e12", "30e12"})}));
        // The same task at another clock rate carries another estimate, and is still the same task.
        p.clearBox("clockBox");
        p.type("clockBox", "800");
        p.press("addButton");
        QCOMPARE(p.message(), QString("Such task is already filled"));
        QCOMPARE(p.list()->count(), 1);
        // Add does not move the selection.
        QVERIFY(p.list()->selectedItems().isEmpty());
    }
    {
        Planner p(Section({{1, "n=60 to 60, k=1 to 100"}, {2, "n=61 to 61, k=1 to 100"}, {3, "n=62 to 62, k=1 to 100"},
                           {4, "n=63 to 63, k=1 to 100"}, {5, "n=64 to 64, k=1 to 100"}, {6, "n=65 to 65, k=1 to 100"},
                           {7, "n=66 to 66, k=1 to 100"}, {8, "n=67 to 67, k=1 to 100"}, {9, "n=68 to 68, k=1 to 100"},
                           {10, "n=69 to 69, k=1 to 100"}}));
        p.open();
        QCOMPARE(p.list()->count(), 10);
        p.typeTask("70", "70", "1", "100");
        QCOMPARE(p.message(), Estimate({"70", "70", "1", "100"}));
        p.press("addButton");
        QCOMPARE(p.message(), QString("Maximum quantity of tasks 10"));
        QCOMPARE(p.list()->count(), 10);
    }
}

void PlannerTest::noClockStillStoresThePlainLine() {
    Planner p;
    p.open();
    p.clearBox("clockBox");
    p.typeTask("50", "50", "20e12", "30e12");
    p.press("addButton");
    QCOMPARE(p.entries(), QStringList({"n=50 to 50, k=20e12 to 30e12, Establish CPU Mhz"}));
    p.press("okButton");
    QCOMPARE(p.slot(1), QString("n=50 to 50, k=20e12 to 30e12"));
}

void PlannerTest::cancelAndEscapeWriteNothing() {
    // A file with comments, odd spacing and other sections: every byte must survive.
    const QByteArray original = "; kept by hand\r\n[f]\r\nnTemp=60\r\n\r\n[Following tasks]\r\nTask 3 = n=50 to 50, "
                                "k=20e12 to 30e12\r\nTask 7=n=60 to 61, k=1 to 5\r\n[other]\r\nx=1\r\n";
    for (int way = 0; way < 3; ++way) {
        Planner p(original);
        p.open();
        QCOMPARE(p.list()->count(), 2);
        p.typeTask("80", "90", "3", "1e6");
        p.press("addButton");
        p.clickEntry(0);
        p.press("deleteButton");
        QCOMPARE(p.list()->count(), 2);
        if (way == 0) {
            p.press("cancelButton");
        } else if (way == 1) {
            QTest::keyClick(p.box("highK"), Qt::Key_Escape);
        } else {
            p.dialog.close();  // the window's close box
        }
        QVERIFY(!p.dialog.isVisible());
        QCOMPARE(p.fileBytes(), original);
        // Every closing empties the four boxes.
        QCOMPARE(p.box("firstExponent")->text(), QString());
        QCOMPARE(p.box("highK")->text(), QString());
    }
}

void PlannerTest::storedLineThatIsNotNumbersIsKeptAsRead() {
    Planner p(Section({{1, "n=abc to 5, k=1 to 2"}, {3, "n=60 to 50, k=1 to 2"}, {4, "n=50 to 50, k=20e12 to 30e12"},
                       {6, "n=50 to 50, k=e5 to 9e99, whatever"}}));
    p.open();
    // Lines whose values do not pass stay as read, without an estimate; the others load normally.
    QCOMPARE(p.entries(), QStringList({"n=abc to 5, k=1 to 2", "n=60 to 50, k=1 to 2",
                                       Entry({"50", "50", "20e12", "30e12"}),
                                       "n=50 to 50, k=e5 to 9e99, whatever"}));
    QCOMPARE(p.errorBoxes(), 0);  // opening does not pester the user with stored text
    QCOMPARE(p.message(), QString(kIncompleteN));
    p.press("okButton");
    QCOMPARE(p.slot(1), QString("n=abc to 5, k=1 to 2"));
    QCOMPARE(p.slot(2), QString("n=60 to 50, k=1 to 2"));
    QCOMPARE(p.slot(3), QString("n=50 to 50, k=20e12 to 30e12"));
    QCOMPARE(p.slot(4), QString("n=50 to 50, k=e5 to 9e99, whatever"));
    QCOMPARE(p.slot(5), QString());
}

void PlannerTest::changeReplacesTheSelectedEntryOnly() {
    Planner p;
    p.open();
    // Add into an empty list selects nothing, so Change has nothing to change.
    p.typeTask("50", "50", "20e12", "30e12");
    p.press("addButton");
    p.typeTask("51", "51", "1", "1e12");
    p.press("changeButton");
    QCOMPARE(p.entries(), QStringList({Entry({"50", "50", "20e12", "30e12"})}));
    p.press("addButton");
    QCOMPARE(p.list()->count(), 2);

    // A click copies the entry into the boxes; Change on it unchanged is a duplicate.
    p.clickEntry(0);
    QCOMPARE(p.box("firstExponent")->text(), QString("50"));
    QCOMPARE(p.box("lowK")->text(), QString("20e12"));
    QCOMPARE(p.box("highK")->text(), QString("30e12"));
    QCOMPARE(p.message(), Estimate({"50", "50", "20e12", "30e12"}));
    p.press("changeButton");
    QCOMPARE(p.message(), QString("Such task is already filled"));
    // Changed into a task of the list: refused too.
    p.typeTask("51", "51", "1", "1e12");
    p.press("changeButton");
    QCOMPARE(p.message(), QString("Such task is already filled"));
    p.typeTask("100", "200", "1e12", "1e13");
    p.press("changeButton");
    QCOMPARE(p.entries(), QStringList({Entry({"100", "200", "1e12", "1e13"}), Entry({"51", "51", "1", "1e12"})}));
    // An invalid task changes nothing.
    p.clearBox("highK");
    p.press("changeButton");
    QCOMPARE(p.list()->item(0)->text(), Entry({"100", "200", "1e12", "1e13"}));
    p.press("okButton");
    QCOMPARE(p.slot(1), QString("n=100 to 200, k=1e12 to 1e13"));
    QCOMPARE(p.slot(2), QString("n=51 to 51, k=1 to 1e12"));
}

void PlannerTest::deleteMovesTheSelection() {
    Planner p(Section({{1, "n=60 to 60, k=1 to 100"}, {2, "n=61 to 61, k=1 to 100"}, {3, "n=62 to 62, k=1 to 100"}}));
    p.open();
    p.press("deleteButton");  // loading leaves the last entry selected
    QCOMPARE(p.list()->count(), 2);
    QCOMPARE(p.list()->currentRow(), 1);
    p.clickEntry(0);
    p.press("deleteButton");
    // The entry that moved into its place is selected; the boxes keep their texts.
    QCOMPARE(p.entries(), QStringList({Entry({"61", "61", "1", "100"})}));
    QCOMPARE(p.list()->currentRow(), 0);
    QCOMPARE(p.box("firstExponent")->text(), QString("60"));
    p.press("deleteButton");
    QCOMPARE(p.list()->count(), 0);
    QVERIFY(p.list()->selectedItems().isEmpty());
    p.press("deleteButton");  // nothing left: nothing happens
    p.press("okButton");
    for (int i = 1; i <= 10; ++i) QCOMPARE(p.slot(i), QString());
}

void PlannerTest::okDropsTasksTakenWhileOpen() {
    Planner p(Section({{2, "n=50 to 50, k=20e12 to 30e12"}, {4, "n=51 to 51, k=1 to 1e12"},
                       {6, "n=52 to 52, k=1 to 1e12"}}));
    p.open();
    QCOMPARE(p.list()->count(), 3);
    // The user edits the third entry and adds one.
    p.clickEntry(2);
    p.typeTask("53", "53", "1", "1e12");
    p.press("changeButton");
    p.typeTask("54", "54", "1", "1e12");
    p.press("addButton");
    // Meanwhile the main window finishes its task and takes the next two from the file.
    QVERIFY(TakeNextFollowingTask(*p.ini).has_value());
    QVERIFY(TakeNextFollowingTask(*p.ini).has_value());
    QCOMPARE(p.slot(2), QString());
    QCOMPARE(p.slot(4), QString());
    p.press("okButton");
    // The two tasks already started are not queued again; the edited and the new one are kept.
    QCOMPARE(p.slot(1), QString("n=53 to 53, k=1 to 1e12"));
    QCOMPARE(p.slot(2), QString("n=54 to 54, k=1 to 1e12"));
    for (int i = 3; i <= 10; ++i) QCOMPARE(p.slot(i), QString());
}

void PlannerTest::conversionErrorKeepsTheMessageLine() {
    Planner p;
    p.open();
    p.typeTask("50", "50", "", "30e12");
    QCOMPARE(p.message(), QString("Values k`s not complete filled"));
    // A k box may not begin with its letter: the user is told, and the line stays.
    p.type("lowK", "e");
    QTRY_COMPARE_WITH_TIMEOUT(p.errorBoxes(), 1, kWait);
    QCOMPARE(p.dialog.findChild<QMessageBox*>("errorBox")->text(), QString("'e' is not a valid floating point value"));
    QCOMPARE(p.message(), QString("Values k`s not complete filled"));
    p.press("addButton");
    QCOMPARE(p.list()->count(), 0);
    // A k of 2^63 or more does not fit.
    p.clearBox("lowK");
    p.type("lowK", "1");
    QCOMPARE(p.message(), Estimate({"50", "50", "1", "30e12"}));
    p.clearBox("highK");
    p.type("highK", "9e19");
    QTRY_COMPARE_WITH_TIMEOUT(p.errorBoxes(), 2, kWait);
    // The line as it was before the failing keystroke.
    QCOMPARE(p.message(), Estimate({"50", "50", "1", "9e1"}));
}

void PlannerTest::helpDialogShowsTheGuide() {
    HelpDialog help;
    help.show();
    auto* text = help.findChild<QPlainTextEdit*>("helpText");
    QVERIFY(text->isVisible());
    QVERIFY(text->isReadOnly());
    QCOMPARE(text->geometry(), help.rect());
    QCOMPARE(help.windowTitle(), QString("Help"));
    const QString guide = text->toPlainText();
    for (const char* needed : {"k*2^n + 1", "35e11", "Result.txt", "Vontal.log", "CODO", "yellow", "green", "red",
                               "Task 1=n=50 to 50, k=20e12 to 30e12", "31415", "Idle", "OldProg=1",
                               "~/.config/autostart/Vontal.desktop", "isHidden=0", "Clear Result Box",
                               "NO WARRANTY"})
        QVERIFY2(guide.contains(needed), needed);
    QTest::keyClick(text, Qt::Key_Escape);
    QVERIFY(!help.isVisible());
    // The planner has no guide of its own.
    Planner p;
    QVERIFY(!p.dialog.findChild<QPlainTextEdit*>());
}

void PlannerTest::menuItemsOpenTheDialogs() {
    QTemporaryDir dir;
    {
        QFile file(dir.filePath("Vontal.ini"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[f]\r\nisHidden=1\r\n[Following tasks]\r\nTask 4=n=50 to 50, k=20e12 to 30e12\r\n");
    }
    MainWindowOptions options;
    options.programDir = dir.path();
    options.cpuMHz = 800;
    MainWindow form(options);
    QTRY_VERIFY_WITH_TIMEOUT(form.started(), kWait);

    // Each item opens a modal dialog; the check runs inside its loop and closes it.
    auto openAndInspect = [&form](const char* item, const std::function<void(QDialog*)>& inspect) {
        bool seen = false;
        QTimer::singleShot(0, &form, [&] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (!dialog) return;
            seen = true;
            inspect(dialog);
            dialog->reject();
        });
        form.findChild<QAction*>(item)->trigger();
        QVERIFY2(seen, item);
    };
    openAndInspect("plannerAction", [](QDialog* dialog) {
        QCOMPARE(dialog->objectName(), QString("plannerDialog"));
        QCOMPARE(dialog->findChild<QLineEdit*>("clockBox")->text(), QString("800"));
        auto* list = dialog->findChild<QListWidget*>("taskList");
        QCOMPARE(list->count(), 1);
        // This machine's measured speed: a duration in one of the planner's units.
        const QString entry = list->item(0)->text();
        QVERIFY2(QRegularExpression("^n=50 to 50, k=20e12 to 30e12, (Days|Hours|Minutes|Seconds) ~ [0-9]+$")
                     .match(entry)
                     .hasMatch(),
                 qPrintable(entry));
    });
    openAndInspect("helpAction", [](QDialog* dialog) {
        QCOMPARE(dialog->windowTitle(), QString("Help"));
        QVERIFY(dialog->findChild<QPlainTextEdit*>("helpText")->isVisible());
    });
    openAndInspect("aboutAction", [](QDialog* dialog) {
        QCOMPARE(dialog->objectName(), QString("aboutDialog"));
        QVERIFY(dialog->findChild<QLabel*>("aboutText")->text().startsWith("Vontal 4.4\n"));
    });
}

QTEST_MAIN(PlannerTest)
#include "planner_test.moc"
