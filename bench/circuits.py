"""Benchmark circuits as plain gate lists, and an exact reference to check them.

A gate is a tuple in vastrel's terms, translated by each simulator adapter:
("x", t), ("h", t), ("rz", t, theta), ("crz", c, t, theta), ("cnot", c, t).
Qubit q is bit q of an amplitude index. Rz is diag(1, e^{i theta}) and Crz
multiplies the amplitudes with both bits set by e^{i theta}: phase gates,
with no global phase, so every simulator must agree on the full state.
"""

import math
import random

import numpy as np

SINGLE_QUBIT = ("x", "h", "rz")


def qft(n):
    """The textbook QFT without the final swaps: H, then controlled phases."""
    gates = []
    for j in reversed(range(n)):
        gates.append(("h", j))
        for k in reversed(range(j)):
            gates.append(("crz", k, j, math.pi / (1 << (j - k))))
    return gates


def ghz(n):
    gates = [("h", 0)]
    gates.extend(("cnot", q, q + 1) for q in range(n - 1))
    return gates


def random_layers(n, layers=20, seed=20261208):
    """Layers in which every qubit is touched once: by h/x/rz alone, or paired
    with another qubit in a cnot or crz. Seeded, so every run and every
    simulator sees the same circuit."""
    rng = random.Random(seed * 131 + n)
    gates = []
    for _ in range(layers):
        order = list(range(n))
        rng.shuffle(order)
        i = 0
        while i < n:
            if i + 1 < n and rng.random() < 0.5:
                c, t = order[i], order[i + 1]
                if rng.random() < 0.5:
                    gates.append(("cnot", c, t))
                else:
                    gates.append(("crz", c, t, rng.uniform(-math.pi, math.pi)))
                i += 2
            else:
                kind = rng.choice(SINGLE_QUBIT)
                if kind == "rz":
                    gates.append(("rz", order[i], rng.uniform(-math.pi, math.pi)))
                else:
                    gates.append((kind, order[i]))
                i += 1
    return gates


def random_gates(n, count, seed=7):
    """A flat random gate list for the small-circuit timings."""
    rng = random.Random(seed * 1009 + n * 101 + count)
    gates = []
    kinds = ("x", "h", "rz", "cnot", "crz") if n >= 2 else SINGLE_QUBIT
    for _ in range(count):
        kind = rng.choice(kinds)
        if kind in ("x", "h"):
            gates.append((kind, rng.randrange(n)))
        elif kind == "rz":
            gates.append(("rz", rng.randrange(n), rng.uniform(-math.pi, math.pi)))
        else:
            c, t = rng.sample(range(n), 2)
            if kind == "cnot":
                gates.append(("cnot", c, t))
            else:
                gates.append(("crz", c, t, rng.uniform(-math.pi, math.pi)))
    return gates


def h_cnot_rz_h(n):
    """An H layer on every qubit, a CNOT chain q -> q+1, an Rz layer, another
    H layer: the large-state circuit of bench/large.py."""
    gates = [("h", q) for q in range(n)]
    gates += [("cnot", q, q + 1) for q in range(n - 1)]
    gates += [("rz", q, 0.1 + 0.37 * q) for q in range(n)]
    gates += [("h", q) for q in range(n)]
    return gates


def brickwork(n, layers=4, seed=None):
    """Layers of rz and h on every qubit, then cnots on neighbouring pairs,
    starting at qubit 0 in even layers and at qubit 1 in odd ones. With a
    seed the bricks of each layer lie at random instead: from qubit 0 up, a
    brick (q, q+1) or a qubit left alone, at even odds, so that no two layers
    need share their pairs (with whole layers shifted by 0 or 1 at random,
    five equal draws made the circuit fall apart into independent pairs)."""
    rng = random.Random(seed * 131 + n) if seed is not None else None
    gates = []
    for layer in range(layers):
        for q in range(n):
            gates.append(("rz", q, 0.2 + 0.31 * q + 0.7 * layer))
            gates.append(("h", q))
        if rng is None:
            gates += [("cnot", q, q + 1) for q in range(layer % 2, n - 1, 2)]
            continue
        q = 0
        while q < n - 1:
            if rng.random() < 0.5:
                gates.append(("cnot", q, q + 1))
                q += 2
            else:
                q += 1
    return gates


def brickwork_random(n, layers=5, seed=20261209):
    return brickwork(n, layers, seed)


def hardware_efficient(n, layers=3, seed=20261210):
    """A hardware-efficient ansatz: rz, h, rz on every qubit, then a cnot
    ladder q -> q+1, with seeded angles."""
    rng = random.Random(seed * 131 + n)
    gates = []
    for _ in range(layers):
        for q in range(n):
            gates.append(("rz", q, rng.uniform(-math.pi, math.pi)))
            gates.append(("h", q))
            gates.append(("rz", q, rng.uniform(-math.pi, math.pi)))
        gates += [("cnot", q, q + 1) for q in range(n - 1)]
    return gates


def qaoa_ring(n, layers=2, seed=20261211):
    """QAOA on a ring: a controlled phase (crz) on every edge (q, q+1 mod n)
    with one angle per layer, rz on every qubit, then an h-rz-h mixer (an
    x rotation up to phase) on every qubit."""
    rng = random.Random(seed * 131 + n)
    gates = [("h", q) for q in range(n)]
    for _ in range(layers):
        gamma, beta = rng.uniform(-math.pi, math.pi), rng.uniform(-math.pi, math.pi)
        gates += [("crz", q, (q + 1) % n, gamma) for q in range(n)]
        gates += [("rz", q, -gamma) for q in range(n)]
        for q in range(n):
            gates += [("h", q), ("rz", q, beta), ("h", q)]
    return gates


def far_pairs(n, layers=8, seed=20261212):
    """Each layer a random h, x or rz on every qubit, then n/2 two-qubit gates
    (cnot or crz, at random) on a random perfect matching of the qubits, so
    most pairs are far apart."""
    rng = random.Random(seed * 131 + n)
    gates = []
    for _ in range(layers):
        for q in range(n):
            kind = rng.choice(SINGLE_QUBIT)
            gates.append(("rz", q, rng.uniform(-math.pi, math.pi)) if kind == "rz" else (kind, q))
        order = list(range(n))
        rng.shuffle(order)
        for c, t in zip(order[0::2], order[1::2]):
            if rng.random() < 0.5:
                gates.append(("cnot", c, t))
            else:
                gates.append(("crz", c, t, rng.uniform(-math.pi, math.pi)))
    return gates


def brickwork_alternating(n, layers=5):
    return brickwork(n, layers)


# What `make bench` times (bench/harness.py): the first three since the
# beginning, then the layered families.
FAMILIES = {"qft": qft, "ghz": ghz, "random": random_layers}
LAYERED_FAMILIES = {"brickwork": brickwork_alternating, "brickwork-random": brickwork_random,
                    "hea": hardware_efficient, "qaoa-ring": qaoa_ring, "far-pairs": far_pairs}
ALL_FAMILIES = {**FAMILIES, **LAYERED_FAMILIES}


# The large-state table's circuits (bench/large.py); not part of `make bench`.
LARGE_FAMILIES = {"h-cnot-rz-h": h_cnot_rz_h, "qft": qft, "brickwork": brickwork}


def gate_lines(gates):
    """The gate list as the text bench/pass_count.cpp reads: one gate a line."""
    return "".join(" ".join(repr(x) if isinstance(x, float) else str(x) for x in g) + "\n" for g in gates)


def reference_state(gates, n):
    """Final state in complex128, one gate at a time: the cross-check oracle.

    The state is viewed as an n-dimensional array whose axis n-1-q is qubit q
    (C order puts qubit 0, the least significant bit, on the last axis)."""
    psi = np.zeros((2,) * n, dtype=np.complex128)
    psi[(0,) * n] = 1.0
    s = 1.0 / math.sqrt(2.0)

    def axis(q):
        return n - 1 - q

    def sel(**bits):
        index = [slice(None)] * n
        for q, b in bits.items():
            index[axis(int(q[1:]))] = b
        return tuple(index)

    for g in gates:
        kind = g[0]
        if kind in ("x", "h"):
            t = g[1]
            a = psi[sel(**{f"q{t}": 0})].copy()
            b = psi[sel(**{f"q{t}": 1})].copy()
            if kind == "x":
                psi[sel(**{f"q{t}": 0})] = b
                psi[sel(**{f"q{t}": 1})] = a
            else:
                psi[sel(**{f"q{t}": 0})] = s * (a + b)
                psi[sel(**{f"q{t}": 1})] = s * (a - b)
        elif kind == "rz":
            t, theta = g[1], g[2]
            psi[sel(**{f"q{t}": 1})] *= np.exp(1j * theta)
        elif kind == "crz":
            c, t, theta = g[1], g[2], g[3]
            if c == t:
                psi[sel(**{f"q{t}": 1})] *= np.exp(1j * theta)
            else:
                psi[sel(**{f"q{c}": 1, f"q{t}": 1})] *= np.exp(1j * theta)
        elif kind == "cnot":
            c, t = g[1], g[2]
            if c != t:
                i0 = sel(**{f"q{c}": 1, f"q{t}": 0})
                i1 = sel(**{f"q{c}": 1, f"q{t}": 1})
                a = psi[i0].copy()
                psi[i0] = psi[i1]
                psi[i1] = a
        else:
            raise ValueError(f"unknown gate {g!r}")
    return psi.reshape(-1)
