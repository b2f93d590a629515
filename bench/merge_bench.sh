#!/usr/bin/env bash
# Time of lumenar-merge per input image at 256x256 and 1920x1080.
#
# Usage: bench/merge_bench.sh BUILD_DIR [INPUTS]   (INPUTS: default 8)
#
# Renders INPUTS one-frame ranges of a small scene (a lamp over a floor) at
# each resolution with lumenar-render, then merges 1 and INPUTS of them,
# best of three runs each. The cost per input is the difference divided by
# INPUTS - 1, so the program's start-up and the writing of the merged image
# drop out; the whole merge time is printed as well.
set -euo pipefail
build=${1:?usage: merge_bench.sh BUILD_DIR [INPUTS]}
inputs=${2:-8}
render=$build/app/lumenar-render
merge=$build/app/lumenar-merge
[ -x "$render" ] && [ -x "$merge" ] || { echo "no lumenar-render / lumenar-merge in $build/app" >&2; exit 1; }
[ "$inputs" -ge 2 ] || { echo "INPUTS must be at least 2" >&2; exit 1; }
work=$(mktemp -d /tmp/lumenar-merge-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

scene() {  # scene WIDTH HEIGHT
    cat <<SCENE
merge benchmark
camera
resolution $1 $2
eye 0 2 3
lookat 0 0 0
up 0 1 0
near 2
bgcolor
0.1 0.12 0.15
material
2

mtl 0 floor
basecolor 0.7 0.7 0.7
specular 0.04 0.04 0.04
emission 0 0 0
transmission 1 1 1
metalness 0
anisotropic False
roughness 0.9
roughnessY 0.9
transparency 0
IOR 1.5
tex 0
rsc 0
absorption 0 0 0
mtl 1 lamp
basecolor 0 0 0
specular 0.04 0.04 0.04
emission 8 8 8
transmission 1 1 1
metalness 0
anisotropic False
roughness 1
roughnessY 1
transparency 0
IOR 1
tex 0
rsc 0
absorption 0 0 0
mesh
2

o 0 floor
v -20 0 -20
v 20 0 -20
v 20 0 20
v -20 0 20
usemtl 0 floor
s off
f 1 3 2
f 1 4 3
o 1 lamp
v -0.5 2 -0.5
v 0.5 2 -0.5
v 0.5 2 0.5
v -0.5 2 0.5
usemtl 1 lamp
s off
f 5 6 7
f 5 7 8
SCENE
}

now() { date +%s.%N; }
best_of_three() {  # prints the shortest wall time of three runs of "$@"
    local best="" t0 t1 t
    for _ in 1 2 3; do
        t0=$(now)
        "$@" >/dev/null
        t1=$(now)
        t=$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')
        if [ -z "$best" ] || awk -v t="$t" -v b="$best" 'BEGIN { exit !(t < b) }'; then best=$t; fi
    done
    echo "$best"
}

echo "lumenar-merge, $inputs inputs, $(nproc) CPUs ($(uname -m))"
for size in "256 256" "1920 1080"; do
    set -- $size
    dir=$work/${1}x$2
    mkdir -p "$dir"
    scene "$1" "$2" >"$dir/input"
    files=()
    for ((k = 0; k < inputs; ++k)); do
        "$render" "$dir" --frames 1 --first-frame $k --out "$dir/r$k.png" --hdr "$dir/r$k.exr" >/dev/null
        files+=("$dir/r$k.exr")
    done
    one=$(best_of_three "$merge" "$dir/m1.exr" "${files[0]}")
    all=$(best_of_three "$merge" "$dir/mn.exr" "${files[@]}")
    per=$(awk -v a="$all" -v o="$one" -v n="$inputs" 'BEGIN { print (a - o) / (n - 1) }')
    printf '%4dx%-4d  1 input %.3f s, %d inputs %.3f s: %.4f s per further input (%.1f MB each)\n' \
        "$1" "$2" "$one" "$inputs" "$all" "$per" "$(awk -v s="$(stat -c %s "${files[0]}")" 'BEGIN { print s / 1e6 }')"
done
