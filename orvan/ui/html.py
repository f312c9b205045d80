"""HTML building blocks. Every text that comes from a pipeline, a run or a
file (keys, partition keys, errors, log lines, values) goes through `e`."""

from __future__ import annotations

import html
import json
import re
from urllib.parse import quote, urlencode

from ..cli.report import seconds, when
from .freshness import GLYPHS


_URL_SAFE = re.compile(r"[A-Za-z0-9_.~-]*")
_SPECIAL = re.compile(r"[&<>\"']")


def e(text: object) -> str:
    # Most keys need no escaping; looking first is several times cheaper,
    # which a graph of a thousand nodes or a long table notices.
    s = str(text)
    return html.escape(s, quote=True) if _SPECIAL.search(s) else s


def asset_url(key: str) -> str:
    """The asset page's address, ready for an attribute (it needs no escaping)."""
    return "/asset?key=" + (key if _URL_SAFE.fullmatch(key) else quote(key, safe=""))


def job_url(key: str, partition: dict[str, str], run_id: int | None = None) -> str:
    params = [("key", key)] + [(f"p.{d}", k) for d, k in partition.items()]
    if run_id is not None:
        params.append(("run", str(run_id)))
    return "/job?" + urlencode(params)


def parse_token(token: str) -> dict[str, str]:
    if not token:
        return {}
    try:
        value = json.loads(token)
    except ValueError:
        return {}
    return {str(k): str(v) for k, v in value.items()} if isinstance(value, dict) else {}


def partition_label(partition: dict[str, str]) -> str:
    return ",".join(f"{d}={k}" for d, k in partition.items())


def job_label(key: str, partition: dict[str, str]) -> str:
    return f"{key}[{partition_label(partition)}]" if partition else key


def script_json(value: object) -> str:
    """JSON that is safe inside a <script> element whatever its strings hold."""
    text = json.dumps(value, separators=(",", ":"), ensure_ascii=False)
    return text.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026") \
        .replace("\u2028", "\\u2028").replace("\u2029", "\\u2029")


def time_text(t: float | None) -> str:
    return when(t) if t else "-"


def duration(start: float | None, end: float | None) -> str:
    return seconds(end - start) if start is not None and end is not None else "-"


def badge(state: str) -> str:
    glyph = GLYPHS.get(state)  # type: ignore[call-overload]  # a job's state, or a run's status
    mark = f"{glyph} " if glyph else ""
    return f'<span class="badge st-{e(state)}">{mark}{e(state.replace("_", " "))}</span>'


SCRIPTS = "".join(f'<script src="/static/{name}" defer></script>'
                  for name in ("ui.js", "matrix.js", "timeline.js", "graph.js", "find.js"))


# How a banner saying that the pipeline is being loaded starts: the page's script hides it once loaded.
RELOADING = "loading the pipeline's code"


def shell(title: str, body: str, *, out_dir: str, banner: str = "", poll: bool = False, run: int | None = None,
          runs: bool = False) -> str:
    notice = f'<p class="banner"{" id=reloading" if banner.startswith(RELOADING) else ""}>{e(banner)}</p>' \
        if banner else ""
    attrs = (' data-poll="1"' if poll else "") + (f' data-run="{run}"' if run is not None else "") + \
        (' data-runs="1"' if runs else "")
    return (
        "<!doctype html><html lang=en><head><meta charset=utf-8>"
        '<meta name=viewport content="width=device-width, initial-scale=1">'
        f"<title>{e(title)} · orvan</title>"
        '<link rel=icon href="data:,"><link rel=stylesheet href="/static/ui.css">'
        f'{SCRIPTS}</head><body><header><a class=brand href="/">orvan</a>'
        '<nav><a href="/">graph</a><a href="/runs">runs</a><a href="/automations">automations</a></nav>'
        '<div class=find><input id=find type=search placeholder="search (Ctrl+K)" autocomplete=off '
        'aria-label="search assets, partitions and runs" aria-controls=find-results>'
        '<ul id=find-results role=listbox hidden></ul></div>'
        f'<span class=out title="output directory">{e(out_dir)}</span>'
        '<span id=live-state class=live-off title="live updates">live</span></header>'
        f'<main id=live{attrs}>{notice}{body}</main></body></html>'
    )


def error_page(title: str, message: str, out_dir: str) -> str:
    return shell(title, f'<h1>{e(title)}</h1><p class=problem>{e(message)}</p>', out_dir=out_dir)
