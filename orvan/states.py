"""The one set of job states, shared by the scheduler, the catalog, the
reports and the UI.

A job row in the catalog takes one of these; "fresh" and "not_run" rows leave
the stored files alone, the others are attempts, which replace them. The
values are the texts stored in the catalog, so they never change spelling.
"""

from __future__ import annotations

from enum import StrEnum


class JobState(StrEnum):
    PENDING = "pending"
    RUNNING = "running"
    DONE = "done"
    FRESH = "fresh"
    FAILED = "failed"
    INTERRUPTED = "interrupted"
    NOT_RUN = "not_run"


# The rows that are attempts at materialising a job.
ATTEMPTS = (JobState.RUNNING, JobState.DONE, JobState.FAILED, JobState.INTERRUPTED)


class State(StrEnum):
    """What a job is now, as every view tells it (`status`, `show`, `logs`,
    every page of the UI), decided by `freshness.assess` alone. Listed in the
    order a reader's attention should go: the first of an asset's jobs' states
    in this order is the asset's."""

    RUNNING = "running"
    FAILED = "failed"
    INTERRUPTED = "interrupted"
    BLOCKED = "blocked"  # never run: something upstream failed
    STALE = "stale"
    MISSING = "missing"
    FRESH = "fresh"
