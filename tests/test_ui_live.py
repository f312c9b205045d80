"""What makes `orvan ui` scale and act: the changes a page asks for since
its version, the pipeline reloaded without holding up a request, and the
redo commands built from partitions."""

from __future__ import annotations

import json
import re
from html import unescape

import pytest

from cli_helpers import project  # noqa: F401  (fixture)
from orvan.ui.redo import commands
from ui_helpers import MODULES, OTHER, UiProcess, failing_project, failing_ui

DAYS = [f"2024-01-{d:02d}" for d in range(1, 11)]


@pytest.mark.parametrize("dims, chosen, expected", [
    ({}, [{}], ["orvan run --select k"]),
    # one run of contiguous keys reads as a range; two neighbours are listed
    ({"d": DAYS}, DAYS[2:6], ["orvan run --select k --partition d=2024-01-03..2024-01-06"]),
    ({"d": DAYS}, DAYS[2:4], ["orvan run --select k --partition d=2024-01-03,2024-01-04"]),
    # a few ranges apart: a command each; many: the keys listed
    ({"d": DAYS}, DAYS[0:3] + DAYS[7:10], ["orvan run --select k --partition d=2024-01-01..2024-01-03",
                                           "orvan run --select k --partition d=2024-01-08..2024-01-10"]),
    ({"d": DAYS}, DAYS[::2], ["orvan run --select k --partition d=" + ",".join(DAYS[::2])]),
    # declared order, not the order found in
    ({"d": ["b", "a", "c"]}, ["c", "b", "a"], ["orvan run --select k --partition d=b..c"]),
])
def test_redo_commands_name_ranges_where_keys_are_contiguous(dims, chosen, expected):
    partitions = [{"d": k} for k in chosen] if dims else chosen
    assert commands("k", dims, partitions) == expected


def test_redo_commands_of_several_dimensions_name_the_keys_used_per_dimension():
    dims = {"day": DAYS[:4], "region": ["eu", "us", "asia"]}
    chosen = [{"day": DAYS[1], "region": "us"}, {"day": DAYS[2], "region": "us"}, {"day": DAYS[3], "region": "eu"}]
    assert commands("k", dims, chosen, ["m"], "out dir") == [
        "orvan run m --select k --partition day=2024-01-02..2024-01-04 --partition region=eu,us --out 'out dir'"]


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    yield from failing_ui(tmp_path_factory, "live")


def changes(ui: UiProcess, since: str, run: int | None = None) -> dict[str, object]:
    status, body = ui.get(f"/changes?since={since}" + (f"&run={run}" if run else ""))
    assert status == 200
    return json.loads(body)


def page_version(html: str) -> str:
    return unescape(re.search(r'<main id=live data-v="([^"]*)"', html).group(1))


def test_changes_since_a_version_name_only_the_jobs_that_changed(served):
    project, ui = served
    _, html = ui.get("/run/1")
    v = page_version(html)
    assert changes(ui, v, 1) == {"v": v, "reloading": False}
    assert changes(ui, "never-shown")["reload"] is True
    # Only the failed partition is run again; it fails again, now as a new run of one job.
    main = (project.root / "pipe/main.py").read_text()
    project.write("pipe/main.py", main.replace("no data for us", "still no data for us"))
    ui.wait_loaded()
    assert project.orvan("run", *MODULES, "-s", "pipe.main.grid", "-p", "region=us", "-p", "day=d2").returncode == 1
    ui.wait_loaded()
    found = changes(ui, v, 1)
    assert found["v"] != v and not found.get("reload")
    body = json.dumps(found)
    assert len(body) < 2048
    # The edit made every grid partition stale but the one run again; total stays blocked.
    states = {(k, i): c for k, i, c in found["jobs"]}
    assert states and all(k == "pipe.main.grid" for k, _ in states)
    assert sorted(set(states.values())) == ["s"]
    assert found["assets"] == {"pipe.main.grid": {"failed": 1, "stale": 5}}
    assert found["run"] == []  # run 1's jobs are as they were


def test_a_reload_of_the_code_does_not_hold_up_a_page(project):
    ui = UiProcess(failing_project(project), *MODULES)
    try:
        # Discovery now takes seconds: the page answers with the last model meanwhile, and says so.
        project.write("pipe/other.py", "import time\ntime.sleep(4)\n" + OTHER.replace("first", "third"))
        status, html = ui.get("/")
        assert status == 200 and "loading the pipeline&#x27;s code again" in html
        assert 'data-key="pipe.other.edited" data-state="stale"' in html
        ui.wait_loaded()
        _, html = ui.get("/")
        assert "loading the pipeline" not in html
        _, edited = ui.get("/asset?key=pipe.other.edited")
        assert "function source changed" in edited
    finally:
        ui.stop()


def test_asset_page_offers_the_commands_that_redo_its_failures(served):
    _, ui = served
    _, html = ui.get("/asset?key=pipe.main.grid")
    text = unescape(html)
    assert re.search(r"redo the 1 failed</span><code id=fix-redo>orvan run pipe.main pipe.other --select "
                     r"pipe.main.grid --partition day=d2 --partition region=us</code>", text)
    _, run = ui.get("/run/1")
    fixes = unescape(re.search(r"<code id=fix-run>(.*?)</code>", run, re.S).group(1)).splitlines()
    assert sorted(fixes) == ["orvan run pipe.main pipe.other --select pipe.main.broken",
                             "orvan run pipe.main pipe.other --select pipe.main.grid --partition day=d2 "
                             "--partition region=us"]


def test_long_edges_go_around_the_nodes_of_the_columns_they_cross():
    from orvan.ui import pages
    from orvan.ui.model import AssetView, Model

    inputs = {"a": [], "b": ["a"], "c": ["b"], "d": ["c", "a"], "e": ["a", "b"], "f": ["e", "d"]}
    model = Model({k: AssetView(k, ups, {}, [""], None) for k, ups in inputs.items()})
    drawn = pages.drawing(model)
    boxes = {}
    for key, (opening, *_rest) in drawn.nodes.items():
        x, y = map(int, re.search(r"translate\((\d+),(\d+)\)", opening).groups())
        boxes[key] = (x, y)
    crossed = 0
    for a, b, d in re.findall(r'<path data-a="(\w)" data-b="(\w)" d="([^"]+)"', drawn.edges):
        # Each straight run through a column, at a height no node of that column covers.
        for x1, y, x2 in re.findall(r"(\d+),(\d+)L(\d+),\d+", d):
            crossed += 1
            for x, top in boxes.values():
                if x == int(x1):
                    assert not top <= int(y) <= top + pages.NODE_H, (a, b, d)
            assert int(x2) - int(x1) == pages.NODE_W
    assert crossed >= 2  # a->d and a->f and b->... do cross columns


def test_a_collapsed_module_takes_its_assets_edges_without_looping_on_itself():
    from orvan.ui import pages
    from orvan.ui.model import AssetView, Model

    inputs = {"m1.a": [], "m1.b": ["m1.a"], "m2.c": ["m1.b"], "m2.d": ["m1.a", "m2.c"]}
    model = Model({k: AssetView(k, ups, {}, [""], None) for k, ups in inputs.items()})
    order, ins, members = pages.grouped(model, frozenset({"m1"}))
    assert order == ["module:m1", "m2.c", "m2.d"] and members == {"module:m1": ["m1.a", "m1.b"]}
    assert ins == {"module:m1": [], "m2.c": ["module:m1"], "m2.d": ["module:m1", "m2.c"]}
    order, ins, _ = pages.grouped(model, frozenset({"m1", "m2"}))
    assert ins == {"module:m1": [], "module:m2": ["module:m1"]}


CHECKED = """\
from orvan import asset
from orvan.checks import check, CheckResult

@asset()
def up():
    return {"n": -1}

@check(up, blocking=True)
def positive(value):
    return CheckResult(value["n"] > 0, "n is " + str(value["n"]))

@check(up)
def small(value):
    return value["n"] < 10
"""


def test_job_page_shows_the_checks_outcomes_of_its_value(project):
    project.write("cp/m.py", CHECKED)
    project.orvan("run", "cp.m")
    ui = UiProcess(project, "cp.m")
    try:
        _, html = ui.get("/job?key=cp.m.up")
        checks = re.findall(r'<li class="check (\w+)">(.*?)</li>', unescape(html))
        assert checks == [("failed", "✕ positive failed (blocking): n is -1"), ("passed", "✓ small passed")]
        assert "earlier value" not in html
    finally:
        ui.stop()


@pytest.mark.parametrize("assets, params, expected", [
    (10, {}, set()),
    (201, {}, {"m0", "m1"}),  # a large graph starts grouped
    (201, {"group": "-"}, set()),
    (10, {"group": "*"}, {"m0", "m1"}),
    (10, {"group": "m1,nowhere"}, {"m1"}),
])
def test_which_modules_are_drawn_as_one_node(assets, params, expected):
    from orvan.ui import pages
    from orvan.ui.model import AssetView, Model

    model = Model({f"m{i % 2}.a{i}": AssetView(f"m{i % 2}.a{i}", [], {}, [""], None) for i in range(assets)})
    assert pages.collapsed_modules(model, params) == expected
