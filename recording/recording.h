// Recording: the HEVC session and "camera.hevc" opened at start-up, the hand-off of shown
// frames through the four-slot FrameRing, the encoding thread, and the end of stream.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

// Where setupRecording opens the recording; "camera.hevc" unless set before it.
void setOutputPath(const std::string& path);

// Start-up, right after the CUDA context exists: encoder, session, nv12Frame, outFile.
void setupRecording();

// Start-up, last: the encoding thread.
std::thread startEncodeThread();

// Frame loop, once per frame after the draw: while recording, hands currentFrame to the
// encoding thread through the ring, ordered after chainDoneEvent, without a host wait.
// ringCopyDoneEvent is recorded after the copy so that the next upload can wait for it.
void recordStep(const uint8_t* currentFrame, cudaEvent_t chainDoneEvent,
                cudaEvent_t ringCopyDoneEvent);

// The encoding thread's body; returns once `running` is clear.
void encodeThreadBody();

// Shut-down, after `running` is cleared: joins the thread, flushes the encoder into the
// file, closes both and frees nv12Frame.
void endOfStream(std::thread& encodeThread);

// Appends packets to outFile, which reports a failure as an ERROR line.
void writePackets(const std::vector<std::vector<uint8_t>>& packets);
