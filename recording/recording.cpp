#include "recording.h"

#include <cstdio>
#include <cstdlib>
#include <optional>

#include "EncoderLoader.h"
#include "NvCodecUtils.h"
#include "NvEncoder/NvEncoderCuda.h"
#include "frame.h"
#include "frame_ring.h"
#include "launch.h"
#include "output_file.h"
#include "recording_span.h"

// Left to the end of the process, never destroyed: a destructor run by exit() must not pull
// them from under a thread that still encodes or writes.
OutputFile& outFile = *new OutputFile;
std::unique_ptr<NvEncoderCuda>& encoder = *new std::unique_ptr<NvEncoderCuda>;

namespace {

std::optional<RecordingContext> context;  // from setupRecording on

std::string outputPath = "camera.hevc";

RecordingSpan span(outputPath);

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

void writePackets(const std::vector<std::vector<uint8_t>>& packets) {
    uint64_t bytes = 0;
    for (const std::vector<uint8_t>& packet : packets)
        if (outFile.write(packet.data(), packet.size()))
            bytes += packet.size();
    if (bytes > 0)
        span.bytesWritten(bytes);
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
        encoder->CreateEncoder(&initializeParams);
    });
    ck(cuMemAlloc(&context->nv12Frame, static_cast<size_t>(encoder->GetFrameSize())));

    outFile.open(outputPath.c_str());
}

std::thread startEncodeThread() {
    return std::thread(encodeThreadBody);
}

void recordStep(const uint8_t* currentFrame, cudaEvent_t chainDoneEvent,
                cudaEvent_t ringCopyDoneEvent) {
    if (!context->recording.load(std::memory_order_relaxed)) {
        span.recordingOff();
        return;
    }
    cudaStreamWaitEvent(context->ring.stream, chainDoneEvent, 0);
    const bool taken = offerToRing(context->ring, currentFrame);
    span.frameOffered(taken);
    if (taken)
        cudaEventRecord(ringCopyDoneEvent, context->ring.stream);
}

void encodeThreadBody() {
    // The ring buffers and nv12Frame live in deviceContext; so must the conversion.
    const RecordingContext& state = *context;
    ck(cuCtxPushCurrent(state.deviceContext));
    orFailRecording([&] {
        std::vector<std::vector<uint8_t>> packets;
        auto* nv12 = reinterpret_cast<uint8_t*>(state.nv12Frame);
        const cudaStream_t encodeStream = state.ring.stream;
        drainRing(state.ring, state.running, [&](const uint8_t* frame) {
            launchRGB2NV12(state.launchGrid, state.launchBlock, encodeStream, frame, nv12,
                           FRAME_WIDTH, FRAME_HEIGHT);
            const EncoderInputFrame* input = encoder->NextInputSlot();
            NvEncoderCuda::CopyToDeviceFrame(
                state.deviceContext, nv12, 0, static_cast<CUdeviceptr>(input->bufferPtr),
                input->lumaPitch, FRAME_WIDTH, FRAME_HEIGHT, CU_MEMORYTYPE_DEVICE, input->format,
                input->planeOffsets, input->planeCount, false, encodeStream);
            // The encoder reads its input buffer as soon as the picture is submitted.
            cudaStreamSynchronize(encodeStream);
            encoder->EncodeFrame(packets);
            writePackets(packets);
            span.frameEncoded();
        });
    });
    cuCtxPopCurrent(nullptr);
}

void endOfStream(std::thread& encodeThread) {
    encodeThread.join();
    orFailRecording([] {
        std::vector<std::vector<uint8_t>> packets;
        encoder->EndEncode(packets);
        writePackets(packets);
        encoder->CloseEncoder();
    });
    outFile.close();
    ck(cuMemFree(context->nv12Frame));
    span.close();
}
