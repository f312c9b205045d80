"""Threads calling every entry point at once. The interpreter lock is held
throughout, but the Python code the module calls (json, inspect, pathlib,
imports, the original functions) lets other threads run mid-call; a tiny
switch interval makes that happen as often as possible."""

import importlib
import json
import sys
import threading

import pytest

from entry_cases import PIPELINE, provoke_internal_fault, silenced_fd2
from hardening_support import isolated, scratch_dir
from orvan._orvan import asset, inspect_modules, materialize_asset, partitions

THREADS = 6
ROUNDS = 600


@pytest.fixture
def tiny_switch_interval():
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        yield
    finally:
        sys.setswitchinterval(previous)


def run_together(workers):
    """Starts every worker at once and returns what they raised."""
    start = threading.Barrier(len(workers))
    failures = []

    def run(worker, index):
        start.wait()
        try:
            worker(index)
        except BaseException as exc:  # noqa: BLE001 - reported by the test
            failures.append((index, exc))

    threads = [threading.Thread(target=run, args=(w, i)) for i, w in enumerate(workers)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return failures


@isolated  # a race the module loses may crash the interpreter
def test_every_entry_point_at_once(make_module, tmp_path, tiny_switch_interval):
    name = make_module(PIPELINE)
    module = importlib.import_module(name)
    report = inspect_modules([name])
    expected_records = json.loads(report)["assets"]
    assert [r["function_name"] for r in expected_records] == ["doubled", "raw"]
    wrapper = module.doubled

    def declare(index):
        for i in range(ROUNDS):
            keys = [index, i, f"t{index}-{i}", {"b": i, "a": [index]}]
            marker = partitions(keys)
            assert repr(marker) == "Partitions(4 values)"
            declared = asset(name=f"n{index}", inputs={"data": module.raw, "text": "ref"},
                             partitions={"k": marker}, serializer="json")(module.echo)
            metadata = declared.__orvan_metadata__
            assert metadata["name"] == f"n{index}"
            assert metadata["inputs"]["data"].endswith(":raw")
            values = json.loads(metadata["partitions"]["k"]["values_json"])
            assert values == [index, i, f"t{index}-{i}", {"a": [index], "b": i}]
            assert declared(index, i, key=index) == ((index, i), {"key": index})

    def read(index):
        for i in range(ROUNDS * 4):
            metadata = wrapper.__orvan_metadata__
            assert json.loads(metadata["partitions"]["day"]["values_json"]) == ["mon", "tue"]
            assert (wrapper.__name__, wrapper.__orvan_kind__) == ("doubled", "asset")
            assert wrapper(data=[i]) == [2 * i]

    def inspect(index):
        for _ in range(ROUNDS // 3):
            assert json.loads(inspect_modules([name, "orvan_test_no_such_module"]))[
                "assets"] == expected_records

    with scratch_dir(tmp_path) as root:
        def materialize(index):
            out = root / f"thread-{index}"
            for i in range(ROUNDS // 3):
                materialize_asset(name, "doubled", str(out), json.dumps({"data": [i, index]}))
                assert json.loads((out / "value.json").read_text()) == [2 * i, 2 * index]
                assert json.loads((out / "result.json").read_text())["ok"] is True

        workers = [declare, read, inspect, materialize] * (THREADS // 4 + 1)
        with silenced_fd2():  # skip warnings of the missing module
            failures = run_together(workers[:THREADS])
    assert failures == []


@isolated  # a list or dictionary changed under a walk may crash the interpreter
def test_arguments_changed_by_other_threads_mid_call(make_module, tiny_switch_interval):
    """A list or dictionary that another thread changes while the module reads
    it gives a consistent result, or, for a dictionary, the internal fault
    the walk guard raises; never a crash."""
    module = importlib.import_module(make_module(PIPELINE))
    fault = provoke_internal_fault()
    keys = list(range(64))
    inputs = {f"p{i}": module.raw for i in range(8)}  # each value runs inspect/pathlib
    stop = threading.Event()
    outcomes = {"markers": 0, "decorators": 0, "faults": 0}

    def mutate(index):
        i = 0
        while not stop.is_set():
            i += 1
            if index == 0:
                keys.pop() if len(keys) > 32 else keys.extend(range(i, i + 32))
            else:
                inputs.pop(f"x{i - 1}", None)
                inputs[f"x{i}"] = "ref"

    def read_list(index):
        for _ in range(ROUNDS * 2):
            marker = partitions(keys)
            count = int(repr(marker).split("(")[1].split()[0])
            values = json.loads(asset(partitions={"k": marker})(len).__orvan_metadata__[
                "partitions"]["k"]["values_json"])
            assert len(values) == count and all(isinstance(v, int) for v in values)
            outcomes["markers"] += 1

    def read_dict(index):
        for _ in range(ROUNDS):
            try:
                declared = asset(inputs=inputs)(len)
            except BaseException as exc:  # noqa: BLE001 - the fault derives from BaseException
                assert type(exc) is fault, exc
                assert str(exc) in ("dictionary changed size during iteration",
                                    "dictionary keys changed during iteration")
                outcomes["faults"] += 1
                continue
            references = declared.__orvan_metadata__["inputs"]
            assert all(v == "ref" or v.endswith(":raw") for v in references.values())
            outcomes["decorators"] += 1

    def bounded(worker):
        def run(index):
            try:
                worker(index)
            finally:
                stop.set()
        return run

    with silenced_fd2():  # the fault reports
        failures = run_together([mutate, mutate, bounded(read_list), bounded(read_dict)])
    assert failures == []
    assert outcomes["markers"] == ROUNDS * 2
    assert outcomes["decorators"] + outcomes["faults"] == ROUNDS
