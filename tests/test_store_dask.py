"""A Dask cluster with nothing shared but a bucket: the workers fetch and
upload their jobs' values themselves, against a real S3 server (SeaweedFS)
and real Dask schedulers and workers started here."""

from __future__ import annotations

import os
import re
import shutil
import signal
import sqlite3
import subprocess
import sys
from pathlib import Path

import pytest
from cli_helpers import Project, wait_for
from s3_server import Seaweed, client_env, running
from test_store import example_run_here, local_values, run, stored_project, value_objects

distributed = pytest.importorskip("distributed", reason="the dask extra is not installed (make install sets it up)")

pytestmark = pytest.mark.skipif(
    os.environ.get("ORVAN_SANITIZED") == "1",
    reason="Dask worker processes inherit the preloaded sanitizer runtime and spend the test budget "
           "starting up; the executor is pure Python, covered by the regular run",
)

DASK = str(Path(sys.executable).parent / "dask")

BIG = """\
from orvan import asset

SIZE = {size}

@asset()
def big():
    return "x" * SIZE

@asset(inputs={{"b": big}})
def length(b):
    return len(b)
"""


@pytest.fixture(scope="module")
def s3(tmp_path_factory):
    with running(tmp_path_factory.mktemp("seaweed-dask")) as server:
        yield server


def private_mounts() -> bool:
    if shutil.which("unshare") is None:
        return False
    return subprocess.run(["unshare", "--mount", "true"], capture_output=True).returncode == 0


def start(args: list[str], env: dict, cwd: Path, hide: Path | None = None) -> subprocess.Popen:
    """A `dask` command; with `hide`, in a mount namespace of its own where
    that directory is an empty file system, as on a host without it."""
    cmd = [DASK, *args]
    if hide is not None:
        cmd = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
               f'mount -t tmpfs none "{hide}" && exec "$0" "$@"', *cmd]
    return subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            env=env, cwd=cwd, start_new_session=True)


def stop(proc: subprocess.Popen) -> None:
    try:
        os.killpg(proc.pid, signal.SIGTERM)
        proc.wait(timeout=15)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
    except ProcessLookupError:
        pass


def test_the_example_on_a_local_cluster_with_an_s3_store_gives_the_values_of_a_local_run(tmp_path, s3):
    prefix = s3.new_prefix()
    example, here = example_run_here(tmp_path / "examples", s3)
    there = run(example, "run", "--scheduler", "local", "-j", "2", "--out", "there", "--store", f"s3://{prefix}",
                server=s3)
    assert here.returncode == 0 and there.returncode == 0, here.stderr + there.stdout + there.stderr
    assert value_objects(s3, prefix) == local_values(example.root / "here")
    # The jobs ran in scratch directories of their own, not in the output directory.
    assert not [p for p in (example.root / "there").rglob("*") if p.name.startswith(("value", "log", "result"))]


@pytest.fixture
def hidden_cluster(tmp_path, s3):
    """A `dask scheduler` and a `dask worker` (with its nanny) that cannot see
    the project's output directory, each started in a directory of its own."""
    if not private_mounts():
        pytest.skip("needs private mounts (unshare) to hide the output directory from the worker")
    project = stored_project(tmp_path / "project", s3, "big", BIG.format(size=10), f"s3://{s3.new_prefix()}")
    project.out.mkdir()
    (project.out / "marker").write_text("only the runner sees this")
    scratch = tmp_path / "worker-tmp"
    scratch.mkdir()
    env = {**os.environ, **client_env(s3), "TMPDIR": str(scratch)}
    path = tmp_path / "scheduler.json"
    scheduler = start(["scheduler", "--scheduler-file", str(path), "--host", "127.0.0.1", "--port", "0",
                       "--no-dashboard"], env, tmp_path)
    worker = None
    try:
        wait_for(lambda: path.exists() and path.read_text().strip().endswith("}"), "the scheduler file")
        (tmp_path / "w").mkdir()
        worker = start(["worker", "--scheduler-file", str(path), "--nthreads", "1", "--no-dashboard", "--host",
                        "127.0.0.1"], env, tmp_path / "w", hide=project.out)
        with distributed.Client(scheduler_file=str(path), set_as_default=False) as client:
            client.wait_for_workers(1, timeout=60)
            assert not any(client.run(os.path.exists, str(project.out / "marker")).values())
            yield project, client, scratch
    finally:
        for proc in (worker, scheduler):
            if proc is not None:
                stop(proc)


def test_a_worker_that_cannot_see_the_output_directory_runs_the_pipeline_and_one_killed_mid_upload_changes_nothing(
        hidden_cluster, s3):
    project, client, scratch = hidden_cluster
    address = client.scheduler.address
    first = run(project, "run", "--scheduler", address, server=s3)
    assert first.returncode == 0, first.stdout + first.stderr
    assert run(project, "show", "big.length", server=s3).stdout.strip() == "10"
    committed = done_values(project)
    # A value big enough that its upload takes a while: the worker is killed
    # once its job has ended (its record written) and the upload is under way.
    project.write("big.py", BIG.format(size=90_000_000))
    [pid] = client.run(os.getpid).values()
    runner = subprocess.Popen(project.command("run", "--scheduler", address), cwd=project.root,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, stdin=subprocess.DEVNULL,
                              env={**os.environ, "COLUMNS": "200", **client_env(s3)})
    wait_for(lambda: any(scratch.glob("orvan-job-*/result.json")) or runner.poll() is not None,
             "the job to end and its upload to start", 120)
    assert runner.poll() is None, runner.communicate()
    os.kill(pid, signal.SIGKILL)
    out, err = runner.communicate(timeout=300)
    assert runner.returncode == 1, out + err
    assert re.search(r"FAILED\s+big\.big", out), out
    assert done_values(project) == committed, "no committed value changed"
    [name] = [n for n in value_objects(s3, project_prefix(project)) if n.startswith("big.big/")]
    assert value_objects(s3, project_prefix(project))[name] == b'"xxxxxxxxxx"'
    client.wait_for_workers(1, timeout=60)
    rerun = run(project, "run", "--scheduler", address, server=s3)
    assert rerun.returncode == 0, rerun.stdout + rerun.stderr
    assert run(project, "show", "big.length", server=s3).stdout.strip() == "90000000"


def project_prefix(project: Project) -> str:
    text = (project.root / "pyproject.toml").read_text()
    return re.search(r'store = "s3://([^"]+)"', text).group(1)


def done_values(project: Project) -> dict[str, str]:
    """The value hash of each job's last success, as the catalog has it."""
    db = sqlite3.connect(project.out / "catalog.sqlite")
    try:
        rows = db.execute("SELECT asset_key, value_hash FROM jobs WHERE status='done' ORDER BY id").fetchall()
    finally:
        db.close()
    return dict(rows)
