"""`orvan ui` as HTTP sees it: where it finds the project, and what every
route answers to odd requests."""

from __future__ import annotations

import http.client
import subprocess

import pytest
from cli_helpers import Project
from ui_helpers import MODULES, UiProcess, failing_project


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    project = failing_project(Project(tmp_path_factory.mktemp("http")))
    ui = UiProcess(project, *MODULES)
    yield ui
    ui.stop()


def request(ui: UiProcess, method: str, path: str) -> tuple[int, dict[str, str], bytes]:
    conn = http.client.HTTPConnection(ui.host, ui.port, timeout=30)
    try:
        conn.request(method, path)
        response = conn.getresponse()
        return response.status, dict(response.getheaders()), response.read()
    finally:
        conn.close()


@pytest.mark.parametrize("path", ["/run/99999999999999999999", "/run/9223372036854775808"])
def test_a_run_id_no_run_can_have_is_not_found(served, path):
    status, _, body = request(served, "GET", path)
    assert status == 404 and b"no run" in body


@pytest.mark.parametrize("path", ["/", "/graph", "/runs", "/run/1", "/asset?key=pipe.main.grid",
                                  "/job?key=pipe.main.broken", "/static/ui.css", "/version",
                                  "/files/pipe.main.broken/log.txt", "/nowhere", "/events"])
def test_head_answers_as_get_without_a_body(served, path):
    status, headers, body = request(served, "HEAD", path)
    assert body == b""
    if path == "/events":
        assert status == 200 and headers["Content-Type"] == "text/event-stream"
        return
    got_status, got_headers, got_body = request(served, "GET", path)
    assert status == got_status and headers["Content-Type"] == got_headers["Content-Type"]
    # A page may differ by its clock between the two requests; a file or a 404 must not.
    if path.startswith(("/static/", "/files/")) or status == 404:
        assert int(headers["Content-Length"]) == len(got_body)


def test_ui_from_a_subdirectory_serves_the_project(tmp_path):
    project = Project(tmp_path)
    project.write("pyproject.toml", '[tool.orvan]\nmodules = ["pipe.main"]\n')
    project.write("pipe/main.py", "from orvan import asset\n\n@asset()\ndef only():\n    return 1\n")
    assert project.orvan("run").returncode == 0
    below = Project(tmp_path / "pipe")
    ui = UiProcess(below)
    try:
        status, page = ui.get("/")
    finally:
        ui.stop()
    assert status == 200 and "pipe.main.only" in page
    assert not (tmp_path / "pipe" / ".orvan").exists()
    # As the other commands do from there.
    assert subprocess.run(below.command("status"), cwd=below.root, capture_output=True).returncode == 0
