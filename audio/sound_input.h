// The microphone as the recording takes it: captured from the sound server, re-timed onto the
// capture clock and encoded to AAC on a thread of its own, which hands each packet on. Nothing
// here waits on the server: a source that stalls or goes away is filled with silence, so that
// the sound stays on the clock of the pictures.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "aac_encoder.h"
#include "audio_block.h"
#include "block_queue.h"
#include "file_sound.h"
#include "pulse_capture.h"
#include "retimer.h"

class SoundInput {
  public:
    // Called on the sound's thread for every packet, in time order.
    using PacketSink = std::function<void(const AudioPacket& packet)>;
    // Called on libpulse's thread when the source goes (false, why) and comes back (true).
    using PresenceSink = PulseCapture::PresenceSink;

    explicit SoundInput(PresenceSink presence = {});
    ~SoundInput();
    SoundInput(const SoundInput&) = delete;
    SoundInput& operator=(const SoundInput&) = delete;

    // Connects and records from `source` (empty: the server's default). False when there is
    // no sound to have; failure() and why() tell why.
    bool open(const std::string& source);
    CaptureFailure failure() const { return m_capture.failure(); }
    std::string why() const { return m_file ? m_file->why() : m_capture.failureText(); }

    // Or the sound track of the video file whose pictures `playhead` follows. False, with
    // why(), when it has none that can be played.
    bool openFile(const std::string& path, FilePlayhead& playhead);

    // After open: the source and what the encoder makes of it, e.g. "Monitor of Null Output,
    // 48000 Hz, 2 channels → AAC 128 kbit/s".
    std::string description() const;
    const AudioCodecParameters& parameters() const { return m_encoder->parameters(); }

    // Starts handing packets to `sink`.
    void start(PacketSink sink);
    // Stops recording, encodes what was captured and hands it on; then returns. Once only.
    void stop();

    // Seconds of sound encoded so far, and of silence put in for stalls and absences.
    double secondsEncoded() const;
    double secondsOfSilence() const;

  private:
    void run();
    void encodeReady(std::vector<AudioPacket>& packets);
    void encode(const AudioFrame& frame, std::vector<AudioPacket>& packets);
    void deliver(std::vector<AudioPacket>& packets);
    void prepare(int channels, int64_t startTime);

    BlockQueue m_blocks;
    PulseCapture m_capture;
    std::unique_ptr<FileSound> m_file;  // instead of the server's sound
    std::string m_fileName;
    std::unique_ptr<AudioRetimer> m_retimer;
    std::unique_ptr<AacEncoder> m_encoder;
    PacketSink m_sink;
    std::atomic<bool> m_stopping{false};
    std::atomic<int64_t> m_samplesEncoded{0};
    std::atomic<int64_t> m_silenceSamples{0};
    // Silent samples of each frame given to the encoder whose packet has not come out yet.
    std::deque<int> m_silentInFlight;
    std::thread m_thread;
};
