import csv
import subprocess
import threading
import time

import numpy as np
import pytest

import ldpcsw


@pytest.mark.parametrize("decoder", ldpcsw.DECODERS)
def test_decoding_the_sweeps_blocks_gives_the_sweeps_counts(code504, decoder):
    p, count = 0.07, 96
    x, y, s = ldpcsw.blocks(code504, seed=3, p=p, first=0, count=count)
    assert x.shape == (count, 504) and s.shape == (count, 252)
    # s is H x over GF(2)
    np.testing.assert_array_equal(s, (x.astype(np.int64) @ code504.to_dense().T.astype(np.int64)) % 2)
    x_hat, ok, its = ldpcsw.decode(code504, y, s, p, decoder=decoder, threads=3)
    errors = (x_hat != x).sum(axis=1)
    [rec] = ldpcsw.sweep(code504, p=[p], blocks=count, max_frame_errors=0, decoder=decoder,
                         seed=3, threads=2)
    assert rec["blocks"] == count and not rec["partial"]
    assert rec["frame_errors"] == int((errors > 0).sum())
    assert rec["bit_errors"] == int(errors.sum())
    assert rec["bit_errors_sq"] == int((errors.astype(np.int64) ** 2).sum())
    assert rec["iterations"] == int(its.sum())
    # a reported success is a block whose decisions satisfy the syndrome
    assert ((x_hat[ok].astype(np.int64) @ code504.to_dense().T) % 2 == s[ok]).all()
    # undetected errors: decisions that satisfy the syndrome but are wrong
    satisfied = ((x_hat.astype(np.int64) @ code504.to_dense().T) % 2 == s).all(axis=1)
    assert rec["undetected_errors"] == int((satisfied & (errors > 0)).sum())
    # the blocks of a later window are the tail of a longer one
    _, y2, _ = ldpcsw.blocks(code504, seed=3, p=p, first=90, count=6)
    np.testing.assert_array_equal(y2, y[90:])


def test_decode_is_the_same_for_bool_input_any_thread_count_and_single_blocks(code504):
    x, y, s = ldpcsw.blocks(code504, seed=9, p=0.06, count=40)
    for decoder in ("plain", "minsum-layered"):
        ref = ldpcsw.decode(code504, y, s, 0.06, decoder=decoder, threads=1)
        other = ldpcsw.decode(code504, y.astype(bool), s.astype(bool), 0.06, decoder=decoder,
                              threads=4)
        for a, b in zip(ref, other):
            np.testing.assert_array_equal(a, b)
        one = ldpcsw.decode(code504, y[7], s[7], 0.06, decoder=decoder)
        np.testing.assert_array_equal(one[0][0], ref[0][7])
    empty = ldpcsw.decode(code504, y[:0], s[:0], 0.06)
    assert empty[0].shape == (0, 504)


def test_minsum_parameters_reach_the_decoder(code504):
    _, y, s = ldpcsw.blocks(code504, seed=2, p=0.07, count=64)
    _, _, its = ldpcsw.decode(code504, y, s, 0.07, decoder="minsum-flooding", iterations=3)
    assert its.max() <= 3
    a = ldpcsw.decode(code504, y, s, 0.07, decoder="minsum-layered", offset=1)
    b = ldpcsw.decode(code504, y, s, 0.07, decoder="minsum-layered", normalise=(7, 8))
    assert not np.array_equal(a[2], b[2])
    # the former 8-bit layered rule differs from the default somewhere on these blocks
    wide = ldpcsw.decode(code504, y, s, 0.07, decoder="minsum-layered", normalise=(7, 8))
    narrow = ldpcsw.decode(code504, y, s, 0.07, decoder="minsum-layered", normalise=(7, 8),
                           posterior_bits=8)
    assert not np.array_equal(wide[2], narrow[2])
    # spa-layered takes Q from p unless q gives it
    auto = ldpcsw.decode(code504, y, s, 0.07, decoder="spa-layered")
    given = ldpcsw.decode(code504, y, s, 0.07, decoder="spa-layered", q=21)  # round(8 ln(0.93/0.07))
    for u, v in zip(auto, given):
        np.testing.assert_array_equal(u, v)


@pytest.mark.parametrize(
    "call, words",
    [
        (lambda c, y, s: ldpcsw.decode(c, y.astype(np.int32), s, 0.05), "dtype int32"),
        (lambda c, y, s: ldpcsw.decode(c, y[:, :100], s, 0.05), "n = 504"),
        (lambda c, y, s: ldpcsw.decode(c, y, s[:, :10], 0.05), "m = 252"),
        (lambda c, y, s: ldpcsw.decode(c, y[:3], s, 0.05), "blocks"),
        (lambda c, y, s: ldpcsw.decode(c, y * 2, s, 0.05), "is 2, not 0 or 1"),
        (lambda c, y, s: ldpcsw.decode(c, y, s, 0.0), "p:"),
        (lambda c, y, s: ldpcsw.decode(c, y, s, 0.7), "p:"),
        (lambda c, y, s: ldpcsw.decode(c, y, s, 0.05, decoder="bp"), "decoder"),
        (lambda c, y, s: ldpcsw.decode(c, y, s, 0.05, q=4), "fixed-point"),
        (lambda c, y, s: ldpcsw.decode(c, y, s, 0.05, "spa-layered", offset=2), "min-sum decoders only"),
        (lambda c, y, s: ldpcsw.decode(c, y, s, 0.05, "minsum-flooding", posterior_bits=8), "layered"),
        (lambda c, y, s: ldpcsw.decode(c, y, s, 0.05, "minsum-layered", posterior_bits=12), "neither 16 nor 8"),
        (lambda c, y, s: ldpcsw.sweep(c, p=[0.05], decoder="minsum-layered", posterior_bits=True), "posterior_bits"),
        (lambda c, y, s: ldpcsw.decode(c, y, s, 0.05, "minsum-layered", q=400), "q:"),
        (lambda c, y, s: ldpcsw.decode(c, y, s, 0.05, "minsum-layered", normalise=(3, 5)), "normalise"),
        (lambda c, y, s: ldpcsw.decode(c, y, s, 0.05, "minsum-layered", offset=1, normalise=(1, 2)), "exclude"),
        (lambda c, y, s: ldpcsw.decode(c, y, s, 0.05, threads=-1), "threads"),
        (lambda c, y, s: ldpcsw.decode(c, y[None], s, 0.05), "dimensions"),
        (lambda c, y, s: ldpcsw.sweep(c, p=[0.05, 0.05], blocks=10), "twice"),
        (lambda c, y, s: ldpcsw.sweep(c, p=[0.6], blocks=10), "p:"),
        (lambda c, y, s: ldpcsw.sweep(c, p=[], blocks=10), "p:"),
        (lambda c, y, s: ldpcsw.sweep(c, p=[0.05], blocks=0), "blocks"),
        (lambda c, y, s: ldpcsw.sweep(c, p=[0.05], max_frame_errors=-1), "max_frame_errors"),
        (lambda c, y, s: ldpcsw.blocks(c, seed=1, p=0.05, count=-1), "negative"),
        # one column too many is refused as one too few is
        (lambda c, y, s: ldpcsw.decode(c, np.c_[y, y[:, :1]], s, 0.05), "n = 504"),
        (lambda c, y, s: ldpcsw.decode(c, y, np.c_[s, s[:, :1]], 0.05), "m = 252"),
        # sizes and indices checked before anything is multiplied or wraps
        (lambda c, y, s: ldpcsw.blocks(c, 1, 0.06, 0, 2**62), "largest array"),
        (lambda c, y, s: ldpcsw.blocks(c, 1, 0.06, 0, 2**63), "largest array"),
        (lambda c, y, s: ldpcsw.blocks(c, 1, 0.06, 2**64 - 1, 3), r"2\^64 - 1"),
        (lambda c, y, s: ldpcsw.blocks(c, 1, 0.06, 2**64, 1), "first: .* not a whole number"),
        # no silent truncation: non-integers, bools, strings and out-of-range values
        (lambda c, y, s: ldpcsw.sweep(c, p=[0.05], blocks=1.9), "blocks: 1.9 is not a whole number"),
        (lambda c, y, s: ldpcsw.sweep(c, p=[0.05], blocks=2**53 + 1), r"above 2\^53"),
        (lambda c, y, s: ldpcsw.sweep(c, p=[0.05], blocks=True), "blocks: True is not a number"),
        (lambda c, y, s: ldpcsw.sweep(c, p=[0.05], max_frame_errors=1.5), "max_frame_errors: 1.5"),
        (lambda c, y, s: ldpcsw.sweep(c, p=[0.05], seed=-1), "seed: -1 is not a whole number"),
        (lambda c, y, s: ldpcsw.sweep(c, p=[0.05], threads=2**40), "threads: .* in 0..4096"),
        (lambda c, y, s: ldpcsw.sweep(c, p=[True], blocks=10), "p: True is not a number"),
        (lambda c, y, s: ldpcsw.sweep(c, p="0.05", blocks=10), "p: '0.05' is not a number"),
        (lambda c, y, s: ldpcsw.decode(c, y, s, 0.05, "minsum-layered", q=True), "q: True"),
        (lambda c, y, s: ldpcsw.decode(c, y, s, 0.05, "minsum-layered", iterations=2**40), "iterations:"),
        (lambda c, y, s: ldpcsw.decode(c, y, s, 0.05, "minsum-layered", normalise=(7.9, 8)), "normalise:"),
        (lambda c, y, s: ldpcsw.decode(c, y, s, 0.05, "minsum-layered", normalise="78"), "normalise:"),
        (lambda c, y, s: ldpcsw.decode(c, y, s, 0.05, "minsum-layered", normalise=(7, 8, 9)), "normalise:"),
        (lambda c, y, s: ldpcsw.decode(c, y, s, 0.05, "minsum-layered", normalise=0.875), "normalise:"),
        (lambda c, y, s: ldpcsw.decode(c, y, s, 0.05, threads=1.5), "threads:"),
        (lambda c, y, s: ldpcsw.binary_entropy(-1), r"p: -1 is not a probability in \[0, 1\]"),
        (lambda c, y, s: ldpcsw.binary_entropy(float("nan")), "p: nan"),
        (lambda c, y, s: ldpcsw.slepian_wolf_limit(1.5), r"rate: 1.5 is not in \[0, 1\]"),
    ],
)
def test_bad_arguments_are_refused(code504, call, words):
    _, y, s = ldpcsw.blocks(code504, seed=1, p=0.05, count=4)
    with pytest.raises(ldpcsw.Error, match=words):
        call(code504, y, s)


@pytest.mark.parametrize("decoder", ["adaptive", "minsum-layered", "spa-layered"])
def test_sweep_counts_are_the_command_lines(tmp_path, code504, data_dir, sweep_program, decoder):
    if sweep_program is None:
        pytest.skip("ldpcsw-sweep is not built")
    out = tmp_path / "t.csv"
    subprocess.run(
        [str(sweep_program), "--matrix", str(data_dir / "Reg504252.dat"), "--p", "0.05:0.07:0.01",
         "--blocks", "300", "--max-frame-errors", "20", "--seed", "7", "--threads", "2",
         "--decoder", decoder, "--quiet", "--csv", str(out)],
        check=True, stdout=subprocess.DEVNULL)
    with open(out) as f:
        rows = list(csv.DictReader(f))
    result = ldpcsw.sweep(code504, p=[0.05, 0.06, 0.07], blocks=300, max_frame_errors=20,
                          decoder=decoder, seed=7, threads=3)
    assert len(result) == len(rows) == 3
    for rec, row in zip(result, rows):
        assert float(row["p"]) == rec["p"]
        for key in ("blocks", "frame_errors", "bit_errors", "bit_errors_sq", "undetected_errors"):
            assert int(row[key]) == rec[key], key
        assert float(row["fer"]) == pytest.approx(rec["fer"], rel=1e-12)
        assert float(row["ber_hi"]) == pytest.approx(rec["ber_hi"], rel=1e-12)
        assert float(row["avg_iterations"]) == pytest.approx(rec["avg_iterations"], rel=1e-12)
    frame = result.to_pandas()
    assert list(frame["p"]) == [0.05, 0.06, 0.07] and frame["partial"].sum() == 0


def test_progress_is_called_and_its_exception_ends_the_sweep(code504):
    seen = []
    result = ldpcsw.sweep(code504, p=[0.08, 0.09], blocks=200, max_frame_errors=0, seed=1,
                          threads=2, progress=lambda *a: seen.append(a))
    assert [r["blocks"] for r in result] == [200, 200]
    assert seen[-1] == (1, 0.09, 200, result[1]["frame_errors"])

    def fail(*_):
        raise KeyError("stop here")

    with pytest.raises(KeyError, match="stop here"):
        ldpcsw.sweep(code504, p=[0.08], blocks=200, threads=2, progress=fail)


def test_a_decode_in_a_thread_leaves_the_main_thread_free(code504):
    _, y, s = ldpcsw.blocks(code504, seed=4, p=0.09, count=600)
    done = threading.Event()
    out = {}

    def work():
        out["r"] = ldpcsw.decode(code504, y, s, 0.09, decoder="plain", threads=1)
        done.set()

    t = threading.Thread(target=work)
    t0 = time.perf_counter()
    t.start()
    ticks = 0
    while not done.is_set():
        ticks += 1  # the main thread runs Python while the decode holds no GIL
        time.sleep(0.001)
    t.join()
    elapsed = time.perf_counter() - t0
    assert out["r"][0].shape == (600, 504)
    # with the GIL held for the whole decode the loop would run once or twice
    assert elapsed > 0.05 and ticks >= 10


def test_ctrl_c_stops_the_sweep_and_returns_the_points_so_far(code504):
    import _thread

    seen = []

    def progress(point, p, done, errors):
        seen.append(point)
        if point == 1 and len([s for s in seen if s == 1]) == 2:
            _thread.interrupt_main()  # as a Ctrl-C in a notebook would

    with pytest.warns(RuntimeWarning, match="interrupted"):
        result = ldpcsw.sweep(code504, p=[0.03, 0.1, 0.12], blocks=4000, max_frame_errors=0,
                              decoder="plain", threads=2, progress=progress)
    assert result.interrupted
    assert len(result) == 2
    assert not result[0]["partial"] and result[0]["blocks"] == 4000
    assert result[1]["partial"] and 0 < result[1]["blocks"] < 4000


def test_whole_values_in_any_spelling_and_the_edges_of_the_ranges_are_taken(code504):
    _, y, s = ldpcsw.blocks(code504, seed=1, p=0.05, count=20)
    a = ldpcsw.sweep(code504, p=[0.05], blocks=20.0, max_frame_errors=np.int64(0), seed=np.uint64(1))
    b = ldpcsw.sweep(code504, p=np.float32(0.05), blocks=20, max_frame_errors=0, seed=1)
    assert a[0]["blocks"] == b[0]["blocks"] == 20 and a[0]["bit_errors"] == b[0]["bit_errors"]
    pair = ldpcsw.decode(code504, y, s, 0.05, "minsum-layered", normalise=(7, 8))
    text = ldpcsw.decode(code504, y, s, 0.05, "minsum-layered", normalise="7/8")
    np.testing.assert_array_equal(pair[0], text[0])
    # p = 1/2 is a valid crossover probability for every decoder
    x_hat, ok, _ = ldpcsw.decode(code504, y, s, 0.5, "adaptive")
    assert x_hat.shape == (20, 504)
    # the last blocks of the stream, and none past it
    last = ldpcsw.blocks(code504, 1, 0.06, 2**64 - 3, 3)
    assert last[0].shape == (3, 504)
    assert ldpcsw.blocks(code504, 1, 0.06, 2**64 - 1, 0)[0].shape == (0, 504)
    assert ldpcsw.binary_entropy(0) == 0 and ldpcsw.binary_entropy(0.5) == 1
    assert ldpcsw.slepian_wolf_limit(0) == 0 and ldpcsw.slepian_wolf_limit(1) == 0.5


def test_ctrl_c_stops_a_long_decode_between_blocks(code504):
    import _thread

    _, y, s = ldpcsw.blocks(code504, seed=4, p=0.1, count=3000)
    timer = threading.Timer(0.3, _thread.interrupt_main)  # as a Ctrl-C in a notebook would
    t0 = time.perf_counter()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        ldpcsw.decode(code504, y, s, 0.1, decoder="adaptive", threads=1)
    elapsed = time.perf_counter() - t0
    timer.join()
    # the whole batch takes several seconds on one thread; the stop comes after the blocks in hand
    assert elapsed < 3, elapsed
    # and the module is usable afterwards
    assert ldpcsw.decode(code504, y[:2], s[:2], 0.1)[0].shape == (2, 504)
