// Recording: the encoder session and its output (by default HEVC into "camera.hevc") opened at
// start-up, the hand-off of shown frames through the four-slot FrameRing, the encoding thread,
// and the end of stream.
#pragma once

#include <cuda.h>
#include <cuda_runtime.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "frame_ring.h"
#include "video_output.h"

class NvEncoderCuda;
struct NvEncOutputPacket;
class OutputFile;

// The viewer's process-wide state that the recording works on, handed over once at start-up.
// References: start-up creates encodeStream and sets LaunchGeometry only after the recording
// set-up, and the recording set-up allocates nv12Frame.
struct RecordingContext {
    const CUcontext& deviceContext;  // the ring buffers, nv12Frame and the encoder live in it
    CUdeviceptr& nv12Frame;
    const std::atomic<bool>& running;
    const std::atomic<bool>& recording;
    RingHandOff ring;        // FrameRing, writeCount, readCount and encodeStream
    const dim3& launchGrid;  // LaunchGeometry, for the NV12 conversion
    const dim3& launchBlock;
    double cameraFramesPerSecond;  // as the camera reports it; 0 or less when it does not
};

// Never destroyed: at exit another thread may still be using them.
extern OutputFile& outFile;
extern std::unique_ptr<NvEncoderCuda>& encoder;

// Where the recording goes; "camera.hevc" unless set before setupRecording, which opens it. A
// name ending in .mp4, .mov or .mkv gets a container with every frame's capture time, any other
// the codec's raw stream. A name with date fields (%Y %m %d %H %M %S) is opened only when recording
// is first switched on, with the fields filled in then, as a new file: numbered -2, -3, ...
// where the name is taken, in a user's videos folder made if missing.
void setOutputPath(const std::string& path);

// Before setupRecording: what the encoder makes of the picture; HEVC unless set.
void setVideoCodec(VideoCodec codec);

// Where setupRecording streams every shown frame to, beside the recording: an srt:// or
// rtsp:// URL that has passed streamUrlProblem; empty (the default) for no stream.
void setStreamUrl(const std::string& url);

// Before setupRecording: the average rate in bits a second the encoder keeps to, with a buffer
// of one second, for the recording and the stream alike; 0 (the default) for constant quality.
void setBitrate(int64_t bitsPerSecond);

// Before setupRecording: the sound that goes beside the picture into a container (a raw
// stream has no place for it, and says so).
void setSoundTrack(const SoundTrack& track);

// The sound's own thread, from setupRecording on: one encoded packet of sound whose first
// sample was captured at `captureTime` (the clock of captureClockMicroseconds), lasting
// `duration` microseconds, `silence` of them put in for a stall. Kept where it falls in a
// recording span, left out in a pause.
void writeSoundPacket(const uint8_t* data, size_t size, int64_t captureTime, int64_t duration,
                      int64_t silence = 0);

// Shut-down, once the frame loop has ended: the last span ends one frame after its last frame,
// and sound captured later is left out of the recording.
void endOfFrames();

// Start-up, right after the CUDA context exists: encoder, session, nv12Frame, outFile. Keeps
// `context` for every later call.
void setupRecording(const RecordingContext& context);

// Start-up, last: the stream's sending thread, if any, and the encoding thread.
std::thread startEncodeThread();

// The clock of capture times: microseconds of a monotonic clock.
int64_t captureClockMicroseconds();

// Frame loop, once per frame after the draw: while recording, hands currentFrame, read from
// the camera at captureTime, to the encoding thread through the ring, ordered after
// chainDoneEvent, without a host wait. ringCopyDoneEvent is recorded after the copy so that
// the next upload can wait for it.
void recordStep(const uint8_t* currentFrame, int64_t captureTime, cudaEvent_t chainDoneEvent,
                cudaEvent_t ringCopyDoneEvent);

// The encoding thread's body; returns once `running` is clear.
void encodeThreadBody();

// Shut-down, after `running` is cleared: joins the thread, flushes the encoder into the
// file, closes both and frees nv12Frame; then ends the stream. With a deadline (on the capture
// clock) the process ends then: an MP4's rewrite is started only if it can finish before it,
// and the stream is left as it is.
constexpr int64_t kNoDeadline = INT64_MAX;
void endOfStream(std::thread& encodeThread, int64_t deadline = kNoDeadline);

// Hands packets to the output: the container at their times, or outFile as raw bytes. The
// file reports a failure as an ERROR line.
void writeTimedPackets(const std::vector<NvEncOutputPacket>& packets);
