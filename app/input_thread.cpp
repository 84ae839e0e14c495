#include "input_thread.h"

#include <GLFW/glfw3.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "pipeline_state.h"

namespace {

constexpr int kFirstEffectKey = GLFW_KEY_1;  // 49
constexpr int kLastEffectKey = GLFW_KEY_8;   // 56

std::atomic<bool> effectKeyDown[kLastEffectKey - kFirstEffectKey + 1];
std::atomic<bool> spaceDown{false};

enum TitleRequest : int { kNoTitle = 0, kEncodingTitle, kCameraTitle };
std::atomic<int> requestedTitle{kNoTitle};

std::atomic<bool>& keySlot(int key) {
    return key == GLFW_KEY_SPACE ? spaceDown : effectKeyDown[key - kFirstEffectKey];
}

bool keyDown(int key) {
    return keySlot(key).load(std::memory_order_relaxed);
}

// Waits for the key's release, or for shut-down: once the frame loop has stopped polling,
// a held key would otherwise read as pressed for good.
void waitForRelease(int key) {
    while (keyDown(key) && running.load(std::memory_order_relaxed))
        std::this_thread::yield();
}

}  // namespace

bool publishedKeyDown(int key) {
    return keyDown(key);
}

void publishKeyState() {
    for (int key = kFirstEffectKey; key <= kLastEffectKey; ++key)
        keySlot(key).store(glfwGetKey(window, key) == GLFW_PRESS, std::memory_order_relaxed);
    spaceDown.store(glfwGetKey(window, GLFW_KEY_SPACE) == GLFW_PRESS, std::memory_order_relaxed);
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

void inputThreadBody() {
    // The thread polls without sleeping, so it runs only on time no other thread wants: on
    // two cores a busy poll at normal priority takes what the frame loop and the encoder need.
    sched_param idle{};
    if (sched_setscheduler(0, SCHED_IDLE, &idle) != 0)
        setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 19);
    while (running.load(std::memory_order_relaxed)) {
        for (int key = kFirstEffectKey; key <= kLastEffectKey; ++key) {
            if (keyDown(key)) {
                const uint8_t mask = effectMask.load(std::memory_order_relaxed);
                effectMask.store(mask ^ (1u << (key - kFirstEffectKey)), std::memory_order_relaxed);
                waitForRelease(key);
            }
        }
        if (keyDown(GLFW_KEY_SPACE)) {
            const bool nowRecording = !recording.load(std::memory_order_relaxed);
            recording.store(nowRecording, std::memory_order_relaxed);
            if (running.load(std::memory_order_relaxed))
                requestedTitle.store(nowRecording ? kEncodingTitle : kCameraTitle,
                                     std::memory_order_relaxed);
            waitForRelease(GLFW_KEY_SPACE);
        }
        std::this_thread::yield();
    }
}
