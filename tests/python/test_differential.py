"""Differential tests at the corners: circuits with any 64-bit index, any
angle and zero qubits, against the exact float32 model, panics included;
the fusion threshold with runs broken and targets that alias modulo 64; one
Gate object used many times; and the same outcomes, byte for byte, with
pools of every size."""

import os
import random

import numpy as np
import pytest
from hypothesis import given, strategies as st

from vastrel import Circuit, Gate
from corners import (CORNER_ANGLES, WILD, ZERO_CHUNK, gate, observed, out_of_bounds, outcome,
                     single_qubit, two_qubit)
from helpers import assert_bits_equal, digest, make_gates, run_batch, simulate, write_batch


def build(specs, share):
    """Gate objects for specs; with share, equal specs are one object."""
    if not share:
        return make_gates(specs)
    made = {}
    return [made.setdefault(repr(s), make_gates([s])[0]) for s in specs]


def check(circuit, specs, n, context=""):
    kind, want = outcome(specs, n)
    got_kind, got = observed(circuit, n)
    where = f"n={n} specs={specs!r} {context}"
    assert got_kind == kind, f"{got_kind} {got if got_kind == 'panic' else ''} {where}"
    if kind == "panic":
        assert got == want, where
    else:
        assert_bits_equal(got, want, where)


@st.composite
def corner_circuits(draw):
    n = draw(st.integers(0, 8))
    # Half of them keep single-qubit targets in range, so that they run to
    # the end rather than stop at an early panic.
    return n, draw(st.lists(gate(n, wild_single=draw(st.booleans())), max_size=30))


@given(corner_circuits(), st.booleans())
def test_corner_circuits_match_the_model(circuit, share):
    n, specs = circuit
    c = Circuit(build(specs, share))
    check(c, specs, n)
    # A run that panicked leaves the circuit as it was.
    check(c, specs, n, "(second run)")
    check(c, specs, n + 1, "(one qubit more)")


@st.composite
def fusion_boundary_circuits(draw):
    """Exactly 15, 16 or 17 single-qubit gates on one or two qubits, some
    named by an alias (q + 64k): equal modulo 64 but not equal, so they must
    not join a run. Two-qubit gates, in range or not, break runs."""
    n = draw(st.integers(1, 4))
    base = st.integers(0, min(n, 2) - 1)
    alias = base.flatmap(lambda q: st.sampled_from([q + 64, q + 128, q + 2**63, q + 2**64 - 64]))
    targets = st.one_of(base, base, base, alias)
    singles = draw(st.sampled_from([15, 16, 17]))
    specs = draw(st.lists(single_qubit(targets), min_size=singles, max_size=singles))
    for _ in range(draw(st.integers(0, 6))):
        at = draw(st.integers(0, len(specs)))
        specs.insert(at, draw(two_qubit(n)))
    return n, specs


@given(fusion_boundary_circuits(), st.booleans())
def test_fusion_boundary_circuits_match_the_model(circuit, share):
    n, specs = circuit
    check(Circuit(build(specs, share)), specs, n)


@st.composite
def palette_circuits(draw):
    """A few Gate objects, each used many times in one list."""
    n = draw(st.integers(1, 5))
    palette = draw(st.lists(gate(n, wild_single=False), min_size=1, max_size=4))
    picks = draw(st.lists(st.integers(0, len(palette) - 1), min_size=1, max_size=40))
    return n, palette, picks


@given(palette_circuits())
def test_one_gate_object_many_times(circuit):
    n, palette, picks = circuit
    objects = make_gates(palette)
    specs = [palette[i] for i in picks]
    check(Circuit([objects[i] for i in picks]), specs, n)


def test_aliased_targets_never_fuse_together():
    # Qubit 0 named as 0 and as 64 in turn: sixteen runs of one, applied one
    # by one, not one fused product (whose last bits differ).
    specs = [("h", 0), ("rz", 64, 0.5), ("h", 64), ("rz", 0, 1.1)] * 4
    got = Circuit(make_gates(specs)).run(1)
    assert_bits_equal(got, outcome(specs, 1)[1])
    same_target = [(s[0], s[1] & 63, *s[2:]) for s in specs]
    assert digest(got) != digest(simulate(same_target, 1))


@pytest.mark.parametrize("copies", [1, 16], ids=["alone", "fused"])
@pytest.mark.parametrize("n", [0, 1, 3])
@pytest.mark.parametrize("kind", ["x", "h", "rz"])
def test_single_qubit_target_panics(kind, n, copies):
    # Sixteen copies of one gate are fused into one Mat2 on its target,
    # which must fail the same way.
    args = (0.5,) if kind == "rz" else ()
    for t in [n, n + 1, 62, 64 + n, 2**64 - 2]:
        e = observed(Circuit([getattr(Gate, kind)(t, *args)] * copies), n)
        assert e == ("panic", out_of_bounds(n, t & 63)), t
    for t in [63, 127, 2**63 + 63, 2**64 - 1]:
        e = observed(Circuit([getattr(Gate, kind)(t, *args)] * copies), n)
        assert e == ("panic", ZERO_CHUNK), t


@pytest.mark.parametrize("n", [0, 2])
def test_two_qubit_gates_outside_the_vector(n):
    # Nothing changes, except a Cnot whose target is 63 modulo 64.
    prefix = [("x", 0), ("h", 1)] if n else []
    for c, t in [(n, 0), (0, n), (n, n), (62, 0), (63, 0), (0, 62), (2**64 - 1, 1), (127, 0)]:
        for gate_spec in [("cnot", c, t), ("crz", c, t, 0.5), ("crz", t, c, -2.0)]:
            specs = prefix + [gate_spec]
            check(Circuit(make_gates(specs)), specs, n)
    for c in [0, 1, 5, 63]:
        assert observed(Circuit([Gate.cnot(c, 63)]), n) == ("panic", ZERO_CHUNK)
        assert observed(Circuit([Gate.cnot(c, 2**64 - 1)]), n) == ("panic", ZERO_CHUNK)


def test_a_panic_stops_the_run_at_its_gate():
    # The gates before it ran (the pool is warm, the state is dense); the
    # panic is that of the first failing gate, not of a later one.
    specs = [("h", 0), ("h", 1), ("cnot", 0, 1), ("x", 127), ("h", 5)]
    assert observed(Circuit(make_gates(specs)), 2) == ("panic", ZERO_CHUNK)
    specs = [("h", 0), ("h", 66), ("x", 63)]
    assert observed(Circuit(make_gates(specs)), 2) == ("panic", out_of_bounds(2, 2))


# --- the same outcome whatever the pool ---------------------------------

def corner_batch():
    """Corner circuits on vectors large enough that every gate is split over
    the workers: special angles spread through a dense state, indices that
    act modulo 64, two-qubit gates outside the vector, and runs that end in
    each panic after parallel gates."""
    rng = random.Random(5_2026)

    def dense(n):
        return [("h", q) for q in range(n)] + [("rz", q, 0.3 + 0.11 * q) for q in range(n)]

    def noisy(n, length):
        out = []
        for _ in range(length):
            kind = rng.choice(["h", "rz", "rz", "crz", "cnot", "x"])
            q = rng.randrange(n)
            alias = q + 64 * rng.randrange(1, 4)
            wide = rng.choice([q, q, alias, rng.randrange(n, 63), rng.choice(WILD[1:])])
            if wide & 63 == 63:
                wide = q
            if kind in ("h", "x"):
                out.append((kind, rng.choice([q, q, alias])))
            elif kind == "rz":
                out.append(("rz", rng.choice([q, alias]), rng.choice(CORNER_ANGLES)))
            elif kind == "crz":
                out.append(("crz", rng.choice([q, wide]), rng.choice([q, wide, 2**64 - 1]),
                            rng.choice(CORNER_ANGLES + [0.7, -1.3])))
            else:
                out.append(("cnot", rng.choice([q, wide, 63]), rng.choice([rng.randrange(n), wide])))
        return out

    batch = []
    for n in (16, 17, 18):
        batch.append((n, dense(n) + noisy(n, 40)))
    # Fifteen single-qubit gates: nothing fused, so every corner angle goes
    # through the unfused kernels.
    fifteen = [("h", q) for q in range(15)] + [("cnot", 14, 16), ("crz", 16, 15, float("nan"))]
    fifteen += [g for g in noisy(17, 60) if g[0] in ("crz", "cnot")][:25]
    batch.append((17, fifteen))
    batch.append((17, dense(17) + noisy(17, 10) + [("x", 2**64 - 1)] + noisy(17, 5)))
    batch.append((17, dense(17) + noisy(17, 10) + [("h", 17 + 64)]))
    batch.append((17, dense(17) + [("cnot", 3, 127)]))
    # NaN from two sources meeting in one product: which operand's NaN the
    # hardware keeps must not decide the bits.
    batch.append((16, [("h", 0), ("h", 5), ("h", 12), ("rz", 0, float("inf")), ("rz", 5, float("nan"))]))
    return batch


@pytest.fixture(scope="module")
def corner_file():
    batch = corner_batch()
    expected = []
    for n, specs in batch:
        kind, value = outcome(specs, n)
        want = ["ok", digest(value)] if kind == "ok" else ["PanicException", value]
        expected += [want, want]
    path = write_batch(batch)
    yield path, expected
    os.unlink(path)


def test_corner_batch_reaches_every_outcome(corner_file):
    _, expected = corner_file
    kinds = {want[1] if want[0] != "ok" else "ok" for want in expected}
    assert kinds == {"ok", ZERO_CHUNK, out_of_bounds(17, 17)}
    nan_results = 0
    for n, specs in corner_batch():
        kind, value = outcome(specs, n)
        nan_results += kind == "ok" and bool(np.isnan(value).any())
    assert nan_results >= 2


NO_BLOCKS = {"VASTREL_BLOCK_SHAPE": "0,0,0,0,0,0,0"}


@pytest.fixture(scope="module")
def corner_bits(corner_file):
    """The raw bits, NaN included, of the scalar set gate by gate on one worker."""
    return run_batch(corner_file[0], 1, env={"VASTREL_KERNELS": "scalar", **NO_BLOCKS}, raw=True)


@pytest.mark.parametrize("blocks", [True, False], ids=["blocked", "gate-by-gate"])
@pytest.mark.parametrize("threads", [1, 2, 3])
@pytest.mark.parametrize("kernels", ["scalar", "avx2", "avx512"])
def test_corner_bits_whatever_the_set_pool_and_blocking(corner_file, corner_bits, kernels, threads, blocks):
    env = {"VASTREL_KERNELS": kernels, **({} if blocks else NO_BLOCKS)}
    assert run_batch(corner_file[0], threads, env=env, raw=True) == corner_bits


@pytest.mark.parametrize("threads", [None, 1, 2, 3, 8], ids=["default", "1", "2", "3", "8"])
def test_corner_outcomes_whatever_the_pool(corner_file, threads):
    path, expected = corner_file
    got = run_batch(path, threads)
    assert len(got) == len(expected)
    bad = [(i // 2, g, w) for i, (g, w) in enumerate(zip(got, expected)) if g != w]
    assert bad == [], f"threads={threads}"
