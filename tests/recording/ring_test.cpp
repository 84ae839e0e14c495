// The hand-off between the frame loop and the encoding thread. Run under ThreadSanitizer in
// CI: the slot flags must be the only synchronisation needed.
#include <cuda_runtime.h>
#include <gtest/gtest.h>

#include <climits>
#include <thread>
#include <vector>

#include "frame_ring.h"

namespace {

class Ring : public ::testing::Test {
  protected:
    void SetUp() override {
        running = true;
        writeCount = 0;
        readCount = 0;
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
        encodeStream = nullptr;
        running = true;
    }

    // A consumer that records which frame it was given and stalls while `stalled` is set.
    void startConsumer() {
        consumer = std::thread([this] {
            drainRing([this](const uint8_t* buffer) {
                while (stalled.load())
                    std::this_thread::yield();
                seen.push_back(buffer[0]);
                // The whole frame arrived, not just its first byte.
                complete = complete && buffer[FRAME_BYTES - 1] == buffer[0];
            });
        });
    }

    static constexpr int kFrames = 16;
    std::vector<uint8_t*> frames;
    std::atomic<bool> stalled{false};
    std::atomic<bool> encoding{false};  // the consumer has taken its first frame
    std::vector<int> seen;  // consumer's; read after join
    bool complete = true;
    std::thread consumer;
};

TEST_F(Ring, StalledConsumerDropsTheFifthFrameAndKeepsTheOrder) {
    stalled = true;
    startConsumer();
    std::vector<int> accepted;
    for (int i = 0; i < 6; ++i) {
        if (offerToRing(frames[i]))
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
        while (!offerToRing(frames[i]))
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
}

TEST_F(Ring, FirstFrameGoesToSlotZeroAndTheFifthReusesIt) {
    startConsumer();
    ASSERT_TRUE(offerToRing(frames[1]));
    EXPECT_EQ(writeCount.load(), 1);
    while (readCount.load() < 1)
        std::this_thread::yield();
    for (int i = 2; i <= 5; ++i) {
        while (!offerToRing(frames[i]))
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
        ASSERT_TRUE(offerToRing(frames[i]));
    running = false;
    stalled = false;
    consumer.join();
    EXPECT_EQ(seen, (std::vector<int>{0})) << "the frame being encoded is finished, no more";
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
