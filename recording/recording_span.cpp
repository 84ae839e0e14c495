#include "recording_span.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <utility>

#include "NvCodecUtils.h"

RecordingSpan::RecordingSpan(std::string path, Clock clock)
    : m_path(std::move(path)), m_clock(std::move(clock)) {}

double RecordingSpan::steadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void RecordingSpan::begin() {
    // A span switched on again before the last one drained: its frames are in the ring and
    // will be encoded unless the window closes first, so it is reported as it stands.
    if (m_pending)
        report();
    m_open = true;
    m_start = m_clock();
    m_taken = 0;
    m_dropped = 0;
}

void RecordingSpan::frameOffered(bool taken) {
    if (!m_open)
        begin();
    m_end = m_clock();
    if (taken) {
        ++m_taken;
        ++m_takenTotal;
        return;
    }
    if (m_dropped++ == 0) {
        simplelogger::LogLine(gLogger, simplelogger::WARN, __FILE__, __LINE__, __func__).stream()
            << "The encoder cannot keep up: frames are being left out of the recording to "
            << m_path;
    }
}

void RecordingSpan::recordingOff() {
    if (m_open) {
        m_open = false;
        m_pending = true;
    }
    if (m_pending && m_encoded.load(std::memory_order_acquire) >= m_takenTotal)
        report();
}

void RecordingSpan::frameEncoded() {
    m_encoded.fetch_add(1, std::memory_order_release);
}

void RecordingSpan::bytesWritten(uint64_t bytes) {
    m_bytes.fetch_add(bytes, std::memory_order_relaxed);
}

void RecordingSpan::close() {
    if (m_open) {
        m_open = false;
        m_pending = true;
    }
    if (!m_pending)
        return;
    // Only the last span can hold frames that were never encoded: an earlier one was
    // reported once it had drained, or when the next one began.
    const int64_t lost =
        std::min(m_taken, m_takenTotal - m_encoded.load(std::memory_order_acquire));
    if (lost > 0) {
        m_taken -= lost;
        m_dropped += lost;
    }
    report();
}

void RecordingSpan::report() {
    m_pending = false;
    // Every byte belongs to one span: the pictures the encoder still held when a span
    // ended reach the file, and this account, with the next span or with the close.
    const uint64_t bytes = m_bytes.load(std::memory_order_acquire);
    const uint64_t spanBytes = bytes - m_bytesReported;
    m_bytesReported = bytes;
    // Sound lags its pictures by a fraction of a second: a span's last bit may be told with
    // the next one.
    const int64_t sound = m_soundMicroseconds.load();
    const int64_t spanSound = sound - m_soundReported;
    m_soundReported = sound;
    const int64_t silence = m_silentMicroseconds.load();
    const int64_t spanSilence = silence - m_silenceReported;
    m_silenceReported = silence;
    char soundText[96] = "";
    if (sound > 0 && spanSilence >= 50'000)
        std::snprintf(soundText, sizeof soundText,
                      ", %.1f s of sound (%.1f s of it silence filled in)",
                      static_cast<double>(spanSound) / 1e6, static_cast<double>(spanSilence) / 1e6);
    else if (sound > 0)
        std::snprintf(soundText, sizeof soundText, ", %.1f s of sound",
                      static_cast<double>(spanSound) / 1e6);
    char line[240];
    std::snprintf(line, sizeof line, "Recorded %.1f s: %lld frames, %lld dropped%s, %.1f MB to ",
                  m_end - m_start, static_cast<long long>(m_taken),
                  static_cast<long long>(m_dropped), soundText,
                  static_cast<double>(spanBytes) / 1e6);
    simplelogger::LogLine(gLogger, simplelogger::INFO, __FILE__, __LINE__, __func__).stream()
        << line << m_path;
    warnOfRate();
}

void RecordingSpan::warnOfRate() const {
    const int64_t frames = m_taken + m_dropped;
    const double seconds = m_end - m_start;
    if (m_declaredRate <= 0.0 || frames < 2 || seconds <= 0.0 || m_taken == 0)
        return;
    const double rate = static_cast<double>(frames - 1) / seconds;
    if (rate >= m_declaredRate / 1.05 && rate <= m_declaredRate * 1.05)
        return;
    // How fast the file plays against life: the frames it holds at the declared rate, against
    // the time all of the span's frames took to come, dropped ones included.
    const double speed =
        (static_cast<double>(frames) / rate) / (static_cast<double>(m_taken) / m_declaredRate);
    char line[200];
    std::snprintf(line, sizeof line,
                  "%s will play %.2f times %s than it happened: its frames came at %.1f a "
                  "second and the raw stream declares %s; --output NAME.mp4 keeps the real time",
                  m_path.c_str(), speed > 1.0 ? speed : 1.0 / speed,
                  speed > 1.0 ? "faster" : "slower", rate, m_declaredText.c_str());
    simplelogger::LogLine(gLogger, simplelogger::WARN, __FILE__, __LINE__, __func__).stream()
        << line;
}
