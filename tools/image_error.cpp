// lumenar-image-error: relative squared error of renders against a reference
// (all --hdr outputs of the same size), the measure of the equal-time
// comparisons in bench/README.md:
//
//   lumenar-image-error [--breakdown [--worst N]] reference.exr image.exr [image.exr ...]
//
// Prints one line per image: mean over pixels and channels of
// (image - reference)^2 / (reference^2 + 0.01). --breakdown adds where that
// error sits: the shares of the worst 0.1 %, 1 % and 10 % of the pixels (a
// few outliers, or noise spread everywhere); the image's mean over the
// reference's, overall (a brightness bias) and per channel (a colour shift);
// and the error the image would have were it scaled to the reference's mean
// (what is left once the bias is gone). --worst N also lists the N pixels of
// largest error.
#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
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
    const bool breakdown = argc > 1 && std::strcmp(argv[1], "--breakdown") == 0;
    int first = breakdown ? 2 : 1;
    long worst = 0;
    if (breakdown && argc > 3 && std::strcmp(argv[2], "--worst") == 0) {
        char* end = nullptr;
        worst = std::strtol(argv[3], &end, 10);
        if (*argv[3] == '\0' || *end != '\0' || worst < 0) {
            std::fprintf(stderr, "--worst: '%s' is not a pixel count\n", argv[3]);
            return 2;
        }
        first = 4;
    }
    if (argc - first < 2) {
        std::fprintf(stderr, "usage: %s [--breakdown [--worst N]] reference.exr image.exr [image.exr ...]\n",
                     argv[0]);
        return 2;
    }
    int w = 0, h = 0;
    std::vector<float> ref;
    if (!readRgb(argv[first], w, h, ref)) return 1;
    int status = 0;
    for (int i = first + 1; i < argc; ++i) {
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
        double sum = 0.0, imgSum = 0.0, refSum = 0.0, imgChannel[3] = {0, 0, 0}, refChannel[3] = {0, 0, 0};
        std::vector<double> pixel(ref.size() / 3, 0.0);
        for (std::size_t k = 0; k < ref.size(); ++k) {
            const double d = static_cast<double>(img[k]) - ref[k];
            const double e = d * d / (static_cast<double>(ref[k]) * ref[k] + 0.01);
            sum += e;
            pixel[k / 3] += e;
            imgSum += img[k];
            refSum += ref[k];
            imgChannel[k % 3] += img[k];
            refChannel[k % 3] += ref[k];
        }
        if (!breakdown) {
            std::printf("%s %.4g\n", argv[i], sum / static_cast<double>(ref.size()));
            continue;
        }
        std::vector<std::size_t> order(pixel.size());
        for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
        std::sort(order.begin(), order.end(),
                  [&](std::size_t a, std::size_t b) { return pixel[a] > pixel[b]; });
        const double scale = imgSum > 0.0 ? refSum / imgSum : 1.0;
        double scaledSum = 0.0;
        for (std::size_t k = 0; k < ref.size(); ++k) {
            const double d = scale * img[k] - ref[k];
            scaledSum += d * d / (static_cast<double>(ref[k]) * ref[k] + 0.01);
        }
        for (std::size_t k = 0; k < order.size() && k < static_cast<std::size_t>(worst); ++k) {
            const std::size_t q = order[k];
            std::printf("  (%zu, %zu) error %.1f reference %.3f %.3f %.3f image %.3f %.3f %.3f\n", q % w,
                        q / w, pixel[q], ref[3 * q], ref[3 * q + 1], ref[3 * q + 2], img[3 * q],
                        img[3 * q + 1], img[3 * q + 2]);
        }
        std::sort(pixel.begin(), pixel.end(), std::greater<double>());
        auto share = [&](double fraction) {
            const std::size_t n = std::max<std::size_t>(1, static_cast<std::size_t>(fraction * pixel.size()));
            double s = 0.0;
            for (std::size_t k = 0; k < n; ++k) s += pixel[k];
            return sum > 0.0 ? s / sum : 0.0;
        };
        auto ratio = [](double a, double b) { return b > 0.0 ? a / b : 0.0; };
        std::printf(
            "%s %.4g worst 0.1%%: %.3f, 1%%: %.3f, 10%%: %.3f; mean / reference %.4f (r %.4f g %.4f b %.4f), "
            "scaled %.4g\n",
            argv[i], sum / static_cast<double>(ref.size()), share(0.001), share(0.01), share(0.1),
            ratio(imgSum, refSum), ratio(imgChannel[0], refChannel[0]), ratio(imgChannel[1], refChannel[1]),
            ratio(imgChannel[2], refChannel[2]), scaledSum / static_cast<double>(ref.size()));
    }
    return status;
}
