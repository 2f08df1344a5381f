#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need, when any is missing.
# Safe to run again: it does nothing when everything is there.
set -euo pipefail

packages=(
  cmake g++ make                 # the build
  libgtest-dev                   # the test suite
  libbenchmark-dev               # bench/
  libboost-context-dev           # fibers of the SIMT emulation layer (gpu/host)
  libcli11-dev                   # ldpcsw-sweep's options
  libm4ri-dev pkg-config         # GF(2) rank of a matrix (code/rank.cpp)
  libhwy-dev                     # SIMD of the min-sum batch decoder (Google Highway)
  libopenmpi-dev openmpi-bin     # ldpcsw-sweep across processes and machines
  python3-matplotlib             # scripts/plot_sweep.py
  python3-venv python3-dev       # the Python module's environment and build (python-deps.sh)
  clang libclang-rt-14-dev       # libFuzzer targets of fuzz/ (scripts/ci-robustness.sh)
  valgrind                       # memcheck runs (scripts/ci-robustness.sh)
  time                           # peak memory of the scale check (/usr/bin/time -v)
)

install_missing() {
  echo "installing: ${missing[*]}" >&2
  local sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}

missing=()
for p in "${packages[@]}"; do
  status="$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)"
  [ "$status" = "install ok installed" ] || missing+=("$p")
done
if [ ${#missing[@]} -ne 0 ]; then
  install_missing
fi
# The Python module's environment (.venv), from the Python package registry.
bash "$(dirname "$0")/python-deps.sh"

