"""The ticks of `orvan serve`'s automations: what each tick did, and how far
each automation's schedule has been ticked.

Functions take a connection to the catalog (`Catalog.db`, or the one
`Catalog.transaction()` gives); those that write expect to be called inside
`Catalog.transaction()`, so that claiming a tick
and moving the schedule's mark on commit together. A cron instant has one
tick at most (a unique index): a serve killed and started again can find
an instant ticked, never tick it twice.
"""

from __future__ import annotations

import json
from dataclasses import dataclass
from typing import Any

from .base import Db

# A tick's outcomes.
RUNNING, RAN, FAILED, SKIPPED, INTERRUPTED = "running", "ran", "failed", "skipped", "interrupted"

_COLUMNS = "id, automation, trigger, due_at, started_at, ended_at, outcome, reason, run_id, partitions"


@dataclass(frozen=True)
class Tick:
    id: int
    automation: str
    trigger: str
    due_at: float | None
    started_at: float
    ended_at: float | None
    outcome: str
    reason: str | None
    run_id: int | None
    partitions: list[str]


def _tick(row: tuple[Any, ...]) -> Tick:
    tick_id, automation, trigger, due_at, started_at, ended_at, outcome, reason, run_id, partitions = row
    return Tick(tick_id, automation, trigger, due_at, started_at, ended_at, outcome, reason, run_id,
                json.loads(partitions) if isinstance(partitions, str) else [])


def claim(db: Db, automation: str, trigger: str, due_at: float | None, now: float,
          outcome: str = RUNNING, reason: str | None = None) -> int | None:
    """A new tick's id, or None if the cron instant `due_at` has one already.
    Moves the automation's mark to `due_at`."""
    row = db.execute("INSERT INTO ticks (automation, trigger, due_at, started_at, ended_at, outcome, reason)"
                     " VALUES (?, ?, ?, ?, ?, ?, ?) ON CONFLICT DO NOTHING RETURNING id",
                     (automation, trigger, due_at, now, None if outcome == RUNNING else now, outcome,
                      reason)).fetchone()
    if row is None:
        return None
    if due_at is not None:
        db.execute("UPDATE automations SET ticked_to = ? WHERE name = ? AND ticked_to < ?",
                   (due_at, automation, due_at))
    return int(row[0])


def asked(db: Db, tick_id: int, partitions: list[str]) -> None:
    db.execute("UPDATE ticks SET partitions = ? WHERE id = ?", (json.dumps(partitions), tick_id))


def started_run(db: Db, tick_id: int, run_id: int) -> None:
    db.execute("UPDATE ticks SET run_id = ? WHERE id = ?", (run_id, tick_id))


def finish(db: Db, tick_id: int, outcome: str, reason: str | None, now: float) -> None:
    db.execute("UPDATE ticks SET outcome = ?, reason = ?, ended_at = ? WHERE id = ?", (outcome, reason, now, tick_id))


def settle_running(db: Db, now: float) -> int:
    """Ticks a killed serve left going end as interrupted; their runs are
    settled as abandoned by the next run, as any killed run is."""
    return db.execute("UPDATE ticks SET outcome = ?, ended_at = ?, reason = ? WHERE outcome = ?",
                      (INTERRUPTED, now, "serve stopped before the tick ended", RUNNING)).rowcount


def ticked_to(db: Db, automation: str, now: float) -> float:
    """Up to when the automation's cron instants have their tick; an
    automation seen for the first time starts at `now` (nothing was missed)."""
    db.execute("INSERT INTO automations (name, ticked_to) VALUES (?, ?) ON CONFLICT DO NOTHING", (automation, now))
    row = db.execute("SELECT ticked_to FROM automations WHERE name = ?", (automation,)).fetchone()
    return float(row[0])


def recent(db: Db, automation: str | None, limit: int) -> list[Tick]:
    """The newest ticks first, of one automation or of all."""
    if automation is None:
        rows = db.execute(f"SELECT {_COLUMNS} FROM ticks ORDER BY id DESC LIMIT ?", (limit,))
    else:
        rows = db.execute(f"SELECT {_COLUMNS} FROM ticks WHERE automation = ? ORDER BY id DESC LIMIT ?",
                          (automation, limit))
    return [_tick(row) for row in rows]


def run_automations(db: Db, run_ids: list[int]) -> dict[int, str]:
    """The automation that started each of these runs, for those one did."""
    if not run_ids:
        return {}
    marks = ",".join("?" * len(run_ids))
    return {int(run): str(name) for run, name in db.execute(
        f"SELECT run_id, automation FROM ticks WHERE run_id IN ({marks})", run_ids)}


def last_other_run(db: Db) -> tuple[int, float] | None:
    """(id, end) of the newest run that ended and that no tick started: a
    value written by someone else, which automations on change look at."""
    row = db.execute("SELECT id, ended_at FROM runs r WHERE ended_at IS NOT NULL AND NOT EXISTS"
                     " (SELECT 1 FROM ticks t WHERE t.run_id = r.id) ORDER BY id DESC LIMIT 1").fetchone()
    return (int(row[0]), float(row[1])) if row else None
