"""`orvan ui` below the browser: layout, path checks, the pages' states and
texts, the change events, and that serving never writes."""

from __future__ import annotations

import http.client
import os
import json
import re
import sqlite3
import time
from html import unescape
from pathlib import Path

import pytest

from cli_helpers import project  # noqa: F401  (fixture)
from orvan.states import State
from orvan.ui import files
from orvan.ui.asset_page import matrix
from orvan.ui.layout import crossings, layered
from orvan.ui.model import AssetView, tokens_for
from ui_helpers import PIPELINE, UiProcess, failing_ui


@pytest.mark.parametrize("nodes, inputs", [
    # two sources whose consumers are listed crossed
    (["a", "b", "c", "d"], {"c": ["b"], "d": ["a"]}),
    # a long edge beside a chain, and a diamond
    (["a", "b", "c", "d", "e"], {"b": ["a"], "c": ["b"], "d": ["a", "c"], "e": ["b", "d"]}),
    (["s", "x", "y", "z", "t"], {"x": ["s"], "y": ["s"], "z": ["s"], "t": ["z", "x"]}),
])
def test_layout_layers_follow_inputs_and_uncross(nodes, inputs):
    layout = layered(nodes, inputs)
    for node, ups in inputs.items():
        assert all(layout.place[node][0] == 1 + max(layout.place[u][0] for u in ups) for _ in [0])
    assert sorted(layout.place) == sorted(nodes)
    assert crossings(layout, inputs) == 0


def test_layout_without_sweeps_keeps_the_crossing():
    # The check above must be able to fail: unswept, the first case crosses.
    assert crossings(layered(["a", "b", "c", "d"], {"c": ["b"], "d": ["a"]}, sweeps=0), {"c": ["b"], "d": ["a"]}) == 1


@pytest.mark.parametrize("relpath", ["..", "../x", "a/../../x", "/etc/passwd", "a/./b", "", "a\0b", "\\etc"])
def test_safe_path_refuses(tmp_path, relpath):
    with pytest.raises(files.OutsidePath):
        files.safe_path(str(tmp_path), relpath)


def test_safe_path_refuses_symlinks_out_and_allows_inside(tmp_path):
    outside = tmp_path / "secret.txt"
    outside.write_text("secret")
    out = tmp_path / "out"
    (out / "a").mkdir(parents=True)
    (out / "a" / "log.txt").write_text("ok")
    (out / "link").symlink_to(outside)
    (out / "dirlink").symlink_to(tmp_path)
    with pytest.raises(files.OutsidePath):
        files.safe_path(str(out), "link")
    with pytest.raises(files.OutsidePath):
        files.safe_path(str(out), "dirlink/secret.txt")
    assert files.safe_path(str(out), "a/log.txt") == str((out / "a" / "log.txt").resolve())


def _luminance(colour: str) -> float:
    channels = [int(colour[i:i + 2], 16) / 255 for i in (1, 3, 5)]
    r, g, b = (c / 12.92 if c <= 0.03928 else ((c + 0.055) / 1.055) ** 2.4 for c in channels)
    return 0.2126 * r + 0.7152 * g + 0.0722 * b


def contrast(a: str, b: str) -> float:
    light, dark = sorted((_luminance(a), _luminance(b)), reverse=True)
    return (light + 0.05) / (dark + 0.05)


def _css_colours(block: str) -> dict[str, str]:
    return dict(re.findall(r"--([\w-]+): (#[0-9a-f]{6})", block))


def test_every_state_colour_gives_white_text_enough_contrast():
    css = (Path(files.__file__).parent / "static" / "ui.css").read_text()
    light = _css_colours(css.split("}", 1)[0])
    dark = _css_colours(css.split("prefers-color-scheme: dark", 1)[1].split("}", 1)[0])
    assert contrast("#000000", "#ffffff") == pytest.approx(21) and contrast("#767676", "#ffffff") > 4.5
    for state in State:
        assert contrast(light[state], "#ffffff") >= 4.5, state
    for theme in (light, {**light, **dark}):
        assert contrast(theme["ink"], theme["bg"]) >= 4.5 and contrast(theme["ink"], theme["panel"]) >= 4.5
        assert contrast(theme["muted"], theme["panel"]) >= 4.5 and contrast(theme["link"], theme["panel"]) >= 4.5


def _view(dims: dict[str, list[str]]) -> AssetView:
    return AssetView("k", [], dims, tokens_for(dims), None)


def test_matrix_of_three_dimensions_puts_each_partition_in_its_cell():
    dims = {"a": ["a0", "a1"], "b": ["b0", "b1", "b2"], "c": ["c0", "c1", "c2", "c3"]}
    view = _view(dims)
    target = view.index_of({"a": "a1", "b": "b2", "c": "c3"})
    assert target is not None
    states = [State.FRESH] * len(view.tokens)
    states[target] = State.FAILED
    def view_of(params: dict[str, str]) -> dict[str, list[str]]:
        """The matrix as the page's script lays it out: row key -> cell codes."""
        html = matrix(view, states, [None] * len(view.tokens), params)
        meta = json.loads(re.search(r"id=matrix-data>(.*?)</script>", html).group(1))
        assert meta["rowDim"] == "c" and meta["colKeys"] == dims["a"]
        return {rk: [meta["s"][meta["base"] + r * meta["rs"] + c * meta["cs"]] for c in range(len(meta["colKeys"]))]
                for r, rk in enumerate(meta["rowKeys"])}

    cells = view_of({"rows": "c", "cols": "a", "at.b": "b2"})
    assert list(cells) == dims["c"]
    assert [(rk, c) for rk, line in cells.items() for c, code in enumerate(line) if code == "x"] == [("c3", 1)]
    # Another slice of b does not hold it.
    assert "x" not in "".join("".join(line) for line in view_of({"rows": "c", "cols": "a", "at.b": "b0"}).values())


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    yield from failing_ui(tmp_path_factory, "ui")


def _states(html: str) -> dict[str, str]:
    return dict(re.findall(r'data-key="([^"]*)" data-state="(\w+)"', html))


def test_graph_states_after_a_failing_run(served):
    _, ui = served
    status, html = ui.get("/")
    assert status == 200
    assert _states(html) == {"pipe.main.source": "fresh", "pipe.main.grid": "failed", "pipe.main.total": "blocked",
                             "pipe.main.broken": "failed", "pipe.other.edited": "stale"}


def test_front_page_counts_what_needs_attention_and_each_count_lists_its_jobs(served):
    _, ui = served
    _, html = ui.get("/")
    counts = dict((s, int(n)) for s, n in re.findall(r'href="/jobs\?state=(\w+)">\S+ (\d+) \w+</a>', html))
    # grid: 1 of 6 partitions failed; total never ran because of it; edited's code changed
    assert counts == {"failed": 2, "blocked": 1, "stale": 1}
    assert "6 of 10 jobs fresh" in html and html.index("attention") < html.index("<svg")
    _, failed = ui.get("/jobs?state=failed")
    assert sorted(re.findall(r"<li><a [^>]*>([^<]*)</a>", unescape(failed))) == [
        "pipe.main.broken", "pipe.main.grid[day=d2,region=us]"]
    _, blocked = ui.get("/jobs?state=blocked")
    assert "upstream pipe.main.grid[day=d2,region=us] failed in run 1" in unescape(blocked)
    assert ui.get("/jobs?state=bogus")[0] == 404
    # A module's share, its filter kept in the address.
    for module, listed in [("pipe.main", 2), ("pipe.other", 0)]:
        _, html = ui.get(f"/jobs?state=failed&module={module}")
        assert len(re.findall(r"<li><a ", html)) == listed and f'<option selected value="{module}">' in html


def test_pages_explain_failures_and_staleness(served):
    _, ui = served
    _, job = ui.get("/job?key=pipe.main.broken")
    assert "broken on purpose" in job and "about to fail" in job
    assert "orvan run pipe.main pipe.other --select pipe.main.broken" in job
    _, stale = ui.get("/asset?key=pipe.other.edited")
    assert "function source changed" in stale and "first version" in stale
    _, grid = ui.get("/asset?key=pipe.main.grid")
    assert "no data for us on d2" in grid
    assert re.search(r'href="/job\?key=pipe.main.grid&amp;p.day=d2&amp;p.region=us"', grid)
    _, run = ui.get("/run/1")
    assert run.index("Failed") < run.index("Timeline")
    # One line per asset; an asset's jobs come when its line is opened.
    assert sorted(re.findall(r'<details class=g-group data-asset="([^"]+)"', run)) == [
        "pipe.main.broken", "pipe.main.grid", "pipe.main.source", "pipe.main.total", "pipe.other.edited"]
    status, body = ui.get("/api/run/1?asset=pipe.main.grid")
    rows = json.loads(body)
    assert status == 200 and rows["total"] == 6
    assert sorted((r[1], r[2]) for r in rows["rows"])[-1] == ("day=d2,region=us", "failed")
    assert ui.get("/api/run/x1")[0] == 404


@pytest.mark.parametrize("path", ["/files/../catalog.sqlite", "/files/../../../etc/passwd", "/files//etc/passwd",
                                  "/files/%2E%2E/%2E%2E/etc/passwd", "/files/pipe.main.source/../../x"])
def test_paths_outside_the_output_directory_are_refused(served, path):
    _, ui = served
    status, html = ui.get(path)
    assert status == 403 and "not a path inside the output directory" in html


def test_files_inside_are_served_as_text(served):
    project, ui = served
    (project.out / "link").unlink(missing_ok=True)
    (project.out / "link").symlink_to("/etc/passwd")
    assert ui.get("/files/link")[0] == 403
    status, text = ui.get("/files/pipe.main.broken/log.txt")
    assert status == 200 and "broken on purpose" in text


def _snapshot(out: Path) -> dict[str, tuple[int, int]]:
    return {str(p): (p.stat().st_size, p.stat().st_mtime_ns) for p in out.rglob("*") if p.is_file()
            and not p.name.endswith("-shm")}


def test_serving_writes_nothing(served):
    project, ui = served
    before = _snapshot(project.out)
    for path in ["/", "/runs", "/run/1", "/asset?key=pipe.main.grid", "/job?key=pipe.main.broken",
                 "/job?key=pipe.main.grid&p.day=d1&p.region=eu"]:
        assert ui.get(path)[0] == 200, path
    assert _snapshot(project.out) == before


def test_events_report_a_commit(served):
    project, ui = served
    conn = http.client.HTTPConnection(ui.host, ui.port, timeout=10)
    conn.request("GET", "/events")
    response = conn.getresponse()
    first = [response.readline() for _ in range(3)]
    assert any(line.startswith(b"data: ") for line in first)
    polled = ui.get("/version")[1]
    db = sqlite3.connect(project.out / "catalog.sqlite")
    db.execute("UPDATE runs SET argv = argv || ' ' WHERE id=1")
    db.commit()
    db.close()
    line = b""
    while not line.startswith(b"data: "):
        line = response.readline()
    assert line not in first
    conn.close()
    # The polling fallback sees the same change.
    assert ui.get("/version")[1] == line.decode().removeprefix("data: ").strip() != polled


@pytest.mark.parametrize("setup, expected", [
    (lambda out: None, "nothing has been run with this output directory yet"),
    (lambda out: (out.mkdir(), (out / "catalog.sqlite").write_bytes(b"not a database" * 100)), "cannot be read"),
])
def test_missing_or_corrupt_catalog_gives_a_clear_page(project, setup, expected):
    setup(project.out)
    ui = UiProcess(project, "pipe.none")
    try:
        for path in ["/", "/runs", "/asset?key=x"]:
            status, html = ui.get(path)
            while "loading the pipeline" in html:  # the front page tries the code first
                time.sleep(0.1)
                status, html = ui.get(path)
            assert status == 503 and expected in html and "Traceback" not in html
        # Before any run the front page tried the pipeline's code too, and says why it could not load it.
        assert ("No module named" in ui.get("/")[1]) == ("nothing has been run" in expected)
    finally:
        err = ui.stop()
    assert "Traceback" not in err


def test_a_catalog_from_a_newer_orvan_is_refused_with_a_message(project):
    project.write("pipe/main.py", PIPELINE)
    project.orvan("run", "pipe.main")
    catalog = project.out / "catalog.sqlite"
    data = bytearray(catalog.read_bytes())
    data[60:64] = (999).to_bytes(4, "big")
    catalog.write_bytes(bytes(data))
    ui = UiProcess(project, "pipe.main", wait=False)
    try:
        for path in ["/", "/asset?key=pipe.main.source", "/run/1"]:
            status, html = ui.get(path)
            assert status == 503 and "written by a newer orvan (schema 999" in unescape(html), path
    finally:
        ui.stop()


def test_before_any_run_the_front_page_draws_the_graph_the_code_declares(project):
    project.write("pipe/main.py", PIPELINE)
    ui = UiProcess(project, "pipe.main")
    try:
        deadline = time.monotonic() + 60
        status, html = ui.get("/")
        while "loading the pipeline" in html and time.monotonic() < deadline:
            time.sleep(0.1)
            status, html = ui.get("/")
        assert status == 200 and "Nothing has been run with this output directory yet" in unescape(html)
        assert set(_states(html).values()) == {"missing"} and len(_states(html)) == 4
        # The first run's catalog replaces it with what was computed.
        assert project.orvan("run", "pipe.main").returncode == 1
        assert _states(ui.get("/")[1])["pipe.main.source"] == "fresh"
    finally:
        ui.stop()


@pytest.mark.parametrize("lines, cut", [(3, False), (files.TAIL_LINES + 5, True), (5000, True)])
def test_log_tail_reads_the_end_only(tmp_path, lines, cut):
    log = tmp_path / "log.txt"
    log.write_text("".join(f"line {i:05d} {'x' * 20}\n" for i in range(lines)))
    text, size, was_cut = files.tail(str(log))
    assert size == log.stat().st_size and was_cut == cut
    shown = text.splitlines()
    assert shown[-1].startswith(f"line {lines - 1:05d}") and len(shown) == min(lines, files.TAIL_LINES)
