"""What `orvan show` and `orvan logs` print, through the command: nothing
stored is dropped or hidden, and a name that finds nothing says why."""

from __future__ import annotations

import os
import select
import subprocess

import pytest
from cli_helpers import Project, project, wait_for  # noqa: F401  (fixture)

ODD = """\
from orvan import asset, partitions

@asset()
def surrogate():
    return "a\\ud800b"

@asset()
def text():
    return {"word": "caf\\u00e9", "n": 3}

@asset()
def broken():
    raise ValueError("broken on purpose")

@asset(inputs={"b": broken})
def after(b):
    return b

@asset(partitions={"day": partitions(["d1", "d2"])})
def daily(day):
    return day
"""


@pytest.fixture
def odd(project: Project) -> Project:
    project.write("odd.py", ODD)
    run = project.orvan("run", "odd")
    assert run.returncode == 1, run.stderr
    return project


def test_a_value_that_cannot_be_encoded_is_printed_escaped(odd):
    # The terminal's encoding is ASCII here: neither the lone surrogate nor é can be written as they are.
    env = {"PYTHONIOENCODING": "ascii"}
    for key, expected in [("odd.surrogate", '"a\\ud800b"'), ("odd.text", '{"word": "caf\\xe9", "n": 3}')]:
        shown = subprocess.run(odd.command("show", key), cwd=odd.root, capture_output=True, text=True,
                               env={**os.environ, **env})
        assert shown.returncode == 0 and shown.stdout == expected + "\n", (shown.stdout, shown.stderr)
    assert odd.orvan("show", "surrogate").stdout == '"a\\ud800b"\n'


def test_raw_dash_writes_the_stored_bytes_to_standard_output(odd):
    shown = subprocess.run(odd.command("show", "odd.text", "--raw", "-"), cwd=odd.root, capture_output=True)
    assert shown.returncode == 0
    assert shown.stdout == (odd.out / "odd.text" / "value.json").read_bytes()
    assert not (odd.root / "-").exists()


@pytest.mark.parametrize("args, expected", [
    # A bare function name and -p, as run, status and logs take them.
    (["daily", "-p", "day=d2"], '"d2"\n'),
    (["odd.daily", "--partition", "day=d1"], '"d1"\n'),
])
def test_show_takes_a_bare_name_and_short_partition_flag(odd, args, expected):
    shown = odd.orvan("show", *args)
    assert (shown.returncode, shown.stdout) == (0, expected), shown.stderr


@pytest.mark.parametrize("args, expected", [
    # Declared, never run because its upstream failed: said so, with no other asset suggested.
    (["after"], "no log for odd.after: never run (upstream odd.broken failed)"),
    (["odd.after"], "no log for odd.after: never run (upstream odd.broken failed)"),
    # Partitioned, without -p: the stored partitions are listed.
    (["daily"], "no log for odd.daily: give every dimension (missing: day); stored partitions:\n"
                "  --partition day=d1\n  --partition day=d2"),
    (["odd.dayly"], "nothing stored for asset 'odd.dayly' in .orvan (did you mean 'odd.daily'?)"),
])
def test_logs_of_a_job_without_a_log_says_why(odd, args, expected):
    logs = odd.orvan("logs", *args)
    assert logs.returncode == 2 and expected in logs.stderr, logs.stderr
    assert "did you mean" not in logs.stderr or "dayly" in args[0]


def test_show_reads_the_catalog_under_a_path_with_hash_and_question_mark(tmp_path):
    odd = Project(tmp_path / "a#b?c")
    odd.write("odd.py", ODD)
    odd.orvan("run", "odd")
    # Only the catalog knows why there is no value: without it the message would be "no such partition".
    shown = odd.orvan("show", "odd.after")
    assert shown.returncode == 2 and "no stored value for odd.after: never run" in shown.stderr, shown.stderr


FOLLOWED = """\
import os, time
from orvan import asset

@asset()
def gate():
    while not os.path.exists("go"):
        time.sleep(0.02)
    return 1

@asset(inputs={"g": gate})
def talk(g):
    print("attempt", open("attempt").read(), flush=True)
    return g
"""


def test_logs_follow_of_a_pending_job_prints_only_the_new_attempt(project):
    project.write("fl.py", FOLLOWED)
    (project.root / "attempt").write_text("one")
    (project.root / "go").touch()
    assert project.orvan("run", "fl").returncode == 0
    (project.root / "go").unlink()
    (project.root / "attempt").write_text("two")
    runner = subprocess.Popen(project.command("run", "fl", "--force"), cwd=project.root,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_for(lambda: project.statuses().get(("fl.talk", "")) == "pending", "the second run's pending job")
        follower = subprocess.Popen(project.command("logs", "talk", "--follow"), cwd=project.root,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        # It says it waits, having printed nothing of the last attempt's log.
        assert select.select([follower.stderr], [], [], 60)[0], "logs --follow never said it waits"
        said = follower.stderr.readline()
        (project.root / "go").touch()
        out, err = follower.communicate(timeout=60)
    finally:
        (project.root / "go").touch()
        assert runner.wait(60) == 0
    assert "fl.talk waits to start" in said
    assert follower.returncode == 0 and out == "attempt two\n", (out, said + err)
