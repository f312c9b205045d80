"""AssetWrapper: the class, its read-only attributes, calls, binding and metadata."""

import gc
import inspect
import re
import sys
import weakref

import pytest

from orvan._orvan import AssetWrapper, asset, partitions

ATTRIBUTES = ["__orvan_metadata__", "__orvan_kind__", "__orvan_original__", "__name__",
              "__module__", "__qualname__", "__wrapped__"]


def original(*args, **kwargs):
    """The original's docstring."""
    return args, list(kwargs.items())


def test_the_class():
    assert AssetWrapper.__name__ == AssetWrapper.__qualname__ == "AssetWrapper"
    assert AssetWrapper.__doc__ == (
        "The `@asset()` decorator wrapper. Stores the original function and metadata.")
    # The __module__ getter takes the place of the class's own __module__.
    assert AssetWrapper.__module__ is vars(AssetWrapper)["__module__"]
    assert [name for name in vars(AssetWrapper) if name in ATTRIBUTES] == ATTRIBUTES
    assert all(not vars(AssetWrapper)[name].__doc__ for name in ATTRIBUTES)
    with pytest.raises(TypeError, match="^No constructor defined for AssetWrapper$"):
        AssetWrapper(original)


def test_instances_are_plain_and_read_only():
    w = asset()(original)
    assert re.fullmatch(r"<builtins\.AssetWrapper object at 0x[0-9a-f]+>", repr(w))
    assert w.__doc__ == AssetWrapper.__doc__ and w.__wrapped__.__doc__ == "The original's docstring."
    assert not gc.is_tracked(w) and w != asset()(original)
    for name in ATTRIBUTES + ["other"]:
        with pytest.raises(AttributeError):
            setattr(w, name, "x")
    for name in ATTRIBUTES:
        with pytest.raises(AttributeError):
            delattr(w, name)
    for attempt in [lambda: weakref.ref(w), lambda: type("Sub", (AssetWrapper,), {}),
                    lambda: vars(w)]:
        with pytest.raises(TypeError):
            attempt()


def test_protocol_and_forwarded_names():
    def f():
        pass

    w = asset()(f)
    assert w.__orvan_kind__ == "asset" and w.__orvan_kind__ is not w.__orvan_kind__
    assert w.__orvan_original__ is w.__wrapped__ is f and inspect.unwrap(w) is f
    assert (w.__name__, w.__module__) == ("f", __name__)
    f.__name__, f.__qualname__, f.__module__ = "renamed", "Outer.renamed", None
    assert (w.__name__, w.__qualname__, w.__module__) == ("renamed", "Outer.renamed", None)


class Raising:
    @property
    def __name__(self):
        raise KeyError("no name")


@pytest.mark.parametrize(
    "stored, attribute, error",
    [(5, "__qualname__", AttributeError), (Raising(), "__name__", KeyError)],
    ids=["missing", "raising"],
)
def test_forwarding_errors_pass_unchanged(stored, attribute, error):
    with pytest.raises(error) as direct:
        getattr(stored, attribute)
    with pytest.raises(error) as caught:
        getattr(asset()(stored), attribute)
    assert type(caught.value) is error and str(caught.value) == str(direct.value)


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1,), {"x": 2}), ((), {"z": 1, "a": 2})])
def test_calls_pass_arguments_through(args, kwargs):
    assert asset()(original)(*args, **kwargs) == (args, list(kwargs.items()))


def test_call_errors():
    error = LookupError("from the original")

    def fail():
        raise error

    with pytest.raises(LookupError) as caught:
        asset()(fail)()
    assert caught.value is error

    not_callable = asset()(42)
    assert callable(not_callable)
    with pytest.raises(TypeError, match="^'int' object is not callable$"):
        not_callable()


def test_wrappers_in_class_bodies_are_not_bound():
    calls = []

    class C:
        f = asset()(lambda *args: calls.append(args))

    w = vars(C)["f"]
    assert C.f is w and C().f is w and w.__get__(C(), C) is w
    C().f()
    assert calls == [()]


def test_metadata():
    assert list(asset()(original).__orvan_metadata__.items()) == [
        ("kind", "asset"), ("name", None), ("serializer", None), ("inputs", None),
        ("partitions", None)]
    w = asset(name="prices", serializer="json", inputs={"a": "x:y", "b": ""},
              partitions={"ticker": partitions(["AAPL", "MSFT"]), "é": partitions([])})(original)
    first = w.__orvan_metadata__
    assert list(first) == ["kind", "name", "serializer", "inputs", "partitions"]
    assert list(first["partitions"]["é"]) == ["kind", "values_json"]
    expected = {"kind": "asset", "name": "prices", "serializer": "json",
                "inputs": {"a": "x:y", "b": ""},
                "partitions": {"ticker": {"kind": "inline", "values_json": '["AAPL","MSFT"]'},
                               "é": {"kind": "inline", "values_json": "[]"}}}
    assert first == expected
    first["inputs"]["a"] = first["partitions"]["é"]["values_json"] = "changed"
    assert w.__orvan_metadata__ == expected and w.__orvan_metadata__ is not w.__orvan_metadata__


def test_wrappers_and_originals_are_released():
    # Every wrapper holds its class, its original and its own copy of the
    # declaration; once the last one goes, so do they, without a collection.
    def f():
        return 1

    gc.collect()  # wrappers that earlier tests left in cycles
    before = sys.getrefcount(AssetWrapper)
    alive = weakref.ref(f)
    decorator = asset(name="n", inputs={"a": "r"}, partitions={"d": partitions([1])})
    dropped_decorator = weakref.ref(decorator)
    wrappers = [decorator(f) for _ in range(3)]
    nested = asset()(wrappers[0])
    del f, decorator
    assert dropped_decorator() is None  # the wrappers keep their own copies
    assert [w() for w in wrappers] == [1, 1, 1] and nested() == 1
    assert wrappers[1].__orvan_metadata__["partitions"]["d"]["values_json"] == "[1]"
    del wrappers[1:]
    assert alive() is not None  # the nested wrapper still holds the first
    del nested, wrappers
    assert alive() is None
    assert sys.getrefcount(AssetWrapper) == before
