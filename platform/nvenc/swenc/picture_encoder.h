// The interface every software encoder sits behind: configure, encode one picture, drain.
// Private to the software encoder; the public surface is the NVENC entry points.
#pragma once

#ifndef CAMFX_SWENC_INTERNAL
#error "picture_encoder.h is private to camfx_nvenc_sw"
#endif

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "nvEncodeAPI.h"

namespace camfx::swenc {

enum class Codec { H264, Hevc, Av1 };

enum class RateControl { ConstQp, ConstQuality, AverageBitrate, ConstBitrate };

// Everything a session is built from; the API layer derives it from the initialise
// parameters and the codec configuration. Quantisers and quality are on the codec's own
// scale: 0-51 for H.264 and HEVC, 0-63 for AV1.
struct EncoderSettings {
    Codec codec = Codec::Hevc;
    int width = 0;
    int height = 0;
    uint32_t fpsNum = 30;
    uint32_t fpsDen = 1;
    const char* preset = "ultrafast";  // libx264's and libx265's preset name
    int speed = 12;                    // SVT-AV1's preset
    bool zeroLatency = false;          // the library's real-time mode
    const char* params = "";    // x264/x265 "name=value:...", applied over the preset and tune
    int keyframeInterval = -1;  // -1: one key frame at the start, none after
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
    int vbvInitialKbits = 0;  // the buffer's fullness at the start, 0: the library's default
};

// One access unit as the library produced it, in decode order.
struct AccessUnit {
    std::vector<uint8_t> bytes;
    int64_t pts = 0;  // the encoder's own picture counter, see PictureEncoder::Encode
    NV_ENC_PIC_TYPE type = NV_ENC_PIC_TYPE_UNKNOWN;
};

// An 8-bit 4:2:0 picture in host memory, planar.
struct PlanarPicture {
    const uint8_t* planes[3] = {nullptr, nullptr, nullptr};
    int pitches[3] = {0, 0, 0};
};

class PictureEncoder {
  public:
    virtual ~PictureEncoder() = default;

    // Checks the settings by opening the library once; false with a reason on refusal.
    virtual bool Configure(const EncoderSettings& settings, std::string* reason) = 0;

    // Encodes one picture, numbered `pts` (the caller's counter, given back with its
    // access unit), and appends whatever access units are ready. Opens the library on the
    // first picture after Configure or after Drain.
    virtual bool Encode(const PlanarPicture& picture, int64_t pts, bool forceKey,
                        std::deque<AccessUnit>& out) = 0;

    // Flushes every picture the library still holds and closes it; the next Encode
    // starts a new stream (fresh headers and a key frame).
    virtual void Drain(std::deque<AccessUnit>& out) = 0;

    // Pictures the library may work on at once, for the streams opened from now on; a
    // stream already started keeps its count. With n > 1 a picture's access unit may come
    // back up to n - 1 submissions later, never later than that.
    virtual void SetPicturesInFlight(int n) = 0;

    // True once a picture has gone into the open stream.
    virtual bool Streaming() const = 0;

    // What encodes, e.g. "libx264 0.164.3095 (preset veryfast, tune zerolatency)".
    virtual std::string Describe() const = 0;
};

std::unique_ptr<PictureEncoder> MakeEncoder(Codec codec);

// Applies parameters in x264's and x265's command-line form, "name=value:name=value", one by
// one through `set`, which names the one it refuses in `reason`; `library` names the
// library in the reason for an item without a value.
bool ApplyParams(const std::string& list, const char* library,
                 const std::function<bool(const std::string& name, const std::string& value)>& set,
                 std::string* reason);

// "libx265 3.5", "libx264 0.164.3095", "SVT-AV1 v1.4.1".
std::string LibraryName(Codec codec);

}  // namespace camfx::swenc
