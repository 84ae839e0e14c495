// What the sound side hands from stage to stage: captured blocks, frames for the encoder and
// the encoder's packets. Times are microseconds of std::chrono::steady_clock, the clock the
// video frames are stamped with, so that sound and picture share one timeline.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Samples as a source delivered them, with the time the first of them was recorded.
struct AudioBlock {
    std::vector<float> samples;  // interleaved, `channels` per sample frame
    int channels = 0;
    int sampleRate = 0;
    int64_t captureMicroseconds = 0;

    int frames() const { return channels > 0 ? int(samples.size() / std::size_t(channels)) : 0; }
};

// A run of samples on the output timeline, planar as the AAC encoder takes them.
struct AudioFrame {
    std::vector<float> planar;  // channel c at [c * samples, (c + 1) * samples)
    int channels = 0;
    int samples = 0;
    int64_t captureMicroseconds = 0;  // of the first sample
    int silentSamples = 0;            // of them, silence put in for a stall or an absence

    const float* channel(int c) const {
        return planar.data() + std::size_t(c) * std::size_t(samples);
    }
};

// One encoded packet. Its time is that of its first decoded sample, which for the first
// packets lies before the first sample given to the encoder (the priming samples).
struct AudioPacket {
    std::vector<uint8_t> bytes;
    int64_t ptsMicroseconds = 0;
    int64_t durationMicroseconds = 0;
    int64_t ptsSamples = 0;  // the same time in samples since the encoder's first input sample
    int durationSamples = 0;
    int64_t silentMicroseconds = 0;  // of its time, silence put in for a stall or an absence
};

// What a muxer needs to describe the sound track.
struct AudioCodecParameters {
    std::vector<uint8_t> extradata;  // the AudioSpecificConfig
    int sampleRate = 0;
    int channels = 0;
    int frameSize = 0;       // samples per packet
    int initialPadding = 0;  // priming samples a player skips at the start
    int64_t bitRate = 0;
};
