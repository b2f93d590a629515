// What lumenar-render writes: the output names checked before the scene
// loads, the scene's fingerprint for the record, and the images themselves.
#pragma once

#include <string>

#include "app/batch_render.h"
#include "app/image_output.h"
#include "app/render_record.h"
#include "app/startup.h"

namespace lumenar {

// Exit statuses of a render whose images could not all be written (added
// together when neither could). 1 stays for a run that rendered nothing.
constexpr int kPngNotWritten = 2;
constexpr int kHdrNotWritten = 4;

// Whether an image can be written to `path` once the render is done: the
// name is not a folder, its extension names a format the image writer knows
// (OpenEXR when `openExr`), and its folder exists and takes a new file.
// Returns false after a message naming the file and the problem.
bool checkImageDestination(const std::string& path, bool openExr);

// The fingerprint of a started scene for the record of its images: the
// scene (or model) file; each texture by its name in the scene and its
// file's bytes, or as missing when it could not be read (the image then
// lacks it, whatever the file holds); the environment image's file and its
// rotation (radians about +y). False after a message when a file cannot be
// read now.
bool sceneFingerprint(const Application& app, const std::string& sceneFile, float environmentRotation,
                      std::string& hex);

// Writes the displayed image as PNG to `png` and, when `hdr` is not empty,
// the linear average with `record` to `hdr`: each is attempted whatever
// becomes of the other. Returns 0, or kPngNotWritten and kHdrNotWritten for
// the images that could not be written (each named in a message).
int writeBatchImages(const std::string& png, const std::string& hdr, int width, int height,
                     const BatchResult& result, const RenderRecord& record, ExrPixels pixels);

}  // namespace lumenar
