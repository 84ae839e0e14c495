// libx264 behind the picture encoder interface.
#pragma once

#ifndef CAMFX_SWENC_INTERNAL
#error "h264_encoder.h is private to camfx_nvenc_sw"
#endif

#include <memory>

#include "picture_encoder.h"

typedef struct x264_t x264_t;

namespace camfx::swenc {

class H264Encoder : public PictureEncoder {
  public:
    H264Encoder();
    ~H264Encoder() override;
    H264Encoder(const H264Encoder&) = delete;
    H264Encoder& operator=(const H264Encoder&) = delete;

    bool Configure(const EncoderSettings& settings, std::string* reason) override;
    bool Encode(const PlanarPicture& picture, int64_t pts, bool forceKey,
                std::deque<AccessUnit>& out) override;
    void Drain(std::deque<AccessUnit>& out) override;
    // The zerolatency tune's sliced threads give every picture back at its submission,
    // which is within any count; other tunings keep libx264's frame threads.
    void SetPicturesInFlight(int) override {}
    bool Streaming() const override { return m_encoder && m_streamPictures > 0; }
    std::string Describe() const override;

  private:
    struct Param;
    bool Open(std::string* reason);
    void Close();

    EncoderSettings m_settings;
    std::unique_ptr<Param> m_param;
    x264_t* m_encoder = nullptr;
    int64_t m_streamPictures = 0;
};

// The libx264 version this library runs with, e.g. "0.164.3095".
std::string X264Version();

}  // namespace camfx::swenc
