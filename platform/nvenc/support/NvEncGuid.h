// GUIDs of the NVENC API compared as the API defines them: all sixteen bytes.
#pragma once

#include <cstring>

#include "nvEncodeAPI.h"

inline bool SameGuid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}
