"""A failed job, whatever its serializer, through the command: where it
raised, how to rerun it by hand (as the docs and the job page print it), a
full disk in the documented words; and the pipeline mistakes a new user
makes, each answered with what was meant."""

from __future__ import annotations

import html
import re
import shlex
import subprocess
import sys

import pytest
from cli_helpers import Project, project  # noqa: F401  (fixture)
from test_cli_faults import small_disk  # noqa: F401  (fixture)
from ui_helpers import one_page

np = pytest.importorskip("numpy")

# `fails` decides each job's fate: a file names the assets that must raise.
MIXED = """\
import os
import numpy as np
from orvan import asset, partitions

def fails(name):
    return os.path.exists("fail-" + name)

@asset(serializer="npy")
def grid():
    return np.arange(6).reshape(2, 3)

@asset(serializer="text")
def note():
    if fails("note"):
        raise ValueError("note fails on purpose")
    return "hello"

@asset(inputs={"g": grid}, partitions={"day": partitions(["d1", "d2"])})
def total(g, day):
    if fails("total"):
        raise ValueError("total fails on purpose")
    return int(g.sum()) + len(day)

@asset(inputs={"g": grid}, serializer="npy")
def doubled(g):
    if fails("doubled"):
        raise ValueError("doubled fails on purpose")
    return g * 2
"""


def line_of(source: str, text: str) -> int:
    return next(i for i, line in enumerate(source.splitlines(), 1) if text in line)


@pytest.fixture
def mixed(project: Project) -> Project:
    project.write("mx.py", MIXED)
    for name in ("note", "total", "doubled"):
        (project.root / f"fail-{name}").touch()
    run = project.orvan("run", "mx")
    assert run.returncode == 1, run.stderr
    project.summary = run.stdout + run.stderr  # type: ignore[attr-defined]
    return project


@pytest.mark.parametrize("key, directory", [
    ("mx.note", "mx.note"),  # a value another serializer stores
    ("mx.total", "mx.total/day=d1"),  # an input that is not JSON
    ("mx.doubled", "mx.doubled"),  # both
])
def test_every_failed_job_says_where_it_raised(mixed, key, directory):
    line = line_of(MIXED, f'raise ValueError("{key[3:]} fails on purpose")')
    log = (mixed.out / directory / "log.txt").read_text()
    assert f"orvan.worker: raised at {mixed.root / 'mx.py'}:{line}\n" in log
    assert re.search(rf"{re.escape(key[3:])} fails on purpose\n\s+at mx\.py:{line}\n", mixed.summary), mixed.summary


def test_a_failed_job_reruns_by_hand_as_the_docs_say(mixed):
    (mixed.root / "fail-doubled").unlink()
    directory = mixed.out / "mx.doubled"
    assert {p.name for p in directory.iterdir()} >= {"inputs.json"}  # and no kwargs.json: nothing is JSON
    # The docs: `python -m orvan.worker MODULE FUNCTION DIR --rerun`, DIR the job's directory.
    rerun = subprocess.run([sys.executable, "-m", "orvan.worker", "mx", "doubled", str(directory), "--rerun"],
                           cwd=mixed.root, capture_output=True, text=True)
    assert rerun.returncode == 0, rerun.stderr
    assert np.load(directory / "value.npy").tolist() == [[0, 2, 4], [6, 8, 10]]


def test_the_redo_command_of_the_job_page_works_as_printed(mixed):
    (mixed.root / "fail-total").unlink()
    status, page = one_page(mixed, "/job?key=mx.total&p.day=d2")
    assert status == 200
    command = html.unescape(re.search(r"<code id=redo>(.*?)</code>", page).group(1))
    words = shlex.split(command)
    assert words[0] == "orvan"
    redo = mixed.orvan(*words[1:])
    assert redo.returncode == 0, redo.stderr
    assert mixed.value("mx.total", "day=d2") == 15 + 2


def test_a_value_that_does_not_fit_on_disk_says_so_whatever_its_serializer(project, small_disk):
    project.write("big.py", """\
        import numpy as np
        from orvan import asset

        @asset(serializer="npy")
        def big():
            return np.zeros(8 * 1024 * 1024, dtype=np.uint8)
        """)
    out = small_disk / "out"
    run = project.orvan("run", "big", "--out", str(out))
    assert run.returncode == 1 and "Traceback" not in run.stderr, run.stderr
    project.out = out
    error = project.jobs()[0]["error"]
    assert "no space left on device" in error, error
    assert not list(out.glob("big.big/*.npy*")), "the partial value stays behind"


@pytest.mark.parametrize("source, message", [
    ('@asset(serializer="parket")\ndef frame():\n    return 1\n',
     "asset 'pipeline.ingest.typo.frame': unknown serializer 'parket' (did you mean 'parquet'?)"),
    # A bare function name, as --select takes it, and a misspelt one.
    ('@asset()\ndef raw_trades():\n    return 1\n\n@asset(inputs={"t": "raw_trades"})\ndef clean(t):\n    return t\n',
     "input 't' refers to 'raw_trades', which is not a known asset (did you mean 'pipeline.ingest.typo.raw_trades'?)"),
    ('@asset()\ndef raw_trades():\n    return 1\n\n@asset(inputs={"t": "trades"})\ndef clean(t):\n    return t\n',
     "input 't' refers to 'trades', which is not a known asset (did you mean 'pipeline.ingest.typo.raw_trades'?)"),
])
def test_a_misspelt_name_gets_what_was_meant(project, source, message):
    project.write("pipeline/ingest/typo.py", "from orvan import asset\n\n" + source)
    run = project.orvan("run", "pipeline.ingest.typo")
    assert run.returncode == 2 and message in run.stderr, run.stderr


BACKFILL = """\
from orvan import asset, partitions

@asset(partitions={"day": partitions(["d1", "d2"])})
def daily(day):
    return day

@asset(inputs={"d": daily})
def total(d):
    return len(d)
"""


def test_what_a_run_leaves_aside_is_said(project):
    project.write("bf.py", BACKFILL)
    project.write("pyproject.toml", """\
        [tool.orvan]
        modules = ["bf"]
        [tool.orvan.assets."bf.daly"]
        retries = 2
        [tool.orvan.assets."bf.*"]
        timeout = 60
        """)
    run = project.orvan("run", "-p", "day=d1")
    assert run.returncode == 0, run.stderr
    assert set(project.statuses()) == {("bf.daily", '{"day":"d1"}')}
    note = "note: left out: bf.total: not partitioned by day"
    assert f"orvan run: {note}" in run.stderr
    assert "orvan run: warning: [tool.orvan.assets.'bf.daly'] matches no asset (did you mean 'bf.daily'?)" \
        in run.stderr
    assert "'bf.*'" not in run.stderr
    assert f"orvan status: {note}" in project.orvan("status", "-p", "day=d1").stderr
    # Named alone, nothing is left out and nothing said.
    assert "left out" not in project.orvan("run", "-s", "daily", "-p", "day=d2").stderr


@pytest.mark.parametrize("command", [[], ["run"], ["status"], ["list"], ["history"], ["show"], ["logs"], ["ui"]])
def test_help_stands_on_its_own(project, command):
    shown = project.orvan(*command, "--help")
    assert shown.returncode == 0 and "docs/" not in shown.stdout
