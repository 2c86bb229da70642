"""Hostile Python input: conversions that raise, return the wrong thing or
call back into the module and change what it is reading; lists changed by
other threads between and around constructions; cycles and the collector;
objects that outlive the module's other objects. After every call,
successful or not, the arguments' reference counts are what they were."""

import gc
import sys
import threading
import time
import weakref

import numpy as np
import pytest

import vastrel
from vastrel import Circuit, Gate
from helpers import (assert_bits_equal, index_conversion_error, make_gates, panic_of, run_child,
                     simulate)

BELL = [("h", 0), ("cnot", 0, 1)]
BIG = 2**40 + 12345        # a valid index that is not a cached small int


def outcome(call):
    try:
        call()
        return "ok"
    except BaseException as e:  # noqa: BLE001 - panics included
        return type(e).__name__, str(e)


class Returns:
    """__index__ and __float__ hand back whatever they were given, without
    checking it: the module has to."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __float__(self):
        return self.value


class Raises:
    """Raises a new exception each time (raising one object again would
    lengthen its traceback, and with it the count of every object there)."""

    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise type(self.exc)(*self.exc.args)

    def __float__(self):
        raise type(self.exc)(*self.exc.args)


class IntSub(int):
    pass


class FloatSub(float):
    pass


# Every way an argument reaches a conversion: (call, position in args).
ENTRIES = [
    (Gate.x, (0,), 0), (Gate.h, (0,), 0),
    (Gate.rz, (0, 0.5), 0), (Gate.rz, (0, 0.5), 1),
    (Gate.crz, (0, 1, 0.5), 0), (Gate.crz, (0, 1, 0.5), 1), (Gate.crz, (0, 1, 0.5), 2),
    (Gate.cnot, (0, 1), 0), (Gate.cnot, (0, 1), 1),
]
ANGLE = {(Gate.rz, 1), (Gate.crz, 2)}


def entry_id(e):
    return f"{e[0].__name__}-{e[2]}"


def with_arg(args, i, value):
    args = list(args)
    args[i] = value
    return args


# Made anew for each case: a shared object would also be counted by the
# tracebacks of earlier cases, which the collector frees at its own pace.
HOSTILE = {
    "raises-ValueError": lambda: Raises(ValueError("bad")),
    "raises-KeyError": lambda: Raises(KeyError("k")),
    "raises-ArithmeticError": lambda: Raises(ArithmeticError()),
    "raises-RecursionError": lambda: Raises(RecursionError("deep")),
    "raises-MemoryError": lambda: Raises(MemoryError()),
    "returns-float": lambda: Returns(1.5),
    "returns-str": lambda: Returns("3"),
    "returns-None": lambda: Returns(None),
    "returns-2**64": lambda: Returns(2**64),
    "returns--1": lambda: Returns(-1),
    "returns-object": lambda: Returns(object()),
    "returns-itself-a-converter": lambda: Returns(Returns(1)),
    "returns-complex": lambda: Returns(complex(1, 0)),
    "returns-float64": lambda: Returns(np.float64(1.0)),
    "returns-int-subclass": lambda: Returns(IntSub(1)),
    "returns-float-subclass": lambda: Returns(FloatSub(1.0)),
    "returns-bool": lambda: Returns(True),
}


def expected_failure(value, angle):
    """What the interpreter itself says converting value, as the module must
    pass it on (an exact TypeError gets the argument's name in front)."""
    if angle:
        try:
            float(value)
            return None
        except BaseException as e:  # noqa: BLE001
            return e
    try:
        index_conversion_error(value)
    except AssertionError:
        return None
    return index_conversion_error(value)


@pytest.mark.parametrize("make", HOSTILE.values(), ids=HOSTILE.keys())
@pytest.mark.parametrize("entry", ENTRIES, ids=entry_id)
def test_hostile_conversions_fail_cleanly_and_leak_nothing(entry, make):
    call, args, i = entry
    value = make()
    want = expected_failure(value, (call, i) in ANGLE)
    gc.collect()
    refs = sys.getrefcount(value), sys.getrefcount(value.__dict__.get("value", value))
    for _ in range(3):
        got = outcome(lambda: call(*with_arg(args, i, value)))
        if want is None:
            assert got == "ok"
        else:
            kind, text = got
            if type(want) is TypeError:
                name = call.__text_signature__.strip("()").split(", ")[i]
                assert (kind, text) == ("TypeError", f"argument '{name}': {want}")
            else:
                assert (kind, text) == (type(want).__name__, str(want))
    gc.collect()
    assert (sys.getrefcount(value), sys.getrefcount(value.__dict__.get("value", value))) == refs


def test_reference_counts_around_every_call():
    # Objects the conversions touch, none of them immortal: what __index__
    # returns is a large int held by the converter, angles are fresh floats.
    target, control, theta = Returns(BIG), Returns(BIG + 1), 0.25 + 1e-9
    gates_list = make_gates(BELL)
    gate = gates_list[0]
    n_obj = Returns(2)
    zero, not_int, raises = Returns(0), Returns(2.5), Raises(ValueError("no"))
    watched = [target, target.value, control, control.value, theta, gates_list, gate, n_obj,
               zero, not_int, not_int.value, raises]
    before = [sys.getrefcount(o) for o in watched]
    c = Circuit(gates_list)
    for _ in range(50):
        Gate.x(target), Gate.h(target=target), Gate.rz(target, theta)
        Gate.crz(control, target, theta), Gate.cnot(control=control, target=target)
        Circuit(gates_list), Circuit(gates=gates_list)
        c.run(n_obj), c.run(num_qubits=n_obj)
        outcome(lambda: Gate.rz(target))
        outcome(lambda: Gate.crz(control, target, theta, 1))
        outcome(lambda: Gate.cnot(control, control=control))
        outcome(lambda: Circuit(gates_list, gates_list))
        outcome(lambda: Circuit([gate, theta]))
        outcome(lambda: c.run(n_obj, n_obj))
        outcome(lambda: Circuit([Gate.x(target)]).run(n_obj))   # out-of-bounds panic
        # Refusals that leave the pool alone, whether it exists yet or not.
        outcome(lambda: vastrel.set_num_threads(zero))
        outcome(lambda: vastrel.set_num_threads(num_threads=not_int))
        outcome(lambda: vastrel.set_num_threads(raises))
    c = None
    assert [sys.getrefcount(o) for o in watched] == before


def test_results_and_gates_hold_only_their_own_references():
    g = Gate.x(0)
    assert sys.getrefcount(g) == 2
    c = Circuit([g])
    a = c.run(1)
    assert sys.getrefcount(a) == 2
    base = a.base
    assert sys.getrefcount(base) == 3      # the array, `base`, the argument
    del a
    assert sys.getrefcount(base) == 2
    assert sys.getrefcount(c) == 2


def test_conversion_code_calling_back_into_the_module():
    # An __index__ that builds and runs circuits of its own, and one that
    # makes the module panic: the panic goes on as a panic of the outer call
    # with the inner message, and the inner circuit stays usable.
    inner = Circuit(make_gates(BELL))

    class Busy:
        def __index__(self):
            assert_bits_equal(inner.run(2), simulate(BELL, 2))
            Circuit([Gate.h(Returns(1)), Gate.x(0)]).run(3)
            return 1

    assert_bits_equal(Circuit([Gate.x(Busy())]).run(2), simulate([("x", 1)], 2))
    assert_bits_equal(inner.run(Busy()), simulate(BELL, 1))

    class Panics:
        def __index__(self):
            Circuit([]).run(64)

        def __float__(self):
            Circuit([Gate.h(5)]).run(2)

    for call, message in [
        (lambda: Gate.x(Panics()), "too many qubits"),
        (lambda: Gate.crz(0, 1, Panics()), "index out of bounds: the len is 4 but the index is 32"),
        (lambda: inner.run(Panics()), "too many qubits"),
    ]:
        e = panic_of(call)
        assert type(e).__name__ == "PanicException" and str(e) == message
    assert_bits_equal(inner.run(2), simulate(BELL, 2))


def test_conversion_code_that_changes_the_gate_list():
    # A circuit holds copies: a conversion that rewrites the list it was
    # built from, during a run, changes nothing.
    gates = make_gates(BELL)

    class Mutates:
        def __index__(self):
            gates.clear()
            gates.extend([Gate.x(0)] * 3)
            return 2

    c = Circuit(gates)
    assert_bits_equal(c.run(Mutates()), simulate(BELL, 2))
    assert_bits_equal(c.run(2), simulate(BELL, 2))

    class DropsTheCircuit:
        def __index__(self):
            global victim
            victim = None
            gc.collect()
            return 2

    global victim
    victim = Circuit(make_gates(BELL))
    assert_bits_equal(victim.run(DropsTheCircuit()), simulate(BELL, 2))
    assert victim is None


def test_lists_changed_by_other_threads_while_circuits_are_built():
    # Another thread grows, shrinks and replaces the list as fast as it can;
    # each circuit is some whole state of the list: X gates only, so a run
    # on one qubit is |0> or |1>, or the panic of the one non-gate.
    x = Gate.x(0)
    shared = [x] * 20
    stop = threading.Event()
    steps = [0]

    def churn():
        k = 0
        while not stop.is_set():
            k += 1
            shared.append(x)
            shared.extend([x] * (k % 7))
            del shared[: k % 11]
            if k % 13 == 0:
                shared[:] = [x] * (k % 40)
            if k % 17 == 0:
                shared.insert(k % 5, "not a gate")
                shared.remove("not a gate")
            steps[0] = k

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    t = threading.Thread(target=churn)
    t.start()
    outcomes = set()
    deadline = time.monotonic() + 20
    try:
        # Until the other thread has really been at it, however late it
        # started and however the two were scheduled.
        built = 0
        while ((built < 3000 or steps[0] < 3000 or len(outcomes) < 2)
               and time.monotonic() < deadline):
            try:
                got = tuple(Circuit(shared).run(1).tolist())
            except BaseException as e:  # noqa: BLE001
                assert type(e).__name__ == "PanicException", e
                assert "'str' object cannot be converted to 'Gate'" in str(e)
                got = "panic"
            outcomes.add(got)
            built += 1
    finally:
        stop.set()
        t.join()
        sys.setswitchinterval(old)
    assert outcomes <= {(1 + 0j, 0j), (0j, 1 + 0j), "panic"}
    assert len(outcomes) >= 2


def test_huge_lists_and_failures_at_their_end():
    g = Gate.h(0)
    cnot = Gate.cnot(0, 1)
    huge = [g] + [cnot] * 3_000_000
    before = sys.getrefcount(g), sys.getrefcount(cnot), sys.getrefcount(huge)
    assert_bits_equal(Circuit(huge).run(2), simulate([("h", 0)] + [("cnot", 0, 1)] * 2, 2))
    huge.append(huge)                     # the list itself, last: a panic after 3M copies
    e = panic_of(lambda: Circuit(huge))
    assert "'list' object cannot be converted to 'Gate'" in str(e)
    huge.pop()
    del e
    assert (sys.getrefcount(g), sys.getrefcount(cnot), sys.getrefcount(huge)) == before


class Loop(list):
    """A list that can be weakly referenced."""


def test_cycles_around_every_object_are_collected():
    # Arrays and circuits in a list that contains itself, and a list of
    # itself and a gate kept together with the error Circuit() raised about
    # it: all freed by the collector once unreachable.
    gc.collect()
    refs = []
    for _ in range(20):
        c = Circuit(make_gates(BELL))
        a = c.run(3)
        holder = Loop([a, c])
        holder.append(holder)
        loop = Loop([Gate.x(0)])
        loop.append(loop)
        try:
            Circuit(loop)
        except BaseException as e:  # noqa: BLE001
            assert "'Loop' object cannot be converted to 'Gate'" in str(e)
            loop.append(e)          # the error kept by the list it was about
        refs += [weakref.ref(a), weakref.ref(holder), weakref.ref(loop)]
        del c, a, holder, loop
    gc.collect()
    assert [r() for r in refs] == [None] * len(refs)


def test_objects_outlive_the_module():
    res = run_child("""
        import gc, sys
        import numpy
        import vastrel
        g = vastrel.Gate.h(0)
        c = vastrel.Circuit([g, vastrel.Gate.cnot(0, 1)])
        keep = c.run(2)
        view = keep[1:]
        circuit_type, gate_x = type(c), vastrel.Gate.x
        del sys.modules["vastrel"], vastrel
        gc.collect()
        again = c.run(2)
        made = circuit_type([g, gate_x(1)]).run(2)
        del c, keep
        gc.collect()
        # Left for interpreter shutdown: a result, a view, a gate, a circuit.
        at_exit = circuit_type([g])
        late = at_exit.run(1)
        real = lambda a: [float(v.real) for v in a]
        report(again=real(again), view=real(view), made=real(made))
    """)
    s = numpy_s()
    assert res.data == {"again": [s, 0, 0, s], "view": [0, 0, s], "made": [0, 0, s, s]}
    assert res.returncode == 0
    assert "Exception ignored" not in res.stderr and "Error" not in res.stderr, res.stderr


def numpy_s():
    return float(np.float32(0.70710677))
