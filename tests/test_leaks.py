"""Every entry point, on its success and error paths, repeated thousands of
times: no growth of traced memory, of pymalloc blocks or of the C heap, and no
change in the reference counts of the objects passed in."""

import ctypes
import gc
import importlib
import sys
import weakref

import pytest

from hardening_support import (
    SANITIZED,
    assert_no_leak,
    c_heap_in_use,
    fresh,
    leak_limits,
    measure,
    panic_class,
    raises,
    scratch_dir,
    silenced_fd2,
)
from orvan._orvan import AssetWrapper, Partitions, asset, inspect_modules, materialize_asset, partitions

ASSETS = """
from orvan import asset, partitions

@asset()
def raw():
    return [1, 2, 3]

@asset(name="doubled", inputs={"data": raw}, serializer="json",
       partitions={"day": partitions(["mon", "tue"]), "n": partitions([1, 2.5, None])})
def doubled(data: list, day: str = "mon") -> list:
    return [x * 2 for x in data]

def add(a, b=0):
    return {"sum": a + b, "caf\\u00e9": [1.5, None]}

def unserialisable():
    return {1, 2}

def boom():
    raise ValueError("boom")

def exits():
    raise SystemExit(3)

def interrupted():
    raise KeyboardInterrupt

class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no text")

def unprintable():
    raise Unprintable()

def surrogate():
    raise ValueError("lone \\udc80 surrogate")
"""

# Reported as an asset, but json.dumps refuses its metadata: the call fails.
UNSERIALISABLE_METADATA = """
class Junk:
    __orvan_kind__ = "asset"
    __orvan_metadata__ = {1, 2}
"""

BROKEN = "raise RuntimeError('broken at import')\n"


@pytest.fixture
def out_dir(tmp_path):
    with scratch_dir(tmp_path) as path:
        yield path


@pytest.fixture
def modules(make_module):
    names = {
        "assets": make_module(ASSETS),
        "junk": make_module(UNSERIALISABLE_METADATA),
        "broken": make_module(BROKEN),
    }
    importlib.import_module(names["assets"])
    importlib.import_module(names["junk"])
    return {key: fresh(name) for key, name in names.items()}


def test_the_checks_notice_a_leak():
    # Guards the guard: each kind of growth the checks watch must show in
    # every round, and a reference kept per call must show in the counts.
    # One small list kept per call is the least a leak of one Python object
    # per call can be; 64 bytes from malloc per call stand for C++ state.
    limits = leak_limits(800)
    hoard = []
    held = object()
    python_side, refcounts = measure(lambda: hoard.append([held]), 800, watch=[held])
    assert refcounts == {0: 3 * 800}
    assert min(g.traced for g in python_side) > limits["traced"]
    if not SANITIZED:
        assert min(g.blocks for g in python_side) > limits["blocks"]
    if c_heap_in_use is not None:
        libc = ctypes.CDLL(None)
        libc.malloc.restype = ctypes.c_void_p
        pointers = []
        c_side, _ = measure(lambda: pointers.append(libc.malloc(64)), 800)
        assert min(g.c_heap for g in c_side) > limits["c_heap"]
        for pointer in pointers:
            libc.free(ctypes.c_void_p(pointer))


# --- asset(), the decorator and partitions() ----------------------------------

def _asset_cases():
    name, serializer = fresh("display name"), fresh("serializer")
    key, reference = fresh("data"), fresh("path.py:raw")
    marker = partitions([1, "mon", {"b": [1.5, None], "a": True}])
    inputs = {key: reference}
    parts = {fresh("dimension"): marker}
    function = lambda: None  # noqa: E731
    good = lambda: asset(name=name, inputs=inputs, partitions=parts,  # noqa: E731
                         serializer=serializer)(function)
    shared = [name, serializer, key, reference, marker, inputs, parts, function,
              AssetWrapper, Partitions]

    not_text = [1.5]
    not_dict = [(key, reference)]
    bad_key = {3: reference}
    bad_value = {key: 5}
    no_marker = {key: [1, 2]}

    class RaisingKind:
        @property
        def __orvan_kind__(self):
            raise RuntimeError("lookup fails")

    no_source = asset()(len)  # an asset whose original has no source file
    return {
        "success": (good, shared),
        "success, everything absent": (lambda: asset()(function), [function, AssetWrapper]),
        "binding: positional": (raises(TypeError, asset, function), [function]),
        "binding: unexpected keyword": (raises(TypeError, asset, nam=name), [name]),
        "name not text": (raises(TypeError, asset, name=not_text), [not_text]),
        "serializer not text": (raises(TypeError, asset, serializer=not_text), [not_text]),
        "inputs not a dict": (raises(TypeError, asset, inputs=not_dict), [not_dict, key]),
        "inputs key not text": (raises(TypeError, asset, inputs=bad_key), [bad_key, reference]),
        "inputs value neither asset nor text": (raises(TypeError, asset, inputs=bad_value),
                                                [bad_value, key]),
        "inputs value whose kind lookup raises": (
            raises(TypeError, asset, inputs={key: RaisingKind()}), [key, RaisingKind]),
        "inputs asset without a source file": (
            raises(TypeError, asset, inputs={key: no_source}), [key, no_source]),
        "partitions not a dict": (raises(TypeError, asset, partitions=not_dict), [not_dict]),
        "partitions key not text": (raises(TypeError, asset, partitions={3: marker}), [marker]),
        "partitions value not a marker": (raises(TypeError, asset, partitions=no_marker),
                                          [no_marker]),
        "decorator without a function": (raises(TypeError, asset(name=name)), [name]),
        "decorator with two functions": (raises(TypeError, asset(), function, function),
                                         [function]),
    }


# Built when first needed, not at collection: a crash while building them
# would otherwise take the whole run down before any test reports.
ASSET_CASE_NAMES = [
    "success",
    "success, everything absent",
    "binding: positional",
    "binding: unexpected keyword",
    "name not text",
    "serializer not text",
    "inputs not a dict",
    "inputs key not text",
    "inputs value neither asset nor text",
    "inputs value whose kind lookup raises",
    "inputs asset without a source file",
    "partitions not a dict",
    "partitions key not text",
    "partitions value not a marker",
    "decorator without a function",
    "decorator with two functions",
]


@pytest.fixture(scope="module")
def asset_cases():
    cases = _asset_cases()
    assert list(cases) == ASSET_CASE_NAMES
    return cases


@pytest.mark.parametrize("case", ASSET_CASE_NAMES)
def test_asset_and_decorator(asset_cases, case):
    call, watch = asset_cases[case]
    assert_no_leak(call, watch=watch)


def test_asset_reference_to_a_decorated_function(modules):
    # Resolving the upstream's source file runs inspect and pathlib each time.
    upstream = sys.modules[modules["assets"]].raw
    key = fresh("data")
    assert_no_leak(lambda: asset(inputs={key: upstream}), iterations=400,
                   watch=[upstream, upstream.__wrapped__, key])


def test_dictionary_changed_during_the_walk():
    fault = panic_class()
    key = fresh("first")

    class Shrinks(str):
        # Looked up inside the walk: empties the dictionary being walked, and
        # still passes as an asset reference given as text.
        @property
        def __orvan_kind__(self):
            inputs.clear()
            raise AttributeError("not an asset")

    shrinker = Shrinks("a reference")
    inputs = {}

    def call():
        inputs.update({key: shrinker, fresh("second"): "x"})
        raises(fault, asset, inputs=inputs)()

    with silenced_fd2():
        assert_no_leak(call, watch=[key, shrinker, inputs])


def _partitions_cases():
    items = [fresh("AAPL"), 2**64 - 1, -2**63, 2.5, None, True, (fresh("tu"), 1),
             {fresh("key"): [fresh("nested")]}]
    values = list(items)
    deep = [[]]
    for _ in range(130):
        deep = [deep]
    circular = []
    circular.append(circular)

    class Listish(list):
        def __iter__(self):
            raise AssertionError("the list storage is read directly")

    subclass = Listish(items)
    return {
        "success": (lambda: partitions(values), [values, *items, Partitions]),
        "success, list subclass": (lambda: partitions(subclass), [subclass, *items]),
        "success, by keyword": (lambda: partitions(values=values), [values]),
        "binding: missing": (raises(TypeError, partitions), []),
        "binding: twice": (raises(TypeError, partitions, values, values=values), [values]),
        "binding: surplus": (raises(TypeError, partitions, values, values), [values]),
        "not a list": (raises(TypeError, partitions, tuple(items)), items),
        "json.dumps refuses an item": (raises(TypeError, partitions, [1, object]), [object]),
        "circular item": (raises(ValueError, partitions, [circular]), [circular]),
        "NaN": (raises(ValueError, partitions, [1, float("nan")]), []),
        "negative infinity": (raises(ValueError, partitions, [float("-inf")]), []),
        "beyond the largest double": (raises(ValueError, partitions, [10**400]), []),
        "lone surrogate": (raises(ValueError, partitions, [fresh("a\udc80b")]), []),
        "nesting too deep": (raises(ValueError, partitions, [deep]), [deep]),
        "marker constructor": (raises(TypeError, Partitions, values), [values, Partitions]),
        "marker repr": ((lambda marker: lambda: repr(marker))(partitions(values)), []),
    }


# Built when first needed, not at collection: a crash while building them
# would otherwise take the whole run down before any test reports.
PARTITIONS_CASE_NAMES = [
    "success",
    "success, list subclass",
    "success, by keyword",
    "binding: missing",
    "binding: twice",
    "binding: surplus",
    "not a list",
    "json.dumps refuses an item",
    "circular item",
    "NaN",
    "negative infinity",
    "beyond the largest double",
    "lone surrogate",
    "nesting too deep",
    "marker constructor",
    "marker repr",
]


@pytest.fixture(scope="module")
def partitions_cases():
    cases = _partitions_cases()
    assert list(cases) == PARTITIONS_CASE_NAMES
    return cases


@pytest.mark.parametrize("case", PARTITIONS_CASE_NAMES)
def test_partitions(partitions_cases, case):
    call, watch = partitions_cases[case]
    assert_no_leak(call, watch=watch)


# --- the wrapper ---------------------------------------------------------------

def _wrapper_cases():
    def original(*args, **kwargs):
        return args, kwargs

    def failing(*args, **kwargs):
        raise LookupError("from the original")

    marker = partitions([fresh("mon"), {fresh("k"): 1.5}])
    declared = asset(name=fresh("shown"), serializer=fresh("json"),
                     inputs={fresh("data"): fresh("file.py:raw")},
                     partitions={fresh("day"): marker, fresh("empty"): partitions([])})
    wrapper = declared(original)
    raising = declared(failing)
    around_int = asset()(12345678901234567890)
    positional, keyword = fresh("positional"), fresh("keyword")

    class Holder:
        attribute = wrapper

    holder = Holder()
    shared = [wrapper, original]
    return {
        "metadata": (lambda: wrapper.__orvan_metadata__, shared),
        "kind, original, wrapped": (
            lambda: (wrapper.__orvan_kind__, wrapper.__orvan_original__, wrapper.__wrapped__),
            shared),
        "forwarded names": (
            lambda: (wrapper.__name__, wrapper.__qualname__, wrapper.__module__), shared),
        "forwarded name missing": (raises(AttributeError, getattr, around_int, "__qualname__"),
                                   [around_int]),
        "call without arguments": (lambda: wrapper(), shared),
        "call with arguments": (lambda: wrapper(positional, key=keyword),
                                [*shared, positional, keyword]),
        "call raising": (raises(LookupError, raising, positional, key=keyword),
                         [raising, failing, positional, keyword]),
        "call of a non-callable": (raises(TypeError, around_int, positional), [around_int]),
        "descriptor": (lambda: (holder.attribute, Holder.attribute), [*shared, holder]),
        "read-only attribute": (raises(AttributeError, setattr, wrapper, "__name__", positional),
                                [*shared, positional]),
        "constructor": (raises(TypeError, AssetWrapper, original), [original, AssetWrapper]),
    }


# Built when first needed, not at collection: a crash while building them
# would otherwise take the whole run down before any test reports.
WRAPPER_CASE_NAMES = [
    "metadata",
    "kind, original, wrapped",
    "forwarded names",
    "forwarded name missing",
    "call without arguments",
    "call with arguments",
    "call raising",
    "call of a non-callable",
    "descriptor",
    "read-only attribute",
    "constructor",
]


@pytest.fixture(scope="module")
def wrapper_cases():
    cases = _wrapper_cases()
    assert list(cases) == WRAPPER_CASE_NAMES
    return cases


@pytest.mark.parametrize("case", WRAPPER_CASE_NAMES)
def test_wrapper(wrapper_cases, case):
    call, watch = wrapper_cases[case]
    assert_no_leak(call, watch=watch)


def test_dropped_declarations_release_the_function():
    def original():
        return 1

    function = weakref.ref(original)
    decorator = asset(name="n", inputs={"data": "file.py:raw"},
                      partitions={"day": partitions(["mon"])})
    dropped_decorator = weakref.ref(decorator)
    wrappers = [decorator(original) for _ in range(3)]
    nested = asset()(wrappers[0])
    del original, decorator
    gc.collect()
    assert dropped_decorator() is None  # wrappers keep their own copies
    assert [w() for w in wrappers] == [1, 1, 1] and nested() == 1
    del wrappers[1:]
    assert function() is not None
    del nested, wrappers
    assert function() is None  # no collection needed: nothing cyclic is left


# --- inspect_modules -------------------------------------------------------------

def _inspect_case(modules, case):
    assets, junk, broken = modules["assets"], modules["junk"], modules["broken"]
    missing = fresh("orvan_test_no_such_module")
    listed = [assets]
    return {
        "success": (lambda: inspect_modules(listed), [listed, assets, sys.modules[assets]]),
        "success, tuple by keyword": (lambda: inspect_modules(modules=(assets,)), [assets]),
        "nothing to inspect": (lambda: inspect_modules([]), []),
        "skipped modules": (lambda: inspect_modules([missing, broken]), [missing, broken]),
        "metadata json.dumps refuses": (raises(TypeError, inspect_modules, [junk]),
                                        [junk, sys.modules[junk]]),
        "module without source": (raises(TypeError, inspect_modules, [fresh("sys")]), []),
        "argument is a str": (raises(TypeError, inspect_modules, assets), [assets]),
        "argument is not a sequence": (raises(TypeError, inspect_modules, {assets}), [assets]),
        "item is not a str": (raises(TypeError, inspect_modules, [assets, 1]), [assets]),
        "item with a lone surrogate": (
            raises(UnicodeEncodeError, inspect_modules, [fresh("a\udc80b")]), []),
        "binding: missing": (raises(TypeError, inspect_modules), []),
        "binding: unexpected keyword": (raises(TypeError, inspect_modules, listed, other=1),
                                        [listed]),
    }[case]


INSPECT_CASES = ["success", "success, tuple by keyword", "nothing to inspect", "skipped modules",
                 "metadata json.dumps refuses", "module without source", "argument is a str",
                 "argument is not a sequence", "item is not a str", "item with a lone surrogate",
                 "binding: missing", "binding: unexpected keyword"]


@pytest.mark.parametrize("case", INSPECT_CASES)
def test_inspect_modules(modules, case):
    call, watch = _inspect_case(modules, case)
    with silenced_fd2():
        assert_no_leak(call, iterations=300, watch=watch)


# --- materialize_asset -----------------------------------------------------------

MATERIALIZE_RUNS = {
    # function, kwargs text, expected outcome (None: returns)
    "success": ("raw", None, None),
    "success with keyword arguments": ("add", '{"a": 1, "b": 2}', None),
    "wrapper unwrapped, kwargs from upstream": ("doubled", '{"data": [1, 2], "day": "tue"}', None),
    "no such function": ("nosuch", None, SystemExit),
    "asset raises": ("boom", None, SystemExit),
    "asset raises SystemExit": ("exits", None, SystemExit),
    "asset raises KeyboardInterrupt": ("interrupted", None, SystemExit),
    "exception whose str() raises": ("unprintable", None, SystemExit),
    "exception text with a lone surrogate": ("surrogate", None, SystemExit),
    "value json.dumps refuses": ("unserialisable", None, SystemExit),
    "kwargs not an object": ("add", "[1, 2]", SystemExit),
    "kwargs malformed": ("add", '{"a": ', SystemExit),
    "kwargs not accepted": ("raw", '{"surplus": 1}', SystemExit),
}


@pytest.mark.parametrize("case", list(MATERIALIZE_RUNS))
def test_materialize_asset_runs(modules, out_dir, case):
    function, kwargs, outcome = MATERIALIZE_RUNS[case]
    args = [modules["assets"], fresh(function), fresh(str(out_dir / "out"))]
    if kwargs is not None:
        args.append(fresh(kwargs))
    call = (lambda: materialize_asset(*args)) if outcome is None else raises(
        outcome, materialize_asset, *args)
    assert_no_leak(call, iterations=400, watch=args)


def test_materialize_asset_missing_module(out_dir):
    args = [fresh("orvan_test_no_such_module"), fresh("raw"), fresh(str(out_dir))]
    assert_no_leak(raises(SystemExit, materialize_asset, *args), iterations=400, watch=args)


def _setup_failure(modules, tmp_path, case):
    existing_file = tmp_path / "a_file"
    existing_file.write_text("")
    module, out = modules["assets"], fresh(str(tmp_path / "out"))
    return {
        "output_dir is an existing file": (
            FileExistsError, [module, fresh("raw"), fresh(str(existing_file))]),
        "output_dir has a NUL": (ValueError, [module, fresh("raw"), fresh(f"{out}\0x")]),
        "argument not a str": (TypeError, [module, 42, out]),
        "kwargs not a str": (TypeError, [module, fresh("raw"), out, {"a": 1}]),
        "argument with a lone surrogate": (UnicodeEncodeError,
                                           [module, fresh("r\udc80w"), out]),
        "binding: missing": (TypeError, [module]),
        "binding: surplus": (TypeError, [module, fresh("raw"), out, None, None]),
    }[case]


@pytest.mark.parametrize("case", [
    "output_dir is an existing file", "output_dir has a NUL", "argument not a str",
    "kwargs not a str", "argument with a lone surrogate", "binding: missing", "binding: surplus"])
def test_materialize_asset_setup_failures(modules, out_dir, case):
    error, args = _setup_failure(modules, out_dir, case)
    assert_no_leak(raises(error, materialize_asset, *args), watch=args)


def test_fault_raised_by_the_asset_is_passed_on(make_module, out_dir):
    fault = panic_class()
    name = make_module("def fault():\n    raise FAULT('from the asset')\n")
    module = importlib.import_module(name)
    module.FAULT = fault
    args = [fresh(name), fresh("fault"), fresh(str(out_dir))]
    with silenced_fd2():
        assert_no_leak(raises(fault, materialize_asset, *args), iterations=400,
                       watch=[*args, fault])
