"""The runs list and a run's page: its failures, the commands that redo
them, and its timeline, one line per asset whose jobs are fetched when it is
opened (`group_rows`)."""

from __future__ import annotations

import json
import time
from collections import Counter
from collections.abc import Sequence

from ..cli.report import seconds
from ..states import JobState
from . import redo
from .html import asset_url, badge, duration, e, job_label, job_url, parse_token, partition_label, shell, time_text
from .model import Model
from .reader import JobRow, RunRow


def _counts_text(counts: dict[str, int]) -> str:
    return " ".join(f'<span class="count st-{e(s)}">{n} {e(s.replace("_", " "))}</span>'
                    for s, n in sorted(counts.items()))


def runs_page(runs: list[RunRow], counts: dict[int, dict[str, int]], out_dir: str) -> str:
    rows = "".join(
        f'<tr><td><a href="/run/{r.id}">run {r.id}</a></td><td>{time_text(r.started_at)}</td>'
        f'<td>{duration(r.started_at, r.ended_at or time.time())}</td><td>{badge(r.status)}</td>'
        f'<td>{_counts_text(counts.get(r.id, {}))}</td></tr>' for r in runs)
    body = ("<h1>Runs</h1><table class=list><thead><tr><th>run</th><th>started</th><th>took</th><th>status</th>"
            f"<th>jobs</th></tr></thead><tbody>{rows}</tbody></table>" if runs
            else "<h1>Runs</h1><p>No runs yet: `orvan run` starts one, and this page follows it.</p>")
    return shell("runs", body, out_dir=out_dir)


FAILED_LISTED = 50


def _failed_table(jobs: list[JobRow]) -> str:
    bad = [j for j in jobs if j.status in (JobState.FAILED, JobState.INTERRUPTED)]
    if not bad:
        return ""
    more = f"<tr><td colspan=3>… and {len(bad) - FAILED_LISTED} more</td></tr>" if len(bad) > FAILED_LISTED else ""
    rows = "".join(
        f'<tr><td><a href="{e(job_url(j.asset_key, parse_token(j.partition), j.run_id))}">'
        f'{e(job_label(j.asset_key, parse_token(j.partition)))}</a></td><td>{badge(j.status)}</td>'
        f'<td class=error>{e((j.error or "")[:300])}</td></tr>' for j in bad[:FAILED_LISTED])
    return f"<h2>Failed <small>{len(bad)}</small></h2><table class=list><tbody>{rows}{more}</tbody></table>"


def _ticks(span: float) -> str:
    return "".join(f'<span class=tick style="left:{i * 10}%">+{e(seconds(span * i / 10))}</span>' for i in range(10))


def _timed(jobs: list[JobRow]) -> list[JobRow]:
    return [j for j in jobs if j.started_at is not None and j.status not in (JobState.FRESH, JobState.NOT_RUN)]


def _group(key: str, jobs: list[JobRow], t0: float, span: float, now: float) -> str:
    """One asset's line of the timeline: its jobs' spread and counts; the
    jobs themselves are fetched when the line is opened."""
    counts = Counter(j.status for j in jobs)
    timed = _timed(jobs)
    bar = ""
    if timed:
        start = min(j.started_at or t0 for j in timed) - t0
        end = max(j.ended_at or now for j in timed) - t0
        worst = next((s for s in GROUP_ORDER if counts.get(s)), jobs[0].status)
        bar = (f'<span class="g-bar st-{e(worst)}" style="left:{100 * start / span:.3f}%;'
               f'width:{max(100 * (end - start) / span, 0.15):.3f}%"></span>')
    return (f'<details class=g-group data-asset="{e(key)}" data-counts="{e(json.dumps(dict(counts)))}">'
            f'<summary class=g-row><span class=g-label><a href="{asset_url(key)}">{e(key)}</a> '
            f'<small class=g-counts>{e(_run_counts_line(dict(counts)))}</small></span>'
            f'<span class=g-track>{bar}</span></summary><div class=g-rows></div></details>')


# The state a group's bar shows: the most pressing of its jobs'.
GROUP_ORDER = (JobState.FAILED, JobState.INTERRUPTED, JobState.RUNNING, JobState.PENDING, JobState.DONE)


def _run_counts_line(counts: dict[str, int]) -> str:
    return " · ".join(f"{n} {s.replace('_', ' ')}" for s, n in sorted(counts.items(), key=lambda c: -c[1]))


def gantt(run_id: int, jobs: list[JobRow], now: float) -> str:
    timed = _timed(jobs)
    if not timed:
        return "<p>No job of this run was started.</p>"
    t0 = min(j.started_at or now for j in timed)
    span = max(max((j.ended_at or now) for j in timed) - t0, 1e-3)
    groups: dict[str, list[JobRow]] = {}
    for j in jobs:
        groups.setdefault(j.asset_key, []).append(j)
    def first(g: list[JobRow]) -> float:
        return min((j.started_at for j in _timed(g) if j.started_at is not None), default=float("inf"))
    lines = "".join(_group(k, g, t0, span, now) for k, g in sorted(groups.items(), key=lambda kg: first(kg[1])))
    return ('<div class=gantt-tools><button type=button data-zoom="0.5">−</button>'
            '<button type=button data-zoom="2">+</button><button type=button data-zoom="0">fit</button>'
            f' <span>{len(timed)} jobs of {len(groups)} assets over {e(seconds(span))}; open an asset for its jobs;'
            f' Ctrl+wheel zooms</span></div>'
            f'<div class=gantt data-run="{run_id}" data-t0="{t0}" data-span="{span}">'
            f'<div class=g-row><span class=g-label></span><div class="g-track g-axis">'
            f'{_ticks(span)}</div></div>{lines}</div>')


ROWS_PAGE = 500


def group_rows(jobs: list[JobRow], key: str, offset: int = 0) -> dict[str, object]:
    """One asset's jobs in a run, for its timeline line: a page of them at a time."""
    mine = [j for j in jobs if j.asset_key == key]
    rows = [[j.id, partition_label(parse_token(j.partition)), j.status, j.started_at, j.ended_at,
             job_url(j.asset_key, parse_token(j.partition), j.run_id), (j.error or "")[:200]]
            for j in mine[offset:offset + ROWS_PAGE]]
    return {"total": len(mine), "offset": offset, "rows": rows}


def _run_fixes(jobs: list[JobRow], model: Model, modules: Sequence[str], out_arg: str | None) -> str:
    """A command per asset that redoes this run's failed jobs."""
    failed: dict[str, list[dict[str, str]]] = {}
    for j in jobs:
        if j.status in (JobState.FAILED, JobState.INTERRUPTED):
            failed.setdefault(j.asset_key, []).append(parse_token(j.partition))
    lines = []
    for key, partitions in failed.items():
        view = model.assets.get(key)
        dims = view.dims if view is not None else {d: list(dict.fromkeys(p[d] for p in partitions))
                                                    for d in partitions[0]}
        lines += redo.commands(key, dims, partitions, modules, out_arg)
    if not lines:
        return ""
    return (f'<div class=redo><span>redo this run\'s failures</span><code id=fix-run>{e(chr(10).join(lines))}</code>'
            '<button type=button class=copy data-copy=fix-run>copy</button></div>')


def run_page(run: RunRow, jobs: list[JobRow], out_dir: str, model: Model | None = None,
             modules: Sequence[str] = (), out_arg: str | None = None) -> str:
    counts = Counter(j.status for j in jobs)
    end = run.ended_at or time.time()
    body = (f"<h1>Run {run.id} {badge(run.status)}</h1>"
            f"<p>started {time_text(run.started_at)}, took {duration(run.started_at, end)}; "
            f"{len(jobs)} jobs: {_counts_text(dict(counts))}</p>"
            f"{_run_fixes(jobs, model, modules, out_arg) if model else ''}{_failed_table(jobs)}"
            f"<h2>Timeline</h2>{gantt(run.id, jobs, time.time())}")
    return shell(f"run {run.id}", body, out_dir=out_dir, run=run.id)
