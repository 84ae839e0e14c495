// A live stream to a media server through FFmpeg's libavformat: MPEG-TS over SRT, or RTSP.
// The encoding thread hands it packets and never waits: a sending thread of its own works
// through a queue of about one second, connects, reconnects every 2 s, and drops what the
// network cannot take up to the next key frame.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "video_output.h"

struct AVFormatContext;

enum class StreamKind { Srt, Rtsp };

// Why `url` cannot be streamed to, or empty when it can: a scheme other than srt:// or
// rtsp://, no host, or a port that is missing (SRT) or out of range.
std::string streamUrlProblem(const std::string& url);

// The URL as log lines may show it: scheme, host, port and path, without the user name,
// password or query (an SRT passphrase or a token in a stream id are credentials too).
std::string urlForLog(const std::string& url);

class StreamOutput {
  public:
    // `url` has passed streamUrlProblem. Writes the "Streaming to" line.
    explicit StreamOutput(std::string url);
    ~StreamOutput();
    StreamOutput(const StreamOutput&) = delete;
    StreamOutput& operator=(const StreamOutput&) = delete;

    // Starts the sending thread, which connects.
    void start();

    // Encoding thread: one packet with its capture time (microseconds, a monotonic clock), in
    // decoding order. Queued or dropped at once.
    void write(const TimedPacket& packet);

    // Encoding thread: whether the stream asks for a key frame (after connecting, or after
    // a drop); asking clears the request.
    bool takeKeyFrameRequest() { return m_keyFrameWanted.exchange(false); }

    // Sends what is queued and ends the stream, within 2 s even when the server does not
    // answer, then writes the closing line. A second call does nothing.
    void finish();

    // For measurements: called on the sending thread with each packet's capture time as soon as
    // libavformat has handed it on (to SRT's send buffer, to RTSP's TCP socket). Before start().
    void onSent(std::function<void(int64_t captureTime)> sent) { m_onSent = std::move(sent); }

    int64_t framesSent() const { return m_sent.load(); }
    int64_t framesDropped() const { return m_dropped.load(); }

    // Longest a connection attempt or one write may take before it counts as failed.
    static constexpr int64_t kOperationLimitMicroseconds = 5'000'000;

  private:
    struct Queued {
        std::vector<uint8_t> bytes;
        int64_t time;
        bool keyFrame;
    };

    void run();
    std::string connect();
    std::string send(const Queued& packet);
    void disconnect(bool orderly);
    void dropQueueLocked();
    void endDropEpisodeLocked(int64_t time);
    void armDeadline(int64_t microseconds);
    static int interrupted(void* self);

    const std::string m_url;
    const std::string m_shownUrl;
    const StreamKind m_kind;

    std::mutex m_mutex;  // the queue and the state below it; never held over network calls
    std::condition_variable m_wake;
    std::deque<Queued> m_queue;
    bool m_up = false;      // connected: packets are queued
    bool m_needKey = true;  // dropping until a key frame comes
    bool m_slow = false;    // in a drop episode of a full queue
    int64_t m_episodeDropped = 0;
    int64_t m_episodeStart = 0;
    bool m_stopping = false;
    int64_t m_origin = -1;   // capture time of the first packet offered: the stream's zero
    int64_t m_lastTime = 0;  // of the last packet offered, on the stream's clock

    std::atomic<bool> m_keyFrameWanted{false};
    std::atomic<int64_t> m_sent{0};
    std::atomic<int64_t> m_dropped{0};
    std::atomic<int64_t> m_deadline{INT64_MAX};      // of the network call under way
    std::atomic<int64_t> m_stopDeadline{INT64_MAX};  // of the whole end of the stream

    // Sending thread.
    std::function<void(int64_t)> m_onSent;
    AVFormatContext* m_context = nullptr;
    double m_secondsUp = 0.0;
    bool m_finished = false;
    std::thread m_thread;
};
