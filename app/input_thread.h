// Keyboard controls: keys 1 to 8 flip bits of effectMask, Space flips recording and the
// window title. GLFW allows key queries and title changes only on the main thread, so the
// main thread publishes the key state after each event poll and applies title requests;
// the input thread works on what was published.
#pragma once

// The input thread's body; returns once `running` is clear.
void inputThreadBody();

// Main thread, right after glfwPollEvents: publishes the keys the input thread watches.
void publishKeyState();

// Main thread, right after publishKeyState: applies a title the input thread asked for.
void applyRequestedTitle();

// For tests: whether a watched key (GLFW key code) reads as pressed to the input thread.
bool publishedKeyDown(int key);
