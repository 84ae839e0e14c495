// The log lines that the code under test writes through gLogger, for as long as this lives.
#pragma once

#include <mutex>
#include <sstream>
#include <string>

#include "NvCodecUtils.h"
#include "text_count.h"

class CapturedLog : simplelogger::Logger {
  public:
    CapturedLog() : Logger(simplelogger::INFO, false), m_previous(gLogger) { gLogger = this; }
    ~CapturedLog() override { gLogger = m_previous; }
    CapturedLog(const CapturedLog&) = delete;
    CapturedLog& operator=(const CapturedLog&) = delete;

    std::ostream& OutputStream() override { return m_text; }
    // Safe while other threads log.
    std::string text() const {
        std::lock_guard<std::mutex> lock(const_cast<CapturedLog*>(this)->LineMutex());
        return m_text.str();
    }
    int count(const std::string& needle) const { return countOf(text(), needle); }

  private:
    std::ostringstream m_text;
    simplelogger::Logger* m_previous;
};
