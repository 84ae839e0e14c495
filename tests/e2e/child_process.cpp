#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

// Output files of their own for processes that share a working directory.
std::string outputPath(const std::string& directory, const char* stream) {
    static std::atomic<int> children{0};
    return directory + "/child" + std::to_string(children++) + "." + stream;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::string& workingDirectory,
                           const std::map<std::string, std::string>& environment)
    : m_outPath(outputPath(workingDirectory, "stdout")),
      m_errPath(outputPath(workingDirectory, "stderr")) {
    m_pid = fork();
    if (m_pid != 0)
        return;
    // Child: only async-signal-safe work until exec, apart from the environment edits.
    if (chdir(workingDirectory.c_str()) != 0)
        _exit(127);
    int out = open(m_outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(m_errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0)
        _exit(127);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    for (const auto& [name, value] : environment) {
        if (value.empty())
            unsetenv(name.c_str());
        else
            setenv(name.c_str(), value.c_str(), 1);
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
}

ChildProcess::~ChildProcess() {
    if (running()) {
        kill();
        waitForExit(std::chrono::seconds(5));
    }
}

bool ChildProcess::running() {
    if (m_pid <= 0 || m_status || m_signal)
        return false;
    int status = 0;
    pid_t result = waitpid(m_pid, &status, WNOHANG);
    if (result == 0)
        return true;
    if (result == m_pid) {
        if (WIFEXITED(status))
            m_status = WEXITSTATUS(status);
        else if (WIFSIGNALED(status))
            m_signal = WTERMSIG(status);
    }
    return false;
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (running()) {
        if (std::chrono::steady_clock::now() > deadline)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return m_status;
}

void ChildProcess::kill() {
    sendSignal(SIGKILL);
}

void ChildProcess::sendSignal(int signal) {
    if (running())
        ::kill(m_pid, signal);
}

std::string ChildProcess::standardOutput() const {
    return readFile(m_outPath);
}
std::string ChildProcess::standardError() const {
    return readFile(m_errPath);
}

TempDir::TempDir() {
    char pattern[] = "/tmp/camfx-test-XXXXXX";
    m_path = mkdtemp(pattern);
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}
