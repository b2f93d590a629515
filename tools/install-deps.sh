#!/usr/bin/env bash
# Installs the Debian packages Lumenar needs to build, test and run.
# Usage: tools/install-deps.sh [--cuda-check]  (run as root)
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libtbb-dev libthrust-dev libcli11-dev
  libgtest-dev libgmock-dev
  # texture images, the OBJ converter, the default scene's bunny
  libopenimageio-dev libtinyobjloader-dev glmark2-data
  # the window program: Qt 5 widgets, OpenGL, GLEW, freeglut
  qtbase5-dev libglew-dev freeglut3-dev libglu1-mesa-dev libgl1-mesa-dri libglx-mesa0 fonts-dejavu-core
  # the window's end-to-end tests: a virtual X server and input, screen grabs
  xvfb xauth xdotool imagemagick libx11-dev
  # the scene-parser fuzz target (fuzz/README.md)
  clang-14 libclang-rt-14-dev
  # the render-farm test: a one-node Slurm cluster (tests/farm/slurm_e2e.sh)
  slurm-wlm slurmctld slurmd slurm-client munge
  # model files opened as scenes (glTF, OBJ/MTL, PLY, FBX, COLLADA) and lumenar-import
  libassimp-dev nlohmann-json3-dev
)
# Benchmarks only (-DLUMENAR_BENCH=ON, bench/README.md), not installed here:
#   apt-get install libembree-dev libbenchmark-dev glmark2-data

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
