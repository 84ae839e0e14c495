// Makes a CUDA context current on the calling thread for one scope and pops it again on
// every way out, so that a failure part-way leaves the thread's context stack as it was.
#pragma once

#include <cuda.h>

class CudaContextGuard {
  public:
    explicit CudaContextGuard(CUcontext context) : m_pushResult(cuCtxPushCurrent(context)) {}
    ~CudaContextGuard() {
        if (pushed())
            cuCtxPopCurrent(nullptr);
    }
    CudaContextGuard(const CudaContextGuard&) = delete;
    CudaContextGuard& operator=(const CudaContextGuard&) = delete;

    CUresult pushResult() const { return m_pushResult; }
    bool pushed() const { return m_pushResult == CUDA_SUCCESS && !m_popped; }

    // Pops now, for a caller that checks the pop's own result; the scope's end then does not.
    CUresult pop() {
        if (!pushed())
            return CUDA_SUCCESS;
        m_popped = true;
        return cuCtxPopCurrent(nullptr);
    }

  private:
    CUresult m_pushResult;
    bool m_popped = false;
};
