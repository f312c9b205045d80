"""partitions(values) and the Partitions marker."""

import gc
import json
import sys
import weakref

import pytest

from hardening_support import isolated
from orvan._orvan import Partitions, asset, partitions


def values_json(marker):
    """The keys of a marker as an asset's metadata reports them."""
    dimension = asset(partitions={"d": marker})(len).__orvan_metadata__["partitions"]["d"]
    assert dimension["kind"] == "inline"
    return dimension["values_json"]


def nested(depth):
    value = []
    for _ in range(depth - 1):
        value = [value]
    return value


circular = []
circular.append(circular)


@pytest.mark.parametrize(
    "values, expected",
    [
        ([], "[]"),
        (["a", "a"], '["a","a"]'),
        ([1, 2.5, True, None, "x", 2**64], '[1,2.5,true,null,"x",1.8446744073709552e+19]'),
        ([(1, 2), {"b": 1, "a": [], "B": {}}], '[[1,2],{"B":{},"a":[],"b":1}]'),
        ([{1: "x", "1": "y", None: 0}], '[{"1":"y","null":0}]'),
        (["café", "日本😀", "\x1b"], '["café","日本😀","\\u001b"]'),
    ],
)
def test_values_are_held_as_json(values, expected):
    assert values_json(partitions(values)) == expected


@pytest.mark.parametrize(
    "value, error",
    [
        (float("nan"), "expected value at line 1 column 1"),
        (float("inf"), "expected value at line 1 column 1"),
        (float("-inf"), "invalid number at line 1 column 2"),
        ({"k": [float("nan")]}, "expected value at line 1 column 8"),
        (10**400, "number out of range at line 1 column 401"),
        ("\ud800", r"unexpected end of hex escape at line 1 column \d+"),
        ("\udc00", r"lone leading surrogate in hex escape at line 1 column \d+"),
    ],
)
def test_values_json_cannot_hold(value, error):
    with pytest.raises(ValueError, match=rf"^invalid partition value: {error}$"):
        partitions(["fine", value])


@isolated
def test_nesting_up_to_the_parser_limit():
    # A depth budget off by one overruns the parser's stack: in its own process.
    assert values_json(partitions([nested(127)])) == "[" * 128 + "]" * 128
    with pytest.raises(ValueError, match="^invalid partition value: recursion limit exceeded "
                                         "at line 1 column 128$"):
        partitions(["fine", nested(128)])


def dumps_error(value):
    with pytest.raises(Exception) as caught:
        json.dumps(value)
    return type(caught.value), str(caught.value)


@pytest.mark.parametrize("value", [object(), {1}, {(1,): 2}, circular, 1j])
def test_json_dumps_errors_pass_unchanged(value):
    expected = dumps_error(value)
    with pytest.raises(Exception) as caught:
        partitions(["fine", value])
    assert (type(caught.value), str(caught.value)) == expected


@pytest.mark.parametrize("values", [("a", "b"), "ab", {"a": 1}, None, range(2)])
def test_values_must_be_a_list(values, monkeypatch):
    monkeypatch.setitem(sys.modules, "json", None)  # the check comes before the import
    message = f"argument 'values': '{type(values).__qualname__}' object cannot be converted to 'PyList'"
    with pytest.raises(TypeError) as caught:
        partitions(values)
    assert str(caught.value) == message
    with pytest.raises(ImportError):
        partitions(["a"])


@isolated
def test_list_is_read_by_index_from_its_storage(monkeypatch):
    class Sneaky(list):
        def __iter__(self):
            return iter(["iterated"])

        def __getitem__(self, index):
            return "indexed"

    items = Sneaky(["a", "b", "c", "d"])
    real_dumps = json.dumps

    def first_dumps(value):
        items.pop()  # "d" is never reached, and what is appended past the
        items.extend(["e", "f"])  # starting length is ignored
        # json.dumps is looked up again for every item.
        monkeypatch.setattr(json, "dumps", lambda v: real_dumps([v]))
        return real_dumps(value)

    monkeypatch.setattr(json, "dumps", first_dumps)
    marker = partitions(items)
    monkeypatch.undo()
    assert values_json(marker) == '["a",["b"],["c"],["e"]]'


@isolated
def test_list_emptied_during_the_walk(monkeypatch):
    # Reading on past the end of the shrunken list would read freed items.
    items = [[1], [2], [3]]
    real_dumps = json.dumps

    def emptying_dumps(value):
        items.clear()
        return real_dumps(value)

    monkeypatch.setattr(json, "dumps", emptying_dumps)
    marker = partitions(items)
    monkeypatch.undo()
    assert values_json(marker) == "[[1]]"


@pytest.mark.parametrize(
    "result, error, message",
    [
        (b"1", TypeError, "'bytes' object cannot be converted to 'PyString'"),
        ("1 2", ValueError, "invalid partition value: trailing characters at line 1 column 3"),
    ],
)
def test_json_dumps_results_are_checked(monkeypatch, result, error, message):
    monkeypatch.setattr(json, "dumps", lambda value: result)
    with pytest.raises(error) as caught:
        partitions(["x"])
    assert str(caught.value) == message


def test_the_class():
    marker = partitions(["AAPL"])
    assert repr(marker) == str(marker) == "Partitions(1 values)"
    assert repr(partitions([])) == "Partitions(0 values)"
    assert type(marker) is Partitions and Partitions.__bases__ == (object,)
    assert (Partitions.__name__, Partitions.__qualname__, Partitions.__module__) == (
        "Partitions", "Partitions", "builtins")
    assert Partitions.__doc__ == "Marker type returned by `partitions([...])`. Stores the static values."
    assert not gc.is_tracked(marker) and marker != partitions(["AAPL"])
    for attempt in [lambda: setattr(marker, "values", []), lambda: weakref.ref(marker),
                    lambda: type("Sub", (Partitions,), {}), lambda: len(marker)]:
        with pytest.raises((AttributeError, TypeError)):
            attempt()
    for args in [(), (["a"],)]:
        with pytest.raises(TypeError, match="^No constructor defined for Partitions$"):
            Partitions(*args)


def test_markers_are_released():
    # Each marker holds a reference to its class: the count comes back only if
    # every marker made was freed and failed calls made none.
    before = sys.getrefcount(Partitions)
    markers = [partitions(["a", {"b": [1]}]) for _ in range(20)]
    assert sys.getrefcount(Partitions) == before + 20
    del markers
    for bad in [float("nan"), object()]:
        with pytest.raises((ValueError, TypeError)):
            partitions(["a", bad])
    assert sys.getrefcount(Partitions) == before
