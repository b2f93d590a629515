#!/bin/sh
# Side-by-side efficiency of two builds of lumenar-efficiency-bench (say the
# main branch, built separately, and this tree) on the bundled scenes:
#
#   bench/efficiency_bench.sh BEFORE_BENCH AFTER_BENCH [SECONDS] [THREADS] [REF_FRAMES] [SIZE]
#
# SIZE renders SIZE x SIZE copies of the scenes (the references are long).
# SECONDS written as Nf (say 24f) renders N frames instead: both builds then
# draw the same samples and differ in error and in CPU seconds, which load
# from other work on the machine inflates far less than wall-clock seconds.
# Both runs of a scene share one cached reference (rendered by BEFORE, in
# ./efficiency-cache); the two runs alternate scene by scene so that load on
# the machine hits both alike. Prints both lines and the ratio of
# error x seconds (after / before; below 1 is better).
#
# Builds that converge to different images (a change of the material model
# between them) cannot share a reference: with OWN_REFERENCES=1 AFTER
# renders and caches its own (in ./efficiency-cache-after), and each run is
# measured against its own build's converged image.
set -eu
before=$1
after=$2
seconds=${3:-10}
threads=${4:-1}
refFrames=${5:-1024}
size=${6:-}
sizeArgs=""
lengthArgs="--seconds $seconds"
case "$seconds" in *f) lengthArgs="--frames ${seconds%f}" ;; esac
[ -n "$size" ] && sizeArgs="--width $size --height $size"
root=$(cd "$(dirname "$0")/.." && pwd)
cache=$(pwd)/efficiency-cache
afterCache=$cache
[ "${OWN_REFERENCES:-0}" = 1 ] && afterCache=$(pwd)/efficiency-cache-after

run() {
    bin=$1
    dir=$2
    shift 2
    "$bin" $lengthArgs --threads "$threads" --ref-frames "$refFrames" --cache "$dir" $sizeArgs "$@" \
        2>/dev/null |
        tail -n 1
}

for variant in default default:lambertian materials large opening; do
    scene=${variant%%:*}
    extra=""
    [ "$variant" != "$scene" ] && extra="--lambertian --name $scene-lambertian"
    [ -n "$size" ] && extra="$extra --name ${variant%%:*}${extra:+-lambertian}-$size"
    # The references first (quietly), so the timed runs find them.
    "$before" --seconds 0.1 --threads "$threads" --ref-frames "$refFrames" --cache "$cache" $sizeArgs $extra \
        "$root/scenes/$scene" >/dev/null 2>&1 || { echo "$variant: reference failed"; continue; }
    if [ "$afterCache" != "$cache" ]; then
        "$after" --seconds 0.1 --threads "$threads" --ref-frames "$refFrames" --cache "$afterCache" $sizeArgs \
            $extra "$root/scenes/$scene" >/dev/null 2>&1 || { echo "$variant: reference failed"; continue; }
    fi
    b=$(run "$before" "$cache" $extra "$root/scenes/$scene")
    a=$(run "$after" "$afterCache" $extra "$root/scenes/$scene")
    echo "before: $b"
    echo "after:  $a"
    eb=$(echo "$b" | sed -n 's/.*error x seconds \([0-9.e+-]*\).*/\1/p')
    ea=$(echo "$a" | sed -n 's/.*error x seconds \([0-9.e+-]*\).*/\1/p')
    cb=$(echo "$b" | sed -n 's/.*error x cpu seconds \([0-9.e+-]*\).*/\1/p')
    ca=$(echo "$a" | sed -n 's/.*error x cpu seconds \([0-9.e+-]*\).*/\1/p')
    if [ -n "$eb" ] && [ -n "$ea" ]; then
        awk -v a="$ea" -v b="$eb" -v v="$variant" 'BEGIN { printf "%s: error x seconds after / before = %.3f\n", v, a / b }'
    fi
    if [ -n "$cb" ] && [ -n "$ca" ]; then
        awk -v a="$ca" -v b="$cb" -v v="$variant" 'BEGIN { printf "%s: error x cpu seconds after / before = %.3f\n", v, a / b }'
    fi
    echo
done
