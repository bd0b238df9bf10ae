// How the program shows a failure and asks a question, the same in every window.
//
// A failure goes to the error output and into an error box that is never modal: the program runs
// unattended, and the search goes on behind the box. The same message still open is not shown
// twice, and at most five boxes stay open (the oldest gives way to the newest), so a control
// server that repeats a failing command cannot pile up boxes without end. A very long message is
// cut in the middle.
#pragma once

#include <QString>

class QWidget;

namespace vontal {

inline constexpr const char* kErrorBoxName = "errorBox";
inline constexpr const char* kQuestionBoxName = "question";
inline constexpr int kOpenErrorBoxes = 5;
inline constexpr int kLongestMessage = 1000;

// Shows `message` (carriage returns as line breaks) in an error box owned by `parent`.
void ShowErrorBox(QWidget* parent, const QString& message);

// A question with Yes and No, No by default; true for Yes. `question`: the question icon, else
// the information icon.
bool AskYesNo(QWidget* parent, const QString& text, bool question);

}  // namespace vontal
