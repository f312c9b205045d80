"""One truth: a pipeline put into every state a job can be in, and every view
of it (`orvan status --json`, the UI's graph node, asset badge, matrix cell
and job page) asked what each job is. They must all say the same, because
they all ask the same function."""

from __future__ import annotations

import json
import re
import signal
from collections.abc import Iterator
from contextlib import contextmanager
from html import unescape
from urllib.parse import urlencode

import pytest

from cli_helpers import Project, wait_for
from ui_helpers import UiProcess

# Every asset has the one partition p=x, so that each view names one job:
# the asset's node and badge show it alone, and the matrix has one cell.
PIPELINE = """\
import os, time
from orvan import asset, partitions

P = partitions(["x"])

def _hold(name):
    open(name + ".started", "w").close()
    while not os.path.exists(name + ".release"):
        time.sleep(0.05)

@asset(partitions={"p": P})
def fresh(p):
    return 1

@asset(partitions={"p": P})
def by_code(p):
    return "first"

@asset(partitions={"p": P})
def source(p):
    with open("data.txt") as f:
        return f.read()

@asset(inputs={"s": source}, partitions={"p": P})
def by_upstream(s, p):
    return s + "!"

@asset(partitions={"p": P})
def damaged(p):
    return 12345

@asset(partitions={"p": P})
def broken(p):
    raise RuntimeError("broken on purpose")

@asset(inputs={"b": broken}, partitions={"p": P})
def blocked(b, p):
    return b

@asset(partitions={"p": P})
def cut(p):
    _hold("cut")
    return 1

@asset(partitions={"p": P})
def going(p):
    _hold("going")
    return 1

@asset(partitions={"p": P})
def never(p):
    return 1
"""

# Only this asset's module reads the local module.
BY_MODULE = """\
from orvan import asset, partitions
from pipe import helper

@asset(partitions={"p": partitions(["x"])})
def by_module(p):
    return helper.FACTOR
"""
MODULES = ("pipe.m", "pipe.mod")

EXPECTED = {
    "fresh": "fresh",
    "by_code": "stale",
    "by_module": "stale",
    "by_upstream": "stale",
    "damaged": "stale",
    "broken": "failed",
    "cut": "interrupted",
    "going": "running",
    "never": "missing",
    "blocked": "blocked",
}
# Why, as `status --json` gives it: the reason that tells each case apart.
REASONS = {
    "by_code": "function source changed",
    "by_module": "local module",
    "by_upstream": "upstream pipe.m.source[p=x] value changed",
    "damaged": "stored value damaged (7 bytes, 5 recorded)",
    "broken": "broken on purpose",
    "cut": "was interrupted",
    "blocked": "upstream pipe.m.broken[p=x] failed in run 1",
    "never": "never run",
}


def _start_held(project: Project, name: str):
    run = project.popen("run", *MODULES, "-s", name)
    wait_for(lambda: (project.root / f"{name}.started").exists(), f"{name} to start")
    return run


@contextmanager
def _every_state(project: Project) -> Iterator[Project]:
    project.write("pipe/helper.py", "FACTOR = 2\n")
    project.write("pipe/m.py", PIPELINE)
    project.write("pipe/mod.py", BY_MODULE)
    (project.root / "data.txt").write_text("one")
    first = project.orvan("run", *MODULES, "-s", "fresh,by_code,by_module,by_upstream,damaged,broken,blocked")
    assert first.returncode == 1, first.stdout + first.stderr
    (project.root / "data.txt").write_text("two")
    assert project.orvan("run", *MODULES, "-s", "source", "--force").returncode == 0
    project.write("pipe/m.py", PIPELINE.replace('return "first"', 'return "second"'))
    project.write("pipe/helper.py", "FACTOR = 3\n")
    value = project.out / "pipe.m.damaged" / "p=x" / "value.json"
    value.write_text(value.read_text() + "  ")  # a value that grew is as damaged as one cut short
    cut = _start_held(project, "cut")
    cut.send_signal(signal.SIGINT)
    assert cut.wait(timeout=60) == 130
    going = _start_held(project, "going")
    try:
        yield project
    finally:
        (project.root / "going.release").touch()
        going.wait(timeout=60)


@pytest.fixture(scope="module")
def views(tmp_path_factory) -> Iterator[dict[str, dict[str, str]]]:
    """What each view says of each asset's job, read while `going` runs."""
    with _every_state(Project(tmp_path_factory.mktemp("states"))) as project:
        ui = UiProcess(project, *MODULES)
        try:
            yield _read_views(project, ui)
        finally:
            ui.stop()


def _badge(html: str, where: str) -> str:
    found = re.search(rf"<h1[^>]*>{where}.*?<span class=\"badge st-(\w+)\">", html)
    assert found, html[:2000]
    return found.group(1)


def _read_views(project: Project, ui: UiProcess) -> dict[str, dict[str, str]]:
    status = project.orvan("status", *MODULES, "--json")
    jobs = {j["asset"].rsplit(".", 1)[1]: j for j in json.loads(status.stdout)["jobs"]}
    _, graph = ui.get("/")
    nodes = dict(re.findall(r'data-key="pipe\.mo?d?\.(\w+)" data-state="(\w+)"', graph))
    views: dict[str, dict[str, str]] = {"status": {}, "node": {}, "badge": {}, "cell": {}, "job": {},
                                        "why": {}}
    codes = {"f": "fresh", "s": "stale", "x": "failed", "i": "interrupted", "r": "running", "m": "missing",
             "b": "blocked"}
    for name in EXPECTED:
        key = jobs[name]["asset"]
        views["status"][name] = jobs[name]["state"]
        views["why"][name] = " | ".join(jobs[name]["reasons"])
        views["node"][name] = nodes.get(name, "?")
        _, asset = ui.get("/asset?" + urlencode({"key": key}))
        views["badge"][name] = _badge(asset, re.escape(key))
        cells = json.loads(re.search(r"id=matrix-data>(.*?)</script>", asset).group(1))["s"]
        views["cell"][name] = codes[cells] if len(cells) == 1 else "?"
        _, job = ui.get("/job?" + urlencode({"key": key, "p.p": "x"}))
        views["job"][name] = _badge(job, re.escape(f"{key}[p=x]"))
        views.setdefault("page", {})[name] = unescape(job)
    return views


@pytest.mark.parametrize("name", list(EXPECTED))
def test_every_view_tells_the_same_state(views, name):
    told = {view: views[view][name] for view in ("status", "node", "badge", "cell", "job")}
    assert told == dict.fromkeys(told, EXPECTED[name]), views["why"][name]
    if name in REASONS:
        assert REASONS[name] in views["why"][name]
        assert REASONS[name] in views["page"][name]  # the job page gives the same reason
