"""What a job's host does around the job when values live in a remote store:
fetch the upstream values the job reads into its scratch directory, and
after the job, upload its value, result record and log.

It runs where the job runs (the runner's host for the local executors, a
Dask worker otherwise), never through the runner. A job's description
(`spec`) is plain data, made by the runner:

    store       {"url": ..., "options": {...}}
    kwargs      the keyword arguments' JSON text, each upstream value a
                NUL-delimited index into `inputs` (NUL is never in JSON text)
    refs        references to values that are not JSON, their paths
                "orvan-input:<index>"
    inputs      [name, sha256, label] of each upstream value
    relpath, value_file, log, result   where the job's own files go
    checks      the request for the asset's checks (orvan.checks), if any:
                the job's process runs them on the value in its scratch
                directory, and their outcome goes up beside the value
"""

from __future__ import annotations

import hashlib
import json
import os
from typing import Any

from .base import StoreError, StoreMissing
from .naming import LOG_FILE, RESULT_FILE
from .local import CHECKS_FILE
from .remote import RemoteStore

MARK = "\0"
# As orvan.checks names it: the worker runs the checks it finds requested.
CHECKS_REQUEST = "checks.request.json"
REF_PREFIX = "orvan-input:"

# One client per store in each process: a Dask worker runs many jobs.
_OPEN: dict[str, RemoteStore] = {}


class DamagedInput(StoreError):
    """An upstream value whose bytes are not those recorded for it."""

    def __init__(self, message: str, name: str):
        super().__init__(message)
        self.name = name


def open_spec(store: dict[str, Any]) -> RemoteStore:
    key = json.dumps(store, sort_keys=True)
    found = _OPEN.get(key)
    if found is None:
        found = _OPEN[key] = RemoteStore(store["url"], store.get("options"))
    return found


def _fetch(store: RemoteStore, inputs: list[list[str]]) -> list[bytes]:
    try:
        data = store.fetch([name for name, _, _ in inputs])
    except StoreMissing as e:
        label = next((lab for name, _, lab in inputs if str(e).startswith(name + " ")), "an upstream job")
        raise StoreMissing(f"the stored value of {label} is missing: {e}") from None
    for (name, digest, label), blob in zip(inputs, data):
        if hashlib.sha256(blob).hexdigest() != digest:
            raise DamagedInput(f"the stored value of {label} is damaged (its bytes are not those recorded "
                               f"when it was written): {store.url}/{name}", name)
    return data


def _fill(template: str, data: list[bytes], inputs: list[list[str]]) -> str:
    pieces = template.split(MARK)
    for i in range(1, len(pieces), 2):
        index = int(pieces[i])
        text = data[index].decode("utf-8", "replace").strip()
        if not text:
            raise StoreError(f"the stored value of {inputs[index][2]} is empty: {inputs[index][0]}")
        pieces[i] = text
    return "".join(pieces)


def _place(node: Any, data: list[bytes], scratch: str) -> None:
    """Write each referenced value into the scratch directory, and point its
    reference there."""
    if not isinstance(node, dict):
        return
    path = node.get("path")
    if node.get("kind") == "file" and isinstance(path, str) and path.startswith(REF_PREFIX):
        index = int(path[len(REF_PREFIX):])
        local = os.path.join(scratch, f".input-{index}")
        with open(local, "wb") as f:
            f.write(data[index])
        node["path"] = local
    for child in node.values():
        _place(child, data, scratch)


def stage_inputs(store: RemoteStore, spec: dict[str, Any], scratch: str) -> tuple[str | None, str | None]:
    """(kwargs text, references text) for the job, its upstream values
    fetched concurrently and checked against their hashes."""
    inputs = spec.get("inputs") or []
    data = _fetch(store, inputs) if inputs else []
    kwargs = spec.get("kwargs")
    if kwargs is not None:
        kwargs = _fill(kwargs, data, inputs)
    refs = spec.get("refs")
    if refs is not None:
        tree = json.loads(refs)
        _place(tree, data, scratch)
        refs = json.dumps(tree, ensure_ascii=False)
    return kwargs, refs


def request_checks(store: RemoteStore, spec: dict[str, Any], scratch: str) -> None:
    """Ask the job's process for the asset's checks, with the outcome on the
    job's last value (kept should the value come out the same), and clear
    any outcome an earlier attempt left here: only this one's goes up."""
    try:
        os.unlink(os.path.join(scratch, CHECKS_FILE))
    except FileNotFoundError:
        pass
    if not spec.get("checks"):
        return
    request = dict(spec["checks"])
    previous = request.pop("previous_name", None)
    if previous:
        try:
            found = json.loads(store.read(previous))
        except (StoreError, ValueError):
            found = None  # the checks run
        ok = isinstance(found, dict) and isinstance(found.get("outcomes"), list)
        request["previous"] = found if ok else None
    with open(os.path.join(scratch, CHECKS_REQUEST), "w", encoding="utf-8") as f:
        json.dump(request, f, ensure_ascii=False)


def _read(path: str) -> bytes | None:
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def commit(store: RemoteStore, spec: dict[str, Any], scratch: str) -> tuple[int, str]:
    """Upload the job's value under its content's name, with the attempt's
    result record and log, in one round trip; (size, sha256).

    The value is created only where absent: bytes already there under that
    name are either these (a rerun that came out the same) or damaged
    behind our back, and only then replaced, which loses nothing a success
    vouches for."""
    data = _read(os.path.join(scratch, spec["value_file"]))
    if data is None:
        raise StoreError(f"the job left no value to store ({spec['value_file']})")
    digest = hashlib.sha256(data).hexdigest()
    name = store.value_name(spec["relpath"], spec["value_file"], digest)
    files = _attempt_files(spec, scratch)
    outcome = _read(os.path.join(scratch, CHECKS_FILE)) if spec.get("checks") else None
    if outcome is not None:
        files.append((store.checks_name(spec["relpath"], digest), outcome, False))
    created, *_ = store.put_many([(name, data, True), *files])
    if not created and not store.verify(name, digest):
        store.put(name, data, create=False)
    return len(data), digest


def _attempt_files(spec: dict[str, Any], scratch: str) -> list[tuple[str, bytes, bool]]:
    found = []
    for local, name in ((RESULT_FILE, spec["result"]), (LOG_FILE, spec["log"])):
        data = _read(os.path.join(scratch, local))
        if data is not None:
            found.append((name, data, False))
    return found


def commit_files(store: RemoteStore, spec: dict[str, Any], scratch: str) -> None:
    """Upload the attempt's result record and log, whichever it left."""
    store.put_many(_attempt_files(spec, scratch))
