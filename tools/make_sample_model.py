#!/usr/bin/env python3
"""Writes a sample glTF 2.0 binary model made entirely here (no third-party
content): a textured sphere on a tiled floor, lit by an emissive panel, seen
by a camera. Used to show and time model opening.

    tools/make_sample_model.py sample.glb [--segments N]

--segments sets the sphere's tessellation (about 4 * N * N triangles); large values
make large models for load-time measurements.
"""
import argparse
import math
import struct
import zlib

from glb_blob import Blob


def png(width, height, pixel):
    """PNG bytes of an RGBA image; pixel(x, y) gives 4 bytes, y from the top."""
    rows = bytearray()
    for y in range(height):
        rows.append(0)
        for x in range(width):
            rows.extend(pixel(x, y))

    def chunk(kind, data):
        c = kind + data
        return struct.pack(">I", len(data)) + c + struct.pack(">I", zlib.crc32(c) & 0xFFFFFFFF)

    head = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", head) + chunk(b"IDAT", zlib.compress(bytes(rows), 9)) + chunk(b"IEND", b"")


def checker(x, y):
    cell = ((x // 32) + (y // 32)) % 2
    r = 40 + (x * 200) // 256
    b = 40 + (y * 200) // 256
    return bytes((r, 220 if cell else 60, b, 255))


def metal_rough(x, y):
    # Left half rough dielectric, right half smooth metal (blue = metalness,
    # green = roughness).
    metal = x >= 128
    return bytes((0, 40 if metal else 230, 255 if metal else 0, 255))


def sphere(segments):
    pos, nrm, uv, idx = [], [], [], []
    rings, sectors = segments, 2 * segments
    for i in range(rings + 1):
        t = math.pi * i / rings
        for j in range(sectors + 1):
            p = 2 * math.pi * j / sectors
            n = (math.sin(t) * math.cos(p), math.cos(t), -math.sin(t) * math.sin(p))
            pos.extend(n)
            nrm.extend(n)
            uv.extend((j / sectors, i / rings))
    for i in range(rings):
        for j in range(sectors):
            a = i * (sectors + 1) + j
            b = a + sectors + 1
            if i > 0:
                idx.extend((a, b, a + 1))
            if i < rings - 1:
                idx.extend((a + 1, b, b + 1))
    return pos, nrm, uv, idx


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("out")
    ap.add_argument("--segments", type=int, default=48)
    args = ap.parse_args()

    blob = Blob()

    def mesh(pos, nrm, uv, idx, material):
        attrs = {"POSITION": blob.floats(pos, 3, True), "TEXCOORD_0": blob.floats(uv, 2)}
        if nrm:
            attrs["NORMAL"] = blob.floats(nrm, 3)
        return {"primitives": [{"attributes": attrs, "indices": blob.indices(idx), "material": material}]}

    images = [{"bufferView": blob.view(png(256, 256, checker)), "mimeType": "image/png"},
              {"bufferView": blob.view(png(256, 256, metal_rough)), "mimeType": "image/png"}]
    quad_pos = [-1, 0, 1, 1, 0, 1, 1, 0, -1, -1, 0, -1]
    quad_idx = [0, 1, 2, 0, 2, 3]
    meshes = [
        mesh(*sphere(args.segments), 0),
        mesh(quad_pos, [], [0, 4, 4, 4, 4, 0, 0, 0], quad_idx, 1),
        mesh(quad_pos, [], [0, 1, 1, 1, 1, 0, 0, 0], quad_idx, 2),
    ]
    doc = {
        "asset": {"version": "2.0", "generator": "Lumenar make_sample_model.py"},
        "extensionsUsed": ["KHR_materials_emissive_strength"],
        "scene": 0,
        "scenes": [{"nodes": [0, 1, 2, 3]}],
        "nodes": [
            {"name": "ball", "mesh": 0, "translation": [0, 1, 0]},
            {"name": "floor", "mesh": 1, "scale": [4, 1, 4]},
            # The panel faces down (a half turn about x).
            {"name": "lamp", "mesh": 2, "translation": [0.5, 3.5, 0.5], "rotation": [1, 0, 0, 0]},
            {"name": "camera", "camera": 0, "translation": [0, 1.6, 4.2],
             "rotation": [-math.sin(0.06), 0, 0, math.cos(0.06)]},
        ],
        "meshes": meshes,
        "materials": [
            {"name": "ball", "pbrMetallicRoughness": {
                "baseColorTexture": {"index": 0}, "metallicRoughnessTexture": {"index": 1},
                "metallicFactor": 1.0, "roughnessFactor": 1.0}},
            {"name": "floor", "pbrMetallicRoughness": {
                "baseColorTexture": {"index": 0}, "metallicFactor": 0.0, "roughnessFactor": 0.8}},
            {"name": "lamp", "pbrMetallicRoughness": {"baseColorFactor": [0, 0, 0, 1]},
             "emissiveFactor": [1.0, 0.9, 0.8],
             "extensions": {"KHR_materials_emissive_strength": {"emissiveStrength": 6.0}}},
        ],
        "textures": [{"source": 0, "sampler": 0}, {"source": 1, "sampler": 0}],
        "samplers": [{"magFilter": 9729, "minFilter": 9729, "wrapS": 10497, "wrapT": 10497}],
        "images": images,
        "cameras": [{"type": "perspective", "perspective": {"yfov": 0.8, "aspectRatio": 1.5, "znear": 0.1}}],
    }
    blob.write_glb(args.out, doc)


if __name__ == "__main__":
    main()
