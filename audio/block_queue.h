// The hand-over from the capture thread to whoever re-times and encodes: bounded, and the
// capture side never waits. A full queue drops the new block and counts it; the gap it leaves
// is filled with silence downstream, as any lost sound is.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <utility>

#include "audio_block.h"

class BlockQueue {
  public:
    explicit BlockQueue(size_t capacity) : m_capacity(capacity) {}

    // False when full: the block is dropped.
    bool push(AudioBlock&& block) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_blocks.size() >= m_capacity) {
                ++m_dropped;
                return false;
            }
            m_blocks.push_back(std::move(block));
        }
        m_ready.notify_one();
        return true;
    }

    // Waits up to `wait` for a block; false if none came.
    bool pop(AudioBlock& block, std::chrono::milliseconds wait) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_ready.wait_for(lock, wait, [this] { return !m_blocks.empty(); }))
            return false;
        block = std::move(m_blocks.front());
        m_blocks.pop_front();
        return true;
    }

    uint64_t dropped() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_dropped;
    }

  private:
    const size_t m_capacity;
    mutable std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<AudioBlock> m_blocks;
    uint64_t m_dropped = 0;
};
