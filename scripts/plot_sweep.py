#!/usr/bin/python3
"""Plot an ldpcsw-sweep CSV: FER and BER against the crossover probability p, log scale,
with 95% Wilson intervals and the Slepian-Wolf limit H(p) = m/n marked.

  scripts/plot_sweep.py sweep.csv -o sweep.png          # m/n from sweep.csv.run
  scripts/plot_sweep.py sweep.csv -o sweep.svg --rate 0.5

Points without errors are drawn at their 95% upper bound as open downward triangles;
an unfinished (partial) point is drawn open.
"""
import argparse
import csv
import math
import os
import sys

HEADER = ("p,h_p,blocks,frame_errors,bit_errors,fer,fer_lo,fer_hi,ber,ber_lo,ber_hi,"
          "avg_iterations,seconds,blocks_per_second").split(",")


def binary_entropy(p):
    if p <= 0.0 or p >= 1.0:
        return 0.0
    return -p * math.log2(p) - (1.0 - p) * math.log2(1.0 - p)


def slepian_wolf_limit(rate):
    """The p in (0, 1/2] with H(p) = rate: decoding can succeed only for H(p) < m/n."""
    if rate >= 1.0:
        return 0.5
    lo, hi = 0.0, 0.5
    for _ in range(100):
        mid = 0.5 * (lo + hi)
        if binary_entropy(mid) < rate:
            lo = mid
        else:
            hi = mid
    return 0.5 * (lo + hi)


def read_rows(path):
    rows = []
    with open(path, newline="") as f:
        reader = csv.reader(f)
        header = next(reader, None)
        if header != HEADER:
            sys.exit(f"{path}: not an ldpcsw-sweep CSV (header differs)")
        for number, fields in enumerate(reader, start=2):
            if not fields:
                continue
            partial = len(fields) == 15 and fields[14] == "partial"
            if len(fields) != 14 and not partial:
                sys.exit(f"{path}: line {number}: {len(fields)} fields instead of 14")
            row = {name: float(value) for name, value in zip(HEADER, fields)}
            row["partial"] = partial
            rows.append(row)
    if not rows:
        sys.exit(f"{path}: no points to plot")
    return rows


def read_rate(csv_path):
    settings = {}
    try:
        with open(csv_path + ".run") as f:
            for line in f:
                key, _, value = line.strip().partition("=")
                settings[key] = value
        return int(settings["m"]) / int(settings["n"]), settings
    except (OSError, KeyError, ValueError, ZeroDivisionError):
        return None, settings


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("csv", help="CSV written by ldpcsw-sweep --csv")
    parser.add_argument("-o", "--output", help="picture file, .png or .svg (default: CSV name .png)")
    parser.add_argument("--rate", type=float,
                        help="m/n of the matrix (default: read from CSV.run)")
    parser.add_argument("--title", help="title of the picture")
    args = parser.parse_args()

    try:
        import matplotlib
    except ImportError:
        sys.exit("matplotlib is missing: install Debian's python3-matplotlib (scripts/deps.sh) "
                 "and run this script with /usr/bin/python3")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = read_rows(args.csv)
    rate, settings = read_rate(args.csv)
    if args.rate is not None:
        rate = args.rate
    if rate is None:
        sys.exit(f"{args.csv}.run is missing or incomplete: give --rate m/n")
    if not 0.0 < rate <= 1.0:
        sys.exit(f"--rate {rate}: must lie in (0, 1]")
    output = args.output or os.path.splitext(args.csv)[0] + ".png"

    fig, ax = plt.subplots(figsize=(7.5, 5.0))
    styles = (("fer", "frame_errors", "FER", "tab:blue", "o", "-"),
              ("ber", "bit_errors", "BER", "tab:red", "s", "--"))
    for key, count, label, colour, marker, line in styles:
        seen = [r for r in rows if r[count] > 0]
        if seen:
            ax.errorbar([r["p"] for r in seen], [r[key] for r in seen],
                        yerr=[[r[key] - r[key + "_lo"] for r in seen],
                              [r[key + "_hi"] - r[key] for r in seen]],
                        fmt=marker + line, color=colour, lw=1.2, ms=5, capsize=2,
                        label=f"{label} (95% Wilson interval)")
        for r in seen:
            if r["partial"]:  # unfinished point: open marker over the filled one
                ax.plot(r["p"], r[key], marker, color=colour, mfc="white", ms=5)
        unseen = [r for r in rows if r[count] == 0]
        if unseen:
            ax.plot([r["p"] for r in unseen], [r[key + "_hi"] for r in unseen], "v",
                    color=colour, mfc="none", ms=6,
                    label=f"{label}: no errors (95% upper bound)")

    limit = slepian_wolf_limit(rate)
    ax.axvline(limit, color="black", lw=1.0, ls=":")
    ax.text(limit, 0.98, f" Slepian-Wolf limit\n H(p) = m/n = {rate:g}\n p = {limit:.4f}",
            transform=ax.get_xaxis_transform(), va="top", ha="left", fontsize=8)
    ps = [r["p"] for r in rows]
    ax.set_xlim(min(ps) - 0.005, max(max(ps), limit) + 0.01)
    ax.set_yscale("log")
    ax.set_xlabel("crossover probability p of the side information")
    ax.set_ylabel("error rate")
    decoder = settings.get("decoder")
    title = args.title
    if title is None:
        title = os.path.basename(args.csv)
        if "n" in settings and "m" in settings:
            title = f"n = {settings['n']}, m = {settings['m']}"
        if decoder:
            title += f", {decoder} decoder"
    ax.set_title(title)
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(loc="lower right", fontsize=8)
    fig.tight_layout()
    fig.savefig(output, dpi=120)
    print(output)


if __name__ == "__main__":
    main()
