"""Jobs run by the fork server, end to end through the orvan command: the same
files and outcomes as a spawned worker, and the same guarantees when jobs
crash, hang or are interrupted, or when the runner or the server dies."""

import os
import re
import shutil
import signal
import time
from pathlib import Path

import pytest
from cli_helpers import gone, project, wait_for  # noqa: F401  (fixture)

ISOLATIONS = ["fork", "spawn"]

# One module per way a job can end; `threaded` starts a non-daemon thread at
# import, whose output a spawned worker waits for at exit (on stderr: what a
# module prints at import on stdout would spoil the inspection report).
SAME = {
    "same/values.py": """\
import sys
from orvan import asset, partitions

@asset(partitions={"n": partitions([1, 2, 3])})
def nums(n):
    print("out", n)
    print("err", n, file=sys.stderr)
    return {"n": n, "sq": n * n, "big": 10 ** 30, "f": 0.1}

@asset(inputs={"nums": nums})
def total(nums):
    print(sorted(nums))
    return sum(v["sq"] for v in nums.values())

@asset(serializer="text")
def note():
    return "héllo\\nworld"

@asset(serializer="pickle", inputs={"n": note})
def pickled(n):
    return {"note": n, "set": {1, 2}}

@asset(inputs={"p": pickled})
def unpickled(p):
    return sorted(p["set"]) + [p["note"]]

@asset(partitions={"n": partitions([1, 2])})
def bad(n):
    print("about to fail")
    raise ValueError(f"bad {n}")
""",
    "same/threaded.py": """\
import atexit, sys, threading, time
from orvan import asset

def later():
    time.sleep(0.3)
    print("thread finished", file=sys.stderr)

threading.Thread(target=later).start()
atexit.register(lambda: print("atexit ran", file=sys.stderr))

@asset()
def with_thread():
    return threading.active_count()
""",
    "same/exits.py": """\
import sys
sys.exit(3)
""",
    "same/crashes.py": """\
import os, signal
from orvan import asset

@asset()
def segfault():
    print("going down", flush=True)
    os.kill(os.getpid(), signal.SIGSEGV)

@asset()
def hard_exit():
    os._exit(7)

@asset()
def exit_call():
    raise SystemExit(5)
""",
}
SAME_MODULES = ["same.values", "same.threaded", "same.crashes"]


def run_both(project) -> dict[str, Path]:
    """Run the pipeline both ways into the same output directory (values record
    their own path), keeping each result under its own name."""
    for relpath, source in SAME.items():
        project.write(relpath, source)
    kept = {}
    for isolation in ISOLATIONS:
        out = project.orvan("run", *SAME_MODULES, "--isolation", isolation, "-j", "2")
        assert out.returncode == 1, out.stdout + out.stderr
        kept[isolation] = project.root / f"kept-{isolation}"
        shutil.copytree(project.out, kept[isolation], ignore=shutil.ignore_patterns("catalog.sqlite*", ".lock"))
        statuses = {(r["asset_key"], r["partition"]): (r["status"], unpid(r["error"])) for r in project.jobs()}
        kept[isolation + "-jobs"] = statuses  # type: ignore[assignment]
        shutil.rmtree(project.out)
    return kept


# Under the sanitizer build a segfault ends in abort() after a report of the
# process's own addresses and stack (which differ with how it was started):
# only what the job printed is compared there.
SANITIZED = bool(os.environ.get("ORVAN_SANITIZED"))
CRASH_SIGNAL = "SIGABRT" if SANITIZED else "SIGSEGV"
CRASH_LOG = "same.crashes.segfault/log.txt"


def unpid(error: str | None) -> str | None:
    """The sanitizer's report names the process in each line (==PID==)."""
    return re.sub(r"==\d+==", "==PID==", error) if SANITIZED and error else error


def files_under(root: Path) -> dict[str, bytes]:
    def content(path: Path, name: str) -> bytes:
        data = path.read_bytes()
        return data.split(b"\n", 1)[0] if SANITIZED and name == CRASH_LOG else data

    files = {str(p.relative_to(root)): p for p in sorted(root.rglob("*")) if p.is_file()}
    return {name: content(path, name) for name, path in files.items()}


def test_both_isolations_write_the_same_files_and_record_the_same_outcomes(project):
    kept = run_both(project)
    fork, spawn = files_under(kept["fork"]), files_under(kept["spawn"])
    assert fork.keys() == spawn.keys()
    assert {"same.values.total/value.json", "same.values.unpickled/value.json"} <= fork.keys()
    assert any(name.startswith("same.values.pickled/value.") for name in fork)
    for name in fork:
        assert fork[name] == spawn[name], name
    assert kept["fork-jobs"] == kept["spawn-jobs"]

    jobs = kept["fork-jobs"]
    assert jobs[("same.values.bad", '{"n":"1"}')] == ("failed", "ValueError: bad 1")
    assert jobs[("same.crashes.segfault", "")][1].startswith(f"worker killed by signal {CRASH_SIGNAL}")
    assert jobs[("same.crashes.hard_exit", "")][1] == "worker exited with status 7"
    assert jobs[("same.crashes.exit_call", "")][0] == "failed"
    assert jobs[("same.threaded.with_thread", "")] == ("done", None)
    assert jobs[("same.values.unpickled", "")] == ("done", None)
    log = (kept["fork"] / "same.threaded.with_thread" / "log.txt").read_text()
    assert "thread finished" in log and "atexit ran" in log
    assert b"out 2\n" in fork["same.values.nums/n=2/log.txt"]
    assert b"err 2\n" in fork["same.values.nums/n=2/log.txt"]


def test_a_module_exiting_at_import_stops_the_run_before_any_job_in_both(project):
    # sys.exit at import never reaches a job: inspection reports it, and a
    # listed module that does not import ends the command before anything runs.
    project.write("exits.py", SAME["same/exits.py"])
    project.write("ok.py", "from orvan import asset\n\n@asset()\ndef one():\n    return 1\n")
    for isolation in ISOLATIONS:
        out = project.orvan("run", "exits", "ok", "--isolation", isolation, "--force")
        assert out.returncode == 2, out.stderr
        assert "module 'exits' failed to import" in out.stderr and "SystemExit: 3" in out.stderr
        assert not (project.out / "ok.one").exists()


LIFE = """\
import os, time
from orvan import asset, partitions

def note(name):
    # Whole or not at all: the test reads it as soon as it exists.
    with open(name + ".tmp", "w") as f:
        f.write(f"{os.getpid()} {os.getppid()}")
    os.replace(name + ".tmp", name)

@asset(partitions={"n": partitions([1, 2, 3, 4])})
def step(n):
    if n == 4:
        note("started")
        for i in range(8):  # a small family of processes in the job's group
            if os.fork() == 0:
                note(f"grandchild-{i}")
                time.sleep(600)
                os._exit(0)
        while not os.path.exists("release"):
            time.sleep(0.05)
    return n

@asset(inputs={"s": step})
def gather(s):
    return sorted(s.values())
"""




def family(project) -> list[int]:
    """The long job's process and its grandchildren."""
    pid = int((project.root / "started").read_text().split()[0])
    wait_for(lambda: len(list(project.root.glob("grandchild-?"))) == 8, "the grandchildren")
    kids = [int(p.read_text().split()[0]) for p in project.root.glob("grandchild-?")]
    return [pid, *kids]


@pytest.mark.parametrize("isolation", ISOLATIONS)
def test_a_timeout_kills_the_job_with_its_process_group(project, isolation):
    project.write("life.py", LIFE)
    out = project.orvan("run", "life", "--isolation", isolation, "--timeout", "2", "-j", "2")
    assert out.returncode == 1
    rows = {r["partition"]: r for r in project.jobs()}
    assert rows['{"n":"4"}']["status"] == "failed"
    assert rows['{"n":"4"}']["error"] == "timed out after 2 s; the worker was killed"
    assert rows['{"n":"3"}']["status"] == "done"
    wait_for(lambda: all(gone(pid) for pid in family(project)), "the job's processes to be gone", 10)


@pytest.mark.parametrize("isolation", ISOLATIONS)
def test_ctrl_c_stops_the_running_job_and_records_it_interrupted(project, isolation):
    project.write("life.py", LIFE)
    host = project.popen("run", "life", "--isolation", isolation, "-j", "2")
    wait_for(lambda: (project.root / "started").exists(), "the long job to start")
    processes = family(project)
    host.send_signal(signal.SIGINT)
    assert host.wait(timeout=60) == 130
    assert all(gone(pid) for pid in processes)
    statuses = project.statuses()
    assert statuses[("life.step", '{"n":"4"}')] == "interrupted"
    assert statuses[("life.gather", "")] == "not_run"


def test_a_killed_runner_takes_the_server_and_its_jobs_with_it(project):
    project.write("life.py", LIFE)
    host = project.popen("run", "life", "-j", "2")
    wait_for(lambda: (project.root / "started").exists(), "the long job to start")
    processes = family(project)
    server = int((project.root / "started").read_text().split()[1])
    assert server != host.pid
    host.kill()
    host.wait()
    wait_for(lambda: all(gone(pid) for pid in [server, *processes]), "the server and the job to end", 10)
    # Nothing of the killed run writes on: the next run redoes the job by itself.
    (project.root / "release").touch()
    out = project.orvan("run", "life")
    assert out.returncode == 0, out.stdout + out.stderr
    assert project.value("life.gather") == [1, 2, 3, 4]


def test_a_stopped_server_that_outlives_its_killed_runner_is_ended_by_the_next_run(project):
    """Stopped (SIGSTOP), the server cannot see its input close: recorded as
    a job's process is, it is ended by the next run, with its jobs."""
    import sqlite3

    project.write("life.py", LIFE)
    host = project.popen("run", "life", "-j", "2")
    wait_for(lambda: (project.root / "started").exists(), "the long job to start")
    processes = family(project)
    server = int((project.root / "started").read_text().split()[1])

    def job_recorded() -> bool:  # process records are committed in batches: a kill before that loses them
        db = sqlite3.connect(project.out / "catalog.sqlite")
        try:
            return db.execute("SELECT 1 FROM jobs WHERE pid = ?", (processes[0],)).fetchone() is not None
        finally:
            db.close()
    wait_for(job_recorded, "the long job's process to be recorded")
    db = sqlite3.connect(project.out / "catalog.sqlite")
    recorded = db.execute("SELECT pid, pid_started FROM runs ORDER BY id DESC LIMIT 1").fetchone()
    db.close()
    started = Path(f"/proc/{server}/stat").read_text().rsplit(")", 1)[1].split()[19]
    assert recorded == (server, started)
    os.kill(server, signal.SIGSTOP)
    host.kill()
    host.wait()
    time.sleep(0.5)
    assert not any(gone(pid) for pid in [server, *processes])
    (project.root / "release").touch()
    out = project.orvan("run", "life")
    assert out.returncode == 0, out.stdout + out.stderr
    assert all(gone(pid) for pid in [server, *processes])
    assert project.value("life.gather") == [1, 2, 3, 4]


def test_the_server_is_gone_after_a_run(project):
    project.write("who.py", """\
import os
from orvan import asset, partitions

@asset(partitions={"n": partitions([1, 2, 3])})
def parent(n):
    return os.getppid()
""")
    out = project.orvan("run", "who")
    assert out.returncode == 0, out.stderr
    servers = {project.value("who.parent", f"n={n}") for n in (1, 2, 3)}
    assert len(servers) == 1  # one server for the run, not one per job
    (server,) = servers
    assert gone(server)


def test_a_dead_server_fails_its_jobs_and_the_run_goes_on_with_a_new_one(project):
    project.write("killer.py", """\
import os, signal, time
from orvan import asset, partitions

@asset(partitions={"n": partitions([1, 2, 3, 4, 5, 6])})
def job(n):
    if n == 3:
        os.kill(os.getppid(), signal.SIGKILL)
        time.sleep(30)  # the server's end must end this job too
    return os.getppid()
""")
    t0 = time.monotonic()
    out = project.orvan("run", "killer", "-j", "1")
    assert time.monotonic() - t0 < 25, "the job outlived its server"
    assert out.returncode == 1
    rows = {r["partition"]: r for r in project.jobs()}
    assert rows['{"n":"3"}']["status"] == "failed"
    assert rows['{"n":"3"}']["error"] == "the fork server stopped (killed by signal SIGKILL) while the job ran"
    assert all(rows[f'{{"n":"{n}"}}']["status"] == "done" for n in (1, 2, 4, 5, 6))
    before = project.value("killer.job", "n=2")
    after = project.value("killer.job", "n=4")
    assert before != after and gone(after)


@pytest.mark.parametrize(("setting", "expected"), [
    ('isolation = "spawn"', "spawn"),
    ('isolation = "fork"', "fork"),
    ("", "fork"),
])
def test_isolation_from_pyproject(project, setting, expected):
    project.write("pyproject.toml", f'[tool.orvan]\nmodules = ["who"]\n{setting}\n')
    project.write("who.py", """\
import sys
from orvan import asset

@asset()
def main_module():
    return sys.modules["__main__"].__spec__.name
""")
    out = project.orvan("run")
    assert out.returncode == 0, out.stderr
    assert project.value("who.main_module") == ("orvan._forkserver" if expected == "fork" else "orvan.worker")


def test_an_unknown_isolation_in_pyproject_is_a_usage_error(project):
    project.write("pyproject.toml", '[tool.orvan]\nmodules = ["who"]\nisolation = "thread"\n')
    out = project.orvan("run")
    assert out.returncode == 2
    assert "isolation must be one of 'fork', 'spawn'" in out.stderr


# -- warm imports ---------------------------------------------------------------

WARM = """\
import os, threading, time
import helper
from orvan import asset, partitions

with open("imports", "a") as f:  # one line per import of this module
    f.write(f"{os.getpid()}\\n")
if os.path.exists("thread"):
    threading.Thread(target=time.sleep, args=(0.2,)).start()

@asset(partitions={"n": partitions([1, 2, 3, 4])})
def a(n):
    if n == 1 and os.path.exists("hold"):
        open("waiting", "w").close()
        while not os.path.exists("go"):
            time.sleep(0.02)
    return n * helper.K

@asset(partitions={"n": partitions([1, 2, 3, 4])})
def c(n):
    return n
"""


@pytest.mark.parametrize("setting, imports, notice", [
    ("", 2, False),  # the inspection's and the server's
    ("[tool.orvan]\nwarm_imports = false\n", 1 + 8, False),
    ('[tool.orvan.assets."w.c"]\nwarm_imports = false\n', 2 + 4, False),
    ("thread", 2 + 8, True),  # the server's import shows it unfit to share
], ids=["default", "off", "off-for-one-asset", "thread-at-import"])
def test_jobs_fork_from_one_import_of_their_module_unless_unfit_or_off(project, setting, imports, notice):
    project.write("w.py", WARM)
    project.write("helper.py", "K = 10\n")
    if setting == "thread":
        (project.root / "thread").touch()
    elif setting:
        project.write("pyproject.toml", setting)
    out = project.orvan("run", "w", "-j", "2")
    assert out.returncode == 0, out.stdout + out.stderr
    assert [project.value("w.a", f"n={n}") for n in (1, 2, 3, 4)] == [10, 20, 30, 40]
    lines = (project.root / "imports").read_text().split()
    assert len(lines) == imports, lines
    assert ("orvan: w starts a thread at import: its jobs import it afresh each" in out.stderr) == notice


@pytest.mark.parametrize("isolation", ISOLATIONS)
def test_a_source_edited_mid_run_is_never_run_under_the_planned_fingerprint(project, isolation):
    project.write("w.py", WARM)
    project.write("helper.py", "K = 10\n")
    (project.root / "hold").touch()
    host = project.popen("run", "w", "-j", "1", "-s", "w.a", "--isolation", isolation)
    wait_for(lambda: (project.root / "waiting").exists(), "the first job to start")
    project.write("helper.py", "K = 90\n")  # the same size: only the bytes tell
    (project.root / "go").touch()
    assert host.wait(timeout=120) == 1
    rows = {r["partition"]: r for r in project.jobs()}
    assert rows['{"n":"1"}']["status"] == "done" and project.value("w.a", "n=1") == 10
    for n in (2, 3, 4):
        assert rows[f'{{"n":"{n}"}}']["status"] == "failed"
        assert "helper.py changed after the run planned this job" in rows[f'{{"n":"{n}"}}']["error"]
    out = project.orvan("run", "w", "-s", "w.a")
    assert out.returncode == 0, out.stdout + out.stderr
    assert [project.value("w.a", f"n={n}") for n in (1, 2, 3, 4)] == [90, 180, 270, 360]
