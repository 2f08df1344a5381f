"""LDPC syndrome decoding: matrices, decoders and error-rate sweeps on numpy arrays.

A short session::

    import ldpcsw
    H = ldpcsw.build_matrix(504, 252, column_weight=3, seed=1)
    x, y, s = ldpcsw.blocks(H, seed=1, p=0.05, first=0, count=1000)
    x_hat, ok, iterations = ldpcsw.decode(H, y, s, p=0.05)
    table = ldpcsw.sweep(H, p=[0.04, 0.05, 0.06], blocks=10000).to_pandas()

Every function runs the same C++ as the command-line programs: ``sweep`` gives the counts
``ldpcsw-sweep`` gives for the same arguments, and ``blocks`` the very blocks it decodes.
Refusals (bad files, arrays or parameters) raise :class:`ldpcsw.Error`, a ValueError.
"""

from __future__ import annotations

import warnings
from typing import Callable, Iterable, Optional, Sequence, Tuple

import numpy as np

from . import _core
from ._core import Error, Matrix, binary_entropy, build_matrix, read_matrix, slepian_wolf_limit

__all__ = [
    "Error",
    "Matrix",
    "SweepResult",
    "binary_entropy",
    "blocks",
    "build_matrix",
    "decode",
    "read_matrix",
    "slepian_wolf_limit",
    "sweep",
    "DECODERS",
]

#: The decoders, by the names the command line uses.
DECODERS = ("adaptive", "plain", "minsum-flooding", "minsum-layered", "spa-layered")


def _from_scipy(a) -> Matrix:
    """A Matrix from any scipy.sparse matrix or array of 0/1 entries (explicit zeros are
    dropped; any other value is refused)."""
    import scipy.sparse

    if not scipy.sparse.issparse(a):
        raise Error("from_scipy: not a scipy.sparse matrix")
    csr = scipy.sparse.csr_matrix(a)
    m, n = csr.shape
    return _core._matrix_from_csr(
        n,
        m,
        np.ascontiguousarray(csr.indptr, dtype=np.int64),
        np.ascontiguousarray(csr.indices, dtype=np.int64),
        np.ascontiguousarray(csr.data, dtype=np.float64),
    )


def _from_dense(a) -> Matrix:
    """A Matrix from a 2-D array-like of 0/1 entries (m rows by n columns)."""
    arr = np.asarray(a)
    if arr.ndim != 2:
        raise Error(f"from_dense: {arr.ndim} dimensions, not 2")
    if not (np.issubdtype(arr.dtype, np.number) or arr.dtype == np.bool_):
        raise Error(f"from_dense: dtype {arr.dtype} is not numeric")
    if np.iscomplexobj(arr):
        raise Error("from_dense: complex entries")
    return _core._matrix_from_dense(np.ascontiguousarray(arr, dtype=np.float64))


def _to_scipy(self):
    """H as a scipy.sparse.csr_matrix of uint8 ones (m by n)."""
    import scipy.sparse

    indices = self.indices
    return scipy.sparse.csr_matrix(
        (np.ones(len(indices), dtype=np.uint8), indices, self.indptr), shape=(self.m, self.n)
    )


def _to_dense(self) -> np.ndarray:
    """H as a dense uint8 numpy array (m by n)."""
    out = np.zeros((self.m, self.n), dtype=np.uint8)
    rows = np.repeat(np.arange(self.m), np.diff(self.indptr))
    out[rows, self.indices] = 1
    return out


def _repr(self) -> str:
    return f"<ldpcsw.Matrix n={self.n} m={self.m} edges={self.edges}>"


Matrix.from_scipy = staticmethod(_from_scipy)
Matrix.from_dense = staticmethod(_from_dense)
Matrix.to_scipy = _to_scipy
Matrix.to_dense = _to_dense
Matrix.__repr__ = _repr


def _bits(name: str, a, width: int) -> np.ndarray:
    """A C-contiguous uint8 view of a (B, width) uint8 or bool array; no copy when the layout
    allows one to be avoided."""
    arr = np.asarray(a)
    if arr.dtype == np.bool_:
        arr = arr.view(np.uint8)
    elif arr.dtype != np.uint8:
        raise Error(f"{name}: dtype {arr.dtype}, not uint8 or bool")
    if arr.ndim == 1 and arr.shape[0] == width:
        arr = arr.reshape(1, width)
    if arr.ndim != 2:
        raise Error(f"{name}: {arr.ndim} dimensions, not 2 (blocks, {width})")
    return np.ascontiguousarray(arr)


def decode(
    code: Matrix,
    y,
    s,
    p: float,
    decoder: str = "adaptive",
    *,
    threads: int = 0,
    q: Optional[int] = None,
    offset: Optional[int] = None,
    normalise: Optional[Tuple[int, int]] = None,
    iterations: Optional[int] = None,
) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Decodes a batch of blocks from their side information and syndromes.

    y: (B, n) and s: (B, m) arrays of 0/1, uint8 or bool (a single block may be 1-D).
    p: the crossover probability the exact decoders assume (ignored by min-sum).
    decoder: 'adaptive', 'plain', 'minsum-flooding', 'minsum-layered' or
        'spa-layered' (the fixed-point layered sum-product; its Q follows from p).
    threads: worker threads (0: one per core); the GIL is released while decoding.
    q, offset, normalise=(A, B), iterations: the min-sum decoders' parameters.

    Returns x_hat (B, n) uint8, success (B,) bool and iterations (B,) int32. Decisions start
    as the complement of y, as in the sweep, so a block decodes exactly as there.
    """
    y8 = _bits("y", y, code.n)
    s8 = _bits("s", s, code.m)
    return _core._decode(
        code, y8, s8, float(p), decoder, int(threads), q, offset,
        None if normalise is None else (int(normalise[0]), int(normalise[1])), iterations,
    )


def blocks(code: Matrix, seed: int, p: float, first: int = 0, count: int = 1):
    """The sweep's blocks first .. first + count - 1 of point p under seed: the source x,
    the side information y and the syndrome s = H x, as uint8 arrays (count, n), (count, n),
    (count, m). They are the blocks ldpcsw-sweep decodes for the same seed and p."""
    if count < 0 or first < 0:
        raise Error("first and count must not be negative")
    return _core._blocks(code, int(seed), float(p), int(first), int(count))


class SweepResult(list):
    """One record (a dict) per point, in the order of p: p, h_p, blocks, frame_errors,
    bit_errors, bit_errors_sq, fer, fer_lo, fer_hi, ber, ber_lo, ber_hi (95% intervals),
    iterations, avg_iterations, seconds, blocks_per_second and partial (True for a point cut
    short by an interruption). `interrupted` tells whether the sweep was stopped."""

    interrupted: bool = False

    def to_pandas(self):
        """The records as a pandas DataFrame (one row per point)."""
        import pandas

        return pandas.DataFrame(list(self))


def sweep(
    code: Matrix,
    p: Iterable[float],
    blocks: int = 100000,
    max_frame_errors: int = 100,
    decoder: str = "adaptive",
    seed: int = 1,
    threads: int = 0,
    progress: Optional[Callable[[int, float, int, int], object]] = None,
    *,
    q: Optional[int] = None,
    offset: Optional[int] = None,
    normalise: Optional[Tuple[int, int]] = None,
    iterations: Optional[int] = None,
) -> SweepResult:
    """Frame and bit error rates at each crossover probability in p, by the engine of
    ldpcsw-sweep: the same blocks, the same early stop after max_frame_errors failed blocks
    (0: none), the same counts for any thread count.

    progress(point_index, p, blocks_done, frame_errors) is called now and then from the
    calling thread, and after each point. Ctrl-C stops the sweep at the next block: the points
    finished so far are returned, with the interrupted one marked partial, and a warning.
    """
    ps = [float(p)] if np.isscalar(p) else [float(v) for v in np.asarray(p, dtype=float).ravel()]
    records, interrupted = _core._sweep(
        code, ps, int(blocks), int(max_frame_errors), decoder, int(seed), int(threads), progress,
        q, offset, None if normalise is None else (int(normalise[0]), int(normalise[1])),
        iterations,
    )
    result = SweepResult(records)
    result.interrupted = bool(interrupted)
    if result.interrupted:
        warnings.warn("ldpcsw.sweep interrupted: returning the points decoded so far",
                      RuntimeWarning, stacklevel=2)
    return result
