// The whole host-flavor pipeline with the test-pattern camera, recording from the first
// frame: frames shown and recorded per second, and frames dropped, as the recording span's
// closing line counts them (the ring's drops and the frames still waiting at the close).
// Runs the real viewer (camfx-testapp) for a few seconds per case; needs an X display. The
// codec cases record 10 s of the demo with all four effects into MP4, one codec each.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "child_process.h"

namespace {

double reported(const std::string& text, const std::string& name) {
    std::smatch match;
    if (!std::regex_search(text, match, std::regex(name + "=([0-9.]+)")))
        return -1;
    return std::stod(match[1]);
}

void Run(benchmark::State& state, int fps, int effects, const std::string& duration,
         std::vector<std::string> more) {
    if (std::getenv("DISPLAY") == nullptr) {
        state.SkipWithError("needs an X display");
        return;
    }
    double shown = 0, recorded = 0, dropped = 0, seconds = 0;
    std::vector<std::string> arguments = {"--fps=" + std::to_string(fps),
                                          "--effects=" + std::to_string(effects), "--record",
                                          "--seconds=" + duration};
    arguments.insert(arguments.end(), more.begin(), more.end());
    for (auto _ : state) {
        TempDir dir;
        ChildProcess viewer(CAMFX_TESTAPP, arguments, dir.path());
        if (viewer.waitForExit(std::chrono::seconds(60)) != 0) {
            state.SkipWithError("the viewer failed");
            return;
        }
        const std::string err = viewer.standardError();
        std::smatch span;
        const std::string out = viewer.standardOutput();
        if (!std::regex_search(out, span,
                               std::regex(R"(Recorded [0-9.]+ s: (\d+) frames, (\d+) dropped)"))) {
            state.SkipWithError("no recording span line");
            return;
        }
        seconds += reported(err, "seconds");
        shown += reported(err, "frames delivered");
        recorded += std::stod(span[1]);
        dropped += std::stod(span[2]);
    }
    state.counters["shown_fps"] = shown / seconds;
    state.counters["recorded_fps"] = recorded / seconds;
    state.counters["dropped_per_s"] = dropped / seconds;
    state.counters["dropped_share"] = shown > 0 ? dropped / shown : 0;
    // Of the 30 frames a second the camera gives.
    if (fps > 0)
        state.counters["recorded_share_of_fps"] = recorded / seconds / fps;
}

void Pipeline(benchmark::State& state) {
    Run(state, static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), "8", {});
}

void Codec(benchmark::State& state, const std::string& codec) {
    Run(state, 30, 15, "10", {"--codec=" + codec, "--output=camera.mp4"});
}

}  // namespace

// First argument: 30, the camera paces the loop at 30 frames a second; 0, as fast as the
// pipeline goes. Second: the effect mask, all four (15) or none (0).
BENCHMARK(Pipeline)
    ->ArgNames({"fps", "effects"})
    ->Args({30, 15})
    ->Args({0, 15})
    ->Args({30, 0})
    ->Args({0, 0})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

BENCHMARK_CAPTURE(Codec, h264, "h264")->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK_CAPTURE(Codec, hevc, "hevc")->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK_CAPTURE(Codec, av1, "av1")->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

BENCHMARK_MAIN();
