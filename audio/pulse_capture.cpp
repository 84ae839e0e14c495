#include "pulse_capture.h"

#include <pulse/pulseaudio.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>

namespace {

constexpr pa_usec_t kFragment = 10 * PA_USEC_PER_MSEC;
constexpr pa_usec_t kRetryInterval = 2 * PA_USEC_PER_SEC;

int64_t steadyMicroseconds() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string text(const char* value) {
    return value != nullptr ? value : "";
}

// "mic.monitor (Monitor of Null Output), webcam (C920 Analog Stereo)"
std::string listOf(const std::vector<SoundSource>& sources) {
    std::string list;
    for (const SoundSource& source : sources) {
        if (!list.empty())
            list += ", ";
        list += source.name + " (" + source.description + ")";
    }
    return list;
}

// Keeps the main loop's lock for a scope, on the caller's thread.
class LoopLock {
  public:
    explicit LoopLock(pa_threaded_mainloop* loop) : m_loop(loop) {
        pa_threaded_mainloop_lock(m_loop);
    }
    ~LoopLock() { pa_threaded_mainloop_unlock(m_loop); }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;

  private:
    pa_threaded_mainloop* m_loop;
};

}  // namespace

PulseCapture::PulseCapture(BlockSink blocks, PresenceSink presence)
    : m_blocks(std::move(blocks)), m_presence(std::move(presence)) {}

PulseCapture::~PulseCapture() {
    stop();
}

bool PulseCapture::start(const std::string& sourceName, int patienceMilliseconds) {
    m_wanted = sourceName;
    m_loop = pa_threaded_mainloop_new();
    if (m_loop == nullptr || pa_threaded_mainloop_start(m_loop) < 0) {
        fail(CaptureFailure::NoServer, "libpulse's main loop did not start");
        stop();
        return false;
    }
    {
        LoopLock lock(m_loop);
        connect();
    }
    bool running;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        const bool settled =
            m_settled.wait_for(lock, std::chrono::milliseconds(patienceMilliseconds),
                               [this] { return m_phase != Phase::Starting; });
        if (!settled) {
            m_phase = Phase::Failed;
            m_failure = CaptureFailure::NoServer;
            m_failureText = "the sound server did not answer within " +
                            std::to_string(patienceMilliseconds) + " ms";
        }
        running = m_phase == Phase::Running;
    }
    if (!running)
        stop();
    return running;
}

void PulseCapture::stop() {
    if (m_loop == nullptr)
        return;
    {
        LoopLock lock(m_loop);
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            if (m_phase != Phase::Failed)
                m_phase = Phase::Stopped;
        }
        if (m_retryTimer != nullptr) {
            pa_mainloop_api* api = pa_threaded_mainloop_get_api(m_loop);
            api->time_free(m_retryTimer);
            m_retryTimer = nullptr;
        }
        dropConnection();
    }
    pa_threaded_mainloop_stop(m_loop);
    pa_threaded_mainloop_free(m_loop);
    m_loop = nullptr;
}

CaptureFailure PulseCapture::failure() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failure;
}

std::string PulseCapture::failureText() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failureText;
}

SoundSource PulseCapture::source() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_source;
}

std::vector<SoundSource> PulseCapture::sources() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sources;
}

void PulseCapture::connect() {
    m_context = pa_context_new(pa_threaded_mainloop_get_api(m_loop), "camfx");
    if (m_context == nullptr) {
        fail(CaptureFailure::NoServer, "pa_context_new(...) failed");
        return;
    }
    pa_context_set_state_callback(m_context, contextStateThunk, this);
    // A viewer records from a server that runs; it never starts one of its own.
    if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        onContextState();
}

void PulseCapture::dropStream() {
    if (m_stream == nullptr)
        return;
    pa_stream_set_state_callback(m_stream, nullptr, nullptr);
    pa_stream_set_read_callback(m_stream, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(m_stream)))
        pa_stream_disconnect(m_stream);
    pa_stream_unref(m_stream);
    m_stream = nullptr;
}

void PulseCapture::dropConnection() {
    dropStream();
    if (m_context == nullptr)
        return;
    pa_context_set_state_callback(m_context, nullptr, nullptr);
    if (PA_CONTEXT_IS_GOOD(pa_context_get_state(m_context)))
        pa_context_disconnect(m_context);
    pa_context_unref(m_context);
    m_context = nullptr;
}

void PulseCapture::onContextState() {
    const pa_context_state_t state = pa_context_get_state(m_context);
    if (state == PA_CONTEXT_READY) {
        m_listing.clear();
        pa_operation* asked = pa_context_get_server_info(m_context, serverInfoThunk, this);
        if (asked != nullptr)
            pa_operation_unref(asked);
        return;
    }
    if (state != PA_CONTEXT_FAILED && state != PA_CONTEXT_TERMINATED)
        return;
    const std::string why = pa_strerror(pa_context_errno(m_context));
    ended(CaptureFailure::NoServer, "no sound server (" + why + ")",
          "the sound server went away (" + why + ")");
}

// A connection or stream that failed or ended: a start that failed, a source lost while
// recording, or one more try that found nothing.
void PulseCapture::ended(CaptureFailure failure, const std::string& failed,
                         const std::string& lost) {
    Phase phase;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        phase = m_phase;
    }
    if (phase == Phase::Starting)
        fail(failure, failed);
    else if (phase == Phase::Running)
        lose(lost);
    else if (phase == Phase::Lost)
        scheduleRetry();
}

void PulseCapture::onServerInfo(const pa_server_info* info) {
    m_defaultName = info != nullptr ? text(info->default_source_name) : "";
    pa_operation* asked = pa_context_get_source_info_list(m_context, sourceInfoThunk, this);
    if (asked != nullptr)
        pa_operation_unref(asked);
}

void PulseCapture::onSourceInfo(const pa_source_info* info, int last) {
    if (last == 0 && info != nullptr) {
        m_listing.push_back(SoundSource{text(info->name), text(info->description),
                                        int(info->sample_spec.channels),
                                        int(info->sample_spec.rate)});
        return;
    }
    chooseSource();
}

void PulseCapture::chooseSource() {
    Phase phase;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        phase = m_phase;
        if (phase == Phase::Starting)
            m_sources = m_listing;
    }
    const std::string& name = m_wanted.empty() ? m_defaultName : m_wanted;
    const auto found = std::find_if(m_listing.begin(), m_listing.end(),
                                    [&](const SoundSource& s) { return s.name == name; });
    if (found != m_listing.end()) {
        openStream(*found);
    } else if (phase != Phase::Starting) {
        scheduleRetry();
    } else if (m_wanted.empty()) {
        fail(CaptureFailure::NoSource, "the sound server has no source to record from");
    } else {
        fail(CaptureFailure::UnknownSource,
             "no source named \"" + m_wanted + "\"; " +
                 (m_listing.empty() ? "the sound server has none"
                                    : "the sources are: " + listOf(m_listing)));
    }
}

void PulseCapture::openStream(const SoundSource& source) {
    m_opening = source;
    m_opening.channels = std::clamp(source.channels, 1, 2);  // the server mixes more down

    pa_sample_spec spec;
    spec.format = PA_SAMPLE_FLOAT32NE;
    spec.rate = uint32_t(source.sampleRate);
    spec.channels = uint8_t(m_opening.channels);
    pa_channel_map map;
    pa_channel_map_init_auto(&map, spec.channels, PA_CHANNEL_MAP_DEFAULT);
    m_stream = pa_stream_new(m_context, "camfx sound", &spec, &map);
    if (m_stream == nullptr) {
        fail(CaptureFailure::Refused, "pa_stream_new(...) failed -> " +
                                          std::string(pa_strerror(pa_context_errno(m_context))));
        return;
    }
    pa_stream_set_state_callback(m_stream, streamStateThunk, this);
    pa_stream_set_read_callback(m_stream, readThunk, this);

    pa_buffer_attr buffer;
    buffer.maxlength = uint32_t(-1);
    buffer.tlength = uint32_t(-1);
    buffer.prebuf = uint32_t(-1);
    buffer.minreq = uint32_t(-1);
    buffer.fragsize = uint32_t(pa_usec_to_bytes(kFragment, &spec));
    // A named source is the one the user chose: when it goes, say so rather than let the
    // server move the recording to another microphone. The default follows the server's choice.
    const pa_stream_flags_t flags =
        pa_stream_flags_t(PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE |
                          PA_STREAM_ADJUST_LATENCY | (m_wanted.empty() ? 0 : PA_STREAM_DONT_MOVE));
    const char* device = m_wanted.empty() ? nullptr : m_wanted.c_str();
    if (pa_stream_connect_record(m_stream, device, &buffer, flags) < 0)
        onStreamState();
}

void PulseCapture::onStreamState() {
    const pa_stream_state_t state = pa_stream_get_state(m_stream);
    if (state == PA_STREAM_READY) {
        bool back;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            back = m_phase == Phase::Lost;
            if (m_phase != Phase::Starting && m_phase != Phase::Lost)
                return;
            m_phase = Phase::Running;
            m_source = m_opening;
        }
        m_settled.notify_all();
        if (back && m_presence)
            m_presence(true, m_opening.description);
        return;
    }
    if (state != PA_STREAM_FAILED && state != PA_STREAM_TERMINATED)
        return;
    const std::string why = pa_strerror(pa_context_errno(m_context));
    ended(CaptureFailure::Refused, "recording from " + m_opening.name + " failed (" + why + ")",
          "the source " + m_opening.name + " went away (" + why + ")");
}

void PulseCapture::onReadable() {
    const pa_sample_spec* spec = pa_stream_get_sample_spec(m_stream);
    while (pa_stream_readable_size(m_stream) > 0) {
        const void* data = nullptr;
        size_t bytes = 0;
        if (pa_stream_peek(m_stream, &data, &bytes) < 0 || bytes == 0)
            return;
        const int64_t now = steadyMicroseconds();
        pa_usec_t latency = 0;
        int negative = 0;
        // Before the peeked bytes are dropped, the latency is the age of their first sample:
        // what waits here and in the server, plus the device's own delay.
        if (pa_stream_get_latency(m_stream, &latency, &negative) < 0)
            latency = pa_bytes_to_usec(bytes, spec);
        else if (negative)
            latency = 0;
        AudioBlock block;
        // A hole is time the server has no sound for (a monitor of a sink that plays nothing
        // sends silence so): it is silence of that length, in its place.
        if (data != nullptr) {
            const float* samples = static_cast<const float*>(data);
            block.samples.assign(samples, samples + bytes / sizeof(float));
        } else {
            block.samples.assign(bytes / sizeof(float), 0.0f);
        }
        block.channels = spec->channels;
        block.sampleRate = int(spec->rate);
        block.captureMicroseconds = now - int64_t(latency);
        if (m_blocks)
            m_blocks(std::move(block));
        pa_stream_drop(m_stream);
    }
}

void PulseCapture::lose(const std::string& why) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_phase = Phase::Lost;
    }
    if (m_presence)
        m_presence(false, why);
    scheduleRetry();
}

void PulseCapture::fail(CaptureFailure failure, const std::string& why) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_phase = Phase::Failed;
        m_failure = failure;
        m_failureText = why;
    }
    m_settled.notify_all();
}

void PulseCapture::scheduleRetry() {
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(m_loop);
    struct timeval when;
    pa_gettimeofday(&when);
    pa_timeval_add(&when, kRetryInterval);
    if (m_retryTimer == nullptr)
        m_retryTimer = api->time_new(api, &when, retryThunk, this);
    else
        api->time_restart(m_retryTimer, &when);
}

void PulseCapture::retry() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_phase != Phase::Lost)
            return;
    }
    // The failed stream (and a failed connection) are let go here, outside their callbacks.
    dropStream();
    if (m_context != nullptr && pa_context_get_state(m_context) == PA_CONTEXT_READY) {
        m_listing.clear();
        pa_operation* asked = pa_context_get_server_info(m_context, serverInfoThunk, this);
        if (asked != nullptr)
            pa_operation_unref(asked);
        return;
    }
    dropConnection();
    connect();
}

void PulseCapture::contextStateThunk(pa_context*, void* self) {
    static_cast<PulseCapture*>(self)->onContextState();
}

void PulseCapture::serverInfoThunk(pa_context*, const pa_server_info* info, void* self) {
    static_cast<PulseCapture*>(self)->onServerInfo(info);
}

void PulseCapture::sourceInfoThunk(pa_context*, const pa_source_info* info, int last, void* self) {
    static_cast<PulseCapture*>(self)->onSourceInfo(info, last);
}

void PulseCapture::streamStateThunk(pa_stream*, void* self) {
    static_cast<PulseCapture*>(self)->onStreamState();
}

void PulseCapture::readThunk(pa_stream*, size_t, void* self) {
    static_cast<PulseCapture*>(self)->onReadable();
}

void PulseCapture::retryThunk(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
    static_cast<PulseCapture*>(self)->retry();
}
