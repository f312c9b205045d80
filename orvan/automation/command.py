"""`orvan serve`: the UI and the project's automations in one process,
until SIGTERM or Ctrl-C, which stop the run going on (its jobs stopped and
recorded as `orvan run` does on the same signal) and end serve with 0."""

from __future__ import annotations

import fcntl
import os
import signal
import sys
import threading
from argparse import Namespace
from types import FrameType
from typing import TYPE_CHECKING

from ..catalog import catalog_of
from ..cli.config import DEFAULT_OUT, project_directory, resolve_modules, resolve_out
from ..cli.plan.pipeline import OK, USAGE, CommandError
from .declarations import Automation, load_automations
from .loop import Loop
from .schedule import Clock
from .ticker import Project, Ticker
from .watch import Watcher

if TYPE_CHECKING:
    from ..ui.server import UiServer

# Held while serve runs (a leading "." is never an asset's directory).
SERVE_LOCK = ".serve.lock"


def cmd_serve(args: Namespace) -> int:
    directory = project_directory()
    modules = resolve_modules(args.modules, directory)
    out_dir = resolve_out(args.out, directory)
    automations = load_automations(directory)
    if not automations:
        print("orvan serve: warning: no automations declared ([tool.orvan.automations.NAME] in "
              "pyproject.toml): serving the UI only", file=sys.stderr)
    clock = Clock()
    lock = _serve_lock(out_dir)
    try:
        catalog = catalog_of(out_dir).open()
        try:
            ticker = Ticker(Project(directory, modules, out_dir), catalog, clock, _say)
            loop = Loop(automations, ticker, catalog, clock)
            loop.open()
            return _serve(args, directory, out_dir, automations, loop)
        finally:
            catalog.close()
    finally:
        os.close(lock)


def _serve_lock(out_dir: str) -> int:
    """One serve per output directory: a second would settle the first's
    ticks as a killed serve's and tick its instants again. Released by the
    system however serve ends."""
    os.makedirs(out_dir, exist_ok=True)
    fd = os.open(os.path.join(out_dir, SERVE_LOCK), os.O_RDWR | os.O_CREAT, 0o644)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        os.close(fd)
        raise CommandError(f"another orvan serve is using {out_dir}") from None
    return fd


def _serve(args: Namespace, directory: str, out_dir: str, automations: list[Automation], loop: Loop) -> int:
    server = _ui(args, directory, out_dir, loop, automations)
    if server is None:
        return USAGE
    watcher = Watcher(directory, out_dir, loop.edited) if loop.watchers else None
    if watcher is not None:
        watcher.start()
        _say(f"orvan serve: watching {directory} for edits ({watcher.how})")
    previous = _on_stop(loop)
    try:
        loop.run()
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
        if watcher is not None:
            watcher.stop()
        server.shutdown()
        server.server_close()
    return OK


def _on_stop(loop: Loop) -> dict[int, signal._HANDLER]:
    """SIGTERM and Ctrl-C end the loop; during a tick they interrupt it as
    they would `orvan run` (the run stops its jobs and records them)."""
    def stop(signum: int, frame: FrameType | None) -> None:
        loop.ticker.stopped.set()
        loop.wake.set()
        if loop.ticker.interruptible:
            raise KeyboardInterrupt
    return {signum: signal.signal(signum, stop) for signum in (signal.SIGINT, signal.SIGTERM)}


def _ui(args: Namespace, directory: str, out_dir: str, loop: Loop, automations: list[Automation]) -> UiServer | None:
    # Imported here: nothing but the subcommands that serve pages imports the UI.
    from ..ui.automations_page import AutomationRow
    from ..ui.server import App, UiServer

    out_arg = None if out_dir == resolve_out(DEFAULT_OUT, directory) else (args.out or out_dir)
    app = App(out_dir, list(args.modules or []), directory, out_arg)
    app.automations = lambda: [  # type: ignore[attr-defined]
        AutomationRow(a.name, a.trigger, ", ".join(a.select) or "every asset", loop.next_due(a))
        for a in automations]
    try:
        server = UiServer(app, args.host, args.port)
    except OSError as e:
        print(f"orvan serve: error: cannot listen on {args.host}:{args.port}: {e.strerror}", file=sys.stderr)
        return None
    host, port = str(server.server_address[0]), int(server.server_address[1])
    shown = f"[{host}]" if ":" in host else host
    names = ", ".join(a.name for a in automations) or "none"
    _say(f"orvan serve: {out_dir} at http://{shown}:{port}/ (automations: {names}; Ctrl-C stops)")
    threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.5}, name="orvan-ui",
                     daemon=True).start()
    return server


def _say(line: str) -> None:
    try:
        print(line, flush=True)
    except OSError:
        pass  # output is for the reader; a closed one never stops serve

