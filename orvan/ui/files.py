"""Reading the job directories: values, logs, tracebacks, and the check
that keeps every read inside the output directory."""

from __future__ import annotations

import json
import os

from ..store import Store, naming

PREVIEW_BYTES = 64 * 1024
TAIL_BYTES = 32 * 1024
TAIL_LINES = 200


class OutsidePath(Exception):
    """A requested path that would leave the output directory."""


def safe_path(out_dir: str, relpath: str) -> str:
    """The real path of `relpath` under `out_dir`; refuses absolute paths,
    `..` and symlinks that lead outside it."""
    if not relpath or "\0" in relpath or os.path.isabs(relpath) or relpath.startswith(("/", "\\")):
        raise OutsidePath(relpath)
    parts = relpath.replace("\\", "/").split("/")
    if any(p in ("..", ".") for p in parts):
        raise OutsidePath(relpath)
    root = os.path.realpath(out_dir)
    real = os.path.realpath(os.path.join(root, *parts))
    if os.path.commonpath([root, real]) != root:
        raise OutsidePath(relpath)
    return real


def job_dir(out_dir: str, key: str, partition: dict[str, str]) -> str:
    return safe_path(out_dir, naming.job_relpath(key, partition))


def from_store(store: Store, out_dir: str, key: str, partition: dict[str, str], scratch: str) -> str:
    """The job's latest log and stored value, read from a remote store into
    `scratch` and laid out as its directory would be: the pages then read
    them as they read the output directory."""
    from .. import values
    from ..cli.commands.stored import read_log, stored_value
    from ..cli.plan.pipeline import CommandError

    for name, read in ((naming.LOG_FILE, lambda: read_log(store, out_dir, key, partition)),
                       ("", lambda: stored_value(store, out_dir, key, partition))):
        try:
            got = read()
        except CommandError:
            continue
        data, file = (got, name) if isinstance(got, bytes) else (got[0], values.value_file(got[1]))
        with open(os.path.join(scratch, file), "wb") as f:
            f.write(data)
    return scratch


def value_file(directory: str) -> str | None:
    """The job's stored value: value.json, or value.<ext> from a serializer."""
    try:
        names = sorted(n for n in os.listdir(directory) if n.startswith("value."))
    except OSError:
        return None
    if naming.VALUE_FILE in names:
        return os.path.join(directory, naming.VALUE_FILE)
    return os.path.join(directory, names[0]) if names else None


# Values stored by a serializer that a page may load for a summary. Pickles
# are left alone: loading one runs code, which a page view should not.
SUMMARIZED = {"parquet": "parquet", "npy": "npy", "bin": "bytes"}
SUMMARY_MAX_BYTES = 16 * 1024 * 1024


def _summary(path: str, size: int) -> str:
    serializer = SUMMARIZED.get(path.rsplit(".", 1)[-1])
    if serializer is None or size > SUMMARY_MAX_BYTES:
        return f"{os.path.basename(path)}: {size} bytes (orvan show prints a summary)"
    from ..values.summary import summarize
    try:
        return summarize(path, serializer)
    except Exception as e:  # a missing optional library, a damaged file
        return f"{os.path.basename(path)}: {size} bytes; no summary: {type(e).__name__}: {e}"


def preview(path: str) -> tuple[str, int, bool]:
    """(text, size in bytes, cut short): the first 64 KiB, pretty-printed
    when it is whole JSON; a summary for a value stored in another form."""
    size = os.path.getsize(path)
    if not path.endswith((".json", ".txt")):
        return _summary(path, size), size, False
    with open(path, "rb") as f:
        data = f.read(PREVIEW_BYTES)
    text = data.decode("utf-8", errors="replace")
    if size <= PREVIEW_BYTES and path.endswith(".json"):
        try:
            text = json.dumps(json.loads(text), indent=2, ensure_ascii=False)
        except ValueError:
            pass
    return text, size, size > PREVIEW_BYTES


def tail(path: str) -> tuple[str, int, bool]:
    """(the last lines of a log, its size, whether lines were left out),
    reading only its end."""
    size = os.path.getsize(path)
    with open(path, "rb") as f:
        f.seek(max(0, size - TAIL_BYTES))
        data = f.read()
    lines = data.decode("utf-8", errors="replace").splitlines()
    if size > TAIL_BYTES and lines:
        lines = lines[1:]  # most likely cut in the middle
    return "\n".join(lines[-TAIL_LINES:]), size, size > TAIL_BYTES or len(lines) > TAIL_LINES


def traceback_in(log: str) -> str | None:
    """The last Python traceback in a log's text, to the end of the log."""
    at = log.rfind("Traceback (most recent call last):")
    return log[at:].rstrip() if at >= 0 else None

