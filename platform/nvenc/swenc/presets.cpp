#include "presets.h"

#include "NvEncGuid.h"
#include "SoftwareEncoder.h"

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

struct PresetRow {
    const char* x265Preset;
    int frameIntervalP;
    int lookahead;
    const char* lowLatencyParams;
};

constexpr PresetRow kPresets[7] = {
    {"ultrafast", 1, 0, kFastestLowLatency},
    {"ultrafast", 1, 0, kFastestLowLatency},
    {"ultrafast", 4, 5, kFastestLowLatency},
    {"superfast", 4, 10, ""},
    {"veryfast", 4, 15, ""},
    {"faster", 4, 15, ""},
    {"medium", 4, 20, ""},
};

constexpr int kGopLength = 250;
// x265 refuses more consecutive B pictures and a deeper lookahead.
constexpr int kMaxBframes = 16;
constexpr int kMaxLookahead = 250;
constexpr uint32_t kMaxQp = 51;

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

void FillPresetConfig(int preset, NV_ENC_TUNING_INFO tuning, NV_ENC_CONFIG* config) {
    const PresetRow& row = kPresets[preset - 1];
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
        rc.targetQuality = kDefaultQuality;
        rc.constQP = {28, 31, 25};
    }

    NV_ENC_CONFIG_HEVC& hevc = config->encodeCodecConfig.hevcConfig;
    hevc.chromaFormatIDC = 1;
    hevc.idrPeriod = config->gopLength;
    hevc.inputBitDepth = NV_ENC_BIT_DEPTH_8;
    hevc.outputBitDepth = NV_ENC_BIT_DEPTH_8;
}

NVENCSTATUS TranslateConfig(int preset, NV_ENC_TUNING_INFO tuning, const NV_ENC_CONFIG& config,
                            EncoderSettings* s) {
    const NV_ENC_CONFIG_HEVC& hevc = config.encodeCodecConfig.hevcConfig;
    const NV_ENC_RC_PARAMS& rc = config.rcParams;
    if (rc.version != 0 && rc.version != NV_ENC_RC_PARAMS_VER) {
        return NV_ENC_ERR_INVALID_VERSION;
    }
    // HEVC Main only: 8-bit 4:2:0 (0 leaves the choice to the encoder).
    if (hevc.chromaFormatIDC > 1) {
        return NV_ENC_ERR_UNSUPPORTED_PARAM;
    }
    if ((hevc.inputBitDepth != 0 && hevc.inputBitDepth != NV_ENC_BIT_DEPTH_8) ||
        (hevc.outputBitDepth != 0 && hevc.outputBitDepth != NV_ENC_BIT_DEPTH_8)) {
        return NV_ENC_ERR_UNSUPPORTED_PARAM;
    }
    if (config.frameIntervalP < 0 || config.frameIntervalP > kMaxBframes + 1 ||
        rc.lookaheadDepth > kMaxLookahead) {
        return NV_ENC_ERR_INVALID_PARAM;
    }

    const PresetRow& row = kPresets[preset - 1];
    s->x265Preset = row.x265Preset;
    s->zeroLatency = IsLowLatency(tuning);
    s->x265Params = s->zeroLatency ? row.lowLatencyParams : "";
    s->bframes = config.frameIntervalP > 1 ? config.frameIntervalP - 1 : 0;
    s->lookahead = rc.lookaheadDepth;

    // The IDR period wins over the GOP length, as in the hardware encoder; an
    // infinite one gives a single IDR; 0 leaves x265's default.
    uint32_t period = hevc.idrPeriod != 0 ? hevc.idrPeriod : config.gopLength;
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
            if (rc.constQP.qpIntra > kMaxQp || rc.constQP.qpInterP > kMaxQp ||
                rc.constQP.qpInterB > kMaxQp) {
                return NV_ENC_ERR_INVALID_PARAM;
            }
            s->rateControl = RateControl::ConstQp;
            s->qpIntra = static_cast<int>(rc.constQP.qpIntra);
            s->qpInterP = static_cast<int>(rc.constQP.qpInterP);
            s->qpInterB = static_cast<int>(rc.constQP.qpInterB);
            break;
        case NV_ENC_PARAMS_RC_VBR:
            if (rc.averageBitRate == 0) {
                if (rc.targetQuality > kMaxQp) {
                    return NV_ENC_ERR_INVALID_PARAM;
                }
                s->rateControl = RateControl::ConstQuality;
                s->quality = rc.targetQuality != 0 ? rc.targetQuality : kDefaultQuality;
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

bool X265SettingsFor(int preset, NV_ENC_TUNING_INFO tuning, X265Settings* out) {
    if (preset < 1 || preset > 7 || tuning < NV_ENC_TUNING_INFO_UNDEFINED ||
        tuning > NV_ENC_TUNING_INFO_ULTRA_HIGH_QUALITY || out == nullptr) {
        return false;
    }
    NV_ENC_CONFIG config = {};
    FillPresetConfig(preset, tuning, &config);
    EncoderSettings settings;
    if (TranslateConfig(preset, tuning, config, &settings) != NV_ENC_SUCCESS) {
        return false;
    }
    out->preset = settings.x265Preset;
    out->tune = settings.zeroLatency ? "zerolatency" : "";
    out->params = settings.x265Params;
    out->keyframeInterval = settings.keyframeInterval;
    out->crf =
        settings.rateControl == RateControl::ConstQuality ? static_cast<int>(settings.quality) : 0;
    out->frameThreads = settings.zeroLatency ? kMaxPicturesInFlight : 0;
    return true;
}

}  // namespace camfx::swenc
