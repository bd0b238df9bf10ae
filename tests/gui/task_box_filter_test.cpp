// The keystroke filter of the task boxes, once, as a table; and which boxes of the main window
// and the planner it watches, as which kind.
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>

#include "WindowFixture.h"
#include "gui/PlannerDialog.h"
#include "gui/TaskBoxFilter.h"

using namespace vontal;

Q_DECLARE_METATYPE(vontal::TaskBoxKind)

class TaskBoxFilterTest : public QObject {
    Q_OBJECT
private slots:
    void typedKeys_data() {
        QTest::addColumn<TaskBoxKind>("kind");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("shown");
        const auto exponent = TaskBoxKind::Exponent, multiplier = TaskBoxKind::Multiplier, clock = TaskBoxKind::Clock;
        QTest::newRow("k notation") << multiplier << "35e11" << "35e11";
        QTest::newRow("second e refused") << multiplier << "35e11e" << "35e11";
        QTest::newRow("e after E refused") << multiplier << "3E5e7" << "3E57";
        QTest::newRow("letters in either case") << multiplier << "35E1e1E" << "35E11";
        QTest::newRow("point and minus refused") << multiplier << "1.5-2" << "152";
        QTest::newRow("k box takes 18") << multiplier << "12345678901234567890" << "123456789012345678";
        QTest::newRow("letter in n box") << exponent << "1a2e" << "12";
        QTest::newRow("n box takes 5") << exponent << "1234567" << "12345";
        QTest::newRow("clock takes digits, 4 of them") << clock << "e2400x1" << "2400";
    }
    void typedKeys() {
        QFETCH(TaskBoxKind, kind);
        QFETCH(QString, typed);
        QFETCH(QString, shown);
        QLineEdit box;
        TaskBoxFilter filter;
        filter.Watch(&box, kind);
        QTest::keyClicks(&box, typed);
        QCOMPARE(box.text(), shown);
        // Backspace still edits, and a letter may come back once the old one is gone.
        QTest::keyClick(&box, Qt::Key_Backspace);
        QCOMPARE(box.text(), shown.chopped(1));
        if (kind == TaskBoxKind::Multiplier && shown.contains('e', Qt::CaseInsensitive)) {
            box.setText("2e");
            QTest::keyClick(&box, Qt::Key_Backspace);
            QTest::keyClicks(&box, "E7");
            QCOMPARE(box.text(), QString("2E7"));
        }
        // Text set from outside (a settings file, the control server) is not cut.
        box.setText("123456789012345678901234");
        QCOMPARE(box.text().size(), 24);
    }

    // Every task box of the window and the planner is watched, as its kind: "1e2x3" shows what
    // the box let through.
    void boxesAreWatched() {
        testing::WindowFixture f;
        f.open();
        QTemporaryDir dir;
        PlannerDialog planner;
        const struct {
            QWidget* owner;
            const char* box;
            const char* shown;
        } rows[] = {
            {f.form.get(), "firstExponent", "123"}, {f.form.get(), "lastExponent", "123"},
            {f.form.get(), "lowK", "1e23"},         {f.form.get(), "highK", "1e23"},
            {&planner, "firstExponent", "123"},     {&planner, "lastExponent", "123"},
            {&planner, "lowK", "1e23"},             {&planner, "highK", "1e23"},
            {&planner, "clockBox", "123"},
        };
        for (const auto& r : rows) {
            auto* box = r.owner->findChild<QLineEdit*>(r.box);
            QVERIFY2(box, r.box);
            box->clear();
            QTest::keyClicks(box, "1e2x3");
            QCOMPARE(box->text(), QString(r.shown));
        }
    }
};

QTEST_MAIN(TaskBoxFilterTest)
#include "task_box_filter_test.moc"
