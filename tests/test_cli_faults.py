"""Faults end to end: killed runners, processes a job leaves behind, a full
disk, damaged catalogs and hostile names. Each case runs the real command in
a temporary project directory."""

import json
import os
import signal
import sqlite3
import subprocess
import sys
import time
from pathlib import Path

import pytest
from cli_helpers import gone, project, wait_for  # noqa: F401  (fixture)
from test_cli_correctness import HELD




def start_time(pid: int) -> str:
    return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[19]


def kill_runner(host: subprocess.Popen) -> None:
    host.kill()
    host.wait()


# -- processes --------------------------------------------------------------

# The job leaves a child in its process group that would write into the job's
# directory once told to ("go"), long after the job itself is over.
FORKER = """\
import os, time
from orvan import asset

@asset()
def forker():
    if os.fork() == 0:
        # Whole or not at all: the job may end, and its child be stopped,
        # the moment the name appears.
        with open("child.pid.part", "w") as f:
            f.write(str(os.getpid()))
        os.rename("child.pid.part", "child.pid")
        while not os.path.exists("go"):
            time.sleep(0.02)
        with open("late", "w") as f:
            f.write("written after the job")
        os._exit(0)
    while not os.path.exists("child.pid"):
        time.sleep(0.01)
    with open("job.pid", "w") as f:
        f.write(str(os.getpid()))
    while os.path.exists("hold"):
        time.sleep(0.02)
    return "version " + open("version").read()
"""


@pytest.fixture
def forker(project):
    project.write("forker.py", FORKER)
    (project.root / "version").write_text("1")
    yield project
    (project.root / "go").touch()  # lets a child that escaped finish


def test_a_child_forked_by_a_successful_job_ends_with_it(forker):
    project = forker
    assert project.orvan("run", "forker").returncode == 0
    child = int((project.root / "child.pid").read_text())
    wait_for(lambda: gone(child), "the job's child to be stopped", limit=5)
    (project.root / "go").touch()
    time.sleep(0.2)
    assert not (project.root / "late").exists()


def test_a_job_whose_runner_is_killed_stops_at_once(forker):
    project = forker
    (project.root / "hold").touch()
    host = project.popen("run", "forker")
    wait_for(lambda: (project.root / "job.pid").exists(), "the job to start")
    job = int((project.root / "job.pid").read_text())
    kill_runner(host)
    wait_for(lambda: gone(job), "the orphaned job to stop itself", limit=5)


@pytest.mark.parametrize("isolation", ["spawn", "fork"])
def test_the_next_run_stops_what_a_killed_run_left_however_out_is_spelt(forker, isolation):
    """The job dies with its runner; a spawned job's child lives on in the
    job's process group until the next run, given the output directory through
    a symlink, stops it by the pid and start time recorded in the catalog. (A
    fork server ends its jobs' groups itself when the runner is gone; the next
    run must find nothing left either way.)"""
    project = forker
    (project.root / "hold").touch()
    os.symlink(project.out, project.root / "link")
    host = project.popen("run", "forker", "--out", "link", "--isolation", isolation)
    wait_for(lambda: (project.root / "job.pid").exists(), "the job to start")
    kill_runner(host)
    child = int((project.root / "child.pid").read_text())
    assert isolation == "fork" or not gone(child)
    for name in ("hold", "job.pid", "child.pid"):
        (project.root / name).unlink()

    (project.root / "version").write_text("2")
    redo = project.orvan("run", "forker", "--out", str(project.out))
    assert redo.returncode == 0, redo.stderr
    assert gone(child)
    (project.root / "go").touch()
    time.sleep(0.2)
    assert project.value("forker.forker") == "version 2"
    assert "fresh" in project.orvan("status", "forker").stdout


@pytest.mark.parametrize("parent_is_expected", [True, False])
def test_stop_with_parent_kills_a_process_whose_parent_is_not_the_expected_one(parent_is_expected):
    """The check after arming the death signal: a parent that died before the
    call has been replaced (by init or a subreaper) by the time it runs."""
    code = ("import os, sys\nfrom orvan.process import stop_with_parent\n"
            "stop_with_parent(int(sys.argv[1]))\nprint('still here')\n")
    expected = os.getpid() if parent_is_expected else os.getpid() + 1
    result = subprocess.run([sys.executable, "-P", "-c", code, str(expected)], capture_output=True, text=True,
                            timeout=60)
    if parent_is_expected:
        assert (result.returncode, result.stdout) == (0, "still here\n")
    else:
        assert (result.returncode, result.stdout) == (-signal.SIGKILL, "")


def stranger_rows(project, processes: list[tuple[int, str]], where: str = "jobs") -> None:
    """A run that never ended, whose running jobs are recorded as these
    processes; or runs that never ended, each with its own (a fork server)."""
    db = sqlite3.connect(project.out / "catalog.sqlite")
    with db:
        run = db.execute("INSERT INTO runs (started_at, status, modules, argv) VALUES (1, 'running', '[]', '[]')")
        for n, (pid, started) in enumerate(processes):
            if where == "runs":
                db.execute("INSERT INTO runs (started_at, status, modules, argv, pid, pid_started)"
                           " VALUES (1, 'running', '[]', '[]', ?, ?)", (pid, started))
                continue
            db.execute("INSERT INTO jobs (run_id, asset_key, partition, fingerprint, status, pid, pid_started)"
                       " VALUES (?, ?, '', 'x', 'running', ?, ?)", (run.lastrowid, f"ghost{n}", pid, started))
    db.close()


@pytest.mark.parametrize("where", ["jobs", "runs"])
def test_a_recorded_process_is_stopped_only_while_its_start_time_matches(project, where):
    project.write("one.py", "from orvan import asset\n\n@asset()\ndef one():\n    return 1\n")
    assert project.orvan("run", "one").returncode == 0
    # In their own sessions, like workers: each leads its own process group.
    ours, reused = (subprocess.Popen(["sleep", "60"], start_new_session=True) for _ in range(2))
    try:
        # The second pid was recorded for a process that started earlier: it is someone else's now.
        stranger_rows(project, [(ours.pid, start_time(ours.pid)),
                                (reused.pid, str(int(start_time(reused.pid)) - 1))], where)
        assert project.orvan("run", "one").returncode == 0
        assert ours.wait(timeout=5) == -signal.SIGKILL
        time.sleep(0.05)
        assert reused.poll() is None
        assert "abandoned" in project.orvan("history").stdout
    finally:
        for proc in (ours, reused):
            proc.kill()
            proc.wait()


# -- a full disk --------------------------------------------------------------

@pytest.fixture
def small_disk(tmp_path):
    """A 5 MiB file system of its own, where mounting one is permitted."""
    disk = tmp_path / "disk"
    disk.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=5m", "tmpfs", str(disk)],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a small tmpfs here: {mounted.stderr.strip() or 'not permitted'}")
    try:
        yield disk
    finally:
        subprocess.run(["umount", "-l", str(disk)], check=False)


FILL = """\
import os, time
from orvan import asset

def fill(path):
    # Every last byte: the next catalog write must find no room.
    with open(path, "wb", buffering=0) as f:
        for size in (1 << 16, 1 << 12, 1 << 8, 1):
            try:
                while True:
                    f.write(bytes(size))
            except OSError:
                pass

@asset()
def huge():
    return "x" * (6 * 1024 * 1024)

@asset(inputs={"h": huge})
def after_huge(h):
    return len(h)

@asset()
def independent():
    return "fine"

@asset()
def big():
    return "x" * (1024 * 1024)

@asset()
def sleeper():
    with open("sleeper.pid", "w") as f:
        f.write(str(os.getpid()))
    while not os.path.exists("release"):
        time.sleep(0.02)
    return 1

@asset()
def filler():
    if os.path.exists("pad.path"):
        if os.path.exists("wait_for_sleeper"):
            while not os.path.exists("sleeper.pid"):
                time.sleep(0.02)
        fill(open("pad.path").read())
    return 2

@asset(inputs={"b": big, "f": filler})
def consumer(b, f):
    raise ValueError("consumer fails on purpose")
"""


def error_of(project, key: str) -> str:
    return next(r["error"] for r in project.jobs() if r["asset_key"] == key)


def test_a_value_too_big_for_the_disk_fails_its_job_and_nothing_else(project, small_disk):
    project.write("fill.py", FILL)
    project.out = small_disk / "out"
    out = str(project.out)
    for _ in range(2):  # and the next run starts as well, whatever the first left
        # One job at a time: no other job's catalog write meets the disk while the huge value fills it.
        run = project.orvan("run", "fill", "--out", out, "-j", "1", "--select", "+fill.after_huge,fill.independent")
        assert run.returncode == 1 and "Traceback" not in run.stderr, run.stderr
        assert "no space left on device" in error_of(project, "fill.huge").lower()
        assert project.statuses()[("fill.independent", "")] in ("done", "fresh")
        assert project.statuses()[("fill.after_huge", "")] == "not_run"
        assert not os.path.exists(os.path.join(out, "fill.huge", "value.json"))
    assert json.loads((small_disk / "out" / "fill.independent" / "value.json").read_text()) == "fine"


def test_a_full_disk_is_made_room_on_by_dropping_what_failed_jobs_left(project, small_disk):
    """The kept arguments of a failed job go when a catalog write finds the
    disk full; the write is retried and the run carries on."""
    project.write("fill.py", FILL)
    project.out = small_disk / "out"
    out = str(project.out)
    assert project.orvan("run", "fill", "--out", out, "--select", "+fill.consumer").returncode == 1
    kwargs = project.out / "fill.consumer" / "kwargs.json"
    assert kwargs.stat().st_size > 1024 * 1024
    (project.root / "pad.path").write_text(str(small_disk / "pad"))
    run = project.orvan("run", "fill", "--out", out, "--select", "fill.filler", "--force")
    assert run.returncode == 1 and "Traceback" not in run.stderr, run.stderr
    assert not kwargs.exists()
    assert "no space left on device" in error_of(project, "fill.filler").lower()
    assert project.statuses() == {("fill.filler", ""): "failed"}


def test_a_run_starts_on_a_disk_filled_by_what_a_killed_run_left(project, small_disk):
    """A runner killed while its job wrote a value too big for the disk left
    the value partial, the report empty and the run unfinished."""
    project.write("fill.py", FILL)
    project.out = small_disk / "out"
    sel = ("--out", str(project.out), "--select", "fill.independent")
    assert project.orvan("run", "fill", *sel).returncode == 0
    stranger_rows(project, [])
    db = sqlite3.connect(project.out / "catalog.sqlite")
    with db:
        db.execute("INSERT INTO jobs (run_id, asset_key, partition, fingerprint, status)"
                   " VALUES ((SELECT MAX(id) FROM runs), 'fill.huge', '', 'x', 'running')")
    db.close()
    leftover = project.out / "fill.huge"
    leftover.mkdir()
    (leftover / "result.json").touch()
    fill = 'import fill, sys; fill.fill(sys.argv[1])'
    subprocess.run([sys.executable, "-c", fill, str(leftover / "value.json")], cwd=project.root, check=True)

    run = project.orvan("run", "fill", *sel, "--force")
    assert run.returncode == 0, run.stderr
    assert not (leftover / "value.json").exists()
    assert project.statuses() == {("fill.independent", ""): "done"}
    assert "abandoned" in project.orvan("history", "--out", str(project.out)).stdout


def test_a_catalog_that_cannot_be_written_stops_the_run_cleanly(project, small_disk):
    project.write("fill.py", FILL)
    (project.root / "pad.path").write_text(str(small_disk / "pad"))
    (project.root / "wait_for_sleeper").touch()
    project.out = small_disk / "out"
    out = str(project.out)
    sel = ("--select", "fill.filler,fill.sleeper")
    try:
        run = project.orvan("run", "fill", "--out", out, "-j", "2", *sel)
        assert run.returncode == 1, run.stderr
        assert "Traceback" not in run.stderr
        assert "database or disk is full" in run.stderr and "free some space and run again" in run.stderr
        assert gone(int((project.root / "sleeper.pid").read_text()))
    finally:
        (project.root / "release").touch()  # should the sleeper have outlived its run

    (small_disk / "pad").unlink()
    (project.root / "pad.path").unlink()
    again = project.orvan("run", "fill", "--out", out, *sel)
    assert again.returncode == 0, again.stderr
    assert set(project.statuses().values()) == {"done"}
    assert project.orvan("history", "--out", out).stdout.splitlines()[2].split()[4] in ("failed", "abandoned")


# -- clear errors -------------------------------------------------------------

ONE = "from orvan import asset\n\n@asset()\ndef one():\n    return 1\n"


def assert_one_line_error(result: subprocess.CompletedProcess, *words: str) -> None:
    assert result.returncode == 2, (result.returncode, result.stderr)
    assert "Traceback" not in result.stderr
    assert len(result.stderr.strip().splitlines()) == 1, result.stderr
    for word in words:
        assert word in result.stderr, result.stderr


def test_a_catalog_of_random_bytes_is_named_with_what_to_do(project):
    project.write("one.py", ONE)
    assert project.orvan("run", "one").returncode == 0
    catalog = project.out / "catalog.sqlite"
    for leftover in project.out.glob("catalog.sqlite-*"):
        leftover.unlink()
    catalog.write_bytes(bytes(range(256)) * 16)
    for command in (("run", "one"), ("status", "one"), ("history",)):
        assert_one_line_error(project.orvan(*command), str(catalog), "move it aside")
    catalog.rename(project.out / "catalog.sqlite.damaged")
    assert project.orvan("run", "one").returncode == 0
    assert project.value("one.one") == 1


@pytest.mark.parametrize("command, out", [
    (("run", "one"), "taken"), (("run", "one"), "taken/sub"), (("status", "one"), "taken"),
    (("history",), "taken/sub"), (("show", "one.one"), "taken"),
])
def test_an_out_that_is_a_file_is_refused(project, command, out):
    project.write("one.py", ONE)
    (project.root / "taken").write_text("not a directory")
    assert_one_line_error(project.orvan(*command, "--out", out), "is a file, not a directory")
    assert (project.root / "taken").read_text() == "not a directory"


def test_readers_say_why_while_a_runs_log_has_been_removed_and_read_again_after(project):
    project.write("slow.py", "import os, time\nfrom orvan import asset\n" + HELD)
    host = project.popen("run", "slow")
    try:
        wait_for(lambda: (project.root / "started").exists(), "the job to start")
        (project.out / "catalog.sqlite-wal").unlink()
        for command in (("status", "slow"), ("history",)):
            assert_one_line_error(project.orvan(*command), "catalog.sqlite-wal", "once that run has ended")
    finally:
        (project.root / "release").touch()
        assert host.wait(timeout=60) == 0
    status = project.orvan("status", "slow")
    assert status.returncode == 0 and "1 fresh" in status.stdout


def test_asset_names_taken_by_the_runners_files_are_refused_before_anything_runs(project):
    names = ["catalog.sqlite", "catalog.sqlite-wal", "Catalog.SQLite-shm", "catalog.sqlite-journal"]
    project.write("names.py", "from orvan import asset\n" + "".join(
        f"\n@asset(name={name!r})\ndef a{n}():\n    return 1\n" for n, name in enumerate(names)))
    result = project.orvan("run", "names")
    assert result.returncode == 2 and "Traceback" not in result.stderr
    for name in names:
        assert f"asset {name!r}: {name!r} is the name of the runner's own file" in result.stderr
    assert not project.out.exists()


def test_the_lock_files_name_is_free_for_an_asset(project):
    # A leading "." is always escaped, so ".lock" lands elsewhere.
    project.write("names.py", 'from orvan import asset\n\n@asset(name=".lock")\ndef a():\n    return 7\n')
    assert project.orvan("run", "names").returncode == 0
    assert project.orvan("run", "names").returncode == 0  # the lock still works
    assert project.value("%2Elock") == 7


# -- random kills ---------------------------------------------------------------

CHAIN = """\
import os, sys, time
from orvan import asset, partitions

N = partitions([str(n) for n in range(10)])

@asset(partitions={"n": N})
def base(n):
    time.sleep(0.05)
    return int(n)

@asset(inputs={"b": base}, partitions={"n": N})
def doubled(b, n):
    worker = os.getpid()
    if os.fork() == 0:  # a child that would write a wrong value if it outlived the job
        while os.getppid() == worker:
            time.sleep(0.01)
        time.sleep(0.3)
        with open(os.path.join(sys.argv[3], "value.json"), "w") as f:  # the job's directory
            f.write("-1")
        os._exit(0)
    time.sleep(0.05)
    return 2 * b

@asset(inputs={"d": doubled}, partitions={"n": N})
def plus(d, n):
    time.sleep(0.05)
    return d + 1
"""


def check_done_values(project) -> None:
    """Every job whose latest attempt is done holds the right value."""
    expected = {"chain.base": lambda n: n, "chain.doubled": lambda n: 2 * n, "chain.plus": lambda n: 2 * n + 1}
    db = sqlite3.connect(project.out / "catalog.sqlite")
    try:
        if not db.execute("SELECT 1 FROM sqlite_master WHERE name = 'jobs'").fetchone():
            return  # killed before its schema was committed: a catalog that records nothing done
        rows = db.execute("SELECT asset_key, partition, status FROM jobs WHERE id IN"
                          " (SELECT MAX(id) FROM jobs WHERE status != 'fresh' AND status != 'not_run'"
                          " AND status != 'pending' GROUP BY asset_key, partition)").fetchall()
    finally:
        db.close()
    for key, part, status in rows:
        if status == "done":
            n = int(json.loads(part)["n"])
            assert project.value(key, f"n={n}") == expected[key](n), (key, n)


def test_random_kills_never_leave_a_wrong_value_called_done(project):
    import random

    rng = random.Random(1207)
    project.write("chain.py", CHAIN)
    for _ in range(3):
        host = project.popen("run", "chain", "-j", "3")
        time.sleep(rng.uniform(0.3, 1.2))
        kill_runner(host)
        if (project.out / "catalog.sqlite").exists():
            check_done_values(project)
    final = project.orvan("run", "chain", "-j", "3")
    assert final.returncode == 0, final.stderr
    time.sleep(0.6)  # a forked child of the last run, had it survived, would have written by now
    check_done_values(project)
    assert set(project.statuses().values()) <= {"done", "fresh"} and len(project.statuses()) == 30
    assert "30 fresh" in project.orvan("status", "chain").stdout
