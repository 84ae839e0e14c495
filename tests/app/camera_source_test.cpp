// The camera mode request, a camera that stops and comes back, and a video file as a camera,
// against camera doubles and clips written here.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "NvCodecUtils.h"
#include "camera_mode.h"
#include "camera_source.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const int kMjpg = cv::VideoWriter::fourcc('M', 'J', 'P', 'G');
const int kYuyv = cv::VideoWriter::fourcc('Y', 'U', 'Y', 'V');

// Takes the log lines that the code under test writes through gLogger.
class CapturedLog {
  public:
    CapturedLog() : m_previous(gLogger) { gLogger = &m_logger; }
    ~CapturedLog() { gLogger = m_previous; }
    std::string text() const { return m_logger.text.str(); }
    int count(const std::string& needle) const {
        const std::string all = text();
        int n = 0;
        for (size_t at = all.find(needle); at != std::string::npos; at = all.find(needle, at + 1))
            ++n;
        return n;
    }

  private:
    struct StringLogger : simplelogger::Logger {
        StringLogger() : Logger(simplelogger::INFO, false) {}
        std::ostream& OutputStream() override { return text; }
        std::ostringstream text;
    } m_logger;
    simplelogger::Logger* m_previous;
};

// A camera as V4L2 presents one: a list of modes, a current one, and every set() recorded.
// A format or size it lacks is refused and the current mode stays; a width picks a mode of
// that width in the current format; a rate is clamped to what the mode offers.
class ModeCamera : public cv::VideoCapture {
  public:
    struct Mode {
        int fourcc, width, height;
        double fps;
    };
    explicit ModeCamera(std::vector<Mode> modes) : m_modes(std::move(modes)), m_mode(m_modes[0]) {
        m_fps = m_mode.fps;
    }

    bool isOpened() const override { return m_open; }
    void release() override { m_open = false; }
    bool set(int propId, double value) override {
        requests.emplace_back(propId, value);
        const int v = static_cast<int>(value);
        switch (propId) {
            case cv::CAP_PROP_FOURCC:
                return choose(v, m_mode.width, m_mode.height) || choose(v, -1, -1);
            case cv::CAP_PROP_FRAME_WIDTH:
                return choose(m_mode.fourcc, v, m_mode.height) || choose(m_mode.fourcc, v, -1);
            case cv::CAP_PROP_FRAME_HEIGHT:
                return choose(m_mode.fourcc, m_mode.width, v);
            case cv::CAP_PROP_FPS:
                m_fps = std::min(value, m_mode.fps);
                return value <= m_mode.fps;
            default:
                return false;
        }
    }
    double get(int propId) const override {
        switch (propId) {
            case cv::CAP_PROP_FOURCC:
                return m_mode.fourcc;
            case cv::CAP_PROP_FRAME_WIDTH:
                return m_mode.width;
            case cv::CAP_PROP_FRAME_HEIGHT:
                return m_mode.height;
            case cv::CAP_PROP_FPS:
                return m_fps;
            default:
                return 0.0;
        }
    }
    bool read(cv::OutputArray image) override {
        if (!m_open || failing) {
            image.release();
            return false;
        }
        image.create(m_mode.height, m_mode.width, CV_8UC3);
        image.setTo(cv::Scalar::all(static_cast<double>(++reads)));
        if (closeAfter > 0 && reads >= closeAfter)
            m_open = false;  // unplugged after this frame
        return true;
    }

    std::vector<std::pair<int, double>> requests;
    int reads = 0;
    int closeAfter = 0;
    bool failing = false;

  private:
    // The first mode that fits (-1: any size), at its full rate.
    bool choose(int fourcc, int width, int height) {
        for (const Mode& mode : m_modes)
            if (mode.fourcc == fourcc && (width < 0 || mode.width == width) &&
                (height < 0 || mode.height == height)) {
                m_mode = mode;
                m_fps = mode.fps;
                return true;
            }
        return false;
    }

    std::vector<Mode> m_modes;
    Mode m_mode;
    double m_fps;
    bool m_open = true;
};

// A typical USB webcam: MJPG up to 720p at 30, raw YUYV at 720p only at 10.
std::vector<ModeCamera::Mode> webcamModes() {
    return {{kYuyv, 640, 480, 30},
            {kYuyv, 1280, 720, 10},
            {kMjpg, 640, 480, 30},
            {kMjpg, 1280, 720, 30}};
}

const std::vector<std::pair<int, double>> kModeRequest = {{cv::CAP_PROP_FOURCC, kMjpg},
                                                          {cv::CAP_PROP_FRAME_WIDTH, 1280},
                                                          {cv::CAP_PROP_FRAME_HEIGHT, 720},
                                                          {cv::CAP_PROP_FPS, 30}};

TEST(CameraMode, AnMjpgCameraGetsMjpgAt720pAnd30) {
    CapturedLog log;
    ModeCamera camera(webcamModes());
    requestCameraMode(camera);
    EXPECT_EQ(camera.requests, kModeRequest);
    EXPECT_EQ(log.text(), "[INFO ] Camera delivers 1280x720 MJPG at 30 fps\n");
}

TEST(CameraMode, AYuyvOnlyCameraKeepsItsFormatAndSaysWhatItGives) {
    CapturedLog log;
    ModeCamera camera({{kYuyv, 640, 480, 30}, {kYuyv, 1280, 720, 10}});
    requestCameraMode(camera);
    EXPECT_EQ(camera.requests, kModeRequest);
    EXPECT_EQ(log.text(), "[INFO ] Camera delivers 1280x720 YUYV at 10 fps\n");
}

TEST(CameraMode, ACameraWithout720pKeepsItsSize) {
    CapturedLog log;
    ModeCamera camera({{kMjpg, 640, 480, 30}});
    requestCameraMode(camera);
    EXPECT_EQ(log.text(), "[INFO ] Camera delivers 640x480 MJPG at 30 fps\n");
}

TEST(CameraMode, WhatACameraDoesNotReportIsSaidSo) {
    cv::VideoCapture nothing;
    EXPECT_EQ(describeCameraMode(nothing), "0x0 pixel format not reported, rate not reported");
}

// A ReopeningCamera over ModeCameras: the first one given, then whatever `next` holds.
struct Reopening {
    explicit Reopening(std::unique_ptr<ModeCamera> first)
        : firstCamera(first.get()), pending(std::move(first)) {
        camera = std::make_unique<ReopeningCamera>(
            "Camera 3",
            [this]() -> std::unique_ptr<cv::VideoCapture> {
                ++opens;
                if (pending)
                    return std::move(pending);
                if (next.empty())
                    return std::make_unique<cv::VideoCapture>();  // still unplugged
                auto camera = std::move(next.front());
                next.erase(next.begin());
                opened.push_back(camera.get());
                return camera;
            },
            ReopeningCamera::Timing{150ms, 300ms, 5ms});
    }
    // Reads until one succeeds or `limit` has passed; whether one did.
    bool readUntilFrame(std::chrono::milliseconds limit) {
        const auto end = Clock::now() + limit;
        while (Clock::now() < end)
            if (camera->read(frame))
                return true;
        return false;
    }

    ModeCamera* firstCamera;
    std::unique_ptr<ModeCamera> pending;
    std::unique_ptr<ReopeningCamera> camera;
    std::vector<std::unique_ptr<ModeCamera>> next;
    std::vector<ModeCamera*> opened;
    int opens = 0;
    cv::Mat frame;
};

TEST(CameraStops, AnUnpluggedCameraIsReopenedInItsModeAndSaysSo) {
    CapturedLog log;
    auto first = std::make_unique<ModeCamera>(webcamModes());
    first->closeAfter = 2;
    Reopening r(std::move(first));
    requestCameraMode(*r.camera);
    EXPECT_EQ(r.firstCamera->requests, kModeRequest);

    ASSERT_TRUE(r.camera->read(r.frame));
    ASSERT_TRUE(r.camera->read(r.frame));
    // Closed: that is a stop at once, with no second of failed reads first.
    const auto stopped = Clock::now();
    EXPECT_FALSE(r.camera->read(r.frame));
    EXPECT_TRUE(r.frame.empty());
    EXPECT_EQ(log.count("[WARN ] Camera 3 stopped delivering frames"), 1) << log.text();

    // The first retry finds no camera, the second finds it back.
    EXPECT_FALSE(r.readUntilFrame(450ms));
    EXPECT_EQ(r.opens, 2);
    r.next.push_back(std::make_unique<ModeCamera>(webcamModes()));
    ASSERT_TRUE(r.readUntilFrame(2s));
    EXPECT_GE(Clock::now() - stopped, 600ms);  // every 300 ms, the first one after 300 ms
    EXPECT_EQ(r.opens, 3);
    EXPECT_EQ(r.frame.cols, 1280);

    ASSERT_EQ(r.opened.size(), 1u);
    EXPECT_EQ(r.opened[0]->requests, kModeRequest);  // the mode asked for at start
    EXPECT_EQ(log.count("[WARN ]"), 1);
    EXPECT_EQ(log.count("[INFO ] Camera 3 delivers frames again: 1280x720 MJPG at 30 fps\n"), 1)
        << log.text();
    EXPECT_TRUE(r.camera->read(r.frame));
    EXPECT_EQ(log.count("[INFO ] Camera 3"), 1);
}

TEST(CameraStops, FailingReadsStopItOnlyAfterTheirTime) {
    CapturedLog log;
    auto first = std::make_unique<ModeCamera>(webcamModes());
    ModeCamera* camera = first.get();
    Reopening r(std::move(first));
    ASSERT_TRUE(r.camera->read(r.frame));
    camera->failing = true;
    const auto start = Clock::now();
    while (Clock::now() - start < 100ms)
        EXPECT_FALSE(r.camera->read(r.frame));
    EXPECT_EQ(log.text(), "");
    EXPECT_EQ(r.opens, 1);

    // Reads that come back before the stop need nothing reopened.
    camera->failing = false;
    EXPECT_TRUE(r.camera->read(r.frame));
    camera->failing = true;
    while (log.text().empty() && Clock::now() - start < 2s)
        EXPECT_FALSE(r.camera->read(r.frame));
    EXPECT_GE(Clock::now() - start, 250ms);
    EXPECT_EQ(log.count("[WARN ] Camera 3 stopped"), 1);
    EXPECT_FALSE(camera->isOpened()) << "released for the retries";

    r.next.push_back(std::make_unique<ModeCamera>(webcamModes()));
    EXPECT_TRUE(r.readUntilFrame(2s));
    EXPECT_EQ(log.count("[INFO ] Camera 3 delivers frames again"), 1);
}

TEST(CameraStops, AReleasedCameraIsNotReopened) {
    auto first = std::make_unique<ModeCamera>(webcamModes());
    Reopening r(std::move(first));
    r.camera->release();
    r.next.push_back(std::make_unique<ModeCamera>(webcamModes()));
    EXPECT_FALSE(r.readUntilFrame(500ms));
    EXPECT_EQ(r.opens, 1);
}

// Writes a clip whose frame i is uniformly gray at level 40 * i + 20.
std::string writeClip(const std::string& name, int frames, double fps) {
    const std::string path =
        std::filesystem::temp_directory_path() / (name + std::to_string(::getpid()) + ".avi");
    cv::VideoWriter writer(path, kMjpg, fps, cv::Size(160, 120));
    EXPECT_TRUE(writer.isOpened());
    for (int i = 0; i < frames; ++i)
        writer.write(cv::Mat(120, 160, CV_8UC3, cv::Scalar::all(40 * i + 20)));
    return path;
}

int levelOf(const cv::Mat& frame) {
    return static_cast<int>(cv::mean(frame)[0] + 0.5);
}

TEST(FileCamera, LoopsAtItsEnd) {
    const std::string clip = writeClip("loop", 5, 100.0);
    FileCamera file(clip);
    ASSERT_TRUE(file.isOpened());
    cv::Mat frame;
    for (int i = 0; i < 12; ++i) {
        ASSERT_TRUE(file.read(frame)) << i;
        EXPECT_EQ(frame.size(), cv::Size(160, 120));
        EXPECT_NEAR(levelOf(frame), 40 * (i % 5) + 20, 4) << "frame " << i;
    }
    std::filesystem::remove(clip);
}

TEST(FileCamera, DeliversAtTheFilesOwnRateAndKeepsItsMode) {
    const std::string clip = writeClip("rate", 4, 25.0);
    FileCamera file(clip);
    EXPECT_EQ(file.framesPerSecond(), 25.0);
    EXPECT_FALSE(file.set(cv::CAP_PROP_FRAME_WIDTH, 1280));
    EXPECT_EQ(file.get(cv::CAP_PROP_FRAME_WIDTH), 160);
    cv::Mat frame;
    const auto start = Clock::now();
    for (int i = 0; i < 11; ++i) {
        file >> frame;
        ASSERT_FALSE(frame.empty()) << i;
    }
    // Ten periods of 40 ms lie between the first frame and the eleventh.
    EXPECT_GE(Clock::now() - start, 400ms);
    std::filesystem::remove(clip);
}

TEST(FileCamera, AFileThatIsNoVideoIsNotOpened) {
    const std::string path = std::filesystem::temp_directory_path() / "not-a-video.avi";
    { std::ofstream(path) << "hello"; }
    FileCamera file(path);
    EXPECT_FALSE(file.isOpened());
    cv::Mat frame;
    EXPECT_FALSE(file.read(frame));
    std::filesystem::remove(path);
}

}  // namespace
