// The four-slot FrameRing between the frame loop (producer) and the encoding thread
// (consumer). The per-slot `empty` flags carry the hand-off alone: the producer clears one
// with a release store after queuing its copy, the consumer sets it with a release store once
// the frame is encoded, and each tests it with an acquire load.
#pragma once

#include <cuda_runtime.h>

#include <chrono>
#include <thread>

#include "frame.h"
#include "pipeline_state.h"

// Producer: queues a copy of `frame` into the next slot on encodeStream, or drops the frame
// when that slot is still full. Never waits. Returns whether the frame went into the ring.
inline bool offerToRing(const uint8_t* frame) {
    FrameSlot& slot = FrameRing[ringSlot(writeCount.load(std::memory_order_relaxed))];
    if (!slot.empty.load(std::memory_order_acquire))
        return false;
    cudaMemcpyAsync(slot.buffer, frame, FRAME_BYTES, cudaMemcpyDeviceToDevice, encodeStream);
    slot.empty.store(false, std::memory_order_release);
    writeCount.fetch_add(1);
    return true;
}

constexpr std::chrono::microseconds kIdlePollInterval{500};

// Consumer: until `running` is clear, hands every filled slot, in order, to
// encode(const uint8_t* buffer) and frees it once encode has returned.
template <typename Encode>
void drainRing(Encode&& encode) {
    while (running.load(std::memory_order_relaxed)) {
        FrameSlot& slot = FrameRing[ringSlot(readCount.load(std::memory_order_relaxed))];
        if (!slot.empty.load(std::memory_order_acquire)) {
            encode(static_cast<const uint8_t*>(slot.buffer));
            slot.empty.store(true, std::memory_order_release);
            readCount.fetch_add(1);
        } else {
            // Still a poll of the flag alone, but an idle consumer naps between looks: a busy
            // poll would take a core from the frame loop and the encoder. A frame waits at
            // most one nap, far below a frame's time.
            std::this_thread::sleep_for(kIdlePollInterval);
        }
    }
}
