#include <gtest/gtest.h>

#include <cuda_runtime.h>

#include <cstring>
#include <utility>
#include <vector>

#include "EncoderTestSupport.h"

namespace {

CUcontext Current() {
    CUcontext current = nullptr;
    cuCtxGetCurrent(&current);
    return current;
}

// In the host flavor device memory is host memory: look at it directly.
uint8_t* Bytes(uintptr_t device) {
    return reinterpret_cast<uint8_t*>(device);
}

// A source picture of `rows` rows of `pitch` bytes; byte (row, column) holds a value that
// differs between neighbouring rows and columns.
std::vector<uint8_t> Pattern(size_t pitch, size_t rows) {
    std::vector<uint8_t> bytes(pitch * rows);
    for (size_t r = 0; r < rows; ++r)
        for (size_t c = 0; c < pitch; ++c)
            bytes[r * pitch + c] = uint8_t(r * 7 + c * 3 + 1);
    return bytes;
}

// Checks `rows` rows of `width` bytes of a plane copied from src to dst, and that the byte
// after each row (inside the destination pitch) was left alone.
::testing::AssertionResult PlaneCopied(const uint8_t* src, size_t srcPitch, const uint8_t* dst,
                                       size_t dstPitch, size_t width, size_t rows,
                                       uint8_t untouched) {
    for (size_t r = 0; r < rows; ++r) {
        if (std::memcmp(src + r * srcPitch, dst + r * dstPitch, width) != 0)
            return ::testing::AssertionFailure() << "row " << r << " differs";
        if (dstPitch > width && dst[r * dstPitch + width] != untouched)
            return ::testing::AssertionFailure() << "row " << r << " overran its width";
    }
    return ::testing::AssertionSuccess();
}

}  // namespace

// Input buffers.

using InputBufferTest = EncoderTest;

TEST_F(InputBufferTest, OnePitchedBufferPerSlotWithRoomForChroma) {
    struct Case {
        NV_ENC_BUFFER_FORMAT format;
        size_t widthInBytes;
        size_t rows;
    };
    const Case cases[] = {
        {NV_ENC_BUFFER_FORMAT_NV12, 1280, 720 + 360},  // the system's buffers
        {NV_ENC_BUFFER_FORMAT_YV12, 1280, 720 + 360},  // both half planes share the rows
        {NV_ENC_BUFFER_FORMAT_IYUV, 1280, 720 + 360},
        {NV_ENC_BUFFER_FORMAT_YUV444, 1280, 720 * 3},
        {NV_ENC_BUFFER_FORMAT_YUV420_10BIT, 2560, 720 + 360},
        {NV_ENC_BUFFER_FORMAT_ABGR, 5120, 720},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "format 0x" << std::hex << c.format);
        fakenvenc::reset();
        const CUcontext before = Current();
        auto encoder = MakeCreated(EncoderOptions().Format(c.format));
        EXPECT_EQ(Current(), before);  // pushed and popped again
        const size_t pitch = encoder->m_nInputPitch;
        EXPECT_GE(pitch, c.widthInBytes);
        EXPECT_LT(pitch, c.widthInBytes + 4096);
        EXPECT_EQ(cudahost::liveAllocationBytes() - m_liveBytes, 4 * pitch * c.rows);
        for (const NV_ENC_REGISTER_RESOURCE& r : fake().registrations)
            EXPECT_EQ(r.pitch, pitch);
        encoder.reset();
        EXPECT_EQ(cudahost::liveAllocationBytes(), m_liveBytes);
    }
}

TEST_F(InputBufferTest, MotionOnlyAllocatesReferenceBuffersToo) {
    auto encoder = MakeCreated(EncoderOptions().MotionOnly(), NV_ENC_CODEC_H264_GUID);
    const size_t n = 4, pitch = encoder->m_nInputPitch;
    EXPECT_EQ(cudahost::liveAllocationBytes() - m_liveBytes, 2 * n * pitch * 1080);
    ASSERT_EQ(fake().registrations.size(), 2 * n);
    for (size_t k = 0; k < n; ++k) {
        EXPECT_EQ(reinterpret_cast<uintptr_t>(fake().registrations[k].resourceToRegister),
                  encoder->m_vInputSlots[k].bufferPtr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(fake().registrations[n + k].resourceToRegister),
                  encoder->m_vReferenceSlots[k].bufferPtr);
    }
    encoder.reset();
    EXPECT_EQ(cudahost::liveAllocationBytes(), m_liveBytes);
}

TEST_F(InputBufferTest, CountZeroStillPushesTheContext) {
    auto encoder = MakeCreated();
    const size_t bytes = cudahost::liveAllocationBytes();
    const size_t registrations = fake().registrations.size();
    encoder->AllocateInputBuffers(0);
    EXPECT_EQ(cudahost::liveAllocationBytes(), bytes);
    EXPECT_EQ(fake().registrations.size(), registrations);

    cudahost::failDriverCall("cuCtxPushCurrent", CUDA_ERROR_INVALID_CONTEXT);
    EXPECT_TRUE(Raises([&] { encoder->AllocateInputBuffers(0); },
                       "NvEncoderCuda::AllocateInputBuffers",
                       "CUDA driver API error CUDA_ERROR_INVALID_CONTEXT", NV_ENC_ERR_GENERIC));
}

TEST_F(InputBufferTest, AllocationNeedsAnInitialisedSession) {
    auto encoder = Make();
    EXPECT_TRUE(Raises([&] { encoder->AllocateInputBuffers(2); },
                       "NvEncoderCuda::AllocateInputBuffers", "Encoder intialization failed",
                       NV_ENC_ERR_ENCODER_NOT_INITIALIZED));
    EXPECT_EQ(cudahost::liveAllocationBytes(), m_liveBytes);
}

TEST_F(InputBufferTest, FailedAllocationRaisesAndLeavesNothingBehind) {
    const CUcontext before = Current();
    cudahost::failDriverCall("cuMemAllocPitch", CUDA_ERROR_OUT_OF_MEMORY);
    EXPECT_TRUE(Raises([&] { MakeCreated(); }, "NvEncoderCuda::AllocateInputBuffers",
                       "CUDA driver API error CUDA_ERROR_OUT_OF_MEMORY", NV_ENC_ERR_GENERIC));
    EXPECT_EQ(Current(), before);
    EXPECT_EQ(callCount("nvEncRegisterResource"), 0);
    EXPECT_EQ(cudahost::liveAllocationBytes(), m_liveBytes);

    // A pop that fails after all buffers of the pass exist: they are freed again.
    fakenvenc::reset();
    auto encoder = Make();
    EncoderRequest request;
    Defaults(*encoder, request);
    cudahost::failDriverCall("cuCtxPopCurrent", CUDA_ERROR_INVALID_CONTEXT);
    EXPECT_TRUE(Raises([&] { encoder->CreateEncoder(&request.params); },
                       "NvEncoderCuda::AllocateInputBuffers",
                       "CUDA driver API error CUDA_ERROR_INVALID_CONTEXT", NV_ENC_ERR_GENERIC));
    EXPECT_EQ(Current(), before);
    EXPECT_EQ(cudahost::liveAllocationBytes(), m_liveBytes);
    EXPECT_TRUE(encoder->m_vInputSlots.empty());
}

TEST_F(InputBufferTest, RefusedRegistrationKeepsTheRegisteredAndFreesTheRest) {
    fakenvenc::answer("nvEncRegisterResource", NV_ENC_ERR_RESOURCE_REGISTER_FAILED, 2);
    auto encoder = Make();
    EncoderRequest request;
    Defaults(*encoder, request);
    EXPECT_TRUE(Raises([&] { encoder->CreateEncoder(&request.params); },
                       "NvEncoder::RegisterResource",
                       "m_nvenc.nvEncRegisterResource(m_hEncoder, &registerResource) returned "
                       "error 23",
                       23));
    ASSERT_EQ(encoder->m_vInputSlots.size(), 2u);
    EXPECT_EQ(encoder->m_vRegisteredInputs.size(), 2u);
    EXPECT_EQ(cudahost::liveAllocationBytes() - m_liveBytes, 2 * encoder->m_nInputPitch * 1080);
    encoder.reset();
    EXPECT_EQ(fake().unregistered.size(), 2u);
    EXPECT_EQ(cudahost::liveAllocationBytes(), m_liveBytes);
}

TEST_F(InputBufferTest, FreeingTwiceFreesOnce) {
    auto encoder = MakeCreated();
    encoder->FreeInputBuffers();
    EXPECT_EQ(cudahost::liveAllocationBytes(), m_liveBytes);
    EXPECT_EQ(callCount("nvEncUnregisterResource"), 4);
    EXPECT_EQ(encoder->m_cudaContext, nullptr);
    EXPECT_TRUE(encoder->m_vInputSlots.empty());
    const size_t calls = fake().calls.size();
    cudahost::failDriverCall("cuCtxPushCurrent", CUDA_ERROR_INVALID_CONTEXT);
    encoder->FreeInputBuffers();
    EXPECT_EQ(fake().calls.size(), calls);
    EXPECT_EQ(cuCtxPushCurrent(m_context), CUDA_ERROR_INVALID_CONTEXT);  // still armed: unused
    // The session itself is still there until it is closed.
    EXPECT_NE(encoder->m_hEncoder, nullptr);
    encoder->CloseEncoder();
    EXPECT_EQ(callCount("nvEncUnregisterResource"), 4);
    EXPECT_EQ(callCount("nvEncDestroyEncoder"), 1);
}

// CopyToDeviceFrame.

class CopyTest : public EncoderTest {
  protected:
    void SetUp() override {
        EncoderTest::SetUp();
        ASSERT_EQ(cudaStreamCreate(&m_stream), cudaSuccess);
    }
    void TearDown() override {
        cudaStreamDestroy(m_stream);
        EncoderTest::TearDown();
    }

    // An encoder input slot, all of its buffer filled with `fill`.
    const EncoderInputFrame* Slot(std::unique_ptr<ProbeEncoder>& encoder, uint8_t fill) {
        const EncoderInputFrame* slot = encoder->NextInputSlot();
        const NV_ENC_BUFFER_FORMAT format = slot->format;
        const uint32_t height = encoder->m_nMaxHeight;
        uint32_t chromaRows = NvEncoder::GetChromaHeight(format, height);
        if (format != NV_ENC_BUFFER_FORMAT_YV12 && format != NV_ENC_BUFFER_FORMAT_IYUV)
            chromaRows *= NvEncoder::GetNumChromaPlanes(format);
        std::memset(Bytes(slot->bufferPtr), fill, encoder->m_nInputPitch * (height + chromaRows));
        return slot;
    }

    std::unique_ptr<ProbeEncoder> Encoder(NV_ENC_BUFFER_FORMAT format) {
        // Room for every layout of a 1280 x 720 picture.
        return MakeCreated(EncoderOptions().Format(format).Size(1280, 720 * 2));
    }

    // Copies a 1280 x 720 picture into `slot` with the slot's own layout.
    static void CopyInto(const EncoderInputFrame* slot, CUcontext context, const void* src,
                         CUmemorytype type, uint32_t planeCount, uint32_t srcPitch = 0,
                         bool unaligned = false, CUstream stream = nullptr) {
        NvEncoderCuda::CopyToDeviceFrame(context, src, srcPitch, slot->bufferPtr, slot->lumaPitch,
                                         1280, 720, type, slot->format, slot->planeOffsets,
                                         planeCount, unaligned, stream);
    }

    // Both planes of a tightly packed 1280 x 720 NV12 `src` arrived in `slot`, and no more.
    static ::testing::AssertionResult Nv12Copied(const std::vector<uint8_t>& src,
                                                 const EncoderInputFrame* slot) {
        const uint8_t* dst = Bytes(slot->bufferPtr);
        auto luma = PlaneCopied(src.data(), 1280, dst, slot->lumaPitch, 1280, 720, 0xEE);
        if (!luma)
            return luma << " (luma)";
        return PlaneCopied(src.data() + 1280 * 720, 1280, dst + slot->planeOffsets[0],
                           slot->planePitch, 1280, 360, 0xEE)
               << " (chroma)";
    }

    CUstream m_stream = nullptr;
};

TEST_F(CopyTest, InvalidMemoryTypeRaisesBeforeThePush) {
    const uint32_t offsets[2] = {0, 0};
    std::vector<uint8_t> src(64 * 64 * 2);
    std::vector<uint8_t> dst(64 * 64 * 2);
    for (CUmemorytype type : {CU_MEMORYTYPE_ARRAY, CU_MEMORYTYPE_UNIFIED}) {
        cudahost::failDriverCall("cuCtxPushCurrent", CUDA_ERROR_INVALID_CONTEXT);
        EXPECT_TRUE(Raises(
            [&] {
                NvEncoderCuda::CopyToDeviceFrame(m_context, src.data(), 0,
                                                 reinterpret_cast<CUdeviceptr>(dst.data()), 64, 64,
                                                 64, type, NV_ENC_BUFFER_FORMAT_NV12, offsets, 1);
            },
            "NvEncoderCuda::CopyToDeviceFrame", "Invalid source memory type for copy", 8));
        // The armed push failure is still waiting: nothing was pushed.
        EXPECT_EQ(cuCtxPushCurrent(m_context), CUDA_ERROR_INVALID_CONTEXT);
    }
}

TEST_F(CopyTest, HostSourceTightlyPackedNv12) {
    auto encoder = Encoder(NV_ENC_BUFFER_FORMAT_NV12);
    const EncoderInputFrame* slot = Slot(encoder, 0xEE);
    const std::vector<uint8_t> src = Pattern(1280, 720 + 360);
    const CUcontext before = Current();
    CopyInto(slot, m_context, src.data(), CU_MEMORYTYPE_HOST, slot->planeCount);
    EXPECT_EQ(Current(), before);
    EXPECT_TRUE(Nv12Copied(src, slot));  // the source chroma plane starts at 1280 * 720
    const uint8_t* dst = Bytes(slot->bufferPtr);
    EXPECT_EQ(dst[slot->planeOffsets[0] + 360 * slot->planePitch], 0xEE);  // nothing beyond
}

TEST_F(CopyTest, DeviceSourceWithItsOwnPitchOnAStream) {
    auto encoder = Encoder(NV_ENC_BUFFER_FORMAT_YV12);
    const EncoderInputFrame* slot = Slot(encoder, 0xEE);
    const size_t srcPitch = 1408;  // YV12 chroma: half pitch 704, half width 640, 360 rows
    const std::vector<uint8_t> host = Pattern(srcPitch, 720 + 360);
    CUdeviceptr src = 0;
    ASSERT_EQ(cuMemAlloc(&src, host.size()), CUDA_SUCCESS);
    std::memcpy(Bytes(src), host.data(), host.size());

    cudahost::failDriverCall("cuMemcpy2D", CUDA_ERROR_UNKNOWN, 3);  // must not be used
    CopyInto(slot, m_context, reinterpret_cast<const void*>(src), CU_MEMORYTYPE_DEVICE,
             slot->planeCount, srcPitch, false, m_stream);
    cudahost::clearDriverFailures();
    ASSERT_EQ(cudaStreamSynchronize(m_stream), cudaSuccess);

    const uint8_t* dst = Bytes(slot->bufferPtr);
    const uint8_t* s = host.data();
    EXPECT_TRUE(PlaneCopied(s, srcPitch, dst, slot->lumaPitch, 1280, 720, 0xEE));
    const size_t srcV = srcPitch * 720, srcU = srcV + srcPitch / 2 * 360;
    EXPECT_TRUE(PlaneCopied(s + srcV, srcPitch / 2, dst + slot->planeOffsets[0], slot->planePitch,
                            640, 360, 0xEE));
    EXPECT_TRUE(PlaneCopied(s + srcU, srcPitch / 2, dst + slot->planeOffsets[1], slot->planePitch,
                            640, 360, 0xEE));
    cuMemFree(src);
}

TEST_F(CopyTest, PlaneCountZeroCopiesOnlyLuma) {
    auto encoder = Encoder(NV_ENC_BUFFER_FORMAT_NV12);
    const EncoderInputFrame* slot = Slot(encoder, 0xEE);
    const std::vector<uint8_t> src = Pattern(1280, 720 + 360);
    CopyInto(slot, m_context, src.data(), CU_MEMORYTYPE_HOST, 0);
    const uint8_t* dst = Bytes(slot->bufferPtr);
    EXPECT_TRUE(PlaneCopied(src.data(), 1280, dst, slot->lumaPitch, 1280, 720, 0xEE));
    const std::vector<uint8_t> chroma(dst + slot->planeOffsets[0],
                                      dst + slot->planeOffsets[0] + 360 * slot->planePitch);
    EXPECT_EQ(chroma, std::vector<uint8_t>(chroma.size(), 0xEE));
}

TEST_F(CopyTest, FourByteFormatIsOnePlaneOfFourBytesAPixel) {
    auto encoder = Encoder(NV_ENC_BUFFER_FORMAT_ARGB);
    const EncoderInputFrame* slot = Slot(encoder, 0xEE);
    ASSERT_EQ(slot->planeCount, 0u);
    const std::vector<uint8_t> src = Pattern(4 * 1280, 721);
    CopyInto(slot, m_context, src.data(), CU_MEMORYTYPE_HOST, slot->planeCount);
    const uint8_t* dst = Bytes(slot->bufferPtr);
    EXPECT_TRUE(PlaneCopied(src.data(), 4 * 1280, dst, slot->lumaPitch, 4 * 1280, 720, 0xEE));
    EXPECT_EQ(dst[720 * slot->lumaPitch], 0xEE);
}

TEST_F(CopyTest, ChoiceOfCopyCall) {
    auto encoder = Encoder(NV_ENC_BUFFER_FORMAT_NV12);
    const EncoderInputFrame* slot = Slot(encoder, 0xEE);
    const std::vector<uint8_t> src = Pattern(1280, 720 + 360);
    CUdeviceptr device = 0;
    ASSERT_EQ(cuMemAlloc(&device, src.size()), CUDA_SUCCESS);
    std::memcpy(Bytes(device), src.data(), src.size());
    const CUcontext before = Current();

    const auto copy = [&](const void* from, CUmemorytype type, bool unaligned, CUstream stream) {
        CopyInto(slot, m_context, from, type, slot->planeCount, 0, unaligned, stream);
    };
    const auto expectCall = [&](const char* call, const std::function<void()>& action) {
        SCOPED_TRACE(call);
        cudahost::failDriverCall(call, CUDA_ERROR_NOT_SUPPORTED);
        EXPECT_TRUE(Raises(action, "NvEncoderCuda::CopyToDeviceFrame",
                           "CUDA driver API error CUDA_ERROR_NOT_SUPPORTED", NV_ENC_ERR_GENERIC));
        cudahost::clearDriverFailures();
        EXPECT_EQ(Current(), before);  // popped again after the failure
    };
    const void* host = src.data();
    const void* dev = reinterpret_cast<const void*>(device);

    // A host source never takes the unaligned copy: synchronous, or queued on the stream.
    expectCall("cuMemcpy2D", [&] { copy(host, CU_MEMORYTYPE_HOST, true, nullptr); });
    expectCall("cuMemcpy2DAsync", [&] { copy(host, CU_MEMORYTYPE_HOST, true, m_stream); });
    // A device source takes it when asked, stream or not.
    expectCall("cuMemcpy2DUnaligned", [&] { copy(dev, CU_MEMORYTYPE_DEVICE, true, m_stream); });
    expectCall("cuMemcpy2DUnaligned", [&] { copy(dev, CU_MEMORYTYPE_DEVICE, true, nullptr); });
    expectCall("cuMemcpy2D", [&] { copy(dev, CU_MEMORYTYPE_DEVICE, false, nullptr); });
    expectCall("cuMemcpy2DAsync", [&] { copy(dev, CU_MEMORYTYPE_DEVICE, false, m_stream); });

    // And every path copies the same bytes.
    for (bool unaligned : {false, true}) {
        for (CUstream stream : {static_cast<CUstream>(nullptr), m_stream}) {
            Slot(encoder, 0xEE);
            copy(dev, CU_MEMORYTYPE_DEVICE, unaligned, stream);
            cudaStreamSynchronize(m_stream);
            EXPECT_TRUE(Nv12Copied(src, slot));
        }
    }
    cuMemFree(device);
}

TEST_F(CopyTest, MorePlanesThanTheFormatHasAreRefused) {
    const uint32_t offsets[2] = {4096, 8192};
    std::vector<uint8_t> src(64 * 96);
    CUdeviceptr dst = 0;
    ASSERT_EQ(cuMemAlloc(&dst, 64 * 96 * 2), CUDA_SUCCESS);
    // Two planes for NV12, and one plane without offsets.
    for (const auto& [planeOffsets, planeCount] :
         {std::pair<const uint32_t*, uint32_t>{offsets, 2}, {nullptr, 1}}) {
        EXPECT_TRUE(Raises(
            [&] {
                NvEncoderCuda::CopyToDeviceFrame(m_context, src.data(), 0, dst, 64, 64, 64,
                                                 CU_MEMORYTYPE_HOST, NV_ENC_BUFFER_FORMAT_NV12,
                                                 planeOffsets, planeCount);
            },
            "NvEncoderCuda::CopyToDeviceFrame", "Invalid chroma plane count for copy", 8));
    }
    cuMemFree(dst);
}
