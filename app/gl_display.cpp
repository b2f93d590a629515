#include "app/gl_display.h"

// clang-format off
#include <GL/glew.h>
#include <GL/glu.h>
#include <GL/freeglut.h>
// clang-format on

#include <cstdio>
#include <cstdlib>

#if defined(LUMENAR_BACKEND_CUDA)
#include <cuda_gl_interop.h>
#include <cuda_runtime.h>
#endif

namespace lumenar {

namespace {
constexpr std::size_t kVertexBytes = 12;  // x, y as floats, then RGBA bytes
static_assert(sizeof(Color) == kVertexBytes, "frame colours and display vertices share the buffer");

#if defined(LUMENAR_BACKEND_CUDA)
bool cudaOk(cudaError_t e, const char* what) {
    if (e == cudaSuccess) return true;
    std::fprintf(stderr, "%s failed: %s\n", what, cudaGetErrorString(e));
    return false;
}
#endif
}  // namespace

int elapsedMilliseconds() {
    return glutGet(GLUT_ELAPSED_TIME);
}

GlDisplay::~GlDisplay() {
    // The context may be gone by now; the owner releases while it is current.
    if (buffer_ != 0) std::fprintf(stderr, "render view: display buffer not released\n");
}

bool GlDisplay::initialize(int width, int height) {
    width_ = width;
    height_ = height;
    glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
    const GLenum err = glewInit();
    if (err != GLEW_OK || !glewIsSupported("GL_VERSION_2_0 ")) {
        std::fprintf(stderr, "ERROR: Support for necessary OpenGL extensions missing.\n");
        std::fflush(stderr);
        std::exit(1);
    }
    setProjection();

    while (glGetError() != GL_NO_ERROR) {  // left over from the loader's probing
    }
    const std::size_t bytes = static_cast<std::size_t>(width) * height * kVertexBytes;
    glGenBuffers(1, &buffer_);
    glBindBuffer(GL_ARRAY_BUFFER, buffer_);
    glBufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(bytes), nullptr, GL_DYNAMIC_DRAW);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    if (glGetError() != GL_NO_ERROR) {
        std::fprintf(stderr, "render view: cannot make a display buffer of %zu bytes\n", bytes);
        return false;
    }
#if defined(LUMENAR_BACKEND_CUDA)
    return cudaOk(cudaGraphicsGLRegisterBuffer(&resource_, buffer_, cudaGraphicsRegisterFlagsWriteDiscard),
                  "cudaGraphicsGLRegisterBuffer");
#else
    return true;
#endif
}

void GlDisplay::setProjection() const {
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    gluOrtho2D(0.0, width_, 0.0, height_);
    // Pixel (x, y) is drawn as a point at (x, y); moving it to the pixel's
    // centre keeps rounding from dropping it onto a neighbour.
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glTranslatef(0.5f, 0.5f, 0.0f);
}

void GlDisplay::clear() const {
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
}

bool GlDisplay::upload(const Color* frame) {
    if (!frame || buffer_ == 0) return false;
    const std::size_t bytes = static_cast<std::size_t>(width_) * height_ * kVertexBytes;
#if defined(LUMENAR_BACKEND_CUDA)
    if (!resource_) return false;
    if (!stream_ &&
        !cudaOk(cudaStreamCreateWithFlags(&stream_, cudaStreamNonBlocking), "cudaStreamCreateWithFlags"))
        return false;
    if (!cudaOk(cudaGraphicsMapResources(1, &resource_, stream_), "cudaGraphicsMapResources")) return false;
    void* p = nullptr;
    std::size_t mappedBytes = 0;
    bool ok = cudaOk(cudaGraphicsResourceGetMappedPointer(&p, &mappedBytes, resource_),
                     "cudaGraphicsResourceGetMappedPointer") &&
              cudaOk(cudaMemcpyAsync(p, frame, bytes, cudaMemcpyDeviceToDevice, stream_), "cudaMemcpyAsync");
    ok = cudaOk(cudaGraphicsUnmapResources(1, &resource_, stream_), "cudaGraphicsUnmapResources") && ok;
    return cudaOk(cudaStreamSynchronize(stream_), "cudaStreamSynchronize") && ok;
#else
    glBindBuffer(GL_ARRAY_BUFFER, buffer_);
    glBufferSubData(GL_ARRAY_BUFFER, 0, static_cast<GLsizeiptr>(bytes), frame);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    return glGetError() == GL_NO_ERROR;
#endif
}

void GlDisplay::draw() const {
    glBindBuffer(GL_ARRAY_BUFFER, buffer_);
    glVertexPointer(2, GL_FLOAT, kVertexBytes, reinterpret_cast<const void*>(0));
    glColorPointer(4, GL_UNSIGNED_BYTE, kVertexBytes, reinterpret_cast<const void*>(8));
    glEnableClientState(GL_VERTEX_ARRAY);
    glEnableClientState(GL_COLOR_ARRAY);
    glDrawArrays(GL_POINTS, 0, width_ * height_);
    glDisableClientState(GL_VERTEX_ARRAY);
    glDisableClientState(GL_COLOR_ARRAY);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
}

std::vector<uint8_t> GlDisplay::readPixels() const {
    std::vector<uint8_t> rgb(static_cast<std::size_t>(width_) * height_ * 3);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, width_, height_, GL_RGB, GL_UNSIGNED_BYTE, rgb.data());
    if (glGetError() != GL_NO_ERROR) rgb.clear();
    return rgb;
}

void GlDisplay::release() {
#if defined(LUMENAR_BACKEND_CUDA)
    if (resource_) cudaGraphicsUnregisterResource(resource_);
    resource_ = nullptr;
    if (stream_) cudaStreamDestroy(stream_);
    stream_ = nullptr;
#endif
    if (buffer_ != 0) glDeleteBuffers(1, &buffer_);
    buffer_ = 0;
}

}  // namespace lumenar
