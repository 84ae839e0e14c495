// The test-pattern camera: its pattern, its frame counter, its shapes and its failed reads.
#include <gtest/gtest.h>

#include <chrono>

#include "TestPatternCamera.h"

namespace camfx {
namespace {

// The pattern straight from its definition.
cv::Vec3b expectedPixel(uint64_t n, int x, int y) {
    return cv::Vec3b(static_cast<uint8_t>((x + 2 * n) % 256), static_cast<uint8_t>((y + n) % 256),
                     (x / 64 + y / 64) % 2 == 1 ? 255 : 0);
}

TEST(TestPatternCameraTest, DeliversTheMovingPatternAt1280x720) {
    TestPatternCamera camera;
    ASSERT_TRUE(camera.isOpened());
    for (uint64_t n = 0; n < 3; ++n) {
        cv::Mat frame;
        camera >> frame;
        ASSERT_EQ(frame.cols, 1280);
        ASSERT_EQ(frame.rows, 720);
        ASSERT_EQ(frame.type(), CV_8UC3);
        ASSERT_TRUE(frame.isContinuous());
        for (int y = 0; y < frame.rows; ++y)
            for (int x = 0; x < frame.cols; ++x)
                ASSERT_EQ(frame.at<cv::Vec3b>(y, x), expectedPixel(n, x, y))
                    << "frame " << n << " at " << x << "," << y;
        EXPECT_EQ(camera.framesDelivered(), n + 1);
    }
}

TEST(TestPatternCameraTest, ValuesWrapAndTheCheckerboardAlternates) {
    const cv::Mat frame = TestPatternCamera::frame(200);
    EXPECT_EQ(frame.at<cv::Vec3b>(0, 0), cv::Vec3b(144, 200, 0));     // 400 mod 256
    EXPECT_EQ(frame.at<cv::Vec3b>(0, 64), cv::Vec3b(208, 200, 255));  // odd square
    EXPECT_EQ(frame.at<cv::Vec3b>(64, 64)[2], 0);
    EXPECT_EQ(frame.at<cv::Vec3b>(719, 1279), expectedPixel(200, 1279, 719));
}

TEST(TestPatternCameraTest, RenderMatchesWhatTheCameraDelivers) {
    TestPatternCamera camera;
    cv::Mat first, second;
    ASSERT_TRUE(camera.read(first));
    ASSERT_TRUE(camera.grab());
    ASSERT_TRUE(camera.retrieve(second));
    EXPECT_EQ(cv::norm(first, TestPatternCamera::frame(0), cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(second, TestPatternCamera::frame(1), cv::NORM_INF), 0.0);
    EXPECT_EQ(camera.get(cv::CAP_PROP_POS_FRAMES), 2.0);
}

TEST(TestPatternCameraTest, OtherShapesAndChannelCounts) {
    TestPatternCamera::Options options;
    options.width = 640;
    options.height = 480;
    options.channels = 1;
    TestPatternCamera camera(options);
    EXPECT_FALSE(camera.set(cv::CAP_PROP_FRAME_WIDTH, 1280));
    EXPECT_TRUE(camera.set(cv::CAP_PROP_FRAME_HEIGHT, 480));
    EXPECT_EQ(camera.get(cv::CAP_PROP_FRAME_WIDTH), 640.0);
    cv::Mat frame;
    camera >> frame;
    ASSERT_EQ(frame.type(), CV_8UC1);
    ASSERT_EQ(frame.size(), cv::Size(640, 480));
    EXPECT_EQ(frame.at<uint8_t>(5, 7), 7);

    options.channels = 4;
    TestPatternCamera rgba(options);
    rgba >> frame;
    ASSERT_EQ(frame.type(), CV_8UC4);
    EXPECT_EQ(frame.at<cv::Vec4b>(70, 10), cv::Vec4b(10, 70, 255, 255));
    EXPECT_EQ(frame.at<cv::Vec4b>(70, 100), cv::Vec4b(100, 70, 0, 255));
}

TEST(TestPatternCameraTest, FailedReadsDeliverAnEmptyFrameAndCountNothing) {
    TestPatternCamera camera;
    cv::Mat frame = TestPatternCamera::frame(0);
    camera.setFailReads(true);
    EXPECT_FALSE(camera.read(frame));
    EXPECT_TRUE(frame.empty());
    camera >> frame;
    EXPECT_TRUE(frame.empty());
    EXPECT_FALSE(camera.retrieve(frame));
    EXPECT_EQ(camera.framesDelivered(), 0u);
    camera.setFailReads(false);
    EXPECT_TRUE(camera.read(frame));
    EXPECT_EQ(cv::norm(frame, TestPatternCamera::frame(0), cv::NORM_INF), 0.0);
}

TEST(TestPatternCameraTest, ReleasedCameraIsClosedAndFailsReads) {
    TestPatternCamera camera;
    camera.release();
    EXPECT_FALSE(camera.isOpened());
    cv::Mat frame;
    EXPECT_FALSE(camera.read(frame));
    EXPECT_TRUE(frame.empty());
}

TEST(TestPatternCameraTest, PacedCameraKeepsItsSchedule) {
    // 10 frames at 100 a second take at least the 9 periods between them.
    TestPatternCamera::Options options;
    options.fps = 100.0;
    TestPatternCamera camera(options);
    cv::Mat frame;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(camera.read(frame));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(90));
    EXPECT_EQ(camera.get(cv::CAP_PROP_FPS), 100.0);
}

}  // namespace
}  // namespace camfx
