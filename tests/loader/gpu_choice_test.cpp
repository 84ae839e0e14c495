// On a GPU: which encoder this machine records with, shown by recording a few frames the way
// the viewer does. The line it prints is the viewer's own INFO line.
#include <cuda.h>
#include <gtest/gtest.h>

#include <iostream>
#include <string>
#include <vector>

#include "EncoderLoader.h"
#include "NvEncoder/NvEncoderCuda.h"
#include "recording_request.h"

namespace {

std::vector<std::string> g_lines;

TEST(EncoderChoiceOnThisGpu, RecordsAndSaysWhichEncoder) {
    CUdevice device = 0;
    CUcontext context = nullptr;
    if (cuInit(0) != CUDA_SUCCESS || cuDeviceGet(&device, 0) != CUDA_SUCCESS)
        GTEST_SKIP() << "no CUDA device";
    ASSERT_EQ(cuCtxCreate(&context, nullptr, 0, device), CUDA_SUCCESS);
    camfx::nvenc::SetEncoderLogSink(
        [](camfx::nvenc::EncoderLogLevel, const char* line) { g_lines.emplace_back(line); });

    size_t packets = 0;
    {
        const auto encoder = CreateRecordingEncoder(context);

        CUdeviceptr nv12 = 0;
        ASSERT_EQ(cuMemAlloc(&nv12, static_cast<size_t>(encoder->GetFrameSize())), CUDA_SUCCESS);
        std::vector<std::vector<uint8_t>> out;
        constexpr int kFrames = 10;
        for (int i = 0; i < kFrames; ++i) {
            ASSERT_EQ(cuMemsetD8(nv12, static_cast<unsigned char>(16 + 20 * i),
                                 static_cast<size_t>(encoder->GetFrameSize())),
                      CUDA_SUCCESS);
            const EncoderInputFrame* slot = encoder->NextInputSlot();
            NvEncoderCuda::CopyToDeviceFrame(context, reinterpret_cast<const void*>(nv12), 0,
                                             slot->bufferPtr, slot->lumaPitch, 1280, 720,
                                             CU_MEMORYTYPE_DEVICE, slot->format, slot->planeOffsets,
                                             slot->planeCount);
            encoder->EncodeFrame(out);
            packets += out.size();
        }
        encoder->EndEncode(out);
        packets += out.size();
        encoder->CloseEncoder();
        cuMemFree(nv12);
        EXPECT_EQ(packets, static_cast<size_t>(kFrames));
    }
    camfx::nvenc::SetEncoderLogSink(nullptr);
    cuCtxDestroy(context);

    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(g_lines[0].rfind("Recording HEVC with ", 0), 0u) << g_lines[0];
    std::cout << g_lines[0] << std::endl;
}

}  // namespace
