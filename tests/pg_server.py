"""A real PostgreSQL server for the tests: Debian's `postgresql` package
(scripts/system-deps.sh installs it), started with `initdb` and `pg_ctl` on
127.0.0.1 on a free port, in a temporary directory, as an unprivileged user
when the tests run as root (PostgreSQL refuses to run as root)."""

from __future__ import annotations

import glob
import itertools
import os
import pwd
import shutil
import socket
import subprocess
import tempfile
from pathlib import Path


def bindir() -> str:
    """Where `initdb` and `pg_ctl` are: `pg_config --bindir`, else the
    newest /usr/lib/postgresql/N/bin."""
    try:
        found = subprocess.run(["pg_config", "--bindir"], capture_output=True, text=True).stdout.strip()
        if found and os.path.exists(os.path.join(found, "initdb")):
            return found
    except OSError:
        pass
    found_dirs = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"), key=lambda p: int(p.split("/")[4]))
    if not found_dirs:
        raise RuntimeError("PostgreSQL's initdb is missing: run make install (scripts/system-deps.sh installs "
                           "the postgresql package)")
    return os.path.dirname(found_dirs[-1])


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


class PgServer:
    """One server; `restart` keeps its data and port. Each `database()` is a
    new, empty database on it."""

    user = "orvan"

    def __init__(self, durable: bool = False) -> None:
        # Durable as a server in use is (fsync on): for benchmarks.
        self.durable = durable
        self.bin = bindir()
        self.root = Path(tempfile.mkdtemp(prefix="orvan-pg-"))
        self.data = self.root / "data"
        self.port = free_port()
        self._as: list[str] = []
        if os.geteuid() == 0:
            # The server's files belong to the user it runs as.
            runuser = shutil.which("runuser") or next(p for p in ("/usr/sbin/runuser", "/sbin/runuser")
                                                      if os.path.exists(p))
            self._as = [runuser, "-u", "nobody", "--"]
            nobody = pwd.getpwnam("nobody")
            os.chown(self.root, nobody.pw_uid, nobody.pw_gid)
        self._names = itertools.count()
        self._run("initdb", "-D", str(self.data), "-U", self.user, "--auth=trust", "-E", "UTF8", "--no-sync")
        self.start()

    def _run(self, tool: str, *args: str) -> None:
        # Not the sanitizer runtime the suite may run under: the server is not built for it.
        env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
        done = subprocess.run([*self._as, os.path.join(self.bin, tool), *args], capture_output=True, text=True,
                              stdin=subprocess.DEVNULL, timeout=120, env=env)
        if done.returncode != 0:
            raise RuntimeError(f"{tool} failed: {done.stdout}{done.stderr}{self.log()}")

    def log(self) -> str:
        try:
            return (self.root / "log").read_text()[-3000:]
        except OSError:
            return ""

    def _options(self) -> str:
        # Unless asked, not durable across a crash of this machine: the tests never need it.
        return (f"-p {self.port} -k {self.root} -c listen_addresses=127.0.0.1 -c max_connections=200"
                + ("" if self.durable else " -c fsync=off -c full_page_writes=off"))

    def start(self) -> None:
        self._run("pg_ctl", "-D", str(self.data), "-l", str(self.root / "log"), "-o", self._options(), "-w", "start")

    def restart(self) -> None:
        self._run("pg_ctl", "-D", str(self.data), "-l", str(self.root / "log"), "-m", "fast", "-o", self._options(),
                  "-w", "restart")

    def stop(self) -> None:
        self._run("pg_ctl", "-D", str(self.data), "-m", "immediate", "-w", "stop")

    def url(self, database: str = "postgres") -> str:
        return f"postgresql://{self.user}@127.0.0.1:{self.port}/{database}"

    def database(self) -> str:
        """The URL of a new, empty database."""
        import psycopg

        name = f"t{os.getpid()}_{next(self._names)}"
        with psycopg.connect(self.url(), autocommit=True) as conn:
            conn.execute(f'CREATE DATABASE "{name}"')
        return self.url(name)

    def close(self) -> None:
        try:
            self.stop()
        finally:
            shutil.rmtree(self.root, ignore_errors=True)
