"""Noticing edits of the project's code for the automations on change:
the Python files and pyproject.toml under the project directory, outside
the output directory, hidden directories and bytecode caches.

watchfiles (the operating system's notifications) when it is installed
and can watch; otherwise a scan of modification times every
`POLL_SECONDS`, which bounds how late an edit is noticed. An edit only wakes
serve: whether the code of a selected asset changed is for its
fingerprints to say, at the tick.
"""

from __future__ import annotations

import os
import threading
from collections.abc import Callable

POLL_SECONDS = 1.0
# After a change, how long the files must stay quiet before serve wakes
# (an editor's save is often several writes).
QUIET_MS = 50


def wanted(directory: str, out_dir: str) -> Callable[[str], bool]:
    out = out_dir.rstrip(os.sep) + os.sep
    def keep(path: str) -> bool:
        if path.startswith(out) or not (path.endswith(".py") or os.path.basename(path) == "pyproject.toml"):
            return False
        parts = os.path.relpath(path, directory).split(os.sep)
        return not any(p.startswith(".") or p == "__pycache__" for p in parts[:-1])
    return keep


class Watcher:
    """Calls `wake` with the paths changed, from a thread of its own."""

    def __init__(self, directory: str, out_dir: str, wake: Callable[[list[str]], None]):
        self.directory = directory
        self.keep = wanted(directory, out_dir)
        self.wake = wake
        self.stopping = threading.Event()
        self.how = "watchfiles"
        self._thread: threading.Thread | None = None

    def start(self) -> None:
        try:
            import watchfiles  # noqa: F401
        except ImportError:
            self.how = f"polling every {POLL_SECONDS:g} s (watchfiles is not installed)"
        target = self._watch if self.how == "watchfiles" else self._poll
        self._thread = threading.Thread(target=target, name="orvan-watch", daemon=True)
        self._thread.start()

    def stop(self) -> None:
        self.stopping.set()
        if self._thread is not None:
            self._thread.join(timeout=2)

    def _watch(self) -> None:
        import watchfiles

        try:
            for changes in watchfiles.watch(self.directory, watch_filter=lambda _c, p: self.keep(p),
                                            step=QUIET_MS, stop_event=self.stopping, raise_interrupt=False):
                self.wake(sorted({path for _change, path in changes}))
        except (OSError, RuntimeError) as e:  # too many watches, a file system it cannot watch
            self.how = f"polling every {POLL_SECONDS:g} s (watching failed: {e})"
            self._poll()

    def _poll(self) -> None:
        seen = self._scan()
        while not self.stopping.wait(POLL_SECONDS):
            now = self._scan()
            changed = sorted(p for p in seen.keys() | now.keys() if seen.get(p) != now.get(p))
            seen = now
            if changed:
                self.wake(changed)

    def _scan(self) -> dict[str, int]:
        found: dict[str, int] = {}
        for root, dirs, files in os.walk(self.directory):
            dirs[:] = [d for d in dirs if not d.startswith(".") and d != "__pycache__"]
            for name in files:
                path = os.path.join(root, name)
                if self.keep(path):
                    try:
                        found[path] = os.stat(path).st_mtime_ns
                    except OSError:
                        pass
        return found
