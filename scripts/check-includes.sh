#!/usr/bin/env bash
# The rooms of the source tree and the order they stand in: a room may include its own headers
# and those of the rooms below it, never a room beside or above it, so the include graph
# between rooms has no loop. Rooms on the same level are independent of each other.
#
#   0  platform fixed streams   the ground: the C runtime's stand-ins, integer rules, block streams
#   1  code                     matrices, readers and writers, construction, blocks, syndromes
#   2  minsum                   the fast decoders on the CPU
#   3  gpu                      kernels and the device stages (window search, min-sum)
#   4  decode                   the exact decoders (whose estimation step calls the window search)
#   5  sim sweep                the fixed experiment; the sweep engine
#   6  python tools             the Python module; the programs
#
# Usage: scripts/check-includes.sh [ROOT]      (default: the repository)
#        scripts/check-includes.sh --self-test (a tree with an upward include must be refused)
# Prints every include that breaks the order (file:line, the two rooms) and exits 1 when there
# is one; prints the edges between rooms and exits 0 otherwise.
set -euo pipefail

declare -A level=(
  [platform]=0 [fixed]=0 [streams]=0
  [code]=1
  [minsum]=2
  [gpu]=3
  [decode]=4
  [sim]=5 [sweep]=5
  [python]=6 [tools]=6
)

check() {
  local root="$1" bad=0 edges="" file line target from to
  for from in "${!level[@]}"; do
    [ -d "$root/$from" ] || continue
    while IFS=: read -r file line target; do
      to="${target%%/*}"
      [ -n "${level[$to]+x}" ] || continue  # not a room (a library's own header)
      [ "$to" = "$from" ] && continue
      if [ "${level[$to]}" -ge "${level[$from]}" ]; then
        echo "check-includes: ${file#"$root"/}:$line: $from (level ${level[$from]}) includes $target of $to (level ${level[$to]}), a room not below it"
        bad=1
      fi
      edges+="$from -> $to"$'\n'
    done < <(grep -rnE --include='*.h' --include='*.hpp' --include='*.cpp' --include='*.cc' \
               --include='*.cu' --include='*.cuh' '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"/]+/' \
               "$root/$from" 2>/dev/null |
             sed -E 's/^([^:]+):([0-9]+):[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]+)".*/\1:\2:\3/')
  done
  if [ "$bad" -ne 0 ]; then
    echo "check-includes: a room includes a room beside or above it (the order is at the top of scripts/check-includes.sh)"
    return 1
  fi
  printf '%s' "$edges" | sort -u | tr '\n' ' ' | sed 's/ $//; s/^/rooms: /; s/$/\n/'
  echo "check-includes: every include points down"
}

if [ "${1:-}" = "--self-test" ]; then
  work="$(mktemp -d)"
  trap 'rm -rf "$work"' EXIT
  mkdir -p "$work/gpu" "$work/sweep" "$work/decode"
  printf '#include "gpu/gpu_minsum.h"\n' >"$work/sweep/engine.cpp"
  printf '#include "gpu/gpu_window_search.h"\n#include <vector>\n' >"$work/decode/adaptive.cpp"
  check "$work" >/dev/null || { echo "check-includes: self-test: a sound tree was refused"; exit 1; }
  printf '  #  include "sweep/input.h"  // upward\n' >"$work/gpu/minsum_check.cpp"
  if out="$(check "$work")"; then
    echo "check-includes: self-test: gpu including sweep was not refused"
    exit 1
  fi
  grep -q 'gpu/minsum_check.cpp:1: gpu (level 3) includes sweep/input.h' <<<"$out" ||
    { echo "check-includes: self-test: the refusal does not name the include: $out"; exit 1; }
  rm "$work/gpu/minsum_check.cpp"
  printf '#include "sim/driver.h"\n' >"$work/sweep/report.h"
  if check "$work" >/dev/null; then
    echo "check-includes: self-test: sweep including sim (same level) was not refused"
    exit 1
  fi
  echo "check-includes: self-test passed"
  exit 0
fi

check "$(cd "${1:-$(dirname "$0")/..}" && pwd)"
