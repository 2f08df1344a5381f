#!/usr/bin/env bash
# Mutation test of the test suite: how many single, realistic faults does it catch?
#
#   bash scripts/mutation.sh [WORK_DIR]        (default /tmp/ldpcsw-mutation)
#   MUTANTS="3 11 28" bash scripts/mutation.sh  (only the faults with these numbers)
#   DRY=1 bash scripts/mutation.sh              (only check that every fault's text is found)
#
# Copies the working tree (tracked and untracked files that git does not ignore) to
# WORK_DIR/src, builds it once in WORK_DIR/build and checks that the whole suite passes there.
# Then, one fault at a time: replaces one piece of text in one source file of the copy, builds
# incrementally, runs the whole suite (ctest, stopping at the first failing test), records
# whether a test failed ("caught") or all passed ("SURVIVED"), and puts the file back. A fault
# whose text is not found is reported as "not applied" (the code moved on); one that does not
# compile as "no build"; neither counts. The working tree itself is never touched.
#
# Results: one line per fault on standard output and in WORK_DIR/results.txt, then the score.
# Each fault takes a rebuild and a suite run: 20 s to 4 min on two shared cores, about two
# hours for all of them; the first build of the copy takes longer, later runs reuse it. The
# faults from 35 on are in the newer rooms: the min-sum rules, reference and batch decoders,
# the device kernel, the statistics, the CSV checks, the resume's fingerprint and lock, degree
# rounding, density evolution, bounded PEG, the Python module's argument checks, and the
# rate adaptation builder's rules.
set -u -o pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
WORK="${1:-/tmp/ldpcsw-mutation}"
JOBS="${JOBS:-2}"
SRC="$WORK/src"
BUILD="$WORK/build"
RESULTS="$WORK/results.txt"

# The faults, one per line: FILE @@ TEXT @@ REPLACEMENT @@ WHAT. TEXT's first occurrence in
# FILE is replaced, literally.
read -r -d '' FAULTS <<'EOF'
platform/crt.cpp @@ rand_state * 214013u + 2531011u @@ rand_state * 214013u + 2531013u @@ rand: wrong increment of the generator
platform/crt.cpp @@ (rand_state >> 16) & 0x7FFFu @@ (rand_state >> 15) & 0x7FFFu @@ rand: returns bits 15..29
platform/fminmax.h @@ (crt_signbit(a) && crt_signbit(b)) ? -0.0 : 0.0 @@ (crt_signbit(a) || crt_signbit(b)) ? -0.0 : 0.0 @@ fmax: -0 wins over +0
code/read_rows.cpp @@ if (temp < 0 || temp > n) { @@ if (temp < 0 || temp > n + 1) { @@ row-list reader: column n + 1 accepted
code/read_rows.cpp @@ if (m > n) { @@ if (m > n + 1) { @@ row-list reader: m = n + 1 accepted
code/alist_read.cpp @@ if (v < 0 || v > m) { @@ if (v < 0 || v >= m) { @@ alist reader: row m refused
code/alist_read.cpp @@ if (listed != weight) { @@ if (listed > weight) { @@ alist reader: a column listing fewer ones than its weight accepted
code/blocks.cpp @@ x[j] = source_threshold > static_cast<double>(r1) ? 1 : 0; @@ x[j] = source_threshold >= static_cast<double>(r1) ? 1 : 0; @@ experiment blocks: source threshold compared with >=
code/peg.cpp @@ if (row_weight[r] < best_weight) { @@ if (row_weight[r] <= best_weight) { @@ PEG: ties go to the last lightest row
code/writers.cpp @@ zero_based[i] + 1 : 0 @@ zero_based[i] : 0 @@ writers: 0-based indices written
decode/adaptive.cpp @@ const std::int8_t d = llr_post[i] < 0 ? 1 : 0; @@ const std::int8_t d = llr_post[i] <= 0 ? 1 : 0; @@ adaptive: an LLR of exactly 0 decides 1
decode/adaptive.cpp @@ std::log((1.0 - p_src) / p_src) @@ std::log(p_src / (1.0 - p_src)) @@ adaptive: source prior with the wrong sign
decode/adaptive.cpp @@ if (stall == 4) return 0; @@ if (stall == 5) return 0; @@ adaptive: six iterations without a change
decode/adaptive.cpp @@ if ((k + 1) % ESTIMATION_PERIOD == 0 @@ if (k % ESTIMATION_PERIOD == 0 @@ adaptive: estimation step after iterations 1, 11, 21, ...
decode/phi.h @@ crt_fmax(t, DBL_MIN) @@ crt_fmax(t, DBL_EPSILON) @@ phi: floor at DBL_EPSILON
decode/plain.cpp @@ for (int e = first; e < last; ++e) post += edge_msg[e]; @@ for (int e = last - 1; e >= first; --e) post += edge_msg[e]; @@ plain: a-posteriori sum in reverse order
decode/plain.cpp @@ std::log((1.0 - p_src) / p_src) @@ std::log(p_src / (1.0 - p_src)) @@ plain: source prior with the wrong sign
decode/plain.cpp @@ const std::int8_t d = post < 0.0 ? 1 : 0; @@ const std::int8_t d = post <= 0.0 ? 1 : 0; @@ plain: an LLR of exactly 0 decides 1
decode/window.cpp @@ lane_float estimate = mean > lower ? mean : lower; @@ lane_float estimate = mean < lower ? lower : mean; @@ SIMD search: a NaN mean passes the clamp (inf becomes NaN)
decode/window.cpp @@ if (errors[k] < min_s2) { @@ if (errors[k] <= min_s2) { @@ search: ties go to the larger width
decode/window.cpp @@ logf((1.0f - e) / e) @@ logf(e / (1.0f - e)) @@ smoothing: log-ratio upside down
gpu/kernels.cuh @@ if (k <= u) { @@ if (k < u) { @@ kernel: window stops growing one bit early
gpu/kernels.cuh @@ vals[tid] > vals[tid + i] @@ vals[tid] >= vals[tid + i] @@ arg-min: ties go to the later index
gpu/kernels.cuh @@ if (ticket == static_cast<int>(gridDim.x) - 1) last_block = 1; @@ if (ticket == static_cast<int>(gridDim.x)) last_block = 1; @@ arg-min: no block finishes the reduction
sim/driver.cpp @@ fer_sum += errors > 0 ? 1 : 0; @@ fer_sum += errors > 1 ? 1 : 0; @@ experiment: a single bit error is no frame error
sim/driver.cpp @@ ber_sum / (EXPERIMENT_BLOCKS * static_cast<double>(n)) @@ ber_sum / (EXPERIMENT_BLOCKS * static_cast<double>(m)) @@ experiment: BER over m bits
streams/block_streams.h @@ static_cast<std::uint32_t>(base / 4), 1, lo, hi @@ static_cast<std::uint32_t>(base / 4), 0, lo, hi @@ streams: noise words drawn from the source words' counters
sweep/draw_simd.cpp @@ auto c1 = hn::Set(d, 1u), @@ auto c1 = hn::Set(d, 0u), @@ sweep: SIMD noise words drawn from the source words' counters
streams/block_streams.h @@ splitmix64_mix(splitmix64_mix(seed) ^ bits) @@ splitmix64_mix(seed ^ bits) @@ sweep: seed mixed once into the key
streams/block_streams.h @@ std::llround(p * 4294967296.0) @@ (p * 4294967296.0) @@ sweep: noise threshold truncated instead of rounded
sweep/engine.cpp @@ counts.frame_errors += o[1] > 0 ? 1 : 0; @@ counts.frame_errors += o[1] > 1 ? 1 : 0; @@ sweep: a single bit error is no frame error
sweep/engine.cpp @@ ws.x_hat[j] = static_cast<std::int8_t>(1 - ws.y[j]); @@ ws.x_hat[j] = ws.y[j]; @@ sweep: decoding starts from y instead of its complement
sweep/engine.cpp @@ (rank < extra ? 1 : 0) @@ (rank <= extra ? 1 : 0) @@ sweep: process shares overlap
sweep/stats.cpp @@ (phat + z2 / (2.0 * n)) / denom @@ (phat + z2 / n) / denom @@ sweep: Wilson interval centre
fixed/minsum_rules.h @@ return (mag * c.num) >> c.shift; @@ return (mag * c.num + (1 << c.shift >> 1)) >> c.shift; @@ min-sum rule: normalisation rounds instead of truncating
fixed/minsum_rules.h @@ if (c.offset) return mag > c.beta ? mag - c.beta : 0; @@ if (c.offset) return mag > c.beta ? mag - c.beta : mag; @@ min-sum rule: magnitudes below the offset kept instead of floored at 0
fixed/minsum_rules.h @@ v < -MSG_MAX ? -MSG_MAX : @@ v < -MSG_MAX - 1 ? -MSG_MAX - 1 : @@ min-sum rule: messages saturate at -128
fixed/minsum_rules.h @@ constexpr int decide(int post) { return post < 0 ? 1 : 0; } @@ constexpr int decide(int post) { return post <= 0 ? 1 : 0; } @@ min-sum rule: an a-posteriori 0 decides 1
minsum/reference.cpp @@ smallest = std::min(smallest, in[k] < 0 ? -in[k] : in[k]); @@ smallest = std::min(smallest, in[k]); @@ min-sum reference: smallest input taken without its magnitude
minsum/batch.cpp @@ min2 = hn::Min(min2, hn::Max(min1, mag)); @@ min2 = hn::Min(min2, mag); @@ batch decoder: second smallest magnitude taken wrongly (layered)
minsum/batch.cpp @@ hn::Store(hn::Max(hn::SaturatedAdd(t, c), vmin), d8, post + jc[e] * L); @@ hn::Store(hn::SaturatedAdd(t, c), d8, post + jc[e] * L); @@ batch decoder: a-posteriori value may reach -128 (layered)
gpu/minsum_kernels.cuh @@ const int c1 = correct_magnitude(row.min1, corr), c2 = correct_magnitude(row.min2, corr); @@ const int c1 = correct_magnitude(row.min2, corr), c2 = correct_magnitude(row.min1, corr); @@ device kernel: the smallest input's edge gets the smallest magnitude (flooding)
gpu/minsum_kernels.cuh @@ const int t = saturate_msg(whole); @@ const int t = whole; @@ device kernel: layered row inputs not saturated
gpu/minsum_kernels.cuh @@ static_cast<unsigned long long>(bit_errors > 0 ? 1 : 0) @@ static_cast<unsigned long long>(bit_errors > 1 ? 1 : 0) @@ device kernel: a single bit error is no frame error
sweep/stats.cpp @@ deff = std::clamp(s2 / (n * phat * (1.0 - phat)), 1.0, n); @@ deff = std::clamp(s2 / (n * phat * (1.0 - phat)), 0.0, n); @@ statistics: design effect clamped at 0 instead of 1
sweep/stats.cpp @@ if (sum > 0 && clusters > 1 && phat < 1.0) { @@ if (sum > 0 && clusters > 0 && phat < 1.0) { @@ statistics: a variance estimated from a single block
sweep/report.cpp @@ c.iterations = std::llround(avg_it * static_cast<double>(c.blocks)); @@ c.iterations = static_cast<std::int64_t>(avg_it * static_cast<double>(c.blocks)); @@ CSV check: iteration total recovered by truncation
sweep/report.cpp @@ if (finished == row.partial) { @@ if (finished && row.partial) { @@ CSV check: an unfinished point without the partial mark accepted
sweep/report.cpp @@ if (state.has_partial) return bad("a row follows the partial row"); @@ if (false) return bad("a row follows the partial row"); @@ CSV check: rows after the partial row accepted
sweep/input.cpp @@ for (int v : code.jc) add(v); @@ for (int v : code.ir) add(v); @@ resume: matrix fingerprint hashes the row pointers twice, the columns never
tools/sweep/output.h @@ return csv_fd < 0 ? 0 : lock_csv(csv_fd, csv, error); @@ return csv_fd < 0 ? 0 : (::close(csv_fd), 0); @@ CSV lock: an existing CSV not locked by inode (hard links pass)
tools/sweep/options.cpp @@ (den & (den - 1)) == 0 && num >= 1 @@ num >= 1 @@ options: --normalise with a denominator that is not a power of two
code/degrees.cpp @@ return remainder[a] > remainder[b]; @@ return remainder[a] < remainder[b]; @@ degree rounding: leftover nodes go to the smallest remainders
code/degrees.cpp @@ ++row_degrees[static_cast<std::size_t>(i)]; @@ ++row_degrees[m - 1 - static_cast<std::size_t>(i)]; @@ degree rounding: the highest-degree rows get the missing ones
code/degrees.cpp @@ if (!lost && !added && std::fabs(got - ideal) < 1.0) continue; @@ if (!added && std::fabs(got - ideal) < 1.0) continue; @@ degree rounding: a degree too rare for one node vanishes without a word
code/density.cpp @@ threshold = lo; @@ threshold = hi; @@ density evolution: threshold is the non-converging end of the bracket
code/peg.cpp @@ if (bounded && depth + 1 >= options.depth_limit) break; @@ if (bounded && depth >= options.depth_limit) break; @@ PEG: bounded search one level deeper than --depth
python/core.cpp @@ if (a.shape(1) != width) @@ if (a.shape(1) < width) @@ Python: y or s wider than n (or m) accepted
python/core.cpp @@ if (!(p > 0.0 && p <= 0.5)) throw @@ if (!(p > 0.0 && p < 0.5)) throw @@ Python decode: p = 0.5 refused
fixed/minsum_rules.h @@ while (beta > 1 && p.q % beta == 0) --beta; @@ (void)0; @@ corrections by weight: an offset that divides Q (ties) kept
fixed/minsum_rules.h @@ i == 4 ? 13 : 22; @@ i == 4 ? 13 : 21; @@ sum-product table: the last step one unit early
fixed/minsum_rules.h @@ const int diff = a < b ? b - a : a - b; @@ const int diff = b - a; @@ sum-product rule: the difference of magnitudes taken with its sign
minsum/batch.cpp @@ if (k == 0) mag = hn::Load(d8, partial + L); @@ if (k == 0) mag = hn::Load(d8, partial + 2 * L); @@ batch sum-product: the first edge combined from the wrong partial
minsum/batch.cpp @@ hn::Store(hn::Combine(d8, hn::DemoteTo(dh, hi), hn::DemoteTo(dh, lo)), d8, sign); @@ hn::Store(hn::Combine(d8, hn::DemoteTo(dh, lo), hn::DemoteTo(dh, hi)), d8, sign); @@ batch 16-bit rule: the decisions' halves swapped
minsum/reference.cpp @@ const int t = wide ? saturate_post(post[code.jc[e]] - check[e]) @@ const int t = wide ? saturate_msg(post[code.jc[e]] - check[e]) @@ reference 16-bit rule: t saturated at 8 bits (the former rule)
sweep/engine.cpp @@ BlockOutcome{bit_errors, iterations, success && bit_errors > 0}); @@ BlockOutcome{bit_errors, iterations, success}); @@ sweep: every success counted as an undetected error
sweep/engine.cpp @@ if (bit_errors == 0) return false; @@ if (bit_errors < 0) return false; @@ sweep: a correct block whose syndrome holds counted as undetected
code/rate_adapt.cpp @@ if (keep_forest && component(r) == component(a)) continue; @@ if (false && component(r) == component(a)) continue; @@ rate-adapt: merges close cycles of degree-2 columns
code/rate_adapt.cpp @@ join(a, b); @@ (void)0; @@ rate-adapt: a merge does not join the two rows' degree-2 components
code/rate_adapt.cpp @@ if (options.follow != 0 && shares(a, r)) return 1; @@ if (false && shares(a, r)) return 1; @@ rate-adapt: a partner sharing an unfollowed heavy column counts as far
code/rate_adapt.cpp @@ if (cycles < b_cycles) b = r, b_cycles = cycles; @@ if (cycles > b_cycles) b = r, b_cycles = cycles; @@ rate-adapt: the fallback takes the partner that closes the most 4-cycles
sweep/critical.cpp @@ draw_sweep_block_simd(key, first + static_cast<std::uint64_t>(i), threshold, @@ draw_sweep_block_simd(key, first + static_cast<std::uint64_t>(i) + 1, threshold, @@ critical pool: block i drawn from the stream of block i + 1
EOF

mkdir -p "$WORK"
: >"$RESULTS"
say() { echo "$*" | tee -a "$RESULTS"; }

echo "copying the working tree to $SRC"
# Only files whose bytes differ from the copy's are replaced (and so get a new time): the build
# reused from an earlier run then rebuilds exactly what changed, including a file that a run
# stopped with its fault in place, or a source edited after the earlier copy was built. A copy
# that kept the tree's own file times would leave such objects stale.
stage="$WORK/stage"
rm -rf "$stage"
mkdir -p "$stage" "$SRC"
(cd "$ROOT" && git ls-files -z -co --exclude-standard | tar --null -T - -cf -) | tar -xf - -C "$stage"
(cd "$stage" && find . -type f -print0) | while IFS= read -r -d '' f; do
  if ! cmp -s "$stage/$f" "$SRC/$f"; then
    mkdir -p "$(dirname "$SRC/$f")"
    cp "$stage/$f" "$SRC/$f"
  fi
done
(cd "$SRC" && find . -type f -print0) | while IFS= read -r -d '' f; do
  [ -e "$stage/$f" ] || rm -f "$SRC/$f"
done
rm -rf "$stage"

if [ -z "${DRY:-}" ]; then
echo "building in $BUILD"
# The Python module (and its tests, the ctest named python) is built when the environment
# .venv is there, so that faults in its argument checks meet its tests.
python_flags=()
if [ -x "$ROOT/.venv/bin/python" ]; then
  python_flags=(-DLDPCSW_PYTHON=ON -DPython_EXECUTABLE="$ROOT/.venv/bin/python")
fi
cmake -S "$SRC" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DLDPCSW_BUILD_BENCH=OFF "${python_flags[@]}" \
  >"$WORK/configure.log" 2>&1 ||
  { echo "configure failed: $WORK/configure.log"; exit 1; }
build() { cmake --build "$BUILD" -j"$JOBS" >"$WORK/build.log" 2>&1; }
suite() { (cd "$BUILD" && ctest -j"$JOBS" --timeout 300 --stop-on-failure >"$WORK/suite.log" 2>&1); }
build || { echo "the unchanged tree does not build: $WORK/build.log"; exit 1; }
suite || { echo "the unchanged tree fails its suite: $WORK/suite.log"; exit 1; }
say "unchanged tree: $(grep -o '[0-9]*% tests passed.*' "$WORK/suite.log" | head -1)"
fi

caught=0 survived=0 skipped=0 number=0
survivors=()
while IFS= read -r line; do
  [ -z "$line" ] && continue
  number=$((number + 1))
  if [ -n "${MUTANTS:-}" ] && [[ " $MUTANTS " != *" $number "* ]]; then continue; fi
  file="${line%% @@ *}"; rest="${line#* @@ }"
  text="${rest%% @@ *}"; rest="${rest#* @@ }"
  replacement="${rest%% @@ *}"; what="${rest#* @@ }"
  target="$SRC/$file"
  original="$(cat "$target"; printf x)"
  original="${original%x}"
  if [[ "$original" != *"$text"* ]]; then
    say "$(printf '%2d  not applied  %-24s %s' "$number" "$file" "$what")"
    skipped=$((skipped + 1))
    continue
  fi
  if [ -n "${DRY:-}" ]; then
    say "$(printf '%2d  applies      %-24s %s' "$number" "$file" "$what")"
    continue
  fi
  printf '%s' "${original/"$text"/"$replacement"}" >"$target"
  start=$SECONDS
  detail=""
  if ! build; then
    verdict="no build"
    skipped=$((skipped + 1))
  elif suite; then
    verdict="SURVIVED"
    survived=$((survived + 1))
    survivors+=("$number: $what")
  else
    verdict="caught"
    detail="$(grep -m1 -oE '[0-9]+ - [A-Za-z0-9_./]+' "$WORK/suite.log" | sed 's/^[0-9]* - //')"
    caught=$((caught + 1))
  fi
  printf '%s' "$original" >"$target"
  say "$(printf '%2d  %-11s %-24s %s  (%ss) %s' "$number" "$verdict" "$file" "$what" \
    $((SECONDS - start)) "$detail")"
done <<<"$FAULTS"
[ -n "${DRY:-}" ] && exit 0

# Leave the copy built as it was: the last fault's file is back, rebuild it.
build || true
say ""
say "score: $caught caught of $((caught + survived)) faults ($skipped not counted)"
for s in "${survivors[@]}"; do say "survived: $s"; done
