#include "stream_output.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <optional>
#include <regex>

#include "NvCodecUtils.h"
#include "hevc_stream.h"

namespace {

constexpr AVRational kMicroseconds{1, 1000000};
constexpr int64_t kQueueMicroseconds = 1'000'000;
constexpr size_t kQueueMostPackets = 600;  // 1 s at the highest camera rates
constexpr auto kRetryInterval = std::chrono::seconds(2);
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

std::optional<ParsedUrl> parseUrl(const std::string& url) {
    static const std::regex form(
        R"(([A-Za-z][A-Za-z0-9+.-]*)://(?:[^@/?#]*@)?(\[[0-9A-Fa-f:.]+\]|[^:/?#@\[\]]*)(?::([^/?#]*))?([/?#].*)?)");
    std::smatch match;
    const bool printable =
        std::all_of(url.begin(), url.end(), [](unsigned char c) { return std::isgraph(c) != 0; });
    if (!printable || !std::regex_match(url, match, form))
        return std::nullopt;
    ParsedUrl parsed{match[1], match[2], match[3], match[4]};
    std::transform(parsed.scheme.begin(), parsed.scheme.end(), parsed.scheme.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    parsed.path = parsed.path.substr(0, parsed.path.find_first_of("?#"));
    return parsed;
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
    const std::optional<ParsedUrl> parsed = parseUrl(url);
    // The URL itself is not repeated: it may hold a password.
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
        return "the stream URL's port \"" + parsed->port + "\" is not a number from 1 to 65535";
    return "";
}

std::string urlForLog(const std::string& url) {
    const std::optional<ParsedUrl> parsed = parseUrl(url);
    if (!parsed)
        return "the stream";
    return parsed->scheme + "://" + parsed->host + (parsed->port.empty() ? "" : ":") +
           parsed->port + parsed->path;
}

StreamOutput::StreamOutput(std::string url)
    : m_url(std::move(url)), m_shownUrl(urlForLog(m_url)), m_kind(kindOf(m_url)) {
    // FFmpeg's own lines would show the whole URL, credentials and all; ours tell what failed.
    av_log_set_level(AV_LOG_QUIET);
    logLine(simplelogger::INFO, "Streaming to " + m_shownUrl + " (" +
                                    (m_kind == StreamKind::Srt ? "MPEG-TS" : "RTSP") +
                                    ", HEVC 1280x720)");
}

StreamOutput::~StreamOutput() {
    finish();
}

void StreamOutput::start() {
    m_thread = std::thread(&StreamOutput::run, this);
}

void StreamOutput::write(const TimedPacket& packet) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_origin < 0)
        m_origin = packet.time;
    const int64_t time = packet.time - m_origin;
    m_lastTime = time;
    if (!m_up || m_stopping) {
        ++m_dropped;
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
        m_keyFrameWanted = true;
    }
    if (full || (m_needKey && !packet.keyFrame)) {
        ++m_dropped;
        if (m_slow)
            ++m_episodeDropped;
        return;
    }
    if (packet.keyFrame) {
        if (m_slow)
            endDropEpisodeLocked(time);
        m_needKey = false;
    }
    m_queue.push_back(Queued{std::vector<uint8_t>(packet.data, packet.data + packet.size), time,
                             packet.keyFrame});
    m_wake.notify_one();
}

void StreamOutput::endDropEpisodeLocked(int64_t time) {
    m_slow = false;
    logLine(simplelogger::WARN, "Stream to " + m_shownUrl + " too slow for the network: dropped " +
                                    std::to_string(m_episodeDropped) + " frames (" +
                                    seconds(static_cast<double>(time - m_episodeStart) / 1e6) +
                                    " s) up to the next key frame");
}

void StreamOutput::dropQueueLocked() {
    m_dropped += static_cast<int64_t>(m_queue.size());
    m_queue.clear();
}

void StreamOutput::armDeadline(int64_t microseconds) {
    m_deadline = nowMicroseconds() + microseconds;
}

int StreamOutput::interrupted(void* self) {
    auto* stream = static_cast<StreamOutput*>(self);
    return nowMicroseconds() >= std::min(stream->m_deadline.load(), stream->m_stopDeadline.load())
               ? 1
               : 0;
}

std::string StreamOutput::connect() {
    armDeadline(kOperationLimitMicroseconds);
    const char* format = m_kind == StreamKind::Srt ? "mpegts" : "rtsp";
    int result = avformat_alloc_output_context2(&m_context, nullptr, format, m_url.c_str());
    if (result < 0)
        return errorText(result);
    m_context->interrupt_callback = AVIOInterruptCB{&StreamOutput::interrupted, this};
    // Every picture leaves at once rather than when a buffer fills.
    m_context->flags |= AVFMT_FLAG_FLUSH_PACKETS;
    m_context->flush_packets = 1;
    if (addHevcStream(m_context) == nullptr) {
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
        return errorText(result);
    }
    return "";
}

std::string StreamOutput::send(const Queued& queued) {
    AVPacket* packet = av_packet_alloc();
    if (packet == nullptr)
        return errorText(AVERROR(ENOMEM));
    packet->data = const_cast<uint8_t*>(queued.bytes.data());
    packet->size = static_cast<int>(queued.bytes.size());
    packet->pts = packet->dts =
        av_rescale_q(queued.time, kMicroseconds, m_context->streams[0]->time_base);
    packet->flags = queued.keyFrame ? AV_PKT_FLAG_KEY : 0;
    packet->stream_index = 0;
    armDeadline(kOperationLimitMicroseconds);
    int result = av_write_frame(m_context, packet);
    if (result >= 0 && m_context->pb != nullptr && m_context->pb->error < 0)
        result = m_context->pb->error;
    av_packet_free(&packet);
    return result < 0 ? errorText(result) : "";
}

void StreamOutput::disconnect(bool orderly) {
    // The end of stream (RTSP's TEARDOWN, the last MPEG-TS packets); a broken connection
    // only gets a short try, so that its sockets are let go.
    armDeadline(orderly ? kOperationLimitMicroseconds : 200'000);
    av_write_trailer(m_context);
    if (m_kind == StreamKind::Srt)
        avio_closep(&m_context->pb);
    avformat_free_context(m_context);
    m_context = nullptr;
}

void StreamOutput::run() {
    bool warned = false;
    int64_t downSince = 0;
    while (true) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stopping)
                break;
        }
        const auto attempt = std::chrono::steady_clock::now();
        const int64_t attemptStart = nowMicroseconds();
        const std::string problem = connect();
        if (!problem.empty()) {
            if (!warned) {
                logLine(simplelogger::WARN,
                        "Cannot reach " + m_shownUrl + ": " + problem + "; trying again every 2 s");
                warned = true;
                downSince = attemptStart;
            }
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait_until(lock, attempt + kRetryInterval, [this] { return m_stopping; });
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
            m_keyFrameWanted = true;  // a viewer sees a picture at once
        }
        std::string lost;
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
            if (!lost.empty())
                break;
            ++m_sent;
            if (m_onSent)
                m_onSent(packet.time + origin);
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_up = false;
            if (!lost.empty())
                ++m_dropped;
            dropQueueLocked();
            if (m_slow)
                endDropEpisodeLocked(m_lastTime);
        }
        disconnect(lost.empty());
        m_secondsUp += static_cast<double>(nowMicroseconds() - upSince) / 1e6;
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping)
            break;
        logLine(simplelogger::WARN,
                "Stream to " + m_shownUrl + " lost: " + lost + "; reconnecting every 2 s");
        warned = true;
        downSince = nowMicroseconds();
    }
}

void StreamOutput::finish() {
    if (m_finished)
        return;
    m_finished = true;
    m_stopDeadline = nowMicroseconds() + kFinishMicroseconds;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        if (m_slow)
            endDropEpisodeLocked(m_lastTime);
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        dropQueueLocked();
    }
    logLine(simplelogger::INFO, "Streamed " + seconds(m_secondsUp) + " s to " + m_shownUrl + ": " +
                                    std::to_string(m_sent.load()) + " frames sent, " +
                                    std::to_string(m_dropped.load()) + " dropped");
}
