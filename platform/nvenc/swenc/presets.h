// The software encoder's preset table and the translation of an NVENC configuration
// into libx265 settings.
#pragma once

#ifndef CAMFX_SWENC_INTERNAL
#error "presets.h is private to camfx_nvenc_sw"
#endif

#include "nvEncodeAPI.h"
#include "picture_encoder.h"

namespace camfx::swenc {

// Quality used when a configuration asks for constant quality without a target. 26 rather
// than libx265's 28: the swirled mosaic, the hardest picture the viewer shows, then keeps
// 30 dB (28 gave 29.8 dB) for about 8% more encoding time.
constexpr int kDefaultQuality = 26;
// The same for libx264 (CRF) and SVT-AV1 (CRF, 0-63); see the table in presets.cpp.
constexpr int kDefaultQualityH264 = 26;
// SVT-AV1 at 40 left single swirled pictures at 29.96 dB on a loaded machine; 36 gives margin.
constexpr int kDefaultQualityAv1 = 36;

// Most pictures an encoder works on at once (libx265's frame threads, SVT-AV1's pipeline) in a
// low-latency session whose caller allows that many in flight; see the preset table for the
// measurements.
constexpr int kMaxPicturesInFlight = 3;

// 1 to 7 for NV_ENC_PRESET_P1_GUID .. P7, 0 for any other GUID.
int PresetNumber(const GUID& preset);

bool IsLowLatency(NV_ENC_TUNING_INFO tuning);

// The codec an encode GUID names; false for one the software encoder lacks.
bool CodecFor(const GUID& guid, Codec* codec);

// Fills config (all but its version word) with the table's configuration of `codec` for
// preset number 1..7 and a valid tuning.
void FillPresetConfig(Codec codec, int preset, NV_ENC_TUNING_INFO tuning, NV_ENC_CONFIG* config);

// Translates a configuration, read through the codec's own member of the codec union, into
// encoder settings; NV_ENC_SUCCESS or the status for the first field the software encoder
// cannot honour.
NVENCSTATUS TranslateConfig(Codec codec, int preset, NV_ENC_TUNING_INFO tuning,
                            const NV_ENC_CONFIG& config, EncoderSettings* settings);

}  // namespace camfx::swenc
