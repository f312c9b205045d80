"""`orvan ui` in Chromium, against the goals a page must meet to be left
open all day (each figure is a median, as a ratio to its goal):

  run page      a run of 10,001 jobs (one asset of 100 x 100 partitions and
                its input), to first paint
  asset page    that asset of 10,000 partitions, to first paint and its
                matrix drawn, whichever is later
  live update   one job's state changed in the catalog while the asset page
                is open: the page's work to apply it (goal 100 ms), and the
                bytes the server sends for it (goal 2 KiB)
  graph page    1,000 assets, laid out and drawn afresh, to first paint (goal 2 s)

The server is the real one (`UiServer`), in this process, over the catalogs
bench_ui.py fills; Chromium is Debian's (/usr/bin/chromium).

    python bench/ui/bench_ui_browser.py [--repeat N] [--json FILE|-]
"""

from __future__ import annotations

import os
import statistics
import sys
import tempfile
import threading
from collections.abc import Callable

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from bench_ui import graph_app, wide_app  # noqa: E402
from figures import arguments, write_figures  # noqa: E402  (bench_ui put it on the path)

from orvan.catalog import Catalog  # noqa: E402
from orvan.ui.server import App, UiServer, serve  # noqa: E402

CHROMIUM = "/usr/bin/chromium"
PAINT_JS = """() => {
  const p = performance.getEntriesByName('first-contentful-paint')[0];
  const drawn = Number(document.body.dataset.matrixMs || 0);
  return Math.max(p ? p.startTime : performance.now(), drawn);
}"""


def start(app: App) -> tuple[UiServer, str]:
    server = UiServer(app, "127.0.0.1", 0)
    threading.Thread(target=serve, args=(server,), daemon=True).start()
    return server, f"http://127.0.0.1:{server.server_address[1]}"


def new_page(browser: object) -> object:
    # The driver's checks are evaluated scripts, which the pages' policy refuses.
    return browser.new_context(bypass_csp=True).new_page()  # type: ignore[attr-defined]


def first_paint(browser: object, url: str, repeat: int, before: Callable[[], None] = lambda: None) -> float:
    times = []
    for _ in range(repeat):
        before()
        page = new_page(browser)
        page.goto(url, wait_until="load")
        page.wait_for_timeout(50)
        times.append(page.evaluate(PAINT_JS) / 1000)
        page.context.close()
    return statistics.median(times)


def live_update(browser: object, app: App, url: str, repeat: int) -> tuple[float, float]:
    """(median page work in s, median bytes of /changes) for one job's change."""
    catalog = Catalog.in_dir(app.out_dir)
    with app.reader.connect() as q:
        row = next(j for j in q.run_jobs(1) if j.asset_key == "pkg.mod.wide")
    page = new_page(browser)
    sizes: list[int] = []
    page.on("response", lambda r: sizes.append(len(r.body())) if "/changes?" in r.url and r.ok else None)
    page.goto(url, wait_until="load")
    page.wait_for_selector("#live-state.live-on")
    page.wait_for_timeout(300)  # the page's first look at /changes
    work = []
    for i in range(repeat):
        sizes.clear()
        before = int(page.evaluate("Number(document.body.dataset.updates || 0)"))
        catalog.job_finished(row.id, "failed" if i % 2 == 0 else "interrupted", "boom")
        catalog.writes.flush()
        page.wait_for_function(f"Number(document.body.dataset.updates || 0) > {before}", timeout=20_000)
        work.append(float(page.evaluate("document.body.dataset.applyMs")) / 1000)
    page.context.close()
    catalog.close()
    return statistics.median(work), float(max(sizes))


def measure(repeat: int) -> list[tuple[str, float, float, float]]:
    from playwright.sync_api import sync_playwright

    figures = []
    with tempfile.TemporaryDirectory(prefix="orvan-bench-ui-") as tmp, sync_playwright() as p:
        browser = p.chromium.launch(executable_path=CHROMIUM, args=["--no-sandbox"])
        wide, big = wide_app(tmp + "/wide"), graph_app(tmp + "/graph")
        (s1, u1), (s2, u2) = start(wide), start(big)
        try:
            run_paint = first_paint(browser, u1 + "/run/1", repeat)
            figures.append(("ui browser: run page of 10,001 jobs, first paint", run_paint, 1.0))
            asset = u1 + "/asset?key=pkg.mod.wide"
            asset_paint = first_paint(browser, asset, repeat)
            figures.append(("ui browser: asset page of 10,000 partitions, painted", asset_paint, 1.0))
            work, size = live_update(browser, wide, asset, repeat)
            figures.append(("ui browser: one job's live update, page work", work, 0.1))
            figures.append(("ui browser: one job's live update, bytes sent", size, 2048.0))
            # Laid out afresh for each look, as after the pipeline's code loaded.
            graph_paint = first_paint(browser, u2 + "/", repeat, big.models._model.cache.clear)
            figures.append(("ui browser: graph page of 1,000 assets, laid out, first paint", graph_paint, 2.0))
        finally:
            s1.shutdown(), s2.shutdown()
            browser.close()
    return figures


def main() -> None:
    args = arguments(__doc__, 7).parse_args()
    if not os.path.exists(CHROMIUM):
        sys.exit(f"{CHROMIUM} is missing: scripts/system-deps.sh test installs it")
    out = []
    for name, ours, goal in measure(args.repeat):
        unit = "B" if "bytes" in name else "s"
        shown = f"{ours:.0f} B" if unit == "B" else f"{1000 * ours:.1f} ms"
        print(f"  {name}: {shown}, ratio {ours / goal:.2f} of its goal")
        out.append({"name": name, "ours": round(ours, 5), "baseline": goal, "unit": unit,
                    "ratio": round(ours / goal, 4), "goal": 1.0})
    write_figures(out, args.json)


if __name__ == "__main__":
    main()
