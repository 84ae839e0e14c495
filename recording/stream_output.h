// A live stream to a media server through FFmpeg's libavformat: MPEG-TS over SRT, or RTSP.
// The encoding thread hands it packets and never waits: a sending thread of its own works
// through a queue of about one second, connects, reconnects every 2 s (every 10 s after three
// losses in a minute), and drops what the network cannot take up to the next key frame.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "video_output.h"

enum class StreamKind { Srt, Rtsp };

// Why `url` cannot be streamed to, or empty when it can: a scheme other than srt:// or
// rtsp://, no host, a port that is missing (SRT) or out of range, or user information with a
// raw '/', '?' or '#'. The reason never repeats what may be a password.
std::string streamUrlProblem(const std::string& url);

// Why pictures of `codec` cannot be streamed, or empty when they can. AV1 cannot: Debian 12's
// FFmpeg carries it neither in MPEG-TS nor over RTSP.
std::string streamCodecProblem(VideoCodec codec);

// The URL as log lines may show it: scheme, host, port and path, without the user name,
// password or query (an SRT passphrase or a token in a stream id are credentials too).
std::string urlForLog(const std::string& url);

class StreamSender;

class StreamOutput {
  public:
    // `url` has passed streamUrlProblem, and `codec` streamCodecProblem. With `sound`, a sound
    // track beside the picture. Writes the "Streaming to" line.
    explicit StreamOutput(std::string url, std::optional<SoundTrack> sound = std::nullopt,
                          VideoCodec codec = VideoCodec::Hevc);
    // Finishes the stream.
    ~StreamOutput();
    StreamOutput(const StreamOutput&) = delete;
    StreamOutput& operator=(const StreamOutput&) = delete;

    // Starts the sending thread, which connects.
    void start();

    // Encoding thread: one picture with its capture time (microseconds, a monotonic clock), in
    // decoding order; or the sound's thread: one packet of sound at its capture time. Queued or
    // dropped at once. The counts are of pictures.
    void write(const TimedPacket& packet);

    // Encoding thread: whether the stream asks for a key frame (once per connection, and after
    // a drop); asking clears the request.
    bool takeKeyFrameRequest();

    // Sends what is queued and ends the stream, within 2 s even when the server does not
    // answer, then writes the closing line. A sending thread stuck beyond that (a host name
    // that the resolver cannot answer) is left behind with a WARN line, since the process is
    // ending. A second call does nothing.
    void finish();

    // For measurements: called on the sending thread with each packet's capture time as soon as
    // libavformat has handed it on (to SRT's send buffer, to RTSP's TCP socket). Before start().
    void onSent(std::function<void(int64_t captureTime)> sent);

    int64_t framesSent() const;
    int64_t framesDropped() const;

    // Longest a connection attempt or one write may take before it counts as failed.
    static constexpr int64_t kOperationLimitMicroseconds = 5'000'000;
    // Least time from one connection attempt to the next, and after losses that come three in
    // a minute.
    static constexpr int64_t kRetryMicroseconds = 2'000'000;
    static constexpr int64_t kBackOffMicroseconds = 10'000'000;
    // How long finish() waits for the sending thread: its 2 s and a margin.
    static constexpr int64_t kFinishWaitMicroseconds = 2'500'000;

  private:
    // What the sending thread uses, shared with it so that a thread left behind outlives this.
    std::shared_ptr<StreamSender> m_sender;
    std::thread m_thread;
    bool m_finished = false;
};
