#!/usr/bin/env python3
"""Writes an OBJ of N overlapping coplanar triangles (decals on the default
scene's back wall), for timing start-up on degenerate input:

    bench/decals.py 20000 decals.obj
    lumenar-obj2mesh --header scenes/default/scene.head -o dec/input \\
        --name walls --material 3 scenes/default/walls.obj \\
        --name light --material 4 scenes/default/light.obj \\
        --name decals --material 1 decals.obj
    /usr/bin/time -v lumenar-render --frames 1 dec
"""
import random
import sys

n, out = int(sys.argv[1]), sys.argv[2]
r = random.Random(7)
with open(out, "w") as f:
    f.write("# overlapping coplanar decals on the back wall\n")
    for i in range(n):
        cx, cy, s = r.uniform(-0.6, 0.6), r.uniform(0.3, 1.7), r.uniform(0.05, 0.5)
        for k in range(3):
            f.write("v %.6f %.6f -0.999\n" % (cx + r.uniform(-s, s), cy + r.uniform(-s, s)))
    for i in range(n):
        f.write("f %d %d %d\n" % (3 * i + 1, 3 * i + 2, 3 * i + 3))
