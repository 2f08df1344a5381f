#!/usr/bin/env bash
# CI steps of the documentation: the sessions that README.md and the site's pages mark to be
# run are run as a reader would run them, and the site is built with `mkdocs build --strict`,
# so a broken link, a missing anchor or a page left out of the navigation fails.
#
# A fenced block right after a line `<!-- ci: run -->` is run: a ```sh block with bash, a
# ```python block with .venv's python and the built module (BUILD_DIR/python) on its path,
# both in a scratch folder where build/, data/, scripts/ and examples/ are the repository's.
#
#   scripts/ci-docs.sh [BUILD_DIR]      (default build/, made by scripts/test.sh)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
bash "$root/scripts/docs-deps.sh"
py="$root/.venv/bin/python"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

if [ ! -s "$build/python/ldpcsw/_core.pyi" ]; then
  echo "ci-docs: $build/python/ldpcsw/_core.pyi is missing: build with -DLDPCSW_PYTHON=ON first" >&2
  exit 1
fi

# Every marked block of every page, one file each: NAME.sh or NAME.py.
"$py" - "$root" "$work/blocks" <<'PY'
import pathlib, re, sys
root, out = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
out.mkdir()
pages = [root / "README.md"] + sorted((root / "docs").glob("**/*.md"))
count = 0
for page in pages:
    lines = page.read_text(encoding="utf-8").splitlines()
    for i, line in enumerate(lines):
        if line.strip() != "<!-- ci: run -->":
            continue
        fence = lines[i + 1].strip() if i + 1 < len(lines) else ""
        m = re.fullmatch(r"```(sh|python)", fence)
        if not m:
            sys.exit(f"ci-docs: {page.relative_to(root)}:{i + 1}: the mark is not followed by a ```sh or ```python block")
        end = next((j for j in range(i + 2, len(lines)) if lines[j].strip() == "```"), None)
        if end is None:
            sys.exit(f"ci-docs: {page.relative_to(root)}:{i + 2}: the block does not end")
        count += 1
        suffix = "sh" if m.group(1) == "sh" else "py"
        name = f"{count:02d}-{page.stem}-{i + 2}.{suffix}"
        (out / name).write_text("\n".join(lines[i + 2:end]) + "\n", encoding="utf-8")
if count == 0:
    sys.exit("ci-docs: no block is marked to be run")
print(f"ci-docs: {count} marked blocks")
PY

for block in "$work"/blocks/*; do
  run="$work/run-$(basename "$block")"
  mkdir "$run"
  ln -s "$build" "$run/build"
  for d in data scripts examples; do ln -s "$root/$d" "$run/$d"; done
  echo "ci-docs: running $(basename "$block")"
  case "$block" in
    *.sh) (cd "$run" && bash -euo pipefail "$block") ;;
    *.py) (cd "$run" && PYTHONPATH="$build/python" "$py" "$block") ;;
  esac
done

# The README's links into the site name pages that exist (mkdocs checks the site's own links).
"$py" - "$root" <<'PY'
import pathlib, re, sys
root = pathlib.Path(sys.argv[1])
text = (root / "README.md").read_text(encoding="utf-8")
missing = [t for t in re.findall(r"\]\((docs/[^)#\s]+)", text) if not (root / t).exists()]
if missing:
    sys.exit(f"ci-docs: README.md links to missing files: {', '.join(missing)}")
PY

NO_MKDOCS_2_WARNING=1 "$root/.venv/bin/mkdocs" build --strict --quiet -f "$root/mkdocs.yml" -d "$work/site"

# The API page documents every public name of the module and every public member of its classes.
PYTHONPATH="$build/python" "$py" - "$work/site/python-api/index.html" <<'PY'
import inspect, sys
import ldpcsw
page = open(sys.argv[1], encoding="utf-8").read()
missing = []
for name in ldpcsw.__all__:
    if f'id="ldpcsw.{name}"' not in page:
        missing.append(name)
    obj = getattr(ldpcsw, name)
    if inspect.isclass(obj) and obj.__module__.startswith("ldpcsw"):
        for member in vars(obj):
            if not member.startswith("_") and f'id="ldpcsw.{name}.{member}"' not in page:
                missing.append(f"{name}.{member}")
if missing:
    sys.exit(f"ci-docs: the Python API page lacks {', '.join(missing)}")
print(f"ci-docs: the Python API page documents all {len(ldpcsw.__all__)} public names")
PY
echo "ci-docs: the marked sessions ran and the site built (mkdocs build --strict)"
