#!/usr/bin/env python3
"""What each connection costs kelvo-server: N plain sockets log in at once and
then sit idle; the server's threads, descriptors, memory, idle CPU and
wake-ups are read from /proc before and after.

    scale_check.py SERVER [N=10000] [--idle SECONDS] [--server-arg ARG ...]

The clients are raw sockets in this process (one descriptor each, no client
library), so the figures are the server's alone. The seed file gives every
client its own account, with no friends: a login then costs the server what
any login costs, plus whatever it spends on accounts that are not involved.
"""
import argparse
import hashlib
import os
import resource
import selectors
import socket
import struct
import subprocess
import sys
import tempfile
import time

LOGIN = 13
LOGIN_OK = 51
LOGIN_FAIL = 52
CATEGORY = 11
FIRST_ID = 100000


def login_request(user_id, password):
    body = struct.pack("<IB", user_id, 1) + hashlib.md5(password.encode()).digest() + bytes(33)
    size = 4 + len(body)
    return struct.pack("<HBB", size, (CATEGORY << 2) | 2, LOGIN) + body


def proc_status(pid):
    fields = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            fields[key] = value.strip()
    return fields


def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as f:
        parts = f.read().rsplit(")", 1)[1].split()
    return int(parts[11]) + int(parts[12])  # utime + stime


def context_switches(pid):
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            status = proc_status(f"{pid}/task/{task}")
        except FileNotFoundError:
            continue
        total += int(status["voluntary_ctxt_switches"]) + int(status["nonvoluntary_ctxt_switches"])
    return total


def snapshot(pid):
    status = proc_status(pid)
    return {
        "threads": int(status["Threads"]),
        "fds": len(os.listdir(f"/proc/{pid}/fd")),
        "rss_kib": int(status["VmRSS"].split()[0]),
    }


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("server")
    ap.add_argument("clients", type=int, nargs="?", default=10000)
    ap.add_argument("--idle", type=float, default=10.0)
    ap.add_argument("--server-arg", action="append", default=[], dest="server_args",
                    help="one more argument for the server (repeat for several)")
    args = ap.parse_args()
    n = args.clients

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    if hard < n + 64:
        sys.exit(f"descriptor limit {hard} is too low for {n} sockets")

    seed = tempfile.NamedTemporaryFile("w", suffix=".seed", delete=False)
    for i in range(n):
        seed.write(f"user {FIRST_ID + i} b{FIRST_ID + i} pw\n")
    seed.close()
    server = subprocess.Popen([args.server, "--port", "0", "--seed", seed.name] + args.server_args,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        line = server.stdout.readline()
        if not line.startswith("listening on "):
            sys.exit(f"the server did not start: {line!r}")
        port = int(line.rsplit(":", 1)[1])
        time.sleep(0.2)
        base = snapshot(server.pid)

        sel = selectors.DefaultSelector()
        socks = []
        start = time.monotonic()
        cpu_start = cpu_ticks(server.pid)
        pending = {}
        for i in range(n):
            s = socket.socket()
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            s.connect(("127.0.0.1", port))
            s.sendall(login_request(FIRST_ID + i, "pw"))
            s.setblocking(False)
            socks.append(s)
            pending[s] = b""
            sel.register(s, selectors.EVENT_READ)
        done = 0
        failed = 0
        deadline = time.monotonic() + 60
        while pending and time.monotonic() < deadline:
            for key, _ in sel.select(timeout=1):
                s = key.fileobj
                data = s.recv(65536)
                if not data:
                    sel.unregister(s)
                    pending.pop(s, None)
                    failed += 1
                    continue
                buf = pending.get(s, b"") + data
                while len(buf) >= 4:
                    size = struct.unpack_from("<H", buf)[0] & 0x7FFF
                    if size < 4 or len(buf) < size:
                        break
                    msg_id = buf[3]
                    buf = buf[size:]
                    if msg_id in (LOGIN_OK, LOGIN_FAIL) and s in pending:
                        done += msg_id == LOGIN_OK
                        failed += msg_id == LOGIN_FAIL
                        sel.unregister(s)
                        del pending[s]
                        break
                if s in pending:
                    pending[s] = buf
        login_s = time.monotonic() - start
        login_cpu = (cpu_ticks(server.pid) - cpu_start) / os.sysconf("SC_CLK_TCK")
        # Let the replies that follow the login answer drain.
        time.sleep(0.5)
        for s in socks:
            try:
                while s.recv(65536):
                    pass
            except BlockingIOError:
                pass
        loaded = snapshot(server.pid)
        hz = os.sysconf("SC_CLK_TCK")
        cpu0, cs0, t0 = cpu_ticks(server.pid), context_switches(server.pid), time.monotonic()
        time.sleep(args.idle)
        cpu1, cs1, t1 = cpu_ticks(server.pid), context_switches(server.pid), time.monotonic()
        idle_cpu = (cpu1 - cpu0) / hz / (t1 - t0) * 100
        wakeups = (cs1 - cs0) / (t1 - t0)

        print(f"kelvo-server with {n} logged-in idle connections ({done} ok, {failed} failed, "
              f"{len(pending)} unanswered)")
        print(f"  logins       all answered in {login_s:.2f} s, {login_cpu:.2f} s of server CPU")
        print(f"  threads      {base['threads']} -> {loaded['threads']}")
        print(f"  descriptors  {base['fds']} -> {loaded['fds']}  "
              f"({(loaded['fds'] - base['fds']) / n:.2f} per connection)")
        print(f"  memory (RSS) {base['rss_kib']} KiB -> {loaded['rss_kib']} KiB  "
              f"({(loaded['rss_kib'] - base['rss_kib']) * 1024 / n:.0f} bytes per connection)")
        print(f"  idle CPU     {idle_cpu:.3f}% of a core over {t1 - t0:.1f} s")
        print(f"  wake-ups     {wakeups:.1f} per second")
        for s in socks:
            s.close()
        return 0 if done == n else 1
    finally:
        server.terminate()
        try:
            server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            server.kill()
        os.unlink(seed.name)


if __name__ == "__main__":
    sys.exit(main())
