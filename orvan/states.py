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
