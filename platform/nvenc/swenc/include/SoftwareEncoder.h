// The software H.264 (libx264), HEVC (libx265) and AV1 (SVT-AV1) encoders behind the NVENC function
// table, for machines whose GPU has no hardware encoder, or that have no GPU. Its entry points
// carry names of their own so that one process can hold it beside the driver's encoder library; the
// loader in nvenc/ chooses between the two for each session.
#pragma once

#include <cstdint>
#include <string>

#include "nvEncodeAPI.h"

namespace camfx::swenc {

// As NvEncodeAPIGetMaxSupportedVersion: the API version it implements, major << 4 | minor.
NVENCSTATUS GetMaxSupportedVersion(uint32_t* version);

// As NvEncodeAPICreateInstance: fills every entry of the list that the encoder wrapper calls.
NVENCSTATUS CreateInstance(NV_ENCODE_API_FUNCTION_LIST* functionList);

// What encodes in an initialised session, e.g. "libx265 3.5 (preset ultrafast, tune
// zerolatency), 1280x720 at 30/1 fps"; empty for an unknown or uninitialised session.
std::string DescribeSession(void* encoder);

// The libx265 version this encoder runs, e.g. "3.5+1-f0c1022b6".
std::string LibraryVersion();

// The library that encodes `codec` with its version: "libx265 3.5", "libx264 0.164.3095",
// "SVT-AV1 v1.4.1"; empty for a codec the software encoder lacks.
std::string EncoderName(const GUID& codec);

// The libx265 settings of an HEVC session of preset P1..P7 (`preset` 1 to 7) at `tuning`,
// with the preset's default rate control, in x265's own terms, so that a benchmark can
// give another libx265 front end the very same.
struct X265Settings {
    std::string preset;
    std::string tune;          // empty for none
    std::string params;        // further parameters, "name=value:...", or empty
    int keyframeInterval = 0;  // -1: one IDR at the start
    int crf = 0;               // constant quality; 0 for constant QP
    int frameThreads = 0;      // pictures in flight of a session with buffers enough; 0: x265's
};

// False for an unknown preset or tuning.
bool X265SettingsFor(int preset, NV_ENC_TUNING_INFO tuning, X265Settings* settings);

// The settings of a session of `codec` at preset P1..P7 (`preset` 1 to 7) and `tuning`, with
// the preset's default rate control, as FFmpeg's encoder for the same library takes them, so
// that a benchmark can run FFmpeg with the very same.
struct SoftwareSettings {
    std::string library;        // as EncoderName
    std::string ffmpegEncoder;  // "libx264", "libx265", "libsvtav1"
    std::string ffmpegOptions;  // the encoder's options, e.g. "-preset veryfast -tune ..."
    int quality = 0;            // constant quality on the codec's scale; 0 for constant QP
};

// False for a codec the software encoder lacks, an unknown preset or tuning.
bool SoftwareSettingsFor(const GUID& codec, int preset, NV_ENC_TUNING_INFO tuning,
                         SoftwareSettings* settings);

}  // namespace camfx::swenc
