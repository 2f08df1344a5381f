#!/usr/bin/env bash
# CI steps of the Python module beyond its pytest suite (which scripts/test.sh runs):
# `pip install .` from the repository into the project's .venv, then, from outside the source
# tree so that only the installed package can be imported, the typing stubs are checked to be
# there and the example is run as a new user would run it.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/python-deps.sh"
py="$root/.venv/bin/python"
# The build tools are already in .venv; build-python/ keeps the build for the next install.
"$py" -m pip install --quiet --disable-pip-version-check --no-build-isolation "$root"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
"$py" - <<'PY'
import pathlib
import ldpcsw
package = pathlib.Path(ldpcsw.__file__).parent
assert (package / "_core.pyi").exists(), "typing stubs missing"
assert "site-packages" in str(package), package
print("ci-python: installed", package)
PY
"$py" "$root/examples/sweep_plot.py" "$work/sweep.png" 4000
test -s "$work/sweep.png"
echo "ci-python: the example ran and wrote its plot"
