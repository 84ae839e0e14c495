#include "NvCodecUtils.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

simplelogger::Logger* gLogger =
    new simplelogger::LoggerFactory::ConsoleLogger(simplelogger::INFO, true);

namespace simplelogger {

namespace {
const char* const kLabels[] = {"TRACE", "INFO", "WARN", "ERROR", "FATAL"};
}

void Logger::BeginLine(int severity) {
    m_mutex.lock();
    if (static_cast<unsigned>(severity) > FATAL) {
        std::snprintf(m_lead, sizeof m_lead, "[?????] ");
    } else if (m_printTimeStamp) {
        std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        std::snprintf(m_lead, sizeof m_lead, "[%-5s][%02d:%02d:%02d] ", kLabels[severity],
                      local.tm_hour, local.tm_min, local.tm_sec);
    } else {
        std::snprintf(m_lead, sizeof m_lead, "[%-5s] ", kLabels[severity]);
    }
    OutputStream() << m_lead;
}

LogLine::LogLine(Logger* logger, int severity, const char*, int, const char*)
    : m_logger(logger), m_severity(severity) {
    if (m_logger == nullptr) {
        std::cout << "[-----] ";
    } else if (m_logger->ShouldLog(m_severity)) {
        m_logger->BeginLine(m_severity);
    }
}

std::ostream& LogLine::stream() {
    if (m_logger == nullptr)
        return std::cout;
    return m_logger->ShouldLog(m_severity) ? m_logger->OutputStream() : m_sink;
}

LogLine::~LogLine() {
    if (m_logger == nullptr) {
        std::cout << std::endl;
        return;
    }
    if (!m_logger->ShouldLog(m_severity))
        return;
    m_logger->OutputStream() << std::endl;
    m_logger->FlushOutput();
    m_logger->EndLine();
    if (m_severity == FATAL)
        std::exit(1);
}

}  // namespace simplelogger

bool check(CUresult result, int line, const char* file) {
    if (result == CUDA_SUCCESS)
        return true;
    const char* name = nullptr;
    cuGetErrorName(result, &name);
    {
        simplelogger::LogLine logLine(gLogger, simplelogger::FATAL, "NvCodecUtils", __LINE__,
                                      "check");
        // An unrecognised result has no name; show its number rather than nothing.
        logLine.stream() << "CUDA driver API error ";
        if (name != nullptr)
            logLine.stream() << name;
        else
            logLine.stream() << "CUresult " << static_cast<int>(result);
        logLine.stream() << " at line " << line << " in file " << file;
    }
    return false;
}

bool checkRuntime(cudaError_t result, const char* call, int line, const char* file) {
    if (result == cudaSuccess)
        return true;
    simplelogger::LogLine logLine(gLogger, simplelogger::FATAL, "NvCodecUtils", __LINE__,
                                  "checkRuntime");
    logLine.stream() << call << " failed -> " << cudaGetErrorName(result) << " at line " << line
                     << " in file " << file;
    return false;
}
