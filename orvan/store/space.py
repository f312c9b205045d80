"""How full the disk under the job files is."""

from __future__ import annotations

import os

# Below this much free space, a write that failed is taken to have met a full
# disk: a worker that left no record, a value that could not be written.
NEARLY_FULL_BYTES = 64 * 1024


def disk_full(directory: str) -> bool:
    try:
        st = os.statvfs(directory)
    except OSError:
        return False
    return st.f_bavail * st.f_frsize < NEARLY_FULL_BYTES
