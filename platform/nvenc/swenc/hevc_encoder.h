// libx265 behind a small interface of plain verbs: open, encode one picture, drain.
// Private to the software encoder; the public surface is the NVENC entry points.
#pragma once

#ifndef CAMFX_SWENC_INTERNAL
#error "hevc_encoder.h is private to camfx_nvenc_sw"
#endif

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

struct x265_encoder;
struct x265_param;

namespace camfx::swenc {

enum class RateControl { ConstQp, ConstQuality, AverageBitrate, ConstBitrate };

// Everything the x265 session is built from; the API layer derives it from the
// initialise parameters and the codec configuration.
struct EncoderSettings {
    int width = 0;
    int height = 0;
    uint32_t fpsNum = 30;
    uint32_t fpsDen = 1;
    const char* x265Preset = "ultrafast";
    bool zeroLatency = false;
    const char* x265Params = "";  // "name=value:...", applied over the preset and tune
    int keyframeInterval = -1;    // -1: one IDR at the start, none after
    int bframes = 0;
    int lookahead = 0;
    RateControl rateControl = RateControl::ConstQuality;
    int qpIntra = 25;
    int qpInterP = 28;
    int qpInterB = 31;
    double quality = 28.0;   // CRF
    int bitrateKbps = 0;     // AverageBitrate, ConstBitrate
    int maxBitrateKbps = 0;  // VBV ceiling, 0: none
    int vbvBufferKbits = 0;
    int vbvInitialKbits = 0;  // the buffer's fullness at the start, 0: x265's default
};

// One access unit as x265 produced it, in decode order.
struct AccessUnit {
    std::vector<uint8_t> bytes;
    int64_t pts = 0;    // the encoder's own picture counter, see HevcEncoder::Encode
    int sliceType = 0;  // X265_TYPE_*
};

// An 8-bit 4:2:0 picture in host memory, planar.
struct PlanarPicture {
    const uint8_t* planes[3] = {nullptr, nullptr, nullptr};
    int pitches[3] = {0, 0, 0};
};

class HevcEncoder {
  public:
    HevcEncoder() = default;
    ~HevcEncoder();
    HevcEncoder(const HevcEncoder&) = delete;
    HevcEncoder& operator=(const HevcEncoder&) = delete;

    // Checks the settings by opening x265 once; false with a reason on refusal.
    bool Configure(const EncoderSettings& settings, std::string* reason);

    // Encodes one picture and appends whatever access units x265 hands back.
    // Opens x265 on the first picture after Configure or after Drain.
    bool Encode(const PlanarPicture& picture, int64_t pts, bool forceIdr,
                std::deque<AccessUnit>& out);

    // Flushes every picture x265 still holds and closes it; the next Encode starts a
    // new stream (fresh parameter sets and an IDR).
    void Drain(std::deque<AccessUnit>& out);

    bool Holding() const { return m_held > 0; }

    // Pictures libx265 works on at once (its frame threads), for the streams opened from
    // now on; a stream already started keeps its count. With n > 1 a picture's access unit
    // comes back n - 1 submissions later, as the bytes of a one-at-a-time stream.
    void SetPicturesInFlight(int n);
    // True once a picture has gone into the open stream.
    bool Streaming() const { return m_encoder && m_streamPictures > 0; }

  private:
    bool Open(std::string* reason);
    void Close();
    void Collect(void* nals, uint32_t count, const void* picOut, std::deque<AccessUnit>& out);

    EncoderSettings m_settings;
    x265_param* m_param = nullptr;
    x265_encoder* m_encoder = nullptr;
    int m_held = 0;                // pictures given to x265 and not yet returned
    int64_t m_streamPictures = 0;  // pictures given to x265 since it was opened
};

// The libx265 version this library runs with.
const char* X265Version();

}  // namespace camfx::swenc
