// The planner's task check and run-time estimate.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "session/TaskEstimate.h"

using namespace vontal;

namespace {

struct EstimateCase {
    const char* what;
    TaskTexts task;
    const char* speed;
    const char* expected;
};

class EstimateTest : public ::testing::TestWithParam<EstimateCase> {};

TEST_P(EstimateTest, MessageLine) {
    const EstimateCase& c = GetParam();
    const TaskCheck check = CheckTask(c.task);
    ASSERT_TRUE(check.rangesPass()) << c.what;
    EXPECT_EQ(TaskCheckLine(check, c.speed), c.expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    WorkedExamples, EstimateTest,
    ::testing::Values(
        // W = 100, K = 10^13 + 1: 83.3 days at 400 MHz, half as many at 800.
        EstimateCase{"first law", {"50", "50", "20e12", "30e12"}, "400", "Days ~ 83"},
        EstimateCase{"twice the clock", {"50", "50", "20e12", "30e12"}, "800", "Days ~ 41"},
        EstimateCase{"no clock", {"50", "50", "20e12", "30e12"}, "", "Establish CPU Mhz"},
        EstimateCase{"clock zero", {"50", "50", "20e12", "30e12"}, "0", "Establish CPU Mhz"},
        EstimateCase{"pasted clock", {"50", "50", "20e12", "30e12"}, "fast", "Establish CPU Mhz"},
        // W = 52^3 - 51^3 = 7957.
        EstimateCase{"second law", {"51", "51", "1", "1000000000000"}, "400", "Days ~ 23"},
        // W = 7,120,601, K = 9*10^12 + 1: W*K is about 6.4e19, beyond 2^64.
        EstimateCase{"product beyond 64 bits", {"100", "200", "1e12", "1e13"}, "400", "Days ~ 190164"},
        // The first exponent alone picks the law: (40 + 60) * 21 = 2100 per k gives 174.9999
        // days (the second law would give 483).
        EstimateCase{"first law for a range across 50", {"40", "60", "2", "1e12"}, "400", "Days ~ 174"},
        EstimateCase{"under a day", {"8", "8", "3", "1000"}, "9999", "Days ~ 0"},
        // The largest values the boxes take: no overflow, the count in exponent form.
        EstimateCase{"widest first law", {"1", "99999", "0", "9223372036854775807"}, "1",
                     "Days ~ 3.0744266010448E18"},
        EstimateCase{"widest second law, pasted signs", {"51", "99999", "-9223372036854775808", "9223372036854775807"},
                     "1", "Days ~ 2.18952451884422E22"}),
    [](const ::testing::TestParamInfo<EstimateCase>& info) {
        std::string name = info.param.what;
        for (char& c : name)
            if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        return name;
    });

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
