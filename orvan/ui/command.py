"""`orvan ui`: serve the output directory's pages until Ctrl-C."""

from __future__ import annotations

import sys
import threading
import webbrowser
from argparse import Namespace

from ..cli.config import DEFAULT_OUT, project_directory, resolve_out
from ..cli.plan.pipeline import OK, USAGE
from .server import App, UiServer, serve

LOCAL_HOSTS = ("127.0.0.1", "localhost", "::1")


def cmd_ui(args: Namespace) -> int:
    directory = project_directory()
    out_dir = resolve_out(args.out, directory)
    # The redo commands name --out only when it is not what `orvan run` assumes here.
    out_arg = None if out_dir == resolve_out(DEFAULT_OUT, directory) else (args.out or out_dir)
    app = App(out_dir, list(args.modules or []), directory, out_arg)
    from ..cli.commands.stored import remote_store

    app.store = remote_store(args, out_dir)
    app.models.start()  # the pipeline's code loads while the server starts answering
    try:
        server = UiServer(app, args.host, args.port, verbose=args.verbose)
    except OSError as e:
        print(f"orvan ui: error: cannot listen on {args.host}:{args.port}: {e.strerror}", file=sys.stderr)
        return USAGE
    host, port = str(server.server_address[0]), int(server.server_address[1])
    shown = f"[{host}]" if ":" in host else host
    url = f"http://{shown}:{port}/"
    if args.host not in LOCAL_HOSTS:
        print(f"orvan ui: warning: listening on {args.host}: anyone who can reach it can read "
              "the values and logs", file=sys.stderr)
    print(f"orvan ui: {out_dir} at {url} (Ctrl-C stops)", flush=True)
    if args.open:
        threading.Thread(target=webbrowser.open, args=(url,), daemon=True).start()
    try:
        serve(server)
    except KeyboardInterrupt:
        pass
    return OK
