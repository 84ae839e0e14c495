// Capture against a PulseAudio server of the test's own: the default and named sources, their
// channel counts, the times blocks are stamped with, an unknown name, no server, and a source
// that goes away and comes back. Skipped where no server starts.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "pulse_capture.h"
#include "pulse_server.h"
#include "tone_signal.h"

namespace {

int64_t steadyMicroseconds() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// What the capture hands over, gathered from libpulse's thread.
struct Received {
    std::mutex mutex;
    std::vector<AudioBlock> blocks;
    std::vector<std::pair<bool, std::string>> presence;

    PulseCapture::BlockSink blockSink() {
        return [this](AudioBlock&& block) {
            std::lock_guard<std::mutex> lock(mutex);
            blocks.push_back(std::move(block));
        };
    }
    PulseCapture::PresenceSink presenceSink() {
        return [this](bool present, const std::string& detail) {
            std::lock_guard<std::mutex> lock(mutex);
            presence.emplace_back(present, detail);
        };
    }
    // Waits up to `seconds` for `done`, checked under the lock.
    bool waitFor(double seconds, const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::milliseconds(std::lround(seconds * 1000));
        while (std::chrono::steady_clock::now() < deadline) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (done())
                    return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
};

class Capture : public ::testing::Test {
  protected:
    void SetUp() override {
        m_server = std::make_unique<PulseServer>();
        if (!m_server->problem().empty())
            GTEST_SKIP() << "No PulseAudio server of the test's own: " << m_server->problem();
        m_server->feed("mic");
        ASSERT_TRUE(m_server->settle());
    }

    // One second of a 1 kHz tone at 0.5 played into the sink `sink`, stereo float at 48 kHz.
    void playTone(const std::string& sink) {
        const std::string path = m_server->directory() + "/tone.raw";
        {
            std::ofstream file(path, std::ios::binary);
            for (int i = 0; i < 48000; ++i) {
                const float value =
                    float(0.5 * std::sin(2 * 3.14159265358979 * 1000.0 * i / 48000));
                file.write(reinterpret_cast<const char*>(&value), sizeof value);
                file.write(reinterpret_cast<const char*>(&value), sizeof value);
            }
        }
        ASSERT_EQ(m_server->run("pacat --playback --latency-msec=20 -d " + sink +
                                " --format=float32le --rate=48000 --channels=2 " + path),
                  0);
    }

    std::unique_ptr<PulseServer> m_server;
};

TEST_F(Capture, RecordsTheDefaultSourceWithItsCaptureTimes) {
    Received received;
    PulseCapture capture(received.blockSink(), received.presenceSink());
    ASSERT_TRUE(capture.start("")) << capture.failureText();
    const SoundSource source = capture.source();
    EXPECT_EQ(source.name, "mic.monitor");
    EXPECT_FALSE(source.description.empty());
    EXPECT_EQ(source.channels, 2);
    EXPECT_EQ(source.sampleRate, 48000);
    ASSERT_EQ(capture.sources().size(), 1u);
    EXPECT_EQ(capture.sources()[0].name, "mic.monitor");

    const int64_t played = steadyMicroseconds();
    playTone("mic");
    ASSERT_TRUE(received.waitFor(2.0, [&] {
        for (const AudioBlock& block : received.blocks)
            if (rmsOf(block.samples.data(), block.frames(), 2) > 0.3)
                return true;
        return false;
    })) << "the tone never arrived";
    const int64_t ended = steadyMicroseconds();
    capture.stop();

    std::lock_guard<std::mutex> lock(received.mutex);
    const std::vector<AudioBlock>& blocks = received.blocks;
    ASSERT_GT(blocks.size(), 20u);
    int64_t firstLoud = 0;
    int64_t lengthSum = 0;
    for (size_t i = 0; i < blocks.size(); ++i) {
        EXPECT_EQ(blocks[i].channels, 2);
        EXPECT_EQ(blocks[i].sampleRate, 48000);
        // Fragments of about 10 ms, none longer than what the server was asked for twice over.
        EXPECT_LE(blocks[i].frames(), 960);
        if (firstLoud == 0 && rmsOf(blocks[i].samples.data(), blocks[i].frames(), 2) > 0.3)
            firstLoud = blocks[i].captureMicroseconds;
        if (i + 1 < blocks.size())
            lengthSum += int64_t(blocks[i].frames()) * 1'000'000 / 48000;
    }
    // Each block follows the last by its own length: the stamps form one timeline, within what
    // the server's latency reports lag behind a busy machine's scheduling. In a stream's first
    // second those reports still settle, by up to 50 ms (seen under ASan); the re-timer takes
    // that up.
    const int64_t span = blocks.back().captureMicroseconds - blocks.front().captureMicroseconds;
    EXPECT_NEAR(double(span), double(lengthSum), 80'000.0);
    // The tone was recorded after pacat started it, not later than it ended.
    EXPECT_GE(firstLoud, played);
    EXPECT_LE(firstLoud, ended);
    EXPECT_LT(blocks.back().captureMicroseconds, ended);
}

struct ChannelCase {
    int sinkChannels;
    int recorded;
};

class Channels : public Capture, public ::testing::WithParamInterface<ChannelCase> {};

TEST_P(Channels, AreTheSourcesOwnUpToTwo) {
    const std::string sink = "sink" + std::to_string(GetParam().sinkChannels);
    ASSERT_EQ(m_server->run("pactl load-module module-null-sink sink_name=" + sink +
                            " rate=44100 channels=" + std::to_string(GetParam().sinkChannels)),
              0);
    m_server->feed(sink, 44100);
    ASSERT_TRUE(m_server->settle());
    Received received;
    PulseCapture capture(received.blockSink(), received.presenceSink());
    ASSERT_TRUE(capture.start(sink + ".monitor")) << capture.failureText();
    EXPECT_EQ(capture.source().channels, GetParam().recorded);
    EXPECT_EQ(capture.source().sampleRate, 44100);
    ASSERT_TRUE(received.waitFor(2.0, [&] { return received.blocks.size() >= 5; }));
    std::lock_guard<std::mutex> lock(received.mutex);
    EXPECT_EQ(received.blocks.back().channels, GetParam().recorded);
    EXPECT_EQ(received.blocks.back().sampleRate, 44100);
}

INSTANTIATE_TEST_SUITE_P(Capture, Channels,
                         ::testing::Values(ChannelCase{1, 1}, ChannelCase{2, 2}, ChannelCase{6, 2}),
                         [](const ::testing::TestParamInfo<ChannelCase>& info) {
                             return std::to_string(info.param.sinkChannels) + "channels";
                         });

TEST_F(Capture, UnknownSourceIsNamedWithThoseThatExist) {
    Received received;
    PulseCapture capture(received.blockSink(), received.presenceSink());
    EXPECT_FALSE(capture.start("usb-headset"));
    EXPECT_EQ(capture.failure(), CaptureFailure::UnknownSource);
    const std::string text = capture.failureText();
    EXPECT_NE(text.find("\"usb-headset\""), std::string::npos) << text;
    EXPECT_NE(text.find("mic.monitor ("), std::string::npos) << text;
}

TEST_F(Capture, SourceThatGoesIsReportedOnceAndFoundAgain) {
    const std::string loaded = PulseServer::output(
        "pactl load-module module-null-sink sink_name=usb rate=48000 channels=1");
    ASSERT_FALSE(loaded.empty());
    m_server->feed("usb");
    ASSERT_TRUE(m_server->settle());
    Received received;
    PulseCapture capture(received.blockSink(), received.presenceSink());
    ASSERT_TRUE(capture.start("usb.monitor")) << capture.failureText();
    ASSERT_TRUE(received.waitFor(2.0, [&] { return received.blocks.size() >= 3; }));

    ASSERT_EQ(m_server->run("pactl unload-module " + loaded), 0);
    ASSERT_TRUE(received.waitFor(2.0, [&] { return !received.presence.empty(); }));
    size_t blocksWhenGone;
    {
        std::lock_guard<std::mutex> lock(received.mutex);
        EXPECT_FALSE(received.presence[0].first);
        EXPECT_NE(received.presence[0].second.find("usb.monitor"), std::string::npos);
        blocksWhenGone = received.blocks.size();
    }
    // Gone for longer than a retry or two: still one report.
    std::this_thread::sleep_for(std::chrono::milliseconds(4500));
    ASSERT_EQ(m_server->run("pactl load-module module-null-sink sink_name=usb rate=48000 "
                            "channels=1"),
              0);
    m_server->feed("usb");
    ASSERT_TRUE(received.waitFor(4.0, [&] { return received.presence.size() >= 2; }));
    ASSERT_TRUE(
        received.waitFor(2.0, [&] { return received.blocks.size() >= blocksWhenGone + 3; }));
    std::lock_guard<std::mutex> lock(received.mutex);
    ASSERT_EQ(received.presence.size(), 2u);
    EXPECT_TRUE(received.presence[1].first);
}

TEST_F(Capture, ServerThatGoesIsReported) {
    Received received;
    PulseCapture capture(received.blockSink(), received.presenceSink());
    ASSERT_TRUE(capture.start("")) << capture.failureText();
    m_server.reset();
    ASSERT_TRUE(received.waitFor(2.0, [&] { return !received.presence.empty(); }));
    std::lock_guard<std::mutex> lock(received.mutex);
    EXPECT_FALSE(received.presence[0].first);
    EXPECT_NE(received.presence[0].second.find("server"), std::string::npos);
}

TEST(CaptureWithoutServer, FailsAtOnceWithTheReason) {
    const char* previous = std::getenv("PULSE_SERVER");
    const std::string kept = previous != nullptr ? previous : "";
    setenv("PULSE_SERVER", "unix:/nonexistent/camfx/native", 1);
    Received received;
    PulseCapture capture(received.blockSink(), received.presenceSink());
    const auto begun = std::chrono::steady_clock::now();
    EXPECT_FALSE(capture.start(""));
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(3));
    EXPECT_EQ(capture.failure(), CaptureFailure::NoServer);
    EXPECT_NE(capture.failureText().find("no sound server"), std::string::npos)
        << capture.failureText();
    if (previous != nullptr)
        setenv("PULSE_SERVER", kept.c_str(), 1);
    else
        unsetenv("PULSE_SERVER");
}

}  // namespace
