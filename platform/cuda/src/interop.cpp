// OpenGL interoperability and surface objects of the CUDA stand-in. A registered texture is
// mirrored by a host array of 4-byte texels; unmapping uploads the array into the texture.
#define CAMFX_CUDA_STANDIN_INTERNAL
#include <glad/gl.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

#include "cuda_gl_interop.h"
#include "cuda_host.h"
#include "state.h"

// As the driver may, every mapping hands out a different array than the one before, so a
// surface kept over an earlier mapping's array is caught.
struct cudaGraphicsResource {
    GLuint texture = 0;
    unsigned int flags = 0;
    bool mapped = false;
    cudaArray arrays[2];
    int current = 0;

    cudaArray& array() { return arrays[current]; }
};

using namespace cudahost::detail;

namespace {

// What the GL context runs on, as CAMFX_STANDIN_GL_INTEROP says: unset, the stand-in's
// device 0 with working interop; "none", no CUDA device; "refuse", device 0, but texture
// registration is refused, as when the GL driver does not share with CUDA.
enum class GlInterop { Works, NoDevice, Refused };

GlInterop glInterop() {
    const char* setting = std::getenv("CAMFX_STANDIN_GL_INTEROP");
    if (setting == nullptr)
        return GlInterop::Works;
    if (std::strcmp(setting, "none") == 0)
        return GlInterop::NoDevice;
    return std::strcmp(setting, "refuse") == 0 ? GlInterop::Refused : GlInterop::Works;
}

std::map<cudaSurfaceObject_t, cudaArray_t>& surfaces() {
    static std::map<cudaSurfaceObject_t, cudaArray_t> live;
    return live;
}
cudaSurfaceObject_t nextSurface = 1;

// Arrays from cudaMallocArray, until cudaFreeArray.
std::set<cudaArray_t>& allocatedArrays() {
    static std::set<cudaArray_t> live;
    return live;
}

// Runs fn with `texture` bound to GL_TEXTURE_2D, restoring the caller's binding after.
template <typename Fn>
void withTextureBound(GLuint texture, Fn fn) {
    GLint previous = 0;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &previous);
    glBindTexture(GL_TEXTURE_2D, texture);
    fn();
    glBindTexture(GL_TEXTURE_2D, static_cast<GLuint>(previous));
}

bool fourByteTexels(GLint internalFormat) {
    return internalFormat == GL_RGBA8 || internalFormat == GL_RGBA || internalFormat == GL_RGBA8UI;
}

// The checks of mapping or unmapping a list of resources on a stream.
cudaError_t checkResourceList(int count, const cudaGraphicsResource_t* resources,
                              cudaStream_t stream) {
    if (count <= 0 || resources == nullptr)
        return setError(cudaErrorInvalidValue);
    if (!streamValid(stream))
        return setError(cudaErrorInvalidResourceHandle);
    return cudaSuccess;
}

}  // namespace

namespace cudahost {

bool surfaceView(cudaSurfaceObject_t surface, SurfaceView* view) {
    std::lock_guard<std::mutex> lock(registryMutex());
    auto it = surfaces().find(surface);
    if (it == surfaces().end() || view == nullptr)
        return false;
    cudaArray_t array = it->second;
    if (!array->accessible)
        return false;
    view->data = array->texels.data();
    view->width = array->width;
    view->height = array->height;
    view->pitch = array->pitch;
    return true;
}

}  // namespace cudahost

extern "C" {

cudaError_t cudaGLGetDevices(unsigned int* pCudaDeviceCount, int* pCudaDevices,
                             unsigned int cudaDeviceCount, enum cudaGLDeviceList deviceList) {
    CAMFX_INJECTED_RUNTIME_FAILURE("cudaGLGetDevices");
    if (pCudaDeviceCount == nullptr || deviceList < cudaGLDeviceListAll ||
        deviceList > cudaGLDeviceListNextFrame || (cudaDeviceCount > 0 && pCudaDevices == nullptr))
        return setError(cudaErrorInvalidValue);
    *pCudaDeviceCount = 0;
    if (glInterop() == GlInterop::NoDevice)
        return setError(cudaErrorNoDevice);
    *pCudaDeviceCount = 1;
    if (cudaDeviceCount > 0)
        pCudaDevices[0] = 0;
    return cudaSuccess;
}

cudaError_t cudaGraphicsGLRegisterImage(cudaGraphicsResource** resource, unsigned int image,
                                        unsigned int target, unsigned int flags) {
    CAMFX_INJECTED_RUNTIME_FAILURE("cudaGraphicsGLRegisterImage");
    if (glInterop() != GlInterop::Works)
        return setError(cudaErrorInvalidGraphicsContext);
    if (resource == nullptr || target != GL_TEXTURE_2D || glIsTexture(image) != GL_TRUE)
        return setError(cudaErrorInvalidValue);
    GLint width = 0, height = 0, internalFormat = 0;
    withTextureBound(image, [&] {
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &width);
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &height);
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_INTERNAL_FORMAT, &internalFormat);
    });
    // As on the GPU: three-channel textures have no CUDA view.
    if (width <= 0 || height <= 0 || !fourByteTexels(internalFormat))
        return setError(cudaErrorInvalidValue);

    auto* registered = new cudaGraphicsResource;
    registered->texture = image;
    registered->flags = flags;
    for (cudaArray& array : registered->arrays) {
        array.width = width;
        array.height = height;
        array.pitch = static_cast<size_t>(width) * 4;
        array.texels.assign(array.pitch * height, 0);
        array.surfaceLoadStore = (flags & cudaGraphicsRegisterFlagsSurfaceLoadStore) != 0;
        array.accessible = false;
    }
    *resource = registered;
    return cudaSuccess;
}

cudaError_t cudaGraphicsUnregisterResource(cudaGraphicsResource_t resource) {
    if (resource == nullptr)
        return setError(cudaErrorInvalidResourceHandle);
    {
        std::lock_guard<std::mutex> lock(registryMutex());
        for (auto it = surfaces().begin(); it != surfaces().end();)
            it = it->second == &resource->arrays[0] || it->second == &resource->arrays[1]
                     ? surfaces().erase(it)
                     : std::next(it);
    }
    delete resource;
    return cudaSuccess;
}

cudaError_t cudaGraphicsMapResources(int count, cudaGraphicsResource_t* resources,
                                     cudaStream_t stream) {
    CAMFX_INJECTED_RUNTIME_FAILURE("cudaGraphicsMapResources");
    if (cudaError_t error = checkResourceList(count, resources, stream); error != cudaSuccess)
        return error;
    for (int i = 0; i < count; ++i) {
        if (resources[i] == nullptr)
            return setError(cudaErrorInvalidResourceHandle);
        if (resources[i]->mapped)
            return setError(cudaErrorAlreadyMapped);
    }
    std::lock_guard<std::mutex> lock(registryMutex());
    for (int i = 0; i < count; ++i) {
        cudaGraphicsResource_t resource = resources[i];
        resource->current ^= 1;
        resource->array().accessible = true;
        resource->mapped = true;
    }
    return cudaSuccess;
}

cudaError_t cudaGraphicsUnmapResources(int count, cudaGraphicsResource_t* resources,
                                       cudaStream_t stream) {
    CAMFX_INJECTED_RUNTIME_FAILURE("cudaGraphicsUnmapResources");
    if (cudaError_t error = checkResourceList(count, resources, stream); error != cudaSuccess)
        return error;
    for (int i = 0; i < count; ++i) {
        cudaGraphicsResource_t resource = resources[i];
        if (resource == nullptr)
            return setError(cudaErrorInvalidResourceHandle);
        if (!resource->mapped)
            return setError(cudaErrorNotMapped);
        cudaArray& array = resource->array();
        withTextureBound(resource->texture, [&] {
            glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
            glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
            glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, array.width, array.height, GL_RGBA,
                            GL_UNSIGNED_BYTE, array.texels.data());
        });
        std::lock_guard<std::mutex> lock(registryMutex());
        array.accessible = false;
        resource->mapped = false;
    }
    return cudaSuccess;
}

cudaError_t cudaGraphicsSubResourceGetMappedArray(cudaArray_t* array,
                                                  cudaGraphicsResource_t resource,
                                                  unsigned int arrayIndex, unsigned int mipLevel) {
    CAMFX_INJECTED_RUNTIME_FAILURE("cudaGraphicsSubResourceGetMappedArray");
    if (array == nullptr || resource == nullptr)
        return setError(cudaErrorInvalidValue);
    if (!resource->mapped)
        return setError(cudaErrorNotMapped);
    if (arrayIndex != 0 || mipLevel != 0)
        return setError(cudaErrorInvalidValue);
    *array = &resource->array();
    return cudaSuccess;
}

cudaError_t cudaCreateSurfaceObject(cudaSurfaceObject_t* pSurfObject,
                                    const cudaResourceDesc* pResDesc) {
    CAMFX_INJECTED_RUNTIME_FAILURE("cudaCreateSurfaceObject");
    if (pSurfObject == nullptr || pResDesc == nullptr ||
        pResDesc->resType != cudaResourceTypeArray || pResDesc->res.array.array == nullptr)
        return setError(cudaErrorInvalidValue);
    // Surfaces need an array registered for load/store, as on the GPU.
    if (!pResDesc->res.array.array->surfaceLoadStore)
        return setError(cudaErrorInvalidValue);
    std::lock_guard<std::mutex> lock(registryMutex());
    *pSurfObject = nextSurface++;
    surfaces()[*pSurfObject] = pResDesc->res.array.array;
    return cudaSuccess;
}

cudaChannelFormatDesc cudaCreateChannelDesc(int x, int y, int z, int w, cudaChannelFormatKind f) {
    return cudaChannelFormatDesc{x, y, z, w, f};
}

cudaError_t cudaMallocArray(cudaArray_t* array, const cudaChannelFormatDesc* desc, size_t width,
                            size_t height, unsigned int flags) {
    CAMFX_INJECTED_RUNTIME_FAILURE("cudaMallocArray");
    if (array == nullptr || desc == nullptr || width == 0 || height == 0 ||
        (flags & ~static_cast<unsigned int>(cudaArraySurfaceLoadStore)) != 0)
        return setError(cudaErrorInvalidValue);
    const bool rgba8 = desc->x == 8 && desc->y == 8 && desc->z == 8 && desc->w == 8 &&
                       desc->f == cudaChannelFormatKindUnsigned;
    if (!rgba8)
        return setError(cudaErrorNotSupported);  // the stand-in knows display texels only
    auto* made = new cudaArray;
    made->width = static_cast<int>(width);
    made->height = static_cast<int>(height);
    made->pitch = width * 4;
    made->texels.assign(made->pitch * height, 0);
    made->surfaceLoadStore = (flags & cudaArraySurfaceLoadStore) != 0;
    std::lock_guard<std::mutex> lock(registryMutex());
    allocatedArrays().insert(made);
    *array = made;
    return cudaSuccess;
}

cudaError_t cudaFreeArray(cudaArray_t array) {
    if (array == nullptr)
        return cudaSuccess;
    std::lock_guard<std::mutex> lock(registryMutex());
    if (allocatedArrays().erase(array) == 0)
        return setError(cudaErrorInvalidValue);
    for (auto it = surfaces().begin(); it != surfaces().end();)
        it = it->second == array ? surfaces().erase(it) : std::next(it);
    delete array;
    return cudaSuccess;
}

cudaError_t cudaMemcpy2DFromArrayAsync(void* dst, size_t dpitch, cudaArray_const_t src,
                                       size_t wOffset, size_t hOffset, size_t width, size_t height,
                                       cudaMemcpyKind kind, cudaStream_t stream) {
    if (!streamValid(stream))
        return setError(cudaErrorInvalidResourceHandle);
    if (width == 0 || height == 0)
        return cudaSuccess;
    if (dst == nullptr || src == nullptr || dpitch < width ||
        (kind != cudaMemcpyDeviceToHost && kind != cudaMemcpyDefault))
        return setError(cudaErrorInvalidValue);
    std::lock_guard<std::mutex> lock(registryMutex());
    if (!src->accessible || wOffset + width > src->pitch ||
        hOffset + height > static_cast<size_t>(src->height))
        return setError(cudaErrorInvalidValue);
    auto* out = static_cast<uint8_t*>(dst);
    for (size_t row = 0; row < height; ++row)
        std::memcpy(out + row * dpitch, src->texels.data() + (hOffset + row) * src->pitch + wOffset,
                    width);
    return cudaSuccess;
}

cudaError_t cudaDestroySurfaceObject(cudaSurfaceObject_t surfObject) {
    std::lock_guard<std::mutex> lock(registryMutex());
    return surfaces().erase(surfObject) != 0 ? cudaSuccess
                                             : setError(cudaErrorInvalidResourceHandle);
}

}  // extern "C"
