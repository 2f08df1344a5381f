#!/usr/bin/env bash
# Robustness checks for CI, each step stopping the script on its first failure:
#   sanitize  AddressSanitizer + UndefinedBehaviorSanitizer build (build-asan/, host backend):
#             the whole test suite, the fixed experiment in data/, and scripts/bad-inputs.sh
#   fuzz      libFuzzer targets of both matrix readers (build-fuzz/, clang, same sanitizers),
#             each for FUZZ_SECONDS (default 60) from the seeds and past findings in fuzz/
#   valgrind  the fixed experiment once under memcheck (build-valgrind/, host backend):
#             any invalid access or leak fails
#   scale     scripts/scale-check.sh on build/ or $SCALE_BUILD_DIR (n = 1,000,000 read and
#             decoded by both decoders within 1.5x the arrays they need; huge counts refused
#             quickly)
#
#   scripts/ci-robustness.sh [STEP...]      (default: all four, in this order)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
jobs="$(nproc)"
fuzz_seconds="${FUZZ_SECONDS:-60}"
steps=("$@")
[ ${#steps[@]} -gt 0 ] || steps=(sanitize fuzz valgrind scale)

bash "$root/scripts/deps.sh"
need() {  # need COMMAND PACKAGE
  command -v "$1" >/dev/null 2>&1 || { echo "ci-robustness: $1 is missing (Debian package $2)" >&2; exit 1; }
}

# Findings are fatal and come with a stack; leaks are findings too, apart from the documented
# third-party ones in lsan.supp (whose matching needs the exact unwinder).
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:strict_string_checks=1:check_initialization_order=1:fast_unwind_on_malloc=0"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

step_sanitize() {
  local build="$root/build-asan"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
    -DLDPCSW_SANITIZE=ON -DLDPCSW_DEVICE=host -DLDPCSW_BUILD_BENCH=OFF >/dev/null
  cmake --build "$build" -j"$jobs"
  (cd "$build" && ctest --output-on-failure -j"$jobs")
  echo "== the experiment under the sanitizers"
  (cd "$root/data" && "$build/bin/ldpcsw" >"$build/experiment.out")
  grep -q '^FER = ' "$build/experiment.out"
  tail -n 2 "$build/experiment.out"
  echo "== bad input to every program and both readers"
  bash "$root/scripts/bad-inputs.sh" "$build" >"$build/bad-inputs.md" ||
    { cat "$build/bad-inputs.md"; exit 1; }
  echo "$(($(wc -l <"$build/bad-inputs.md") - 2)) cases answered as documented"
}

step_fuzz() {
  need clang++ clang
  echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' |
    clang++ -x c++ -fsanitize=fuzzer - -o /dev/null ||
    { echo "ci-robustness: clang cannot link libFuzzer (Debian package libclang-rt-14-dev)" >&2; exit 1; }
  local build="$root/build-fuzz"
  CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DLDPCSW_FUZZ=ON -DLDPCSW_DEVICE=host -DLDPCSW_BUILD_TESTS=OFF -DLDPCSW_BUILD_BENCH=OFF >/dev/null
  cmake --build "$build" -j"$jobs" --target fuzz_read_rows fuzz_read_alist
  local work
  work="$(mktemp -d)"
  for target in read_rows read_alist; do
    echo "== fuzz_$target for $fuzz_seconds s"
    mkdir -p "$work/$target"
    # New inputs go to the scratch folder; the corpus in the repository is only read. A crash,
    # a leak, one allocation over 256 MiB (a reader trusting a count), 1 GiB in all or an
    # input taking over 10 s fails the step and leaves the input in $work.
    local inputs=("$work/$target")
    for dir in "$root/fuzz/corpus/$target" "$root/fuzz/regressions/$target"; do
      if [ -d "$dir" ]; then inputs+=("$dir"); fi
    done
    local rc=0
    "$build/bin/fuzz_$target" -max_total_time="$fuzz_seconds" -timeout=10 \
      -rss_limit_mb=1024 -malloc_limit_mb=256 -print_final_stats=1 -artifact_prefix="$work/$target-" \
      "${inputs[@]}" >"$work/$target.log" 2>&1 || rc=$?
    if [ $rc -ne 0 ]; then
      tail -n 60 "$work/$target.log" >&2
      echo "fuzz_$target found a failure (exit $rc); the input is in $work" >&2
      exit 1
    fi
    grep -E '^(#[0-9]+[[:space:]]+(INITED|DONE)|stat::number_of_executed_units|stat::peak_rss_mb)' "$work/$target.log"
  done
  rm -rf "$work"
}

step_valgrind() {
  need valgrind valgrind
  local build="$root/build-valgrind"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLDPCSW_DEVICE=host \
    -DLDPCSW_BUILD_TESTS=OFF -DLDPCSW_BUILD_BENCH=OFF >/dev/null
  cmake --build "$build" -j"$jobs" --target ldpcsw
  echo "== the experiment under valgrind memcheck"
  (cd "$root/data" &&
    valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
      --show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect,possible \
      --suppressions="$root/scripts/valgrind.supp" --log-file="$build/valgrind.log" \
      "$build/bin/ldpcsw" >"$build/experiment.out") ||
    { cat "$build/valgrind.log" >&2; exit 1; }
  grep -E 'ERROR SUMMARY|definitely lost|in use at exit' "$build/valgrind.log"
}

step_scale() {
  need /usr/bin/time time
  bash "$root/scripts/scale-check.sh" "${SCALE_BUILD_DIR:-$root/build}"
}

for step in "${steps[@]}"; do
  case "$step" in
    sanitize|fuzz|valgrind|scale) ;;
    *) echo "ci-robustness: unknown step $step (sanitize, fuzz, valgrind, scale)" >&2; exit 2 ;;
  esac
  echo "=== $step"
  start=$SECONDS
  "step_$step"
  echo "=== $step passed in $((SECONDS - start)) s"
done
