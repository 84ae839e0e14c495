// Live streaming over SRT and RTSP on the loopback interface, with FFmpeg as the receiving end:
// what it receives decodes and matches the viewer's own account; a receiver that comes late,
// goes away and comes back, or reads slowly; the stream beside a recording switched on and off.
#include <X11/keysym.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "faulty_rtsp_server.h"
#include "free_port.h"
#include "hevc_check.h"
#include "text_count.h"
#include "viewer_fixture.h"

namespace {

using namespace std::chrono_literals;

struct StreamedLine {
    int sent = -1;
    int dropped = -1;
};

StreamedLine streamedLine(const std::string& out) {
    std::smatch match;
    StreamedLine line;
    if (std::regex_search(
            out, match,
            std::regex(R"(Streamed [0-9.]+ s to \S+: (\d+) frames sent, (\d+) dropped)"))) {
        line.sent = std::stoi(match[1]);
        line.dropped = std::stoi(match[2]);
    }
    return line;
}

// The number after `name=` in the test application's report.
double reported(const std::string& err, const std::string& name) {
    std::smatch match;
    if (!std::regex_search(err, match, std::regex(name + "=([0-9.]+)")))
        return -1;
    return std::stod(match[1]);
}

// Whether a socket listens on TCP `port` of 127.0.0.1; asking the kernel rather than connecting
// leaves a receiver's one connection to the viewer.
bool tcpListening(int port) {
    char local[32];
    std::snprintf(local, sizeof local, "0100007F:%04X", port);
    std::ifstream table("/proc/net/tcp");
    std::string line;
    while (std::getline(table, line))
        if (line.find(local) != std::string::npos && line.find(" 0A ") != std::string::npos)
            return true;
    return false;
}

// The picture's rate in `path`: on average over its packets' span, and the most that any one
// second from a packet on carries, in bits a second; and its pictures a second.
struct PictureRate {
    double average = 0.0;
    double busiestSecond = 0.0;
    double framesPerSecond = 0.0;
};

PictureRate pictureRate(const std::string& path) {
    const std::string command =
        "ffprobe -v error -select_streams v:0 -show_entries packet=pts_time,size -of csv=p=0 '" +
        path + "'";
    std::vector<std::pair<double, double>> packets;  // time, bits
    if (FILE* pipe = popen(command.c_str(), "r")) {
        double time = 0.0, bytes = 0.0;
        char line[128];
        while (std::fgets(line, sizeof line, pipe) != nullptr)
            if (std::sscanf(line, "%lf,%lf", &time, &bytes) == 2)
                packets.emplace_back(time, bytes * 8.0);
        pclose(pipe);
    }
    std::sort(packets.begin(), packets.end());
    PictureRate rate;
    if (packets.size() < 2)
        return rate;
    double total = 0.0;
    for (size_t first = 0, last = 0; first < packets.size(); ++first) {
        total += packets[first].second;
        double window = 0.0;
        for (last = first;
             last < packets.size() && packets[last].first < packets[first].first + 1.0; ++last)
            window += packets[last].second;
        // Only whole seconds: the last one's packets reach the end.
        if (last < packets.size())
            rate.busiestSecond = std::max(rate.busiestSecond, window);
    }
    // Each packet lasts until the next; the last one as long as the one before it.
    const double span = (packets.back().first - packets.front().first) *
                        static_cast<double>(packets.size()) / (packets.size() - 1);
    rate.average = total / span;
    rate.framesPerSecond = static_cast<double>(packets.size()) / span;
    return rate;
}

class Streaming : public ViewerTest {
  protected:
    void SetUp() override {
        ViewerTest::SetUp();
        port = freeUdpPort();
        ASSERT_GT(port, 0);
    }

    void TearDown() override {
        // Every receiver this test started ends with it.
        for (auto& receiver : receivers)
            if (receiver->running())
                receiver->kill();
        if (app != nullptr && app->running())
            app->kill();
    }

    std::string url() const { return "srt://127.0.0.1:" + std::to_string(port); }
    std::string rtspUrl() const { return "rtsp://127.0.0.1:" + std::to_string(tcpPort) + "/live"; }
    std::string file(const std::string& name) const { return dir.path() + "/" + name; }

    // FFmpeg listening on the port, copying what comes into `name` as MPEG-TS.
    ChildProcess& startReceiver(const std::string& name) {
        receivers.push_back(std::make_unique<ChildProcess>(
            "/usr/bin/ffmpeg",
            std::vector<std::string>{"-hide_banner", "-nostdin", "-loglevel", "error", "-y", "-i",
                                     url() + "?mode=listener", "-c", "copy", "-f", "mpegts",
                                     file(name)},
            dir.path()));
        return *receivers.back();
    }

    // FFmpeg as an RTSP server waiting for the viewer's stream, copying it into `name` as
    // MPEG-TS; `input` goes before its input. Returns once it listens.
    ChildProcess& startRtspReceiver(const std::string& name, std::vector<std::string> input = {}) {
        tcpPort = freeTcpPort();
        input.insert(input.begin(), {"-hide_banner", "-nostdin", "-loglevel", "error", "-y"});
        input.insert(input.end(), {"-rtsp_flags", "listen", "-i", rtspUrl(), "-c", "copy", "-f",
                                   "mpegts", file(name)});
        receivers.push_back(std::make_unique<ChildProcess>("/usr/bin/ffmpeg", input, dir.path()));
        for (int i = 0; i < 100 && !tcpListening(tcpPort) && receivers.back()->running(); ++i)
            std::this_thread::sleep_for(50ms);
        EXPECT_TRUE(tcpListening(tcpPort)) << receivers.back()->standardError();
        return *receivers.back();
    }

    // Ends a receiver: it stops by itself once the viewer closes its stream; a gentle signal
    // otherwise, so that it finishes its file.
    void endReceiver(ChildProcess& receiver) {
        if (!receiver.waitForExit(15s) && receiver.running()) {
            receiver.sendSignal(SIGINT);
            if (!receiver.waitForExit(10s) && receiver.running())
                receiver.kill();
        }
    }

    // Until the viewer's output holds `text`, at most `timeout`.
    bool waitForOutput(const std::string& text, std::chrono::seconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (app->standardOutput().find(text) != std::string::npos)
                return true;
            std::this_thread::sleep_for(100ms);
        }
        return false;
    }

    // Until `name` has received some of the stream.
    bool waitForData(const std::string& name, std::chrono::seconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::error_code error;
        while (std::chrono::steady_clock::now() < deadline) {
            if (std::filesystem::file_size(file(name), error) > 64 * 1024 && !error)
                return true;
            std::this_thread::sleep_for(100ms);
        }
        return false;
    }

    void expectDecodes(const std::string& name) {
        EXPECT_GT(probe(file(name)).frames, 0) << name;
        EXPECT_EQ(decodeErrors(file(name)), "") << name;
    }

    // The viewer streams to `to` for about 5 s after `name` begins to fill, then closes, and so
    // does the receiver; returns the viewer's output.
    std::string streamFiveSeconds(ChildProcess& receiver, const std::string& to,
                                  const std::string& name, std::vector<std::string> options = {}) {
        options.insert(options.begin(), {"--fps=30", "--stream=" + to});
        start(options);
        EXPECT_TRUE(waitForData(name, 30s)) << app->standardOutput();
        std::this_thread::sleep_for(5s);
        EXPECT_EQ(close(), 0) << app->standardError();
        endReceiver(receiver);
        return app->standardOutput();
    }

    // What arrived in `name` decodes without an error, as many frames as the viewer sent.
    void expectReceivedAsSent(const std::string& out, const std::string& name) {
        const StreamedLine line = streamedLine(out);
        ASSERT_GT(line.sent, 0) << out;
        EXPECT_EQ(probe(file(name)).frames, line.sent) << name;
        EXPECT_EQ(decodeErrors(file(name)), "") << name;
    }

    int port = 0;     // UDP, for SRT
    int tcpPort = 0;  // for RTSP
    std::vector<std::unique_ptr<ChildProcess>> receivers;
};

TEST_F(Streaming, WhatIsReceivedDecodesAndMatchesTheViewersAccount) {
    ChildProcess& receiver = startReceiver("received.ts");
    const std::string out =
        streamFiveSeconds(receiver, url(), "received.ts", {"--frame-log=" + file("frames.log")});
    EXPECT_EQ(countOf(out, "Streaming to " + url() + " (MPEG-TS, HEVC 1280x720)"), 1) << out;
    expectReceivedAsSent(out, "received.ts");

    // The received times are the capture times of a run of consecutive frames that the ring
    // took (those after which its count grew).
    const std::vector<PacketTime> packets = packetTimes(file("received.ts"));
    const std::vector<LoggedFrame> log = readFrameLog(file("frames.log"));
    const std::string err = app->standardError();
    std::smatch written;
    ASSERT_TRUE(std::regex_search(err, written, std::regex("written=(\\d+)")));
    std::vector<int64_t> taken;
    for (size_t k = 0; k < log.size(); ++k) {
        const int after = k + 1 < log.size() ? log[k + 1].writtenBefore : std::stoi(written[1]);
        if (after > log[k].writtenBefore)
            taken.push_back(log[k].captureTime);
    }
    ASSERT_GT(packets.size(), 10u);
    // A key frame at least every 2 s: no other picture comes 2 s or more after the last one.
    ASSERT_TRUE(packets[0].key);
    double lastKey = packets[0].time;
    for (const PacketTime& packet : packets) {
        if (packet.key)
            lastKey = packet.time;
        else
            EXPECT_LT(packet.time - lastKey, 2.0 + 0.001) << "at " << packet.time;
    }
    if (countOf(out, "too slow") == 0) {
        bool found = false;
        for (size_t first = 0; !found && first + packets.size() <= taken.size() + 1; ++first) {
            found = true;
            for (size_t i = 1; found && i < packets.size(); ++i) {
                const double captured =
                    first + i < taken.size()
                        ? static_cast<double>(taken[first + i] - taken[first]) / 1e6
                        : -1.0;
                found = std::abs((packets[i].time - packets[0].time) - captured) <= 0.010;
            }
        }
        EXPECT_TRUE(found) << "the received times follow no run of capture times";
    }
}

TEST_F(Streaming, AReceiverThatComesLateGetsTheStream) {
    // The stream id stands for a token: it must not reach the log.
    start({"--fps=30", "--stream=" + url() + "?streamid=secret-token"});
    ASSERT_TRUE(waitForOutput("Cannot reach " + url(), 30s)) << app->standardOutput();
    std::this_thread::sleep_for(3s);
    ChildProcess& receiver = startReceiver("late.ts");
    ASSERT_TRUE(waitForData("late.ts", 30s)) << app->standardOutput();
    ASSERT_TRUE(waitForOutput("up again after", 10s)) << app->standardOutput();
    std::this_thread::sleep_for(2s);
    ASSERT_EQ(close(), 0) << app->standardError();
    endReceiver(receiver);

    const std::string out = app->standardOutput();
    EXPECT_EQ(countOf(out, "Cannot reach"), 1) << out;
    EXPECT_EQ(countOf(out, "up again after"), 1) << out;
    EXPECT_EQ(out.find("secret"), std::string::npos) << out;
    expectDecodes("late.ts");
}

TEST_F(Streaming, AReceiverThatGoesAndComesBackIsReconnectedWhileTheRecordingGoesOn) {
    ChildProcess& first = startReceiver("first.ts");
    start({"--fps=30", "--record", "--stream=" + url()});
    ASSERT_TRUE(waitForData("first.ts", 30s)) << app->standardOutput();
    first.kill();
    // SRT tells a silent peer from a slow one only after some seconds.
    ASSERT_TRUE(waitForOutput("lost:", 60s)) << app->standardOutput();
    ChildProcess& second = startReceiver("second.ts");
    ASSERT_TRUE(waitForOutput("up again after", 60s)) << app->standardOutput();
    ASSERT_TRUE(waitForData("second.ts", 30s)) << app->standardOutput();
    ASSERT_EQ(close(), 0) << app->standardError();
    endReceiver(second);

    const std::string out = app->standardOutput();
    EXPECT_EQ(countOf(out, "lost:"), 1) << out;
    EXPECT_EQ(countOf(out, "up again after"), 1) << out;
    expectDecodes("second.ts");
    expectDecodes("camera.hevc");
}

TEST_F(Streaming, RecordingSwitchedOnTwiceBesideTheStreamLeavesOneDecodableFile) {
    ChildProcess& receiver = startReceiver("received.ts");
    start({"--fps=30", "--stream=" + url()});
    ASSERT_TRUE(waitForData("received.ts", 30s)) << app->standardOutput();
    for (int span = 0; span < 2; ++span) {
        x.tap(XK_space, 500ms);
        ASSERT_TRUE(x.waitForTitle(window, "Encoding video...", 10s));
        std::this_thread::sleep_for(1500ms);
        x.tap(XK_space, 500ms);
        ASSERT_TRUE(x.waitForTitle(window, "Camera", 10s));
        std::this_thread::sleep_for(1s);
    }
    ASSERT_EQ(close(), 0) << app->standardError();
    endReceiver(receiver);

    const std::string out = app->standardOutput();
    EXPECT_EQ(countOf(out, "lost:"), 0) << out;
    expectDecodes("camera.hevc");
    expectReceivedAsSent(out, "received.ts");
}

TEST_F(Streaming, WhatAnRtspServerReceivesDecodesAndMatchesTheViewersAccount) {
    ChildProcess& receiver = startRtspReceiver("rtsp.ts");  // before the URL, which names its port
    const std::string out = streamFiveSeconds(receiver, rtspUrl(), "rtsp.ts");
    EXPECT_EQ(countOf(out, "Streaming to " + rtspUrl() + " (RTSP, HEVC 1280x720)"), 1) << out;
    expectReceivedAsSent(out, "rtsp.ts");
}

// The codec travels the same way over both protocols: H.264 over SRT stands for both.
TEST_F(Streaming, H264OverSrtDecodesAsSent) {
    ChildProcess& receiver = startReceiver("received.ts");
    const std::string out = streamFiveSeconds(receiver, url(), "received.ts", {"--codec=h264"});
    EXPECT_EQ(countOf(out, "Streaming to " + url() + " (MPEG-TS, H.264 1280x720)"), 1) << out;
    EXPECT_EQ(probe(file("received.ts")).codec, "h264");
    expectReceivedAsSent(out, "received.ts");
}

// Over RTSP's TCP connection a receiver that reads a tenth of what comes holds the sender back
// once the sockets' buffers are full; the swirl's busy picture fills them within seconds, at a
// frame rate that leaves the encoder time to spare on two cores. (An SRT sender feels no slow
// reader: libsrt drops what is late itself.)
TEST_F(Streaming, AReceiverThatReadsSlowlyLeavesTheViewerAndTheRecordingAlone) {
    ChildProcess& receiver = startRtspReceiver("slow.ts", {"-readrate", "0.1"});
    start({"--fps=15", "--effects=8", "--record", "--seconds=10", "--stream=" + rtspUrl(),
           "--frame-log=" + file("frames.log")},
          CAMFX_TESTAPP, false);
    ASSERT_EQ(app->waitForExit(60s), 0) << app->standardError();
    receiver.kill();

    const std::string out = app->standardOutput(), err = app->standardError();
    const double delivered = reported(err, "frames delivered");
    EXPECT_GT(delivered / reported(err, "seconds"), 13.5) << err;
    const int encoded = static_cast<int>(reported(err, "encoded"));
    EXPECT_EQ(probe(file("camera.hevc")).frames, encoded);
    EXPECT_EQ(decodeErrors(file("camera.hevc")), "");
    // An encoder held by the network would leave the recording a gap of seconds; a busy
    // machine only thins it out.
    const std::vector<LoggedFrame> log = readFrameLog(file("frames.log"));
    ASSERT_GT(log.size(), 100u);
    int64_t lastTaken = log.front().captureTime, widestGap = 0;
    for (size_t k = 0; k + 1 < log.size(); ++k)
        if (log[k + 1].writtenBefore > log[k].writtenBefore) {
            widestGap = std::max(widestGap, log[k].captureTime - lastTaken);
            lastTaken = log[k].captureTime;
        }
    EXPECT_LT(widestGap, 1'000'000) << "microseconds without a recorded frame";

    // Every frame was sent or dropped; the WARN lines count all that was dropped but what may
    // still be queued when the run ends: at most one second's worth and the one in flight.
    const StreamedLine line = streamedLine(out);
    EXPECT_EQ(line.sent + line.dropped, encoded) << out;
    int warned = 0;
    const std::regex warning(R"(too slow for the network: dropped (\d+) frames)");
    for (std::sregex_iterator it(out.begin(), out.end(), warning), end; it != end; ++it)
        warned += std::stoi((*it)[1]);
    EXPECT_GT(warned, 0) << out;
    EXPECT_LE(warned, line.dropped) << out;
    EXPECT_LE(line.dropped - warned, 16) << out;
}

// A server that takes the stream and drops it at once (a path already in use, a proxy that
// resets) is asked again at most every 2 s, and each attempt costs the recording beside it at
// most one key frame more than its own one every 2 s.
TEST_F(Streaming, AServerThatDropsEachConnectionCostsTheRecordingOneKeyFramePerAttempt) {
    FaultyRtspServer server(FaultyRtspServer::Fault::CloseAfterRecord);
    start(
        {"--fps=30", "--record", "--seconds=10", "--output=camera.mkv", "--stream=" + server.url()},
        CAMFX_TESTAPP, false);
    ASSERT_EQ(app->waitForExit(60s), 0) << app->standardError();

    const size_t attempts = server.connections().size();
    EXPECT_GE(attempts, 1u);
    EXPECT_LE(attempts, 6u) << app->standardOutput();
    const std::vector<PacketTime> packets = packetTimes(file("camera.mkv"));
    ASSERT_GT(packets.size(), 30u);
    const auto keys = std::count_if(packets.begin(), packets.end(),
                                    [](const PacketTime& packet) { return packet.key; });
    const double seconds = packets.back().time - packets.front().time;
    EXPECT_LE(static_cast<double>(keys), static_cast<double>(attempts) + seconds / 2 + 1)
        << attempts << " attempts in " << seconds << " s";
    EXPECT_EQ(decodeErrors(file("camera.mkv")), "");
}

TEST_F(Streaming, AServerThatNeverAnswersIsToldSoAndTheViewerStillClosesPromptly) {
    FaultyRtspServer server(FaultyRtspServer::Fault::NeverAnswer);
    start({"--fps=30", "--record", "--output=camera.mp4", "--stream=" + server.url()});
    ASSERT_TRUE(waitForOutput(": no answer within 5 s; trying again every 2 s", 30s))
        << app->standardOutput();
    const auto closing = std::chrono::steady_clock::now();
    ASSERT_EQ(close(), 0) << app->standardError();
    EXPECT_LT(std::chrono::steady_clock::now() - closing, 3s);
    EXPECT_EQ(decodeErrors(file("camera.mp4")), "");
}

// At a set rate the recording and the stream, which one encoder feeds, keep to it: within 10%
// on average, and no second carries half as much again. The encoder shares the rate out over
// the camera's 30 frames a second; a slow (sanitizer) build that shows fewer sends less.
TEST_F(Streaming, ABitrateHoldsTheRecordingAndTheStreamToIt) {
    ChildProcess& receiver = startReceiver("received.ts");
    const std::string out = streamFiveSeconds(receiver, url(), "received.ts",
                                              {"--bitrate=4M", "--record", "--output=camera.mp4"});
    EXPECT_EQ(countOf(out, "fps, 4.0 Mbit/s, 1 s buffer: "), 1) << out;

    double expected = 0.0;
    for (const std::string name : {"camera.mp4", "received.ts"}) {
        const PictureRate rate = pictureRate(file(name));
        expected = 4e6 * std::min(1.0, rate.framesPerSecond / 30.0);
        EXPECT_NEAR(rate.average, expected, expected * 0.1)
            << name << " at " << rate.framesPerSecond << " fps";
        EXPECT_LE(rate.busiestSecond, 6e6) << name;
    }
    expectDecodes("received.ts");
    std::smatch told;
    ASSERT_TRUE(std::regex_search(out, told, std::regex(R"(dropped, ([0-9.]+) Mbit/s on average)")))
        << out;
    EXPECT_NEAR(std::stod(told[1]) * 1e6, expected, expected * 0.1) << out;
}

}  // namespace
