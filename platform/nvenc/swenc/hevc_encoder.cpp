#include "hevc_encoder.h"

#include <x265.h>

#include <algorithm>
#include <cmath>

namespace camfx::swenc {

namespace {

bool Set(x265_param* param, const char* name, const std::string& value, std::string* reason) {
    if (x265_param_parse(param, name, value.c_str()) == 0) {
        return true;
    }
    if (reason) {
        *reason = std::string("x265 refused ") + name + "=" + value;
    }
    return false;
}

// The x265 parameters for one session, or null with a reason.
x265_param* BuildParam(const EncoderSettings& s, std::string* reason) {
    x265_param* p = x265_param_alloc();
    if (!p) {
        *reason = "x265_param_alloc failed";
        return nullptr;
    }
    if (x265_param_default_preset(p, s.preset, s.zeroLatency ? "zerolatency" : nullptr) < 0) {
        *reason = std::string("x265 has no preset ") + s.preset;
        x265_param_free(p);
        return nullptr;
    }
    if (!ApplyParams(
            s.params, "x265",
            [&](const std::string& name, const std::string& value) {
                return Set(p, name.c_str(), value, reason);
            },
            reason)) {
        x265_param_free(p);
        return nullptr;
    }
    p->logLevel = X265_LOG_ERROR;
    p->sourceWidth = s.width;
    p->sourceHeight = s.height;
    p->internalCsp = X265_CSP_I420;
    p->internalBitDepth = 8;
    p->fpsNum = s.fpsNum;
    p->fpsDenom = s.fpsDen;
    // The timing info carries the frame rate, so a raw stream plays at its own speed.
    p->bEmitVUITimingInfo = 1;
    // Parameter sets ride with every IDR, the first picture's included: a raw
    // elementary stream has nowhere else to put them.
    p->bRepeatHeaders = 1;
    p->bAnnexB = 1;

    // Closed GOPs: every keyframe is an IDR, as the IDR period promises.
    p->bOpenGOP = 0;
    bool ok = Set(p, "keyint", std::to_string(s.keyframeInterval), reason) &&
              Set(p, "bframes", std::to_string(s.bframes), reason) &&
              Set(p, "rc-lookahead", std::to_string(s.lookahead), reason);
    if (ok) {
        switch (s.rateControl) {
            case RateControl::ConstQp:
                if (s.qpIntra == 0 && s.qpInterP == 0 && s.qpInterB == 0) {
                    ok = Set(p, "lossless", "1", reason);
                    break;
                }
                ok = Set(p, "qp", std::to_string(s.qpInterP), reason);
                // x265 derives the I and B quantisers from P: a ratio r moves the
                // quantiser by 6 log2(r).
                p->rc.ipFactor = std::pow(2.0, (s.qpInterP - s.qpIntra) / 6.0);
                p->rc.pbFactor = std::pow(2.0, (s.qpInterB - s.qpInterP) / 6.0);
                break;
            case RateControl::ConstQuality:
                ok = Set(p, "crf", std::to_string(s.quality), reason);
                break;
            case RateControl::AverageBitrate:
                ok = Set(p, "bitrate", std::to_string(s.bitrateKbps), reason);
                if (ok && s.maxBitrateKbps > 0) {
                    int buffer = s.vbvBufferKbits > 0 ? s.vbvBufferKbits : s.maxBitrateKbps;
                    ok = Set(p, "vbv-maxrate", std::to_string(s.maxBitrateKbps), reason) &&
                         Set(p, "vbv-bufsize", std::to_string(buffer), reason);
                }
                break;
            case RateControl::ConstBitrate: {
                int buffer = s.vbvBufferKbits > 0 ? s.vbvBufferKbits : s.bitrateKbps;
                ok = Set(p, "bitrate", std::to_string(s.bitrateKbps), reason) &&
                     Set(p, "vbv-maxrate", std::to_string(s.bitrateKbps), reason) &&
                     Set(p, "vbv-bufsize", std::to_string(buffer), reason);
                // x265 takes the initial fullness as a share of the buffer.
                if (ok && s.vbvInitialKbits > 0)
                    ok = Set(p, "vbv-init",
                             std::to_string(std::min(1.0, double(s.vbvInitialKbits) / buffer)),
                             reason);
                break;
            }
        }
    }
    if (ok && x265_param_apply_profile(p, "main") < 0) {
        *reason = "x265 cannot encode HEVC Main with these settings";
        ok = false;
    }
    if (!ok) {
        x265_param_free(p);
        return nullptr;
    }
    return p;
}

NV_ENC_PIC_TYPE PictureType(int sliceType) {
    switch (sliceType) {
        case X265_TYPE_IDR:
            return NV_ENC_PIC_TYPE_IDR;
        case X265_TYPE_I:
            return NV_ENC_PIC_TYPE_I;
        case X265_TYPE_P:
            return NV_ENC_PIC_TYPE_P;
        case X265_TYPE_BREF:
        case X265_TYPE_B:
            return NV_ENC_PIC_TYPE_B;
        default:
            return NV_ENC_PIC_TYPE_UNKNOWN;
    }
}

}  // namespace

HevcEncoder::~HevcEncoder() {
    Close();
    if (m_param) {
        x265_param_free(m_param);
    }
}

bool HevcEncoder::Configure(const EncoderSettings& settings, std::string* reason) {
    std::string why;
    x265_param* param = BuildParam(settings, &why);
    if (!param) {
        if (reason) {
            *reason = why;
        }
        return false;
    }
    Close();
    if (m_param) {
        x265_param_free(m_param);
    }
    m_param = param;
    m_settings = settings;
    // Opening is the only full check of the parameters; keep the instance for the
    // first picture.
    return Open(reason);
}

bool HevcEncoder::Open(std::string* reason) {
    if (m_encoder) {
        return true;
    }
    if (!m_param) {
        if (reason) {
            *reason = "encoder not configured";
        }
        return false;
    }
    m_encoder = x265_encoder_open(m_param);
    if (!m_encoder) {
        if (reason) {
            *reason = "x265_encoder_open refused the parameters";
        }
        return false;
    }
    m_held = 0;
    m_streamPictures = 0;
    return true;
}

void HevcEncoder::SetPicturesInFlight(int n) {
    if (!m_param || n < 1 || Streaming() || m_param->frameNumThreads == n) {
        return;
    }
    m_param->frameNumThreads = n;
    // The instance Configure kept was opened with the old count; the next picture opens
    // a new one.
    Close();
}

void HevcEncoder::Close() {
    if (m_encoder) {
        x265_encoder_close(m_encoder);
        m_encoder = nullptr;
    }
    m_held = 0;
    m_streamPictures = 0;
}

void HevcEncoder::Collect(void* nals, uint32_t count, const void* picOut,
                          std::deque<AccessUnit>& out) {
    const auto* nal = static_cast<const x265_nal*>(nals);
    const auto* pic = static_cast<const x265_picture*>(picOut);
    AccessUnit unit;
    size_t total = 0;
    for (uint32_t i = 0; i < count; ++i) {
        total += nal[i].sizeBytes;
    }
    // x265 keeps the payloads of one access unit back to back.
    if (count > 0) {
        unit.bytes.assign(nal[0].payload, nal[0].payload + total);
    }
    unit.pts = pic->pts;
    unit.type = PictureType(pic->sliceType);
    out.push_back(std::move(unit));
    if (m_held > 0) {
        --m_held;
    }
}

bool HevcEncoder::Encode(const PlanarPicture& picture, int64_t pts, bool forceKey,
                         std::deque<AccessUnit>& out) {
    if (!Open(nullptr)) {
        return false;
    }
    x265_picture in;
    x265_picture_init(m_param, &in);
    for (int i = 0; i < 3; ++i) {
        in.planes[i] = const_cast<uint8_t*>(picture.planes[i]);
        in.stride[i] = picture.pitches[i];
    }
    in.bitDepth = 8;
    in.colorSpace = X265_CSP_I420;
    in.pts = pts;
    in.sliceType = forceKey ? X265_TYPE_IDR : X265_TYPE_AUTO;

    x265_picture picOut;
    x265_picture_init(m_param, &picOut);
    x265_nal* nals = nullptr;
    uint32_t count = 0;
    int got = x265_encoder_encode(m_encoder, &nals, &count, &in, &picOut);
    if (got < 0) {
        return false;
    }
    ++m_held;
    ++m_streamPictures;
    if (got > 0) {
        Collect(nals, count, &picOut, out);
    }
    return true;
}

void HevcEncoder::Drain(std::deque<AccessUnit>& out) {
    if (!m_encoder) {
        return;
    }
    while (m_held > 0) {
        x265_picture picOut;
        x265_picture_init(m_param, &picOut);
        x265_nal* nals = nullptr;
        uint32_t count = 0;
        if (x265_encoder_encode(m_encoder, &nals, &count, nullptr, &picOut) <= 0) {
            break;
        }
        Collect(nals, count, &picOut, out);
    }
    Close();
}

std::string HevcEncoder::Describe() const {
    std::string text = "libx265 " + std::string(x265_version_str) + " (preset " + m_settings.preset;
    if (m_settings.zeroLatency) {
        text += ", tune zerolatency";
    }
    if (*m_settings.params) {
        text += std::string(", ") + m_settings.params;
    }
    return text + ")";
}

const char* X265Version() {
    return x265_version_str;
}

}  // namespace camfx::swenc
