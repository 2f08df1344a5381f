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

# The kernels' results depend on every multiply and add being rounded on its own: the PTX
# of the device module must hold no fused multiply-add.
ptx=$(find "$build" -name 'window_search.ptx' -print -quit)
if [ -z "$ptx" ]; then
  echo "ci-cuda-build: the device module's PTX was not generated" >&2
  exit 1
fi
if grep -n 'fma\.' "$ptx" >&2; then
  echo "ci-cuda-build: $ptx holds fused multiply-adds: the device build is not exact" >&2
  exit 1
fi
# The device kernels' resources (registers, shared memory, stack, spills), which bound their
# occupancy, as ptxas reports them for each real architecture built (sm_90 when the list names
# none). The min-sum kernel is meant to stay free of spills.
archs=$(echo "${CUDA_ARCHS:-90-real}" | tr ';, ' '\n\n\n' | sed -n 's/^\([0-9][0-9]*\).*/\1/p' | sort -u)
for arch in ${archs:-90}; do
  for src in gpu/minsum_stage.cu gpu/window_search.cu; do
    echo "ci-cuda-build: resource usage of $src on sm_$arch:"
    "$nvcc" -std=c++20 --expt-relaxed-constexpr -fmad=false -prec-div=true -prec-sqrt=true \
      -ftz=false -I "$root" -arch="sm_$arch" --resource-usage -c "$root/$src" -o /dev/null 2>&1 |
      grep -E 'Compiling entry|Used [0-9]+ registers|spill' | sed 's/^/  /'
  done
done
echo "ci-cuda-build: cuda backend built in $build with $("$nvcc" --version | tail -1)"
