// The NVENC entry points that NvEncoder calls, NvEncodeAPIGetMaxSupportedVersion and
// NvEncodeAPICreateInstance, defined here: each session goes to the driver's encoder library
// where one is loaded and opens the session, and to the software encoder everywhere else.
// One INFO line per session says which encoder records and, for the software encoder, why;
// a call that fails is told in an ERROR line with the encoder's own words, where it has any.
//
// The driver's library is tried once per process: libnvidia-encode.so.1 through the dynamic
// loader's search, only in a CUDA build made with the published API header, or whatever
// library CAMFX_NVENC_LIBRARY names (for tests and unusual installs; whoever names one
// vouches that it was built against the same declarations as camfx).
#pragma once

#include <cstdint>
#include <string>

#include "nvEncodeAPI.h"

namespace camfx::nvenc {

// What a candidate library of the driver's encoder offers.
struct DriverEncoder {
    bool usable = false;
    std::string library;      // as it was named to the loader; empty when none was tried
    uint32_t maxVersion = 0;  // its highest API version, major << 4 | minor
    std::string whyNot;       // when not usable: why the software encoder records instead
    NV_ENCODE_API_FUNCTION_LIST functions{};
};

// Loads `library` (a path, or a name for the loader's search) and checks its entry points
// and API version. A library found unusable is unloaded again.
DriverEncoder LoadDriverEncoder(const std::string& library);

// Receives the lines the loader writes, without level or newline: at Info, the one that names
// a session's encoder; at Error, what the encoder says of a call it failed. The default, also
// restored by null, writes Info lines to standard output and Error lines to standard error.
// Read without a lock.
enum class EncoderLogLevel { Info, Error };
using EncoderLogSink = void (*)(EncoderLogLevel level, const char* line);
void SetEncoderLogSink(EncoderLogSink sink);

// The encoders this build can record with, for --version.
std::string EncoderSupport();

// "12.2" for 0xC2.
std::string ApiVersionText(uint32_t version);

// The status's name, e.g. "NV_ENC_ERR_UNSUPPORTED_DEVICE".
std::string StatusName(NVENCSTATUS status);

// A session's rate control as its INFO line tells it: "constant quality 26",
// "4.0 Mbit/s, 1 s buffer".
std::string RateControlText(const NV_ENC_RC_PARAMS& rc);

}  // namespace camfx::nvenc
