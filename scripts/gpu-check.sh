#!/usr/bin/env bash
# The device check, for a machine with an NVIDIA GPU (meant to take under 5 minutes on one
# H100). From the repository root:
#
#   scripts/gpu-check.sh [RESULT_DIR]        (default: build-check)
#
# 1. builds the cuda backend (kernels for this GPU's architecture) and the host backend;
# 2. runs the test suite on the cuda backend;
# 3. compares every kernel's output bits on the GPU with the SIMT emulation on the CPU, over
#    random and adversarial profiles with n = 504, 1249 and 5000 (ldpcsw-kernel-dump in both
#    builds, compared with diff; NaN compared as NaN);
# 4. runs the experiment (ldpcsw in data/) on the GPU and checks one GPU line per CPU line;
# 5. runs compute-sanitizer memcheck, racecheck and synccheck on the kernel tests, and
#    memcheck and racecheck on the min-sum kernel's tests;
# 6. the min-sum kernel on the GPU against the CPU's fast decoder, block by block (decisions
#    and iterations, both schedules, both corrections) on thousands of blocks of the shipped
#    matrix and of a generated n = 10,000 matrix;
# 7. ldpcsw-sweep --device gpu against --device cpu on the same points: the same counts, and
#    blocks per second of the GPU beside one CPU core and all cores;
# 8. writes RESULT_DIR/summary.txt (and prints it), with each step's log beside it.
# Exit status 0 when every step passed.
set -uo pipefail
export LC_ALL=C  # the GBK lines are matched byte for byte

root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build-check}
mkdir -p "$out"
out=$(cd "$out" && pwd)
summary=$out/summary.txt
: >"$summary"
jobs=$(nproc 2>/dev/null || echo 4)
failures=0
start=$(date +%s)

note() { echo "$*" | tee -a "$summary"; }
step() {  # step NAME LOG COMMAND...: runs a step, notes PASS or FAIL with its time
  local name=$1 log=$2
  shift 2
  local t0=$(date +%s)
  "$@" >"$log" 2>&1
  local rc=$?
  local dt=$(($(date +%s) - t0))
  if [ $rc -eq 0 ]; then note "PASS  $name (${dt}s)"; else note "FAIL  $name (rc $rc, ${dt}s, see $log)"; failures=$((failures + 1)); fi
  return $rc
}

note "ldpcsw gpu-check $(date -u +%Y-%m-%dT%H:%M:%SZ) at $(git -C "$root" rev-parse --short HEAD 2>/dev/null)"
if ! nvidia-smi -L >"$out/gpu.txt" 2>&1; then
  note "FAIL  no GPU visible (nvidia-smi -L)"
  exit 1
fi
note "GPU:  $(head -1 "$out/gpu.txt")"
nvcc=${CUDACXX:-$(command -v nvcc || echo /usr/local/cuda/bin/nvcc)}
note "nvcc: $("$nvcc" --version 2>/dev/null | tail -1)"

# Prerequisites of the builds (scripts/deps.sh installs them where a package source is at hand).
missing=""
command -v cmake >/dev/null || missing="$missing cmake"
command -v g++ >/dev/null || missing="$missing g++"
[ -e /usr/include/boost/context/fiber.hpp ] || missing="$missing libboost-context-dev"
[ -e /usr/include/gtest/gtest.h ] || missing="$missing libgtest-dev"
if [ -n "$missing" ] && [ -x "$root/scripts/deps.sh" ]; then
  note "missing:$missing; trying scripts/deps.sh"
  bash "$root/scripts/deps.sh" >"$out/deps.log" 2>&1 || note "      scripts/deps.sh failed (see $out/deps.log)"
fi

cuda_build=$out/cuda
host_build=$out/host
archs=${CUDA_ARCHS:-native}

# 1. Builds (in parallel: the host build needs no GPU).
(
  cmake -S "$root" -B "$host_build" -DLDPCSW_DEVICE=host -DLDPCSW_BUILD_BENCH=OFF -DLDPCSW_BUILD_TESTS=OFF &&
    cmake --build "$host_build" -j "$jobs" --target ldpcsw-kernel-dump ldpcsw-code
) >"$out/build-host.log" 2>&1 &
host_pid=$!
step "build cuda backend (archs $archs)" "$out/build-cuda.log" bash -c "
  cmake -S '$root' -B '$cuda_build' -DLDPCSW_DEVICE=cuda -DCMAKE_CUDA_COMPILER='$nvcc' \
    -DCMAKE_CUDA_ARCHITECTURES='$archs' -DLDPCSW_BUILD_BENCH=OFF &&
  cmake --build '$cuda_build' -j '$jobs'"
cuda_ok=$?
wait $host_pid
host_rc=$?
if [ $host_rc -eq 0 ]; then note "PASS  build host backend"; else note "FAIL  build host backend (see $out/build-host.log)"; failures=$((failures + 1)); fi
if [ $cuda_ok -ne 0 ]; then
  note "cuda build failed: nothing else can run"
  exit 1
fi

# 2. The test suite on the GPU.
step "test suite on the cuda backend" "$out/ctest.log" \
  ctest --test-dir "$cuda_build" -j "$jobs" --timeout 240 --output-on-failure
grep -E "tests passed|tests failed" "$out/ctest.log" | tail -1 | sed 's/^/      /' | tee -a "$summary"

# 3. Kernels on the GPU against the emulation, bit for bit.
compare_kernels() {
  local kinds_many="uniform decoder" kinds_once="zeros halves alternating edges tiny spikes dyadic"
  local cases=0 bad=0
  mkdir -p "$out/dumps"
  for n in 504 1249 5000; do
    for kind in $kinds_many $kinds_once; do
      local seeds="1"
      case " $kinds_many " in *" $kind "*) seeds="1 2 3" ;; esac
      for seed in $seeds; do
        local tag=$kind-$n-$seed
        "$cuda_build/bin/ldpcsw-kernel-dump" "$kind" "$n" "$seed" >"$out/dumps/$tag.cuda" || { echo "device run failed: $tag"; bad=$((bad + 1)); continue; }
        "$host_build/bin/ldpcsw-kernel-dump" "$kind" "$n" "$seed" >"$out/dumps/$tag.host" || { echo "host run failed: $tag"; bad=$((bad + 1)); continue; }
        cases=$((cases + 1))
        if ! diff -q "$out/dumps/$tag.cuda" "$out/dumps/$tag.host" >/dev/null; then
          bad=$((bad + 1))
          echo "MISMATCH $tag: $(diff "$out/dumps/$tag.cuda" "$out/dumps/$tag.host" | grep -c '^<') lines differ"
          diff "$out/dumps/$tag.cuda" "$out/dumps/$tag.host" | head -6
        fi
      done
    done
  done
  echo "$cases profiles compared, $bad mismatched or failed"
  [ $bad -eq 0 ]
}
if [ $host_rc -eq 0 ]; then
  step "kernels on the GPU equal the CPU emulation bit for bit" "$out/compare.log" compare_kernels
  tail -1 "$out/compare.log" | sed 's/^/      /' | tee -a "$summary"
fi

# 4. The experiment on the GPU.
run_experiment() {
  (cd "$root/data" && "$cuda_build/bin/ldpcsw") >"$out/experiment.out" 2>"$out/experiment.err" || return 1
  local cpu gpu
  cpu=$(grep -c $'\xD4\xDA''CPU' "$out/experiment.out")
  gpu=$(grep -c $'\xD4\xDA''GPU' "$out/experiment.out")
  echo "CPU lines $cpu, GPU lines $gpu, standard error $(wc -c <"$out/experiment.err") bytes"
  tail -3 "$out/experiment.out"
  [ "$cpu" -gt 0 ] && [ "$cpu" -eq "$gpu" ] && [ ! -s "$out/experiment.err" ]
}
step "experiment on the GPU (one GPU line per CPU line)" "$out/experiment.log" run_experiment
sed -n '1p;$p' "$out/experiment.log" | sed 's/^/      /' | tee -a "$summary"

# 5. compute-sanitizer on the kernel tests.
sanitizer=$(command -v compute-sanitizer || true)
for candidate in "$(dirname "$nvcc")/compute-sanitizer" "$(dirname "$nvcc")/../compute-sanitizer/compute-sanitizer"; do
  if [ -z "$sanitizer" ] && [ -x "$candidate" ]; then sanitizer=$candidate; fi
done
filter="FindBest1.StageLaunch*:FindBest1.EqualsWindowErrorBitForBitForEveryWidthAt504:MinIdx.*:FindBest.*"
if [ -n "$sanitizer" ] && [ -x "$sanitizer" ]; then
  for tool in memcheck racecheck synccheck; do
    step "compute-sanitizer $tool" "$out/sanitizer-$tool.log" timeout 240 "$sanitizer" --tool "$tool" \
      --error-exitcode 1 "$cuda_build/bin/test_gpu_kernels" --gtest_filter="$filter"
    grep -E "ERROR SUMMARY|RACECHECK SUMMARY" "$out/sanitizer-$tool.log" | tail -1 | sed 's/^/      /' | tee -a "$summary"
  done
else
  note "FAIL  compute-sanitizer not found"
  failures=$((failures + 1))
fi

if [ -n "$sanitizer" ] && [ -x "$sanitizer" ]; then
  for tool in memcheck racecheck; do
    step "compute-sanitizer $tool on the min-sum kernel" "$out/sanitizer-minsum-$tool.log" \
      timeout 300 "$sanitizer" --tool "$tool" --error-exitcode 1 "$cuda_build/bin/test_gpu_minsum" \
      --gtest_filter="GpuMinsum.*"
    grep -E "ERROR SUMMARY|RACECHECK SUMMARY" "$out/sanitizer-minsum-$tool.log" | tail -1 | sed 's/^/      /' | tee -a "$summary"
  done
fi

# 6. The min-sum kernel against the CPU's fast decoder, block by block.
big=$out/peg10000.dat
if [ ! -s "$big" ] && [ $host_rc -eq 0 ]; then
  "$host_build/bin/ldpcsw-code" build --n 10000 --m 5000 --seed 1 --dat "$big" >"$out/peg10000.log" 2>&1 || rm -f "$big"
fi
minsum_identity() {
  "$cuda_build/bin/ldpcsw-gpu-minsum-check" "$root/data/Reg504252.dat" 0.06 20000 &&
    "$cuda_build/bin/ldpcsw-gpu-minsum-check" "$root/data/Reg504252.dat" 0.08 20000 &&
    "$cuda_build/bin/ldpcsw-gpu-minsum-check" "$root/data/Reg504252.dat" 0.07 3000 1000 &&
    { [ ! -s "$big" ] || "$cuda_build/bin/ldpcsw-gpu-minsum-check" "$big" 0.06 4000; }
}
step "min-sum kernel on the GPU equals the CPU decoder block by block" "$out/minsum-identity.log" minsum_identity
grep -E "^(identical|DIFFERENT)" "$out/minsum-identity.log" | sort | uniq -c | sed 's/^/      /' | tee -a "$summary"

# 7. The sweep on the GPU against the sweep on the CPU: same counts, and the speed.
sweep_compare() {
  local matrix=$1 p=$2 blocks=$3 tag=$4 decoder rc=0
  for decoder in minsum-layered minsum-flooding; do
    for device in "gpu" "cpu --threads 1" "cpu"; do
      local name=$tag-$decoder-${device// /}
      # shellcheck disable=SC2086
      "$cuda_build/bin/ldpcsw-sweep" --matrix "$matrix" --p "$p" --blocks "$blocks" \
        --max-frame-errors 0 --decoder "$decoder" --device $device --quiet \
        --csv "$out/sweep-$name.csv" --overwrite >"$out/sweep-$name.txt" 2>&1 || rc=1
      echo "$decoder --device $device: $(sed -n 2p "$out/sweep-$name.txt" | awk '{print "blocks/s", $NF, " frame errors", $4, " bit errors", $5}')"
    done
    # Every column of the rows but seconds, blocks/s and the check (fields 13, 14, 16).
    if ! diff <(cut -d, -f1-12,15 "$out/sweep-$tag-$decoder-gpu.csv") \
              <(cut -d, -f1-12,15 "$out/sweep-$tag-$decoder-cpu.csv") >/dev/null; then
      echo "MISMATCH $tag $decoder: the GPU's counts differ from the CPU's"
      rc=1
    fi
  done
  return $rc
}
step "min-sum sweep on the GPU: the CPU's counts, timed (n = 504, p = 0.06)" "$out/sweep-504.log" \
  sweep_compare "$root/data/Reg504252.dat" 0.06 1000000 n504
sed 's/^/      /' "$out/sweep-504.log" | tee -a "$summary"
if [ -s "$big" ]; then
  step "min-sum sweep on the GPU: the CPU's counts, timed (n = 10000, p = 0.06)" "$out/sweep-10000.log" \
    sweep_compare "$big" 0.06 50000 n10000
  sed 's/^/      /' "$out/sweep-10000.log" | tee -a "$summary"
fi

note "total $(($(date +%s) - start))s, $failures step(s) failed"
[ $failures -eq 0 ]
