// lumenar-make-sky: writes a linear high-dynamic-range sky for image-based
// lighting: a gradient from a pale horizon to a blue zenith, a darker ground
// below the horizon, and a small bright sun.
//
//   lumenar-make-sky -o FILE.exr [--width W] [--sun-elevation DEG] [--sun-azimuth DEG]
//
// The image is W x W/2 texels in latitude-longitude layout (top row: zenith;
// horizontal centre: -z; u grows towards +x). Azimuth 0 is -z, 90 is +x.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "scene/hdr_image.h"

int main(int argc, char** argv) {
    std::string output;
    int width = 1024;
    double sunElevation = 35.0, sunAzimuth = 60.0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-o" && i + 1 < argc) {
            output = argv[++i];
        } else if (a == "--width" && i + 1 < argc) {
            width = std::atoi(argv[++i]);
        } else if (a == "--sun-elevation" && i + 1 < argc) {
            sunElevation = std::atof(argv[++i]);
        } else if (a == "--sun-azimuth" && i + 1 < argc) {
            sunAzimuth = std::atof(argv[++i]);
        } else {
            output.clear();
            break;
        }
    }
    if (output.empty() || width < 8 || width > 16384 || width % 2 != 0) {
        std::fprintf(stderr,
                     "usage: lumenar-make-sky -o FILE.exr [--width W (even, 8..16384)] [--sun-elevation DEG] "
                     "[--sun-azimuth DEG]\n");
        return 2;
    }
    const double pi = 3.14159265358979323846, deg = pi / 180.0;
    const double se = sunElevation * deg, sa = sunAzimuth * deg;
    const double sun[3] = {std::cos(se) * std::sin(sa), std::sin(se), -std::cos(se) * std::cos(sa)};
    const double sunRadius = 1.5 * deg, sunRadiance = 900.0;
    lumenar::FloatImage img;
    img.width = width;
    img.height = width / 2;
    img.rgb.resize(std::size_t(img.width) * std::size_t(img.height) * 3);
    for (int j = 0; j < img.height; ++j) {
        const double theta = pi * (j + 0.5) / img.height;
        for (int i = 0; i < img.width; ++i) {
            const double phi = 2.0 * pi * ((i + 0.5) / img.width - 0.5);
            const double d[3] = {std::sin(theta) * std::sin(phi), std::cos(theta),
                                 -std::sin(theta) * std::cos(phi)};
            double c[3];
            if (d[1] >= 0.0) {
                const double t = std::pow(d[1], 0.5);  // 0 at the horizon, 1 at the zenith
                const double horizon[3] = {0.95, 0.95, 0.9}, zenith[3] = {0.25, 0.45, 0.95};
                for (int k = 0; k < 3; ++k) c[k] = horizon[k] * (1.0 - t) + zenith[k] * t;
            } else {
                const double ground[3] = {0.18, 0.15, 0.12};
                for (int k = 0; k < 3; ++k) c[k] = ground[k];
            }
            const double cosSun = d[0] * sun[0] + d[1] * sun[1] + d[2] * sun[2];
            if (cosSun > std::cos(sunRadius)) {
                const double sunColour[3] = {1.0, 0.93, 0.82};
                for (int k = 0; k < 3; ++k) c[k] = sunRadiance * sunColour[k];
            }
            for (int k = 0; k < 3; ++k)
                img.rgb[(std::size_t(j) * std::size_t(img.width) + std::size_t(i)) * 3 + std::size_t(k)] =
                    static_cast<float>(c[k]);
        }
    }
    return lumenar::writeLinearImage(output, img) ? 0 : 1;
}
