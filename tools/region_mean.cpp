// lumenar-region-mean: mean linear colour of rectangles of an image (the
// renderer's --hdr output), for comparing renders region by region.
//
//   lumenar-region-mean image.exr x0 y0 x1 y1 [x0 y0 x1 y1 ...]
//
// Rectangles are given as fractions of the image width and height, measured
// from the top-left corner; each prints one line "r g b  pixels".
#include <OpenImageIO/imageio.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 6 || (argc - 2) % 4 != 0) {
        std::fprintf(stderr, "usage: %s image x0 y0 x1 y1 [x0 y0 x1 y1 ...] (fractions from the top left)\n",
                     argv[0]);
        return 2;
    }
    auto in = OIIO::ImageInput::open(argv[1]);
    if (!in) {
        std::fprintf(stderr, "%s: cannot open: %s\n", argv[1], OIIO::geterror().c_str());
        return 1;
    }
    const OIIO::ImageSpec& spec = in->spec();
    const int w = spec.width, h = spec.height, nc = spec.nchannels;
    if (nc < 3) {
        std::fprintf(stderr, "%s: %d channels, need at least 3\n", argv[1], nc);
        return 1;
    }
    std::vector<float> px(static_cast<std::size_t>(w) * h * nc);
    if (!in->read_image(0, 0, 0, nc, OIIO::TypeDesc::FLOAT, px.data())) {
        std::fprintf(stderr, "%s: cannot read: %s\n", argv[1], in->geterror().c_str());
        return 1;
    }
    for (int a = 2; a + 3 < argc; a += 4) {
        const double f[4] = {std::atof(argv[a]), std::atof(argv[a + 1]), std::atof(argv[a + 2]),
                             std::atof(argv[a + 3])};
        const int x0 = static_cast<int>(f[0] * w), y0 = static_cast<int>(f[1] * h);
        const int x1 = static_cast<int>(f[2] * w), y1 = static_cast<int>(f[3] * h);
        double sum[3] = {0, 0, 0};
        long n = 0;
        for (int y = y0; y < y1 && y < h; ++y)
            for (int x = x0; x < x1 && x < w; ++x) {
                const float* p = &px[(static_cast<std::size_t>(y) * w + x) * nc];
                for (int c = 0; c < 3; ++c) sum[c] += p[c];
                ++n;
            }
        if (n == 0) {
            std::fprintf(stderr, "rectangle %g %g %g %g holds no pixel\n", f[0], f[1], f[2], f[3]);
            return 1;
        }
        std::printf("%.4f %.4f %.4f  %ld\n", sum[0] / n, sum[1] / n, sum[2] / n, n);
    }
    return 0;
}
