#!/usr/bin/env bash
# Scale check: a column-weight-3 matrix with n = 1,000,000 bits and m = 500,000 checks (random
# construction of ldpcsw-code) is read and decoded at crossover 0.02 by both decoders, each in
# its own process under /usr/bin/time -v; the peak resident memory must stay within 1.5 times
# the arrays the decoders need (matrix, bit arrays, scratch), which ldpcsw-scale prints.
# Then files with huge counts (m * maxCdeg or the sum of the column weights beyond the int
# range; counts of two billion in a short file) must be refused by both readers within a
# second and 64 MiB.
#
#   scripts/scale-check.sh [BUILD_DIR]     (default build/; configured as Release if new)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
n=1000000
m=500000
p=0.02
max_ratio=1.5
reject_seconds=1
reject_kib=65536

[ -f "$build/CMakeCache.txt" ] || cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target ldpcsw-code ldpcsw-scale >/dev/null
bin="$build/bin"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*" >&2; failed=1; }

# Peak resident memory in KiB and wall seconds of the last measured command.
measure() {  # measure LOG -- COMMAND...
  local log="$1"; shift 2
  local rc=0
  /usr/bin/time -v -o "$log.time" "$@" >"$log.out" 2>"$log.err" || rc=$?
  peak_kib=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$log.time")
  wall=$(awk '/Elapsed \(wall clock\)/ {print $NF}' "$log.time" |
         awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; print s }')
  return $rc
}

echo "== building the n = $n matrix"
start=$SECONDS
"$bin/ldpcsw-code" build --n $n --m $m --method random --seed 1 \
  --dat "$work/big.dat" --alist "$work/big.alist" | grep -E '^n |^wrote' || true
echo "   $((SECONDS - start)) s, $(du -m "$work/big.dat" | cut -f1) MiB .dat, $(du -m "$work/big.alist" | cut -f1) MiB .alist"

for form in dat alist; do
  decoder=$([ $form = dat ] && echo "read_code_rows + decode_syndrome_adaptive" ||
            echo "read_code_alist + decode_syndrome")
  echo "== $decoder"
  if ! measure "$work/$form" -- "$bin/ldpcsw-scale" "$work/big.$form" --p $p; then
    fail "ldpcsw-scale big.$form: $(cat "$work/$form.err" "$work/$form.out")"
    continue
  fi
  sed 's/^/   /' "$work/$form.out"
  needed=$(awk '/^needed:/ {print $2}' "$work/$form.out")
  iterations=$(awk '/^decoded:/ {gsub(",", "", $5); print $5}' "$work/$form.out")
  ratio=$(awk -v k="$peak_kib" -v b="$needed" 'BEGIN { printf "%.3f", k * 1024 / b }')
  echo "   peak RSS $peak_kib KiB = $ratio x the needed $((needed / 1024)) KiB; $wall s"
  awk -v r="$ratio" -v x="$max_ratio" 'BEGIN { exit !(r <= x) }' ||
    fail "$form: peak memory $ratio x the needed arrays, above $max_ratio"
  [ "$iterations" -lt 10 ] || fail "$form: $iterations iterations, the estimation step was reached"
done

echo "== huge counts are refused quickly"
printf '2000000000 1000000000 3\n1 2 3\n' >"$work/overflow.dat"          # m * maxCdeg > INT_MAX
printf '2000000000 1000000000 2\n1 2 3 4 5\n' >"$work/short.dat"         # fits in int, file short
printf '2000000000 1000000000 3 6\n3 3 3 3\n' >"$work/short.alist"       # n + 1 pointers, short
{ printf '2000000000 1000000000 2\n'; awk 'BEGIN { for (i = 0; i < 4000000; i++) print 0 }'; } \
  >"$work/zeros.dat"                                                      # 2 M empty slots, then the end
{ printf '2000000000 1000000000 3 6\n'; awk 'BEGIN { for (i = 0; i < 2000000; i++) print 3 }'; } \
  >"$work/weights.alist"                                                  # 2 M weights, then the end
{ printf '1000000 1000 3000 6\n'; awk 'BEGIN { for (i = 0; i < 1000000; i++) print 3000 }'; } \
  >"$work/overflow.alist"                                                 # weights sum beyond int
for f in overflow.dat short.dat zeros.dat overflow.alist short.alist weights.alist; do
  rc=0
  measure "$work/$f" -- "$bin/ldpcsw-scale" "$work/$f" --bound-only || rc=$?
  echo "   $f: exit $rc, $wall s, peak $peak_kib KiB: $(cat "$work/$f.err")"
  [ $rc -eq 1 ] || fail "$f: exit $rc, expected 1 (refused)"
  awk -v w="$wall" -v x=$reject_seconds 'BEGIN { exit !(w <= x) }' || fail "$f: took $wall s"
  [ "$peak_kib" -le $reject_kib ] || fail "$f: peak $peak_kib KiB"
done

[ $failed -eq 0 ] && echo "scale check passed"
exit $failed
