"""Every entry point, on its success and error paths, repeated thousands of
times: no growth of traced memory, of pymalloc blocks or of the C heap, and no
change in the reference counts of the objects passed in. The cases are the
shared table in entry_cases.py."""

import ctypes
import importlib
import sys

import pytest

import entry_cases as cases
from entry_cases import fresh, provoke_internal_fault, silenced_fd2
from hardening_support import (
    SANITIZED,
    assert_no_leak,
    isolated,
    c_heap_in_use,
    leak_limits,
    measure,
    scratch_dir,
)


@pytest.fixture
def out_dir(tmp_path):
    with scratch_dir(tmp_path) as path:
        yield path


@pytest.fixture
def modules(make_module):
    names = {
        "pipeline": make_module(cases.PIPELINE),
        "junk": make_module(cases.UNSERIALISABLE_METADATA),
        "broken": make_module(cases.BROKEN),
    }
    importlib.import_module(names["pipeline"])
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


# --- asset(), the decorator, partitions() and the wrapper -----------------------

TABLES = {
    "asset": (cases.asset_cases, cases.ASSET_CASES),
    "partitions": (cases.partitions_cases, cases.PARTITIONS_CASES),
    "wrapper": (cases.wrapper_cases, cases.WRAPPER_CASES),
}
_built = {}


def case_table(entry):
    """Built when first needed, not at collection: a crash while building the
    table would otherwise take the whole run down before any test reports."""
    if entry not in _built:
        build, names = TABLES[entry]
        table = build()
        assert list(table) == names
        _built[entry] = table
    return _built[entry]


@pytest.mark.parametrize("entry, case", [(entry, case) for entry, (_, names) in TABLES.items()
                                         for case in names])
def test_declarations_and_wrappers(entry, case):
    call, watch = case_table(entry)[case]
    assert_no_leak(call, watch=watch)


def test_asset_reference_to_a_decorated_function(modules):
    call, watch = cases.reference_case(sys.modules[modules["pipeline"]])
    assert_no_leak(call, iterations=400, watch=watch)


@isolated  # an entry freed under the walk would crash the interpreter
def test_dictionary_changed_during_the_walk():
    call, watch = cases.dictionary_changed_case(provoke_internal_fault())
    with silenced_fd2():
        assert_no_leak(call, watch=watch)


# --- inspect_modules -------------------------------------------------------------

@pytest.mark.parametrize("case", cases.INSPECT_CASES)
def test_inspect_modules(modules, case):
    call, watch = cases.inspect_cases(modules)[case]
    with silenced_fd2():
        assert_no_leak(call, iterations=300, watch=watch)


# --- materialize_asset -----------------------------------------------------------

@pytest.mark.parametrize("case", list(cases.MATERIALIZE_RUNS))
def test_materialize_asset_runs(modules, out_dir, case):
    call, watch = cases.materialize_run_case(modules["pipeline"], str(out_dir / "out"), case)
    assert_no_leak(call, iterations=400, watch=watch)


def test_materialize_asset_missing_module(out_dir):
    call, watch = cases.missing_module_case(str(out_dir))
    assert_no_leak(call, iterations=400, watch=watch)


@pytest.mark.parametrize("case", cases.SETUP_FAILURES)
def test_materialize_asset_setup_failures(modules, out_dir, case):
    existing_file = out_dir / "a_file"
    existing_file.write_text("")
    call, watch = cases.setup_failure_case(modules["pipeline"], str(out_dir / "out"),
                                           str(existing_file), case)
    assert_no_leak(call, watch=watch)


def test_fault_raised_by_the_asset_is_passed_on(modules, out_dir):
    fault = provoke_internal_fault()
    sys.modules[modules["pipeline"]].FAULT = fault
    call, watch = cases.fault_in_asset_case(modules["pipeline"], str(out_dir), fault)
    with silenced_fd2():
        assert_no_leak(call, iterations=400, watch=watch)
