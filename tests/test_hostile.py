"""Hostile input into every parameter of every function: the outcome is the
declared result or the declared exception, never a crash and never a
half-made object. Cases that could take the interpreter down run in a
subprocess, so that a crash fails one test instead of the whole run."""

import contextlib
import ctypes
import gc
import importlib
import inspect
import json
import os
import pathlib
import re
import stat
import sys
import tempfile

import pytest
from hypothesis import HealthCheck, assume, event, example, given, settings
from hypothesis import strategies as st
from hypothesis.control import currently_in_test_context

from conftest import run_python
from hardening_strategies import (
    Items,
    KindAsset,
    Mapping,
    Refused,
    Sized,
    anything,
    asset_reference,
    cannot_convert,
    clean_texts,
    deep_list,
    harmless_module_name,
    has_surrogate,
    hostile,
    hostile_object,
    is_a,
    json_value_of,
    json_values,
    lenient,
    loads_checking_layout,
    not_text,
    safe_name_characters,
    same_json,
    texts,
    type_name,
)
from entry_cases import provoke_internal_fault, silenced_fd2
from hardening_support import scratch_dir
from orvan._orvan import AssetWrapper, Partitions, asset, inspect_modules, materialize_asset, partitions

SETTINGS = settings(max_examples=200, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                           HealthCheck.function_scoped_fixture])
MISSING = object()  # a parameter left out of the call


def outcome(call, *args, **kwargs):
    """("ok", result) or ("raised", exception), whatever the exception."""
    try:
        return "ok", call(*args, **kwargs)
    except BaseException as exc:  # noqa: BLE001 - SystemExit and friends are outcomes here
        return "raised", exc


def note(text):
    # Shown by --hypothesis-show-statistics: how the examples spread over
    # the outcomes, so that a strategy which never reaches a path shows.
    if currently_in_test_context():
        event(text)


def note_outcome(expected):
    note("expected: " + ("success" if expected[0] == "ok" else type(expected[1]).__name__))


def live_instances():
    # Every instance of a heap type holds a reference to its class, and the
    # module's classes are not tracked by the collector: the counts are how
    # many wrappers and markers exist (plus a constant).
    return sys.getrefcount(AssetWrapper), sys.getrefcount(Partitions)


@contextlib.contextmanager
def no_collection():
    """Keeps the cyclic collector from freeing an earlier example's garbage
    (wrappers and markers among it) in the middle of this one's counts."""
    gc.disable()
    try:
        yield
    finally:
        gc.enable()


def assert_same_exception(actual, expected):
    assert type(actual) is type(expected), (actual, expected)
    assert str(actual) == str(expected), (actual, expected)


def text_of(value):
    return str.__str__(value)


# --- argument binding -------------------------------------------------------------------

# Positional parameters, how many are required, keyword-only parameters.
PARAMETERS = {
    asset: ((), 0, ("name", "inputs", "partitions", "serializer")),
    partitions: (("values",), 1, ()),
    inspect_modules: (("modules",), 1, ()),
    materialize_asset: (("module_name", "function_name", "output_dir", "input_kwargs_json"), 3, ()),
}


def binding_error(function, count, keywords):
    """The TypeError message binding must end in, or None when it succeeds."""
    positional, required, keyword_only = PARAMETERS[function]
    name = f"{function.__name__}()"
    if count > len(positional):
        verb = "was" if count == 1 else "were"
        if required != len(positional):
            return (f"{name} takes from {required} to {len(positional)} positional arguments "
                    f"but {count} {verb} given")
        return f"{name} takes {len(positional)} positional arguments but {count} {verb} given"
    filled = set(positional[:count])
    for keyword in keywords:
        if keyword not in keyword_only and keyword not in positional:
            return f"{name} got an unexpected keyword argument '{keyword}'"
        if keyword in filled:
            return f"{name} got multiple values for argument '{keyword}'"
        filled.add(keyword)
    missing = [f"'{p}'" for p in positional[:required] if p not in filled]
    if not missing:
        return None
    listed = (" and ".join(missing) if len(missing) < 3
              else ", ".join(missing[:-1]) + ", and " + missing[-1])
    noun = "argument" if len(missing) == 1 else "arguments"
    return f"{name} missing {len(missing)} required positional {noun}: {listed}"


parameter_names = st.sampled_from(["name", "inputs", "partitions", "serializer", "values",
                                   "modules", "module_name", "function_name", "output_dir",
                                   "input_kwargs_json"])


@SETTINGS
@given(function=st.sampled_from(list(PARAMETERS)), args=st.lists(not_text, max_size=6),
       keywords=st.lists(st.one_of(parameter_names, texts), max_size=4, unique=True))
def test_binding_of_any_call(function, args, keywords):
    message = binding_error(function, len(args), keywords)
    # A call that binds would go on to import modules or write files; those
    # paths have their own tests.
    assume(message is not None)
    with pytest.raises(TypeError) as raised:
        function(*args, **dict.fromkeys(keywords, 5))
    assert type(raised.value) is TypeError and str(raised.value) == message


# --- partitions() --------------------------------------------------------------------

def expected_marker_values(values):
    """The JSON values a marker made from `values` holds, or the exception
    that partitions(values) must end in."""
    if not is_a(values, list):
        raise TypeError("argument 'values': " + cannot_convert(values, "PyList"))
    held = []
    for index in range(list.__len__(values)):
        item = list.__getitem__(values, index)
        held.append(json_value_of(item))  # Refused: the ValueError, with one of its reasons
    return held


@SETTINGS
@given(values=st.one_of(anything, st.lists(anything, max_size=4)))
# Each refusal reason on its own, whatever the random examples reach.
@example([float("-inf")])
@example([1, float("nan")])
@example([{"k": float("inf")}])
@example([10**400])
@example(["\ud800 high"])
@example(["low \udc00"])
@example([deep_list(128)])
@example([deep_list(127)])
@example([{"\ud800": deep_list(127)}])  # the surrogate comes first in the text
@example([1, object()])
def test_partitions_takes_anything(values):
    with no_collection():
        check_partitions(values)


def check_partitions(values):
    before = live_instances()
    expected = outcome(expected_marker_values, values)
    note_outcome(expected)
    actual = outcome(partitions, values)
    if expected[0] == "raised":
        assert actual[0] == "raised", actual
        if type(expected[1]) is Refused:
            assert type(actual[1]) is ValueError, actual
            match = re.fullmatch(r"invalid partition value: (.+) at line 1 column [1-9]\d*",
                                 str(actual[1]))
            assert match and match[1] in expected[1].args, (actual, expected)
        else:
            assert_same_exception(actual[1], expected[1])
    else:
        assert actual[0] == "ok", actual
        marker = actual[1]
        assert type(marker) is Partitions
        assert repr(marker) == f"Partitions({len(expected[1])} values)"
        metadata = asset(partitions={"d": marker})(len).__orvan_metadata__
        assert same_json(loads_checking_layout(metadata["partitions"]["d"]["values_json"]),
                         expected[1])
        del marker, actual, metadata
    assert live_instances() == before  # nothing half-made stays behind


@settings(SETTINGS, max_examples=300)
@given(value=json_values)
def test_values_json_round_trip(value):
    text = asset(partitions={"d": partitions([value])})(len).__orvan_metadata__[
        "partitions"]["d"]["values_json"]
    assert same_json(loads_checking_layout(text), [json.loads(json.dumps(value))])


@settings(SETTINGS, max_examples=100)
@given(number=st.one_of(st.integers(min_value=2**64), st.integers(max_value=-(2**63) - 1)))
def test_integers_beyond_the_ranges_become_the_nearest_double(number):
    try:
        nearest = float(number)
    except OverflowError:
        with pytest.raises(ValueError, match="^invalid partition value: number out of range"):
            partitions([number])
        return
    text = asset(partitions={"d": partitions([number])})(len).__orvan_metadata__[
        "partitions"]["d"]["values_json"]
    assert json.loads(text) == [nearest]


# --- asset(), the decorator and the wrapper -------------------------------------------

class MarkerSeed:
    """Keys for a marker, made into one just before the call."""

    def __init__(self, values):
        self.values = values

    def __repr__(self):
        return f"partitions({self.values!r})"


def markers_or_junk(value):
    return partitions(value.values) if type(value) is MarkerSeed else value


def mostly(valid, junk, weight=6):
    """`valid` about `weight` times as often as `junk`: every parameter gets
    hostile values, and yet most calls get far enough to reach the later
    steps. (A plain one_of leans towards its first branches.)"""
    return st.sampled_from([True] * weight + [False]).flatmap(
        lambda use_valid: valid if use_valid else junk)


def mapping_or_junk(valid_entries, junk_entries):
    entries = mostly(valid_entries, junk_entries)
    return mostly(
        st.dictionaries(clean_texts, entries, max_size=3),
        st.one_of(st.dictionaries(st.one_of(texts, st.integers(), st.none()), entries, max_size=3),
                  st.builds(Mapping, st.dictionaries(texts, entries, max_size=3)),
                  hostile),
    )


@asset()
def upstream():
    return 1


upstream_values = mapping_or_junk(
    st.one_of(clean_texts, st.sampled_from([upstream, KindAsset])),
    st.one_of(texts, hostile, st.sampled_from([asset()(asset), asset()(len)])))
partition_maps = mapping_or_junk(st.lists(json_values, max_size=3).map(MarkerSeed), hostile)
text_arguments = mostly(st.one_of(st.none(), clean_texts), st.one_of(texts, hostile))


def expected_metadata(name, inputs, partition_map, serializer):
    """The metadata of a wrapper declared with these arguments, or the
    exception asset(...) must end in (checks in the declared order)."""
    metadata = {"kind": "asset"}
    for parameter, value in (("name", name), ("serializer", serializer)):
        if value is None or value is MISSING:
            metadata[parameter] = None
        elif not is_a(value, str):
            raise TypeError(f"argument '{parameter}': " + cannot_convert(value, "PyString"))
        else:
            metadata[parameter] = text_of(value)
            metadata[parameter].encode()
    metadata["inputs"] = expected_mapping(inputs, expected_reference)
    metadata["partitions"] = expected_mapping(partition_map, expected_partitions)
    return metadata


def expected_mapping(mapping, expected_value):
    """A dictionary argument as asset(...) reads it (None when not given):
    each key checked and encoded before its value is looked at."""
    if mapping is None or mapping is MISSING:
        return None
    if not is_a(mapping, dict):
        raise TypeError(cannot_convert(mapping, "PyDict"))
    expected = {}
    for key, value in dict.items(mapping):
        if not is_a(key, str):
            raise TypeError(cannot_convert(key, "PyString"))
        key.encode()
        expected[text_of(key)] = expected_value(value)
    return expected


def expected_reference(value):
    reference = asset_reference(value)
    reference.encode()
    return reference


def expected_partitions(value):
    if not is_a(value, Partitions):
        raise TypeError("partition values must be partitions([...]) instances")
    return value


@SETTINGS
@given(name=st.one_of(st.just(MISSING), text_arguments),
       serializer=st.one_of(st.just(MISSING), text_arguments),
       inputs=st.one_of(st.just(MISSING), st.none(), upstream_values),
       partition_map=st.one_of(st.just(MISSING), st.none(), partition_maps))
def test_asset_takes_anything(name, serializer, inputs, partition_map):
    with no_collection():
        check_asset(name, serializer, inputs, partition_map)


def check_asset(name, serializer, inputs, partition_map):
    if is_a(partition_map, dict):
        partition_map = type(partition_map)(
            {k: markers_or_junk(v) for k, v in dict.items(partition_map)})
    given_arguments = {k: v for k, v in (("name", name), ("inputs", inputs),
                                         ("partitions", partition_map),
                                         ("serializer", serializer)) if v is not MISSING}
    before = live_instances()
    expected = outcome(expected_metadata, name, inputs, partition_map, serializer)
    note_outcome(expected)
    actual = outcome(asset, **given_arguments)
    if expected[0] == "raised":
        assert actual[0] == "raised", (actual, expected)
        assert_same_exception(actual[1], expected[1])
    else:
        assert actual[0] == "ok", (actual, expected)
        decorator = actual[1]
        assert decorator.__name__ == "asset_decorator" and decorator.__module__ is None

        def original():
            return "original"

        wrapper = decorator(original)
        metadata = wrapper.__orvan_metadata__
        want = expected[1]
        assert list(metadata) == ["kind", "name", "serializer", "inputs", "partitions"]
        for key in ("kind", "name", "serializer", "inputs"):
            assert metadata[key] == want[key], key
            assert metadata[key] is None or type(metadata[key]) in (str, dict)
        if want["partitions"] is None:
            assert metadata["partitions"] is None
        else:
            assert metadata["partitions"].keys() == want["partitions"].keys()
            for dimension, marker in want["partitions"].items():
                entry = metadata["partitions"][dimension]
                assert list(entry) == ["kind", "values_json"] and entry["kind"] == "inline"
                reread = asset(partitions={"d": marker})(len).__orvan_metadata__
                assert entry["values_json"] == reread["partitions"]["d"]["values_json"]
        assert wrapper() == "original" and wrapper.__wrapped__ is original
        del decorator, wrapper, actual, metadata
    assert live_instances() == before


@SETTINGS
@given(args=st.lists(hostile, max_size=3),
       kwargs=st.dictionaries(clean_texts, hostile, max_size=2))
def test_decorator_takes_exactly_one_function(args, kwargs):
    decorator = asset(name="n")
    with no_collection():
        before = live_instances()
        result = outcome(decorator, *args, **kwargs)
        if len(args) == 1:
            assert result[0] == "ok" and type(result[1]) is AssetWrapper, result
            assert result[1].__orvan_original__ is args[0]
        else:
            assert result[0] == "raised" and type(result[1]) is TypeError, result
            assert str(result[1]) == (
                "asset() decorator expects exactly one argument (the function)")
        del result
        assert live_instances() == before


def echo(*args, **kwargs):
    return args, kwargs


def refuse(*args, **kwargs):
    raise LookupError(len(args), sorted(kwargs))


CALLABLE_ORIGINALS = [echo, refuse, len, type, object, int, KeyboardInterrupt, Items, dict,
                      asset()(echo)]


@SETTINGS
@given(original=st.one_of(st.sampled_from(CALLABLE_ORIGINALS), hostile_object),
       args=st.lists(st.one_of(hostile, texts), max_size=3),
       kwargs=st.dictionaries(texts, hostile, max_size=2),
       owner=hostile)
def test_wrapper_forwards_to_anything(original, args, kwargs, owner):
    wrapper = asset()(original)
    for attribute in ("__name__", "__qualname__", "__module__"):
        expected = outcome(getattr, original, attribute)
        actual = outcome(getattr, wrapper, attribute)
        assert actual[0] == expected[0], (attribute, actual, expected)
        if expected[0] == "ok":
            assert actual[1] is expected[1] or actual[1] == expected[1], attribute
        else:
            assert_same_exception(actual[1], expected[1])
    assert wrapper.__orvan_original__ is original and wrapper.__wrapped__ is original
    assert wrapper.__orvan_kind__ == "asset"
    assert AssetWrapper.__get__(wrapper, owner, type(owner)) is wrapper
    # Every original in the pools is harmless and deterministic to call.
    expected = outcome(original, *args, **kwargs)
    actual = outcome(wrapper, *args, **kwargs)
    assert actual[0] == expected[0], (actual, expected)
    if expected[0] == "ok":
        assert type(actual[1]) is type(expected[1])
        if original is echo:
            assert actual[1][0] == tuple(args) and actual[1][1].keys() == kwargs.keys()
    else:
        assert_same_exception(actual[1], expected[1])


# --- inspect_modules() -----------------------------------------------------------------

SAFE_ASSETS = """
from orvan import asset

@asset(name="listed")
def listed() -> int:
    return 1
"""

# The interpreter's own sequence check, the one the argument must pass.
_sequence_check = ctypes.pythonapi.PySequence_Check
_sequence_check.restype = ctypes.c_int


def expected_names(modules):
    """The module names inspect_modules reads from `modules`, or the
    exception its argument conversion must end in."""
    if is_a(modules, str):
        raise TypeError("argument 'modules': Can't extract `str` to `Vec`")
    if not _sequence_check(ctypes.py_object(modules)):
        raise TypeError("argument 'modules': " + cannot_convert(modules, "Sequence"))
    names = []
    try:
        for item in iter(modules):
            if not is_a(item, str):
                raise TypeError(cannot_convert(item, "PyString"))
            item.encode()
            names.append(text_of(item))
    except TypeError as exc:
        if type(exc) is not TypeError:
            raise
        raise TypeError(f"argument 'modules': {exc}") from exc.__cause__
    return names


@contextlib.contextmanager
def captured_fd2():
    """Collects what is written to file descriptor 2, as bytes."""
    sys.stderr.flush()
    saved = os.dup(2)
    with tempfile.TemporaryFile() as sink:
        os.dup2(sink.fileno(), 2)
        written = []
        try:
            yield written
        finally:
            os.dup2(saved, 2)
            os.close(saved)
            sink.seek(0)
            written.append(sink.read())


def describe(exc):
    try:
        text = str(exc)
    except BaseException:  # noqa: BLE001
        return lenient(type_name(exc)) + ": <exception str() failed>"
    return lenient(type_name(exc)) + ": " + lenient(text)


def missing_names(listed):
    # Names that cannot be found, or cannot even be looked for; none of them
    # can import anything real.
    return st.one_of(
        st.lists(st.one_of(safe_name_characters, st.sampled_from(["\x00", "..", "\udc80"])),
                 max_size=8).map(lambda s: "orvan_test_nosuch_" + "".join(s)),
        st.sampled_from(["", ".", "..orvan_test_nosuch", ".orvan_test_nosuch",
                         "orvan_test_nosuch.", listed]),
    )


@contextlib.contextmanager
def importable(root, module, source):
    """`module`, written with `source` into `root` and that put first on the
    import path; forgotten by both on the way out."""
    (root / f"{module}.py").write_text(source)
    sys.path.insert(0, str(root))
    importlib.invalidate_caches()
    try:
        yield
    finally:
        sys.path.remove(str(root))
        sys.modules.pop(module, None)


@pytest.fixture(scope="module")
def listed_module(tmp_path_factory):
    with importable(tmp_path_factory.mktemp("hostile_modules"), "orvan_test_hostile_listed", SAFE_ASSETS):
        yield "orvan_test_hostile_listed"


@SETTINGS
@given(data=st.data())
def test_inspect_modules_takes_anything(listed_module, data):
    names = st.lists(missing_names(listed_module), max_size=4)
    modules = data.draw(st.one_of(
        names, names.map(tuple), names.map(Items), names.map(lambda n: Sized(n)),
        st.lists(st.one_of(missing_names(listed_module), not_text), max_size=3), hostile,
        texts))
    expected = outcome(expected_names, modules)
    note_outcome(expected)
    assume(expected[0] == "raised" or all(map(harmless_module_name, expected[1])))
    with captured_fd2() as written:
        actual = outcome(inspect_modules, modules)
    if expected[0] == "raised":
        assert actual[0] == "raised", actual
        assert_same_exception(actual[1], expected[1])
        if type(expected[1]) is TypeError:
            assert actual[1].__cause__ is expected[1].__cause__
        assert written == [b""]  # fails before any import
        return
    assert actual[0] == "ok", actual
    report = loads_checking_layout(actual[1])
    assert list(report) == ["assets"]
    warnings = []
    for name in expected[1]:
        result = outcome(importlib.import_module, name)
        if result[0] == "raised":
            warnings.append(f"orvan: skipping module '{name}': {describe(result[1])}\n")
    assert written[0].decode("utf-8") == "".join(warnings)
    found = [r["function_name"] for r in report["assets"]]
    assert found == ["listed"] * expected[1].count(listed_module)


# --- materialize_asset() ------------------------------------------------------------------

MATERIALIZE_ASSETS = """
import sys
from orvan import asset

def echo(**kwargs):
    return kwargs

@asset()
def wrapped(**kwargs):
    return sorted(kwargs)

def nothing():
    return None

def not_finite():
    return [float("nan"), float("inf"), float("-inf")]

def a_set():
    return {1}

def takes_one(a):
    return a

class Decoy:
    @property
    def __orvan_original__(self):
        raise KeyboardInterrupt("looking up the original fails")
    def __call__(self, **kwargs):
        return "decoy"

decoy = Decoy()
THROWN = None

def thrower():
    raise THROWN
"""

FUNCTIONS = ["echo", "wrapped", "nothing", "not_finite", "a_set", "takes_one", "decoy",
             "sys", "asset", "__name__"]


@pytest.fixture(scope="module")
def worker_module(tmp_path_factory):
    with importable(tmp_path_factory.mktemp("hostile_worker"), "orvan_test_hostile_worker", MATERIALIZE_ASSETS):
        yield importlib.import_module("orvan_test_hostile_worker")


@pytest.fixture(scope="module")
def out_root(tmp_path_factory):
    with scratch_dir(tmp_path_factory.mktemp("hostile_out")) as path:
        yield path


_runs = iter(range(10**9))


def new_out_dir(root, name=""):
    return str(root / f"{next(_runs)}-{name}")


def expected_record(module_name, function_name, out, kwargs_text):
    """The record result.json must hold after the run, and the value.json
    text (None after a failure), worked out by doing what the run does."""
    try:
        module = importlib.import_module(module_name)
        function = getattr(module, function_name)
        try:
            original = function.__orvan_original__
        except BaseException:  # noqa: BLE001
            original = function
        if kwargs_text is None:
            result = original()
        else:
            kwargs = json.loads(kwargs_text)
            if not is_a(kwargs, dict):
                raise TypeError(cannot_convert(kwargs, "PyDict"))
            result = original(**kwargs)
        rendered = json.dumps(result)
        value_path = str(pathlib.Path(out) / "value.json")
        value_path.encode()
        signature = str(inspect.signature(original))
        signature.encode()
        return {"artifact_format": "json", "function_name": function_name,
                "module_path": module_name, "ok": True, "result_type": type(result).__name__,
                "signature": signature, "value_path": value_path}, rendered
    except BaseException as exc:  # noqa: BLE001
        return {"error": describe(exc), "error_type": lenient(type(exc).__name__),
                "ok": False}, None


def expected_setup(module_name, function_name, out, kwargs_text):
    """The exception the argument conversion or the set-up must raise, or None."""
    for parameter, value in (("module_name", module_name), ("function_name", function_name),
                             ("output_dir", out), ("input_kwargs_json", kwargs_text)):
        if parameter == "input_kwargs_json" and value is None:
            continue
        if not is_a(value, str):
            return TypeError(f"argument '{parameter}': " + cannot_convert(value, "PyString"))
        result = outcome(str.encode, value)
        if result[0] == "raised":
            return result[1]
    result = outcome(lambda: pathlib.Path(out).mkdir(parents=True, exist_ok=True))
    return result[1] if result[0] == "raised" else None


def check_run(module_name, function_name, out, kwargs_text=None):
    """Runs materialize_asset and checks the call's end and the files it
    leaves against what the run must do."""
    args = [module_name, function_name, out] + ([] if kwargs_text is None else [kwargs_text])
    setup_error = expected_setup(module_name, function_name, out, kwargs_text)
    if setup_error is not None:
        note_outcome(("raised", setup_error))
    actual = outcome(materialize_asset, *args)
    if setup_error is not None:
        assert actual[0] == "raised", actual
        assert_same_exception(actual[1], setup_error)
        if is_a(out, str) and not has_surrogate(out) and "\0" not in out:
            assert not (pathlib.Path(out) / "result.json").is_file()
        return None
    # As the run sees them: exact str copies of the texts.
    record, rendered = expected_record(text_of(module_name), text_of(function_name),
                                       text_of(out),
                                       None if kwargs_text is None else text_of(kwargs_text))
    note("run: " + ("success" if record["ok"] else record["error_type"]))
    written = (pathlib.Path(out) / "result.json").read_text(encoding="utf-8")
    assert loads_checking_layout(written) == record
    if record["ok"]:
        assert actual == ("ok", None)
        assert (pathlib.Path(out) / "value.json").read_text(encoding="utf-8") == rendered
    else:
        assert actual[0] == "raised" and type(actual[1]) is SystemExit, actual
        assert actual[1].code == 1
        assert actual[1].__cause__ is None and actual[1].__context__ is None
    return record


kwargs_texts = mostly(
    st.one_of(st.none(), st.dictionaries(clean_texts, json_values, max_size=4).map(json.dumps)),
    st.one_of(
        json_values.map(json.dumps),
        texts,
        st.sampled_from(["{", '{"a": }', '{"a": 1,}', "NaN", '{"a": NaN}', '{"\\ud800": 1}',
                         '{"a": 1e400}', "[" * 5000 + "]" * 5000,
                         '{"a": ' * 3000 + "1" + "}" * 3000, " {} ", "{}\x00",
                         '{"x": "\\u0000"}']),
        hostile,
    ),
)


@SETTINGS
@given(data=st.data())
def test_materialize_asset_takes_anything(worker_module, out_root, data):
    module_name = data.draw(mostly(
        st.just(worker_module.__name__),
        st.one_of(missing_names("orvan_test_hostile_worker"), not_text)))
    function_name = data.draw(mostly(
        st.sampled_from(FUNCTIONS), st.one_of(texts.map(lambda s: "missing_" + s), hostile)))
    out = data.draw(mostly(
        st.lists(safe_name_characters, max_size=10).map(
            lambda s: new_out_dir(out_root, "".join(s).replace("..", ""))),
        st.one_of(st.lists(st.one_of(safe_name_characters, st.sampled_from(["\x00", "\udc80"])),
                           max_size=10).map(lambda s: new_out_dir(out_root, "".join(s))),
                  hostile)))
    check_run(module_name, function_name, out, data.draw(kwargs_texts))


# Exceptions raised by the asset: their base, what their __str__ does and the
# qualified name of their class.
EXCEPTION_BASES = [Exception, ValueError, SystemExit, KeyboardInterrupt, GeneratorExit,
                   BaseException, UnicodeError, OSError]


def make_exception(base, message, str_behaviour, qualname):
    namespace = {}
    if str_behaviour == "raises":
        def __str__(self):
            raise RuntimeError("str() of the exception fails")
        namespace["__str__"] = __str__
    elif str_behaviour == "returns non-str":
        namespace["__str__"] = lambda self: 42
    elif str_behaviour == "returns text":
        namespace["__str__"] = lambda self: message
    cls = type("Raised", (base,), namespace)
    if qualname is not None:
        cls.__qualname__ = qualname
    return cls(message)


@SETTINGS
@given(base=st.sampled_from(EXCEPTION_BASES), message=texts,
       str_behaviour=st.sampled_from(["inherited", "raises", "returns non-str", "returns text"]),
       qualname=st.one_of(st.none(), texts))
def test_what_the_asset_raises_is_recorded_truthfully(worker_module, out_root, base, message,
                                                        str_behaviour, qualname):
    worker_module.THROWN = make_exception(base, message, str_behaviour, qualname)
    try:
        record = check_run(worker_module.__name__, "thrower", new_out_dir(out_root))
    finally:
        worker_module.THROWN = None
    assert record["ok"] is False and record["error_type"] == "Raised"


def fault_variants(fault):
    class HiddenArgs(fault):
        @property
        def args(self):
            raise RuntimeError("args cannot be read")

        def __str__(self):
            return "the fault's own text"

    class Unprintable(fault):
        def __str__(self):
            raise RuntimeError("str() fails")

    return {
        "plain": (fault("from the asset"), "from the asset"),
        "subclass hiding its args": (HiddenArgs("hidden"), "the fault's own text"),
        "subclass whose str() raises": (Unprintable("first argument"), "first argument"),
        "surrogate in the message": (fault("lone \udc80"), "lone \ufffd\ufffd\ufffd"),
    }


@pytest.mark.parametrize("variant", ["plain", "subclass hiding its args",
                                     "subclass whose str() raises", "surrogate in the message"])
def test_internal_fault_from_the_asset_is_passed_on(worker_module, tmp_path, variant):
    fault = provoke_internal_fault()
    worker_module.THROWN, message = fault_variants(fault)[variant]
    try:
        with silenced_fd2(), pytest.raises(BaseException) as raised:
            materialize_asset(worker_module.__name__, "thrower", str(tmp_path))
    finally:
        worker_module.THROWN = None
    # A new fault of the module's own class, carrying the message.
    assert type(raised.value) is fault and raised.value.args == (message,)
    assert json.loads((tmp_path / "result.json").read_text(encoding="utf-8")) == {
        "error": f"PanicException: {message}", "error_type": "PanicException", "ok": False}


@pytest.mark.parametrize("name", ["caf\u00e9", "\u6f22\u5b57", "emoji \U0001F600", "sp ace",
                                  "new\nline", "tab\tbed", "\u00a0nbsp"])
def test_output_dirs_with_non_ascii_names(worker_module, tmp_path, name):
    out = tmp_path / name / "nested"
    record = check_run(worker_module.__name__, "echo", str(out), '{"k": "\u00e9"}')
    assert record["value_path"] == str(out / "value.json")
    if name.isprintable():  # written as UTF-8 itself, not escaped
        assert str(out).encode() in (out / "result.json").read_bytes()


def test_output_dir_below_a_file(worker_module, tmp_path):
    a_file = tmp_path / "a_file"
    a_file.write_text("keep")
    with pytest.raises(NotADirectoryError):
        materialize_asset(worker_module.__name__, "echo", str(a_file / "below"))
    assert a_file.read_text() == "keep"


def test_unwritable_value_file_is_recorded(worker_module, tmp_path):
    # A directory where value.json should go cannot be written, as root too.
    (tmp_path / "value.json").mkdir()
    with pytest.raises(SystemExit) as raised:
        materialize_asset(worker_module.__name__, "nothing", str(tmp_path))
    assert raised.value.code == 1
    record = json.loads((tmp_path / "result.json").read_text())
    assert record["ok"] is False and record["error_type"] == "IsADirectoryError"


def test_read_only_output_dir(worker_module, tmp_path):
    out = tmp_path / "read_only"
    out.mkdir()
    out.chmod(stat.S_IRUSR | stat.S_IXUSR)
    try:
        probe = out / "probe"
        try:
            probe.write_text("")
        except PermissionError:
            pass
        else:
            probe.unlink()
            pytest.skip("permissions do not bind this user (running as root); the "
                        "unwritable-file tests above cover the same paths")
        with pytest.raises(PermissionError):
            materialize_asset(worker_module.__name__, "nothing", str(out))
        assert list(out.iterdir()) == []
    finally:
        out.chmod(stat.S_IRWXU)


# --- cases that could take the interpreter down: each in its own process ----------------

def test_deep_chains_of_wrappers_are_called_without_crashing():
    result = run_python("""
        from orvan import asset
        wrapper = lambda: "bottom"
        for _ in range(100_000):
            wrapper = asset()(wrapper)
        try:
            wrapper()
        except RecursionError:
            print("RecursionError")
        import orvan._orvan
        print(asset()(asset()(lambda: "two deep"))())
    """)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.split("\n")[:2] == ["RecursionError", "two deep"]


def test_dropping_a_deep_chain_of_wrappers_does_not_crash():
    # Each wrapper releases its original when it goes; done by recursion,
    # a million nested wrappers would overflow the C stack.
    result = run_python("""
        import threading
        from orvan import asset

        def build_and_drop():
            wrapper = len
            decorator = asset()
            for _ in range(1_000_000):
                wrapper = decorator(wrapper)
            del wrapper
            print("dropped")

        # A thread with a small stack keeps the depth needed to show the
        # problem independent of the main thread's stack limit.
        threading.stack_size(4 * 1024 * 1024)
        thread = threading.Thread(target=build_and_drop)
        thread.start()
        thread.join()
    """)
    assert result.returncode == 0, f"exit status {result.returncode}"
    assert result.stdout == "dropped\n"


def test_deeply_nested_and_huge_kwargs_texts(tmp_path):
    (tmp_path / "orvan_test_kwargs.py").write_text("def echo(**kwargs):\n    return len(kwargs)\n")
    result = run_python(f"""
        import json, sys
        from orvan._orvan import materialize_asset
        out = {str(tmp_path / "out")!r}
        texts = {{
            "nested arrays": "[" * 1_000_000 + "]" * 1_000_000,
            "nested objects": '{{"a":' * 200_000 + "1" + "}}" * 200_000,
            "huge object": json.dumps({{f"k{{i}}": "v" * 50 for i in range(200_000)}}),
            "huge string": json.dumps({{"k": "x" * 20_000_000}}),
            "truncated": '{{"a": [' + "1," * 1_000_000,
        }}
        for label, text in texts.items():
            try:
                materialize_asset("orvan_test_kwargs", "echo", out, text)
                outcome = "returned"
            except SystemExit as exc:
                outcome = f"SystemExit({{exc.code}})"
            with open(out + "/result.json", encoding="utf-8") as f:
                record = json.load(f)
            print(label, outcome, record.get("error_type"), record.get("ok"), flush=True)
    """, path=[tmp_path])
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.splitlines() == [
        "nested arrays SystemExit(1) RecursionError False",
        "nested objects SystemExit(1) RecursionError False",
        "huge object returned None True",
        "huge string returned None True",
        "truncated SystemExit(1) JSONDecodeError False",
    ]


def test_hostile_exceptions_and_replaced_exit_in_a_fresh_process(tmp_path):
    (tmp_path / "orvan_test_raisers.py").write_text(
        "import sys\n"
        "class Loud(BaseException):\n"
        "    def __str__(self):\n"
        "        raise Loud()\n"  # str() raises the same kind, over and over
        "def loud():\n"
        "    raise Loud()\n"
        "def exits():\n"
        "    sys.exit('\\udc80 surrogate code')\n"
        "def deep():\n"
        "    return deep()\n"
    )
    result = run_python(f"""
        import json, sys
        from orvan._orvan import materialize_asset
        out = {str(tmp_path / "out")!r}
        for function in ("loud", "exits", "deep"):
            try:
                materialize_asset("orvan_test_raisers", function, out)
            except SystemExit as exc:
                print(function, exc.code, open(out + "/result.json", encoding="utf-8").read())
        sys.exit = lambda code: None  # a replaced sys.exit that returns
        print("returned", materialize_asset("orvan_test_raisers", "loud", out))
    """, path=[tmp_path])
    assert result.returncode == 0, result.stderr[-2000:]
    lines = result.stdout.splitlines()
    assert lines[0] == ('loud 1 {"error":"Loud: <exception str() failed>",'
                        '"error_type":"Loud","ok":false}')
    assert lines[1] == ('exits 1 {"error":"SystemExit: \ufffd\ufffd\ufffd surrogate code",'
                        '"error_type":"SystemExit","ok":false}')
    assert lines[2].startswith('deep 1 {"error":"RecursionError: maximum recursion depth')
    assert lines[3] == "returned None"
