"""Each job's state as the pages show it, and why.

The matrix must stay fast at tens of thousands of partitions, so the state
comes from the catalog alone: a value counts as present unless `orvan clean`
recorded its removal. The job page also looks at the files themselves.
"""

from __future__ import annotations

from ..cli.report import when
from ..cli.states import JobState
from .reader import JobRow

FRESH, STALE, FAILED, RUNNING, MISSING = "fresh", "stale", "failed", "running", "missing"
# One letter per state, for the matrix's compact cell data and CSS classes.
CODES = {FRESH: "f", STALE: "s", FAILED: "x", RUNNING: "r", MISSING: "m"}
# The state a whole asset shows: the most pressing of its jobs'.
PRIORITY = (RUNNING, FAILED, STALE, MISSING, FRESH)


def state_of(row: JobRow | None, fingerprint: str | None, alive: bool) -> str:
    if row is None:
        return MISSING
    if row.status in (JobState.FAILED, JobState.INTERRUPTED):
        return FAILED
    if row.status == JobState.RUNNING:
        # A running row whose runner is gone will be redone by the next run.
        return RUNNING if alive else FAILED
    if row.removed_at is not None:
        return MISSING
    if fingerprint is not None and row.fingerprint != fingerprint:
        return STALE
    return FRESH


def reasons(row: JobRow | None, fingerprint: str | None, alive: bool, has_value: bool = True) -> list[str]:
    """Why the job is in its state, in words, most important first."""
    state = state_of(row, fingerprint, alive)
    if row is None:
        return ["it has never been materialised"]
    at = f"run {row.run_id}" + (f" at {when(row.ended_at)}" if row.ended_at else "")
    if state == FAILED:
        if row.status == JobState.RUNNING:
            return [f"{at}: its runner stopped before the job finished; the next run redoes it"]
        return [f"its last attempt ({at}) {row.status}: {row.error or 'no error recorded'}"]
    if state == RUNNING:
        return [f"run {row.run_id} is computing it now"]
    if state == MISSING:
        return [f"its files were removed at {when(row.removed_at or 0)}"]
    if not has_value:
        return [f"computed by {at}, but its value file is no longer on disk"]
    if state == STALE:
        return [f"computed by {at}, but its code, or the code or value of something upstream, has changed "
                f"since (fingerprint {row.fingerprint[:12]} then, {(fingerprint or '')[:12]} now)"]
    return [f"computed by {at}; nothing it depends on has changed since"]
