#include "presets.h"

#include "NvEncGuid.h"
#include "SoftwareEncoder.h"

#include <cstdio>
#include <cstring>

namespace camfx::swenc {

namespace {

// HEVC preset table. The P-preset picks libx265's speed; the tuning picks the
// picture structure:
//
//   preset  x265 preset   high quality: GOP  P interval  lookahead   low latency: + params
//   P1      ultrafast                   250  1           0           kFastestLowLatency
//   P2      ultrafast                   250  1           0           kFastestLowLatency
//   P3      ultrafast                   250  4           5           kFastestLowLatency
//   P4      superfast                   250  4           10          -
//   P5      veryfast                    250  4           15          -
//   P6      faster                      250  4           15          -
//   P7      medium                      250  4           20          -
//
// Low-latency and ultra-low-latency tuning: infinite GOP (one IDR), P interval 1
// (no B pictures), no lookahead, and x265's "zerolatency" tune, so each picture's
// access unit is ready when its submission returns. Lossless tuning: constant QP 0.
// Every other tuning: constant quality (VBR with no bitrate, target quality 26, which
// becomes x265's CRF 26).
//
// P3 low latency is what the application records with, at 30 fps on machines without a
// hardware encoder, so P1 to P3 at low latency go below libx265's fastest preset: mode
// decisions without rate-distortion refinement (rd=1), no rate-distortion-optimised
// quantisation and no psycho-visual tuning, 16x16 coding trees with one transform split.
// Measured with `ffmpeg -c:v libx265` (the same library) on 96 pictures of the swirled
// mosaic (all four effects, 1280x720, NV12), crf 26, processor time per picture and the
// PSNR of the worst decoded picture, on the 2-core development machine while other builds
// ran (the ratios held within a few percent over three alternations):
//
//   ultrafast, zerolatency                                  100-115 ms   30.39 dB
//   + rd=1, rdoq-level=0, psy-rd=0, psy-rdoq=0,
//     ctu=16, tu-intra-depth=1, tu-inter-depth=1 (chosen)   54-56 ms     30.39 dB  1.85x
//   the same, rd=2                                          61 ms        30.36 dB
//   the same, ctu=32                                        77 ms        29.85 dB
//   chosen + max-merge=1, merange=16, limit-tu=4 or no
//     strong intra smoothing                                within noise, bytes +0.1%
//   chosen, crf 24                                          59 ms        31.75 dB  +37% bytes
//
// (rd=0 is refused by this libx265; aq-mode=0 and min-cu-size=16 change nothing, ultrafast
// has them already.) Under load the recorder drops frames rather than wait, and says so.
//
// One picture at a time (the zerolatency tune's single frame thread), libx265's pool idles
// at every picture's start and end. A session whose caller has buffers for more pictures
// in flight (the recorder's extra output delay of 3 gives 4) encodes up to
// kMaxPicturesInFlight at once as frame threads; the bytes are the same, each picture only
// comes back later. The encoder benchmark on the 2-core machine, 300 swirled pictures, P3
// low latency, while two other engineers' builds kept the load average at 6 to 8:
//
//   frame threads   ours      ffmpeg -c:v libx265 (same settings)   bytes
//   1               14.2 fps  14.7 fps                               20.95 MB
//   2               18.2 fps  20.8 fps                               20.95 MB
//   3 (chosen)      23.2 fps  22.3 fps                               20.95 MB
//
// and 10-second recordings of the viewer with all effects, the three builds alternating,
// frames recorded of those read (median of three): 31%, 45% and 64%. Three keeps up better
// under load. On the quiet machine, with three frame threads:
//
//   encoder benchmark, 300 pictures   ours 46.3 fps (42.4 ms of processor time a picture),
//                                     ffmpeg 44.3 fps (43.4 ms); beside a busy core 22.3
//                                     and 24.5 fps
//   10-second recordings, all effects 293, 299 and 299 frames recorded of 299 to 300 read
//                                     (98.0%, 99.7%, 99.7%), every one decoded
constexpr const char* kFastestLowLatency =
    "rd=1:rdoq-level=0:psy-rd=0:psy-rdoq=0:ctu=16:tu-intra-depth=1:tu-inter-depth=1";

// H.264 (libx264): the preset tracks libx265's a step slower, as libx264 is the cheaper
// library; every low-latency tuning takes libx264's zerolatency tune (no B pictures, no
// lookahead, sliced threads, so each picture is back when its submission returns).
// AV1 (SVT-AV1): SVT-AV1's preset; low-latency tunings take its low-delay prediction
// structure without lookahead or scene-change detection, the others random access.
//
// The default qualities (x264 CRF 26, as libx265's; SVT-AV1 CRF 36 of 63) keep every
// recorded picture of the swirled mosaic at 30 dB or more (the codec recording tests check
// each). The encoder benchmark, P3 low latency, 300 swirled pictures at 1280x720 on the
// 2-core machine, processor time a picture and bytes (FFmpeg's front end of the same
// library with the same settings beside it):
//
//   libx264 0.164 veryfast, zerolatency     18.7 ms (ffmpeg 18.9 ms)   13.7 MB
//   libx265 3.5, the row above              43.1 ms (ffmpeg 45.1 ms)   21.0 MB
//   SVT-AV1 1.4.1 preset 12, low delay      49.5 ms (ffmpeg 50.2 ms)   32.8 MB   (CRF 40)
//   the same at CRF 36                      53.9 ms                    44.6 MB
//
// SVT-AV1's preset 13 costs about a fifth less but is, in its own words, for debugging only.
struct PresetRow {
    const char* x265Preset;
    int frameIntervalP;
    int lookahead;
    const char* lowLatencyParams;
    const char* x264Preset;
    int svtPreset;
};

constexpr PresetRow kPresets[7] = {
    {"ultrafast", 1, 0, kFastestLowLatency, "veryfast", 12},
    {"ultrafast", 1, 0, kFastestLowLatency, "veryfast", 12},
    {"ultrafast", 4, 5, kFastestLowLatency, "veryfast", 12},
    {"superfast", 4, 10, "", "faster", 10},
    {"veryfast", 4, 15, "", "fast", 8},
    {"faster", 4, 15, "", "medium", 6},
    {"medium", 4, 20, "", "slow", 4},
};

// The codec's own scales: quantisers and quality 0-51 for H.264 and HEVC; for AV1 the
// quality is 0-63 (SVT-AV1's CRF) and the quantisers are quantiser indices 0-255.
struct CodecRow {
    Codec codec;
    int defaultQuality;
    NV_ENC_QP defaultQp;  // P, B, I
    uint32_t maxQuality;
    uint32_t maxQp;
};

constexpr CodecRow kCodecs[3] = {
    {Codec::H264, kDefaultQualityH264, {28, 31, 25}, 51, 51},
    {Codec::Hevc, kDefaultQuality, {28, 31, 25}, 51, 51},
    {Codec::Av1, kDefaultQualityAv1, {128, 140, 112}, 63, 255},
};

const CodecRow& RowOf(Codec codec) {
    return kCodecs[static_cast<int>(codec)];
}

constexpr int kGopLength = 250;
// x265 refuses more consecutive B pictures and a deeper lookahead.
constexpr int kMaxBframes = 16;
constexpr int kMaxLookahead = 250;

}  // namespace

int PresetNumber(const GUID& preset) {
    const GUID* presets[7] = {&NV_ENC_PRESET_P1_GUID, &NV_ENC_PRESET_P2_GUID,
                              &NV_ENC_PRESET_P3_GUID, &NV_ENC_PRESET_P4_GUID,
                              &NV_ENC_PRESET_P5_GUID, &NV_ENC_PRESET_P6_GUID,
                              &NV_ENC_PRESET_P7_GUID};
    for (int i = 0; i < 7; ++i) {
        if (SameGuid(preset, *presets[i])) {
            return i + 1;
        }
    }
    return 0;
}

bool IsLowLatency(NV_ENC_TUNING_INFO tuning) {
    return tuning == NV_ENC_TUNING_INFO_LOW_LATENCY ||
           tuning == NV_ENC_TUNING_INFO_ULTRA_LOW_LATENCY;
}

bool CodecFor(const GUID& guid, Codec* codec) {
    if (SameGuid(guid, NV_ENC_CODEC_H264_GUID)) {
        *codec = Codec::H264;
    } else if (SameGuid(guid, NV_ENC_CODEC_HEVC_GUID)) {
        *codec = Codec::Hevc;
    } else if (SameGuid(guid, NV_ENC_CODEC_AV1_GUID)) {
        *codec = Codec::Av1;
    } else {
        return false;
    }
    return true;
}

void FillPresetConfig(Codec codec, int preset, NV_ENC_TUNING_INFO tuning, NV_ENC_CONFIG* config) {
    const PresetRow& row = kPresets[preset - 1];
    const CodecRow& codecRow = RowOf(codec);
    uint32_t version = config->version;
    std::memset(config, 0, sizeof(*config));
    config->version = version;

    const bool lowLatency = IsLowLatency(tuning);
    config->gopLength = lowLatency ? NVENC_INFINITE_GOPLENGTH : kGopLength;
    config->frameIntervalP = lowLatency ? 1 : row.frameIntervalP;

    NV_ENC_RC_PARAMS& rc = config->rcParams;
    rc.version = NV_ENC_RC_PARAMS_VER;
    rc.lookaheadDepth = static_cast<uint16_t>(lowLatency ? 0 : row.lookahead);
    if (tuning == NV_ENC_TUNING_INFO_LOSSLESS) {
        rc.rateControlMode = NV_ENC_PARAMS_RC_CONSTQP;
        rc.constQP = {0, 0, 0};
    } else {
        rc.rateControlMode = NV_ENC_PARAMS_RC_VBR;
        rc.targetQuality = static_cast<uint8_t>(codecRow.defaultQuality);
        rc.constQP = codecRow.defaultQp;
    }

    NV_ENC_CODEC_CONFIG& codecConfig = config->encodeCodecConfig;
    switch (codec) {
        case Codec::H264:
            codecConfig.h264Config.chromaFormatIDC = 1;
            codecConfig.h264Config.idrPeriod = config->gopLength;
            break;
        case Codec::Hevc:
            codecConfig.hevcConfig.chromaFormatIDC = 1;
            codecConfig.hevcConfig.idrPeriod = config->gopLength;
            codecConfig.hevcConfig.inputBitDepth = NV_ENC_BIT_DEPTH_8;
            codecConfig.hevcConfig.outputBitDepth = NV_ENC_BIT_DEPTH_8;
            break;
        case Codec::Av1:
            codecConfig.av1Config.chromaFormatIDC = 1;
            codecConfig.av1Config.idrPeriod = config->gopLength;
            codecConfig.av1Config.inputBitDepth = NV_ENC_BIT_DEPTH_8;
            codecConfig.av1Config.outputBitDepth = NV_ENC_BIT_DEPTH_8;
            break;
    }
}

namespace {

// What the codec's own configuration says: chroma format, bit depths (0 leaves the choice
// to the encoder; H.264's configuration carries none) and IDR period.
struct CodecFields {
    uint32_t chromaFormatIDC = 0;
    NV_ENC_BIT_DEPTH inputBitDepth = NV_ENC_BIT_DEPTH_8;
    NV_ENC_BIT_DEPTH outputBitDepth = NV_ENC_BIT_DEPTH_8;
    uint32_t idrPeriod = 0;
};

CodecFields FieldsOf(Codec codec, const NV_ENC_CODEC_CONFIG& c) {
    CodecFields f;
    switch (codec) {
        case Codec::H264:
            f.chromaFormatIDC = c.h264Config.chromaFormatIDC;
            f.idrPeriod = c.h264Config.idrPeriod;
            break;
        case Codec::Hevc:
            f.chromaFormatIDC = c.hevcConfig.chromaFormatIDC;
            f.inputBitDepth = c.hevcConfig.inputBitDepth;
            f.outputBitDepth = c.hevcConfig.outputBitDepth;
            f.idrPeriod = c.hevcConfig.idrPeriod;
            break;
        case Codec::Av1:
            f.chromaFormatIDC = c.av1Config.chromaFormatIDC;
            f.inputBitDepth = c.av1Config.inputBitDepth;
            f.outputBitDepth = c.av1Config.outputBitDepth;
            f.idrPeriod = c.av1Config.idrPeriod;
            break;
    }
    return f;
}

}  // namespace

NVENCSTATUS TranslateConfig(Codec codec, int preset, NV_ENC_TUNING_INFO tuning,
                            const NV_ENC_CONFIG& config, EncoderSettings* s) {
    const CodecFields fields = FieldsOf(codec, config.encodeCodecConfig);
    const CodecRow& codecRow = RowOf(codec);
    const NV_ENC_RC_PARAMS& rc = config.rcParams;
    if (rc.version != 0 && rc.version != NV_ENC_RC_PARAMS_VER) {
        return NV_ENC_ERR_INVALID_VERSION;
    }
    // 8-bit 4:2:0 only (0 leaves the choice to the encoder).
    if (fields.chromaFormatIDC > 1) {
        return NV_ENC_ERR_UNSUPPORTED_PARAM;
    }
    if ((fields.inputBitDepth != 0 && fields.inputBitDepth != NV_ENC_BIT_DEPTH_8) ||
        (fields.outputBitDepth != 0 && fields.outputBitDepth != NV_ENC_BIT_DEPTH_8)) {
        return NV_ENC_ERR_UNSUPPORTED_PARAM;
    }
    if (config.frameIntervalP < 0 || config.frameIntervalP > kMaxBframes + 1 ||
        rc.lookaheadDepth > kMaxLookahead) {
        return NV_ENC_ERR_INVALID_PARAM;
    }

    const PresetRow& row = kPresets[preset - 1];
    s->codec = codec;
    s->zeroLatency = IsLowLatency(tuning);
    switch (codec) {
        case Codec::H264:
            s->preset = row.x264Preset;
            s->params = "";
            break;
        case Codec::Hevc:
            s->preset = row.x265Preset;
            s->params = s->zeroLatency ? row.lowLatencyParams : "";
            break;
        case Codec::Av1:
            s->preset = "";
            s->params = "";
            s->speed = row.svtPreset;
            break;
    }
    s->bframes = config.frameIntervalP > 1 ? config.frameIntervalP - 1 : 0;
    s->lookahead = rc.lookaheadDepth;

    // The IDR period wins over the GOP length, as in the hardware encoder; an
    // infinite one gives a single IDR; 0 leaves the table's GOP.
    uint32_t period = fields.idrPeriod != 0 ? fields.idrPeriod : config.gopLength;
    if (period == NVENC_INFINITE_GOPLENGTH) {
        s->keyframeInterval = -1;
    } else if (period == 0) {
        s->keyframeInterval = kGopLength;
    } else if (period > static_cast<uint32_t>(INT32_MAX)) {
        return NV_ENC_ERR_INVALID_PARAM;
    } else {
        s->keyframeInterval = static_cast<int>(period);
    }

    const uint32_t kbps = rc.averageBitRate / 1000;
    switch (rc.rateControlMode) {
        case NV_ENC_PARAMS_RC_CONSTQP:
            if (rc.constQP.qpIntra > codecRow.maxQp || rc.constQP.qpInterP > codecRow.maxQp ||
                rc.constQP.qpInterB > codecRow.maxQp) {
                return NV_ENC_ERR_INVALID_PARAM;
            }
            s->rateControl = RateControl::ConstQp;
            s->qpIntra = static_cast<int>(rc.constQP.qpIntra);
            s->qpInterP = static_cast<int>(rc.constQP.qpInterP);
            s->qpInterB = static_cast<int>(rc.constQP.qpInterB);
            if (codec == Codec::Av1) {
                // Quantiser indices 0-255 to SVT-AV1's quantiser scale 0-63.
                s->qpIntra = (s->qpIntra + 2) / 4;
                s->qpInterP = (s->qpInterP + 2) / 4;
                s->qpInterB = (s->qpInterB + 2) / 4;
            }
            break;
        case NV_ENC_PARAMS_RC_VBR:
            if (rc.averageBitRate == 0) {
                if (rc.targetQuality > codecRow.maxQuality) {
                    return NV_ENC_ERR_INVALID_PARAM;
                }
                s->rateControl = RateControl::ConstQuality;
                s->quality = rc.targetQuality != 0 ? rc.targetQuality : codecRow.defaultQuality;
            } else {
                if (kbps == 0) {
                    return NV_ENC_ERR_INVALID_PARAM;
                }
                s->rateControl = RateControl::AverageBitrate;
                s->bitrateKbps = static_cast<int>(kbps);
                s->maxBitrateKbps = static_cast<int>(rc.maxBitRate / 1000);
                s->vbvBufferKbits = static_cast<int>(rc.vbvBufferSize / 1000);
            }
            break;
        case NV_ENC_PARAMS_RC_CBR:
            if (kbps == 0) {
                return NV_ENC_ERR_INVALID_PARAM;
            }
            s->rateControl = RateControl::ConstBitrate;
            s->bitrateKbps = static_cast<int>(kbps);
            s->vbvBufferKbits = static_cast<int>(rc.vbvBufferSize / 1000);
            s->vbvInitialKbits = static_cast<int>(rc.vbvInitialDelay / 1000);
            break;
        default:
            return NV_ENC_ERR_UNSUPPORTED_PARAM;
    }
    return NV_ENC_SUCCESS;
}

namespace {

// The table's settings of a session of `codec`, preset and tuning with the preset's own
// configuration.
bool TableSettings(Codec codec, int preset, NV_ENC_TUNING_INFO tuning, EncoderSettings* settings) {
    if (preset < 1 || preset > 7 || tuning < NV_ENC_TUNING_INFO_UNDEFINED ||
        tuning > NV_ENC_TUNING_INFO_ULTRA_HIGH_QUALITY) {
        return false;
    }
    NV_ENC_CONFIG config = {};
    FillPresetConfig(codec, preset, tuning, &config);
    return TranslateConfig(codec, preset, tuning, config, settings) == NV_ENC_SUCCESS;
}

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%g", value);
    return text;
}

}  // namespace

bool X265SettingsFor(int preset, NV_ENC_TUNING_INFO tuning, X265Settings* out) {
    EncoderSettings settings;
    if (out == nullptr || !TableSettings(Codec::Hevc, preset, tuning, &settings)) {
        return false;
    }
    out->preset = settings.preset;
    out->tune = settings.zeroLatency ? "zerolatency" : "";
    out->params = settings.params;
    out->keyframeInterval = settings.keyframeInterval;
    out->crf =
        settings.rateControl == RateControl::ConstQuality ? static_cast<int>(settings.quality) : 0;
    out->frameThreads = settings.zeroLatency ? kMaxPicturesInFlight : 0;
    return true;
}

bool SoftwareSettingsFor(const GUID& codecGuid, int preset, NV_ENC_TUNING_INFO tuning,
                         SoftwareSettings* out) {
    Codec codec;
    EncoderSettings s;
    if (out == nullptr || !CodecFor(codecGuid, &codec) ||
        !TableSettings(codec, preset, tuning, &s)) {
        return false;
    }
    const bool qp = s.rateControl == RateControl::ConstQp;
    const std::string keyint = std::to_string(s.keyframeInterval);
    out->library = LibraryName(codec);
    out->quality = qp ? 0 : static_cast<int>(s.quality);
    switch (codec) {
        case Codec::H264: {
            out->ffmpegEncoder = "libx264";
            // x264's own name for an infinite GOP.
            const std::string gop = s.keyframeInterval < 0 ? "infinite" : keyint;
            out->ffmpegOptions =
                std::string("-preset ") + s.preset + (s.zeroLatency ? " -tune zerolatency" : "") +
                (qp ? " -qp " + std::to_string(s.qpInterP) : " -crf " + Number(s.quality)) +
                " -x264-params keyint=" + gop + ":bframes=" + std::to_string(s.bframes) +
                ":rc-lookahead=" + std::to_string(s.lookahead) + ":open-gop=0:repeat-headers=1";
            break;
        }
        case Codec::Hevc: {
            X265Settings x265;
            X265SettingsFor(preset, tuning, &x265);
            out->ffmpegEncoder = "libx265";
            out->ffmpegOptions =
                std::string("-preset ") + s.preset + (s.zeroLatency ? " -tune zerolatency" : "") +
                " -x265-params " + s.params + (*s.params ? ":" : "") + "keyint=" + keyint +
                (qp ? ":qp=" + std::to_string(s.qpInterP) : ":crf=" + Number(s.quality)) +
                ":bframes=" + std::to_string(s.bframes) +
                ":rc-lookahead=" + std::to_string(s.lookahead) + ":open-gop=0:log-level=error" +
                (x265.frameThreads > 0 ? ":frame-threads=" + std::to_string(x265.frameThreads)
                                       : std::string());
            break;
        }
        case Codec::Av1:
            out->ffmpegEncoder = "libsvtav1";
            out->ffmpegOptions =
                "-preset " + std::to_string(s.speed) +
                (qp ? " -qp " + std::to_string(s.qpInterP) : " -crf " + Number(s.quality)) +
                " -svtav1-params keyint=" + (s.keyframeInterval < 0 ? "-1" : keyint) +
                ":irefresh-type=2" +
                (s.zeroLatency ? ":pred-struct=1:lookahead=0:scd=0"
                               : ":lookahead=" + std::to_string(s.lookahead)) +
                (qp ? ":aq-mode=0" : "");
            break;
    }
    return true;
}

}  // namespace camfx::swenc
