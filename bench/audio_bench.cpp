// What sound costs: the processor time to re-time and AAC-encode one second of sound (the
// budget is 10 ms), from 10 ms blocks of a device whose clock runs 0.1% fast, as a USB
// microphone's may, so that compensation is working throughout.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "aac_encoder.h"
#include "retimer.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// One second of blocks from a device at `rate` Hz, a chord rather than silence so the encoder
// has work to do.
std::vector<AudioBlock> secondOfBlocks(int rate, int channels, int64_t start, double speed) {
    std::vector<AudioBlock> blocks;
    const int frames = rate / 100;
    for (int b = 0; b < 100; ++b) {
        AudioBlock block;
        block.channels = channels;
        block.sampleRate = rate;
        block.captureMicroseconds = start + std::llround(b * frames * 1e6 / (rate * speed));
        for (int i = 0; i < frames; ++i) {
            const double t = double(b * frames + i) / rate;
            const double value = 0.2 * std::sin(2 * kPi * 440 * t) +
                                 0.2 * std::sin(2 * kPi * 554 * t) +
                                 0.2 * std::sin(2 * kPi * 659 * t);
            for (int c = 0; c < channels; ++c)
                block.samples.push_back(float(value));
        }
        blocks.push_back(std::move(block));
    }
    return blocks;
}

// Arguments: the device's rate and channel count.
void BM_RetimeAndEncodeOneSecond(benchmark::State& state) {
    const int rate = int(state.range(0));
    const int channels = int(state.range(1));
    constexpr double kSpeed = 1.001;
    AudioRetimer retimer(channels);
    AacEncoder encoder(channels);
    std::vector<AudioPacket> packets;
    AudioFrame frame;
    int64_t start = 1'000'000'000;
    int64_t bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const std::vector<AudioBlock> blocks = secondOfBlocks(rate, channels, start, kSpeed);
        start += std::llround(1e6 / kSpeed);
        packets.clear();
        state.ResumeTiming();
        for (const AudioBlock& block : blocks) {
            retimer.push(block);
            while (retimer.pop(encoder.frameSize(), frame))
                encoder.encode(frame, packets);
        }
        for (const AudioPacket& packet : packets)
            bytes += int64_t(packet.bytes.size());
    }
    state.counters["kbit/s"] =
        benchmark::Counter(double(bytes) * 8 / 1000 / double(state.iterations()));
    state.SetLabel("one iteration is one second of sound");
}

BENCHMARK(BM_RetimeAndEncodeOneSecond)
    ->Args({48000, 2})
    ->Args({48000, 1})
    ->Args({44100, 2})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();

// The two stages apart, stereo at 48 kHz.
void BM_RetimeOneSecond(benchmark::State& state) {
    AudioRetimer retimer(2);
    AudioFrame frame;
    int64_t start = 1'000'000'000;
    for (auto _ : state) {
        state.PauseTiming();
        const std::vector<AudioBlock> blocks = secondOfBlocks(48000, 2, start, 1.001);
        start += std::llround(1e6 / 1.001);
        state.ResumeTiming();
        for (const AudioBlock& block : blocks) {
            retimer.push(block);
            while (retimer.pop(1024, frame))
                benchmark::DoNotOptimize(frame.planar.data());
        }
    }
}
BENCHMARK(BM_RetimeOneSecond)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

void BM_EncodeOneSecond(benchmark::State& state) {
    AudioRetimer retimer(2);
    AudioFrame frame;
    std::vector<AudioFrame> frames;
    for (const AudioBlock& block : secondOfBlocks(48000, 2, 0, 1.0)) {
        retimer.push(block);
        while (retimer.pop(1024, frame))
            frames.push_back(frame);
    }
    AacEncoder encoder(2);
    std::vector<AudioPacket> packets;
    int64_t at = 0;
    for (auto _ : state) {
        packets.clear();
        for (AudioFrame& f : frames) {
            f.captureMicroseconds = std::llround(double(at) * 1e6 / 48000);
            at += 1024;
            encoder.encode(f, packets);
        }
    }
    state.SetLabel(std::to_string(frames.size()) + " frames of 1024");
}
BENCHMARK(BM_EncodeOneSecond)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

}  // namespace

BENCHMARK_MAIN();
