// SVT-AV1 behind the picture encoder interface.
#pragma once

#ifndef CAMFX_SWENC_INTERNAL
#error "av1_encoder.h is private to camfx_nvenc_sw"
#endif

#include "picture_encoder.h"

struct EbComponentType;

namespace camfx::swenc {

class Av1Encoder : public PictureEncoder {
  public:
    Av1Encoder() = default;
    ~Av1Encoder() override;
    Av1Encoder(const Av1Encoder&) = delete;
    Av1Encoder& operator=(const Av1Encoder&) = delete;

    bool Configure(const EncoderSettings& settings, std::string* reason) override;
    // SVT-AV1 encodes on threads of its own. In low delay a submission waits until every
    // picture but the last n - 1 (at least the last one, which SVT-AV1 keeps until the
    // next arrives) has come back; otherwise it takes what is ready.
    bool Encode(const PlanarPicture& picture, int64_t pts, bool forceKey,
                std::deque<AccessUnit>& out) override;
    void Drain(std::deque<AccessUnit>& out) override;
    void SetPicturesInFlight(int n) override;
    bool Streaming() const override { return m_handle && m_sent > 0; }
    std::string Describe() const override;

  private:
    bool Open(std::string* reason);
    void Close();
    // Ends the running stream, handing its last access units to `out` where given.
    void Finish(std::deque<AccessUnit>* out);
    bool Send(const PlanarPicture& picture, int64_t pts, bool key);
    // Takes the packets SVT-AV1 has ready; with `wait`, until `until` pictures are back.
    bool Receive(std::deque<AccessUnit>& out, bool wait, int64_t until);

    EncoderSettings m_settings;
    bool m_configured = false;
    EbComponentType* m_handle = nullptr;
    bool m_running = false;  // initialised, no end of stream sent yet
    int m_inFlight = 1;
    int64_t m_sent = 0;             // pictures given to the open stream
    int64_t m_returned = 0;         // access units it gave back
    std::vector<uint8_t> m_hidden;  // a frame shown later, to go out with the next unit
};

// The SVT-AV1 version this library runs with, e.g. "v1.4.1".
std::string SvtAv1Version();

}  // namespace camfx::swenc
