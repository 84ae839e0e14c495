#include <gtest/gtest.h>

#include <cuda.h>

#include <string>

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

namespace {

NVENCException Caught(void (*action)()) {
    try {
        action();
    } catch (const NVENCException& e) {
        return e;
    }
    ADD_FAILURE() << "nothing was thrown";
    return NVENCException("", 0);
}

std::string AfterAt(const std::string& text) {
    return text.substr(text.find(" at ") + 4);
}

}  // namespace

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
    const NVENCException e = Caught(&Raiser::Fixed);
    const int line = Raiser::raiseLine;
    ASSERT_GT(line, 0);
    const std::string text = e.what();
    EXPECT_EQ(text.rfind("Raiser::Fixed : Invalid codec guid at ", 0), 0u) << text;
    EXPECT_EQ(AfterAt(text), std::string(__FILE__) + ":" + std::to_string(line) + "\n");
    EXPECT_EQ(e.ErrorCode(), NV_ENC_ERR_INVALID_PARAM);
}

TEST(NVENCExceptionTest, CheckCallQuotesTheCallAndTheSignedStatus) {
    EXPECT_NO_THROW(Raiser::Guarded(NV_ENC_SUCCESS));
    try {
        Raiser::Guarded(static_cast<NVENCSTATUS>(-1));
        FAIL() << "nothing was thrown";
    } catch (const NVENCException& e) {
        EXPECT_EQ(std::string(e.what()).rfind(
                      "Raiser::Guarded : Returns(status) returned error -1 at ", 0),
                  0u)
            << e.what();
        EXPECT_EQ(e.ErrorCode(), -1);
    }
    try {
        Raiser::Guarded(NV_ENC_ERR_NEED_MORE_INPUT);  // only success passes
        FAIL() << "nothing was thrown";
    } catch (const NVENCException& e) {
        EXPECT_NE(std::string(e.what()).find("Returns(status) returned error 17 at "),
                  std::string::npos);
        EXPECT_EQ(e.ErrorCode(), 17);
    }
}

TEST(NVENCExceptionTest, DriverCheckNamesTheResultAndAlwaysCarriesGeneric) {
    EXPECT_NO_THROW(Raiser::Driver(CUDA_SUCCESS));
    for (CUresult result : {CUDA_ERROR_OUT_OF_MEMORY, CUDA_ERROR_INVALID_CONTEXT}) {
        const char* name = nullptr;
        ASSERT_EQ(cuGetErrorName(result, &name), CUDA_SUCCESS);
        try {
            Raiser::Driver(result);
            FAIL() << "nothing was thrown";
        } catch (const NVENCException& e) {
            EXPECT_EQ(
                std::string(e.what()).rfind(
                    std::string("Raiser::Driver : CUDA driver API error ") + name + " at ", 0),
                0u)
                << e.what();
            EXPECT_EQ(e.ErrorCode(), NV_ENC_ERR_GENERIC);
        }
    }
}

TEST(NVENCExceptionTest, DriverCheckSurvivesAResultWithoutAName) {
    const CUresult unknown = static_cast<CUresult>(555);
    const char* name = "stale";
    cuGetErrorName(unknown, &name);
    ASSERT_EQ(name, nullptr) << "the stand-in knows 555 now; pick another unknown result";
    try {
        Raiser::Driver(unknown);
        FAIL() << "nothing was thrown";
    } catch (const NVENCException& e) {
        EXPECT_EQ(std::string(e.what()).rfind(
                      "Raiser::Driver : CUDA driver API error (unknown CUresult 555) at ", 0),
                  0u)
            << e.what();
        EXPECT_EQ(e.ErrorCode(), NV_ENC_ERR_GENERIC);
    }
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
