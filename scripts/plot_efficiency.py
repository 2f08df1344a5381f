#!/usr/bin/python3
"""Plot the CSVs of ldpcsw-sweep --rate-adaptive: efficiency f = R̄/H(p) against p.

  scripts/plot_efficiency.py rate.csv -o rate.png          # chain and mother from rate.csv.run
  scripts/plot_efficiency.py a.csv b.csv -o both.png       # one curve per CSV, one figure
  scripts/plot_efficiency.py rate.csv --fixed mother.csv   # and a fixed-rate sweep's points

Each CSV gives its mean critical rate's efficiency R̄/H(p) with the 95% interval, and beside it,
dotted, the efficiency R/H(p) of its mother code used at its own fixed rate R = rank(H)/n (from
FILE.run). The Slepian-Wolf limit is f = 1. --fixed adds, for an error-rate sweep of a
fixed-rate code (ldpcsw-sweep --csv), R/H(p) at the points where its FER's 95% upper bound is at
most --fer (default 1e-3): what that code achieves where it works. The rows are read with the
rules of --resume: whole, consistent, their checks matching.
"""
import argparse
import math
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import plot_sweep  # noqa: E402  (the sweep CSV's reader, the checks and the entropy)

HEADER = ("p,h_p,blocks,rate,rate_lo,rate_hi,efficiency,efficiency_lo,efficiency_hi,rate_q05,"
          "rate_q50,rate_q95,undecoded,undetected,decodes,iterations,seconds,blocks_per_second,"
          "histogram,check").split(",")
COUNTS = ("blocks", "undecoded", "undetected", "decodes", "iterations")


def fail(message):
    sys.exit(f"plot_efficiency.py: {message}")


def read_rows(path, settings):
    """Rows of a critical-rate CSV as dicts; exits with one line on a bad file."""
    lines = plot_sweep.read_text(path, fail).split("\n")
    if lines.pop().strip():
        print(f"plot_efficiency.py: {path}: the last line was cut off (an interrupted write); "
              "left out", file=sys.stderr)
    if not lines or lines[0].rstrip("\r").split(",") != HEADER:
        fail(f"{path}: line 1: not the header of an ldpcsw-sweep --rate-adaptive CSV")
    keys = sorted(k for k in settings if k and k not in plot_sweep.INFORMATIONAL)
    settings_text = "".join(f"{k}={settings[k]}\n" for k in keys) if "rate_adaptive" in settings \
        else None
    if settings_text is None:
        print(f"plot_efficiency.py: {path}.run is missing or incomplete; the rows' checks are "
              "not verified", file=sys.stderr)
    rows, chain = [], ""
    for number, line in enumerate(lines[1:], start=2):
        line = line.rstrip("\r")
        if not line.strip():
            continue
        fields = line.split(",")
        partial = len(fields) == len(HEADER) + 1 and fields[-1] == "partial"
        if partial:
            fields.pop()
        if len(fields) != len(HEADER):
            fail(f"{path}: line {number}: {len(fields)} fields instead of {len(HEADER)}")
        row = {"partial": partial}
        try:
            for name, value in zip(HEADER, fields):
                if name in ("check", "histogram"):
                    continue
                row[name] = int(value) if name in COUNTS else float(value)
        except ValueError:
            fail(f"{path}: line {number}: a field is not a number")
        if row["blocks"] <= 0 or not 0 <= row["undecoded"] <= row["blocks"] or \
                not row["rate_lo"] <= row["rate"] <= row["rate_hi"]:
            fail(f"{path}: line {number}: the counts cannot all hold")
        if settings_text is not None:
            body = ",".join(fields[:-1]) + (",partial" if partial else "")
            check = plot_sweep.row_check(settings_text, chain, body)
            if fields[-1] != check:
                fail(f"{path}: line {number}: the row does not match its check: it was edited, "
                     "moved, or comes from another run or file")
            chain = check
        rows.append(row)
    if not rows:
        fail(f"{path}: no points to plot")
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("csv", nargs="+", help="CSV written by ldpcsw-sweep --rate-adaptive "
                        "--csv; several give one curve each in one figure")
    parser.add_argument("-o", "--output", help="picture file (default: first CSV's name .png)")
    parser.add_argument("--fixed", action="append", default=[],
                        help="an error-rate sweep CSV of a fixed-rate code (may be repeated)")
    parser.add_argument("--fer", type=float, default=1e-3,
                        help="--fixed points drawn where the FER's upper bound is at most this")
    parser.add_argument("--title", help="title of the picture")
    args = parser.parse_args()
    if not 0.0 < args.fer < 1.0:
        fail(f"--fer {args.fer}: must lie in (0, 1)")
    output = args.output or os.path.splitext(args.csv[0])[0] + ".png"
    fig, ax = plot_sweep.open_figure(output, fail)
    colours = ["tab:blue", "tab:red", "tab:green", "tab:purple", "tab:orange", "tab:brown"]
    all_ps, mothers, top = [], [], 1.0
    for i, path in enumerate(args.csv):
        settings = plot_sweep.read_settings(path)
        rows = sorted(read_rows(path, settings), key=lambda r: r["p"])
        colour = colours[i % len(colours)]
        ps = [r["p"] for r in rows]
        all_ps += ps
        name = f"n = {settings.get('n', '?')}, {settings.get('decoder', '?')}"
        ax.errorbar(ps, [r["efficiency"] for r in rows],
                    yerr=[[r["efficiency"] - r["efficiency_lo"] for r in rows],
                          [r["efficiency_hi"] - r["efficiency"] for r in rows]],
                    fmt="o-", color=colour, capsize=2, label=f"{name}: R̄/H(p)")
        open_ps = [r for r in rows if r["partial"]]
        if open_ps:
            ax.plot([r["p"] for r in open_ps], [r["efficiency"] for r in open_ps], "o",
                    color=colour, mfc="white", ls="none")
        top = max(top, max(r["efficiency_hi"] for r in rows))
        rate, _ = plot_sweep.rate_of(settings)
        mother = settings.get("matrix")
        if mother in mothers:  # one fixed-rate curve per mother, however many runs use it
            continue
        mothers.append(mother)
        if rate is not None and 0.0 < rate <= 1.0:
            grid = [ps[0] + (ps[-1] - ps[0]) * k / 100 for k in range(101)]
            ax.plot(grid, [rate / plot_sweep.binary_entropy(p) for p in grid], ":",
                    color=colour, label=f"mother at its fixed rate {rate:.3f}")
    for path in args.fixed:
        settings = plot_sweep.read_settings(path)
        rows, _ = plot_sweep.read_rows(path, settings)
        rate, _ = plot_sweep.rate_of(settings)
        if rate is None:
            fail(f"{path}.run is missing or incomplete: the fixed rate is unknown")
        good = sorted((r for r in rows if r["fer_hi"] <= args.fer), key=lambda r: r["p"])
        if good:
            ax.plot([r["p"] for r in good], [rate / plot_sweep.binary_entropy(r["p"]) for r in good],
                    "s", mfc="none", label=f"fixed rate {rate:.3f}, FER ≤ {args.fer:g}")
    ax.axhline(1.0, color="black", lw=1, label="Slepian-Wolf limit")
    # The fixed-rate curves climb steeply at small p: the axes follow the measured curves.
    ax.set_ylim(0.95, 1.0 + 1.3 * (top - 1.0))
    if all_ps:
        ax.set_xlim(min(all_ps) * 0.9, max(all_ps) * 1.05)
    ax.set_xlabel("crossover probability p of the side information")
    ax.set_ylabel("efficiency f = rate / H(p)")
    ax.set_title(args.title or "Rate needed per block against the Slepian-Wolf limit")
    ax.grid(True, alpha=0.3)
    ax.legend(fontsize=8)
    plot_sweep.save_figure(fig, output, fail)


if __name__ == "__main__":
    main()
