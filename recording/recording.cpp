#include "recording.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "EncoderLoader.h"
#include "NvCodecUtils.h"
#include "NvEncoder/NvEncoderCuda.h"
#include "container_output.h"
#include "frame.h"
#include "frame_ring.h"
#include "launch.h"
#include "output_file.h"
#include "recording_span.h"
#include "recording_timeline.h"
#include "video_output.h"

// Left to the end of the process, never destroyed: a destructor run by exit() must not pull
// them from under a thread that still encodes or writes.
OutputFile& outFile = *new OutputFile;
std::unique_ptr<NvEncoderCuda>& encoder = *new std::unique_ptr<NvEncoderCuda>;

namespace {

std::optional<RecordingContext> context;  // from setupRecording on

std::string outputPath = "camera.hevc";

RecordingSpan span(outputPath);

OutputKind outputKind = OutputKind::RawStream;
FrameRate frameRate;
RecordingTimeline timeline(frameRate.intervalMicroseconds());
// Left to the end of the process as the file is.
std::unique_ptr<ContainerOutput>& container = *new std::unique_ptr<ContainerOutput>;

// The encoder keeps its own copy; these live for the whole run all the same.
NV_ENC_INITIALIZE_PARAMS initializeParams;
NV_ENC_CONFIG encodeConfig;

// Nothing can go on once the encoder has failed: keep what reached the file, say why on
// standard error, and end with a failure status. _Exit, because the other threads still run.
template <typename Fn>
void orFailRecording(Fn fn) {
    try {
        fn();
    } catch (const NVENCException& e) {
        std::fputs(e.what(), stderr);
        std::fflush(stderr);
        std::_Exit(EXIT_FAILURE);
    }
}

}  // namespace

void writeTimedPackets(const std::vector<NvEncOutputPacket>& packets) {
    uint64_t bytes = 0;
    for (const NvEncOutputPacket& packet : packets) {
        if (container != nullptr) {
            // The container's bytes are counted as they reach the file.
            const bool key = packet.pictureType == NV_ENC_PIC_TYPE_IDR ||
                             packet.pictureType == NV_ENC_PIC_TYPE_I;
            container->write(TimedPacket{packet.bytes.data(), packet.bytes.size(),
                                         static_cast<int64_t>(packet.timeStamp), key});
        } else if (outFile.write(packet.bytes.data(), packet.bytes.size())) {
            bytes += packet.bytes.size();
        }
    }
    if (bytes > 0)
        span.bytesWritten(bytes);
}

int64_t captureClockMicroseconds() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void setOutputPath(const std::string& path) {
    outputPath = path;
    span.setPath(path);
}

void setupRecording(const RecordingContext& recordingContext) {
    context.emplace(recordingContext);
    // The encoder's loader says which encoder records, and why a call failed, through the
    // console logger.
    camfx::nvenc::SetEncoderLogSink([](camfx::nvenc::EncoderLogLevel level, const char* line) {
        const int severity = level == camfx::nvenc::EncoderLogLevel::Error ? simplelogger::ERROR
                                                                           : simplelogger::INFO;
        simplelogger::LogLine(gLogger, severity, __FILE__, __LINE__, "encoder").stream() << line;
    });
    frameRate = frameRateOf(context->cameraFramesPerSecond);
    outputKind = outputKindOf(outputPath);
    timeline = RecordingTimeline(frameRate.intervalMicroseconds());
    orFailRecording([] {
        encoder.reset(new NvEncoderCuda(context->deviceContext, FRAME_WIDTH, FRAME_HEIGHT,
                                        NV_ENC_BUFFER_FORMAT_NV12, 3, false, false, true));
        initializeParams = NV_ENC_INITIALIZE_PARAMS{};
        encodeConfig = NV_ENC_CONFIG{};
        initializeParams.version = NV_ENC_INITIALIZE_PARAMS_VER;
        encodeConfig.version = NV_ENC_CONFIG_VER;
        initializeParams.encodeConfig = &encodeConfig;
        encoder->CreateDefaultEncoderParams(&initializeParams, NV_ENC_CODEC_HEVC_GUID,
                                            NV_ENC_PRESET_P3_GUID, NV_ENC_TUNING_INFO_LOW_LATENCY);
        // The stream's nominal rate is the camera's.
        initializeParams.frameRateNum = static_cast<uint32_t>(frameRate.num);
        initializeParams.frameRateDen = static_cast<uint32_t>(frameRate.den);
        if (outputKind != OutputKind::RawStream) {
            // A key frame every 2 s, so that a long recording can be seeked and cut.
            const auto period =
                static_cast<uint32_t>((2 * frameRate.num + frameRate.den / 2) / frameRate.den);
            encodeConfig.gopLength = period;
            encodeConfig.encodeCodecConfig.hevcConfig.idrPeriod = period;
        }
        encoder->CreateEncoder(&initializeParams);
    });
    ck(cuMemAlloc(&context->nv12Frame, static_cast<size_t>(encoder->GetFrameSize())));

    outFile.open(outputPath.c_str());
    if (outputKind == OutputKind::RawStream) {
        span.checkRateAgainst(frameRate.perSecond(),
                              std::to_string(frameRate.num) + "/" + std::to_string(frameRate.den));
    } else {
        container =
            std::make_unique<ContainerOutput>(outFile, outputPath, outputKind, frameRate,
                                              [](uint64_t bytes) { span.bytesWritten(bytes); });
    }
}

std::thread startEncodeThread() {
    return std::thread(encodeThreadBody);
}

void recordStep(const uint8_t* currentFrame, int64_t captureTime, cudaEvent_t chainDoneEvent,
                cudaEvent_t ringCopyDoneEvent) {
    if (!context->recording.load(std::memory_order_relaxed)) {
        span.recordingOff();
        return;
    }
    cudaStreamWaitEvent(context->ring.stream, chainDoneEvent, 0);
    const int64_t time = timeline.timeOf(captureTime, !span.inSpan());
    const bool taken = offerToRing(context->ring, currentFrame, time);
    span.frameOffered(taken);
    if (taken)
        cudaEventRecord(ringCopyDoneEvent, context->ring.stream);
}

void encodeThreadBody() {
    // The ring buffers and nv12Frame live in deviceContext; so must the conversion.
    const RecordingContext& state = *context;
    ck(cuCtxPushCurrent(state.deviceContext));
    orFailRecording([&] {
        std::vector<NvEncOutputPacket> packets;
        auto* nv12 = reinterpret_cast<uint8_t*>(state.nv12Frame);
        const cudaStream_t encodeStream = state.ring.stream;
        drainRing(state.ring, state.running, [&](const uint8_t* frame, int64_t time) {
            launchRGB2NV12(state.launchGrid, state.launchBlock, encodeStream, frame, nv12,
                           FRAME_WIDTH, FRAME_HEIGHT);
            const EncoderInputFrame* input = encoder->NextInputSlot();
            NvEncoderCuda::CopyToDeviceFrame(
                state.deviceContext, nv12, 0, static_cast<CUdeviceptr>(input->bufferPtr),
                input->lumaPitch, FRAME_WIDTH, FRAME_HEIGHT, CU_MEMORYTYPE_DEVICE, input->format,
                input->planeOffsets, input->planeCount, false, encodeStream);
            // The encoder reads its input buffer as soon as the picture is submitted.
            cudaStreamSynchronize(encodeStream);
            encoder->EncodeFrame(packets, static_cast<uint64_t>(time));
            writeTimedPackets(packets);
            span.frameEncoded();
        });
    });
    cuCtxPopCurrent(nullptr);
}

void endOfStream(std::thread& encodeThread) {
    encodeThread.join();
    orFailRecording([] {
        std::vector<NvEncOutputPacket> packets;
        encoder->EndEncode(packets);
        writeTimedPackets(packets);
        encoder->CloseEncoder();
    });
    if (container != nullptr) {
        container->finish(timeline.end());
        // A file that failed keeps what it has: its fragments play as they are.
        if (outputKind == OutputKind::Mp4 && container->started() && outFile.good()) {
            const std::string problem = rewriteAsRegularMp4(outputPath);
            if (!problem.empty()) {
                simplelogger::LogLine(gLogger, simplelogger::WARN, __FILE__, __LINE__, __func__)
                        .stream()
                    << "Cannot rewrite \"" << outputPath << "\" with its index first: " << problem
                    << "; it stays fragmented, which FFmpeg and most players read as well";
            }
        }
    }
    outFile.close();
    ck(cuMemFree(context->nv12Frame));
    span.close();
}
