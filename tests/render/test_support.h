// Helpers of the render tests: scripted draw sources, materials and a
// chi-square goodness-of-fit check.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include "device/random.h"
#include "render/lights.h"
#include "scene/hdr_image.h"
#include "scene/records.h"

namespace lumenar::test {

// A path in the test folder for a file of this test process: ctest runs test
// cases as separate processes side by side, so the name carries the process.
inline std::string tempPath(const std::string& name) {
    return testing::TempDir() + name + "_" + std::to_string(getpid());
}

// A w x h latitude-longitude image whose texel (i, j) has the radiance
// f(u, v) of its centre.
template <class F>
FloatImage skyImage(int w, int h, F f) {
    FloatImage img;
    img.width = w;
    img.height = h;
    img.rgb.resize(std::size_t(w) * std::size_t(h) * 3);
    for (int j = 0; j < h; ++j)
        for (int i = 0; i < w; ++i) {
            const Color c = f((i + 0.5f) / w, (j + 0.5f) / h);
            float* p = &img.rgb[(std::size_t(j) * std::size_t(w) + std::size_t(i)) * 3];
            p[0] = c.r, p[1] = c.g, p[2] = c.b;
        }
    return img;
}

// A file's whole text ("" when it cannot be read).
inline std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Writes a scene file (or any text) there and returns its path.
inline std::string writeScene(const std::string& name, const std::string& text) {
    const std::string path = tempPath(name);
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

// Hands out a fixed list of numbers and counts them; running past the end
// fails the test.
struct ScriptedDraws {
    std::vector<float> values;
    int used = 0;
    ScriptedDraws(std::initializer_list<float> v) : values(v) {}
    float operator()() {
        if (used >= static_cast<int>(values.size())) {
            ADD_FAILURE() << "drew more than the " << values.size() << " scripted numbers";
            return 0.5f;
        }
        return values[used++];
    }
};

// Counts the numbers taken from a real generator.
struct CountingDraws {
    XorwowState state;
    int used = 0;
    explicit CountingDraws(uint64_t seed) { xorwowInit(seed, &state); }
    float operator()() {
        ++used;
        return xorwowUniform(&state);
    }
};

// The light set of a list of light triangles (their choice prepared) and an
// environment.
inline LightSet lightSetOf(const std::vector<deviceLightTriangle>& triangles,
                           const EnvironmentLight& env = EnvironmentLight()) {
    LightSet s;
    s.triangles = triangles.empty() ? nullptr : triangles.data();
    s.triangleCount = static_cast<int>(triangles.size());
    s.env = env;
    return s;
}

inline Material material(float roughness, float transparency, float metalness, float ior) {
    Material m{};
    m.basecolor = Color(0.8f, 0.6f, 0.4f);
    m.specular = Color(0.9f, 0.7f, 0.5f);
    m.transmission = Color(0.3f, 0.6f, 0.9f);
    m.metalness = metalness;
    m.roughness = roughness;
    m.roughnessY = roughness;
    m.transparency = transparency;
    m.IOR = ior;
    m.tex = -1;
    return m;
}

// Pearson's statistic over bins with expected probabilities; bins expected to
// hold fewer than 5 samples are pooled. Fails when the fit is rejected at the
// 0.1% level (Wilson-Hilferty approximation of the critical value).
inline void expectChiSquareFit(const std::vector<double>& counts, const std::vector<double>& probabilities,
                               double total, const char* what) {
    ASSERT_EQ(counts.size(), probabilities.size());
    double stat = 0.0, pooledObs = 0.0, pooledExp = 0.0;
    int dof = -1;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        const double e = probabilities[i] * total;
        if (e < 5.0) {
            pooledObs += counts[i];
            pooledExp += e;
            continue;
        }
        stat += (counts[i] - e) * (counts[i] - e) / e;
        ++dof;
    }
    if (pooledExp > 0.0) {
        if (pooledExp < 5.0) {
            // Too little mass to test: it must at least not attract samples.
            EXPECT_LT(pooledObs, 5.0 + 10.0 * pooledExp) << what;
        } else {
            stat += (pooledObs - pooledExp) * (pooledObs - pooledExp) / pooledExp;
            ++dof;
        }
    }
    ASSERT_GT(dof, 0) << what;
    const double k = 2.0 / (9.0 * dof);
    const double z = 3.090232;  // upper 0.1% point of the standard normal
    const double critical = dof * std::pow(1.0 - k + z * std::sqrt(k), 3.0);
    EXPECT_LT(stat, critical) << what << ": chi-square " << stat << " with " << dof << " degrees of freedom";
}

}  // namespace lumenar::test
