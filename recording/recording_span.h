// The account of one recording span: the frames offered to the ring from the one that finds
// recording switched on to the last before it is switched off, or before the close. A raw HEVC
// stream plays at its own frame rate, so every frame the ring drops makes the recording play faster
// than life: the first drop of a span gives one WARNING line, and the end of every span one
// INFO line with its length, the frames recorded and dropped and the bytes written. A raw stream
// whose frames came at a rate more than 5% off the one it declares plays too fast or too slow:
// one WARN line after the INFO line says by how much.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

class RecordingSpan {
  public:
    using Clock = std::function<double()>;  // seconds, monotonic

    explicit RecordingSpan(std::string path, Clock clock = steadySeconds);

    // The file the lines name; set before recording starts.
    void setPath(std::string path) { m_path = std::move(path); }

    // Set for a raw stream: the rate it declares, which the span's own rate is checked against.
    void checkRateAgainst(double declaredPerSecond, std::string declaredText) {
        m_declaredRate = declaredPerSecond;
        m_declaredText = std::move(declaredText);
    }

    // Whether a span is running: the next offered frame continues it.
    bool inSpan() const { return m_open; }

    // Main thread, once per frame while recording: whether the ring took the frame.
    void frameOffered(bool taken);

    // Main thread, once per frame while not recording. Ends an open span; its INFO line
    // follows once the encoding thread has written every frame the span put in the ring.
    void recordingOff();

    // Whoever writes to the file: the encoding thread, and the end of stream after the join.
    void bytesWritten(uint64_t bytes);

    // Encoding thread, once a frame taken from the ring is encoded and its packets written.
    void frameEncoded();

    // The sound's thread: a packet of sound, lasting `microseconds`, `silent` of them put in
    // for a stall, went into the recording. From the first one on, each span's line tells the
    // seconds of sound it has, and of silence put in.
    void soundWritten(int64_t microseconds, int64_t silent = 0) {
        m_soundMicroseconds += microseconds;
        m_silentMicroseconds += silent;
    }

    // Shut-down, after the encoding thread is joined and the encoder flushed: ends an open
    // span. Frames still waiting in the ring were never encoded and count as dropped.
    void close();

    static double steadySeconds();

  private:
    void begin();
    void report();
    void warnOfRate() const;

    std::string m_path;
    const Clock m_clock;
    double m_declaredRate = 0.0;  // 0: times are kept, nothing to check
    std::string m_declaredText;

    // Main thread.
    bool m_open = false;     // a span is running
    bool m_pending = false;  // a span has ended and waits for its frames to be encoded
    double m_start = 0.0;
    double m_end = 0.0;            // when the span's last frame was offered
    int64_t m_taken = 0;           // frames the ring took in this span
    int64_t m_dropped = 0;         // frames it had no room for
    int64_t m_takenTotal = 0;      // in all spans
    uint64_t m_bytesReported = 0;  // bytes accounted for by earlier spans

    // Encoding thread (and the end of stream after the join); read by the main thread.
    std::atomic<int64_t> m_encoded{0};
    std::atomic<uint64_t> m_bytes{0};
    // The sound's thread; read by whoever reports.
    std::atomic<int64_t> m_soundMicroseconds{0};
    std::atomic<int64_t> m_silentMicroseconds{0};
    int64_t m_soundReported = 0;
    int64_t m_silenceReported = 0;
};
