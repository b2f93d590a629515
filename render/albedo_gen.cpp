// Writes the directional-albedo tables of the material model as a C++ header
// (see render/microfacet.h for what they hold).
//
// Each entry is the expected sample weight over the half-vector distribution
// D(H) (n . H), integrated by the midpoint rule on a fixed grid of the
// sampler's own numbers (azimuth and the GGX polar number), so the grid
// follows the lobe however narrow it is. Deterministic: the same header on
// every run and machine.
//
//   lumenar-albedo-tables OUTPUT.h
#include <cmath>
#include <cstdio>
#include <vector>

#include "render/microfacet.h"

using namespace lumenar;
using namespace lumenar::albedo;

namespace {

constexpr int kAzimuth = 64;
constexpr int kPolar = 128;
constexpr double kPi = 3.14159265358979323846;

struct Half {
    float x, y, z;
    double w;  // share of the distribution
};

// Half vectors on the grid of the sampler's numbers for width alpha2
// (each carries the same share of the distribution). The outgoing direction
// lies in the xz plane, so every integrand is mirror-symmetric in the
// azimuth: half the circle stands for all of it.
std::vector<Half> halfVectors(float alpha2) {
    std::vector<Half> h;
    h.reserve(kAzimuth * kPolar);
    for (int i = 0; i < kPolar; ++i) {
        // The polar number near 1 maps to the grazing tail, where the angle
        // changes as sqrt(1 - xi): xi = 1 - u^2 with u on the midpoint grid
        // keeps the integrand smooth.
        const double u = (i + 0.5) / kPolar;
        const double xi = 1.0 - u * u;
        const double w = 2.0 * u / kPolar / kAzimuth;
        const double c = alpha2 > 0.0f ? std::sqrt((1.0 - xi) / (1.0 + (alpha2 - 1.0) * xi)) : 1.0;
        const double s = std::sqrt(std::fmax(0.0, 1.0 - c * c));
        for (int j = 0; j < kAzimuth; ++j) {
            const double phi = kPi * (j + 0.5) / kAzimuth;
            h.push_back({static_cast<float>(s * std::cos(phi)), static_cast<float>(s * std::sin(phi)),
                         static_cast<float>(c), w});
        }
    }
    return h;
}

// wo = (sin, 0, cos) at cosine mu.
struct Out {
    float x, z;
};
Out outgoing(float mu) {
    return {std::sqrt(std::fmax(0.0f, 1.0f - mu * mu)), mu};
}

// Coat: expectations of the weight times (1 - (1 - OH)^5) and (1 - OH)^5.
void coat(float mu, float alpha2, const std::vector<Half>& hs, double* e1, double* e2) {
    const Out wo = outgoing(mu);
    double a = 0.0, b = 0.0;
    for (const Half& h : hs) {
        const float OH = wo.x * h.x + wo.z * h.z;
        const float NI = 2.0f * OH * h.z - wo.z;
        const float w = reflectionWeight(mu, NI, OH, h.z, alpha2);
        const float p = pow5(lumenar::fminf(lumenar::fmaxf(1.0f - OH, 0.0f), 1.0f));
        a += h.w * w * (1.0f - p);
        b += h.w * w * p;
    }
    *e1 = a;
    *e2 = b;
}

// Interface seen at cosine mu with relative index eta: albedo e0 + s e1, and
// its reflected part at s = 1.
void interface(float mu, float alpha2, float eta, const std::vector<Half>& hs, double* e0, double* e1,
               double* refl) {
    const Out wo = outgoing(mu);
    double tir = 0.0, fres = 0.0, trans = 0.0, transF = 0.0;
    for (const Half& h : hs) {
        const float OH = wo.x * h.x + wo.z * h.z;
        if (!(OH > 0.0f)) continue;
        const InterfaceFresnel f = interfaceFresnel(OH, eta);
        const float NR = 2.0f * OH * h.z - wo.z;
        const float wr = reflectionWeight(mu, NR, OH, h.z, alpha2);
        if (f.totalInternal) {
            tir += h.w * wr;
            continue;
        }
        fres += h.w * wr * f.F;
        // Refracted direction: -wo / eta + (OH / eta - cosFar) H.
        const float NT = -wo.z / eta + (OH / eta - f.cosFar) * h.z;
        const float wt = refractionWeight(mu, NT, OH, h.z, alpha2);
        trans += h.w * wt;
        transF += h.w * wt * f.F;
    }
    *e0 = tir + trans;
    *e1 = fres - transF;
    *refl = tir + fres;
}

// Integral of the piecewise-linear interpolant of v (nodes muNode) times 2 mu.
double cosineAverage(const float* v, int n) {
    const int steps = 8192;
    double s = 0.0;
    for (int i = 0; i < steps; ++i) {
        const double mu = (i + 0.5) / steps;
        const double x = mu * (n - 1);
        int j = static_cast<int>(x);
        if (j > n - 2) j = n - 2;
        const double a = muNode(j, n), b = muNode(j + 1, n);
        const double t = (mu - a) / (b - a);
        s += (v[j] * (1.0 - t) + v[j + 1] * t) * 2.0 * mu;
    }
    return s / steps;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: lumenar-albedo-tables OUTPUT.h\n");
        return 2;
    }
    std::vector<float> t(kTableSize, 0.0f);

    for (int r = 0; r < kCoatRough; ++r) {
        const float alpha2 = widthSquared(roughNode(r, kCoatRough));
        const std::vector<Half> hs = halfVectors(alpha2);
        for (int m = 0; m < kCoatMu; ++m) {
            double e1, e2;
            coat(muNode(m, kCoatMu), alpha2, hs, &e1, &e2);
            t[kCoatE1 + coatIndex(r, m)] = static_cast<float>(e1);
            t[kCoatE2 + coatIndex(r, m)] = static_cast<float>(e2);
        }
        t[kCoatAvg1 + r] = static_cast<float>(cosineAverage(&t[kCoatE1 + coatIndex(r, 0)], kCoatMu));
        t[kCoatAvg2 + r] = static_cast<float>(cosineAverage(&t[kCoatE2 + coatIndex(r, 0)], kCoatMu));
    }

    for (int r = 0; r < kIfRough; ++r) {
        const float alpha2 = widthSquared(roughNode(r, kIfRough));
        const std::vector<Half> hs = halfVectors(alpha2);
        for (int side = 0; side < 2; ++side)
            for (int i = 0; i < kIfIor; ++i) {
                const float ior = iorNode(i);
                const float eta = side == 0 ? ior : 1.0f / ior;
                double reflSum = 0.0, totalSum = 0.0;
                for (int m = 0; m < kIfMu; ++m) {
                    double e0, e1, refl;
                    if (i == 0) {
                        // No interface: everything passes straight through.
                        e0 = 1.0, e1 = 0.0, refl = 0.0;
                    } else {
                        interface(muNode(m, kIfMu), alpha2, eta, hs, &e0, &e1, &refl);
                    }
                    t[kIfE0 + ifIndex(side, i, r, m)] = static_cast<float>(e0);
                    t[kIfE1 + ifIndex(side, i, r, m)] = static_cast<float>(e1);
                    const double mu = muNode(m, kIfMu);
                    reflSum += refl * mu;
                    totalSum += (e0 + e1) * mu;
                }
                const int a = ifAvgIndex(side, i, r);
                t[kIfAvg0 + a] = static_cast<float>(cosineAverage(&t[kIfE0 + ifIndex(side, i, r, 0)], kIfMu));
                t[kIfAvg1 + a] = static_cast<float>(cosineAverage(&t[kIfE1 + ifIndex(side, i, r, 0)], kIfMu));
                t[kIfRho + a] = totalSum > 0.0 ? static_cast<float>(reflSum / totalSum) : 0.0f;
            }
    }

    FILE* f = std::fopen(argv[1], "w");
    if (!f) {
        std::fprintf(stderr, "lumenar-albedo-tables: cannot write %s\n", argv[1]);
        return 1;
    }
    std::fprintf(f,
                 "// Generated by lumenar-albedo-tables; do not edit.\n#pragma once\n\n"
                 "#include \"render/microfacet.h\"\n\nnamespace lumenar {\nnamespace albedo {\n\n"
                 "#define LUMENAR_ALBEDO_VALUES \\\n");
    for (int i = 0; i < kTableSize; ++i)
        std::fprintf(f, "%.8ef,%s", static_cast<double>(t[i]), (i % 8 == 7) ? " \\\n" : " ");
    std::fprintf(f,
                 "\n\n#if defined(__CUDACC__)\nstatic __device__ const float kTableDevice[kTableSize] = "
                 "{LUMENAR_ALBEDO_VALUES};\n#endif\nstatic const float kTableHost[kTableSize] = "
                 "{LUMENAR_ALBEDO_VALUES};\n#undef LUMENAR_ALBEDO_VALUES\n\n"
                 "LUMENAR_HD inline float albedoTable(int i) {\n#if defined(__CUDA_ARCH__)\n"
                 "    return kTableDevice[i];\n#else\n    return kTableHost[i];\n#endif\n}\n\n"
                 "}  // namespace albedo\n}  // namespace lumenar\n");
    if (std::fclose(f) != 0) {
        std::fprintf(stderr, "lumenar-albedo-tables: error writing %s\n", argv[1]);
        return 1;
    }
    return 0;
}
