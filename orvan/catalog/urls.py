"""Catalog URLs, and how messages and records show them: never with a
password."""

from __future__ import annotations

from urllib.parse import urlsplit, urlunsplit


def is_url(text: str) -> bool:
    return text.startswith(("postgresql://", "postgres://"))


def masked(url: str) -> str:
    """The URL as messages show it: any password replaced by ***."""
    parts = urlsplit(url)
    if parts.password is None:
        return url
    host = parts.netloc.rsplit("@", 1)[1]
    return urlunsplit(parts._replace(netloc=f"{parts.username or ''}:***@{host}"))


def masked_argv(argv: list[str]) -> list[str]:
    """A command line as a run records it: a catalog URL's password masked
    (`--catalog URL` and `--catalog=URL` alike)."""
    return [a[:a.index("=") + 1] + masked(a[a.index("=") + 1:]) if a.startswith("--catalog=")
            else masked(a) if is_url(a) else a for a in argv]
