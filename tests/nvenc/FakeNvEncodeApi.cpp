#include "FakeNvEncodeApi.h"

#include <cstring>

#include "windows_shim.h"

namespace fakenvenc {

State& fake() {
    static State state;
    return state;
}

void reset() {
    fake() = State();
    fake().preset = lowLatencyPreset();
}

void answer(const std::string& function, NVENCSTATUS status, int skip, int count) {
    fake().scripts[function] = State::Script{skip, status, count};
}

int callCount(const std::string& function) {
    int count = 0;
    for (const std::string& call : fake().calls)
        count += call == function ? 1 : 0;
    return count;
}

std::vector<uint8_t> payloadFor(uint32_t frameIdx) {
    std::vector<uint8_t> bytes = {0x00, 0x00, 0x01, static_cast<uint8_t>(frameIdx),
                                  static_cast<uint8_t>(frameIdx >> 8)};
    bytes.resize(bytes.size() + frameIdx % 4, 0xA5);  // sizes differ from picture to picture
    return bytes;
}

NV_ENC_CONFIG lowLatencyPreset() {
    NV_ENC_CONFIG config;
    std::memset(&config, 0, sizeof(config));
    config.version = NV_ENC_CONFIG_VER;
    config.gopLength = 250;
    config.frameIntervalP = 1;
    config.rcParams.rateControlMode = NV_ENC_PARAMS_RC_CBR;
    config.rcParams.lookaheadDepth = 0;
    return config;
}

namespace {

// Records the call and gives its scripted status.
NVENCSTATUS enter(const char* function) {
    State& s = fake();
    s.calls.push_back(function);
    auto it = s.scripts.find(function);
    if (it == s.scripts.end())
        return NV_ENC_SUCCESS;
    if (it->second.skip > 0) {
        --it->second.skip;
        return NV_ENC_SUCCESS;
    }
    const NVENCSTATUS status = it->second.status;
    if (--it->second.count <= 0)
        s.scripts.erase(it);
    return status;
}

void* newHandle() {
    return reinterpret_cast<void*>(fake().nextHandle++);
}

void checkSession(void* encoder) {
    fake().sessionArguments.push_back(encoder);
    if (encoder != fake().sessionHandle)
        fake().misuse.push_back("call on an unknown session");
}

// enter() for a call on a session.
NVENCSTATUS enterOn(const char* function, void* encoder) {
    const NVENCSTATUS status = enter(function);
    checkSession(encoder);
    return status;
}

NVENCSTATUS NVENCAPI openEncodeSession(void*, uint32_t, void**) {
    return enter("nvEncOpenEncodeSession");
}

NVENCSTATUS NVENCAPI openEncodeSessionEx(NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS* params,
                                         void** encoder) {
    const NVENCSTATUS status = enter("nvEncOpenEncodeSessionEx");
    fake().openParams.push_back(*params);
    if (status == NV_ENC_SUCCESS)
        *encoder = fake().sessionHandle;
    return status;
}

NVENCSTATUS NVENCAPI getEncodeCaps(void* encoder, GUID codec, NV_ENC_CAPS_PARAM* caps, int* value) {
    const NVENCSTATUS status = enterOn("nvEncGetEncodeCaps", encoder);
    fake().capsParams.push_back(*caps);
    fake().capsCodecs.push_back(codec);
    if (caps->capsToQuery == NV_ENC_CAPS_ASYNC_ENCODE_SUPPORT)
        *value = fake().asyncCaps;
    return status;
}

NVENCSTATUS NVENCAPI getEncodePresetConfigEx(void* encoder, GUID codec, GUID preset,
                                             NV_ENC_TUNING_INFO tuning,
                                             NV_ENC_PRESET_CONFIG* config) {
    const NVENCSTATUS status = enterOn("nvEncGetEncodePresetConfigEx", encoder);
    fake().presetQueries.push_back(PresetQuery{codec, preset, tuning, *config});
    config->presetCfg = fake().preset;
    return status;
}

NVENCSTATUS NVENCAPI initializeEncoder(void* encoder, NV_ENC_INITIALIZE_PARAMS* params) {
    const NVENCSTATUS status = enterOn("nvEncInitializeEncoder", encoder);
    fake().initParams.push_back(*params);
    NV_ENC_CONFIG config;
    std::memset(&config, 0, sizeof(config));
    if (params->encodeConfig)
        config = *params->encodeConfig;
    fake().initConfigs.push_back(config);
    return status;
}

// The create call of an output buffer (bitstream or MV): records it and, when it succeeds,
// hands out a new live handle in params->*handle.
template <typename Params>
NVENCSTATUS createOutput(const char* function, void* encoder, Params* params,
                         NV_ENC_OUTPUT_PTR Params::*handle, std::vector<Params>& creates,
                         std::set<void*>& live) {
    const NVENCSTATUS status = enterOn(function, encoder);
    creates.push_back(*params);
    if (status != NV_ENC_SUCCESS)
        return status;
    params->*handle = newHandle();
    live.insert(params->*handle);
    creates.back() = *params;
    return status;
}

// The destroy call of an output buffer: records it, and a handle that is not live as misuse.
NVENCSTATUS destroyOutput(const char* function, void* encoder, NV_ENC_OUTPUT_PTR buffer,
                          std::vector<void*>& destroyed, std::set<void*>& live,
                          const char* unknown) {
    const NVENCSTATUS status = enterOn(function, encoder);
    destroyed.push_back(buffer);
    if (live.erase(buffer) == 0)
        fake().misuse.push_back(unknown);
    return status;
}

NVENCSTATUS NVENCAPI createBitstreamBuffer(void* encoder, NV_ENC_CREATE_BITSTREAM_BUFFER* params) {
    return createOutput("nvEncCreateBitstreamBuffer", encoder, params,
                        &NV_ENC_CREATE_BITSTREAM_BUFFER::bitstreamBuffer, fake().bitstreamCreates,
                        fake().liveBitstreams);
}

NVENCSTATUS NVENCAPI destroyBitstreamBuffer(void* encoder, NV_ENC_OUTPUT_PTR buffer) {
    return destroyOutput("nvEncDestroyBitstreamBuffer", encoder, buffer, fake().destroyedBitstreams,
                         fake().liveBitstreams, "destroy unknown bitstream");
}

NVENCSTATUS NVENCAPI createMVBuffer(void* encoder, NV_ENC_CREATE_MV_BUFFER* params) {
    return createOutput("nvEncCreateMVBuffer", encoder, params, &NV_ENC_CREATE_MV_BUFFER::mvBuffer,
                        fake().mvCreates, fake().liveMVBuffers);
}

NVENCSTATUS NVENCAPI destroyMVBuffer(void* encoder, NV_ENC_OUTPUT_PTR buffer) {
    return destroyOutput("nvEncDestroyMVBuffer", encoder, buffer, fake().destroyedMVBuffers,
                         fake().liveMVBuffers, "destroy unknown MV buffer");
}

NVENCSTATUS NVENCAPI encodePicture(void* encoder, NV_ENC_PIC_PARAMS* params) {
    const NVENCSTATUS status = enterOn("nvEncEncodePicture", encoder);
    State& s = fake();
    s.pictures.push_back(*params);
    if (params->encodePicFlags & NV_ENC_PIC_FLAG_EOS)
        return status;
    if (status != NV_ENC_SUCCESS && status != NV_ENC_ERR_NEED_MORE_INPUT)
        return status;
    if (s.mapped.count(params->inputBuffer) == 0)
        s.misuse.push_back("encode of an unmapped input");
    if (s.liveBitstreams.count(params->outputBitstream) == 0) {
        s.misuse.push_back("encode into an unknown bitstream");
        return status;
    }
    if (s.pending.count(params->outputBitstream) != 0)
        s.misuse.push_back("bitstream still busy");
    s.pending[params->outputBitstream] =
        State::Pending{payloadFor(params->frameIdx), params->inputTimeStamp, false};
    if (params->completionEvent)
        SetEvent(params->completionEvent);
    return status;
}

NVENCSTATUS NVENCAPI lockBitstream(void* encoder, NV_ENC_LOCK_BITSTREAM* params) {
    const NVENCSTATUS status = enterOn("nvEncLockBitstream", encoder);
    State& s = fake();
    s.locks.push_back(*params);
    if (status != NV_ENC_SUCCESS)
        return status;
    auto it = s.pending.find(params->outputBitstream);
    if (it == s.pending.end()) {
        s.misuse.push_back("lock of a buffer with no picture");
        return NV_ENC_ERR_INVALID_PARAM;
    }
    it->second.locked = true;
    params->bitstreamBufferPtr = it->second.bytes.data();
    params->bitstreamSizeInBytes = static_cast<uint32_t>(it->second.bytes.size());
    params->outputTimeStamp = it->second.timeStamp;
    params->pictureType = NV_ENC_PIC_TYPE_P;
    s.locks.back() = *params;
    return status;
}

NVENCSTATUS NVENCAPI unlockBitstream(void* encoder, NV_ENC_OUTPUT_PTR buffer) {
    const NVENCSTATUS status = enterOn("nvEncUnlockBitstream", encoder);
    State& s = fake();
    s.unlocked.push_back(buffer);
    if (status != NV_ENC_SUCCESS)
        return status;
    auto it = s.pending.find(buffer);
    if (it == s.pending.end() || !it->second.locked) {
        s.misuse.push_back("unlock of a buffer not locked");
    } else {
        s.pending.erase(it);
    }
    return status;
}

NVENCSTATUS NVENCAPI registerAsyncEvent(void* encoder, NV_ENC_EVENT_PARAMS* params) {
    const NVENCSTATUS status = enterOn("nvEncRegisterAsyncEvent", encoder);
    fake().registeredEvents.push_back(*params);
    return status;
}

NVENCSTATUS NVENCAPI unregisterAsyncEvent(void* encoder, NV_ENC_EVENT_PARAMS* params) {
    const NVENCSTATUS status = enterOn("nvEncUnregisterAsyncEvent", encoder);
    fake().unregisteredEvents.push_back(*params);
    return status;
}

NVENCSTATUS NVENCAPI mapInputResource(void* encoder, NV_ENC_MAP_INPUT_RESOURCE* params) {
    const NVENCSTATUS status = enterOn("nvEncMapInputResource", encoder);
    State& s = fake();
    s.maps.push_back(*params);
    if (status != NV_ENC_SUCCESS)
        return status;
    if (s.registered.count(params->registeredResource) == 0) {
        s.misuse.push_back("map of an unregistered resource");
        return NV_ENC_ERR_RESOURCE_NOT_REGISTERED;
    }
    params->mappedResource = newHandle();
    s.mapped[params->mappedResource] = params->registeredResource;
    s.maps.back() = *params;
    return status;
}

NVENCSTATUS NVENCAPI unmapInputResource(void* encoder, NV_ENC_INPUT_PTR mappedInput) {
    const NVENCSTATUS status = enterOn("nvEncUnmapInputResource", encoder);
    State& s = fake();
    s.unmapped.push_back(mappedInput);
    if (status != NV_ENC_SUCCESS)
        return status;
    if (s.mapped.erase(mappedInput) == 0)
        s.misuse.push_back("unmap of an input not mapped");
    return status;
}

NVENCSTATUS NVENCAPI registerResource(void* encoder, NV_ENC_REGISTER_RESOURCE* params) {
    const NVENCSTATUS status = enterOn("nvEncRegisterResource", encoder);
    State& s = fake();
    s.registrations.push_back(*params);
    if (status != NV_ENC_SUCCESS)
        return status;
    params->registeredResource = newHandle();
    s.registered[params->registeredResource] = params->resourceToRegister;
    s.registrations.back() = *params;
    return status;
}

NVENCSTATUS NVENCAPI unregisterResource(void* encoder, NV_ENC_REGISTERED_PTR resource) {
    const NVENCSTATUS status = enterOn("nvEncUnregisterResource", encoder);
    State& s = fake();
    s.unregistered.push_back(resource);
    if (s.registered.erase(resource) == 0)
        s.misuse.push_back("unregister of an unknown resource");
    return status;
}

NVENCSTATUS NVENCAPI destroyEncoder(void* encoder) {
    const NVENCSTATUS status = enterOn("nvEncDestroyEncoder", encoder);
    fake().destroyedSessions.push_back(encoder);
    return status;
}

}  // namespace
}  // namespace fakenvenc

using namespace fakenvenc;

extern "C" {

NVENCSTATUS NVENCAPI NvEncodeAPIGetMaxSupportedVersion(uint32_t* version) {
    fake().calls.push_back("NvEncodeAPIGetMaxSupportedVersion");
    if (fake().versionStatus != NV_ENC_SUCCESS)
        return fake().versionStatus;
    *version = fake().maxVersion;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI NvEncodeAPICreateInstance(NV_ENCODE_API_FUNCTION_LIST* list) {
    fake().calls.push_back("NvEncodeAPICreateInstance");
    if (fake().createInstanceStatus != NV_ENC_SUCCESS)
        return fake().createInstanceStatus;
    if (list->version != NV_ENCODE_API_FUNCTION_LIST_VER)
        return NV_ENC_ERR_INVALID_VERSION;
    if (!fake().omitOpenSession)
        list->nvEncOpenEncodeSession = openEncodeSession;
    list->nvEncOpenEncodeSessionEx = openEncodeSessionEx;
    list->nvEncGetEncodeCaps = getEncodeCaps;
    list->nvEncGetEncodePresetConfigEx = getEncodePresetConfigEx;
    list->nvEncInitializeEncoder = initializeEncoder;
    list->nvEncCreateBitstreamBuffer = createBitstreamBuffer;
    list->nvEncDestroyBitstreamBuffer = destroyBitstreamBuffer;
    list->nvEncCreateMVBuffer = createMVBuffer;
    list->nvEncDestroyMVBuffer = destroyMVBuffer;
    list->nvEncEncodePicture = encodePicture;
    list->nvEncLockBitstream = lockBitstream;
    list->nvEncUnlockBitstream = unlockBitstream;
    list->nvEncRegisterAsyncEvent = registerAsyncEvent;
    list->nvEncUnregisterAsyncEvent = unregisterAsyncEvent;
    list->nvEncMapInputResource = mapInputResource;
    list->nvEncUnmapInputResource = unmapInputResource;
    list->nvEncRegisterResource = registerResource;
    list->nvEncUnregisterResource = unregisterResource;
    list->nvEncDestroyEncoder = destroyEncoder;
    return NV_ENC_SUCCESS;
}

}  // extern "C"
