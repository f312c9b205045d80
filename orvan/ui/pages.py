"""The graph, runs and run pages."""

from __future__ import annotations

import time
from collections import Counter
from dataclasses import dataclass

from ..cli.report import seconds
from ..states import JobState, State
from .freshness import GLYPHS, PRIORITY, Judge
from .html import asset_url, badge, duration, e, job_label, job_url, parse_token, shell, time_text
from .layout import Layout, layered
from .model import AssetView, Model
from .reader import JobRow, RunRow

NODE_W, NODE_H, GAP_X, GAP_Y, PAD = 210, 44, 70, 16, 20
LABEL_CHARS = 25


def asset_counts(asset: AssetView, judge: Judge) -> dict[State, int]:
    key, state = asset.key, judge.state
    if not asset.dims:  # most assets: no counting machinery
        return {state(key, ""): 1}
    counts: dict[State, int] = {}
    for tok in asset.tokens:
        s = state(key, tok)
        counts[s] = counts.get(s, 0) + 1
    return counts


def overall(counts: dict[State, int]) -> State:
    return next((s for s in PRIORITY if s in counts), State.MISSING)


def counts_line(counts: dict[State, int]) -> str:
    """"3 failed · 102 fresh": the most pressing first."""
    return " · ".join(f"{counts[s]} {s}" for s in PRIORITY if counts.get(s))


def graph_layout(model: Model) -> Layout:
    cached = model.cache.get("layout")
    if not isinstance(cached, Layout):
        cached = layered(list(model.assets), {k: a.inputs for k, a in model.assets.items()})
        model.cache["layout"] = cached
    return cached


@dataclass(frozen=True)
class Drawing:
    """What the graph's picture owes to the pipeline alone, not to the jobs'
    states: kept with the model, so that a request only fills in states."""
    frame: str
    edges: str
    # key -> (the node's opening: position, escaped key; its label; its page)
    nodes: dict[str, tuple[str, str, str, str]]


def _node_xy(layout: Layout, key: str, tallest: int) -> tuple[int, int]:
    li, pos = layout.place[key]
    shift = (tallest - len(layout.layers[li])) * (NODE_H + GAP_Y) // 2
    return PAD + li * (NODE_W + GAP_X), PAD + shift + pos * (NODE_H + GAP_Y)


def _edges(model: Model, xy: dict[str, tuple[int, int]]) -> str:
    edges, half = [], NODE_H // 2
    for key, asset in model.assets.items():
        x2, y2 = xy[key]
        for up in asset.inputs:
            if up in xy:
                x1, y1 = xy[up][0] + NODE_W, xy[up][1] + half
                mid = (x1 + x2) // 2
                edges.append(f'<path d="M{x1},{y1} C{mid},{y1} {mid},{y2 + half} {x2},{y2 + half}"/>')
    return "".join(edges)


def drawing(model: Model) -> Drawing:
    cached = model.cache.get("drawing")
    if isinstance(cached, Drawing):
        return cached
    layout = graph_layout(model)
    tallest = max((len(layer) for layer in layout.layers), default=0)
    xy = {k: _node_xy(layout, k, tallest) for k in model.assets}
    width = PAD * 2 + len(layout.layers) * (NODE_W + GAP_X)
    height = PAD * 2 + tallest * (NODE_H + GAP_Y)
    frame = (f'<svg class=graph width="{width}" height="{height}" viewBox="0 0 {width} {height}" '
             f'role=img aria-label="asset graph">')
    nodes = {}
    for key in model.assets:
        label = key if len(key) <= LABEL_CHARS else key[:LABEL_CHARS - 1] + "…"
        nodes[key] = (f'transform="translate({xy[key][0]},{xy[key][1]})" data-key="{e(key)}"', e(key), e(label),
                      asset_url(key))
    cached = Drawing(frame, f"<g class=edges>{_edges(model, xy)}</g>", nodes)
    model.cache["drawing"] = cached
    return cached


def _bar(counts: dict[State, int], total: int) -> str:
    x, parts = 8.0, []
    for state in reversed(PRIORITY):
        if state in counts:
            w = (NODE_W - 16) * counts[state] / total
            parts.append(f'<rect class="bar st-{state}" x="{x:.1f}" y="{NODE_H - 9}" width="{w:.1f}" height="5"/>')
            x += w
    return "".join(parts)


def _node(asset: AssetView, drawn: tuple[str, str, str, str], counts: dict[State, int]) -> str:
    opening, key, label, href = drawn
    if asset.dims:
        state = overall(counts)
        tip = counts_line(counts)
        detail = f'<text x="8" y="{NODE_H - 14}">{GLYPHS[state]} {tip}</text>' + _bar(counts, len(asset.tokens))
    else:
        state = next(iter(counts))
        detail = f'<text x="8" y="33">{GLYPHS[state]} {state}</text>'
        tip = state
        if state in (State.FAILED, State.INTERRUPTED):  # its error and log are what its user wants: one click
            href = e(job_url(asset.key, {}))
    return (f'<a href="{href}" class=node {opening} data-state="{state}"><title>{key} — {tip}</title>'
            f'<rect class="box st-{state}"/><text x="8" y="17" class=name>{label}</text>{detail}</a>')


def graph_svg(model: Model, judge: Judge, totals: dict[State, int] | None = None) -> str:
    drawn = drawing(model)
    nodes = []
    for key, asset in model.assets.items():
        counts = asset_counts(asset, judge)
        nodes.append(_node(asset, drawn.nodes[key], counts))
        if totals is not None:
            for state, n in counts.items():
                totals[state] = totals.get(state, 0) + n
    return f'{drawn.frame}{drawn.edges}{"".join(nodes)}</svg>'


def attention(totals: dict[State, int]) -> str:
    """What needs looking at first: how many jobs are in each state but
    fresh, each a link to their list."""
    links = [f'<a class="count st-{s}" href="/jobs?state={s}">{GLYPHS[s]} {totals[s]} {s}</a>'
             for s in PRIORITY if s != State.FRESH and totals.get(s)]
    fresh = f"{totals.get(State.FRESH, 0)} of {sum(totals.values())} jobs fresh"
    return f'<p class=attention>{" ".join(links)} <span>{fresh}</span></p>'


JOBS_LISTED = 500


def jobs_page(model: Model, judge: Judge, state: str, out_dir: str) -> str:
    """Every job in one state, with why: where the front page's counts lead."""
    items, total = [], 0
    for asset in model.assets.values():
        for tok in asset.tokens:
            if judge.state(asset.key, tok) != state:
                continue
            total += 1
            if total <= JOBS_LISTED:
                partition = parse_token(tok)
                why = "; ".join(judge.reasons(asset.key, tok)[:2])
                items.append(f'<li><a href="{e(job_url(asset.key, partition))}">'
                             f'{e(job_label(asset.key, partition))}</a> <span class=why>{e(why)}</span></li>')
    more = f"<li>… and {total - JOBS_LISTED} more</li>" if total > JOBS_LISTED else ""
    listed = f'<ul class=bad>{"".join(items)}{more}</ul>' if items else f"<p>No job is {e(state)}.</p>"
    return shell(f"{state} jobs", f"<h1>{badge(state)} jobs <small>{total}</small></h1>{listed}", out_dir=out_dir)


LEGEND = "".join(f'<span class="key st-{s}">{GLYPHS[s]} {s}</span>' for s in PRIORITY)


def graph_page(model: Model, judge: Judge, out_dir: str) -> str:
    banner = f"the pipeline's code could not be loaded ({model.problem}); showing what the catalog records" \
        if model.problem else ""
    totals: dict[State, int] = {}
    svg = graph_svg(model, judge, totals)
    body = (f'{attention(totals)}<h1>Assets <small>{len(model.assets)}</small></h1><p class=legend>{LEGEND}</p>'
            f'<div class=graph-box>{svg}</div>')
    return shell("graph", body, out_dir=out_dir, banner=banner)


def _counts_text(counts: dict[str, int]) -> str:
    return " ".join(f'<span class="count st-{e(s)}">{n} {e(s.replace("_", " "))}</span>'
                    for s, n in sorted(counts.items()))


def runs_page(runs: list[RunRow], counts: dict[int, dict[str, int]], out_dir: str) -> str:
    rows = "".join(
        f'<tr><td><a href="/run/{r.id}">run {r.id}</a></td><td>{time_text(r.started_at)}</td>'
        f'<td>{duration(r.started_at, r.ended_at or time.time())}</td><td>{badge(r.status)}</td>'
        f'<td>{_counts_text(counts.get(r.id, {}))}</td></tr>' for r in runs)
    body = ("<h1>Runs</h1><table class=list><thead><tr><th>run</th><th>started</th><th>took</th><th>status</th>"
            f"<th>jobs</th></tr></thead><tbody>{rows}</tbody></table>" if runs else "<h1>Runs</h1><p>No runs yet.</p>")
    return shell("runs", body, out_dir=out_dir)


def _failed_table(jobs: list[JobRow]) -> str:
    bad = [j for j in jobs if j.status in (JobState.FAILED, JobState.INTERRUPTED)]
    if not bad:
        return ""
    rows = "".join(
        f'<tr><td><a href="{e(job_url(j.asset_key, parse_token(j.partition), j.run_id))}">'
        f'{e(job_label(j.asset_key, parse_token(j.partition)))}</a></td><td>{badge(j.status)}</td>'
        f'<td class=error>{e((j.error or "")[:300])}</td></tr>' for j in bad)
    return f"<h2>Failed <small>{len(bad)}</small></h2><table class=list><tbody>{rows}</tbody></table>"


def _ticks(span: float) -> str:
    return "".join(f'<span class=tick style="left:{i * 10}%">+{e(seconds(span * i / 10))}</span>' for i in range(10))


def gantt(jobs: list[JobRow], now: float) -> str:
    timed = sorted((j for j in jobs if j.started_at is not None
                    and j.status not in (JobState.FRESH, JobState.NOT_RUN)), key=lambda j: (j.started_at or 0, j.id))
    if not timed:
        return "<p>No job of this run was started.</p>"
    t0 = min(j.started_at or now for j in timed)
    span = max(max((j.ended_at or now) for j in timed) - t0, 1e-3)
    rows = []
    for j in timed:
        start, end = (j.started_at or t0) - t0, (j.ended_at or now) - t0
        partition = parse_token(j.partition)
        label = e(job_label(j.asset_key, partition))
        rows.append(
            f'<div class=g-row><a class=g-label href="{e(job_url(j.asset_key, partition, j.run_id))}" '
            f'title="{label}">{label}</a><div class=g-track><span class="g-bar st-{e(j.status)}" '
            f'style="left:{100 * start / span:.3f}%;width:{max(100 * (end - start) / span, 0.15):.3f}%" '
            f'title="{label}: {e(j.status)}, {e(seconds(end - start))}"></span></div></div>')
    return ('<div class=gantt-tools><button type=button data-zoom="0.5">−</button>'
            '<button type=button data-zoom="2">+</button><button type=button data-zoom="0">fit</button>'
            f' <span>{len(timed)} jobs over {e(seconds(span))}; Ctrl+wheel zooms</span></div>'
            f'<div class=gantt><div class=g-row><span class=g-label></span><div class="g-track g-axis">'
            f'{_ticks(span)}</div></div>{"".join(rows)}</div>')


def run_page(run: RunRow, jobs: list[JobRow], out_dir: str) -> str:
    counts = Counter(j.status for j in jobs)
    end = run.ended_at or time.time()
    body = (f"<h1>Run {run.id} {badge(run.status)}</h1>"
            f"<p>started {time_text(run.started_at)}, took {duration(run.started_at, end)}; "
            f"{len(jobs)} jobs: {_counts_text(dict(counts))}</p>"
            f"{_failed_table(jobs)}<h2>Timeline</h2>{gantt(jobs, time.time())}")
    return shell(f"run {run.id}", body, out_dir=out_dir)
