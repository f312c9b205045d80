"""A Dask scheduler lost mid-run, through the command: the run says so once,
in its own words, and ends within the connect timeout."""

import os
import signal
import socket
import subprocess
import time

import pytest
from cli_helpers import project  # noqa: F401  (fixture)

distributed = pytest.importorskip("distributed", reason="the dask extra is not installed (make install sets it up)")

from test_cli_dask import SLEEPER, start, started, stop  # noqa: E402

pytestmark = pytest.mark.skipif(os.environ.get("ORVAN_SANITIZED") == "1",
                                reason="Dask processes under the sanitizer spend the test budget starting up")


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_a_lost_scheduler_is_said_once_and_ends_the_run(project):
    address = f"tcp://127.0.0.1:{free_port()}"
    scheduler = start("scheduler", "--host", "127.0.0.1", "--port", address.rsplit(":", 1)[1], "--no-dashboard")
    worker = start("worker", address, "--nthreads", "2", "--no-dashboard", "--host", "127.0.0.1")
    try:
        with distributed.Client(address, set_as_default=False, timeout=60) as client:
            client.wait_for_workers(1, timeout=60)
        project.write("sleepy.py", SLEEPER)
        runner = subprocess.Popen(project.command("run", "sleepy", "--scheduler", address), cwd=project.root,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, stdin=subprocess.DEVNULL,
                                  env={**os.environ, "COLUMNS": "200", "DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "5s"})
        started(project, "a", "b")
        os.kill(scheduler.pid, signal.SIGKILL)
        lost_at = time.monotonic()
        out, err = runner.communicate(timeout=120)
        took = time.monotonic() - lost_at
    finally:
        stop(worker)
        stop(scheduler)
    message = f"the Dask scheduler at {address} was lost"
    assert runner.returncode == 1, out + err
    assert took < 5 + 5, took  # the connect timeout, and the time to settle the catalog
    assert err.count(message) == 1 and "distributed" not in err and "Traceback" not in err, err
    assert "dropped this job" not in out + err
    assert {(j["partition"], j["status"], j["error"]) for j in project.jobs()} == {
        ('{"n":"a"}', "interrupted", message), ('{"n":"b"}', "interrupted", message)}
