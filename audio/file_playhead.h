// Where a video file shown as the camera stands: the capture time at which each of its frames
// was shown, pass after pass through the file. The file's sound takes its times from here, so
// that it plays with the pictures beside it however the frame loop keeps its pace.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>

class FilePlayhead {
  public:
    // The pictures' side: the frame at `fileSeconds` of pass `pass` (0, 1, ... as the file starts
    // again), lasting `frameSeconds`, was shown at `captureTime` (microseconds, the frames' clock).
    void frameShown(int pass, double fileSeconds, double frameSeconds, int64_t captureTime) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (pass != m_last.pass)
                m_previous = m_last;
            m_last = Frame{pass, fileSeconds, frameSeconds, captureTime};
        }
        m_moved.notify_all();
    }

    // The sound's side: waits until the pictures reach `fileSeconds` of `pass`, then gives the
    // capture time of that instant. Nothing for sound past the pictures' end of a pass they have
    // left, and nothing once stopped.
    std::optional<int64_t> captureTimeOf(int pass, double fileSeconds) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_moved.wait(lock, [&] {
            return m_stopped || m_last.pass > pass ||
                   (m_last.pass == pass && m_last.seconds + m_last.length > fileSeconds);
        });
        if (m_stopped)
            return std::nullopt;
        const Frame& frame = m_last.pass == pass ? m_last : m_previous;
        if (frame.pass != pass || fileSeconds >= frame.seconds + frame.length)
            return std::nullopt;
        return frame.capture + static_cast<int64_t>((fileSeconds - frame.seconds) * 1e6);
    }

    // Releases a waiting sound side for good.
    void stop() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopped = true;
        }
        m_moved.notify_all();
    }

  private:
    struct Frame {
        int pass = -1;
        double seconds = 0.0;
        double length = 0.0;
        int64_t capture = 0;
    };

    std::mutex m_mutex;
    std::condition_variable m_moved;
    Frame m_last;
    Frame m_previous;  // the last frame of the pass before m_last's
    bool m_stopped = false;
};
