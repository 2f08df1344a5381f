#!/usr/bin/env bash
# Builds the project (Release) and runs the fixed experiment in data/, where the shipped
# matrix Reg504252.dat lies. Installs missing Debian packages first.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/deps.sh"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build" -j"$(nproc)" --target ldpcsw
cd "$root/data"
exec "$root/build/bin/ldpcsw"
