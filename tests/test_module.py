"""Module identity, registration, signatures and the shared argument binding."""

import importlib
import inspect
import sys

import pytest

from conftest import run_python
from orvan import _orvan

def test_reimport_returns_the_same_module():
    again = importlib.import_module("orvan._orvan")
    assert again is _orvan
    saved = sys.modules.pop("orvan._orvan")
    try:
        fresh = importlib.import_module("orvan._orvan")
        assert fresh is saved
    finally:
        sys.modules["orvan._orvan"] = saved


def test_all_lists_every_public_name_in_order():
    assert _orvan.__all__ == ["AssetWrapper", "Partitions", "asset", "partitions",
                              "inspect_modules", "materialize_asset"]
    assert all(callable(getattr(_orvan, name)) for name in _orvan.__all__)
    assert _orvan.__doc__ == "The native `_orvan` module."


# Type flag bits, as object.h numbers them.
IMMUTABLETYPE, HEAPTYPE, READY = 1 << 8, 1 << 9, 1 << 12


@pytest.mark.parametrize("name, own, members", [
    ("AssetWrapper", "__orvan_kind__",
     ["__call__", "__doc__", "__get__", "__module__", "__name__", "__new__", "__orvan_kind__",
      "__orvan_metadata__", "__orvan_original__", "__qualname__", "__wrapped__"]),
    ("Partitions", "__repr__", ["__doc__", "__module__", "__new__", "__repr__"]),
])
def test_classes_are_immutable_and_otherwise_plain(name, own, members):
    cls = getattr(_orvan, name)
    before = dict(vars(cls))
    attempts = {
        "replace own": lambda: setattr(cls, own, lambda *a: "hijacked"),
        "add": lambda: setattr(cls, "added", 1),
        "replace inherited": lambda: setattr(cls, "__eq__", lambda *a: True),
        "delete own": lambda: delattr(cls, own),
        "delete doc": lambda: delattr(cls, "__doc__"),
    }
    for attempt in attempts.values():
        with pytest.raises(TypeError, match=f"^cannot set '.+' attribute of immutable type 'builtins.{name}'$"):
            attempt()
    assert dict(vars(cls)) == before and sorted(before) == members
    assert cls.__flags__ == IMMUTABLETYPE | HEAPTYPE | READY
    assert (repr(cls), cls.__name__, cls.__qualname__, cls.__mro__) == (
        f"<class 'builtins.{name}'>", name, name, (cls, object))
    assert (cls.__basicsize__, cls.__itemsize__, cls.__dictoffset__, cls.__weakrefoffset__) == (
        24, 0, 0, 0)


def test_instances_still_answer_after_refused_class_changes():
    for attempt in [lambda: setattr(_orvan.AssetWrapper, "__orvan_kind__", "hijacked"),
                    lambda: setattr(_orvan.Partitions, "__repr__", lambda self: "hijacked")]:
        with pytest.raises(TypeError):
            attempt()
    assert _orvan.asset()(len).__orvan_kind__ == "asset"
    assert repr(_orvan.partitions([1, 2])) == "Partitions(2 values)"


@pytest.mark.parametrize(
    "name, params",
    [
        ("asset", [("name", "KEYWORD_ONLY"), ("inputs", "KEYWORD_ONLY"),
                   ("partitions", "KEYWORD_ONLY"), ("serializer", "KEYWORD_ONLY")]),
        ("partitions", [("values", "POSITIONAL_OR_KEYWORD")]),
        ("inspect_modules", [("modules", "POSITIONAL_OR_KEYWORD")]),
        ("materialize_asset", [("module_name", "POSITIONAL_OR_KEYWORD"),
                               ("function_name", "POSITIONAL_OR_KEYWORD"),
                               ("output_dir", "POSITIONAL_OR_KEYWORD"),
                               ("input_kwargs_json", "POSITIONAL_OR_KEYWORD")]),
    ],
)
def test_signatures_and_function_objects(name, params):
    fn = getattr(_orvan, name)
    sig = inspect.signature(fn)
    assert [(p.name, p.kind.name) for p in sig.parameters.values()] == params
    required = {"values", "modules", "module_name", "function_name", "output_dir"}
    for p in sig.parameters.values():
        assert (p.default is inspect.Parameter.empty) == (p.name in required)
        if p.name not in required:
            assert p.default is None
    assert fn.__module__ == "orvan._orvan"
    assert fn.__self__ is _orvan
    assert fn.__name__ == name
    assert type(fn).__name__ == "builtin_function_or_method"
    assert not fn.__doc__.startswith(name + "(")


def test_materialize_docstring():
    assert _orvan.materialize_asset.__doc__.startswith(
        "Materialize a single asset function. Called by the `python -m orvan.worker` CLI stub.\n")
    assert _orvan.materialize_asset.__doc__.endswith("passed as keyword arguments to the function.")


M = "materialize_asset"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "materialize_asset() missing 3 required positional arguments: "
                 "'module_name', 'function_name', and 'output_dir'"),
        (("m",), {}, "materialize_asset() missing 2 required positional arguments: "
                     "'function_name' and 'output_dir'"),
        (("m", "f"), {}, "materialize_asset() missing 1 required positional argument: 'output_dir'"),
        (("m", "f", "o", None, 5), {},
         "materialize_asset() takes from 3 to 4 positional arguments but 5 were given"),
        (("m", "f", "o"), {"nam": 1},
         "materialize_asset() got an unexpected keyword argument 'nam'"),
        (("m", "f", "o"), {"module_name": "x"},
         "materialize_asset() got multiple values for argument 'module_name'"),
        # A positional error wins over a keyword error, a keyword error over a missing one.
        (("m", "f", "o", None, 5), {"bogus": 1},
         "materialize_asset() takes from 3 to 4 positional arguments but 5 were given"),
        ((), {"bogus": 1}, "materialize_asset() got an unexpected keyword argument 'bogus'"),
        (("m",), {"output_dir": "o", "function_name": "f", "module_name": "m"},
         "materialize_asset() got multiple values for argument 'module_name'"),
    ],
)
def test_materialize_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        _orvan.materialize_asset(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda a: a.asset(1), "asset() takes 0 positional arguments but 1 was given"),
        (lambda a: a.asset(1, 2), "asset() takes 0 positional arguments but 2 were given"),
        (lambda a: a.asset(nam="x"), "asset() got an unexpected keyword argument 'nam'"),
        (lambda a: a.asset(1, nam="x"), "asset() takes 0 positional arguments but 1 was given"),
        (lambda a: a.partitions(), "partitions() missing 1 required positional argument: 'values'"),
        (lambda a: a.partitions([], values=[]),
         "partitions() got multiple values for argument 'values'"),
        (lambda a: a.partitions([], []), "partitions() takes 1 positional arguments but 2 were given"),
        (lambda a: a.inspect_modules(),
         "inspect_modules() missing 1 required positional argument: 'modules'"),
        (lambda a: a.inspect_modules([], [], []),
         "inspect_modules() takes 1 positional arguments but 3 were given"),
        (lambda a: a.inspect_modules(mods=[]),
         "inspect_modules() got an unexpected keyword argument 'mods'"),
    ],
)
def test_binding_messages_of_other_functions(call, message):
    with pytest.raises(TypeError) as info:
        call(_orvan)
    assert str(info.value) == message


def test_keyword_names_that_are_not_ascii_are_reported_verbatim():
    with pytest.raises(TypeError, match="unexpected keyword argument 'n\u00e4me'"):
        _orvan.materialize_asset("m", "f", "o", **{"n\u00e4me": 1})


def test_argument_conversion_keeps_the_cause_and_names_the_parameter():
    with pytest.raises(TypeError) as info:
        _orvan.materialize_asset("m", 3, "o")
    assert str(info.value) == "argument 'function_name': 'int' object cannot be converted to 'PyString'"
    assert info.value.__cause__ is None


def test_sub_interpreter_is_refused():
    result = run_python(
        """
        import orvan._orvan
        import _interpreters
        interp = _interpreters.create(_interpreters.new_config("legacy"))
        err = _interpreters.exec(interp, "import orvan._orvan")
        print(err.type.__name__ if err else "imported")
        print(err.msg if err else "")
        """
    )
    assert result.returncode == 0, result.stderr
    kind, message = result.stdout.splitlines()[:2]
    assert kind == "ImportError"
    assert "sub-interpreters" in message


def test_internal_fault_class_is_not_exported_and_derives_from_base_exception():
    assert not any("Panic" in name for name in dir(_orvan))
