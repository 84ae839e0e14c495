// The NVENC API 12.2 as camfx uses it: the published names, numeric values and version words
// of the types, constants, GUIDs and entry points that the encoder wrapper and the encoder
// behind this interface touch, and nothing more. Structures list only the fields in use, so
// their layout is our own: build the encoder behind this header against it, never against
// another declaration of the API.
#pragma once

#include <cstdint>

#ifdef _WIN32
#define NVENCAPI __stdcall
#else
#define NVENCAPI
#endif

#ifndef GUID_DEFINED
#define GUID_DEFINED
typedef struct {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;
#endif

// Version words: the API version in the low bits, the structure's own version at bit 16,
// 0x7 at bit 28, and bit 31 on the structures that grew a second layout.
#define NVENCAPI_MAJOR_VERSION 12
#define NVENCAPI_MINOR_VERSION 2
#define NVENCAPI_VERSION (NVENCAPI_MAJOR_VERSION | (NVENCAPI_MINOR_VERSION << 24))
#define NVENCAPI_STRUCT_VERSION(ver) ((uint32_t)NVENCAPI_VERSION | ((ver) << 16) | (0x7u << 28))

#define NV_ENCODE_API_FUNCTION_LIST_VER NVENCAPI_STRUCT_VERSION(2)
#define NV_ENC_CAPS_PARAM_VER NVENCAPI_STRUCT_VERSION(1)
#define NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS_VER NVENCAPI_STRUCT_VERSION(1)
#define NV_ENC_CREATE_BITSTREAM_BUFFER_VER NVENCAPI_STRUCT_VERSION(1)
#define NV_ENC_CREATE_MV_BUFFER_VER NVENCAPI_STRUCT_VERSION(2)
#define NV_ENC_EVENT_PARAMS_VER NVENCAPI_STRUCT_VERSION(2)
#define NV_ENC_MAP_INPUT_RESOURCE_VER NVENCAPI_STRUCT_VERSION(4)
#define NV_ENC_REGISTER_RESOURCE_VER NVENCAPI_STRUCT_VERSION(5)
#define NV_ENC_RC_PARAMS_VER NVENCAPI_STRUCT_VERSION(1)
#define NV_ENC_CONFIG_VER (NVENCAPI_STRUCT_VERSION(9) | (1u << 31))
#define NV_ENC_INITIALIZE_PARAMS_VER (NVENCAPI_STRUCT_VERSION(7) | (1u << 31))
#define NV_ENC_PRESET_CONFIG_VER (NVENCAPI_STRUCT_VERSION(5) | (1u << 31))
#define NV_ENC_PIC_PARAMS_VER (NVENCAPI_STRUCT_VERSION(7) | (1u << 31))
#define NV_ENC_LOCK_BITSTREAM_VER (NVENCAPI_STRUCT_VERSION(2) | (1u << 31))

static_assert(NVENCAPI_VERSION == 0x0200000C, "NVENC API 12.2");
static_assert(NV_ENCODE_API_FUNCTION_LIST_VER == 0x7202000Cu, "function list version");
static_assert(NV_ENC_CAPS_PARAM_VER == 0x7201000Cu, "caps param version");
static_assert(NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS_VER == 0x7201000Cu, "open session version");
static_assert(NV_ENC_CREATE_BITSTREAM_BUFFER_VER == 0x7201000Cu, "bitstream buffer version");
static_assert(NV_ENC_CREATE_MV_BUFFER_VER == 0x7202000Cu, "MV buffer version");
static_assert(NV_ENC_EVENT_PARAMS_VER == 0x7202000Cu, "event params version");
static_assert(NV_ENC_MAP_INPUT_RESOURCE_VER == 0x7204000Cu, "map input version");
static_assert(NV_ENC_REGISTER_RESOURCE_VER == 0x7205000Cu, "register resource version");
static_assert(NV_ENC_CONFIG_VER == 0xF209000Cu, "config version");
static_assert(NV_ENC_INITIALIZE_PARAMS_VER == 0xF207000Cu, "initialize params version");
static_assert(NV_ENC_PRESET_CONFIG_VER == 0xF205000Cu, "preset config version");
static_assert(NV_ENC_PIC_PARAMS_VER == 0xF207000Cu, "pic params version");
static_assert(NV_ENC_LOCK_BITSTREAM_VER == 0xF202000Cu, "lock bitstream version");

#define NVENC_INFINITE_GOPLENGTH 0xffffffffu

// Codecs.
static const GUID NV_ENC_CODEC_H264_GUID = {
    0x6bc82762, 0x4e63, 0x4ca4, {0xaa, 0x85, 0x1e, 0x50, 0xf3, 0x21, 0xf6, 0xbf}};
static const GUID NV_ENC_CODEC_HEVC_GUID = {
    0x790cdc88, 0x4522, 0x4d7b, {0x94, 0x25, 0xbd, 0xa9, 0x97, 0x5f, 0x76, 0x03}};
static const GUID NV_ENC_CODEC_AV1_GUID = {
    0x0a352289, 0x0aa7, 0x4759, {0x86, 0x2d, 0x5d, 0x15, 0xcd, 0x16, 0xd2, 0x54}};

// Presets, fastest (P1) to slowest (P7).
static const GUID NV_ENC_PRESET_P1_GUID = {
    0xfc0a8d3e, 0x45f8, 0x4cf8, {0x80, 0xc7, 0x29, 0x88, 0x71, 0x59, 0x0e, 0xbf}};
static const GUID NV_ENC_PRESET_P2_GUID = {
    0xf581cfb8, 0x88d6, 0x4381, {0x93, 0xf0, 0xdf, 0x13, 0xf9, 0xc2, 0x7d, 0xab}};
static const GUID NV_ENC_PRESET_P3_GUID = {
    0x36850110, 0x3a07, 0x441f, {0x94, 0xd5, 0x36, 0x70, 0x63, 0x1f, 0x91, 0xf6}};
static const GUID NV_ENC_PRESET_P4_GUID = {
    0x90a7b826, 0xdf06, 0x4862, {0xb9, 0xd2, 0xcd, 0x6d, 0x73, 0xa0, 0x86, 0x81}};
static const GUID NV_ENC_PRESET_P5_GUID = {
    0x21c6e6b4, 0x297a, 0x4cba, {0x99, 0x8f, 0xb6, 0xcb, 0xde, 0x72, 0xad, 0xe3}};
static const GUID NV_ENC_PRESET_P6_GUID = {
    0x8e75c279, 0x6299, 0x4ab6, {0x83, 0x02, 0x0b, 0x21, 0x5a, 0x33, 0x5c, 0xf5}};
static const GUID NV_ENC_PRESET_P7_GUID = {
    0x84848c12, 0x6f71, 0x4c13, {0x93, 0x1b, 0x53, 0xe2, 0x83, 0xf5, 0x79, 0x74}};

// A fixed underlying type: a status outside the list (-1 from a faulty encoder) stays defined.
typedef enum _NVENCSTATUS : int {
    NV_ENC_SUCCESS = 0,
    NV_ENC_ERR_NO_ENCODE_DEVICE = 1,
    NV_ENC_ERR_UNSUPPORTED_DEVICE = 2,
    NV_ENC_ERR_INVALID_ENCODERDEVICE = 3,
    NV_ENC_ERR_INVALID_DEVICE = 4,
    NV_ENC_ERR_DEVICE_NOT_EXIST = 5,
    NV_ENC_ERR_INVALID_PTR = 6,
    NV_ENC_ERR_INVALID_EVENT = 7,
    NV_ENC_ERR_INVALID_PARAM = 8,
    NV_ENC_ERR_INVALID_CALL = 9,
    NV_ENC_ERR_OUT_OF_MEMORY = 10,
    NV_ENC_ERR_ENCODER_NOT_INITIALIZED = 11,
    NV_ENC_ERR_UNSUPPORTED_PARAM = 12,
    NV_ENC_ERR_LOCK_BUSY = 13,
    NV_ENC_ERR_NOT_ENOUGH_BUFFER = 14,
    NV_ENC_ERR_INVALID_VERSION = 15,
    NV_ENC_ERR_MAP_FAILED = 16,
    NV_ENC_ERR_NEED_MORE_INPUT = 17,
    NV_ENC_ERR_ENCODER_BUSY = 18,
    NV_ENC_ERR_EVENT_NOT_REGISTERD = 19,
    NV_ENC_ERR_GENERIC = 20,
    NV_ENC_ERR_INCOMPATIBLE_CLIENT_KEY = 21,
    NV_ENC_ERR_UNIMPLEMENTED = 22,
    NV_ENC_ERR_RESOURCE_REGISTER_FAILED = 23,
    NV_ENC_ERR_RESOURCE_NOT_REGISTERED = 24,
    NV_ENC_ERR_RESOURCE_NOT_MAPPED = 25,
    NV_ENC_ERR_NEED_MORE_OUTPUT = 26
} NVENCSTATUS;

typedef enum _NV_ENC_BUFFER_FORMAT : uint32_t {
    NV_ENC_BUFFER_FORMAT_UNDEFINED = 0x00000000,
    NV_ENC_BUFFER_FORMAT_NV12 = 0x00000001,
    NV_ENC_BUFFER_FORMAT_YV12 = 0x00000010,
    NV_ENC_BUFFER_FORMAT_IYUV = 0x00000100,
    NV_ENC_BUFFER_FORMAT_YUV444 = 0x00001000,
    NV_ENC_BUFFER_FORMAT_YUV420_10BIT = 0x00010000,
    NV_ENC_BUFFER_FORMAT_YUV444_10BIT = 0x00100000,
    NV_ENC_BUFFER_FORMAT_ARGB = 0x01000000,
    NV_ENC_BUFFER_FORMAT_ARGB10 = 0x02000000,
    NV_ENC_BUFFER_FORMAT_AYUV = 0x04000000,
    NV_ENC_BUFFER_FORMAT_ABGR = 0x10000000,
    NV_ENC_BUFFER_FORMAT_ABGR10 = 0x20000000
} NV_ENC_BUFFER_FORMAT;

typedef enum _NV_ENC_TUNING_INFO {
    NV_ENC_TUNING_INFO_UNDEFINED = 0,
    NV_ENC_TUNING_INFO_HIGH_QUALITY = 1,
    NV_ENC_TUNING_INFO_LOW_LATENCY = 2,
    NV_ENC_TUNING_INFO_ULTRA_LOW_LATENCY = 3,
    NV_ENC_TUNING_INFO_LOSSLESS = 4,
    NV_ENC_TUNING_INFO_ULTRA_HIGH_QUALITY = 5
} NV_ENC_TUNING_INFO;

typedef enum _NV_ENC_CAPS {
    NV_ENC_CAPS_WIDTH_MAX = 16,
    NV_ENC_CAPS_HEIGHT_MAX = 17,
    NV_ENC_CAPS_ASYNC_ENCODE_SUPPORT = 30
} NV_ENC_CAPS;

typedef enum _NV_ENC_DEVICE_TYPE {
    NV_ENC_DEVICE_TYPE_DIRECTX = 0,
    NV_ENC_DEVICE_TYPE_CUDA = 1,
    NV_ENC_DEVICE_TYPE_OPENGL = 2
} NV_ENC_DEVICE_TYPE;

typedef enum _NV_ENC_INPUT_RESOURCE_TYPE {
    NV_ENC_INPUT_RESOURCE_TYPE_DIRECTX = 0,
    NV_ENC_INPUT_RESOURCE_TYPE_CUDADEVICEPTR = 1,
    NV_ENC_INPUT_RESOURCE_TYPE_CUDAARRAY = 2,
    NV_ENC_INPUT_RESOURCE_TYPE_OPENGL_TEX = 3
} NV_ENC_INPUT_RESOURCE_TYPE;

typedef enum _NV_ENC_BUFFER_USAGE {
    NV_ENC_INPUT_IMAGE = 0,
    NV_ENC_OUTPUT_MOTION_VECTOR = 1,
    NV_ENC_OUTPUT_BITSTREAM = 2
} NV_ENC_BUFFER_USAGE;

typedef enum _NV_ENC_PARAMS_RC_MODE {
    NV_ENC_PARAMS_RC_CONSTQP = 0,
    NV_ENC_PARAMS_RC_VBR = 1,
    NV_ENC_PARAMS_RC_CBR = 2
} NV_ENC_PARAMS_RC_MODE;

typedef enum _NV_ENC_BIT_DEPTH {
    NV_ENC_BIT_DEPTH_INVALID = 0,
    NV_ENC_BIT_DEPTH_8 = 8,
    NV_ENC_BIT_DEPTH_10 = 10
} NV_ENC_BIT_DEPTH;

typedef enum _NV_ENC_PIC_STRUCT {
    NV_ENC_PIC_STRUCT_FRAME = 1,
    NV_ENC_PIC_STRUCT_FIELD_TOP_BOTTOM = 2,
    NV_ENC_PIC_STRUCT_FIELD_BOTTOM_TOP = 3
} NV_ENC_PIC_STRUCT;

typedef enum _NV_ENC_PIC_FLAGS {
    NV_ENC_PIC_FLAG_FORCEINTRA = 0x1,
    NV_ENC_PIC_FLAG_FORCEIDR = 0x2,
    NV_ENC_PIC_FLAG_OUTPUT_SPSPPS = 0x4,
    NV_ENC_PIC_FLAG_EOS = 0x8
} NV_ENC_PIC_FLAGS;

typedef enum _NV_ENC_PIC_TYPE {
    NV_ENC_PIC_TYPE_P = 0,
    NV_ENC_PIC_TYPE_B = 1,
    NV_ENC_PIC_TYPE_I = 2,
    NV_ENC_PIC_TYPE_IDR = 3,
    NV_ENC_PIC_TYPE_BI = 4,
    NV_ENC_PIC_TYPE_SKIPPED = 5,
    NV_ENC_PIC_TYPE_INTRA_REFRESH = 6,
    NV_ENC_PIC_TYPE_NONREF_P = 7,
    NV_ENC_PIC_TYPE_UNKNOWN = 0xFF
} NV_ENC_PIC_TYPE;

// Opaque handles handed out by the encoder.
typedef void* NV_ENC_INPUT_PTR;
typedef void* NV_ENC_OUTPUT_PTR;
typedef void* NV_ENC_REGISTERED_PTR;

typedef struct _NV_ENC_CAPS_PARAM {
    uint32_t version;
    NV_ENC_CAPS capsToQuery;
} NV_ENC_CAPS_PARAM;

typedef struct _NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS {
    uint32_t version;
    NV_ENC_DEVICE_TYPE deviceType;
    void* device;
    uint32_t apiVersion;
} NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS;

typedef struct _NV_ENC_QP {
    uint32_t qpInterP;
    uint32_t qpInterB;
    uint32_t qpIntra;
} NV_ENC_QP;

typedef struct _NV_ENC_RC_PARAMS {
    uint32_t version;
    NV_ENC_PARAMS_RC_MODE rateControlMode;
    NV_ENC_QP constQP;
    uint32_t averageBitRate;  // bits per second
    uint32_t maxBitRate;
    uint32_t vbvBufferSize;
    uint32_t vbvInitialDelay;
    uint8_t targetQuality;
    uint16_t lookaheadDepth;  // frames
} NV_ENC_RC_PARAMS;

typedef struct _NV_ENC_CONFIG_H264 {
    uint32_t level;
    uint32_t idrPeriod;
    uint32_t maxNumRefFrames;
    uint32_t chromaFormatIDC;
} NV_ENC_CONFIG_H264;

typedef struct _NV_ENC_CONFIG_HEVC {
    uint32_t level;
    uint32_t tier;
    uint32_t chromaFormatIDC;
    uint32_t idrPeriod;
    uint32_t maxNumRefFramesInDPB;
    NV_ENC_BIT_DEPTH outputBitDepth;
    NV_ENC_BIT_DEPTH inputBitDepth;
} NV_ENC_CONFIG_HEVC;

typedef struct _NV_ENC_CONFIG_AV1 {
    uint32_t level;
    uint32_t tier;
    uint32_t chromaFormatIDC;
    uint32_t idrPeriod;
    NV_ENC_BIT_DEPTH outputBitDepth;
    NV_ENC_BIT_DEPTH inputBitDepth;
} NV_ENC_CONFIG_AV1;

typedef union _NV_ENC_CODEC_CONFIG {
    NV_ENC_CONFIG_H264 h264Config;
    NV_ENC_CONFIG_HEVC hevcConfig;
    NV_ENC_CONFIG_AV1 av1Config;
} NV_ENC_CODEC_CONFIG;

typedef struct _NV_ENC_CONFIG {
    uint32_t version;
    GUID profileGUID;
    uint32_t gopLength;      // NVENC_INFINITE_GOPLENGTH: one intra picture at the start only
    int32_t frameIntervalP;  // distance between P pictures: 1 + number of B pictures between
    NV_ENC_RC_PARAMS rcParams;
    NV_ENC_CODEC_CONFIG encodeCodecConfig;
} NV_ENC_CONFIG;

typedef struct _NV_ENC_INITIALIZE_PARAMS {
    uint32_t version;
    GUID encodeGUID;
    GUID presetGUID;
    uint32_t encodeWidth;
    uint32_t encodeHeight;
    uint32_t darWidth;
    uint32_t darHeight;
    uint32_t frameRateNum;
    uint32_t frameRateDen;
    uint32_t enableEncodeAsync;
    uint32_t enablePTD;  // the encoder decides the picture types
    uint32_t reportSliceOffsets : 1;
    uint32_t enableSubFrameWrite : 1;
    uint32_t enableMEOnlyMode : 1;
    uint32_t enableOutputInVidmem : 1;
    uint32_t reservedBitFields : 28;
    NV_ENC_CONFIG* encodeConfig;
    uint32_t maxEncodeWidth;
    uint32_t maxEncodeHeight;
    NV_ENC_TUNING_INFO tuningInfo;
} NV_ENC_INITIALIZE_PARAMS;

typedef struct _NV_ENC_PRESET_CONFIG {
    uint32_t version;
    NV_ENC_CONFIG presetCfg;
} NV_ENC_PRESET_CONFIG;

typedef struct _NV_ENC_PIC_PARAMS {
    uint32_t version;
    uint32_t inputWidth;
    uint32_t inputHeight;
    uint32_t inputPitch;
    uint32_t encodePicFlags;  // NV_ENC_PIC_FLAGS
    uint32_t frameIdx;
    uint64_t inputTimeStamp;
    uint64_t inputDuration;
    NV_ENC_INPUT_PTR inputBuffer;
    NV_ENC_OUTPUT_PTR outputBitstream;
    void* completionEvent;
    NV_ENC_BUFFER_FORMAT bufferFmt;
    NV_ENC_PIC_STRUCT pictureStruct;
    NV_ENC_PIC_TYPE pictureType;
} NV_ENC_PIC_PARAMS;

typedef struct _NV_ENC_LOCK_BITSTREAM {
    uint32_t version;
    uint32_t doNotWait : 1;
    uint32_t reservedBitFields : 31;
    NV_ENC_OUTPUT_PTR outputBitstream;
    uint32_t frameIdx;
    uint32_t bitstreamSizeInBytes;
    uint64_t outputTimeStamp;
    uint64_t outputDuration;
    void* bitstreamBufferPtr;
    NV_ENC_PIC_TYPE pictureType;
    NV_ENC_PIC_STRUCT pictureStruct;
} NV_ENC_LOCK_BITSTREAM;

typedef struct _NV_ENC_MAP_INPUT_RESOURCE {
    uint32_t version;
    uint32_t subResourceIndex;
    NV_ENC_REGISTERED_PTR registeredResource;
    NV_ENC_INPUT_PTR mappedResource;
    NV_ENC_BUFFER_FORMAT mappedBufferFmt;
} NV_ENC_MAP_INPUT_RESOURCE;

typedef struct _NV_ENC_FENCE_POINT_D3D12 NV_ENC_FENCE_POINT_D3D12;

typedef struct _NV_ENC_REGISTER_RESOURCE {
    uint32_t version;
    NV_ENC_INPUT_RESOURCE_TYPE resourceType;
    uint32_t width;
    uint32_t height;
    uint32_t pitch;
    uint32_t subResourceIndex;
    void* resourceToRegister;  // for CUDADEVICEPTR: the CUdeviceptr value
    NV_ENC_REGISTERED_PTR registeredResource;
    NV_ENC_BUFFER_FORMAT bufferFormat;
    NV_ENC_BUFFER_USAGE bufferUsage;
    NV_ENC_FENCE_POINT_D3D12* pInputFencePoint;
} NV_ENC_REGISTER_RESOURCE;

typedef struct _NV_ENC_CREATE_BITSTREAM_BUFFER {
    uint32_t version;
    NV_ENC_OUTPUT_PTR bitstreamBuffer;
    void* bitstreamBufferPtr;
} NV_ENC_CREATE_BITSTREAM_BUFFER;

typedef struct _NV_ENC_CREATE_MV_BUFFER {
    uint32_t version;
    NV_ENC_OUTPUT_PTR mvBuffer;
} NV_ENC_CREATE_MV_BUFFER;

typedef struct _NV_ENC_EVENT_PARAMS {
    uint32_t version;
    void* completionEvent;  // a Win32 event handle, signalled when a picture is done
} NV_ENC_EVENT_PARAMS;

// The entry points, reached only through the list that NvEncodeAPICreateInstance fills.
// nvEncOpenEncodeSession is the legacy opener: its presence marks a usable list.
typedef struct _NV_ENCODE_API_FUNCTION_LIST {
    uint32_t version;
    NVENCSTATUS(NVENCAPI* nvEncOpenEncodeSession)
    (void* device, uint32_t deviceType, void** encoder);
    NVENCSTATUS(NVENCAPI* nvEncGetEncodeGUIDCount)(void* encoder, uint32_t* encodeGUIDCount);
    NVENCSTATUS(NVENCAPI* nvEncGetEncodeGUIDs)
    (void* encoder, GUID* GUIDs, uint32_t guidArraySize, uint32_t* GUIDCount);
    NVENCSTATUS(NVENCAPI* nvEncGetEncodeCaps)
    (void* encoder, GUID encodeGUID, NV_ENC_CAPS_PARAM* capsParam, int* capsVal);
    NVENCSTATUS(NVENCAPI* nvEncInitializeEncoder)
    (void* encoder, NV_ENC_INITIALIZE_PARAMS* createEncodeParams);
    NVENCSTATUS(NVENCAPI* nvEncCreateBitstreamBuffer)
    (void* encoder, NV_ENC_CREATE_BITSTREAM_BUFFER* createBitstreamBufferParams);
    NVENCSTATUS(NVENCAPI* nvEncDestroyBitstreamBuffer)
    (void* encoder, NV_ENC_OUTPUT_PTR bitstreamBuffer);
    NVENCSTATUS(NVENCAPI* nvEncEncodePicture)(void* encoder, NV_ENC_PIC_PARAMS* encodePicParams);
    NVENCSTATUS(NVENCAPI* nvEncLockBitstream)
    (void* encoder, NV_ENC_LOCK_BITSTREAM* lockBitstreamBufferParams);
    NVENCSTATUS(NVENCAPI* nvEncUnlockBitstream)(void* encoder, NV_ENC_OUTPUT_PTR bitstreamBuffer);
    NVENCSTATUS(NVENCAPI* nvEncRegisterAsyncEvent)(void* encoder, NV_ENC_EVENT_PARAMS* eventParams);
    NVENCSTATUS(NVENCAPI* nvEncUnregisterAsyncEvent)
    (void* encoder, NV_ENC_EVENT_PARAMS* eventParams);
    NVENCSTATUS(NVENCAPI* nvEncMapInputResource)
    (void* encoder, NV_ENC_MAP_INPUT_RESOURCE* mapInputResParams);
    NVENCSTATUS(NVENCAPI* nvEncUnmapInputResource)
    (void* encoder, NV_ENC_INPUT_PTR mappedInputBuffer);
    NVENCSTATUS(NVENCAPI* nvEncDestroyEncoder)(void* encoder);
    NVENCSTATUS(NVENCAPI* nvEncOpenEncodeSessionEx)
    (NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS* openSessionExParams, void** encoder);
    NVENCSTATUS(NVENCAPI* nvEncRegisterResource)
    (void* encoder, NV_ENC_REGISTER_RESOURCE* registerResParams);
    NVENCSTATUS(NVENCAPI* nvEncUnregisterResource)
    (void* encoder, NV_ENC_REGISTERED_PTR registeredResource);
    NVENCSTATUS(NVENCAPI* nvEncCreateMVBuffer)
    (void* encoder, NV_ENC_CREATE_MV_BUFFER* createMVBufferParams);
    NVENCSTATUS(NVENCAPI* nvEncDestroyMVBuffer)(void* encoder, NV_ENC_OUTPUT_PTR mvBuffer);
    NVENCSTATUS(NVENCAPI* nvEncGetEncodePresetConfigEx)
    (void* encoder, GUID encodeGUID, GUID presetGUID, NV_ENC_TUNING_INFO tuningInfo,
     NV_ENC_PRESET_CONFIG* presetConfig);
    // The session's last failure in words; valid until the next call into that session.
    const char*(NVENCAPI* nvEncGetLastErrorString)(void* encoder);
} NV_ENCODE_API_FUNCTION_LIST;

extern "C" {
// The highest API version the encoder supports, as major << 4 | minor.
NVENCSTATUS NVENCAPI NvEncodeAPIGetMaxSupportedVersion(uint32_t* version);
// Fills the list; its version must be NV_ENCODE_API_FUNCTION_LIST_VER.
NVENCSTATUS NVENCAPI NvEncodeAPICreateInstance(NV_ENCODE_API_FUNCTION_LIST* functionList);
}
