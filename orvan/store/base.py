"""The store interface: where a job's value, result record and log live.

A store names objects relative to its root with "/" between components. A
job's value is named after its content (`value-<sha256>.<ext>`): the name
comes from the catalog's record of the job's success, so that no reader ever
lists the store, and a writer can never put other bytes under a name a
success vouches for. Result records and logs belong to one attempt and are
named after it (`run-<run id>.<attempt>.<file>`).

The local output directory keeps its layout (`value.json`, `log.txt` in the
job's directory, replaced by each attempt, with the catalog's sync as the
commit), so the local store maps these names back to it.
"""

from __future__ import annotations

from abc import ABC, abstractmethod
from collections.abc import Sequence


class StoreError(Exception):
    """The store could not be reached, or refused an object. The message
    names the store (its URL, never its credentials)."""


class StoreMissing(StoreError):
    """An object that the catalog names is not in the store."""


class Store(ABC):
    # Shown in messages: the URL as given, less any user information.
    url: str
    # Whether objects live away from this host: jobs then fetch their
    # inputs and upload their files themselves.
    remote: bool = False

    @abstractmethod
    def value_name(self, relpath: str, value_file: str, digest: str | None) -> str:
        """The name of a job's value with this content hash."""

    @abstractmethod
    def attempt_name(self, relpath: str, run_id: int, attempt: int, file: str) -> str:
        """The name of one attempt's result record or log."""

    @abstractmethod
    def checks_name(self, relpath: str, digest: str) -> str:
        """The name of the outcome of a value's asset checks (the outcome
        names the checks it is of: one for each value is enough)."""

    @abstractmethod
    def read(self, name: str) -> bytes:
        """The object's bytes; `StoreMissing` when it is not there."""

    @abstractmethod
    def sizes(self, names: Sequence[str]) -> dict[str, int | None]:
        """Each object's size, None for one that is not there; asked of
        every name at once, so that a remote store asks concurrently."""

    @abstractmethod
    def delete(self, names: Sequence[str]) -> None:
        """Remove the objects, those already gone included."""

    def describe(self) -> str:
        return self.url


def join(*parts: str) -> str:
    return "/".join(p.strip("/") for p in parts if p)
