// Helper of the window's end-to-end tests: measures screen grabs and sends
// the close request a window manager would send.
//
//   window-tool size IMG                       -> "W H"
//   window-tool stats IMG X Y W H              -> "mean dark blackRows blackCols noise"
//   window-tool blockdiff A B X Y W H BX BY N
//       N x N block means of A's region against B's region at (BX, BY)
//                                              -> "mean max changedShare"
//   window-tool pixeldiff A AX AY B BX BY W H  -> "mean max sameShare"
//   window-tool close WINDOW                   (WM_DELETE_WINDOW)
#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// After every C++ header: Xlib defines macros such as None and Status.
#include <X11/Xlib.h>

namespace {

struct Image {
    int width = 0, height = 0;
    std::vector<unsigned char> rgb;  // top row first
    int at(int x, int y, int c) const { return rgb[(static_cast<std::size_t>(y) * width + x) * 3 + c]; }
};

bool load(const char* path, Image& img) {
    auto in = OIIO::ImageInput::open(path);
    if (!in) {
        std::fprintf(stderr, "%s: cannot open: %s\n", path, OIIO::geterror().c_str());
        return false;
    }
    const OIIO::ImageSpec& spec = in->spec();
    img.width = spec.width;
    img.height = spec.height;
    std::vector<unsigned char> all(static_cast<std::size_t>(spec.width) * spec.height * spec.nchannels);
    if (spec.nchannels < 3 || !in->read_image(0, 0, 0, spec.nchannels, OIIO::TypeDesc::UINT8, all.data())) {
        std::fprintf(stderr, "%s: cannot read an RGB image\n", path);
        return false;
    }
    img.rgb.resize(static_cast<std::size_t>(spec.width) * spec.height * 3);
    for (std::size_t i = 0; i < img.rgb.size() / 3; ++i)
        for (int c = 0; c < 3; ++c) img.rgb[i * 3 + c] = all[i * spec.nchannels + c];
    return true;
}

bool inside(const Image& img, int x, int y, int w, int h) {
    if (x >= 0 && y >= 0 && w > 0 && h > 0 && x + w <= img.width && y + h <= img.height) return true;
    std::fprintf(stderr, "region %d,%d %dx%d lies outside the %dx%d image\n", x, y, w, h, img.width,
                 img.height);
    return false;
}

int usage() {
    std::fprintf(stderr, "usage: see the comment at the top of window_tool.cpp\n");
    return 2;
}

int closeWindow(const char* id) {
    Display* d = XOpenDisplay(nullptr);
    if (!d) {
        std::fprintf(stderr, "cannot open the display\n");
        return 1;
    }
    const Window w = static_cast<Window>(std::strtoul(id, nullptr, 0));
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = w;
    e.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
    e.xclient.data.l[1] = CurrentTime;
    const Status ok = XSendEvent(d, w, False, NoEventMask, &e);
    XSync(d, False);
    XCloseDisplay(d);
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return usage();
    const std::string cmd = argv[1];
    if (cmd == "close") return closeWindow(argv[2]);

    Image a;
    if (!load(argv[2], a)) return 1;
    if (cmd == "size") {
        std::printf("%d %d\n", a.width, a.height);
        return 0;
    }
    if (cmd == "stats" && argc == 7) {
        const int x = std::atoi(argv[3]), y = std::atoi(argv[4]), w = std::atoi(argv[5]),
                  h = std::atoi(argv[6]);
        if (!inside(a, x, y, w, h)) return 1;
        // A pixel is dark when all channels are below 8; a row or column is
        // black when every pixel in it is dark. Noise: mean difference
        // between horizontal neighbours.
        double sum = 0, noise = 0;
        long dark = 0;
        std::vector<int> rowLit(h, 0), colLit(w, 0);
        for (int j = 0; j < h; ++j)
            for (int i = 0; i < w; ++i) {
                int mx = 0;
                for (int c = 0; c < 3; ++c) {
                    const int v = a.at(x + i, y + j, c);
                    sum += v;
                    mx = std::max(mx, v);
                    if (i > 0) noise += std::abs(v - a.at(x + i - 1, y + j, c));
                }
                if (mx < 8) {
                    ++dark;
                } else {
                    rowLit[j] = 1;
                    colLit[i] = 1;
                }
            }
        const int blackRows = static_cast<int>(std::count(rowLit.begin(), rowLit.end(), 0));
        const int blackCols = static_cast<int>(std::count(colLit.begin(), colLit.end(), 0));
        std::printf("%.3f %.4f %d %d %.3f\n", sum / (3.0 * w * h), static_cast<double>(dark) / (w * h),
                    blackRows, blackCols, noise / (3.0 * (w - 1) * h));
        return 0;
    }
    if (cmd == "blockdiff" && argc == 11) {
        Image b;
        if (!load(argv[3], b)) return 1;
        const int x = std::atoi(argv[4]), y = std::atoi(argv[5]), w = std::atoi(argv[6]),
                  h = std::atoi(argv[7]);
        const int bx = std::atoi(argv[8]), by = std::atoi(argv[9]), n = std::atoi(argv[10]);
        if (n <= 0 || !inside(a, x, y, w, h) || !inside(b, bx, by, w, h)) return 1;
        // Differences of N x N block means: pixel noise averages out, a
        // changed picture does not.
        double sum = 0, mx = 0;
        long blocks = 0, changed = 0;
        for (int j = 0; j + n <= h; j += n)
            for (int i = 0; i + n <= w; i += n) {
                double d = 0;
                for (int c = 0; c < 3; ++c) {
                    double ma = 0, mb = 0;
                    for (int v = 0; v < n; ++v)
                        for (int u = 0; u < n; ++u) {
                            ma += a.at(x + i + u, y + j + v, c);
                            mb += b.at(bx + i + u, by + j + v, c);
                        }
                    d += std::abs(ma - mb) / (n * n);
                }
                d /= 3;
                sum += d;
                mx = std::max(mx, d);
                ++blocks;
                if (d > 8) ++changed;
            }
        if (blocks == 0) return 1;
        std::printf("%.3f %.3f %.4f\n", sum / blocks, mx, static_cast<double>(changed) / blocks);
        return 0;
    }
    if (cmd == "pixeldiff" && argc == 10) {
        Image b;
        if (!load(argv[5], b)) return 1;
        const int ax = std::atoi(argv[3]), ay = std::atoi(argv[4]), bx = std::atoi(argv[6]),
                  by = std::atoi(argv[7]);
        const int w = std::atoi(argv[8]), h = std::atoi(argv[9]);
        if (!inside(a, ax, ay, w, h) || !inside(b, bx, by, w, h)) return 1;
        double sum = 0;
        int mx = 0;
        long same = 0;
        for (int j = 0; j < h; ++j)
            for (int i = 0; i < w; ++i) {
                int d = 0;
                for (int c = 0; c < 3; ++c)
                    d = std::max(d, std::abs(a.at(ax + i, ay + j, c) - b.at(bx + i, by + j, c)));
                sum += d;
                mx = std::max(mx, d);
                if (d == 0) ++same;
            }
        std::printf("%.3f %d %.4f\n", sum / (static_cast<double>(w) * h), mx,
                    static_cast<double>(same) / (w * h));
        return 0;
    }
    return usage();
}
