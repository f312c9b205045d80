"""asset(...): argument checks and their order, asset references, the decorator object."""

import importlib
import inspect
import pathlib
import types

import pytest

from conftest import run_python
from hardening_support import isolated
from orvan import _orvan
from orvan._orvan import AssetWrapper, asset, partitions

UPSTREAM = """
from orvan import asset

@asset()
def raw():
    return [1, 2, 3]

@asset(name="custom display name")
def named():
    return 1

class Bare:
    __orvan_kind__ = "asset"

# A metaclass whose classes raise error(message) when `attribute` is read.
def raising(attribute, error, message):
    def read(cls):
        raise error(message)
    return type("Raising", (type,), {attribute: property(read)})

class Unwrapped(metaclass=raising("__orvan_original__", RuntimeError, "no original here")):
    __orvan_kind__ = "asset"

class Nameless(metaclass=raising("__name__", KeyError, "no name here")):
    __orvan_kind__ = "asset"
"""


def inputs_of(inputs):
    return asset(inputs=inputs)(len).__orvan_metadata__["inputs"]


def test_public_names_and_empty_declarations():
    from orvan import asset as public_asset, partitions as public_partitions

    assert (public_asset, public_partitions) == (_orvan.asset, _orvan.partitions)
    nothing = {"kind": "asset", "name": None, "serializer": None, "inputs": None,
               "partitions": None}
    assert asset()(len).__orvan_metadata__ == nothing
    assert asset(name=None, inputs=None, partitions=None)(len).__orvan_metadata__ == nothing
    empty = asset(inputs={}, partitions={})(len).__orvan_metadata__
    assert (empty["inputs"], empty["partitions"]) == ({}, {})


def test_references(make_module, tmp_path, monkeypatch):
    real = importlib.import_module(make_module(UPSTREAM))
    # Reached through a symbolic link, the module still names its real file.
    links = tmp_path / "links"
    links.mkdir()
    (links / "orvan_test_linked.py").symlink_to(real.__file__)
    monkeypatch.syspath_prepend(str(links))
    linked = importlib.import_module("orvan_test_linked")
    path = pathlib.Path(real.__file__).resolve()
    assert linked.__file__ != real.__file__ and pathlib.Path(linked.__file__).resolve() == path

    class Text(str):
        pass

    assert inputs_of({"data": linked.raw, "n": linked.named, "bare": linked.Bare,
                      "unwrapped": linked.Unwrapped, Text("text"): Text("a:b"), "empty": ""}) == {
        "data": f"{path}:raw",
        "n": f"{path}:named",  # the upstream's display name plays no part
        "bare": f"{path}:Bare",  # no __orvan_original__: its own file and name
        "unwrapped": f"{path}:Unwrapped",  # a raising __orvan_original__ counts as none
        "text": "a:b",
        "empty": "",
    }


class KindSubclass:
    __orvan_kind__ = type("Text", (str,), {})("asset")


class TextWithRaisingKind(str):
    @property
    def __orvan_kind__(self):
        raise ValueError("any error means: not an asset")


@pytest.mark.parametrize(
    "value, expected",
    [
        (KindSubclass, f"{pathlib.Path(__file__).resolve()}:KindSubclass"),
        (TextWithRaisingKind("taken as text"), "taken as text"),
        (types.SimpleNamespace(__orvan_kind__=b"asset"), None),
        (types.SimpleNamespace(__orvan_kind__="Asset"), None),
        (AssetWrapper, None),
        (5, None),
        (len, None),
    ],
)
def test_what_counts_as_an_asset(value, expected):
    if expected is None:
        with pytest.raises(TypeError, match=r"^inputs values must be @asset-decorated "
                                            r"functions or asset ref strings$"):
            inputs_of({"x": value})
    else:
        assert inputs_of({"x": value}) == {"x": expected}


def test_reference_failures_pass_unchanged(make_module):
    module = importlib.import_module(make_module(UPSTREAM))
    nowhere = eval("lambda: 0", {})
    assert inspect.getsourcefile(nowhere) is None
    cases = [(nowhere, lambda: pathlib.Path(None)), (len, lambda: inspect.getsourcefile(len)),
             (module.Nameless, lambda: module.Nameless.__name__)]
    for original, direct in cases:
        with pytest.raises(Exception) as expected:
            direct()
        value = types.SimpleNamespace(__orvan_kind__="asset", __orvan_original__=original)
        with pytest.raises(Exception) as caught:
            asset(inputs={"x": value})
        assert (type(caught.value), str(caught.value)) == (type(expected.value), str(expected.value))


def test_dictionaries_are_read_from_their_storage():
    class SameText(str):
        def __hash__(self):
            return 12345

    class Odd(dict):
        def items(self):
            raise AssertionError("items() used")

        def __iter__(self):
            raise AssertionError("iteration used")

    # Two keys with one text: the later one wins.
    assert inputs_of(Odd({"a": "first", SameText("a"): "second"})) == {"a": "second"}


def type_error(value, target):
    return f"'{type(value).__qualname__}' object cannot be converted to '{target}'"


class Local:
    class Nested:
        pass


WRONG = [1, b"x", ["x"], ("x",), types.MappingProxyType({}), Local.Nested()]


@pytest.mark.parametrize("value", WRONG + [{}])
@pytest.mark.parametrize("parameter", ["name", "serializer"])
def test_wrong_text_arguments(parameter, value):
    with pytest.raises(TypeError) as caught:
        asset(**{parameter: value})
    assert str(caught.value) == f"argument '{parameter}': {type_error(value, 'PyString')}"
    with pytest.raises(UnicodeEncodeError):
        asset(**{parameter: "lone \ud800"})


@pytest.mark.parametrize("value", WRONG + ["text"])
@pytest.mark.parametrize("parameter", ["inputs", "partitions"])
def test_wrong_map_arguments(parameter, value):
    with pytest.raises(TypeError) as caught:
        asset(**{parameter: value})
    assert str(caught.value) == type_error(value, "PyDict")


INPUTS_VALUE = "inputs values must be @asset-decorated functions or asset ref strings"
PARTITIONS_VALUE = "partition values must be partitions([...]) instances"


@pytest.mark.parametrize(
    "declaration, message",
    [
        ({"partitions": 4, "inputs": 3, "serializer": 2, "name": 1},
         "argument 'name': " + type_error(1, "PyString")),
        ({"partitions": 4, "inputs": 3, "serializer": 2.0},
         "argument 'serializer': " + type_error(2.0, "PyString")),
        ({"partitions": 4, "inputs": []}, type_error([], "PyDict")),
        ({"partitions": 4, "inputs": {"a": 5}}, INPUTS_VALUE),
        ({"partitions": {"d": ["AAPL"]}, "inputs": {"a": "ok"}}, PARTITIONS_VALUE),
        ({"inputs": {"a": 5, 1: "x"}}, INPUTS_VALUE),
        ({"inputs": {None: "x", "a": 5}}, type_error(None, "PyString")),
        ({"partitions": {"d": partitions([]), (1,): ["x"]}}, type_error((1,), "PyString")),
        ({"partitions": {"d": ["x"], 2: partitions([])}}, PARTITIONS_VALUE),
        ({"partitions": {"d": Local.Nested}}, PARTITIONS_VALUE),
    ],
)
def test_first_failure_wins(declaration, message):
    with pytest.raises(TypeError) as caught:
        asset(**declaration)
    assert type(caught.value) is TypeError and str(caught.value) == message


def test_decorator():
    with pytest.raises(TypeError, match=r"^asset\(\) takes 0 positional arguments but 1 was given$"):
        asset(len)  # @asset without parentheses
    decorator = asset(name="shared", partitions={"d": partitions([[1]])})
    assert (decorator.__name__, decorator.__doc__, decorator.__module__) == (
        "asset_decorator", None, None)
    assert '"pyo3-closure"' in repr(decorator.__self__) and asset() is not asset()
    for args, kwargs in [((), {}), ((len, len), {}), ((), {"f": len})]:
        with pytest.raises(TypeError, match=r"^asset\(\) decorator expects exactly one argument "
                                            r"\(the function\)$"):
            decorator(*args, **kwargs)
    first, second = decorator(len), decorator(abs, ignored=True)
    del decorator
    assert first is not second and (first.__wrapped__, second.__wrapped__) == (len, abs)
    assert first.__orvan_metadata__ == second.__orvan_metadata__
    assert first.__orvan_metadata__["partitions"]["d"]["values_json"] == "[[1]]"


GROWS = """
inputs = {}

class Grows(str):
    @property
    def __orvan_kind__(self):
        inputs["added"] = "x"

inputs["a"] = Grows("ref")
inputs["b"] = "other"
"""

SWAPS = """
inputs = {}

class Swaps(str):
    @property
    def __orvan_kind__(self):
        inputs.pop("a", None)
        inputs["z"] = "new"

inputs["a"] = Swaps("ref")
"""


@pytest.mark.parametrize(
    "setup, message",
    [(GROWS, "dictionary changed size during iteration"),
     (SWAPS, "dictionary keys changed during iteration")],
)
@isolated  # an entry freed under the walk would crash the interpreter
def test_dictionary_changed_during_the_walk(setup, message, capfd):
    scope = {}
    exec(setup, scope)
    with pytest.raises(BaseException) as caught:
        asset(inputs=scope["inputs"])
    fault = type(caught.value)
    assert (fault.__module__, fault.__name__, fault.__bases__) == (
        "pyo3_runtime", "PanicException", (BaseException,))
    assert caught.value.args == (message,)
    assert message in capfd.readouterr().err


def test_internal_fault_leaves_the_interpreter_running(tmp_path):
    result = run_python(GROWS + """
from orvan import asset
try:
    asset(inputs=inputs)
except BaseException as exc:
    print(type(exc).__module__, type(exc).__name__, exc.args)
print("still running", asset()(len)("abc"))
""", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "pyo3_runtime PanicException ('dictionary changed size during iteration',)",
        "still running 3",
    ]


def test_configurations_and_wrappers_are_freed(tmp_path):
    # Large declarations made and dropped many times: if a decorator's
    # configuration, a wrapper's copy or a marker were kept, the peak resident
    # size would grow by hundreds of megabytes.
    result = run_python("""
        import resource
        from orvan import asset, partitions

        def round_trip():
            marker = partitions([f"key-{i}" for i in range(20000)])
            decorator = asset(inputs={f"p{i}": "ref" * 20 for i in range(2000)},
                              partitions={"a": marker, "b": marker})
            assert len(decorator(len).__orvan_metadata__["inputs"]) == 2000

        for _ in range(5):
            round_trip()
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        for _ in range(60):
            round_trip()
        print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
    """, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert int(result.stdout) < 20_000  # kilobytes
