"""Asset checks: per partition, blocking or not, rerun only when the value or
the check changed; through the command and through orvan.testing."""

from __future__ import annotations

import json
import re
import subprocess
import sys

import pytest

from cli_helpers import project  # noqa: F401  (fixture)
from ui_helpers import UiProcess
from orvan.checks import CheckResult, Spec, check, run_check

PIPE = """\
from orvan import asset, partitions
from orvan.checks import check, CheckResult

CALLS = {calls!r}


def note(what):
    with open(CALLS, "a") as f:
        f.write(what + "\\n")


@asset(partitions={{"t": partitions(["a", "b"])}})
def up(t):
    return {{"t": t, "n": -1 if t == "b" else 1}}


@check(up, blocking=True)
def positive(value, t):
    note("positive " + t)
    return CheckResult(value["n"] > LIMIT, f"n is {{value['n']}} for {{t}}", {{"n": value["n"]}})


@check(up, name="has_t")
def loose(value):
    note("has_t")
    return value["t"] == "a"


@asset(partitions={{"t": partitions(["a", "b"])}}, inputs={{"x": up}})
def down(t, x):
    return x["n"] * 2


LIMIT = 0
"""


def calls(project) -> list[str]:
    path = project.root / "calls.txt"
    return path.read_text().split("\n")[:-1] if path.exists() else []


def test_a_blocking_check_holds_back_downstream_until_it_passes(project):
    source = PIPE.format(calls=str(project.root / "calls.txt"))
    project.write("cp/m.py", source)
    project.write("pyproject.toml", '[tool.orvan]\nmodules = ["cp.m"]\n')
    first = project.orvan("run")
    assert first.returncode == 1, first.stdout + first.stderr
    assert "error: check positive on cp.m.up[t=b] failed (blocking): n is -1 for b" in first.stdout
    assert "warning: check has_t on cp.m.up[t=b] failed" in first.stdout
    rows = {(r["asset_key"], json.loads(r["partition"])["t"]): r for r in project.jobs()}
    assert rows[("cp.m.down", "b")]["status"] == "not_run"
    assert rows[("cp.m.down", "b")]["error"] == "blocked by check positive on cp.m.up[t=b]"
    assert {rows[k]["status"] for k in [("cp.m.up", "a"), ("cp.m.up", "b"), ("cp.m.down", "a")]} == {"done"}
    assert project.value("cp.m.up", "t=b") == {"t": "b", "n": -1}  # the value stays stored
    assert sorted(calls(project)) == ["has_t", "has_t", "positive a", "positive b"]

    status = project.orvan("status", "--json")
    doc = json.loads(status.stdout)
    by_label = {j["label"]: j for j in doc["jobs"]}
    assert by_label["cp.m.down[t=b]"]["state"] == "blocked"
    assert by_label["cp.m.down[t=b]"]["reasons"][0] == "blocked by check positive on cp.m.up[t=b]"
    assert [(c["name"], c["state"]) for c in by_label["cp.m.up[t=b]"]["checks"]] == [
        ("positive", "failed"), ("has_t", "failed")]
    assert by_label["cp.m.up[t=b]"]["checks"][0]["metadata"] == {"n": -1}
    assert "checks" not in by_label["cp.m.down[t=a]"] and doc["counts"]["blocked"] == 1
    table = project.orvan("status")
    assert table.returncode == 1 and "failed: positive, has_t" in table.stdout and "1 blocked" in table.stdout
    why = project.orvan("status", "--why", "cp.m.up")
    assert "cp.m.up[t=b]: checks\n  - check positive failed (blocking): n is -1 for b" in why.stdout
    show = project.orvan("show", "cp.m.up", "--partition", "t=b")
    assert json.loads(show.stdout) == {"t": "b", "n": -1}
    assert "check positive failed (blocking)" in show.stderr
    ui = UiProcess(project)
    try:
        code, page = ui.get("/asset?key=cp.m.up")
    finally:
        ui.stop()
    rows_shown = dict(re.findall(r"<tr><td>(\w+)</td>(.*?)</tr>", page.split('id=checks', 1)[1]))
    assert code == 200 and set(rows_shown) == {"positive", "has_t"}
    assert "✓ 1<" in rows_shown["positive"] and "✕ 1<" in rows_shown["positive"]
    assert "cp.m.up[t=b]</a>" in rows_shown["has_t"] and "t=a" not in rows_shown["has_t"]
    cells = json.loads(re.search(r"<script type=\"application/json\" id=matrix-data>(.*?)</script>", page).group(1))
    assert cells["chk"] == [1]  # the matrix marks t=b, whose value failed a check

    # Nothing changed: no check reruns, and downstream stays held back.
    second = project.orvan("run")
    assert second.returncode == 1 and len(calls(project)) == 4
    assert project.statuses()[("cp.m.down", '{"t":"b"}')] == "not_run"

    # The asset reruns (its module changed) and writes the same values: the
    # outcomes stand, the checks do not rerun.
    source += "# edited\n"
    project.write("cp/m.py", source)
    third = project.orvan("run")
    assert third.returncode == 1
    assert project.statuses()[("cp.m.up", '{"t":"b"}')] == "done" and len(calls(project)) == 4

    # An edited check reruns alone, on the stored values; the block is lifted.
    project.write("cp/m.py", source.replace('value["n"] > LIMIT', 'value["n"] > LIMIT - 5'))
    fourth = project.orvan("run")
    assert fourth.returncode == 0, fourth.stdout + fourth.stderr
    statuses = project.statuses()
    assert statuses[("cp.m.up", '{"t":"b"}')] == "fresh" and statuses[("cp.m.down", '{"t":"b"}')] == "done"
    assert sorted(calls(project)[4:]) == ["has_t", "has_t", "positive a", "positive b"]
    assert "warning: check has_t on cp.m.up[t=b] failed" in fourth.stdout  # a warning only

    only = project.orvan("run", "--checks-only", "--select", "cp.m.up", "--partition", "t=a")
    assert only.returncode == 0, only.stdout + only.stderr
    assert calls(project)[8:] == ["positive a", "has_t"]
    assert project.statuses() == statuses  # no run was recorded


@pytest.mark.parametrize("function, passed, message", [
    (lambda v: True, True, None),
    (lambda v: False, False, None),
    (lambda v, t: CheckResult(t == "a", f"t={t}"), True, "t=a"),
    (lambda v, **keys: CheckResult(keys == {"t": "a", "u": 1}, None), True, None),
    (lambda v: 1 / 0, False, "raised ZeroDivisionError: division by zero"),
    (lambda v: "yes", False, "returned str, not a bool or CheckResult"),
])
def test_what_counts_as_passing(function, passed, message):
    spec = Spec("c", "k", "m", "f", True, "fp")
    outcome = run_check(spec, {"x": 1}, {"t": "a", "u": 1}, function)
    assert (outcome.passed, outcome.message, outcome.blocking) == (passed, message, True)


def test_check_refuses_what_is_not_an_asset():
    with pytest.raises(TypeError, match="takes an asset or its key"):
        check(42)
    assert check("pipe.raw", blocking=True)(lambda v: True).blocking


TESTED = """\
from orvan import asset
from orvan.checks import check

@asset()
def raw():
    return [1, -2]

@check(raw, blocking=True)
def no_negatives(value):
    return all(x >= 0 for x in value)

@asset(inputs={"data": raw})
def total(data):
    return sum(data)
"""


def test_materialize_runs_checks_and_blocks_like_a_run(make_module):
    import importlib

    from orvan.testing import materialize

    mod = importlib.import_module(make_module(TESTED))
    result = materialize([mod])
    assert [(o.name, o.passed) for o in result.checks[f"{mod.__name__}.raw"]] == [("no_negatives", False)]
    assert result.skipped == {f"{mod.__name__}.total": f"blocked by check no_negatives on {mod.__name__}.raw"}
    # A stubbed value is not checked: the test gave it.
    assert materialize([mod], values={mod.raw: [1, 2]})[mod.total] == 3


def test_the_inspection_reports_checks_beside_the_assets(make_module, tmp_path):
    name = make_module(TESTED)
    root = next(p for p in sys.path if (tmp_path / "modules").as_posix() == p)
    proc = subprocess.run([sys.executable, "-m", "orvan.inspect", "--strict", name], cwd=root,
                          capture_output=True, text=True, timeout=120)
    report = json.loads(proc.stdout)
    (found,) = report["checks"]
    assert found["asset"].endswith(f"{name}.py:raw") and found["blocking"] is True
    assert found["attribute"] == "no_negatives" and "def no_negatives" in found["source"]


SOURCE_UP = """\
from orvan import asset

@asset()
def feed():
    return [3, 1, 2]
"""

CHECKED = """\
from orvan import asset
from orvan.checks import check


@asset(inputs={"data": "cq.feed.feed"})
def ranked(data):
    return sorted(data)


@check(ranked, blocking=True)
def small(value):
    return max(value) < LIMIT


@asset(inputs={"r": ranked})
def top(r):
    return r[-1]


LIMIT = 10
"""


def test_an_edited_check_reruns_on_a_value_found_unchanged_during_the_run(project):
    # `ranked` is settled fresh only once `feed` has rerun to the same bytes:
    # its edited check still runs, and blocks `top`.
    project.write("cq/feed.py", SOURCE_UP)
    project.write("cq/checked.py", CHECKED)
    project.write("pyproject.toml", '[tool.orvan]\nmodules = ["cq.feed", "cq.checked"]\n')
    assert project.orvan("run").returncode == 0
    project.write("cq/feed.py", SOURCE_UP + "# reruns, same value\n")
    project.write("cq/checked.py", CHECKED.replace("max(value) < LIMIT", "max(value) < LIMIT - 8"))
    second = project.orvan("run")
    assert second.returncode == 1, second.stdout + second.stderr
    statuses = project.statuses()
    assert statuses[("cq.feed.feed", "")] == "done" and statuses[("cq.checked.ranked", "")] == "fresh"
    assert statuses[("cq.checked.top", "")] == "not_run"
    assert "error: check small on cq.checked.ranked failed (blocking)" in second.stdout
