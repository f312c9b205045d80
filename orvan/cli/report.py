"""What the user sees: tables, the progress display, the end-of-run summary."""

from __future__ import annotations

import functools
import itertools
import math
import os
import sys
import time
from collections import Counter
from collections.abc import Collection, Iterator, Sequence
from typing import TextIO, cast

from ..states import JobState

# From the states rather than the catalog: the command line imports this module
# first thing, before it needs SQLite.
DONE, FAILED, FRESH, INTERRUPTED, NOT_RUN = (
    JobState.DONE, JobState.FAILED, JobState.FRESH, JobState.INTERRUPTED, JobState.NOT_RUN,
)

# How many failed or not-run jobs the summary names before abbreviating.
LIST_LIMIT = 20


class TolerantStream:
    """An output stream whose errors never reach the caller. When the reader
    goes away (`orvan run | head -1`) the run must still finish and be
    recorded as it ended; the rest of the output goes nowhere, and the
    command ends quietly, as Unix tools do on a closed pipe."""

    def __init__(self, stream: TextIO):
        self._stream = stream
        self.broken = False

    def write(self, text: str) -> int:
        if not self.broken:
            try:
                self._stream.write(text)
            except UnicodeEncodeError:
                # A lone surrogate, or a character the terminal's encoding
                # lacks: printed escaped, never dropped.
                self.write(text.encode(self._encoding(), "backslashreplace").decode(self._encoding()))
            except (OSError, ValueError):
                self._give_up()
        return len(text)

    def _encoding(self) -> str:
        return getattr(self._stream, "encoding", None) or "utf-8"

    def flush(self) -> None:
        if not self.broken:
            try:
                self._stream.flush()
            except (OSError, ValueError):
                self._give_up()

    def _give_up(self) -> None:
        self.broken = True
        # What the stream still buffers is flushed at exit: let it go nowhere,
        # rather than have the interpreter report the broken pipe then.
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            try:
                os.dup2(devnull, self._stream.fileno())
            finally:
                os.close(devnull)
        except (OSError, ValueError):
            pass

    def isatty(self) -> bool:
        try:
            return not self.broken and self._stream.isatty()
        except (OSError, ValueError):
            return False

    def __getattr__(self, name: str) -> object:
        return getattr(self._stream, name)


def terminal_columns() -> int:
    """`shutil.get_terminal_size().columns`, without importing shutil (and
    the compression modules it imports), which takes longer than starting
    the command's work."""
    try:
        columns = int(os.environ["COLUMNS"])
    except (KeyError, ValueError):
        columns = 0
    if columns > 0:
        return columns
    try:
        return os.get_terminal_size(sys.__stdout__.fileno()).columns or 80  # type: ignore[union-attr]
    except (AttributeError, ValueError, OSError):
        return 80


def tolerate_closed_output() -> None:
    """Route standard output and error through TolerantStream, for good."""
    import sys

    if not isinstance(sys.stdout, TolerantStream) and sys.stdout is not None:
        sys.stdout = cast(TextIO, TolerantStream(sys.stdout))
    if not isinstance(sys.stderr, TolerantStream) and sys.stderr is not None:
        sys.stderr = cast(TextIO, TolerantStream(sys.stderr))


def format_table(headers: list[str], rows: Sequence[Sequence[object]], numeric: Collection[int] = ()) -> str:
    columns = [list(map(str, column)) for column in zip(*rows)] or [[] for _ in headers]
    return "\n".join(table_lines(headers, columns, numeric))


def table_lines(headers: list[str], columns: list[list[str]], numeric: Collection[int] = ()) -> Iterator[str]:
    """The lines of a table given by its columns of text: `status` prints
    one of 876,000 rows, built and measured a column at a time."""
    widths = [max(len(h), max(map(len, column), default=0)) for h, column in zip(headers, columns)]
    # One format for every line.
    template = "  ".join(f"{{:{'>' if i in numeric else '<'}{w}}}" for i, w in enumerate(widths))
    yield template.format(*headers).rstrip()
    for row in zip(*columns):
        yield template.format(*row).rstrip()


def seconds(s: float) -> str:
    if s < 10:
        return f"{s:.2f}s"
    if s < 60:
        return f"{s:.1f}s"
    m, s = divmod(int(s), 60)
    return f"{m}m{s:02d}s" if m < 60 else f"{m // 60}h{m % 60:02d}m"


def when(t: float) -> str:
    """A wall-clock time as the tables show it."""
    # localtime takes the whole seconds, rounding down.
    return _when(math.floor(t))


# Cached: the jobs of a run end within a few thousand different seconds.
@functools.lru_cache(maxsize=4096)
def _when(t: int) -> str:
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(t))


def display_path(path: str) -> str:
    rel = os.path.relpath(path)
    return rel if not rel.startswith("..") else path


def did_you_mean(name: str, keys: Collection[str]) -> str:
    """` (did you mean 'KEY'?)` for the asset key `name` most likely meant,
    a bare function name's key among them; "" when none is close."""
    import difflib  # only for a name that was not found

    by_suffix = [k for k in keys if k.endswith("." + name)]
    short = {k.rsplit(".", 1)[-1]: k for k in keys}
    hint = (difflib.get_close_matches(name, list(keys), n=1) or by_suffix
            or [short[s] for s in difflib.get_close_matches(name, list(short), n=1)])
    return f" (did you mean {hint[0]!r}?)" if hint else ""


class _Tail:
    """The part of a running job's log not yet streamed (for -v)."""

    def __init__(self, path: str):
        self.path = path
        self.offset = 0
        self.partial = b""

    def read(self, final: bool) -> list[str]:
        try:
            with open(self.path, "rb") as f:
                f.seek(self.offset)
                data = f.read()
        except OSError:
            data = b""
        self.offset += len(data)
        lines = (self.partial + data).split(b"\n")
        self.partial = lines.pop()
        if final and self.partial:
            lines.append(self.partial)
            self.partial = b""
        return [line.decode("utf-8", "replace").rstrip("\r") for line in lines]


class Progress:
    """What a run prints while it goes.

    On a terminal: one status line, redrawn in place at most every
    `LIVE_INTERVAL` seconds, with the lines of finished jobs written above it
    in the same redraw, so that the cost of drawing does not grow with the
    rate at which jobs finish; past `LINES_PER_DRAW` finished jobs in one
    redraw the rest are counted, not listed (failures always are). Elsewhere:
    one plain line as each job starts and ends, flushed at the same pace.
    Output errors (a closed pipe) silence it; they never stop a run.
    """

    LIVE_INTERVAL = 0.1
    LINES_PER_DRAW = 50

    def __init__(self, total: int, fresh: int, stream: TextIO, live: bool, *,
                 quiet: bool = False, verbose: bool = False, width: int | None = None):
        self.total = total
        self.finished = 0
        self.failed = 0
        self.ran = 0
        self.stream = stream
        self.live = live and not quiet
        self.quiet = quiet
        self.verbose = verbose
        self.interval = self.LIVE_INTERVAL if self.live or verbose else 0.5
        self.width = width or terminal_columns()
        self.t0 = time.monotonic()
        self._running: dict[str, _Tail | None] = {}
        # Lines for the next redraw; a finished job's is formatted only if shown.
        self._pending: list[str | tuple[int, str, float | None, int]] = []
        self._last_draw = 0.0
        self._lines: list[str] = []  # plain lines, written together at the next flush
        self._digits = len(str(total))
        # "[  12/1000]": one format, made once, for the two lines of every job.
        self._head_format = f"[{{:>{self._digits}}}/{total}]"
        self._broken = False
        if fresh:
            self.skipped_fresh(fresh)

    # -- what the scheduler reports --------------------------------------

    def skipped_fresh(self, count: int) -> None:
        self.finished += count
        if count and not self.quiet:
            self._line(f"{count} of {self.total} jobs fresh, skipped")
            self.tick()

    def started(self, label: str, log: str | None) -> None:
        self._running[label] = _Tail(log) if self.verbose and log else None
        if not self.live and not self.quiet:
            self._line(f"{self._head()} start    {label}")
        self.tick()

    def retrying(self, label: str, attempt: int, error: str | None, delay: float) -> None:
        self._drain(label)
        self._running.pop(label, None)
        # No log path: the next attempt replaces the file.
        self._line(f"{self._head()} retry    {label}: attempt {attempt} failed: {error}; "
                   f"attempt {attempt + 1} in {seconds(delay)}")
        self.tick()

    def finished_job(self, label: str, status: str, error: str | None, took: float | None, log: str | None,
                     attempt: int = 1) -> None:
        self._drain(label)
        self._running.pop(label, None)
        self.finished += 1
        if status not in (NOT_RUN, FRESH):
            self.ran += 1
        if status == FAILED:
            self.failed += 1
        if self.live and status == DONE:
            self._pending.append((self.finished, label, took, attempt))
        elif self.live and status == FRESH:
            pass  # counted in the status line; listing them would bury the jobs that ran
        else:
            text = self._finished_text(label, status, error, took, log, attempt)
            if text is not None:
                self._line(text)
        self.tick()

    def _done_text(self, finished: int, label: str, took: float | None, attempt: int) -> str:
        head = self._head_format.format(finished)
        if attempt == 1 and took is not None:  # most jobs
            return f"{head} done     {label} ({seconds(took)})"
        notes = ([seconds(took)] if took is not None else []) + ([f"attempt {attempt}"] if attempt > 1 else [])
        return f"{head} done     {label}" + (f" ({', '.join(notes)})" if notes else "")

    def _finished_text(self, label: str, status: str, error: str | None, took: float | None, log: str | None,
                       attempt: int) -> str | None:
        if status in (FAILED, INTERRUPTED):
            notes = ([seconds(took)] if took is not None else []) + ([f"attempt {attempt}"] if attempt > 1 else [])
            note = f" ({', '.join(notes)})" if notes else ""
            word = "FAILED  " if status == FAILED else "stopped "
            return f"{self._head()} {word} {label}{note}: {error}" + (
                f"\n    log: {display_path(log)}" if log else "")
        if self.quiet:
            return None
        if status == DONE:
            return self._done_text(self.finished, label, took, attempt)
        if status == FRESH:
            # Decided when its inputs were ready: they came out unchanged.
            return f"{self._head()} fresh    {label}: inputs unchanged"
        return f"{self._head()} not run  {label}: {error}"

    def tick(self) -> None:
        if self.verbose:
            for label in list(self._running):
                self._drain(label, final=False)
        if self.live:
            self._draw()
        elif self._lines and time.monotonic() - self._last_draw >= self.LIVE_INTERVAL:
            self._flush()

    def close(self) -> None:
        if self.live:
            self._draw(force=True, final=True)
        elif self._lines:
            self._flush()

    def write(self, text: str) -> None:
        """Print text after the progress output (the summary)."""
        if self._lines:
            self._flush()
        self._emit(text + "\n")

    # -- drawing -----------------------------------------------------------

    def _head(self) -> str:
        return self._head_format.format(self.finished)

    def _drain(self, label: str, final: bool = True) -> None:
        tail = self._running.get(label)
        if tail is not None:
            for line in tail.read(final):
                self._line(f"{label} | {line}")

    def _line(self, text: str) -> None:
        """A line to print; it goes out at the caller's next `tick`."""
        if self.live:
            self._pending.append(text)
        else:
            self._lines.append(text)

    def status_line(self) -> str:
        elapsed = time.monotonic() - self.t0
        left = self.total - self.finished
        parts = [f"{self._head()} {len(self._running)} running, {self.failed} failed, {left} left",
                 seconds(elapsed)]
        if self.ran and left:
            parts.append("ETA ~" + seconds(elapsed / self.ran * left))
        text = ", ".join(parts)
        if self._running:
            text += ": " + ", ".join(itertools.islice(self._running, 20))
        return text if len(text) < self.width else text[: max(0, self.width - 4)] + "..."

    def _draw(self, force: bool = False, final: bool = False) -> None:
        now = time.monotonic()
        if not force and now - self._last_draw < self.interval:
            return
        self._last_draw = now
        self._emit("\r\x1b[K" + self._above() + ("" if final else self.status_line()))

    def _above(self) -> str:
        lines: list[str] = []
        done = 0
        for item in self._pending:
            if isinstance(item, str):
                lines.append(item)
            else:
                done += 1
                if done <= self.LINES_PER_DRAW:
                    lines.append(self._done_text(*item))
        if done > self.LINES_PER_DRAW:
            lines.append(f"... and {done - self.LINES_PER_DRAW} more jobs done")
        self._pending.clear()
        return "".join(line + "\n" for line in lines)

    def _flush(self) -> None:
        self._last_draw = time.monotonic()
        text = "".join(line + "\n" for line in self._lines)
        self._lines.clear()
        self._emit(text)

    def _emit(self, text: str, flush: bool = True) -> None:
        if self._broken:
            return
        try:
            if text:
                self.stream.write(text)
            if flush:
                self.stream.flush()
        except (OSError, ValueError):
            # A closed pipe or terminal: the run goes on without its output.
            self._broken = True


# (asset key, job label, status, error, log path, attempts) of one job.
ResultLine = tuple[str, str, str, "str | None", "str | None", int]


def _listed(title: str, lines: list[str]) -> list[str]:
    if not lines:
        return []
    more = [f"  ... and {len(lines) - LIST_LIMIT} more"] if len(lines) > LIST_LIMIT else []
    return [title] + lines[:LIST_LIMIT] + more


def summary(assets: list[str], results: list[ResultLine], elapsed: float, run_id: int) -> str:
    per_asset: dict[str, Counter[str]] = {key: Counter() for key in assets}
    for r in results:
        per_asset[r[0]][r[2]] += 1
    total = Counter(r[2] for r in results)
    # Interrupted jobs did not fail: they get their own count, when there are any.
    columns = [DONE, FRESH, FAILED] + ([INTERRUPTED] if total[INTERRUPTED] else []) + [NOT_RUN]
    rows = [[key, sum(c.values())] + [c[s] for s in columns] for key, c in per_asset.items() if sum(c.values())]
    headers = ["asset", "jobs"] + [str(s).replace("_", " ") for s in columns]
    out = [format_table(headers, rows, numeric=set(range(1, len(headers))))]
    counts = ", ".join(f"{total[s]} {str(s).replace('_', ' ')}" for s in columns)
    out.append(f"run {run_id}: {len(results)} jobs: {counts}, in {seconds(elapsed)}")
    out += _listed("succeeded on a retry:", [
        f"  {label} (attempt {attempt})" for _, label, status, _, _, attempt in results
        if status == DONE and attempt > 1
    ])
    out += _listed("failed:", [
        f"  {label}: {error}" + (f" (after {attempt} attempts)" if attempt > 1 else "")
        + (f"\n    log: {display_path(log)}" if log else "")
        for _, label, status, error, log, attempt in results if status == FAILED
    ])
    out += _listed("interrupted:", [
        f"  {label}: {error}" + (f"\n    log: {display_path(log)}" if log else "")
        for _, label, status, error, log, _ in results if status == INTERRUPTED
    ])
    out += _listed("not run:", [f"  {r[1]}: {r[3]}" for r in results if r[2] == NOT_RUN])
    return "\n".join(out)
