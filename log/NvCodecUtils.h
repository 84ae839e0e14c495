// The application's guard for CUDA driver results and the small console logger behind it.
#pragma once

#include <cuda.h>
#include <cuda_runtime.h>

#include <iostream>
#include <mutex>
#include <sstream>

namespace simplelogger {

enum LogSeverity { TRACE = 0, INFO = 1, WARN = 2, ERROR = 3, FATAL = 4 };

class Logger {
  public:
    Logger(int threshold, bool printTimeStamp)
        : m_threshold(threshold), m_printTimeStamp(printTimeStamp) {}
    virtual ~Logger() = default;
    virtual std::ostream& OutputStream() = 0;
    virtual void FlushOutput() {}

    bool ShouldLog(int severity) const { return severity >= m_threshold; }
    // Locks the logger and writes the lead of one line; the caller's LogLine unlocks it.
    void BeginLine(int severity);
    void EndLine() { m_mutex.unlock(); }

  protected:
    // Held while a line is written; a logger that reads back what was written takes it too.
    std::mutex& LineMutex() { return m_mutex; }

  private:
    int m_threshold;
    char m_lead[80] = {};
    bool m_printTimeStamp;
    std::mutex m_mutex;
};

class LoggerFactory {
  public:
    class ConsoleLogger : public Logger {
      public:
        ConsoleLogger(int threshold, bool printTimeStamp) : Logger(threshold, printTimeStamp) {}
        std::ostream& OutputStream() override { return std::cout; }
    };
};

// One log line: the lead on construction, the message through stream(), the newline on
// destruction. A FATAL line ends the process once it is written.
class LogLine {
  public:
    LogLine(Logger* logger, int severity, const char* file, int line, const char* function);
    ~LogLine();
    LogLine(const LogLine&) = delete;
    LogLine& operator=(const LogLine&) = delete;

    std::ostream& stream();

  private:
    Logger* m_logger;
    int m_severity;
    std::ostringstream m_sink;
};

}  // namespace simplelogger

extern simplelogger::Logger* gLogger;

// Returns true for CUDA_SUCCESS; otherwise writes one FATAL line and ends the process.
bool check(CUresult result, int line, const char* file);

#define ck(call) check((call), __LINE__, __FILE__)

// The same for a CUDA runtime result; the FATAL line names the call as written, e.g.
// "cudaMalloc(&frame, FRAME_BYTES) failed -> cudaErrorMemoryAllocation at line 80 in file ...".
bool checkRuntime(cudaError_t result, const char* call, int line, const char* file);

#define ckRuntime(call) checkRuntime((call), #call, __LINE__, __FILE__)
