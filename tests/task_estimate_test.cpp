// The planner's task check and run-time estimate.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "engine/Kernel.h"
#include "engine/Sieve.h"
#include "session/TaskEstimate.h"

using namespace vontal;

namespace {

// Prices that make the arithmetic plain at n = 100: only the tests cost, one microsecond a
// squaring, and every odd k survives the sieve.
class MicrosecondSquarings : public ICostSource {
public:
    SieveCost Sieve() override { return {0, 0, 1, PrimeCountFor(100)}; }
    double SquaringSeconds(uint32_t, uint64_t) override { return 1e-6; }
};

TEST(Estimate, DurationText) {
    struct Case {
        double seconds;
        const char* text;
    } cases[] = {
        {0, "Seconds ~ 1"},          {0.2, "Seconds ~ 1"},          {59.9, "Seconds ~ 59"},
        {60, "Minutes ~ 1"},         {3599, "Minutes ~ 59"},        {3600, "Hours ~ 1"},
        {86399, "Hours ~ 23"},       {86400, "Days ~ 1"},           {3 * 86400 + 86399, "Days ~ 3"},
        {190164.5 * 86400, "Days ~ 190164"},
        // Beyond 10^15 days the count is written in exponent form.
        {1.5e20 * 86400, "Days ~ 1.5E20"},
        {-5, "Seconds ~ 1"},
    };
    for (const Case& c : cases) EXPECT_EQ(DurationText(c.seconds), c.text) << c.seconds;
}

TEST(Estimate, ThisMachineAndAnotherClock) {
    MicrosecondSquarings prices;
    const EstimateBasis basis{&prices, 2400, 1};
    // n = 100, k of 41 binary digits: 5 * 10^11 odd k, each tested with the squarings from the
    // first m compared to the last.
    const TaskCheck check = CheckTask({"100", "100", "11e11", "21e11"});
    ASSERT_TRUE(check.rangesPass());
    const double here = EstimateSeconds(check, 2400, basis);
    const uint64_t k = 1'100'000'000'001;
    EXPECT_NEAR(here, 5e11 * (LastMTested(k, 100) - FirstMTested(k, 100) + 1) * 1e-6, here * 1e-9);
    EXPECT_EQ(EstimateText(check, "2400", basis), DurationText(here));
    // A processor of twice the clock takes half the time; one of a tenth, ten times as long.
    EXPECT_NEAR(EstimateSeconds(check, 4800, basis), here / 2, here * 1e-9);
    EXPECT_EQ(EstimateText(check, "240", basis), DurationText(here * 10));
    // Two cores.
    EXPECT_NEAR(EstimateSeconds(check, 2400, {&prices, 2400, 2}), here / 2, here * 1e-9);
    for (const char* speed : {"", "0", "fast", "-5"}) EXPECT_EQ(EstimateText(check, speed, basis), "Establish CPU Mhz") << speed;
    // A task that does not pass says why instead.
    EXPECT_EQ(TaskCheckLine(CheckTask({"60", "5", "1", "2"}), "2400", basis), "Attention, values nMin > nMax");
    // Small tasks read in the unit that fits: 5 * 10^5 odd k, 92 squarings each (m from 7 to 98).
    EXPECT_EQ(TaskCheckLine(CheckTask({"100", "100", "1", "1e6"}), "2400", basis), "Seconds ~ 45");
}

TEST(TaskCheck, StatesInOrderOfTheSteps) {
    struct Case {
        TaskTexts task;
        TaskProblem problem;
        const char* message;
    } cases[] = {
        {{"", "60", "1", "2"}, TaskProblem::ExponentsIncomplete, "Values n`s not complete filled"},
        {{"60", "", "", ""}, TaskProblem::ExponentsIncomplete, "Values n`s not complete filled"},
        {{"60", "5", "1", "2"}, TaskProblem::ExponentsReversed, "Attention, values nMin > nMax"},
        {{"60", "60", "", "2"}, TaskProblem::MultipliersIncomplete, "Values k`s not complete filled"},
        {{"60", "61", "3", ""}, TaskProblem::MultipliersIncomplete, "Values k`s not complete filled"},
        {{"60", "61", "35e11", "3499999999999"}, TaskProblem::MultipliersReversed, "Attention, values kMin > kMax"},
        {{"60", "60", "35e11", "3500000000000"}, TaskProblem::None, ""},
    };
    for (const Case& c : cases) {
        const TaskCheck check = CheckTask(c.task);
        EXPECT_EQ(check.problem, c.problem) << FormatFollowingTaskLine(c.task);
        EXPECT_EQ(TaskProblemMessage(check, c.task, Wording::PlannerLine), c.message) << FormatFollowingTaskLine(c.task);
        EXPECT_TRUE(check.conversionError.empty());
    }
}

TEST(TaskCheck, ValuesOfAPassingTask) {
    // A letter at the end counts as the exponent 0, so "35E" on its way to "35E11" is 35.
    const TaskCheck check = CheckTask({"50", "60", "35E", "35e11"});
    ASSERT_TRUE(check.passes());
    EXPECT_EQ(check.nFirst, 50u);
    EXPECT_EQ(check.nLast, 60u);
    EXPECT_EQ(check.kLow, 35);
    EXPECT_EQ(check.kHigh, 3'500'000'000'000);
}

TEST(TaskCheck, ConversionFailureStopsAtTheStateReached) {
    struct Case {
        TaskTexts task;
        TaskProblem problem;
        const char* error;
    } cases[] = {
        {{"5x", "60", "1", "2"}, TaskProblem::ExponentsIncomplete, "'5x' is not a valid integer value"},
        {{"50", "60", "e5", "9"}, TaskProblem::MultipliersIncomplete, "'e5' is not a valid floating point value"},
        {{"50", "60", "1", "9e20"}, TaskProblem::MultipliersIncomplete, "Invalid floating point operation"},
        {{"50", "60", "1", "9223372036854775808"}, TaskProblem::MultipliersIncomplete,
         "Invalid floating point operation"},
    };
    for (const Case& c : cases) {
        const TaskCheck check = CheckTask(c.task);
        EXPECT_EQ(check.problem, c.problem) << FormatFollowingTaskLine(c.task);
        EXPECT_EQ(check.conversionError, c.error);
    }
}

TEST(TaskCheck, PastedNegativeExponentWrapsAndIsReversed) {
    // "-5" becomes a huge unsigned exponent, larger than the last one.
    EXPECT_EQ(CheckTask({"-5", "60", "1", "2"}).problem, TaskProblem::ExponentsReversed);
}

TEST(FormatDays, GeneralNumberFormat) {
    struct Case {
        long double days;
        const char* text;
    } cases[] = {
        {0, "0"},
        {190164, "190164"},
        {999'999'999'999'999.0L, "999999999999999"},
        {1e15L, "1E15"},
        {1.5e20L, "1.5E20"},
        {123'456'789'012'345'678.0L, "1.23456789012346E17"},
    };
    for (const Case& c : cases) EXPECT_EQ(FormatDays(c.days), c.text);
}

}  // namespace
