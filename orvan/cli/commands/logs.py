"""`orvan logs`: print a job's log, or follow it while the job runs."""

from __future__ import annotations

import difflib
import os
import sys
import time
from argparse import Namespace
from typing import BinaryIO

from .. import naming
from ..catalog import CATALOG_FILE, PENDING, RUNNING, Catalog, RunLock
from ..config import project_directory, resolve_out
from ..freshness import recorded
from ..pipeline import OK, CommandError
from ..plan import job_label, partition_token
from ..report import display_path
from ..states import ATTEMPTS, State
from .show import add_pair, last_attempt

# How often --follow looks for new output.
POLL_SECONDS = 0.1


def parse_partition(items: list[str]) -> dict[str, str]:
    """`DIM=VALUE` once per dimension, or several joined as `a=1,b=2`."""
    partition: dict[str, str] = {}
    for item in items:
        pieces = item.split(",")
        # A value may itself hold commas; split only when every piece names a dimension.
        for piece in pieces if all("=" in p for p in pieces) else [item]:
            add_pair(partition, item, piece)
    return dict(sorted(partition.items()))


def resolve_key(out_dir: str, key: str) -> str:
    """The stored asset `key` names: itself, or the one stored key ending in `.key`."""
    if os.path.isdir(os.path.join(out_dir, naming.escape(key))):
        return key
    stored = sorted(naming.unescape(n) for n in os.listdir(out_dir)
                    if os.path.isdir(os.path.join(out_dir, n))) if os.path.isdir(out_dir) else []
    by_suffix = [k for k in stored if k.endswith("." + key)]
    if len(by_suffix) == 1:
        return by_suffix[0]
    short = {k.rsplit(".", 1)[-1]: k for k in stored}
    hint = (difflib.get_close_matches(key, stored, n=1) or by_suffix
            or [short[s] for s in difflib.get_close_matches(key, list(short), n=1)])
    raise CommandError(f"nothing stored for asset {key!r} in {display_path(out_dir)}"
                       + (f" (did you mean {hint[0]!r}?)" if hint else ""))


def _history(out_dir: str, key: str, token: str) -> list[tuple[int, str]]:
    if not os.path.exists(os.path.join(out_dir, CATALOG_FILE)):
        return []
    catalog = Catalog.in_dir(out_dir, create=False)
    try:
        return catalog.job_history(key, token)
    finally:
        catalog.close()


def _check_run(history: list[tuple[int, str]], run: int, label: str) -> None:
    attempts = [r for r, status in history if status in ATTEMPTS]
    if run not in attempts:
        raise CommandError(f"run {run} did not run {label}")
    if attempts[-1] != run:
        raise CommandError(f"the log of {label} from run {run} was replaced by run {attempts[-1]}'s")


def _active(out_dir: str, key: str, token: str) -> bool:
    history = _history(out_dir, key, token)
    return bool(history) and history[-1][1] in (PENDING, RUNNING) and RunLock.active(out_dir)


class _Reader:
    """New bytes of a file that may be replaced (a job's retry starts a new log)."""

    def __init__(self, path: str):
        self.path = path
        self.offset = 0
        self.inode: int | None = None

    def read(self) -> bytes:
        try:
            with open(self.path, "rb") as f:
                st = os.fstat(f.fileno())
                if st.st_ino != self.inode or st.st_size < self.offset:
                    self.inode, self.offset = st.st_ino, 0
                f.seek(self.offset)
                data = f.read()
        except FileNotFoundError:
            return b""
        self.offset += len(data)
        return data


def follow(out_dir: str, key: str, token: str, path: str, out: BinaryIO) -> None:
    reader = _Reader(path)
    while True:
        # Look at the job first: output written before it ended is then read below.
        active = _active(out_dir, key, token)
        data = reader.read()
        if data:
            out.write(data)
            out.flush()
        if not active:
            return
        time.sleep(POLL_SECONDS)


def cmd_logs(args: Namespace) -> int:
    out_dir = resolve_out(args.out, project_directory())
    key = resolve_key(out_dir, args.key)
    partition = parse_partition(args.partition or [])
    token, label = partition_token(partition), job_label(key, partition)
    path = os.path.join(out_dir, naming.job_relpath(key, partition), naming.LOG_FILE)
    if args.run is not None:
        _check_run(_history(out_dir, key, token), args.run, label)
    if not os.path.isfile(path) and not (args.follow and _active(out_dir, key, token)):
        verdict = recorded(last_attempt(out_dir, key, token), RunLock.active(out_dir))
        # Said only when its last attempt explains it: a success keeps its log.
        why = f" ({verdict.state}: {verdict.reasons[0].text})" if verdict.state != State.FRESH else ""
        raise CommandError(f"no log for {label} in {display_path(out_dir)}{why}")
    try:
        if args.follow:
            follow(out_dir, key, token, path, sys.stdout.buffer)
        else:
            with open(path, "rb") as f:
                sys.stdout.buffer.write(f.read())
            sys.stdout.buffer.flush()
    except BrokenPipeError:
        pass  # `orvan logs KEY | head` is a normal thing to do
    return OK
