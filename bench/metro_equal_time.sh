#!/bin/bash
# Equal-time comparison of the path tracer and Metropolis on a scene (default
# scenes/opening): renders each mode for 10 s and 40 s on 2 threads and prints
# the frames each got and its error against a reference (lumenar-image-error:
# mean of (image - reference)^2 / (reference^2 + 0.01)). Without a reference
# argument it first renders one of 6,000 path-traced frames.
#
#   bench/metro_equal_time.sh BUILD_DIR [REFERENCE.exr] [SCENE]
#
# MLT_ARGS adds options to the Metropolis runs (MLT_ARGS=--mlt-capped-start).
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")/.." && pwd)
scene=${3:-$here/scenes/opening}
out=$(mktemp -d)
ref=${2:-$out/reference.exr}
if [ ! -f "$ref" ]; then
    # Another sample sequence (--seed): the path-traced runs must not share
    # their first frames with the reference.
    "$build/app/lumenar-render" "$scene" --frames 6000 --threads 2 --seed 7 --hdr "$ref" --out "$out/reference.png" \
        > /dev/null
fi
for secs in 10 40; do
    for mode in pt mlt; do
        extra=()
        [ "$mode" = mlt ] && read -r -a extra <<< "${MLT_ARGS:-}"
        "$build/app/lumenar-render" "$scene" --threads 2 --seconds "$secs" --mode "$mode" "${extra[@]}" \
            --hdr "$out/$mode-$secs.exr" --out "$out/$mode-$secs.png" > "$out/$mode-$secs.log" 2>&1
        frames=$(grep -o 'Rendered [0-9]* frames' "$out/$mode-$secs.log" | awk '{print $2 " frames"}')
        error=$("$build/tools/lumenar-image-error" "$ref" "$out/$mode-$secs.exr" | awk '{print $2}')
        echo "$mode ${secs}s: $frames, error $error"
    done
done
echo "images in $out"
