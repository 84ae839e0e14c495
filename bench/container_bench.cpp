// What the containers cost: the processor time the encoding thread spends muxing one frame
// into a fragmented MP4 and into Matroska (the budget is 0.5 ms a frame), and the time of the
// clean end's rewrite of a 60-second MP4 with its index first (the budget is 1 s). The packets
// are two seconds of the test pattern encoded as the viewer records it, repeated.
#include <benchmark/benchmark.h>
#include <cuda.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "NvEncoder/NvEncoderCuda.h"
#include "TestPatternCamera.h"
#include "container_output.h"
#include "host_kernels.h"
#include "output_file.h"
#include "recording_request.h"

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr int kGop = 60;  // two seconds at 30/1, one key frame, as a container recording asks
constexpr int64_t kInterval = 33333;

struct EncodedClip {
    std::vector<std::vector<uint8_t>> packets;
};

// Two seconds of the moving pattern through the recording encoder, key frame first.
const EncodedClip& Clip() {
    static const EncodedClip clip = [] {
        EncodedClip result;
        const Nv12Device gpu(kWidth, kHeight);
        const CUcontext context = gpu.context;
        const CUdeviceptr nv12 = gpu.nv12;
        const size_t nv12Bytes = size_t(kWidth) * kHeight * 3 / 2;
        {
            NvEncoderCuda encoder(context, kWidth, kHeight, NV_ENC_BUFFER_FORMAT_NV12, 3, false,
                                  false, true);
            RequestRecording(encoder, NV_ENC_CODEC_HEVC_GUID, NV_ENC_PRESET_P3_GUID, kGop);
            std::vector<uint8_t> bgr(size_t(kWidth) * kHeight * 3), frame(nv12Bytes);
            std::vector<std::vector<uint8_t>> packets;
            for (int n = 0; n < kGop; ++n) {
                camfx::TestPatternCamera::render(uint64_t(n), kWidth, kHeight, 3, bgr.data());
                camfx::hostRGB2NV12(bgr.data(), frame.data(), kWidth, kHeight, kWidth, kHeight);
                FillNextInput(context, encoder, nv12, frame.data(), kWidth, kHeight);
                encoder.EncodeFrame(packets);
                result.packets.insert(result.packets.end(), packets.begin(), packets.end());
            }
            encoder.EndEncode(packets);
            result.packets.insert(result.packets.end(), packets.begin(), packets.end());
            encoder.CloseEncoder();
        }
        return result;
    }();
    return clip;
}

TimedPacket PacketAt(int64_t n) {
    const std::vector<uint8_t>& bytes = Clip().packets[size_t(n % kGop)];
    return TimedPacket{bytes.data(), bytes.size(), n * kInterval, n % kGop == 0};
}

std::string ScratchPath(const char* name) {
    return (std::filesystem::temp_directory_path() /
            ("camfx-bench-" + std::to_string(getpid()) + "-" + name))
        .string();
}

// One iteration is one frame handed to the container on this thread, fragments and clusters
// written as they close; CPU time is this thread's.
void BM_MuxOneFrame(benchmark::State& state, const char* name, OutputKind kind) {
    Clip();
    const std::string path = ScratchPath(name);
    OutputFile file;
    file.open(path.c_str());
    ContainerOutput output(file, path, kind, VideoCodec::Hevc, FrameRate{30, 1}, nullptr);
    int64_t n = 0;
    for (auto _ : state)
        output.write(PacketAt(n++));
    output.finish();
    file.close();
    const auto bytes = static_cast<int64_t>(std::filesystem::file_size(path));
    state.counters["file_MB"] = double(bytes) / 1e6;
    // What a lost display's end of stream allows for it: the rewrite starts only if this fits.
    state.counters["guessed_ms"] = double(rewriteMicroseconds(bytes)) / 1e3;
    std::filesystem::remove(path);
}
BENCHMARK_CAPTURE(BM_MuxOneFrame, mp4, "mux.mp4", OutputKind::Mp4)
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(5400);
BENCHMARK_CAPTURE(BM_MuxOneFrame, mkv, "mux.mkv", OutputKind::Matroska)
    ->Iterations(5400)
    ->Unit(benchmark::kMicrosecond);

// The clean end's rewrite of 60 seconds at 30 frames a second, from the fragmented file as
// the recording leaves it. Wall-clock time: the viewer waits for it at the close.
void BM_RewriteSixtySeconds(benchmark::State& state) {
    const std::string fragmented = ScratchPath("fragmented.mp4");
    {
        OutputFile file;
        file.open(fragmented.c_str());
        ContainerOutput output(file, fragmented, OutputKind::Mp4, VideoCodec::Hevc,
                               FrameRate{30, 1}, nullptr);
        for (int64_t n = 0; n < 60 * 30; ++n)
            output.write(PacketAt(n));
        output.finish();
        file.close();
    }
    const std::string path = ScratchPath("rewrite.mp4");
    for (auto _ : state) {
        state.PauseTiming();
        std::filesystem::copy_file(fragmented, path,
                                   std::filesystem::copy_options::overwrite_existing);
        state.ResumeTiming();
        const std::string problem = rewriteAsRegularMp4(path);
        if (!problem.empty())
            state.SkipWithError(problem.c_str());
    }
    const auto bytes = static_cast<int64_t>(std::filesystem::file_size(path));
    state.counters["file_MB"] = double(bytes) / 1e6;
    // What a lost display's end of stream allows for it: the rewrite starts only if this fits.
    state.counters["guessed_ms"] = double(rewriteMicroseconds(bytes)) / 1e3;
    std::filesystem::remove(path);
    std::filesystem::remove(fragmented);
}
BENCHMARK(BM_RewriteSixtySeconds)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
