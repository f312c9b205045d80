"""Plain HTTP GETs and PUTs of S3 objects, for a fan-in's many small values
and a job's few small files.

The S3 client spends about a millisecond of CPU on each request (its event
hooks, its user-agent text, parsing the response's headers into a dict of
dates), more than a local server takes to answer: a few hundred GETs on one
event loop wait on that CPU, not on the network. Here the client only signs
each GET's URL (a presigned URL: its endpoint, addressing style and
credentials, whatever they are) and a bare aiohttp session fetches it, at
most FETCH_CONCURRENCY at a time, on the client's own event loop.

Anything but a 200 or a 404 (a refusal, a redirect, a reset connection) is
left to the client, with its retries and its own errors: RETRY.
"""

from __future__ import annotations

import asyncio
import os
import ssl
import weakref
from collections.abc import Awaitable, Callable
from typing import Any

# The most requests in flight for one fan-in or one size check. More only
# queue up in the server (and a local one answers slower for it).
FETCH_CONCURRENCY = 32
# A signed URL is used at once; this only bounds a slow fan-in.
URL_LIFETIME = 3600

RETRY = object()


class DirectGets:
    def __init__(self, fs: Any, verify: bool | str | None, plain_http: bool = False):
        self.fs = fs
        self.verify = verify
        # No TLS to set up (loading a CA bundle takes a while) for http://.
        self.plain_http = plain_http
        self._session: Any = None
        self._loop: asyncio.AbstractEventLoop | None = None

    def _ssl(self) -> bool | ssl.SSLContext:
        if self.plain_http or self.verify is False:
            return False
        if isinstance(self.verify, str):
            return ssl.create_default_context(cafile=self.verify)
        return True

    async def _open(self) -> Any:
        # A forked process has a loop of its own: a session is bound to one.
        loop = asyncio.get_running_loop()
        if self._session is None or self._session.closed or self._loop is not loop:
            import aiohttp

            self._loop = loop

            connector = aiohttp.TCPConnector(limit=FETCH_CONCURRENCY, ssl=self._ssl())
            # No proxies (see direct_gets), and no netrc looked up per request.
            self._session = aiohttp.ClientSession(connector=connector, trust_env=False)
            weakref.finalize(self, _close, self.fs.loop, self._session)
        return self._session

    async def _each(self, paths: list[str], request: Callable[[Any, str], Awaitable[Any]]) -> list[Any]:
        """`request(session, path)` for every path, at most FETCH_CONCURRENCY at once."""
        session = await self._open()
        bound = asyncio.Semaphore(FETCH_CONCURRENCY)

        async def one(path: str) -> Any:
            async with bound:
                return await request(session, path)

        return list(await asyncio.gather(*(one(p) for p in paths)))

    async def get_all(self, paths: list[str]) -> list[Any]:
        """Each path's bytes, FileNotFoundError, or RETRY."""
        return await self._each(paths, self._get)

    async def _signed(self, method: str, path: str) -> str:
        """The URL that does `method` on the object, signed by the client."""
        bucket, key, version = self.fs.split_path(path)
        params = {"Bucket": bucket, "Key": key, **({"VersionId": version} if version else {})}
        await self.fs.set_session()  # the client, made on first use
        client = await self.fs.get_s3(bucket)
        url: str = await client.generate_presigned_url(method, Params=params, ExpiresIn=URL_LIFETIME)
        return url

    async def _get(self, session: Any, path: str) -> Any:
        try:
            url = await self._signed("get_object", path)
            async with session.get(url, allow_redirects=False) as response:
                if response.status == 200:
                    return await response.read()
                if response.status == 404:
                    return FileNotFoundError(path)
                return RETRY
        except Exception:  # the client tries again and says what is wrong
            return RETRY

    async def sizes(self, paths: list[str]) -> list[Any]:
        """Each path's size, None where there is no such object, or RETRY."""
        return await self._each(paths, self._size)

    async def _size(self, session: Any, path: str) -> Any:
        try:
            url = await self._signed("head_object", path)
            async with session.head(url, allow_redirects=False) as response:
                if response.status == 200 and response.content_length is not None:
                    return int(response.content_length)
                return None if response.status == 404 else RETRY
        except Exception:
            return RETRY

    async def put_all(self, items: list[tuple[str, bytes, bool]]) -> list[Any]:
        """Store each (path, data, create): True, False where a create
        found the object there (412), or RETRY."""
        session = await self._open()
        return list(await asyncio.gather(*(self._put(session, *item) for item in items)))

    async def _put(self, session: Any, path: str, data: bytes, create: bool) -> Any:
        try:
            url = await self._signed("put_object", path)
            # Only the URL is signed; a Content-Type of aiohttp's own would
            # be part of what some signatures cover.
            headers = {"If-None-Match": "*"} if create else {}
            async with session.put(url, data=data, headers=headers, allow_redirects=False,
                                   skip_auto_headers=("Content-Type",)) as response:
                await response.read()
                if response.status == 200:
                    return True
                if response.status == 412 and create:
                    return False
                return RETRY
        except Exception:
            return RETRY


def direct_gets(fs: Any, options: dict[str, Any]) -> DirectGets | None:
    """Plain GETs for an s3fs file system whose reads need no more than a
    signed URL; None for any other (its own client reads it)."""
    if type(fs).__name__ != "S3FileSystem" or not hasattr(fs, "get_s3"):
        return None
    # Reads that need headers of their own (requester pays, customer keys)
    # stay with the client.
    if options.get("requester_pays") or options.get("sse_customer_key") or options.get("version_aware"):
        return None
    # Through a proxy as well.
    if any(os.environ.get(v) for v in ("HTTP_PROXY", "HTTPS_PROXY", "http_proxy", "https_proxy", "ALL_PROXY")):
        return None
    client_kwargs = options.get("client_kwargs") or {}
    verify = client_kwargs.get("verify", os.environ.get("AWS_CA_BUNDLE"))
    endpoint = options.get("endpoint_url") or client_kwargs.get("endpoint_url") or \
        os.environ.get("AWS_ENDPOINT_URL_S3") or os.environ.get("AWS_ENDPOINT_URL") or ""
    return DirectGets(fs, verify, str(endpoint).startswith("http://"))


def _close(loop: Any, session: Any) -> None:
    if session.closed or not loop.is_running():
        return
    try:
        asyncio.run_coroutine_threadsafe(session.close(), loop).result(timeout=2)
    except Exception:
        pass
