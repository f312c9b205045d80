"""The default store: the output directory on this host, laid out as it
always was (one directory per job, its files replaced by each attempt)."""

from __future__ import annotations

import os
from collections.abc import Sequence

from .base import Store, StoreMissing

# As orvan.checks names it, beside the value it checked.
CHECKS_FILE = "checks.json"


class LocalStore(Store):
    remote = False

    def __init__(self, out_dir: str):
        self.root = out_dir
        self.url = out_dir

    def value_name(self, relpath: str, value_file: str, digest: str | None) -> str:
        return os.path.join(relpath, value_file)

    def attempt_name(self, relpath: str, run_id: int, attempt: int, file: str) -> str:
        # Each attempt replaces the last one's files: only the latest is kept.
        return os.path.join(relpath, file)

    def checks_name(self, relpath: str, digest: str) -> str:
        return os.path.join(relpath, CHECKS_FILE)

    def path(self, name: str) -> str:
        return os.path.join(self.root, name)

    def read(self, name: str) -> bytes:
        try:
            with open(self.path(name), "rb") as f:
                return f.read()
        except (FileNotFoundError, IsADirectoryError, NotADirectoryError):
            raise StoreMissing(f"no such file: {self.path(name)}") from None

    def sizes(self, names: Sequence[str]) -> dict[str, int | None]:
        out: dict[str, int | None] = {}
        for name in names:
            try:
                out[name] = os.stat(self.path(name)).st_size
            except OSError:
                out[name] = None
        return out

    def delete(self, names: Sequence[str]) -> None:
        for name in names:
            try:
                os.unlink(self.path(name))
            except FileNotFoundError:
                pass
