"""Server time of `orvan ui`'s heaviest pages against the floor: one SQL
query reading the same catalog rows.

  asset page   one asset of 10,000 partitions (100 x 100), one catalog row each
  graph page   1,000 assets, each reading up to three earlier ones

A page's time covers what a request does: open the read-only connection,
query, work out each job's state, render the HTML. The pipeline's model
(discovery's result) is kept between requests, as the server keeps it; the
graph's drawing (its layout, and edges routed around the nodes) is kept with
it, and timed on its own against its 1 s budget.
Every request asks `orvan status`'s judge for its states afresh, from the
catalog's rows of the whole pipeline and a look at each job's stored files;
the floor reads the rows only.

    python bench/ui/bench_ui.py [--repeat N] [--json FILE|-]
"""

from __future__ import annotations

import json
import os
import random
import statistics
import sys
import tempfile
import time
from collections.abc import Callable

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cli"))
from figures import arguments, write_figures  # noqa: E402

from orvan.catalog import Catalog, encode_inputs  # noqa: E402
from orvan.cli.inspect.discovery import parse_report
from orvan.cli.plan.graph import build_graph
from orvan.cli.plan.jobs import Plan, build_plan
from orvan.states import ATTEMPTS
from orvan.ui import pages
from orvan.ui.model import Model, from_plan
from orvan.catalog.sqlite import open_sqlite
from orvan.ui.server import App, asset, graph

SIDE = 100
ASSETS = 1000
GOAL = 3.0
MARKS = ",".join("?" * len(ATTEMPTS))


def record(function: str, inputs: dict[str, str] | None = None,
           partitions: dict[str, list[str]] | None = None) -> dict[str, object]:
    """An inspection record, as `python -m orvan.inspect` reports one."""
    source = f"@asset()\ndef {function}():\n    return 1\n"
    return {
        "decorator_metadata": {
            "inputs": inputs, "kind": "asset", "name": None, "serializer": None,
            "partitions": None if partitions is None else {
                d: {"kind": "inline", "values_json": json.dumps(v)} for d, v in partitions.items()},
        },
        "file_path": "", "function_name": function, "function_source": source, "kind": "asset",
        "module_path": "pkg.mod", "module_source": source, "python_version": "3.13.0", "return_type": None,
    }


def fill(out: str, plan: Plan) -> None:
    """One successful run of every job, recorded as the runner records it,
    with a value file each, so that every job is fresh."""
    catalog = Catalog.in_dir(out)
    run = catalog.start_run(["pkg.mod"], [])
    jobs = list(plan.jobs.values())
    ids = catalog.add_jobs(run, [(j.key, j.id[1], j.fingerprint, "done", None) for j in jobs])
    updates = []
    for row_id, job in zip(ids, jobs):
        directory = os.path.join(out, job.relpath)
        os.makedirs(directory, exist_ok=True)
        for name in ("value.json", "result.json"):
            with open(os.path.join(directory, name), "w") as f:
                f.write("1")
        inputs = encode_inputs({dep: "h" for dep in job.deps})
        # The parts as the runner records them: the very text the fingerprint hashes.
        updates.append((1, "h", json.dumps(job.parts, sort_keys=True, separators=(",", ":")), inputs, row_id))
    with catalog.transaction():
        catalog.db.executemany("UPDATE jobs SET value_size=?, value_hash=?, parts=?, input_hashes=? WHERE id=?",
                               updates)
    catalog.finish_run(run, "ok")
    catalog.close()


def _app(out: str, records: list[dict[str, object]]) -> App:
    graph = build_graph(parse_report({"assets": records}))
    plan = build_plan(graph)
    fill(out, plan)
    app = App(out, [], out, None)
    with app.reader.connect() as q:
        app.models._model = Model(from_plan(plan), None, run_id=q.last_run_id(), plan=plan)
    return app


def wide_app(out: str) -> App:
    dims = {"a": [f"a{i:03d}" for i in range(SIDE)], "b": [f"b{i:03d}" for i in range(SIDE)]}
    return _app(out, [record("src"), record("wide", {"s": "pkg.mod.src"}, dims)])


def graph_app(out: str) -> App:
    rng = random.Random(7)
    names = [f"asset_{i:04d}" for i in range(ASSETS)]
    records = []
    for i, name in enumerate(names):
        ups = sorted({names[rng.randrange(i)] for _ in range(rng.randint(1, 3))}) if i else []
        records.append(record(name, {f"p{n}": f"pkg.mod.{u}" for n, u in enumerate(ups)} or None))
    return _app(out, records)


def page_time(app: App, page: Callable[..., str], params: dict[str, str]) -> float:
    t0 = time.perf_counter()
    with app.reader.connect() as q:
        page(app, q, params, "").encode("utf-8")
    return time.perf_counter() - t0


def floor_time(app: App, asset_key: str | None) -> float:
    where = "asset_key=? AND " if asset_key else ""
    params = ((asset_key,) if asset_key else ()) + tuple(ATTEMPTS)
    t0 = time.perf_counter()
    db = open_sqlite(app.reader.path, writable=False, timeout=5, check_same_thread=False)
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
    pages.drawing(model)  # the layout, and the edges routed around the nodes
    return time.perf_counter() - t0


def main() -> None:
    args = arguments(__doc__, 15).parse_args()
    figures = []
    with tempfile.TemporaryDirectory(prefix="orvan-bench-ui-") as tmp:
        wide = wide_app(tmp + "/wide")
        big = graph_app(tmp + "/graph")
        o, b = measure(args.repeat, lambda: page_time(wide, asset, {"key": "pkg.mod.wide"}),
                       lambda: floor_time(wide, None))
        figures.append(("ui asset page, 10,000 partitions", o, b, GOAL))
        o, b = measure(args.repeat, lambda: page_time(big, graph, {}), lambda: floor_time(big, None))
        figures.append(("ui graph page, 1,000 assets", o, b, GOAL))
        lay = statistics.median(layout_time(big) for _ in range(max(3, args.repeat // 3)))
        figures.append(("ui graph layout and edges, 1,000 assets, against its 1 s budget", lay, 1.0, 1.0))
    out = []
    for name, o, b, goal in figures:
        print(f"  {name}: {1000 * o:.1f} ms against {1000 * b:.1f} ms, ratio {o / b:.2f} (goal <= {goal})")
        out.append({"name": name, "ours": round(o, 5), "baseline": round(b, 5), "unit": "s",
                    "ratio": round(o / b, 4), "goal": goal})
    write_figures(out, args.json)


if __name__ == "__main__":
    main()
