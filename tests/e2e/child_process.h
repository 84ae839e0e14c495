// Runs a program as a child process with its output in files, for end-to-end tests.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

class ChildProcess {
  public:
    // Starts `program` with `arguments` in `workingDirectory`; `environment` entries are set
    // (or, with an empty value, removed) on top of this process's environment.
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const std::string& workingDirectory,
                 const std::map<std::string, std::string>& environment = {});
    ~ChildProcess();

    // The exit status (0 to 255), or nullopt if it has not ended within `timeout` or died of
    // a signal (see signalled()).
    std::optional<int> waitForExit(std::chrono::milliseconds timeout);
    bool running();
    bool signalled() const { return m_signal != 0; }
    int signal() const { return m_signal; }
    pid_t pid() const { return m_pid; }
    void kill();
    void sendSignal(int signal);

    std::string standardOutput() const;
    std::string standardError() const;

  private:
    pid_t m_pid = -1;
    int m_signal = 0;
    std::optional<int> m_status;
    std::string m_outPath, m_errPath;
};

// A fresh temporary directory, removed with its contents on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return m_path; }

  private:
    std::string m_path;
};

std::string readFile(const std::string& path);
