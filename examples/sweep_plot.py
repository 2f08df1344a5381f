"""Builds a (3,6)-regular code by progressive edge growth, sweeps its frame and bit error
rates over the crossover probability with the min-sum decoder, and plots them beside the
Slepian-Wolf limit of its rate.

    python examples/sweep_plot.py [out.png] [blocks]
"""
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import ldpcsw  # noqa: E402

out = sys.argv[1] if len(sys.argv) > 1 else "sweep.png"
blocks = int(sys.argv[2]) if len(sys.argv) > 2 else 20000

H = ldpcsw.build_matrix(1008, 504, column_weight=3, seed=1, method="peg")
print(H, "girth", H.girth())
table = ldpcsw.sweep(H, p=[0.04, 0.05, 0.06, 0.07, 0.08], blocks=blocks, max_frame_errors=100,
                     decoder="minsum-layered", seed=1).to_pandas()
print(table[["p", "h_p", "blocks", "frame_errors", "fer", "ber", "avg_iterations"]].to_string())

limit = ldpcsw.slepian_wolf_limit(H.m / H.n)
fig, ax = plt.subplots(figsize=(6, 4))
for rate, color in (("fer", "C0"), ("ber", "C1")):
    seen = table[table[rate] > 0]
    ax.errorbar(seen["p"], seen[rate], yerr=[seen[rate] - seen[rate + "_lo"],
                seen[rate + "_hi"] - seen[rate]], marker="o", color=color, label=rate.upper())
ax.axvline(limit, color="k", linestyle="--", label=f"Slepian-Wolf limit p = {limit:.4f}")
ax.set_yscale("log")
ax.set_xlabel("crossover probability p")
ax.set_ylabel("error rate")
ax.set_title(f"n = {H.n}, m = {H.m}, minsum-layered")
ax.legend()
fig.tight_layout()
fig.savefig(out, dpi=120)
print("wrote", out)
