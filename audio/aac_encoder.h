// AAC-LC at 48 kHz through libavcodec's own encoder: 128 kbit/s for stereo, 64 for mono,
// 1024 samples a packet. Each packet carries its time on the capture clock, the priming
// samples the encoder puts first included, so that a player that skips them (MP4 and Matroska
// record how many) plays the first given sample at the first frame's time.
#pragma once

#include <cstdint>
#include <vector>

#include "audio_block.h"

struct AVCodecContext;
struct AVPacket;

class AacEncoder {
  public:
    static constexpr int kSampleRate = 48000;

    // Throws std::runtime_error naming the call that failed.
    explicit AacEncoder(int channels);
    ~AacEncoder();
    AacEncoder(const AacEncoder&) = delete;
    AacEncoder& operator=(const AacEncoder&) = delete;

    const AudioCodecParameters& parameters() const { return m_parameters; }
    int frameSize() const { return m_parameters.frameSize; }

    // A frame of frameSize() samples at 48 kHz (only the last may be shorter), in time order.
    // The packets that became ready are appended.
    void encode(const AudioFrame& frame, std::vector<AudioPacket>& packets);

    // The end: the packets the encoder still holds. Encode nothing after it.
    void finish(std::vector<AudioPacket>& packets);

  private:
    void collect(std::vector<AudioPacket>& packets);

    AVCodecContext* m_codec = nullptr;
    AVPacket* m_packet = nullptr;
    AudioCodecParameters m_parameters;
    bool m_started = false;
    int64_t m_origin = 0;      // capture time of sample 0
    int64_t m_nextSample = 0;  // where the next frame follows on
};
