#include "input_thread.h"

#include <GLFW/glfw3.h>
#include <pthread.h>

#include <atomic>

#include "output_file.h"
#include "pipeline_state.h"
#include "recording.h"

namespace {

enum TitleRequest : int { kNoTitle = 0, kEncodingTitle, kCameraTitle };
std::atomic<int> requestedTitle{kNoTitle};

bool watchedKey(int key) {
    return (key >= GLFW_KEY_1 && key <= GLFW_KEY_8) || key == GLFW_KEY_SPACE;
}

void act(int key) {
    if (key == GLFW_KEY_SPACE) {
        const bool nowRecording = !recording.load(std::memory_order_relaxed);
        recording.store(nowRecording, std::memory_order_relaxed);
        // The title is about to claim a recording: say again if the file takes none.
        if (nowRecording)
            outFile.remindOfFailure();
        // Once the frame loop has ended nobody applies titles any more.
        if (running.load(std::memory_order_relaxed))
            requestedTitle.store(nowRecording ? kEncodingTitle : kCameraTitle,
                                 std::memory_order_relaxed);
        return;
    }
    const uint8_t mask = effectMask.load(std::memory_order_relaxed);
    effectMask.store(mask ^ (1u << (key - GLFW_KEY_1)), std::memory_order_relaxed);
}

}  // namespace

void KeyPressQueue::push(int key) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_keys.push_back(key);
    }
    m_changed.notify_one();
}

std::vector<int> KeyPressQueue::take() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return !m_keys.empty() || m_stopped; });
    std::vector<int> keys;
    keys.swap(m_keys);
    return keys;
}

void KeyPressQueue::stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopped = true;
    }
    m_changed.notify_all();
}

KeyPressQueue& keyPresses() {
    // Never destroyed: a condition variable destroyed at exit while the input thread still
    // waits on it would block the exit.
    static KeyPressQueue* const queue = new KeyPressQueue;
    return *queue;
}

void queueKeyPress(GLFWwindow*, int key, int, int action, int) {
    if (action == GLFW_PRESS && watchedKey(key))
        keyPresses().push(key);
}

void inputThreadBody() {
    pthread_setname_np(pthread_self(), "camfx-input");
    for (std::vector<int> keys = keyPresses().take(); !keys.empty(); keys = keyPresses().take()) {
        for (int key : keys)
            act(key);
    }
}

void stopInputThread(std::thread& inputThread) {
    keyPresses().stop();
    inputThread.join();
}

void applyRequestedTitle() {
    switch (requestedTitle.exchange(kNoTitle, std::memory_order_relaxed)) {
        case kEncodingTitle:
            glfwSetWindowTitle(window, "Encoding video...");
            break;
        case kCameraTitle:
            glfwSetWindowTitle(window, "Camera");
            break;
        default:
            break;
    }
}
