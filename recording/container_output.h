// A recording in a container through FFmpeg's libavformat: MP4 (fragmented while it is
// written) or Matroska, each picture at its own time. The bytes go through an OutputFile,
// which holds the file's lock and reports its failures.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "video_output.h"

class OutputFile;
struct AVFormatContext;
struct AVIOContext;
struct AVPacket;

class ContainerOutput {
  public:
    // `file` is open on `path`; `onBytes` hears of every byte that reached it. With `sound`, a
    // sound track beside the picture.
    ContainerOutput(OutputFile& file, std::string path, OutputKind kind, VideoCodec codec,
                    FrameRate rate, std::function<void(uint64_t)> onBytes,
                    std::optional<SoundTrack> sound = std::nullopt);
    ~ContainerOutput();
    ContainerOutput(const ContainerOutput&) = delete;
    ContainerOutput& operator=(const ContainerOutput&) = delete;

    // Packets of each track in decoding order, times rising; the two tracks from two threads,
    // interleaved here by time. The first picture must be a key frame with the stream's
    // parameter sets (AV1: its sequence header); sound that comes before it waits for it.
    void write(const TimedPacket& packet);

    // A clean end: the last picture, shown until `endTime` (microseconds, at least one frame
    // interval after it), the index and the duration. The caller then closes the file; an
    // MP4 is rewritten with rewriteAsRegularMp4.
    void finish(int64_t endTime = 0);

    // Whether anything was written (a stream header exists).
    bool started() const { return m_started; }

  private:
    bool start(const TimedPacket& first);
    void writePicture(const TimedPacket& packet);
    void writeSound(const TimedPacket& packet);
    void writeHeld(int64_t duration);
    void fail(const char* what, int error);

    OutputFile& m_file;
    std::string m_path;
    OutputKind m_kind;
    VideoCodec m_codec;
    FrameRate m_rate;
    std::function<void(uint64_t)> m_onBytes;
    std::optional<SoundTrack> m_sound;
    std::mutex m_mutex;  // the picture's and the sound's threads
    AVFormatContext* m_context = nullptr;
    AVIOContext* m_io = nullptr;
    AVPacket* m_held = nullptr;  // written once the next one gives its duration
    int64_t m_lastSound = INT64_MIN;
    struct EarlySound {
        std::vector<uint8_t> bytes;
        int64_t time;
        int64_t duration;
    };
    std::vector<EarlySound> m_earlySound;  // before the first picture  // of the last sound packet,
                                           // in its stream's time base
    bool m_started = false;
    bool m_failed = false;
    bool m_finished = false;  // a sound packet late for the end is left out
};

// Rewrites the fragmented MP4 at `path` as a regular one, index first, without re-encoding:
// into a temporary file in the same folder that then replaces it, so that a rewrite cut short
// leaves the fragmented file whole. Returns an empty string, or why it failed.
std::string rewriteAsRegularMp4(const std::string& path);

// The temporary file of that rewrite: ".NAME.mp4.rewrite" beside the recording.
std::string rewriteTemporaryPath(const std::string& path);

// A cautious guess of how long the rewrite of an MP4 of `bytes` takes, in microseconds: it reads
// and writes the file twice.
int64_t rewriteMicroseconds(int64_t bytes);
