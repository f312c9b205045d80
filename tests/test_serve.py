"""`orvan serve`: automations on a cron schedule (on a clock the tests set,
through ORVAN_SERVE_CLOCK) and on edits (in real time), their ticks in the
catalog, `orvan ticks`, the automations page, and the faults: kill -9 and
catch-up, modules that fail to import, failing runs, overlapping ticks,
SIGTERM."""

from __future__ import annotations

import json
import os
import re
import signal
import sqlite3
import subprocess
import time
import urllib.request
from datetime import datetime
from pathlib import Path

import pytest

from cli_helpers import Project, gone, project, wait_for  # noqa: F401  (fixture)

PIPE = """
from orvan import asset

@asset()
def a():
    return {a}

@asset(inputs={{"a": a}})
def b(a):
    return a + 1
"""

SLOW = """
import os, time
from orvan import asset

@asset()
def slow():
    while not os.path.exists({gate!r}):
        time.sleep(0.02)
    return 1
"""


def at(text: str) -> float:
    return datetime.fromisoformat(text).timestamp()


class Served:
    """`orvan serve` in the project, believing the time is what the test says."""

    def __init__(self, project: Project, automations: str, modules: str = "pp.m"):
        self.project = project
        self.clock = project.root / "clock"
        self.output = project.root / "serve.out"
        (project.root / "pyproject.toml").write_text(
            f'[tool.orvan]\nmodules = ["{modules}"]\n\n' + automations)
        self.proc: subprocess.Popen | None = None
        self.url = ""

    def start(self, now: str | None) -> Served:
        """With `now` None, on the system's clock."""
        env = dict(os.environ, COLUMNS="200")
        if now is not None:
            self.set(now)
            env["ORVAN_SERVE_CLOCK"] = str(self.clock)
        with open(self.output, "a") as out:
            self.proc = subprocess.Popen(self.project.command("serve", "--port", "0"), cwd=self.project.root,
                                         stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, env=env)
        wait_for(lambda: "at http://" in self.output.read_text() or self.proc.poll() is not None, "serve to listen")
        found = re.findall(r"at (http://\S+/)", self.output.read_text())
        assert found, self.output.read_text()
        self.url = found[-1]
        return self

    def set(self, now: str) -> None:
        tmp = self.clock.with_suffix(".tmp")
        tmp.write_text(now)
        tmp.replace(self.clock)

    def ticks(self, automation: str | None = None) -> list[dict]:
        path = self.project.out / "catalog.sqlite"
        if not path.exists():
            return []
        db = sqlite3.connect(path)
        db.row_factory = sqlite3.Row
        try:
            rows = db.execute("SELECT * FROM ticks ORDER BY id").fetchall()
        except sqlite3.OperationalError:
            return []
        finally:
            db.close()
        return [dict(r) for r in rows if automation is None or r["automation"] == automation]

    def settled(self, count: int) -> list[dict]:
        """The ticks, once there are `count` and none is going."""
        wait_for(lambda: len(self.ticks()) >= count and all(t["outcome"] != "running" for t in self.ticks()),
                 f"{count} settled ticks (have {self.ticks()})")
        return self.ticks()

    def page(self, path: str) -> str:
        with urllib.request.urlopen(self.url.rstrip("/") + path, timeout=10) as r:
            return r.read().decode()

    def stop(self, signum: int = signal.SIGTERM) -> int:
        assert self.proc is not None
        self.proc.send_signal(signum)
        return self.proc.wait(timeout=60)

    def kill(self) -> None:
        assert self.proc is not None
        self.proc.kill()
        self.proc.wait(timeout=30)


@pytest.fixture
def served(tmp_path):
    made: list[Served] = []

    def make(automations: str, modules: str = "pp.m") -> Served:
        made.append(Served(Project(tmp_path), automations, modules))
        return made[-1]
    yield make
    for s in made:
        if s.proc is not None and s.proc.poll() is None:
            s.kill()


def one_job(project: Project, column: str, value: object = None) -> bool:
    """Whether the latest run has one job, whose `column` is `value` (or, with None, set)."""
    try:
        jobs = project.jobs() if (project.out / "catalog.sqlite").exists() else []
    except sqlite3.OperationalError:  # the catalog is being created
        return False
    return len(jobs) == 1 and (jobs[0][column] is not None if value is None else jobs[0][column] == value)


def outcomes(ticks: list[dict]) -> list[tuple[str, str | None]]:
    return [(t["outcome"], t["reason"]) for t in ticks]


def test_cron_ticks_run_what_is_stale_and_are_shown_by_ticks_history_and_the_page(served):
    s = served('[tool.orvan.automations.hourly]\nselect = "+pp.m.b"\ncron = "*/5 * * * *"\n'
               'timezone = "Europe/Paris"\n')
    s.project.write("pp/m.py", PIPE.format(a=1))
    s.start("2026-01-01T10:01:00+01:00")
    time.sleep(0.5)
    assert s.ticks() == []  # nothing was due
    s.set("2026-01-01T10:05:00+01:00")
    first = s.settled(1)[0]
    assert (first["trigger"], first["due_at"], first["outcome"]) == ("cron", at("2026-01-01T10:05:00+01:00"), "ran")
    assert s.project.value("pp.m.b") == 2
    s.set("2026-01-01T10:12:00+01:00")
    second = s.settled(2)[1]
    assert (second["due_at"], second["outcome"], second["reason"], second["run_id"]) == (
        at("2026-01-01T10:10:00+01:00"), "skipped", "fresh", None)

    second = s.project.orvan("serve", "--port", "0", timeout=60)
    assert second.returncode == 2 and "another orvan serve is using" in second.stderr

    page = s.page("/automations")
    assert "hourly" in page and "*/5 * * * *" in page and "fresh" in page and f"/run/{first['run_id']}" in page
    assert datetime.fromtimestamp(at("2026-01-01T10:15:00+01:00")).strftime("%H:%M") in page  # the next tick
    listed = json.loads(s.project.orvan("ticks", "hourly", "--json").stdout)["ticks"]
    assert [(t["id"], t["outcome"], t["reason"]) for t in listed] == [(2, "skipped", "fresh"), (1, "ran", None)]
    assert "fresh" in s.project.orvan("ticks").stdout
    runs = json.loads(s.project.orvan("history", "--json").stdout)["runs"]
    assert [(r["id"], r["automation"]) for r in runs] == [(first["run_id"], "hourly")]
    assert s.stop() == 0


@pytest.mark.parametrize("catch_up, expected", [
    ("all", [("catch-up", "ran", None), ("catch-up", "skipped", "fresh"), ("catch-up", "skipped", "fresh")]),
    ("latest", [("cron", "skipped", "missed while serve was down (catch_up = latest)")] * 2
     + [("catch-up", "ran", None)]),
    ("none", [("cron", "skipped", "missed while serve was down (catch_up = none)")] * 3),
])
def test_serve_killed_mid_run_and_restarted_ticks_each_missed_instant_once_by_its_catch_up(
        served, catch_up, expected):
    s = served(f'[tool.orvan.automations.h]\ncron = "0 * * * *"\ntimezone = "UTC"\ncatch_up = "{catch_up}"\n')
    gate = s.project.root / "gate"
    s.project.write("pp/m.py", SLOW.format(gate=str(gate)))
    s.start("2026-03-01T10:30:00+00:00")
    s.set("2026-03-01T11:00:00+00:00")
    wait_for(lambda: one_job(s.project, "status", "running"), "the 11:00 run to start its job")
    s.kill()  # -9, mid-run
    gate.touch()
    s.project.write("pp/m.py", SLOW.format(gate=str(gate)) + "\n# edited while serve was down\n")
    s.start("2026-03-01T14:30:00+00:00")
    ticks = s.settled(4)
    assert (ticks[0]["due_at"], ticks[0]["outcome"], ticks[0]["reason"]) == (
        at("2026-03-01T11:00:00+00:00"), "interrupted", "serve stopped before the tick ended")
    later = ticks[1:]
    assert [t["due_at"] for t in later] == [at(f"2026-03-01T{h}:00:00+00:00") for h in (12, 13, 14)]
    assert [(t["trigger"], t["outcome"], t["reason"]) for t in later] == expected
    time.sleep(0.5)
    assert len(s.ticks()) == 4  # none twice
    history = json.loads(s.project.orvan("history", "--json").stdout)["runs"]
    assert history[-1]["status"] == "abandoned"
    assert len(history) == 1 + sum(outcome == "ran" for _, outcome, _ in expected)
    assert s.stop() == 0


BROKEN = "from orvan import asset\n\n@asset()\ndef a():\n    return undefined_name\n"


def test_an_import_failure_and_a_failing_run_are_ticks_and_the_schedule_goes_on(served):
    s = served('[tool.orvan.automations.m]\ncron = "* * * * *"\n')
    s.project.write("pp/m.py", "from orvan import asset\nimport no_such_module_here\n")
    s.start("2026-05-01T08:00:30+00:00")
    s.set("2026-05-01T08:01:00+00:00")
    first = s.settled(1)[0]
    assert first["outcome"] == "skipped"
    assert first["reason"].startswith("module failed to import: 'pp.m'") and "no_such_module_here" in first["reason"]
    s.project.write("pp/m.py", BROKEN)
    s.set("2026-05-01T08:02:00+00:00")
    second = s.settled(2)[1]
    assert (second["outcome"], second["reason"]) == ("failed", "some jobs failed or did not run")
    assert second["run_id"] is not None
    s.project.write("pp/m.py", BROKEN.replace("undefined_name", "41 + 1"))
    s.set("2026-05-01T08:03:00+00:00")
    third = s.settled(3)[2]
    assert (third["outcome"], third["reason"]) == ("ran", None)
    assert s.project.value("pp.m.a") == 42
    assert s.stop(signal.SIGINT) == 0


def test_ticks_that_come_due_during_the_run_are_skipped_never_run_alongside(served):
    s = served('[tool.orvan.automations.m]\ncron = "* * * * *"\n')
    gate = s.project.root / "gate"
    s.project.write("pp/m.py", SLOW.format(gate=str(gate)))
    s.start("2026-05-01T08:00:30+00:00")
    s.set("2026-05-01T08:01:00+00:00")
    wait_for(lambda: len(s.ticks()) == 1 and s.ticks()[0]["run_id"] is not None, "the 08:01 run")
    for minute in ("02", "03"):
        s.set(f"2026-05-01T08:{minute}:00+00:00")
        time.sleep(0.3)
    assert len(s.ticks()) == 1  # nothing ticks while the run goes
    gate.touch()
    ticks = s.settled(3)
    assert outcomes(ticks) == [("ran", None), ("skipped", "previous run still going"),
                               ("skipped", "previous run still going")]
    s.set("2026-05-01T08:04:00+00:00")
    assert outcomes(s.settled(4))[3] == ("skipped", "fresh")
    assert s.stop() == 0


def test_sigterm_stops_the_run_serve_started_and_a_manual_run_meanwhile_is_refused(served):
    s = served('[tool.orvan.automations.m]\ncron = "* * * * *"\n')
    s.project.write("pp/m.py", SLOW.format(gate=str(s.project.root / "never")))
    s.start("2026-05-01T08:00:30+00:00")
    s.set("2026-05-01T08:01:00+00:00")
    wait_for(lambda: one_job(s.project, "pid"), "the job's process")
    worker = s.project.jobs()[0]["pid"]
    manual = s.project.orvan("run")
    assert manual.returncode == 2 and "another orvan run is using" in manual.stderr
    assert s.stop() == 0
    wait_for(lambda: gone(worker), "the job's process to end")
    assert s.project.jobs()[0]["status"] == "interrupted"
    assert outcomes(s.ticks()) == [("interrupted", "serve was stopped during the run")]


def test_a_tick_waits_for_a_manual_run_and_then_finds_its_work_done(served):
    s = served('[tool.orvan.automations.m]\ncron = "* * * * *"\n')
    gate = s.project.root / "gate"
    s.project.write("pp/m.py", SLOW.format(gate=str(gate)))
    manual = s.project.popen("run")
    try:
        wait_for(lambda: one_job(s.project, "status", "running"), "the manual run's job")
        s.start("2026-05-01T08:00:30+00:00")
        s.set("2026-05-01T08:01:00+00:00")
        wait_for(lambda: len(s.ticks()) == 1, "the tick")
        time.sleep(1.5)
        assert s.ticks()[0]["outcome"] == "running"  # queued behind the manual run
        gate.touch()
        assert manual.wait(timeout=60) == 0
    finally:
        if manual.poll() is None:
            manual.kill()
            manual.wait()
    assert outcomes(s.settled(1)) == [("skipped", "fresh")]
    assert [r["automation"] for r in json.loads(s.project.orvan("history", "--json").stdout)["runs"]] == [None]
    assert s.stop() == 0


def test_partitions_latest_runs_the_newest_key_only(served):
    s = served('[tool.orvan.automations.daily]\ncron = "0 6 * * *"\npartitions = "latest"\n')
    s.project.write("pp/m.py", """
        from orvan import asset, partitions

        @asset(partitions={"day": partitions(["2026-01-01", "2026-01-02", "2026-01-03"])})
        def sales(day):
            return day
        """)
    s.start("2026-01-03T05:59:00+00:00")
    s.set("2026-01-03T06:00:00+00:00")
    tick = s.settled(1)[0]
    assert (tick["outcome"], json.loads(tick["partitions"])) == ("ran", ["day=2026-01-03"])
    assert s.project.statuses(tick["run_id"]) == {("pp.m.sales", '{"day":"2026-01-03"}'): "done"}
    assert s.stop() == 0


def test_on_change_runs_when_the_code_is_edited_in_real_time(served):
    s = served('[tool.orvan.automations.dev]\nselect = "+pp.m.b"\non_change = true\n')
    s.project.write("pp/m.py", PIPE.format(a=1))
    s.start(None)
    assert s.settled(1)[0]["outcome"] == "ran"  # the tick at start: edits made while serve was down
    (s.project.root / "notes.txt").write_text("not code")
    time.sleep(1.5)
    assert len(s.ticks()) == 1
    s.project.write("pp/m.py", PIPE.format(a=5))
    ticks = s.settled(2)
    assert (ticks[1]["trigger"], ticks[1]["outcome"]) == ("on_change", "ran")
    assert s.project.value("pp.m.b") == 6
    assert s.stop() == 0


def test_on_change_runs_when_another_run_changed_a_value_its_selection_reads(served):
    s = served('[tool.orvan.automations.down]\nselect = "pp.m.b"\non_change = true\n')
    data = s.project.root / "data.txt"
    data.write_text("1")
    s.project.write("pp/m.py", PIPE.format(a=f"int(open({str(data)!r}).read())"))
    s.start(None)
    assert outcomes(s.settled(1)) == [("ran", None)]
    data.write_text("5")  # not code: no tick of its own
    assert s.project.orvan("run", "-s", "pp.m.a", "--force").returncode == 0
    ticks = s.settled(2)
    assert (ticks[1]["trigger"], ticks[1]["outcome"]) == ("on_change", "ran")
    assert s.project.value("pp.m.b") == 6
    assert [r["automation"] for r in json.loads(s.project.orvan("history", "--json").stdout)["runs"]] == [
        "down", None, "down"]
    assert s.stop() == 0


@pytest.mark.parametrize("table, message", [
    ('cron = "0 6 * * *"\non_change = true', "one trigger"),
    ('select = "a"', "one trigger"),
    ('cron = "0 25 * * *"', "cron '0 25 * * *'"),
    ('cron = "0 6 * * *"\ntimezone = "Mars/Olympus"', "unknown timezone 'Mars/Olympus'"),
    ('cron = "0 6 * * *"\ncatch_up = "some"', "catch_up must be one of latest, all, none"),
    ('on_change = true\npartitions = "oldest"', 'partitions can only be "latest"'),
    ('on_change = true\nevery = 5', "unknown key 'every'"),
])
def test_a_declaration_that_is_not_an_automation_is_refused_by_name(project, table, message):
    (project.root / "pyproject.toml").write_text(
        f'[tool.orvan]\nmodules = ["pp.m"]\n\n[tool.orvan.automations.nightly]\n{table}\n')
    project.write("pp/m.py", PIPE.format(a=1))
    r = project.orvan("serve", "--port", "0", timeout=60)
    assert r.returncode == 2 and "[tool.orvan.automations.nightly]" in r.stderr and message in r.stderr
    assert not Path(project.out, "catalog.sqlite").exists()
