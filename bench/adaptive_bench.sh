#!/bin/sh
# Adaptive sampling against uniform sampling, every target side by side in
# one run:
#
#   bench/adaptive_bench.sh BUILD_DIR [SECONDS] [THREADS] [REF_FRAMES] [BEFORE_BUILD_DIR]
#
# 1. Equal time (SECONDS, default 10, on THREADS, default 2; measured as
#    SECONDS x THREADS of process CPU time, which the load of a shared
#    machine moves far less than the wall clock): the error of
#    uniform and of adaptive sampling (lumenar-render --adaptive) against a
#    long reference, as lumenar-efficiency-bench measures it (mean over
#    pixels and channels of (image - ref)^2 / (ref^2 + 0.01), less the
#    reference's own noise), on envmap, opening, default and materials;
#    targets: adaptive at most 0.6 times uniform on envmap and opening, not
#    above uniform on default and materials.
# 2. Time to an error of 0.002 on envmap, both ways (the error is measured
#    after every frame and not timed; CPU seconds); target: adaptive 1.5
#    times faster. The reference's own noise must be well below 0.002:
#    it takes UNTIL_REF_FRAMES (environment, default 32768; envmap renders
#    at 96 x 64 here).
# 3. The renderer's own estimate of the error against the measured one, for
#    every run above; target: within 25 %.
# 4. With BEFORE_BUILD_DIR (a build of the code before the change): the
#    samples per second of plain runs (no new option) of both builds,
#    alternating, three times each on default and envmap (lumenar-render
#    --stats, wall clock and process CPU time); target: not slower.
#
# The scenes render at 192 x 128 (envmap) and 128 x 128 (the others) so that
# the references (REF_FRAMES, default 4096, as two halves of independent
# sequences) take minutes rather than hours; they are cached in
# ./efficiency-cache. The machine's load moves the timings: runs alternate,
# and CPU seconds are printed beside wall-clock ones.
set -eu
build=$1
seconds=${2:-10}
threads=${3:-2}
refFrames=${4:-4096}
before=${5:-}
untilRef=${UNTIL_REF_FRAMES:-32768}
root=$(cd "$(dirname "$0")/.." && pwd)
bench=$build/bench/lumenar-efficiency-bench
cache=$(pwd)/efficiency-cache
summary=$(mktemp)
trap 'rm -f "$summary"' EXIT

field() {  # field LINE NAME: the number after "NAME " in LINE
    echo "$1" | sed -n "s/.*[ (]$2 \([0-9.e+-]*\).*/\1/p"
}

run() {  # run NAME SIZE-ARGS SCENE [options]: the bench's report
    name=$1 size=$2 scene=$3
    shift 3
    # shellcheck disable=SC2086
    "$bench" --threads "$threads" --ref-frames "$refFrames" --cache "$cache" $size --name "$name" "$@" \
        "$root/scenes/$scene" 2>/dev/null
}

cpu=$((seconds * threads))
echo "== equal time: $seconds s on $threads threads ($cpu CPU seconds)"
for spec in envmap:192x128:0.6 opening:128x128:0.6 default:128x128:1.0 materials:128x128:1.0; do
    scene=${spec%%:*}
    rest=${spec#*:}
    size=${rest%%:*}
    target=${rest#*:}
    w=${size%x*} h=${size#*x}
    sizeArgs="--width $w --height $h"
    name=$scene-$size
    # The reference first (quietly), so the timed runs find it.
    # shellcheck disable=SC2086
    "$bench" --frames 1 --threads "$threads" --ref-frames "$refFrames" --cache "$cache" $sizeArgs --name "$name" \
        "$root/scenes/$scene" >/dev/null 2>&1 || { echo "$scene: the reference failed"; continue; }
    u=$(run "$name" "$sizeArgs" "$scene" --cpu-seconds "$cpu" | tail -n 1)
    a=$(run "$name" "$sizeArgs" "$scene" --cpu-seconds "$cpu" --adaptive | tail -n 1)
    echo "uniform:  $u"
    echo "adaptive: $a"
    nu=$(field "$u" net) na=$(field "$a" net)
    cu=$(field "$u" "error x cpu seconds") ca=$(field "$a" "error x cpu seconds")
    eu=$(echo "$u" | sed -n 's/.*est \([0-9.e+-]*\) (est \/ net \([0-9.e+-]*\).*/\2/p')
    ea=$(echo "$a" | sed -n 's/.*est \([0-9.e+-]*\) (est \/ net \([0-9.e+-]*\).*/\2/p')
    awk -v s="$scene" -v nu="$nu" -v na="$na" -v cu="$cu" -v ca="$ca" -v t="$target" -v eu="$eu" -v ea="$ea" 'BEGIN {
        r = na / nu
        printf "%-10s adaptive / uniform error at equal time %.3f (target <= %.1f: %s); error x cpu s %.3f\n",
            s, r, t, r <= t ? "met" : "NOT met", ca / cu
        printf "%-10s estimate / measured: uniform %.2f, adaptive %.2f (target 0.75 ... 1.25: %s)\n", s, eu, ea,
            (eu >= 0.75 && eu <= 1.25 && ea >= 0.75 && ea <= 1.25) ? "met" : "NOT met"
    }' | tee -a "$summary"
done

echo "== time to an error of 0.002 on envmap (96 x 64)"
cap=$((cpu * 60))
"$bench" --frames 1 --threads "$threads" --ref-frames "$untilRef" --cache "$cache" --width 96 --height 64 \
    --name envmap-96x64 "$root/scenes/envmap" >/dev/null 2>&1 || echo "envmap: the reference failed"
refFrames=$untilRef
u=$(run envmap-96x64 "--width 96 --height 64" envmap --cpu-seconds "$cap" --until-error 0.002)
a=$(run envmap-96x64 "--width 96 --height 64" envmap --cpu-seconds "$cap" --until-error 0.002 --adaptive)
echo "uniform:  $u"
echo "adaptive: $a"
tu=$(echo "$u" | sed -n 's/.*reached error [0-9.e+-]* after \([0-9.]*\) s (\([0-9.]*\) cpu s.*/\1 \2/p')
ta=$(echo "$a" | sed -n 's/.*reached error [0-9.e+-]* after \([0-9.]*\) s (\([0-9.]*\) cpu s.*/\1 \2/p')
if [ -n "$tu" ] && [ -n "$ta" ]; then
    echo "$tu $ta" | awk '{ r = $2 / $4; printf "envmap     time to error 0.002: uniform %.1f cpu s, adaptive %.1f cpu s: %.2f times faster (wall clock %.2f; target >= 1.5: %s)\n",
        $2, $4, r, $1 / $3, r >= 1.5 ? "met" : "NOT met" }' | tee -a "$summary"
else
    echo "envmap     time to error 0.002: not reached within $cap CPU seconds by both" | tee -a "$summary"
fi

if [ -n "$before" ]; then
    echo "== samples per second with the new options off (lumenar-render --stats, alternating)"
    for scene in default envmap; do
        for i in 1 2 3; do
            for which in before after; do
                dir=$build
                [ "$which" = before ] && dir=$before
                out=$( { /usr/bin/time -f "cpu %U %S" "$dir/app/lumenar-render" "$root/scenes/$scene" --frames 24 \
                    --threads "$threads" --stats --out /tmp/lumenar-adaptive-bench.png; } 2>&1)
                rate=$(echo "$out" | sed -n 's/.*frames\/s, \([0-9.]*\) Msamples\/s.*/\1/p')
                frames=$(echo "$out" | sed -n 's/^Rendered \([0-9]*\) frames of \([0-9]*\) x \([0-9]*\).*/\1 \2 \3/p')
                cpu=$(echo "$out" | sed -n 's/^cpu \([0-9.]*\) \([0-9.]*\)$/\1 \2/p')
                echo "$scene $which $rate $frames $cpu" | awk '{ printf "%-8s %-6s %s Msamples/s wall, %.3f Msamples/cpu s\n",
                    $1, $2, $3, $4 * $5 * $6 / ($7 + $8) * 1e-6 }'
            done
        done
    done | tee /tmp/lumenar-adaptive-bench-speed.txt
    awk '{ key = $1 " " $2; wall[key] += $3; cpu[key] += $6; n[key]++ }
        END { for (s in n) if (s ~ / after$/) { b = s; sub(/ after$/, " before", b)
            printf "%-8s after / before: wall %.3f, cpu %.3f\n", substr(s, 1, index(s, " ") - 1),
                wall[s] / wall[b], cpu[s] / cpu[b] } }' /tmp/lumenar-adaptive-bench-speed.txt | tee -a "$summary"
fi

echo "== summary"
cat "$summary"
