// The schedule on which a capture without a camera behind it delivers its frames.
#pragma once

#include <chrono>
#include <thread>

namespace camfx {

// Frames fall due on a fixed schedule. A reader that falls more than a frame behind gets the
// next frame at once and the schedule restarts from there, as a camera drops what nobody read
// rather than delivering a burst.
class FramePacer {
  public:
    // At 0 frames a second (or less) every frame is due at once.
    explicit FramePacer(double framesPerSecond)
        : m_period(framesPerSecond > 0.0 ? std::chrono::duration_cast<Clock::duration>(
                                               std::chrono::duration<double>(1.0 / framesPerSecond))
                                         : Clock::duration::zero()) {}

    // Waits until the next frame is due; returns when it was due, which a late reader passed.
    std::chrono::steady_clock::time_point wait() {
        const auto now = Clock::now();
        if (m_period == Clock::duration::zero())
            return now;
        if (!m_started || m_nextDue + m_period < now)
            m_nextDue = now;
        m_started = true;
        std::this_thread::sleep_until(m_nextDue);
        const auto due = m_nextDue;
        m_nextDue += m_period;
        return due;
    }

  private:
    using Clock = std::chrono::steady_clock;
    Clock::duration m_period;
    Clock::time_point m_nextDue;
    bool m_started = false;
};

}  // namespace camfx
