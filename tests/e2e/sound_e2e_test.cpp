// Sound beside the picture: a tone played into a sound server of the test's own (a null sink
// whose monitor is the microphone) reaches the MP4, the Matroska file and the SRT stream, for as
// long as the picture lasts; and what the viewer does without sound.
#include <X11/keysym.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "free_port.h"
#include "hevc_check.h"
#include "pulse_server.h"
#include "text_count.h"
#include "viewer_fixture.h"

namespace {

using namespace std::chrono_literals;

constexpr double kToneHz = 1000.0;

// What ffprobe says of one stream of a file: its codec and how long it lasts, from the first
// packet's time to the last packet's end.
struct TrackInfo {
    std::string codec;
    double start = -1.0;
    double end = -1.0;
};

TrackInfo track(const std::string& path, const char* selector) {
    TrackInfo info;
    const std::string command = std::string("ffprobe -v error -select_streams ") + selector +
                                " -show_entries stream=codec_name:packet=pts_time,duration_time"
                                " -of csv=p=0 '" +
                                path + "'";
    std::istringstream lines(PulseServer::output(command));
    for (std::string line; std::getline(lines, line);) {
        double time = 0.0, duration = 0.0;
        if (std::sscanf(line.c_str(), "%lf,%lf", &time, &duration) == 2) {
            info.start = info.start < 0 ? time : std::min(info.start, time);
            info.end = std::max(info.end, time + duration);
        } else if (!line.empty() && std::isalpha(static_cast<unsigned char>(line[0]))) {
            info.codec = line.substr(0, line.find(','));
        }
    }
    return info;
}

// The sound of `path` from `from` for `seconds`, mixed to one channel at 48 kHz. With
// `onTheClock`, sample n is the sound at n / 48000 s of the file's clock, by the packets' own
// times, whatever a decoder trims.
std::vector<int16_t> soundOf(const std::string& path, double from, double seconds,
                             bool onTheClock = false) {
    char command[512];
    std::snprintf(command, sizeof command,
                  "ffmpeg -v error -ss %.3f -t %.3f -i '%s' -map 0:a:0 %s -ac 1 -ar 48000 "
                  "-f s16le -",
                  from, seconds, path.c_str(),
                  onTheClock ? "-copyts -af aresample=async=1:first_pts=0" : "");
    std::vector<int16_t> samples;
    if (FILE* pipe = popen(command, "r")) {
        int16_t buffer[4096];
        size_t n;
        while ((n = fread(buffer, sizeof buffer[0], 4096, pipe)) > 0)
            samples.insert(samples.end(), buffer, buffer + n);
        pclose(pipe);
    }
    return samples;
}

// The tone heard in `samples`: its level (RMS) and its pitch from the zero crossings.
struct Heard {
    double rms = 0.0;
    double hz = 0.0;
};

Heard hear(const std::vector<int16_t>& samples) {
    Heard heard;
    if (samples.size() < 4800)
        return heard;
    double sum = 0.0;
    int crossings = 0;
    for (size_t i = 0; i < samples.size(); ++i) {
        sum += double(samples[i]) * samples[i];
        if (i > 0 && (samples[i - 1] < 0) != (samples[i] < 0))
            ++crossings;
    }
    heard.rms = std::sqrt(sum / samples.size());
    heard.hz = crossings / 2.0 / (samples.size() / 48000.0);
    return heard;
}

// A viewer recorded in two spans of `span` each, with a pause between them, and closed.
class TwoSpans : public ViewerTest {
  protected:
    void recordTwoSpans(std::chrono::milliseconds span, std::chrono::milliseconds pause) {
        for (int i = 0; i < 2; ++i) {
            x.tap(XK_space, 500ms);
            ASSERT_TRUE(x.waitForTitle(window, "Encoding video...", 10s));
            std::this_thread::sleep_for(span);
            x.tap(XK_space, 500ms);
            ASSERT_TRUE(x.waitForTitle(window, "Camera", 10s));
            std::this_thread::sleep_for(pause);
        }
        ASSERT_EQ(close(), 0) << app->standardError();
    }
};

class Sound : public TwoSpans {
  protected:
    void SetUp() override {
        ViewerTest::SetUp();
        if (IsSkipped())
            return;
        if (!server.problem().empty())
            GTEST_SKIP() << "no sound server of the test's own: " << server.problem();
        environment["PULSE_SERVER"] = std::getenv("PULSE_SERVER");
        // A tone into the null sink "mic", whose monitor is the microphone, for the whole test.
        const std::string tone = dir.path() + "/tone.raw";
        ASSERT_EQ(std::system(("ffmpeg -v error -f lavfi -i sine=f=1000:d=60 -ar 48000 -ac 2 "
                               "-f s16le -y '" +
                               tone + "'")
                                  .c_str()),
                  0);
        player = std::make_unique<ChildProcess>(
            "/usr/bin/pacat",
            std::vector<std::string>{"--playback", "-d", "mic", "--latency-msec=20", "--raw",
                                     "--format=s16le", "--rate=48000", "--channels=2", tone},
            dir.path());
        ASSERT_TRUE(server.settle());
    }

    std::string file(const std::string& name) const { return dir.path() + "/" + name; }

    // The sound track of `path` holds the tone, and lasts as long as the picture.
    void expectToneBesideThePicture(const std::string& path) {
        const TrackInfo picture = track(path, "v:0");
        const TrackInfo sound = track(path, "a:0");
        EXPECT_EQ(picture.codec, "hevc") << path;
        ASSERT_EQ(sound.codec, "aac") << path;
        EXPECT_NEAR(sound.end - sound.start, picture.end - picture.start, 0.15) << path;
        EXPECT_NEAR(sound.start, picture.start, 0.15) << path;
        const Heard heard = hear(soundOf(path, picture.start + 1.0, 1.5));
        EXPECT_GT(heard.rms, 1000.0) << path;
        EXPECT_NEAR(heard.hz, kToneHz, kToneHz * 0.02) << path;
        EXPECT_EQ(decodeErrors(path), "") << path;
    }

    PulseServer server;
    std::unique_ptr<ChildProcess> player;
};

class ToneInto : public Sound, public ::testing::WithParamInterface<const char*> {};

TEST_P(ToneInto, ARecordingBesideThePictureInTwoSpans) {
    const std::string output = std::string("camera.") + GetParam();
    start({"--fps=30", "--audio", "--output=" + output});
    recordTwoSpans(2000ms, 1000ms);
    const std::string out = app->standardOutput();
    EXPECT_EQ(countOf(out,
                      "Sound: Monitor of Null Output, 48000 Hz, 2 channels \u2192 AAC 128 "
                      "kbit/s"),
              1)
        << out;
    EXPECT_EQ(countOf(out, " s of sound, "), 2) << out;
    expectToneBesideThePicture(file(output));
}

// Killed outright, the recording keeps both tracks of what was muxed: the sound as far as the
// picture, give or take the second by which the two are interleaved.
TEST_P(ToneInto, AKilledRecordingKeepsBothTracks) {
    const std::string output = std::string("camera.") + GetParam();
    start({"--fps=10", "--audio", "--record", "--output=" + output});
    std::this_thread::sleep_for(5s);
    app->sendSignal(SIGKILL);
    app->waitForExit(5s);
    ASSERT_EQ(app->signal(), SIGKILL);
    const TrackInfo picture = track(file(output), "v:0");
    const TrackInfo sound = track(file(output), "a:0");
    ASSERT_EQ(sound.codec, "aac");
    EXPECT_GE(picture.end - picture.start, 2.0);
    EXPECT_NEAR(sound.end, picture.end, 1.2);
    const Heard heard = hear(soundOf(file(output), sound.start + 0.5, 1.0));
    EXPECT_GT(heard.rms, 1000.0);
    EXPECT_NEAR(heard.hz, kToneHz, kToneHz * 0.02);
    EXPECT_EQ(decodeErrors(file(output)), "");
}

INSTANTIATE_TEST_SUITE_P(Mp4AndMatroska, ToneInto, ::testing::Values("mp4", "mkv"));

TEST_F(Sound, TheStreamCarriesTheToneBesideThePicture) {
    const int port = freeUdpPort();
    const std::string url = "srt://127.0.0.1:" + std::to_string(port);
    ChildProcess receiver(
        "/usr/bin/ffmpeg",
        {"-hide_banner", "-nostdin", "-loglevel", "error", "-y", "-i", url + "?mode=listener", "-c",
         "copy", "-f", "mpegts", file("received.ts")},
        dir.path());
    start({"--fps=30", "--audio", "--stream=" + url});
    std::this_thread::sleep_for(5s);
    ASSERT_EQ(close(), 0) << app->standardError();
    if (!receiver.waitForExit(15s))
        receiver.kill();
    const std::string out = app->standardOutput();
    EXPECT_EQ(countOf(out, "(MPEG-TS, HEVC 1280x720, AAC)"), 1) << out;
    EXPECT_EQ(countOf(out, "is a raw HEVC stream, which has no place for sound"), 1) << out;
    const TrackInfo sound = track(file("received.ts"), "a:0");
    ASSERT_EQ(sound.codec, "aac");
    const Heard heard = hear(soundOf(file("received.ts"), sound.start + 1.0, 1.5));
    EXPECT_GT(heard.rms, 1000.0);
    EXPECT_NEAR(heard.hz, kToneHz, kToneHz * 0.02);
    EXPECT_EQ(decodeErrors(file("received.ts")), "");
}

// A microphone unplugged while recording: one WARN line, silence in its place so that what
// follows keeps its time, and one INFO line when it is back, found by the next try.
TEST_F(Sound, ASourceThatGoesAwayIsToldOfFilledAndFoundAgain) {
    start({"--fps=10", "--audio=mic.monitor", "--record", "--output=camera.mkv"});
    std::this_thread::sleep_for(2s);
    ASSERT_EQ(server.run("pactl unload-module module-null-sink"), 0);
    std::this_thread::sleep_for(3s);
    ASSERT_EQ(server.run("pactl load-module module-null-sink sink_name=mic rate=48000 channels=2"),
              0);
    player = std::make_unique<ChildProcess>(
        "/usr/bin/pacat",
        std::vector<std::string>{"--playback", "-d", "mic", "--latency-msec=20", "--raw",
                                 "--format=s16le", "--rate=48000", "--channels=2",
                                 file("tone.raw")},
        dir.path());
    for (int i = 0; i < 100 && countOf(app->standardOutput(), "is back") == 0; ++i)
        std::this_thread::sleep_for(50ms);
    std::this_thread::sleep_for(2s);
    ASSERT_EQ(close(), 0) << app->standardError();

    const std::string out = app->standardOutput();
    EXPECT_EQ(countOf(out, "Sound: the source went away (the source mic.monitor went away"), 1)
        << out;
    EXPECT_EQ(countOf(out, "Sound: Monitor of Null Output is back"), 1) << out;
    // The gap, at least the 2 s between tries, is silence, and the tracks still end together.
    const std::smatch filled = [&] {
        std::smatch match;
        std::regex_search(out, match, std::regex(R"(\(([0-9.]+) s of it silence filled in\))"));
        return match;
    }();
    ASSERT_FALSE(filled.empty()) << out;
    EXPECT_GE(std::stod(filled[1]), 2.0) << out;
    const TrackInfo picture = track(file("camera.mkv"), "v:0");
    const TrackInfo sound = track(file("camera.mkv"), "a:0");
    EXPECT_NEAR(sound.end - sound.start, picture.end - picture.start, 0.15);
    const Heard after = hear(soundOf(file("camera.mkv"), picture.end - 1.2, 1.0));
    EXPECT_GT(after.rms, 1000.0);
    EXPECT_EQ(decodeErrors(file("camera.mkv")), "");
}

TEST_F(Sound, ASourceThatDoesNotExistEndsWithStatus2NamingThoseThatDo) {
    ChildProcess camfx(CAMFX_TESTAPP, {"--audio=no-such-microphone", "--output=camera.mp4"},
                       dir.path(), environment);
    ASSERT_EQ(camfx.waitForExit(30s), 2) << camfx.standardOutput();
    const std::string err = camfx.standardError();
    EXPECT_EQ(countOf(err, "no source named \"no-such-microphone\""), 1) << err;
    EXPECT_EQ(countOf(err, "mic.monitor"), 1) << err;
    EXPECT_EQ(countOf(camfx.standardError() + camfx.standardOutput(), "window existed: yes"), 0);
}

// Without a server, or where sound has no place, the picture is recorded as it always was.
TEST_F(ViewerTest, WithoutSoundTheRecordingIsThePictureAloneAndSaysWhy) {
    environment["PULSE_SERVER"] = "unix:" + dir.path() + "/no-server-here";
    start({"--fps=30", "--audio", "--record", "--output=camera.mp4"});
    std::this_thread::sleep_for(2s);
    ASSERT_EQ(close(), 0) << app->standardError();
    const std::string out = app->standardOutput();
    EXPECT_EQ(countOf(out, "Sound: none, no sound server"), 1) << out;
    EXPECT_EQ(track(dir.path() + "/camera.mp4", "a:0").codec, "");
    EXPECT_EQ(track(dir.path() + "/camera.mp4", "v:0").codec, "hevc");

    start({"--fps=30", "--audio", "--record"});
    std::this_thread::sleep_for(1s);
    ASSERT_EQ(close(), 0) << app->standardError();
    EXPECT_EQ(countOf(app->standardOutput(), "Sound: none, \"camera.hevc\" is a raw HEVC stream"),
              1)
        << app->standardOutput();
}

// The mean brightness of each frame of `path`, in presentation order, every frame once.
std::vector<double> brightness(const std::string& path) {
    constexpr size_t kPixels = 64 * 36;
    const std::string command = "ffmpeg -v error -i '" + path +
                                "' -map 0:v:0 -vsync passthrough -vf scale=64:36 -pix_fmt gray "
                                "-f rawvideo -";
    std::vector<double> means;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        std::vector<uint8_t> frame(kPixels);
        while (fread(frame.data(), 1, kPixels, pipe) == kPixels) {
            double sum = 0.0;
            for (uint8_t pixel : frame)
                sum += pixel;
            means.push_back(sum / kPixels);
        }
        pclose(pipe);
    }
    return means;
}

// Where a beep begins in `samples` (48 kHz from 0 s): the first 2 ms above two thirds of the
// beep's level after at least 300 ms below it.
std::vector<double> beepOnsets(const std::vector<int16_t>& samples) {
    constexpr int kWindow = 96;
    std::vector<double> onsets;
    int quiet = 0;
    for (size_t at = 0; at + kWindow <= samples.size(); at += kWindow) {
        double sum = 0.0;
        for (size_t i = at; i < at + kWindow; ++i)
            sum += double(samples[i]) * samples[i];
        const bool loud = std::sqrt(sum / kWindow) > 2000.0;
        if (loud && quiet * kWindow >= 48000 * 3 / 10)
            onsets.push_back(double(at) / 48000.0);
        quiet = loud ? 0 : quiet + 1;
    }
    return onsets;
}

// A clip made here, at 10 frames a second so that a busy machine records every frame: a white
// frame and a beep for the first tenth of every second. Recorded in two spans, each beep of the
// recording starts beside its flash.
class FileSoundSync : public TwoSpans, public ::testing::WithParamInterface<const char*> {};

TEST_P(FileSoundSync, EachBeepStaysWithItsFlashAlsoAfterAPause) {
    const std::string clip = dir.path() + "/clip.mp4";
    // The beep's level is worked out sample by sample: a filter switched on and off by the
    // frame would start it up to a sound frame (21 ms) late.
    ASSERT_EQ(std::system(("ffmpeg -v error -y -f lavfi -i color=c=black:s=1280x720:r=10:d=12 "
                           "-f lavfi -i \"aevalsrc='0.25*sin(2*PI*1000*t)*lt(mod(t,1),0.1)'"
                           ":s=48000:d=12\" -filter_complex "
                           "\"[0:v]drawbox=c=white:t=fill:enable='lt(mod(t,1),0.1)'[v]\" "
                           "-map [v] -map 1:a -c:v libx264 -preset ultrafast -pix_fmt yuv420p "
                           "-c:a aac -ac 2 '" +
                           clip + "'")
                              .c_str()),
              0);
    const std::string output = std::string("recording.") + GetParam();
    start({"--input", clip, "--output", output}, CAMFX_BINARY);
    recordTwoSpans(3500ms, 1300ms);
    EXPECT_EQ(countOf(app->standardOutput(), "Sound: the sound track of clip.mp4, 48000 Hz"), 1)
        << app->standardOutput();

    const std::string path = dir.path() + "/" + output;
    const std::vector<PacketTime> frames = packetTimes(path);
    const std::vector<double> means = brightness(path);
    ASSERT_EQ(frames.size(), means.size());
    std::vector<double> sorted = means;
    std::sort(sorted.begin(), sorted.end());
    const double usual = sorted[sorted.size() / 2];
    // A flash's start is known where the frame before it was recorded too, not left out for
    // a busy encoder.
    std::vector<double> flashes;
    const auto flash = [&](size_t i) { return std::abs(means[i] - usual) > 60.0; };
    for (size_t i = 1; i < frames.size(); ++i)
        if (flash(i) && !flash(i - 1) && frames[i].time - frames[i - 1].time < 1.5 / 10)
            flashes.push_back(frames[i].time);
    const std::vector<double> onsets = beepOnsets(soundOf(path, 0.0, 60.0, true));
    ASSERT_GE(onsets.size(), 4u) << "beeps heard";
    ASSERT_GE(flashes.size(), 4u) << "flashes seen";

    std::vector<double> offsets;
    for (double onset : onsets) {
        const auto nearest = std::min_element(
            flashes.begin(), flashes.end(),
            [&](double a, double b) { return std::abs(a - onset) < std::abs(b - onset); });
        // A beep whose flash was not judged.
        if (std::abs(*nearest - onset) < 0.2)
            offsets.push_back(onset - *nearest);
    }
    ASSERT_GE(offsets.size(), 4u) << "beeps beside a flash";
    std::vector<double> distances;
    for (double offset : offsets)
        distances.push_back(std::abs(offset));
    std::sort(distances.begin(), distances.end());
    EXPECT_LE(distances[distances.size() / 2], 0.020) << ::testing::PrintToString(offsets);
    // Where a span joins the last, its sound is placed to within one AAC frame (21.3 ms).
    EXPECT_LE(distances.back(), 0.030) << ::testing::PrintToString(offsets);
}

INSTANTIATE_TEST_SUITE_P(Mp4AndMatroska, FileSoundSync, ::testing::Values("mp4", "mkv"));

// A microphone whose sample clock runs 0.5% fast: a pipe source of the test's server, fed
// 48240 samples each second of the steady clock while claiming 48000. The signal is a quiet
// 300 Hz hum that never stops, with a loud 1 kHz beep for 50 ms at the start of each second.
class FastMicrophone {
  public:
    static constexpr double kRealRate = 48000 * 1.005;

    explicit FastMicrophone(const PulseServer& server) : m_fifo(server.directory() + "/fast") {
        m_loaded =
            server.run("pactl load-module module-pipe-source source_name=fast file=" + m_fifo +
                       " format=s16le rate=48000 channels=1") == 0;
        if (m_loaded)
            m_writer = std::thread([this] { write(); });
    }
    ~FastMicrophone() {
        m_stop = true;
        if (m_writer.joinable())
            m_writer.join();
    }
    bool loaded() const { return m_loaded; }

  private:
    // Never blocks, so that the end of the test is not held up by a source that has stopped
    // reading: what the pipe does not take waits here.
    void write() {
        const int fd = ::open(m_fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd < 0)
            return;
        const auto start = std::chrono::steady_clock::now();
        std::vector<char> waiting;  // bytes: the pipe may take part of a sample
        for (int64_t made = 0; !m_stop;) {
            const double elapsed =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            for (const int64_t due = int64_t(elapsed * kRealRate); made < due; ++made) {
                const double t = made / kRealRate;
                const int16_t sample =
                    int16_t(std::fmod(t, 1.0) < 0.05 ? 12000 * std::sin(2 * M_PI * 1000 * t)
                                                     : 1500 * std::sin(2 * M_PI * 300 * t));
                const char* bytes = reinterpret_cast<const char*>(&sample);
                waiting.insert(waiting.end(), bytes, bytes + sizeof sample);
            }
            const ssize_t taken = ::write(fd, waiting.data(), waiting.size());
            if (taken < 0 && errno != EAGAIN)
                break;
            if (taken > 0)
                waiting.erase(waiting.begin(), waiting.begin() + taken);
            std::this_thread::sleep_for(10ms);
        }
        ::close(fd);
    }

    std::string m_fifo;
    bool m_loaded = false;
    std::atomic<bool> m_stop{false};
    std::thread m_writer;
};

// Over a minute the fast clock would carry the sound 300 ms ahead of the picture; followed, each
// beep stays a whole number of seconds from the first, and the hum is never broken by silence.
TEST_F(ViewerTest, AMicrophoneWhoseClockRunsFastStaysWithThePictureForAMinute) {
    PulseServer server;
    if (!server.problem().empty())
        GTEST_SKIP() << "no sound server of the test's own: " << server.problem();
    environment["PULSE_SERVER"] = std::getenv("PULSE_SERVER");
    FastMicrophone microphone(server);
    ASSERT_TRUE(microphone.loaded());
    start({"--fps=10", "--audio=fast", "--record", "--output=camera.mkv"});
    std::this_thread::sleep_for(62s);
    ASSERT_EQ(close(), 0) << app->standardError();
    const std::string out = app->standardOutput();
    EXPECT_EQ(countOf(out, "silence filled in"), 0) << out;

    // The sound lasts as long as the recording, not 0.5% more. (The picture track may end
    // early, where a busy machine's encoder left the last frames out.)
    std::smatch told;
    ASSERT_TRUE(std::regex_search(out, told, std::regex(R"(Recorded (\d+\.\d) s:)"))) << out;
    const std::string path = dir.path() + "/camera.mkv";
    const TrackInfo sound = track(path, "a:0");
    ASSERT_EQ(sound.codec, "aac");
    EXPECT_NEAR(sound.end - sound.start, std::stod(told[1]), 0.15) << out;

    const std::vector<int16_t> samples = soundOf(path, 0.0, 70.0, true);
    const std::vector<double> onsets = beepOnsets(samples);
    ASSERT_GE(onsets.size(), 58u);
    std::vector<double> offsets;  // of each beep from its whole second after the first
    for (double onset : onsets)
        offsets.push_back(onset - std::round(onset - onsets.front()));
    std::vector<double> sorted = offsets;
    std::sort(sorted.begin(), sorted.end());
    const double usual = sorted[sorted.size() / 2];
    for (size_t i = 0; i < offsets.size(); ++i)
        EXPECT_NEAR(offsets[i], usual, 0.020)
            << "beep " << i << " at " << onsets[i] << " s; " << ::testing::PrintToString(offsets);
    EXPECT_NEAR(onsets.back() - onsets.front(), double(onsets.size() - 1), 0.040);

    // No 10 ms of the recording's sound is silent, between the encoder's first frames and its
    // last one, which the stop may cut short and the encoder fills out with silence.
    constexpr size_t kAacFrameSamples = 1024;
    const size_t first = size_t((sound.start + 0.1) * 48000),
                 last = std::min(size_t(sound.end * 48000), samples.size()) - kAacFrameSamples;
    std::vector<double> silent;  // where, in seconds
    for (size_t at = first; at + 480 <= last; at += 480) {
        double sum = 0.0;
        for (size_t i = at; i < at + 480; ++i)
            sum += double(samples[i]) * samples[i];
        if (std::sqrt(sum / 480) < 300.0)
            silent.push_back(double(at) / 48000);
    }
    EXPECT_TRUE(silent.empty()) << "silent 10 ms at " << ::testing::PrintToString(silent) << " s";
}

}  // namespace
