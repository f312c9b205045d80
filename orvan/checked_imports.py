"""The pipeline's own modules are compiled from the bytes on disk, never from
bytecode that only looks current.

Python takes a module's ``__pycache__`` file as current when the source's
modification time and size match what it recorded. A scripted edit that
keeps the size within the same second, ``cp -p``, rsync, tar or a restore
from a backup keep both, and the interpreter then runs the old code, which
orvan would store under the fingerprint of the new. So every process that
imports an author's modules for orvan (a job, the inspection, the fork
server) loads those that lie outside the interpreter's own directories and
site-packages from hash-checked bytecode: the source is read and hashed on
each import, and a cached file is used only
when it was compiled from exactly those bytes (Python's "checked hash" pyc,
which a plain interpreter also validates by the hash). Installed packages
keep the usual timestamp check: they change with their version, which the
fingerprint holds.

The cost is reading and hashing each local source on import, a few
microseconds per kilobyte; the first import after an edit compiles as before.

Once `record` is set (the fork server sets it), `loaded` maps the real path
of each local source compiled or loaded this way to the SHA-256 of its bytes:
what the process actually runs. A local source whose real path is in
`expected` with another digest is refused (ImportError): a job must not run
code other than what its fingerprint was made from.
"""

from __future__ import annotations

import marshal
import os
import sys
from types import CodeType
from importlib.machinery import (BYTECODE_SUFFIXES, EXTENSION_SUFFIXES, SOURCE_SUFFIXES, ExtensionFileLoader,
                                 FileFinder, SourceFileLoader, SourcelessFileLoader)
from importlib.util import MAGIC_NUMBER, cache_from_source, source_hash

# The pyc header's flags: hash-based (bit 0), checked against the source (bit 1).
CHECKED_HASH = 0b11

record = False
loaded: dict[str, str] = {}
expected: dict[str, str] = {}

_library: tuple[str, ...] = ()


def _library_dirs() -> tuple[str, ...]:
    dirs = {sys.prefix, sys.base_prefix, sys.exec_prefix, sys.base_exec_prefix}
    found = set()
    for d in filter(None, dirs):
        found.add(os.path.join(os.path.abspath(d), ""))
        found.add(os.path.join(os.path.realpath(d), ""))
    return tuple(sorted(found))


def is_local(path: str) -> bool:
    """Whether the source at `path` is an author's rather than the
    interpreter's or an installed package's."""
    if path.startswith(_library) or os.sep + "site-packages" + os.sep in path:
        return False
    return os.sep + "dist-packages" + os.sep not in path


class CheckedLoader(SourceFileLoader):
    def get_code(self, fullname: str) -> CodeType | None:
        path = self.get_filename(fullname)
        if not is_local(path):
            return super().get_code(fullname)
        source = self.get_data(path)
        if record or expected:
            _account(fullname, path, source)
        key = source_hash(source)
        cache = _cache_path(path)
        if cache is not None:
            code = _cached(cache, key)
            if code is not None:
                return code
        code = self.source_to_code(source, path)
        if cache is not None and not sys.dont_write_bytecode:
            data = MAGIC_NUMBER + CHECKED_HASH.to_bytes(4, "little") + key + marshal.dumps(code)
            try:
                self.set_data(cache, data)
            except OSError:
                pass  # only saves the next import a compilation
        return code


def _account(fullname: str, path: str, source: bytes) -> None:
    import hashlib

    real = os.path.realpath(path)
    digest = hashlib.sha256(source).hexdigest()
    want = expected.get(real)
    if want is not None and want != digest:
        raise ImportError(f"{path} changed after the run planned this job: run again to run the new code",
                          name=fullname, path=path)
    if record:
        loaded[real] = digest


def _cache_path(path: str) -> str | None:
    try:
        return cache_from_source(path)
    except NotImplementedError:
        return None


def _cached(cache: str, key: bytes) -> CodeType | None:
    """The code in the pyc at `cache` if it was compiled from the source
    whose hash is `key`; any other (a timestamp pyc included) is ignored."""
    try:
        with open(cache, "rb") as f:
            data = f.read()
    except OSError:
        return None
    if (data[:4] != MAGIC_NUMBER or int.from_bytes(data[4:8], "little") != CHECKED_HASH
            or data[8:16] != key):
        return None
    try:
        code = marshal.loads(memoryview(data)[16:])
    except (EOFError, ValueError, TypeError):
        return None
    return code if isinstance(code, CodeType) else None


# Set by the runner for a spawned worker: the digests its imports must find.
SOURCES_ENV = "ORVAN_SOURCES"


def expect_from_env() -> None:
    text = os.environ.pop(SOURCES_ENV, "")
    if text:
        import json

        expected.update((os.path.realpath(p), d) for p, d in json.loads(text).items())


def install() -> None:
    """From now on, in this process. Idempotent."""
    global _library
    if sys.path_hooks and getattr(sys.path_hooks[-1], "_orvan_checked", False):
        return
    _library = _library_dirs()
    hook = FileFinder.path_hook((ExtensionFileLoader, EXTENSION_SUFFIXES), (CheckedLoader, SOURCE_SUFFIXES),
                                (SourcelessFileLoader, BYTECODE_SUFFIXES))
    hook._orvan_checked = True  # type: ignore[attr-defined]
    # In place of the stock file finder's hook (the last one); finders made
    # by it for directories already seen are dropped, to be made again.
    if sys.path_hooks and "FileFinder" in getattr(sys.path_hooks[-1], "__qualname__", ""):
        sys.path_hooks[-1] = hook
    else:
        sys.path_hooks.append(hook)
    for entry, finder in list(sys.path_importer_cache.items()):
        if isinstance(finder, FileFinder):
            del sys.path_importer_cache[entry]
