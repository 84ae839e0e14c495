#include "ending.h"

#include <GLFW/glfw3.h>
#include <X11/Xlib.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>
#include <system_error>

#include "NvCodecUtils.h"
#include "output_file.h"
#include "pipeline_state.h"
#include "recording.h"

namespace {

// From the display's loss to the end of the process: the recording is finished within this
// or left as it stands, with whole packets. The end of stream took 0.2 s with the software
// encoder on 2 busy cores; the stream's own end is skipped then.
constexpr std::chrono::milliseconds kDisplayLossGrace{1500};
constexpr std::chrono::milliseconds kWriteGrace{200};

std::atomic<int> endSignals{0};
static_assert(std::atomic<int>::is_always_lock_free, "used in a signal handler");

std::thread::id mainThread;
std::thread* recordingThread = nullptr;  // main thread only
bool recordingEnded = false;             // main thread only

std::mutex glfwErrorMutex;
std::string glfwErrorReason;

void onEndSignal(int signal) {
    if (endSignals.fetch_add(1) == 0)
        return;  // the frame loop closes the window
    // A second signal while the viewer is still ending: end now, as the signal's default
    // action does. It is delivered once this handler returns.
    ::signal(signal, SIG_DFL);
    raise(signal);
}

void keepGlfwError(int code, const char* description) {
    // After a failed glfwInit every call adds "not initialized", which explains nothing.
    if (code == GLFW_NOT_INITIALIZED)
        return;
    std::lock_guard<std::mutex> lock(glfwErrorMutex);
    glfwErrorReason = description != nullptr ? description : "";
}

[[noreturn]] void endNow() {
    std::cout.flush();
    std::fflush(stderr);
    _exit(1);
}

// Xlib calls this on the thread whose request found the connection gone. It must not
// return: Xlib would then call exit(), whose static destructors run under the feet of the
// other threads. Nor may anything here call Xlib or GLFW again.
int onDisplayLost(Display* display) {
    // What the end of the recording must leave to the watchdog: a file it could not finish in
    // time stays as it stands.
    constexpr int64_t kMargin = 100'000;
    const int64_t lostAt = captureClockMicroseconds();
    static std::atomic<bool> ending{false};
    if (ending.exchange(true)) {
        for (;;)
            pause();  // the first thread to get here ends the process
    }
    // Started first: even the log line could wait on a stalled terminal. So the watchdog
    // flushes nothing: a flush would wait on the same terminal, or on the lock of the
    // stream a stalled writer holds.
    try {
        std::thread([] {
            std::this_thread::sleep_for(kDisplayLossGrace);
            outFile.seal(kWriteGrace);
            _exit(1);
        }).detach();
    } catch (const std::system_error&) {
        // No thread to spare: the teardown below must then end by itself.
    }
    simplelogger::LogLine(gLogger, simplelogger::ERROR, __FILE__, __LINE__, __func__).stream()
        << "Lost the display \"" << DisplayString(display) << "\"; the viewer ends";
    // The main thread is between two steps of the frame loop, inside an X call, so the
    // recording can be finished as at a close. Anywhere else the frame loop goes on under
    // our feet: keep the file as it stands.
    if (std::this_thread::get_id() == mainThread && recordingThread != nullptr)
        endRecording(*recordingThread, lostAt + kDisplayLossGrace.count() * 1000 - kMargin);
    else
        outFile.seal(kWriteGrace);
    endNow();
}

}  // namespace

void installEndingHandlers() {
    mainThread = std::this_thread::get_id();
    // Log lines to a closed pipe fail quietly instead of ending the process.
    signal(SIGPIPE, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = onEndSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
    glfwSetErrorCallback(keepGlfwError);
    XSetIOErrorHandler(onDisplayLost);
}

void reportWindowFailure() {
    std::lock_guard<std::mutex> lock(glfwErrorMutex);
    std::fprintf(stderr, "Can't create the window: %s\n",
                 glfwErrorReason.empty() ? "no reason given" : glfwErrorReason.c_str());
}

void reportFailedFrame(cudaError_t error) {
    simplelogger::LogLine(gLogger, simplelogger::ERROR, __FILE__, __LINE__, __func__).stream()
        << "The GPU failed a frame's work (" << cudaGetErrorName(error)
        << "); the CUDA context cannot go on, so the viewer ends";
}

bool viewerShouldClose(GLFWwindow* window) {
    if (endSignals.load() > 0)
        glfwSetWindowShouldClose(window, GLFW_TRUE);
    return glfwWindowShouldClose(window);
}

void endRecording(std::thread& encodeThread, int64_t deadline) {
    if (recordingEnded)
        return;
    recordingEnded = true;
    running.store(false, std::memory_order_relaxed);
    endOfStream(encodeThread, deadline);
}

void endRecordingOnDisplayLoss(std::thread& encodeThread) {
    recordingThread = &encodeThread;
}
