"""Gate constructors: conversion of indices and angles, the errors of each
conversion, keyword calls, and signature inspection. A gate's fields cannot be
read from Python, so what a constructor stored is observed by running it."""

import inspect
import math
import sys

import numpy as np
import pytest

from vastrel import Circuit, Gate
from helpers import (SPECIAL_ANGLES, assert_bits_equal, float_conversion_error,
                     index_conversion_error, make_gates, simulate)

# Three qubits in a superposition whose eight amplitudes all differ, so that
# a gate stored with a wrong index or angle changes the result.
PREFIX = [("h", 0), ("h", 1), ("h", 2), ("rz", 0, 0.7), ("rz", 1, 0.3), ("rz", 2, 1.1)]

# (constructor, parameter names, plain arguments)
CONSTRUCTORS = [
    ("x", ("target",), (1,)),
    ("h", ("target",), (1,)),
    ("rz", ("target", "theta"), (1, 0.25)),
    ("crz", ("control", "target", "theta"), (1, 2, 0.25)),
    ("cnot", ("control", "target"), (1, 2)),
]
INDEX_POSITIONS = [(name, params, args, i) for name, params, args in CONSTRUCTORS
                   for i, p in enumerate(params) if p != "theta"]
THETA_POSITIONS = [(name, params, args, params.index("theta"))
                   for name, params, args in CONSTRUCTORS if "theta" in params]


def pos_id(case):
    name, params, _, i = case
    return f"{name}-{params[i]}"


def run_with(gate, n=3):
    return Circuit(make_gates(PREFIX) + [gate]).run(n)


def expected_with(op, n=3):
    return simulate(PREFIX + [op], n)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Real:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class FloatWithOwnConversion(float):
    def __float__(self):
        return 99.0


class MyTypeError(TypeError):
    pass


class Raises:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc

    def __float__(self):
        raise self.exc


def with_arg(args, i, value):
    args = list(args)
    args[i] = value
    return args


# --- indices ----------------------------------------------------------------

@pytest.mark.parametrize("value", [
    True, Index(1), np.int64(1), np.uint8(1), np.int32(1), np.uint64(1),
], ids=["bool", "__index__", "int64", "uint8", "int32", "uint64"])
@pytest.mark.parametrize("case", INDEX_POSITIONS, ids=pos_id)
def test_index_protocol_objects_are_accepted(case, value):
    name, _, args, i = case
    plain = with_arg(args, i, 1)
    got = run_with(getattr(Gate, name)(*with_arg(args, i, value)))
    assert_bits_equal(got, expected_with((name, *plain)))
    # And the plain value really was the one that mattered.
    assert_bits_equal(run_with(getattr(Gate, name)(*plain)), expected_with((name, *plain)))


def test_bool_target_is_qubit_one():
    assert Circuit([Gate.x(True)]).run(2).tolist() == [0j, 0j, 1 + 0j, 0j]
    assert Circuit([Gate.x(False)]).run(2).tolist() == [0j, 1 + 0j, 0j, 0j]


@pytest.mark.parametrize("value", [2**64 - 1, np.uint64(2**64 - 1), 2**63, 1000])
@pytest.mark.parametrize("case", INDEX_POSITIONS, ids=pos_id)
def test_any_unsigned_64_bit_index_is_stored(case, value):
    name, _, args, i = case
    gate = getattr(Gate, name)(*with_arg(args, i, value))
    assert type(gate) is Gate
    Circuit([gate])


@pytest.mark.parametrize("value", [-1, 2**64, -(2**70), 2**100, np.int64(-1), Index(-5)],
                         ids=["-1", "2**64", "-2**70", "2**100", "int64(-1)", "__index__(-5)"])
@pytest.mark.parametrize("case", INDEX_POSITIONS, ids=pos_id)
def test_out_of_range_index_is_the_interpreters_overflow_error(case, value):
    name, params, args, i = case
    expected = index_conversion_error(value)
    assert type(expected) is OverflowError
    with pytest.raises(OverflowError) as info:
        getattr(Gate, name)(*with_arg(args, i, value))
    assert type(info.value) is OverflowError
    assert str(info.value) == str(expected)
    assert params[i] not in str(info.value)


@pytest.mark.parametrize("value", [
    1.0, 1.5, "1", None, np.float64(1.0), [1], 1j, Index("1"), Index(1.0),
], ids=["1.0", "1.5", "str", "None", "float64", "list", "complex", "__index__-str", "__index__-float"])
@pytest.mark.parametrize("case", INDEX_POSITIONS, ids=pos_id)
def test_non_integer_index_is_type_error_with_argument_prefix(case, value):
    name, params, args, i = case
    expected = index_conversion_error(value)
    assert type(expected) is TypeError
    with pytest.raises(TypeError) as info:
        getattr(Gate, name)(*with_arg(args, i, value))
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument '{params[i]}': {expected}"
    assert info.value.__cause__ is None


@pytest.mark.parametrize("case", INDEX_POSITIONS, ids=pos_id)
def test_type_error_keeps_the_cause_of_the_replaced_error(case):
    name, params, args, i = case
    cause = KeyError("why")
    error = TypeError("custom conversion failure")
    error.__cause__ = cause
    with pytest.raises(TypeError) as info:
        getattr(Gate, name)(*with_arg(args, i, Raises(error)))
    assert info.value is not error
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument '{params[i]}': custom conversion failure"
    assert info.value.__cause__ is cause


@pytest.mark.parametrize("exc", [ValueError("nope"), MyTypeError("sub"), ZeroDivisionError("z"),
                                 OverflowError("big")],
                         ids=lambda e: type(e).__name__)
@pytest.mark.parametrize("case", INDEX_POSITIONS, ids=pos_id)
def test_other_errors_from_index_pass_through_unchanged(case, exc):
    name, params, args, i = case
    with pytest.raises(type(exc)) as info:
        getattr(Gate, name)(*with_arg(args, i, Raises(exc)))
    assert info.value is exc
    assert str(info.value) == exc.args[0]


def test_arguments_convert_in_parameter_order():
    with pytest.raises(OverflowError):
        Gate.crz(-1, 1.5, "a")
    with pytest.raises(TypeError, match=r"^argument 'control': "):
        Gate.crz(1.5, -1, "a")
    with pytest.raises(TypeError, match=r"^argument 'target': "):
        Gate.crz(0, 1.5, "a")
    with pytest.raises(TypeError, match=r"^argument 'theta': "):
        Gate.crz(0, 0, "a")
    with pytest.raises(TypeError, match=r"^argument 'target': "):
        Gate.cnot(0, 1.5)
    with pytest.raises(TypeError, match=r"^argument 'target': "):
        Gate.rz(1.5, "a")
    # Later arguments are not examined once one has failed.
    seen = []

    class Spy:
        def __index__(self):
            seen.append("index")
            return 0

        def __float__(self):
            seen.append("float")
            return 0.0

    with pytest.raises(OverflowError):
        Gate.crz(-1, Spy(), Spy())
    assert seen == []


# --- angles -----------------------------------------------------------------

@pytest.mark.parametrize("theta", SPECIAL_ANGLES, ids=repr)
@pytest.mark.parametrize("case", THETA_POSITIONS, ids=pos_id)
def test_theta_is_narrowed_to_single_precision(case, theta):
    name, _, args, i = case
    op = (name, *with_arg(args, i, theta))
    got = run_with(getattr(Gate, name)(*op[1:]))
    assert_bits_equal(got, expected_with(op), f"theta={theta!r}")


def test_huge_theta_becomes_infinity():
    # sincosf(inf) is NaN; the largest finite float32 still gives numbers.
    inf = Circuit([Gate.x(0), Gate.rz(0, 1e300)]).run(1)
    assert np.isnan(inf[1].real) and np.isnan(inf[1].imag)
    finite = Circuit([Gate.x(0), Gate.rz(0, 3.4028234663852886e38)]).run(1)
    assert np.isfinite(finite[1].real) and np.isfinite(finite[1].imag)
    neg = Circuit([Gate.x(0), Gate.rz(0, -1e300)]).run(1)
    assert np.isnan(neg[1].real)


@pytest.mark.parametrize("value, same_as", [
    (1, 1.0), (True, 1.0), (-3, -3.0), (2**80, float(2**80)), (Index(2), 2.0), (Real(0.75), 0.75),
    (np.float32(0.5), 0.5), (np.float64(0.1), 0.1), (np.int64(3), 3.0),
    (FloatWithOwnConversion(0.5), 0.5),
], ids=["int", "bool", "negative-int", "big-int", "__index__", "__float__", "float32", "float64",
        "int64", "float-subclass"])
@pytest.mark.parametrize("case", THETA_POSITIONS, ids=pos_id)
def test_theta_accepts_real_numbers(case, value, same_as):
    name, _, args, i = case
    got = run_with(getattr(Gate, name)(*with_arg(args, i, value)))
    assert_bits_equal(got, expected_with((name, *with_arg(args, i, same_as))))


@pytest.mark.parametrize("value", ["a", None, 1j, [0.5], b"1", Real("x")],
                         ids=["str", "None", "complex", "list", "bytes", "__float__-str"])
@pytest.mark.parametrize("case", THETA_POSITIONS, ids=pos_id)
def test_non_real_theta_is_type_error_with_argument_prefix(case, value):
    name, _, args, i = case
    expected = float_conversion_error(value)
    assert type(expected) is TypeError
    with pytest.raises(TypeError) as info:
        getattr(Gate, name)(*with_arg(args, i, value))
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument 'theta': {expected}"


@pytest.mark.parametrize("case", THETA_POSITIONS, ids=pos_id)
def test_int_theta_too_large_for_a_double_is_overflow_error(case):
    name, _, args, i = case
    expected = float_conversion_error(10**400)
    with pytest.raises(OverflowError) as info:
        getattr(Gate, name)(*with_arg(args, i, 10**400))
    assert type(info.value) is OverflowError
    assert str(info.value) == str(expected)
    assert "theta" not in str(info.value)


@pytest.mark.parametrize("exc", [ValueError("bad float"), MyTypeError("sub"), ArithmeticError("a")],
                         ids=lambda e: type(e).__name__)
@pytest.mark.parametrize("case", THETA_POSITIONS, ids=pos_id)
def test_errors_from_float_pass_through_unchanged(case, exc):
    name, _, args, i = case
    with pytest.raises(type(exc)) as info:
        getattr(Gate, name)(*with_arg(args, i, Raises(exc)))
    assert info.value is exc


# --- calling forms ----------------------------------------------------------

@pytest.mark.parametrize("name, params, args", CONSTRUCTORS, ids=[c[0] for c in CONSTRUCTORS])
def test_keyword_and_mixed_calls_build_the_same_gate(name, params, args):
    expected = expected_with((name, *args))
    f = getattr(Gate, name)
    assert_bits_equal(run_with(f(**dict(zip(params, args)))), expected)
    assert_bits_equal(run_with(f(*args[:1], **dict(zip(params[1:], args[1:])))), expected)
    reversed_kwargs = dict(reversed(list(zip(params, args))))
    assert_bits_equal(run_with(f(**reversed_kwargs)), expected)
    # A static method is callable through an instance too.
    assert_bits_equal(run_with(getattr(Gate.x(0), name)(*args)), expected)


def test_crz_by_keyword_equals_positional():
    a = Circuit([Gate.x(0), Gate.x(1), Gate.crz(control=1, target=0, theta=0.5)]).run(2)
    b = Circuit([Gate.x(0), Gate.x(1), Gate.crz(1, 0, 0.5)]).run(2)
    assert_bits_equal(a, b)
    assert a[3] != 1


def test_control_equal_to_target_is_accepted():
    assert type(Gate.cnot(0, 0)) is Gate
    assert type(Gate.crz(2, 2, 0.5)) is Gate


@pytest.mark.parametrize("name, params, args", CONSTRUCTORS, ids=[c[0] for c in CONSTRUCTORS])
def test_signature_inspection(name, params, args):
    sig = inspect.signature(getattr(Gate, name))
    assert tuple(sig.parameters) == params
    for p in sig.parameters.values():
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert p.default is inspect.Parameter.empty
    assert getattr(Gate, name).__doc__ is None


def test_every_call_makes_a_new_gate():
    gates = [Gate.h(0) for _ in range(4)]
    assert len({id(g) for g in gates}) == 4


def test_argument_reference_counts_are_unchanged():
    target = 12345678901234
    theta = 0.123456
    bad = 10**30
    before = [sys.getrefcount(o) for o in (target, theta, bad)]
    for _ in range(200):
        Gate.crz(target, target, theta)
        Gate.rz(target=target, theta=theta)
        with pytest.raises(OverflowError):
            Gate.x(bad)
        with pytest.raises(TypeError):
            Gate.rz(target, "nope")
    after = [sys.getrefcount(o) for o in (target, theta, bad)]
    assert after == before


def test_nan_theta_stays_nan():
    got = Circuit([Gate.x(0), Gate.rz(0, math.nan)]).run(1)
    assert np.isnan(got[1].real) and np.isnan(got[1].imag)
    assert got[0] == 0
