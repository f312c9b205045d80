"""File names for asset keys and partition keys, and the output layout.

Asset keys and partition keys are arbitrary text chosen by pipeline authors,
so every path component is escaped: anything outside a small safe alphabet
becomes %XX per UTF-8 byte. The escaping is reversible (`unescape`), so the
directory tree can be read back without the catalog.
"""

from __future__ import annotations

import functools
import json
import os
import re

# Most file systems cap one path component at 255 bytes.
MAX_COMPONENT_BYTES = 255

# The files a job leaves in its directory.
VALUE_FILE = "value.json"
RESULT_FILE = "result.json"
LOG_FILE = "log.txt"
KWARGS_FILE = "kwargs.json"
# References to the upstream values that are not JSON (stored files).
INPUTS_FILE = "inputs.json"

# The runner's own files in the output directory, next to the asset
# directories. Any other file of the runner's must start with "." (which no
# escaped key does). Compared case-blind: some file systems are.
CATALOG_FILE = "catalog.sqlite"
LOCK_FILE = ".lock"
RESERVED_NAMES = frozenset(
    CATALOG_FILE + suffix for suffix in ("", "-wal", "-shm", "-journal")
)

# Stands for the empty string, which cannot be a file name. A lone "%" is
# never produced by percent-escaping, so the mapping stays reversible.
_EMPTY = "%"

_ALWAYS_SAFE = frozenset(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_.-~")
_HEX = frozenset("0123456789abcdefABCDEF")


def quote(text: str, safe: str = "/") -> str:
    """`urllib.parse.quote` of UTF-8 text, byte for byte, without the import
    (it and what it pulls in take longer than the command takes to plan)."""
    keep = _ALWAYS_SAFE | frozenset(safe.encode("ascii"))
    return "".join(chr(b) if b in keep else f"%{b:02X}" for b in text.encode("utf-8"))


def unquote(name: str) -> str:
    """`urllib.parse.unquote` with strict UTF-8: %XX sequences become bytes,
    anything else stays as it is."""
    if "%" not in name:
        return name
    first, *rest = name.split("%")
    out = bytearray(first.encode("utf-8"))
    for part in rest:
        if len(part) >= 2 and part[0] in _HEX and part[1] in _HEX:
            out.append(int(part[:2], 16))
            out += part[2:].encode("utf-8")
        else:
            out += b"%" + part.encode("utf-8")
    return out.decode("utf-8")


# Text that escaping leaves as it is: the common case, checked cheaply.
_SAFE = re.compile(r"[A-Za-z0-9_~-][A-Za-z0-9_.~-]*")


# Cached: a plan escapes each dimension's keys once per job that uses them.
@functools.lru_cache(maxsize=1 << 16)
def escape(text: str) -> str:
    """Return a safe single path component that `unescape` maps back to text.

    Letters, digits, "-", "_", "." and "~" are kept; a leading "." is escaped
    so that no key becomes ".", "..", or a hidden file (the runner keeps its
    own files, such as its lock, under dot names).
    """
    if text == "":
        return _EMPTY
    if _SAFE.fullmatch(text):
        return text
    escaped = quote(text, safe="-_.~")
    if escaped.startswith("."):
        escaped = "%2E" + escaped[1:]
    return escaped


def unescape(name: str) -> str:
    if name == _EMPTY:
        return ""
    return unquote(name)


def key_text(value: object) -> str:
    """The text form of a partition key: strings as they are, anything else
    (numbers, booleans, null) as compact JSON. This is the form used in
    directory names, in the catalog and on the command line."""
    if isinstance(value, str):
        return value
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def partition_component(dim: str, key: str) -> str:
    """`<dim>=<key>`, both escaped; "=" is always escaped, so the first "=" splits."""
    return f"{escape(dim)}={escape(key)}"


def parse_partition_component(name: str) -> tuple[str, str]:
    dim, sep, key = name.partition("=")
    if not sep:
        raise ValueError(f"not a partition directory: {name!r}")
    return unescape(dim), unescape(key)


def job_relpath(asset_key: str, partition: dict[str, str]) -> str:
    """`<asset key>` or `<asset key>/<dim>=<key>/...`, dimensions in sorted order."""
    # Every part is one escaped component: a plain join is os.path.join here.
    return os.sep.join([escape(asset_key), *[partition_component(dim, partition[dim]) for dim in sorted(partition)]])


def job_dir(out_dir: str, asset_key: str, partition: dict[str, str]) -> str:
    """Where the job's files are in a local output directory."""
    return os.path.join(out_dir, job_relpath(asset_key, partition))


def store_relpath(relpath: str) -> str:
    """A job's relative path as a store names it: "/"-separated on every host."""
    return relpath.replace(os.sep, "/")


def value_path(directory: str, serializer: str | None) -> str:
    """The value file in a job's directory: value.json, or value.<ext> for
    a value another serializer stores."""
    from .. import values  # the serializer names the file's extension

    return os.path.join(directory, values.value_file(serializer))


_token = json.JSONEncoder(sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode


def partition_token(partition: dict[str, str]) -> str:
    """How a partition is stored in the catalog: "" or compact sorted JSON."""
    if not partition:
        return ""
    return _token(partition)


def token_member(dim: str, key: str) -> str:
    """`"dim":"key"` as `partition_token` writes it: a plan joins a job's
    token from its keys' members, made once per key."""
    return _token(dim) + ":" + _token(key)


def token_partition(token: str) -> dict[str, str]:
    """The partition a catalog token stands for; {} for one that is not a
    partition (a row written by hand, or by a newer version)."""
    try:
        partition = json.loads(token) if token else {}
    except ValueError:
        return {}
    return partition if isinstance(partition, dict) else {}


def check_component(name: str) -> str | None:
    """Why `name` cannot be a path component, or None if it can."""
    if len(name.encode("utf-8")) > MAX_COMPONENT_BYTES:
        return f"its escaped file name is longer than {MAX_COMPONENT_BYTES} bytes"
    return None


def check_asset_dir(name: str) -> str | None:
    """Why `name` cannot be an asset's directory in the output directory."""
    if name.casefold() in RESERVED_NAMES:
        return f"{name!r} is the name of the runner's own file in the output directory; rename the asset"
    return check_component(name)
