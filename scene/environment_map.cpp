#include "scene/environment_map.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace lumenar {

namespace {

double luminance(const float* rgb) {
    return 0.2126 * rgb[0] + 0.7152 * rgb[1] + 0.0722 * rgb[2];
}

// Running sums turned into a CDF that starts at 0 and ends at exactly 1.
void normalise(std::vector<double>& sums, float* cdf) {
    const double total = sums.back();
    const std::size_t n = sums.size() - 1;
    for (std::size_t k = 0; k <= n; ++k)
        cdf[k] =
            total > 0.0 ? static_cast<float>(sums[k] / total) : static_cast<float>(double(k) / double(n));
    cdf[n] = 1.0f;
}

}  // namespace

void buildEnvironmentDistribution(const FloatImage& image, std::vector<float>& marginal,
                                  std::vector<float>& conditional) {
    const int w = image.width, h = image.height;
    std::vector<double> lum(std::size_t(w) * std::size_t(h));
    for (std::size_t k = 0; k < lum.size(); ++k) lum[k] = luminance(&image.rgb[k * 3]);
    // The brightest texel a bilinear lookup inside texel (i, j) can reach:
    // its 3 x 3 neighbourhood, wrapping in u and clamped at the poles.
    std::vector<double> weight(lum.size());
    for (int j = 0; j < h; ++j) {
        const double sinTheta = std::sin(3.14159265358979323846 * (j + 0.5) / h);
        for (int i = 0; i < w; ++i) {
            double m = 0.0;
            for (int dj = -1; dj <= 1; ++dj) {
                const int jj = std::clamp(j + dj, 0, h - 1);
                for (int di = -1; di <= 1; ++di) {
                    const int ii = ((i + di) % w + w) % w;
                    m = std::max(m, lum[std::size_t(jj) * std::size_t(w) + std::size_t(ii)]);
                }
            }
            weight[std::size_t(j) * std::size_t(w) + std::size_t(i)] = m * sinTheta;
        }
    }
    marginal.assign(std::size_t(h) + 1, 0.0f);
    conditional.assign(std::size_t(h) * (std::size_t(w) + 1), 0.0f);
    std::vector<double> rowSums(std::size_t(h) + 1, 0.0), sums(std::size_t(w) + 1);
    for (int j = 0; j < h; ++j) {
        sums[0] = 0.0;
        for (int i = 0; i < w; ++i)
            sums[std::size_t(i) + 1] =
                sums[std::size_t(i)] + weight[std::size_t(j) * std::size_t(w) + std::size_t(i)];
        rowSums[std::size_t(j) + 1] = rowSums[std::size_t(j)] + sums.back();
        normalise(sums, &conditional[std::size_t(j) * (std::size_t(w) + 1)]);
    }
    normalise(rowSums, marginal.data());
}

bool EnvironmentMap::load(const std::string& path, float scale) {
    FloatImage image;
    if (!loadLinearImage(path, image)) return false;
    if (!create(image, scale)) {
        std::printf("Error: Cannot place environment image %s in device memory.\n", path.c_str());
        return false;
    }
    return true;
}

bool EnvironmentMap::create(const FloatImage& image, float scale) {
    reset();
    if (image.width <= 0 || image.height <= 0 ||
        image.rgb.size() != std::size_t(image.width) * std::size_t(image.height) * 3)
        return false;
    std::vector<float> marginal, conditional;
    buildEnvironmentDistribution(image, marginal, conditional);
    texels_ = device::uploadArray(image.rgb.data(), image.rgb.size());
    marginal_ = device::uploadArray(marginal.data(), marginal.size());
    conditional_ = device::uploadArray(conditional.data(), conditional.size());
    if (!texels_ || !marginal_ || !conditional_) {
        reset();
        return false;
    }
    width_ = image.width;
    height_ = image.height;
    scale_ = scale;
    // Sum of luminance x solid angle over the texels.
    double p = 0.0;
    for (int j = 0; j < height_; ++j) {
        const double theta0 = 3.14159265358979323846 * j / height_,
                     theta1 = 3.14159265358979323846 * (j + 1) / height_;
        const double omega = 2.0 * 3.14159265358979323846 / width_ * (std::cos(theta0) - std::cos(theta1));
        for (int i = 0; i < width_; ++i)
            p += luminance(&image.rgb[(std::size_t(j) * std::size_t(width_) + std::size_t(i)) * 3]) * omega;
    }
    power_ = static_cast<float>(p * scale);
    return true;
}

void EnvironmentMap::reset() {
    texels_.reset();
    marginal_.reset();
    conditional_.reset();
    width_ = height_ = 0;
    power_ = 0.0f;
}

EnvironmentView EnvironmentMap::view(float rotation) const {
    EnvironmentView v;
    if (!texels_) return v;
    v.texels = texels_.get();
    v.marginalCdf = marginal_.get();
    v.conditionalCdf = conditional_.get();
    v.width = width_;
    v.height = height_;
    v.scale = scale_;
    v.cosRotation = std::cos(rotation);
    v.sinRotation = std::sin(rotation);
    return v;
}

}  // namespace lumenar
