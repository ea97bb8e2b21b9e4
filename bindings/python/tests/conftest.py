"""A kelvo-server of its own for every test, on a free loopback port, and
helpers that log a client in through the binding."""

import os
import select
import subprocess
import sys
import time

import pytest

import kelvo

_ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
SERVER = os.environ.get("KELVO_SERVER",
                        os.path.join(_ROOT, "build", "debug", "tools", "kelvo_server",
                                     "kelvo-server"))
# KELVO_TEST_INSTALLED=1: the tests run against a package installed from the
# wheel, with the module the wheel carries; anything else is a mistake.
INSTALLED = os.environ.get("KELVO_TEST_INSTALLED") == "1"
if INSTALLED:
    assert "KELVO_MODULE" not in os.environ, "the installed package must use its own module"
    assert os.path.realpath(kelvo.__file__).startswith(os.path.realpath(sys.prefix)), \
        "kelvo imported from %s, not from the environment %s" % (kelvo.__file__, sys.prefix)
else:
    os.environ.setdefault("KELVO_MODULE",
                          os.path.join(_ROOT, "build", "debug", "libkelvocore.so"))
    os.environ["KELVO_MODULE"] = os.path.abspath(os.environ["KELVO_MODULE"])
MODULE = os.environ.get("KELVO_MODULE") or kelvo._native.find_module()


class Server:
    def __init__(self, seed=None, options=()):
        self.proc = subprocess.Popen(
            [SERVER, "--bind", "127.0.0.1", "--port", "0", "--admin-stdin"]
            + (["--seed", seed] if seed else []) + list(options),
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        line = self._read_line(10.0)
        if not line.startswith("listening on 127.0.0.1:"):
            self.stop()
            raise RuntimeError("kelvo-server did not start: %r" % line)
        self.port = int(line.rsplit(":", 1)[1])

    def _read_line(self, timeout):
        ready, _, _ = select.select([self.proc.stdout], [], [], timeout)
        return self.proc.stdout.readline().decode().strip() if ready else ""

    def admin(self, command):
        """Runs one console command and returns the server's reply line."""
        self.proc.stdin.write((command + "\n").encode())
        self.proc.stdin.flush()
        return self._read_line(5.0)

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


@pytest.fixture
def server():
    s = Server()
    yield s
    s.stop()


@pytest.fixture
def seeded_server(tmp_path):
    """seeded_server(text) -> a Server loaded with that seed file."""
    servers = []

    def make(text):
        path = tmp_path / ("seed%d" % len(servers))
        path.write_text(text, encoding="utf-8")
        servers.append(Server(str(path)))
        return servers[-1]

    yield make
    for s in servers:
        s.stop()


@pytest.fixture
def login(server):
    """login(user_id, password) -> a logged-in Client, released after the test."""
    clients = []

    def make(user_id, password, **options):
        c = kelvo.Client(**options)
        clients.append(c)
        c.seen = []  # every event from the start, also those the login pumped
        c.on(kelvo.Event, c.seen.append)
        assert c.connect("127.0.0.1", server.port)
        assert c.wait_for(kelvo.Connected).ok
        assert c.login(user_id, password)
        result = c.wait_for(kelvo.LoginResult)
        assert result.ok, result.text
        # The roster follows the login result; the own record comes with it.
        deadline = time.monotonic() + 5
        while c.my_info is None and time.monotonic() < deadline:
            c.pump()
            c.wait_for_events(0.05)
        assert c.my_info is not None
        return c

    yield make
    for c in clients:
        c.release()
