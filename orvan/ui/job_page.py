"""The job page: state and why, the redo command, error and traceback,
attempts, log tail and value preview."""

from __future__ import annotations

import os
import shlex
import tempfile
from collections.abc import Mapping, Sequence
from urllib.parse import quote

from .. import checks
from ..store import Store, naming
from ..states import ATTEMPTS, JobState
from . import files
from ..store.naming import partition_token
from ..states import State
from .freshness import Judge
from .html import asset_url, badge, duration, e, job_label, shell, time_text
from .model import AssetView
from .reader import JobRow, Try


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


def _tries(tried: list[Try]) -> str:
    """How many times a run tried the job, and why each earlier try ended."""
    if len(tried) < 2:
        return "1"
    items = "".join(f"<li>try {t.attempt}: {e(t.status)} after {duration(t.started_at, t.ended_at)}"
                    f'{": " + e((t.error or "")[:200]) if t.error else ""}</li>' for t in tried)
    return f"<details><summary>{len(tried)}</summary><ol class=tries>{items}</ol></details>"


def _attempts(history: list[JobRow], tries: Mapping[int, list[Try]]) -> str:
    rows = "".join(
        f'<tr><td><a href="/run/{r.run_id}">run {r.run_id}</a></td><td>{badge(r.status)}</td>'
        f"<td>{time_text(r.started_at)}</td><td>{duration(r.started_at, r.ended_at)}</td>"
        f"<td>{_tries(tries.get(r.id, []))}</td>"
        f'<td class=error>{e((r.error or "")[:200])}</td></tr>' for r in history)
    return ("<h2>Runs of this job</h2><table class=list><thead><tr><th>run</th><th>status</th><th>started</th>"
            f"<th>took</th><th>tries</th><th>error</th></tr></thead><tbody>{rows}</tbody></table>")


def _log(out_dir: str, directory: str | None, failed: bool) -> tuple[str, str]:
    """(the log section, the traceback it holds when the attempt failed) of
    the job's latest attempt; the traceback is shown once, above the log."""
    path = os.path.join(directory, naming.LOG_FILE) if directory else ""
    if not path or not os.path.isfile(path):
        return "<h2>Log</h2><p>No log on disk.</p>", ""
    text, size, cut = files.tail(path)
    trace = (files.traceback_in(text) or "") if failed else ""
    if trace and trace in text:
        text = text.replace(trace, "[the traceback, shown above under Error]\n", 1)
    whole = f'<a href="{e(_file_url(out_dir, path))}">whole log ({size} bytes)</a>'
    note = "its last lines; " if cut else ""
    return (f'<h2>Log</h2><p>{e(note)}{whole} <input type=search class=log-find placeholder="find in the log" '
            f'aria-label="find in the log"></p><pre class=log>{e(text)}</pre>', trace)


def _value(out_dir: str, directory: str | None) -> str:
    path = files.value_file(directory) if directory else None
    if path is None:
        return "<h2>Value</h2><p>No value stored.</p>"
    text, size, cut = files.preview(path)
    note = f"first 64 KiB of {size} bytes; " if cut else ""
    link = f'<a href="{e(_file_url(out_dir, path))}">{e(os.path.basename(path))}</a>'
    return f"<h2>Value</h2><p>{e(note)}{link}</p><pre class=value>{e(text)}</pre>"


def _checks(directory: str | None, value_hash: str | None) -> str:
    """The asset checks' outcomes stored beside the value, when there are any."""
    found = checks.read_results(directory) if directory else None
    if not found or not found["outcomes"]:
        return ""
    items = []
    for o in found["outcomes"]:
        state = "passed" if o.get("passed") else "failed"
        mark = "✓" if state == "passed" else "✕"
        blocking = " (blocking)" if o.get("blocking") else ""
        message = f": {o['message']}" if o.get("message") else ""
        items.append(f'<li class="check {state}">{mark} {e(o.get("name", "?"))} {state}{blocking}{e(message)}</li>')
    old = "" if value_hash is None or found.get("value_hash") == value_hash else \
        "<p class=problem>These outcomes are of an earlier value: the checks run again with the next run.</p>"
    return f"<h2>Checks</h2>{old}<ul class=checks>{''.join(items)}</ul>"


def _failed(attempt: JobRow | None) -> bool:
    return attempt is not None and attempt.status in (JobState.FAILED, JobState.INTERRUPTED)


def _error(attempt: JobRow | None, trace: str) -> str:
    if attempt is None or not _failed(attempt):
        return ""
    block = f"<pre class=traceback>{e(trace)}</pre>" if trace else ""
    return f'<h2>Error</h2><p class=error>{e(attempt.error or "no error recorded")}</p>{block}'


def _directory(out_dir: str, key: str, partition: dict[str, str]) -> str | None:
    try:
        return files.job_dir(out_dir, key, partition)
    except files.OutsidePath:
        return None


def job_page(key: str, partition: dict[str, str], asset: AssetView | None, history: list[JobRow],
             judge: Judge, out_dir: str, out_arg: str | None, modules: Sequence[str] = (),
             store: Store | None = None, tries: Mapping[int, list[Try]] | None = None) -> str:
    tries = tries or {}
    index = asset.index_of(partition) if asset else None
    attempt = next((r for r in history if r.status in ATTEMPTS), None)
    recorded = judge.attempts.get((key, partition_token(partition)))
    value_hash = recorded.value_hash if recorded is not None else None
    if store is None:
        directory = _directory(out_dir, key, partition)
        log_html, trace = _log(out_dir, directory, _failed(attempt))
        value_html = _value(out_dir, directory) + _checks(directory, value_hash)
    else:
        with tempfile.TemporaryDirectory(prefix="orvan-ui-") as scratch:
            directory = files.from_store(store, out_dir, key, partition, scratch)
            log_html, trace = _log(out_dir, directory, _failed(attempt))
            value_html = _value(out_dir, directory) + _checks(directory, value_hash)
    token = partition_token(partition)
    state = judge.state(key, token)
    why = "".join(f"<li>{e(r)}</li>" for r in judge.reasons(key, token))
    known = "" if asset is not None and index is not None else \
        "<p class=problem>The pipeline as loaded now has no such job.</p>"
    cmd = redo_command(key, partition, out_arg, modules)
    body = (f"<h1>{e(job_label(key, partition))} {badge(state)}</h1>"
            f'<p class=of-asset>a job of <a href="{asset_url(key)}">{e(key)}</a></p>{known}'
            f'<div class=redo><code id=redo>{e(cmd)}</code><button type=button class=copy data-copy=redo>copy</button>'
            f'</div><h2>Why {e(state)}</h2><ul class=why>{why}</ul>{_error(attempt, trace)}'
            f"{_attempts(history, tries) if history else ''}{log_html}{value_html}")
    return shell(job_label(key, partition), body, out_dir=out_dir, poll=state == State.RUNNING)
