"""The module's surface: members and their order, the classes' names,
docstrings, signatures and restrictions, the module-level function, and the
once-per-process initialisation."""

import gc
import inspect
import os
import re
import weakref

import pytest

import vastrel
from vastrel import Circuit, Gate
from helpers import run_child

Py_TPFLAGS_BASETYPE = 1 << 10
Py_TPFLAGS_HAVE_GC = 1 << 14


def test_all_lists_the_members_in_order():
    assert vastrel.__all__ == ["Gate", "Circuit", "set_num_threads"]
    assert type(vastrel.__all__) is list


def test_public_names_are_exactly_the_members():
    public = {name for name in dir(vastrel) if not name.startswith("_")}
    assert public == {"Gate", "Circuit", "set_num_threads"}
    # The panic exception and the array owner are reachable only through
    # the objects that carry them.
    assert not hasattr(vastrel, "PanicException")
    assert not hasattr(vastrel, "PySliceContainer")


def test_module_doc_is_empty_string():
    assert vastrel.__doc__ == ""
    assert vastrel.__name__ == "vastrel"


def test_module_is_a_single_extension_module():
    assert not hasattr(vastrel, "__path__")
    assert vastrel.__file__.endswith(".so")


def test_type_stub_ships_beside_the_module():
    stub = os.path.join(os.path.dirname(vastrel.__file__), "vastrel.pyi")
    assert os.path.isfile(stub)
    with open(stub) as f:
        text = f.read()
    for name in ("class Gate", "class Circuit", "def set_num_threads", "def run", "def crz"):
        assert name in text


@pytest.mark.parametrize("cls, name, doc, signature", [
    (Gate, "Gate", "Python wrapper for the Gate enum", None),
    (Circuit, "Circuit", "Python wrapper for the Circuit struct", "(gates)"),
])
def test_class_names_and_docs(cls, name, doc, signature):
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == "builtins"
    assert repr(cls) == f"<class 'builtins.{name}'>"
    assert cls.__doc__ == doc
    assert cls.__text_signature__ == signature
    assert cls.__bases__ == (object,)


@pytest.mark.parametrize("cls, methods", [
    (Gate, {"x", "h", "rz", "crz", "cnot"}),
    (Circuit, {"run"}),
])
def test_classes_have_only_their_methods(cls, methods):
    assert {n for n in dir(cls) if not n.startswith("_")} == methods


@pytest.mark.parametrize("name, signature", [
    ("x", "(target)"),
    ("h", "(target)"),
    ("rz", "(target, theta)"),
    ("crz", "(control, target, theta)"),
    ("cnot", "(control, target)"),
])
def test_gate_constructors_are_static_with_signature_only(name, signature):
    assert isinstance(inspect.getattr_static(Gate, name), staticmethod)
    method = getattr(Gate, name)
    assert method.__name__ == name
    assert method.__qualname__ == f"Gate.{name}"
    assert method.__text_signature__ == signature
    assert method.__doc__ is None
    # Callable on an instance as well as on the class.
    assert type(getattr(Gate.x(0), name)) is type(method)


def test_run_is_an_instance_method_with_signature_only():
    run = inspect.getattr_static(Circuit, "run")
    assert type(run).__name__ == "method_descriptor"
    assert Circuit.run.__qualname__ == "Circuit.run"
    assert Circuit.run.__text_signature__ == "($self, num_qubits)"
    assert Circuit.run.__doc__ is None
    assert list(inspect.signature(Circuit([]).run).parameters) == ["num_qubits"]


def test_circuit_signature_inspection():
    assert list(inspect.signature(Circuit).parameters) == ["gates"]


def test_set_num_threads_function():
    f = vastrel.set_num_threads
    assert type(f).__name__ == "builtin_function_or_method"
    assert f.__name__ == "set_num_threads"
    assert f.__qualname__ == "set_num_threads"
    assert f.__module__ == "vastrel"
    assert f.__self__ is vastrel
    assert f.__text_signature__ == "(num_threads)"
    assert f.__doc__ == "Set the number of threads for Rayon"
    assert list(inspect.signature(f).parameters) == ["num_threads"]


@pytest.mark.parametrize("call", [
    lambda: Gate(),
    lambda: Gate(0),
    lambda: Gate(target=0),
    lambda: Gate.__new__(Gate),
], ids=["no-args", "positional", "keyword", "dunder-new"])
def test_gate_has_no_constructor(call):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == "No constructor defined"


@pytest.mark.parametrize("cls", [Gate, Circuit])
def test_classes_cannot_be_subclassed(cls):
    assert not cls.__flags__ & Py_TPFLAGS_BASETYPE
    with pytest.raises(TypeError):
        class Sub(cls):  # noqa: F841
            pass
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def instances():
    return [Gate.x(0), Gate.h(1), Gate.rz(0, 0.5), Gate.crz(0, 1, 0.5), Gate.cnot(0, 1),
            Circuit([]), Circuit([Gate.x(0)])]


@pytest.mark.parametrize("obj", instances(), ids=lambda o: type(o).__name__)
def test_instances_take_no_attributes(obj):
    with pytest.raises(AttributeError):
        obj.anything = 1
    with pytest.raises(AttributeError):
        obj.__dict__  # noqa: B018
    assert "__weakref__" not in type(obj).__dict__


@pytest.mark.parametrize("obj", instances(), ids=lambda o: type(o).__name__)
def test_instances_cannot_be_weakly_referenced(obj):
    with pytest.raises(TypeError):
        weakref.ref(obj)


@pytest.mark.parametrize("obj", instances(), ids=lambda o: type(o).__name__)
def test_instances_are_not_garbage_collector_tracked(obj):
    assert not type(obj).__flags__ & Py_TPFLAGS_HAVE_GC
    assert not gc.is_tracked(obj)


@pytest.mark.parametrize("obj", instances(), ids=lambda o: type(o).__name__)
def test_identity_semantics_and_default_repr(obj):
    name = type(obj).__name__
    assert re.fullmatch(rf"<builtins\.{name} object at 0x[0-9a-f]+>", repr(obj))
    assert obj == obj
    assert hash(obj) == object.__hash__(obj)


def test_equal_gates_are_distinct_objects():
    a, b = Gate.x(0), Gate.x(0)
    assert a is not b
    assert a != b


def test_circuit_has_no_length():
    with pytest.raises(TypeError):
        len(Circuit([Gate.x(0)]))


def test_second_initialisation_fails_in_one_process():
    res = run_child("""
        import sys
        import vastrel
        first = vastrel
        del sys.modules["vastrel"]
        try:
            import vastrel
        except ImportError as e:
            report(type=type(e).__name__, message=str(e),
                   first_still_works=first.Circuit([first.Gate.x(0)]).run(1).tolist() == [0j, 1 + 0j])
        else:
            report(type=None)
    """)
    assert res.data == {
        "type": "ImportError",
        "message": "PyO3 modules may only be initialized once per interpreter process",
        "first_still_works": True,
    }
