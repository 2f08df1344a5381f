import threading
import time

import numpy as np
import pytest
import scipy.sparse

import ldpcsw


def test_both_layouts_read_the_same_matrix(data_dir, code504):
    alist = ldpcsw.read_matrix(str(data_dir / "Reg504252.alist"), format="detect")
    assert (code504.n, code504.m, code504.edges) == (504, 252, 1512)
    assert (alist.to_scipy() != code504.to_scipy()).nnz == 0
    assert code504.girth() >= 6
    assert 0 < code504.rank() <= 252


def test_scipy_and_dense_round_trips(code504):
    a = code504.to_scipy()
    assert a.shape == (252, 504) and a.dtype == np.uint8
    back = ldpcsw.Matrix.from_scipy(a.tocoo())
    np.testing.assert_array_equal(back.indptr, code504.indptr)
    dense = code504.to_dense()
    assert dense.sum() == code504.edges
    np.testing.assert_array_equal(ldpcsw.Matrix.from_dense(dense.astype(bool)).to_dense(), dense)
    # explicit zeros are no ones
    with_zero = scipy.sparse.csr_matrix(a, dtype=np.float64)
    with_zero.data[0] = 0.0
    assert ldpcsw.Matrix.from_scipy(with_zero).edges == code504.edges - 1


def test_write_then_read_gives_the_same_matrix(tmp_path, code504):
    for fmt in ("rows", "alist"):
        path = tmp_path / f"h.{fmt}"
        code504.write(str(path), format=fmt)
        again = ldpcsw.read_matrix(str(path))
        np.testing.assert_array_equal(again.to_dense(), code504.to_dense())


def test_build_is_reproducible_and_peg_lifts_the_girth():
    a = ldpcsw.build_matrix(504, 252, column_weight=3, seed=5)
    b = ldpcsw.build_matrix(504, 252, column_weight=3, seed=5)
    np.testing.assert_array_equal(a.indices, b.indices)
    assert a.girth() >= 8
    r = ldpcsw.build_matrix(2000, 1000, column_weight=3, seed=5, method="random")
    assert (r.n, r.m, r.edges) == (2000, 1000, 6000)


@pytest.mark.parametrize(
    "make, words",
    [
        (lambda: ldpcsw.Matrix.from_dense(np.full((10, 30), 2)), r"entry \(0, 0\) is 2"),
        (lambda: ldpcsw.Matrix.from_dense(np.full((10, 30), 0.5)), "not 0 or 1"),
        (lambda: ldpcsw.Matrix.from_dense(np.ones(30)), "dimensions"),
        (lambda: ldpcsw.Matrix.from_dense(np.ones((30, 10))), "exceeds n"),  # more checks than bits
        (lambda: ldpcsw.Matrix.from_dense(np.ones((2, 5))), "below 21"),  # shorter than the reader allows
        (lambda: ldpcsw.Matrix.from_scipy(np.ones((3, 30))), "scipy"),
        (lambda: ldpcsw.build_matrix(10, 20, 3), "build|matrix"),
        (lambda: ldpcsw.build_matrix(504, 252, 3, method="nope"), "method"),
    ],
)
def test_bad_matrices_are_refused(make, words):
    with pytest.raises(ldpcsw.Error, match=words):
        make()


def test_bad_files_name_the_file_and_the_problem(tmp_path, data_dir):
    missing = tmp_path / "missing.dat"
    with pytest.raises(ldpcsw.Error, match="missing.dat: cannot open"):
        ldpcsw.read_matrix(str(missing))
    empty = tmp_path / "empty.dat"
    empty.write_text("")
    with pytest.raises(ldpcsw.Error, match="empty.dat: the file is empty"):
        ldpcsw.read_matrix(str(empty))
    with pytest.raises(ldpcsw.Error, match="use format='alist'"):
        ldpcsw.read_matrix(str(data_dir / "Reg504252.alist"), format="rows")
    bad = tmp_path / "bad.dat"
    bad.write_text("30 2 2\n1 31\n2 3\n")
    with pytest.raises(ldpcsw.Error, match="bad.dat"):
        ldpcsw.read_matrix(str(bad))
    with pytest.raises(ldpcsw.Error, match="format"):
        ldpcsw.read_matrix(str(bad), format="csv")
    with pytest.raises(ldpcsw.Error, match="cannot open"):
        ldpcsw.build_matrix(504, 252).write(str(tmp_path / "no" / "such" / "dir"))
    assert issubclass(ldpcsw.Error, ValueError)


def test_paths_may_be_pathlike_and_the_name_tells_the_layout(tmp_path, data_dir, code504):
    assert ldpcsw.read_matrix(data_dir / "Reg504252.alist").edges == code504.edges
    for name, first_line in (("h.alist", "504 252"), ("h.dat", "504 252 6"), ("h.txt", "504 252 6")):
        code504.write(tmp_path / name)  # a pathlib.Path, no format: the name tells
        assert (tmp_path / name).read_text().splitlines()[0].split() == first_line.split()
        np.testing.assert_array_equal(ldpcsw.read_matrix(tmp_path / name).to_dense(),
                                      code504.to_dense())
    # a format that contradicts the name is refused and writes nothing
    for name, fmt in (("x.alist", "rows"), ("x.dat", "alist")):
        with pytest.raises(ldpcsw.Error, match="does not match the name"):
            code504.write(tmp_path / name, format=fmt)
        assert not (tmp_path / name).exists()
    with pytest.raises(ldpcsw.Error, match="not a path"):
        ldpcsw.read_matrix(3)


def test_build_matrix_leaves_other_threads_running():
    done = threading.Event()

    def work():
        ldpcsw.build_matrix(6000, 3000, column_weight=3, seed=2)
        done.set()

    t = threading.Thread(target=work)
    t0 = time.perf_counter()
    t.start()
    ticks = 0
    while not done.is_set():
        ticks += 1
        time.sleep(0.001)
    t.join()
    # with the GIL held for the whole build the loop would run once or twice
    assert time.perf_counter() - t0 > 0.05 and ticks >= 10


def _code_program(sweep_program):
    return None if sweep_program is None else sweep_program.parent / "ldpcsw-code"


def test_irregular_builds_and_thresholds_are_the_command_lines(tmp_path, sweep_program):
    """build_matrix with degree distributions gives ldpcsw-code build's file byte for byte,
    and threshold its p*; the distributions read back from the matrix."""
    import subprocess

    code = _code_program(sweep_program)
    if code is None or not code.exists():
        pytest.skip("ldpcsw-code is not built")
    H = ldpcsw.build_matrix(1000, 500, column_degrees={2: 0.5, 3: 0.3, 8: 0.2}, seed=4)
    same = ldpcsw.build_matrix(1000, 500, column_degrees="2:0.5,3:0.3,8:0.2", seed=4)
    H.write(tmp_path / "py.dat")
    same.write(tmp_path / "py2.dat")
    subprocess.run([str(code), "build", "--n", "1000", "--m", "500", "--column-degrees",
                    "2:0.5,3:0.3,8:0.2", "--seed", "4", "--dat", str(tmp_path / "cli.dat")],
                   check=True, stdout=subprocess.DEVNULL)
    assert (tmp_path / "py.dat").read_bytes() == (tmp_path / "cli.dat").read_bytes()
    assert (tmp_path / "py2.dat").read_bytes() == (tmp_path / "cli.dat").read_bytes()
    assert H.column_degrees == {2: 0.5, 3: 0.3, 8: 0.2} and H.row_degrees == {7: 1.0}
    assert H.column_weights.sum() == H.row_weights.sum() == H.edges
    edge = ldpcsw.build_matrix(600, 300, lambda_={2: 0.3, 3: 0.7}, rho={6: 1.0}, seed=2)
    # the ones fix the rows: rho = x^5 cannot hold exactly, the realised rows sit at 5 and 6
    assert set(edge.column_degrees) == {2, 3} and set(edge.row_degrees) <= {5, 6}
    out = subprocess.run([str(code), "threshold", "--column-weight", "3", "--rate", "0.5",
                          "--step", "0.125"], check=True, capture_output=True, text=True).stdout
    cli = float(out.split("threshold p* ")[1].split(",")[0])
    assert round(ldpcsw.threshold(column_weight=3, rate=0.5, step=0.125), 5) == cli
    assert ldpcsw.threshold(column_weight=3, row_weight=6) == pytest.approx(0.08402, abs=1e-5)


@pytest.mark.parametrize(
    "call, words",
    [
        (lambda: ldpcsw.threshold(column_weight=3), "one of row_weight"),
        (lambda: ldpcsw.threshold(row_weight=6), "one of column_weight"),
        (lambda: ldpcsw.threshold(column_weight=3, row_weight=6, rate=0.5), "one of row_weight"),
        (lambda: ldpcsw.threshold(column_weight=3, rate=1.5), r"rate: 1.5 is not in \(0, 1\)"),
        (lambda: ldpcsw.threshold(column_weight=3, row_weight=6, step=2), "step"),
        (lambda: ldpcsw.threshold(column_degrees={2: 0.5, 3: 0.4}, row_weight=6), "sum"),
        (lambda: ldpcsw.threshold(column_degrees=[2, 3], row_weight=6), "neither a dict"),
        (lambda: ldpcsw.build_matrix(100, 50, column_weight=3, column_degrees={3: 1.0}), "exclude"),
        (lambda: ldpcsw.build_matrix(100, 50, column_degrees={3: 1.0}, lambda_={3: 1.0}), "exclude"),
        (lambda: ldpcsw.build_matrix(100, 50, method="random", row_degrees={6: 1.0}), "random"),
        (lambda: ldpcsw.build_matrix(100, 50, depth=-1), "depth"),
        (lambda: ldpcsw.set_simd_target("vax"), "not available here"),
        (lambda: ldpcsw.sweep(ldpcsw.build_matrix(100, 50), p=[0.05], device="tpu"), "device"),
        (lambda: ldpcsw.sweep(ldpcsw.build_matrix(100, 50), p=[0.05], device="gpu"), "cpu only"),
    ],
)
def test_threshold_build_and_target_refusals(call, words):
    with pytest.raises(ldpcsw.Error, match=words):
        call()


def test_simd_targets_device_and_plot_keep_the_counts(code504):
    """Every SIMD target and the device (emulated where there is no GPU) give the same counts;
    a sweep's records plot in one call."""
    args = dict(p=[0.06, 0.07], blocks=200, max_frame_errors=0, decoder="spa-layered", threads=1)
    want = ldpcsw.sweep(code504, **args)
    try:
        for target in ldpcsw.simd_targets():
            ldpcsw.set_simd_target(target)
            got = ldpcsw.sweep(code504, **args)
            assert [r["frame_errors"] for r in got] == [r["frame_errors"] for r in want], target
    finally:
        ldpcsw.set_simd_target("best")
    device = ldpcsw.sweep(code504, device="gpu", **args)
    for a, b in zip(device, want):
        for key in ("blocks", "frame_errors", "bit_errors", "iterations", "undetected_errors"):
            assert a[key] == b[key], key
    import matplotlib

    matplotlib.use("Agg")
    ax = want.plot()
    assert ax.get_yscale() == "log" and len(ax.get_lines()) > 0
