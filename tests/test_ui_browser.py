"""`orvan ui` in a real Chromium, against the real command and real runs."""

from __future__ import annotations

import os
import shutil
from collections.abc import Iterator

import pytest

from cli_helpers import Project, project  # noqa: F401  (fixture)
from ui_helpers import MODULES, UiProcess, failing_project

CHROMIUM = "/usr/bin/chromium"

if os.environ.get("ORVAN_SANITIZED"):
    pytest.skip("Chromium does not start with the sanitizer runtime preloaded into every process",
                allow_module_level=True)
try:
    from playwright.sync_api import Browser, Page, sync_playwright
except ImportError:
    if os.environ.get("CI"):
        raise
    pytest.skip("playwright is not installed (scripts/setup-venv.sh installs it)", allow_module_level=True)
if shutil.which(CHROMIUM) is None:
    if os.environ.get("CI"):
        raise RuntimeError(f"{CHROMIUM} is missing: scripts/system-deps.sh installs it")
    pytest.skip(f"{CHROMIUM} is missing (scripts/system-deps.sh installs it)", allow_module_level=True)


@pytest.fixture(scope="module")
def browser() -> Iterator[Browser]:
    with sync_playwright() as p:
        b = p.chromium.launch(executable_path=CHROMIUM, args=["--no-sandbox"])
        yield b
        b.close()


@pytest.fixture
def page(browser: Browser) -> Iterator[Page]:
    # Without the pages' script policy, so that only escaping keeps hostile
    # text inert (and the test driver may evaluate its checks).
    context = browser.new_context(viewport={"width": 1280, "height": 800}, bypass_csp=True)
    p = context.new_page()
    errors: list[str] = []
    p.on("pageerror", lambda exc: errors.append(str(exc)))
    yield p
    context.close()
    assert errors == [], errors


@pytest.fixture(scope="module")
def served(tmp_path_factory) -> Iterator[UiProcess]:
    ui = UiProcess(failing_project(Project(tmp_path_factory.mktemp("uib"))), *MODULES)
    yield ui
    ui.stop()


def node_states(page: Page) -> dict[str, str]:
    return page.eval_on_selector_all("a.node", "ns => Object.fromEntries(ns.map(n => [n.dataset.key, n.dataset.state]))")


def test_graph_shows_every_asset_and_a_failed_node_leads_to_its_error(served, page):
    page.goto(served.url + "/")
    assert node_states(page) == {"pipe.main.source": "fresh", "pipe.main.grid": "failed", "pipe.main.total": "blocked",
                                 "pipe.main.broken": "failed", "pipe.other.edited": "stale"}
    assert "1 failed · 5 fresh" in page.inner_text(".graph-box")
    page.click('a.node[data-key="pipe.main.broken"]')
    page.wait_for_url("**/job?key=pipe.main.broken")
    assert "RuntimeError: broken on purpose" in page.inner_text("p.error")
    assert "about to fail" in page.inner_text("pre.log")
    assert page.inner_text("#redo") == "orvan run pipe.main pipe.other --select pipe.main.broken"


def _ranges(page: Page) -> list[list[object]]:
    return page.eval_on_selector_all(
        ".matrix .m-row:not(.m-axis)", "rows => rows.map(r => [r.querySelector('.m-head').textContent,"
        " Array.from(r.querySelectorAll('.seg'))"
        ".map(a => a.className.replace('seg ', '') + ':' + a.style.gridColumn)])")


def test_matrix_merges_equal_states_into_ranges_and_filters_to_the_bad(served, page):
    page.goto(served.url + "/asset?key=pipe.main.grid")
    heads = page.eval_on_selector_all(".matrix .m-axis .m-track span", "s => s.map(t => t.textContent)")
    assert heads == ["eu", "us", "asia"]
    assert _ranges(page) == [["d1", ["c-f:1 / span 3"]],
                             ["d2", ["c-f:1 / span 1", "c-x:2 / span 1", "c-f:3 / span 1"]]]
    failed = page.locator(".matrix a.seg.c-x")
    failed.hover()
    tip = page.inner_text("#tip")
    assert "day=d2, region us: 1 failed" in tip and "run 1" in tip and "no data for us on d2" in tip
    page.check("#bad-only")
    assert page.locator(".matrix .m-row:not(.m-axis):visible").count() == 1
    assert page.inner_text(".bad-ranges") == "day=d2, region us: 1 failed"
    # The keyboard reaches the ranges: one tab stop after the filter, then the arrows.
    page.focus("#bad-only")
    page.keyboard.press("Tab")
    focused = "document.activeElement.className + ' ' + document.activeElement.style.gridColumn"
    assert page.evaluate(focused) == "seg c-f 1 / span 1"
    page.keyboard.press("ArrowRight")
    assert page.evaluate(focused) == "seg c-x 2 / span 1"
    page.keyboard.press("ArrowRight")
    page.keyboard.press("Home")
    page.keyboard.press("End")
    page.keyboard.press("ArrowLeft")
    assert page.evaluate(focused) == "seg c-x 2 / span 1"
    assert "no data for us on d2" in page.inner_text("#tip")
    page.keyboard.press("Enter")
    page.wait_for_url("**/job?**")
    assert page.inner_text("h1").startswith("pipe.main.grid[day=d2,region=us]")
    assert "--partition day=d2 --partition region=us" in page.inner_text("#redo")


def test_a_long_dimension_of_dates_reads_as_months(project, page):
    project.write("pipe/days.py", DAYS)
    assert project.orvan("run", "pipe.days").returncode == 1
    ui = UiProcess(project, "pipe.days")
    try:
        page.goto(ui.url + "/asset?key=pipe.days.daily")
        ranges = _ranges(page)
        # 2024-01-01 .. 2024-04-09, a failed week in February.
        assert [head for head, _ in ranges] == ["Jan 2024", "Feb 2024", "Mar 2024", "Apr 2024"]
        assert ranges[1][1] == ["c-f:1 / span 9", "c-x:10 / span 7", "c-f:17 / span 13"]
        assert ranges[3][1] == ["c-f:1 / span 9"]
        assert page.locator(".matrix a.seg").count() == 6
    finally:
        ui.stop()


DAYS = """\
import datetime
from orvan import asset, partitions

DAYS = [str(datetime.date(2024, 1, 1) + datetime.timedelta(days=i)) for i in range(100)]

@asset(partitions={"day": partitions(DAYS)})
def daily(day):
    if "2024-02-10" <= day <= "2024-02-16":
        raise ValueError("no data on " + day)
    return day
"""


def test_encoded_paths_out_of_the_output_directory_are_refused(served, page):
    for path in ["/files/%2E%2E/%2E%2E/etc/passwd", "/files/%2Fetc%2Fpasswd", "/files/..%2Fcatalog.sqlite"]:
        # Chromium itself resolves an escaped ".." before sending; either way nothing is read.
        response = page.goto(served.url + path)
        assert response is not None and response.status in (403, 404), path
        assert "root:" not in page.content() and "SQLite" not in page.content()


LIVE = """\
import os, time
from orvan import asset

def wait(gate):
    while not os.path.exists(gate):
        time.sleep(0.05)

@asset()
def slow():
    wait({gate!r})
    return "done"

@asset(inputs={{"s": slow}})
def after(s):
    wait({gate!r} + "2")
    return s + "!"
"""


def test_front_page_follows_a_run_with_its_progress(project, page):
    gate = project.root / "gate"
    gate.touch()
    (project.root / "gate2").touch()
    project.write("pipe/live.py", LIVE.format(gate=str(gate)))
    assert project.orvan("run", "pipe.live").returncode == 0
    ui = UiProcess(project, "pipe.live")
    try:
        page.goto(ui.url + "/")
        page.evaluate("window.__sameDocument = true")
        page.wait_for_selector("#live-state.live-on")
        gate.unlink()
        (project.root / "gate2").unlink()
        run = project.popen("run", "pipe.live", "--force")
        # A run starting draws the page again, with its banner.
        page.wait_for_function("(document.getElementById('run-progress') || {}).textContent"
                               " === '▶ run 2 in progress: 0 of 2 jobs settled'", timeout=30_000)
        page.wait_for_selector('a.node[data-key="pipe.live.slow"][data-state="running"]', timeout=30_000)
        redrawn = page.evaluate("document.body.dataset.refreshes")
        gate.touch()
        # Then the jobs' changes come as small changes, the banner counting them.
        page.wait_for_function("document.getElementById('run-progress').textContent.endsWith('1 of 2 jobs settled')",
                               timeout=30_000)
        page.wait_for_selector('a.node[data-key="pipe.live.slow"][data-state="fresh"]')
        assert page.evaluate("document.body.dataset.refreshes") == redrawn
        assert int(page.evaluate("document.body.dataset.updates")) >= 1
        (project.root / "gate2").touch()
        assert run.wait(timeout=60) == 0
        # The run over, its banner goes.
        page.wait_for_function("document.querySelectorAll('a.node[data-state=\"fresh\"]').length === 2"
                               " && !document.getElementById('run-progress')", timeout=30_000)
        assert page.evaluate("window.__sameDocument") is True
    finally:
        gate.touch()
        (project.root / "gate2").touch()
        ui.stop()


HOSTILE_KEY = '<script>window.__pwned=1</script>'
HOSTILE_ATTR = '"><img src=x onerror="window.__pwned=1">'
HOSTILE = f"""\
from orvan import asset, partitions

@asset(name='<img src=x onerror=window.__pwned=1>',
       partitions={{"k": partitions([{HOSTILE_KEY!r}, {HOSTILE_ATTR!r}, "plain"])}})
def hostile(k):
    print("</pre><script>window.__pwned=1</script>")
    if k == "plain":
        raise ValueError("<b onmouseover=window.__pwned=1>bad</b>")
    return "</script><script>window.__pwned=1</script>"
"""


def _visit(page: Page, url: str) -> str:
    page.goto(url)
    assert page.evaluate("window.__pwned") is None, url
    assert page.locator("img").count() == 0 and page.locator("b").count() == 0
    return page.inner_text("main")


def test_hostile_keys_and_texts_render_as_text(project, page):
    project.write("pipe/hostile.py", HOSTILE)
    assert project.orvan("run", "pipe.hostile").returncode == 1
    ui = UiProcess(project, "pipe.hostile")
    name = "<img src=x onerror=window.__pwned=1>"
    try:
        assert name[:20] in _visit(page, ui.url + "/")
        assert page.get_attribute("a.node", "data-key") == name
        page.click("a.node")
        text = _visit(page, page.url)
        assert name in text and "</script><script>window.__pwned=1</script>" in text
        page.locator(".matrix a.seg").nth(0).hover()
        assert HOSTILE_ATTR in page.inner_text("#tip") and HOSTILE_KEY in page.inner_text("#tip")
        page.locator(".matrix a.seg").nth(0).click()
        page.wait_for_url("**/job?**")
        text = _visit(page, page.url)
        assert HOSTILE_KEY in text and "</pre><script>window.__pwned=1</script>" in text
        _visit(page, ui.url + "/run/1")
        page.click("details.g-group summary")  # the asset's jobs are fetched, hostile keys with them
        page.wait_for_function("document.querySelectorAll('.g-rows .g-row').length === 3")
        assert page.evaluate("window.__pwned") is None and page.locator("img").count() == 0
        text = page.inner_text("main")
        assert "<b onmouseover=window.__pwned=1>bad</b>" in text and HOSTILE_ATTR in text
    finally:
        ui.stop()


def _tab_to(page: Page, selector: str, presses: int = 40) -> None:
    """Tab until the focus is on an element matching `selector`, as a keyboard user would."""
    for _ in range(presses):
        page.keyboard.press("Tab")
        if page.evaluate(f"document.activeElement.matches({selector!r})"):
            return
    raise AssertionError(f"the keyboard never reached {selector}")


def test_keyboard_alone_leads_from_the_front_page_to_a_failed_jobs_traceback(served, page):
    page.goto(served.url + "/")
    _tab_to(page, "a.count.st-failed")
    page.keyboard.press("Enter")
    page.wait_for_url("**/jobs?state=failed")
    _tab_to(page, "ul.bad a")
    page.keyboard.press("Enter")
    page.wait_for_url("**/job?**")
    trace = page.inner_text("pre.traceback")
    assert trace.startswith("Traceback (most recent call last):") and "Error:" in trace
    # Shown once: the log points to it instead of repeating it.
    assert "Traceback" not in page.inner_text("pre.log")
    assert "[the traceback, shown above under Error]" in page.inner_text("pre.log")
    _tab_to(page, "p.of-asset a")
    page.keyboard.press("Enter")
    page.wait_for_url("**/asset?key=**")


def _view(page: Page) -> list[float]:
    return [float(v) for v in page.get_attribute("svg.graph", "viewBox").split()]


def _inside_box(page: Page) -> dict[str, bool]:
    return page.evaluate("""() => {
      const b = document.querySelector('.graph-box').getBoundingClientRect();
      return Object.fromEntries(Array.from(document.querySelectorAll('a.node:not(.out)')).map(n => {
        const r = n.getBoundingClientRect();
        return [n.dataset.key, r.left >= b.left - 1 && r.right <= b.right + 1 && r.top >= b.top - 1 && r.bottom <= b.bottom + 1];
      }));
    }""")


def test_graph_fits_zooms_and_pans_by_mouse_and_keyboard(served, browser):
    context = browser.new_context(viewport={"width": 390, "height": 740}, bypass_csp=True, has_touch=True)
    page = context.new_page()
    try:
        # On a phone's width the whole graph is fitted into view.
        page.goto(served.url + "/")
        assert set(_inside_box(page).values()) == {True} and len(_inside_box(page)) == 5
        fitted = _view(page)
        page.focus(".graph-box")
        page.keyboard.press("+")
        zoomed = _view(page)
        assert zoomed[2] < fitted[2] and zoomed[3] < fitted[3]
        page.keyboard.press("ArrowRight")
        assert _view(page)[0] > zoomed[0] and _view(page)[2] == zoomed[2]
        page.keyboard.press("0")
        assert _view(page) == fitted
        box = page.locator(".graph-box").bounding_box()
        x, y = box["x"] + box["width"] / 2, box["y"] + box["height"] / 2
        page.mouse.move(x, y)
        page.mouse.wheel(0, -300)
        assert _view(page)[2] < fitted[2]
        before = _view(page)
        page.mouse.down()
        page.mouse.move(x - 80, y - 40, steps=5)
        page.mouse.up()
        after = _view(page)
        assert after[0] > before[0] and after[1] > before[1] and page.url == served.url + "/"
        # Fingers: one drags the view, two spreading apart zoom in.
        touch = context.new_cdp_session(page)

        def fingers(kind: str, *points: tuple[float, float]) -> None:
            touch.send("Input.dispatchTouchEvent", {"type": kind, "touchPoints": [
                {"x": px, "y": py, "id": i} for i, (px, py) in enumerate(points)]})
        page.keyboard.press("0")
        fingers("touchStart", (x, y))
        for step in range(1, 6):
            fingers("touchMove", (x - 12 * step, y))
        fingers("touchEnd")
        dragged = _view(page)
        assert dragged[0] > fitted[0] and dragged[2] == fitted[2]
        fingers("touchStart", (x - 20, y), (x + 20, y))
        for step in range(1, 6):
            fingers("touchMove", (x - 20 - 15 * step, y), (x + 20 + 15 * step, y))
        fingers("touchEnd")
        assert _view(page)[2] < dragged[2] and page.url == served.url + "/"
    finally:
        context.close()


@pytest.mark.parametrize("query, kept", [
    ("lineage=pipe.main.grid", {"pipe.main.source", "pipe.main.grid", "pipe.main.total"}),
    ("state=failed", {"pipe.main.grid", "pipe.main.broken"}),
    ("module=pipe.other", {"pipe.other.edited"}),
    ("module=pipe.main&state=fresh", {"pipe.main.source", "pipe.main.grid"}),
])
def test_graph_filters_live_in_the_address(served, page, query, kept):
    page.goto(served.url + "/?" + query)
    assert set(_inside_box(page)) == kept
    assert set(_inside_box(page).values()) == {True}  # fitted to what the filter keeps
    name, _, value = query.split("&")[0].partition("=")
    assert page.input_value(f".graph-filter [name={name}]") == value


def test_full_names_show_on_focus(served, page):
    page.goto(served.url + "/")
    _tab_to(page, 'a.node[data-key="pipe.other.edited"]')
    assert page.inner_text("#tip").startswith("pipe.other.edited — stale")


def test_ctrl_k_finds_assets_partitions_and_runs(served, page):
    page.goto(served.url + "/runs")
    page.keyboard.press("Control+k")
    assert page.evaluate("document.activeElement.id") == "find"
    page.keyboard.type("brok")
    page.wait_for_selector("#find-results a")
    assert page.inner_text("#find-results a[aria-selected=true]") == "asset pipe.main.broken"
    page.keyboard.press("Enter")
    page.wait_for_url("**/asset?key=pipe.main.broken")
    page.keyboard.press("Control+k")
    page.keyboard.type("asia")
    page.wait_for_selector("#find-results a")
    assert page.inner_text("#find-results a") == "partition pipe.main.grid region=asia"
    page.fill("#find", "")
    page.keyboard.type("run 1")
    page.wait_for_function("document.querySelector('#find-results a') && "
                           "document.querySelector('#find-results a').textContent.startsWith('run')")
    page.keyboard.press("Enter")
    page.wait_for_url("**/run/1")


def test_modules_collapse_into_one_node_each_and_open_again(served, page):
    page.goto(served.url + "/")
    page.click("text=one node per module")
    page.wait_for_url("**/?group=*")
    groups = page.eval_on_selector_all("a.node.group", "ns => ns.map(n => [n.dataset.module, n.dataset.state,"
                                       " n.querySelector('.detail').textContent])")
    assert sorted(groups) == [["pipe.main", "failed", "✕ 2 failed · 1 blocked · 6 fresh"],
                              ["pipe.other", "stale", "↻ 1 stale"]]
    assert page.locator("a.node:not(.group)").count() == 0
    # No edge: neither module reads the other.
    assert page.locator(".edges path").count() == 0
    page.click('a.node.group[data-module="pipe.other"]')
    page.wait_for_url("**/?group=pipe.main")
    assert page.locator('a.node[data-key="pipe.other.edited"]').count() == 1
    assert page.locator("a.node.group").count() == 1


GATED = """\
import os, time
from orvan import asset, partitions

@asset(partitions={{"p": partitions(["a", "b", "c"])}})
def gated(p):
    while not os.path.exists(os.path.join({root!r}, "gate-" + p)):
        time.sleep(0.05)
    return p
"""


def test_matrix_and_timeline_follow_a_run_by_small_changes(project, page):
    root = project.root
    for p in "abc":
        (root / f"gate-{p}").touch()
    project.write("pipe/gated.py", GATED.format(root=str(root)))
    assert project.orvan("run", "pipe.gated").returncode == 0
    ui = UiProcess(project, "pipe.gated")
    try:
        for p in "abc":
            (root / f"gate-{p}").unlink()
        run = project.popen("run", "pipe.gated", "--force", "-j", "3")
        page.goto(ui.url + "/asset?key=pipe.gated.gated")
        page.wait_for_selector("#live-state.live-on")
        page.wait_for_selector(".matrix a.seg.c-r", timeout=30_000)
        (root / "gate-a").touch()
        # The one range splits as the first partition is done; the page itself stays.
        page.wait_for_function("Array.from(document.querySelectorAll('.matrix a.seg'))"
                               ".map(a => a.className).join() === 'seg c-f,seg c-r'", timeout=30_000)
        assert page.evaluate("document.body.dataset.refreshes") is None
        assert page.inner_text("#asset-counts").split() == ["▶", "running", "2", "✓", "fresh", "1"]
        page.goto(ui.url + "/run/2")
        page.wait_for_selector("#live-state.live-on")
        page.click("details.g-group summary")
        page.wait_for_function("document.querySelectorAll('.g-rows .g-row').length === 3")
        (root / "gate-b").touch()
        page.wait_for_function("document.querySelector('.g-counts').textContent === '2 done · 1 running'",
                               timeout=30_000)
        assert page.evaluate("document.body.dataset.refreshes") is None
        # The opened line fetches its jobs again, with their new states and times.
        page.wait_for_function("document.querySelectorAll('.g-rows .g-bar.st-done').length === 2")
        (root / "gate-c").touch()
        assert run.wait(timeout=60) == 0
    finally:
        for p in "abc":
            (root / f"gate-{p}").touch()
        ui.stop()
