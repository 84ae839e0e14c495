// libx265 behind the picture encoder interface.
// Private to the software encoder; the public surface is the NVENC entry points.
#pragma once

#ifndef CAMFX_SWENC_INTERNAL
#error "hevc_encoder.h is private to camfx_nvenc_sw"
#endif

#include "picture_encoder.h"

struct x265_encoder;
struct x265_param;

namespace camfx::swenc {

class HevcEncoder : public PictureEncoder {
  public:
    HevcEncoder() = default;
    ~HevcEncoder() override;
    HevcEncoder(const HevcEncoder&) = delete;
    HevcEncoder& operator=(const HevcEncoder&) = delete;

    bool Configure(const EncoderSettings& settings, std::string* reason) override;
    bool Encode(const PlanarPicture& picture, int64_t pts, bool forceKey,
                std::deque<AccessUnit>& out) override;
    void Drain(std::deque<AccessUnit>& out) override;
    // libx265's frame threads: with n > 1 a picture's access unit comes back n - 1
    // submissions later, as the bytes of a one-at-a-time stream.
    void SetPicturesInFlight(int n) override;
    bool Streaming() const override { return m_encoder && m_streamPictures > 0; }
    std::string Describe() const override;

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
