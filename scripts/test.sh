#!/usr/bin/env bash
# Builds everything (Release), the Python module included, and runs the whole test suite with
# CTest (the module's pytest suite is the test named python). Installs missing Debian packages
# and the Python environment .venv first.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/deps.sh"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release \
  -DLDPCSW_PYTHON=ON -DPython_EXECUTABLE="$root/.venv/bin/python" >/dev/null
cmake --build "$root/build" -j"$(nproc)"
cd "$root/build"
ctest --output-on-failure -j"$(nproc)"
