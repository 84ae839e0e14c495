#include "h264_encoder.h"

#include <x264.h>

#include <cmath>
#include <cstdio>

namespace camfx::swenc {

struct H264Encoder::Param {
    x264_param_t p;
};

namespace {

bool Set(x264_param_t* param, const std::string& name, const std::string& value,
         std::string* reason) {
    if (x264_param_parse(param, name.c_str(), value.c_str()) == 0) {
        return true;
    }
    *reason = "x264 refused " + name + "=" + value;
    return false;
}

bool BuildParam(const EncoderSettings& s, x264_param_t* p, std::string* reason) {
    if (x264_param_default_preset(p, s.preset, s.zeroLatency ? "zerolatency" : nullptr) < 0) {
        *reason = std::string("x264 has no preset ") + s.preset;
        return false;
    }
    if (!ApplyParams(
            s.params, "x264",
            [&](const std::string& name, const std::string& value) {
                return Set(p, name, value, reason);
            },
            reason)) {
        return false;
    }
    p->i_log_level = X264_LOG_ERROR;
    p->i_width = s.width;
    p->i_height = s.height;
    p->i_csp = X264_CSP_I420;
    p->i_bitdepth = 8;
    p->i_fps_num = s.fpsNum;
    p->i_fps_den = s.fpsDen;
    // Constant frame rate: x264 takes its time base from the rate and writes it into
    // the VUI, so a raw stream plays at its own speed.
    p->b_vfr_input = 0;
    // SPS and PPS before every IDR: a raw stream has nowhere else to carry them.
    p->b_repeat_headers = 1;
    p->b_annexb = 1;
    // Closed GOPs: every key frame is an IDR, as the IDR period promises.
    p->b_open_gop = 0;
    p->i_keyint_max = s.keyframeInterval < 0 ? X264_KEYINT_MAX_INFINITE : s.keyframeInterval;
    p->i_bframe = s.bframes;
    p->rc.i_lookahead = s.lookahead;
    bool lossless = false;
    switch (s.rateControl) {
        case RateControl::ConstQp:
            p->rc.i_rc_method = X264_RC_CQP;
            p->rc.i_qp_constant = s.qpInterP;
            lossless = s.qpIntra == 0 && s.qpInterP == 0 && s.qpInterB == 0;
            // x264 derives the I and B quantisers from P: a ratio r moves the quantiser
            // by 6 log2(r).
            p->rc.f_ip_factor = float(std::pow(2.0, (s.qpInterP - s.qpIntra) / 6.0));
            p->rc.f_pb_factor = float(std::pow(2.0, (s.qpInterB - s.qpInterP) / 6.0));
            break;
        case RateControl::ConstQuality:
            p->rc.i_rc_method = X264_RC_CRF;
            p->rc.f_rf_constant = float(s.quality);
            break;
        case RateControl::AverageBitrate:
            p->rc.i_rc_method = X264_RC_ABR;
            p->rc.i_bitrate = s.bitrateKbps;
            if (s.maxBitrateKbps > 0) {
                p->rc.i_vbv_max_bitrate = s.maxBitrateKbps;
                p->rc.i_vbv_buffer_size =
                    s.vbvBufferKbits > 0 ? s.vbvBufferKbits : s.maxBitrateKbps;
            }
            break;
        case RateControl::ConstBitrate: {
            // x264's CBR is its average bit rate held by a buffer drained at that rate.
            const int buffer = s.vbvBufferKbits > 0 ? s.vbvBufferKbits : s.bitrateKbps;
            p->rc.i_rc_method = X264_RC_ABR;
            p->rc.i_bitrate = s.bitrateKbps;
            p->rc.i_vbv_max_bitrate = s.bitrateKbps;
            p->rc.i_vbv_buffer_size = buffer;
            if (s.vbvInitialKbits > 0) {
                p->rc.f_vbv_buffer_init = std::fmin(1.0f, float(s.vbvInitialKbits) / buffer);
            }
            break;
        }
    }
    // Lossless needs High 4:4:4 Predictive, which x264 picks by itself.
    if (!lossless && x264_param_apply_profile(p, "high") < 0) {
        *reason = "x264 cannot encode H.264 High with these settings";
        return false;
    }
    return true;
}

NV_ENC_PIC_TYPE PictureType(int type) {
    switch (type) {
        case X264_TYPE_IDR:
            return NV_ENC_PIC_TYPE_IDR;
        case X264_TYPE_I:
            return NV_ENC_PIC_TYPE_I;
        case X264_TYPE_P:
            return NV_ENC_PIC_TYPE_P;
        case X264_TYPE_BREF:
        case X264_TYPE_B:
            return NV_ENC_PIC_TYPE_B;
        default:
            return NV_ENC_PIC_TYPE_UNKNOWN;
    }
}

void Collect(const x264_nal_t* nals, int count, int bytes, const x264_picture_t& picture,
             std::deque<AccessUnit>& out) {
    AccessUnit unit;
    // x264 keeps the payloads of one access unit back to back.
    if (count > 0 && bytes > 0) {
        unit.bytes.assign(nals[0].p_payload, nals[0].p_payload + bytes);
    }
    unit.pts = picture.i_pts;
    unit.type = PictureType(picture.i_type);
    out.push_back(std::move(unit));
}

}  // namespace

H264Encoder::H264Encoder() = default;

H264Encoder::~H264Encoder() {
    Close();
}

bool H264Encoder::Configure(const EncoderSettings& settings, std::string* reason) {
    auto param = std::make_unique<Param>();
    std::string why;
    if (!BuildParam(settings, &param->p, &why)) {
        if (reason) {
            *reason = why;
        }
        return false;
    }
    Close();
    m_param = std::move(param);
    m_settings = settings;
    // Opening is the only full check of the parameters; keep the instance for the first
    // picture.
    return Open(reason);
}

bool H264Encoder::Open(std::string* reason) {
    if (m_encoder) {
        return true;
    }
    if (!m_param) {
        if (reason) {
            *reason = "encoder not configured";
        }
        return false;
    }
    // x264 adjusts the parameters it is opened with; open every stream from the same.
    x264_param_t param = m_param->p;
    m_encoder = x264_encoder_open(&param);
    if (!m_encoder) {
        if (reason) {
            *reason = "x264_encoder_open refused the parameters";
        }
        return false;
    }
    m_streamPictures = 0;
    return true;
}

void H264Encoder::Close() {
    if (m_encoder) {
        x264_encoder_close(m_encoder);
        m_encoder = nullptr;
    }
    m_streamPictures = 0;
}

bool H264Encoder::Encode(const PlanarPicture& picture, int64_t pts, bool forceKey,
                         std::deque<AccessUnit>& out) {
    if (!Open(nullptr)) {
        return false;
    }
    x264_picture_t in;
    x264_picture_init(&in);
    in.img.i_csp = X264_CSP_I420;
    in.img.i_plane = 3;
    for (int i = 0; i < 3; ++i) {
        in.img.plane[i] = const_cast<uint8_t*>(picture.planes[i]);
        in.img.i_stride[i] = picture.pitches[i];
    }
    in.i_pts = pts;
    in.i_type = forceKey ? X264_TYPE_IDR : X264_TYPE_AUTO;
    x264_picture_t picOut;
    x264_nal_t* nals = nullptr;
    int count = 0;
    const int bytes = x264_encoder_encode(m_encoder, &nals, &count, &in, &picOut);
    if (bytes < 0) {
        return false;
    }
    ++m_streamPictures;
    if (bytes > 0) {
        Collect(nals, count, bytes, picOut, out);
    }
    return true;
}

void H264Encoder::Drain(std::deque<AccessUnit>& out) {
    if (!m_encoder) {
        return;
    }
    while (x264_encoder_delayed_frames(m_encoder) > 0) {
        x264_picture_t picOut;
        x264_nal_t* nals = nullptr;
        int count = 0;
        const int bytes = x264_encoder_encode(m_encoder, &nals, &count, nullptr, &picOut);
        if (bytes < 0) {
            break;  // the caller leaves a picture that never came back empty
        }
        if (bytes > 0) {
            Collect(nals, count, bytes, picOut, out);
        }
    }
    Close();
}

std::string H264Encoder::Describe() const {
    std::string text = "libx264 " + X264Version() + " (preset " + m_settings.preset;
    if (m_settings.zeroLatency) {
        text += ", tune zerolatency";
    }
    if (*m_settings.params) {
        text += std::string(", ") + m_settings.params;
    }
    return text + ")";
}

std::string X264Version() {
    // X264_POINTVER is "0.164.3095 baee400": the version without the commit.
    const std::string point = X264_POINTVER;
    return point.substr(0, point.find(' '));
}

}  // namespace camfx::swenc
