// The recording's timeline: the capture time of every frame offered while recording, moved
// so that the first frame is at 0 and each pause between spans is left out. The first frame
// after a pause follows the last one before it by one frame interval, so that one file plays
// as one continuous video; within a span the times are the capture times, dropped frames
// leaving their gaps.
#pragma once

#include <cstdint>

class RecordingTimeline {
  public:
    explicit RecordingTimeline(int64_t frameInterval) : m_frameInterval(frameInterval) {}

    // `captureTime` of a frame offered while recording, in microseconds of a monotonic clock;
    // `spanBegins` for the first frame of a span. Returns its time in the recording.
    int64_t timeOf(int64_t captureTime, bool spanBegins) {
        if (!m_started) {
            m_started = true;
            m_offset = captureTime;
        } else if (spanBegins) {
            m_offset += captureTime - m_lastCapture - m_frameInterval;
        }
        m_lastCapture = captureTime;
        return captureTime - m_offset;
    }

    // Where the recording ends: one frame interval after the last frame offered, taken or not,
    // so that frames dropped at the end leave the last picture showing to the end of the span.
    int64_t end() const { return m_started ? m_lastCapture - m_offset + m_frameInterval : 0; }

  private:
    int64_t m_frameInterval;
    bool m_started = false;
    int64_t m_offset = 0;
    int64_t m_lastCapture = 0;
};
