// The four-slot FrameRing between the frame loop (producer) and the encoding thread
// (consumer). The per-slot `empty` flags carry the hand-off alone: the producer clears one
// with a release store after queuing its copy, the consumer sets it with a release store once
// the frame is encoded, and each tests it with an acquire load.
#pragma once

#include <cuda_runtime.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "frame.h"

struct FrameSlot {
    uint8_t* buffer = nullptr;
    std::atomic<bool> empty{true};
    int64_t time = 0;  // the encoder's time stamp of the frame, in microseconds
    // Its time on the recording's timeline; negative when it is encoded for a stream alone.
    int64_t recordingTime = 0;
    bool beginsSpan = false;  // the first frame of a recording span, which starts on a key frame
};

constexpr int FRAME_RING_SLOTS = 4;

// The ring slot of a count. The counts only grow and may wrap past INT32_MAX; the slot
// stays 0 to 3 because it is taken from the count's unsigned bits.
inline int ringSlot(int32_t count) {
    return static_cast<int>(static_cast<uint32_t>(count) % FRAME_RING_SLOTS);
}

// What the ring works on: the slots, the producer's and the consumer's counts, and the
// stream the copies into the slots are queued on. The owner keeps all of it alive; the
// stream is read at each offer, so it may be created after this is made.
struct RingHandOff {
    std::array<FrameSlot, FRAME_RING_SLOTS>& slots;
    std::atomic<int32_t>& writeCount;
    std::atomic<int32_t>& readCount;
    cudaStream_t& stream;
};

// Producer: queues a copy of `frame` into the next slot on the ring's stream, with its times,
// or drops the frame when that slot is still full. Never waits. Returns whether the frame
// went into the ring.
inline bool offerToRing(const RingHandOff& ring, const uint8_t* frame, int64_t time = 0,
                        int64_t recordingTime = 0, bool beginsSpan = false) {
    FrameSlot& slot = ring.slots[ringSlot(ring.writeCount.load(std::memory_order_relaxed))];
    if (!slot.empty.load(std::memory_order_acquire))
        return false;
    cudaMemcpyAsync(slot.buffer, frame, FRAME_BYTES, cudaMemcpyDeviceToDevice, ring.stream);
    slot.time = time;
    slot.recordingTime = recordingTime;
    slot.beginsSpan = beginsSpan;
    slot.empty.store(false, std::memory_order_release);
    ring.writeCount.fetch_add(1);
    return true;
}

constexpr std::chrono::microseconds kIdlePollInterval{500};

// Consumer: until `running` is clear, hands every filled slot, in order, to
// encode(const uint8_t* buffer, int64_t time, int64_t recordingTime, bool beginsSpan) and frees
// it once encode has returned.
template <typename Encode>
void drainRing(const RingHandOff& ring, const std::atomic<bool>& running, Encode&& encode) {
    while (running.load(std::memory_order_relaxed)) {
        FrameSlot& slot = ring.slots[ringSlot(ring.readCount.load(std::memory_order_relaxed))];
        if (!slot.empty.load(std::memory_order_acquire)) {
            encode(static_cast<const uint8_t*>(slot.buffer), slot.time, slot.recordingTime,
                   slot.beginsSpan);
            slot.empty.store(true, std::memory_order_release);
            ring.readCount.fetch_add(1);
        } else {
            // Still a poll of the flag alone, but an idle consumer naps between looks: a busy
            // poll would take a core from the frame loop and the encoder. A frame waits at
            // most one nap, far below a frame's time.
            std::this_thread::sleep_for(kIdlePollInterval);
        }
    }
}
