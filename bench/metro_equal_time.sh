#!/bin/bash
# Equal-time comparison of the path tracer and Metropolis on a scene (default
# scenes/opening): renders each mode for 10 s and 40 s on 2 threads and prints
# the frames each got and its error against a reference (lumenar-image-error:
# mean of (image - reference)^2 / (reference^2 + 0.01)). Without a reference
# argument it first renders one of 6,000 path-traced frames.
#
#   bench/metro_equal_time.sh BUILD_DIR [REFERENCE.exr] [SCENE]
#
# Environment:
#   SCENE_ARGS    options of every run, the reference's too (SCENE_ARGS=--fog)
#   MLT_ARGS      options added to every Metropolis run
#   MLT_VARIANTS  the Metropolis runs to make, "name:options" separated by ';'
#                 (default "mlt:", the default options), e.g.
#                 MLT_VARIANTS='capped:;uncapped:--mlt-uncapped-start'
#   RUNS          independent runs of each mode (sequences --seed 1 ... RUNS;
#                 the reference uses 7); the error printed is their mean
#   SECONDS_LIST  the lengths compared (default "10 40")
#   EQUAL=cpu     on a loaded machine the wall clock says little: each mode
#                 then renders the frames that its CPU seconds per frame
#                 (timed first, start-up excluded) give in that many seconds
#                 on 2 fully busy threads, instead of --seconds
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")/.." && pwd)
scene=${3:-$here/scenes/opening}
out=$(mktemp -d)
ref=${2:-$out/reference.exr}
read -r -a sceneArgs <<< "${SCENE_ARGS:-}"
read -r -a mltArgs <<< "${MLT_ARGS:-}"
runs=${RUNS:-1}
render() { "$build/app/lumenar-render" "$scene" --threads 2 "${sceneArgs[@]}" "$@"; }
if [ ! -f "$ref" ]; then
    # Another sample sequence (--seed): the path-traced runs must not share
    # their first frames with the reference.
    render --frames 6000 --seed 7 --hdr "$ref" --out "$out/reference.png" > /dev/null
fi

# CPU seconds per frame of a mode: two runs that differ by 32 frames.
cpuSeconds() {
    /usr/bin/time -f "%U %S" -o "$out/time" "$@" > /dev/null 2>&1
    awk '{ print $1 + $2 }' "$out/time"
}
perFrame() {
    local a b
    local run=("$build/app/lumenar-render" "$scene" --threads 2 "${sceneArgs[@]}" --out "$out/calibrate.png")
    a=$(cpuSeconds "${run[@]}" --frames 8 "$@")
    b=$(cpuSeconds "${run[@]}" --frames 40 "$@")
    awk -v a="$a" -v b="$b" 'BEGIN { print (b - a) / 32 }'
}

IFS=';' read -r -a variants <<< "${MLT_VARIANTS:-mlt:}"
modes=("pt:")
for v in "${variants[@]}"; do modes+=("$v"); done
declare -A cost
if [ "${EQUAL:-}" = cpu ]; then
    # The Metropolis variants differ in their start and their splats, not in
    # the work of a frame: they share the cost of the default options.
    cost[pt]=$(perFrame --mode pt)
    mltCost=$(perFrame --mode mlt "${mltArgs[@]}")
    for m in "${variants[@]}"; do cost[${m%%:*}]=$mltCost; done
    echo "CPU seconds per frame: path tracer ${cost[pt]}, Metropolis $mltCost"
fi

for secs in ${SECONDS_LIST:-10 40}; do
    for m in "${modes[@]}"; do
        name=${m%%:*}
        read -r -a opts <<< "${m#*:}"
        mode=(--mode mlt "${mltArgs[@]}" "${opts[@]}")
        [ "$name" = pt ] && mode=(--mode pt)
        length=(--seconds "$secs")
        [ "${EQUAL:-}" = cpu ] &&
            length=(--frames "$(awk -v s="$secs" -v c="${cost[$name]}" 'BEGIN { f = int(2 * s / c + 0.5); print f < 1 ? 1 : f }')")
        errors=()
        frames=""
        for run in $(seq 1 "$runs"); do
            base="$out/$name-$secs-$run"
            render "${length[@]}" --seed "$run" "${mode[@]}" --hdr "$base.exr" --out "$base.png" > "$base.log" 2>&1
            frames=$(grep -o 'Rendered [0-9]* frames' "$base.log" | awk '{print $2}')
            errors+=("$("$build/tools/lumenar-image-error" "$ref" "$base.exr" | awk '{print $2}')")
        done
        echo "$name ${secs}s: $frames frames, error $(printf '%s\n' "${errors[@]}" |
            awk '{ s += $1 } END { printf "%.4g", s / NR }') (runs: ${errors[*]})"
    done
done
echo "images in $out"
