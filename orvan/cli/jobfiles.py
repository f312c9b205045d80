"""A job's directory: clearing it before an attempt, and writing the keyword
arguments its worker receives (partition keys and upstream values)."""

from __future__ import annotations

import json
import os

from .catalog import FAILED, INTERRUPTED, RUNNING, Attempt
from .executors import WorkerTask
from .naming import KWARGS_FILE, LOG_FILE, RESULT_FILE, VALUE_FILE
from .plan import Job, JobId, Plan


class InputError(Exception):
    pass


def job_dir(out_dir: str, job: Job) -> str:
    return os.path.join(out_dir, job.relpath)


def has_value(out_dir: str, job: Job) -> bool:
    return os.path.isfile(os.path.join(job_dir(out_dir, job), VALUE_FILE))


def state_of(out_dir: str, job: Job, attempt: Attempt | None) -> str:
    """fresh, stale, failed, missing, or running, for the job as planned now."""
    if attempt is None:
        return "missing"
    if attempt.status in (FAILED, INTERRUPTED):
        return "failed"
    if attempt.status == RUNNING:
        return "running"
    if not has_value(out_dir, job):
        return "missing"
    return "fresh" if attempt.fingerprint == job.fingerprint else "stale"


def clear(directory: str) -> None:
    """Remove what an earlier attempt left, so that a failed or interrupted
    attempt can never leave an old value looking current."""
    for name in (VALUE_FILE, RESULT_FILE, LOG_FILE, KWARGS_FILE):
        try:
            os.unlink(os.path.join(directory, name))
        except FileNotFoundError:
            pass


def _value_text(out_dir: str, plan: Plan, job_id: JobId) -> str:
    upstream = plan.jobs[job_id]
    path = os.path.join(job_dir(out_dir, upstream), VALUE_FILE)
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read().strip()
    except OSError as e:
        raise InputError(f"cannot read the value of {upstream.label}: {e.strerror}: {path}") from None
    if not text:
        raise InputError(f"the stored value of {upstream.label} is empty: {path}")
    return text


def kwargs_text(out_dir: str, plan: Plan, job: Job) -> str | None:
    """The worker's keyword arguments as JSON text, or None if there are none.

    Upstream values are spliced in as the text the upstream worker wrote, not
    parsed and re-encoded: it is cheaper, and values such as NaN or very
    large integers reach the function exactly as they were stored.
    """
    members = [json.dumps(dim) + ":" + json.dumps(value) for dim, value in job.partition_values.items()]
    for inp in job.inputs:
        if inp.single is not None:
            text = _value_text(out_dir, plan, inp.single)
        else:
            text = "{" + ",".join(
                json.dumps(map_key) + ":" + _value_text(out_dir, plan, jid) for map_key, jid in inp.mapping
            ) + "}"
        members.append(json.dumps(inp.param) + ":" + text)
    if not members:
        return None
    return "{" + ",".join(members) + "}"


def prepare(out_dir: str, plan: Plan, job: Job, timeout: float | None) -> WorkerTask:
    directory = job_dir(out_dir, job)
    os.makedirs(directory, exist_ok=True)
    clear(directory)
    text = kwargs_text(out_dir, plan, job)
    kwargs_path = None
    if text is not None:
        kwargs_path = os.path.join(directory, KWARGS_FILE)
        with open(kwargs_path, "w", encoding="utf-8") as f:
            f.write(text)
    rec = job.asset.record
    return WorkerTask(
        label=job.label,
        module=rec.module,
        function=rec.function,
        out_dir=directory,
        kwargs_path=kwargs_path,
        log_path=os.path.join(directory, LOG_FILE),
        timeout=timeout,
    )


def discard_kwargs(task: WorkerTask) -> None:
    """A succeeded job's arguments are its upstream values again: drop the copy.
    A failed job keeps them, to rerun the worker by hand."""
    if task.kwargs_path:
        try:
            os.unlink(task.kwargs_path)
        except FileNotFoundError:
            pass
