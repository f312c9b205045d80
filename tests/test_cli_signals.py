"""How the command ends: SIGTERM stops a run as Ctrl-C does, a second
Ctrl-C cannot cut the stop's bookkeeping short, and no forked copy of the
command runs the command's own exit handlers."""

from __future__ import annotations

import os
import signal
import subprocess

import pytest
from cli_helpers import Project, gone, project, wait_for  # noqa: F401  (fixture)

# `hold` runs until released; on SIGTERM it says so and holds on (until
# the runner's SIGKILL) when asked to.
HOLD = """\
import os, signal, time
from orvan import asset

def _on_term(signum, frame):
    open("term", "w").close()
    if not os.path.exists("hold-on"):
        raise SystemExit(1)

@asset()
def hold():
    signal.signal(signal.SIGTERM, _on_term)
    with open("pid.tmp", "w") as f:
        f.write(str(os.getpid()))
    os.replace("pid.tmp", "pid")
    while not os.path.exists("release"):
        time.sleep(0.05)
    return 1

@asset(inputs={"h": hold})
def after(h):
    return h
"""


def start(project: Project) -> tuple[subprocess.Popen, int]:
    project.write("hd.py", HOLD)
    runner = project.popen("run", "hd")
    wait_for(lambda: (project.root / "pid").exists(), "the job to start")
    return runner, int((project.root / "pid").read_text())


def test_sigterm_stops_a_run_as_ctrl_c_does(project):
    runner, job = start(project)
    runner.send_signal(signal.SIGTERM)
    assert runner.wait(timeout=60) == 128 + signal.SIGTERM
    assert (project.root / "term").exists() and gone(job)
    assert project.statuses() == {("hd.hold", ""): "interrupted", ("hd.after", ""): "not_run"}
    assert "interrupted" in project.orvan("history").stdout.splitlines()[1]


def test_a_second_ctrl_c_during_the_stop_is_ignored(project):
    (project.root / "hold-on").touch()  # the job outlives SIGTERM: the stop waits its grace out
    runner, job = start(project)
    runner.send_signal(signal.SIGINT)
    wait_for(lambda: (project.root / "term").exists(), "the stop to reach the job")
    runner.send_signal(signal.SIGINT)
    assert runner.wait(timeout=60) == 130
    assert gone(job)
    assert project.statuses() == {("hd.hold", ""): "interrupted", ("hd.after", ""): "not_run"}


def test_no_forked_copy_of_the_command_runs_its_exit_handlers(project, tmp_path):
    # Registered at start-up in every interpreter: each line says which
    # process registered the handler and which one ran it.
    hook = tmp_path / "hook"
    hook.mkdir()
    record = tmp_path / "exits"
    (hook / "sitecustomize.py").write_text(
        "import atexit, os\n"
        "_me = os.getpid()\n"
        f"atexit.register(lambda: open({str(record)!r}, 'a').write(f'{{_me}} {{os.getpid()}}\\n'))\n")
    project.write("one.py", "from orvan import asset\n\n@asset()\ndef one():\n    return 1\n")
    env = dict(os.environ, PYTHONPATH=str(hook), COLUMNS="200")
    for command in (["list", "one"], ["run", "one"], ["status", "one"]):
        done = subprocess.run(project.command(*command), cwd=project.root, env=env, capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
    lines = [line.split() for line in record.read_text().splitlines()]
    assert len(lines) >= 3  # the three commands' own
    assert [line for line in lines if line[0] != line[1]] == []
