#!/usr/bin/env bash
# Configures and builds the cuda device backend (the real CUDA runtime and cuBLAS, kernels
# compiled by nvcc) in BUILD_DIR, tests and tools included, so that a kernel that does not
# compile for the device, or a program that does not link against the CUDA libraries, fails
# CI. Needs no GPU. Where nvcc is not installed it says so and succeeds without building.
#
#   scripts/ci-cuda-build.sh BUILD_DIR
#   CUDA_ARCHS="90-real" scripts/ci-cuda-build.sh BUILD_DIR   # fewer architectures, faster
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?usage: scripts/ci-cuda-build.sh BUILD_DIR}

nvcc=${CUDACXX:-$(command -v nvcc || true)}
if [ -z "$nvcc" ] && [ -x /usr/local/cuda/bin/nvcc ]; then nvcc=/usr/local/cuda/bin/nvcc; fi
if [ -z "$nvcc" ]; then
  echo "ci-cuda-build: nvcc not found; the cuda backend is not built"
  exit 0
fi

args=(-S "$root" -B "$build" -DLDPCSW_DEVICE=cuda -DCMAKE_CUDA_COMPILER="$nvcc" -DLDPCSW_BUILD_BENCH=OFF)
if [ -n "${CUDA_ARCHS:-}" ]; then args+=(-DCMAKE_CUDA_ARCHITECTURES="$CUDA_ARCHS"); fi
cmake "${args[@]}"
cmake --build "$build" -j "${JOBS:-2}"
echo "ci-cuda-build: cuda backend built in $build with $("$nvcc" --version | tail -1)"
