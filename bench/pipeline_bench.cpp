// The whole host-flavor pipeline with the test-pattern camera, recording from the first
// frame: frames shown and recorded per second, and frames dropped, as the recording span's
// closing line counts them (the ring's drops and the frames still waiting at the close).
// Runs the real viewer (camfx-testapp) for a few seconds per case; needs an X display.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <regex>
#include <string>

#include "child_process.h"

namespace {

double reported(const std::string& text, const std::string& name) {
    std::smatch match;
    if (!std::regex_search(text, match, std::regex(name + "=([0-9.]+)")))
        return -1;
    return std::stod(match[1]);
}

void Pipeline(benchmark::State& state) {
    if (std::getenv("DISPLAY") == nullptr) {
        state.SkipWithError("needs an X display");
        return;
    }
    const int fps = static_cast<int>(state.range(0));
    const std::string effects = std::to_string(state.range(1));
    double shown = 0, recorded = 0, dropped = 0, seconds = 0;
    for (auto _ : state) {
        TempDir dir;
        ChildProcess viewer(
            CAMFX_TESTAPP,
            {"--fps=" + std::to_string(fps), "--effects=" + effects, "--record", "--seconds=8"},
            dir.path());
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

BENCHMARK_MAIN();
