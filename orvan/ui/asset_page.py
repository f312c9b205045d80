"""The asset page and its partition matrix.

The matrix has to stay quick with tens of thousands of partitions, so each
cell is a bare element carrying only its state's class; what hovering shows
(partition, run, time, error) travels once as compact JSON that the page's
script reads, and a click is resolved there into the job's address.
"""

from __future__ import annotations

import os
from collections import Counter
from collections.abc import Mapping, Sequence

from . import files, redo
from ..states import State
from .freshness import CODES, PRIORITY, Judge
from .html import asset_url, badge, e, job_label, job_url, parse_token, script_json, shell, time_text
from .model import AssetView
from .reader import JobRow

BAD_LIST = 50


def cell_states(asset: AssetView, judge: Judge) -> tuple[list[State], list[JobRow | None]]:
    """Each partition's state and latest attempt, in the plan's order."""
    key, state, latest = asset.key, judge.state, judge.latest
    return [state(key, tok) for tok in asset.tokens], [latest.get((key, tok)) for tok in asset.tokens]


def axes(asset: AssetView, params: Mapping[str, str]) -> tuple[str | None, str, dict[str, str]]:
    """(row dimension or None for a strip, column dimension, fixed keys of the others)."""
    dims = list(asset.dims)
    # Screens are wider than tall: the dimension with the most keys across.
    widest = max(reversed(dims), key=lambda d: len(asset.dims[d]))
    cols = params.get("cols") if params.get("cols") in asset.dims else widest
    rows = params.get("rows") if params.get("rows") in asset.dims and params.get("rows") != cols else None
    if rows is None and len(dims) > 1:
        rows = next(d for d in dims if d != cols)
    fixed = {}
    for d in dims:
        if d not in (rows, cols):
            wanted = params.get(f"at.{d}", "")
            fixed[d] = wanted if wanted in asset.dims[d] else asset.dims[d][0]
    return rows, str(cols), fixed


def _strides(asset: AssetView) -> dict[str, int]:
    strides, step = {}, 1
    for d in reversed(asset.dims):
        strides[d] = step
        step *= len(asset.dims[d])
    return strides


def _cell_data(codes: str, rows: list[JobRow | None]) -> dict[str, object]:
    """What hovering a cell shows, by the partition's position in the plan."""
    runs, times, errors = [], [], {}
    for i, r in enumerate(rows):
        runs.append(r.run_id if r else 0)
        times.append(int(r.ended_at or 0) if r else 0)
        if r is not None and r.error:
            errors[i] = r.error[:300]
    return {"s": codes, "run": runs, "t": times, "err": errors}


def _select(name: str, options: list[str], chosen: str) -> str:
    opts = "".join(f'<option{" selected" if o == chosen else ""} value="{e(o)}">{e(o)}</option>' for o in options)
    return f'<label>{e(name.removeprefix("at."))} <select name="{e(name)}">{opts}</select></label>'


def _controls(asset: AssetView, rows: str | None, cols: str, fixed: dict[str, str]) -> str:
    parts = [f'<input type=hidden name=key value="{e(asset.key)}">']
    if len(asset.dims) > 2:
        parts.append(_select("rows", list(asset.dims), rows or ""))
        parts.append(_select("cols", list(asset.dims), cols))
        parts.extend(_select(f"at.{d}", asset.dims[d], k) for d, k in fixed.items())
        parts.append("<button>show</button>")
    parts.append('<label class=bad-filter><input type=checkbox id=bad-only> only the ranges that are not fresh</label>')
    return f'<form class=matrix-controls method=get action="/asset">{"".join(parts)}</form>'


def matrix(asset: AssetView, states: list[State], rows: list[JobRow | None], params: Mapping[str, str]) -> str:
    """The controls and the data; the page's script draws runs of equal
    state as ranges (matrix.js), and redraws them as states change."""
    row_dim, col_dim, fixed = axes(asset, params)
    strides = _strides(asset)
    codes = "".join(CODES[s] for s in states)
    meta = {"key": asset.key, "rowDim": row_dim, "colDim": col_dim, "fixed": fixed,
            "rowKeys": asset.dims[row_dim] if row_dim else [], "colKeys": asset.dims[col_dim],
            "base": sum(asset.dims[d].index(k) * strides[d] for d, k in fixed.items()),
            "rs": strides[row_dim] if row_dim else 0, "cs": strides[col_dim], **_cell_data(codes, rows)}
    data = f'<script type="application/json" id=matrix-data>{script_json(meta)}</script>'
    return (f'{_controls(asset, row_dim, col_dim, fixed)}<div class=matrix-box><div class=matrix role=grid '
            f'aria-label="partitions of {e(asset.key)}"></div></div><div class=bad-ranges></div>{data}')


def _links(keys: list[str]) -> str:
    return ", ".join(f'<a href="{e(asset_url(k))}">{e(k)}</a>' for k in keys) or "none"


# What the list above the matrix shows: the jobs a run would redo.
BAD = (State.FAILED, State.INTERRUPTED, State.BLOCKED, State.STALE)


def _bad_list(asset: AssetView, states: list[State], judge: Judge) -> str:
    bad = [i for i, s in enumerate(states) if s in BAD]
    if not bad:
        return ""
    items = []
    for i in bad[:BAD_LIST]:
        partition = parse_token(asset.tokens[i])
        why = "; ".join(judge.reasons(asset.key, asset.tokens[i])[:3])
        items.append(f'<li><a href="{e(job_url(asset.key, partition))}">{e(job_label(asset.key, partition))}</a>'
                     f' {badge(states[i])} <span class=why>{e(why)}</span></li>')
    more = f"<li>… and {len(bad) - BAD_LIST} more</li>" if len(bad) > BAD_LIST else ""
    return f'<h2>Not fresh <small>{len(bad)}</small></h2><ul class=bad>{"".join(items)}{more}</ul>'


def _preview(out_dir: str, asset: AssetView, rows: list[JobRow | None]) -> str:
    done = [(r.ended_at or 0, i) for i, r in enumerate(rows) if r is not None and r.status == "done"]
    if not done:
        return "<h2>Latest value</h2><p>No value stored.</p>"
    _, i = max(done)
    partition = parse_token(asset.tokens[i])
    try:
        path = files.value_file(files.job_dir(out_dir, asset.key, partition))
        if path is None:
            return "<h2>Latest value</h2><p>No value stored.</p>"
        text, size, cut = files.preview(path)
    except (OSError, files.OutsidePath):
        return "<h2>Latest value</h2><p>The value file cannot be read.</p>"
    note = f" (first 64 KiB of {size} bytes)" if cut else ""
    which = f' of <a href="{e(job_url(asset.key, partition))}">{e(job_label(asset.key, partition))}</a>' \
        if partition else ""
    return f"<h2>Latest value{which}{e(note)}</h2><pre class=value>{e(text)}</pre>"


def _fixes(asset: AssetView, states: list[State], modules: Sequence[str], out_arg: str | None) -> str:
    """The commands that redo the failed partitions and fill the missing ones, ready to copy."""
    parts = []
    for name, which in (("redo", (State.FAILED, State.INTERRUPTED)), ("fill", (State.MISSING,))):
        chosen = [parse_token(asset.tokens[i]) for i, s in enumerate(states) if s in which]
        lines = redo.commands(asset.key, asset.dims, chosen, modules, out_arg)
        if lines:
            what = "failed" if name == "redo" else "missing"
            parts.append(f'<div class=redo><span>{name} the {len(chosen)} {what}</span><code id=fix-{name}>'
                         f'{e(chr(10).join(lines))}</code><button type=button class=copy data-copy=fix-{name}>copy'
                         '</button></div>')
    return "".join(parts)


def asset_page(asset: AssetView, judge: Judge, params: Mapping[str, str], out_dir: str, banner: str = "", *,
               modules: Sequence[str] = (), out_arg: str | None = None, doc: str = "") -> str:
    states, rows = cell_states(asset, judge)
    counts = Counter(states)
    state = next((s for s in PRIORITY if counts[s]), State.FRESH)
    where = f"{asset.module}.{asset.function}" if asset.module else ""
    source = f"{os.path.basename(asset.file)}:{asset.line}" if asset.file else ""
    meta = (f'<dl class=meta><dt>defined by</dt><dd>{e(where) or "unknown"} <span class=file title="{e(asset.file)}">'
            f'{e(source)}</span></dd><dt>inputs</dt><dd>{_links(asset.inputs)}</dd>'
            f'<dt>downstream</dt><dd>{_links(asset.downstream)}</dd>'
            f'<dt>jobs</dt><dd id=asset-counts>{" ".join(f"{badge(s)} {counts[s]}" for s in PRIORITY if counts[s])}'
            '</dd></dl>')
    if doc:
        meta = f"<pre class=doc>{e(doc)}</pre>{meta}"
    fixes = _fixes(asset, states, modules, out_arg)
    if asset.dims:
        main = fixes + _bad_list(asset, states, judge) + "<h2>Partitions</h2>" + matrix(asset, states, rows, params)
    else:
        why = "".join(f"<li>{e(r)}</li>" for r in judge.reasons(asset.key, ""))
        main = (f'<h2>Why {e(states[0])}</h2><ul class=why>{why}</ul>'
                f'<p><a href="{e(job_url(asset.key, {}))}">job page: timings, log, error</a></p>')
    last = max((r.ended_at or 0 for r in rows if r), default=0)
    updated = f"as of {time_text(last)}" if last else "No job of this asset has run yet: `orvan run` computes it."
    body = (f'<h1 id=asset-head data-key="{e(asset.key)}">{e(asset.key)} {badge(state)}</h1>'
            f"{meta}{main}{_preview(out_dir, asset, rows)}<p class=updated>{e(updated)}</p>")
    return shell(asset.key, body, out_dir=out_dir, banner=banner)
