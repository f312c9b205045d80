"""Every entry point of orvan._orvan on its success and error paths, as one
table of cases that the leak tests, the thread tests and the valgrind driver
all run. Plain Python, no pytest: the valgrind driver runs without it.

A case is a pair (call, watch): `call` takes no arguments and either returns
or raises AssertionError when the outcome is not the expected one; `watch`
lists objects passed in whose reference counts must not change."""

import contextlib
import os
import sys

from orvan._orvan import AssetWrapper, Partitions, asset, inspect_modules, materialize_asset, partitions

# Functions that fail in each way a call can end: an exception, an exit, an
# interrupt, an exception with no text, one whose text is not valid UTF-8.
FAILING = """
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

# The test pipeline: assets, plain functions and functions that fail in each
# way a run can. FAULT is set to the internal-fault class before use.
PIPELINE = """
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

def echo(*args, **kwargs):
    return args, kwargs

def unserialisable():
    return {1, 2}
""" + FAILING + """
def raise_fault():
    raise FAULT("from the asset")
"""

# Reported as an asset, but json.dumps refuses its metadata: the call fails.
UNSERIALISABLE_METADATA = """
class Junk:
    __orvan_kind__ = "asset"
    __orvan_metadata__ = {1, 2}
"""

BROKEN = "raise RuntimeError('broken at import')\n"

MISSING_MODULE = "orvan_test_no_such_module"


@contextlib.contextmanager
def silenced_fd2():
    """Sends file descriptor 2, and sys.stderr with it, to /dev/null: skip
    warnings and fault reports are written to the descriptor directly, the
    traceback of a passed-on fault through sys.stderr."""
    sys.stderr.flush()
    saved = os.dup(2)
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 2)
        with open(os.devnull, "w") as sink, contextlib.redirect_stderr(sink):
            yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(devnull)


def fresh(text):
    """A new, non-interned copy of `text`, so that its reference count means
    something (literals are interned, and interned strings are immortal)."""
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "surrogatepass")


def raises(exc_type, call, *args, **kwargs):
    """A case's call: `call(*args, **kwargs)` must end with exactly `exc_type`."""
    def body():
        try:
            call(*args, **kwargs)
        except BaseException as exc:  # noqa: BLE001 - SystemExit is an outcome too
            if type(exc) is not exc_type:
                raise AssertionError(f"{call!r} raised {exc!r}, expected {exc_type.__name__}")
            return
        raise AssertionError(f"{call!r} returned, expected {exc_type.__name__}")
    return body


def provoke_internal_fault():
    """The internal-fault class. It is not a module attribute, so one is
    provoked: an inputs dictionary that grows while asset() walks it. Growing
    frees no entry, so even a walk that failed to hold its entries would
    still answer here rather than crash every test that needs the class."""
    class Growing(str):
        # Looked up during the walk; still passes as a text reference.
        @property
        def __orvan_kind__(self):
            inputs["late"] = "x"
            raise AttributeError("not an asset")

    inputs = {"a": Growing("ref"), "b": "ref"}
    with silenced_fd2():
        try:
            asset(inputs=inputs)
        except BaseException as exc:  # noqa: BLE001 - it derives from BaseException
            if (type(exc).__module__, type(exc).__name__) != ("pyo3_runtime", "PanicException"):
                raise AssertionError(f"expected the internal fault, got {exc!r}") from exc
            return type(exc)
    raise AssertionError("a dictionary changed during the walk was not refused")


# --- asset(), the decorator and partitions() ----------------------------------

ASSET_CASES = [
    "success",
    "success, everything absent",
    "binding: positional",
    "binding: unexpected keyword",
    "name not text",
    "name with a lone surrogate",
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


def asset_cases():
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
    surrogate = fresh("n\udc80")
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
        "name with a lone surrogate": (raises(UnicodeEncodeError, asset, name=surrogate),
                                       [surrogate]),
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


def reference_case(pipeline):
    """An inputs value that is a decorated function: its source file is
    resolved through inspect and pathlib on every call."""
    upstream = pipeline.raw
    key = fresh("data")
    return (lambda: asset(inputs={key: upstream}), [upstream, upstream.__wrapped__, key])


def dictionary_changed_case(fault):
    """An inputs dictionary emptied during the walk: the internal fault."""
    key = fresh("first")

    class Shrinks(str):
        @property
        def __orvan_kind__(self):
            inputs.clear()
            raise AttributeError("not an asset")

    shrinker = Shrinks("a reference")
    inputs = {}

    def call():
        inputs.update({key: shrinker, fresh("second"): "x"})
        raises(fault, asset, inputs=inputs)()

    return (call, [key, shrinker, inputs])


PARTITIONS_CASES = [
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


def partitions_cases():
    items = [fresh("AAPL"), fresh("caf\u00e9"), 2**64 - 1, -2**63, 2.5, None, True,
             (fresh("tu"), 1), {fresh("key"): [fresh("nested")]}]
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

    def shown(marker):
        def call():
            if repr(marker) != f"Partitions({len(values)} values)":
                raise AssertionError(repr(marker))
        return call

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
        "marker repr": (shown(partitions(values)), []),
    }


# --- the wrapper ---------------------------------------------------------------

WRAPPER_CASES = [
    "metadata",
    "kind, original, wrapped",
    "forwarded names",
    "forwarded name missing",
    "call without arguments",
    "call with arguments",
    "call through nested wrappers",
    "call raising",
    "call of a non-callable",
    "descriptor",
    "read-only attribute",
    "constructor",
]


def wrapper_cases():
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
    nested = wrapper
    for _ in range(50):
        nested = asset()(nested)

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
        "call through nested wrappers": (lambda: nested(positional), [*shared, positional]),
        "call raising": (raises(LookupError, raising, positional, key=keyword),
                         [raising, failing, positional, keyword]),
        "call of a non-callable": (raises(TypeError, around_int, positional), [around_int]),
        "descriptor": (lambda: (holder.attribute, Holder.attribute), [*shared, holder]),
        "read-only attribute": (raises(AttributeError, setattr, wrapper, "__name__", positional),
                                [*shared, positional]),
        "constructor": (raises(TypeError, AssetWrapper, original), [original, AssetWrapper]),
    }


# --- inspect_modules -------------------------------------------------------------

INSPECT_CASES = [
    "success",
    "success, tuple by keyword",
    "nothing to inspect",
    "skipped modules",
    "metadata json.dumps refuses",
    "module without source",
    "argument is a str",
    "argument is not a sequence",
    "item is not a str",
    "item with a lone surrogate",
    "binding: missing",
    "binding: surplus",
    "binding: unexpected keyword",
]


def inspect_cases(names):
    """`names` maps "pipeline", "junk" and "broken" to imported module names."""
    pipeline, junk, broken = names["pipeline"], names["junk"], names["broken"]
    missing = fresh(MISSING_MODULE)
    listed = [pipeline]
    return {
        "success": (lambda: inspect_modules(listed),
                    [listed, pipeline, sys.modules[pipeline]]),
        "success, tuple by keyword": (lambda: inspect_modules(modules=(pipeline,)), [pipeline]),
        "nothing to inspect": (lambda: inspect_modules([]), []),
        "skipped modules": (lambda: inspect_modules([missing, broken]), [missing, broken]),
        "metadata json.dumps refuses": (raises(TypeError, inspect_modules, [junk]),
                                        [junk, sys.modules[junk]]),
        "module without source": (raises(TypeError, inspect_modules, [fresh("sys")]), []),
        "argument is a str": (raises(TypeError, inspect_modules, pipeline), [pipeline]),
        "argument is not a sequence": (raises(TypeError, inspect_modules, {pipeline}),
                                       [pipeline]),
        "item is not a str": (raises(TypeError, inspect_modules, [pipeline, 1]), [pipeline]),
        "item with a lone surrogate": (
            raises(UnicodeEncodeError, inspect_modules, [fresh("a\udc80b")]), []),
        "binding: missing": (raises(TypeError, inspect_modules), []),
        "binding: surplus": (raises(TypeError, inspect_modules, listed, listed), [listed]),
        "binding: unexpected keyword": (raises(TypeError, inspect_modules, listed, other=1),
                                        [listed]),
    }


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


def materialize_run_case(pipeline, out_dir, case):
    """One run of MATERIALIZE_RUNS, writing into `out_dir` (a str)."""
    function, kwargs, outcome = MATERIALIZE_RUNS[case]
    args = [fresh(pipeline), fresh(function), fresh(out_dir)]
    if kwargs is not None:
        args.append(fresh(kwargs))
    call = (lambda: materialize_asset(*args)) if outcome is None else raises(
        outcome, materialize_asset, *args)
    return (call, args)


def missing_module_case(out_dir):
    args = [fresh(MISSING_MODULE), fresh("raw"), fresh(out_dir)]
    return (raises(SystemExit, materialize_asset, *args), args)


def fault_in_asset_case(pipeline, out_dir, fault):
    """The asset raises the internal fault: passed on, not recorded as a
    SystemExit. The pipeline module's FAULT must be `fault`."""
    args = [fresh(pipeline), fresh("raise_fault"), fresh(out_dir)]
    return (raises(fault, materialize_asset, *args), [*args, fault])


SETUP_FAILURES = [
    "output_dir is an existing file",
    "output_dir has a NUL",
    "argument not a str",
    "kwargs not a str",
    "argument with a lone surrogate",
    "binding: missing",
    "binding: surplus",
]


def setup_failure_case(pipeline, out_dir, existing_file, case):
    """Failures before the run: raised, nothing recorded. `out_dir` and
    `existing_file` are str paths."""
    out = fresh(out_dir)
    error, args = {
        "output_dir is an existing file": (
            FileExistsError, [pipeline, fresh("raw"), fresh(existing_file)]),
        "output_dir has a NUL": (ValueError, [pipeline, fresh("raw"), fresh(f"{out}\0x")]),
        "argument not a str": (TypeError, [pipeline, 42, out]),
        "kwargs not a str": (TypeError, [pipeline, fresh("raw"), out, {"a": 1}]),
        "argument with a lone surrogate": (UnicodeEncodeError,
                                           [pipeline, fresh("r\udc80w"), out]),
        "binding: missing": (TypeError, [pipeline]),
        "binding: surplus": (TypeError, [pipeline, fresh("raw"), out, None, None]),
    }[case]
    return (raises(error, materialize_asset, *args), args)
