"""The `orvan ui` server started as the user starts it, for the UI tests."""

from __future__ import annotations

import http.client
import json
import subprocess
import time
from urllib.parse import urlsplit

from cli_helpers import Project

PIPELINE = """\
from orvan import asset, partitions

@asset()
def source():
    return [1, 2, 3]

@asset(inputs={"s": source},
       partitions={"region": partitions(["eu", "us", "asia"]), "day": partitions(["d1", "d2"])})
def grid(s, region, day):
    if (region, day) == ("us", "d2"):
        raise ValueError("no data for us on d2")
    return {"region": region, "day": day, "n": len(s)}

@asset(inputs={"g": grid})
def total(g):
    return len(g)

@asset()
def broken():
    print("about to fail")
    raise RuntimeError("broken on purpose")
"""

OTHER = """\
from orvan import asset

@asset()
def edited():
    return "first version"
"""

MODULES = ("pipe.main", "pipe.other")


def failing_project(project: Project) -> Project:
    """Run once with one failing partition and one failing asset, then edit
    an asset so that it is stale: every state but running, in one pipeline."""
    project.write("pipe/main.py", PIPELINE)
    project.write("pipe/other.py", OTHER)
    result = project.orvan("run", *MODULES)
    assert result.returncode == 1, result.stderr
    project.write("pipe/other.py", OTHER.replace("first version", "second version"))
    return project


class UiProcess:
    def __init__(self, project: Project, *args: str, wait: bool = True):
        self.proc = subprocess.Popen(project.command("ui", "--port", "0", *args), cwd=project.root,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                     stdin=subprocess.DEVNULL)
        assert self.proc.stdout is not None
        line = self.proc.stdout.readline()
        if " at http" not in line:
            self.proc.kill()
            raise AssertionError(f"orvan ui did not start: {line!r} {self.proc.communicate()[1]}")
        self.url = line.split(" at ", 1)[1].split()[0].rstrip("/")
        parts = urlsplit(self.url)
        self.host, self.port = parts.hostname or "127.0.0.1", parts.port or 80
        if wait:
            self.wait_loaded()

    def wait_loaded(self, timeout: float = 60) -> None:
        """Until the pipeline's code has loaded: pages served before show what the catalog records."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            status, body = self.get("/changes?since=")
            if status == 200 and not json.loads(body).get("reloading"):
                return
            time.sleep(0.1)
        raise AssertionError("orvan ui did not load the pipeline's code in time")

    def get(self, path: str) -> tuple[int, str]:
        """GET the path exactly as given: no client tidies `..` away."""
        conn = http.client.HTTPConnection(self.host, self.port, timeout=30)
        try:
            conn.request("GET", path)
            response = conn.getresponse()
            return response.status, response.read().decode("utf-8", errors="replace")
        finally:
            conn.close()

    def stop(self) -> str:
        self.proc.terminate()
        try:
            _, err = self.proc.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            _, err = self.proc.communicate()
        return err


def one_page(project: Project, path: str) -> tuple[int, str]:
    """The status and text of one page, from a UI started for it alone."""
    ui = UiProcess(project)
    try:
        return ui.get(path)
    finally:
        ui.stop()


def failing_ui(tmp_path_factory, name: str):
    """The failing project served for a module's tests (a module-scoped
    fixture yields from this), stopped after them."""
    project = failing_project(Project(tmp_path_factory.mktemp(name)))
    ui = UiProcess(project, *MODULES)
    yield project, ui
    ui.stop()
