"""A job's directory: clearing it before an attempt, and writing the keyword
arguments its worker receives (partition keys and upstream values)."""

from __future__ import annotations

import hashlib
import json
import os
from collections.abc import Mapping

from .executors import WorkerTask
from .naming import KWARGS_FILE, LOG_FILE, RESULT_FILE, VALUE_FILE
from .plan import Job, JobId, Plan


class InputError(Exception):
    pass


class DamagedValue(InputError):
    """A stored upstream value whose bytes are not those recorded for it."""

    def __init__(self, job: JobId, message: str):
        super().__init__(message)
        self.job = job


def job_dir(out_dir: str, job: Job) -> str:
    return os.path.join(out_dir, job.relpath)


def has_value(out_dir: str, job: Job) -> bool:
    return os.path.isfile(os.path.join(job_dir(out_dir, job), VALUE_FILE))


def stored_size(out_dir: str, job: Job) -> int | None:
    """The size of the job's stored value, or None when its value or its
    worker's report is missing (a success leaves both)."""
    directory = job_dir(out_dir, job)
    try:
        size = os.stat(os.path.join(directory, VALUE_FILE)).st_size
        os.stat(os.path.join(directory, RESULT_FILE))
    except OSError:
        return None
    return size


def file_digest(path: str) -> tuple[int, str]:
    """(size, sha256 hex) of a file's bytes."""
    digest = hashlib.sha256()
    size = 0
    with open(path, "rb") as f:
        while chunk := f.read(1 << 20):
            digest.update(chunk)
            size += len(chunk)
    return size, digest.hexdigest()


def _fsync(path: str) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def seal(directory: str) -> tuple[int, str]:
    """Make a finished job's value and report durable, and return the value's
    (size, hash). Called after the worker has exited and before the catalog
    says done, so that a crash of the machine cannot leave a done row whose
    files never reached the disk."""
    value = os.path.join(directory, VALUE_FILE)
    size, digest = file_digest(value)
    _fsync(value)
    _fsync(os.path.join(directory, RESULT_FILE))
    _fsync(directory)
    return size, digest


def clear(directory: str) -> None:
    """Remove what an earlier attempt left, so that a failed or interrupted
    attempt can never leave an old value looking current."""
    for name in (VALUE_FILE, RESULT_FILE, LOG_FILE, KWARGS_FILE):
        try:
            os.unlink(os.path.join(directory, name))
        except FileNotFoundError:
            pass


class ValueReader:
    """Reads upstream values for the jobs of one run, checking each against
    the hash recorded when it was written, once per run."""

    def __init__(self, out_dir: str, plan: Plan, hashes: Mapping[JobId, str] | None = None):
        self.out_dir = out_dir
        self.plan = plan
        # job -> hash its stored value must have; absent: not checked
        self.hashes = hashes if hashes is not None else {}
        self.verified: set[JobId] = set()

    def text(self, job_id: JobId) -> str:
        upstream = self.plan.jobs[job_id]
        path = os.path.join(job_dir(self.out_dir, upstream), VALUE_FILE)
        try:
            with open(path, "rb") as f:
                data = f.read()
        except OSError as e:
            raise InputError(f"cannot read the value of {upstream.label}: {e.strerror}: {path}") from None
        expected = self.hashes.get(job_id)
        if expected is not None and job_id not in self.verified:
            if hashlib.sha256(data).hexdigest() != expected:
                raise DamagedValue(job_id, f"the stored value of {upstream.label} is damaged (its bytes are not"
                                           f" those recorded when it was written): {path}")
            self.verified.add(job_id)
        text = data.decode("utf-8", "replace").strip()
        if not text:
            raise InputError(f"the stored value of {upstream.label} is empty: {path}")
        return text


def kwargs_text(out_dir: str, plan: Plan, job: Job, reader: ValueReader | None = None) -> str | None:
    """The worker's keyword arguments as JSON text, or None if there are none.

    Upstream values are spliced in as the text the upstream worker wrote, not
    parsed and re-encoded: it is cheaper, and values such as NaN or very
    large integers reach the function exactly as they were stored.
    """
    read = (reader or ValueReader(out_dir, plan)).text
    members = [json.dumps(dim) + ":" + json.dumps(value) for dim, value in job.partition_values.items()]
    for inp in job.inputs:
        if inp.single is not None:
            text = read(inp.single)
        else:
            text = "{" + ",".join(
                json.dumps(map_key) + ":" + read(jid) for map_key, jid in inp.mapping
            ) + "}"
        members.append(json.dumps(inp.param) + ":" + text)
    if not members:
        return None
    return "{" + ",".join(members) + "}"


def prepare(out_dir: str, plan: Plan, job: Job, timeout: float | None,
            reader: ValueReader | None = None) -> WorkerTask:
    directory = job_dir(out_dir, job)
    os.makedirs(directory, exist_ok=True)
    clear(directory)
    text = kwargs_text(out_dir, plan, job, reader)
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
