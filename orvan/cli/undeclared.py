"""Stored values that the pipeline no longer declares: a partition key taken
out of `partitions([...])`, or an asset taken out of the code. They stay on
disk until `orvan clean` removes them; `status --why` and `show` say so.

The output tree is read back from the file names alone (they are escaped
reversibly), so files the catalog has no row for are found too.
"""

from __future__ import annotations

import os
from dataclasses import dataclass

from . import naming
from .plan import Plan, job_label, partition_token

# The files a job leaves; value files may carry another suffix than .json.
JOB_FILES = (naming.RESULT_FILE, naming.LOG_FILE, naming.KWARGS_FILE)


@dataclass(frozen=True)
class Stored:
    key: str
    partition: dict[str, str]
    directory: str
    files: tuple[str, ...]

    @property
    def id(self) -> tuple[str, str]:
        return self.key, partition_token(self.partition)

    @property
    def label(self) -> str:
        return job_label(self.key, self.partition)


def _job_files(directory: str, names: list[str]) -> tuple[str, ...]:
    return tuple(sorted(n for n in names if n in JOB_FILES or n.startswith("value.")
                        if os.path.isfile(os.path.join(directory, n))))


def _stored_in(asset_dir: str, key: str) -> list[Stored]:
    found = []
    for root, dirs, names in os.walk(asset_dir):
        dirs.sort()
        files = _job_files(root, names)
        if not files:
            continue
        rel = [] if root == asset_dir else os.path.relpath(root, asset_dir).split(os.sep)
        try:
            partition = dict(naming.parse_partition_component(c) for c in rel)
        except ValueError:
            continue
        found.append(Stored(key, dict(sorted(partition.items())), root, files))
    return found


def stored_jobs(out_dir: str) -> list[Stored]:
    """Every job directory under `out_dir` that holds a job's files."""
    try:
        entries = sorted(os.listdir(out_dir))
    except OSError:
        return []
    found: list[Stored] = []
    for name in entries:
        path = os.path.join(out_dir, name)
        # Asset directories never start with "." (escaping sees to it); the
        # runner's own files and directories do, or are plain files.
        if name.startswith(".") or not os.path.isdir(path) or os.path.islink(path):
            continue
        try:
            key = naming.unescape(name)
        except UnicodeDecodeError:
            continue
        found.extend(_stored_in(path, key))
    return found


def why_undeclared(plan: Plan, key: str, token: str) -> str | None:
    """Why a stored job is not part of the plan, or None if it is."""
    if key not in plan.by_asset:
        return "asset no longer declared"
    if (key, token) not in plan.jobs:
        return "partition no longer declared"
    return None


def find(plan: Plan, out_dir: str) -> list[tuple[Stored, str]]:
    """The stored jobs the plan does not declare, with the reason."""
    result = []
    for stored in stored_jobs(out_dir):
        reason = why_undeclared(plan, *stored.id)
        if reason:
            result.append((stored, reason))
    return result
