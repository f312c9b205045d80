"""A job's directory: clearing it before an attempt, and writing the keyword
arguments its worker receives (partition keys and upstream values)."""

from __future__ import annotations

import hashlib
import json
import os
from collections.abc import Callable, Mapping
from typing import TYPE_CHECKING, NamedTuple

from ... import values
from ...store import naming
from ...store.naming import INPUTS_FILE, KWARGS_FILE, LOG_FILE, RESULT_FILE
from ..plan.jobs import Input, Job, JobId, MapTree, Plan

if TYPE_CHECKING:
    # Only a job that runs needs its task: the freshness checks that read a
    # job's files through this module do without the executors.
    from .executors import WorkerTask


class InputError(Exception):
    pass


class DamagedValue(InputError):
    """A stored upstream value whose bytes are not those recorded for it."""

    def __init__(self, job: JobId, message: str):
        super().__init__(message)
        self.job = job


def job_dir(out_dir: str, job: Job) -> str:
    return os.path.join(out_dir, job.relpath)


def value_path(out_dir: str, job: Job) -> str:
    return naming.value_path(job_dir(out_dir, job), job.asset.record.serializer)


def has_value(out_dir: str, job: Job) -> bool:
    return os.path.isfile(value_path(out_dir, job))


def stored_size(out_dir: str, job: Job) -> int | None:
    """The size of the job's stored value, or None when its value or its
    worker's report is missing (a success leaves both)."""
    # Joined by hand: `status` asks this of every job, 100,000 of them.
    directory = out_dir + os.sep + job.relpath + os.sep
    try:
        size = os.stat(directory + values.value_file(job.asset.record.serializer)).st_size
        os.stat(directory + RESULT_FILE)
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


class Sealed(NamedTuple):
    """A finished job's value, as recorded with its success, and the files
    that must reach the disk before that success is committed."""
    size: int
    digest: str
    files: tuple[str, ...]


def seal(directory: str, serializer: str | None = None) -> Sealed:
    """Hash a finished job's value, once, after its worker has exited. The
    value and the worker's report are not synced here: the runner makes the
    files of a whole batch of successes durable at once (`store.durable`)
    just before the catalog commits their done rows: one sync per batch costs about what one fsync does,
    where three per job in the scheduler's thread set the runner's pace."""
    value = naming.value_path(directory, serializer)
    size, digest = file_digest(value)
    return Sealed(size, digest, (value, os.path.join(directory, RESULT_FILE)))


def clear(directory: str) -> None:
    """Remove what an earlier attempt left, so that a failed or interrupted
    attempt can never leave an old value looking current."""
    try:
        names = os.listdir(directory)
    except FileNotFoundError:
        return
    ours = {RESULT_FILE, LOG_FILE, KWARGS_FILE, INPUTS_FILE}
    for name in names:
        # value.* whatever serializer stored it (the asset may have changed
        # serializer since), and what a killed writer left half written.
        if name in ours or name.startswith((values.VALUE_STEM + ".", "." + values.VALUE_STEM + ".")):
            try:
                os.unlink(os.path.join(directory, name))
            except (FileNotFoundError, IsADirectoryError):
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

    def _check(self, job_id: JobId, path: str, digest: str) -> None:
        expected = self.hashes.get(job_id)
        if expected is not None and job_id not in self.verified:
            if digest != expected:
                raise DamagedValue(job_id, f"the stored value of {self.plan.jobs[job_id].label} is damaged (its"
                                           f" bytes are not those recorded when it was written): {path}")
            self.verified.add(job_id)

    def text(self, job_id: JobId) -> str:
        upstream = self.plan.jobs[job_id]
        path = value_path(self.out_dir, upstream)
        try:
            with open(path, "rb") as f:
                data = f.read()
        except OSError as e:
            raise InputError(f"cannot read the value of {upstream.label}: {e.strerror}: {path}") from None
        self._check(job_id, path, hashlib.sha256(data).hexdigest())
        text = data.decode("utf-8", "replace").strip()
        if not text:
            raise InputError(f"the stored value of {upstream.label} is empty: {path}")
        return text


    def ref(self, job_id: JobId) -> dict[str, object]:
        """A reference to a value stored as a file the worker loads itself,
        checked like a value read here (the bytes are hashed, not parsed)."""
        upstream = self.plan.jobs[job_id]
        path = value_path(self.out_dir, upstream)
        if job_id in self.hashes and job_id not in self.verified:
            try:
                digest = file_digest(path)[1]
            except OSError as e:
                raise InputError(f"cannot read the value of {upstream.label}: {e.strerror}: {path}") from None
            self._check(job_id, path, digest)
        elif not os.path.isfile(path):
            raise InputError(f"cannot read the value of {upstream.label}: no such file: {path}")
        return {"kind": "file", "path": path, "serializer": upstream.asset.record.serializer}


def _is_json(plan: Plan, job_id: JobId) -> bool:
    return values.is_json(plan.jobs[job_id].asset.record.serializer)


def _json_inputs(plan: Plan, job: Job) -> list[Input]:
    return [inp for inp in job.inputs if not inp.job_ids() or _is_json(plan, inp.job_ids()[0])]


def _tree_text(tree: MapTree, read: Callable[[JobId], str]) -> str:
    return "{" + ",".join(
        json.dumps(key) + ":" + (_tree_text(node, read) if isinstance(node, dict) else read(node))
        for key, node in tree.items()
    ) + "}"


def _tree_refs(tree: MapTree, ref: Callable[[JobId], dict[str, object]]) -> dict[str, object]:
    return {"kind": "map", "items": {
        key: _tree_refs(node, ref) if isinstance(node, dict) else ref(node) for key, node in tree.items()
    }}


def kwargs_text(out_dir: str, plan: Plan, job: Job, reader: ValueReader | None = None) -> str | None:
    """The worker's JSON keyword arguments as JSON text, or None if there are
    none: partition keys and the upstream values stored as JSON.

    Upstream values are spliced in as the text the upstream worker wrote, not
    parsed and re-encoded: it is cheaper, and values such as NaN or very
    large integers reach the function exactly as they were stored.
    """
    read = (reader or ValueReader(out_dir, plan)).text
    members = [json.dumps(dim) + ":" + json.dumps(value) for dim, value in job.partition_values.items()]
    for inp in _json_inputs(plan, job):
        if inp.single is not None:
            text = read(inp.single)
        else:
            text = _tree_text(inp.tree(), read)
        members.append(json.dumps(inp.param) + ":" + text)
    if not members:
        return None
    return "{" + ",".join(members) + "}"


def refs_text(plan: Plan, job: Job, reader: ValueReader) -> str | None:
    """References to the upstream values that are not JSON, or None: the
    worker loads each with its own serializer, never through JSON."""
    refs: dict[str, object] = {}
    for inp in job.inputs:
        ids = inp.job_ids()
        if not ids or _is_json(plan, ids[0]):
            continue
        if inp.single is not None:
            refs[inp.param] = reader.ref(inp.single)
        else:
            refs[inp.param] = _tree_refs(inp.tree(), reader.ref)
    return json.dumps(refs, ensure_ascii=False) if refs else None


def write_arguments(directory: str, name: str, text: str | None) -> str | None:
    """Writes a worker's argument file (keyword arguments, input references); None when there is none."""
    if text is None:
        return None
    path = os.path.join(directory, name)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    return path


def prepare(out_dir: str, plan: Plan, job: Job, timeout: float | None,
            reader: ValueReader | None = None) -> WorkerTask:
    directory = job_dir(out_dir, job)
    os.makedirs(directory, exist_ok=True)
    clear(directory)
    reader = reader or ValueReader(out_dir, plan)
    rec = job.asset.record
    from .executors import WorkerTask

    return WorkerTask(
        label=job.label,
        module=rec.module,
        function=rec.function,
        out_dir=directory,
        kwargs_path=write_arguments(directory, KWARGS_FILE, kwargs_text(out_dir, plan, job, reader)),
        log_path=os.path.join(directory, LOG_FILE),
        timeout=timeout,
        serializer=None if values.is_json(rec.serializer) else rec.serializer,
        refs_path=write_arguments(directory, INPUTS_FILE, refs_text(plan, job, reader)),
    )


def discard_kwargs(task: WorkerTask) -> None:
    """A succeeded job's arguments are its upstream values again: drop the copy.
    A failed job keeps them, to rerun the worker by hand."""
    for path in (task.kwargs_path, task.refs_path):
        if path:
            try:
                os.unlink(path)
            except FileNotFoundError:
                pass
