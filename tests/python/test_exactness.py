"""Bit-exact results: random circuits against the float32 reference model
(fusion included), the documented worked examples, and identical bytes
whatever the pool size or the kernels' instruction set."""

import math
import os
import random

import numpy as np
import pytest
from hypothesis import given, strategies as st

from vastrel import Circuit, Gate
from helpers import (SINGLE_QUBIT, SPECIAL_ANGLES, Model, assert_bits_equal, digest, make_gates,
                     random_specs, run_batch, simulate, write_batch)

angles = st.one_of(
    st.sampled_from(SPECIAL_ANGLES),
    st.floats(allow_nan=True, allow_infinity=True),
    st.floats(min_value=-7.0, max_value=7.0),
    st.floats(min_value=-1e-37, max_value=1e-37),
    st.integers(min_value=-10**6, max_value=10**6).map(float),
)


def gate_on(n, out_of_range=True):
    """One gate on n qubits. Where the result is fixed for indices at or
    above n (any Cnot index but 63, a Crz target with its control in range),
    those are drawn too."""
    q = st.integers(0, n - 1)
    wide = st.one_of(q, st.integers(n, 62)) if out_of_range else q
    return st.one_of(
        st.tuples(st.just("x"), q),
        st.tuples(st.just("h"), q),
        st.tuples(st.just("rz"), q, angles),
        st.tuples(st.just("crz"), q, wide, angles),
        st.tuples(st.just("cnot"), wide, wide),
    )


@st.composite
def circuits(draw):
    n = draw(st.integers(1, 10))
    specs = draw(st.lists(gate_on(n), max_size=40))
    return n, specs


@st.composite
def fusion_circuits(draw):
    """Exactly 15, 16 or 17 single-qubit gates on few targets, so that runs
    form, with two-qubit gates breaking some of them."""
    n = draw(st.integers(1, 4))
    singles = draw(st.sampled_from([15, 16, 17]))
    few = st.integers(0, min(n, 2) - 1)
    single = st.one_of(st.tuples(st.just("x"), few), st.tuples(st.just("h"), few),
                       st.tuples(st.just("rz"), few, angles))
    specs = draw(st.lists(single, min_size=singles, max_size=singles))
    for _ in range(draw(st.integers(0, 5))):
        at = draw(st.integers(0, len(specs)))
        specs.insert(at, draw(gate_on(n).filter(lambda g: g[0] not in SINGLE_QUBIT)))
    return n, specs


def build(specs, share):
    """Gate objects for specs; with share, equal specs reuse one object."""
    if not share:
        return make_gates(specs)
    cache = {}
    gates = []
    for op in specs:
        key = repr(op)
        if key not in cache:
            cache[key] = make_gates([op])[0]
        gates.append(cache[key])
    return gates


def check(n, specs, share=False):
    c = Circuit(build(specs, share))
    expected = simulate(specs, n)
    got = c.run(n)
    assert_bits_equal(got, expected, f"n={n} specs={specs!r}")
    assert_bits_equal(c.run(n), got, "second run")


@given(circuits(), st.booleans())
def test_random_circuits_match_the_model(circuit, share):
    n, specs = circuit
    check(n, specs, share)


@given(fusion_circuits(), st.booleans())
def test_fusion_threshold_circuits_match_the_model(circuit, share):
    n, specs = circuit
    check(n, specs, share)


def unfused(specs, n):
    model = Model(n)
    with np.errstate(all="ignore"):
        for op in specs:
            model.apply(op)
    return model.result()


# 18 single-qubit gates whose fused and unfused results differ in the last bits.
FUSION_PROBE = [("h", 0), ("rz", 0, 0.5), ("h", 1)] * 6


@pytest.mark.parametrize("singles", [15, 16, 17, 18])
def test_fusion_starts_at_sixteen_single_qubit_gates(singles):
    specs = FUSION_PROBE[:singles]
    got = Circuit(make_gates(specs)).run(2)
    assert_bits_equal(got, simulate(specs, 2))
    if singles == 15:
        assert_bits_equal(got, unfused(specs, 2))
    if singles == 18:
        assert (digest(got) != digest(unfused(specs, 2)))


def test_far_apart_single_qubit_gates_count_towards_fusion():
    # Nine single-qubit gates, twenty two-qubit gates, nine more: together
    # they pass the threshold, so the runs inside each half are fused.
    spread = FUSION_PROBE[:9] + [("cnot", 2, 3), ("crz", 3, 2, 0.25)] * 10 + FUSION_PROBE[9:]
    got = Circuit(make_gates(spread)).run(4)
    assert_bits_equal(got, simulate(spread, 4))
    assert digest(got) != digest(unfused(spread, 4))


def test_runs_do_not_reach_across_other_gates():
    # H0 X1 H0 repeated: three separate runs each time, never H0·H0.
    specs = [("h", 0), ("x", 1), ("h", 0), ("rz", 0, 0.7)] * 5
    assert_bits_equal(Circuit(make_gates(specs)).run(2), simulate(specs, 2))


def test_sixteen_gates_on_sixteen_qubits_equal_unfused():
    specs = [("h", q) if q % 3 else ("rz", q, 0.1 * q) for q in range(16)]
    specs = [("h", q) for q in range(16)] + specs
    got = Circuit(make_gates(specs)).run(16)
    assert_bits_equal(got, simulate(specs, 16))
    distinct = [("h", q) for q in range(16)]
    assert_bits_equal(Circuit(make_gates(distinct)).run(16), unfused(distinct, 16))


def test_h_twice_unfused_is_not_renormalised():
    got = Circuit([Gate.h(0), Gate.h(0)]).run(1)
    assert got[0].real == np.nextafter(np.float32(1), np.float32(0))
    assert got.view(np.uint32).tolist() == [0x3F7FFFFF, 0, 0, 0]


def test_sixteen_h_fused_product():
    got = Circuit([Gate.h(0)] * 16).run(1)
    assert_bits_equal(got, simulate([("h", 0)] * 16, 1))


def test_rz_pi_uses_the_narrowed_angle_whole():
    got = Circuit([Gate.x(0), Gate.rz(0, math.pi)]).run(1)
    assert got[1].real == -1.0
    assert got[1].imag < 0 and got[1].imag > -1e-6
    assert got[0] == 0
    # The angle is not halved and there is no global phase.
    assert_bits_equal(Circuit([Gate.rz(0, 1.0)]).run(1), np.array([1, 0], dtype=np.complex64))


def test_crz_phase_and_controlled_kernels():
    theta = 0.8
    got = Circuit([Gate.x(0), Gate.x(1), Gate.crz(0, 1, theta)]).run(2)
    assert_bits_equal(got, simulate([("x", 0), ("x", 1), ("crz", 0, 1, theta)], 2))
    s, c = math.sin(np.float32(theta)), math.cos(np.float32(theta))
    assert got[3] == pytest.approx(complex(c, s), rel=1e-6)
    assert got[:3].tolist() == [0j, 0j, 0j]


@pytest.mark.parametrize("control, target", [(2, 0), (0, 2), (2, 1), (1, 1), (0, 0), (1, 2)])
@pytest.mark.parametrize("kind", ["crz", "cnot"])
def test_controlled_gates_on_every_placement(kind, control, target):
    prefix = [("h", 0), ("h", 1), ("h", 2), ("rz", 0, 0.7), ("rz", 1, 0.3), ("rz", 2, 1.1)]
    gate = (kind, control, target, 0.5) if kind == "crz" else (kind, control, target)
    specs = prefix + [gate]
    got = Circuit(make_gates(specs)).run(3)
    assert_bits_equal(got, simulate(specs, 3))
    if control == target and kind == "crz":
        assert_bits_equal(got, simulate(prefix + [("rz", control, 0.5)], 3))
    if control == target and kind == "cnot":
        assert_bits_equal(got, simulate(prefix, 3))


def test_zero_qubits():
    assert Circuit([Gate.cnot(0, 1), Gate.cnot(5, 0)]).run(0).tolist() == [1 + 0j]


@pytest.mark.parametrize("op, same_as", [
    (("x", 64), ("x", 0)), (("h", 65), ("h", 1)), (("cnot", 64, 65), ("cnot", 0, 1)),
])
def test_indices_of_64_and_more_act_modulo_64_or_are_refused(op, same_as):
    prefix = [("h", 0), ("rz", 0, 0.4)]
    try:
        got = Circuit(make_gates(prefix + [op])).run(2)
    except Exception as e:  # noqa: BLE001
        pytest.fail(f"unexpected {e!r}")
    except BaseException as e:  # noqa: BLE001
        assert type(e).__name__ == "PanicException"
    else:
        assert_bits_equal(got, simulate(prefix + [same_as], 2))


# --- the same bytes whatever the pool ------------------------------------

def batch():
    rng = random.Random(20261208)
    circuits = []
    for _ in range(60):
        n = rng.randint(1, 10)
        circuits.append((n, random_specs(rng, n, rng.randint(0, 40))))
    for singles in (15, 16, 17):
        n = rng.randint(2, 5)
        specs = []
        while sum(s[0] in SINGLE_QUBIT for s in specs) < singles:
            op = random_specs(rng, min(n, 2), 1)[0]
            if op[0] in SINGLE_QUBIT or rng.random() < 0.3:
                specs.append(op)
        circuits.append((n, specs))
    # Large enough that every gate is split over the workers, with gates on
    # the highest qubits, fused and unfused. Each starts from a dense state
    # of distinct amplitudes, so that a pair skipped or done twice anywhere
    # in the vector shows.
    def dense(n):
        return [("h", q) for q in range(n)] + [("rz", q, 0.1 + 0.37 * q) for q in range(n)]

    tail = [("h", 19), ("cnot", 19, 0), ("crz", 0, 19, 0.3), ("cnot", 0, 19), ("rz", 18, 0.9),
            ("crz", 19, 18, -1.2), ("x", 19), ("h", 18), ("cnot", 3, 17), ("crz", 17, 3, 0.7)]
    big = dense(20) + random_specs(rng, 20, 60, special_angles=False, out_of_range=False) + tail
    circuits.append((20, big))
    # Fifteen single-qubit gates, then Cnots that carry the superposition
    # into the upper qubits: nothing is fused.
    spread = [("h", q) for q in range(15)] + [("cnot", q, q + 5) for q in range(14, -1, -1)]
    spread += [g for g in random_specs(rng, 20, 80, special_angles=False, out_of_range=False)
               if g[0] not in SINGLE_QUBIT][:30]
    circuits.append((20, spread))
    # 2^16 pairs, where work starts to be split.
    edge = dense(17) + random_specs(rng, 17, 40, special_angles=False, out_of_range=False)
    edge += [("h", 16), ("cnot", 16, 15), ("crz", 15, 16, 2.5)]
    circuits.append((17, edge))
    # Special angles late in a dense 18-qubit circuit.
    late = dense(18) + random_specs(rng, 18, 30, special_angles=False) + random_specs(rng, 18, 6)
    circuits.append((18, late))
    return circuits


@pytest.fixture(scope="module")
def batch_file():
    circuits = batch()
    path = write_batch(circuits)
    expected = [digest(simulate(specs, n)) for n, specs in circuits]
    yield path, expected
    os.unlink(path)


@pytest.mark.parametrize("threads, env", [
    (None, {}), (1, {}), (2, {}), (3, {}), (8, {}),
    (None, {"RAYON_NUM_THREADS": "5"}),
    (3, {"VASTREL_KERNELS": "scalar"}), (3, {"VASTREL_KERNELS": "avx2"}),
    (3, {"VASTREL_KERNELS": "avx512"}),
], ids=["default", "1", "2", "3", "8", "env-5", "scalar", "avx2", "avx512"])
def test_same_bytes_whatever_the_pool(batch_file, threads, env):
    path, expected = batch_file
    runs = run_batch(path, threads, env)
    got = [runs[i:i + 2] for i in range(0, len(runs), 2)]
    assert len(got) == len(expected)
    bad = [i for i, (pair, want) in enumerate(zip(got, expected))
           if pair != [["ok", want], ["ok", want]]]
    assert bad == [], f"circuits {bad} differ from the model with threads={threads} env={env}"
