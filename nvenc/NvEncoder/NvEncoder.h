// The encoder wrapper: one NVENC session and its ring of per-frame encoder buffers. Failures
// are thrown as NVENCException.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "NVENCException.h"
#include "nvEncodeAPI.h"

// One registered input buffer: the luma plane at bufferPtr, the chroma planes after it.
struct EncoderInputFrame {
    uintptr_t bufferPtr = 0;  // device address
    uint32_t planeOffsets[2] = {0, 0};
    uint32_t planeCount = 0;  // chroma planes
    uint32_t lumaPitch = 0;
    uint32_t planePitch = 0;  // pitch of each chroma plane
    NV_ENC_BUFFER_FORMAT format = NV_ENC_BUFFER_FORMAT_UNDEFINED;
    NV_ENC_INPUT_RESOURCE_TYPE resourceKind = NV_ENC_INPUT_RESOURCE_TYPE_DIRECTX;
};

// One encoded picture with the time stamp its picture was submitted with.
struct NvEncOutputPacket {
    std::vector<uint8_t> bytes;
    uint64_t timeStamp = 0;
    NV_ENC_PIC_TYPE pictureType = NV_ENC_PIC_TYPE_UNKNOWN;
};

class NvEncoder {
  public:
    // Loads the API and opens the session on the device; throws on any failure.
    NvEncoder(void* device, uint32_t width, uint32_t height, NV_ENC_BUFFER_FORMAT format,
              uint32_t extraOutputDelay, bool motionEstimationOnly, bool outputInVideoMemory,
              bool ivfContainer);
    NvEncoder(const NvEncoder&) = delete;
    NvEncoder& operator=(const NvEncoder&) = delete;

    // Validates the parameters, initialises the session and allocates the ring.
    virtual void CreateEncoder(const NV_ENC_INITIALIZE_PARAMS* pEncoderParams);
    // Releases the input buffers and the session; a second call does nothing.
    virtual void CloseEncoder();
    // Submits the picture in NextInputSlot(); packets receives the pictures now complete.
    virtual void EncodeFrame(std::vector<std::vector<uint8_t>>& packets,
                             NV_ENC_PIC_PARAMS* picParams = nullptr);
    // Ends the stream and returns every picture still held.
    virtual void EndEncode(std::vector<std::vector<uint8_t>>& packets);
    // The same two with time stamps: the picture goes in with inputTimeStamp and every packet
    // comes out with the stamp of its own picture, whatever the encoder's delay and order.
    void EncodeFrame(std::vector<NvEncOutputPacket>& packets, uint64_t inputTimeStamp,
                     NV_ENC_PIC_PARAMS* picParams = nullptr);
    void EndEncode(std::vector<NvEncOutputPacket>& packets);
    virtual ~NvEncoder();

    // Fills the parameters and the configuration they point to with the preset's defaults.
    void CreateDefaultEncoderParams(NV_ENC_INITIALIZE_PARAMS* pInitializeParams, GUID codecGuid,
                                    GUID presetGuid, NV_ENC_TUNING_INFO tuningInfo);
    // The buffer the next EncodeFrame submits; null before CreateEncoder.
    const EncoderInputFrame* NextInputSlot();
    int QueryCapability(GUID codecGuid, NV_ENC_CAPS capability);

    // Geometry of one input picture. The static ones wrap modulo 2^32.
    static uint32_t GetWidthInBytes(NV_ENC_BUFFER_FORMAT format, uint32_t width);
    static uint32_t GetNumChromaPlanes(NV_ENC_BUFFER_FORMAT format);
    static uint32_t GetChromaPitch(NV_ENC_BUFFER_FORMAT format, uint32_t lumaPitch);
    static void GetChromaSubPlaneOffsets(NV_ENC_BUFFER_FORMAT format, uint32_t pitch,
                                         uint32_t height, std::vector<uint32_t>& offsets);
    static uint32_t GetChromaHeight(NV_ENC_BUFFER_FORMAT format, uint32_t lumaHeight);
    static uint32_t GetChromaWidthInBytes(NV_ENC_BUFFER_FORMAT format, uint32_t lumaWidth);
    // Tightly packed size of one frame at the encode size.
    int32_t GetFrameSize() const;

  protected:
    virtual void AllocateInputBuffers(int32_t numInputBuffers) = 0;
    virtual void FreeInputBuffers() = 0;

    void SendEOS();
    void GetEncodedPacket(std::vector<NV_ENC_OUTPUT_PTR>& outputs,
                          std::vector<std::vector<uint8_t>>& packets, bool applyLag);
    void WaitForCompletionEvent(int slot);
    void MapResources(uint32_t slot);
    NV_ENC_REGISTERED_PTR RegisterResource(uintptr_t buffer, NV_ENC_INPUT_RESOURCE_TYPE type,
                                           int width, int height, int pitch,
                                           NV_ENC_BUFFER_FORMAT format);
    void RegisterInputFrames(std::vector<uintptr_t> buffers, NV_ENC_INPUT_RESOURCE_TYPE type,
                             int width, int height, int pitch, NV_ENC_BUFFER_FORMAT format,
                             bool isReference);
    void UnregisterInputFrames();
    void DrainEncoder();
    void ReleaseEncoderResources();

    bool m_bMEOnlyMode;
    bool m_bOutputToVidmem;
    void* m_hEncoder = nullptr;
    NV_ENCODE_API_FUNCTION_LIST m_nvenc;
    NV_ENC_INITIALIZE_PARAMS m_initializeParams;
    std::vector<EncoderInputFrame> m_vInputSlots;
    std::vector<NV_ENC_REGISTERED_PTR> m_vRegisteredInputs;
    std::vector<EncoderInputFrame> m_vReferenceSlots;
    std::vector<NV_ENC_REGISTERED_PTR> m_vRegisteredReferences;
    std::vector<NV_ENC_INPUT_PTR> m_vMappedInputBuffers;
    std::vector<NV_ENC_INPUT_PTR> m_vMappedRefBuffers;
    std::vector<void*> m_vCompletionEvents;
    int32_t m_iSubmitted = 0;
    int32_t m_iGot = 0;
    int32_t m_nEncoderBuffer = 0;
    int32_t m_nOutputLag = 0;
    bool m_bIvfHeaderPending = true;
    bool m_bIvfContainer;
    uint32_t m_nFrameWidth;
    uint32_t m_nFrameHeight;
    NV_ENC_BUFFER_FORMAT m_eInputFormat;
    void* m_pDeviceHandle;
    NV_ENC_DEVICE_TYPE m_eDeviceKind = NV_ENC_DEVICE_TYPE_CUDA;
    NV_ENC_CONFIG m_activeConfig;
    bool m_bInitialized = false;
    bool m_bEndOfStreamSent = false;  // since the last picture
    // Only Windows has event objects that the driver signals; elsewhere it refuses them.
#ifdef _WIN32
    bool m_bPlatformSignalsEvents = true;
#else
    bool m_bPlatformSignalsEvents = false;
#endif
    uint32_t m_nExtraDelay;
    std::vector<NV_ENC_OUTPUT_PTR> m_vBitstreamBuffers;
    std::vector<NV_ENC_OUTPUT_PTR> m_vMVBuffers;
    uint32_t m_nMaxWidth;
    uint32_t m_nMaxHeight;

  private:
    void LoadNvEncApi();
    void InitializeBitstreamBuffer();
    void InitializeMVOutputBuffer();
    // The event of the slot of counter `index`, or null when the ring has no events.
    void* CompletionEventFor(int32_t index) const;
    void SubmitFrame(NV_ENC_PIC_PARAMS* picParams);
    void EndStream();
    // Locks, hands to `take` and releases every picture that is due, in submission order.
    void CollectPictures(std::vector<NV_ENC_OUTPUT_PTR>& outputs, bool applyLag,
                         const std::function<void(const NV_ENC_LOCK_BITSTREAM&)>& take);
    std::function<void(const NV_ENC_LOCK_BITSTREAM&)> TimedPacketSink(
        std::vector<NvEncOutputPacket>& packets);
    void AppendPicture(std::vector<uint8_t>& packet, const NV_ENC_LOCK_BITSTREAM& lock);
    void AppendIvfHeaders(std::vector<uint8_t>& packet, const NV_ENC_LOCK_BITSTREAM& lock);
};
