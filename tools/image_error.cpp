// lumenar-image-error: relative squared error of renders against a reference
// (all --hdr outputs of the same size), the measure of the equal-time
// comparisons in bench/README.md:
//
//   lumenar-image-error reference.exr image.exr [image.exr ...]
//
// Prints one line per image: mean over pixels and channels of
// (image - reference)^2 / (reference^2 + 0.01).
#include <OpenImageIO/imageio.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

bool readRgb(const char* path, int& w, int& h, std::vector<float>& rgb) {
    auto in = OIIO::ImageInput::open(path);
    if (!in) {
        std::fprintf(stderr, "%s: cannot open: %s\n", path, OIIO::geterror().c_str());
        return false;
    }
    const OIIO::ImageSpec& spec = in->spec();
    w = spec.width;
    h = spec.height;
    if (spec.nchannels < 3) {
        std::fprintf(stderr, "%s: %d channels, need at least 3\n", path, spec.nchannels);
        return false;
    }
    rgb.resize(static_cast<std::size_t>(w) * h * 3);
    if (!in->read_image(0, 0, 0, 3, OIIO::TypeDesc::FLOAT, rgb.data())) {
        std::fprintf(stderr, "%s: cannot read: %s\n", path, in->geterror().c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s reference.exr image.exr [image.exr ...]\n", argv[0]);
        return 2;
    }
    int w = 0, h = 0;
    std::vector<float> ref;
    if (!readRgb(argv[1], w, h, ref)) return 1;
    int status = 0;
    for (int i = 2; i < argc; ++i) {
        int iw = 0, ih = 0;
        std::vector<float> img;
        if (!readRgb(argv[i], iw, ih, img)) {
            status = 1;
            continue;
        }
        if (iw != w || ih != h) {
            std::fprintf(stderr, "%s: %d x %d, the reference is %d x %d\n", argv[i], iw, ih, w, h);
            status = 1;
            continue;
        }
        double sum = 0.0;
        for (std::size_t k = 0; k < ref.size(); ++k) {
            const double d = static_cast<double>(img[k]) - ref[k];
            sum += d * d / (static_cast<double>(ref[k]) * ref[k] + 0.01);
        }
        std::printf("%s %.4f\n", argv[i], sum / static_cast<double>(ref.size()));
    }
    return status;
}
