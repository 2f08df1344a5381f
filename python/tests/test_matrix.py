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
