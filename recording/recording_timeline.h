// The recording's timeline: the capture time of every frame offered while recording, moved
// so that the first frame is at 0 and each pause between spans is left out. The first frame
// after a pause follows the last one before it by one frame interval, so that one file plays
// as one continuous video; within a span the times are the capture times, dropped frames
// leaving their gaps. Sound captured during a span moves with its frames; sound captured in a
// pause is left out with it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <vector>

class RecordingTimeline {
  public:
    explicit RecordingTimeline(int64_t frameInterval) : m_frameInterval(frameInterval) {}

    // Before the first frame.
    void setFrameInterval(int64_t frameInterval) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_frameInterval = frameInterval;
    }

    // Main thread: `captureTime` of a frame offered while recording, in microseconds of a
    // monotonic clock; `spanBegins` for the first frame of a span. Returns its time in the
    // recording.
    int64_t timeOf(int64_t captureTime, bool spanBegins) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_spans.empty()) {
            m_offset = captureTime;
        } else if (spanBegins) {
            m_offset += captureTime - m_lastCapture - m_frameInterval;
        }
        if (m_spans.empty() || spanBegins)
            m_spans.push_back(Span{captureTime, INT64_MAX, m_offset});
        m_lastCapture = captureTime;
        m_lastSeen = std::max(m_lastSeen, captureTime);
        return captureTime - m_offset;
    }

    // Main thread: a frame shown while not recording, captured at `captureTime`. A running span
    // ends one interval after its last frame, and sound up to this frame falls in the pause.
    void notRecorded(int64_t captureTime) {
        std::lock_guard<std::mutex> lock(m_mutex);
        endSpan();
        m_lastSeen = std::max(m_lastSeen, captureTime);
    }

    // Main thread: no frame follows; sound after the last span falls outside the recording.
    void close() {
        std::lock_guard<std::mutex> lock(m_mutex);
        endSpan();
        m_closed = true;
    }

    // What soundTimeOf() answers for sound that has no time in the recording.
    static constexpr int64_t kLeftOut = -1;  // before the first frame or in a pause
    // After the last frame the main thread has decided on, with no span running: a span may
    // still begin before it. Asked again later, it has an answer.
    static constexpr int64_t kNotYetKnown = -2;

    // Any thread: where sound captured at `captureTime` lies in the recording, or kLeftOut, or
    // kNotYetKnown. A span still running takes all that follows.
    int64_t soundTimeOf(int64_t captureTime) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto span = m_spans.rbegin(); span != m_spans.rend(); ++span) {
            if (captureTime < span->begin)
                continue;
            if (captureTime < span->end)
                return captureTime - span->offset;
            const bool decided = m_closed || span != m_spans.rbegin() || captureTime < m_lastSeen;
            return decided ? kLeftOut : kNotYetKnown;
        }
        const bool decided = m_closed || !m_spans.empty() || captureTime < m_lastSeen;
        return decided ? kLeftOut : kNotYetKnown;
    }

    // Where the recording ends: one frame interval after the last frame offered, taken or not,
    // so that frames dropped at the end leave the last picture showing to the end of the span.
    int64_t end() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_spans.empty() ? 0 : m_lastCapture - m_offset + m_frameInterval;
    }

  private:
    void endSpan() {
        if (!m_spans.empty() && m_spans.back().end == INT64_MAX)
            m_spans.back().end = m_lastCapture + m_frameInterval;
    }

    struct Span {
        int64_t begin;   // capture time of its first frame
        int64_t end;     // of the end of its last frame; INT64_MAX while it runs
        int64_t offset;  // what its capture times lose in the recording
    };

    mutable std::mutex m_mutex;  // the sound's thread reads what the main thread writes
    int64_t m_frameInterval;
    std::vector<Span> m_spans;
    int64_t m_offset = 0;
    int64_t m_lastCapture = 0;
    int64_t m_lastSeen = INT64_MIN;  // capture time of the latest frame, recorded or not
    bool m_closed = false;
};
