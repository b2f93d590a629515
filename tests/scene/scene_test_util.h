// Helpers shared by the scene tests: parse text and capture what it printed.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "scene/input_parser.h"

namespace lumenar::test {

struct Parsed {
    ParseStatus status = ParseStatus::Failed;
    std::string out;  // everything printed on standard output
    aabb bounds = initialSceneBox();
    float4* woop = nullptr;
};

inline Parsed parse(const std::string& text, Scene& scene) {
    Parsed p;
    testing::internal::CaptureStdout();
    p.status = parseSceneText(text, "input", scene, p.bounds, &p.woop);
    p.out = testing::internal::GetCapturedStdout();
    return p;
}

// One material entry; `emission` as three numbers.
inline std::string materialEntry(int index, const std::string& emission = "0 0 0",
                                 const std::string& anisotropic = "False", const std::string& tex = "0") {
    return "mtl " + std::to_string(index) + " m" + std::to_string(index) +
           "\nbasecolor 0.8 0.7 0.6\nspecular 0.04 0.04 0.04\nemission " + emission +
           "\ntransmission 1 1 1\nmetalness 0.25\nanisotropic " + anisotropic +
           "\nroughness 0.3\nroughnessY 0.6\ntransparency 0.1\nIOR 1.5\ntex " + tex +
           "\nrsc 2\nabsorption 0.1 0.2 0.3\n";
}

// A material block: material 0 diffuse, material 1 emissive.
inline std::string twoMaterials() {
    return "material\n2\n\n" + materialEntry(0) + materialEntry(1, "4 4 4");
}

}  // namespace lumenar::test
