#include "av1_encoder.h"

#include <svt-av1/EbSvtAv1Enc.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace camfx::swenc {

namespace {

// Longest a low-delay submission waits for a picture; SVT-AV1 at its slowest preset takes
// seconds for a large picture, and a picture that never comes must not hang the caller.
constexpr auto kLongestWait = std::chrono::seconds(5);
// Pictures SVT-AV1 1.4 holds in low delay without lookahead: a picture's packet comes only
// once the next picture is in (measured: with one picture sent none ever came).
constexpr int kLowDelayHeld = 1;
constexpr auto kPoll = std::chrono::microseconds(200);

int64_t BufferMs(int kbits, int kbps) {
    return std::clamp<int64_t>(int64_t(kbits) * 1000 / std::max(kbps, 1), 20, 10000);
}

bool ForcesKeyFrames(const EncoderSettings& s) {
    return !s.zeroLatency &&
           (s.rateControl == RateControl::ConstQp || s.rateControl == RateControl::ConstQuality);
}

bool Fill(const EncoderSettings& s, EbSvtAv1EncConfiguration* c, std::string* reason) {
    c->enc_mode = static_cast<int8_t>(s.speed);
    c->source_width = static_cast<uint32_t>(s.width);
    c->source_height = static_cast<uint32_t>(s.height);
    c->frame_rate_numerator = s.fpsNum;
    c->frame_rate_denominator = s.fpsDen;
    c->encoder_bit_depth = 8;
    // Every key frame closes the GOP, so a decoder can start at any of them.
    c->intra_refresh_type = SVT_AV1_KF_REFRESH;
    c->intra_period_length = s.keyframeInterval < 0 ? -1 : s.keyframeInterval - 1;
    // SVT-AV1 forces key frames in random access with constant quality or QP only; Encode
    // starts a new stream for the others.
    c->force_key_frames = ForcesKeyFrames(s);
    c->pred_structure = s.zeroLatency ? SVT_AV1_PRED_LOW_DELAY_B : SVT_AV1_PRED_RANDOM_ACCESS;
    if (s.zeroLatency) {
        // Nothing may wait for later pictures.
        c->look_ahead_distance = 0;
        c->scene_change_detection = 0;
    } else {
        c->look_ahead_distance = static_cast<uint32_t>(s.lookahead);
    }
    switch (s.rateControl) {
        case RateControl::ConstQp:
            // SVT-AV1 takes one quantiser and derives the rest of its hierarchy.
            c->rate_control_mode = SVT_AV1_RC_MODE_CQP_OR_CRF;
            c->enable_adaptive_quantization = 0;
            c->qp = static_cast<uint32_t>(s.qpInterP);
            c->min_qp_allowed = 0;
            break;
        case RateControl::ConstQuality:
            c->rate_control_mode = SVT_AV1_RC_MODE_CQP_OR_CRF;
            c->qp = static_cast<uint32_t>(s.quality);
            c->max_bit_rate = static_cast<uint32_t>(s.maxBitrateKbps) * 1000u;
            break;
        case RateControl::AverageBitrate:
            if (s.zeroLatency) {
                *reason = "SVT-AV1 has no average bit rate in low delay";
                return false;
            }
            if (s.maxBitrateKbps > 0) {
                *reason = "SVT-AV1 takes no bit rate ceiling with an average bit rate";
                return false;
            }
            c->rate_control_mode = SVT_AV1_RC_MODE_VBR;
            c->target_bit_rate = static_cast<uint32_t>(s.bitrateKbps) * 1000u;
            break;
        case RateControl::ConstBitrate: {
            if (!s.zeroLatency) {
                *reason = "SVT-AV1 has constant bit rate in low delay only";
                return false;
            }
            c->rate_control_mode = SVT_AV1_RC_MODE_CBR;
            c->target_bit_rate = static_cast<uint32_t>(s.bitrateKbps) * 1000u;
            // SVT-AV1 sizes its buffer in time rather than bits.
            if (s.vbvBufferKbits > 0) {
                c->maximum_buffer_size_ms = BufferMs(s.vbvBufferKbits, s.bitrateKbps);
            }
            c->starting_buffer_level_ms =
                s.vbvInitialKbits > 0
                    ? BufferMs(s.vbvInitialKbits, s.bitrateKbps)
                    : std::min<int64_t>(c->starting_buffer_level_ms, c->maximum_buffer_size_ms);
            c->starting_buffer_level_ms =
                std::min(c->starting_buffer_level_ms, c->maximum_buffer_size_ms);
            c->optimal_buffer_level_ms =
                std::min(c->optimal_buffer_level_ms, c->maximum_buffer_size_ms);
            break;
        }
    }
    return true;
}

NV_ENC_PIC_TYPE PictureType(EbAv1PictureType type, bool lowDelay) {
    switch (type) {
        case EB_AV1_KEY_PICTURE:
            return NV_ENC_PIC_TYPE_IDR;
        case EB_AV1_INTRA_ONLY_PICTURE:
        case EB_AV1_FW_KEY_PICTURE:
            return NV_ENC_PIC_TYPE_I;
        case EB_AV1_NON_REF_PICTURE:
            return lowDelay ? NV_ENC_PIC_TYPE_P : NV_ENC_PIC_TYPE_B;
        case EB_AV1_INVALID_PICTURE:
            return NV_ENC_PIC_TYPE_UNKNOWN;
        default:
            return NV_ENC_PIC_TYPE_P;
    }
}

// Files one packet from SVT-AV1 and gives it back; true when it is a new access unit.
bool Take(EbBufferHeaderType* packet, bool lowDelay, std::vector<uint8_t>& hidden,
          std::deque<AccessUnit>& out) {
    const uint8_t* bytes = packet->p_buffer;
    const uint32_t size = packet->n_filled_len;
    bool unitDone = false;
    if (packet->flags & EB_BUFFERFLAG_IS_ALT_REF) {
        // A frame shown only later: its bytes travel with the next picture's.
        hidden.insert(hidden.end(), bytes, bytes + size);
    } else if (size > 0) {
        AccessUnit unit;
        unit.bytes.swap(hidden);
        unit.bytes.insert(unit.bytes.end(), bytes, bytes + size);
        unit.pts = packet->pts;
        unit.type = PictureType(packet->pic_type, lowDelay);
        out.push_back(std::move(unit));
        unitDone = true;
    }
    svt_av1_enc_release_out_buffer(&packet);
    return unitDone;
}

}  // namespace

Av1Encoder::~Av1Encoder() {
    Close();
}

bool Av1Encoder::Configure(const EncoderSettings& settings, std::string* reason) {
    Close();
    m_settings = settings;
    m_configured = true;
    std::string why;
    if (!Open(&why)) {
        m_configured = false;
        if (reason) {
            *reason = why;
        }
        return false;
    }
    return true;
}

bool Av1Encoder::Open(std::string* reason) {
    if (m_handle) {
        return true;
    }
    if (!m_configured) {
        *reason = "encoder not configured";
        return false;
    }
    // SVT-AV1 tells every session's set-up on stderr; errors only, unless the user asked.
    setenv("SVT_LOG", "1", 0);
    EbSvtAv1EncConfiguration config;
    if (svt_av1_enc_init_handle(&m_handle, nullptr, &config) != EB_ErrorNone) {
        m_handle = nullptr;
        *reason = "svt_av1_enc_init_handle failed";
        return false;
    }
    bool ok = Fill(m_settings, &config, reason);
    if (ok && svt_av1_enc_set_parameter(m_handle, &config) != EB_ErrorNone) {
        *reason = "svt_av1_enc_set_parameter refused the parameters";
        ok = false;
    }
    if (ok && svt_av1_enc_init(m_handle) != EB_ErrorNone) {
        *reason = "svt_av1_enc_init failed";
        ok = false;
    }
    if (!ok) {
        // Never initialised: only the handle goes (deinit would wait on threads that
        // never started).
        svt_av1_enc_deinit_handle(m_handle);
        m_handle = nullptr;
        return false;
    }
    m_running = true;
    m_sent = 0;
    m_returned = 0;
    m_hidden.clear();
    return true;
}

void Av1Encoder::Close() {
    Finish(nullptr);
    if (m_handle) {
        svt_av1_enc_deinit(m_handle);
        svt_av1_enc_deinit_handle(m_handle);
        m_handle = nullptr;
    }
    m_sent = 0;
    m_returned = 0;
    m_hidden.clear();
}

void Av1Encoder::SetPicturesInFlight(int n) {
    if (n >= 1) {
        m_inFlight = n;  // read at every submission; SVT-AV1 needs no reopening for it
    }
}

bool Av1Encoder::Receive(std::deque<AccessUnit>& out, bool wait, int64_t until) {
    const auto deadline = std::chrono::steady_clock::now() + kLongestWait;
    for (;;) {
        // In low delay SVT-AV1 2 waits inside get_packet until a packet comes (1.4 answers at
        // once): ask only for the packets owed, which come without a further picture.
        if (wait && m_returned >= until) {
            return true;
        }
        EbBufferHeaderType* packet = nullptr;
        const EbErrorType got = svt_av1_enc_get_packet(m_handle, &packet, 0);
        if (got == EB_NoErrorEmptyQueue) {
            if (!wait || std::chrono::steady_clock::now() > deadline) {
                return true;
            }
            std::this_thread::sleep_for(kPoll);
            continue;
        }
        if (got != EB_ErrorNone || !packet) {
            return false;
        }
        const bool last = packet->flags & EB_BUFFERFLAG_EOS;
        m_returned += Take(packet, m_settings.zeroLatency, m_hidden, out) ? 1 : 0;
        if (last) {
            return true;
        }
    }
}

bool Av1Encoder::Send(const PlanarPicture& picture, int64_t pts, bool key) {
    EbSvtIOFormat planes = {};
    planes.luma = const_cast<uint8_t*>(picture.planes[0]);
    planes.cb = const_cast<uint8_t*>(picture.planes[1]);
    planes.cr = const_cast<uint8_t*>(picture.planes[2]);
    // Strides in samples, which are bytes at 8 bits.
    planes.y_stride = static_cast<uint32_t>(picture.pitches[0]);
    planes.cb_stride = static_cast<uint32_t>(picture.pitches[1]);
    planes.cr_stride = static_cast<uint32_t>(picture.pitches[2]);
    planes.width = static_cast<uint32_t>(m_settings.width);
    planes.height = static_cast<uint32_t>(m_settings.height);
    planes.color_fmt = EB_YUV420;
    planes.bit_depth = EB_EIGHT_BIT;

    EbBufferHeaderType in = {};
    in.size = sizeof(in);
    in.p_buffer = reinterpret_cast<uint8_t*>(&planes);
    in.n_filled_len = static_cast<uint32_t>(m_settings.width * m_settings.height * 3 / 2);
    in.pts = pts;
    in.pic_type = key ? EB_AV1_KEY_PICTURE : EB_AV1_INVALID_PICTURE;
    // SVT-AV1 copies the picture before this returns.
    return svt_av1_enc_send_picture(m_handle, &in) == EB_ErrorNone;
}

bool Av1Encoder::Encode(const PlanarPicture& picture, int64_t pts, bool forceKey,
                        std::deque<AccessUnit>& out) {
    if (forceKey && Streaming() && !ForcesKeyFrames(m_settings)) {
        // A new stream starts with a key frame and its sequence header; the pictures
        // before it come out first. Costs SVT-AV1's set-up, some milliseconds.
        Drain(out);
    }
    std::string why;
    if (!Open(&why)) {
        return false;
    }
    if (!Send(picture, pts, forceKey && ForcesKeyFrames(m_settings))) {
        return false;
    }
    ++m_sent;
    return Receive(out, m_settings.zeroLatency, m_sent - std::max(m_inFlight - 1, kLowDelayHeld));
}

void Av1Encoder::Drain(std::deque<AccessUnit>& out) {
    Finish(&out);
    Close();
}

void Av1Encoder::Finish(std::deque<AccessUnit>* out) {
    if (!m_running) {
        return;
    }
    m_running = false;
    std::deque<AccessUnit> dropped;
    if (m_sent == 0) {
        // SVT-AV1 must see the end of stream before it is torn down, and answers one
        // that follows no picture with no end at all (its teardown then waits for ever):
        // a grey picture goes first, and nothing of it out.
        std::vector<uint8_t> grey(size_t(m_settings.width) * m_settings.height * 3 / 2, 128);
        PlanarPicture picture;
        picture.planes[0] = grey.data();
        picture.planes[1] = grey.data() + size_t(m_settings.width) * m_settings.height;
        picture.planes[2] =
            picture.planes[1] + size_t(m_settings.width / 2) * (m_settings.height / 2);
        picture.pitches[0] = m_settings.width;
        picture.pitches[1] = picture.pitches[2] = m_settings.width / 2;
        if (!Send(picture, 0, false)) {
            return;
        }
        out = nullptr;
    }
    EbBufferHeaderType eos = {};
    eos.size = sizeof(eos);
    eos.flags = EB_BUFFERFLAG_EOS;
    if (svt_av1_enc_send_picture(m_handle, &eos) != EB_ErrorNone) {
        return;
    }
    // Blocking from here: every packet up to the end of stream comes.
    for (;;) {
        EbBufferHeaderType* packet = nullptr;
        if (svt_av1_enc_get_packet(m_handle, &packet, 1) != EB_ErrorNone || !packet) {
            break;
        }
        const bool last = packet->flags & EB_BUFFERFLAG_EOS;
        m_returned += Take(packet, m_settings.zeroLatency, m_hidden, out ? *out : dropped) ? 1 : 0;
        if (last) {
            break;
        }
    }
}

std::string Av1Encoder::Describe() const {
    return "SVT-AV1 " + SvtAv1Version() + " (preset " + std::to_string(m_settings.speed) +
           (m_settings.zeroLatency ? ", low delay)" : ")");
}

std::string SvtAv1Version() {
    const char* version = svt_av1_get_version();
    return version ? version : "";
}

}  // namespace camfx::swenc
