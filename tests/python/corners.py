"""The outcome of any circuit, corners included, as the exact float32 model
says: amplitudes, or the panic the run stops with. Indices of any 64-bit
value act modulo 64 in the kernels (fusion compares them whole); a
single-qubit target that is 63 modulo 64, like a Cnot target, stops the run
with "chunk_size must not be zero"; any other single-qubit target at or
above the qubit count stops it with the out-of-bounds panic; two-qubit gates
that name a qubit outside the vector change nothing. Also the hypothesis
strategies that reach those corners."""

from __future__ import annotations

import math
import struct

import numpy as np
from hypothesis import strategies as st

from helpers import SPECIAL_ANGLES, Model, fuse, gate_matrix

ZERO_CHUNK = "chunk_size must not be zero"


def out_of_bounds(n: int, t: int) -> str:
    return f"index out of bounds: the len is {1 << n} but the index is {1 << t}"


def outcome(specs, n: int):
    """("ok", (2^n, 2) float32 amplitudes) or ("panic", message)."""
    model = Model(n)
    with np.errstate(all="ignore"):
        for op in fuse(specs):
            kind = op[0]
            if kind == "cnot":
                c, t = op[1] & 63, op[2] & 63
                if t == 63:
                    return "panic", ZERO_CHUNK
                model.cnot(c, t)
            elif kind == "crz":
                model.crz(op[1] & 63, op[2] & 63, op[3])
            else:
                t = op[1] & 63
                if t == 63:
                    return "panic", ZERO_CHUNK
                if t >= n:
                    return "panic", out_of_bounds(n, t)
                matrix = op[2] if kind == "mat2" else gate_matrix(op)
                model.mat2(t, matrix)
    return "ok", model.result()


def observed(circuit, n: int):
    """The same shape of outcome from the module; anything but a panic or a
    result is left to propagate."""
    try:
        return "ok", circuit.run(n)
    except BaseException as e:  # noqa: BLE001 - a PanicException is not an Exception
        if type(e).__name__ != "PanicException":
            raise
        return "panic", str(e)


# ---------------------------------------------------------------------------
# Strategies
# ---------------------------------------------------------------------------

def _f32(bits: int) -> float:
    return struct.unpack("<f", struct.pack("<I", bits))[0]


# Angles whose float32 narrowing or sincosf is at an edge: signed zeros and
# infinities, NaN of both signs and with payloads, the float32 subnormal
# range, values that round to infinity or to zero, and large arguments where
# the argument reduction of sincosf works hardest.
CORNER_ANGLES = SPECIAL_ANGLES + [
    _f32(0x00000001), -_f32(0x00000001), _f32(0x007FFFFF), -_f32(0x007FFFFF),
    _f32(0x7F7FFFFF), -_f32(0x7F7FFFFF), 3.4028235677973366e38, -3.4028235677973366e38,
    7.006492321624085e-46,          # half the smallest subnormal: a tie, rounds to 0
    7.006492321624087e-46,          # just above: rounds up to the smallest subnormal
    -7.006492321624085e-46,         # rounds to -0.0
    struct.unpack("<d", struct.pack("<Q", 0x7FF0000000000001))[0],   # signalling-pattern NaN
    struct.unpack("<d", struct.pack("<Q", 0xFFF8000000000123))[0],   # negative NaN, payload
    1e38, -1e38, 2.0**100, 2.0**127, 1e10 * math.pi, 8388608.5, 102951.1953125,
]

angles = st.one_of(
    st.sampled_from(CORNER_ANGLES),
    st.floats(allow_nan=True, allow_infinity=True, allow_subnormal=True),
    st.floats(width=32, allow_subnormal=True),
    st.floats(min_value=-1.2e-38, max_value=1.2e-38),
    st.floats(min_value=-7.0, max_value=7.0),
)

# Indices far above any qubit count: 63 and its aliases, 64 and up, the top
# of the 64-bit range.
WILD = [63, 64, 65, 66, 70, 126, 127, 128, 129, 191, 2**32, 2**63 - 1, 2**63, 2**63 + 1,
        2**64 - 64, 2**64 - 63, 2**64 - 2, 2**64 - 1]


def index(n: int, wild: bool = True):
    """Mostly in range; otherwise at n, just above, up to 62, 63 and its
    aliases, or anything up to 2^64 - 1."""
    inside = st.integers(0, n - 1) if n > 0 else st.just(0)
    if not wild:
        return inside
    edges = st.one_of(st.just(n), st.integers(n, 62), st.sampled_from(WILD),
                      st.integers(64, 2**64 - 1), st.integers(0, 8).map(lambda k: 64 * k + n))
    return st.one_of(inside, inside, inside, inside, edges)


def gate(n: int, wild: bool = True, wild_single: bool = True):
    q = index(n, wild)
    single_q = index(n, wild and wild_single)
    return st.one_of(
        st.tuples(st.just("x"), single_q),
        st.tuples(st.just("h"), single_q),
        st.tuples(st.just("rz"), single_q, angles),
        st.tuples(st.just("crz"), q, q, angles),
        st.tuples(st.just("cnot"), q, q),
    )


def two_qubit(n: int):
    return gate(n).filter(lambda g: g[0] in ("crz", "cnot"))


def single_qubit(targets):
    return st.one_of(st.tuples(st.just("x"), targets), st.tuples(st.just("h"), targets),
                     st.tuples(st.just("rz"), targets, angles))
