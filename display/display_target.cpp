#include "display_target.h"

#include <cuda_gl_interop.h>

#include <string>

#include "NvCodecUtils.h"

namespace {

// "call -> cudaErrorName", the shape of every failure this file tells.
std::string failureText(const char* call, cudaError_t error) {
    return std::string(call) + " -> " + cudaGetErrorName(error);
}

void logDisplay(int severity, const std::string& text) {
    simplelogger::LogLine(gLogger, severity, __FILE__, __LINE__, "display").stream()
        << "Display: " << text;
}

std::string glRenderer() {
    const auto* renderer = reinterpret_cast<const char*>(glGetString(GL_RENDERER));
    return renderer != nullptr ? renderer : "an unnamed renderer";
}

}  // namespace

GlDevice findGlDevice() {
    unsigned int count = 0;
    int ordinal = -1;
    const cudaError_t error = cudaGLGetDevices(&count, &ordinal, 1, cudaGLDeviceListAll);
    // A failed query is a failed runtime call like any other: not the frame loop's to see.
    cudaGetLastError();
    if (error == cudaSuccess && count > 0)
        return GlDevice{ordinal, {}};
    std::string reason = "the GL context runs on " + glRenderer() + ", not on a CUDA device";
    if (error != cudaSuccess && error != cudaErrorNoDevice)
        reason += " (" + failureText("cudaGLGetDevices", error) + ")";
    return GlDevice{-1, reason};
}

// The texture registered with CUDA, its current mapping and the surface over its array.
struct DisplayTarget::Interop {
    cudaGraphicsResource_t resource = nullptr;
    bool mapped = false;
    cudaArray_t array = nullptr;
    cudaSurfaceObject_t surface = 0;
};

DisplayTarget::DisplayTarget(GLuint texture, int width, int height, CUdevice device,
                             const GlDevice& glDevice, cudaStream_t stream)
    : m_texture(texture), m_width(width), m_height(height) {
    char name[256] = {};
    ck(cuDeviceGetName(name, sizeof name, device));
    if (glDevice.ordinal < 0) {
        startHostPath();
        logDisplay(simplelogger::INFO, "through host memory, " + glDevice.reason);
        return;
    }

    m_interop = std::make_unique<Interop>();
    // Surface writes need the load/store flag besides write-discard.
    const cudaError_t error = cudaGraphicsGLRegisterImage(
        &m_interop->resource, texture, GL_TEXTURE_2D,
        cudaGraphicsRegisterFlagsWriteDiscard | cudaGraphicsRegisterFlagsSurfaceLoadStore);
    std::string failure;
    if (error != cudaSuccess)
        failure = failureText("cudaGraphicsGLRegisterImage", error);
    else
        failure = mapInterop(stream);  // left mapped for the first frame
    if (!failure.empty()) {
        cudaGetLastError();
        leaveInterop();
        startHostPath();
        logDisplay(simplelogger::INFO,
                   "through host memory, CUDA cannot write the GL texture (" + failure + ")");
        return;
    }
    logDisplay(simplelogger::INFO, std::string("CUDA-GL interop on ") + name);
}

DisplayTarget::~DisplayTarget() {
    leaveInterop();
    if (m_hostSurface != 0)
        cudaDestroySurfaceObject(m_hostSurface);
    cudaFreeArray(m_hostArray);
    cudaFreeHost(m_hostTexels);
}

std::string DisplayTarget::mapInterop(cudaStream_t stream) {
    Interop& interop = *m_interop;
    if (cudaError_t error = cudaGraphicsMapResources(1, &interop.resource, stream))
        return failureText("cudaGraphicsMapResources", error);
    interop.mapped = true;
    // The array may differ from one mapping to the next; a surface over an old one would
    // write where the texture no longer is.
    cudaArray_t array = nullptr;
    if (cudaError_t error = cudaGraphicsSubResourceGetMappedArray(&array, interop.resource, 0, 0))
        return failureText("cudaGraphicsSubResourceGetMappedArray", error);
    if (array == interop.array && interop.surface != 0)
        return {};
    if (interop.surface != 0)
        cudaDestroySurfaceObject(interop.surface);
    interop.surface = 0;
    interop.array = array;
    cudaResourceDesc description{};
    description.resType = cudaResourceTypeArray;
    description.res.array.array = array;
    if (cudaError_t error = cudaCreateSurfaceObject(&interop.surface, &description)) {
        interop.surface = 0;
        return failureText("cudaCreateSurfaceObject", error);
    }
    return {};
}

void DisplayTarget::startHostPath() {
    const cudaChannelFormatDesc texel =
        cudaCreateChannelDesc(8, 8, 8, 8, cudaChannelFormatKindUnsigned);
    ckRuntime(cudaMallocArray(&m_hostArray, &texel, static_cast<size_t>(m_width),
                              static_cast<size_t>(m_height), cudaArraySurfaceLoadStore));
    cudaResourceDesc description{};
    description.resType = cudaResourceTypeArray;
    description.res.array.array = m_hostArray;
    ckRuntime(cudaCreateSurfaceObject(&m_hostSurface, &description));
    ckRuntime(cudaHostAlloc(reinterpret_cast<void**>(&m_hostTexels),
                            static_cast<size_t>(m_width) * m_height * 4, cudaHostAllocDefault));
}

void DisplayTarget::leaveInterop() {
    if (!m_interop)
        return;
    // Results not examined: interop has failed already, or the run is ending.
    if (m_interop->surface != 0)
        cudaDestroySurfaceObject(m_interop->surface);
    if (m_interop->mapped)
        cudaGraphicsUnmapResources(1, &m_interop->resource, nullptr);
    if (m_interop->resource != nullptr)
        cudaGraphicsUnregisterResource(m_interop->resource);
    cudaGetLastError();
    m_interop.reset();
}

void DisplayTarget::switchToHost(const std::string& failure) {
    cudaGetLastError();
    leaveInterop();
    startHostPath();
    logDisplay(simplelogger::WARN, "CUDA-GL interop failed (" + failure +
                                       "); frames go through host memory from now on");
}

cudaSurfaceObject_t DisplayTarget::beginFrame(cudaStream_t stream) {
    if (m_interop && !m_interop->mapped) {
        const std::string failure = mapInterop(stream);
        if (!failure.empty())
            switchToHost(failure);
    }
    return m_interop ? m_interop->surface : m_hostSurface;
}

void DisplayTarget::endFrame(cudaStream_t stream) {
    if (m_interop) {
        if (cudaError_t error = cudaGraphicsUnmapResources(1, &m_interop->resource, stream)) {
            switchToHost(failureText("cudaGraphicsUnmapResources", error));
            return;  // this frame's texels are lost with the mapping; the next one shows
        }
        m_interop->mapped = false;
        return;
    }
    const size_t rowBytes = static_cast<size_t>(m_width) * 4;
    cudaMemcpy2DFromArrayAsync(m_hostTexels, rowBytes, m_hostArray, 0, 0, rowBytes,
                               static_cast<size_t>(m_height), cudaMemcpyDeviceToHost, stream);
    cudaStreamSynchronize(stream);
    glBindTexture(GL_TEXTURE_2D, m_texture);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, m_width, m_height, GL_RGBA, GL_UNSIGNED_BYTE,
                    m_hostTexels);
    glBindTexture(GL_TEXTURE_2D, 0);
}
