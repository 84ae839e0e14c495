// The software HEVC encoder (libx265) behind the NVENC function table, for machines whose
// GPU has no hardware encoder, or that have no GPU. Its entry points carry names of their
// own so that one process can hold it beside the driver's encoder library; the loader in
// nvenc/ chooses between the two for each session.
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

}  // namespace camfx::swenc
