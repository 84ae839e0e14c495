// A PulseAudio server of the test's own, in a temporary directory, with a null sink "mic"
// whose monitor is the microphone. PULSE_SERVER points this process (and the pactl and pacat
// it runs) at it for as long as it lives.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

class PulseServer {
  public:
    PulseServer() {
        char pattern[] = "/tmp/camfx-pulse-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            m_problem = "mkdtemp failed";
            return;
        }
        m_dir = pattern;
        const std::string socket = m_dir + "/native";
        std::vector<std::string> arguments = {
            "pulseaudio",
            "-n",
            "--daemonize=no",
            "--exit-idle-time=-1",
            "--use-pid-file=no",
            "--disable-shm=yes",
            "--log-target=file:" + m_dir + "/log",
            "--load=module-native-protocol-unix auth-anonymous=1 socket=" + socket,
            "--load=module-null-sink sink_name=mic rate=48000 channels=2"};
        std::vector<std::string> environment = {"HOME=" + m_dir, "PULSE_RUNTIME_PATH=" + m_dir,
                                                "XDG_CONFIG_HOME=" + m_dir,
                                                "PATH=" + std::string(std::getenv("PATH"))};
        std::vector<char*> argv, envp;
        for (std::string& a : arguments)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        for (std::string& e : environment)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        if (posix_spawnp(&m_pid, "pulseaudio", nullptr, nullptr, argv.data(), envp.data()) != 0) {
            m_pid = -1;
            m_problem = "pulseaudio is not installed";
            return;
        }
        m_previous = std::getenv("PULSE_SERVER") != nullptr ? std::getenv("PULSE_SERVER") : "";
        setenv("PULSE_SERVER", ("unix:" + socket).c_str(), 1);
        setenv("PULSE_RUNTIME_PATH", m_dir.c_str(), 1);
        for (int tries = 0; tries < 50; ++tries) {
            if (run("pactl info") == 0)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        m_problem = "pulseaudio did not answer within 5 s (its log: " + m_dir + "/log)";
    }

    ~PulseServer() {
        for (pid_t feeder : m_feeders) {
            kill(feeder, SIGTERM);
            waitpid(feeder, nullptr, 0);
        }
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_previous.empty())
            unsetenv("PULSE_SERVER");
        else
            setenv("PULSE_SERVER", m_previous.c_str(), 1);
        unsetenv("PULSE_RUNTIME_PATH");
        if (!m_dir.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(m_dir, ignored);
        }
    }

    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    // Empty when the server runs, else why not.
    const std::string& problem() const { return m_problem; }
    const std::string& directory() const { return m_dir; }

    // A command's exit status, its output going to the server's directory.
    int run(const std::string& command) const {
        const std::string quiet = command + " >>" + m_dir + "/commands.log 2>&1";
        return std::system(quiet.c_str());
    }

    // Plays silence into `sink` until the server ends, at the sink's own rate (another would
    // make the server switch the sink to it): a null sink's monitor gives sound only
    // while something plays, where a microphone gives it all the time; and in pieces as large
    // as the latency its players ask for (2 s by default), where a microphone gives 10 ms ones.
    void feed(const std::string& sink, int rate = 48000) {
        std::vector<std::string> arguments = {
            "pacat",        "--playback", "--latency-msec=20", "-d",
            sink,           "--raw",      "--format=s16le",    "--rate=" + std::to_string(rate),
            "--channels=1", "/dev/zero"};
        std::vector<char*> argv;
        for (std::string& a : arguments)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid;
        if (posix_spawnp(&pid, "pacat", nullptr, nullptr, argv.data(), environ) == 0)
            m_feeders.push_back(pid);
    }

    // A null sink renders as far ahead as the latency it starts with (2 s) before its players'
    // lower one applies, and its monitor is silent meanwhile: waits, up to 5 s, until every
    // sink renders in step with the clock.
    bool settle() const {
        for (int tries = 0; tries < 50; ++tries) {
            const std::string sinks = output("pactl list sinks");
            bool steady = true;
            for (size_t at = sinks.find("\tLatency: "); at != std::string::npos;
                 at = sinks.find("\tLatency: ", at + 1))
                steady = steady && std::stoll(sinks.substr(at + 10)) < 100000;
            if (steady)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    // A command's standard output.
    static std::string output(const std::string& command) {
        std::string text;
        if (FILE* pipe = popen(command.c_str(), "r")) {
            char buffer[256];
            while (fgets(buffer, sizeof buffer, pipe) != nullptr)
                text += buffer;
            pclose(pipe);
        }
        return text;
    }

  private:
    pid_t m_pid = -1;
    std::vector<pid_t> m_feeders;
    std::string m_dir;
    std::string m_problem;
    std::string m_previous;
};
