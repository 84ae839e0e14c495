// Sound from the sound server over the PulseAudio protocol (PulseAudio itself, or PipeWire's
// pipewire-pulse), through libpulse's threaded main loop: everything that talks to the server
// runs on libpulse's own thread, and the blocks are handed on from there without waiting.
//
// The server is found as libpulse finds it (PULSE_SERVER, else the user's runtime directory);
// it is never started. A source is recorded in its own channel count, one or two (more are
// mixed down to two by the server), at its own rate, in fragments of 10 ms. Each block is
// stamped with its capture time on std::chrono::steady_clock: the time it was read less the
// latency the server reports for it (its length, what waits in the server, and the device's).
//
// A source that goes away (a USB microphone unplugged, the server restarted) is reported once,
// tried again every 2 s, and reported again when its sound is back.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "audio_block.h"

struct pa_threaded_mainloop;
struct pa_context;
struct pa_stream;
struct pa_time_event;
struct pa_source_info;
struct pa_server_info;

struct SoundSource {
    std::string name;  // as `pactl list short sources` lists it
    std::string description;
    int channels = 0;
    int sampleRate = 0;
};

enum class CaptureFailure {
    None,
    NoServer,       // no server answered
    NoSource,       // the server has no default source
    UnknownSource,  // the named source does not exist
    Refused,        // the server would not record from it
};

class PulseCapture {
  public:
    // Called on libpulse's thread; must not block.
    using BlockSink = std::function<void(AudioBlock&& block)>;
    // Called on libpulse's thread when the source goes (false, why) and when its sound is
    // back (true, its description). For one WARN and one INFO line.
    using PresenceSink = std::function<void(bool present, const std::string& detail)>;

    PulseCapture(BlockSink blocks, PresenceSink presence);
    ~PulseCapture();
    PulseCapture(const PulseCapture&) = delete;
    PulseCapture& operator=(const PulseCapture&) = delete;

    // Connects and starts recording from the named source, or the default one for an empty
    // name. Waits for the server at most `patience`; on false, failure() and failureText() say
    // why (for an unknown source, with the sources there are). Call once.
    bool start(const std::string& sourceName, int patienceMilliseconds = 3000);

    // Stops recording and disconnects; no sink is called after it returns.
    void stop();

    CaptureFailure failure() const;
    std::string failureText() const;
    // The source recorded, as found at start (the channel count is what is recorded).
    SoundSource source() const;
    // The sources the server listed at start.
    std::vector<SoundSource> sources() const;

  private:
    enum class Phase { Starting, Running, Lost, Failed, Stopped };

    // All of these run on libpulse's thread, with its lock held.
    void connect();
    void dropStream();
    void dropConnection();
    void onContextState();
    void onServerInfo(const pa_server_info* info);
    void onSourceInfo(const pa_source_info* info, int last);
    void chooseSource();
    void openStream(const SoundSource& source);
    void onStreamState();
    void onReadable();
    void ended(CaptureFailure failure, const std::string& failed, const std::string& lost);
    void lose(const std::string& why);
    void fail(CaptureFailure failure, const std::string& why);
    void scheduleRetry();
    void retry();

    static void contextStateThunk(pa_context* context, void* self);
    static void serverInfoThunk(pa_context* context, const pa_server_info* info, void* self);
    static void sourceInfoThunk(pa_context* context, const pa_source_info* info, int last,
                                void* self);
    static void streamStateThunk(pa_stream* stream, void* self);
    static void readThunk(pa_stream* stream, size_t bytes, void* self);
    static void retryThunk(struct pa_mainloop_api* api, pa_time_event* event,
                           const struct timeval* when, void* self);

    BlockSink m_blocks;
    PresenceSink m_presence;
    std::string m_wanted;  // empty: the default source

    pa_threaded_mainloop* m_loop = nullptr;
    pa_context* m_context = nullptr;
    pa_stream* m_stream = nullptr;
    pa_time_event* m_retryTimer = nullptr;
    std::string m_defaultName;
    SoundSource m_opening;               // the source the stream is being opened on
    std::vector<SoundSource> m_listing;  // being collected

    // Shared with the caller of start() and the accessors.
    mutable std::mutex m_mutex;
    std::condition_variable m_settled;
    Phase m_phase = Phase::Starting;
    CaptureFailure m_failure = CaptureFailure::None;
    std::string m_failureText;
    SoundSource m_source;
    std::vector<SoundSource> m_sources;
};
