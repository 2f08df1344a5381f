#!/usr/bin/env bash
# Feeds every program and both matrix readers bad input and checks what they answer: the exit
# status each documents for the case, a message, and never a crash (in the sanitizer build a
# memory or undefined-behaviour finding also ends the program with a crash status). Prints a
# Markdown table of the cases: program, input, how it was given, exit status, first line of
# the answer. The readers are driven through ldpcsw-scale, which prints their message as is.
#
#   scripts/bad-inputs.sh [BUILD_DIR]     (default build-asan/; its programs must be built)
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bin="$(cd "${1:-$root/build-asan}" && pwd)/bin"
# Sanitizer settings as in ci-robustness.sh, unless the caller set its own.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:halt_on_error=1:fast_unwind_on_malloc=0}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$root/scripts/lsan.supp:print_suppressions=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failed=0

# try PROGRAM EXPECTED_STATUS INPUT HOW -- COMMAND...   (run in a fresh folder $dir)
try() {
  local program="$1" expected="$2" input="$3" how="$4"
  shift 5
  local rc=0
  (cd "$dir" && timeout 60 "$@" >"$work/out" 2>"$work/err" </dev/null) || rc=$?
  local answer
  answer="$(grep -m1 . "$work/err" || true)"
  [ -n "$answer" ] || answer="$(grep -m1 . "$work/out" || true)"
  [ -n "$answer" ] || answer="(nothing)"
  answer="${answer//|/\\|}"
  local mark=""
  if [ "$rc" -ne "$expected" ]; then
    mark=" **(expected $expected)**"
    failed=1
    sed 's/^/    /' "$work/err" | head -n 20 >&2
  fi
  printf '| %s | %s | %s | %s%s | `%s` |\n' "$program" "$input" "$how" "$rc" "$mark" "$answer"
}

# fresh NAME CONTENT: a new folder $dir holding file NAME with CONTENT (printf format).
fresh() {
  dir="$(mktemp -d "$work/case.XXXX")"
  [ -z "${1:-}" ] || printf "$2" >"$dir/$1"
}

shipped_dat="$root/data/Reg504252.dat"
shipped_alist="$root/data/Reg504252.alist"
half() { head -c "$(($(wc -c <"$1") / 2))" "$1"; }

echo "| entry point | bad input | how | exit | answer (first line) |"
echo "|---|---|---|---|---|"

# The experiment: no arguments; its only input is Reg504252.dat in the working folder.
fresh; try ldpcsw 1 "no Reg504252.dat" "empty folder" -- "$bin/ldpcsw"
fresh; mkdir "$dir/Reg504252.dat"; try ldpcsw 1 "Reg504252.dat is a folder" "folder in its place" -- "$bin/ldpcsw"
fresh Reg504252.dat ''; try ldpcsw 1 "empty file" "Reg504252.dat" -- "$bin/ldpcsw"
fresh; half "$shipped_dat" >"$dir/Reg504252.dat"; try ldpcsw 1 "shipped matrix cut in half" "Reg504252.dat" -- "$bin/ldpcsw"
fresh Reg504252.dat '504 252 6\n1 2 3 4 5 505\n'; try ldpcsw 1 "column beyond n" "Reg504252.dat" -- "$bin/ldpcsw"
fresh Reg504252.dat '504 252 6\n1 2 x\n'; try ldpcsw 1 "a token that is not a number" "Reg504252.dat" -- "$bin/ldpcsw"
fresh Reg504252.dat '504 252 -6\n'; try ldpcsw 1 "negative maxCdeg" "Reg504252.dat" -- "$bin/ldpcsw"
fresh Reg504252.dat '2000000000 1000000000 3\n1 2 3\n'; try ldpcsw 1 "m * maxCdeg beyond int" "Reg504252.dat" -- "$bin/ldpcsw"
fresh Reg504252.dat '504 252 99999999999\n'; try ldpcsw 1 "count beyond int" "Reg504252.dat" -- "$bin/ldpcsw"
fresh Reg504252.dat '20 10 3\n'; try ldpcsw 1 "n below 21" "Reg504252.dat" -- "$bin/ldpcsw"
fresh Reg504252.dat '300 400 6\n'; try ldpcsw 1 "m above n" "Reg504252.dat" -- "$bin/ldpcsw"
fresh Reg504252.dat '21 2 3\n1 2 3\n4 5 4\n'; try ldpcsw 1 "a one listed twice" "Reg504252.dat" -- "$bin/ldpcsw"
fresh; cp "$shipped_alist" "$dir/Reg504252.dat"; try ldpcsw 1 "an alist file" "Reg504252.dat" -- "$bin/ldpcsw"
fresh Reg504252.dat '21 1 2\n1 2\n3\n'; try ldpcsw 1 "values after the last row" "Reg504252.dat" -- "$bin/ldpcsw"

# The matrix tool.
fresh; try ldpcsw-code 2 "no command" "command line" -- "$bin/ldpcsw-code"
fresh; try ldpcsw-code 2 "unknown command" "command line: frobnicate" -- "$bin/ldpcsw-code" frobnicate
fresh; try ldpcsw-code 2 "negative n" "command line: build --n -5 --m 3" -- "$bin/ldpcsw-code" build --n -5 --m 3 --dat x.dat
fresh; try ldpcsw-code 2 "n not a number" "command line: build --n 1e3 --m 3" -- "$bin/ldpcsw-code" build --n 1e3 --m 3 --dat x.dat
fresh; try ldpcsw-code 1 "missing input" "convert missing.dat out.alist" -- "$bin/ldpcsw-code" convert missing.dat out.alist
fresh in.txt '1 2 3\n'; try ldpcsw-code 1 "unknown form" "convert in.txt out.dat" -- "$bin/ldpcsw-code" convert in.txt out.dat
fresh in.dat '21 1 2\n1 1\n'; try ldpcsw-code 1 "a one listed twice" "info in.dat" -- "$bin/ldpcsw-code" info in.dat
fresh in.alist '4 2 2 2\n1 1 1 1\n2 2\n1 2\n1 0\n1 0\n1 0\n'; try ldpcsw-code 1 "more ones than the column weight" "info in.alist" -- "$bin/ldpcsw-code" info in.alist
fresh; try ldpcsw-code 2 "n below 21" "build --n 20 --m 10" -- "$bin/ldpcsw-code" build --n 20 --m 10 --dat x.dat
fresh; try ldpcsw-code 2 "m above n" "build --n 30 --m 31" -- "$bin/ldpcsw-code" build --n 30 --m 31 --dat x.dat
fresh; cp "$shipped_alist" "$dir/in.dat"; try ldpcsw-code 1 "an alist file named .dat" "info in.dat" -- "$bin/ldpcsw-code" info in.dat
fresh; try ldpcsw-code 1 "unwritable output" "convert Reg504252.dat /nonexistent/x.alist" -- "$bin/ldpcsw-code" convert "$shipped_dat" /nonexistent/x.alist

# The plain decoder's experiment over an alist file.
fresh; try ldpcsw-plain 2 "two arguments" "command line" -- "$bin/ldpcsw-plain" a.alist b.alist
fresh; try ldpcsw-plain 2 "unknown option" "--frobnicate" -- "$bin/ldpcsw-plain" --frobnicate
fresh; try ldpcsw-plain 1 "missing file" "default Reg504252.alist absent" -- "$bin/ldpcsw-plain"
fresh; half "$shipped_alist" >"$dir/h.alist"; try ldpcsw-plain 1 "shipped alist cut in half" "h.alist" -- "$bin/ldpcsw-plain" h.alist
fresh h.alist '4 2 2 2\n2 2 2 2\n4 4\n1 2\n1 2\n1 3\n1 2\n'; try ldpcsw-plain 1 "row beyond m" "h.alist" -- "$bin/ldpcsw-plain" h.alist
fresh h.alist '2000000000 1000000000 3 6\n3 3 3\n'; try ldpcsw-plain 1 "huge counts, short file" "h.alist" -- "$bin/ldpcsw-plain" h.alist
fresh h.alist '4 2 2 2\n2 1 1 1\n2 2\n2 2\n1 0\n1 0\n1 0\n'; try ldpcsw-plain 1 "a one listed twice" "h.alist" -- "$bin/ldpcsw-plain" h.alist
fresh; cp "$shipped_dat" "$dir/h.alist"; try ldpcsw-plain 1 "a row-list file" "h.alist" -- "$bin/ldpcsw-plain" h.alist
fresh; mkdir "$dir/Reg504252.alist"; try ldpcsw-plain 1 "Reg504252.alist is a folder" "folder in its place" -- "$bin/ldpcsw-plain"

# The window search on a probability profile.
fresh; try ldpcsw-window 1 "no argument" "command line" -- "$bin/ldpcsw-window"
fresh; try ldpcsw-window 1 "missing file" "p.txt absent" -- "$bin/ldpcsw-window" p.txt
fresh p.txt ''; try ldpcsw-window 1 "empty file" "p.txt" -- "$bin/ldpcsw-window" p.txt
fresh p.txt '0.5\n0.25 0.5\n'; try ldpcsw-window 1 "two numbers on a line" "p.txt" -- "$bin/ldpcsw-window" p.txt
fresh p.txt '0.5\nabc\n'; try ldpcsw-window 1 "a line that is not a number" "p.txt" -- "$bin/ldpcsw-window" p.txt
fresh p.txt '0.5\n\n0.5\n'; try ldpcsw-window 1 "an empty line inside" "p.txt" -- "$bin/ldpcsw-window" p.txt
fresh; try ldpcsw-window 1 "two arguments" "command line" -- "$bin/ldpcsw-window" p.txt q.txt
fresh p.txt '0.5\n1.5\n'; try ldpcsw-window 1 "a probability above 1" "p.txt" -- "$bin/ldpcsw-window" p.txt
fresh p.txt '0.5\nnan\n'; try ldpcsw-window 1 "not a finite number" "p.txt" -- "$bin/ldpcsw-window" p.txt

# The error-rate sweep.
fresh; try ldpcsw-sweep 2 "no --p" "command line" -- "$bin/ldpcsw-sweep" --matrix "$shipped_dat"
fresh; try ldpcsw-sweep 2 "p outside (0, 0.5]" "--p 0.7" -- "$bin/ldpcsw-sweep" --matrix "$shipped_dat" --p 0.7
fresh; try ldpcsw-sweep 2 "zero blocks" "--blocks 0" -- "$bin/ldpcsw-sweep" --matrix "$shipped_dat" --p 0.05 --blocks 0
fresh; try ldpcsw-sweep 1 "missing matrix" "--matrix missing.dat" -- "$bin/ldpcsw-sweep" --matrix missing.dat --p 0.05
fresh; try ldpcsw-sweep 2 "blocks above 2^53" "--blocks 1e20" -- "$bin/ldpcsw-sweep" --matrix "$shipped_dat" --p 0.05 --blocks 1e20
fresh; try ldpcsw-sweep 2 "threads not a number" "--threads abc" -- "$bin/ldpcsw-sweep" --matrix "$shipped_dat" --p 0.05 --threads abc
fresh; try ldpcsw-sweep 2 "an option given twice" "--csv a.csv --csv b.csv" -- "$bin/ldpcsw-sweep" --matrix "$shipped_dat" --p 0.05 --csv a.csv --csv b.csv
fresh; try ldpcsw-sweep 2 "a value missing" "--blocks" -- "$bin/ldpcsw-sweep" --matrix "$shipped_dat" --p 0.05 --blocks
fresh; try ldpcsw-sweep 2 "unknown option" "--frobnicate" -- "$bin/ldpcsw-sweep" --matrix "$shipped_dat" --p 0.05 --frobnicate
fresh huge.dat '2147483647 1 1\n5\n'; try ldpcsw-sweep 1 "n = 2147483647, one row" "--matrix huge.dat" -- "$bin/ldpcsw-sweep" --matrix huge.dat --p 0.05 -q
fresh; try ldpcsw-sweep 1 "an alist file as rows" "--format rows" -- "$bin/ldpcsw-sweep" --matrix "$shipped_alist" --format rows --p 0.05
fresh; try ldpcsw-sweep 1 "a row-list file as alist" "--format alist" -- "$bin/ldpcsw-sweep" --matrix "$shipped_dat" --format alist --p 0.05
fresh; try ldpcsw-sweep 1 "a folder" "--matrix ." -- "$bin/ldpcsw-sweep" --matrix . --p 0.05
fresh h.dat ''; try ldpcsw-sweep 1 "empty file" "--matrix h.dat" -- "$bin/ldpcsw-sweep" --matrix h.dat --p 0.05
fresh h.dat '21 2 3\n1 2 3\n4 5 4\n'; try ldpcsw-sweep 1 "a one listed twice" "--matrix h.dat" -- "$bin/ldpcsw-sweep" --matrix h.dat --p 0.05
fresh; half "$shipped_dat" >"$dir/h.dat"; try ldpcsw-sweep 1 "shipped matrix cut in half" "--matrix h.dat" -- "$bin/ldpcsw-sweep" --matrix h.dat --p 0.05 --blocks 1
fresh; try ldpcsw-sweep 2 "a threshold outside (0, 0.5)" "--threshold 0.5" -- "$bin/ldpcsw-sweep" --matrix "$shipped_dat" --p 0.05 --threshold 0.5
fresh h.dat '24 2 12\n1 2 3 4 5 6 7 8 9 10 11 12\n12 13 14 15 16 17 18 19 20 21 22 23\n'; try ldpcsw-sweep 1 "--threshold auto, a column without ones" "--threshold auto" -- "$bin/ldpcsw-sweep" --matrix h.dat --p 0.05 --blocks 1 --threshold auto
# The sweep's CSV: never the matrix or a device, never continued from rows it did not write.
fresh; cp "$shipped_dat" "$dir/h.dat"; try ldpcsw-sweep 2 "--csv is the matrix" "--csv h.dat --overwrite" -- "$bin/ldpcsw-sweep" --matrix h.dat --p 0.05 --blocks 1 --csv h.dat --overwrite
fresh; try ldpcsw-sweep 2 "--csv a device" "--csv /dev/null" -- "$bin/ldpcsw-sweep" --matrix "$shipped_dat" --p 0.05 --blocks 1 --csv /dev/null
fresh; try ldpcsw-sweep 2 "empty --csv" '--csv ""' -- "$bin/ldpcsw-sweep" --matrix "$shipped_dat" --p 0.05 --blocks 1 --csv ""
fresh; try ldpcsw-sweep 2 "--device for an exact decoder" "--device gpu" -- "$bin/ldpcsw-sweep" --matrix "$shipped_dat" --p 0.05 --blocks 1 --device gpu
fresh; try ldpcsw-sweep 2 "an unknown device" "--decoder minsum-layered --device tpu" -- "$bin/ldpcsw-sweep" --matrix "$shipped_dat" --p 0.05 --blocks 1 --decoder minsum-layered --device tpu
fresh; try ldpcsw-sweep 2 "min-sum correction for the sum-product" "--decoder spa-layered --offset 2" -- "$bin/ldpcsw-sweep" --matrix "$shipped_dat" --p 0.05 --blocks 1 --decoder spa-layered --offset 2
fresh; try ldpcsw-sweep 2 "a-posteriori width for flooding" "--decoder minsum-flooding --posterior-bits 8" -- "$bin/ldpcsw-sweep" --matrix "$shipped_dat" --p 0.05 --blocks 1 --decoder minsum-flooding --posterior-bits 8
fresh; try ldpcsw-sweep 2 "a-posteriori width out of range" "--decoder minsum-layered --posterior-bits 12" -- "$bin/ldpcsw-sweep" --matrix "$shipped_dat" --p 0.05 --blocks 1 --decoder minsum-layered --posterior-bits 12
fresh; try ldpcsw-sweep 0 "more threads than the cores serve (runs at most 4 per core, says so)" "--threads 4096" -- "$bin/ldpcsw-sweep" --matrix "$shipped_dat" --p 0.05 --blocks 2 --threads 4096
fresh; try ldpcsw-sweep 0 "AVX-512 by its common name (accepted where the machine has it)" "--simd-target avx512" -- sh -c '"$0" "$@" || [ $? -eq 2 ]' "$bin/ldpcsw-sweep" --matrix "$shipped_dat" --p 0.05 --blocks 1 --decoder minsum-layered --simd-target avx512
fresh; try ldpcsw-code 2 "a column degree the density grid cannot sum" "threshold --column-weight 5000 --rate 0.5" -- "$bin/ldpcsw-code" threshold --column-weight 5000 --rate 0.5
sweep_csv=(--matrix "$shipped_dat" --p 0.07 --blocks 100 --max-frame-errors 5 --csv s.csv -q)
fresh; (cd "$dir" && "$bin/ldpcsw-sweep" "${sweep_csv[@]}" >/dev/null 2>&1); sed -i '2s/,5,/,4,/' "$dir/s.csv"
try ldpcsw-sweep 1 "a frame-error count lowered in the CSV" "--resume" -- "$bin/ldpcsw-sweep" "${sweep_csv[@]}" --resume
fresh; cp "$root/docs/sweep-Reg504252.csv.run" "$dir/s.csv.run"; sed -i 's/^blocks=.*/blocks=100/; s/^max_frame_errors=.*/max_frame_errors=5/' "$dir/s.csv.run"
printf 'p,h_p,blocks,frame_errors,bit_errors,fer,fer_lo,fer_hi,ber,ber_lo,ber_hi,avg_iterations,seconds,blocks_per_second\n0.07,0.37,20,5,100,0.25,0,1,0,0,1,20,1,20\n' >"$dir/s.csv"
try ldpcsw-sweep 1 "a CSV of an earlier version" "--resume" -- "$bin/ldpcsw-sweep" "${sweep_csv[@]}" --resume
fresh; (cd "$dir" && "$bin/ldpcsw-sweep" "${sweep_csv[@]}" >/dev/null 2>&1); echo 'seed=2' >>"$dir/s.csv.run"
try ldpcsw-sweep 1 "FILE.run with a key twice" "--resume" -- "$bin/ldpcsw-sweep" "${sweep_csv[@]}" --resume
fresh; (cd "$dir" && "$bin/ldpcsw-sweep" "${sweep_csv[@]}" >/dev/null 2>&1); echo 'colour=blue' >>"$dir/s.csv.run"
try ldpcsw-sweep 1 "FILE.run with an unknown key" "--resume" -- "$bin/ldpcsw-sweep" "${sweep_csv[@]}" --resume
sweep_two=(--matrix "$shipped_dat" --blocks 100 --max-frame-errors 5 --csv s.csv -q)
fresh; (cd "$dir" && "$bin/ldpcsw-sweep" "${sweep_two[@]}" --p 0.07,0.08 >/dev/null 2>&1)
try ldpcsw-sweep 1 "a --p list shorter than the CSV (FILE.run left as it was)" "--resume --threshold 0.05" -- "$bin/ldpcsw-sweep" "${sweep_two[@]}" --p 0.07 --resume --threshold 0.05
fresh; try ldpcsw-sweep 1 "a start that cannot write (full disk)" "ulimit -f 0" -- bash -c "set -o pipefail; (ulimit -f 0; trap '' XFSZ; exec '$bin/ldpcsw-sweep' --matrix '$shipped_dat' --p 0.05 --blocks 1 --csv c.csv) 2>&1 | cat >&2"
fresh; try ldpcsw-sweep 2 "two p that draw the same noise" "--p '0.06 0.06000000000000001'" -- "$bin/ldpcsw-sweep" --matrix "$shipped_dat" --p '0.06 0.06000000000000001'
fresh; try ldpcsw-sweep 2 "p below the noise drawing's resolution" "--p 4.9e-324" -- "$bin/ldpcsw-sweep" --matrix "$shipped_dat" --p 4.9e-324
fresh; try ldpcsw-sweep 2 "blocks above 2^53 in exponent form" "--blocks 9.007199254740993e15" -- "$bin/ldpcsw-sweep" --matrix "$shipped_dat" --p 0.05 --blocks 9.007199254740993e15
fresh; try ldpcsw-sweep 2 "an empty threshold" "--threshold ''" -- "$bin/ldpcsw-sweep" --matrix "$shipped_dat" --p 0.05 --threshold ''
fresh; try ldpcsw-sweep 2 "an empty SIMD target" "--simd-target ''" -- "$bin/ldpcsw-sweep" --matrix "$shipped_dat" --p 0.05 --decoder minsum-layered --simd-target ''
fresh; try ldpcsw-code 0 "row degrees the columns' ones cannot realise (warning)" "--row-degrees 6:0.5,7:0.5" -- "$bin/ldpcsw-code" build --n 1000 --m 500 --row-degrees 6:0.5,7:0.5

# Rate adaptation chains (ldpcsw-code rate-adapt and info CHAIN --matrix).
chain_head='ldpcsw-rate-adapt 1\nmatrix 504 252 52f7b8e1f89edd9e\n'
fresh c.txt "${chain_head}steps 1\n1 253\n"; try ldpcsw-code 1 "chain: a row out of range" "info c.txt --matrix Reg504252.dat" -- "$bin/ldpcsw-code" info c.txt --matrix "$shipped_dat"
fresh c.txt "${chain_head}steps 2\n1 2\n3 2\n"; try ldpcsw-code 1 "chain: a row merged away twice" "info c.txt" -- "$bin/ldpcsw-code" info c.txt
fresh c.txt "${chain_head}steps 2\n1 2\n2 3\n"; try ldpcsw-code 1 "chain: a pair naming a row already merged away" "info c.txt" -- "$bin/ldpcsw-code" info c.txt
fresh c.txt "${chain_head}steps 1\n4 4\n"; try ldpcsw-code 1 "chain: a row merged with itself" "info c.txt" -- "$bin/ldpcsw-code" info c.txt
fresh c.txt "${chain_head}steps 3\n1 2\n"; try ldpcsw-code 1 "chain: fewer merges than its steps line" "info c.txt" -- "$bin/ldpcsw-code" info c.txt
fresh c.txt "${chain_head}steps 1\n1 2\n3 4\n"; try ldpcsw-code 1 "chain: a merge after the last" "info c.txt" -- "$bin/ldpcsw-code" info c.txt
fresh c.txt "${chain_head}steps 252\n"; try ldpcsw-code 1 "chain: more merges than rows" "info c.txt" -- "$bin/ldpcsw-code" info c.txt
fresh c.txt 'ldpcsw-rate-adapt 2\n'; try ldpcsw-code 1 "chain: another version" "info c.txt" -- "$bin/ldpcsw-code" info c.txt
fresh c.txt 'ldpcsw-rate-adapt 1\nmatrix 504 252 52f7b8e1\n'; try ldpcsw-code 1 "chain: a short fingerprint" "info c.txt" -- "$bin/ldpcsw-code" info c.txt
fresh c.txt 'ldpcsw-rate-adapt 1\nmatrix 504 252 0000000000000000\nsteps 1\n1 2\n'; try ldpcsw-code 1 "chain: made for another matrix" "info c.txt --matrix Reg504252.dat" -- "$bin/ldpcsw-code" info c.txt --matrix "$shipped_dat"
fresh c.txt 'ldpcsw-rate-adapt 1\nmatrix 504 250 0000000000000000\nsteps 1\n1 2\n'; try ldpcsw-code 1 "chain: made for a matrix of another size" "info c.txt --matrix Reg504252.dat" -- "$bin/ldpcsw-code" info c.txt --matrix "$shipped_dat"
fresh c.dat "${chain_head}steps 0\n"; try ldpcsw-code 1 "a chain given as a matrix" "convert c.dat x.alist" -- "$bin/ldpcsw-code" convert c.dat x.alist
fresh; try ldpcsw-code 2 "both a count and a lowest rate" "rate-adapt Reg504252.dat --out c.txt --steps 1 --min-rate 0.3" -- "$bin/ldpcsw-code" rate-adapt "$shipped_dat" --out c.txt --steps 1 --min-rate 0.3
fresh; try ldpcsw-code 2 "too many merges" "rate-adapt Reg504252.dat --out c.txt --steps 252" -- "$bin/ldpcsw-code" rate-adapt "$shipped_dat" --out c.txt --steps 252
fresh; try ldpcsw-code 2 "a lowest rate above the mother's" "rate-adapt Reg504252.dat --out c.txt --min-rate 0.6" -- "$bin/ldpcsw-code" rate-adapt "$shipped_dat" --out c.txt --min-rate 0.6
fresh; try ldpcsw-code 2 "no output" "rate-adapt Reg504252.dat" -- "$bin/ldpcsw-code" rate-adapt "$shipped_dat"
# Critical-rate runs (ldpcsw-sweep --rate-adaptive).
fresh c.txt 'ldpcsw-rate-adapt 1\nmatrix 10000 5000 0000000000000000\nsteps 1\n1 2\n'; try ldpcsw-sweep 1 "a chain of another matrix" "--rate-adaptive other.chain" -- "$bin/ldpcsw-sweep" --matrix "$shipped_dat" --rate-adaptive c.txt --p 0.05
fresh; try ldpcsw-sweep 2 "a frame-error limit on a critical-rate run" "--rate-adaptive c.chain --max-frame-errors 10" -- "$bin/ldpcsw-sweep" --matrix "$shipped_dat" --rate-adaptive c.chain --p 0.05 --max-frame-errors 10
fresh; try ldpcsw-sweep 2 "an unknown search" "--rate-adaptive c.chain --search all" -- "$bin/ldpcsw-sweep" --matrix "$shipped_dat" --rate-adaptive c.chain --p 0.05 --search all

# The matrix-size probe.
fresh; try ldpcsw-scale 2 "no argument" "command line" -- "$bin/ldpcsw-scale"
fresh; try ldpcsw-scale 2 "unknown form" "h.txt" -- "$bin/ldpcsw-scale" h.txt

# The readers themselves, through ldpcsw-scale (exit 1: the reader refused the file).
fresh h.dat '2000000000 1000000000 3\n1 2 3\n'; try read_code_rows 1 "m * maxCdeg beyond int" "file" -- "$bin/ldpcsw-scale" h.dat --bound-only
fresh h.dat '2000000000 1000000000 2\n1 2 3 4 5\n'; try read_code_rows 1 "huge counts, short file" "file" -- "$bin/ldpcsw-scale" h.dat --bound-only
fresh h.dat '30 3 2\n1 -4\n'; try read_code_rows 1 "negative column" "file" -- "$bin/ldpcsw-scale" h.dat --bound-only
fresh h.dat '30 3 2\n1 4294967297\n'; try read_code_rows 1 "value beyond int" "file" -- "$bin/ldpcsw-scale" h.dat --bound-only
fresh h.dat '30 3 2\n1 2.5\n'; try read_code_rows 1 "a token that is not an integer" "file" -- "$bin/ldpcsw-scale" h.dat --bound-only
fresh h.dat '21 1 5\n5 3 5 0 3\n'; try read_code_rows 1 "a column listed twice" "file" -- "$bin/ldpcsw-scale" h.dat --bound-only
fresh h.dat '21 1 2\n1 2\n0\n'; try read_code_rows 1 "values after the last row" "file" -- "$bin/ldpcsw-scale" h.dat --bound-only
fresh; cp "$shipped_alist" "$dir/h.dat"; try read_code_rows 1 "an alist file" "file" -- "$bin/ldpcsw-scale" h.dat --bound-only
fresh h.alist '4 2 2 2\n2 1 1 1\n2 2\n2 2\n1 0\n1 0\n1 0\n'; try read_code_alist 1 "a row listed twice" "file" -- "$bin/ldpcsw-scale" h.alist --bound-only
fresh; cp "$shipped_dat" "$dir/h.alist"; try read_code_alist 1 "a row-list file" "file" -- "$bin/ldpcsw-scale" h.alist --bound-only
fresh h.alist '2000000000 1000000000 3 6\n3 3 3\n'; try read_code_alist 1 "huge counts, short file" "file" -- "$bin/ldpcsw-scale" h.alist --bound-only
fresh h.alist '4 2 2 2\n1 1 1 1\n2 2\n1 2\n1 0\n1 0\n1 0\n'; try read_code_alist 1 "more ones than the column weight" "file" -- "$bin/ldpcsw-scale" h.alist --bound-only
fresh h.alist '4 2 2 2\n1 3 1 1\n2 2\n1 0\n1 2\n1 0\n1 0\n'; try read_code_alist 1 "column weight above maxVdeg" "file" -- "$bin/ldpcsw-scale" h.alist --bound-only
fresh h.alist '4 2 2 2\n1 1 1 1\n2 -2\n1 0\n1 0\n1 0\n1 0\n'; try read_code_alist 1 "negative row weight" "file" -- "$bin/ldpcsw-scale" h.alist --bound-only
fresh h.alist '4 2 2 2\n1 1 1 1\n2 2\n1 0\n3 0\n1 0\n1 0\n'; try read_code_alist 1 "row beyond m" "file" -- "$bin/ldpcsw-scale" h.alist --bound-only

exit $failed
