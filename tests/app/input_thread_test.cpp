// The hand-off of key presses from the main thread's key callback to the input thread. Run
// under ThreadSanitizer in CI.
#include <GLFW/glfw3.h>
#include <gtest/gtest.h>

#include <numeric>
#include <thread>
#include <vector>

#include "input_thread.h"
#include "pipeline_state.h"

namespace {

TEST(KeyPressQueue, EveryPressIsTakenOnceAndInOrder) {
    KeyPressQueue queue;
    std::vector<int> taken;
    std::thread taker([&] {
        for (std::vector<int> keys = queue.take(); !keys.empty(); keys = queue.take())
            taken.insert(taken.end(), keys.begin(), keys.end());
    });
    std::vector<int> pushed(20000);
    std::iota(pushed.begin(), pushed.end(), 0);
    for (int key : pushed)
        queue.push(key);
    queue.stop();  // presses before the stop are still taken
    taker.join();
    EXPECT_EQ(taken, pushed);
}

TEST(KeyPressQueue, StopWakesAWaitingTaker) {
    KeyPressQueue queue;
    std::vector<int> taken{-1};
    std::thread taker([&] { taken = queue.take(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    queue.stop();
    taker.join();
    EXPECT_TRUE(taken.empty());
}

TEST(InputThread, ActsOncePerPressAndIgnoresRepeatsReleasesAndOtherKeys) {
    effectMask = 0xFF;
    recording = false;
    std::thread input(inputThreadBody);
    for (int action : {GLFW_PRESS, GLFW_REPEAT, GLFW_REPEAT, GLFW_RELEASE})
        queueKeyPress(nullptr, GLFW_KEY_1, 0, action, 0);
    for (int key : {GLFW_KEY_8, GLFW_KEY_9, GLFW_KEY_0, GLFW_KEY_KP_1, GLFW_KEY_SPACE})
        queueKeyPress(nullptr, key, 0, GLFW_PRESS, 0);
    queueKeyPress(nullptr, GLFW_KEY_SPACE, 0, GLFW_REPEAT, 0);
    stopInputThread(input);
    EXPECT_EQ(effectMask.load(), 0xFF ^ 0x01 ^ 0x80);
    EXPECT_TRUE(recording.load());
}

}  // namespace
