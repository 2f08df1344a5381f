#!/usr/bin/env bash
# Runs every test program of a build under valgrind memcheck, one after another; any invalid
# access, use of an uninitialised value or leak fails. Programs the tests start as processes
# run natively (they are checked by the experiment's own valgrind run and the sanitizer
# build). Too slow for every CI run; run it after changes to memory handling.
#
#   scripts/valgrind-suite.sh [BUILD_DIR]   (default build-valgrind/, host backend, tests built)
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build-valgrind}" && pwd)"
logs="$build/valgrind-suite"
mkdir -p "$logs"
failed=0
for test in "$build"/bin/test_*; do
  name="$(basename "$test")"
  start=$SECONDS
  rc=0
  valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
    --show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect,possible \
    --suppressions="$root/scripts/valgrind.supp" --log-file="$logs/$name.log" \
    "$test" >"$logs/$name.out" 2>&1 || rc=$?
  summary="$(grep -h 'ERROR SUMMARY' "$logs/$name.log" | tail -n 1 | sed 's/^==[0-9]*== //')"
  printf '%-28s exit %-3s %4s s  %s\n' "$name" "$rc" "$((SECONDS - start))" "$summary"
  [ "$rc" -eq 0 ] || failed=1
done
exit $failed
