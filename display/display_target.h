// Where the blit's texels reach the window's texture. Through CUDA-GL interop when the GL
// context runs on the CUDA device: a surface over the mapped texture, taken again whenever a
// mapping hands out another array. Otherwise, and from the moment interop fails, through
// host memory: the blit writes an array of CUDA's own, which is copied to pinned host memory
// and uploaded into the texture. Both show the same picture; one INFO line at start says
// which path runs and why, one WARN line a switch during the run.
#pragma once

#include <glad/gl.h>

#include <cuda.h>
#include <cuda_runtime.h>

#include <memory>
#include <string>

// The CUDA device that runs the current GL context, or why there is none.
struct GlDevice {
    int ordinal = -1;    // -1: no CUDA device runs the GL context
    std::string reason;  // why not, when ordinal is -1
};

// Needs the GL context current. Laptops that show the desktop on the integrated GPU, Mesa
// under Xvfb and displays on another GPU of a multi-GPU machine all give none.
GlDevice findGlDevice();

class DisplayTarget {
  public:
    // Start-up, with the CUDA context current on `device`, the device that `glDevice` names
    // where it names one, and the texture made: registers the texture where interop can work
    // and maps it once on `stream`, for the first frame.
    DisplayTarget(GLuint texture, int width, int height, CUdevice device, const GlDevice& glDevice,
                  cudaStream_t stream);
    ~DisplayTarget();
    DisplayTarget(const DisplayTarget&) = delete;
    DisplayTarget& operator=(const DisplayTarget&) = delete;

    // Per frame, before the blit: the surface that the blit writes, always a valid one.
    cudaSurfaceObject_t beginFrame(cudaStream_t stream);
    // Per frame, once the blit is ordered before the rest of `stream`: the texels become the
    // texture's (unmapped, or copied and uploaded; the upload waits for the copy).
    void endFrame(cudaStream_t stream);

    bool throughHost() const { return !m_interop; }

  private:
    struct Interop;

    // Maps the texture and makes the surface over its array when the array changed; returns
    // the failing call and its error, or an empty text.
    std::string mapInterop(cudaStream_t stream);
    void startHostPath();
    void leaveInterop();
    void switchToHost(const std::string& failure);

    GLuint m_texture;
    int m_width;
    int m_height;
    std::unique_ptr<Interop> m_interop;  // empty on the host path

    cudaArray_t m_hostArray = nullptr;
    cudaSurfaceObject_t m_hostSurface = 0;
    uint8_t* m_hostTexels = nullptr;  // pinned, width x height texels of 4 bytes
};
