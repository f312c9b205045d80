"""`orvan run` on a Dask cluster, end to end: the command as a subprocess,
against real Dask schedulers and workers started here (an in-process
LocalCluster shared by the module, and `dask scheduler`/`dask worker`
processes)."""

import json
import os
import re
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import time
from importlib.metadata import version
from pathlib import Path

import pytest
from cli_helpers import Project, project, wait_for  # noqa: F401  (fixture)

distributed = pytest.importorskip("distributed", reason="the dask extra is not installed (make install sets it up)")

pytestmark = pytest.mark.skipif(
    os.environ.get("ORVAN_SANITIZED") == "1",
    reason="Dask worker processes inherit the preloaded sanitizer runtime and spend the test budget "
           "starting up; the executor is pure Python, covered by the regular run",
)

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
DASK = str(Path(sys.executable).parent / "dask")

# Jobs that say where they run and then wait to be stopped: each writes
# "pid parent" into pids/<name> (the job's working directory is the project).
SLEEPER = """\
import os, time
from orvan import asset, partitions

@asset(partitions={"n": partitions(["a", "b"])})
def sleeper(n):
    os.makedirs("pids", exist_ok=True)
    with open(os.path.join("pids", n), "a") as f:
        f.write(f"{os.getpid()} {os.getppid()}\\n")
    time.sleep(120)
    return n
"""

WHERE = """\
import os
from orvan import asset, partitions

SCALE = {scale}

@asset(partitions={{"n": partitions([1, 2, 3, 4])}})
def parent(n):
    return {{"n": n * SCALE, "parent": os.getppid()}}

@asset(inputs={{"p": parent}})
def total(p):
    return sum(v["n"] for v in p.values())
"""


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as local:
        with distributed.Client(local, set_as_default=False) as client:
            yield client


def run(project: Project, *args: str, env: dict | None = None, timeout: float = 120) -> subprocess.CompletedProcess:
    return subprocess.run(project.command(*args), cwd=project.root, capture_output=True, text=True,
                          timeout=timeout, env={**os.environ, "COLUMNS": "200", **(env or {})},
                          stdin=subprocess.DEVNULL)



def alive(pid: int) -> bool:
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            # An orphan's zombie only waits for a reaper that may never come.
            return f.read().rsplit(b")", 1)[1].split()[0] != b"Z"
    except OSError:
        return False


def started(project: Project, *names: str) -> dict[str, list[tuple[int, int]]]:
    """The (pid, parent) of each start of the sleeper jobs named, once all have started."""
    paths = {n: project.root / "pids" / n for n in names}
    wait_for(lambda: all(p.exists() and p.read_text().endswith("\n") for p in paths.values()), "the jobs to start")
    return {n: [tuple(map(int, line.split())) for line in p.read_text().splitlines()] for n, p in paths.items()}


def runs_recorded(project: Project) -> int:
    if not (project.out / "catalog.sqlite").exists():
        return 0
    db = sqlite3.connect(project.out / "catalog.sqlite")
    try:
        return db.execute("SELECT COUNT(*) FROM runs").fetchone()[0]
    finally:
        db.close()


def values(out: Path) -> dict[str, object]:
    """Every stored value under `out`: JSON parsed, other formats as bytes."""
    return {str(p.relative_to(out)): json.loads(p.read_text()) if p.suffix == ".json" else p.read_bytes()
            for p in out.rglob("value.*")}


def test_the_example_pipeline_on_a_local_cluster_gives_the_values_of_a_local_run(tmp_path):
    example = Project(tmp_path / "examples")
    shutil.copytree(EXAMPLES, example.root, ignore=shutil.ignore_patterns("__pycache__"))
    here = run(example, "run", "-j", "2", "--out", "here")
    there = run(example, "run", "--executor", "dask", "--scheduler", "local", "-j", "2", "--out", "there")
    assert here.returncode == 0 and there.returncode == 0, here.stderr + there.stdout + there.stderr
    expected = values(example.root / "here")
    done = re.search(r"(\d+) jobs: (\d+) done", there.stdout)
    assert done and done.group(1) == done.group(2) == str(len(expected))
    assert values(example.root / "there") == expected
    # Nothing of the remote bookkeeping stays behind.
    assert not list((example.root / "there").rglob("attempt.json"))
    assert not list((example.root / "there").glob(".orvan-probe-*"))


def test_jobs_run_in_the_workers_of_the_cluster_named_in_pyproject(project, cluster):
    project.write("where.py", WHERE.format(scale=1))
    project.write("pyproject.toml", f'[tool.orvan]\nmodules = ["where"]\nexecutor = "dask"\n'
                                    f'scheduler = "{cluster.scheduler.address}"\n')
    proc = run(project, "run")
    assert proc.returncode == 0, proc.stdout + proc.stderr
    workers = set(cluster.run(os.getpid).values())
    parents = {project.value("where.parent", f"n={n}")["parent"] for n in (1, 2, 3, 4)}
    assert parents <= workers
    assert project.value("where.total") == 10


def test_two_runs_at_once_on_one_cluster_each_get_their_own_results(tmp_path, cluster):
    # Both runs are run 1 of their catalogs, with the same jobs in the same
    # order: only keys unique to the run keep Dask from merging their tasks.
    projects = [Project(tmp_path / name) for name in ("one", "two")]
    for scale, p in enumerate(projects, start=1):
        p.write("where.py", WHERE.format(scale=scale))
    procs = [subprocess.Popen(p.command("run", "where", "--scheduler", cluster.scheduler.address), cwd=p.root,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True) for p in projects]
    outputs = [proc.communicate(timeout=120)[0] for proc in procs]
    assert [proc.returncode for proc in procs] == [0, 0], outputs
    assert [p.value("where.total") for p in projects] == [10, 20]


FAILS = """\
import os
from orvan import asset

@asset()
def fails():
    print("reading the feed: connection reset by peer", flush=True)
    os._exit(3)
"""


def test_failures_on_the_workers_come_back_as_they_do_locally(project, cluster):
    project.write("sleepy.py", SLEEPER)
    project.write("fails.py", FAILS)
    t0 = time.monotonic()
    proc = run(project, "run", "sleepy", "fails", "--scheduler", cluster.scheduler.address, "--timeout", "1")
    assert proc.returncode == 1 and time.monotonic() - t0 < 60
    assert {(j["asset_key"], j["status"], j["error"]) for j in project.jobs()} == {
        ("sleepy.sleeper", "failed", "timed out after 1 s; the worker was killed"),
        # the tail of the job's log, which the worker wrote on the shared storage
        ("fails.fails", "failed", "worker exited with status 3: reading the feed: connection reset by peer"),
    }
    for [(pid, _)] in started(project, "a", "b").values():
        assert not alive(pid)


def test_a_job_whose_worker_is_killed_fails_and_is_not_run_again(project, cluster):
    project.write("sleepy.py", SLEEPER)
    workers = set(cluster.run(os.getpid).values())
    runner = project.popen("run", "sleepy", "--scheduler", cluster.scheduler.address)
    try:
        jobs = started(project, "a", "b")
        [(pid, worker)] = jobs["a"]
        assert worker in workers
        os.kill(worker, signal.SIGKILL)
        # The orphaned job stops itself, whatever the runner does.
        wait_for(lambda: not alive(pid), "the orphaned job to stop", 10)
        os.kill(jobs["b"][0][0], signal.SIGTERM)  # the other worker's job need not sleep on
        assert runner.wait(timeout=60) == 1
    finally:
        runner.kill()
        runner.wait()
        cluster.wait_for_workers(2, timeout=30)
    error = {j["partition"]: j["error"] for j in project.jobs()}['{"n":"a"}']
    assert error.startswith("the worker running this job died")
    assert len(started(project, "a")["a"]) == 1


def test_ctrl_c_stops_the_remote_jobs_and_records_them_interrupted(project, cluster):
    project.write("sleepy.py", SLEEPER)
    runner = project.popen("run", "sleepy", "--scheduler", cluster.scheduler.address)
    try:
        jobs = started(project, "a", "b")
        runner.send_signal(signal.SIGINT)
        assert runner.wait(timeout=60) == 130
    finally:
        runner.kill()
        runner.wait()
    assert set(project.statuses().values()) == {"interrupted"}
    for [(pid, _)] in jobs.values():
        assert not alive(pid)
    wait_for(lambda: not any(cluster.processing().values()), "the cluster to let go of the tasks", 10)


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGKILL])
def test_the_jobs_of_a_cluster_of_the_runners_own_end_with_it(project, sig):
    # --scheduler local: the workers are threads of the runner, the jobs
    # processes of their own, which must not outlive a stopped or killed runner.
    project.write("sleepy.py", SLEEPER)
    runner = project.popen("run", "sleepy", "--scheduler", "local", "-j", "2")
    try:
        jobs = started(project, "a", "b")
        runner.send_signal(sig)
        assert runner.wait(timeout=60) == (130 if sig == signal.SIGINT else -signal.SIGKILL)
    finally:
        runner.kill()
        runner.wait()
    for [(pid, _)] in jobs.values():
        wait_for(lambda: not alive(pid), f"job process {pid} to end", 15)
    if sig == signal.SIGINT:
        assert set(project.statuses().values()) == {"interrupted"}


@pytest.mark.parametrize("args, env, message", [
    (["--executor", "dask"], {}, "the dask executor needs a scheduler"),
    (["--executor", "local", "--scheduler", "local"], {}, "--scheduler applies to the dask executor only"),
    (["--scheduler", "tcp://127.0.0.1:{port}"], {"DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "1s"},
     "cannot reach the Dask scheduler at tcp://127.0.0.1:{port} within 1s"),
    (["--executor", "dask"], {"DASK_SCHEDULER_ADDRESS": "tcp://127.0.0.1:{port}",
                              "DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "1s"},
     "cannot reach the Dask scheduler at tcp://127.0.0.1:{port}"),
    (["--scheduler", "local"], {"BLOCK_DISTRIBUTED": "1"}, "pip install 'orvan[dask]'"),
])
def test_a_cluster_that_cannot_run_the_pipeline_stops_it_before_it_starts(project, args, env, message):
    with socket.socket() as s:  # a port with no scheduler behind it
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    project.write("where.py", WHERE.format(scale=1))
    if env.get("BLOCK_DISTRIBUTED"):
        project.write("distributed.py", 'raise ImportError("No module named \'distributed\'")\n')
    proc = run(project, "run", "where", *[a.format(port=port) for a in args],
               env={k: v.format(port=port) for k, v in env.items()})
    assert proc.returncode == 2, proc.stdout + proc.stderr
    assert message.format(port=port) in proc.stderr
    assert runs_recorded(project) == 0


# ---- an external scheduler and worker, as on other machines ------------------------

def start(*args: str, env: dict | None = None) -> subprocess.Popen:
    return subprocess.Popen([DASK, *args], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, env={**os.environ, **(env or {})}, start_new_session=True)


def stop(proc: subprocess.Popen) -> None:
    proc.terminate()
    try:
        proc.wait(timeout=15)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()


@pytest.fixture(scope="module")
def external(tmp_path_factory):
    """A `dask scheduler` and one `dask worker`, found through a scheduler file."""
    path = tmp_path_factory.mktemp("dask") / "scheduler.json"
    scheduler = start("scheduler", "--scheduler-file", str(path), "--host", "127.0.0.1", "--port", "0",
                      "--no-dashboard")
    worker = None
    try:
        wait_for(lambda: path.exists() and path.read_text().strip().endswith("}"), "the scheduler file")
        worker = start("worker", "--scheduler-file", str(path), "--nthreads", "1", "--no-dashboard",
                       "--host", "127.0.0.1")
        with distributed.Client(scheduler_file=str(path), set_as_default=False) as client:
            client.wait_for_workers(1, timeout=60)
            yield client
    finally:
        for proc in (worker, scheduler):
            if proc is not None:
                stop(proc)


def test_an_external_scheduler_and_worker_run_the_pipeline(project, external):
    project.write("where.py", WHERE.format(scale=3))
    proc = run(project, "run", "where", "--scheduler", external.scheduler.address)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert project.value("where.total") == 30
    [worker] = external.run(os.getpid).values()
    assert project.value("where.parent", "n=1")["parent"] == worker


def private_mounts() -> bool:
    """Whether a process can be given mounts of its own here (root, unshare)."""
    if shutil.which("unshare") is None:
        return False
    return subprocess.run(["unshare", "--mount", "true"], capture_output=True).returncode == 0


def test_a_worker_unlike_the_runner_stops_the_run_before_it_starts(project, external, tmp_path):
    # Metadata first on the path is what the worker reports as orvan's version.
    fake = tmp_path / "fake" / "orvan-9.9.9.dist-info"
    fake.mkdir(parents=True)
    (fake / "METADATA").write_text("Metadata-Version: 2.1\nName: orvan\nVersion: 9.9.9\n")
    worker = ["worker", external.scheduler.address, "--nthreads", "1", "--no-dashboard", "--no-nanny",
              "--host", "127.0.0.1"]
    isolated = private_mounts()
    if isolated:
        # The worker sees an empty file system of its own over the output
        # directory, as a host without the shared storage would.
        project.out.mkdir()
        odd = subprocess.Popen(["unshare", "--mount", "--propagation", "private", "sh", "-c",
                                f'mount -t tmpfs none "{project.out}" && exec "$0" "$@"', DASK, *worker],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               env={**os.environ, "PYTHONPATH": str(fake.parent)}, start_new_session=True)
    else:
        odd = start(*worker, env={"PYTHONPATH": str(fake.parent)})
    try:
        external.wait_for_workers(2, timeout=60)
        project.write("where.py", WHERE.format(scale=1))
        proc = run(project, "run", "where", "--scheduler", external.scheduler.address)
    finally:
        stop(odd)
    assert proc.returncode == 2, proc.stdout + proc.stderr
    assert f"has orvan 9.9.9, this runner {version('orvan')}" in proc.stderr
    if isolated:
        assert f"a file it wrote into {project.out} is not visible here" in proc.stderr
    # Only the odd worker is named.
    assert proc.stderr.count("tcp://") == 1 + isolated
    assert runs_recorded(project) == 0
