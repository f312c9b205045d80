"""Warm imports: the fork server imports the run's modules once, and each job
is forked from that state, so that its own import of its module finds it
loaded. Each job is still a process of its own, with its own files, log and
process group; what the import made is shared copy-on-write, never back.

The code a job runs must be the code its fingerprint was made from. The
runner sends, for each module, the SHA-256 of every local source its jobs run
(path -> digest), as the plan read them. Before each fork the server hashes
those files again (the bytes, so no edit escapes, whatever it kept):
- all match, and the server's own import was of those bytes: the job is
  forked warm;
- all match, but the server imported other bytes (a file changed and came
  back since): the modules are imported again first;
- a file no longer holds what was planned: the job is forked cold, and its
  import refuses that file (`checked_imports.expected`), so the job fails
  saying what changed rather than run code no fingerprint describes.

A module that starts a thread or opens a socket at import cannot be shared
by forks (a fork copies neither the thread nor a safe use of the socket):
the import stops there, the server reports it, and the runner starts a new
server that leaves it (and its jobs) to import afresh.
"""

from __future__ import annotations

import hashlib
import os
import sys

from orvan import checked_imports


def file_digest(path: str) -> str | None:
    try:
        with open(path, "rb") as f:
            return hashlib.sha256(f.read()).hexdigest()
    except OSError:
        return None


def _sockets() -> int:
    try:
        names = os.listdir("/proc/self/fd")
    except OSError:
        return 0
    count = 0
    for name in names:
        try:
            count += os.readlink(f"/proc/self/fd/{name}").startswith("socket:")
        except OSError:
            pass
    return count


def _threads() -> int:
    threading = sys.modules.get("threading")
    return threading.active_count() if threading is not None else 1


class Warm:
    def __init__(self) -> None:
        self.sources: dict[str, dict[str, str]] = {}  # module -> real path -> digest
        self.modules: list[str] = []  # those asked for
        self.local: list[str] = []  # the names of the local modules imported here
        self.unusable = False  # something imported here made forking unsafe

    def set_sources(self, sources: dict[str, dict[str, str]]) -> None:
        self.sources = {m: {os.path.realpath(p): d for p, d in files.items()} for m, files in sources.items()}

    def import_all(self, modules: list[str]) -> dict[str, str]:
        """Import `modules`, in order; {module: why it cannot be shared} for
        the first that cannot (nothing is imported after it)."""
        import importlib

        checked_imports.record = True
        self.modules = list(modules)
        base_threads, base_sockets = _threads(), _sockets()
        devnull = os.open(os.devnull, os.O_WRONLY)
        saved = os.dup(1), os.dup(2)
        os.dup2(devnull, 1)  # what a module prints at import goes nowhere: the runner's
        os.dup2(devnull, 2)  # terminal is not its log, and the inspection showed it
        try:
            for module in modules:
                try:
                    importlib.import_module(module)
                except BaseException:  # the job imports it itself, and says what fails
                    pass
                why = self._unsafe(base_threads, base_sockets)
                if why:
                    self.unusable = True
                    return {module: why}
        finally:
            for fd, saved_fd in zip((1, 2), saved):
                os.dup2(saved_fd, fd)
                os.close(saved_fd)
            os.close(devnull)
            self.local = self._local_modules()
            import gc

            # As after the preload: what the imports made is never collected
            # in a child, so no collection there copies the pages it lies on.
            gc.collect()
            gc.freeze()
        return {}

    @staticmethod
    def _unsafe(threads: int, sockets: int) -> str:
        if _threads() > threads:
            return "starts a thread at import"
        if _sockets() > sockets:
            return "opens a socket at import"
        return ""

    def check(self, module: str) -> tuple[bool, dict[str, str]]:
        """Before forking a job of `module`: (whether it may run warm, the
        digests its imports must find)."""
        files = self.sources.get(module, {})
        now = {path: file_digest(path) for path in files}
        if any(now[path] != digest for path, digest in files.items()):
            return False, files
        loaded = checked_imports.loaded
        if any(path in loaded and loaded[path] != digest for path, digest in files.items()):
            self.reimport()
        return module in sys.modules and not self.unusable, files

    @staticmethod
    def _local_modules() -> list[str]:
        loaded = checked_imports.loaded
        names = []
        for name, mod in list(sys.modules.items()):
            file = getattr(mod, "__file__", None)
            if isinstance(file, str) and os.path.realpath(file) in loaded:
                names.append(name)
        return names

    def forget(self) -> None:
        """Drop every local module imported here: a later import reads the files again."""
        for name in self.local:
            sys.modules.pop(name, None)
        self.local = []
        checked_imports.loaded.clear()

    def reimport(self) -> None:
        self.forget()
        if self.import_all(self.modules):
            self.forget()  # this time it cannot be shared: no job runs warm from here


def in_child(warm: Warm, fork_warm: bool, expected: dict[str, str]) -> None:
    """In a job's child: a cold job imports its modules afresh, and every
    job refuses a local source that is not what the plan read."""
    if not fork_warm:
        warm.forget()
    checked_imports.record = False
    checked_imports.expected = expected
