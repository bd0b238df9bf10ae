// The keystroke filter of every task box, in the main window and the planner: exponent boxes take
// digits, multiplier boxes also one exponent letter e or E ("35e11"), each up to its length.
// Shortcuts, editing and navigation keys pass; pasted text is not filtered (the task check
// refuses what does not convert).
#pragma once

#include <QObject>
#include <QString>

class QLineEdit;

namespace vontal {

enum class TaskBoxKind { Exponent, Multiplier, Clock };

// Whether a typed character may go into a box of this kind that holds `boxText`.
bool TaskBoxAccepts(TaskBoxKind kind, const QString& boxText, QChar c);
// Characters a box of this kind holds when typed into: 5 for an exponent, 18 for a multiplier,
// 4 for a clock rate in MHz.
int TaskBoxLength(TaskBoxKind kind);

class TaskBoxFilter : public QObject {
public:
    using QObject::QObject;
    // Filters the keys typed into `box` from now on.
    void Watch(QLineEdit* box, TaskBoxKind kind);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

}  // namespace vontal
