// How late the live stream is: the time from a frame's capture to its packet leaving the
// process, median and 99th percentile, with the recording encoder (the wrapper over the software
// HEVC encoder on this flavor) at 30 frames a second and effects off. Frames are the test
// pattern, paced as the camera delivers them, converted to NV12 and encoded as the recorder
// does, with a key frame every 2 s; FFmpeg on 127.0.0.1 receives and throws the stream away.
// A packet has left when libavformat has handed it on: to the kernel's TCP socket for RTSP; to
// libsrt's send buffer for SRT, whose own thread puts it on the wire at once.
#include <benchmark/benchmark.h>
#include <cuda.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "NvEncoder/NvEncoderCuda.h"
#include "TestPatternCamera.h"
#include "child_process.h"
#include "free_port.h"
#include "host_kernels.h"
#include "recording_request.h"
#include "stream_output.h"

namespace {

using namespace std::chrono_literals;

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr int kKeyFrameInterval = 60;  // 2 s at 30 frames a second
constexpr auto kFrameInterval = std::chrono::microseconds(33'333);

int64_t nowMicroseconds() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// FFmpeg listening for the stream and discarding what it receives.
std::vector<std::string> receiverArguments(bool rtsp, const std::string& url) {
    std::vector<std::string> arguments{"-hide_banner", "-nostdin", "-loglevel", "error"};
    if (rtsp)
        arguments.insert(arguments.end(), {"-rtsp_flags", "listen", "-i", url});
    else
        arguments.insert(arguments.end(), {"-i", url + "?mode=listener"});
    arguments.insert(arguments.end(), {"-c", "copy", "-f", "null", "-"});
    return arguments;
}

double percentile(std::vector<int64_t> values, double fraction) {
    if (values.empty())
        return 0.0;
    const auto at = values.begin() + static_cast<ptrdiff_t>(fraction * (values.size() - 1));
    std::nth_element(values.begin(), at, values.end());
    return static_cast<double>(*at);
}

// One iteration is one frame: captured on the 30 fps clock, converted, encoded and handed to
// the stream, whose sending thread records when each packet has left.
void BM_CaptureToNetwork(benchmark::State& state, bool rtsp) {
    const int port = rtsp ? freeTcpPort() : freeUdpPort();
    const std::string url = rtsp ? "rtsp://127.0.0.1:" + std::to_string(port) + "/live"
                                 : "srt://127.0.0.1:" + std::to_string(port);
    const TempDir directory;
    ChildProcess receiver("/usr/bin/ffmpeg", receiverArguments(rtsp, url), directory.path());

    std::mutex mutex;
    std::vector<int64_t> latencies;
    StreamOutput stream(url);
    stream.onSent([&](int64_t captured) {
        std::lock_guard<std::mutex> lock(mutex);
        latencies.push_back(nowMicroseconds() - captured);
    });
    stream.start();
    // Connected once it asks for its first key frame; the receiver may take a retry.
    bool connected = false;
    for (int i = 0; i < 200 && !(connected = stream.takeKeyFrameRequest()); ++i)
        std::this_thread::sleep_for(50ms);
    if (!connected) {
        state.SkipWithError(("no receiver at " + url + ": " + receiver.standardError()).c_str());
        return;
    }

    const Nv12Device gpu(kWidth, kHeight);
    const CUcontext context = gpu.context;
    const CUdeviceptr nv12 = gpu.nv12;
    const size_t nv12Bytes = size_t(kWidth) * kHeight * 3 / 2;
    {
        // As the recorder's session: its extra output delay, preset and tuning.
        NvEncoderCuda encoder(context, kWidth, kHeight, NV_ENC_BUFFER_FORMAT_NV12, 3, false, false,
                              true);
        RequestRecording(encoder);

        std::vector<uint8_t> bgr(size_t(kWidth) * kHeight * 3), frame(nv12Bytes);
        std::vector<NvEncOutputPacket> packets;
        const auto send = [&] {
            for (const NvEncOutputPacket& packet : packets) {
                const bool key = packet.pictureType == NV_ENC_PIC_TYPE_IDR ||
                                 packet.pictureType == NV_ENC_PIC_TYPE_I;
                stream.write(TimedPacket{packet.bytes.data(), packet.bytes.size(),
                                         static_cast<int64_t>(packet.timeStamp), key});
            }
        };
        uint64_t n = 0;
        auto due = std::chrono::steady_clock::now();
        for (auto _ : state) {
            std::this_thread::sleep_until(due);
            due += kFrameInterval;
            camfx::TestPatternCamera::render(n, kWidth, kHeight, 3, bgr.data());
            const int64_t captured = nowMicroseconds();  // when the camera's read returns
            camfx::hostRGB2NV12(bgr.data(), frame.data(), kWidth, kHeight, kWidth, kHeight);
            FillNextInput(context, encoder, nv12, frame.data(), kWidth, kHeight);
            NV_ENC_PIC_PARAMS picture{};
            if (n++ % kKeyFrameInterval == 0 || stream.takeKeyFrameRequest())
                picture.encodePicFlags = NV_ENC_PIC_FLAG_FORCEIDR | NV_ENC_PIC_FLAG_OUTPUT_SPSPPS;
            encoder.EncodeFrame(packets, static_cast<uint64_t>(captured), &picture);
            send();
        }
        encoder.EndEncode(packets);
        send();
        encoder.CloseEncoder();
    }
    stream.finish();
    if (!receiver.waitForExit(5s) && receiver.running()) {
        receiver.sendSignal(SIGINT);
        receiver.waitForExit(5s);
    }

    std::lock_guard<std::mutex> lock(mutex);
    state.counters["median_ms"] = percentile(latencies, 0.5) / 1e3;
    state.counters["p99_ms"] = percentile(latencies, 0.99) / 1e3;
    state.counters["sent"] = static_cast<double>(stream.framesSent());
    state.counters["dropped"] = static_cast<double>(stream.framesDropped());
}
// Twenty seconds of frames each: the 99th percentile rests on six.
BENCHMARK_CAPTURE(BM_CaptureToNetwork, srt, false)
    ->Iterations(600)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_CaptureToNetwork, rtsp, true)
    ->Iterations(600)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
