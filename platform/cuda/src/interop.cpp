// OpenGL interoperability and surface objects of the CUDA stand-in. A registered texture is
// mirrored by a host array of 4-byte texels; unmapping uploads the array into the texture.
#define CAMFX_CUDA_STANDIN_INTERNAL
#include <glad/gl.h>

#include <map>

#include "cuda_gl_interop.h"
#include "cuda_host.h"
#include "state.h"

struct cudaGraphicsResource {
    GLuint texture = 0;
    unsigned int flags = 0;
    bool mapped = false;
    cudaArray array;
};

using namespace cudahost::detail;

namespace {

std::map<cudaSurfaceObject_t, cudaArray_t>& surfaces() {
    static std::map<cudaSurfaceObject_t, cudaArray_t> live;
    return live;
}
cudaSurfaceObject_t nextSurface = 1;

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
    view->data = array->texels.data();
    view->width = array->width;
    view->height = array->height;
    view->pitch = array->pitch;
    return true;
}

}  // namespace cudahost

extern "C" {

cudaError_t cudaGraphicsGLRegisterImage(cudaGraphicsResource** resource, unsigned int image,
                                        unsigned int target, unsigned int flags) {
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
    registered->array.width = width;
    registered->array.height = height;
    registered->array.pitch = static_cast<size_t>(width) * 4;
    registered->array.texels.assign(registered->array.pitch * height, 0);
    registered->array.surfaceLoadStore = (flags & cudaGraphicsRegisterFlagsSurfaceLoadStore) != 0;
    *resource = registered;
    return cudaSuccess;
}

cudaError_t cudaGraphicsUnregisterResource(cudaGraphicsResource_t resource) {
    if (resource == nullptr)
        return setError(cudaErrorInvalidResourceHandle);
    {
        std::lock_guard<std::mutex> lock(registryMutex());
        for (auto it = surfaces().begin(); it != surfaces().end();)
            it = it->second == &resource->array ? surfaces().erase(it) : std::next(it);
    }
    delete resource;
    return cudaSuccess;
}

cudaError_t cudaGraphicsMapResources(int count, cudaGraphicsResource_t* resources,
                                     cudaStream_t stream) {
    if (cudaError_t error = checkResourceList(count, resources, stream); error != cudaSuccess)
        return error;
    cudaError_t result = cudaSuccess;
    for (int i = 0; i < count; ++i) {
        if (resources[i] == nullptr)
            return setError(cudaErrorInvalidResourceHandle);
        if (resources[i]->mapped)
            result = cudaErrorAlreadyMapped;  // stays mapped
        else
            resources[i]->mapped = true;
    }
    return setError(result);
}

cudaError_t cudaGraphicsUnmapResources(int count, cudaGraphicsResource_t* resources,
                                       cudaStream_t stream) {
    if (cudaError_t error = checkResourceList(count, resources, stream); error != cudaSuccess)
        return error;
    for (int i = 0; i < count; ++i) {
        cudaGraphicsResource_t resource = resources[i];
        if (resource == nullptr)
            return setError(cudaErrorInvalidResourceHandle);
        if (!resource->mapped)
            return setError(cudaErrorNotMapped);
        const cudaArray& array = resource->array;
        withTextureBound(resource->texture, [&] {
            glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
            glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
            glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, array.width, array.height, GL_RGBA,
                            GL_UNSIGNED_BYTE, array.texels.data());
        });
        resource->mapped = false;
    }
    return cudaSuccess;
}

cudaError_t cudaGraphicsSubResourceGetMappedArray(cudaArray_t* array,
                                                  cudaGraphicsResource_t resource,
                                                  unsigned int arrayIndex, unsigned int mipLevel) {
    if (array == nullptr || resource == nullptr)
        return setError(cudaErrorInvalidValue);
    if (!resource->mapped)
        return setError(cudaErrorNotMapped);
    if (arrayIndex != 0 || mipLevel != 0)
        return setError(cudaErrorInvalidValue);
    *array = &resource->array;
    return cudaSuccess;
}

cudaError_t cudaCreateSurfaceObject(cudaSurfaceObject_t* pSurfObject,
                                    const cudaResourceDesc* pResDesc) {
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

cudaError_t cudaDestroySurfaceObject(cudaSurfaceObject_t surfObject) {
    std::lock_guard<std::mutex> lock(registryMutex());
    return surfaces().erase(surfObject) != 0 ? cudaSuccess
                                             : setError(cudaErrorInvalidResourceHandle);
}

}  // extern "C"
