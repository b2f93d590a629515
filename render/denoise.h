// A preview denoiser: an edge-avoiding a-trous wavelet filter over the
// running average, guided by what a ray through each pixel centre hits first
// (albedo, shading normal and distance). It only changes what is displayed;
// the running sum is never touched, so the converged image stays unbiased.
//
// Each pass blurs with the 5 x 5 B3-spline kernel on a grid spaced 2^pass
// pixels apart; a neighbour's weight falls off with the difference of its
// normal, albedo, depth and colour from the centre pixel's, so light does not
// leak across silhouettes, albedo edges or creases. Lighting is filtered with
// the albedo divided out and multiplied back at the end, so texture and
// material detail stay sharp.
//
// Given the renderer's estimate of each pixel's variance, the colour weight
// reads it (as variance-guided filters do): a neighbour whose lighting
// differs by what the centre's noise explains is averaged in, one that
// differs by more is not, so noisy regions are smoothed and converged ones
// left alone. Each pass carries the variance of what it produced along.
#pragma once

#include <cmath>
#include <cstdint>

#include "device/hd.h"
#include "device/memory.h"
#include "render/tracer.h"
#include "scene/camera.h"

namespace lumenar {

// What a ray through a pixel centre sees first. A pixel that sees the
// background or an emitter has albedo (1, 1, 1) and depth 0: it is filtered
// only with neighbours that also see nothing.
struct DenoiseGuide {
    Color albedo;
    Vector3d normal;
    float depth;  // distance along the camera ray, 0 for the background
};

struct DenoiseParams {
    int passes = 5;
    float sigmaNormal = 0.1f;  // width of the normal weight (1 - cos of the angle)
    float sigmaAlbedo = 0.1f;  // width of the albedo weight (per-channel difference)
    float sigmaDepth = 0.03f;  // width of the depth weight, relative to the depth, per pixel of step
    float sigmaColour = 0.6f;  // width of the colour weight on the first pass (halved each pass)
    // Width of the colour weight with a variance estimate, in standard
    // deviations of the centre's lighting.
    float sigmaVariance = 2.0f;
};

// Smallest albedo the lighting is divided by; darker surfaces are filtered
// as they are.
constexpr float kMinDemodulationAlbedo = 0.02f;

LUMENAR_HD inline float b3Tap(int i) {
    // 1/16, 1/4, 3/8, 1/4, 1/16 for i = -2..2
    return i == 0 ? 0.375f : ((i == 1 || i == -1) ? 0.25f : 0.0625f);
}

LUMENAR_HD inline float channelMax(const Color& c) {
    return fmaxf(c.r, fmaxf(c.g, c.b));
}

// Lighting of a pixel: its colour with the albedo divided out.
LUMENAR_HD inline Color demodulate(const Color& c, const Color& albedo) {
    return Color(c.r / fmaxf(albedo.r, kMinDemodulationAlbedo), c.g / fmaxf(albedo.g, kMinDemodulationAlbedo),
                 c.b / fmaxf(albedo.b, kMinDemodulationAlbedo));
}
LUMENAR_HD inline Color remodulate(const Color& c, const Color& albedo) {
    return Color(c.r * fmaxf(albedo.r, kMinDemodulationAlbedo), c.g * fmaxf(albedo.g, kMinDemodulationAlbedo),
                 c.b * fmaxf(albedo.b, kMinDemodulationAlbedo));
}

// Weight of neighbour q for centre p from the guides alone (1 for equal
// guides, falling towards 0 across an edge). step is the pass's tap spacing.
LUMENAR_HD inline float guideWeight(const DenoiseGuide& p, const DenoiseGuide& q, int step,
                                    const DenoiseParams& k) {
    if ((p.depth > 0.0f) != (q.depth > 0.0f)) return 0.0f;  // surface against background
    const float dn = fmaxf(0.0f, 1.0f - dot(p.normal, q.normal));
    const Color da = p.albedo - q.albedo;
    const float dA = fabsf(da.r) + fabsf(da.g) + fabsf(da.b);
    float e = dn / k.sigmaNormal + dA / k.sigmaAlbedo;
    if (p.depth > 0.0f) e += fabsf(p.depth - q.depth) / (k.sigmaDepth * p.depth * static_cast<float>(step));
    return expf(-e);
}

// Colour weight on compressed lighting, so bright and dark regions are
// treated alike; sigma shrinks each pass as the noise goes down.
LUMENAR_HD inline float colourWeight(const Color& p, const Color& q, float sigma) {
    const float d = fabsf(sqrtf(fmaxf(p.r, 0.0f)) - sqrtf(fmaxf(q.r, 0.0f))) +
                    fabsf(sqrtf(fmaxf(p.g, 0.0f)) - sqrtf(fmaxf(q.g, 0.0f))) +
                    fabsf(sqrtf(fmaxf(p.b, 0.0f)) - sqrtf(fmaxf(q.b, 0.0f)));
    return expf(-d / sigma);
}

LUMENAR_HD inline float lightingLuminance(const Color& c) {
    return (c.r + c.g + c.b) * (1.0f / 3.0f);
}

// Colour weight from the variance of the centre's lighting luminance.
LUMENAR_HD inline float varianceWeight(float centre, float other, float variance, float sigma) {
    return expf(-fabsf(centre - other) / (sigma * sqrtf(variance) + 1e-6f));
}

// Variance of the luminance of a pixel's lighting from the variances of its
// mean's channels (negative: not known). The channels of one path move
// together, so their deviations add before squaring (an upper bound).
LUMENAR_HD inline float lightingVariance(const Color& variance, const Color& albedo) {
    if (variance.r < 0.0f) return -1.0f;
    const float s = sqrtf(fmaxf(variance.r, 0.0f)) / fmaxf(albedo.r, kMinDemodulationAlbedo) +
                    sqrtf(fmaxf(variance.g, 0.0f)) / fmaxf(albedo.g, kMinDemodulationAlbedo) +
                    sqrtf(fmaxf(variance.b, 0.0f)) / fmaxf(albedo.b, kMinDemodulationAlbedo);
    return s * s * (1.0f / 9.0f);
}

// The centre's variance for the weights: a 3 x 3 Gaussian over the pixel
// and its neighbours that have one (a single pixel's estimate is noisy).
LUMENAR_HD inline float smoothedVariance(const float* variance, int x, int y, int W, int H) {
    if (variance[y * W + x] < 0.0f) return -1.0f;
    float sum = 0.0f, wsum = 0.0f;
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) {
            const int qx = x + dx, qy = y + dy;
            if (qx < 0 || qy < 0 || qx >= W || qy >= H) continue;
            const float v = variance[qy * W + qx];
            if (v < 0.0f) continue;
            const float w = (dx == 0 ? 2.0f : 1.0f) * (dy == 0 ? 2.0f : 1.0f);
            sum += w * v;
            wsum += w;
        }
    return sum / wsum;
}

// One filtered pixel of one pass: in and out are lighting (albedo divided
// out), W x H; taps outside the image are skipped. With the lighting's
// variance (varianceIn, negative where not known) the colour weight reads
// it, and the variance of the result goes to varianceOut.
LUMENAR_HD inline Color atrousPixel(int x, int y, int W, int H, int step, float sigmaColour, const Color* in,
                                    const DenoiseGuide* guides, const DenoiseParams& k,
                                    const float* varianceIn = nullptr, float* varianceOut = nullptr) {
    const int i = y * W + x;
    const Color c = in[i];
    const DenoiseGuide g = guides[i];
    const float vc = varianceIn ? smoothedVariance(varianceIn, x, y, W, H) : -1.0f;
    const float lc = lightingLuminance(c);
    Color sum(0.0f, 0.0f, 0.0f);
    float wsum = 0.0f, vsum = 0.0f;
    for (int dy = -2; dy <= 2; ++dy) {
        const int qy = y + dy * step;
        if (qy < 0 || qy >= H) continue;
        for (int dx = -2; dx <= 2; ++dx) {
            const int qx = x + dx * step;
            if (qx < 0 || qx >= W) continue;
            const int j = qy * W + qx;
            const float wc = vc >= 0.0f ? varianceWeight(lc, lightingLuminance(in[j]), vc, k.sigmaVariance)
                                        : colourWeight(c, in[j], sigmaColour);
            const float w = b3Tap(dx) * b3Tap(dy) * guideWeight(g, guides[j], step, k) * wc;
            sum += in[j] * w;
            wsum += w;
            if (varianceOut) vsum += w * w * fmaxf(varianceIn[j], 0.0f);
        }
    }
    // The centre tap always has weight 9/64 and so keeps wsum positive.
    if (varianceOut) varianceOut[i] = vc >= 0.0f ? vsum / (wsum * wsum) : -1.0f;
    return sum / wsum;
}

// Guide of pixel (x, y): a ray through the pixel centre into the scene.
LUMENAR_HD inline DenoiseGuide guideOfPixel(int x, int y, const Camera& cam, const DynamicScene& s,
                                            Raytrace& rt) {
    DenoiseGuide g;
    g.albedo = Color(1.0f, 1.0f, 1.0f);
    g.normal = Vector3d(0.0f, 0.0f, 0.0f);
    g.depth = 0.0f;
    const Vector3d target = planePoint(cam, (static_cast<float>(x) + 0.5f) / static_cast<float>(cam.width),
                                       (static_cast<float>(y) + 0.5f) / static_cast<float>(cam.height));
    const Ray ray(cam.rayOrigin, target - cam.rayOrigin);
    if (!s.nodes || !s.triIndices) return g;
    SurfaceHitRecord rec;
    if (!rt.nearestHit(ray, s, &rec)) return g;
    const Material& m = s.materials[rec.materialIndex];
    Vector3d n = normalize(rec.normal);
    // Both sides of a surface are one surface to the filter.
    if (dot(n, ray.direction) > 0.0f) n = -n;
    g.normal = n;
    g.depth = rec.t * length(ray.direction);
    if (!m.isEmissive()) g.albedo = m.basecolor;
    return g;
}

// One pass of the filter over a W x H image of lighting, taps step pixels
// apart (a launch; the caller synchronises); with the variances when
// varianceIn is given.
void launchAtrousPass(int W, int H, int step, float sigmaColour, const Color* in, Color* out,
                      const DenoiseGuide* guides, const DenoiseParams& params,
                      const float* varianceIn = nullptr, float* varianceOut = nullptr);

// Owns the guides and the work images of one W x H view.
class Denoiser {
 public:
    DenoiseParams params;

    // Allocates for a W x H image; false when memory is short.
    bool allocate(int width, int height);
    bool valid() const { return static_cast<bool>(guides_); }

    // Casts one ray through each pixel centre. Needed again after anything
    // that changes what the pixels see (camera, mesh, materials).
    void computeGuides(const Camera& camera, const DynamicScene& scene);
    // Filters the linear average accum / frames (or accum / samples, each
    // pixel's own count) and writes display vertices toned with exponent
    // into display. With `variance` (the variance of each pixel's mean,
    // negative where not known) the colour weight reads it. Launches only;
    // the caller checks and synchronises.
    void filter(const Color* accum, int frames, float exponent, Color* display,
                const Color* variance = nullptr, const uint32_t* samples = nullptr);
    // Filters a linear image in place (for checking the filter on images of
    // known content), with its variances when given. Launches only.
    void filterLinear(Color* image, const Color* variance = nullptr);

    DenoiseGuide* guides() { return guides_.get(); }

    // The first step of filter(): the lighting of an image (and its
    // variances) into the work image. Public only because the device
    // compiler takes no lambdas in private member functions.
    void demodulateInto(const Color* image, int frames, const uint32_t* samples, const Color* variance);

 private:
    int width_ = 0;
    int height_ = 0;
    device::Buffer<DenoiseGuide> guides_;
    device::Buffer<Color> ping_;
    device::Buffer<Color> pong_;
    device::Buffer<float> varPing_, varPong_;  // the lighting's variances, when known
    // ping_ holds the lighting before and after (and varPing_ its variance
    // when withVariance).
    void runPasses(bool withVariance);
};

}  // namespace lumenar
