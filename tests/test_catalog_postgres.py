"""A catalog several runners share, in a real PostgreSQL server the tests
start: each output location a namespace of its own, one run at a time per
location, readers beside a run, a server restarted under a run, and a
project's history moved in and out."""

import signal
import subprocess
import sys
import time

import psycopg
import pytest
from cli_helpers import Project, wait_for
from pg_server import PgServer
from test_cli_faults import assert_one_line_error
from ui_helpers import UiProcess

from orvan.catalog.locate import namespace_of
from orvan.catalog.schema import SCHEMA_VERSION

# Each job writes down that it ran, and the one named `wait` holds on until
# the test lets it go.
GATED = """\
import os, time
from orvan import asset, partitions

def _ran(name):
    with open(f"ran-{name}", "a") as f:
        f.write("x")

@asset(partitions={"n": partitions(list(range(1, 7)))})
def step(n):
    _ran(f"step-{n}")
    if n == 6:
        open("waiting", "w").close()
        while not os.path.exists("release"):
            time.sleep(0.05)
    return n

@asset(inputs={"s": step})
def gather(s):
    _ran("gather")
    return sorted(s.values())
"""
JOBS = [f"step-{n}" for n in range(1, 7)] + ["gather"]


def gated(root, url) -> Project:
    project = Project(root, url)
    project.write("g.py", GATED)
    return project


def runs_of(project: Project) -> dict[str, int]:
    """How many times each job's function ran."""
    return {name: len((project.root / f"ran-{name}").read_text()) for name in JOBS
            if (project.root / f"ran-{name}").exists()}


def release(project: Project) -> None:
    (project.root / "release").touch()


def test_two_locations_share_one_database_and_see_each_others_runs(tmp_path, postgres):
    url = postgres.database()
    # One names the database in its environment, the other in pyproject.toml.
    first, second = gated(tmp_path / "a", url), gated(tmp_path / "b", None)
    second.write("pyproject.toml", f'[tool.orvan]\ncatalog = "{url}"\n')
    for project in (first, second):
        release(project)
    hosts = [first.popen("run", "g"), second.popen("run", "g")]
    assert [host.wait(timeout=120) for host in hosts] == [0, 0]
    assert not (second.out / "catalog.sqlite").exists()
    second.catalog = url
    for project in (first, second):
        assert runs_of(project) == dict.fromkeys(JOBS, 1)
        status = project.orvan("status", "g")
        assert status.returncode == 0 and "7 fresh" in status.stdout
        assert status.stdout.startswith(f"catalog: {namespace_of(str(project.out))} at {url}\n")
    shown = first.orvan("history").stdout
    assert namespace_of(str(first.out)) in shown and namespace_of(str(second.out)) in shown
    # Each location keeps its own runs: one run each, both numbered 1.
    assert [r["status"] for r in first.query("SELECT status FROM runs")] == ["ok"]


def test_a_second_runner_on_the_same_location_is_refused_as_with_sqlite_and_a_killed_one_frees_it(
        tmp_path, postgres):
    refusals = []
    for name, url in (("sqlite", None), ("postgresql", postgres.database())):
        project = gated(tmp_path / name, url)
        host = project.popen("run", "g")
        try:
            wait_for(lambda: (project.root / "waiting").exists(), "the gated job to start")
            second = project.orvan("run", "g")
            refusals.append((second.returncode, second.stderr.replace(str(project.root), "ROOT")))
            assert_one_line_error(second, "another orvan run is using")
            if url is None:
                continue
            host.send_signal(signal.SIGKILL)
            host.wait(timeout=30)
            (project.root / "waiting").unlink()
            # The server dropped the killed runner's connection, and its lock with it.
            wait_for(lambda: project.orvan("history").stdout.count("abandoned") == 1, "the killed run to be seen")
            release(project)
            again = project.orvan("run", "g")
            assert again.returncode == 0, again.stdout + again.stderr
            assert project.orvan("status", "g").returncode == 0
            assert runs_of(project)["gather"] == 1
        finally:
            release(project)
            host.wait(timeout=60)
    assert refusals[0] == refusals[1]


def test_readers_neither_block_a_run_nor_wait_for_it(tmp_path, postgres):
    project = gated(tmp_path, postgres.database())
    project.write("pyproject.toml", '[tool.orvan]\nmodules = ["g"]\n')
    host = project.popen("run", "g")
    reader = None
    try:
        wait_for(lambda: (project.root / "waiting").exists(), "the gated job to start")
        # A reader holding a transaction open over every table the run writes.
        reader = psycopg.connect(project.catalog)
        reader.execute("SELECT set_config('search_path', %s, false)", (_schema(project),))
        reader.execute("SELECT COUNT(*) FROM jobs JOIN runs ON runs.id = jobs.run_id").fetchall()
        reader.execute("SELECT COUNT(*) FROM latest").fetchall()
        started = time.monotonic()
        for command in (("status", "g"), ("history",), ("show", "g.step", "-p", "n=1"), ("logs", "g.step", "-p", "n=1")):
            result = project.orvan(*command, timeout=30)
            assert result.returncode in (0, 1), (command, result.stderr)
        assert "running" in project.history()[1]
        ui = UiProcess(project, "--catalog", project.catalog)
        try:
            status, html = ui.get("/runs")
            assert status == 200 and "running" in html
        finally:
            assert "Traceback" not in ui.stop()
        assert time.monotonic() - started < 30
        release(project)
        assert host.wait(timeout=60) == 0
    finally:
        release(project)
        host.wait(timeout=60)
        if reader is not None:
            reader.close()
    assert runs_of(project) == dict.fromkeys(JOBS, 1)


def _schema(project: Project) -> str:
    from orvan.catalog.postgres import schema_of

    return schema_of(namespace_of(str(project.out)))


def test_a_server_restarted_under_a_run_is_reconnected_to_and_nothing_runs_twice(tmp_path, postgres):
    project = gated(tmp_path, postgres.database())
    host = project.popen("run", "g", "-j", "2")
    try:
        wait_for(lambda: (project.root / "waiting").exists(), "the gated job to start")
        postgres.restart()
        release(project)
        assert host.wait(timeout=120) == 0
    finally:
        release(project)
        host.wait(timeout=60)
    assert runs_of(project) == dict.fromkeys(JOBS, 1)
    assert {r["status"] for r in project.jobs()} == {"done"}
    again = project.orvan("run", "g")
    assert again.returncode == 0 and "7 fresh" in again.stdout and runs_of(project) == dict.fromkeys(JOBS, 1)


def test_a_server_gone_for_good_stops_the_run_cleanly_and_the_next_one_does_only_what_was_not_recorded(tmp_path):
    server = PgServer()
    try:
        project = gated(tmp_path, server.database())
        out = tmp_path / "run.out"
        with open(out, "w") as sink:
            host = subprocess.Popen(project.command("run", "g"), cwd=project.root, stdout=sink, stderr=sink,
                                    stdin=subprocess.DEVNULL, env=project.env())
        wait_for(lambda: (project.root / "waiting").exists(), "the gated job to start")
        server.stop()
        release(project)
        assert host.wait(timeout=120) == 1
        text = out.read_text()
        assert "did not come back within 30 s" in text and "Traceback" not in text
        server.start()
        recorded = {r["asset_key"] + r["partition"] for r in project.jobs() if r["status"] == "done"}
        assert 'g.step{"n":"6"}' not in recorded and "g.gather" not in recorded
        again = project.orvan("run", "g")
        assert again.returncode == 0, again.stdout + again.stderr
        # What was recorded done is not redone; what was not is.
        ran = runs_of(project)
        assert all(ran[f"step-{n}"] == 1 for n in range(1, 6) if f'g.step{{"n":"{n}"}}' in recorded)
        assert ran["step-6"] == 2
    finally:
        server.close()


def test_a_projects_history_moves_to_a_database_and_back_with_the_same_status(tmp_path, postgres):
    project = gated(tmp_path, None)
    release(project)
    for _ in range(2):
        assert project.orvan("run", "g").returncode == 0
    before = project.orvan("status", "g").stdout
    history = project.history()
    url = postgres.database().replace("orvan@", "orvan:s3cret@")
    moved = project.orvan("catalog", "copy", "--from", str(project.out / "catalog.sqlite"), "--to", url)
    assert moved.returncode == 0 and "copied 2 runs, 14 job rows" in moved.stdout
    assert "s3cret" not in moved.stdout and "orvan:***@" in moved.stdout
    shared = Project(project.root, url)
    status = shared.orvan("status", "g")
    assert status.stdout.split("\n", 1)[1] == before and "s3cret" not in status.stdout
    assert shared.history() == history
    # A run recorded there continues the numbering, and records no password.
    assert "run 3:" in shared.orvan("run", "g", "--catalog", url).stdout
    argv = shared.query("SELECT argv FROM runs WHERE id = 3")[0]["argv"]
    assert "orvan:***@" in argv and "s3cret" not in argv

    for leftover in project.out.glob("catalog.sqlite*"):
        leftover.unlink()
    back = project.orvan("catalog", "copy", "--from", url, "--to", str(project.out / "catalog.sqlite"))
    assert back.returncode == 0 and "copied 3 runs, 21 job rows" in back.stdout
    assert project.orvan("status", "g").stdout == before
    refused = project.orvan("catalog", "copy", "--from", url, "--to", str(project.out / "catalog.sqlite"))
    assert_one_line_error(refused, "already records runs")


def test_a_namespace_from_a_newer_orvan_is_refused_and_a_missing_driver_is_named(tmp_path, postgres):
    project = gated(tmp_path, postgres.database())
    release(project)
    assert project.orvan("run", "g").returncode == 0
    with psycopg.connect(project.catalog, autocommit=True) as conn:
        conn.execute("UPDATE orvan_namespaces SET version = %s", (SCHEMA_VERSION + 1,))
    for command in (("run", "g"), ("status", "g"), ("history",)):
        assert_one_line_error(project.orvan(*command), "written by a newer orvan", "upgrade orvan")
    without = subprocess.run(
        [sys.executable, "-c", "import runpy, sys; sys.modules['psycopg'] = None; sys.argv = ['orvan', 'history'];"
         " runpy.run_module('orvan', run_name='__main__')"],
        cwd=project.root, capture_output=True, text=True, env=project.env(), timeout=60)
    assert_one_line_error(without, "pip install 'orvan[postgres]'")
    not_a_url = project.orvan("history", "--catalog", "mysql://x")
    assert_one_line_error(not_a_url, "postgresql://USER@HOST:PORT/DB")
