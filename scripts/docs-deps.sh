#!/usr/bin/env bash
# Installs into the project's .venv (made by python-deps.sh) what the documentation site needs,
# from the Python package registry: MkDocs (1.x, whose configuration mkdocs.yml uses) and
# mkdocstrings with its Python handler, which writes the Python API page from the module's
# docstrings and stubs.
# Safe to run again: it does nothing when everything is there. LDPCSW_VENV names another folder.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
venv="${LDPCSW_VENV:-$root/.venv}"
packages=("mkdocs>=1.6,<2" "mkdocstrings>=1,<2" "mkdocstrings-python>=2,<3")
modules="mkdocs mkdocstrings mkdocstrings_handlers.python"

bash "$root/scripts/python-deps.sh"
if "$venv/bin/python" -c "import importlib.util, sys; sys.exit(any(importlib.util.find_spec(m) is None for m in '$modules'.split()))"; then
  exit 0
fi
echo "docs: installing ${packages[*]} into $venv" >&2
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check "${packages[@]}" >&2
