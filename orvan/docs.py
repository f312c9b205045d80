"""`python -m orvan.docs [GUIDE]`: print a guide shipped with the package.

The wheel carries the guides under orvan/_docs/ (pip users have no docs/
folder); a source checkout reads them from docs/.
"""

from __future__ import annotations

import sys
from pathlib import Path

GUIDES = {"runner": "runner.md"}


def guide_path(name: str) -> Path | None:
    here = Path(__file__).resolve().parent
    for folder in (here / "_docs", here.parent / "docs"):
        if (folder / GUIDES[name]).is_file():
            return folder / GUIDES[name]
    return None


USAGE = f"usage: python -m orvan.docs [{'|'.join(GUIDES)}]   (default: runner, the guide to orvan run)"


def main(argv: list[str]) -> int:
    if argv[:1] in (["-h"], ["--help"]):
        print(USAGE)
        return 0
    name = argv[0] if argv else "runner"
    if len(argv) > 1 or name not in GUIDES:
        print(USAGE, file=sys.stderr)
        return 2
    path = guide_path(name)
    if path is None:
        print(f"error: the {name} guide is missing from this installation of orvan", file=sys.stderr)
        return 1
    sys.stdout.write(path.read_text(encoding="utf-8"))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
