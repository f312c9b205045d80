"""Getting a job's files onto the disk before anything records them as
done: whatever records a success (the catalog, a remote store) calls
`make_durable` on its files first, so that a crash of the machine never
leaves a success whose files are lost."""

from __future__ import annotations

import functools
import os
from collections.abc import Sequence
from typing import Callable


@functools.cache
def _syncfs() -> Callable[[int], int] | None:
    # Imported here, as below: a run that finds everything fresh never syncs.
    import ctypes

    try:
        call = ctypes.CDLL(None, use_errno=True).syncfs
    except (OSError, AttributeError):
        return None
    call.argtypes = [ctypes.c_int]
    call.restype = ctypes.c_int
    return call


# statfs f_type of FUSE filesystems: their syncfs returns success without
# asking the file server to sync (only an fsync reaches it).
FUSE_SUPER_MAGIC = 0x65735546


def _filesystem_type(fd: int) -> int | None:
    import ctypes

    buf = ctypes.create_string_buffer(512)  # larger than any struct statfs
    try:
        if ctypes.CDLL(None).fstatfs(fd, buf) != 0:
            return None
    except (OSError, AttributeError):
        return None
    # f_type comes first, a long on the 64-bit Linux ABIs.
    return ctypes.c_long.from_buffer(buf).value & 0xFFFFFFFF


def _synced_filesystem(directory: str, syncfs: Callable[[int], int]) -> bool:
    fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        return _filesystem_type(fd) != FUSE_SUPER_MAGIC and syncfs(fd) == 0
    finally:
        os.close(fd)


def _fsync(path: str) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def make_durable(files: Sequence[str]) -> None:
    """Get these files, and their directories' entries for them, onto the
    disk; OSError if that may not have happened.

    One syncfs per filesystem costs about what a single fsync does, however
    many files. Where it is missing or fails, each file and then each
    directory is fsynced: syncfs also reports errors in files that are not
    ours, and the fsyncs say whether ours are safe."""
    directories = list(dict.fromkeys(os.path.dirname(f) for f in files))
    syncfs = _syncfs()
    if syncfs is not None:
        try:
            one_per_device: dict[int, str] = {}
            for d in directories:
                one_per_device.setdefault(os.stat(d).st_dev, d)
            if all([_synced_filesystem(d, syncfs) for d in one_per_device.values()]):
                return
        except OSError:
            pass
    for path in (*dict.fromkeys(files), *directories):
        _fsync(path)
