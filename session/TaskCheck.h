// The one task check: four task texts become a task the engine can search, or a problem, worded
// from one table for wherever the user meets it.
#pragma once

#include <cstdint>
#include <string>

#include "engine/SearchTask.h"
#include "settings/FollowingTasks.h"

namespace vontal {

// The first problem found, in the order of the steps, left to right as the boxes are filled in:
// the exponents (present, numbers, in order), then the multipliers (likewise), then whether the
// ranges can be searched.
enum class TaskProblem {
    None = 0,
    ExponentsIncomplete,    // an exponent text is empty
    ExponentsReversed,      // first exponent greater than last
    MultipliersIncomplete,  // a k text is empty
    MultipliersReversed,    // lowest k greater than highest k
    FirstExponentBelow8,    // exponents below 8 are not searched
    LastExponentTooLarge,   // beyond kMaxExponent
    HighestKNotPositive,    // no odd k of 3 or more lies in the range
    PositionNotANumber,     // a stored task's "KTemp"; set by CheckStoredTask only
};

struct TaskCheck {
    // A text that does not convert (pasted text, a k beginning with its exponent letter, a k of
    // 2^63 or more) leaves `problem` at the step reached, ExponentsIncomplete or
    // MultipliersIncomplete, with the conversion's message in conversionError; the values after
    // the failing one are then unset.
    TaskProblem problem = TaskProblem::ExponentsIncomplete;
    std::string conversionError;
    // The values: a pasted sign on an exponent wraps as an unsigned 32-bit value would.
    uint32_t nFirst = 0, nLast = 0;
    int64_t kLow = 0, kHigh = 0;

    bool passes() const { return problem == TaskProblem::None && conversionError.empty(); }
    // Whether the ranges are complete, numbers and in order, whatever their size: what the
    // planner needs to estimate a follow-on task.
    bool rangesPass() const;
    // The task to search; only when passes().
    SearchTask Task(const TaskTexts& texts) const;
};

// Checks the four texts. Never throws: a conversion failure is reported in conversionError.
TaskCheck CheckTask(const TaskTexts& texts);

// A task stored in the settings file: none (all four texts empty), finished (its first exponent
// past its last, as a completed task leaves it), or one to continue, with the check of its texts
// (a key missing among the others makes it incomplete before anything else) and of its stored
// position.
struct StoredTaskCheck {
    bool none = false;
    bool finished = false;
    TaskCheck check;
    int64_t position = 0;  // "KTemp", when it is a decimal integer

    bool continuable() const { return !none && !finished && check.passes(); }
};
StoredTaskCheck CheckStoredTask(const TaskTexts& texts, const std::string& positionText);

// Where the user meets a problem, and so how it is worded.
enum class Wording {
    PlannerLine,        // the planner's message line
    WindowStart,        // Start or Continue in the window: most problems refuse without a word
    WindowStored,       // the window's notice at start-up about the stored task
    CommandLine,        // vontal-cli's --task
    CommandLineStored,  // vontal-cli on the stored task
};

// What to tell the user, from the one table of messages; empty when the problem is passed over
// without a word (or there is none). For a stored task, `texts` and `positionText` are what the
// file holds and `file` its path, which the stored wordings quote.
std::string TaskProblemMessage(const TaskCheck& check, const TaskTexts& texts, Wording wording,
                               const std::string& positionText = {}, const std::string& file = {});

}  // namespace vontal
