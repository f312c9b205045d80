"""Operating a pipeline through the command: selection, backfills of
partitions, retries and per-asset settings, progress lines, logs, JSON and
graph output, and the small things (version, usage, status exit)."""

import json
import re
import subprocess
import time

import pytest
from cli_helpers import on_both_catalogs, project  # noqa: F401  (fixture)
from ui_helpers import UiProcess

# a -> b -> c -> d, b -> e, and a lone asset; grid is partitioned two ways.
CHAIN = """\
from orvan import asset, partitions

@asset()
def a():
    return 1

@asset(inputs={"x": a})
def b(x):
    return x + 1

@asset(inputs={"x": b})
def c(x):
    return x + 1

@asset(inputs={"x": c})
def d(x):
    return x + 1

@asset(inputs={"x": b})
def e(x):
    return x * 10

@asset()
def lone():
    return 0
"""

GRID = """\
from orvan import asset, partitions

DAYS = ["d3", "d1", "d2", "d4"]  # declared order is not sorted order

@asset(partitions={"day": partitions(DAYS)})
def daily(day):
    return day

@asset(inputs={"daily": daily}, partitions={"day": partitions(DAYS), "region": partitions(["eu", "us", "asia"])})
def grid(daily, day, region):
    return f"{daily}/{region}"

@asset(inputs={"grid": grid})
def total(grid):
    return len(grid)
"""


@pytest.fixture
def pipe(project):
    project.write("pp/chain.py", CHAIN)
    project.write("pp/grid.py", GRID)
    project.write("pyproject.toml", '[tool.orvan]\nmodules = ["pp.chain", "pp.grid"]\n')
    return project


def selected(project, *select: str) -> list[str]:
    args = [x for s in select for x in ("--select", s)]
    r = project.orvan("list", "--json", *args)
    assert r.returncode == 0, r.stderr
    return [a["key"] for a in json.loads(r.stdout)["assets"]]


def ran(project) -> set[str]:
    return {f"{k}{p}" for (k, p), s in project.statuses().items() if s == "done"}


@pytest.mark.parametrize("terms, expected", [
    (["pp.chain.c"], "c"),
    (["c"], "c"),  # the function name alone, when unique
    (["+c"], "a b c"),
    (["c+"], "c d"),
    (["+c+"], "a b c d"),
    (["b+"], "b c d e"),
    (["b+1"], "b c e"),
    (["1+d"], "c d"),
    (["2+d+"], "b c d"),
    (["pp.chain.[cd]"], "c d"),
    (["pp.chain.*e"], "e lone"),
    (["a,lone", "d"], "a d lone"),  # commas and repeats add up, in graph order
    (["a+", "+e"], "a b c d e"),
])
def test_selection_operators(pipe, terms, expected):
    assert selected(pipe, *terms) == ["pp.chain." + k for k in ["a", "b", "c", "d", "e", "lone"] if k in expected.split()]


@pytest.mark.parametrize("term, message", [
    ("pp.chain.dd", "did you mean 'pp.chain.d'?"),
    ("pp.nothing.*", "no asset key matches"),
    ("+", "no asset named"),
    ("c++", "expected [N]+NAME or NAME+[N]"),
])
def test_a_bad_selection_is_a_usage_error_naming_what_is_wrong(pipe, term, message):
    # The three commands share the parsing: one term is enough to see each uses it.
    for command in ("list", "status", "run") if term == "+" else ("list",):
        r = pipe.orvan(command, "--select", term)
        assert r.returncode == 2 and message in r.stderr, (command, r.stderr)
    assert not (pipe.out / "catalog.sqlite").exists()


def test_select_never_swallows_modules_and_runs_only_what_it_needs(pipe):
    r = pipe.orvan("run", "--select", "c", "pp.chain", "pp.grid")
    assert r.returncode == 0, r.stdout + r.stderr
    assert ran(pipe) == {"pp.chain.a", "pp.chain.b", "pp.chain.c"}
    # Upstream of the selection runs only when not fresh.
    r = pipe.orvan("run", "-s", "d", "-s", "e")
    assert ran(pipe) == {"pp.chain.d", "pp.chain.e"}
    assert pipe.statuses()[("pp.chain.b", "")] == "fresh"


def grid_jobs(project) -> set[tuple[str, str]]:
    return {(json.loads(p)["day"], json.loads(p)["region"]) for (k, p), s in project.statuses().items()
            if k == "pp.grid.grid" and s == "done"}


@pytest.mark.parametrize("partitions, expected", [
    (["day=d1..d4"], {(d, r) for d in ["d1", "d2", "d4"] for r in ["eu", "us", "asia"]}),  # declared order
    (["day=d3", "region=eu,asia"], {("d3", "eu"), ("d3", "asia")}),
    (["region=?s*", "day=d2..d2"], {("d2", "us"), ("d2", "asia")}),
])
def test_partition_subsets_run_those_jobs_and_the_upstream_partitions_they_read(pipe, partitions, expected):
    args = [x for p in partitions for x in ("--partition", p)]
    r = pipe.orvan("run", "--select", "grid", *args)
    assert r.returncode == 0, r.stdout + r.stderr
    assert grid_jobs(pipe) == expected
    days = {d for d, _ in expected}
    assert {k for k, s in pipe.statuses().items() if k[0] == "pp.grid.daily"} == {
        ("pp.grid.daily", json.dumps({"day": d}, separators=(",", ":"))) for d in days}
    assert not any(k == "pp.grid.total" for k, _ in pipe.statuses())


@pytest.mark.parametrize("partition, message", [
    ("day=d5", "'d5' is not a declared key (did you mean 'd4'?)"),
    ("day=d4..d1", "comes after"),
    ("day=d1..", "both ends"),
    ("month=jan", "no selected asset is partitioned by 'month'"),
    ("region", "expected DIM=VALUE"),
])
def test_a_bad_partition_subset_is_a_usage_error(pipe, partition, message):
    r = pipe.orvan("run", "--select", "grid", "--partition", partition)
    assert r.returncode == 2 and message in r.stderr, r.stderr


FLAKY = """\
import os
from orvan import asset

@asset()
def flaky():
    print("attempt at", os.getcwd(), flush=True)
    if not os.path.exists("memory"):
        open("memory", "w").close()
        raise RuntimeError("first attempt fails")
    return 42

@asset(inputs={"x": flaky})
def after(x):
    return x
"""


@on_both_catalogs
def test_a_flaky_asset_passes_on_a_retry_and_every_attempt_is_recorded(project):
    project.write("fk/m.py", FLAKY)
    r = project.orvan("run", "fk.m", "--retries", "1", "--retry-delay", "0.05")
    assert r.returncode == 0, r.stdout + r.stderr
    assert "retry    fk.m.flaky: attempt 1 failed: RuntimeError: first attempt fails" in r.stdout
    assert "succeeded on a retry:\n  fk.m.flaky (attempt 2)" in r.stdout
    assert project.value("fk.m.after") == 42
    row = next(j for j in project.jobs() if j["asset_key"] == "fk.m.flaky")
    assert (row["status"], row["attempt"]) == ("done", 2)
    # Only the last attempt's files stay: its log says nothing of the first failure.
    assert "first attempt fails" not in (project.out / "fk.m.flaky" / "log.txt").read_text()
    attempts = [(a["attempt"], a["status"], a["error"], a["started_at"] <= a["ended_at"]) for a in project.query(
        "SELECT attempt, status, error, started_at, ended_at FROM attempts WHERE job_id=? ORDER BY attempt",
        (row["id"],))]
    assert attempts == [(1, "failed", "RuntimeError: first attempt fails", True), (2, "done", None, True)]
    history = json.loads(project.orvan("history", "--json").stdout)["runs"]
    assert history[0]["retries"] == 1 and history[0]["done"] == 2
    status = json.loads(project.orvan("status", "fk.m", "--json").stdout)["jobs"]
    assert [s["attempts"] for s in status] == [2, 1]
    ui = UiProcess(project, *(["--catalog", project.catalog] if project.catalog else []))
    try:
        code, page = ui.get("/job?key=fk.m.flaky")
    finally:
        ui.stop()
    assert code == 200 and "<summary>2</summary>" in page, page
    assert "try 1: failed after" in page and "first attempt fails" in page and "try 2: done" in page


def test_without_retries_the_flaky_asset_fails_once_and_stops_its_downstream(project):
    project.write("fk/m.py", FLAKY)
    r = project.orvan("run", "fk.m")
    assert r.returncode == 1 and "retry" not in r.stdout
    assert project.statuses() == {("fk.m.flaky", ""): "failed", ("fk.m.after", ""): "not_run"}


SLOW = """\
import time
from orvan import asset

@asset()
def slow():
    for i in range(4):
        print("line", i, flush=True)
        time.sleep(0.4)
    return 1

@asset()
def quick():
    return 2
"""


def test_per_asset_timeout_from_pyproject_with_glob_and_exact_keys(project):
    project.write("sl/m.py", SLOW)
    project.write("pyproject.toml", '[tool.orvan]\nmodules = ["sl.m"]\n'
                  '[tool.orvan.assets."sl.m.*"]\ntimeout = 30\n'
                  '[tool.orvan.assets."sl.m.slow"]\ntimeout = 0.3\n')
    r = project.orvan("run", "--timeout", "100")
    assert r.returncode == 1
    assert project.statuses() == {("sl.m.slow", ""): "failed", ("sl.m.quick", ""): "done"}
    assert "timed out after 0.3 s" in r.stdout


@pytest.mark.parametrize("table, message", [
    ('[tool.orvan.assets."x"]\nretries = -1\n', "retries must be a whole number"),
    ('[tool.orvan.assets."x"]\ntimeout = 0\n', "timeout must be a positive number"),
    ('[tool.orvan.assets."x"]\nretry = 1\n', "unknown setting 'retry'"),
    ('[tool.orvan.assets]\nx = 1\n', "must be a table"),
])
def test_bad_per_asset_settings_are_reported_before_anything_runs(project, table, message):
    project.write("sl/m.py", SLOW)
    project.write("pyproject.toml", '[tool.orvan]\nmodules = ["sl.m"]\n' + table)
    r = project.orvan("run")
    assert r.returncode == 2 and message in r.stderr, r.stderr


def test_plain_progress_lines_quiet_and_verbose(pipe):
    plain = pipe.orvan("run", "-s", "+c", "-j", "1").stdout.splitlines()
    expected = []
    for i, name in enumerate("abc"):
        expected += [rf"\[{i}/3\] start    pp\.chain\.{name}", rf"\[{i + 1}/3\] done     pp\.chain\.{name} \(\d"]
    assert len(plain) > 6 and all(re.match(pattern, line) for pattern, line in zip(expected, plain)), plain
    quiet = pipe.orvan("run", "-s", "+c", "--force", "-q").stdout
    assert "start" not in quiet and "done     " not in quiet and "run 2: 3 jobs: 3 done" in quiet
    pipe.write("pp/loud.py", 'from orvan import asset\n\n@asset()\ndef loud():\n    print("hello\\nworld")\n'
                             '    return 1\n')
    verbose = pipe.orvan("run", "pp.loud", "-v").stdout
    assert "pp.loud.loud | hello\npp.loud.loud | world\n" in verbose


def test_logs_prints_and_follows_a_job_that_prints_slowly(project):
    project.write("sl/m.py", SLOW)
    runner = subprocess.Popen(project.command("run", "sl.m", "--select", "slow"), cwd=project.root,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 60
        while not (project.out / "sl.m.slow" / "log.txt").exists():
            assert time.monotonic() < deadline and runner.poll() is None
            time.sleep(0.02)
        followed = project.orvan("logs", "slow", "--follow", timeout=60)
        # It kept reading until the job ended, so it saw every line.
        assert followed.returncode == 0 and followed.stdout.splitlines() == [f"line {i}" for i in range(4)]
    finally:
        assert runner.wait(60) == 0
    r = project.orvan("logs", "sl.m.slow", "--run", "1")
    assert r.stdout.startswith("line 0\n")
    assert project.orvan("logs", "slow", "--run", "2").returncode == 2
    missing = project.orvan("logs", "slw")
    assert missing.returncode == 2 and "did you mean 'sl.m.slow'?" in missing.stderr


def test_logs_of_a_partition_and_a_log_replaced_by_a_later_run(pipe):
    pipe.orvan("run", "-s", "grid", "-p", "day=d1", "-p", "region=eu")
    assert pipe.orvan("logs", "grid", "-p", "day=d1,region=eu").returncode == 0
    assert pipe.orvan("logs", "grid", "-p", "day=d1", "-p", "region=us").returncode == 2
    pipe.orvan("run", "-s", "grid", "-p", "day=d1", "-p", "region=eu", "--force")
    r = pipe.orvan("logs", "grid", "-p", "day=d1,region=eu", "--run", "1")
    assert r.returncode == 2 and "replaced by run 2" in r.stderr


def test_json_output_of_list_status_and_history(pipe):
    listed = json.loads(pipe.orvan("list", "--json", "-s", "grid").stdout)
    assert listed == {"assets": [{
        "key": "pp.grid.grid", "module": "pp.grid", "function": "grid", "inputs": {"daily": "pp.grid.daily"},
        "partitions": {"day": ["d3", "d1", "d2", "d4"], "region": ["eu", "us", "asia"]},
        "source": str(pipe.root / "pp" / "grid.py")}], "problems": []}
    assert json.loads(pipe.orvan("history", "--json").stdout) == {"runs": []}
    pipe.orvan("run", "-s", "+c")
    status = pipe.orvan("status", "--json", "-s", "b+1")
    doc = json.loads(status.stdout)
    assert [(j["label"], j["state"], j["attempts"]) for j in doc["jobs"]] == [
        ("pp.chain.b", "fresh", 1), ("pp.chain.c", "fresh", 1), ("pp.chain.e", "missing", 0)]
    assert doc["counts"] == {"fresh": 2, "stale": 0, "failed": 0, "interrupted": 0, "blocked": 0, "missing": 1,
                             "running": 0}
    run = json.loads(pipe.orvan("history", "--json").stdout)["runs"][0]
    assert (run["id"], run["status"], run["done"], run["retries"]) == (1, "ok", 3, 0)
    assert run["ended_at"] >= run["started_at"]


def test_status_exit_is_zero_only_when_every_selected_job_is_fresh(pipe):
    assert pipe.orvan("status", "-s", "+c").returncode == 1  # nothing run yet
    pipe.orvan("run", "-s", "+c")
    assert pipe.orvan("status", "-s", "+c").returncode == 0
    assert pipe.orvan("status", "-s", "c+").returncode == 1  # d is missing
    assert pipe.orvan("status", "-s", "grid", "-p", "day=d1").returncode == 1
    assert pipe.orvan("status", "-s", "c+", "--why").returncode == 0  # it explains; the plain form gates


def test_graph_formats(pipe):
    mermaid = pipe.orvan("graph", "-s", "grid+").stdout.splitlines()
    assert mermaid == ["```mermaid", "flowchart LR", '    a0["pp.grid.grid [day(4), region(3)]"]',
                       '    a1["pp.grid.total"]', "    a0 --> a1", "```"]
    dot = pipe.orvan("graph", "--format", "dot", "-s", "+b").stdout
    assert '"pp.chain.a" -> "pp.chain.b";' in dot and dot.startswith("digraph") and "pp.chain.c" not in dot


def test_version_and_a_bad_flag_gets_the_subcommands_usage(project):
    version = project.orvan("--version")
    assert version.returncode == 0 and version.stdout.startswith("orvan 0.")
    for command, *rest in (["run"], ["status"], ["logs", "KEY"]):
        r = project.orvan(command, *rest, "--no-such-flag")
        assert r.returncode == 2 and r.stderr.startswith(f"usage: orvan {command} "), r.stderr
        assert "unrecognized arguments: --no-such-flag" in r.stderr
    for args in (["--help"], ["run", "--help"]):
        helptext = project.orvan(*args).stdout
        assert all(word in helptext for word in ("+KEY", "2024-01-02..", "--retries", '[tool.orvan.assets."')), args
