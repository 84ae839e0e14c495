// The recording encoders against FFmpeg's own front ends of the same libraries (libx265,
// libx264, SVT-AV1): the same 300 pictures of the swirled mosaic (the test pattern with all
// four effects, the hardest picture the viewer records) at 1280 x 720, the same settings,
// frames a second and processor time a frame of each, and their ratio. A
// second pair runs beside a busy thread that stands in for the viewer, which takes about one of the
// machine's cores while recording.
#include <benchmark/benchmark.h>
#include <cuda.h>

#include <sys/resource.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "EncoderLoader.h"
#include "NvEncoder/NvEncoderCuda.h"
#include "SoftwareEncoder.h"
#include "TestPatternCamera.h"
#include "host_kernels.h"
#include "recording_request.h"

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr int kFrames = 300;
constexpr size_t kNv12Bytes = size_t(kWidth) * kHeight * 3 / 2;

const GUID kPresetGuid[8] = {{},
                             NV_ENC_PRESET_P1_GUID,
                             NV_ENC_PRESET_P2_GUID,
                             NV_ENC_PRESET_P3_GUID,
                             NV_ENC_PRESET_P4_GUID,
                             NV_ENC_PRESET_P5_GUID,
                             NV_ENC_PRESET_P6_GUID,
                             NV_ENC_PRESET_P7_GUID};

// Picture n as the viewer records it with all effects on at 30 frames a second: the swirl's
// phase advances by 10 a second.
std::vector<uint8_t> SwirledMosaicNv12(int n) {
    std::vector<uint8_t> a(size_t(kWidth) * kHeight * 3), b(a.size());
    camfx::TestPatternCamera::render(uint64_t(n), kWidth, kHeight, 3, a.data());
    camfx::hostMosaic(a.data(), b.data(), kWidth, kHeight, 8);
    camfx::hostNegative(b.data(), a.data(), kWidth, kWidth, kHeight);
    camfx::hostMirrorX(a.data(), b.data(), kWidth, kWidth, kHeight);
    camfx::hostSpiral(b.data(), a.data(), kWidth, kHeight, kWidth, kHeight, 640.0f, 360.0f,
                      float(n) * 10.0f / 30.0f);
    std::vector<uint8_t> out(kNv12Bytes);
    camfx::hostRGB2NV12(a.data(), out.data(), kWidth, kHeight, kWidth, kHeight);
    return out;
}

// The 300 pictures, in memory for our encoder and as a raw NV12 file for FFmpeg.
struct Pictures {
    std::vector<std::vector<uint8_t>> frames;
    std::string rawPath;
    Pictures() : rawPath("/tmp/camfx_encoder_bench_" + std::to_string(getpid()) + ".nv12") {
        std::ofstream raw(rawPath, std::ios::binary);
        for (int n = 0; n < kFrames; ++n) {
            frames.push_back(SwirledMosaicNv12(n));
            raw.write(reinterpret_cast<const char*>(frames.back().data()), kNv12Bytes);
        }
    }
    ~Pictures() { std::remove(rawPath.c_str()); }
};

Pictures& Inputs() {
    static Pictures pictures;
    return pictures;
}

// Keeps one core busy for as long as it lives.
class ViewerLoad {
  public:
    explicit ViewerLoad(bool on) {
        if (on) {
            m_thread = std::thread([this] {
                volatile unsigned spin = 0;
                while (!m_stop.load(std::memory_order_relaxed)) {
                    spin = spin + 1;
                }
            });
        }
    }
    ~ViewerLoad() {
        m_stop = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }

  private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Per repetition, by encoder, preset and load: frames a second of wall time, and
// processor time per frame (all threads of the encoder), which shared machines disturb
// less than wall time.
struct Sample {
    double fps;
    double cpuMsPerFrame;
};
std::map<std::string, std::vector<Sample>> g_samples;

double CpuSeconds(int who) {
    rusage usage = {};
    getrusage(who, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

void Report(benchmark::State& state, const std::string& key, double seconds, double cpu) {
    const double frames = kFrames * double(state.iterations());
    const Sample sample{frames / seconds, 1000.0 * cpu / frames};
    state.counters["frames/s"] = sample.fps;
    state.counters["cpu_ms/frame"] = sample.cpuMsPerFrame;
    g_samples[key].push_back(sample);
}

Sample Mean(const std::string& key) {
    Sample mean{0.0, 0.0};
    for (const Sample& s : g_samples[key]) {
        mean.fps += s.fps / double(g_samples[key].size());
        mean.cpuMsPerFrame += s.cpuMsPerFrame / double(g_samples[key].size());
    }
    return mean;
}

// Times `encodeAll` once an iteration, beside a busy core where the second argument asks
// for it, and reports under "name/preset/load" the wall time and the processor time of
// `who` (RUSAGE_SELF or RUSAGE_CHILDREN). False, with nothing reported, when an encode
// failed; `encodeAll` has then skipped the benchmark with its reason.
template <typename EncodeAll>
bool TimeEncodes(benchmark::State& state, const std::string& name, int who, EncodeAll encodeAll) {
    const bool load = state.range(1) != 0;
    double seconds = 0.0;
    double cpu = 0.0;
    for (auto _ : state) {
        ViewerLoad viewer(load);
        const auto start = std::chrono::steady_clock::now();
        const double cpuStart = CpuSeconds(who);
        if (!encodeAll()) {
            return false;
        }
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        cpu += CpuSeconds(who) - cpuStart;
    }
    Report(state, name + "/" + std::to_string(state.range(0)) + "/" + std::to_string(int(load)),
           seconds, cpu);
    return true;
}

void Quiet(camfx::nvenc::EncoderLogLevel, const char*) {}

// 300 pictures of `codec` through NvEncoderCuda as the application records: P-preset, low
// latency, extra delay 3, each picture copied from a device NV12 buffer into the encoder's slot.
void EncodeAsRecorded(benchmark::State& state, const std::string& name, const GUID& codec,
                      int preset) {
    Pictures& inputs = Inputs();
    camfx::nvenc::SetEncoderLogSink(&Quiet);
    const Nv12Device gpu(kWidth, kHeight);
    const CUcontext context = gpu.context;
    const CUdeviceptr nv12 = gpu.nv12;

    size_t bytes = 0;
    TimeEncodes(state, name, RUSAGE_SELF, [&] {
        NvEncoderCuda encoder(context, kWidth, kHeight, NV_ENC_BUFFER_FORMAT_NV12, 3, false, false,
                              true);
        RequestRecording(encoder, codec, kPresetGuid[preset]);
        std::vector<std::vector<uint8_t>> packets;
        for (const auto& frame : inputs.frames) {
            FillNextInput(context, encoder, nv12, frame.data(), kWidth, kHeight);
            encoder.EncodeFrame(packets);
            for (const auto& p : packets) {
                bytes += p.size();
            }
        }
        encoder.EndEncode(packets);
        for (const auto& p : packets) {
            bytes += p.size();
        }
        encoder.CloseEncoder();
        return true;
    });
    state.counters["bytes"] = double(bytes) / double(state.iterations());
    camfx::nvenc::SetEncoderLogSink(nullptr);
}

void SoftwareEncoder(benchmark::State& state) {
    EncodeAsRecorded(state, "ours", NV_ENC_CODEC_HEVC_GUID, int(state.range(0)));
}

// The libx265 settings of a P-preset at low latency, as the software encoder runs it.
camfx::swenc::X265Settings LowLatencySettings(int preset) {
    camfx::swenc::X265Settings settings;
    camfx::swenc::X265SettingsFor(preset, NV_ENC_TUNING_INFO_LOW_LATENCY, &settings);
    return settings;
}

// The same pictures through FFmpeg's front end of the library, with the settings our P-preset
// maps to, into `format`; reported under `name` with the bytes it wrote.
void EncodeWithFfmpeg(benchmark::State& state, const std::string& name,
                      const camfx::swenc::SoftwareSettings& settings, const std::string& format) {
    Pictures& inputs = Inputs();
    const std::string out = inputs.rawPath + "." + format;
    const std::string command =
        std::string("ffmpeg -nostdin -v error -y -f rawvideo -pix_fmt nv12 -s 1280x720 -r 30 -i ") +
        inputs.rawPath + " -c:v " + settings.ffmpegEncoder + " " + settings.ffmpegOptions + " -f " +
        format + " " + out;
    const bool encoded = TimeEncodes(state, name, RUSAGE_CHILDREN, [&] {
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError(("ffmpeg failed: " + command).c_str());
            return false;
        }
        return true;
    });
    if (!encoded) {
        return;
    }
    std::ifstream produced(out, std::ios::binary | std::ios::ate);
    state.counters["bytes"] = double(produced.tellg());
    std::remove(out.c_str());
}

// `ffmpeg -c:v libx265`: libx265 preset, tune and parameters, keyframe interval, constant
// quality, no open GOPs, frame threads.
void FfmpegLibx265(benchmark::State& state) {
    camfx::swenc::SoftwareSettings settings;
    camfx::swenc::SoftwareSettingsFor(NV_ENC_CODEC_HEVC_GUID, int(state.range(0)),
                                      NV_ENC_TUNING_INFO_LOW_LATENCY, &settings);
    EncodeWithFfmpeg(state, "ffmpeg", settings, "hevc");
}

// Each codec's software encoder at P3 low latency, as the recorder runs it, beside FFmpeg's
// front end of the same library with the same settings. Args: codec, viewer load (none).
const GUID kCodecs[3] = {NV_ENC_CODEC_H264_GUID, NV_ENC_CODEC_HEVC_GUID, NV_ENC_CODEC_AV1_GUID};
const char* const kCodecNames[3] = {"H.264", "HEVC", "AV1"};
const char* const kRawFormats[3] = {"h264", "hevc", "ivf"};

camfx::swenc::SoftwareSettings CodecSettings(int codec) {
    camfx::swenc::SoftwareSettings settings;
    camfx::swenc::SoftwareSettingsFor(kCodecs[codec], 3, NV_ENC_TUNING_INFO_LOW_LATENCY, &settings);
    return settings;
}

void CodecOurs(benchmark::State& state) {
    EncodeAsRecorded(state, "codec-ours", kCodecs[state.range(0)], 3);
}

void CodecFfmpeg(benchmark::State& state) {
    const int codec = int(state.range(0));
    EncodeWithFfmpeg(state, "codec-ffmpeg", CodecSettings(codec), kRawFormats[codec]);
}

// Args: P-preset, viewer load. Each iteration is a whole 300-picture encode.
void WholeEncodes(benchmark::internal::Benchmark* bench) {
    bench->ArgNames({"preset", "viewer_load"})
        ->Iterations(1)
        ->Repetitions(3)
        ->Unit(benchmark::kSecond)
        ->UseRealTime();
}
BENCHMARK(SoftwareEncoder)->Apply(WholeEncodes)->Args({3, 0})->Args({3, 1})->Args({4, 1});
BENCHMARK(FfmpegLibx265)->Apply(WholeEncodes)->Args({3, 0})->Args({3, 1});
BENCHMARK(CodecOurs)
    ->Apply(WholeEncodes)
    ->ArgNames({"codec", "viewer_load"})
    ->Args({0, 0})
    ->Args({2, 0});
BENCHMARK(CodecFfmpeg)
    ->Apply(WholeEncodes)
    ->ArgNames({"codec", "viewer_load"})
    ->Args({0, 0})
    ->Args({2, 0});

}  // namespace

int main(int argc, char** argv) {
    // The two encoders take turns, so a busy spell of a shared machine hits both alike.
    std::vector<char*> args(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave.data());
    int count = int(args.size());
    benchmark::Initialize(&count, args.data());
    Inputs();  // build the pictures before anything is timed
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (int load = 0; load <= 1; ++load) {
        const std::string ours = "ours/3/" + std::to_string(load);
        const std::string theirs = "ffmpeg/3/" + std::to_string(load);
        if (g_samples.count(ours) && g_samples.count(theirs)) {
            const Sample a = Mean(ours);
            const Sample b = Mean(theirs);
            const camfx::swenc::X265Settings x265 = LowLatencySettings(3);
            std::printf(
                "P3 low latency (libx265 %s, %s, %s, %d frame threads)%s: ours %.1f fps, "
                "ffmpeg %.1f fps, ratio %.2f",
                x265.preset.c_str(), x265.tune.c_str(), x265.params.c_str(), x265.frameThreads,
                load ? " beside a busy core" : "", a.fps, b.fps, a.fps / b.fps);
            // Beside the busy core our process time counts the busy thread as well.
            if (!load) {
                std::printf("; processor time %.1f vs %.1f ms a frame", a.cpuMsPerFrame,
                            b.cpuMsPerFrame);
            }
            std::printf("\n");
        }
    }
    // HEVC's pair is the P3 one above.
    for (int codec : {0, 2}) {
        const std::string ours = "codec-ours/" + std::to_string(codec) + "/0";
        const std::string theirs = "codec-ffmpeg/" + std::to_string(codec) + "/0";
        if (g_samples.count(ours) && g_samples.count(theirs)) {
            const Sample a = Mean(ours);
            const Sample b = Mean(theirs);
            const camfx::swenc::SoftwareSettings settings = CodecSettings(codec);
            std::printf(
                "%s P3 low latency (%s, %s): ours %.1f fps, %.1f ms of processor time a frame; "
                "ffmpeg -c:v %s %.1f fps, %.1f ms; ratio of processor times %.2f\n",
                kCodecNames[codec], settings.library.c_str(), settings.ffmpegOptions.c_str(), a.fps,
                a.cpuMsPerFrame, settings.ffmpegEncoder.c_str(), b.fps, b.cpuMsPerFrame,
                a.cpuMsPerFrame / b.cpuMsPerFrame);
        }
    }
    if (g_samples.count("ours/4/1")) {
        std::printf("P4 low latency (libx265 %s) beside a busy core: ours %.1f fps\n",
                    LowLatencySettings(4).preset.c_str(), Mean("ours/4/1").fps);
    }
    return 0;
}
