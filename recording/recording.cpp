#include "recording.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <filesystem>
#include <optional>
#include <vector>

#include "EncoderLoader.h"
#include "NvCodecUtils.h"
#include "NvEncoder/NvEncoderCuda.h"
#include "container_output.h"
#include "frame.h"
#include "frame_ring.h"
#include "launch.h"
#include "output_file.h"
#include "output_name.h"
#include "recording_span.h"
#include "recording_timeline.h"
#include "stream_output.h"
#include "video_output.h"

// Left to the end of the process, never destroyed: a destructor run by exit() must not pull
// them from under a thread that still encodes or writes.
OutputFile& outFile = *new OutputFile;
std::unique_ptr<NvEncoderCuda>& encoder = *new std::unique_ptr<NvEncoderCuda>;

namespace {

std::optional<RecordingContext> context;  // from setupRecording on

// The name as given, and the file's name once it is open: the same unless the name has date
// fields, which are filled in when recording is first switched on.
std::string outputName = "camera.hevc";
std::string outputPath = outputName;
// Frame loop (and start-up, before it): whether the file and its container are open.
bool outputOpened = false;
// Frame loop: a span has begun whose first frame the ring has not yet taken.
bool spanKeyPending = false;
// Encoding thread: whether the raw AV1 file has its IVF file header, and its last frame's stamp.
bool ivfHeaderWritten = false;
uint64_t lastIvfStamp = 0;

RecordingSpan span(outputPath);

OutputKind outputKind = OutputKind::RawStream;
VideoCodec videoCodec = VideoCodec::Hevc;
FrameRate frameRate;
RecordingTimeline timeline(frameRate.intervalMicroseconds());
// Left to the end of the process as the file is.
std::unique_ptr<ContainerOutput>& container = *new std::unique_ptr<ContainerOutput>;

std::optional<SoundTrack> soundTrack;
// From the end of setupRecording: the outputs take sound.
std::atomic<bool> soundAccepted{false};

// Sound that came ahead of the frame that decides whether a span begins before it: a file's
// sound is handed out as soon as its picture is read. Sound thread only.
struct UnplacedSound {
    std::vector<uint8_t> bytes;
    int64_t captureTime;
    int64_t duration;
    int64_t silence;
};
std::deque<UnplacedSound> unplacedSound;
constexpr size_t kUnplacedSoundPackets = 250;  // about 5 s of AAC at 48 kHz

int64_t bitrate = 0;    // bits a second; 0: the preset's rate control
std::string streamUrl;  // empty: no stream
std::unique_ptr<StreamOutput>& stream = *new std::unique_ptr<StreamOutput>;
// A stream wants a key frame at least this often, so that a viewer who joins late sees a
// picture within it.
constexpr int64_t kStreamKeyFrameMicroseconds = 2'000'000;

GUID codecGuid(VideoCodec codec) {
    switch (codec) {
        case VideoCodec::H264:
            return NV_ENC_CODEC_H264_GUID;
        case VideoCodec::Av1:
            return NV_ENC_CODEC_AV1_GUID;
        case VideoCodec::Hevc:
            break;
    }
    return NV_ENC_CODEC_HEVC_GUID;
}

// The raw AV1 file is IVF, whose header gives the frame rate as the time base of every frame's
// time stamp; the encoder's stamps are microseconds. Each frame's is put in frames, to the
// nearest but after the one before, so that tools read the rate from the header. Only the
// headers are copied: the file's (first packet only) and the frame's, which ends in the stamp.
constexpr size_t kIvfFileHeaderBytes = 32;
constexpr size_t kIvfFrameHeaderBytes = 12;
void writeIvfPacket(const std::vector<uint8_t>& packet, bool withFileHeader, uint64_t& lastStamp,
                    uint64_t& bytesWritten) {
    const size_t headers = (withFileHeader ? kIvfFileHeaderBytes : 0) + kIvfFrameHeaderBytes;
    if (packet.size() < headers)
        return;
    std::array<uint8_t, kIvfFileHeaderBytes + kIvfFrameHeaderBytes> head{};
    std::copy(packet.begin(), packet.begin() + headers, head.begin());
    const size_t at = headers - 8;
    uint64_t microseconds = 0;
    for (int i = 0; i < 8; ++i)
        microseconds |= uint64_t{head[at + i]} << (8 * i);
    const auto num = static_cast<uint64_t>(frameRate.num);
    const auto den = static_cast<uint64_t>(frameRate.den);
    uint64_t frames = (microseconds * num + den * 500'000) / (den * 1'000'000);
    if (!withFileHeader && frames <= lastStamp)
        frames = lastStamp + 1;
    lastStamp = frames;
    for (int i = 0; i < 8; ++i)
        head[at + i] = static_cast<uint8_t>(frames >> (8 * i));
    if (outFile.write(head.data(), headers) &&
        outFile.write(packet.data() + headers, packet.size() - headers))
        bytesWritten += packet.size();
}

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

// The pictures in the encoder, in the order submitted: each one's time stamp and its time on
// the recording's timeline (negative: for the stream alone). Encoding thread only, and the end
// of stream after the join.
struct Submitted {
    int64_t stamp;
    int64_t recordingTime;
};
std::deque<Submitted>& submitted = *new std::deque<Submitted>;

// The recording's time of the picture stamped `stamp`; -1 for a picture encoded for the stream
// alone. Without a stream the stamp is that time.
int64_t recordingTimeOf(int64_t stamp) {
    const auto found = std::find_if(submitted.begin(), submitted.end(),
                                    [stamp](const Submitted& s) { return s.stamp == stamp; });
    if (found == submitted.end())
        return stream == nullptr ? stamp : -1;
    const int64_t time = found->recordingTime;
    submitted.erase(submitted.begin(), found + 1);
    return time;
}

// A rewrite that an earlier run could not finish (it was killed, or its display was lost) leaves
// its temporary file; the recording itself is the fragmented file. Ours now, since we hold its
// lock.
void removeStaleRewrite() {
    const std::string temporary = rewriteTemporaryPath(outputPath);
    std::error_code error;
    if (!std::filesystem::exists(temporary, error))
        return;
    if (std::filesystem::remove(temporary, error)) {
        simplelogger::LogLine(gLogger, simplelogger::INFO, __FILE__, __LINE__, __func__).stream()
            << "Removed \"" << temporary << "\", left by an earlier run's unfinished rewrite";
    }
}

// The file and its container: at start-up for a fixed name, which is replaced as the viewer
// always has; for a name with date fields when recording is first switched on, as a new file,
// numbered where the name is taken. Main thread.
void openOutput() {
    outputOpened = true;
    if (hasDateFields(outputName)) {
        const std::string name = fillDateFields(outputName, std::time(nullptr));
        const std::filesystem::path folder = std::filesystem::path(name).parent_path();
        std::error_code error;
        if (!folder.empty() && isUnderUserFolder(folder.string()))
            std::filesystem::create_directories(folder, error);  // else the open tells why
        if (outFile.openNew(name)) {
            simplelogger::LogLine(gLogger, simplelogger::INFO, __FILE__, __LINE__, __func__)
                    .stream()
                << "Recording into \"" << outFile.path() << "\"";
        }
        outputPath = outFile.path();
        span.setPath(outputPath);
    } else if (outFile.open(outputPath.c_str()) && outputKind == OutputKind::Mp4) {
        removeStaleRewrite();
    }
    // A file that failed takes nothing and says so; the container is there all the same.
    if (outputKind != OutputKind::RawStream) {
        container = std::make_unique<ContainerOutput>(
            outFile, outputPath, outputKind, videoCodec, frameRate,
            [](uint64_t bytes) { span.bytesWritten(bytes); }, soundTrack);
    }
}

// The container's end: the last picture, the index, and for an MP4 the rewrite with the index
// first, when it can finish before `deadline`.
void finishContainer(int64_t deadline) {
    container->finish(timeline.end());
    // A file that failed keeps what it has: its fragments play as they are.
    if (outputKind != OutputKind::Mp4 || !container->started() || !outFile.good())
        return;
    if (captureClockMicroseconds() + rewriteMicroseconds(outFile.size()) > deadline) {
        simplelogger::LogLine(gLogger, simplelogger::WARN, __FILE__, __LINE__, __func__).stream()
            << "No time left to rewrite \"" << outputPath
            << "\" with its index first; it stays fragmented, which FFmpeg and most players read "
               "as well";
        return;
    }
    const std::string problem = rewriteAsRegularMp4(outputPath);
    if (!problem.empty()) {
        simplelogger::LogLine(gLogger, simplelogger::WARN, __FILE__, __LINE__, __func__).stream()
            << "Cannot rewrite \"" << outputPath << "\" with its index first: " << problem
            << "; it stays fragmented, which FFmpeg and most players read as well";
    }
}

}  // namespace

// Every packet to each output that is on: the recording when its picture was recorded, the
// stream always.
void writeTimedPackets(const std::vector<NvEncOutputPacket>& packets) {
    uint64_t bytes = 0;
    for (const NvEncOutputPacket& packet : packets) {
        // A picture the encoder never returned: nothing to show, and no time of its own.
        if (packet.bytes.empty())
            continue;
        const bool key =
            packet.pictureType == NV_ENC_PIC_TYPE_IDR || packet.pictureType == NV_ENC_PIC_TYPE_I;
        const auto stamp = static_cast<int64_t>(packet.timeStamp);
        if (stream != nullptr)
            stream->write(TimedPacket{packet.bytes.data(), packet.bytes.size(), stamp, key});
        const int64_t recordingTime = recordingTimeOf(stamp);
        if (recordingTime < 0)
            continue;
        if (container != nullptr) {
            // The container's bytes are counted as they reach the file.
            container->write(
                TimedPacket{packet.bytes.data(), packet.bytes.size(), recordingTime, key});
        } else if (videoCodec == VideoCodec::Av1) {
            writeIvfPacket(packet.bytes, !ivfHeaderWritten, lastIvfStamp, bytes);
            ivfHeaderWritten = true;
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
    outputName = outputPath = path;
    span.setPath(path);
}

void setVideoCodec(VideoCodec codec) {
    videoCodec = codec;
}

void setSoundTrack(const SoundTrack& track) {
    soundTrack = track;
}

void writeSoundPacket(const uint8_t* data, size_t size, int64_t captureTime, int64_t duration,
                      int64_t silence) {
    if (!soundAccepted.load(std::memory_order_acquire) || size == 0)
        return;
    if (stream != nullptr)
        stream->write(TimedPacket{data, size, captureTime, true, Track::Sound, duration});
    if (outputKind == OutputKind::RawStream)
        return;
    // Sound is placed only in a span, which the frame loop begins after opening the
    // container; the timeline's lock orders the two. A file that failed has none.
    const auto place = [](const uint8_t* bytes, size_t length, int64_t recordingTime,
                          int64_t lasting, int64_t silent) {
        if (container == nullptr)
            return;
        container->write(TimedPacket{bytes, length, recordingTime, true, Track::Sound, lasting});
        span.soundWritten(lasting, silent);
    };
    // Earlier sound first: the container takes each track's packets in order.
    while (!unplacedSound.empty()) {
        const UnplacedSound& early = unplacedSound.front();
        const int64_t time = timeline.soundTimeOf(early.captureTime);
        if (time == RecordingTimeline::kNotYetKnown)
            break;
        if (time >= 0)
            place(early.bytes.data(), early.bytes.size(), time, early.duration, early.silence);
        unplacedSound.pop_front();
    }
    const int64_t recordingTime =
        unplacedSound.empty() ? timeline.soundTimeOf(captureTime) : RecordingTimeline::kNotYetKnown;
    if (recordingTime >= 0) {
        place(data, size, recordingTime, duration, silence);
    } else if (recordingTime == RecordingTimeline::kNotYetKnown) {
        if (unplacedSound.size() == kUnplacedSoundPackets)
            unplacedSound.pop_front();
        unplacedSound.push_back(UnplacedSound{{data, data + size}, captureTime, duration, silence});
    }
}

void endOfFrames() {
    timeline.close();
}

void setBitrate(int64_t bitsPerSecond) {
    bitrate = bitsPerSecond;
}

void setStreamUrl(const std::string& url) {
    streamUrl = url;
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
    timeline.setFrameInterval(frameRate.intervalMicroseconds());
    orFailRecording([] {
        // AV1 goes into IVF only in a raw file; containers and streams frame it themselves.
        const bool ivf = outputKind == OutputKind::RawStream;
        encoder.reset(new NvEncoderCuda(context->deviceContext, FRAME_WIDTH, FRAME_HEIGHT,
                                        NV_ENC_BUFFER_FORMAT_NV12, 3, false, false, ivf));
        initializeParams = NV_ENC_INITIALIZE_PARAMS{};
        encodeConfig = NV_ENC_CONFIG{};
        initializeParams.version = NV_ENC_INITIALIZE_PARAMS_VER;
        encodeConfig.version = NV_ENC_CONFIG_VER;
        initializeParams.encodeConfig = &encodeConfig;
        encoder->CreateDefaultEncoderParams(&initializeParams, codecGuid(videoCodec),
                                            NV_ENC_PRESET_P3_GUID, NV_ENC_TUNING_INFO_LOW_LATENCY);
        if (bitrate > 0) {
            // A constant rate with a buffer of one second, which is what a link and a media
            // server's ingest are sized for. Starting it half full, the first second, which
            // holds the first key frame, carries at most half as much again as the rate, and
            // no other second does either.
            NV_ENC_RC_PARAMS& rc = encodeConfig.rcParams;
            const auto rate = static_cast<uint32_t>(bitrate);
            rc.rateControlMode = NV_ENC_PARAMS_RC_CBR;
            rc.averageBitRate = rc.maxBitRate = rc.vbvBufferSize = rate;
            rc.vbvInitialDelay = rate / 2;
        }
        // The stream's nominal rate is the camera's.
        initializeParams.frameRateNum = static_cast<uint32_t>(frameRate.num);
        initializeParams.frameRateDen = static_cast<uint32_t>(frameRate.den);
        if (outputKind != OutputKind::RawStream) {
            // A key frame every 2 s, so that a long recording can be seeked and cut.
            const auto period =
                static_cast<uint32_t>((2 * frameRate.num + frameRate.den / 2) / frameRate.den);
            encodeConfig.gopLength = period;
            NV_ENC_CODEC_CONFIG& codec = encodeConfig.encodeCodecConfig;
            switch (videoCodec) {
                case VideoCodec::Hevc:
                    codec.hevcConfig.idrPeriod = period;
                    break;
                case VideoCodec::H264:
                    codec.h264Config.idrPeriod = period;
                    break;
                case VideoCodec::Av1:
                    codec.av1Config.idrPeriod = period;
                    break;
            }
        }
        encoder->CreateEncoder(&initializeParams);
    });
    ck(cuMemAlloc(&context->nv12Frame, static_cast<size_t>(encoder->GetFrameSize())));

    if (!hasDateFields(outputName))
        openOutput();
    if (outputKind == OutputKind::RawStream) {
        // IVF keeps each frame's time; the other raw streams play at the rate they declare.
        if (videoCodec != VideoCodec::Av1)
            span.checkRateAgainst(frameRate.perSecond(), std::to_string(frameRate.num) + "/" +
                                                             std::to_string(frameRate.den));
        if (soundTrack) {
            simplelogger::LogLine(gLogger, simplelogger::INFO, __FILE__, __LINE__, __func__)
                    .stream()
                << "\"" << outputPath << "\" is a raw " << codecName(videoCodec)
                << " stream, which has no place for sound: it records the picture alone; --output "
                   "NAME.mp4 or NAME.mkv records both";
        }
    }
    if (!streamUrl.empty())
        stream = std::make_unique<StreamOutput>(streamUrl, soundTrack, videoCodec);
    soundAccepted.store(true, std::memory_order_release);
}

std::thread startEncodeThread() {
    if (stream != nullptr)
        stream->start();
    return std::thread(encodeThreadBody);
}

void recordStep(const uint8_t* currentFrame, int64_t captureTime, cudaEvent_t chainDoneEvent,
                cudaEvent_t ringCopyDoneEvent) {
    const bool recordingOn = context->recording.load(std::memory_order_relaxed);
    if (recordingOn && !outputOpened)
        openOutput();
    if (!recordingOn) {
        timeline.notRecorded(captureTime);
        span.recordingOff();
        // A stream takes every shown frame.
        if (stream == nullptr)
            return;
    }
    cudaStreamWaitEvent(context->ring.stream, chainDoneEvent, 0);
    const int64_t recordingTime =
        recordingOn ? timeline.timeOf(captureTime, !span.inSpan()) : int64_t{-1};
    // With a stream the encoder stamps pictures with their capture times, which the stream
    // sends and from which the recording's times are found again.
    if (recordingOn && !span.inSpan())
        spanKeyPending = true;
    const bool taken =
        offerToRing(context->ring, currentFrame, stream != nullptr ? captureTime : recordingTime,
                    recordingTime, recordingOn && spanKeyPending);
    if (recordingOn) {
        span.frameOffered(taken);
        spanKeyPending = spanKeyPending && !taken;
    }
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
        int64_t lastForcedKey = 0;
        bool forcedAny = false;
        drainRing(state.ring, state.running,
                  [&](const uint8_t* frame, int64_t time, int64_t recordingTime, bool beginsSpan) {
                      launchRGB2NV12(state.launchGrid, state.launchBlock, encodeStream, frame, nv12,
                                     FRAME_WIDTH, FRAME_HEIGHT);
                      const EncoderInputFrame* input = encoder->NextInputSlot();
                      NvEncoderCuda::CopyToDeviceFrame(
                          state.deviceContext, nv12, 0, static_cast<CUdeviceptr>(input->bufferPtr),
                          input->lumaPitch, FRAME_WIDTH, FRAME_HEIGHT, CU_MEMORYTYPE_DEVICE,
                          input->format, input->planeOffsets, input->planeCount, false,
                          encodeStream);
                      // The encoder reads its input buffer as soon as the picture is submitted.
                      cudaStreamSynchronize(encodeStream);
                      const bool recorded = recordingTime >= 0;
                      NV_ENC_PIC_PARAMS picture{};
                      // Each span starts on a key frame, so that it plays and cuts on its own;
                      // a stream also wants one when asked and every 2 s.
                      bool key = beginsSpan;
                      if (stream != nullptr) {
                          const bool asked = stream->takeKeyFrameRequest();
                          key = key || asked || !forcedAny ||
                                time - lastForcedKey >= kStreamKeyFrameMicroseconds;
                          submitted.push_back(Submitted{time, recordingTime});
                      }
                      if (key) {
                          picture.encodePicFlags =
                              NV_ENC_PIC_FLAG_FORCEIDR | NV_ENC_PIC_FLAG_OUTPUT_SPSPPS;
                          lastForcedKey = time;
                          forcedAny = true;
                      }
                      encoder->EncodeFrame(packets, static_cast<uint64_t>(time), &picture);
                      writeTimedPackets(packets);
                      if (recorded)
                          span.frameEncoded();
                  });
    });
    cuCtxPopCurrent(nullptr);
}

void endOfStream(std::thread& encodeThread, int64_t deadline) {
    encodeThread.join();
    orFailRecording([] {
        std::vector<NvEncOutputPacket> packets;
        encoder->EndEncode(packets);
        writeTimedPackets(packets);
        encoder->CloseEncoder();
    });
    // The file first: the stream's end may wait on the network for 2 s.
    if (container != nullptr)
        finishContainer(deadline);
    outFile.close();
    ck(cuMemFree(context->nv12Frame));
    span.close();
    if (stream != nullptr && deadline == kNoDeadline)
        stream->finish();
}
