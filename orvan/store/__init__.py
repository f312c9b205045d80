"""Where job files live, and what they are called.

    naming    file-name escaping of asset and partition keys, the output layout
    space     how full the disk under the job files is
    base      the store interface: names of values, result records and logs
    local     the output directory on this host (the default)
    remote    any fsspec URL (S3 and the like), for clusters without a shared disk
    transfer  what a job's host does around the job with a remote store
"""

from __future__ import annotations

from typing import Any

from .base import Store, StoreError, StoreMissing

# Keys of store_options that would put a secret in pyproject.toml (and so in
# every worker's task): credentials come from the client's own environment.
SECRET_OPTIONS = frozenset({"key", "secret", "token", "password", "access_key", "secret_key",
                            "aws_access_key_id", "aws_secret_access_key", "aws_session_token",
                            "session_token", "credentials"})


def open_store(url: str | None, options: dict[str, Any] | None, out_dir: str) -> Store:
    """The store at `url`, or the output directory when there is none."""
    if not url:
        from .local import LocalStore

        return LocalStore(out_dir)
    from .remote import RemoteStore

    return RemoteStore(url, options)


__all__ = ["SECRET_OPTIONS", "Store", "StoreError", "StoreMissing", "open_store"]
