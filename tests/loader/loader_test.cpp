// The choice between the driver's encoder library and the software encoder: what the loader
// makes of each kind of library, and the entry points the wrapper calls when none is named.
#include <cuda.h>
#include <cuda_host.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "EncoderLoader.h"
#include "NvEncoder/NvEncoderCuda.h"
#include "SoftwareEncoder.h"
#include "recording_request.h"

namespace {

using camfx::nvenc::DriverEncoder;
using camfx::nvenc::LoadDriverEncoder;

using camfx::nvenc::EncoderLogLevel;

// The process's choice of library is made once: these tests expect none to be named.
const int kNoLibraryNamed = unsetenv("CAMFX_NVENC_LIBRARY");

std::vector<std::pair<EncoderLogLevel, std::string>> g_lines;
void Capture(EncoderLogLevel level, const char* line) {
    g_lines.emplace_back(level, line);
}

TEST(DriverLibrary, IsTurnedDownWithItsReason) {
    struct Case {
        std::string library;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"/nonexistent/libnvidia-encode.so.1",
         "cannot load /nonexistent/libnvidia-encode.so.1: /nonexistent/libnvidia-encode.so.1: "
         "cannot open shared object file: No such file or directory"},
        {CAMFX_DRIVER_BARE, std::string(CAMFX_DRIVER_BARE) +
                                " lacks the entry point NvEncodeAPIGetMaxSupportedVersion"},
        {CAMFX_DRIVER_11_1, "the driver supports NVENC API 11.1, this build needs 12.2"},
    };
    for (const Case& c : cases) {
        const DriverEncoder driver = LoadDriverEncoder(c.library);
        EXPECT_FALSE(driver.usable) << c.library;
        EXPECT_EQ(driver.whyNot, c.reason);
        EXPECT_EQ(driver.library, c.library);
        EXPECT_EQ(driver.functions.nvEncOpenEncodeSessionEx, nullptr) << c.library;
    }
}

TEST(DriverLibrary, OfAtLeastTheBuildsVersionIsUsable) {
    // Whether a session opens is only known per session: this one refuses them all later.
    const DriverEncoder refusing = LoadDriverEncoder(CAMFX_DRIVER_REFUSING);
    EXPECT_TRUE(refusing.usable) << refusing.whyNot;
    EXPECT_EQ(refusing.maxVersion, 0xC2u);

    // A library that encodes, with the process's CUDA contexts.
    const DriverEncoder driver = LoadDriverEncoder(CAMFX_DRIVER_SWENC);
    ASSERT_TRUE(driver.usable) << driver.whyNot;
    ASSERT_EQ(cuInit(0), CUDA_SUCCESS);
    CUcontext context = nullptr;
    ASSERT_EQ(cuCtxCreate(&context, nullptr, 0, 0), CUDA_SUCCESS);
    NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS params{};
    params.version = NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS_VER;
    params.device = context;
    params.deviceType = NV_ENC_DEVICE_TYPE_CUDA;
    params.apiVersion = NVENCAPI_VERSION;
    void* session = nullptr;
    EXPECT_EQ(driver.functions.nvEncOpenEncodeSessionEx(&params, &session), NV_ENC_SUCCESS);
    EXPECT_EQ(driver.functions.nvEncDestroyEncoder(session), NV_ENC_SUCCESS);
    cuCtxDestroy(context);
}

TEST(DriverLibrary, VersionsAndStatusesReadAsTheirNames) {
    EXPECT_EQ(camfx::nvenc::ApiVersionText(0xC2), "12.2");
    EXPECT_EQ(camfx::nvenc::ApiVersionText(0xD0), "13.0");
    EXPECT_EQ(camfx::nvenc::StatusName(NV_ENC_ERR_NO_ENCODE_DEVICE), "NV_ENC_ERR_NO_ENCODE_DEVICE");
    EXPECT_EQ(camfx::nvenc::StatusName(static_cast<NVENCSTATUS>(99)), "NVENC status 99");
    EXPECT_EQ(camfx::nvenc::EncoderSupport(),
              "HEVC, H.264 and AV1 in software: HEVC with libx265 " +
                  camfx::swenc::LibraryVersion() + ", H.264 with " +
                  camfx::swenc::EncoderName(NV_ENC_CODEC_H264_GUID) + ", AV1 with " +
                  camfx::swenc::EncoderName(NV_ENC_CODEC_AV1_GUID) +
                  " (this is the host flavor, which does not load the driver's encoder)");
}

// No library named, in the host flavor: every session goes to the software encoder, and the
// line says so and why.
class EntryPoints : public ::testing::Test {
  protected:
    void SetUp() override {
        g_lines.clear();
        camfx::nvenc::SetEncoderLogSink(&Capture);
        ASSERT_EQ(cuInit(0), CUDA_SUCCESS);
        ASSERT_EQ(cuCtxCreate(&m_context, nullptr, 0, 0), CUDA_SUCCESS);
    }
    void TearDown() override {
        camfx::nvenc::SetEncoderLogSink(nullptr);
        cuCtxDestroy(m_context);
    }
    CUcontext m_context = nullptr;
};

TEST_F(EntryPoints, OpenSessionsOnTheSoftwareEncoderAndSayWhy) {
    uint32_t version = 0;
    ASSERT_EQ(NvEncodeAPIGetMaxSupportedVersion(&version), NV_ENC_SUCCESS);
    EXPECT_EQ(version, 0xC2u);

    for (int session = 0; session < 2; ++session) {
        const auto encoder = CreateRecordingEncoder(m_context);
        std::vector<std::vector<uint8_t>> packets;
        encoder->EndEncode(packets);
    }
    // One line a session, naming the encoder, its rate control and the reason.
    ASSERT_EQ(g_lines.size(), 2u);
    const std::string expected =
        ", 1280x720 at 30/1 fps, constant quality 26: this is the host flavor, which does not "
        "load the driver's encoder";
    for (const auto& [level, line] : g_lines) {
        EXPECT_EQ(level, EncoderLogLevel::Info);
        EXPECT_EQ(line.rfind("Recording HEVC with the software encoder, libx265 ", 0), 0u) << line;
        EXPECT_EQ(line.substr(line.size() - expected.size()), expected) << line;
    }
}

TEST_F(EntryPoints, TellAFailedCallInTheEncodersOwnWords) {
    const auto encoder = CreateRecordingEncoder(m_context);
    g_lines.clear();

    // The picture cannot be read from the device: the wrapper raises, and one line says why.
    cudahost::failDriverCall("cuMemcpy2D", CUDA_ERROR_ILLEGAL_ADDRESS);
    std::vector<std::vector<uint8_t>> packets;
    EXPECT_THROW(encoder->EncodeFrame(packets), NVENCException);
    cudahost::clearDriverFailures();
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(g_lines[0].first, EncoderLogLevel::Error);
    EXPECT_EQ(g_lines[0].second,
              "The software encoder failed (NV_ENC_ERR_GENERIC): cuMemcpy2D of the input "
              "picture failed: CUDA_ERROR_ILLEGAL_ADDRESS");
}

TEST_F(EntryPoints, AnswerUnknownSessionsWithoutTouchingThem) {
    NV_ENCODE_API_FUNCTION_LIST list{};
    EXPECT_EQ(NvEncodeAPICreateInstance(nullptr), NV_ENC_ERR_INVALID_PTR);
    list.version = NVENCAPI_STRUCT_VERSION(1);
    EXPECT_EQ(NvEncodeAPICreateInstance(&list), NV_ENC_ERR_INVALID_VERSION);
    list.version = NV_ENCODE_API_FUNCTION_LIST_VER;
    ASSERT_EQ(NvEncodeAPICreateInstance(&list), NV_ENC_SUCCESS);

    int unknown = 0;
    NV_ENC_PIC_PARAMS picture{};
    picture.version = NV_ENC_PIC_PARAMS_VER;
    EXPECT_EQ(list.nvEncEncodePicture(&unknown, &picture), NV_ENC_ERR_INVALID_PTR);
    EXPECT_EQ(list.nvEncDestroyEncoder(&unknown), NV_ENC_ERR_INVALID_PTR);

    void* session = nullptr;
    ASSERT_EQ(list.nvEncOpenEncodeSession(m_context, NV_ENC_DEVICE_TYPE_CUDA, &session),
              NV_ENC_SUCCESS);
    EXPECT_EQ(list.nvEncDestroyEncoder(session), NV_ENC_SUCCESS);
    EXPECT_EQ(list.nvEncDestroyEncoder(session), NV_ENC_ERR_INVALID_PTR);
    EXPECT_EQ(list.nvEncOpenEncodeSessionEx(nullptr, &session), NV_ENC_ERR_INVALID_PTR);
    EXPECT_TRUE(g_lines.empty());
}

}  // namespace
