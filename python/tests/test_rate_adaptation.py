import os
import pathlib
import subprocess

import numpy as np
import pytest

import ldpcsw


def _dense_merged(h: np.ndarray, merges: np.ndarray, k: int) -> np.ndarray:
    """The code after k merges from its definition: row b added to row a over GF(2)."""
    rows = h.astype(np.uint8).copy()
    standing = np.ones(h.shape[0], dtype=bool)
    for a, b in merges[:k]:
        rows[a] ^= rows[b]
        standing[b] = False
    return rows[standing]


@pytest.fixture(scope="module")
def chain504(code504):
    return ldpcsw.build_rate_adaptation(code504, min_rate=0.25, seed=3)


def test_codes_are_gf2_row_sums_and_rates_fall(code504, chain504):
    c = chain504
    assert (c.n, c.m, c.steps) == (504, 252, 126)
    np.testing.assert_array_equal(c.rows, 252 - np.arange(127))
    # The shipped matrix has full rank, so every code of the chain has too.
    assert c.ranks == list(range(252, 125, -1))
    np.testing.assert_allclose(c.rates, (252 - np.arange(127)) / 504)
    dense = code504.to_dense()
    for k in (0, 1, 40, 126):
        np.testing.assert_array_equal(c.code(k).to_dense(), _dense_merged(dense, c.merges, k))
    assert "steps=126" in repr(c)


def test_syndromes_follow_from_the_mothers(code504, chain504):
    x, _, s = ldpcsw.blocks(code504, seed=1, p=0.05, first=0, count=20)
    for k in (0, 17, 126):
        code = chain504.code(k)
        expected = (code.to_scipy().astype(np.int64) @ x.T.astype(np.int64)).T % 2
        np.testing.assert_array_equal(chain504.syndrome(k, s), expected.astype(np.uint8))
    # A single syndrome and a bool array are taken too.
    np.testing.assert_array_equal(chain504.syndrome(5, s[0].astype(bool))[0], chain504.syndrome(5, s)[0])


def test_file_round_trip_matches_the_command_line(tmp_path, data_dir, code504, chain504):
    path = tmp_path / "c.txt"
    chain504.write(path)
    again = ldpcsw.read_rate_adaptation(path, code504)
    np.testing.assert_array_equal(again.merges, chain504.merges)
    assert again.fingerprint == chain504.fingerprint
    # The alist twin is the same matrix, so the chain is its chain too.
    ldpcsw.read_rate_adaptation(str(path), ldpcsw.read_matrix(data_dir / "Reg504252.alist"))
    program = pathlib.Path(os.environ.get("LDPCSW_BIN_DIR", pathlib.Path(__file__).resolve().parents[2] / "build" / "bin")) / "ldpcsw-code"
    if program.exists():
        subprocess.run([str(program), "rate-adapt", str(data_dir / "Reg504252.dat"), "--out",
                        str(tmp_path / "d.txt"), "--min-rate", "0.25", "--seed", "3"],
                       check=True, capture_output=True)
        assert (tmp_path / "d.txt").read_bytes() == path.read_bytes()


def test_refusals(tmp_path, code504, chain504):
    path = tmp_path / "c.txt"
    chain504.write(path)
    other = ldpcsw.build_matrix(504, 252, column_weight=3, seed=2)
    with pytest.raises(ldpcsw.Error, match="made for another matrix"):
        ldpcsw.read_rate_adaptation(path, other)
    bad = tmp_path / "bad.txt"
    bad.write_text(path.read_text().replace("steps 126", "steps 127"))
    with pytest.raises(ldpcsw.Error, match=r"bad.txt: line 130: the file ends after 126 of its 127 merges"):
        ldpcsw.read_rate_adaptation(bad, code504)
    with pytest.raises(ldpcsw.Error, match="not a rate adaptation file"):
        ldpcsw.read_rate_adaptation(pathlib.Path(__file__).parents[2] / "data" / "Reg504252.dat", code504)
    with pytest.raises(ldpcsw.Error, match="this is a rate adaptation file, not a matrix"):
        ldpcsw.read_matrix(path)
    for call, words in [
        (lambda: chain504.code(127), r"k: 127 is not a whole number in 0..126"),
        (lambda: chain504.code(1.0), "not a whole number"),
        (lambda: chain504.syndrome(1, np.zeros((2, 251), np.uint8)), "m = 252"),
        (lambda: chain504.syndrome(1, np.full((2, 252), 2, np.uint8)), "not 0 or 1"),
        (lambda: chain504.syndrome(1, np.zeros((2, 252), np.int32)), "dtype"),
        (lambda: ldpcsw.build_rate_adaptation(code504, steps=252), "steps: 252"),
        (lambda: ldpcsw.build_rate_adaptation(code504, steps=3, min_rate=0.3), "exclude"),
        (lambda: ldpcsw.build_rate_adaptation(code504, min_rate=0.6), "nothing to merge"),
        (lambda: ldpcsw.build_rate_adaptation(code504, depth=0), "depth"),
        (lambda: ldpcsw.build_rate_adaptation(code504, follow=-1), "follow"),
        (lambda: ldpcsw.read_rate_adaptation(path, "H"), "not an ldpcsw.Matrix"),
    ]:
        with pytest.raises(ldpcsw.Error, match=words):
            call()


def test_builder_is_deterministic_and_balanced(code504):
    a = ldpcsw.build_rate_adaptation(code504, steps=100, seed=7)
    b = ldpcsw.build_rate_adaptation(code504, steps=100, seed=7)
    np.testing.assert_array_equal(a.merges, b.merges)
    weights = a.code(100).row_weights
    assert set(np.unique(weights)) <= {6, 12}  # pairs of weight-6 rows, none sharing a column
    default = ldpcsw.build_rate_adaptation(code504)
    assert default.rows[-1] == 63
    # A short code's search follows every column by default; on a regular one, following
    # its only weight is the same.
    every = ldpcsw.build_rate_adaptation(code504, steps=100, seed=7, follow=0)
    light = ldpcsw.build_rate_adaptation(code504, steps=100, seed=7, follow=3)
    np.testing.assert_array_equal(every.merges, a.merges)
    np.testing.assert_array_equal(light.merges, a.merges)


def test_critical_rate_matches_the_program_and_checks_its_arguments(code504, sweep_program, tmp_path):
    chain = ldpcsw.build_rate_adaptation(code504, steps=150)
    one = ldpcsw.critical_rate(code504, chain, [0.04, 0.07], blocks=120, seed=3, threads=1)
    two = ldpcsw.critical_rate(code504, chain, [0.04, 0.07], blocks=120, seed=3, threads=2)
    keys = ["p", "blocks", "rate", "rate_lo", "rate_hi", "efficiency", "rate_q50", "undecoded",
            "undetected", "decodes", "iterations", "histogram"]
    assert [{k: r[k] for k in keys} for r in one] == [{k: r[k] for k in keys} for r in two]
    r = one[0]
    assert sum(r["histogram"].values()) == 120
    assert r["rate_lo"] <= r["rate"] <= r["rate_hi"]
    assert r["efficiency"] == pytest.approx(r["rate"] / ldpcsw.binary_entropy(0.04))
    # The scan tries every step above the critical one: never a lower rate than the bisection
    # finds for the same block, so never a lower mean.
    scan = ldpcsw.critical_rate(code504, chain, 0.07, blocks=60, seed=3, search="scan")
    bisect = ldpcsw.critical_rate(code504, chain, 0.07, blocks=60, seed=3)
    assert scan[0]["rate"] <= bisect[0]["rate"]
    assert scan[0]["decodes"] > bisect[0]["decodes"]
    on_device = ldpcsw.critical_rate(code504, chain, [0.04, 0.07], blocks=120, seed=3,
                                     device="gpu")
    assert [{k: r[k] for k in keys} for r in on_device] == [{k: r[k] for k in keys} for r in one]
    if sweep_program is not None:
        path = tmp_path / "h.chain"
        chain.write(path)
        csv = tmp_path / "c.csv"
        import subprocess

        subprocess.run([str(sweep_program), "--matrix", str(pathlib.Path(__file__).parents[2] / "data" / "Reg504252.dat"),
                        "--rate-adaptive", str(path), "--p", "0.04,0.07", "--blocks", "120",
                        "--seed", "3", "--decoder", "minsum-layered", "--csv", str(csv)],
                       check=True, capture_output=True)
        rows = [line.split(",") for line in csv.read_text().splitlines()[1:]]
        for row, rec in zip(rows, one):
            assert float(row[3]) == rec["rate"]
            assert int(row[14]) == rec["decodes"]
    for call, words in [
        (lambda: ldpcsw.critical_rate(code504, chain, 0.05, search="all"), "search"),
        (lambda: ldpcsw.critical_rate(code504, chain, 0.05, decoder="adaptive", device="gpu"),
         "runs on the cpu only"),
        (lambda: ldpcsw.critical_rate(code504, "chain", 0.05), "not an ldpcsw.RateAdaptation"),
        (lambda: ldpcsw.critical_rate(code504, chain, 0.05, blocks=1.5), "blocks"),
        (lambda: ldpcsw.critical_rate(code504, chain, 0.7), "p"),
        (lambda: ldpcsw.critical_rate(ldpcsw.read_matrix(pathlib.Path(__file__).parents[2] / "data" / "Irr10000x5000.dat"), chain, 0.05),
         "chain: "),
    ]:
        with pytest.raises(ldpcsw.Error, match=words):
            call()


def test_ctrl_c_stops_a_critical_rate_run_before_any_block_ends(data_dir):
    import _thread
    import threading
    import time

    # On the shipped rate-adaptive code every block of a 3000-block pool makes several probes
    # before the first search ends (about half a minute on one thread).
    code = ldpcsw.read_matrix(str(data_dir / "RA10000x6500.dat"))
    chain = ldpcsw.read_rate_adaptation(str(data_dir / "RA10000x6500.chain"), code)
    timer = threading.Timer(0.5, _thread.interrupt_main)  # as a Ctrl-C in a notebook would
    t0 = time.perf_counter()
    timer.start()
    with pytest.warns(RuntimeWarning, match="interrupted"):
        result = ldpcsw.critical_rate(code, chain, [0.06, 0.08], blocks=3000, threads=1,
                                      decoder="spa-layered")
    elapsed = time.perf_counter() - t0
    timer.join()
    assert result.interrupted
    assert len(result) == 0
    assert elapsed < 5, elapsed
