#include "NvEncoderCuda.h"

#include <cstring>

#include "CudaContextGuard.h"

NvEncoderCuda::NvEncoderCuda(CUcontext cuContext, uint32_t width, uint32_t height,
                             NV_ENC_BUFFER_FORMAT format, uint32_t extraOutputDelay,
                             bool motionEstimationOnly, bool outputInVideoMemory, bool ivfContainer)
    : NvEncoder(cuContext, width, height, format, extraOutputDelay, motionEstimationOnly,
                outputInVideoMemory, ivfContainer),
      m_cudaContext(cuContext),
      m_nInputPitch(0) {
    if (!m_hEncoder)
        NVENC_RAISE("Encoder Initialization failed", NV_ENC_ERR_INVALID_DEVICE);
    if (!m_cudaContext)
        NVENC_RAISE("Invalid Cuda Context", NV_ENC_ERR_INVALID_DEVICE);
}

NvEncoderCuda::~NvEncoderCuda() {
    FreeInputBuffers();
}

void NvEncoderCuda::AllocateInputBuffers(int32_t numInputBuffers) {
    if (!m_hEncoder || !m_bInitialized) {
        NVENC_RAISE("Encoder intialization failed", NV_ENC_ERR_ENCODER_NOT_INITIALIZED);
    }
    // Motion-only sessions take a second set of buffers for the reference pictures.
    const int passes = m_bMEOnlyMode ? 2 : 1;
    for (int pass = 0; pass < passes; ++pass) {
        std::vector<uintptr_t> buffers;
        {
            CudaContextGuard context(m_cudaContext);
            CUDA_DRV_CHECK(context.pushResult());
            try {
                for (int32_t i = 0; i < numInputBuffers; ++i) {
                    // YV12 and IYUV put both half-pitch chroma planes side by side in one
                    // set of chroma rows.
                    uint32_t chromaRows = GetChromaHeight(m_eInputFormat, m_nMaxHeight);
                    if (m_eInputFormat != NV_ENC_BUFFER_FORMAT_YV12 &&
                        m_eInputFormat != NV_ENC_BUFFER_FORMAT_IYUV) {
                        chromaRows *= GetNumChromaPlanes(m_eInputFormat);
                    }
                    CUdeviceptr buffer = 0;
                    CUDA_DRV_CHECK(cuMemAllocPitch(&buffer, &m_nInputPitch,
                                                   GetWidthInBytes(m_eInputFormat, m_nMaxWidth),
                                                   m_nMaxHeight + chromaRows, 16));
                    buffers.push_back(static_cast<uintptr_t>(buffer));
                }
                CUDA_DRV_CHECK(context.pop());
            } catch (...) {
                // Nothing owns this pass's buffers yet.
                for (uintptr_t buffer : buffers)
                    cuMemFree(static_cast<CUdeviceptr>(buffer));
                throw;
            }
        }

        const bool isReference = pass == 1;
        const std::vector<EncoderInputFrame>& slots =
            isReference ? m_vReferenceSlots : m_vInputSlots;
        const size_t recordedBefore = slots.size();
        try {
            RegisterInputFrames(buffers, NV_ENC_INPUT_RESOURCE_TYPE_CUDADEVICEPTR,
                                static_cast<int>(m_nMaxWidth), static_cast<int>(m_nMaxHeight),
                                static_cast<int>(m_nInputPitch), m_eInputFormat, isReference);
        } catch (...) {
            // The buffers from the refused one on are recorded in no slot, so FreeInputBuffers
            // would never see them.
            const size_t recorded = slots.size() - recordedBefore;
            CudaContextGuard context(m_cudaContext);
            if (context.pushed()) {
                for (size_t k = recorded; k < buffers.size(); ++k) {
                    cuMemFree(static_cast<CUdeviceptr>(buffers[k]));
                }
            }
            throw;
        }
    }
}

void NvEncoderCuda::FreeInputBuffers() {
    if (!m_hEncoder || !m_cudaContext)
        return;

    UnregisterInputFrames();

    CudaContextGuard context(m_cudaContext);
    for (const EncoderInputFrame& frame : m_vInputSlots) {
        if (frame.bufferPtr)
            cuMemFree(static_cast<CUdeviceptr>(frame.bufferPtr));
    }
    m_vInputSlots.clear();
    for (const EncoderInputFrame& frame : m_vReferenceSlots) {
        if (frame.bufferPtr)
            cuMemFree(static_cast<CUdeviceptr>(frame.bufferPtr));
    }
    m_vReferenceSlots.clear();
    context.pop();

    m_cudaContext = nullptr;
}

void NvEncoderCuda::CopyToDeviceFrame(CUcontext context, const void* src, uint32_t srcPitch,
                                      CUdeviceptr dst, uint32_t dstPitch, int width, int height,
                                      CUmemorytype srcMemoryType, NV_ENC_BUFFER_FORMAT format,
                                      const uint32_t* dstPlaneOffsets, uint32_t planeCount,
                                      bool unalignedCopy, CUstream stream) {
    if (srcMemoryType != CU_MEMORYTYPE_HOST && srcMemoryType != CU_MEMORYTYPE_DEVICE) {
        NVENC_RAISE("Invalid source memory type for copy", NV_ENC_ERR_INVALID_PARAM);
    }
    // More planes than the format has would read past both offset lists.
    if (planeCount > GetNumChromaPlanes(format) || (planeCount > 0 && dstPlaneOffsets == nullptr)) {
        NVENC_RAISE("Invalid chroma plane count for copy", NV_ENC_ERR_INVALID_PARAM);
    }

    CudaContextGuard current(context);
    CUDA_DRV_CHECK(current.pushResult());

    const uint32_t widthBytes = GetWidthInBytes(format, static_cast<uint32_t>(width));
    if (srcPitch == 0)
        srcPitch = widthBytes;
    const bool hostSource = srcMemoryType == CU_MEMORYTYPE_HOST;
    const auto setSource = [&](CUDA_MEMCPY2D& copy, uint32_t offset) {
        if (hostSource) {
            copy.srcHost = static_cast<const uint8_t*>(src) + offset;
        } else {
            copy.srcDevice = static_cast<CUdeviceptr>(reinterpret_cast<uintptr_t>(src)) + offset;
        }
    };

    CUDA_MEMCPY2D copy;
    std::memset(&copy, 0, sizeof(copy));
    copy.srcMemoryType = srcMemoryType;
    setSource(copy, 0);
    copy.srcPitch = srcPitch;
    copy.dstMemoryType = CU_MEMORYTYPE_DEVICE;
    copy.dstDevice = dst;
    copy.dstPitch = dstPitch;
    copy.WidthInBytes = widthBytes;
    copy.Height = static_cast<size_t>(height);

    std::vector<uint32_t> srcOffsets;
    GetChromaSubPlaneOffsets(format, srcPitch, static_cast<uint32_t>(height), srcOffsets);
    const uint32_t chromaHeight = GetChromaHeight(format, static_cast<uint32_t>(height));
    const uint32_t dstChromaPitch = GetChromaPitch(format, dstPitch);
    const uint32_t srcChromaPitch = GetChromaPitch(format, srcPitch);
    const uint32_t chromaWidth = GetChromaWidthInBytes(format, static_cast<uint32_t>(width));

    // Plane 0 is luma; planes 1.. are the chroma planes.
    for (uint32_t plane = 0; plane <= planeCount; ++plane) {
        if (plane > 0) {
            if (chromaHeight == 0)
                break;
            setSource(copy, srcOffsets[plane - 1]);
            copy.srcPitch = srcChromaPitch;
            copy.dstDevice = dst + dstPlaneOffsets[plane - 1];
            copy.dstPitch = dstChromaPitch;
            copy.WidthInBytes = chromaWidth;
            copy.Height = chromaHeight;
        }
        if (unalignedCopy && !hostSource) {
            CUDA_DRV_CHECK(cuMemcpy2DUnaligned(&copy));
        } else if (stream) {
            CUDA_DRV_CHECK(cuMemcpy2DAsync(&copy, stream));
        } else {
            CUDA_DRV_CHECK(cuMemcpy2D(&copy));
        }
    }
    CUDA_DRV_CHECK(current.pop());
}
