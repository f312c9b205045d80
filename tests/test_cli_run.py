"""The orvan command end to end: a pipeline package in a temporary directory,
run with `python -m orvan` as a subprocess."""

import signal
import sqlite3
import subprocess
import sys
from pathlib import Path

import pytest
from cli_helpers import gone, max_overlap, on_both_catalogs, project, wait_for  # noqa: F401  (fixture)

PRICES = """\
from orvan import asset, partitions

SCALE = 10

@asset(partitions={"ticker": partitions(["AAPL", "a/b", "..", "é", ".hidden"])})
def prices(ticker):
    return {"ticker": ticker, "price": len(ticker) * SCALE}

@asset(name="total", inputs={"prices": prices})
def total(prices):
    return sum(p["price"] for p in prices.values())
"""

REPORT = """\
from orvan import asset
from pipe.prices import prices

@asset(inputs={"t": "total"})
def report(t):
    return f"total={t}"
"""


@pytest.fixture
def pipe(project):
    project.write("pipe/prices.py", PRICES)
    project.write("pipe/report.py", REPORT)
    project.write("pyproject.toml", '[tool.orvan]\nmodules = ["pipe.prices", "pipe.report"]\n')
    return project



def catalog_count(project, status: str) -> int:
    try:
        rows = project.query("SELECT COUNT(*) AS n FROM jobs WHERE status=?", (status,))
    except sqlite3.OperationalError:  # not created yet
        return 0
    return rows[0]["n"] if rows else 0


@on_both_catalogs
def test_run_stores_every_value_and_a_second_run_skips_everything_as_fresh(pipe):
    first = pipe.orvan("run", "-j", "2")
    assert first.returncode == 0, first.stdout + first.stderr
    assert "run 1: 7 jobs: 7 done, 0 fresh" in first.stdout
    assert pipe.value("pipe.prices.prices", "ticker=a%2Fb") == {"ticker": "a/b", "price": 30}
    # odd keys become reversible, non-hidden names
    assert {p.name for p in (pipe.out / "pipe.prices.prices").iterdir()} == {
        "ticker=AAPL", "ticker=a%2Fb", "ticker=%2E.", "ticker=%C3%A9", "ticker=%2Ehidden"}
    assert (pipe.out / "total" / "log.txt").exists() and pipe.value("pipe.report.report") == "total=170"

    second = pipe.orvan("run")
    assert second.returncode == 0 and "run 2: 7 jobs: 0 done, 7 fresh" in second.stdout
    assert set(pipe.statuses().values()) == {"fresh"}

    shown = pipe.orvan("show", "pipe.prices.prices", "--partition", "ticker=..")
    assert shown.returncode == 0 and '"price": 20' in shown.stdout
    missing = pipe.orvan("show", "pipe.prices.prices")
    assert missing.returncode == 2 and "--partition ticker=é" in missing.stderr
    history = pipe.history()
    # done, fresh, failed, interrupted, not run, pending
    assert history[1].split()[-6:] == ["0", "7", "0", "0", "0", "0"]
    assert history[2].split()[-6:] == ["7", "0", "0", "0", "0", "0"]
    assert pipe.orvan("status").stdout.splitlines()[-1] == "7 fresh, 0 stale, 0 failed, 0 missing (7 jobs)"


def test_list_shows_keys_resolved_inputs_partitions_and_files(pipe):
    out = pipe.orvan("list")
    assert out.returncode == 0, out.stderr
    rows = {line.split()[0]: line.split() for line in out.stdout.splitlines()[1:]}
    assert rows["pipe.prices.prices"][1:] == ["-", "ticker(5)", "pipe/prices.py"]
    assert rows["pipe.report.report"][1:3] == ["t=total", "-"]
    assert rows["total"][1] == "prices=pipe.prices.prices"


def test_a_module_without_assets_is_an_error(pipe):
    pipe.write("pipe/empty.py", "X = 1\n")
    nothing = pipe.orvan("run", "pipe.empty")
    assert nothing.returncode == 2 and "no assets found in pipe.empty" in nothing.stderr


MAPPING = """\
from orvan import asset, partitions

DAYS = partitions(["mon", "tue"])

@asset(partitions={"region": partitions(["eu", "us"]), "day": DAYS})
def sales(day, region):
    return f"{day}-{region}"

@asset(inputs={"s": sales}, partitions={"day": DAYS})
def by_day(s, day):
    return s

@asset(inputs={"s": sales})
def everything(s):
    return s

@asset()
def rate():
    return 3

@asset(inputs={"r": rate, "s": sales}, partitions={"region": partitions(["eu", "us"]), "day": DAYS})
def scaled(r, s, day, region):
    return [r, s]
"""


def test_partition_mapping_rules(project):
    project.write("m.py", MAPPING)
    out = project.orvan("run", "m")
    assert out.returncode == 0, out.stdout + out.stderr
    assert project.value("m.by_day", "day=tue") == {"eu": "tue-eu", "us": "tue-us"}
    assert project.value("m.everything") == {"mon": {"eu": "mon-eu", "us": "mon-us"},
                                             "tue": {"eu": "tue-eu", "us": "tue-us"}}
    assert project.value("m.scaled", "day=mon", "region=us") == [3, "mon-us"]


FAILING = """\
import time
from orvan import asset, partitions

@asset(partitions={"n": partitions([1, 2, 3])})
def a(n):
    if n == 2:
        raise ValueError("n=2 is bad")
    return n

@asset(inputs={"a": a}, partitions={"n": partitions([1, 2, 3])})
def b(a, n):
    return a

@asset(inputs={"a": a})
def c(a):
    return a

@asset()
def slow():
    time.sleep(120)

@asset(inputs={"s": slow})
def after_slow(s):
    return s
"""


@on_both_catalogs
def test_failures_and_timeouts_stop_their_downstream_only(project):
    project.write("f.py", FAILING)
    out = project.orvan("run", "f", "--timeout", "2")
    assert out.returncode == 1
    rows = {(r["asset_key"], r["partition"]): r for r in project.jobs()}
    assert rows[("f.a", '{"n":"2"}')]["error"] == "ValueError: n=2 is bad"
    assert rows[("f.slow", "")]["status"] == "failed" and "timed out after 2 s" in rows[("f.slow", "")]["error"]
    not_run = {k for k, r in rows.items() if r["status"] == "not_run"}
    assert not_run == {("f.b", '{"n":"2"}'), ("f.c", ""), ("f.after_slow", "")}
    assert rows[("f.b", '{"n":"3"}')]["status"] == "done"
    assert "not run:\n  f.b[n=2]: upstream f.a[n=2] failed" in out.stdout
    assert "ValueError" in (project.out / "f.a" / "n=2" / "log.txt").read_text()


TWO_MODULES = {
    "inc/one.py": """\
from orvan import asset

LIMIT = 3

@asset()
def base():
    return list(range(LIMIT))

@asset(inputs={"b": base})
def doubled(b):
    return [x * 2 for x in b]

@asset()
def other():
    return "x"
""",
    "inc/two.py": """\
from orvan import asset
from inc.one import doubled

@asset(inputs={"d": doubled})
def summed(d):
    return sum(d)

@asset()
def alone():
    return 1
""",
}


def ran(project) -> set[str]:
    return {r["asset_key"] for r in project.jobs() if r["status"] == "done"}


@pytest.mark.parametrize(
    "path, edit, rerun",
    [
        ("inc/one.py", ("return [x * 2 for x in b]", "return [x * 3 for x in b]"), {"inc.one.doubled", "inc.two.summed"}),
        ("inc/one.py", ("LIMIT = 3", "LIMIT = 4"), {"inc.one.base", "inc.one.doubled", "inc.one.other", "inc.two.summed"}),
        ("inc/two.py", ("return 1", "return 2"), {"inc.two.alone"}),
    ],
    ids=["function", "module-constant", "other-module"],
)
def test_source_edits_rerun_what_they_invalidate(project, path, edit, rerun):
    for p, src in TWO_MODULES.items():
        project.write(p, src)
    assert project.orvan("run", "inc.one", "inc.two").returncode == 0
    project.write(path, TWO_MODULES[path].replace(*edit))
    status = project.orvan("status", "inc.one", "inc.two").stdout
    assert {line.split()[0] for line in status.splitlines() if " stale " in line} == rerun
    assert project.orvan("run", "inc.one", "inc.two").returncode == 0
    assert ran(project) == rerun


def test_select_runs_unfresh_upstream_and_force_reruns_the_selection(project):
    for p, src in TWO_MODULES.items():
        project.write(p, src)
    mods = ["inc.one", "inc.two"]
    assert project.orvan("run", *mods, "--select", "inc.one.doubled").returncode == 0
    assert ran(project) == {"inc.one.base", "inc.one.doubled"}
    assert project.orvan("run", *mods, "--select", "inc.two.summed").returncode == 0
    assert project.statuses() == {("inc.one.base", ""): "fresh", ("inc.one.doubled", ""): "fresh",
                                  ("inc.two.summed", ""): "done"}
    assert project.orvan("run", *mods, "--select", "inc.two.summed", "--force").returncode == 0
    assert ran(project) == {"inc.two.summed"}
    assert project.orvan("run", *mods, "--force").returncode == 0
    assert len(ran(project)) == 5
    bad = project.orvan("run", *mods, "--select", "inc.one.nope")
    assert bad.returncode == 2 and "no such asset: 'inc.one.nope'" in bad.stderr


@pytest.mark.parametrize(
    "source, expected",
    [
        ('@asset(inputs={"x": "nowhere"})\ndef a(x):\n    return x\n',
         "asset 'bad.a': input 'x' refers to 'nowhere', which is not a known asset"),
        ('@asset(name="x", inputs={"v": "y"})\ndef a(v):\n    return v\n\n'
         '@asset(name="y", inputs={"v": "x"})\ndef b(v):\n    return v\n',
         "dependency cycle: x -> y -> x"),
        ('@asset(name="k")\ndef a():\n    return 1\n\n@asset(name="k")\ndef b():\n    return 2\n',
         "duplicate asset key 'k', declared by bad.a"),
    ],
    ids=["unknown-reference", "cycle", "duplicate-key"],
)
def test_broken_graphs_are_rejected_before_anything_runs(project, source, expected):
    project.write("bad.py", "from orvan import asset\n\n@asset()\ndef fine():\n    return 1\n\n" + source)
    out = project.orvan("run", "bad")
    assert out.returncode == 2 and expected in out.stderr
    assert not project.out.exists()


SLOW = """\
import os, time
from orvan import asset, partitions

@asset(partitions={"n": partitions(list(range(1, 7)))})
def step(n):
    # Written whole, then renamed: the test reads the pid as soon as the file appears.
    with open(f"pid-{n}.tmp", "w") as f:
        f.write(str(os.getpid()))
    os.replace(f"pid-{n}.tmp", f"pid-{n}")
    # the last job waits until the test lets it finish
    while n == 6 and not os.path.exists("release"):
        time.sleep(0.05)
    return n

@asset(inputs={"s": step})
def gather(s):
    return sorted(s.values())
"""



@on_both_catalogs
def test_a_run_killed_with_sigkill_is_completed_by_the_next_run(project):
    project.write("slow.py", SLOW)
    host = project.popen("run", "slow", "-j", "2")
    wait_for(lambda: catalog_count(project, "done") == 5 and (project.root / "pid-6").exists(), "the last job")
    host.kill()
    host.wait()
    assert project.statuses(1) == {**{("slow.step", f'{{"n":"{n}"}}'): "done" for n in range(1, 6)},
                                   ("slow.step", '{"n":"6"}'): "running", ("slow.gather", ""): "pending"}
    orphan = int((project.root / "pid-6").read_text())
    (project.root / "pid-6").unlink()

    # The next run first stops the worker the killed runner left, then redoes its job.
    second = project.popen("run", "slow")
    wait_for(lambda: gone(orphan), "the orphaned worker to be stopped")
    wait_for(lambda: (project.root / "pid-6").exists(), "the job to be redone")
    (project.root / "release").touch()
    assert second.wait(timeout=120) == 0
    assert project.statuses() == {**{("slow.step", f'{{"n":"{n}"}}'): "fresh" for n in range(1, 6)},
                                  ("slow.step", '{"n":"6"}'): "done", ("slow.gather", ""): "done"}
    assert project.value("slow.gather") == [1, 2, 3, 4, 5, 6]
    first = project.history()[2].split()
    assert first[0] == "1" and first[4] == "abandoned" and first[-3:] == ["1", "1", "0"]  # interrupted, not run, pending


def test_ctrl_c_stops_the_workers_and_records_what_was_interrupted(project):
    project.write("slow.py", SLOW)
    host = project.popen("run", "slow", "-j", "2")
    wait_for(lambda: (project.root / "pid-6").exists(), "the last job to start")
    host.send_signal(signal.SIGINT)
    assert host.wait(timeout=60) == 130
    pid = int((project.root / "pid-6").read_text())
    assert gone(pid)
    statuses = project.statuses()
    assert statuses[("slow.step", '{"n":"6"}')] == "interrupted" and statuses[("slow.gather", "")] == "not_run"
    assert "interrupted" in project.orvan("history").stdout.splitlines()[1]


def test_two_hundred_partitioned_jobs_with_two_workers(project):
    project.write("wide.py", """\
from orvan import asset, partitions

KEYS = partitions([f"k{i:03d}" for i in range(100)])

@asset(partitions={"key": KEYS})
def first(key):
    return key

@asset(inputs={"f": first}, partitions={"key": KEYS})
def second(f, key):
    return f + "!"
""")
    out = project.orvan("run", "wide", "-j", "2")
    assert out.returncode == 0, out.stdout[-2000:] + out.stderr
    rows = project.jobs()
    assert len(rows) == 200 and {r["status"] for r in rows} == {"done"}
    assert max_overlap(rows) == 2
    ended = {r["partition"]: r["ended_at"] for r in rows if r["asset_key"] == "wide.first"}
    assert all(r["started_at"] >= ended[r["partition"]] for r in rows if r["asset_key"] == "wide.second")
    assert project.value("wide.second", "key=k042") == "k042!"


@pytest.mark.parametrize("command", [[], ["list"], ["run"], ["status"], ["history"], ["show"]])
def test_every_subcommand_has_help(project, command):
    out = project.orvan(*command, "--help")
    assert out.returncode == 0 and out.stdout.startswith("usage: orvan")


def test_console_script_is_installed():
    script = Path(sys.executable).with_name("orvan")
    out = subprocess.run([script, "--help"], capture_output=True, text=True)
    assert out.returncode == 0 and "run" in out.stdout
