// Keyboard controls: keys 1 to 8 flip bits of effectMask, Space flips recording and the
// window title. GLFW reports keys and changes titles only on the main thread, so the main
// thread's key callback queues every press for the input thread, which sleeps until one
// comes, and the main thread applies the titles the input thread asks for.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

struct GLFWwindow;

// Key presses handed from one thread to another: each is taken exactly once, in order, and
// the taker sleeps while there is none.
class KeyPressQueue {
  public:
    void push(int key);
    // Waits for presses and returns them, oldest first; returns none once stop() was called
    // and every earlier press has been taken.
    std::vector<int> take();
    void stop();

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<int> m_keys;
    bool m_stopped = false;
};

// The queue between the key callback and the input thread.
KeyPressQueue& keyPresses();

// GLFW key callback (main thread): queues presses of 1 to 8 and Space. A held key's
// repeats and the releases are not presses.
void queueKeyPress(GLFWwindow* window, int key, int scancode, int action, int mods);

// The input thread's body; returns once stopInputThread has stopped the queue.
void inputThreadBody();

// Shut-down: wakes the input thread and joins it.
void stopInputThread(std::thread& inputThread);

// Main thread, once a frame after the event poll: applies a title the input thread asked for.
void applyRequestedTitle();
