"""The inspection as a fork of the command itself, taken as it starts.

Spawning `python -m orvan.inspect` pays for a new interpreter and its
imports before the first author's module is read, and nothing the command
does can begin before the inspection ends. A fork taken before the command
has parsed its arguments, opened anything or started a thread begins where
a new interpreter would, minus that start-up: the child then sets up what
`python -m orvan.inspect` run from the project directory would have (working
directory, environment, `sys.path`, `sys.argv`) and imports the authors'
modules itself, so the command still never holds their code.

Anything that would make the child differ from that interpreter (threads,
interpreter options, an unusual `sys.path`) means no fork: the caller
spawns instead.
"""

from __future__ import annotations

import gc
import os
import sys

from ... import process
from ..project import child_env

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Protocol

    class Inspection(Protocol):
        """A running inspection: a `subprocess.Popen`, or a fork."""

        returncode: int | None

        def communicate(self) -> tuple[str, str]: ...
        def kill(self) -> None: ...
        def __enter__(self) -> Inspection: ...
        def __exit__(self, *exc: Any) -> None: ...
else:
    Inspection = object

# Inspections started ahead of the command that reads them, by what they inspect.
started: dict[tuple[tuple[str, ...], str], Inspection] = {}


def start(modules: list[str], directory: str) -> bool:
    """Starts, by a fork, the inspection of `modules` in `directory` unless
    it is already going, stopping any other; False if it cannot be forked
    (the caller spawns it)."""
    key = (tuple(modules), directory)
    if key in started:
        return True
    discard()
    if not can_fork():
        return False
    try:
        started[key] = ForkedInspection(modules, directory, child_env(directory))
    except OSError:
        return False  # no fork or memory file to be had now: a spawned one may do
    return True


def discard() -> None:
    """Stops inspections no command read (one ended before it got there)."""
    while started:
        _, proc = started.popitem()
        with proc:
            proc.kill()


def can_fork() -> bool:
    if not hasattr(os, "memfd_create") or sys.platform != "linux":
        return False
    threading = sys.modules.get("threading")
    if threading is not None and threading.active_count() > 1:
        return False
    flags = sys.flags
    if (flags.isolated or flags.ignore_environment or flags.no_site or flags.no_user_site or flags.safe_path
            or flags.dev_mode or sys.warnoptions or sys._xoptions):
        return False
    return _base_path() is not None


def _pythonpath(value: str | None, cwd: str) -> list[str]:
    """The import path entries PYTHONPATH gives an interpreter started in `cwd`."""
    entries = (value or "").split(os.pathsep) if value else []
    if entries and not entries[-1]:
        entries.pop()
    return [os.path.normpath(os.path.join(cwd, e)) for e in entries]


def _base_path() -> list[str] | None:
    """The command's `sys.path` after the entries the interpreter put first
    (where it was started from, then PYTHONPATH's), or None if the path is
    not laid out that way (a host that set it up itself)."""
    ours = _pythonpath(os.environ.get("PYTHONPATH"), os.getcwd())
    first = {os.getcwd(), os.path.dirname(os.path.abspath(sys.argv[0]))}
    if not sys.path or sys.path[0] not in first or sys.path[1:1 + len(ours)] != ours:
        return None
    return sys.path[1 + len(ours):]


def child_path(directory: str, env: dict[str, str]) -> list[str]:
    """The `sys.path` of `python -m ...` started in `directory` with `env`."""
    return [directory, *_pythonpath(env.get("PYTHONPATH"), directory), *(_base_path() or [])]


class ForkedInspection:
    """A running inspection, read like the `subprocess.Popen` it stands for."""

    def __init__(self, modules: list[str], directory: str, env: dict[str, str]):
        path = child_path(directory, env)
        for stream in (sys.stdout, sys.stderr):
            try:
                if stream is not None:
                    stream.flush()  # or the child would print it again
            except (OSError, ValueError):
                pass
        # Files in memory, not pipes: the report is larger than a pipe holds,
        # and the child must not wait for the command to read it, busy as
        # the command is meanwhile.
        out, err = _memory_files()
        # The command's objects are never garbage to the child: collections
        # there would walk (and so copy) every page they live on.
        gc.freeze()
        parent = os.getpid()
        try:
            pid = os.fork()
        except OSError:
            gc.unfreeze()
            os.close(out)
            os.close(err)
            raise
        if pid == 0:  # pragma: no cover - the child never returns
            _inspect_in_child(modules, directory, env, path, out, err, parent)
        gc.unfreeze()  # the command's own collections go on as before
        self.pid = pid
        self._fds = [out, err]
        self.returncode: int | None = None

    def communicate(self) -> tuple[str, str]:
        self.wait()
        texts = []
        for fd in self._fds:
            os.lseek(fd, 0, os.SEEK_SET)
            chunks = []
            while chunk := os.read(fd, 1 << 20):
                chunks.append(chunk)
            texts.append(b"".join(chunks).decode("utf-8", "replace"))
        return texts[0], texts[1]

    def wait(self) -> int:
        if self.returncode is None:
            _, status = os.waitpid(self.pid, 0)
            self.returncode = os.waitstatus_to_exitcode(status)
        return self.returncode

    def kill(self) -> None:
        if self.returncode is None:
            import signal

            try:
                os.kill(self.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass

    def __enter__(self) -> ForkedInspection:
        return self

    def __exit__(self, *exc: object) -> None:
        for fd in self._fds:
            os.close(fd)
        self._fds = []
        self.wait()


def _memory_files() -> tuple[int, int]:
    out = os.memfd_create("orvan-inspection-out")
    try:
        return out, os.memfd_create("orvan-inspection-err")
    except OSError:
        os.close(out)
        raise


def _inspect_in_child(modules: list[str], directory: str, env: dict[str, str], path: list[str], out: int,
                      err: int, parent: int) -> None:
    status = 1
    try:
        # The command reads the report: without it, there is no one to read it.
        process.stop_with_parent(parent)
        # The command's exit handlers, if any, are not the child's to run.
        process.become_child(os.open(os.devnull, os.O_RDONLY), out, err)
        os.chdir(directory)
        os.environ.clear()
        os.environ.update(env)
        sys.path[:] = path
        status = _run_inspection(modules)
    except BaseException:
        try:
            import traceback

            traceback.print_exc()
        finally:
            status = 1
    finally:
        process.fast_exit(status)


def _run_inspection(modules: list[str]) -> int:
    from orvan import inspect

    sys.argv = [inspect.__file__ or "orvan.inspect", "--strict", *modules]
    try:
        return inspect.main(sys.argv[1:])
    except SystemExit as e:
        if e.code is None or isinstance(e.code, int):
            return e.code or 0
        print(e.code, file=sys.stderr)
        return 1
