"""How orvan's processes start, guard themselves and end: the one place for it.

Every process the command starts (a spawned worker, the fork server and the
jobs it forks, the inspection, a cluster task's worker) leads a process group
of its own, which `signal_group` ends with whatever the process left in it,
and stops itself when the process that started it is gone (`stop_with_parent`).
A forked child is set up by `become_child` to look like a new interpreter,
and a process that ends without tearing the interpreter down ends by
`fast_exit`, which still does what that teardown does that anyone can see.

Kept to `os`, `signal` and `sys` at import: every job imports it.
"""

from __future__ import annotations

import os
import signal
import sys

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Callable, NoReturn

# Set by the runner to its own pid for the processes it spawns: one whose
# runner is gone must not go on writing into a directory the next run redoes.
PARENT_ENV = "ORVAN_RUNNER_PID"
PR_SET_PDEATHSIG = 1

_prctl: Callable[..., int] | None = None
_prctl_looked_up = False


def find_prctl() -> Callable[..., int] | None:
    """The C library's prctl, looked up once per process: a fork server does
    it before forking, so that its children only make the call."""
    global _prctl, _prctl_looked_up
    if not _prctl_looked_up:
        _prctl_looked_up = True
        if sys.platform.startswith("linux"):
            try:
                import ctypes

                _prctl = ctypes.CDLL(None, use_errno=True).prctl
            except (OSError, AttributeError):
                _prctl = None
    return _prctl


def stop_with_parent(pid: int) -> None:
    """Kill this process as soon as its parent, `pid`, is gone; at once if it
    already is. Call it first thing in any process started for the command.

    On Linux the kernel delivers SIGKILL when the *thread* that started this
    process exits, so the parent must start processes from a thread that
    lives as long as it does. Elsewhere a watchdog thread polls the parent.
    Checking the parent after arming closes the race with a parent that died
    between starting this process and this call."""
    prctl = find_prctl()
    if prctl is None or prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0) != 0:
        watch_parent(pid)
    if os.getppid() != pid:
        os.kill(os.getpid(), signal.SIGKILL)


def watch_parent(pid: int, interval: float = 0.2) -> None:
    """End this process, and its group if it leads one, once `pid` is no
    longer its parent: a daemon thread polls. For where the death signal is
    missing or cannot be trusted (a process started from a pool thread that
    may end before the parent does)."""
    import threading
    import time

    def watch() -> None:
        while os.getppid() == pid:
            time.sleep(interval)
        me = os.getpid()
        if os.getpgid(0) == me:
            os.killpg(me, signal.SIGKILL)
        os.kill(me, signal.SIGKILL)

    threading.Thread(target=watch, daemon=True, name="orvan-parent-watch").start()


def guard_from_env() -> None:
    """`stop_with_parent` when the runner said who it is; run by hand, a
    process has no such guard."""
    text = os.environ.pop(PARENT_ENV, "")
    if text.isdigit():
        stop_with_parent(int(text))


def guarded_env(env: dict[str, str]) -> dict[str, str]:
    """`env` for a process this one spawns, telling it to stop with this one."""
    return dict(env, **{PARENT_ENV: str(os.getpid())})


def signal_group(pid: int, sig: int) -> None:
    """Signal the process group `pid` leads, if it is still there."""
    try:
        os.killpg(pid, sig)
    except (ProcessLookupError, PermissionError):
        pass


def become_child(stdin: int, stdout: int, stderr: int) -> None:
    """In a forked child: take `stdin`, `stdout` and `stderr` as the
    standard streams, close every other descriptor of the parent's, drop the
    parent's signal handlers and exit handlers, and forget what the parent
    knew of the directories on the import path."""
    import atexit

    signal.set_wakeup_fd(-1)
    signal.signal(signal.SIGCHLD, signal.SIG_DFL)
    signal.signal(signal.SIGINT, signal.default_int_handler)
    for target, fd in enumerate((stdin, stdout, stderr)):
        if fd != target:
            os.dup2(fd, target)
    os.closerange(3, os.sysconf("SC_OPEN_MAX"))
    atexit._clear()
    invalidate_path_caches()


def invalidate_path_caches() -> None:
    """For a forked child: files may have appeared since its parent listed
    the directories on the import path. (Not importlib.invalidate_caches():
    it imports importlib.metadata, which costs more than a whole job.)"""
    for finder in list(sys.path_importer_cache.values()):
        if finder is not None and hasattr(finder, "invalidate_caches"):
            finder.invalidate_caches()


def finish(status: int) -> int:
    """What the interpreter's shutdown does that anyone can see: wait for
    the non-daemon threads, run the exit handlers, flush the standard
    streams (exit status 120 if that fails, as the interpreter's)."""
    import atexit

    threading = sys.modules.get("threading")
    try:
        if threading is not None:
            threading._shutdown()
        atexit._run_exitfuncs()
    except BaseException:
        pass
    for stream in (sys.stdout, sys.stderr):
        try:
            if stream is not None:
                stream.flush()
        except (OSError, ValueError):
            status = status or 120
    return status


def fast_exit(status: int) -> NoReturn:
    """End the process as `sys.exit(status)` from the main thread would,
    less tearing the interpreter down object by object."""
    try:
        status = finish(status)
    finally:
        os._exit(status)
