#!/usr/bin/env bash
# Renders one scene with the CPU backend and with the CUDA backend (same frame
# seeds, same frame count) and compares the linear averages: the per-channel
# means must agree within 1 %, and oiiotool reports the per-pixel differences.
# Needs a machine with an NVIDIA GPU and nvcc in /usr/local/cuda.
#
# Usage: tools/compare-backends.sh [scene] [frames]    (default: scenes/default 64)
# Images and logs go to $OUT (default: compare-backends/).
set -euo pipefail
cd "$(dirname "$0")/.."
scene=${1:-scenes/default}
frames=${2:-64}
out=${OUT:-compare-backends}
mkdir -p "$out"
jobs=$(nproc)

cmake -G Ninja -S . -B build -DLUMENAR_TESTS=OFF >/dev/null
ninja -C build -j"$jobs" lumenar-render lumenar_scenes
cmake -G Ninja -S . -B build-cuda -DLUMENAR_CUDA=ON >/dev/null
ninja -C build-cuda -j"$jobs" lumenar-render
nvidia-smi --query-gpu=name --format=csv,noheader | tee "$out/gpu.txt"

build/app/lumenar-render "$scene" --frames "$frames" --out "$out/cpu.png" --hdr "$out/cpu.exr" --stats |
  tee "$out/cpu.log"
build-cuda/app/lumenar-render "$scene" --frames "$frames" --out "$out/gpu.png" --hdr "$out/gpu.exr" --stats |
  tee "$out/gpu.log"

mean() { oiiotool "$1" --printstats | awk '/Stats Avg/ { print $3, $4, $5 }'; }
read -r cr cg cb < <(mean "$out/cpu.exr")
read -r gr gg gb < <(mean "$out/gpu.exr")
echo "CPU mean: $cr $cg $cb"
echo "GPU mean: $gr $gg $gb"
oiiotool "$out/cpu.exr" "$out/gpu.exr" --diff --fail 1e9 --warn 1e9 | tee "$out/diff.txt" || true
awk -v a="$cr $cg $cb" -v b="$gr $gg $gb" 'BEGIN {
  split(a, x, " "); split(b, y, " "); bad = 0
  for (i = 1; i <= 3; ++i) {
    d = (x[i] > 0) ? (y[i] - x[i]) / x[i] : y[i] - x[i]
    printf "channel %d: relative mean difference %.4f\n", i, d
    if (d > 0.01 || d < -0.01) bad = 1
  }
  exit bad }'
