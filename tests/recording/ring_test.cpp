// The hand-off between the frame loop and the encoding thread. Run under ThreadSanitizer in
// CI: the slot flags must be the only synchronisation needed.
#include <cuda_runtime.h>
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <climits>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "captured_log.h"
#include "frame_ring.h"
#include "recording_span.h"

namespace {

class Ring : public ::testing::Test {
  protected:
    void SetUp() override {
        cudaStreamCreate(&encodeStream);
        for (FrameSlot& slot : FrameRing) {
            cudaMalloc(reinterpret_cast<void**>(&slot.buffer), FRAME_BYTES);
            slot.empty = true;
        }
        frames.resize(kFrames);
        for (int i = 0; i < kFrames; ++i) {
            cudaMalloc(reinterpret_cast<void**>(&frames[i]), FRAME_BYTES);
            cudaMemset(frames[i], i, FRAME_BYTES);
        }
    }
    void TearDown() override {
        running = false;
        if (consumer.joinable())
            consumer.join();
        for (FrameSlot& slot : FrameRing)
            cudaFree(slot.buffer), slot.buffer = nullptr;
        for (uint8_t* frame : frames)
            cudaFree(frame);
        cudaStreamDestroy(encodeStream);
    }

    // A consumer that records which frame it was given and stalls while `stalled` is set.
    void startConsumer() {
        consumer = std::thread([this] {
            drainRing(ring, running,
                      [this](const uint8_t* buffer, int64_t time, int64_t recordingTime, bool) {
                          encoding = true;
                          while (stalled.load())
                              std::this_thread::yield();
                          seen.push_back(buffer[0]);
                          // The frame's times travel with it.
                          timesMatch = timesMatch && time == timeOf(buffer[0]) &&
                                       recordingTime == timeOf(buffer[0]) + 1;
                          // The whole frame arrived, not just its first byte.
                          complete = complete && buffer[FRAME_BYTES - 1] == buffer[0];
                          if (span != nullptr) {
                              span->bytesWritten(kPacketBytes);
                              span->frameEncoded();
                          }
                      });
        });
    }

    // The ring under test, as the application's state would hand it over.
    std::array<FrameSlot, FRAME_RING_SLOTS> FrameRing;
    std::atomic<int32_t> writeCount{0};
    std::atomic<int32_t> readCount{0};
    cudaStream_t encodeStream = nullptr;
    std::atomic<bool> running{true};
    RingHandOff ring{FrameRing, writeCount, readCount, encodeStream};

    static constexpr int kFrames = 16;
    static constexpr uint64_t kPacketBytes = 300000;
    RecordingSpan* span = nullptr;  // told of every encoded frame when set
    std::vector<uint8_t*> frames;
    std::atomic<bool> stalled{false};
    std::atomic<bool> encoding{false};  // the consumer has taken its first frame
    std::vector<int> seen;              // consumer's; read after join
    bool complete = true;
    bool timesMatch = true;
    std::thread consumer;

    static int64_t timeOf(int frame) { return 33333 * frame + 7; }
};

TEST_F(Ring, StalledConsumerDropsTheFifthFrameAndKeepsTheOrder) {
    stalled = true;
    startConsumer();
    std::vector<int> accepted;
    for (int i = 0; i < 6; ++i) {
        if (offerToRing(ring, frames[i], timeOf(i), timeOf(i) + 1))
            accepted.push_back(i);
        const int32_t outstanding = writeCount.load() - readCount.load();
        EXPECT_GE(outstanding, 0);
        EXPECT_LE(outstanding, 4);
    }
    EXPECT_EQ(accepted, (std::vector<int>{0, 1, 2, 3})) << "frames 4 and 5 find slot 0 full";
    EXPECT_EQ(writeCount.load(), 4);

    stalled = false;
    while (readCount.load() < 4)
        std::this_thread::yield();
    for (int i = 6; i < kFrames; ++i) {
        while (!offerToRing(ring, frames[i], timeOf(i), timeOf(i) + 1))
            std::this_thread::yield();
        EXPECT_LE(writeCount.load() - readCount.load(), 4);
    }
    while (readCount.load() < writeCount.load())
        std::this_thread::yield();
    running = false;
    consumer.join();

    std::vector<int> expected = {0, 1, 2, 3};
    for (int i = 6; i < kFrames; ++i)
        expected.push_back(i);
    EXPECT_EQ(seen, expected);
    EXPECT_TRUE(complete);
    EXPECT_TRUE(timesMatch);
}

TEST_F(Ring, FirstFrameGoesToSlotZeroAndTheFifthReusesIt) {
    startConsumer();
    ASSERT_TRUE(offerToRing(ring, frames[1], timeOf(1), timeOf(1) + 1));
    EXPECT_EQ(writeCount.load(), 1);
    while (readCount.load() < 1)
        std::this_thread::yield();
    for (int i = 2; i <= 5; ++i) {
        while (!offerToRing(ring, frames[i], timeOf(i), timeOf(i) + 1))
            std::this_thread::yield();
    }
    while (readCount.load() < 5)
        std::this_thread::yield();
    running = false;
    consumer.join();
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 4, 5}));
}

TEST_F(Ring, ConsumerEndsWhenRunningIsClearedAndLeavesWaitingFrames) {
    stalled = true;
    startConsumer();
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(offerToRing(ring, frames[i], timeOf(i), timeOf(i) + 1));
    // A consumer that has not looked yet would rightly end with nothing.
    while (!encoding.load())
        std::this_thread::yield();
    running = false;
    stalled = false;
    consumer.join();
    EXPECT_EQ(seen, (std::vector<int>{0})) << "the frame being encoded is finished, no more";
}

// The log lines of a span, as the record step and the encoding thread drive it over the ring.
class Span : public Ring {
  protected:
    void SetUp() override {
        Ring::SetUp();
        span = &recordingSpan;
    }
    void TearDown() override { Ring::TearDown(); }

    // The record step while recording, a frame every half second: the frame offered to the
    // ring and the span told.
    void record(int frame) {
        recordingSpan.frameOffered(
            offerToRing(ring, frames[frame], timeOf(frame), timeOf(frame) + 1));
        now += 0.5;
    }
    void waitUntilEncoded(int32_t count) {
        while (readCount.load() < count)
            std::this_thread::yield();
    }
    std::string log() const { return logger.text(); }
    size_t count(const std::string& pattern) const {
        const std::string text = log();
        const std::regex re(pattern);
        return std::distance(std::sregex_iterator(text.begin(), text.end(), re),
                             std::sregex_iterator());
    }

    static constexpr const char* kWarning =
        R"(\[WARN \] The encoder cannot keep up: frames are being left out of the recording to camera\.hevc\n)";
    double now = 100.0;
    RecordingSpan recordingSpan{"camera.hevc", [this] { return now; }};
    CapturedLog logger;
};

TEST_F(Span, StalledConsumerWarnsOnceAndTheEndCountsFramesDropsAndBytes) {
    stalled = true;
    startConsumer();
    for (int i = 0; i < 4; ++i)
        record(i);
    EXPECT_EQ(log(), "") << "nothing dropped yet";
    for (int i = 4; i < 7; ++i)
        record(i);
    EXPECT_EQ(count(kWarning), 1u) << log();
    EXPECT_EQ(count("INFO"), 0u);

    // Switched off while the ring still holds the span's frames: the account waits for them.
    recordingSpan.recordingOff();
    EXPECT_EQ(count("INFO"), 0u) << log();
    stalled = false;
    waitUntilEncoded(4);
    recordingSpan.recordingOff();
    recordingSpan.recordingOff();
    EXPECT_EQ(count(R"(\[INFO \] Recorded 3\.0 s: 4 frames, 3 dropped, 1\.2 MB to camera\.hevc\n)"),
              1u)
        << log();
    EXPECT_EQ(count("INFO"), 1u) << "one line per span";
    recordingSpan.close();
    EXPECT_EQ(count("INFO"), 1u) << "no span open at the close";
}

TEST_F(Span, EverySpanWarnsAgainAndTheCloseCountsFramesLeftInTheRing) {
    startConsumer();
    record(0);
    waitUntilEncoded(1);
    recordingSpan.recordingOff();
    EXPECT_EQ(count(R"(Recorded 0\.0 s: 1 frames, 0 dropped, 0\.3 MB)"), 1u) << log();
    EXPECT_EQ(count("WARN"), 0u);

    // The next span stalls: frames 1 to 4 fill the ring, 5 and 6 are dropped.
    stalled = true;
    for (int i = 1; i < 7; ++i)
        record(i);
    EXPECT_EQ(count(kWarning), 1u) << log();
    // The window closes while the consumer is stuck on frame 1: it finishes that one, and
    // the three frames behind it in the ring never reach the file.
    running = false;
    stalled = false;
    consumer.join();
    recordingSpan.bytesWritten(kPacketBytes);  // what the end of stream flushed
    recordingSpan.close();
    EXPECT_EQ(count(R"(\[INFO \] Recorded 2\.5 s: 1 frames, 5 dropped, 0\.6 MB to camera\.hevc\n)"),
              1u)
        << log();
    EXPECT_EQ(count("INFO"), 2u);
}

TEST_F(Span, SwitchedOnAgainBeforeTheRingDrainedReportsTheEarlierSpanFirst) {
    stalled = true;
    startConsumer();
    record(0);
    record(1);
    recordingSpan.recordingOff();
    EXPECT_EQ(count("INFO"), 0u);
    record(2);
    EXPECT_EQ(count(R"(Recorded 0\.5 s: 2 frames, 0 dropped)"), 1u) << log();
    stalled = false;
    waitUntilEncoded(3);
    recordingSpan.recordingOff();
    // The first span's bytes reached the file after its line: they count with this one.
    EXPECT_EQ(count(R"(Recorded 0\.0 s: 1 frames, 0 dropped, 0\.9 MB)"), 1u) << log();
}

TEST(RingSlot, StaysInRangeAcrossTheCountsWrap) {
    EXPECT_EQ(ringSlot(0), 0);
    EXPECT_EQ(ringSlot(5), 1);
    EXPECT_EQ(ringSlot(INT32_MAX), 3);
    // The next count after INT32_MAX wraps to INT32_MIN: slot 0 follows slot 3.
    EXPECT_EQ(ringSlot(INT32_MIN), 0);
    EXPECT_EQ(ringSlot(INT32_MIN + 1), 1);
    EXPECT_EQ(ringSlot(-1), 3);
}

}  // namespace
