// The host kernels at 1280 x 720 beside the closest OpenCV operation, and the ratio of each
// pair (host kernel time / OpenCV time) after the run. The ratios use processor time, which
// a shared machine disturbs less than wall time; both run on the calling thread alone.
#include <benchmark/benchmark.h>
#include <cuda_runtime.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "frame.h"
#include "host_kernels.h"
#include "launch.h"

namespace {

const dim3 kGrid(80, 45);
const dim3 kBlock(16, 16);

cv::Mat randomFrame() {
    cv::Mat frame(FRAME_HEIGHT, FRAME_WIDTH, CV_8UC3);
    cv::randu(frame, 0, 256);
    return frame;
}

void countFrames(benchmark::State& state) {
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// Times `step(src, dst)` once an iteration on a random frame, dst of the frame's size and type.
template <typename Step>
void frameToFrame(benchmark::State& state, Step step) {
    const cv::Mat src = randomFrame();
    cv::Mat dst(src.size(), src.type());
    for (auto _ : state) {
        step(src, dst);
        benchmark::DoNotOptimize(dst.data);
    }
    countFrames(state);
}

void Negative(benchmark::State& state) {
    frameToFrame(state, [](const cv::Mat& src, cv::Mat& dst) {
        launchNegative(kGrid, kBlock, 0, src.data, dst.data, FRAME_WIDTH, FRAME_HEIGHT);
    });
}
void NegativeOpenCV(benchmark::State& state) {
    frameToFrame(state, [](const cv::Mat& src, cv::Mat& dst) { cv::bitwise_not(src, dst); });
}

void MirrorX(benchmark::State& state) {
    frameToFrame(state, [](const cv::Mat& src, cv::Mat& dst) {
        launchMirrorX(kGrid, kBlock, 0, src.data, dst.data, FRAME_WIDTH, FRAME_HEIGHT);
    });
}
void MirrorXOpenCV(benchmark::State& state) {
    frameToFrame(state, [](const cv::Mat& src, cv::Mat& dst) { cv::flip(src, dst, 1); });
}

void Mosaic(benchmark::State& state) {
    frameToFrame(state, [](const cv::Mat& src, cv::Mat& dst) {
        launchMosaic(0, src.data, dst.data, FRAME_WIDTH, FRAME_HEIGHT, 8);
    });
}
void MosaicOpenCV(benchmark::State& state) {
    cv::Mat small;
    frameToFrame(state, [&small](const cv::Mat& src, cv::Mat& dst) {
        cv::resize(src, small, cv::Size(160, 90), 0, 0, cv::INTER_AREA);
        cv::resize(small, dst, src.size(), 0, 0, cv::INTER_NEAREST);
    });
}

void Spiral(benchmark::State& state) {
    float time = 0.0f;
    frameToFrame(state, [&time](const cv::Mat& src, cv::Mat& dst) {
        launchSpiral(kGrid, kBlock, 0, src.data, dst.data, FRAME_WIDTH, FRAME_HEIGHT, 640.0f,
                     360.0f, time);
        time += 0.33f;  // a new phase every frame, as in the viewer
    });
}

// The swirl's maps as OpenCV needs them, from the double-precision formula.
void swirlMaps(float time, cv::Mat& mapX, cv::Mat& mapY) {
    mapX.create(FRAME_HEIGHT, FRAME_WIDTH, CV_32FC1);
    mapY.create(FRAME_HEIGHT, FRAME_WIDTH, CV_32FC1);
    for (int y = 0; y < FRAME_HEIGHT; ++y) {
        for (int x = 0; x < FRAME_WIDTH; ++x) {
            const float dx = x - 640.0f, dy = y - 360.0f;
            const float r = std::sqrt(dx * dx + dy * dy);
            const float b = std::atan2(dy, dx) + 0.1f * std::sin(0.1f * r + time);
            mapX.at<float>(y, x) = 640.0f + r * std::cos(b);
            mapY.at<float>(y, x) = 360.0f + r * std::sin(b);
        }
    }
}
void SpiralOpenCVMapsOnce(benchmark::State& state) {
    cv::Mat mapX, mapY;
    swirlMaps(0.0f, mapX, mapY);
    frameToFrame(state, [&](const cv::Mat& src, cv::Mat& dst) {
        cv::remap(src, dst, mapX, mapY, cv::INTER_NEAREST, cv::BORDER_REPLICATE);
    });
}
void SpiralOpenCVMapsPerFrame(benchmark::State& state) {
    cv::Mat mapX, mapY;
    float time = 0.0f;
    frameToFrame(state, [&](const cv::Mat& src, cv::Mat& dst) {
        swirlMaps(time, mapX, mapY);
        cv::remap(src, dst, mapX, mapY, cv::INTER_NEAREST, cv::BORDER_REPLICATE);
        time += 0.33f;
    });
}

void BlitGl(benchmark::State& state) {
    const cv::Mat src = randomFrame();
    std::vector<uint8_t> texels(4 * static_cast<size_t>(FRAME_WIDTH) * FRAME_HEIGHT);
    const camfx::TexelRows surface{texels.data(), FRAME_WIDTH, FRAME_HEIGHT,
                                   4 * static_cast<size_t>(FRAME_WIDTH)};
    for (auto _ : state) {
        camfx::hostBlitGl(src.data, surface, FRAME_WIDTH, FRAME_HEIGHT, FRAME_WIDTH, FRAME_HEIGHT);
        benchmark::DoNotOptimize(texels.data());
    }
    countFrames(state);
}
void BlitGlOpenCV(benchmark::State& state) {
    cv::Mat rgba;
    frameToFrame(state, [&rgba](const cv::Mat& src, cv::Mat& dst) {
        cv::cvtColor(src, rgba, cv::COLOR_BGR2RGBA);
        cv::flip(rgba, dst, 0);
    });
}

void RGB2NV12(benchmark::State& state) {
    const cv::Mat src = randomFrame();
    std::vector<uint8_t> dst(static_cast<size_t>(FRAME_WIDTH) * FRAME_HEIGHT * 3 / 2);
    for (auto _ : state) {
        launchRGB2NV12(kGrid, kBlock, 0, src.data, dst.data(), FRAME_WIDTH, FRAME_HEIGHT);
        benchmark::DoNotOptimize(dst.data());
    }
    countFrames(state);
}

void RGB2NV12OpenCV(benchmark::State& state) {
    frameToFrame(state, [](const cv::Mat& src, cv::Mat& dst) {
        cv::cvtColor(src, dst, cv::COLOR_BGR2YUV_I420);
    });
}

BENCHMARK(Negative);
BENCHMARK(NegativeOpenCV);
BENCHMARK(MirrorX);
BENCHMARK(MirrorXOpenCV);
BENCHMARK(Mosaic);
BENCHMARK(MosaicOpenCV);
BENCHMARK(Spiral);
BENCHMARK(SpiralOpenCVMapsOnce);
BENCHMARK(SpiralOpenCVMapsPerFrame);
BENCHMARK(BlitGl);
BENCHMARK(BlitGlOpenCV);
BENCHMARK(RGB2NV12);
BENCHMARK(RGB2NV12OpenCV);

// Google Benchmark 1.8 replaced Run::error_occurred with Run::skipped.
template <typename Run, typename = void>
struct HasSkipped : std::false_type {};
template <typename Run>
struct HasSkipped<Run, std::void_t<decltype(std::declval<Run>().skipped)>> : std::true_type {};

template <typename Run>
bool failed(const Run& run) {
    if constexpr (HasSkipped<Run>::value)
        return run.skipped != decltype(run.skipped){};
    else
        return run.error_occurred;
}

// The console report, then each host kernel's time over its OpenCV counterpart's.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (!failed(run))
                seconds_[run.benchmark_name()] = run.GetAdjustedCPUTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        const char* pairs[][2] = {{"Negative", "NegativeOpenCV"},
                                  {"MirrorX", "MirrorXOpenCV"},
                                  {"Mosaic", "MosaicOpenCV"},
                                  {"Spiral", "SpiralOpenCVMapsOnce"},
                                  {"Spiral", "SpiralOpenCVMapsPerFrame"},
                                  {"BlitGl", "BlitGlOpenCV"},
                                  {"RGB2NV12", "RGB2NV12OpenCV"}};
        for (const auto& [ours, theirs] : pairs) {
            if (seconds_.count(ours) != 0 && seconds_.count(theirs) != 0) {
                std::printf("%-8s / %-26s %6.2f\n", ours, theirs,
                            seconds_[ours] / seconds_[theirs]);
            }
        }
    }

  private:
    std::map<std::string, double> seconds_;
};

}  // namespace

int main(int argc, char** argv) {
    // Single-threaded like the host flavor's kernels, so the comparison is core for core.
    cv::setNumThreads(1);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
