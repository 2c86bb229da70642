"""Shared test helpers: a child-process runner, bit-exact comparison of
amplitude arrays, an exact float32 reference model of the simulator, and
random circuit generators used by more than one test file."""

from __future__ import annotations

import ctypes
import dataclasses
import hashlib
import json
import math
import os
import random
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
from functools import lru_cache

import numpy as np
import pytest

# ---------------------------------------------------------------------------
# Child processes
# ---------------------------------------------------------------------------

# Defined in every child before its own code runs. `report` hands a JSON
# result back to the parent through a file, so the child's fd 1 stays free
# for what the module itself writes there.
_CHILD_PRELUDE = """\
import json as _json, os as _os, sys as _sys

def report(**values):
    with open(_os.environ["VASTREL_TEST_RESULT"], "w") as _f:
        _json.dump(values, _f)

def num_os_threads():
    return len(_os.listdir("/proc/self/task"))

def panic_of(call):
    try:
        call()
    except BaseException as e:
        return e
    raise AssertionError("expected a panic")
"""


@dataclasses.dataclass
class ChildResult:
    returncode: int
    stdout: bytes
    stderr: str
    data: dict | None


def _module_path_entry() -> str | None:
    """The directory holding the vastrel under test, when a child would not
    find it on its default path (a build tree rather than site-packages)."""
    import importlib.util

    found = importlib.util.find_spec("vastrel")
    if found is None or found.origin is None:
        return None
    where = os.path.dirname(os.path.abspath(found.origin))
    defaults = {os.path.abspath(p) for p in sysconfig.get_paths().values()}
    return None if where in defaults else where


def child_env(extra: dict | None = None, drop_rayon: bool = True) -> dict:
    env = {k: v for k, v in os.environ.items()}
    if drop_rayon:
        for key in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
            env.pop(key, None)
    # NumPy's BLAS would otherwise start threads of its own on import and
    # blur every count of the pool's threads.
    # Buffered stdio, as in a user's program: an unbuffered interpreter
    # would hide output held back in a C stdio buffer.
    env.pop("PYTHONUNBUFFERED", None)
    env["OPENBLAS_NUM_THREADS"] = "1"
    env["OMP_NUM_THREADS"] = "1"
    env["MKL_NUM_THREADS"] = "1"
    entry = _module_path_entry()
    if entry is not None:
        old = env.get("PYTHONPATH")
        env["PYTHONPATH"] = entry if not old else entry + os.pathsep + old
    if extra:
        env.update(extra)
    return env


def run_child(code: str, env: dict | None = None, timeout: float = 120,
              check: bool = True, warnings_as_errors: bool = True) -> ChildResult:
    """Runs `code` (dedented) in a fresh interpreter and returns its exit code,
    raw stdout, stderr and whatever it passed to report()."""
    code = _CHILD_PRELUDE + textwrap.dedent(code)
    with tempfile.TemporaryDirectory(prefix="vastrel-child-") as tmp:
        result_path = os.path.join(tmp, "result.json")
        full_env = child_env(env)
        full_env["VASTREL_TEST_RESULT"] = result_path
        argv = [sys.executable]
        if warnings_as_errors:
            argv += ["-W", "error"]
        argv += ["-c", code]
        try:
            proc = subprocess.run(argv, env=full_env, cwd=tmp, capture_output=True,
                                  timeout=timeout, stdin=subprocess.DEVNULL)
        except subprocess.TimeoutExpired as e:
            err = (e.stderr or b"").decode(errors="replace")
            pytest.fail(f"child process did not finish within {timeout} s; stderr:\n{err}")
        data = None
        if os.path.exists(result_path):
            with open(result_path) as f:
                data = json.load(f)
    res = ChildResult(proc.returncode, proc.stdout, proc.stderr.decode(errors="replace"), data)
    if check and (res.returncode != 0 or res.data is None):
        pytest.fail(f"child failed (exit {res.returncode}, report {res.data!r})\n"
                    f"stdout: {res.stdout!r}\nstderr:\n{res.stderr}")
    return res


def panic_of(call) -> BaseException:
    """The panic exception call() raises; fails when it returns or raises an
    ordinary Exception (which would mean the panic class derives from it)."""
    try:
        call()
    except Exception as e:  # noqa: BLE001
        pytest.fail(f"a plain Exception escaped instead of a panic: {e!r}")
    except BaseException as e:  # noqa: BLE001
        assert type(e).__name__ == "PanicException", repr(e)
        return e
    pytest.fail("no exception raised")


# ---------------------------------------------------------------------------
# Interpreter messages, computed rather than copied, so the expectations follow
# the interpreter version the suite runs on.
# ---------------------------------------------------------------------------

_as_u64 = ctypes.pythonapi.PyLong_AsUnsignedLongLong
_as_u64.argtypes = [ctypes.py_object]
_as_u64.restype = ctypes.c_ulonglong
_as_double = ctypes.pythonapi.PyFloat_AsDouble
_as_double.argtypes = [ctypes.py_object]
_as_double.restype = ctypes.c_double


def index_conversion_error(obj) -> BaseException:
    """The exception the interpreter raises converting obj to an unsigned
    64-bit integer through its index protocol."""
    import operator

    try:
        value = operator.index(obj)
        _as_u64(value)
    except BaseException as e:  # noqa: BLE001 - any interpreter error is the expectation
        return e
    raise AssertionError(f"{obj!r} converts without error")


def float_conversion_error(obj) -> BaseException:
    try:
        _as_double(obj)
    except BaseException as e:  # noqa: BLE001
        return e
    raise AssertionError(f"{obj!r} converts without error")


# ---------------------------------------------------------------------------
# Bit-exact comparison
# ---------------------------------------------------------------------------

def as_parts(values) -> np.ndarray:
    """(N, 2) float32 view (real, imaginary) of a complex64 array or of a
    model result."""
    arr = np.asarray(values)
    if arr.dtype == np.complex64:
        return np.ascontiguousarray(arr).view(np.float32).reshape(-1, 2)
    assert arr.dtype == np.float32 and arr.ndim == 2 and arr.shape[1] == 2
    return arr


def canonical_bits(values) -> np.ndarray:
    """uint32 bits of every real and imaginary part, with every NaN replaced
    by one pattern: NaN payloads are not part of the contract, NaN versus
    number is."""
    parts = as_parts(values)
    bits = parts.view(np.uint32).copy()
    bits[np.isnan(parts)] = 0x7FC00000
    return bits


def assert_bits_equal(got, expected, context: str = "") -> None:
    g = as_parts(got)
    e = as_parts(expected)
    assert g.shape == e.shape, f"shape {g.shape} != {e.shape} {context}"
    gnan, enan = np.isnan(g), np.isnan(e)
    if not np.array_equal(gnan, enan) or not np.array_equal(
            g.view(np.uint32)[~gnan], e.view(np.uint32)[~enan]):
        gb, eb = canonical_bits(g), canonical_bits(e)
        bad = np.nonzero((gb != eb).any(axis=1))[0]
        lines = [f"{len(bad)} of {len(g)} amplitudes differ {context}"]
        for i in bad[:8]:
            lines.append(f"  [{i}] got {g[i, 0]!r}{g[i, 1]:+}j ({gb[i, 0]:#010x}, {gb[i, 1]:#010x})"
                         f" expected {e[i, 0]!r}{e[i, 1]:+}j ({eb[i, 0]:#010x}, {eb[i, 1]:#010x})")
        pytest.fail("\n".join(lines))


def digest(values) -> str:
    return hashlib.sha256(canonical_bits(values).tobytes()).hexdigest()


_BATCH_CHILD = """
    import hashlib, json, numpy
    import vastrel
    if SET_THREADS:
        vastrel.set_num_threads(SET_THREADS)

    def digest(a):
        parts = a.view(numpy.float32).reshape(-1, 2)
        bits = parts.view(numpy.uint32).copy()
        if not RAW_BITS:
            bits[numpy.isnan(parts)] = 0x7FC00000
        return hashlib.sha256(bits.tobytes()).hexdigest()

    with open(_os.environ["VASTREL_BATCH"]) as f:
        batch = json.load(f)
    out = []
    for n, ops in batch:
        c = vastrel.Circuit([getattr(vastrel.Gate, g[0])(*g[1:]) for g in ops])
        for _ in range(2):
            try:
                out.append(["ok", digest(c.run(n))])
            except BaseException as e:
                out.append([type(e).__name__, str(e)])
    report(outcomes=out)
"""


def write_batch(batch) -> str:
    """Writes a list of (num_qubits, gate tuples) to a JSON file; the caller
    removes it."""
    with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as f:
        json.dump(batch, f)
    return f.name


def run_batch(path: str, threads=None, env: dict | None = None, raw: bool = False) -> list:
    """Runs every circuit of the batch file twice in a fresh interpreter, after
    set_num_threads(threads) unless threads is None; for each run, ["ok",
    digest of the amplitudes] or [exception class name, message]. The digest
    takes every NaN as one unless raw, when it takes the bits as they are."""
    code = _BATCH_CHILD.replace("SET_THREADS", repr(threads)).replace("RAW_BITS", repr(raw))
    res = run_child(code, env={"VASTREL_BATCH": path, **(env or {})}, timeout=300)
    return res.data["outcomes"]


# ---------------------------------------------------------------------------
# Exact float32 reference model
#
# Gate specs are plain tuples: ("x", t), ("h", t), ("rz", t, theta),
# ("crz", c, t, theta), ("cnot", c, t), with theta the double given to Python.
# Every real product, sum and difference below is its own float32 array
# operation, so nothing is fused or computed wider.
# ---------------------------------------------------------------------------

F32 = np.float32
ZERO = F32(0.0)
ONE = F32(1.0)
S = np.array([0x3F3504F3], dtype=np.uint32).view(np.float32)[0]
NEG_S = np.array([0xBF3504F3], dtype=np.uint32).view(np.float32)[0]
SINGLE_QUBIT = ("x", "h", "rz")

_libm = ctypes.CDLL("libm.so.6")
_sincosf = _libm.sincosf
_sincosf.argtypes = [ctypes.c_float, ctypes.POINTER(ctypes.c_float), ctypes.POINTER(ctypes.c_float)]
_sincosf.restype = None


def narrow(theta) -> np.float32:
    """IEEE double-to-single conversion, round to nearest even."""
    with np.errstate(all="ignore"):
        return np.array([float(theta)], dtype=np.float64).astype(np.float32)[0]


@lru_cache(maxsize=4096)
def _sincosf_bits(bits: int) -> tuple[int, int]:
    x = np.array([bits], dtype=np.uint32).view(np.float32)[0]
    s, c = ctypes.c_float(), ctypes.c_float()
    _sincosf(ctypes.c_float(float(x)), ctypes.byref(s), ctypes.byref(c))
    pair = np.array([s.value, c.value], dtype=np.float32).view(np.uint32)
    return int(pair[0]), int(pair[1])


def sincosf(x: np.float32) -> tuple[np.float32, np.float32]:
    """(sin, cos) of a float32 angle from one sincosf call of the platform's libm."""
    bits = int(np.array([x], dtype=np.float32).view(np.uint32)[0])
    sb, cb = _sincosf_bits(bits)
    pair = np.array([sb, cb], dtype=np.uint32).view(np.float32)
    return pair[0], pair[1]


def cmul(x, y):
    """(x.re*y.re - x.im*y.im, x.re*y.im + x.im*y.re), each op rounded."""
    xr, xi = x
    yr, yi = y
    rr = xr * yr
    ii = xi * yi
    ri = xr * yi
    ir = xi * yr
    return rr - ii, ri + ir


def cadd(x, y):
    return x[0] + y[0], x[1] + y[1]


def _c(re, im=ZERO):
    return F32(re), F32(im)


def gate_matrix(op):
    kind = op[0]
    if kind == "x":
        return (_c(0), _c(1), _c(1), _c(0))
    if kind == "h":
        return ((S, ZERO), (S, ZERO), (S, ZERO), (NEG_S, ZERO))
    if kind == "rz":
        sin, cos = sincosf(narrow(op[2]))
        return (_c(1), _c(0), _c(0), (cos, sin))
    raise ValueError(op)


def matmul(g, m):
    """g·m (the later gate on the left), every entry a sum of two full
    complex products."""
    g00, g01, g10, g11 = g
    m00, m01, m10, m11 = m
    return (cadd(cmul(g00, m00), cmul(g01, m10)),
            cadd(cmul(g00, m01), cmul(g01, m11)),
            cadd(cmul(g10, m00), cmul(g11, m10)),
            cadd(cmul(g10, m01), cmul(g11, m11)))


def fuse(specs):
    """The executed gate list: specs unchanged below 16 single-qubit gates,
    otherwise every maximal run on one target replaced by ("mat2", t, M)."""
    if sum(1 for s in specs if s[0] in SINGLE_QUBIT) < 16:
        return list(specs)
    out = []
    j = 0
    with np.errstate(all="ignore"):
        while j < len(specs):
            op = specs[j]
            if op[0] not in SINGLE_QUBIT:
                out.append(op)
                j += 1
                continue
            target = op[1]
            m = gate_matrix(op)
            k = j + 1
            while k < len(specs) and specs[k][0] in SINGLE_QUBIT and specs[k][1] == target:
                m = matmul(gate_matrix(specs[k]), m)
                k += 1
            out.append(("mat2", target, m))
            j = k
    return out


class Model:
    """State of n qubits as two float32 arrays, changed by the exact kernels."""

    def __init__(self, n: int):
        self.n = n
        size = 1 << n
        self.re = np.zeros(size, dtype=np.float32)
        self.im = np.zeros(size, dtype=np.float32)
        self.re[0] = ONE

    def result(self) -> np.ndarray:
        return np.stack([self.re, self.im], axis=1)

    def _halves(self, arr, t):
        view = arr.reshape(-1, 2, 1 << t)
        return view[:, 0, :], view[:, 1, :]

    def mat2(self, t, m):
        if t >= self.n:
            raise IndexError(f"index out of bounds: the len is {1 << self.n} but the index is {1 << t}")
        m00, m01, m10, m11 = m
        ar, br = self._halves(self.re, t)
        ai, bi = self._halves(self.im, t)
        a = (ar.copy(), ai.copy())
        b = (br.copy(), bi.copy())
        na = cadd(cmul(m00, a), cmul(m01, b))
        nb = cadd(cmul(m10, a), cmul(m11, b))
        ar[...], ai[...] = na
        br[...], bi[...] = nb

    def cnot(self, c, t):
        if c >= self.n or t >= self.n or c == t:
            return
        idx = np.arange(1 << self.n, dtype=np.int64)
        sel = idx[((idx >> c) & 1 == 1) & ((idx >> t) & 1 == 0)]
        partner = sel | (1 << t)
        for arr in (self.re, self.im):
            tmp = arr[sel].copy()
            arr[sel] = arr[partner]
            arr[partner] = tmp

    def crz(self, c, t, theta):
        sin, cos = sincosf(narrow(theta))
        if c >= self.n or t >= self.n:
            return
        idx = np.arange(1 << self.n, dtype=np.int64)
        sel = idx[((idx >> c) & 1 == 1) & ((idx >> t) & 1 == 1)]
        amp = (self.re[sel], self.im[sel])
        nr, ni = cmul(amp, (cos, sin))
        self.re[sel] = nr
        self.im[sel] = ni

    def apply(self, op):
        kind = op[0]
        if kind == "mat2":
            self.mat2(op[1], op[2])
        elif kind in SINGLE_QUBIT:
            self.mat2(op[1], gate_matrix(op))
        elif kind == "cnot":
            self.cnot(op[1], op[2])
        elif kind == "crz":
            self.crz(op[1], op[2], op[3])
        else:
            raise ValueError(op)


def simulate(specs, n: int) -> np.ndarray:
    """Final amplitudes, (2^n, 2) float32, of the circuit built from specs."""
    model = Model(n)
    with np.errstate(all="ignore"):
        for op in fuse(specs):
            model.apply(op)
    return model.result()


def make_gate(op):
    import vastrel

    kind, *args = op
    return getattr(vastrel.Gate, kind)(*args)


def make_gates(specs):
    return [make_gate(s) for s in specs]


# ---------------------------------------------------------------------------
# Angles and random circuits
# ---------------------------------------------------------------------------

SPECIAL_ANGLES = [
    0.0, -0.0, 1.0, -1.0, 0.5, math.pi, -math.pi, 2 * math.pi, math.pi / 2,
    math.inf, -math.inf, math.nan, -math.nan,
    5e-324, -5e-324,            # double subnormal: narrows to (signed) zero
    1.401298464324817e-45,       # smallest float32 subnormal
    1e-40, -3e-39,               # float32 subnormals
    1.1754943508222875e-38,      # smallest float32 normal
    3.4028234663852886e38,       # largest float32
    3.4028235677973366e38,       # just above: rounds to infinity
    1e300, -1e300, 1e7, 16777217.0, 1e20, -12345.678,
    1.0000000596046448,          # 1 + 2**-24, a tie: rounds to even (1.0)
    1.0000001788139343,          # 1 + 3 * 2**-24, a tie: rounds up to even
]


def random_angle(rng: random.Random) -> float:
    roll = rng.random()
    if roll < 0.25:
        return rng.choice(SPECIAL_ANGLES)
    if roll < 0.35:
        return rng.uniform(-1e6, 1e6)
    return rng.uniform(-2 * math.pi, 2 * math.pi)


def random_specs(rng: random.Random, n: int, length: int, special_angles: bool = True,
                 out_of_range: bool = True):
    """A random gate list on n qubits over all five kinds. Two-qubit gates may
    name qubits at or above n where the result is fixed (any Cnot index,
    a Crz target with its control in range)."""
    def angle():
        return random_angle(rng) if special_angles else rng.uniform(-2 * math.pi, 2 * math.pi)

    def any_qubit():
        if out_of_range and rng.random() < 0.1:
            return rng.randrange(n, 63)
        return rng.randrange(n)

    specs = []
    for _ in range(length):
        kind = rng.choice(["x", "h", "rz", "h", "rz", "crz", "cnot"])
        if kind in ("x", "h"):
            specs.append((kind, rng.randrange(n)))
        elif kind == "rz":
            specs.append(("rz", rng.randrange(n), angle()))
        elif kind == "crz":
            specs.append(("crz", rng.randrange(n), any_qubit(), angle()))
        else:
            specs.append(("cnot", any_qubit(), any_qubit()))
    return specs
