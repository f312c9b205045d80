"""`orvan logs`: print a job's log, or follow it while the job runs."""

from __future__ import annotations

import os
import sys
import time
from argparse import Namespace
from typing import BinaryIO

from ...store import naming
from ...catalog import PENDING, RUNNING, catalog_of
from ..config import project_directory, resolve_out
from ..plan.pipeline import OK, CommandError
from ..plan.jobs import job_label
from ...states import ATTEMPTS
from .show import add_pair, locate, no_value

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


def _history(out_dir: str, key: str, token: str) -> list[tuple[int, str]]:
    catalog = catalog_of(out_dir).open_existing()
    if catalog is None:
        return []
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


def _state(out_dir: str, key: str, token: str) -> str | None:
    """PENDING or RUNNING while a run is yet to end the job; else None."""
    history = _history(out_dir, key, token)
    if history and history[-1][1] in (PENDING, RUNNING) and catalog_of(out_dir).active():
        return history[-1][1]
    return None


def _active(out_dir: str, key: str, token: str) -> bool:
    return _state(out_dir, key, token) is not None


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


def follow(out_dir: str, key: str, token: str, path: str, out: BinaryIO, label: str) -> None:
    reader = _Reader(path)
    waiting = False
    while True:
        # Look at the job first: output written before it ended is then read below.
        state = _state(out_dir, key, token)
        if state == PENDING:
            # The log there is the last attempt's, until the job starts and clears it.
            if not waiting:
                print(f"orvan logs: {label} waits to start; its new log follows", file=sys.stderr, flush=True)
                waiting = True
            time.sleep(POLL_SECONDS)
            continue
        data = reader.read()
        if data:
            out.write(data)
            out.flush()
        if state is None:
            return
        time.sleep(POLL_SECONDS)


def cmd_logs(args: Namespace) -> int:
    out_dir = resolve_out(args.out, project_directory())
    from .stored import read_log, remote_store

    store = remote_store(args, out_dir)
    if store is not None and not args.follow:
        # A finished attempt's log is in the store; a running one's is
        # followed where its job writes it (this host, for local executors).
        partition = parse_partition(args.partition or [])
        if args.run is not None:
            _check_run(_history(out_dir, args.key, naming.partition_token(partition)), args.run,
                       job_label(args.key, partition))
        _write_out(read_log(store, out_dir, args.key, partition))
        return OK
    key, known = locate(out_dir, args.key)
    partition = parse_partition(args.partition or [])
    token, label = naming.partition_token(partition), job_label(key, partition)
    directory = naming.job_dir(out_dir, key, partition)
    path = os.path.join(directory, naming.LOG_FILE)
    if args.run is not None:
        _check_run(_history(out_dir, key, token), args.run, label)
    if not os.path.isfile(path) and not (args.follow and _active(out_dir, key, token)):
        raise no_value(out_dir, key, partition, known, os.path.join(out_dir, naming.escape(key)), directory,
                       what="log")
    try:
        if args.follow:
            follow(out_dir, key, token, path, sys.stdout.buffer, label)
        else:
            with open(path, "rb") as f:
                _write_out(f.read())
    except BrokenPipeError:
        pass  # `orvan logs KEY | head` is a normal thing to do
    return OK


def _write_out(data: bytes) -> None:
    try:
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
    except BrokenPipeError:
        pass
