#!/usr/bin/env bash
# CI steps of ldpcsw-sweep beyond the unit tests: the same short sweep of the shipped matrix with
# 1 thread, 2 threads and 2 MPI processes must give identical counts, and the plot script must
# turn the CSV into a picture. Usage: scripts/ci-sweep.sh [BUILD_DIR]   (default: build)
# Builds the ldpcsw-sweep target in BUILD_DIR when it is missing.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
sweep="$build/bin/ldpcsw-sweep"
if [ ! -x "$sweep" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j"$(nproc)" --target ldpcsw-sweep
fi
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

args=(--matrix "$root/data/Reg504252.dat" --p 0.05:0.07:0.01 --blocks 400
      --max-frame-errors 30 --seed 7 --quiet)
# p, blocks, frame errors, bit errors, average iterations and squared bit errors of every row.
counts() { cut -d, -f1,3,4,5,12,15 "$1"; }

"$sweep" "${args[@]}" --threads 1 --csv "$work/t1.csv" >/dev/null
"$sweep" "${args[@]}" --threads 2 --csv "$work/t2.csv" >/dev/null
diff <(counts "$work/t1.csv") <(counts "$work/t2.csv")
echo "ci-sweep: 1 and 2 threads give the same counts"

# ldd's whole output is read before it is searched: under pipefail, `ldd | grep -q` fails whenever
# grep stops reading first and ldd dies of SIGPIPE, which would pass a binary built with MPI as one without.
linked="$(ldd "$sweep")"
if [[ $linked == *libmpi* ]]; then
  mpirun --allow-run-as-root --oversubscribe -np 2 \
    "$sweep" "${args[@]}" --threads 1 --csv "$work/r2.csv" >/dev/null
  diff <(counts "$work/t1.csv") <(counts "$work/r2.csv")
  echo "ci-sweep: 2 MPI processes give the same counts"
  # Rank 0 released its lock, and its rows pass a plain run's checks on --resume.
  test ! -e "$work/r2.csv.lock"
  "$sweep" "${args[@]}" --threads 1 --csv "$work/r2.csv" --resume >/dev/null
  echo "ci-sweep: the MPI run's CSV is accepted by --resume"
elif command -v mpirun >/dev/null; then
  echo "ci-sweep: MPI is installed but ldpcsw-sweep was built without it" >&2
  exit 1
else
  echo "ci-sweep: no MPI installed; the two-process case is skipped" >&2
fi

# The layered min-sum decoder (one block per SIMD lane, lanes refilled as blocks end): the
# same three runs must agree too, and the narrowest vector target must give the widest's counts.
ms_args=(--matrix "$root/data/Reg504252.dat" --p 0.06:0.08:0.01 --blocks 20000
         --max-frame-errors 300 --seed 7 --decoder minsum-layered --quiet)
"$sweep" "${ms_args[@]}" --threads 1 --csv "$work/m1.csv" >/dev/null
"$sweep" "${ms_args[@]}" --threads 2 --csv "$work/m2.csv" >/dev/null
diff <(counts "$work/m1.csv") <(counts "$work/m2.csv")
LDPCSW_SIMD_TARGET=scalar "$sweep" "${ms_args[@]}" --threads 2 --csv "$work/ms.csv" >/dev/null
diff <(counts "$work/m1.csv") <(counts "$work/ms.csv")
if [[ $linked == *libmpi* ]]; then
  mpirun --allow-run-as-root --oversubscribe -np 2 \
    "$sweep" "${ms_args[@]}" --threads 1 --csv "$work/mr.csv" >/dev/null
  diff <(counts "$work/m1.csv") <(counts "$work/mr.csv")
fi
echo "ci-sweep: minsum-layered gives the same counts on 1 and 2 threads, 2 processes and the scalar target"

if /usr/bin/python3 -c 'import matplotlib' 2>/dev/null; then
  /usr/bin/python3 "$root/scripts/plot_sweep.py" "$work/t1.csv" -o "$work/t1.png" >/dev/null
  test -s "$work/t1.png"
  echo "ci-sweep: plot written"
else
  echo "ci-sweep: python3-matplotlib is missing; the plot is skipped" >&2
fi
