#!/usr/bin/env bash
# Makes the project's Python environment .venv (from Debian's python3, python3-venv and
# python3-dev, which deps.sh installs) and installs into it from the Python package registry
# what the module's build, tests and example need. Safe to run again: it does nothing when
# everything is there. LDPCSW_VENV names another folder.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
venv="${LDPCSW_VENV:-$root/.venv}"
packages=(nanobind scikit-build-core numpy scipy pytest pandas matplotlib)
modules="nanobind scikit_build_core numpy scipy pytest pandas matplotlib"

if [ ! -x "$venv/bin/python" ]; then
  /usr/bin/python3 -m venv "$venv"
fi
if "$venv/bin/python" -c "import importlib.util, sys; sys.exit(any(importlib.util.find_spec(m) is None for m in '$modules'.split()))"; then
  exit 0
fi
echo "python: installing ${packages[*]} into $venv" >&2
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check "${packages[@]}" >&2
