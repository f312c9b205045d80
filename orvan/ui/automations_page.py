"""The automations page: each automation of `orvan serve`, its trigger,
its next tick and its last ticks with what they ran or why they did not.

Under `orvan serve` the app knows the declared automations and when each
ticks next (`App.automations`, set by serve); under `orvan ui` the page
shows the ticks the catalog records.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING, NamedTuple

from ..catalog import ticks
from .html import badge, duration, e, shell, time_text

if TYPE_CHECKING:
    from .reader import Queries
    from .server import App

TICKS_SHOWN = 10


class AutomationRow(NamedTuple):
    name: str
    trigger: str
    select: str
    next_due: float | None


def automations_page(app: App, q: Queries, params: dict[str, str], rest: str) -> str:
    declared: Callable[[], list[AutomationRow]] | None = getattr(app, "automations", None)
    rows = declared() if declared is not None else []
    recorded = q.automation_names()
    names = [r.name for r in rows] + [n for n in recorded if n not in {r.name for r in rows}]
    note = "" if declared is not None else (
        "<p>Automations run under <code>orvan serve</code>; these are the ticks the catalog records.</p>")
    if not names:
        body = "<h1>Automations</h1><p>No automations declared or recorded.</p>"
        return shell("automations", body, out_dir=app.out_dir)
    by_name = {r.name: r for r in rows}
    sections = "".join(_section(name, by_name.get(name), q) for name in names)
    return shell("automations", f"<h1>Automations</h1>{note}{sections}", out_dir=app.out_dir, poll=True)


def _section(name: str, row: AutomationRow | None, q: Queries) -> str:
    head = (f'<p>{e(row.trigger)} · select <code>{e(row.select)}</code> · next tick '
            f'<span class=next-tick>{time_text(row.next_due) if row.next_due else "on the next change"}</span></p>'
            if row else "<p>not declared (any more)</p>")
    last = q.ticks(name, TICKS_SHOWN)
    table = ("<table class=list><thead><tr><th>tick</th><th>trigger</th><th>due</th><th>started</th><th>took</th>"
             "<th>outcome</th><th>run</th><th>reason</th></tr></thead><tbody>"
             + "".join(_tick_row(t) for t in last) + "</tbody></table>") if last else "<p>No ticks yet.</p>"
    return f'<section class=automation id="a-{e(name)}"><h2>{e(name)}</h2>{head}{table}</section>'


def _tick_row(t: ticks.Tick) -> str:
    run = f'<a href="/run/{t.run_id}">run {t.run_id}</a>' if t.run_id else "-"
    asked = f"[{' '.join(t.partitions)}] " if t.partitions else ""
    return (f"<tr><td>{t.id}</td><td>{e(t.trigger)}</td><td>{time_text(t.due_at)}</td>"
            f"<td>{time_text(t.started_at)}</td><td>{duration(t.started_at, t.ended_at)}</td>"
            f"<td>{badge(t.outcome)}</td><td>{run}</td><td>{e(asked + (t.reason or ''))}</td></tr>")
