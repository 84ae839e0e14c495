#include "EncoderLoader.h"

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "NvEncGuid.h"
#include "SoftwareEncoder.h"

namespace camfx::nvenc {
namespace {

constexpr uint32_t kBuildVersion = (NVENCAPI_MAJOR_VERSION << 4) | NVENCAPI_MINOR_VERSION;
constexpr const char* kDriverLibrary = "libnvidia-encode.so.1";

// The driver's own library only ever sees structures of the driver's layout, and only
// contexts of the real CUDA driver.
#if CAMFX_CUDA_FLAVOR && defined(CAMFX_NVENC_PUBLISHED_HEADER)
constexpr const char* kNotLookedFor = nullptr;
#elif CAMFX_CUDA_FLAVOR
constexpr const char* kNotLookedFor =
    "this build has camfx's own NVENC declarations, not the published API header, so it does "
    "not load the driver's encoder";
#else
constexpr const char* kNotLookedFor =
    "this is the host flavor, which does not load the driver's encoder";
#endif

void WriteLine(EncoderLogLevel level, const char* line) {
    std::FILE* stream = level == EncoderLogLevel::Error ? stderr : stdout;
    std::fprintf(stream, "%s\n", line);
    std::fflush(stream);
}

std::atomic<EncoderLogSink> g_sink{&WriteLine};

const DriverEncoder& Driver() {
    // Made once, never destroyed: no exit-time destructor runs beside the encoding thread.
    static const DriverEncoder* const driver = [] {
        const char* named = std::getenv("CAMFX_NVENC_LIBRARY");
        if (named != nullptr && *named != '\0')
            return new DriverEncoder(LoadDriverEncoder(named));
        if (kNotLookedFor != nullptr) {
            auto* none = new DriverEncoder;
            none->whyNot = kNotLookedFor;
            return none;
        }
        return new DriverEncoder(LoadDriverEncoder(kDriverLibrary));
    }();
    return *driver;
}

const NV_ENCODE_API_FUNCTION_LIST& Software() {
    static const NV_ENCODE_API_FUNCTION_LIST* const software = [] {
        auto* list = new NV_ENCODE_API_FUNCTION_LIST{};
        list->version = NV_ENCODE_API_FUNCTION_LIST_VER;
        swenc::CreateInstance(list);
        return list;
    }();
    return *software;
}

// A session handed to the wrapper: the encoder's own session behind the table it came from.
// A hardware session whose encoder lacks the codec asked for moves to the software encoder
// before the codec's first use; the wrapper sets a session up on one thread, so nothing else
// reads it meanwhile.
struct Session {
    const NV_ENCODE_API_FUNCTION_LIST* api;
    void* handle;
    bool software;
    std::string whyNotHardware;
    NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS opened;  // how it was opened, to open it again
};

// "H.264", "HEVC", "AV1" as the lines name them.
std::string CodecName(const GUID& codec) {
    if (SameGuid(codec, NV_ENC_CODEC_H264_GUID))
        return "H.264";
    if (SameGuid(codec, NV_ENC_CODEC_HEVC_GUID))
        return "HEVC";
    if (SameGuid(codec, NV_ENC_CODEC_AV1_GUID))
        return "AV1";
    return "an unknown codec";
}

// Whether the driver's session can encode `codec`, from the codecs it lists; a driver that
// lists none is taken at its word when the call comes.
bool DriverHasCodec(const Session& session, const GUID& codec) {
    const NV_ENCODE_API_FUNCTION_LIST& api = *session.api;
    uint32_t count = 0;
    if (api.nvEncGetEncodeGUIDCount == nullptr || api.nvEncGetEncodeGUIDs == nullptr ||
        api.nvEncGetEncodeGUIDCount(session.handle, &count) != NV_ENC_SUCCESS)
        return true;
    std::vector<GUID> codecs(count);
    uint32_t listed = 0;
    if (count == 0 ||
        api.nvEncGetEncodeGUIDs(session.handle, codecs.data(), count, &listed) != NV_ENC_SUCCESS)
        return true;
    codecs.resize(std::min(listed, count));
    return std::any_of(codecs.begin(), codecs.end(),
                       [&](const GUID& listedCodec) { return SameGuid(listedCodec, codec); });
}

std::mutex& RegistryMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}
std::map<void*, std::shared_ptr<Session>>& Registry() {
    static auto* sessions = new std::map<void*, std::shared_ptr<Session>>;
    return *sessions;
}

std::shared_ptr<Session> Find(void* encoder) {
    std::lock_guard<std::mutex> lock(RegistryMutex());
    auto it = Registry().find(encoder);
    return it == Registry().end() ? nullptr : it->second;
}

void* Register(std::shared_ptr<Session> session) {
    void* key = session.get();
    std::lock_guard<std::mutex> lock(RegistryMutex());
    Registry().emplace(key, std::move(session));
    return key;
}

void Announce(const Session& session, const NV_ENC_INITIALIZE_PARAMS& params) {
    // Without a configuration the session runs at the preset's own rate control.
    const std::string rateControl = params.encodeConfig != nullptr
                                        ? ", " + RateControlText(params.encodeConfig->rcParams)
                                        : std::string();
    std::string line = "Recording " + CodecName(params.encodeGUID) + " with ";
    if (session.software) {
        line += "the software encoder, " + swenc::DescribeSession(session.handle) + rateControl +
                ": " + session.whyNotHardware;
    } else {
        const DriverEncoder& driver = Driver();
        line += "the driver's NVENC encoder, " + driver.library + " (NVENC API " +
                ApiVersionText(kBuildVersion) + " in this build, " +
                ApiVersionText(driver.maxVersion) + " in the driver)" + rateControl;
    }
    g_sink.load()(EncoderLogLevel::Info, line.c_str());
}

// Passes a call's status on; a failure is told with what the encoder says of it.
NVENCSTATUS Told(const Session& session, NVENCSTATUS status) {
    if (status == NV_ENC_SUCCESS || status == NV_ENC_ERR_NEED_MORE_INPUT ||
        session.api->nvEncGetLastErrorString == nullptr)
        return status;
    const char* text = session.api->nvEncGetLastErrorString(session.handle);
    if (text != nullptr && *text != '\0') {
        const std::string line =
            std::string(session.software ? "The software encoder" : "The driver's NVENC encoder") +
            " failed (" + StatusName(status) + "): " + text;
        g_sink.load()(EncoderLogLevel::Error, line.c_str());
    }
    return status;
}

// Before a hardware session first uses `codec`: where its encoder lacks it (AV1 before the
// 40 series), the session goes to the software encoder instead, with that reason.
NVENCSTATUS EnsureCodec(Session& session, const GUID& codec) {
    if (session.software || DriverHasCodec(session, codec))
        return NV_ENC_SUCCESS;
    void* handle = nullptr;
    NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS params = session.opened;
    const NVENCSTATUS status = Software().nvEncOpenEncodeSessionEx(&params, &handle);
    if (status != NV_ENC_SUCCESS)
        return status;
    session.api->nvEncDestroyEncoder(session.handle);
    session.api = &Software();
    session.handle = handle;
    session.software = true;
    session.whyNotHardware = "the GPU's encoder has no " + CodecName(codec);
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI OpenEncodeSessionEx(NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS* params,
                                         void** encoder) {
    if (encoder == nullptr)
        return NV_ENC_ERR_INVALID_PTR;
    const DriverEncoder& driver = Driver();
    std::string whyNot = driver.whyNot;
    if (driver.usable) {
        void* handle = nullptr;
        const NVENCSTATUS status = driver.functions.nvEncOpenEncodeSessionEx(params, &handle);
        if (status == NV_ENC_SUCCESS) {
            *encoder = Register(
                std::make_shared<Session>(Session{&driver.functions, handle, false, {}, *params}));
            return NV_ENC_SUCCESS;
        }
        // A refused session is still the caller's to destroy.
        if (handle != nullptr && driver.functions.nvEncDestroyEncoder != nullptr)
            driver.functions.nvEncDestroyEncoder(handle);
        whyNot = "the hardware encoder refused the session (" + StatusName(status) + ")";
    }
    void* handle = nullptr;
    const NVENCSTATUS status = Software().nvEncOpenEncodeSessionEx(params, &handle);
    if (status != NV_ENC_SUCCESS)
        return status;
    *encoder =
        Register(std::make_shared<Session>(Session{&Software(), handle, true, whyNot, *params}));
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI OpenEncodeSession(void* device, uint32_t deviceType, void** encoder) {
    NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS params{};
    params.version = NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS_VER;
    params.device = device;
    params.deviceType = static_cast<NV_ENC_DEVICE_TYPE>(deviceType);
    params.apiVersion = NVENCAPI_VERSION;
    return OpenEncodeSessionEx(&params, encoder);
}

NVENCSTATUS NVENCAPI GetEncodeCaps(void* encoder, GUID codec, NV_ENC_CAPS_PARAM* caps, int* value) {
    const std::shared_ptr<Session> session = Find(encoder);
    if (!session)
        return NV_ENC_ERR_INVALID_PTR;
    if (const NVENCSTATUS status = EnsureCodec(*session, codec))
        return status;
    return Told(*session, session->api->nvEncGetEncodeCaps(session->handle, codec, caps, value));
}

NVENCSTATUS NVENCAPI GetEncodePresetConfigEx(void* encoder, GUID codec, GUID preset,
                                             NV_ENC_TUNING_INFO tuning,
                                             NV_ENC_PRESET_CONFIG* presetConfig) {
    const std::shared_ptr<Session> session = Find(encoder);
    if (!session)
        return NV_ENC_ERR_INVALID_PTR;
    if (const NVENCSTATUS status = EnsureCodec(*session, codec))
        return status;
    return Told(*session, session->api->nvEncGetEncodePresetConfigEx(session->handle, codec, preset,
                                                                     tuning, presetConfig));
}

NVENCSTATUS NVENCAPI InitializeEncoder(void* encoder, NV_ENC_INITIALIZE_PARAMS* params) {
    const std::shared_ptr<Session> session = Find(encoder);
    if (!session)
        return NV_ENC_ERR_INVALID_PTR;
    if (params != nullptr) {
        if (const NVENCSTATUS status = EnsureCodec(*session, params->encodeGUID))
            return status;
    }
    const NVENCSTATUS status = session->api->nvEncInitializeEncoder(session->handle, params);
    if (status == NV_ENC_SUCCESS && params != nullptr)
        Announce(*session, *params);
    return Told(*session, status);
}

NVENCSTATUS NVENCAPI DestroyEncoder(void* encoder) {
    std::shared_ptr<Session> session;
    {
        std::lock_guard<std::mutex> lock(RegistryMutex());
        auto it = Registry().find(encoder);
        if (it == Registry().end())
            return NV_ENC_ERR_INVALID_PTR;
        session = std::move(it->second);
        Registry().erase(it);
    }
    return session->api->nvEncDestroyEncoder(session->handle);
}

const char* NVENCAPI GetLastErrorString(void* encoder) {
    const std::shared_ptr<Session> session = Find(encoder);
    if (!session || session->api->nvEncGetLastErrorString == nullptr)
        return "";
    return session->api->nvEncGetLastErrorString(session->handle);
}

// Every other entry passes the call on to the session's own encoder, by the entry's name.
template <typename Entry>
struct Forward;
template <typename... Args>
struct Forward<NVENCSTATUS(NVENCAPI*)(void*, Args...)> {
    using Entry = NVENCSTATUS(NVENCAPI*)(void*, Args...);
    template <Entry NV_ENCODE_API_FUNCTION_LIST::*entry>
    static NVENCSTATUS NVENCAPI Call(void* encoder, Args... args) {
        const std::shared_ptr<Session> session = Find(encoder);
        if (!session)
            return NV_ENC_ERR_INVALID_PTR;
        const Entry call = session->api->*entry;
        return call != nullptr ? Told(*session, call(session->handle, args...))
                               : NV_ENC_ERR_UNIMPLEMENTED;
    }
};

#define CAMFX_FORWARD(list, name) \
    (list)->name = &Forward<decltype((list)->name)>::Call<&NV_ENCODE_API_FUNCTION_LIST::name>

}  // namespace

DriverEncoder LoadDriverEncoder(const std::string& library) {
    DriverEncoder driver;
    driver.library = library;
    void* module = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        const char* error = dlerror();
        driver.whyNot = "cannot load " + library + ": " + (error ? error : "unknown error");
        return driver;
    }
    using GetMaxSupportedVersion = NVENCSTATUS(NVENCAPI*)(uint32_t*);
    using CreateInstance = NVENCSTATUS(NVENCAPI*)(NV_ENCODE_API_FUNCTION_LIST*);
    auto getMaxSupportedVersion = reinterpret_cast<GetMaxSupportedVersion>(
        dlsym(module, "NvEncodeAPIGetMaxSupportedVersion"));
    auto createInstance =
        reinterpret_cast<CreateInstance>(dlsym(module, "NvEncodeAPICreateInstance"));
    NVENCSTATUS status = NV_ENC_SUCCESS;
    if (getMaxSupportedVersion == nullptr || createInstance == nullptr) {
        driver.whyNot = library + " lacks the entry point " +
                        (getMaxSupportedVersion == nullptr ? "NvEncodeAPIGetMaxSupportedVersion"
                                                           : "NvEncodeAPICreateInstance");
    } else if ((status = getMaxSupportedVersion(&driver.maxVersion)) != NV_ENC_SUCCESS) {
        driver.whyNot =
            library + ": NvEncodeAPIGetMaxSupportedVersion failed (" + StatusName(status) + ")";
    } else if (driver.maxVersion < kBuildVersion) {
        driver.whyNot = "the driver supports NVENC API " + ApiVersionText(driver.maxVersion) +
                        ", this build needs " + ApiVersionText(kBuildVersion);
    } else {
        driver.functions.version = NV_ENCODE_API_FUNCTION_LIST_VER;
        status = createInstance(&driver.functions);
        if (status != NV_ENC_SUCCESS) {
            driver.whyNot =
                library + ": NvEncodeAPICreateInstance failed (" + StatusName(status) + ")";
        } else if (driver.functions.nvEncOpenEncodeSessionEx == nullptr) {
            driver.whyNot = library + " offers no nvEncOpenEncodeSessionEx";
        } else {
            driver.usable = true;
            return driver;  // stays loaded for the rest of the process
        }
    }
    driver.functions = NV_ENCODE_API_FUNCTION_LIST{};
    dlclose(module);
    return driver;
}

std::string EncoderSupport() {
    const std::string software = "HEVC with " + swenc::EncoderName(NV_ENC_CODEC_HEVC_GUID) +
                                 ", H.264 with " + swenc::EncoderName(NV_ENC_CODEC_H264_GUID) +
                                 ", AV1 with " + swenc::EncoderName(NV_ENC_CODEC_AV1_GUID);
    if (kNotLookedFor != nullptr)
        return "HEVC, H.264 and AV1 in software: " + software + " (" + kNotLookedFor + ")";
    return std::string("HEVC, H.264 and AV1 on the driver's NVENC encoder ") + kDriverLibrary +
           " (NVENC API " + ApiVersionText(kBuildVersion) +
           " or later) where the GPU has the codec, else in software: " + software;
}

void SetEncoderLogSink(EncoderLogSink sink) {
    g_sink.store(sink != nullptr ? sink : &WriteLine);
}

std::string ApiVersionText(uint32_t version) {
    return std::to_string(version >> 4) + "." + std::to_string(version & 0xF);
}

std::string RateControlText(const NV_ENC_RC_PARAMS& rc) {
    const auto megabits = [](uint32_t bits) {
        char text[32];
        std::snprintf(text, sizeof text, "%.1f Mbit/s", bits / 1e6);
        return std::string(text);
    };
    switch (rc.rateControlMode) {
        case NV_ENC_PARAMS_RC_CONSTQP:
            return "constant QP " + std::to_string(rc.constQP.qpInterP);
        case NV_ENC_PARAMS_RC_VBR:
            if (rc.averageBitRate == 0) {
                return rc.targetQuality != 0
                           ? "constant quality " + std::to_string(rc.targetQuality)
                           : std::string("constant quality of the encoder's choosing");
            }
            return megabits(rc.averageBitRate) + " on average" +
                   (rc.maxBitRate != 0 ? ", " + megabits(rc.maxBitRate) + " at most" : "");
        case NV_ENC_PARAMS_RC_CBR: {
            if (rc.vbvBufferSize == 0 || rc.averageBitRate == 0)
                return megabits(rc.averageBitRate);
            char buffer[32];
            std::snprintf(buffer, sizeof buffer, "%.3g s buffer",
                          double(rc.vbvBufferSize) / rc.averageBitRate);
            return megabits(rc.averageBitRate) + ", " + buffer;
        }
        default:
            return "rate control " + std::to_string(int(rc.rateControlMode));
    }
}

std::string StatusName(NVENCSTATUS status) {
    switch (status) {
#define CAMFX_STATUS(name) \
    case name:             \
        return #name;
        CAMFX_STATUS(NV_ENC_SUCCESS)
        CAMFX_STATUS(NV_ENC_ERR_NO_ENCODE_DEVICE)
        CAMFX_STATUS(NV_ENC_ERR_UNSUPPORTED_DEVICE)
        CAMFX_STATUS(NV_ENC_ERR_INVALID_ENCODERDEVICE)
        CAMFX_STATUS(NV_ENC_ERR_INVALID_DEVICE)
        CAMFX_STATUS(NV_ENC_ERR_DEVICE_NOT_EXIST)
        CAMFX_STATUS(NV_ENC_ERR_INVALID_PTR)
        CAMFX_STATUS(NV_ENC_ERR_INVALID_EVENT)
        CAMFX_STATUS(NV_ENC_ERR_INVALID_PARAM)
        CAMFX_STATUS(NV_ENC_ERR_INVALID_CALL)
        CAMFX_STATUS(NV_ENC_ERR_OUT_OF_MEMORY)
        CAMFX_STATUS(NV_ENC_ERR_ENCODER_NOT_INITIALIZED)
        CAMFX_STATUS(NV_ENC_ERR_UNSUPPORTED_PARAM)
        CAMFX_STATUS(NV_ENC_ERR_LOCK_BUSY)
        CAMFX_STATUS(NV_ENC_ERR_NOT_ENOUGH_BUFFER)
        CAMFX_STATUS(NV_ENC_ERR_INVALID_VERSION)
        CAMFX_STATUS(NV_ENC_ERR_MAP_FAILED)
        CAMFX_STATUS(NV_ENC_ERR_NEED_MORE_INPUT)
        CAMFX_STATUS(NV_ENC_ERR_ENCODER_BUSY)
        CAMFX_STATUS(NV_ENC_ERR_EVENT_NOT_REGISTERD)
        CAMFX_STATUS(NV_ENC_ERR_GENERIC)
        CAMFX_STATUS(NV_ENC_ERR_INCOMPATIBLE_CLIENT_KEY)
        CAMFX_STATUS(NV_ENC_ERR_UNIMPLEMENTED)
        CAMFX_STATUS(NV_ENC_ERR_RESOURCE_REGISTER_FAILED)
        CAMFX_STATUS(NV_ENC_ERR_RESOURCE_NOT_REGISTERED)
        CAMFX_STATUS(NV_ENC_ERR_RESOURCE_NOT_MAPPED)
        CAMFX_STATUS(NV_ENC_ERR_NEED_MORE_OUTPUT)
#undef CAMFX_STATUS
    }
    return "NVENC status " + std::to_string(static_cast<int>(status));
}

}  // namespace camfx::nvenc

extern "C" {

NVENCSTATUS NVENCAPI NvEncodeAPIGetMaxSupportedVersion(uint32_t* version) {
    using namespace camfx::nvenc;
    if (version == nullptr)
        return NV_ENC_ERR_INVALID_PTR;
    uint32_t software = 0;
    camfx::swenc::GetMaxSupportedVersion(&software);
    const DriverEncoder& driver = Driver();
    *version = std::max(software, driver.usable ? driver.maxVersion : 0u);
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI NvEncodeAPICreateInstance(NV_ENCODE_API_FUNCTION_LIST* list) {
    using namespace camfx::nvenc;
    if (list == nullptr)
        return NV_ENC_ERR_INVALID_PTR;
    if (list->version != NV_ENCODE_API_FUNCTION_LIST_VER)
        return NV_ENC_ERR_INVALID_VERSION;
    Driver();  // the choice of library is made once, before any session
    list->nvEncOpenEncodeSession = &OpenEncodeSession;
    list->nvEncOpenEncodeSessionEx = &OpenEncodeSessionEx;
    list->nvEncInitializeEncoder = &InitializeEncoder;
    list->nvEncDestroyEncoder = &DestroyEncoder;
    list->nvEncGetEncodeCaps = &GetEncodeCaps;
    list->nvEncGetEncodePresetConfigEx = &GetEncodePresetConfigEx;
    CAMFX_FORWARD(list, nvEncGetEncodeGUIDCount);
    CAMFX_FORWARD(list, nvEncGetEncodeGUIDs);
    CAMFX_FORWARD(list, nvEncCreateBitstreamBuffer);
    CAMFX_FORWARD(list, nvEncDestroyBitstreamBuffer);
    CAMFX_FORWARD(list, nvEncEncodePicture);
    CAMFX_FORWARD(list, nvEncLockBitstream);
    CAMFX_FORWARD(list, nvEncUnlockBitstream);
    CAMFX_FORWARD(list, nvEncRegisterAsyncEvent);
    CAMFX_FORWARD(list, nvEncUnregisterAsyncEvent);
    CAMFX_FORWARD(list, nvEncMapInputResource);
    CAMFX_FORWARD(list, nvEncUnmapInputResource);
    CAMFX_FORWARD(list, nvEncRegisterResource);
    CAMFX_FORWARD(list, nvEncUnregisterResource);
    CAMFX_FORWARD(list, nvEncCreateMVBuffer);
    CAMFX_FORWARD(list, nvEncDestroyMVBuffer);
    list->nvEncGetLastErrorString = &GetLastErrorString;
    return NV_ENC_SUCCESS;
}

}  // extern "C"
