"""LDPC syndrome decoding: matrices, decoders and error-rate sweeps on numpy arrays.

A short session::

    import ldpcsw
    H = ldpcsw.build_matrix(504, 252, column_weight=3, seed=1)
    x, y, s = ldpcsw.blocks(H, seed=1, p=0.05, first=0, count=1000)
    x_hat, ok, iterations = ldpcsw.decode(H, y, s, p=0.05)
    table = ldpcsw.sweep(H, p=[0.04, 0.05, 0.06], blocks=10000).to_pandas()
    p_star = ldpcsw.threshold(column_weight=3, row_weight=6)   # 0.08402

Every function runs the same C++ as the command-line programs: ``sweep`` gives the counts
``ldpcsw-sweep`` gives for the same arguments, and ``blocks`` the very blocks it decodes.
Refusals (bad files, arrays or parameters) raise :class:`ldpcsw.Error`, a ValueError.
"""

from __future__ import annotations

import numbers
import os
import warnings
from typing import Callable, Iterable, Optional, Sequence, Tuple

import numpy as np

from . import _core
from ._core import Error, Matrix, RateAdaptation, binary_entropy, simd_targets, slepian_wolf_limit

__all__ = [
    "Error",
    "Matrix",
    "RateAdaptation",
    "CriticalRateResult",
    "SweepResult",
    "binary_entropy",
    "blocks",
    "build_matrix",
    "build_rate_adaptation",
    "critical_rate",
    "decode",
    "read_matrix",
    "read_rate_adaptation",
    "set_simd_target",
    "simd_targets",
    "slepian_wolf_limit",
    "sweep",
    "threshold",
    "DECODERS",
]

#: The decoders, by the names the command line uses.
DECODERS = ("adaptive", "plain", "minsum-flooding", "minsum-layered", "spa-layered")

#: The largest count of blocks or frame errors taken, as ldpcsw-sweep takes: 2^53, beyond
#: which a double (in which counts may be written as 1e6) no longer holds every whole number.
MAX_COUNT = 2**53

#: The most decoding threads asked for, as ldpcsw-sweep takes; the engine runs at most four
#: per core (and one per block) of them.
MAX_THREADS = 4096

_U64 = 2**64 - 1


def _is_integer(value) -> bool:
    return isinstance(value, numbers.Integral) and not isinstance(value, (bool, np.bool_))


def _whole(name: str, value, lo: int, hi: int) -> int:
    """An integer argument in lo..hi: bools, non-integers (1.9, "7", 7.0) and values out of
    range are refused in ldpcsw-sweep's words."""
    if not _is_integer(value) or not lo <= int(value) <= hi:
        raise Error(f"{name}: {value!r} is not a whole number in {lo}..{hi}")
    return int(value)


def _count(name: str, value, lo: int) -> int:
    """A count in lo..2^53; a float is taken when it is whole (1e5), as the command line takes
    '1e5'."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise Error(f"{name}: {value!r} is not a number")
    if not _is_integer(value):
        v = float(value)
        if not np.isfinite(v) or v != np.floor(v):
            raise Error(f"{name}: {value!r} is not a whole number")
        if v > MAX_COUNT:
            raise Error(f"{name}: {value!r} is above 2^53 = {MAX_COUNT}, the largest count taken")
        value = int(v)
    value = int(value)
    if value < lo:
        raise Error(f"{name}: {value} is below {lo}")
    if value > MAX_COUNT:
        raise Error(f"{name}: {value} is above 2^53 = {MAX_COUNT}, the largest count taken")
    return value


def _probability(name: str, value) -> float:
    """A real number (not a bool); its range is checked by the engine."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise Error(f"{name}: {value!r} is not a number")
    return float(value)


def _points(p) -> list:
    """The crossover probabilities of a sweep: one number or an iterable of them."""
    if isinstance(p, str):
        raise Error(f"p: {p!r} is not a number")
    values = [p] if np.isscalar(p) else list(np.asarray(p, dtype=object).ravel())
    return [_probability("p", v) for v in values]


def _decoder(value) -> str:
    if not isinstance(value, str) or value not in DECODERS:
        raise Error(f"decoder: {value!r} is not one of {', '.join(DECODERS)}")
    return value


def _normalise(value):
    """normalise as (A, D) or "A/D", D a power of two up to 128 and 1 <= A <= D."""
    if value is None:
        return None
    parts = value.split("/") if isinstance(value, str) else value
    ok = isinstance(parts, (tuple, list)) and len(parts) == 2
    if ok and isinstance(value, str):
        try:
            parts = [int(t) for t in parts]
        except ValueError:
            ok = False
    if ok and all(_is_integer(v) for v in parts):
        a, d = int(parts[0]), int(parts[1])
        if 1 <= d <= 128 and d & (d - 1) == 0 and 1 <= a <= d:
            return (a, d)
    raise Error(f"normalise: {value!r} is not A/D with D a power of two up to 128 and 1 <= A <= D")


def _minsum(q, offset, normalise, iterations, posterior_bits=None):
    if posterior_bits is not None and (not _is_integer(posterior_bits) or
                                       int(posterior_bits) not in (8, 16)):
        raise Error(f"posterior_bits: {posterior_bits!r} is neither 16 nor 8")
    return (
        None if q is None else _whole("q", q, 1, 127),
        None if offset is None else _whole("offset", offset, 0, 127),
        _normalise(normalise),
        None if iterations is None else _whole("iterations", iterations, 1, 100000),
        None if posterior_bits is None else int(posterior_bits),
    )


def _device(value) -> str:
    if value not in ("cpu", "gpu"):
        raise Error(f"device: {value!r} is not one of cpu, gpu")
    return value


def _path(name: str, value) -> str:
    """A path given as str or os.PathLike (bytes paths are decoded as the file system does)."""
    try:
        path = os.fspath(value)
    except TypeError:
        raise Error(f"{name}: {value!r} is not a path") from None
    return os.fsdecode(path)


def read_matrix(path, format: str = "detect") -> Matrix:
    """Reads a row-list or alist matrix file (a str or os.PathLike); format is 'detect' (by
    content), 'rows' or 'alist'. Raises ldpcsw.Error naming the file and the problem."""
    return _core.read_matrix(_path("path", path), format)


def _degrees(name: str, value) -> Optional[str]:
    """A degree distribution as ldpcsw-code reads it: a dict {degree: fraction} or the text
    'degree:fraction,...'. Fractions must sum to 1 (within 1e-6)."""
    if value is None:
        return None
    if isinstance(value, str):
        return value
    if isinstance(value, dict) and value:
        items = []
        for degree, fraction in value.items():
            if not _is_integer(degree) or isinstance(fraction, (bool, np.bool_)) or \
                    not isinstance(fraction, numbers.Real):
                raise Error(f"{name}: {degree!r}: {fraction!r} is not a whole degree and a fraction")
            items.append(f"{int(degree)}:{float(fraction)!r}")
        return ",".join(items)
    raise Error(f"{name}: {value!r} is neither a dict {{degree: fraction}} nor 'degree:fraction,...'")


def build_matrix(n: int, m: int, column_weight: Optional[int] = None, seed: int = 1,
                 method: str = "peg", *, column_degrees=None, lambda_=None, row_degrees=None,
                 rho=None, depth: Optional[int] = None) -> Matrix:
    """Builds an n-bit, m-check matrix, as ``ldpcsw-code build`` does: with a column weight
    (default 3), or with column degrees given as node fractions (``column_degrees``, the share
    of the columns of each degree) or edge fractions (``lambda_``, the share of the ones), and
    optionally row degrees (``row_degrees`` or ``rho``; default: as even as the ones allow).
    Distributions are dicts {degree: fraction} or texts '2:0.5,3:0.3,8:0.2'. method 'peg'
    (progressive edge growth; ``depth`` bounds its search, 0 searches fully, default full up to
    n = 20000 and bounded beyond) or 'random' (column weight only). The same arguments always
    give the same matrix. Other Python threads run while it builds. Raises ldpcsw.Error for
    parameters that cannot be built."""
    return _core.build_matrix(
        _whole("n", n, 1, 2**31 - 1), _whole("m", m, 1, 2**31 - 1),
        None if column_weight is None else _whole("column_weight", column_weight, 1, 2**31 - 1),
        _whole("seed", seed, 0, _U64), method,
        _degrees("column_degrees", column_degrees), _degrees("lambda_", lambda_),
        _degrees("row_degrees", row_degrees), _degrees("rho", rho),
        None if depth is None else _whole("depth", depth, 0, 2**31 - 1))


def threshold(column_weight: Optional[int] = None, row_weight: Optional[int] = None, *,
              column_degrees=None, lambda_=None, row_degrees=None, rho=None,
              rate: Optional[float] = None, step: float = 1 / 16, range: float = 30) -> float:
    """The threshold p* of belief propagation over an LDPC ensemble on the binary symmetric
    correlation channel, by density evolution, as ``ldpcsw-code threshold``: the columns from
    one of column_weight, column_degrees (node fractions) or lambda_ (edge fractions), the rows
    from one of row_weight, row_degrees, rho or rate (rows on the two degrees around the mean
    that gives that rate). Distributions are dicts {degree: fraction} or texts
    '2:0.5,3:0.5'. step (1/256..1) and range (4..60) set the grid of LLRs; p* is found by
    bisection to 1e-5. Seconds for regular ensembles, up to a minute for irregular ones; the
    GIL is released meanwhile. Raises ldpcsw.Error for a bad ensemble."""
    def real(name, v, default=None):
        if v is None:
            return default
        if isinstance(v, (bool, np.bool_)) or not isinstance(v, numbers.Real):
            raise Error(f"{name}: {v!r} is not a number")
        return float(v)
    return _core.threshold(
        None if column_weight is None else _whole("column_weight", column_weight, 1, 2**31 - 1),
        _degrees("column_degrees", column_degrees), _degrees("lambda_", lambda_),
        None if row_weight is None else _whole("row_weight", row_weight, 1, 2**31 - 1),
        _degrees("row_degrees", row_degrees), _degrees("rho", rho), real("rate", rate),
        real("step", step), real("range", range))


def set_simd_target(name: str = "best") -> None:
    """Forces the fixed-point decoders onto one SIMD target, as ldpcsw-sweep's
    --simd-target: a name from simd_targets() or an alias such as 'avx512'; 'best' returns to
    the widest. Process-wide; the counts are the same on every target."""
    if not isinstance(name, str):
        raise Error(f"name: {name!r} is not a target name")
    _core.set_simd_target(name)


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


def _write(self, path, format: Optional[str] = None) -> None:
    """Writes the matrix as a row-list ('rows') or alist ('alist') file (a str or
    os.PathLike). Without format, the name tells: alist for a name ending in .alist, else
    row-list. A format that contradicts a .dat or .alist name is refused, since every program
    reads those names as row-list and alist."""
    self._write(_path("path", path), "" if format is None else format)


def _repr(self) -> str:
    return f"<ldpcsw.Matrix n={self.n} m={self.m} edges={self.edges}>"


Matrix.from_scipy = staticmethod(_from_scipy)
Matrix.from_dense = staticmethod(_from_dense)
Matrix.to_scipy = _to_scipy
Matrix.to_dense = _to_dense
Matrix.__repr__ = _repr
Matrix.write = _write



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
    posterior_bits: Optional[int] = None,
) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Decodes a batch of blocks from their side information and syndromes.

    y: (B, n) and s: (B, m) arrays of 0/1, uint8 or bool (a single block may be 1-D).
    p: the crossover probability the exact decoders and spa-layered assume (min-sum ignores it).
    decoder: 'adaptive', 'plain', 'minsum-flooding', 'minsum-layered' or
        'spa-layered' (the fixed-point layered sum-product; its Q follows from p).
    threads: worker threads, 0..4096 (0: one per core); at most four per core and one per
    block run. The GIL is released while decoding, and Ctrl-C stops the decode between blocks
    (KeyboardInterrupt). Threads the system refuses to start leave the decode to those that
    did, with a RuntimeWarning.
    q, offset, normalise=(A, B), iterations, posterior_bits: the fixed-point decoders'
    parameters, as ldpcsw-sweep's --q (1..127; default 16, spa-layered: from p), --offset
    (0..127), --normalise A/D, --iterations (1..100000, default 50) and --posterior-bits (16,
    the default, or 8: the former layered rule). With neither offset nor normalise each check's
    correction follows from its weight.

    Returns x_hat (B, n) uint8, success (B,) bool and iterations (B,) int32. Decisions start
    as the complement of y, as in the sweep, so a block decodes exactly as there.
    """
    p = _probability("p", p)
    decoder = _decoder(decoder)
    threads = _whole("threads", threads, 0, MAX_THREADS)
    fixed = _minsum(q, offset, normalise, iterations, posterior_bits)
    y8 = _bits("y", y, code.n)
    s8 = _bits("s", s, code.m)
    return _core._decode(code, y8, s8, p, decoder, threads, *fixed)


def blocks(code: Matrix, seed: int, p: float, first: int = 0, count: int = 1):
    """The sweep's blocks first .. first + count - 1 of point p under seed: the source x,
    the side information y and the syndrome s = H x, as uint8 arrays (count, n), (count, n),
    (count, m). They are the blocks ldpcsw-sweep decodes for the same seed and p."""
    for name, v in (("first", first), ("count", count)):
        if _is_integer(v) and int(v) < 0:
            raise Error(f"{name}: {v} is negative")
    first = _whole("first", first, 0, _U64)
    count = _whole("count", count, 0, _U64)
    return _core._blocks(code, _whole("seed", seed, 0, _U64), _probability("p", p), first, count)


class SweepResult(list):
    """One record (a dict) per point, in the order of p: p, h_p, blocks, frame_errors,
    bit_errors, bit_errors_sq, undetected_errors (failed blocks whose decisions satisfy the
    syndrome), fer, fer_lo, fer_hi, ber, ber_lo, ber_hi (95% intervals),
    iterations, avg_iterations, seconds, blocks_per_second and partial (True for a point cut
    short by an interruption). `interrupted` tells whether the sweep was stopped."""

    interrupted: bool = False

    def to_pandas(self):
        """The records as a pandas DataFrame (one row per point)."""
        import pandas

        return pandas.DataFrame(list(self))

    def plot(self, ax=None, label: str = ""):
        """FER (solid) and BER (dashed) against p with their 95% intervals, on a log scale, in
        matplotlib axes ``ax`` (default: a new figure's); points without errors are left out.
        Returns the axes. ``scripts/plot_sweep.py`` draws the CSVs of ldpcsw-sweep the same way,
        with the limits."""
        import matplotlib.pyplot as plt

        if ax is None:
            _, ax = plt.subplots()
        rows = sorted((r for r in self if r["blocks"] > 0), key=lambda r: r["p"])
        for key, count, style in (("fer", "frame_errors", "o-"), ("ber", "bit_errors", "s--")):
            seen = [r for r in rows if r[count] > 0]
            if not seen:
                continue
            ps = [r["p"] for r in seen]
            ax.errorbar(ps, [r[key] for r in seen],
                        yerr=[[r[key] - r[key + "_lo"] for r in seen],
                              [r[key + "_hi"] - r[key] for r in seen]],
                        fmt=style, capsize=2, label=f"{label} {key.upper()}".strip())
        ax.set_yscale("log")
        ax.set_xlabel("crossover probability p")
        ax.set_ylabel("error rate")
        ax.legend()
        return ax


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
    posterior_bits: Optional[int] = None,
    device: str = "cpu",
) -> SweepResult:
    """Frame and bit error rates at each crossover probability in p, by the engine of
    ldpcsw-sweep: the same blocks, the same early stop after max_frame_errors failed blocks
    (0: none), the same counts for any thread count.

    q, offset, normalise, iterations, posterior_bits: the fixed-point decoders' parameters, as
    in decode. device: 'cpu' (default) or 'gpu', the fixed-point decoders' kernels on a GPU
    (or, on a build without CUDA, through the host emulation; ldpcsw-sweep --device); the
    counts are the same.

    threads: 0..4096 (0: one per core); at most four per core and one per block run, and
    threads the system refuses to start leave the sweep to those that did, with a
    RuntimeWarning (the counts are the same for any thread count).

    progress(point_index, p, blocks_done, frame_errors) is called now and then from the
    calling thread, and after each point. Ctrl-C stops the sweep at the next block: the points
    finished so far are returned, with the interrupted one marked partial, and a warning.
    """
    ps = _points(p)
    records, interrupted = _core._sweep(
        code, ps, _count("blocks", blocks, 1), _count("max_frame_errors", max_frame_errors, 0),
        _decoder(decoder), _whole("seed", seed, 0, _U64), _whole("threads", threads, 0, MAX_THREADS),
        progress, *_minsum(q, offset, normalise, iterations, posterior_bits),
        _device(device),
    )
    result = SweepResult(records)
    result.interrupted = bool(interrupted)
    if result.interrupted:
        warnings.warn("ldpcsw.sweep interrupted: returning the points decoded so far",
                      RuntimeWarning, stacklevel=2)
    return result


# ---- Rate adaptation ------------------------------------------------------------------------


class CriticalRateResult(list):
    """One record (a dict) per point, in the order of p, with the columns of
    ``ldpcsw-sweep --rate-adaptive``'s CSV: p, h_p, blocks, rate (the mean critical rate R̄,
    rates as compressors rank/n, an undecoded block counting 1), rate_lo, rate_hi (95%
    interval), efficiency (R̄ / H(p)), efficiency_lo, efficiency_hi, rate_q05, rate_q50,
    rate_q95 (quantiles of the blocks' rates), undecoded (blocks no code of the chain decodes),
    undetected (blocks with a wrong decoding that satisfied its syndrome at some rate),
    decodes, iterations (totals over every probe), seconds, blocks_per_second, histogram
    ({critical step: blocks}, -1 for undecoded) and partial. `interrupted` tells whether the
    run was stopped."""

    interrupted: bool = False

    def to_pandas(self):
        """The records as a pandas DataFrame (one row per point)."""
        import pandas

        return pandas.DataFrame(list(self))

    def plot(self, ax=None, label: str = ""):
        """Efficiency R̄ / H(p) against p with its 95% interval, beside the Slepian–Wolf limit 1,
        in matplotlib axes ``ax`` (default: a new figure's). Returns the axes.
        ``scripts/plot_sweep.py --efficiency`` draws the CSVs of ldpcsw-sweep --rate-adaptive."""
        import matplotlib.pyplot as plt

        if ax is None:
            _, ax = plt.subplots()
        rows = sorted((r for r in self if r["blocks"] > 0), key=lambda r: r["p"])
        ax.errorbar([r["p"] for r in rows], [r["efficiency"] for r in rows],
                    yerr=[[r["efficiency"] - r["efficiency_lo"] for r in rows],
                          [r["efficiency_hi"] - r["efficiency"] for r in rows]],
                    fmt="o-", capsize=2, label=label or "efficiency")
        ax.axhline(1.0, color="grey", linestyle=":", label="Slepian–Wolf limit")
        ax.set_xlabel("crossover probability p")
        ax.set_ylabel("efficiency f = R̄ / H(p)")
        ax.legend()
        return ax


def critical_rate(
    code: Matrix,
    chain: RateAdaptation,
    p: Iterable[float],
    blocks: int = 10000,
    decoder: str = "minsum-layered",
    seed: int = 1,
    threads: int = 0,
    progress: Optional[Callable[[int, float, int, int], object]] = None,
    *,
    search: str = "bisect",
    q: Optional[int] = None,
    offset: Optional[int] = None,
    normalise: Optional[Tuple[int, int]] = None,
    iterations: Optional[int] = None,
    posterior_bits: Optional[int] = None,
    device: str = "cpu",
) -> CriticalRateResult:
    """The critical rate of every block along ``chain`` (a rate adaptation of ``code``): the
    lowest rate of the chain at which the decoder recovers the block exactly, and per point its
    mean R̄, interval, quantiles and efficiency R̄ / H(p), as ``ldpcsw-sweep --rate-adaptive``
    (the same blocks and counts, for any thread count).

    search: 'bisect' (gallop from a guess, then bisect; assumes that a code with more syndrome
    bits decodes what one with fewer decodes) or 'scan' (every step from the lowest rate up, as
    a protocol that releases one syndrome bit at a time). device: 'cpu' or 'gpu' (the
    fixed-point decoders' kernels, as in sweep; the same counts). progress(point_index, p, blocks_done,
    undecoded) is called now and then from the calling thread and after each point; Ctrl-C
    stops the run at the next block, returning the points so far with a warning."""
    if not isinstance(code, Matrix):
        raise Error(f"code: {code!r} is not an ldpcsw.Matrix")
    if not isinstance(chain, RateAdaptation):
        raise Error(f"chain: {chain!r} is not an ldpcsw.RateAdaptation")
    if search not in ("bisect", "scan"):
        raise Error(f"search: {search!r} is not one of 'bisect', 'scan'")
    ps = _points(p)
    if chain.ranks is None:
        warnings.warn("ldpcsw.critical_rate: the matrix is too large for the dense elimination "
                      "that gives the chain's ranks; its rates are taken as rows / n, an upper "
                      "bound (exact when the matrix has full rank)", RuntimeWarning, stacklevel=2)
    records, interrupted = _core._critical_rate(
        code, chain, ps, _count("blocks", blocks, 1), _decoder(decoder),
        _whole("seed", seed, 0, _U64), _whole("threads", threads, 0, MAX_THREADS), progress,
        *_minsum(q, offset, normalise, iterations, posterior_bits), search, _device(device),
    )
    result = CriticalRateResult(records)
    result.interrupted = bool(interrupted)
    if result.interrupted:
        warnings.warn("ldpcsw.critical_rate interrupted: returning the points decoded so far",
                      RuntimeWarning, stacklevel=2)
    return result


def read_rate_adaptation(path, matrix: Matrix) -> RateAdaptation:
    """Reads a rate adaptation file (as ``ldpcsw-code rate-adapt`` writes it) for ``matrix``,
    the mother it was made for: a chain of codes made by merging pairs of rows. The file is
    refused, with ldpcsw.Error naming it, the line and the problem, when it is malformed or
    was made for another matrix (its n, m and fingerprint must agree)."""
    if not isinstance(matrix, Matrix):
        raise Error(f"matrix: {matrix!r} is not an ldpcsw.Matrix")
    return _core._read_rate_adaptation(_path("path", path), matrix)


def build_rate_adaptation(matrix: Matrix, steps: Optional[int] = None,
                          min_rate: Optional[float] = None, seed: int = 1,
                          depth: Optional[int] = None,
                          follow: Optional[int] = None) -> RateAdaptation:
    """Builds a chain of row merges for ``matrix``, as ``ldpcsw-code rate-adapt``: ``steps``
    merges (1..m-1), or as many as leave ceil(min_rate * n) rows, or by default down to a
    quarter of the rows. Each merge takes the lightest row and joins it with the lightest
    partner that shares no column with it, closes no 4-cycle and closes no cycle of degree-2
    columns, the farthest such partner in the Tanner graph (beyond ``depth`` levels where one
    is) first; the same arguments give the same chain. The search follows only columns of at
    most ``follow`` rows (0: every column). By default, as the program's: every column and
    depth 4 up to n = 20000; beyond, columns of at most max(3, the lightest weight) rows
    (every column for a regular matrix) and depth 3, or 2 where neighbourhoods grow fast."""
    if not isinstance(matrix, Matrix):
        raise Error(f"matrix: {matrix!r} is not an ldpcsw.Matrix")
    if steps is not None and min_rate is not None:
        raise Error("steps and min_rate exclude each other")
    return _core._build_rate_adaptation(
        matrix,
        None if steps is None else _whole("steps", steps, 1, max(1, matrix.m - 1)),
        None if min_rate is None else _probability("min_rate", min_rate),
        _whole("seed", seed, 0, _U64),
        None if depth is None else _whole("depth", depth, 1, 2**31 - 1),
        None if follow is None else _whole("follow", follow, 0, 2**31 - 1))


def _chain_code(self, k: int) -> Matrix:
    """The code after k merges (0 <= k <= steps; 0 is the mother) as a Matrix: m - k rows,
    each the GF(2) sum of its group of the mother's rows (a column two rows share cancels),
    numbered by the mother row that stands for each group, ascending."""
    return self._code(_whole("k", k, 0, self.steps))


def _chain_syndrome(self, k: int, s) -> np.ndarray:
    """The syndromes of the code after k merges from the mother's syndromes: s is a (blocks,
    m) or (m,) uint8 or bool array; returns (blocks, m - k) uint8, each bit the XOR of its
    group's bits. Equal to code(k)'s own syndrome of the same blocks."""
    k = _whole("k", k, 0, self.steps)
    return self._syndrome(k, _bits("s", s, self.m))


def _chain_write(self, path) -> None:
    """Writes the chain file (str or os.PathLike), byte for byte as ldpcsw-code writes it."""
    self._write(_path("path", path))


def _chain_repr(self) -> str:
    rates = self.rates
    return (f"<ldpcsw.RateAdaptation n={self.n} m={self.m} steps={self.steps} "
            f"rates={rates[0]:.4f}..{rates[-1]:.4f}>")


RateAdaptation.code = _chain_code
RateAdaptation.syndrome = _chain_syndrome
RateAdaptation.write = _chain_write
RateAdaptation.__repr__ = _chain_repr
