"""What the user sees: tables, the progress display, the end-of-run summary."""

from __future__ import annotations

import os
import time
from collections import Counter
from collections.abc import Collection, Sequence
from typing import TextIO

from .catalog import DONE, FAILED, FRESH, INTERRUPTED, NOT_RUN

# How many failed or not-run jobs the summary names before abbreviating.
LIST_LIMIT = 20


def format_table(headers: list[str], rows: Sequence[Sequence[object]], numeric: Collection[int] = ()) -> str:
    cells = [[str(c) for c in row] for row in rows]
    widths = [max([len(h)] + [len(r[i]) for r in cells]) for i, h in enumerate(headers)]

    def line(values: list[str]) -> str:
        out = [v.rjust(widths[i]) if i in numeric else v.ljust(widths[i]) for i, v in enumerate(values)]
        return "  ".join(out).rstrip()

    return "\n".join([line(headers)] + [line(r) for r in cells])


def seconds(s: float) -> str:
    if s < 10:
        return f"{s:.2f}s"
    if s < 60:
        return f"{s:.1f}s"
    m, s = divmod(int(s), 60)
    return f"{m}m{s:02d}s" if m < 60 else f"{m // 60}h{m % 60:02d}m"


def when(t: float) -> str:
    """A wall-clock time as the tables show it."""
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(t))


def display_path(path: str) -> str:
    rel = os.path.relpath(path)
    return rel if not rel.startswith("..") else path


class Progress:
    """A live line on a terminal; one plain line per finished job otherwise."""

    def __init__(self, total: int, fresh: int, stream: TextIO, live: bool):
        self.total = total
        self.finished = fresh
        self.running = 0
        self.failed = 0
        self.stream = stream
        self.live = live
        self.t0 = time.monotonic()
        self._last_draw = 0.0
        self._width = len(str(total))
        if fresh:
            self._print(f"{fresh} of {total} jobs fresh, skipped")

    def _print(self, text: str) -> None:
        if self.live:
            self.stream.write("\r\x1b[K")
        self.stream.write(text + "\n")
        if self.live:
            self._draw(force=True)
        self.stream.flush()

    def _draw(self, force: bool = False) -> None:
        now = time.monotonic()
        if not force and now - self._last_draw < 0.1:
            return
        self._last_draw = now
        self.stream.write(
            f"\r\x1b[K[{self.finished:>{self._width}}/{self.total}] running {self.running}, "
            f"failed {self.failed}, elapsed {seconds(now - self.t0)}"
        )
        self.stream.flush()

    def tick(self) -> None:
        if self.live:
            self._draw()

    def started(self, label: str) -> None:
        self.running += 1
        self.tick()

    def finished_job(self, label: str, status: str, error: str | None, took: float | None, log: str | None) -> None:
        if status in (DONE, FAILED, INTERRUPTED):
            self.running -= 1
        self.finished += 1
        if status in (FAILED, INTERRUPTED):
            self.failed += 1
        head = f"[{self.finished:>{self._width}}/{self.total}]"
        took_text = f" ({seconds(took)})" if took is not None else ""
        if status == DONE:
            if not self.live:
                self._print(f"{head} done     {label}{took_text}")
            else:
                self.tick()
        elif status == FRESH:
            # Decided when its inputs were ready: they came out unchanged.
            if not self.live:
                self._print(f"{head} fresh    {label}: inputs unchanged")
            else:
                self.tick()
        elif status == NOT_RUN:
            if not self.live:
                self._print(f"{head} not run  {label}: {error}")
            else:
                self.tick()
        else:
            word = "FAILED  " if status == FAILED else "stopped "
            self._print(f"{head} {word} {label}{took_text}: {error}" + (f"\n    log: {display_path(log)}" if log else ""))

    def close(self) -> None:
        if self.live:
            self.stream.write("\r\x1b[K")
            self.stream.flush()


def summary(
    assets: list[str], results: list[tuple[str, str, str, str | None, str | None]], elapsed: float, run_id: int
) -> str:
    """`results` lists (asset key, job label, status, error, log path) per job."""
    per_asset: dict[str, Counter[str]] = {key: Counter() for key in assets}
    for key, _, status, _, _ in results:
        per_asset[key][status] += 1
    rows = []
    for key, c in per_asset.items():
        if sum(c.values()):
            rows.append([key, sum(c.values()), c[DONE], c[FRESH], c[FAILED] + c[INTERRUPTED], c[NOT_RUN]])
    total = Counter(status for _, _, status, _, _ in results)
    out = [format_table(["asset", "jobs", "done", "fresh", "failed", "not run"], rows, numeric={1, 2, 3, 4, 5})]
    out.append(
        f"run {run_id}: {len(results)} jobs: {total[DONE]} done, {total[FRESH]} fresh, "
        f"{total[FAILED] + total[INTERRUPTED]} failed, {total[NOT_RUN]} not run, in {seconds(elapsed)}"
    )
    failed = [r for r in results if r[2] in (FAILED, INTERRUPTED)]
    if failed:
        out.append("failed:")
        for _, label, status, error, log in failed[:LIST_LIMIT]:
            out.append(f"  {label}: {error}" + (f"\n    log: {display_path(log)}" if log else ""))
        if len(failed) > LIST_LIMIT:
            out.append(f"  ... and {len(failed) - LIST_LIMIT} more")
    not_run = [r for r in results if r[2] == NOT_RUN]
    if not_run:
        out.append("not run:")
        for _, label, _, error, _ in not_run[:LIST_LIMIT]:
            out.append(f"  {label}: {error}")
        if len(not_run) > LIST_LIMIT:
            out.append(f"  ... and {len(not_run) - LIST_LIMIT} more")
    return "\n".join(out)
