// The real viewer with a test camera, for end-to-end tests:
//   camfx-testapp [--camera=pattern|closed|gray|small|failing|stopping] [--fps=N]
//                 [--fail=CALL:RESULT[:AFTER]] [--frame-log=PATH] [--record]
//                 [--seconds=N] [--effects=MASK] [--output=FILE] [--stream=URL]
//                 [--audio[=SOURCE]] [--bitrate=RATE] [--fullscreen]
// After a normal close it writes the pipeline's final state on standard error. The frame log
// has one line per camera read: the frame number, the GLFW time taken just before the read
// (the swirl's clock), whether recording was on, how many frames the ring had taken and the
// capture time (the recording's clock, in microseconds, when the read returned). The
// stopping camera is the pattern unplugged after 20 frames, with a reopening viewer that finds it
// back at the second try. Sound is recorded only with --audio (the server's default source, or
// SOURCE), as the viewer chooses it.
#include <GLFW/glfw3.h>
#include <cuda_host.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "TestPatternCamera.h"
#include "camera_source.h"
#include "pipeline_state.h"
#include "recording.h"
#include "sound_source.h"
#include "viewer.h"

namespace {

// The pattern camera with a log of every read and, optionally, a run time after which it
// asks the window to close, as its close button would.
class LoggingCamera : public camfx::TestPatternCamera {
  public:
    LoggingCamera(const Options& options, const std::string& path, double seconds)
        : TestPatternCamera(options),
          m_log(path.empty() ? nullptr : std::fopen(path.c_str(), "w")),
          m_seconds(seconds) {}
    ~LoggingCamera() override {
        if (m_log != nullptr)
            std::fclose(m_log);
    }
    cv::VideoCapture& operator>>(cv::Mat& image) override {
        const double time = glfwGetTime();  // before the read's pacing wait
        if (m_firstRead < 0)
            m_firstRead = time;
        m_lastRead = time;
        if (m_seconds > 0 && time - m_firstRead > m_seconds && window != nullptr)
            glfwSetWindowShouldClose(window, GLFW_TRUE);
        const uint64_t n = framesDelivered();
        read(image);
        if (m_log != nullptr && framesDelivered() > n) {
            std::fprintf(m_log, "%llu %.9f %d %d %lld\n", static_cast<unsigned long long>(n), time,
                         recording.load() ? 1 : 0, static_cast<int>(writeCount.load()),
                         static_cast<long long>(captureClockMicroseconds()));
            std::fflush(m_log);
        }
        return *this;
    }
    double secondsRun() const { return m_lastRead - m_firstRead; }

  private:
    std::FILE* m_log;
    double m_seconds;
    double m_firstRead = -1.0;
    double m_lastRead = 0.0;
};

// The pattern, closed as an unplugged camera is after `frames` frames.
class UnpluggedPattern : public camfx::TestPatternCamera {
  public:
    UnpluggedPattern(const Options& options, uint64_t frames)
        : TestPatternCamera(options), m_frames(frames) {}
    bool read(cv::OutputArray image) override {
        const bool delivered = TestPatternCamera::read(image);
        if (framesDelivered() == m_frames)
            release();
        return delivered;
    }

  private:
    uint64_t m_frames;
};

std::unique_ptr<cv::VideoCapture> stoppingCamera(const camfx::TestPatternCamera::Options& options) {
    return std::make_unique<ReopeningCamera>(
        "Camera 0", [options, opens = 0]() mutable -> std::unique_ptr<cv::VideoCapture> {
            switch (opens++) {
                case 0:
                    return std::make_unique<UnpluggedPattern>(options, 20);
                case 1:
                    return std::make_unique<cv::VideoCapture>();
                default:
                    return std::make_unique<camfx::TestPatternCamera>(options);
            }
        });
}

void reportWindowAtExit() {
    std::fprintf(stderr, "window existed: %s\n", window != nullptr ? "yes" : "no");
}

}  // namespace

int main(int argc, char** argv) {
    std::string camera = "pattern";
    std::string frameLog;
    double seconds = 0.0;
    std::optional<Options> sound;
    std::string output = Options{}.output;
    std::string stream;
    VideoCodec videoCodec = VideoCodec::Hevc;
    camfx::TestPatternCamera::Options options;
    ViewerSettings settings;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument.rfind("--camera=", 0) == 0) {
            camera = argument.substr(9);
        } else if (argument.rfind("--fps=", 0) == 0) {
            options.fps = std::stod(argument.substr(6));
        } else if (argument.rfind("--frame-log=", 0) == 0) {
            frameLog = argument.substr(12);
        } else if (argument.rfind("--effects=", 0) == 0) {
            effectMask = static_cast<uint8_t>(std::stoi(argument.substr(10), nullptr, 0));
        } else if (argument.rfind("--codec=", 0) == 0) {
            const std::string name = argument.substr(8);
            const VideoCodec codec = name == "h264"  ? VideoCodec::H264
                                     : name == "av1" ? VideoCodec::Av1
                                                     : VideoCodec::Hevc;
            setVideoCodec(codec);
            videoCodec = codec;
        } else if (argument.rfind("--output=", 0) == 0) {
            output = argument.substr(9);
            setOutputPath(output);
        } else if (argument == "--audio" || argument.rfind("--audio=", 0) == 0) {
            sound.emplace();
            sound->audio = argument.size() > 8 ? argument.substr(8) : "";
        } else if (argument.rfind("--stream=", 0) == 0) {
            stream = argument.substr(9);
            setStreamUrl(stream);
        } else if (argument.rfind("--bitrate=", 0) == 0) {
            const std::optional<int64_t> rate = bitrateOf(argument.substr(10));
            if (!rate) {
                std::fprintf(stderr, "bad rate %s\n", argv[i]);
                return 2;
            }
            setBitrate(*rate);
        } else if (argument == "--fullscreen") {
            settings.fullScreen = true;
        } else if (argument == "--record") {
            recording = true;
        } else if (argument.rfind("--seconds=", 0) == 0) {
            seconds = std::stod(argument.substr(10));
        } else if (argument.rfind("--fail=", 0) == 0) {
            // CALL:RESULT[:AFTER]; runtime calls ("cuda...") may first succeed AFTER times.
            const std::string spec = argument.substr(7);
            const size_t colon = spec.find(':');
            const size_t second = spec.find(':', colon + 1);
            const std::string call = spec.substr(0, colon);
            const int result = std::stoi(spec.substr(colon + 1, second - colon - 1));
            const int after = second == std::string::npos ? 0 : std::stoi(spec.substr(second + 1));
            if (call.rfind("cuda", 0) == 0)
                cudahost::failRuntimeCall(call, static_cast<cudaError_t>(result), 1, after);
            else
                cudahost::failDriverCall(call, static_cast<CUresult>(result));
        } else {
            std::fprintf(stderr, "unknown argument %s\n", argv[i]);
            return 2;
        }
    }
    std::atexit(reportWindowAtExit);
    if (output == Options{}.output) {
        output = defaultOutputName(videoCodec);
        setOutputPath(output);
    }

    if (camera == "gray")
        options.channels = 1;
    if (camera == "small")
        options.width = 640, options.height = 480;
    if (camera == "failing")
        options.failReads = true;
    std::unique_ptr<cv::VideoCapture> device;
    if (camera == "closed")
        device = std::make_unique<cv::VideoCapture>();
    else if (camera == "stopping")
        device = stoppingCamera(options);
    else if (!frameLog.empty() || seconds > 0)
        device = std::make_unique<LoggingCamera>(options, frameLog, seconds);
    else
        device = std::make_unique<camfx::TestPatternCamera>(options);

    SoundChoice soundChoice;
    if (sound) {
        sound->output = output;
        sound->codec = videoCodec;
        sound->stream = stream;
        soundChoice = openSoundSource(*sound);
        if (soundChoice.exitStatus)
            return *soundChoice.exitStatus;
    }
    const int status = runViewer(*device, soundChoice.input.get(), settings);
    if (status != 0)
        return status;
    std::fprintf(stderr, "effectMask=%d recording=%d written=%d encoded=%d\n",
                 static_cast<int>(effectMask.load()), recording.load() ? 1 : 0,
                 static_cast<int>(writeCount.load()), static_cast<int>(readCount.load()));
    if (auto* pattern = dynamic_cast<camfx::TestPatternCamera*>(device.get()))
        std::fprintf(stderr, "frames delivered=%llu\n",
                     static_cast<unsigned long long>(pattern->framesDelivered()));
    if (auto* logging = dynamic_cast<LoggingCamera*>(device.get()))
        std::fprintf(stderr, "seconds=%.3f\n", logging->secondsRun());
    return status;
}
