#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <sstream>

#include "NvCodecUtils.h"

namespace {

using simplelogger::LogLine;

class StringLogger : public simplelogger::Logger {
  public:
    StringLogger(int threshold, bool timestamp) : Logger(threshold, timestamp) {}
    std::ostream& OutputStream() override {
        ++streamRequests;
        return text;
    }
    std::ostringstream text;
    int streamRequests = 0;
};

std::string logOnce(StringLogger& logger, int severity, const char* message) {
    { LogLine(&logger, severity, "file", 1, "function").stream() << message; }
    return logger.text.str();
}

TEST(LoggerLead, LabelsArePaddedToFivePlaces) {
    const char* expected[] = {"[TRACE] m\n", "[INFO ] m\n", "[WARN ] m\n", "[ERROR] m\n"};
    for (int severity = 0; severity < 4; ++severity) {
        StringLogger logger(simplelogger::TRACE, false);
        EXPECT_EQ(logOnce(logger, severity, "m"), expected[severity]);
    }
}

TEST(LoggerLead, UnknownSeveritiesGetQuestionMarks) {
    for (int severity : {7, -1}) {
        // -1 lies below every real threshold; a lower one lets it through.
        StringLogger logger(-100, true);
        EXPECT_EQ(logOnce(logger, severity, "x"), "[?????] x\n") << severity;
    }
}

TEST(LoggerLead, TimestampIsZeroPaddedLocalTime) {
    StringLogger logger(simplelogger::INFO, true);
    const std::string line = logOnce(logger, simplelogger::WARN, "hello");
    EXPECT_TRUE(std::regex_match(
        line, std::regex(R"(\[WARN \]\[[0-2][0-9]:[0-5][0-9]:[0-6][0-9]\] hello\n)")))
        << line;
}

TEST(LoggerThreshold, LinesBelowItWriteNothingAndNeverTouchTheStream) {
    StringLogger logger(simplelogger::WARN, false);
    EXPECT_EQ(logOnce(logger, simplelogger::INFO, "quiet"), "");
    EXPECT_EQ(logger.streamRequests, 0);
    EXPECT_EQ(logOnce(logger, simplelogger::WARN, "loud"), "[WARN ] loud\n");
}

TEST(LoggerWithoutLogger, LeadIsDashesOnStandardOutputAndFatalDoesNotExit) {
    testing::internal::CaptureStdout();
    { LogLine(nullptr, simplelogger::FATAL, "f", 1, "g").stream() << "still here"; }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[-----] still here\n");
}

TEST(Check, SuccessReturnsTrueAndWritesNothing) {
    testing::internal::CaptureStdout();
    EXPECT_TRUE(check(CUDA_SUCCESS, 10, "kernel.cpp"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(CheckDeathTest, FailureWritesOneFatalLineOnStandardOutputAndExitsWithOne) {
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);  // death tests match standard error
            check(CUDA_ERROR_OUT_OF_MEMORY, 42, "app/kernel.cpp");
        },
        testing::ExitedWithCode(1),
        "^\\[FATAL\\]\\[[0-9][0-9]:[0-9][0-9]:[0-9][0-9]\\] CUDA driver API error "
        "CUDA_ERROR_OUT_OF_MEMORY at line 42 in file app/kernel\\.cpp\n$");
}

TEST(CheckDeathTest, UnnamedResultIsPrintedByNumber) {
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            check(static_cast<CUresult>(4242), 7, "kernel.cpp");
        },
        testing::ExitedWithCode(1), "CUDA driver API error CUresult 4242 at line 7 in file kernel");
}

TEST(CheckDeathTest, ARuntimeFailureNamesTheCallAsWrittenAndItsError) {
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            ckRuntime(cudaMalloc(nullptr, 16));
        },
        testing::ExitedWithCode(1),
        "^\\[FATAL\\]\\[[0-9:]+\\] cudaMalloc\\(nullptr, 16\\) failed -> cudaErrorInvalidValue "
        "at line [0-9]+ in file \\S*logger_test\\.cpp\n$");
}

TEST(Check, WithoutLoggerFailureReturnsFalse) {
    simplelogger::Logger* saved = gLogger;
    gLogger = nullptr;
    testing::internal::CaptureStdout();
    const bool result = check(CUDA_ERROR_INVALID_VALUE, 3, "kernel.cpp");
    const std::string out = testing::internal::GetCapturedStdout();
    gLogger = saved;
    EXPECT_FALSE(result);
    EXPECT_EQ(out,
              "[-----] CUDA driver API error CUDA_ERROR_INVALID_VALUE at line 3 in file "
              "kernel.cpp\n");
}

}  // namespace
