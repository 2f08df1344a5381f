"""Blocks per second of the decoders from Python (ldpcsw.decode on batches) against the C++
sweep (ldpcsw-sweep) on the same blocks, in one run, and the cost of one Python call.

    python bench/python_speed.py [BUILD_DIR] [--decoder NAME] [--blocks N] [--threads T]

The sweep decodes blocks 0..N-1 of (seed 1, p) and draws each block itself; the Python side
draws the same blocks with ldpcsw.blocks and decodes them with ldpcsw.decode, batch by batch
(64, 256 and N blocks), both timed, and counts the failed blocks with numpy; "decode only"
times ldpcsw.decode alone on blocks drawn beforehand. Needs the module importable (pip install . or PYTHONPATH=BUILD/python).
"""
import argparse
import csv
import pathlib
import subprocess
import tempfile
import time

import ldpcsw

ap = argparse.ArgumentParser()
ap.add_argument("build", nargs="?", default="build")
ap.add_argument("--decoder", default="minsum-layered")
ap.add_argument("--blocks", type=int, default=20000)
ap.add_argument("--threads", type=int, default=1)
ap.add_argument("--p", type=float, default=0.05)
ap.add_argument("--repeat", type=int, default=3)
a = ap.parse_args()
root = pathlib.Path(__file__).resolve().parents[1]
matrix = root / "data" / "Reg504252.dat"
H = ldpcsw.read_matrix(str(matrix))


def cxx_rate():
    with tempfile.TemporaryDirectory() as tmp:
        out = pathlib.Path(tmp) / "s.csv"
        subprocess.run([str(pathlib.Path(a.build) / "bin" / "ldpcsw-sweep"), "--matrix", str(matrix),
                        "--p", str(a.p), "--blocks", str(a.blocks), "--max-frame-errors", "0",
                        "--decoder", a.decoder, "--threads", str(a.threads), "--seed", "1",
                        "--quiet", "--csv", str(out)], check=True, stdout=subprocess.DEVNULL)
        row = next(csv.DictReader(open(out)))
        return int(row["blocks"]) / float(row["seconds"]), int(row["frame_errors"])


t0 = time.perf_counter()
x, y, s = ldpcsw.blocks(H, seed=1, p=a.p, first=0, count=a.blocks)
draw = a.blocks / (time.perf_counter() - t0)


def py_rate(batch, drawn=False):
    t0 = time.perf_counter()
    fails = 0
    for i in range(0, a.blocks, batch):
        if drawn:
            bx, by, bs = x[i:i + batch], y[i:i + batch], s[i:i + batch]
        else:
            bx, by, bs = ldpcsw.blocks(H, seed=1, p=a.p, first=i, count=min(batch, a.blocks - i))
        x_hat, _, _ = ldpcsw.decode(H, by, bs, a.p, decoder=a.decoder, threads=a.threads)
        fails += int((x_hat != bx).any(axis=1).sum())
    return a.blocks / (time.perf_counter() - t0), fails


print(f"decoder {a.decoder}, p {a.p}, {a.blocks} blocks, {a.threads} thread(s); "
      f"best of {a.repeat} alternating runs")
best = {}
for _ in range(a.repeat):
    runs = [("C++ sweep", cxx_rate)]
    runs += [(f"Python batch {b}", lambda b=b: py_rate(b)) for b in (64, 256, a.blocks)]
    runs += [(f"decode only, batch {b}", lambda b=b: py_rate(b, True)) for b in (64, 256)]
    for name, run in runs:
        rate, fails = run()
        if rate > best.get(name, (0, 0))[0]:
            best[name] = (rate, fails)
ref = best["C++ sweep"][0]
for name, (rate, fails) in best.items():
    print(f"{name:>24}: {rate:10.0f} blocks/s  ({rate / ref - 1:+.1%} vs C++)  frame errors {fails}")
print(f"{'drawing (Python)':>24}: {draw:10.0f} blocks/s (ldpcsw.blocks, one thread)")

# The cost of a call: the same K blocks decoded one per call and all in one call.
K = min(a.blocks, 2000)
for _ in range(2):
    t0 = time.perf_counter()
    for k in range(K):
        ldpcsw.decode(H, y[k:k + 1], s[k:k + 1], a.p, decoder=a.decoder, threads=1)
    single = (time.perf_counter() - t0) / K
    t0 = time.perf_counter()
    ldpcsw.decode(H, y[:K], s[:K], a.p, decoder=a.decoder, threads=1)
    batched = (time.perf_counter() - t0) / K
print(f"{K} blocks one per call: {single * 1e6:.1f} us per call; in one call: "
      f"{batched * 1e6:.1f} us per block; difference {(single - batched) * 1e6:.1f} us per call")
