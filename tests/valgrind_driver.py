"""Exercises every entry point of orvan._orvan, on its success and error
paths, a few times over, for a run under valgrind memcheck
(scripts/valgrind.sh). Plain Python, no pytest: the fewer other allocations
in the run, the easier the report is to read. Exits non-zero if an outcome is
not the expected one, so that a silently broken run cannot pass.

`valgrind_driver.py --summarize LOG EXTENSION` reads the memcheck log
afterwards: it prints the summary lines, then every invalid access and every
definitely lost block that the extension's own code allocated, and exits 1 if
there is any."""

import contextlib
import importlib
import json
import os
import re
import sys
import tempfile
import textwrap
from pathlib import Path

from orvan._orvan import AssetWrapper, Partitions, asset, inspect_modules, materialize_asset, partitions

ROUNDS = int(os.environ.get("ORVAN_VALGRIND_ROUNDS", "3"))

PIPELINE = """
from orvan import asset, partitions

@asset()
def raw():
    return [1, 2, 3]

@asset(name="doubled", inputs={"data": raw}, serializer="json",
       partitions={"day": partitions(["mon", "tue", {"b": 1.5, "a": None}])})
def doubled(data, day="mon") -> list:
    return [x * 2 for x in data]

def boom():
    raise ValueError("lone \\udc80 surrogate")

class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no text")

def unprintable():
    raise Unprintable()

def interrupted():
    raise KeyboardInterrupt

def a_set():
    return {1, 2}

def raise_fault():
    raise FAULT("from the asset")
"""

JUNK = """
class Junk:
    __orvan_kind__ = "asset"
    __orvan_metadata__ = {1, 2}
"""


def expect(exc_type, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except BaseException as exc:  # noqa: BLE001
        if type(exc) is not exc_type:
            raise AssertionError(f"{call.__name__}: {exc!r}, expected {exc_type.__name__}")
        return exc
    raise AssertionError(f"{call.__name__} returned, expected {exc_type.__name__}")


@contextlib.contextmanager
def quiet_fd2():
    # Skip warnings and fault reports go to fd 2 directly; valgrind writes its
    # log to a file, so silencing fd 2 hides nothing of its report.
    saved = os.dup(2)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 2)
    try:
        with open(os.devnull, "w") as sink, contextlib.redirect_stderr(sink):
            yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(null)


def fault_class():
    class Shrinking(str):
        @property
        def __orvan_kind__(self):
            inputs.clear()
            raise AttributeError("not an asset")

    inputs = {"a": Shrinking("ref"), "b": "ref"}
    return type(expect_any(asset, inputs=inputs))


def expect_any(call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except BaseException as exc:  # noqa: BLE001
        return exc
    raise AssertionError(f"{call.__name__} returned")


def declarations(module):
    marker = partitions([1, -(2**63), 2**64 - 1, 2.5, "caf\u00e9", None, True, [1, {"k": []}]])
    assert repr(marker) == "Partitions(8 values)"
    decorator = asset(name="n", serializer="s", inputs={"data": module.raw, "text": "ref"},
                      partitions={"day": marker, "empty": partitions([])})
    wrapper = decorator(module.doubled.__wrapped__)
    metadata = wrapper.__orvan_metadata__
    assert metadata["inputs"]["data"].endswith(":raw")
    assert json.loads(metadata["partitions"]["day"]["values_json"])[4] == "caf\u00e9"
    assert (wrapper.__name__, wrapper.__qualname__, wrapper.__module__) == (
        "doubled", "doubled", module.__name__)
    assert wrapper.__orvan_kind__ == "asset" and wrapper.__wrapped__ is wrapper.__orvan_original__
    assert wrapper(data=[1]) == [2] and wrapper([2], "tue") == [4]

    class Holder:
        attribute = wrapper

    assert Holder().attribute is wrapper
    around_int = asset()(5)
    expect(TypeError, around_int)
    expect(AttributeError, getattr, around_int, "__qualname__")
    expect(AttributeError, setattr, wrapper, "__name__", "x")
    expect(TypeError, AssetWrapper)
    expect(TypeError, Partitions, [])

    # asset(): every failure step.
    expect(TypeError, asset, len)
    expect(TypeError, asset, nam="x")
    expect(TypeError, asset, name=1)
    expect(TypeError, asset, serializer=b"s")
    expect(UnicodeEncodeError, asset, name="\udc80")
    expect(TypeError, asset, inputs=[("a", "b")])
    expect(TypeError, asset, inputs={1: "b"})
    expect(TypeError, asset, inputs={"a": 5})
    expect(TypeError, asset, inputs={"a": asset()(len)})  # no source file
    expect(TypeError, asset, partitions=[])
    expect(TypeError, asset, partitions={2: marker})
    expect(TypeError, asset, partitions={"d": [1]})
    expect(TypeError, decorator)
    expect(TypeError, decorator, len, len)

    # partitions(): every failure step.
    expect(TypeError, partitions)
    expect(TypeError, partitions, [], values=[])
    expect(TypeError, partitions, ("a",))
    expect(TypeError, partitions, [object()])
    expect(ValueError, partitions, [float("nan")])
    expect(ValueError, partitions, [float("-inf")])
    expect(ValueError, partitions, [10**400])
    expect(ValueError, partitions, ["\ud800"])
    deep = []
    for _ in range(130):
        deep = [deep]
    expect(ValueError, partitions, [deep])

    nested = wrapper
    for _ in range(50):
        nested = asset()(nested)
    assert nested(data=[3]) == [6]


def inspection(names, fault):
    report = json.loads(inspect_modules([names["pipeline"], "orvan_test_no_such_module",
                                         names["broken"]]))
    assert [r["function_name"] for r in report["assets"]] == ["doubled", "raw"]
    assert json.loads(inspect_modules(modules=()))["assets"] == []
    expect(TypeError, inspect_modules, [names["junk"]])
    expect(TypeError, inspect_modules, ["sys"])
    expect(TypeError, inspect_modules, "abc")
    expect(TypeError, inspect_modules, {"a"})
    expect(TypeError, inspect_modules, ["a", 1])
    expect(UnicodeEncodeError, inspect_modules, ["\udc80"])
    expect(TypeError, inspect_modules)
    expect(TypeError, inspect_modules, [], [])


def materialisation(names, out, a_file):
    module = names["pipeline"]
    assert materialize_asset(module, "raw", out) is None
    assert materialize_asset(module, "doubled", out, '{"data": [1, 2], "day": "tue"}') is None
    assert json.loads(Path(out, "value.json").read_text()) == [2, 4]
    for function, kwargs in [("boom", None), ("unprintable", None), ("interrupted", None),
                             ("a_set", None), ("nosuch", None), ("raw", "[1]"), ("raw", "{"),
                             ("raw", '{"surplus": 1}')]:
        expect(SystemExit, materialize_asset, module, function, out, kwargs)
        assert json.loads(Path(out, "result.json").read_text())["ok"] is False
    expect(SystemExit, materialize_asset, "orvan_test_no_such_module", "raw", out)
    expect(FileExistsError, materialize_asset, module, "raw", a_file)
    expect(TypeError, materialize_asset, module, 1, out)
    expect(UnicodeEncodeError, materialize_asset, module, "r\udc80", out)
    expect(TypeError, materialize_asset, module)
    expect(TypeError, materialize_asset, module, "raw", out, None, None)


def main():
    with tempfile.TemporaryDirectory() as root:
        sys.path.insert(0, root)
        names = {"pipeline": "orvan_vg_pipeline", "junk": "orvan_vg_junk",
                 "broken": "orvan_vg_broken"}
        for key, source in (("pipeline", PIPELINE), ("junk", JUNK),
                            ("broken", "raise RuntimeError('broken')\n")):
            Path(root, names[key] + ".py").write_text(textwrap.dedent(source))
        importlib.invalidate_caches()
        module = importlib.import_module(names["pipeline"])
        a_file = str(Path(root, "a_file"))
        Path(a_file).write_text("")
        with quiet_fd2():
            fault = fault_class()
            module.FAULT = fault
            for _ in range(ROUNDS):
                declarations(module)
                inspection(names, fault)
                materialisation(names, str(Path(root, "out")), a_file)
                expect(fault, materialize_asset, names["pipeline"], "raise_fault",
                       str(Path(root, "out")))
        del module
        for name in names.values():
            sys.modules.pop(name, None)
    print("valgrind driver: every entry point answered as expected")


# --- reading memcheck's log ------------------------------------------------------

ACCESS = re.compile(
    r"Invalid (read|write|free)|Mismatched free|uninitialised|Source and destination overlap")
SUMMARY = re.compile(r"(definitely|indirectly|possibly) lost:|still reachable:|ERROR SUMMARY")
FRAME = re.compile(r"(at|by) 0x[0-9A-Fa-f]+:")


def frames(block):
    return [line for line in block.splitlines() if FRAME.search(line)]


def made_by(block, extension):
    """Allocated by the extension's own code: walking up from the allocator,
    an extension frame comes before any frame of the interpreter's eval loop.
    Blocks allocated by Python code that the extension called (imports, the
    asset function, the standard library) belong to that code."""
    stack = frames(block)
    ours = next((i for i, f in enumerate(stack) if extension in f or "orvan::" in f), None)
    python = next((i for i, f in enumerate(stack) if "_PyEval_EvalFrame" in f), None)
    return ours is not None and (python is None or ours < python)


def summarize(log_path, extension):
    with open(log_path, encoding="utf-8", errors="replace") as log:
        text = log.read()
    # Each report is a block of "==pid== " lines ended by an empty one.
    blocks = re.split(r"\n==\d+== \n", text)
    access = [b for b in blocks if ACCESS.search(b)]
    lost = [b for b in blocks if "definitely lost in loss record" in b]
    below = [b for b in lost if extension in b or "orvan::" in b]
    ours = [b for b in below if made_by(b, extension)]
    for line in text.splitlines():
        if SUMMARY.search(line):
            print(line)
    print(f"invalid accesses or uses of uninitialised memory: {len(access)}")
    print(f"definitely lost records: {len(lost)}; with {extension} on the allocating stack: "
          f"{len(below)}; allocated by its own code: {len(ours)}")
    for block in access + ours:
        print(block, end="\n\n")
    return 1 if access or ours else 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["--summarize"]:
        sys.exit(summarize(*sys.argv[2:4]))
    main()
