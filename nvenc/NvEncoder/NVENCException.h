// The error type of the encoder wrapper and the three ways it is raised.
#pragma once

#include <exception>
#include <sstream>
#include <string>

#include "nvEncodeAPI.h"

class NVENCException : public std::exception {
  public:
    NVENCException(const std::string& text, int status)
        : std::exception(), m_text(text), m_status(status) {}
    ~NVENCException() noexcept override = default;
    const char* what() const noexcept override { return m_text.c_str(); }

    // The NVENCSTATUS the failure was raised with.
    int ErrorCode() const { return m_status; }

    // Formats "function : message at file:line" and a newline.
    static NVENCException Build(const std::string& message, int status, const std::string& function,
                                const std::string& file, int line) {
        std::ostringstream text;
        text << function << " : " << message << " at " << file << ":" << line << std::endl;
        return NVENCException(text.str(), status);
    }

  private:
    std::string m_text;
    int m_status;
};

namespace nvenc_detail {

// The qualified name of the raising function ("NvEncoder::CreateEncoder") taken from the
// compiler's full signature: what precedes the parameter list, after the return type.
inline std::string QualifiedName(const char* signature) {
    std::string name(signature);
    const size_t parameters = name.find('(');
    if (parameters != std::string::npos)
        name.erase(parameters);
    const size_t space = name.rfind(' ');
    if (space != std::string::npos)
        name.erase(0, space + 1);
    return name;
}

// cuGetErrorName leaves no name for a result it does not know; report the number then.
inline std::string CudaDriverErrorMessage(const char* name, int result) {
    std::ostringstream message;
    message << "CUDA driver API error ";
    if (name != nullptr)
        message << name;
    else
        message << "(unknown CUresult " << result << ")";
    return message.str();
}

}  // namespace nvenc_detail

#if defined(_MSC_VER)
#define NVENC_FUNCTION_SIGNATURE __FUNCTION__
#else
#define NVENC_FUNCTION_SIGNATURE __PRETTY_FUNCTION__
#endif
#define NVENC_FUNCTION_NAME nvenc_detail::QualifiedName(NVENC_FUNCTION_SIGNATURE)

#define NVENC_RAISE(message, status) \
    throw NVENCException::Build((message), (status), NVENC_FUNCTION_NAME, __FILE__, __LINE__)

// The message is the call's own source text, " returned error " and the status.
#define NVENC_CHECK_CALL(nvencCall)                                                              \
    do {                                                                                         \
        const NVENCSTATUS nvencStatus_ = (nvencCall);                                            \
        if (nvencStatus_ != NV_ENC_SUCCESS) {                                                    \
            std::ostringstream nvencMessage_;                                                    \
            nvencMessage_ << #nvencCall << " returned error " << static_cast<int>(nvencStatus_); \
            throw NVENCException::Build(nvencMessage_.str(), nvencStatus_, NVENC_FUNCTION_NAME,  \
                                        __FILE__, __LINE__);                                     \
        }                                                                                        \
    } while (0)

// The same two for a helper that raises on behalf of the operation `function` names.
#define NVENC_RAISE_IN(message, status, function) \
    throw NVENCException::Build((message), (status), (function), __FILE__, __LINE__)

#define NVENC_CHECK_CALL_IN(nvencCall, function)                                                 \
    do {                                                                                         \
        const NVENCSTATUS nvencStatus_ = (nvencCall);                                            \
        if (nvencStatus_ != NV_ENC_SUCCESS) {                                                    \
            std::ostringstream nvencMessage_;                                                    \
            nvencMessage_ << #nvencCall << " returned error " << static_cast<int>(nvencStatus_); \
            throw NVENCException::Build(nvencMessage_.str(), nvencStatus_, (function), __FILE__, \
                                        __LINE__);                                               \
        }                                                                                        \
    } while (0)

// Raises NV_ENC_ERR_GENERIC with the driver result's name; the result itself is not carried.
#define CUDA_DRV_CHECK(cudaCall)                                                            \
    do {                                                                                    \
        const CUresult cudaResult_ = (cudaCall);                                            \
        if (cudaResult_ != CUDA_SUCCESS) {                                                  \
            const char* cudaErrorName_ = nullptr;                                           \
            cuGetErrorName(cudaResult_, &cudaErrorName_);                                   \
            throw NVENCException::Build(nvenc_detail::CudaDriverErrorMessage(               \
                                            cudaErrorName_, static_cast<int>(cudaResult_)), \
                                        NV_ENC_ERR_GENERIC, NVENC_FUNCTION_NAME, __FILE__,  \
                                        __LINE__);                                          \
        }                                                                                   \
    } while (0)
