// The NVENC entry points and function table, backed by libx264 (H.264 High), libx265 (HEVC
// Main) and SVT-AV1 (AV1 Main), from NV12 pictures in CUDA device memory. Synchronous only
// (no asynchronous-encode capability). Submission copies the picture into the library,
// which may keep several pictures in flight;
// "need more input" answers a submission whose own access unit is not ready yet.
//
// Every handle the API hands out (session, registration, mapping, bitstream buffer)
// is an object owned here and looked up before use, so an unknown or stale handle is
// answered with a status instead of being dereferenced.

#include <cuda.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "CudaContextGuard.h"
#include "NvEncGuid.h"
#include "SoftwareEncoder.h"
#include "hevc_encoder.h"
#include "nvEncodeAPI.h"
#include "picture_encoder.h"
#include "presets.h"

namespace camfx::swenc {
namespace {

// The API version this encoder implements, as major << 4 | minor.
constexpr uint32_t kMaxSupportedVersion = (NVENCAPI_MAJOR_VERSION << 4) | NVENCAPI_MINOR_VERSION;
// HEVC level 6.2's largest picture side.
constexpr uint32_t kMaxSide = 8192;

struct Registration {
    CUdeviceptr pointer = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t pitch = 0;
    NV_ENC_BUFFER_FORMAT format = NV_ENC_BUFFER_FORMAT_UNDEFINED;
};

struct Mapping {
    Registration* registration = nullptr;
};

// A bitstream buffer goes Idle → Pending (its picture is submitted) → Ready (it holds
// that picture's access unit) → Locked → Idle at unlock.
struct Bitstream {
    enum class State { Idle, Pending, Ready, Locked } state = State::Idle;
    AccessUnit unit;
};

// What the caller said about a submitted picture, returned with its access unit.
struct PictureInfo {
    uint64_t timeStamp = 0;
    uint64_t duration = 0;
    uint32_t frameIdx = 0;
};

struct Session {
    std::mutex mutex;
    CUcontext context = nullptr;
    bool initialized = false;
    uint32_t width = 0;
    uint32_t height = 0;
    bool pictureTypeDecision = true;
    bool lowLatency = false;  // the library's real-time mode: no B pictures, no lookahead
    std::unique_ptr<PictureEncoder> encoder;
    std::string description;  // what encodes, once initialised
    std::string lastError;    // why the last failing call failed, where more is known

    std::map<void*, std::unique_ptr<Registration>> registrations;
    std::map<void*, std::unique_ptr<Mapping>> mappings;
    std::map<void*, std::unique_ptr<Bitstream>> bitstreams;
    bool ended = false;  // an end of stream came after the last picture

    // Buffers of submitted pictures in submission order, waiting for access units;
    // the library returns those in decode order, one per picture, so the k-th unit belongs
    // in the k-th buffer. A null entry is a buffer destroyed while it waited.
    std::deque<Bitstream*> waiting;
    std::deque<AccessUnit> produced;
    std::map<int64_t, PictureInfo> inFlight;  // keyed by the counter given to the library
    int64_t nextPicture = 0;

    // Host copy of the current picture: planar 4:2:0 for the library, and the interleaved
    // chroma as it arrives.
    std::vector<uint8_t> planes;
    std::vector<uint8_t> interleaved;
};

// Made once and never destroyed: a process that exits while a thread is inside a session
// must not have the session torn down under it.
std::mutex& g_sessionsMutex = *new std::mutex;
std::map<void*, std::unique_ptr<Session>>& g_sessions =
    *new std::map<void*, std::unique_ptr<Session>>;

// The session behind a handle, locked for the duration of one call, or empty.
class SessionLock {
  public:
    // An API call starts with no error text, so a failure that sets none is not told with
    // the reason of an earlier one. Reading the text or the description keeps it.
    enum class LastError { Clear, Keep };

    explicit SessionLock(void* handle, LastError lastError = LastError::Clear) {
        std::lock_guard<std::mutex> registry(g_sessionsMutex);
        auto it = g_sessions.find(handle);
        if (it != g_sessions.end()) {
            m_session = it->second.get();
            m_lock = std::unique_lock<std::mutex>(m_session->mutex);
            if (lastError == LastError::Clear) {
                m_session->lastError.clear();
            }
        }
    }
    Session* operator->() const { return m_session; }
    Session& operator*() const { return *m_session; }
    explicit operator bool() const { return m_session != nullptr; }

  private:
    Session* m_session = nullptr;
    std::unique_lock<std::mutex> m_lock;
};

// The checks every entry makes first: a null structure or a session that is not live is
// NV_ENC_ERR_INVALID_PTR, a structure of another version NV_ENC_ERR_INVALID_VERSION.
template <typename Params>
NVENCSTATUS Admit(const SessionLock& s, const Params* params, uint32_t version) {
    if (!params || !s) {
        return NV_ENC_ERR_INVALID_PTR;
    }
    return params->version == version ? NV_ENC_SUCCESS : NV_ENC_ERR_INVALID_VERSION;
}

template <typename T>
T* Find(std::map<void*, std::unique_ptr<T>>& objects, void* handle) {
    auto it = objects.find(handle);
    return it == objects.end() ? nullptr : it->second.get();
}

// The object a handle names in a live session: NV_ENC_ERR_INVALID_PTR without a session or
// a handle, `unknown` for a handle the session does not hold.
template <typename T>
NVENCSTATUS Lookup(const SessionLock& s, std::map<void*, std::unique_ptr<T>> Session::*objects,
                   void* handle, NVENCSTATUS unknown, T** found) {
    if (!s || !handle) {
        return NV_ENC_ERR_INVALID_PTR;
    }
    *found = Find((*s).*objects, handle);
    return *found ? NV_ENC_SUCCESS : unknown;
}

// Keeps a new object in the session; its address is the handle the caller gets.
template <typename T>
void* Keep(std::map<void*, std::unique_ptr<T>>& objects, std::unique_ptr<T> object) {
    void* handle = object.get();
    objects.emplace(handle, std::move(object));
    return handle;
}

// Gives waiting buffers the access units produced so far, in order.
void Pair(Session& s) {
    while (!s.waiting.empty() && !s.produced.empty()) {
        Bitstream* buffer = s.waiting.front();
        s.waiting.pop_front();
        if (buffer) {
            buffer->unit = std::move(s.produced.front());
            buffer->state = Bitstream::State::Ready;
        } else {
            s.inFlight.erase(s.produced.front().pts);
        }
        s.produced.pop_front();
    }
}

// Makes every submitted picture's output ready: drains the library, which then starts a
// new stream (headers and a key frame) with the next picture. A picture it never
// returned, which it should not do, leaves its buffer empty rather than shifting the
// later pictures into the wrong buffers.
void Flush(Session& s) {
    if (s.encoder) {
        s.encoder->Drain(s.produced);
    }
    Pair(s);
    while (!s.waiting.empty()) {
        Bitstream* buffer = s.waiting.front();
        s.waiting.pop_front();
        if (buffer) {
            buffer->unit = AccessUnit{};
            buffer->unit.pts = -1;
            buffer->state = Bitstream::State::Ready;
        }
    }
    s.produced.clear();
}

// A CUDA call that failed for the session: its result named in the session's last error.
NVENCSTATUS CudaFailure(Session& s, const char* call, CUresult result) {
    const char* name = nullptr;
    cuGetErrorName(result, &name);
    s.lastError = std::string(call) + " failed: " +
                  (name ? name : "CUresult " + std::to_string(static_cast<int>(result)));
    return NV_ENC_ERR_GENERIC;
}

// Copies the mapped NV12 picture from device memory into the session's planar host
// picture. In the host flavor "device" memory is host memory and the copies are plain.
NVENCSTATUS FetchPicture(Session& s, const Registration& r, PlanarPicture* picture) {
    const size_t w = s.width;
    const size_t h = s.height;
    const size_t cw = w / 2;
    const size_t ch = h / 2;
    s.planes.resize(w * h + 2 * cw * ch);
    s.interleaved.resize(w * ch);

    CudaContextGuard context(s.context);
    if (!context.pushed()) {
        return CudaFailure(s, "cuCtxPushCurrent of the session's context", context.pushResult());
    }
    CUDA_MEMCPY2D copy;
    std::memset(&copy, 0, sizeof(copy));
    copy.srcMemoryType = CU_MEMORYTYPE_DEVICE;
    copy.srcDevice = r.pointer;
    copy.srcPitch = r.pitch;
    copy.dstMemoryType = CU_MEMORYTYPE_HOST;
    copy.dstHost = s.planes.data();
    copy.dstPitch = w;
    copy.WidthInBytes = w;
    copy.Height = h;
    // The synchronous copy runs on the legacy default stream, after the work already
    // queued on the caller's streams (the copies that filled this buffer).
    CUresult result = cuMemcpy2D(&copy);
    if (result == CUDA_SUCCESS) {
        // The chroma plane follows the luma rows of the registered height.
        copy.srcDevice = r.pointer + static_cast<CUdeviceptr>(r.pitch) * r.height;
        copy.dstHost = s.interleaved.data();
        copy.Height = ch;
        result = cuMemcpy2D(&copy);
    }
    context.pop();
    if (result != CUDA_SUCCESS) {
        return CudaFailure(s, "cuMemcpy2D of the input picture", result);
    }

    uint8_t* u = s.planes.data() + w * h;
    uint8_t* v = u + cw * ch;
    for (size_t y = 0; y < ch; ++y) {
        const uint8_t* row = s.interleaved.data() + y * w;
        uint8_t* uRow = u + y * cw;
        uint8_t* vRow = v + y * cw;
        for (size_t x = 0; x < cw; ++x) {
            uRow[x] = row[2 * x];
            vRow[x] = row[2 * x + 1];
        }
    }
    picture->planes[0] = s.planes.data();
    picture->planes[1] = u;
    picture->planes[2] = v;
    picture->pitches[0] = static_cast<int>(w);
    picture->pitches[1] = static_cast<int>(cw);
    picture->pitches[2] = static_cast<int>(cw);
    return NV_ENC_SUCCESS;
}

NVENCSTATUS OpenSession(void* device, uint32_t deviceType, void** encoder) {
    if (!encoder) {
        return NV_ENC_ERR_INVALID_PTR;
    }
    if (deviceType != NV_ENC_DEVICE_TYPE_CUDA) {
        return NV_ENC_ERR_UNSUPPORTED_DEVICE;
    }
    if (!device) {
        return NV_ENC_ERR_INVALID_DEVICE;
    }
    auto session = std::make_unique<Session>();
    session->context = static_cast<CUcontext>(device);
    void* handle = session.get();
    std::lock_guard<std::mutex> registry(g_sessionsMutex);
    g_sessions.emplace(handle, std::move(session));
    *encoder = handle;
    return NV_ENC_SUCCESS;
}

// ---- entry points of the function table --------------------------------------------

NVENCSTATUS NVENCAPI OpenEncodeSession(void* device, uint32_t deviceType, void** encoder) {
    return OpenSession(device, deviceType, encoder);
}

NVENCSTATUS NVENCAPI OpenEncodeSessionEx(NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS* params,
                                         void** encoder) {
    if (!params || !encoder) {
        return NV_ENC_ERR_INVALID_PTR;
    }
    if (params->version != NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS_VER ||
        params->apiVersion != NVENCAPI_VERSION) {
        return NV_ENC_ERR_INVALID_VERSION;
    }
    return OpenSession(params->device, params->deviceType, encoder);
}

NVENCSTATUS NVENCAPI GetEncodeCaps(void* encoder, GUID codec, NV_ENC_CAPS_PARAM* caps, int* value) {
    if (!caps || !value) {
        return NV_ENC_ERR_INVALID_PTR;
    }
    *value = 0;
    SessionLock s(encoder);
    if (!s) {
        return NV_ENC_ERR_INVALID_PTR;
    }
    if (caps->version != NV_ENC_CAPS_PARAM_VER) {
        return NV_ENC_ERR_INVALID_VERSION;
    }
    Codec known;
    if (!CodecFor(codec, &known)) {
        return NV_ENC_ERR_UNSUPPORTED_PARAM;
    }
    switch (caps->capsToQuery) {
        case NV_ENC_CAPS_ASYNC_ENCODE_SUPPORT:
            *value = 0;  // as the Linux driver reports: the caller runs synchronously
            return NV_ENC_SUCCESS;
        case NV_ENC_CAPS_WIDTH_MAX:
        case NV_ENC_CAPS_HEIGHT_MAX:
            *value = static_cast<int>(kMaxSide);
            return NV_ENC_SUCCESS;
        default:
            return NV_ENC_ERR_UNSUPPORTED_PARAM;
    }
}

// The codecs every session offers, in the order GetEncodeGUIDs lists them.
const GUID* const kCodecs[] = {&NV_ENC_CODEC_H264_GUID, &NV_ENC_CODEC_HEVC_GUID,
                               &NV_ENC_CODEC_AV1_GUID};
constexpr uint32_t kCodecCount = sizeof(kCodecs) / sizeof(kCodecs[0]);

NVENCSTATUS NVENCAPI GetEncodeGUIDCount(void* encoder, uint32_t* count) {
    SessionLock s(encoder);
    if (!s || !count) {
        return NV_ENC_ERR_INVALID_PTR;
    }
    *count = kCodecCount;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI GetEncodeGUIDs(void* encoder, GUID* guids, uint32_t size, uint32_t* count) {
    SessionLock s(encoder);
    if (!s || !guids || !count) {
        return NV_ENC_ERR_INVALID_PTR;
    }
    if (size < kCodecCount) {
        return NV_ENC_ERR_INVALID_PARAM;
    }
    for (uint32_t i = 0; i < kCodecCount; ++i) {
        guids[i] = *kCodecs[i];
    }
    *count = kCodecCount;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI GetEncodePresetConfigEx(void* encoder, GUID codec, GUID preset,
                                             NV_ENC_TUNING_INFO tuning,
                                             NV_ENC_PRESET_CONFIG* presetConfig) {
    if (!presetConfig) {
        return NV_ENC_ERR_INVALID_PTR;
    }
    SessionLock s(encoder);
    if (!s) {
        return NV_ENC_ERR_INVALID_PTR;
    }
    if (presetConfig->version != NV_ENC_PRESET_CONFIG_VER ||
        presetConfig->presetCfg.version != NV_ENC_CONFIG_VER) {
        return NV_ENC_ERR_INVALID_VERSION;
    }
    Codec which;
    if (!CodecFor(codec, &which)) {
        return NV_ENC_ERR_UNSUPPORTED_PARAM;
    }
    const int number = PresetNumber(preset);
    if (number == 0 || tuning > NV_ENC_TUNING_INFO_ULTRA_HIGH_QUALITY) {
        return NV_ENC_ERR_INVALID_PARAM;
    }
    FillPresetConfig(which, number, tuning, &presetConfig->presetCfg);
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI InitializeEncoder(void* encoder, NV_ENC_INITIALIZE_PARAMS* params) {
    if (!params) {
        return NV_ENC_ERR_INVALID_PTR;
    }
    SessionLock s(encoder);
    if (!s) {
        return NV_ENC_ERR_INVALID_PTR;
    }
    if (params->version != NV_ENC_INITIALIZE_PARAMS_VER ||
        (params->encodeConfig && params->encodeConfig->version != NV_ENC_CONFIG_VER)) {
        return NV_ENC_ERR_INVALID_VERSION;
    }
    if (s->initialized) {
        return NV_ENC_ERR_INVALID_CALL;
    }
    Codec codec;
    if (!CodecFor(params->encodeGUID, &codec)) {
        return NV_ENC_ERR_UNSUPPORTED_PARAM;
    }
    const int preset = PresetNumber(params->presetGUID);
    const NV_ENC_TUNING_INFO tuning = params->tuningInfo == NV_ENC_TUNING_INFO_UNDEFINED
                                          ? NV_ENC_TUNING_INFO_HIGH_QUALITY
                                          : params->tuningInfo;
    if (preset == 0 || tuning > NV_ENC_TUNING_INFO_ULTRA_HIGH_QUALITY) {
        return NV_ENC_ERR_INVALID_PARAM;
    }
    const uint32_t w = params->encodeWidth;
    const uint32_t h = params->encodeHeight;
    // 4:2:0 needs even sizes.
    if (w == 0 || h == 0 || w > kMaxSide || h > kMaxSide || (w & 1) || (h & 1) ||
        (params->maxEncodeWidth != 0 && params->maxEncodeWidth < w) ||
        (params->maxEncodeHeight != 0 && params->maxEncodeHeight < h) ||
        params->frameRateNum == 0 || params->frameRateDen == 0) {
        return NV_ENC_ERR_INVALID_PARAM;
    }
    if (params->enableEncodeAsync || params->enableMEOnlyMode || params->enableOutputInVidmem ||
        params->enableSubFrameWrite) {
        return NV_ENC_ERR_UNSUPPORTED_PARAM;
    }

    NV_ENC_CONFIG config;
    if (params->encodeConfig) {
        config = *params->encodeConfig;
    } else {
        std::memset(&config, 0, sizeof(config));
        config.version = NV_ENC_CONFIG_VER;
        FillPresetConfig(codec, preset, tuning, &config);
    }
    EncoderSettings settings;
    NVENCSTATUS status = TranslateConfig(codec, preset, tuning, config, &settings);
    if (status != NV_ENC_SUCCESS) {
        return status;
    }
    settings.width = static_cast<int>(w);
    settings.height = static_cast<int>(h);
    settings.fpsNum = params->frameRateNum;
    settings.fpsDen = params->frameRateDen;
    std::string reason;
    std::unique_ptr<PictureEncoder> picked = MakeEncoder(codec);
    if (!picked->Configure(settings, &reason)) {
        const std::string name = LibraryName(codec);
        s->lastError = name.substr(0, name.find(' ')) + " refused the settings: " + reason;
        return NV_ENC_ERR_INVALID_PARAM;
    }
    s->encoder = std::move(picked);
    s->initialized = true;
    s->width = w;
    s->height = h;
    s->pictureTypeDecision = params->enablePTD != 0;
    s->lowLatency = settings.zeroLatency;

    s->description = s->encoder->Describe() + ", " + std::to_string(w) + "x" + std::to_string(h) +
                     " at " + std::to_string(params->frameRateNum) + "/" +
                     std::to_string(params->frameRateDen) + " fps";
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI CreateBitstreamBuffer(void* encoder, NV_ENC_CREATE_BITSTREAM_BUFFER* params) {
    SessionLock s(encoder);
    if (NVENCSTATUS status = Admit(s, params, NV_ENC_CREATE_BITSTREAM_BUFFER_VER)) {
        return status;
    }
    params->bitstreamBuffer = Keep(s->bitstreams, std::make_unique<Bitstream>());
    params->bitstreamBufferPtr = nullptr;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI DestroyBitstreamBuffer(void* encoder, NV_ENC_OUTPUT_PTR buffer) {
    SessionLock s(encoder);
    Bitstream* b = nullptr;
    if (NVENCSTATUS status =
            Lookup(s, &Session::bitstreams, buffer, NV_ENC_ERR_INVALID_PARAM, &b)) {
        return status;
    }
    for (Bitstream*& waiting : s->waiting) {
        if (waiting == b) {
            waiting = nullptr;  // its access unit is dropped when it comes
        }
    }
    s->bitstreams.erase(buffer);
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI EncodePicture(void* encoder, NV_ENC_PIC_PARAMS* pic) {
    SessionLock s(encoder);
    if (NVENCSTATUS status = Admit(s, pic, NV_ENC_PIC_PARAMS_VER)) {
        return status;
    }
    if (!s->initialized) {
        return NV_ENC_ERR_ENCODER_NOT_INITIALIZED;
    }
    // Like the Linux driver: sessions are synchronous, so there is no event to signal.
    if (pic->completionEvent) {
        s->lastError = "a synchronous session signals no completion event";
        return NV_ENC_ERR_INVALID_PARAM;
    }
    if (pic->encodePicFlags & NV_ENC_PIC_FLAG_EOS) {
        if (s->ended) {
            s->lastError = "the stream has already ended";
            return NV_ENC_ERR_INVALID_CALL;
        }
        Flush(*s);
        s->ended = true;
        return NV_ENC_SUCCESS;
    }
    if (!pic->inputBuffer || !pic->outputBitstream) {
        return NV_ENC_ERR_INVALID_PTR;
    }
    Mapping* mapping = Find(s->mappings, pic->inputBuffer);
    Bitstream* output = Find(s->bitstreams, pic->outputBitstream);
    if (!mapping || !output) {
        return NV_ENC_ERR_INVALID_PARAM;
    }
    const Registration& r = *mapping->registration;
    if (pic->inputWidth != s->width || pic->inputHeight != s->height || r.width < s->width ||
        r.height < s->height || pic->bufferFmt != r.format) {
        return NV_ENC_ERR_INVALID_PARAM;
    }
    if (pic->pictureStruct != NV_ENC_PIC_STRUCT_FRAME) {
        return NV_ENC_ERR_UNSUPPORTED_PARAM;
    }
    // A buffer whose output is still on its way, or exposed by a lock, cannot take a
    // new picture; one whose output was never collected is simply reused.
    if (output->state == Bitstream::State::Pending || output->state == Bitstream::State::Locked) {
        return NV_ENC_ERR_INVALID_PARAM;
    }

    PlanarPicture picture;
    NVENCSTATUS status = FetchPicture(*s, r, &picture);
    if (status != NV_ENC_SUCCESS) {
        return status;
    }
    bool forceIdr = (pic->encodePicFlags & (NV_ENC_PIC_FLAG_FORCEIDR | NV_ENC_PIC_FLAG_FORCEINTRA));
    if (!s->pictureTypeDecision &&
        (pic->pictureType == NV_ENC_PIC_TYPE_IDR || pic->pictureType == NV_ENC_PIC_TYPE_I)) {
        forceIdr = true;
    }
    if (s->lowLatency && !s->encoder->Streaming()) {
        // A caller keeps as many pictures in flight as it has bitstream buffers, and must
        // lock a buffer before giving it a new picture: with one buffer (no output delay)
        // each picture is done when its submission returns; with more, up to that many
        // pictures are encoded at once, and each is ready before its buffer comes round.
        s->encoder->SetPicturesInFlight(
            static_cast<int>(std::min<size_t>(kMaxPicturesInFlight, s->bitstreams.size())));
    }
    const int64_t number = s->nextPicture;
    if (!s->encoder->Encode(picture, number, forceIdr, s->produced)) {
        s->lastError = s->encoder->Describe() + " failed to encode the picture";
        return NV_ENC_ERR_GENERIC;
    }
    ++s->nextPicture;
    s->ended = false;
    s->inFlight[number] = PictureInfo{pic->inputTimeStamp, pic->inputDuration, pic->frameIdx};
    output->state = Bitstream::State::Pending;
    output->unit = AccessUnit{};
    s->waiting.push_back(output);
    Pair(*s);
    return s->waiting.empty() ? NV_ENC_SUCCESS : NV_ENC_ERR_NEED_MORE_INPUT;
}

NVENCSTATUS NVENCAPI LockBitstream(void* encoder, NV_ENC_LOCK_BITSTREAM* lock) {
    SessionLock s(encoder);
    if (NVENCSTATUS status = Admit(s, lock, NV_ENC_LOCK_BITSTREAM_VER)) {
        return status;
    }
    Bitstream* b = nullptr;
    if (NVENCSTATUS status =
            Lookup(s, &Session::bitstreams, lock->outputBitstream, NV_ENC_ERR_INVALID_PARAM, &b)) {
        return status;
    }
    if (b->state == Bitstream::State::Idle || b->state == Bitstream::State::Locked) {
        return NV_ENC_ERR_INVALID_CALL;
    }
    if (b->state == Bitstream::State::Pending) {
        if (lock->doNotWait) {
            return NV_ENC_ERR_LOCK_BUSY;
        }
        // The library still holds this picture and gives it back only for later pictures
        // or at the end of the stream. A caller that locks within the delay its buffers allow
        // never comes here; one that locks sooner gets its picture from a drain.
        Flush(*s);
    }
    b->state = Bitstream::State::Locked;
    PictureInfo info;
    auto it = s->inFlight.find(b->unit.pts);
    if (it != s->inFlight.end()) {
        info = it->second;
        s->inFlight.erase(it);
    }
    lock->frameIdx = info.frameIdx;
    lock->bitstreamSizeInBytes = static_cast<uint32_t>(b->unit.bytes.size());
    lock->outputTimeStamp = info.timeStamp;
    lock->outputDuration = info.duration;
    lock->bitstreamBufferPtr = b->unit.bytes.data();
    lock->pictureType = b->unit.type;
    lock->pictureStruct = NV_ENC_PIC_STRUCT_FRAME;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI UnlockBitstream(void* encoder, NV_ENC_OUTPUT_PTR buffer) {
    SessionLock s(encoder);
    Bitstream* b = nullptr;
    if (NVENCSTATUS status =
            Lookup(s, &Session::bitstreams, buffer, NV_ENC_ERR_INVALID_PARAM, &b)) {
        return status;
    }
    if (b->state != Bitstream::State::Locked) {
        return NV_ENC_ERR_INVALID_CALL;
    }
    b->state = Bitstream::State::Idle;
    b->unit.bytes.clear();
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI RegisterAsyncEvent(void* encoder, NV_ENC_EVENT_PARAMS* params) {
    SessionLock s(encoder);
    if (NVENCSTATUS status = Admit(s, params, NV_ENC_EVENT_PARAMS_VER)) {
        return status;
    }
    if (!params->completionEvent) {
        return NV_ENC_ERR_INVALID_EVENT;
    }
    // As on Linux, where only synchronous sessions exist.
    s->lastError = "completion events exist only on Windows; this session is synchronous";
    return NV_ENC_ERR_UNSUPPORTED_PARAM;
}

NVENCSTATUS NVENCAPI UnregisterAsyncEvent(void* encoder, NV_ENC_EVENT_PARAMS* params) {
    SessionLock s(encoder);
    if (NVENCSTATUS status = Admit(s, params, NV_ENC_EVENT_PARAMS_VER)) {
        return status;
    }
    return NV_ENC_ERR_EVENT_NOT_REGISTERD;  // none is ever registered
}

NVENCSTATUS NVENCAPI RegisterResource(void* encoder, NV_ENC_REGISTER_RESOURCE* params) {
    SessionLock s(encoder);
    if (NVENCSTATUS status = Admit(s, params, NV_ENC_REGISTER_RESOURCE_VER)) {
        return status;
    }
    if (!params->resourceToRegister) {
        return NV_ENC_ERR_INVALID_PTR;
    }
    if (params->resourceType != NV_ENC_INPUT_RESOURCE_TYPE_CUDADEVICEPTR ||
        params->bufferFormat != NV_ENC_BUFFER_FORMAT_NV12 ||
        params->bufferUsage != NV_ENC_INPUT_IMAGE) {
        return NV_ENC_ERR_UNSUPPORTED_PARAM;
    }
    if (params->width == 0 || params->height == 0 || params->pitch < params->width) {
        return NV_ENC_ERR_INVALID_PARAM;
    }
    auto r = std::make_unique<Registration>();
    r->pointer = reinterpret_cast<CUdeviceptr>(params->resourceToRegister);
    r->width = params->width;
    r->height = params->height;
    r->pitch = params->pitch;
    r->format = params->bufferFormat;
    params->registeredResource = Keep(s->registrations, std::move(r));
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI UnregisterResource(void* encoder, NV_ENC_REGISTERED_PTR resource) {
    SessionLock s(encoder);
    Registration* r = nullptr;
    if (NVENCSTATUS status =
            Lookup(s, &Session::registrations, resource, NV_ENC_ERR_RESOURCE_NOT_REGISTERED, &r)) {
        return status;
    }
    // Mappings of it end with it; pictures already submitted were copied at submission.
    for (auto it = s->mappings.begin(); it != s->mappings.end();) {
        it = it->second->registration == r ? s->mappings.erase(it) : std::next(it);
    }
    s->registrations.erase(resource);
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI MapInputResource(void* encoder, NV_ENC_MAP_INPUT_RESOURCE* params) {
    SessionLock s(encoder);
    if (NVENCSTATUS status = Admit(s, params, NV_ENC_MAP_INPUT_RESOURCE_VER)) {
        return status;
    }
    Registration* r = Find(s->registrations, params->registeredResource);
    if (!r) {
        return NV_ENC_ERR_RESOURCE_NOT_REGISTERED;
    }
    params->mappedResource = Keep(s->mappings, std::make_unique<Mapping>(Mapping{r}));
    params->mappedBufferFmt = r->format;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI UnmapInputResource(void* encoder, NV_ENC_INPUT_PTR mapped) {
    SessionLock s(encoder);
    if (!s || !mapped) {
        return NV_ENC_ERR_INVALID_PTR;
    }
    if (s->mappings.erase(mapped) == 0) {
        return NV_ENC_ERR_RESOURCE_NOT_MAPPED;
    }
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI CreateMVBuffer(void* encoder, NV_ENC_CREATE_MV_BUFFER* params) {
    SessionLock s(encoder);
    if (NVENCSTATUS status = Admit(s, params, NV_ENC_CREATE_MV_BUFFER_VER)) {
        return status;
    }
    return NV_ENC_ERR_UNSUPPORTED_PARAM;  // no motion-estimation-only mode
}

NVENCSTATUS NVENCAPI DestroyMVBuffer(void* encoder, NV_ENC_OUTPUT_PTR buffer) {
    SessionLock s(encoder);
    if (!s) {
        return NV_ENC_ERR_INVALID_PTR;
    }
    return buffer ? NV_ENC_ERR_INVALID_PARAM : NV_ENC_ERR_INVALID_PTR;
}

const char* NVENCAPI GetLastErrorString(void* encoder) {
    SessionLock s(encoder, SessionLock::LastError::Keep);
    return s ? s->lastError.c_str() : "";
}

NVENCSTATUS NVENCAPI DestroyEncoder(void* encoder) {
    std::unique_ptr<Session> session;
    {
        std::lock_guard<std::mutex> registry(g_sessionsMutex);
        auto it = g_sessions.find(encoder);
        if (it == g_sessions.end()) {
            return NV_ENC_ERR_INVALID_PTR;
        }
        session = std::move(it->second);
        g_sessions.erase(it);
    }
    // Let a call already inside the session finish before it goes.
    std::lock_guard<std::mutex> wait(session->mutex);
    return NV_ENC_SUCCESS;
}

}  // namespace

NVENCSTATUS GetMaxSupportedVersion(uint32_t* version) {
    if (!version) {
        return NV_ENC_ERR_INVALID_PTR;
    }
    *version = kMaxSupportedVersion;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS CreateInstance(NV_ENCODE_API_FUNCTION_LIST* list) {
    if (!list) {
        return NV_ENC_ERR_INVALID_PTR;
    }
    if (list->version != NV_ENCODE_API_FUNCTION_LIST_VER) {
        return NV_ENC_ERR_INVALID_VERSION;
    }
    list->nvEncOpenEncodeSession = &OpenEncodeSession;
    list->nvEncGetEncodeGUIDCount = &GetEncodeGUIDCount;
    list->nvEncGetEncodeGUIDs = &GetEncodeGUIDs;
    list->nvEncGetEncodeCaps = &GetEncodeCaps;
    list->nvEncInitializeEncoder = &InitializeEncoder;
    list->nvEncCreateBitstreamBuffer = &CreateBitstreamBuffer;
    list->nvEncDestroyBitstreamBuffer = &DestroyBitstreamBuffer;
    list->nvEncEncodePicture = &EncodePicture;
    list->nvEncLockBitstream = &LockBitstream;
    list->nvEncUnlockBitstream = &UnlockBitstream;
    list->nvEncRegisterAsyncEvent = &RegisterAsyncEvent;
    list->nvEncUnregisterAsyncEvent = &UnregisterAsyncEvent;
    list->nvEncMapInputResource = &MapInputResource;
    list->nvEncUnmapInputResource = &UnmapInputResource;
    list->nvEncDestroyEncoder = &DestroyEncoder;
    list->nvEncOpenEncodeSessionEx = &OpenEncodeSessionEx;
    list->nvEncRegisterResource = &RegisterResource;
    list->nvEncUnregisterResource = &UnregisterResource;
    list->nvEncCreateMVBuffer = &CreateMVBuffer;
    list->nvEncDestroyMVBuffer = &DestroyMVBuffer;
    list->nvEncGetEncodePresetConfigEx = &GetEncodePresetConfigEx;
    list->nvEncGetLastErrorString = &GetLastErrorString;
    return NV_ENC_SUCCESS;
}

std::string DescribeSession(void* encoder) {
    SessionLock s(encoder, SessionLock::LastError::Keep);
    return s && s->initialized ? s->description : std::string();
}

std::string EncoderName(const GUID& codec) {
    Codec which;
    return CodecFor(codec, &which) ? LibraryName(which) : std::string();
}

std::string LibraryVersion() {
    return X265Version();
}

}  // namespace camfx::swenc
