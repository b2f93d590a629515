#include "app/batch_output.h"

#include <OpenImageIO/imageio.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace lumenar {

namespace fs = std::filesystem;

bool checkImageDestination(const std::string& path, bool openExr) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
        std::fprintf(stderr, "%s: is a folder, not an image file name\n", path.c_str());
        return false;
    }
    auto out = OIIO::ImageOutput::create(path);
    if (!out) {
        (void)OIIO::geterror();  // drop the library's pending message
        std::fprintf(stderr, "%s: no image format has this extension (%s)\n", path.c_str(),
                     openExr ? "use .exr" : "use .png, or another the image writer knows");
        return false;
    }
    if (openExr && std::string(out->format_name()) != "openexr") {
        std::fprintf(stderr, "%s: the high-dynamic-range image is written as OpenEXR: name it .exr\n",
                     path.c_str());
        return false;
    }
    const fs::path dir = fs::absolute(path, ec).parent_path();
    if (ec || !fs::is_directory(dir, ec)) {
        std::fprintf(stderr, "%s: the folder %s does not exist\n", path.c_str(), dir.string().c_str());
        return false;
    }
    // The image is written under this name and renamed when complete:
    // making it now shows whether the folder takes new files.
    const std::string probe = path + ".partial-" + std::to_string(getpid());
    const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT, 0644);
    if (fd < 0) {
        std::fprintf(stderr, "%s: cannot write in the folder %s: %s\n", path.c_str(), dir.string().c_str(),
                     std::strerror(errno));
        return false;
    }
    ::close(fd);
    ::unlink(probe.c_str());
    return true;
}

bool sceneFingerprint(const Application& app, const std::string& sceneFile, float environmentRotation,
                      std::string& hex) {
    const Scene& scene = app.scene();
    Fingerprint f;
    if (!f.addFile(sceneFile)) return false;
    const std::vector<std::string>& files = app.textureFiles();
    const std::vector<std::string>& missing = app.missingTextures();
    for (std::size_t i = 0; i < scene.texturePaths.size(); ++i) {
        f.add(scene.texturePaths[i] + '\n');
        const std::string file = i < files.size() ? files[i] : std::string();
        if (file.empty()) continue;  // stored in the model file
        if (std::find(missing.begin(), missing.end(), file) != missing.end()) {
            // A NUL starts no texture name: this cannot be a file's name.
            f.add(std::string("\0missing\n", 9));
        } else if (!f.addFile(file)) {
            return false;
        }
    }
    if (!app.environmentFile().empty()) {
        f.add(std::string("\0environment\n", 13));
        if (!f.addFile(app.environmentFile())) return false;
        char rotation[48];
        std::snprintf(rotation, sizeof rotation, "\nrotation %.9g\n",
                      static_cast<double>(environmentRotation));
        f.add(rotation);
    }
    hex = f.hex();
    return true;
}

int writeBatchImages(const std::string& png, const std::string& hdr, int width, int height,
                     const BatchResult& result, const RenderRecord& record, ExrPixels pixels) {
    int status = 0;
    if (writePngBottomUp(png, width, height, result.rgb))
        std::printf("Wrote %s\n", png.c_str());
    else
        status |= kPngNotWritten;
    if (!hdr.empty()) {
        // With the noise estimate beside the average, as far as the run kept one.
        const NoiseChannels noise{result.estimate.variance, result.estimate.samples};
        if (writeRecordedExr(hdr, width, height, result.average, record, pixels, &noise))
            std::printf("Wrote %s\n", hdr.c_str());
        else
            status |= kHdrNotWritten;
    }
    if (status != 0) {
        const bool both = status == (kPngNotWritten | kHdrNotWritten);
        std::fprintf(stderr, "lumenar-render: %s%s%s not written (the render itself finished)\n",
                     status & kPngNotWritten ? png.c_str() : "", both ? " and " : "",
                     status & kHdrNotWritten ? hdr.c_str() : "");
    }
    std::fflush(stdout);
    return status;
}

}  // namespace lumenar
