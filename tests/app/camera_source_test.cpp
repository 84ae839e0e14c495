// The camera mode request, a camera that stops and comes back, and a video file as a camera,
// against camera doubles and clips written here.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "camera_mode.h"
#include "camera_source.h"
#include "captured_log.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const int kMjpg = cv::VideoWriter::fourcc('M', 'J', 'P', 'G');
const int kYuyv = cv::VideoWriter::fourcc('Y', 'U', 'Y', 'V');

// A USB camera double that records every set(): raw YUYV at 1280x720 gives 10 frames a
// second; where it offers MJPG, that gives 30. A format it lacks is refused and the current
// one stays. Reads deliver frames until `closeAfter` of them (then it is unplugged) or while
// `failing` is set.
class UsbCamera : public cv::VideoCapture {
  public:
    explicit UsbCamera(bool offersMjpg) : m_offersMjpg(offersMjpg) {}

    bool isOpened() const override { return m_open; }
    void release() override { m_open = false; }
    bool set(int propId, double value) override {
        requests.emplace_back(propId, value);
        if (propId == cv::CAP_PROP_FOURCC && (value == kYuyv || (value == kMjpg && m_offersMjpg)))
            m_fourcc = static_cast<int>(value);
        else if (propId == cv::CAP_PROP_FPS)
            m_fps = value;
        else
            return propId == cv::CAP_PROP_FRAME_WIDTH || propId == cv::CAP_PROP_FRAME_HEIGHT;
        return true;
    }
    double get(int propId) const override {
        switch (propId) {
            case cv::CAP_PROP_FOURCC:
                return m_fourcc;
            case cv::CAP_PROP_FRAME_WIDTH:
                return 1280;
            case cv::CAP_PROP_FRAME_HEIGHT:
                return 720;
            case cv::CAP_PROP_FPS:
                return std::min(m_fps, m_fourcc == kMjpg ? 30.0 : 10.0);
            default:
                return 0.0;
        }
    }
    bool read(cv::OutputArray image) override {
        if (!m_open || failing) {
            image.release();
            return false;
        }
        image.create(720, 1280, CV_8UC3);
        m_open = ++reads != closeAfter;
        return true;
    }

    std::vector<std::pair<int, double>> requests;
    int reads = 0;
    int closeAfter = -1;
    bool failing = false;

  private:
    bool m_offersMjpg;
    bool m_open = true;
    int m_fourcc = kYuyv;
    double m_fps = 10.0;
};

const std::vector<std::pair<int, double>> kModeRequest = {{cv::CAP_PROP_FOURCC, kMjpg},
                                                          {cv::CAP_PROP_FRAME_WIDTH, 1280},
                                                          {cv::CAP_PROP_FRAME_HEIGHT, 720},
                                                          {cv::CAP_PROP_FPS, 30}};

TEST(CameraMode, FormatFirstThenSizeThenRateAndTheLineSaysWhatCameOfIt) {
    for (bool offersMjpg : {true, false}) {
        CapturedLog log;
        UsbCamera camera(offersMjpg);
        requestCameraMode(camera);
        EXPECT_EQ(camera.requests, kModeRequest);
        EXPECT_EQ(log.text(), offersMjpg ? "[INFO ] Camera delivers 1280x720 MJPG at 30 fps\n"
                                         : "[INFO ] Camera delivers 1280x720 YUYV at 10 fps\n");
    }
    EXPECT_EQ(describeCameraMode(cv::VideoCapture()),
              "0x0 pixel format not reported, rate not reported");
    // Some backends answer -1 for what they do not know.
    struct Unknowing : cv::VideoCapture {
        double get(int) const override { return -1.0; }
    };
    EXPECT_EQ(describeCameraMode(Unknowing()),
              "-1x-1 pixel format not reported, rate not reported");
}

// A ReopeningCamera whose retries open what `next` holds, or nothing while it is empty. By
// default it stops after 150 ms without frames and retries every 300 ms.
struct Reopening {
    explicit Reopening(int closeAfter, std::chrono::milliseconds stopAfter = 150ms)
        : first(std::make_unique<UsbCamera>(true)) {
        firstCamera = first.get();
        firstCamera->closeAfter = closeAfter;
        camera = std::make_unique<ReopeningCamera>(
            "Camera 3",
            [this]() -> std::unique_ptr<cv::VideoCapture> {
                ++opens;
                if (first)
                    return std::move(first);
                if (!next)
                    return std::make_unique<cv::VideoCapture>();
                reopened = next.get();
                return std::move(next);
            },
            ReopeningCamera::Timing{stopAfter, 300ms, 5ms});
    }
    bool readUntilFrame(Clock::time_point end) {
        while (Clock::now() < end)
            if (camera->read(frame))
                return true;
        return false;
    }
    bool readUntilFrame(std::chrono::milliseconds limit) {
        return readUntilFrame(Clock::now() + limit);
    }

    std::unique_ptr<UsbCamera> first, next;
    UsbCamera* firstCamera;
    UsbCamera* reopened = nullptr;
    std::unique_ptr<ReopeningCamera> camera;
    int opens = 0;
    cv::Mat frame;
};

TEST(CameraStops, AnUnpluggedCameraIsReopenedInItsModeAndSaysSo) {
    CapturedLog log;
    Reopening r(2);
    requestCameraMode(*r.camera);
    ASSERT_TRUE(r.camera->read(r.frame));
    ASSERT_TRUE(r.camera->read(r.frame));
    // Closed: that is a stop at once, with no second of failed reads first.
    const auto stopped = Clock::now();
    EXPECT_FALSE(r.camera->read(r.frame));
    EXPECT_TRUE(r.frame.empty());
    EXPECT_EQ(log.count("[WARN ] Camera 3 stopped delivering frames"), 1) << log.text();

    // The first retry finds no camera, the second finds it back.
    EXPECT_FALSE(r.readUntilFrame(stopped + 450ms));
    EXPECT_EQ(r.opens, 2);
    r.next = std::make_unique<UsbCamera>(true);
    ASSERT_TRUE(r.readUntilFrame(2s));
    EXPECT_GE(Clock::now() - stopped, 600ms);  // every 300 ms, the first one after 300 ms
    EXPECT_EQ(r.opens, 3);
    ASSERT_NE(r.reopened, nullptr);
    EXPECT_EQ(r.reopened->requests, kModeRequest);  // the mode asked for at start
    EXPECT_EQ(log.count("[INFO ] Camera 3 delivers frames again: 1280x720 MJPG at 30 fps\n"), 1)
        << log.text();

    EXPECT_TRUE(r.camera->read(r.frame));
    r.camera->release();  // at shut-down: no more retries
    EXPECT_FALSE(r.readUntilFrame(400ms));
    EXPECT_EQ(r.opens, 3);
    EXPECT_EQ(log.count("[WARN ]"), 1);
    EXPECT_EQ(log.count("[INFO ] Camera 3"), 1);
}

// Stopping after 400 ms leaves the 100 ms of failed reads a wide margin on a busy machine.
TEST(CameraStops, FailingReadsStopItOnlyAfterTheirTime) {
    CapturedLog log;
    Reopening r(-1, 400ms);
    ASSERT_TRUE(r.camera->read(r.frame));
    r.firstCamera->failing = true;
    const auto start = Clock::now();
    while (Clock::now() - start < 100ms)
        EXPECT_FALSE(r.camera->read(r.frame));
    EXPECT_EQ(log.text(), "");

    // A frame before the stop resets its clock.
    r.firstCamera->failing = false;
    EXPECT_TRUE(r.camera->read(r.frame));
    r.firstCamera->failing = true;
    while (log.text().empty() && Clock::now() - start < 2s)
        EXPECT_FALSE(r.camera->read(r.frame));
    EXPECT_GE(Clock::now() - start, 500ms);
    EXPECT_EQ(log.count("[WARN ] Camera 3 stopped"), 1);
    EXPECT_FALSE(r.firstCamera->isOpened()) << "released for the retries";
    EXPECT_EQ(r.opens, 1);
}

// Writes a clip whose frame i is uniformly gray at level 40 * i + 20.
std::string writeClip(const std::string& name, int frames, double fps) {
    const std::string path =
        std::filesystem::temp_directory_path() / (name + std::to_string(::getpid()) + ".avi");
    cv::VideoWriter writer(path, kMjpg, fps, cv::Size(160, 120));
    for (int i = 0; i < frames; ++i)
        writer.write(cv::Mat(120, 160, CV_8UC3, cv::Scalar::all(40 * i + 20)));
    return path;
}

TEST(FileCamera, DeliversAtTheFilesOwnRateInItsOwnModeAndLoops) {
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
        EXPECT_NEAR(cv::mean(frame)[0], 40 * (i % 4) + 20, 4) << "frame " << i;
    }
    // Ten periods of 40 ms lie between the first frame and the eleventh.
    EXPECT_GE(Clock::now() - start, 400ms);
    std::filesystem::remove(clip);
}

}  // namespace
