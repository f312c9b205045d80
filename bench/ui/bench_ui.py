"""Server time of `orvan ui`'s heaviest pages against the floor: one SQL
query reading the same catalog rows.

  asset page   one asset of 10,000 partitions (100 x 100), one catalog row each
  graph page   1,000 assets, each reading up to three earlier ones

A page's time covers what a request does: open the read-only connection,
query, work out each job's state, render the HTML. The pipeline's model
(discovery's result) is kept between requests, as the server keeps it; the
graph's layout is kept with it, and timed on its own against its 1 s budget.

    python bench/ui/bench_ui.py [--repeat N] [--json FILE|-]
"""

from __future__ import annotations

import argparse
import json
import random
import statistics
import sys
import tempfile
import time
from collections.abc import Callable

from orvan.cli.catalog import Catalog
from orvan.cli.states import ATTEMPTS
from orvan.ui import pages
from orvan.ui.model import AssetView, Model, tokens_for
from orvan.ui.reader import open_readonly
from orvan.ui.server import App, asset, graph

SIDE = 100
ASSETS = 1000
GOAL = 3.0
MARKS = ",".join("?" * len(ATTEMPTS))


def fill(out: str, rows: list[tuple[str, str]]) -> None:
    catalog = Catalog.in_dir(out)
    run = catalog.start_run(["bench"], [])
    catalog.add_jobs(run, [(k, p, f"fp{i % 7}", "done", None) for i, (k, p) in enumerate(rows)])
    catalog.finish_run(run, "ok")
    catalog.close()


def wide_app(out: str) -> App:
    dims = {"a": [f"a{i:03d}" for i in range(SIDE)], "b": [f"b{i:03d}" for i in range(SIDE)]}
    tokens = tokens_for(dims)
    fill(out, [("wide", t) for t in tokens])
    view = AssetView("wide", [], dims, tokens, [f"fp{i % 5}" for i in range(len(tokens))])
    return _app(out, {"wide": view})


def graph_app(out: str) -> App:
    rng = random.Random(7)
    keys = [f"pkg.mod{i // 50}.asset_{i:04d}" for i in range(ASSETS)]
    views = {}
    for i, key in enumerate(keys):
        inputs = sorted({keys[rng.randrange(i)] for _ in range(rng.randint(1, 3))}) if i else []
        views[key] = AssetView(key, inputs, {}, [""], ["fp0"])
    fill(out, [(k, "") for k in keys])
    return _app(out, views)


def _app(out: str, views: dict[str, AssetView]) -> App:
    app = App(out, [], out, None)
    with app.reader.connect() as q:
        app.models._model = Model(views, None, run_id=q.last_run_id())
    return app


def page_time(app: App, page: Callable[..., str], params: dict[str, str]) -> float:
    t0 = time.perf_counter()
    with app.reader.connect() as q:
        page(app, q, params, "").encode("utf-8")
    return time.perf_counter() - t0


def floor_time(app: App, asset_key: str | None) -> float:
    where = "asset_key=? AND " if asset_key else ""
    params = ((asset_key,) if asset_key else ()) + tuple(ATTEMPTS)
    t0 = time.perf_counter()
    db = open_readonly(app.reader.path)
    db.execute("SELECT id, run_id, asset_key, partition, fingerprint, status, started_at, ended_at, error,"
               f" removed_at, value_size FROM jobs WHERE id IN (SELECT MAX(id) FROM jobs WHERE {where}"
               f"status IN ({MARKS}) GROUP BY asset_key, partition)", params).fetchall()
    db.close()
    return time.perf_counter() - t0


def measure(repeat: int, ours: Callable[[], float], floor: Callable[[], float]) -> tuple[float, float]:
    ours(), floor()  # warm the caches alike
    a, b = [], []
    for i in range(repeat):
        pair = [(a, ours), (b, floor)]
        for times, f in pair if i % 2 == 0 else reversed(pair):
            times.append(f())
    return statistics.median(a), statistics.median(b)


def layout_time(app: App) -> float:
    model = app.models._model
    assert model is not None
    model.cache.clear()
    t0 = time.perf_counter()
    pages.graph_layout(model)
    return time.perf_counter() - t0


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--json", metavar="FILE")
    args = parser.parse_args()
    figures = []
    with tempfile.TemporaryDirectory(prefix="orvan-bench-ui-") as tmp:
        wide = wide_app(tmp + "/wide")
        o, b = measure(args.repeat, lambda: page_time(wide, asset, {"key": "wide"}), lambda: floor_time(wide, "wide"))
        figures.append(("ui asset page, 10,000 partitions", o, b, GOAL))
        big = graph_app(tmp + "/graph")
        o, b = measure(args.repeat, lambda: page_time(big, graph, {}), lambda: floor_time(big, None))
        figures.append(("ui graph page, 1,000 assets", o, b, GOAL))
        lay = statistics.median(layout_time(big) for _ in range(max(3, args.repeat // 3)))
        figures.append(("ui graph layout, 1,000 assets, against its 1 s budget", lay, 1.0, 1.0))
    out = []
    for name, o, b, goal in figures:
        print(f"  {name}: {1000 * o:.1f} ms against {1000 * b:.1f} ms, ratio {o / b:.2f} (goal <= {goal})")
        out.append({"name": name, "ours": round(o, 5), "baseline": round(b, 5), "unit": "s",
                    "ratio": round(o / b, 4), "goal": goal})
    if args.json == "-":
        json.dump(out, sys.stdout, indent=2)
    elif args.json:
        with open(args.json, "w") as f:
            json.dump(out, f, indent=2)


if __name__ == "__main__":
    main()
