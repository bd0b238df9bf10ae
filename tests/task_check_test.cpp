// The one task check: the same texts give the same problem everywhere, each worded for the place
// where the user meets it.
#include <gtest/gtest.h>

#include <string>

#include "session/TaskCheck.h"
#include "settings/FollowingTasks.h"

namespace vontal {
namespace {

std::string Shown(const TaskTexts& t) {
    return "'" + t.nFirst + "', '" + t.nLast + "', '" + t.kLow + "', '" + t.kHigh + "'";
}

// At start-up a stored task that cannot run is reported; none, and a finished one, are not.
TEST(StoredTask, WhatKeepsItFromRunning) {
    const std::string frame = "The task saved in F cannot be continued: ";
    const struct {
        TaskTexts task;
        const char* window;       // the problem in the window's notice, after the frame
        const char* commandLine;  // vontal-cli's, after "cannot run: "
    } cases[] = {
        {{"30", "31", "1", "1e15"}, "", ""},
        {{"", "", "", ""}, "", ""},
        {{"32", "31", "1", "1e15"}, "", ""},  // finished
        {{"30", "31", "1", ""}, "the task is incomplete (missing or empty: kMax)", "it is incomplete"},
        {{"", "31", "", "9"}, "the task is incomplete (missing or empty: nTemp, kMin)", "it is incomplete"},
        {{"9", "3", "", "9"}, "the task is incomplete (missing or empty: kMin)", "it is incomplete"},
        {{"1x", "31", "1", "9"}, "'1x' is not a valid integer value", "'1x' is not a valid integer value"},
        {{"30", "31", "e5", "9"}, "'e5' is not a valid floating point value", "'e5' is not a valid floating point value"},
        {{"30", "31", "1", "99e17"}, "Invalid floating point operation", "Invalid floating point operation"},
        {{std::string("3\0" "0", 3), "31", "1", "9"}, "'3?0' is not a valid integer value",
         "'3?0' is not a valid integer value"},
        {{"7", "31", "1", "9"}, "the first exponent 7 is below 8", "the first exponent must be at least 8"},
        {{"9", "3", "1", "9"}, "the last exponent is below the first", "the last exponent is below the first"},
        {{"30", "31", "9", "1"}, "the highest k is below the lowest", "the highest k is below the lowest"},
        {{"30", "100000", "1", "9"}, "the last exponent 100000 is too large: exponents go up to 99999",
         "the last exponent must be at most 99999"},
        {{"30", "31", "-5", "0"}, "the highest k must be positive", "the highest k must be positive"},
    };
    for (const auto& c : cases) {
        const StoredTaskCheck stored = CheckStoredTask(c.task, "0");
        const bool problem = *c.window != '\0';
        EXPECT_EQ(!stored.continuable() && !stored.none && !stored.finished, problem) << Shown(c.task);
        if (!problem) continue;
        EXPECT_EQ(TaskProblemMessage(stored.check, c.task, Wording::WindowStored, "0", "F"), frame + c.window)
            << Shown(c.task);
        const std::string keys = "nTemp=" + c.task.nFirst + ", nMax=" + c.task.nLast + ", kMin=" + c.task.kLow +
                                 ", kMax=" + c.task.kHigh;
        EXPECT_EQ(TaskProblemMessage(stored.check, c.task, Wording::CommandLineStored, "0", "F"),
                  "the stored task (" + keys + ") cannot run: " + c.commandLine)
            << Shown(c.task);
    }
}

// The stored position is checked with the task: the window shows the conversion's words alone,
// vontal-cli names the key.
TEST(StoredTask, PositionThatIsNoNumber) {
    const TaskTexts task{"14", "14", "1", "100"};
    const StoredTaskCheck stored = CheckStoredTask(task, "12abc");
    EXPECT_FALSE(stored.continuable());
    EXPECT_EQ(TaskProblemMessage(stored.check, task, Wording::WindowStored, "12abc", "F"),
              "'12abc' is not a valid integer value");
    EXPECT_EQ(TaskProblemMessage(stored.check, task, Wording::CommandLineStored, "12abc", "F"),
              "the stored task (nTemp=14, nMax=14, kMin=1, kMax=100) cannot run: its position KTemp '12abc' is not a "
              "valid integer value");
    // The planner's line has no words for a position: none, rather than a crash.
    EXPECT_EQ(TaskProblemMessage(stored.check, task, Wording::PlannerLine, "12abc", "F"), "");
    EXPECT_EQ(CheckStoredTask(task, "-7").position, -7);
    EXPECT_TRUE(CheckStoredTask(task, "-7").continuable());
}

// A typed task: the window passes most problems over without a word, vontal-cli says each; the
// planner's line has its own four messages and estimates whatever ranges are in order.
TEST(TaskCheck, TypedTasksInEveryWording) {
    const struct {
        TaskTexts task;
        const char* window;
        const char* commandLine;
        const char* planner;
        bool rangesPass;
    } cases[] = {
        {{"", "20", "1", "100"}, "", "it needs the form \"n=A to B, k=C to D\"", "Values n`s not complete filled", false},
        {{"20", "20", "1", ""}, "", "it needs the form \"n=A to B, k=C to D\"", "Values k`s not complete filled", false},
        {{"7", "20", "1", "100"}, "", "the first exponent must be at least 8", "", true},
        {{"50", "49", "1", "100"}, "", "the last exponent is below the first", "Attention, values nMin > nMax", false},
        {{"20", "20", "100", "1"}, "", "the highest k is below the lowest", "Attention, values kMin > kMax", false},
        {{"8", "100000", "1", "100"}, "The last exponent 100000 is too large: exponents go up to 99999",
         "the last exponent must be at most 99999", "", true},
        {{"8", "20", "0", "0"}, "", "the highest k must be positive", "", true},
        {{"8x", "20", "1", "100"}, "'8x' is not a valid integer value", "'8x' is not a valid integer value",
         "Values n`s not complete filled", false},
        {{"8", "20", "1", "1e19"}, "Invalid floating point operation", "Invalid floating point operation",
         "Values k`s not complete filled", false},
        {{"8", "20", "3", "1000"}, "", "", "", true},
    };
    for (const auto& c : cases) {
        const TaskCheck check = CheckTask(c.task);
        EXPECT_EQ(check.rangesPass(), c.rangesPass) << Shown(c.task);
        EXPECT_EQ(TaskProblemMessage(check, c.task, Wording::WindowStart), c.window) << Shown(c.task);
        EXPECT_EQ(TaskProblemMessage(check, c.task, Wording::CommandLine), c.commandLine) << Shown(c.task);
        if (!c.rangesPass) EXPECT_EQ(TaskProblemMessage(check, c.task, Wording::PlannerLine), c.planner) << Shown(c.task);
    }
}

// Texts from a file or a server are inserted as they are: a brace in them is no placeholder.
TEST(TaskCheck, MessagesQuoteTextsAsTheyAre) {
    const TaskTexts task{"{n1}", "20", "1", "{file}"};
    const TaskCheck check = CheckTask(task);
    EXPECT_EQ(TaskProblemMessage(check, task, Wording::CommandLineStored, "0", "F"),
              "the stored task (nTemp={n1}, nMax=20, kMin=1, kMax={file}) cannot run: '{n1}' is not a valid integer "
              "value");
}

}  // namespace
}  // namespace vontal
