"""The fork server: ``python -m orvan._forkserver``, started afresh by each run.

It imports what materialising a job needs (the extension and the standard
library modules it uses) once, and nothing of the user's; then it forks one
child per job. The child sets itself up as a spawned ``python -m orvan.worker``
would be (own session, log file as stdout and stderr, /dev/null as stdin, the
same ``sys.path`` and ``sys.argv``) and runs the worker stub's ``main``, so
both ways of running a job write the same files and exit the same way. The
user's modules are imported in the child, fresh for every job.

Requests arrive on standard input, one JSON object a line:

    {"op": "run", "id": N, "argv": [MODULE, FUNCTION, DIR, ...], "log": PATH}
    {"op": "signal", "id": N, "sig": SIGNUM}      signal the job's process group

and replies go to standard output, one JSON object a line:

    {"id": N, "pid": PID}                         the job's process exists
    {"id": N, "exit": STATUS}                     it ended (negative: the signal)

End of input means the runner is gone or done: every job still running is
killed with its process group, and the server exits. The server holds no
threads, so forking is safe, and it writes to neither pipe from a child.
"""

from __future__ import annotations

import json
import os
import select
import signal
import sys

# Not `from typing import ...`: the server would carry typing into every job.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Callable

# What materialise_asset imports on its first call, loaded here once so
# that no job pays for it.
PRELOAD = ("orvan._orvan", "orvan.worker", "json", "inspect", "pathlib", "importlib", "importlib.machinery",
           "ast", "dis", "tokenize", "traceback", "atexit", "threading")

PR_SET_PDEATHSIG = 1


def preload() -> None:
    import gc
    import importlib

    for name in PRELOAD:
        importlib.import_module(name)
    warm_up()
    # Objects that exist now are never collected in a child: keep the
    # collector from touching (and so copying) their pages after each fork.
    gc.collect()
    gc.freeze()


def warm_up() -> None:
    """Materialise a job of our own, once: what the first job of a process
    sets up (lookups, caches, code paths the loader touches) is then in place
    for every child, rather than redone in each."""
    import shutil
    import tempfile

    import orvan.worker

    scratch = tempfile.mkdtemp(prefix="orvan-forkserver-")
    try:
        orvan.worker.run_job("orvan._warmup", "warm", scratch, '{"key":"k","n":1}')
    finally:
        sys.modules.pop("orvan._warmup", None)
        shutil.rmtree(scratch, ignore_errors=True)


def die_with_parent() -> None:
    """Linux: have the kernel kill this process when its parent (the server)
    dies, so that a job never outlives a server that can no longer report it."""
    if _prctl is not None:
        _prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


def _find_prctl() -> Callable[..., int] | None:
    # Looked up once, in the server: each child then only makes the call.
    try:
        import ctypes

        prctl: Callable[..., int] = ctypes.CDLL(None, use_errno=True).prctl
        return prctl
    except (OSError, AttributeError):
        return None


_prctl = _find_prctl() if sys.platform.startswith("linux") else None


class Server:
    def __init__(self, requests: int, replies: int):
        self.requests = requests
        self.replies = replies
        self.pid = os.getpid()
        self.path = list(sys.path)
        self.live: dict[int, int] = {}  # pid -> request id
        self.pids: dict[int, int] = {}  # request id -> pid
        self.wake_r, self.wake_w = os.pipe()
        os.set_blocking(self.wake_w, False)
        os.set_blocking(self.wake_r, False)
        signal.set_wakeup_fd(self.wake_w)
        # A handler (not SIG_IGN, which would let the kernel reap children
        # before their status is read) so that SIGCHLD wakes select().
        signal.signal(signal.SIGCHLD, lambda signum, frame: None)
        # The runner ends the server by closing its input, never by a signal.
        signal.signal(signal.SIGINT, signal.SIG_IGN)

    def reply(self, message: dict[str, int]) -> None:
        data = (json.dumps(message) + "\n").encode()
        while data:
            data = data[os.write(self.replies, data):]

    def serve(self) -> None:
        pending = b""
        while True:
            ready, _, _ = select.select([self.requests, self.wake_r], [], [])
            if self.wake_r in ready:
                self.drain_wakeups()
                self.reap()
            if self.requests in ready:
                chunk = os.read(self.requests, 65536)
                if not chunk:
                    self.stop_all()
                    return
                pending += chunk
                *lines, pending = pending.split(b"\n")
                for line in lines:
                    if line.strip():
                        self.handle(json.loads(line))

    def drain_wakeups(self) -> None:
        try:
            while os.read(self.wake_r, 4096):
                pass
        except BlockingIOError:
            pass

    def handle(self, request: dict[str, object]) -> None:
        job_id = int(str(request["id"]))
        if request["op"] == "run":
            argv = [str(a) for a in request["argv"]]  # type: ignore[attr-defined]
            pid = os.fork()
            if pid == 0:
                self.child(argv, str(request["log"]))
            self.live[pid] = job_id
            self.pids[job_id] = pid
            self.reply({"id": job_id, "pid": pid})
        elif request["op"] == "signal":
            if job_id in self.pids:
                signal_group(self.pids[job_id], int(str(request["sig"])))

    def reap(self) -> None:
        while self.live:
            try:
                pid, status = os.waitpid(-1, os.WNOHANG)
            except ChildProcessError:
                return
            if pid == 0:
                return
            if pid not in self.live:
                continue
            job_id = self.live.pop(pid)
            del self.pids[job_id]
            # Whatever the job started in its group and left running ends
            # with it; the group id stays reserved while any member lives.
            signal_group(pid, signal.SIGKILL)
            self.reply({"id": job_id, "exit": os.waitstatus_to_exitcode(status)})

    def stop_all(self) -> None:
        for pid in list(self.live):
            signal_group(pid, signal.SIGKILL)
        for pid in list(self.live):
            try:
                os.waitpid(pid, 0)
            except ChildProcessError:
                pass

    def child(self, argv: list[str], log_path: str) -> None:
        """In the forked child: become the worker, run the job, exit. Never returns."""
        status = 1
        try:
            self.become_worker(log_path)
            import orvan.worker

            sys.argv = [orvan.worker.__file__ or "orvan.worker", *argv]
            status = orvan.worker.main(argv)
        except SystemExit as exc:
            status = exc.code if isinstance(exc.code, int) else 1
        except BaseException as exc:  # as an uncaught exception would end the worker
            status = uncaught(exc)
        finally:
            os._exit(finish(status))

    def become_worker(self, log_path: str) -> None:
        os.setsid()
        die_with_parent()
        if os.getppid() != self.pid:
            os._exit(1)  # the server died before the guard was set
        signal.set_wakeup_fd(-1)
        signal.signal(signal.SIGCHLD, signal.SIG_DFL)
        signal.signal(signal.SIGINT, signal.default_int_handler)
        log = os.open(log_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666)
        null = os.open(os.devnull, os.O_RDONLY)
        os.dup2(null, 0)
        os.dup2(log, 1)
        os.dup2(log, 2)
        # Neither the server's pipes nor anything else it holds.
        os.closerange(3, os.sysconf("SC_OPEN_MAX"))
        sys.path[:] = self.path
        import atexit

        invalidate_path_caches()
        atexit._clear()


def invalidate_path_caches() -> None:
    """For a forked child: files may have appeared since its parent listed
    the directories on the import path. (Not importlib.invalidate_caches():
    it imports importlib.metadata, which costs more than a whole job.)"""
    for finder in list(sys.path_importer_cache.values()):
        if finder is not None and hasattr(finder, "invalidate_caches"):
            finder.invalidate_caches()


def uncaught(exc: BaseException) -> int:
    import traceback

    if isinstance(exc, KeyboardInterrupt):
        finish(0)
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGINT)
    traceback.print_exception(exc)
    return 1


def finish(status: int) -> int:
    """What interpreter shutdown does for a spawned worker: wait for its
    non-daemon threads, run its atexit functions, flush its output."""
    import atexit
    import threading

    try:
        shutdown = getattr(threading, "_shutdown", None)
        if shutdown is not None:
            shutdown()
        atexit._run_exitfuncs()
    except BaseException:
        pass
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (OSError, ValueError, AttributeError):
            status = status or 120  # as the interpreter does when flushing fails
    return status


def signal_group(pid: int, sig: int) -> None:
    try:
        os.killpg(pid, sig)
    except (ProcessLookupError, PermissionError):
        pass


def main() -> None:
    preload()
    # The pipes move off 0 and 1: a child's standard streams are its own, and
    # a stray print in the server goes to the runner's standard error.
    requests, replies = os.dup(0), os.dup(1)
    null = os.open(os.devnull, os.O_RDONLY)
    os.dup2(null, 0)
    os.close(null)
    os.dup2(2, 1)
    Server(requests, replies).serve()


if __name__ == "__main__":
    main()
