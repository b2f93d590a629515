#!/usr/bin/env python3
"""Writes a glTF 2.0 binary model made entirely here that uses every feature
the importer reads, for opening, rendering and timing: a bumpy, vertex-coloured
sphere with base colour, normal, metallic-roughness and emissive textures (the
emissive one on the second coordinate set), a floor whose checker is read
with nearest filtering through KHR_texture_transform, a cut-out fence
(alphaMode MASK), a blended veil (BLEND), a dielectric with
KHR_materials_specular, a glass block (KHR_materials_transmission and _ior),
a textured emissive panel, a spot light and a low sun (KHR_lights_punctual,
in candela and lux) and a camera.

    tools/make_feature_model.py features.glb [--segments N] [--texture-size S]

--segments sets the sphere's tessellation (about 4 * N * N triangles),
--texture-size the side of the square textures (default 4096).
"""
import argparse
import math
import struct
import zlib

from glb_blob import Blob
from make_sample_model import sphere


def png_tiled(size, tile, channels=4):
    """PNG bytes of a size x size image repeating `tile` (rows of bytes, top
    first; the tile's side divides size)."""
    side = len(tile)
    repeat = size // side
    rows = [b"\x00" + bytes(row) * repeat for row in tile]
    raw = b"".join(rows[y % side] for y in range(size))

    def chunk(kind, data):
        c = kind + data
        return struct.pack(">I", len(data)) + c + struct.pack(">I", zlib.crc32(c) & 0xFFFFFFFF)

    head = struct.pack(">IIBBBBB", size, size, 8, 6 if channels == 4 else 2, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", head) + chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b"")


def tile(side, pixel):
    """A tile's rows: pixel(x, y) gives the bytes of one texel."""
    return [b"".join(bytes(pixel(x, y)) for x in range(side)) for y in range(side)]


def checker(x, y):
    return (220, 200, 170, 255) if ((x // 16) + (y // 16)) % 2 else (40, 60, 90, 255)


def bumps(x, y):
    # Round bumps: the normal of a cosine bump per 32 x 32 cell, +y up.
    fx, fy = (x % 32) / 32.0 - 0.5, 0.5 - (y % 32) / 32.0
    nx, ny = -0.6 * math.sin(2 * math.pi * fx), -0.6 * math.sin(2 * math.pi * fy)
    n = math.sqrt(nx * nx + ny * ny + 1)
    return tuple(int(round((c / n + 1) * 127.5)) for c in (nx, ny, 1.0)) + (255,)


def metal_rough(x, y):
    return (0, 60 if (x // 32) % 2 else 200, 255 if (y // 64) % 2 else 0, 255)


def glow(x, y):
    return (255, 200, 120, 255) if (y // 8) % 4 == 0 else (0, 0, 0, 255)


def fence(x, y):
    return (90, 70, 50, 255 if (x % 16 < 3 or y % 16 < 3) else 0)


def sphere_attributes(segments):
    """The sample's sphere with its coordinates stretched over 4 x 2 repeats, a
    second set spanning the sphere once, and vertex colours."""
    pos, nrm, uv1, idx = sphere(segments)
    uv = [c * (4 if k % 2 == 0 else 2) for k, c in enumerate(uv1)]
    col = []
    for k in range(0, len(pos), 3):
        p = 2 * math.pi * uv1[2 * (k // 3)]
        col.extend((0.6 + 0.4 * math.cos(p), 0.8, 0.6 + 0.4 * math.sin(p), 1.0))
    return pos, nrm, uv, uv1, col, idx


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("out")
    ap.add_argument("--segments", type=int, default=64)
    ap.add_argument("--texture-size", type=int, default=4096)
    args = ap.parse_args()
    size = args.texture_size
    if size < 64 or size & (size - 1):
        ap.error("--texture-size must be a power of two of at least 64")

    blob = Blob()
    floats, indices = blob.floats, blob.indices

    def quad(material, w, h, uvs=(0, 1, 1, 1, 1, 0, 0, 0)):
        pos = [-w, -h, 0, w, -h, 0, w, h, 0, -w, h, 0]
        attrs = {"POSITION": floats(pos, 3, True), "NORMAL": floats([0, 0, 1] * 4, 3), "TEXCOORD_0": floats(list(uvs), 2)}
        return {"primitives": [{"attributes": attrs, "indices": indices([0, 1, 2, 0, 2, 3]), "material": material}]}

    images = [{"bufferView": blob.view(png_tiled(size, tile(64, f))), "mimeType": "image/png"}
              for f in (checker, bumps, metal_rough, glow, fence)]
    spos, snrm, suv, suv1, scol, sidx = sphere_attributes(args.segments)
    sphere_mesh = {"primitives": [{"attributes": {
        "POSITION": floats(spos, 3, True), "NORMAL": floats(snrm, 3), "TEXCOORD_0": floats(suv, 2),
        "TEXCOORD_1": floats(suv1, 2), "COLOR_0": floats(scol, 4)}, "indices": indices(sidx), "material": 0}]}
    meshes = [sphere_mesh, quad(1, 1, 1), quad(2, 1, 0.6), quad(3, 0.8, 0.8), quad(4, 0.4, 0.4), quad(5, 0.5, 0.5),
              quad(6, 0.6, 0.3)]
    rot = lambda axis, a: [math.sin(a / 2) * c for c in axis] + [math.cos(a / 2)]
    doc = {
        "asset": {"version": "2.0", "generator": "Lumenar make_feature_model.py"},
        "extensionsUsed": ["KHR_materials_emissive_strength", "KHR_texture_transform", "KHR_materials_specular",
                           "KHR_materials_ior", "KHR_materials_transmission", "KHR_lights_punctual"],
        "extensions": {"KHR_lights_punctual": {"lights": [
            # 683 lm/W: 4 W/sr on the axis, and 0.8 W/m^2 of warm sunlight.
            {"name": "spot", "type": "spot", "color": [1.0, 0.85, 0.6], "intensity": 4 * 683,
             "spot": {"innerConeAngle": 0.25, "outerConeAngle": 0.45}},
            {"name": "sun", "type": "directional", "color": [1.0, 0.95, 0.85], "intensity": 0.8 * 683}]}},
        "scene": 0,
        "scenes": [{"nodes": list(range(10))}],
        "nodes": [
            {"name": "ball", "mesh": 0, "translation": [0, 1, 0]},
            {"name": "floor", "mesh": 1, "scale": [6, 6, 1], "rotation": rot((1, 0, 0), -math.pi / 2)},
            {"name": "fence", "mesh": 2, "translation": [-1.8, 0.6, -0.5], "rotation": rot((0, 1, 0), 0.5)},
            {"name": "veil", "mesh": 3, "translation": [1.6, 0.8, 0.8], "rotation": rot((0, 1, 0), -0.6)},
            {"name": "satin", "mesh": 4, "translation": [1.2, 0.4, -1.5]},
            {"name": "glass", "mesh": 5, "translation": [-0.8, 0.5, 1.4], "rotation": rot((0, 1, 0), 0.3)},
            {"name": "lamp", "mesh": 6, "translation": [0.5, 3.5, 0.5], "rotation": rot((1, 0, 0), math.pi / 2)},
            {"name": "camera", "camera": 0, "translation": [0, 1.6, 5], "rotation": rot((1, 0, 0), -0.12)},
            # Over the ball, shining down (a spot shines down its node's -z).
            {"name": "spot", "translation": [0, 4, 0], "rotation": rot((1, 0, 0), -math.pi / 2),
             "extensions": {"KHR_lights_punctual": {"light": 0}}},
            {"name": "sun", "rotation": rot((1, 0, 0), -0.5),
             "extensions": {"KHR_lights_punctual": {"light": 1}}},
        ],
        "meshes": meshes,
        "materials": [
            {"name": "ball", "pbrMetallicRoughness": {
                "baseColorTexture": {"index": 0}, "metallicRoughnessTexture": {"index": 2},
                "metallicFactor": 1.0, "roughnessFactor": 1.0},
             "normalTexture": {"index": 1, "scale": 0.8},
             "emissiveTexture": {"index": 3, "texCoord": 1}, "emissiveFactor": [0.5, 0.5, 0.5]},
            {"name": "floor", "pbrMetallicRoughness": {
                "baseColorTexture": {"index": 5, "extensions": {"KHR_texture_transform": {
                    "rotation": 0.3, "scale": [8, 8], "offset": [0.1, 0.2]}}},
                "metallicFactor": 0.0, "roughnessFactor": 0.7}},
            {"name": "fence", "pbrMetallicRoughness": {"baseColorTexture": {"index": 4}, "metallicFactor": 0.0},
             "alphaMode": "MASK", "alphaCutoff": 0.5, "doubleSided": True},
            {"name": "veil", "pbrMetallicRoughness": {"baseColorFactor": [0.2, 0.5, 0.9, 0.4], "metallicFactor": 0.0},
             "alphaMode": "BLEND"},
            {"name": "satin", "pbrMetallicRoughness": {"baseColorFactor": [0.8, 0.1, 0.1, 1], "metallicFactor": 0.0,
                                                       "roughnessFactor": 0.3},
             "extensions": {"KHR_materials_specular": {"specularFactor": 0.6, "specularColorFactor": [1, 0.8, 0.6]}}},
            {"name": "glass", "pbrMetallicRoughness": {"baseColorFactor": [0.9, 1, 0.95, 1], "metallicFactor": 0.0,
                                                       "roughnessFactor": 0.05},
             "extensions": {"KHR_materials_transmission": {"transmissionFactor": 1.0},
                            "KHR_materials_ior": {"ior": 1.45}}},
            {"name": "lamp", "pbrMetallicRoughness": {"baseColorFactor": [0, 0, 0, 1]},
             "emissiveFactor": [1.0, 0.9, 0.8], "emissiveTexture": {"index": 3},
             "extensions": {"KHR_materials_emissive_strength": {"emissiveStrength": 12.0}}},
        ],
        "textures": [{"source": i, "sampler": 0} for i in range(5)] + [{"source": 0, "sampler": 1}],
        "samplers": [{"wrapS": 10497, "wrapT": 10497},
                     {"magFilter": 9728, "minFilter": 9986, "wrapS": 10497, "wrapT": 10497}],
        "images": images,
        "cameras": [{"type": "perspective", "perspective": {"yfov": 0.8, "aspectRatio": 1.5, "znear": 0.1}}],
    }
    blob.write_glb(args.out, doc)


if __name__ == "__main__":
    main()
