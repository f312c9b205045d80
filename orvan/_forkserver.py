"""The fork server: ``python -m orvan._forkserver``, started afresh by each run.

It imports what materialising a job needs (the extension and the standard
library modules it uses) once and, when the runner asks, the run's modules
(orvan/_warm.py); then it forks one child per job. The child sets itself up
as a spawned ``python -m orvan.worker`` would be (own session, log file as
stdout and stderr, /dev/null as stdin, the same ``sys.path`` and
``sys.argv``) and runs the worker stub's ``main``, so both ways of running a
job write the same files and exit the same way.

Requests arrive on standard input, one JSON object a line:

    {"op": "run", "id": N, "argv": [MODULE, FUNCTION, DIR, ...], "log": PATH}
    {"op": "signal", "id": N, "sig": SIGNUM}      signal the job's process group
    {"op": "warm", "modules": [MODULE, ...], "sources": {MODULE: {PATH: SHA256}}}
                                                  import them here (see orvan/_warm.py)

and replies go to standard output, one JSON object a line:

    {"id": N, "pid": PID}                         the job's process exists
    {"id": N, "exit": STATUS}                     it ended (negative: the signal)
    {"warmed": {MODULE: WHY}}                     imported; what could not be shared

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

from orvan import _warm, process
from orvan.process import signal_group

# What materialise_asset imports on its first call, loaded here once so
# that no job pays for it.
PRELOAD = ("orvan._orvan", "orvan.worker", "json", "inspect", "pathlib", "importlib", "importlib.machinery",
           "ast", "dis", "tokenize", "traceback", "atexit", "threading")


def preload() -> None:
    import gc
    import importlib

    for name in PRELOAD:
        importlib.import_module(name)
    process.find_prctl()
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


class Server:
    def __init__(self, requests: int, replies: int):
        self.requests = requests
        self.replies = replies
        self.pid = os.getpid()
        self.path = list(sys.path)
        self.warm = _warm.Warm()
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

    def reply(self, message: dict[str, object]) -> None:
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
        if request["op"] == "warm":
            self.warm.set_sources(request["sources"])  # type: ignore[arg-type]
            unsafe = self.warm.import_all([str(m) for m in request["modules"]])  # type: ignore[attr-defined]
            self.reply({"warmed": unsafe})
            return
        job_id = int(str(request["id"]))
        if request["op"] == "run":
            argv = [str(a) for a in request["argv"]]  # type: ignore[attr-defined]
            warm, expected = self.warm.check(argv[0])
            pid = os.fork()
            if pid == 0:
                self.child(argv, str(request["log"]), warm and not request.get("cold"), expected)
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

    def child(self, argv: list[str], log_path: str, warm: bool, expected: dict[str, str]) -> None:
        """In the forked child: become the worker, run the job, exit. Never returns."""
        status = 1
        try:
            self.become_worker(log_path)
            _warm.in_child(self.warm, warm, expected)
            import orvan.worker

            sys.argv = [orvan.worker.__file__ or "orvan.worker", *argv]
            status = orvan.worker.main(argv)
        except SystemExit as exc:
            status = exc.code if isinstance(exc.code, int) else 1
        except BaseException as exc:  # as an uncaught exception would end the worker
            status = uncaught(exc)
        finally:
            process.fast_exit(status)

    def become_worker(self, log_path: str) -> None:
        os.setsid()
        # Should the server die, a job must not outlive it: no one would report it.
        process.stop_with_parent(self.pid)
        log = os.open(log_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666)
        null = os.open(os.devnull, os.O_RDONLY)
        # Neither the server's pipes nor anything else it holds.
        process.become_child(null, log, log)
        sys.path[:] = self.path


def uncaught(exc: BaseException) -> int:
    import traceback

    if isinstance(exc, KeyboardInterrupt):
        process.finish(0)
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGINT)
    traceback.print_exception(exc)
    return 1


def main() -> None:
    import orvan.checked_imports

    orvan.checked_imports.install()
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
