"""A store at any fsspec URL (`s3://bucket/prefix`, `gs://...`, `file:///...`).

Objects are never renamed (object stores have none) and never listed on a
run's path: every name comes from the catalog. Values are created only where
absent (`If-None-Match: *` where the back end offers it), so a late writer
cannot replace what a success vouches for.
"""

from __future__ import annotations

import functools
import hashlib
import importlib.util
import threading
from collections.abc import Awaitable, Callable, Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import Any, TypeVar

from .base import Store, StoreError, StoreMissing, join
from .direct import RETRY, DirectGets, direct_gets

from .direct import FETCH_CONCURRENCY

T = TypeVar("T")

# The package each URL scheme needs, for the message when it is missing.
EXTRAS = {"s3": "pip install 'orvan[s3]'", "s3a": "pip install 'orvan[s3]'"}


def public_url(url: str) -> str:
    """The URL less any user information (`s3://key:secret@bucket` is a
    form fsspec accepts): what messages and the catalog may show."""
    scheme, sep, rest = url.partition("://")
    if not sep:
        return url
    head, slash, tail = rest.partition("/")
    if "@" in head:
        head = head.rsplit("@", 1)[1]
    return f"{scheme}://{head}{slash}{tail}"


def _filesystem(url: str, options: dict[str, Any]) -> tuple[Any, str]:
    try:
        from fsspec.core import url_to_fs  # type: ignore[import-untyped]  # fsspec ships no types
    except ImportError:
        raise StoreError(f"a store at {public_url(url)} needs fsspec: {EXTRAS['s3']}") from None
    try:
        fs, root = url_to_fs(url, **options)
        return fs, str(root)
    except ImportError as e:
        raise _not_installed(url, str(e)) from None
    except (ValueError, TypeError) as e:
        raise StoreError(f"cannot open the store {public_url(url)}: {e}") from None


def _not_installed(url: str, what: str) -> StoreError:
    scheme = url.partition("://")[0]
    hint = EXTRAS.get(scheme, f"install the fsspec back end for {scheme}://")
    return StoreError(f"the store {public_url(url)} needs a package that is not installed ({what}): {hint}")


def _check_back_end(url: str) -> None:
    """What opening the store would find wrong before its client is
    imported: an unknown scheme, or a back end that is not installed."""
    try:
        from fsspec.registry import known_implementations, registry  # type: ignore[import-untyped]
    except ImportError:
        raise StoreError(f"a store at {public_url(url)} needs fsspec: {EXTRAS['s3']}") from None
    for part in url.split("::"):
        scheme = part.partition("://")[0] if "://" in part else "file"
        if scheme in registry:
            continue
        known = known_implementations.get(scheme)
        if known is None:
            raise StoreError(f"cannot open the store {public_url(url)}: protocol not known: {scheme}")
        module = known["class"].rpartition(".")[0]
        if importlib.util.find_spec(module.partition(".")[0]) is None:
            raise _not_installed(url, f"no module named {module.partition('.')[0]!r}")


class _Opening:
    """The store's client, made on a thread of its own: importing an S3
    client and building it take a few tenths of a second that the command
    spends planning meanwhile. Should the thread fail in any way, the
    client is made again where it is first wanted, and raises there."""

    def __init__(self, url: str, options: dict[str, Any]):
        self.url, self.options = url, options
        self.made: tuple[Any, str] | None = None
        self.thread = threading.Thread(target=self._make, name="orvan-store-open", daemon=True)
        self.thread.start()

    def _make(self) -> None:
        try:
            self.made = _filesystem(self.url, self.options)
        except BaseException:  # made again, and raised, where it is wanted
            pass

    def result(self) -> tuple[Any, str]:
        self.thread.join()
        return self.made or _filesystem(self.url, self.options)


def _client_options(url: str, options: dict[str, Any]) -> dict[str, Any]:
    """The options as given, over defaults that suit many small objects on
    S3: one GET per object (s3fs would otherwise ask each one's size first,
    to split large reads), and no checksums beyond the sha256 that orvan
    records and checks itself."""
    if url.partition("://")[0] not in ("s3", "s3a"):
        return options
    config = {"request_checksum_calculation": "when_required", "response_checksum_validation": "when_required"}
    given = options.get("config_kwargs") or {}
    return {"max_concurrency": 1, **options, "config_kwargs": {**config, **given}}


class RemoteStore(Store):
    remote = True

    def __init__(self, url: str, options: dict[str, Any] | None = None):
        self.url = public_url(url)
        self.options = dict(options or {})
        _check_back_end(url)
        self._opening = _Opening(url, _client_options(url, self.options))

    @functools.cached_property
    def _opened(self) -> tuple[Any, str, DirectGets | None]:
        fs, root = self._opening.result()
        return fs, root.rstrip("/"), direct_gets(fs, self.options)

    @property
    def fs(self) -> Any:
        return self._opened[0]

    @property
    def root(self) -> str:
        return self._opened[1]

    @property
    def _direct(self) -> DirectGets | None:
        return self._opened[2]

    def value_name(self, relpath: str, value_file: str, digest: str | None) -> str:
        stem, dot, ext = value_file.rpartition(".")
        return join(relpath, f"{stem}-{digest}{dot}{ext}")

    def attempt_name(self, relpath: str, run_id: int, attempt: int, file: str) -> str:
        return join(relpath, f"run-{run_id}.{attempt}.{file}")

    def checks_name(self, relpath: str, digest: str) -> str:
        return join(relpath, f"checks-{digest}.json")

    def path(self, name: str) -> str:
        return join(self.root, name) if self.root else name

    def on_loop(self, function: Callable[..., Awaitable[T]], *args: Any) -> T:
        """`function(*args)` run on the client's own event loop."""
        from fsspec.asyn import sync  # type: ignore[import-untyped]

        result: T = sync(self.fs.loop, function, *args)
        return result

    def failed(self, what: str, e: BaseException) -> StoreError:
        return StoreError(f"the store {self.url} failed {what}: {type(e).__name__}: {e}")

    def read(self, name: str) -> bytes:
        try:
            return bytes(self.fs.cat_file(self.path(name)))
        except FileNotFoundError:
            raise StoreMissing(f"{name} is not in the store {self.url}") from None
        except Exception as e:
            raise self.failed(f"to read {name}", e) from None

    def fetch(self, names: Sequence[str]) -> list[bytes]:
        """Every object's bytes, fetched concurrently (at most
        FETCH_CONCURRENCY requests in flight); raises for the first missing."""
        paths = [self.path(n) for n in names]
        try:
            got = self._fetch_paths(paths)
        except StoreError:
            raise
        except Exception as e:
            raise self.failed("to fetch values", e) from None
        out = []
        for name, data in zip(names, got):
            if isinstance(data, FileNotFoundError):
                raise StoreMissing(f"{name} is not in the store {self.url}")
            if isinstance(data, BaseException) or data is None:
                raise self.failed(f"to read {name}", data or LookupError("no answer"))
            out.append(bytes(data))
        return out

    def _fetch_paths(self, paths: list[str]) -> list[Any]:
        """Each path's bytes or the error that kept them."""
        if not paths:
            return []
        if self._direct is not None:
            got = self.on_loop(self._direct.get_all, paths)
            again = [p for p, d in zip(paths, got) if d is RETRY]
            if not again:
                return list(got)
            # Whatever the plain GETs could not settle goes through the
            # client, with its retries and its own errors.
            settled = dict(zip(again, self._fetch_with_client(again)))
            return [settled[p] if d is RETRY else d for p, d in zip(paths, got)]
        return self._fetch_with_client(paths)

    def _fetch_with_client(self, paths: list[str]) -> list[Any]:
        if getattr(self.fs, "async_impl", False):
            got = self.fs.cat(paths, on_error="return", batch_size=FETCH_CONCURRENCY)
            return [got.get(p) for p in paths] if isinstance(got, dict) else [got]
        with ThreadPoolExecutor(min(FETCH_CONCURRENCY, max(1, len(paths)))) as pool:
            return list(pool.map(self._get_or_error, paths))

    def _get_or_error(self, path: str) -> bytes | BaseException:
        try:
            return bytes(self.fs.cat_file(path))
        except Exception as e:
            return e

    def put(self, name: str, data: bytes, *, create: bool) -> bool:
        """Store `data` under `name`; with `create`, only where there is no
        such object yet. False when one was there already."""
        path = self.path(name)
        try:
            if create:
                try:
                    self.fs.pipe_file(path, data, mode="create")
                except TypeError:  # a back end without conditional writes
                    if self.fs.exists(path):
                        return False
                    self.fs.pipe_file(path, data)
            else:
                self.fs.pipe_file(path, data)
        except Exception as e:
            return self._already_there(name, e)
        return True

    def _already_there(self, name: str, e: Exception) -> bool:
        """False, for a create that found the object there; any other failure
        to store is raised as the store's own error."""
        if isinstance(e, FileExistsError) or _precondition_failed(e):
            return False
        raise self.failed(f"to store {name}", e) from None

    def put_many(self, items: Sequence[tuple[str, bytes, bool]]) -> list[bool]:
        """`put` of each (name, data, create), all at once where the client
        can: a job's files cost one round trip, not one each."""
        if self._direct is None:
            return [self.put(name, data, create=create) for name, data, create in items]
        got = self.on_loop(self._direct.put_all, [(self.path(n), d, c) for n, d, c in items])
        again = [i for i, done in enumerate(got) if done is RETRY]
        if again:
            redone = self.on_loop(self._put_all, [items[i] for i in again])
            got = [redone[again.index(i)] if i in again else done for i, done in enumerate(got)]
        return [bool(done) for done in got]

    async def _put_all(self, items: Sequence[tuple[str, bytes, bool]]) -> list[bool]:
        import asyncio

        async def one(name: str, data: bytes, create: bool) -> bool:
            try:
                await self.fs._pipe_file(self.path(name), data, mode="create" if create else "overwrite")
            except Exception as e:
                return self._already_there(name, e)
            return True

        return list(await asyncio.gather(*(one(*item) for item in items)))

    def sizes(self, names: Sequence[str]) -> dict[str, int | None]:
        if not names:
            return {}
        if getattr(self.fs, "async_impl", False):
            # On the client's own event loop: threads would each wait for it.
            paths = [self.path(n) for n in names]
            found = self.on_loop(self._direct.sizes, paths) if self._direct is not None else [RETRY] * len(paths)
            again = [p for p, size in zip(paths, found) if size is RETRY]
            if again:
                asked = dict(zip(again, self.on_loop(self._sizes_async, again)))
                found = [asked[p] if size is RETRY else size for p, size in zip(paths, found)]
            return dict(zip(names, found))
        with ThreadPoolExecutor(min(FETCH_CONCURRENCY, len(names))) as pool:
            return dict(zip(names, pool.map(self._size, names)))

    async def _sizes_async(self, paths: list[str]) -> list[int | None]:
        import asyncio

        bound = asyncio.Semaphore(FETCH_CONCURRENCY)

        async def one(path: str) -> int | None:
            async with bound:
                try:
                    return int((await self.fs._info(path))["size"])
                except FileNotFoundError:
                    return None
                except Exception as e:
                    raise self.failed(f"to stat {path}", e) from None

        return list(await asyncio.gather(*(one(p) for p in paths)))

    def _size(self, name: str) -> int | None:
        try:
            return int(self.fs.size(self.path(name)))
        except FileNotFoundError:
            return None
        except Exception as e:
            raise self.failed(f"to stat {name}", e) from None

    def delete(self, names: Sequence[str]) -> None:
        if not names:
            return
        try:
            self.fs.rm([self.path(n) for n in names])
        except FileNotFoundError:
            pass
        except Exception as e:
            raise self.failed("to delete objects", e) from None

    def names(self) -> list[str]:
        """Every object under the root: for `orvan clean` alone, which must
        find what no catalog row names any more."""
        try:
            found = self.fs.find(self.root) if self.root else []
        except FileNotFoundError:
            return []
        except Exception as e:
            raise self.failed("to list its objects", e) from None
        prefix = self.root + "/"
        return [p[len(prefix):] for p in found if p.startswith(prefix)]

    def verify(self, name: str, digest: str) -> bool:
        """Whether the object holds bytes with this sha256."""
        try:
            return hashlib.sha256(self.read(name)).hexdigest() == digest
        except StoreMissing:
            return False


def _precondition_failed(e: BaseException | None) -> bool:
    """Whether a conditional create found the object there (HTTP 412). s3fs
    turns the client's error into an OSError; the original is its cause."""
    seen = 0
    while e is not None and seen < 5:
        response = getattr(e, "response", None)
        if isinstance(response, dict):
            error = response.get("Error", {})
            if str(error.get("Code", "")) in ("PreconditionFailed", "412"):
                return True
            if response.get("ResponseMetadata", {}).get("HTTPStatusCode") == 412:
                return True
        e, seen = e.__cause__ or e.__context__, seen + 1
    return False
