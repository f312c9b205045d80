"""The front page (what needs attention, a run going on, the asset graph)
and the lists of jobs in one state."""

from __future__ import annotations

import bisect
import json
from dataclasses import dataclass
from urllib.parse import urlencode

from ..states import JobState, State
from .freshness import GLYPHS, PRIORITY, Judge
from .html import asset_url, badge, e, job_label, job_url, parse_token, shell
from .layout import Layout, layered
from .model import AssetView, Model
from .reader import RunRow

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


GROUP = "module:"


def module_of(model: Model, key: str) -> str:
    return model.assets[key].module or key.rpartition(".")[0]


def grouped(model: Model, collapsed: frozenset[str]) -> tuple[list[str], dict[str, list[str]], dict[str, list[str]]]:
    """The graph with each collapsed module drawn as one node: (nodes in
    order, their inputs, each group's assets)."""
    node = {k: GROUP + module_of(model, k) if module_of(model, k) in collapsed else k for k in model.assets}
    order = list(dict.fromkeys(node.values()))
    inputs: dict[str, list[str]] = {n: [] for n in order}
    members: dict[str, list[str]] = {}
    for key, asset in model.assets.items():
        if node[key] != key:
            members.setdefault(node[key], []).append(key)
        ups = inputs[node[key]]
        new = dict.fromkeys(node[u] for u in asset.inputs if u in node)
        ups.extend(u for u in new if u != node[key] and u not in ups)
    return order, inputs, members


@dataclass(frozen=True)
class Drawing:
    """What the graph's picture owes to the pipeline alone, not to the jobs'
    states: kept with the model, so that a request only fills in states."""
    frame: str
    edges: str
    # key -> (the node's opening: position, escaped key; its label; its page)
    nodes: dict[str, tuple[str, str, str, str]]
    # a collapsed module's node -> its assets
    members: dict[str, list[str]]


def _node_xy(layout: Layout, key: str, tallest: int) -> tuple[int, int]:
    li, pos = layout.place[key]
    shift = (tallest - len(layout.layers[li])) * (NODE_H + GAP_Y) // 2
    return PAD + li * (NODE_W + GAP_X), PAD + shift + pos * (NODE_H + GAP_Y)


def _gaps(layout: Layout, tallest: int) -> list[list[float]]:
    """Each column's free heights: above, between and below its nodes."""
    out = []
    for li, layer in enumerate(layout.layers):
        tops = [_node_xy(layout, k, tallest)[1] for k in layer]
        out.append([tops[0] - GAP_Y / 2] + [t + NODE_H + GAP_Y / 2 for t in tops] if tops else [0.0])
    return out


def _nearest(gaps: list[float], y: float) -> float:
    i = bisect.bisect_left(gaps, y)
    return min(gaps[max(i - 1, 0):i + 1], key=lambda g: abs(g - y))


def _route(layout: Layout, up: str, key: str, xy: dict[str, tuple[int, int]], gaps: list[list[float]]) -> str:
    """An edge from `up`'s right side to `key`'s left: a curve across each gap
    between columns, and straight through each column it crosses at a height
    free of that column's nodes, so that it never runs over a node."""
    half = NODE_H // 2
    x, y = xy[up][0] + NODE_W, float(xy[up][1] + half)
    x2, y2 = xy[key][0], float(xy[key][1] + half)
    first, last = layout.place[up][0], layout.place[key][0]
    d = [f"M{x},{y:.0f}"]
    for li in range(first + 1, last):
        cx = PAD + li * (NODE_W + GAP_X)
        gy = _nearest(gaps[li], y + (y2 - y) * (cx - x) / max(x2 - x, 1))
        mid = (x + cx) // 2
        d.append(f"C{mid},{y:.0f} {mid},{gy:.0f} {cx},{gy:.0f}L{cx + NODE_W},{gy:.0f}")
        x, y = cx + NODE_W, gy
    mid = (x + x2) // 2
    d.append(f"C{mid},{y:.0f} {mid},{y2:.0f} {x2},{y2:.0f}")
    return "".join(d)


def _edges(inputs: dict[str, list[str]], layout: Layout, xy: dict[str, tuple[int, int]], tallest: int) -> str:
    edges, gaps = [], _gaps(layout, tallest)
    for key, ups in inputs.items():
        for up in ups:
            if up in xy:
                edges.append(f'<path data-a="{e(up)}" data-b="{e(key)}" d="{_route(layout, up, key, xy, gaps)}"/>')
    return "".join(edges)


def drawing(model: Model, collapsed: frozenset[str] = frozenset()) -> Drawing:
    name = "drawing" if not collapsed else "drawing " + "\n".join(sorted(collapsed))
    cached = model.cache.get(name)
    if isinstance(cached, Drawing):
        return cached
    order, inputs, members = grouped(model, collapsed)
    layout = graph_layout(model) if not collapsed else layered(order, inputs)
    tallest = max((len(layer) for layer in layout.layers), default=0)
    xy = {k: _node_xy(layout, k, tallest) for k in order}
    width = PAD * 2 + len(layout.layers) * (NODE_W + GAP_X)
    height = PAD * 2 + tallest * (NODE_H + GAP_Y)
    frame = (f'<svg class=graph viewBox="0 0 {width} {height}" data-w="{width}" data-h="{height}" '
             f'role=group aria-label="asset graph">')
    nodes = {}
    for key in order:
        module = key[len(GROUP):] if key in members else module_of(model, key)
        text = f"▸ {module} ({len(members[key])} assets)" if key in members else key
        label = text if len(text) <= LABEL_CHARS else text[:LABEL_CHARS - 1] + "…"
        group = f' data-group="{len(members[key])}"' if key in members else ""
        nodes[key] = (f'transform="translate({xy[key][0]},{xy[key][1]})" data-module="{e(module)}"{group} '
                      f'data-key="{e(key)}"', e(text), e(label), "" if key in members else asset_url(key))
    cached = Drawing(frame, f"<g class=edges>{_edges(inputs, layout, xy, tallest)}</g>", nodes, members)
    model.cache[name] = cached
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
        detail = (f'<text x="8" y="{NODE_H - 14}" class=detail>{GLYPHS[state]} {tip}</text>'
                  f'<g class=bars>{_bar(counts, len(asset.tokens))}</g>')
    else:
        state = next(iter(counts))
        detail = f'<text x="8" y="33" class=detail>{GLYPHS[state]} {state}</text>'
        tip = state
        if state in (State.FAILED, State.INTERRUPTED):  # its error and log are what its user wants: one click
            href = e(job_url(asset.key, {}))
    return (f'<a href="{href}" class=node {opening} data-state="{state}" data-states="{" ".join(counts)}">'
            f'<title>{key} — {tip}</title>'
            f'<rect class="box st-{state}"/><text x="8" y="17" class=name>{label}</text>{detail}</a>')


def _group_node(drawn: tuple[str, str, str, str], counts: dict[State, int], href: str) -> str:
    opening, name, label, _ = drawn
    state, line = overall(counts), counts_line(counts)
    return (f'<a href="{e(href)}" class="node group" {opening} data-state="{state}" data-states="{" ".join(counts)}">'
            f'<title>{name} — {line}; opens it</title><rect class="box st-{state}"/>'
            f'<text x="8" y="17" class=name>{label}</text><text x="8" y="{NODE_H - 14}" class=detail>'
            f'{GLYPHS[state]} {line}</text><g class=bars>{_bar(counts, sum(counts.values()))}</g></a>')


def graph_svg(model: Model, judge: Judge, totals: dict[State, int] | None = None,
              collapsed: frozenset[str] = frozenset(), expand: dict[str, str] | None = None) -> str:
    """The graph with the states of now; `expand` gives the address that opens each collapsed module."""
    drawn = drawing(model, collapsed)
    nodes = []
    groups: dict[str, dict[State, int]] = {g: {} for g in drawn.members}
    for key, asset in model.assets.items():
        counts = asset_counts(asset, judge)
        if key in drawn.nodes:
            nodes.append(_node(asset, drawn.nodes[key], counts))
        else:
            into = groups[GROUP + module_of(model, key)]
            for state, n in counts.items():
                into[state] = into.get(state, 0) + n
        if totals is not None:
            for state, n in counts.items():
                totals[state] = totals.get(state, 0) + n
    nodes.extend(_group_node(drawn.nodes[g], {s: c[s] for s in PRIORITY if s in c}, (expand or {}).get(g, "/"))
                 for g, c in groups.items())
    return f'{drawn.frame}{drawn.edges}{"".join(nodes)}</svg>'


def attention(totals: dict[State, int]) -> str:
    """What needs looking at first: how many jobs are in each state but
    fresh, each a link to their list."""
    links = [f'<a class="count st-{s}" href="/jobs?state={s}">{GLYPHS[s]} {totals[s]} {s}</a>'
             for s in PRIORITY if s != State.FRESH and totals.get(s)]
    fresh = f"{totals.get(State.FRESH, 0)} of {sum(totals.values())} jobs fresh"
    return f'<p class=attention>{" ".join(links)} <span>{fresh}</span></p>'


JOBS_LISTED = 500


def jobs_page(model: Model, judge: Judge, state: str, out_dir: str, module: str = "") -> str:
    """Every job in one state (of one module, when given), with why: where
    the front page's counts lead."""
    items, total = [], 0
    for asset in model.assets.values():
        if module and module_of(model, asset.key) != module:
            continue
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
    modules, _ = _choices(model)
    states = "".join(f'<option{" selected" if s == state else ""}>{s}</option>' for s in PRIORITY)
    form = (f'<form class=graph-filter method=get action="/jobs"><label>state <select name=state>{states}</select>'
            f'</label><label>module <select name=module>{_options(modules, module)}</select></label>'
            '<button>show</button></form>')
    body = f"<h1>{badge(state)} jobs <small>{total}</small></h1>{form}{listed}"
    return shell(f"{state} jobs", body, out_dir=out_dir)


LEGEND = "".join(f'<span class="key st-{s}">{GLYPHS[s]} {s}</span>' for s in PRIORITY)


def _options(values: list[str], chosen: str) -> str:
    return '<option value="">any</option>' + "".join(
        f'<option{" selected" if v == chosen else ""} value="{e(v)}">{e(v)}</option>' for v in values)


# Above this many assets in several modules, the graph starts with one node per module.
GROUP_ABOVE = 200


def collapsed_modules(model: Model, params: dict[str, str]) -> frozenset[str]:
    """The modules drawn as one node each: `group=*` for all, `group=-` for
    none, or their names, comma-separated; by default all of a large graph's."""
    modules = {module_of(model, k) for k in model.assets}
    wanted = params.get("group")
    if wanted is None:
        wanted = "*" if len(model.assets) > GROUP_ABOVE and len(modules) > 1 else "-"
    return frozenset(modules if wanted == "*" else modules & set(wanted.split(",")))


def _address(params: dict[str, str], **changes: str) -> str:
    kept = {k: v for k, v in {**params, **changes}.items() if v and k in ("state", "module", "lineage", "group")}
    return "/?" + urlencode(sorted(kept.items())) if kept else "/"


def _expand_links(model: Model, params: dict[str, str], collapsed: frozenset[str]) -> dict[str, str]:
    return {GROUP + m: _address(params, group=",".join(sorted(collapsed - {m})) or "-") for m in collapsed}


def _choices(model: Model) -> tuple[list[str], str]:
    """The modules, and the asset keys as a datalist's options: the model's alone, so made once."""
    cached = model.cache.get("choices")
    if not isinstance(cached, tuple):
        cached = (sorted({module_of(model, k) for k in model.assets}),
                  "".join(f'<option value="{e(k)}">' for k in model.assets))
        model.cache["choices"] = cached
    return cached


def graph_filter(model: Model, params: dict[str, str], collapsed: frozenset[str]) -> str:
    """State, module and lineage filters, and the grouping by module, kept in the page's address."""
    modules, keys = _choices(model)
    grouping = (f'<a href="{e(_address(params, group="-"))}">one node per asset</a>' if collapsed else
                f'<a href="{e(_address(params, group="*"))}">one node per module</a>')
    return (f'<form class=graph-filter method=get action="/">'
            f'<label>state <select name=state>{_options(list(PRIORITY), params.get("state", ""))}</select></label>'
            f'<label>module <select name=module>{_options(modules, params.get("module", ""))}</select></label>'
            f'<label>an asset with its upstream and downstream <input name=lineage list=asset-keys '
            f'value="{e(params.get("lineage", ""))}"></label><datalist id=asset-keys>{keys}</datalist>'
            f'<input type=hidden name=group value="{e(params.get("group", ""))}">'
            f'<button>filter</button> <a href="{e(_address({}, group=params.get("group", "")))}">all</a></form>'
            '<div class=graph-tools><button type=button data-g=in aria-label="zoom in">+</button>'
            '<button type=button data-g=out aria-label="zoom out">−</button>'
            '<button type=button data-g=fit>fit</button>'
            f' {grouping} <span>drag or arrow keys to pan, wheel or + and − to zoom, 0 to fit</span></div>')


SETTLED = (JobState.DONE, JobState.FRESH, JobState.FAILED, JobState.INTERRUPTED, JobState.NOT_RUN)


def run_progress(run: RunRow, counts: dict[str, int]) -> str:
    """The banner of a run going on: how far it is, and a link to it."""
    done = sum(n for s, n in counts.items() if s in SETTLED)
    failed = counts.get(JobState.FAILED, 0) + counts.get(JobState.INTERRUPTED, 0)
    text = f"{done} of {sum(counts.values())} jobs settled" + (f", {failed} failed" if failed else "")
    return (f'<p class="banner progress" id=run-progress data-counts="{e(json.dumps(counts))}">'
            f'<a href="/run/{run.id}">{GLYPHS[State.RUNNING]} run {run.id} in progress</a>: '
            f'<span>{e(text)}</span></p>')


def graph_page(model: Model, judge: Judge, out_dir: str, banner: str = "",
               params: dict[str, str] | None = None, running: tuple[RunRow, dict[str, int]] | None = None) -> str:
    totals: dict[State, int] = {}
    params = params or {}
    collapsed = collapsed_modules(model, params)
    svg = graph_svg(model, judge, totals, collapsed, _expand_links(model, params, collapsed))
    progress = run_progress(*running) if running else ""
    body = (f'{progress}{attention(totals)}<h1>Assets <small>{len(model.assets)}</small></h1>'
            f'<p class=legend>{LEGEND}</p>'
            f'{graph_filter(model, params, collapsed)}<div class=graph-box tabindex=0 aria-label="asset graph: '
            f'arrow keys pan, + and − zoom, 0 fits">{svg}</div>')
    return shell("graph", body, out_dir=out_dir, banner=banner, run=running[0].id if running else None, runs=True)
