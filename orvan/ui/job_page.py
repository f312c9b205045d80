"""The job page: state and why, the redo command, error and traceback,
attempts, log tail and value preview."""

from __future__ import annotations

import os
import shlex
import tempfile
from collections.abc import Sequence
from urllib.parse import quote

from ..store import Store, naming
from ..states import ATTEMPTS, JobState
from . import files
from ..store.naming import partition_token
from ..states import State
from .freshness import Judge
from .html import badge, duration, e, job_label, shell, time_text
from .model import AssetView
from .reader import JobRow


def redo_command(key: str, partition: dict[str, str], out_arg: str | None, modules: Sequence[str] = ()) -> str:
    # The modules unless pyproject.toml names them (`orvan run` finds them
    # there): the pages may have found them in the last run's record.
    words = ["orvan", "run", *modules, "--select", key]
    for dim, k in partition.items():
        words += ["--partition", f"{dim}={k}"]
    if out_arg:
        words += ["--out", out_arg]
    return shlex.join(words)


def _file_url(out_dir: str, path: str) -> str:
    return "/files/" + quote(os.path.relpath(path, os.path.realpath(out_dir)))


def _attempts(history: list[JobRow]) -> str:
    rows = "".join(
        f'<tr><td><a href="/run/{r.run_id}">run {r.run_id}</a></td><td>{badge(r.status)}</td>'
        f"<td>{time_text(r.started_at)}</td><td>{duration(r.started_at, r.ended_at)}</td>"
        f'<td class=error>{e((r.error or "")[:200])}</td></tr>' for r in history)
    return ("<h2>Runs of this job</h2><table class=list><thead><tr><th>run</th><th>status</th><th>started</th>"
            f"<th>took</th><th>error</th></tr></thead><tbody>{rows}</tbody></table>")


def _log(out_dir: str, directory: str | None) -> tuple[str, str]:
    """(the log section, the log's text tail) of the job's latest attempt."""
    path = os.path.join(directory, naming.LOG_FILE) if directory else ""
    if not path or not os.path.isfile(path):
        return "<h2>Log</h2><p>No log on disk.</p>", ""
    text, size, cut = files.tail(path)
    whole = f'<a href="{e(_file_url(out_dir, path))}">whole log ({size} bytes)</a>'
    note = "its last lines; " if cut else ""
    return f"<h2>Log</h2><p>{e(note)}{whole}</p><pre class=log>{e(text)}</pre>", text


def _value(out_dir: str, directory: str | None) -> str:
    path = files.value_file(directory) if directory else None
    if path is None:
        return "<h2>Value</h2><p>No value stored.</p>"
    text, size, cut = files.preview(path)
    note = f"first 64 KiB of {size} bytes; " if cut else ""
    link = f'<a href="{e(_file_url(out_dir, path))}">{e(os.path.basename(path))}</a>'
    return f"<h2>Value</h2><p>{e(note)}{link}</p><pre class=value>{e(text)}</pre>"


def _error(attempt: JobRow | None, log_text: str) -> str:
    if attempt is None or attempt.status not in (JobState.FAILED, JobState.INTERRUPTED):
        return ""
    trace = files.traceback_in(log_text)
    block = f"<pre class=traceback>{e(trace)}</pre>" if trace else ""
    return f'<h2>Error</h2><p class=error>{e(attempt.error or "no error recorded")}</p>{block}'


def _directory(out_dir: str, key: str, partition: dict[str, str]) -> str | None:
    try:
        return files.job_dir(out_dir, key, partition)
    except files.OutsidePath:
        return None


def job_page(key: str, partition: dict[str, str], asset: AssetView | None, history: list[JobRow],
             judge: Judge, out_dir: str, out_arg: str | None, modules: Sequence[str] = (),
             store: Store | None = None) -> str:
    attempt = next((r for r in history if r.status in ATTEMPTS), None)
    index = asset.index_of(partition) if asset else None
    fp = asset.fingerprints[index] if asset and asset.fingerprints and index is not None else None
    if store is None:
        directory = _directory(out_dir, key, partition)
        log_html, log_text = _log(out_dir, directory)
        value_html = _value(out_dir, directory)
    else:
        with tempfile.TemporaryDirectory(prefix="orvan-ui-") as scratch:
            directory = files.from_store(store, out_dir, key, partition, scratch)
            log_html, log_text = _log(out_dir, directory)
            value_html = _value(out_dir, directory)
    token = partition_token(partition)
    state = judge.state(key, token)
    why = "".join(f"<li>{e(r)}</li>" for r in judge.reasons(key, token))
    known = "" if asset is not None and index is not None else \
        "<p class=problem>The pipeline as loaded now has no such job.</p>"
    cmd = redo_command(key, partition, out_arg, modules)
    body = (f"<h1>{e(job_label(key, partition))} {badge(state)}</h1>{known}"
            f'<div class=redo><code id=redo>{e(cmd)}</code><button type=button class=copy data-copy=redo>copy</button>'
            f'</div><h2>Why {e(state)}</h2><ul class=why>{why}</ul>{_error(attempt, log_text)}'
            f"{_attempts(history) if history else ''}{log_html}{value_html}")
    return shell(job_label(key, partition), body, out_dir=out_dir, poll=state == State.RUNNING)
