"""Circuit construction (lists only, read from their storage, gates copied)
and run: qubit limits, argument conversion, kernel panics, and a circuit that
stays usable after every failure."""

import gc
import sys
import weakref

import numpy as np
import pytest

from vastrel import Circuit, Gate
from helpers import (assert_bits_equal, index_conversion_error, make_gates, panic_of, run_child,
                     simulate)

BELL = [("h", 0), ("cnot", 0, 1)]


def unwrap_message(type_name):
    value = TypeError(f"'{type_name}' object cannot be converted to 'Gate'")
    return ("called `Result::unwrap()` on an `Err` value: "
            f"PyErr {{ type: {TypeError!r}, value: {value!r}, traceback: None }}")


class Seq:
    def __len__(self):
        return 1

    def __getitem__(self, i):
        if i:
            raise IndexError
        return Gate.x(0)


class GateList(list):
    pass


class LyingList(list):
    def __iter__(self):
        return iter([Gate.x(5)])

    def __getitem__(self, i):
        return Gate.x(5)

    def __len__(self):
        return 0


def test_empty_circuit():
    assert Circuit([]).run(0).tolist() == [1 + 0j]
    assert Circuit([]).run(3).tolist() == [1 + 0j] + [0j] * 7


def test_gates_by_keyword():
    assert_bits_equal(Circuit(gates=make_gates(BELL)).run(2), simulate(BELL, 2))


@pytest.mark.parametrize("value", [
    (Gate.x(0),), (), range(3), (g for g in [Gate.x(0)]), {0: Gate.x(0)}, None, "gates", 5,
    Seq(), frozenset(), Gate.x(0),
], ids=lambda v: type(v).__name__)
def test_gates_must_be_a_list(value):
    with pytest.raises(TypeError) as info:
        Circuit(value)
    assert type(info.value) is TypeError
    name = type(value).__name__
    assert str(info.value) == f"argument 'gates': '{name}' object cannot be converted to 'PyList'"
    assert info.value.__cause__ is None


def test_tuple_message():
    with pytest.raises(TypeError) as info:
        Circuit((Gate.x(0), Gate.h(1)))
    assert str(info.value) == "argument 'gates': 'tuple' object cannot be converted to 'PyList'"


def test_list_subclass_is_accepted():
    assert_bits_equal(Circuit(GateList(make_gates(BELL))).run(2), simulate(BELL, 2))


def test_list_subclass_is_read_from_its_storage():
    lying = LyingList(make_gates(BELL))
    assert len(lying) == 0
    assert_bits_equal(Circuit(lying).run(2), simulate(BELL, 2))


@pytest.mark.parametrize("element, type_name", [
    (5, "int"), (None, "NoneType"), ("x", "str"), (1.5, "float"), (Circuit([]), "Circuit"),
    ([Gate.x(0)], "list"), (Gate, "type"),
])
def test_non_gate_element_is_a_panic(element, type_name):
    e = panic_of(lambda: Circuit([Gate.x(0), Gate.h(1), element, Gate.x(2)]))
    assert str(e) == unwrap_message(type_name)
    assert e.args == (unwrap_message(type_name),)


def test_non_gate_element_first_or_alone():
    assert str(panic_of(lambda: Circuit([5]))) == unwrap_message("int")
    assert str(panic_of(lambda: Circuit(GateList([None, Gate.x(0)])))) == unwrap_message("NoneType")


def test_documented_non_gate_message():
    text = str(panic_of(lambda: Circuit([Gate.x(0), 5])))
    assert text.startswith("called `Result::unwrap()` on an `Err` value: ")
    assert "'int' object cannot be converted to 'Gate'" in text


def test_list_changed_afterwards_does_not_matter():
    gates = make_gates(BELL)
    c = Circuit(gates)
    gates.clear()
    gates.extend([Gate.x(0), Gate.x(1)])
    assert_bits_equal(c.run(2), simulate(BELL, 2))
    gates[:] = [5]
    del gates
    gc.collect()
    assert_bits_equal(c.run(2), simulate(BELL, 2))


def test_circuit_keeps_no_reference_to_list_or_gates():
    gates = GateList(make_gates(BELL))
    gate_refs_before = [sys.getrefcount(g) for g in gates]
    list_refs_before = sys.getrefcount(gates)
    c = Circuit(gates)
    assert [sys.getrefcount(g) for g in gates] == gate_refs_before
    assert sys.getrefcount(gates) == list_refs_before
    ref = weakref.ref(gates)
    del gates
    assert ref() is None
    assert_bits_equal(c.run(2), simulate(BELL, 2))


def test_failed_construction_leaks_no_references():
    g = Gate.h(0)
    bad = object()
    lst = [g, g, bad]
    before = (sys.getrefcount(g), sys.getrefcount(bad), sys.getrefcount(lst))
    for _ in range(100):
        panic_of(lambda: Circuit(lst))
    assert (sys.getrefcount(g), sys.getrefcount(bad), sys.getrefcount(lst)) == before


def test_same_gate_many_times():
    x = Gate.x(0)
    assert Circuit([x, x, x]).run(1).tolist() == [0j, 1 + 0j]
    h = Gate.h(0)
    assert_bits_equal(Circuit([h, h]).run(1), simulate([("h", 0)] * 2, 1))
    # 17 occurrences of one object pass the fusion threshold.
    assert_bits_equal(Circuit([h] * 17).run(1), simulate([("h", 0)] * 17, 1))


def test_gate_order_decides():
    assert Circuit(make_gates([("x", 0), ("cnot", 0, 1)])).run(2).tolist() == [0j, 0j, 0j, 1 + 0j]
    assert Circuit(make_gates([("cnot", 0, 1), ("x", 0)])).run(2).tolist() == [0j, 1 + 0j, 0j, 0j]


# --- run(num_qubits) --------------------------------------------------------

def test_run_argument_forms():
    c = Circuit(make_gates([("h", 0), ("h", 1), ("rz", 1, 0.5)]))
    assert_bits_equal(c.run(num_qubits=2), c.run(2))
    assert_bits_equal(c.run(np.int64(2)), c.run(2))
    one = Circuit(make_gates([("h", 0), ("rz", 0, 0.5)]))
    assert_bits_equal(one.run(True), one.run(1))
    assert_bits_equal(one.run(True), simulate([("h", 0), ("rz", 0, 0.5)], 1))
    assert_bits_equal(Circuit([]).run(False), np.array([1], dtype=np.complex64))


@pytest.mark.parametrize("value", [2.0, "2", None, np.float64(2.0), [2]],
                         ids=["float", "str", "None", "float64", "list"])
def test_run_non_integer_is_type_error_with_prefix(value):
    expected = index_conversion_error(value)
    with pytest.raises(TypeError) as info:
        Circuit([]).run(value)
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument 'num_qubits': {expected}"


@pytest.mark.parametrize("value", [-1, 2**64, -(2**64)], ids=["-1", "2**64", "-2**64"])
def test_run_out_of_range_is_overflow_error(value):
    expected = index_conversion_error(value)
    with pytest.raises(OverflowError) as info:
        Circuit([Gate.x(0)]).run(value)
    assert type(info.value) is OverflowError
    assert str(info.value) == str(expected)
    assert "num_qubits" not in str(info.value)


@pytest.mark.parametrize("n, message", [
    (64, "too many qubits"), (65, "too many qubits"), (2**40, "too many qubits"),
    (2**64 - 1, "too many qubits"),
    (60, "capacity overflow"), (61, "capacity overflow"), (63, "capacity overflow"),
])
@pytest.mark.parametrize("gates", [[], BELL], ids=["empty", "bell"])
def test_run_qubit_limits(gates, n, message):
    c = Circuit(make_gates(gates))
    e = panic_of(lambda: c.run(n))
    assert str(e) == message
    assert_bits_equal(c.run(2), simulate(gates, 2))


CHUNK_ZERO = "chunk_size must not be zero"


@pytest.mark.parametrize("gates, n, message", [
    ([("h", 0), ("x", 1), ("x", 63)], 2, CHUNK_ZERO),
    ([("h", 63)], 3, CHUNK_ZERO),
    ([("rz", 63, 0.5)], 1, CHUNK_ZERO),
    ([("cnot", 0, 63)], 2, CHUNK_ZERO),
    ([("cnot", 63, 63)], 2, CHUNK_ZERO),
    ([("h", 0)] * 16 + [("x", 63)], 2, CHUNK_ZERO),
    ([("h", 0)] * 8 + [("h", 63)] * 8, 2, CHUNK_ZERO),
    ([("h", 3)], 3, "index out of bounds: the len is 8 but the index is 8"),
    ([("x", 0), ("x", 5)], 2, "index out of bounds: the len is 4 but the index is 32"),
    ([("rz", 1, 0.5)], 1, "index out of bounds: the len is 2 but the index is 2"),
    ([("h", 0)], 0, "index out of bounds: the len is 1 but the index is 1"),
    ([("x", 62)], 4, "index out of bounds: the len is 16 but the index is 4611686018427387904"),
    ([("h", 4)] * 16, 4, "index out of bounds: the len is 16 but the index is 16"),
], ids=["x63-third", "h63", "rz63", "cnot-target63", "cnot-63-63", "fused-then-x63",
        "fused-h63", "h3-on-3", "x5-on-2", "rz1-on-1", "h0-on-0", "x62-on-4", "fused-h4-on-4"])
def test_kernel_panics_and_circuit_stays_usable(gates, n, message):
    c = Circuit(make_gates(gates))
    for _ in range(2):
        e = panic_of(lambda: c.run(n))
        assert str(e) == message
    # Where some qubit count makes the circuit valid, it still runs correctly.
    needed = 1 + max(q for op in gates for q in op[1:3] if isinstance(q, int))
    if needed <= 12:
        assert_bits_equal(c.run(needed), simulate(gates, needed))
    assert_bits_equal(Circuit(make_gates(BELL)).run(2), simulate(BELL, 2))


@pytest.mark.parametrize("gates, n", [
    ([("h", 0), ("cnot", 0, 5)], 2),
    ([("h", 0), ("cnot", 5, 0)], 2),
    ([("h", 0), ("cnot", 62, 61)], 1),
    ([("h", 0), ("cnot", 0, 0)], 1),
    ([("h", 0), ("h", 1), ("crz", 0, 7, 0.5)], 2),
    ([("h", 0), ("h", 1), ("crz", 1, 62, 0.5)], 2),
    ([("x", 0)], 1),
])
def test_out_of_range_two_qubit_gates_change_nothing(gates, n):
    without = [g for g in gates if g[0] in ("x", "h", "rz")]
    got = Circuit(make_gates(gates)).run(n)
    assert_bits_equal(got, simulate(without, n))


@pytest.mark.parametrize("control", [2, 5, 62, 63])
def test_crz_control_out_of_range_is_unchanged_or_a_panic(control):
    c = Circuit(make_gates([("h", 0), ("h", 1), ("crz", control, 0, 0.5)]))
    try:
        got = c.run(2)
    except Exception as e:  # noqa: BLE001
        pytest.fail(f"unexpected {e!r}")
    except BaseException as e:  # noqa: BLE001
        assert type(e).__name__ == "PanicException"
    else:
        assert_bits_equal(got, simulate([("h", 0), ("h", 1)], 2))


def test_two_runs_with_different_sizes():
    c = Circuit(make_gates(BELL))
    for n in (2, 5, 3, 2, 8):
        assert_bits_equal(c.run(n), simulate(BELL, n))


def test_conversion_failures_leave_the_circuit_usable_and_counts_unchanged():
    c = Circuit(make_gates(BELL))
    big, fl = 2**70, 2.5
    before = (sys.getrefcount(c), sys.getrefcount(big), sys.getrefcount(fl))
    for _ in range(100):
        with pytest.raises(OverflowError):
            c.run(big)
        with pytest.raises(TypeError):
            c.run(fl)
        with pytest.raises(TypeError):
            c.run(2, 3)
        panic_of(lambda: c.run(64))
    assert (sys.getrefcount(c), sys.getrefcount(big), sys.getrefcount(fl)) == before
    assert_bits_equal(c.run(2), simulate(BELL, 2))


def test_huge_gate_lists():
    # Fused: 200001 X gates on one qubit are one product of exact 0/1 entries.
    x = Gate.x(0)
    assert Circuit([x] * 200_001).run(1).tolist() == [0j, 1 + 0j]
    # Not fused (one single-qubit gate): an even number of Cnots undoes itself.
    c = Circuit([Gate.h(0)] + [Gate.cnot(0, 1)] * 100_000)
    assert_bits_equal(c.run(2), simulate([("h", 0)], 2))


def test_runs_from_several_python_threads():
    from concurrent.futures import ThreadPoolExecutor

    specs = [("h", q) for q in range(12)] + [("cnot", 11, 0), ("crz", 0, 11, 0.5), ("rz", 5, 1.5)]
    expected = simulate(specs, 12)
    c = Circuit(make_gates(specs))

    def work(_):
        return [c.run(12) for _ in range(10)]

    with ThreadPoolExecutor(4) as pool:
        for results in pool.map(work, range(8)):
            for got in results:
                assert_bits_equal(got, expected)


def test_run_holds_the_interpreter_and_defers_signals():
    res = run_child("""
        import signal, threading, time
        import numpy
        import vastrel
        from vastrel import Circuit, Gate
        gates = [Gate.h(q) for q in range(23)] + [Gate.cnot(q, (q + 7) % 23) for q in range(23)]
        gates += [Gate.crz(q, (q + 3) % 23, 0.5) for q in range(23)]
        # Repeated so that a run lasts long enough to watch, however fast.
        c = Circuit(gates * 6)
        durations = []
        for _ in range(2):
            start = time.perf_counter()
            c.run(23)
            durations.append(time.perf_counter() - start)

        # Another Python thread gets no turn while a run is going on, beyond
        # the hand-overs of the interpreter lock around the call.
        count = 0
        stop = False
        def spin():
            global count
            while not stop:
                count += 1
        t = threading.Thread(target=spin)
        t.start()
        time.sleep(0.05)
        c0, t0 = count, time.perf_counter()
        time.sleep(0.1)
        rate = (count - c0) / (time.perf_counter() - t0)
        shares = []
        for _ in range(3):
            before, start = count, time.perf_counter()
            c.run(23)
            shares.append((count - before) / (rate * (time.perf_counter() - start)))
        stop = True
        t.join()

        # A signal arriving early in a run is handled only after it returns.
        class Alarm(Exception):
            pass
        fired = []
        def on_alarm(signum, frame):
            fired.append(time.perf_counter())
            raise Alarm
        signal.signal(signal.SIGALRM, on_alarm)
        start = time.perf_counter()
        try:
            signal.setitimer(signal.ITIMER_REAL, 0.005)
            c.run(23)
            time.sleep(5)
        except Alarm:
            pass
        report(shortest=min(durations), share=min(shares), fired_after=fired[0] - start)
    """, timeout=180)
    d = res.data
    assert d["shortest"] > 0.05, d
    assert d["share"] < 0.25, d
    assert d["fired_after"] > 0.3 * d["shortest"], d
