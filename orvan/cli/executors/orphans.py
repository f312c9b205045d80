"""Workers left running by a runner that was itself killed."""

from __future__ import annotations

import os
import signal
import time


def stop_orphans(job_dirs: set[str], wait: float = 5.0) -> int:
    """Kill workers left running by a runner that was itself killed, found by
    the job directory on their command line, before those jobs are redone.
    Linux only (it reads /proc); elsewhere such workers are left to finish,
    and the redone job's files are cleared after they are gone or not at all.
    Returns how many were found."""
    if not job_dirs or not os.path.isdir("/proc"):
        return 0
    found = []
    for entry in os.scandir("/proc"):
        if not entry.name.isdigit():
            continue
        try:
            with open(os.path.join(entry.path, "cmdline"), "rb") as f:
                argv = f.read().decode("utf-8", "surrogateescape").split("\0")
        except OSError:
            continue
        if "orvan.worker" in argv and any(arg in job_dirs for arg in argv):
            found.append(int(entry.name))
    for pid in found:
        try:
            # Workers lead their own process group; take their children too.
            os.killpg(pid, signal.SIGKILL) if os.getpgid(pid) == pid else os.kill(pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
    deadline = time.monotonic() + wait
    while any(_alive(pid) for pid in found) and time.monotonic() < deadline:
        time.sleep(0.02)
    return len(found)


def _alive(pid: int) -> bool:
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            # A zombie is dead; it only waits for its new parent to reap it.
            return f.read().rsplit(b")", 1)[1].split()[0] != b"Z"
    except (OSError, IndexError):
        return False
