#include <gtest/gtest.h>

#include <cuda.h>

#include <string>

#include "EncoderTestSupport.h"
#include "NvEncoder/NVENCException.h"
#include "cuda_host.h"

// Outside any namespace, so that its functions carry the plain qualified names.
struct Raiser {
    static inline int raiseLine = 0;
    static void Fixed() {
        raiseLine = __LINE__ + 1;
        NVENC_RAISE("Invalid codec guid", NV_ENC_ERR_INVALID_PARAM);
    }
    static NVENCSTATUS Returns(NVENCSTATUS status) { return status; }
    static void Guarded(NVENCSTATUS status) { NVENC_CHECK_CALL(Returns(status)); }
    static void Driver(CUresult result) { CUDA_DRV_CHECK(static_cast<CUresult>(result)); }
};

TEST(NVENCExceptionTest, BuildComposesFunctionMessageFileAndLine) {
    const NVENCException e =
        NVENCException::Build("Invalid codec guid", 8, "NvEncoder::CreateEncoder", "a/b.cpp", -7);
    EXPECT_STREQ(e.what(), "NvEncoder::CreateEncoder : Invalid codec guid at a/b.cpp:-7\n");
    EXPECT_EQ(e.ErrorCode(), 8);

    const NVENCException copy = e;  // throwing copies the object
    EXPECT_STREQ(copy.what(), e.what());
    EXPECT_EQ(copy.ErrorCode(), 8);
    EXPECT_NE(copy.what(), e.what());  // each copy owns its text
}

TEST(NVENCExceptionTest, RaiseCarriesQualifiedFunctionFileAndLine) {
    std::string text = "nothing was thrown";
    EXPECT_TRUE(Raises(
        [&] {
            try {
                Raiser::Fixed();
            } catch (const NVENCException& e) {
                text = e.what();
                throw;
            }
        },
        "Raiser::Fixed", "Invalid codec guid", NV_ENC_ERR_INVALID_PARAM));
    ASSERT_GT(Raiser::raiseLine, 0);
    EXPECT_EQ(text.substr(text.find(" at ") + 4),
              std::string(__FILE__) + ":" + std::to_string(Raiser::raiseLine) + "\n");
}

TEST(NVENCExceptionTest, CheckCallQuotesTheCallAndTheSignedStatus) {
    EXPECT_NO_THROW(Raiser::Guarded(NV_ENC_SUCCESS));
    EXPECT_TRUE(Raises([] { Raiser::Guarded(static_cast<NVENCSTATUS>(-1)); }, "Raiser::Guarded",
                       "Returns(status) returned error -1", -1));
    // Only success passes.
    EXPECT_TRUE(Raises([] { Raiser::Guarded(NV_ENC_ERR_NEED_MORE_INPUT); }, "Raiser::Guarded",
                       "Returns(status) returned error 17", 17));
}

TEST(NVENCExceptionTest, DriverCheckNamesTheResultAndAlwaysCarriesGeneric) {
    EXPECT_NO_THROW(Raiser::Driver(CUDA_SUCCESS));
    for (CUresult result : {CUDA_ERROR_OUT_OF_MEMORY, CUDA_ERROR_INVALID_CONTEXT}) {
        const char* name = nullptr;
        ASSERT_EQ(cuGetErrorName(result, &name), CUDA_SUCCESS);
        EXPECT_TRUE(Raises([&] { Raiser::Driver(result); }, "Raiser::Driver",
                           std::string("CUDA driver API error ") + name, NV_ENC_ERR_GENERIC));
    }
}

TEST(NVENCExceptionTest, DriverCheckSurvivesAResultWithoutAName) {
    const CUresult unknown = static_cast<CUresult>(555);
    const char* name = "stale";
    cuGetErrorName(unknown, &name);
    ASSERT_EQ(name, nullptr) << "the stand-in knows 555 now; pick another unknown result";
    EXPECT_TRUE(Raises([&] { Raiser::Driver(unknown); }, "Raiser::Driver",
                       "CUDA driver API error (unknown CUresult 555)", NV_ENC_ERR_GENERIC));
}

TEST(NVENCExceptionTest, QualifiedNameDropsReturnTypeAndParameters) {
    using nvenc_detail::QualifiedName;
    EXPECT_EQ(QualifiedName("void NvEncoder::CreateEncoder(const NV_ENC_INITIALIZE_PARAMS*)"),
              "NvEncoder::CreateEncoder");
    EXPECT_EQ(QualifiedName("NvEncoderCuda::NvEncoderCuda(CUcontext, uint32_t)"),
              "NvEncoderCuda::NvEncoderCuda");
    EXPECT_EQ(QualifiedName("const EncoderInputFrame* NvEncoder::NextInputSlot()"),
              "NvEncoder::NextInputSlot");
    EXPECT_EQ(QualifiedName("static uint32_t NvEncoder::GetWidthInBytes(NV_ENC_BUFFER_FORMAT, "
                            "uint32_t)"),
              "NvEncoder::GetWidthInBytes");
    EXPECT_EQ(QualifiedName("NvEncoder::LoadNvEncApi"), "NvEncoder::LoadNvEncApi");
}
