#!/usr/bin/python3
"""Plot ldpcsw-sweep CSVs: FER and BER against the crossover probability p, log scale,
with their 95% intervals, the Slepian-Wolf limit H(p) = rank(H)/n and the threshold p* marked.

  scripts/plot_sweep.py sweep.csv -o sweep.png          # rank and n from sweep.csv.run
  scripts/plot_sweep.py sweep.csv -o sweep.svg --rate 0.5
  scripts/plot_sweep.py a.csv b.csv -o both.png         # one curve per CSV, one figure

Several CSVs give one colour each, labelled by matrix and decoder; FER solid, BER dashed.
The threshold p* of a code's ensemble is drawn when its FILE.run records one (ldpcsw-sweep
--threshold) or --threshold gives it (one CSV).

Points are joined in order of p. Points without errors are drawn at their 95% upper bound as
open downward triangles; an unfinished (partial) point is drawn open. The CSV is read with the
rules the sweep applies on --resume: every row whole and consistent, its check matching, blank
lines only at the end, a last line cut off by a crash dropped with a note.
"""
import argparse
import math
import os
import sys

FIELDS = ("p,h_p,blocks,frame_errors,bit_errors,fer,fer_lo,fer_hi,ber,ber_lo,ber_hi,"
          "avg_iterations,seconds,blocks_per_second").split(",")
HEADER = FIELDS + ["bit_errors_sq", "undetected_errors", "check"]
HEADER_NO_UNDETECTED = FIELDS + ["bit_errors_sq", "check"]  # before undetected errors were counted
HEADER_UNCHECKED = FIELDS            # files of earlier versions: no squared sums, no checks
COUNTS = ("blocks", "frame_errors", "bit_errors", "bit_errors_sq", "undetected_errors")
# The settings a row's check covers, as the sweep writes them to FILE.run: these and any
# further decoder setting (minsum_q, ...); every key but the informational ones below.
CHECKED_SETTINGS = ("blocks", "decoder", "m", "matrix", "max_frame_errors", "n", "seed")
INFORMATIONAL = ("rank", "rate", "sw_limit", "threshold", "threshold_source")


def fail(message):
    sys.exit(f"plot_sweep.py: {message}")


def binary_entropy(p):
    if p <= 0.0 or p >= 1.0:
        return 0.0
    return -p * math.log2(p) - (1.0 - p) * math.log2(1.0 - p)


def slepian_wolf_limit(rate):
    """The p in (0, 1/2] with H(p) = rate: decoding can succeed only for H(p) < rate."""
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


def row_check(settings_text, previous, body):
    """The sweep's row check: 64-bit FNV-1a over the settings, the previous check and the row."""
    h = 0xcbf29ce484222325
    for byte in (settings_text + "\n" + previous + "\n" + body).encode():
        h = ((h ^ byte) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return f"{h:016x}"


def read_text(path, fail=fail):
    """The whole file as UTF-8 text; exits with one line when it cannot be read."""
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8")
    except (OSError, UnicodeDecodeError) as e:
        fail(f"{path}: cannot read: {getattr(e, 'strerror', None) or e}")


def read_rows(path, settings):
    """Rows of the CSV, each a dict of floats plus 'partial'; exits with one line on a bad file."""
    text = read_text(path)
    lines = text.split("\n")
    torn = lines.pop()  # text after the last end of line: a row cut off, or nothing
    if torn.strip():
        print(f"plot_sweep.py: {path}: the last line was cut off (an interrupted write); "
              "left out", file=sys.stderr)
    if not lines:
        fail(f"{path}: empty file")
    header = lines[0].rstrip("\r").split(",")
    checked = header in (HEADER, HEADER_NO_UNDETECTED)
    if not checked and header != HEADER_UNCHECKED:
        fail(f"{path}: line 1: not the header of an ldpcsw-sweep CSV")
    settings_text = None
    if checked and all(k in settings for k in CHECKED_SETTINGS):
        keys = sorted(k for k in settings if k and k not in INFORMATIONAL)
        settings_text = "".join(f"{k}={settings[k]}\n" for k in keys)
    elif checked:
        print(f"plot_sweep.py: {path}.run is missing or incomplete; the rows' checks are not "
              "verified", file=sys.stderr)
    n = int(settings["n"]) if settings.get("n", "").isdigit() else None
    width = len(header)
    rows, chain, blank_at, partial_seen = [], "", None, False
    for number, line in enumerate(lines[1:], start=2):
        line = line.rstrip("\r")
        if not line.strip():
            blank_at = blank_at or number
            continue
        if blank_at is not None:
            fail(f"{path}: line {blank_at}: a blank line between rows")
        if partial_seen:
            fail(f"{path}: line {number}: a row follows the partial row")
        fields = line.split(",")
        partial = len(fields) == width + 1 and fields[-1] == "partial"
        if partial:
            fields.pop()
            partial_seen = True
        if len(fields) != width:
            fail(f"{path}: line {number}: {len(fields)} fields instead of {width}")
        row = {}
        try:
            for name, value in zip(header, fields):
                if name == "check":
                    continue
                row[name] = int(value) if name in COUNTS else float(value)
        except ValueError:
            fail(f"{path}: line {number}: a field is not a number")
        if any(row[c] < 0 for c in COUNTS if c in row) or row["blocks"] == 0 or \
                row["frame_errors"] > row["blocks"] or row["bit_errors"] < row["frame_errors"] or \
                row.get("undetected_errors", 0) > row["frame_errors"] or \
                (n is not None and row["bit_errors"] > row["frame_errors"] * n):
            fail(f"{path}: line {number}: the counts cannot all hold")
        if settings_text is not None:
            body = ",".join(fields[:-1]) + (",partial" if partial else "")
            check = row_check(settings_text, chain, body)
            if fields[-1] != check:
                fail(f"{path}: line {number}: the row does not match its check: it was edited, "
                     "moved, or comes from another run or file")
            if not partial:
                chain = check
        row["partial"] = partial
        rows.append(row)
    if not rows:
        fail(f"{path}: no points to plot")
    return rows, checked


def read_settings(csv_path):
    settings = {}
    try:
        with open(csv_path + ".run") as f:
            for number, line in enumerate(f, start=1):
                key, _, value = line.strip().partition("=")
                if key in settings:
                    fail(f"{csv_path}.run: line {number}: the key '{key}' is given twice")
                settings[key] = value
    except (OSError, UnicodeDecodeError):
        pass
    return settings


def rate_of(settings):
    """(rate, what it is): rank(H)/n when the rank is recorded, m/n otherwise."""
    try:
        n = int(settings["n"])
        if settings.get("rank", "").isdigit():
            return int(settings["rank"]) / n, "rank(H)/n"
        return int(settings["m"]) / n, "m/n (rank not recorded)"
    except (KeyError, ValueError, ZeroDivisionError):
        return None, None


def draw(ax, rows, rate, rate_name, checked, name=None, colour=None, limit_line=True):
    """FER and BER of `rows` joined in order of p, and the Slepian-Wolf limit of `rate`.
    With `name` (several CSVs in one figure) both curves take `colour` and the legend names
    the curve instead of its interval."""
    rows = sorted(rows, key=lambda r: r["p"])
    ber_interval = "95% interval, blocks as clusters" if checked else "95% Wilson interval"
    styles = (("fer", "frame_errors", "FER", "tab:blue", "o", "-", "95% Wilson interval"),
              ("ber", "bit_errors", "BER", "tab:red", "s", "--", ber_interval))
    if name is not None:
        styles = tuple((key, count, f"{name}: {label}", colour, marker, line, None)
                       for key, count, label, _, marker, line, _ in styles)
    # Undetected errors (decisions that satisfy the syndrome but are wrong), where the CSV
    # counts them: their total joins the FER curve's legend entry.
    undetected = None
    if all("undetected_errors" in r for r in rows):
        undetected = sum(r["undetected_errors"] for r in rows)
    for key, count, label, colour, marker, line, interval in styles:
        seen = [r for r in rows if r[count] > 0]
        if seen:
            ps = [r["p"] for r in seen]
            ax.errorbar(ps, [r[key] for r in seen],
                        yerr=[[r[key] - r[key + "_lo"] for r in seen],
                              [r[key + "_hi"] - r[key] for r in seen]],
                        fmt="none", ecolor=colour, lw=1.2, capsize=2)
            ax.plot(ps, [r[key] for r in seen], line, color=colour, lw=1.2)
            entry = f"{label} ({interval})" if interval else label
            if key == "fer" and undetected is not None:
                entry += f"; {undetected} undetected"
            ax.plot([], [], line + marker, color=colour, lw=1.2, ms=5,  # the legend's entry
                    label=entry)
            done = [r for r in seen if not r["partial"]]
            ax.plot([r["p"] for r in done], [r[key] for r in done], marker, color=colour, ms=5,
                    ls="none")
            cut = [r for r in seen if r["partial"]]
            if cut:  # unfinished points: open markers only
                ax.plot([r["p"] for r in cut], [r[key] for r in cut], marker, color=colour,
                        mfc="white", ms=6, ls="none", label=f"{label}: unfinished point")
        unseen = [r for r in rows if r[count] == 0]
        if unseen:  # FER's triangle larger: without errors both bounds may coincide
            ax.plot([r["p"] for r in unseen], [r[key + "_hi"] for r in unseen], "v",
                    color=colour, mfc="none", ms=9 if key == "fer" else 5, ls="none",
                    label="_nolegend_" if name is not None
                    else f"{label}: no errors (95% upper bound)")

    if limit_line:
        mark_limits(ax, [r["p"] for r in rows], [(rate, rate_name)], [])


def mark_limits(ax, ps, rates, thresholds):
    """Vertical lines at the Slepian-Wolf limit of each distinct (rate, name) and at each
    threshold (p*, colour, name), with the axis widened to show them all."""
    limits = []
    for rate, rate_name in rates:
        limit = slepian_wolf_limit(rate)
        if all(abs(limit - other) > 1e-12 for other, _, _ in limits):
            limits.append((limit, rate, rate_name))
    marks = [limit for limit, _, _ in limits] + [t for t, _, _ in thresholds]
    lo, hi = min(list(ps) + marks), max(list(ps) + marks)
    margin = max(0.005, 0.04 * (hi - lo))
    ax.set_xlim(max(0.0, lo - margin), hi + 2 * margin)
    left, right = ax.get_xlim()

    def label(x, text, colour):
        # The label runs along the line, on the side with more room inside the axes.
        on_right = right - x >= x - left
        ax.text(x, 0.97, text, transform=ax.get_xaxis_transform(), rotation=90, va="top",
                ha="left" if on_right else "right", fontsize=8, color=colour)

    for limit, rate, rate_name in limits:
        ax.axvline(limit, color="black", lw=1.0, ls=":")
        label(limit, f"Slepian-Wolf limit p = {limit:.4f}\nH(p) = {rate_name} = {rate:.4g}",
              "black")
    for threshold, colour, name in thresholds:
        ax.axvline(threshold, color=colour, lw=1.0, ls="-.")
        label(threshold, f"threshold p* = {threshold:.4f}" + (f"\n{name}" if name else ""),
              colour)


def threshold_of(settings, path):
    """p* recorded in FILE.run, or None; a recorded value that is no threshold is named."""
    if "threshold" not in settings:
        return None
    try:
        t = float(settings["threshold"])
    except ValueError:
        t = None
    if t is None or not 0.0 < t < 0.5:
        print(f"plot_sweep.py: {path}.run: threshold '{settings['threshold']}' is not a "
              "number in (0, 0.5); not drawn", file=sys.stderr)
        return None
    return t


def curve_name(path, settings, others):
    """A curve's label: its matrix (n, m) and decoder, with the file name when that alone
    does not tell it from another curve."""
    name = f"n = {settings.get('n', '?')}, {settings.get('decoder', '?')}"
    if "minsum_q" in settings:
        q = settings["minsum_q"]
        detail = [f"Q {'from p' if q == 'auto' else q}"]
        if "minsum_correction" in settings:
            detail.append(settings["minsum_correction"])
        if settings.get("minsum_posterior_bits") == "8":
            detail.append("8-bit")
        name += f" ({', '.join(detail)})"
    if sum(1 for o in others if o == name) > 1:
        name += f" [{os.path.basename(path)}]"
    return name


def open_figure(output, fail=fail):
    """A figure and its axes for the picture file `output`, whose folder must exist and whose
    extension matplotlib must write; exits with one line otherwise."""
    try:
        import matplotlib
    except ImportError:
        fail("matplotlib is missing: install Debian's python3-matplotlib (scripts/deps.sh) "
             "and run this script with /usr/bin/python3")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    folder = os.path.dirname(output) or "."
    if not os.path.isdir(folder):
        fail(f"{output}: the folder {folder} does not exist")
    fig, ax = plt.subplots(figsize=(7.5, 5.0))
    kinds = fig.canvas.get_supported_filetypes()
    extension = os.path.splitext(output)[1].lstrip(".").lower()
    if extension not in kinds:
        fail(f"{output}: unsupported picture format '{extension}'; use one of "
             + ", ".join("." + k for k in sorted(kinds)))
    return fig, ax


def save_figure(fig, output, fail=fail):
    """Writes the figure to `output` and prints the name; exits with one line when it cannot."""
    fig.tight_layout()
    try:
        fig.savefig(output, dpi=120)
    except (OSError, ValueError) as e:
        fail(f"{output}: cannot write: {getattr(e, 'strerror', None) or e}")
    print(output)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("csv", nargs="+", help="CSV written by ldpcsw-sweep --csv; several "
                        "give one curve each in one figure")
    parser.add_argument("-o", "--output",
                        help="picture file, .png, .svg or .pdf (default: CSV name .png)")
    parser.add_argument("--rate", type=float,
                        help="rank(H)/n of the matrix (default: read from CSV.run)")
    parser.add_argument("--threshold", type=float,
                        help="threshold p* of the code's ensemble (default: read from CSV.run)")
    parser.add_argument("--title", help="title of the picture")
    args = parser.parse_args()
    if len(args.csv) > 1 and args.threshold is not None:
        fail("--threshold applies to one CSV; record each code's p* with ldpcsw-sweep --threshold")
    if args.threshold is not None and not (0.0 < args.threshold < 0.5):
        fail(f"--threshold {args.threshold}: must lie in (0, 0.5)")

    output = args.output or os.path.splitext(args.csv[0])[0] + ".png"
    fig, ax = open_figure(output)

    curves = []
    for path in args.csv:
        settings = read_settings(path)
        rows, checked = read_rows(path, settings)
        rate, rate_name = rate_of(settings)
        if args.rate is not None:
            rate, rate_name = args.rate, "rate"
        if rate is None:
            fail(f"{path}.run is missing or incomplete: give --rate rank(H)/n")
        if not (0.0 < rate <= 1.0):
            if args.rate is not None:
                fail(f"--rate {rate}: must lie in (0, 1]")
            fail(f"{path}.run: the rate {rate_name} = {rate:g} is outside (0, 1], so the "
                 "Slepian-Wolf limit cannot be drawn; give --rate")
        curves.append((path, settings, rows, checked, rate, rate_name))

    ps = [r["p"] for curve in curves for r in curve[2]]
    rates = [(rate, rate_name) for _, _, _, _, rate, rate_name in curves]
    if len(curves) == 1:
        path, settings, rows, checked, rate, rate_name = curves[0]
        draw(ax, rows, rate, rate_name, checked, limit_line=False)
        threshold = args.threshold if args.threshold is not None else \
            threshold_of(settings, path)
        mark_limits(ax, ps, rates, [] if threshold is None else [(threshold, "tab:green", "")])
        decoder = settings.get("decoder")
        title = args.title
        if title is None:
            title = os.path.basename(path)
            if "n" in settings and "m" in settings:
                title = f"n = {settings['n']}, m = {settings['m']}"
            if decoder:
                title += f", {decoder} decoder"
    else:
        colours = ["tab:blue", "tab:red", "tab:green", "tab:purple", "tab:orange", "tab:brown",
                   "tab:pink", "tab:olive", "tab:cyan", "tab:gray"]
        plain = [curve_name(c[0], c[1], []) for c in curves]
        thresholds, seen = [], []
        for i, (path, settings, rows, checked, rate, rate_name) in enumerate(curves):
            colour = colours[i % len(colours)]
            name = curve_name(path, settings, plain)
            draw(ax, rows, rate, rate_name, checked, name=name, colour=colour, limit_line=False)
            t = threshold_of(settings, path)
            key = (settings.get("matrix"), t)
            if t is not None and key not in seen:  # one line per code, not per decoder
                seen.append(key)
                thresholds.append((t, colour, f"n = {settings.get('n', '?')}"))
        mark_limits(ax, ps, rates, thresholds)
        if any(r["frame_errors"] == 0 or r["bit_errors"] == 0 for c in curves for r in c[2]):
            ax.plot([], [], "v", color="black", mfc="none", ms=8, ls="none",
                    label="no errors: 95% upper bound")
        title = args.title if args.title is not None else \
            "FER (solid) and BER (dashed) with 95% intervals"
    ax.set_yscale("log")
    ax.set_xlabel("crossover probability p of the side information")
    ax.set_ylabel("error rate")
    ax.set_title(title)
    ax.grid(True, which="both", alpha=0.3)
    if len(curves) == 1:
        ax.legend(loc="lower right", fontsize=8)
    else:  # many entries: below the axes, clear of the curves
        fig.set_size_inches(7.5, 5.0 + 0.17 * (2 * len(curves) + 1))
        ax.legend(loc="upper center", bbox_to_anchor=(0.5, -0.13), ncol=1, fontsize=8)
    save_figure(fig, output)


if __name__ == "__main__":
    main()
