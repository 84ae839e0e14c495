// Stand-ins for the driver's encoder library that the loader must turn down, one build of this
// file each: FAKE_DRIVER_BARE exports no entry point, FAKE_DRIVER_VERSION sets the highest API
// version reported, and FAKE_DRIVER_REFUSES makes every session open fail with that status.
#include "nvEncodeAPI.h"

#ifdef FAKE_DRIVER_BARE
extern "C" int camfxFakeDriverWithoutEntryPoints() {
    return 1;
}
#else
namespace {

NVENCSTATUS NVENCAPI RefuseSession(NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS*, void** encoder) {
    *encoder = nullptr;
    return static_cast<NVENCSTATUS>(FAKE_DRIVER_REFUSES);
}

}  // namespace

extern "C" {

NVENCSTATUS NVENCAPI NvEncodeAPIGetMaxSupportedVersion(uint32_t* version) {
    *version = FAKE_DRIVER_VERSION;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI NvEncodeAPICreateInstance(NV_ENCODE_API_FUNCTION_LIST* list) {
    if (list->version != NV_ENCODE_API_FUNCTION_LIST_VER)
        return NV_ENC_ERR_INVALID_VERSION;
    list->nvEncOpenEncodeSessionEx = &RefuseSession;
    return NV_ENC_SUCCESS;
}

}  // extern "C"
#endif
