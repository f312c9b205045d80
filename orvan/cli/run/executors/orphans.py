"""Job processes left running by a runner that was itself killed.

A job's process is known by its pid together with its start time (field 22
of /proc/PID/stat, in clock ticks since boot): a pid alone may have been
handed to an unrelated process since, and a path on a command line can be
spelt many ways. Both are recorded in the catalog when the job starts.
"""

from __future__ import annotations

import os
import signal
import time


def process_start(pid: int) -> str | None:
    """The start time of process `pid`, or None if there is no such process
    (or no /proc to ask)."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            # The command name may hold spaces and parentheses: split after the last ")".
            fields = f.read().rsplit(b")", 1)[1].split()
    except (OSError, IndexError):
        return None
    # fields[0] is field 3 (state), so field 22 is fields[19].
    return fields[19].decode("ascii") if len(fields) > 19 else None


def stop_processes(processes: list[tuple[int, str]], wait: float = 5.0) -> int:
    """SIGKILL each (pid, start time) that is still that same process, with
    its process group, and the leftover members of a group whose leader is
    gone. Returns how many groups or processes were signalled."""
    signalled = []
    for pid, started in processes:
        now = process_start(pid)
        if now is not None and now != started:
            continue  # the pid belongs to someone else now
        if _kill(pid, leader_gone=now is None):
            signalled.append(pid)
    deadline = time.monotonic() + wait
    while any(_alive(pid) for pid in signalled) and time.monotonic() < deadline:
        time.sleep(0.02)
    return len(signalled)


def _kill(pid: int, *, leader_gone: bool) -> bool:
    try:
        # Linux hands out no pid still in use as a process group id, so a
        # group numbered `pid` without its leader is what the job left.
        if leader_gone or os.getpgid(pid) == pid:
            os.killpg(pid, signal.SIGKILL)
        else:
            os.kill(pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        return False
    return True


def _alive(pid: int) -> bool:
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            # A zombie is dead; it only waits for its new parent to reap it.
            return f.read().rsplit(b")", 1)[1].split()[0] != b"Z"
    except (OSError, IndexError):
        return False
