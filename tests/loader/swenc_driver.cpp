// The software encoder as a driver's encoder library would present it: a shared library
// exporting the two NVENC entry points. Its CUDA calls bind to the loading process.
#include "SoftwareEncoder.h"

extern "C" {

__attribute__((visibility("default"))) NVENCSTATUS NVENCAPI
NvEncodeAPIGetMaxSupportedVersion(uint32_t* version) {
    return camfx::swenc::GetMaxSupportedVersion(version);
}

__attribute__((visibility("default"))) NVENCSTATUS NVENCAPI
NvEncodeAPICreateInstance(NV_ENCODE_API_FUNCTION_LIST* list) {
    return camfx::swenc::CreateInstance(list);
}

}  // extern "C"
