// Re-timing: a device clock that drifts, a stall, a source that goes and comes back different.
// The synthetic device plays a 3 kHz tone that dips for 10 ms at every whole second of real
// time; where the dips land on the output timeline shows how far the sound is off.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "retimer.h"
#include "tone_signal.h"

namespace {

constexpr int64_t kStart = 5'000'000'000;  // µs on the capture clock
constexpr double kPi = 3.14159265358979323846;

// A device recording `rate` samples per second of its own clock, which runs `speed` times the
// computer's. Blocks are stamped with the real time of their first sample, give or take
// `jitterMicroseconds` as scheduling and latency reports give.
class DriftingDevice {
  public:
    DriftingDevice(double speed, int rate, int channels, int jitterMicroseconds)
        : m_speed(speed),
          m_rate(rate),
          m_channels(channels),
          m_jitter(-jitterMicroseconds, jitterMicroseconds) {}

    // Real seconds since the start for the next sample.
    double now() const { return m_offset + double(m_index) / (m_rate * m_speed); }

    AudioBlock next(int frames) {
        AudioBlock block;
        block.channels = m_channels;
        block.sampleRate = m_rate;
        block.captureMicroseconds =
            kStart + std::llround(now() * 1e6) + (m_jitter.b() > 0 ? m_jitter(m_random) : 0);
        for (int i = 0; i < frames; ++i) {
            const double real = now();
            const bool dip = real - std::floor(real) < 0.010;
            const double value =
                (dip ? 0.1 : 0.5) * std::sin(2 * kPi * 3000.0 * double(m_index) / m_rate);
            for (int c = 0; c < m_channels; ++c)
                block.samples.push_back(float(value));
            ++m_index;
        }
        return block;
    }

    // The device loses `seconds` of sound: its next samples were recorded that much later.
    void stall(double seconds) { m_offset += seconds; }

    void reconfigure(int rate, int channels) {
        m_offset = now();
        m_index = 0;
        m_rate = rate;
        m_channels = channels;
    }

  private:
    const double m_speed;
    int m_rate;
    int m_channels;
    double m_offset = 0.0;
    int64_t m_index = 0;
    std::mt19937 m_random{24};
    std::uniform_int_distribution<int> m_jitter;
};

// Everything the re-timer gives, channel 0, and the time of its first sample.
struct Output {
    std::vector<float> samples;
    int64_t firstMicroseconds = 0;
    // The frames that hold silence put in: the first sample's index and how many are silence.
    std::vector<std::pair<size_t, int>> silentFrames;

    // The device's blocks of `frames` samples into the re-timer until `seconds` of device time,
    // and what comes out.
    void run(DriftingDevice& device, AudioRetimer& retimer, double seconds, int frames = 480) {
        while (device.now() < seconds) {
            retimer.push(device.next(frames));
            drain(retimer);
        }
    }

    void drain(AudioRetimer& retimer) {
        AudioFrame frame;
        while (retimer.pop(1024, frame)) {
            if (samples.empty())
                firstMicroseconds = frame.captureMicroseconds;
            // Frames follow each other without a gap on the capture clock.
            const int64_t expected =
                firstMicroseconds + std::llround(samples.size() * 1e6 / AudioRetimer::kOutputRate);
            EXPECT_NEAR(frame.captureMicroseconds, expected, 1);
            if (frame.silentSamples > 0)
                silentFrames.emplace_back(samples.size(), frame.silentSamples);
            samples.insert(samples.end(), frame.channel(0), frame.channel(0) + frame.samples);
        }
    }

    // How far each dip (one per whole second) lands from its real time, in ms. Silence put in
    // for a gap is no dip.
    std::vector<double> dipErrorsMs() const {
        std::vector<double> errors;
        const double firstMs = double(firstMicroseconds - kStart) / 1000.0;
        const std::vector<double> envelope = envelopeOf(samples);
        for (int window : crossings(envelope, 0.2, false)) {
            if (size_t(window) + 5 < envelope.size() && envelope[size_t(window) + 5] < 0.02)
                continue;
            const double atMs = firstMs + window;
            const double realMs = std::round(atMs / 1000.0) * 1000.0;
            errors.push_back(atMs - realMs);
        }
        return errors;
    }
};

double worst(const std::vector<double>& errors) {
    double worst = 0.0;
    for (double e : errors)
        worst = std::max(worst, std::fabs(e));
    return worst;
}

class Drift : public ::testing::TestWithParam<double> {};

TEST_P(Drift, StaysWithin20msForAMinuteWithoutGaps) {
    DriftingDevice device(GetParam(), 48000, 2, 3000);
    AudioRetimer retimer(2);
    Output output;
    output.run(device, retimer, 60.0);
    const std::vector<double> errors = output.dipErrorsMs();
    ASSERT_GE(errors.size(), 58u);
    EXPECT_LT(worst(errors), 20.0);
    // After the first seconds the drift is learnt and the sound sits close to its time.
    EXPECT_LT(std::fabs(errors.back()), 5.0);

    // Continuous sound: no window quieter than the dips, no sample put in or taken out.
    for (double level : envelopeOf(output.samples))
        ASSERT_GT(level, 0.05);
    EXPECT_EQ(retimer.silenceSamples(), 0);
    EXPECT_EQ(retimer.droppedSamples(), 0);
    // All of the sound came out: a minute of it, less what the resampler still holds.
    EXPECT_NEAR(double(output.samples.size()) / 48000.0, 60.0, 0.05);
}

INSTANTIATE_TEST_SUITE_P(ClockHalfAPercentOff, Drift, ::testing::Values(1.005, 0.995));

TEST(Retimer, FillsAStallWithSilenceWhereItHappened) {
    DriftingDevice device(1.0, 48000, 2, 1000);
    AudioRetimer retimer(2);
    Output output;
    output.run(device, retimer, 3.3);
    const double stallAt = device.now();
    device.stall(0.3);
    output.run(device, retimer, 8.0);
    EXPECT_NEAR(retimer.silenceSamples(), 0.3 * 48000, 480);

    // One quiet run of 300 ms, starting where the sound stopped.
    const std::vector<double> envelope = envelopeOf(output.samples);
    const double firstMs = double(output.firstMicroseconds - kStart) / 1000.0;
    const std::vector<int> quietStarts = crossings(envelope, 0.01, false);
    const std::vector<int> quietEnds = crossings(envelope, 0.01, true);
    ASSERT_EQ(quietStarts.size(), 1u);
    ASSERT_EQ(quietEnds.size(), 1u);
    EXPECT_NEAR(firstMs + quietStarts[0], stallAt * 1000.0, 3.0);
    EXPECT_NEAR(quietEnds[0] - quietStarts[0], 300.0, 3.0);
    // The frames that carry it say so, to the sample.
    int64_t told = 0;
    for (const auto& [first, silent] : output.silentFrames) {
        told += silent;
        EXPECT_GE(first + 1024, size_t(quietStarts[0]) * 48) << "before the quiet run";
        EXPECT_LE(first, size_t(quietEnds[0]) * 48) << "after the quiet run";
    }
    EXPECT_EQ(told, retimer.silenceSamples());

    // What follows the stall stays in place.
    const std::vector<double> errors = output.dipErrorsMs();
    ASSERT_GE(errors.size(), 7u);
    EXPECT_LT(worst(errors), 3.0);
}

// Stalls below 100 ms: a few milliseconds are worked off by the rate, more are filled once
// they persist, and either way the sound is back in place within seconds.
struct ShortStall {
    double seconds;
    int64_t silenceSamples;
};

class ShortStalls : public ::testing::TestWithParam<ShortStall> {};

TEST_P(ShortStalls, AreWorkedOffOrFilled) {
    DriftingDevice device(1.0, 48000, 1, 1000);
    AudioRetimer retimer(1);
    Output output;
    device.next(48000);  // the device started a second before its first block was read
    while (device.now() < 12.0) {
        if (std::fabs(device.now() - 3.5) < 0.005)
            device.stall(GetParam().seconds);
        retimer.push(device.next(480));
        output.drain(retimer);
    }
    EXPECT_NEAR(retimer.silenceSamples(), GetParam().silenceSamples, 240);
    const std::vector<double> errors = output.dipErrorsMs();
    ASSERT_GE(errors.size(), 10u);
    EXPECT_LT(worst(errors), 20.0);
    EXPECT_LT(std::fabs(errors.back()), 2.0);
}

INSTANTIATE_TEST_SUITE_P(Retimer, ShortStalls,
                         ::testing::Values(ShortStall{0.015, 0}, ShortStall{0.06, 2880}),
                         [](const ::testing::TestParamInfo<ShortStall>& info) {
                             return std::to_string(std::lround(info.param.seconds * 1000)) + "ms";
                         });

TEST(Retimer, LostSourceIsFilledAndComesBackDifferentInPlace) {
    DriftingDevice device(1.0, 48000, 2, 1000);
    AudioRetimer retimer(2);
    Output output;
    output.run(device, retimer, 2.2);
    // Gone for 1.5 s; meanwhile the owner keeps the timeline going up to 200 ms ago.
    const double lostAt = device.now();
    for (double t = lostAt; t < lostAt + 1.5; t += 0.1) {
        retimer.fillSilenceUntil(kStart + std::llround((t - 0.2) * 1e6));
        output.drain(retimer);
    }
    const size_t filledWhileLost = output.samples.size();
    device.stall(1.5);
    // It comes back as a mono device at 44.1 kHz.
    device.reconfigure(44100, 1);
    output.run(device, retimer, 7.0, 441);
    EXPECT_GT(filledWhileLost, size_t(3.0 * 48000));
    EXPECT_NEAR(retimer.silenceSamples(), 1.5 * 48000, 960);
    EXPECT_EQ(retimer.droppedSamples(), 0);
    const std::vector<double> errors = output.dipErrorsMs();
    ASSERT_GE(errors.size(), 5u);
    EXPECT_LT(worst(errors), 3.0);
}

TEST(Retimer, SoundAheadOfItsTimeIsDropped) {
    DriftingDevice device(1.0, 48000, 2, 0);
    AudioRetimer retimer(2);
    Output output;
    output.run(device, retimer, 2.0);
    device.stall(-0.25);  // a clock that stepped back: these samples were already played
    output.run(device, retimer, 5.0);
    EXPECT_NEAR(retimer.droppedSamples(), 0.25 * 48000, 480);
    EXPECT_EQ(retimer.silenceSamples(), 0);
    const std::vector<double> errors = output.dipErrorsMs();
    ASSERT_GE(errors.size(), 4u);
    EXPECT_LT(worst(errors), 3.0);
}

// The first block of a stream comes before the server's first latency report, so it is
// stamped as read, too late by what waited in the server (20 ms here); the blocks after it are
// stamped right. The difference is taken at once: the sound is in place from the first dip on,
// not steered there over the seconds that drift needs to be learnt.
TEST(Retimer, AStreamsFirstBlockStampedLateIsPlacedByTheBlocksThatFollow) {
    DriftingDevice device(1.005, 48000, 2, 2000);
    AudioRetimer retimer(2);
    retimer.startAt(kStart - 200'000);  // when the source was opened
    AudioBlock first = device.next(480);
    first.captureMicroseconds += 20'000;
    retimer.push(first);
    Output output;
    output.run(device, retimer, 10.0);
    const std::vector<double> errors = output.dipErrorsMs();
    ASSERT_GE(errors.size(), 9u);
    EXPECT_LT(worst(errors), 10.0) << ::testing::PrintToString(errors);
    EXPECT_NEAR(retimer.droppedSamples(), 0.02 * 48000, 480);
}

TEST(Retimer, GivesNothingBeforeAFrameIsWhole) {
    AudioRetimer retimer(2);
    AudioFrame frame;
    EXPECT_FALSE(retimer.pop(1024, frame));
    retimer.fillSilenceUntil(kStart + 1'000'000);  // no anchor yet: nothing to fill
    EXPECT_EQ(retimer.available(), 0);
    AudioBlock empty;
    empty.channels = 2;
    empty.sampleRate = 48000;
    retimer.push(empty);
    EXPECT_FALSE(retimer.pop(1024, frame));
}

}  // namespace
