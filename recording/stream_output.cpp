#include "stream_output.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>
#include <regex>
#include <vector>

#include "NvCodecUtils.h"
#include "media_streams.h"

namespace {

constexpr AVRational kMicroseconds{1, 1000000};
constexpr int64_t kQueueMicroseconds = 1'000'000;
constexpr size_t kQueueMostPackets = 600;  // 1 s at the highest camera rates
// The end of the stream has 2 s in all: what is queued goes out within this, and SRT's close
// then waits at most its linger of 1 s for the server to take the rest.
constexpr int64_t kFinishMicroseconds = 900'000;

int64_t nowMicroseconds() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string errorText(int error) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return text;
}

struct ParsedUrl {
    std::string scheme;  // lower case
    std::string host;
    std::string port;  // empty when none is given
    std::string path;  // from the first '/', without query or fragment
};

// Whether the user information holds a raw '/', '?' or '#': RFC 3986 ends the authority there,
// so a password such as "12/34" would be read as the host, the port and the path, and shown.
bool reservedInUserInformation(const std::string& url) {
    const size_t authority = url.find("://");
    const size_t at = url.rfind('@');
    if (authority == std::string::npos || at == std::string::npos || at < authority)
        return false;
    return url.find_first_of("/?#", authority + 3) < at;
}

std::optional<ParsedUrl> parseUrl(const std::string& url) {
    static const std::regex form(
        R"(([A-Za-z][A-Za-z0-9+.-]*)://(?:[^@/?#]*@)?(\[[0-9A-Fa-f:.]+\]|[^:/?#@\[\]]*)(?::([^/?#]*))?([/?#].*)?)");
    std::smatch match;
    const bool printable =
        std::all_of(url.begin(), url.end(), [](unsigned char c) { return std::isgraph(c) != 0; });
    if (!printable || reservedInUserInformation(url) || !std::regex_match(url, match, form))
        return std::nullopt;
    ParsedUrl parsed{match[1], match[2], match[3], match[4]};
    std::transform(parsed.scheme.begin(), parsed.scheme.end(), parsed.scheme.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    parsed.path = parsed.path.substr(0, parsed.path.find_first_of("?#"));
    return parsed;
}

// The receiver's delay that an SRT URL asks for (FFmpeg's "latency", in microseconds), or
// libsrt's own 120 ms.
int64_t srtLatencyMicroseconds(const std::string& url) {
    static const std::regex latency(R"([?&](?:rcv)?latency=(\d{1,9})(?:&|#|$))");
    std::smatch match;
    if (std::regex_search(url, match, latency))
        return std::stoll(match[1]);
    return 120'000;
}

StreamKind kindOf(const std::string& url) {
    const std::optional<ParsedUrl> parsed = parseUrl(url);
    return parsed && parsed->scheme == "rtsp" ? StreamKind::Rtsp : StreamKind::Srt;
}

void logLine(int level, const std::string& text) {
    simplelogger::LogLine(gLogger, level, __FILE__, __LINE__, "stream").stream() << text;
}

std::string seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

}  // namespace

std::string streamUrlProblem(const std::string& url) {
    // The URL itself is not repeated, nor any part of it that may be a password.
    if (reservedInUserInformation(url))
        return "the stream URL has an '@' after a '/', '?' or '#'; a user name or password "
               "writes these as %2F, %3F and %23, and an '@' in a path or option as %40";
    const std::optional<ParsedUrl> parsed = parseUrl(url);
    if (!parsed)
        return "the stream URL cannot be read; expected srt://HOST:PORT[?OPTIONS] or "
               "rtsp://HOST[:PORT]/PATH";
    if (parsed->scheme != "srt" && parsed->scheme != "rtsp")
        return "streaming over \"" + parsed->scheme + "\" is not supported; use srt:// or rtsp://";
    if (parsed->host.empty())
        return "the stream URL names no host";
    if (parsed->port.empty()) {
        if (parsed->scheme == "srt")
            return "an SRT URL needs a port, e.g. srt://HOST:9000";
        return "";
    }
    const bool digits = parsed->port.size() <= 5 &&
                        std::all_of(parsed->port.begin(), parsed->port.end(), ::isdigit);
    if (!digits || std::stoi(parsed->port) < 1 || std::stoi(parsed->port) > 65535)
        return "the stream URL's port is not a number from 1 to 65535";
    return "";
}

std::string streamCodecProblem(VideoCodec codec) {
    if (codec != VideoCodec::Av1)
        return "";
    return "AV1 cannot be streamed: Debian 12's FFmpeg carries it neither in MPEG-TS over SRT "
           "nor over RTSP, so a media server could not take it; --codec h264 or hevc streams";
}

std::string urlForLog(const std::string& url) {
    const std::optional<ParsedUrl> parsed = parseUrl(url);
    if (!parsed)
        return "the stream";
    return parsed->scheme + "://" + parsed->host + (parsed->port.empty() ? "" : ":") +
           parsed->port + parsed->path;
}

// The sending thread's side of a stream, and everything it shares with the encoding thread.
class StreamSender {
  public:
    StreamSender(std::string url, std::optional<SoundTrack> sound, VideoCodec codec)
        : m_url(std::move(url)),
          m_shownUrl(urlForLog(m_url)),
          m_kind(kindOf(m_url)),
          m_codec(codec),
          m_sound(std::move(sound)) {}

    void write(const TimedPacket& packet);
    void run();
    // Asks the sending thread to end within kFinishMicroseconds.
    void stop();
    // Until the sending thread is done, at most `microseconds`; whether it is.
    bool waitUntilDone(int64_t microseconds);
    void finished();
    void writeClosingLine();

    const std::string& shownUrl() const { return m_shownUrl; }
    StreamKind kind() const { return m_kind; }
    VideoCodec codec() const { return m_codec; }
    bool hasSound() const { return m_sound.has_value(); }

    std::atomic<bool> keyFrameWanted{false};
    std::atomic<int64_t> sent{0};
    std::atomic<int64_t> dropped{0};
    std::function<void(int64_t)> onSent;  // set before the thread starts

  private:
    struct Queued {
        std::vector<uint8_t> bytes;
        int64_t time;
        bool keyFrame;
        Track track;
        int64_t duration;
    };

    void writeSoundLocked(const TimedPacket& packet);

    std::string connect();
    std::string send(const Queued& packet);
    void disconnect(bool orderly);
    void waitForDelivery();
    // Until `until` (microseconds) or the stop; false once stopping.
    bool waitUntil(int64_t until);
    bool stopping();
    void dropQueueLocked();
    void cutPicturesFromLocked(int64_t time);
    bool soundCutLocked(int64_t time);
    void endDropEpisodeLocked(int64_t time);
    void armDeadline(int64_t microseconds);
    std::string failure(int error) const;
    static int interrupted(void* self);

    const std::string m_url;
    const std::string m_shownUrl;
    const StreamKind m_kind;
    const VideoCodec m_codec;
    const std::optional<SoundTrack> m_sound;

    std::mutex m_mutex;  // the queue and the state below it; never held over network calls
    std::condition_variable m_wake;
    std::deque<Queued> m_queue;
    bool m_up = false;      // connected: packets are queued
    bool m_needKey = true;  // dropping until a key frame comes
    bool m_slow = false;    // in a drop episode of a full queue
    int64_t m_episodeDropped = 0;
    int64_t m_episodeStart = 0;
    // Stretches of the stream's clock whose pictures were dropped, oldest first; the last one
    // ends at INT64_MAX while pictures are still dropped. Sound reaches the sender later than
    // the pictures beside it, so it is cut by these times, not by the state on its arrival.
    std::deque<std::pair<int64_t, int64_t>> m_cuts;
    bool m_stopping = false;
    bool m_done = false;     // the sending thread has ended
    int64_t m_origin = -1;   // capture time of the first packet offered: the stream's zero
    int64_t m_lastTime = 0;  // of the last packet offered, on the stream's clock

    std::atomic<int64_t> m_deadline{INT64_MAX};      // of the network call under way
    std::atomic<int64_t> m_stopDeadline{INT64_MAX};  // of the whole end of the stream
    std::atomic<bool> m_timedOut{false};  // the call under way was cut off by its own deadline

    // Sending thread.
    AVFormatContext* m_context = nullptr;
    std::atomic<int64_t> m_microsecondsUp{0};  // read by the closing line
    std::atomic<int64_t> m_bytesSent{0};       // of picture and sound, the same
};

void StreamSender::write(const TimedPacket& packet) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (packet.track == Track::Sound) {
        writeSoundLocked(packet);
        return;
    }
    if (m_origin < 0)
        m_origin = packet.time;
    const int64_t time = packet.time - m_origin;
    m_lastTime = time;
    if (!m_up || m_stopping) {
        ++dropped;
        cutPicturesFromLocked(time);
        return;
    }
    const bool full = !m_queue.empty() && (time - m_queue.front().time >= kQueueMicroseconds ||
                                           m_queue.size() >= kQueueMostPackets);
    if (full && !m_slow) {
        // What follows this picture depends on it: nothing more can go until a key frame.
        m_slow = true;
        m_needKey = true;
        m_episodeDropped = 0;
        m_episodeStart = time;
        keyFrameWanted = true;
    }
    if (full || (m_needKey && !packet.keyFrame)) {
        ++dropped;
        cutPicturesFromLocked(time);
        if (m_slow)
            ++m_episodeDropped;
        return;
    }
    if (packet.keyFrame) {
        if (m_slow)
            endDropEpisodeLocked(time);
        m_needKey = false;
    }
    if (!m_cuts.empty() && m_cuts.back().second == INT64_MAX)
        m_cuts.back().second = time;
    m_queue.push_back(Queued{std::vector<uint8_t>(packet.data, packet.data + packet.size), time,
                             packet.keyFrame, Track::Picture, 0});
    m_wake.notify_one();
}

// Sound goes while pictures go: it waits for the first picture, and the sound of a stretch
// whose pictures were dropped is dropped too, so that both tracks resume together.
void StreamSender::writeSoundLocked(const TimedPacket& packet) {
    if (!m_sound || m_origin < 0 || !m_up || m_stopping)
        return;
    const int64_t time = packet.time - m_origin;
    if (time < 0 || soundCutLocked(time))
        return;
    m_queue.push_back(Queued{std::vector<uint8_t>(packet.data, packet.data + packet.size), time,
                             true, Track::Sound, packet.duration});
    m_wake.notify_one();
}

void StreamSender::endDropEpisodeLocked(int64_t time) {
    m_slow = false;
    logLine(simplelogger::WARN, "Stream to " + m_shownUrl + " too slow for the network: dropped " +
                                    std::to_string(m_episodeDropped) + " frames (" +
                                    seconds(static_cast<double>(time - m_episodeStart) / 1e6) +
                                    " s) up to the next key frame");
}

void StreamSender::dropQueueLocked() {
    const auto isPicture = [](const Queued& queued) { return queued.track == Track::Picture; };
    const auto picture = std::find_if(m_queue.begin(), m_queue.end(), isPicture);
    if (picture != m_queue.end())
        cutPicturesFromLocked(picture->time);
    dropped += std::count_if(m_queue.begin(), m_queue.end(), isPicture);
    m_queue.clear();
}

// Pictures from `time` on are dropped, up to the next one queued. Queued pictures dropped
// with the connection may reach back before an open stretch.
void StreamSender::cutPicturesFromLocked(int64_t time) {
    if (!m_cuts.empty() && m_cuts.back().second == INT64_MAX)
        m_cuts.back().first = std::min(m_cuts.back().first, time);
    else
        m_cuts.emplace_back(time, INT64_MAX);
}

bool StreamSender::soundCutLocked(int64_t time) {
    // Sound comes at most a few packets behind the pictures; older stretches are done with.
    while (!m_cuts.empty() && m_cuts.front().second < time - kQueueMicroseconds)
        m_cuts.pop_front();
    return std::any_of(m_cuts.begin(), m_cuts.end(),
                       [time](const auto& cut) { return time >= cut.first && time < cut.second; });
}

void StreamSender::armDeadline(int64_t microseconds) {
    m_timedOut = false;
    m_deadline = nowMicroseconds() + microseconds;
}

int StreamSender::interrupted(void* self) {
    auto* sender = static_cast<StreamSender*>(self);
    const int64_t now = nowMicroseconds();
    if (now >= sender->m_stopDeadline.load())
        return 1;
    if (now < sender->m_deadline.load())
        return 0;
    sender->m_timedOut = true;
    return 1;
}

// What a failed call's error stands for: FFmpeg's text tells what it was doing when our own
// deadline cut it off, which is not why it failed.
std::string StreamSender::failure(int error) const {
    return m_timedOut
               ? "no answer within " +
                     std::to_string(StreamOutput::kOperationLimitMicroseconds / 1'000'000) + " s"
               : errorText(error);
}

std::string StreamSender::connect() {
    armDeadline(StreamOutput::kOperationLimitMicroseconds);
    const char* format = m_kind == StreamKind::Srt ? "mpegts" : "rtsp";
    int result = avformat_alloc_output_context2(&m_context, nullptr, format, m_url.c_str());
    if (result < 0)
        return errorText(result);
    m_context->interrupt_callback = AVIOInterruptCB{&StreamSender::interrupted, this};
    // Every picture leaves at once rather than when a buffer fills.
    m_context->flags |= AVFMT_FLAG_FLUSH_PACKETS;
    m_context->flush_packets = 1;
    if (addVideoStream(m_context, m_codec) == nullptr ||
        (m_sound && addSoundStream(m_context, *m_sound) == nullptr)) {
        avformat_free_context(m_context);
        m_context = nullptr;
        return errorText(AVERROR(ENOMEM));
    }

    // Defaults only: options in the URL itself (SRT's latency, streamid...) take precedence.
    AVDictionary* options = nullptr;
    if (m_kind == StreamKind::Srt) {
        AVDictionary* io = nullptr;
        av_dict_set(&io, "connect_timeout", "1500", 0);  // milliseconds; tried again every 2 s
        av_dict_set(&io, "linger", "1",
                    0);  // seconds the close waits for the server to take the rest
        result = avio_open2(&m_context->pb, m_url.c_str(), AVIO_FLAG_WRITE,
                            &m_context->interrupt_callback, &io);
        av_dict_free(&io);
    } else {
        // Interleaved in the RTSP connection: nothing to open beside it, nothing lost on the way.
        av_dict_set(&options, "rtsp_transport", "tcp", 0);
    }
    if (result >= 0)
        result = avformat_write_header(m_context, &options);
    av_dict_free(&options);
    if (result < 0) {
        if (m_kind == StreamKind::Srt)
            avio_closep(&m_context->pb);
        avformat_free_context(m_context);
        m_context = nullptr;
        return failure(result);
    }
    return "";
}

std::string StreamSender::send(const Queued& queued) {
    AVPacket* packet = av_packet_alloc();
    if (packet == nullptr)
        return errorText(AVERROR(ENOMEM));
    packet->data = const_cast<uint8_t*>(queued.bytes.data());
    packet->size = static_cast<int>(queued.bytes.size());
    packet->stream_index = queued.track == Track::Sound ? 1 : 0;
    const AVRational timeBase = m_context->streams[packet->stream_index]->time_base;
    packet->pts = packet->dts = av_rescale_q(queued.time, kMicroseconds, timeBase);
    packet->duration = av_rescale_q(queued.duration, kMicroseconds, timeBase);
    packet->flags = queued.keyFrame ? AV_PKT_FLAG_KEY : 0;
    armDeadline(StreamOutput::kOperationLimitMicroseconds);
    int result = av_write_frame(m_context, packet);
    if (result >= 0 && m_context->pb != nullptr && m_context->pb->error < 0)
        result = m_context->pb->error;
    av_packet_free(&packet);
    return result < 0 ? failure(result) : "";
}

void StreamSender::disconnect(bool orderly) {
    // The end of stream (RTSP's TEARDOWN, the last MPEG-TS packets); a broken connection
    // only gets a short try, so that its sockets are let go.
    armDeadline(orderly ? StreamOutput::kOperationLimitMicroseconds : 200'000);
    av_write_trailer(m_context);
    if (m_kind == StreamKind::Srt)
        avio_closep(&m_context->pb);
    avformat_free_context(m_context);
    m_context = nullptr;
}

// An SRT receiver hands each packet on only once its latency has passed, and some (libsrt 1.5.4
// under FFmpeg 7) drop what they still hold when the sender closes: the last packets get that
// long first, within what is left of the 2 s.
void StreamSender::waitForDelivery() {
    const int64_t wait =
        std::min(srtLatencyMicroseconds(m_url) + 50'000, m_stopDeadline.load() - nowMicroseconds());
    if (wait > 0)
        std::this_thread::sleep_for(std::chrono::microseconds(wait));
}

bool StreamSender::stopping() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stopping;
}

bool StreamSender::waitUntil(int64_t until) {
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto deadline = std::chrono::steady_clock::time_point(std::chrono::microseconds(until));
    m_wake.wait_until(lock, deadline, [this] { return m_stopping; });
    return !m_stopping;
}

void StreamSender::run() {
    bool warned = false;
    int64_t downSince = 0;
    int64_t nextAttempt = 0;
    // A server that takes the stream and drops it at once would otherwise be asked again and
    // again: the times of the last losses decide how long to wait.
    std::deque<int64_t> losses;
    while (waitUntil(nextAttempt)) {
        const int64_t attemptStart = nowMicroseconds();
        nextAttempt = attemptStart + StreamOutput::kRetryMicroseconds;
        const std::string problem = connect();
        if (!problem.empty()) {
            if (stopping())
                break;
            if (!warned) {
                logLine(simplelogger::WARN,
                        "Cannot reach " + m_shownUrl + ": " + problem + "; trying again every 2 s");
                warned = true;
                downSince = attemptStart;
            }
            continue;
        }
        const int64_t upSince = nowMicroseconds();
        if (warned) {
            logLine(simplelogger::INFO,
                    "Stream to " + m_shownUrl + " up again after " +
                        seconds(static_cast<double>(upSince - downSince) / 1e6) + " s down");
            warned = false;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_up = true;
            m_needKey = true;
            keyFrameWanted = true;  // a viewer sees a picture at once
        }
        std::string lost;
        bool lostPicture = false;
        while (true) {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return !m_queue.empty() || m_stopping; });
            if (m_queue.empty())
                break;
            const Queued packet = std::move(m_queue.front());
            m_queue.pop_front();
            const int64_t origin = m_origin;
            lock.unlock();
            lost = send(packet);
            if (!lost.empty()) {
                lostPicture = packet.track == Track::Picture;
                break;
            }
            m_bytesSent += static_cast<int64_t>(packet.bytes.size());
            if (packet.track == Track::Sound)
                continue;
            ++sent;
            if (onSent)
                onSent(packet.time + origin);
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_up = false;
            if (lostPicture)
                ++dropped;
            dropQueueLocked();
            if (m_slow)
                endDropEpisodeLocked(m_lastTime);
        }
        if (lost.empty() && m_kind == StreamKind::Srt)
            waitForDelivery();
        disconnect(lost.empty());
        const int64_t now = nowMicroseconds();
        m_microsecondsUp += now - upSince;
        if (stopping())
            break;
        losses.push_back(now);
        while (!losses.empty() && now - losses.front() > 60'000'000)
            losses.pop_front();
        std::string again = "reconnecting every 2 s";
        if (losses.size() >= 3) {
            nextAttempt = std::max(nextAttempt, now + StreamOutput::kBackOffMicroseconds);
            again = losses.size() == 3 ? "lost 3 times within a minute, so reconnecting every 10 s"
                                       : "reconnecting every 10 s";
        }
        logLine(simplelogger::WARN, "Stream to " + m_shownUrl + " lost: " + lost + "; " + again);
        warned = true;
        downSince = now;
    }
}

void StreamSender::stop() {
    m_stopDeadline = nowMicroseconds() + kFinishMicroseconds;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        if (m_slow)
            endDropEpisodeLocked(m_lastTime);
    }
    m_wake.notify_all();
}

void StreamSender::finished() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_done = true;
    m_wake.notify_all();
}

bool StreamSender::waitUntilDone(int64_t microseconds) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_wake.wait_for(lock, std::chrono::microseconds(microseconds),
                           [this] { return m_done; });
}

void StreamSender::writeClosingLine() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        dropQueueLocked();
    }
    const int64_t up = m_microsecondsUp.load();
    std::string rate;
    if (up > 0) {
        char text[48];
        // Bits a microsecond are megabits a second.
        std::snprintf(text, sizeof text, ", %.1f Mbit/s on average",
                      static_cast<double>(m_bytesSent.load()) * 8.0 / static_cast<double>(up));
        rate = text;
    }
    logLine(simplelogger::INFO, "Streamed " + seconds(static_cast<double>(up) / 1e6) + " s to " +
                                    m_shownUrl + ": " + std::to_string(sent.load()) +
                                    " frames sent, " + std::to_string(dropped.load()) + " dropped" +
                                    rate);
}

StreamOutput::StreamOutput(std::string url, std::optional<SoundTrack> sound, VideoCodec codec)
    : m_sender(std::make_shared<StreamSender>(std::move(url), std::move(sound), codec)) {
    // FFmpeg's own lines would show the whole URL, credentials and all; ours tell what failed.
    av_log_set_level(AV_LOG_QUIET);
    logLine(simplelogger::INFO, "Streaming to " + m_sender->shownUrl() + " (" +
                                    (m_sender->kind() == StreamKind::Srt ? "MPEG-TS" : "RTSP") +
                                    ", " + codecName(m_sender->codec()) + " 1280x720" +
                                    (m_sender->hasSound() ? ", AAC" : "") + ")");
}

StreamOutput::~StreamOutput() {
    finish();
    if (m_thread.joinable())
        m_thread.join();
}

void StreamOutput::start() {
    m_thread = std::thread([sender = m_sender] {
        sender->run();
        sender->finished();
    });
}

void StreamOutput::write(const TimedPacket& packet) {
    m_sender->write(packet);
}

bool StreamOutput::takeKeyFrameRequest() {
    return m_sender->keyFrameWanted.exchange(false);
}

void StreamOutput::onSent(std::function<void(int64_t)> sent) {
    m_sender->onSent = std::move(sent);
}

int64_t StreamOutput::framesSent() const {
    return m_sender->sent.load();
}

int64_t StreamOutput::framesDropped() const {
    return m_sender->dropped.load();
}

void StreamOutput::finish() {
    if (m_finished)
        return;
    m_finished = true;
    m_sender->stop();
    if (m_thread.joinable()) {
        if (m_sender->waitUntilDone(kFinishWaitMicroseconds)) {
            m_thread.join();
        } else {
            // Most likely the resolver, which nothing interrupts. The thread holds its own share
            // of what it uses, and the process is ending.
            logLine(simplelogger::WARN,
                    "Stream to " + m_sender->shownUrl() +
                        " did not end within 2 s; its last connection is left to the system");
            m_thread.detach();
        }
    }
    m_sender->writeClosingLine();
}
