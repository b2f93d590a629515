// The OpenGL side of the render view, kept apart from the window toolkit's
// headers (the extension loader must come before any other GL header). All
// calls need the view's context current.
#pragma once

#include <cstdint>
#include <vector>

#include "scene/types.h"

struct cudaGraphicsResource;
struct CUstream_st;

namespace lumenar {

class GlDisplay {
 public:
    GlDisplay() = default;
    GlDisplay(const GlDisplay&) = delete;
    GlDisplay& operator=(const GlDisplay&) = delete;
    ~GlDisplay();

    // Loads the GL entry points and checks for OpenGL 2.0 (ends the process
    // with a message if it is missing), sets the clear colour and makes the
    // buffer object of W x H display vertices (12 bytes each).
    bool initialize(int width, int height);
    // Sets up one unit per pixel, origin at the bottom left.
    void setProjection() const;
    void clear() const;

    // Copies a finished frame (W x H display vertices in device memory, as
    // the render thread leaves them) into the buffer object: under CUDA on a
    // stream of its own into the mapped buffer, on the CPU by an upload.
    // False (after a message) on failure.
    bool upload(const Color* frame);
    // Draws the W x H coloured points.
    void draw() const;

    // The view's pixels as 8-bit RGB, row 0 at the bottom, from the
    // framebuffer bound for reading.
    std::vector<uint8_t> readPixels() const;

    // Frees the buffer object (and its CUDA registration).
    void release();

    int width() const { return width_; }
    int height() const { return height_; }

 private:
    int width_ = 0;
    int height_ = 0;
    unsigned buffer_ = 0;
    cudaGraphicsResource* resource_ = nullptr;  // CUDA backend only
    CUstream_st* stream_ = nullptr;             // CUDA backend only: copies that never wait for kernels
};

// Milliseconds of the frame-rate clock.
int elapsedMilliseconds();

}  // namespace lumenar
