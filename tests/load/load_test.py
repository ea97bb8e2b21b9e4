#!/usr/bin/env python3
"""kelvo-bots against kelvo-server, as a server team runs them:

  crowd     2,000 bots log in and chat with each other; the JSON summary
            must show every one logged in, chats answered both ways, none
            lost and no failure.
  refused   bots whose logins the server refuses (wrong password, unknown
            account) and bots that find no server: failures grouped by the
            reason the server or the module gave, and exit status 1 once
            their share passes --max-failures.
  accept    kelvo-server out of descriptors: it says so once and waits,
            rather than retrying the accept in a tight loop, and takes the
            waiting connections once descriptors are free again.

usage: load_test.py --server PATH --bots PATH CASE
Exit status 77 (skipped) when the descriptor limit is too low for the crowd.
"""

import argparse
import json
import os
import resource
import socket
import subprocess
import sys
import tempfile
import time

SKIP = 77
FIRST_ID = 500000


def fail(text):
    print("FAIL: " + text)
    sys.exit(1)


class Server:
    """kelvo-server on a free loopback port, its log in a file."""

    def __init__(self, path, seed, limit=None):
        self.log = tempfile.NamedTemporaryFile("w+", suffix=".log")
        preexec = None
        if limit is not None:
            preexec = lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (limit, limit))
        self.process = subprocess.Popen(
            [path, "--port", "0", "--seed", seed], stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=self.log, text=True, preexec_fn=preexec)
        line = self.process.stdout.readline()
        if not line.startswith("listening on "):
            fail("kelvo-server did not start: %r\n%s" % (line, self.read_log()))
        self.port = int(line.rsplit(":", 1)[1])

    def read_log(self):
        with open(self.log.name, encoding="utf-8", errors="replace") as f:
            return f.read()

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.log.close()


def write_seed(bots, first_id, count, password):
    seed = tempfile.NamedTemporaryFile("w", suffix=".seed", delete=False)
    seed.close()
    run = subprocess.run([bots, "--first-id", str(first_id), "--clients", str(count),
                          "--password", password, "--write-seed", seed.name],
                         capture_output=True, text=True, timeout=60)
    if run.returncode != 0:
        fail("--write-seed: %s" % run.stderr)
    return seed.name


def run_bots(bots, args, timeout=240):
    run = subprocess.run([bots, "--json", "--quiet"] + args, capture_output=True, text=True,
                         timeout=timeout, stdin=subprocess.DEVNULL)
    try:
        summary = json.loads(run.stdout)
    except ValueError:
        fail("no JSON summary (exit %d)\nstdout: %s\nstderr: %s" % (run.returncode, run.stdout,
                                                                    run.stderr))
    return run.returncode, summary, run.stderr


def expect(condition, what, summary, server=None):
    if not condition:
        detail = json.dumps(summary, indent=1, ensure_ascii=False)
        if server is not None:
            detail += "\nserver log (end):\n" + server.read_log()[-3000:]
        fail(what + "\n" + detail)


def case_crowd(args):
    clients = 2000
    # Today's fallback gives every client a thread and four descriptors.
    need = clients * 4 + 256
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard < need:
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (need, need))
        except (ValueError, OSError):
            print("SKIP: descriptor limit %d is below the %d that %d clients may need"
                  % (hard, need, clients))
            return SKIP
    seed = write_seed(args.bots, FIRST_ID, clients, "pw{id}")
    server = Server(args.server, seed)
    try:
        status, s, stderr = run_bots(args.bots, [
            "--server", "127.0.0.1:%d" % server.port, "--seed", seed, "--ramp", "4000",
            "--duration", "2", "--chat-rate", "1", "--timeout", "60", "--drain", "30"])
        expect(status == 0, "exit status %d\n%s" % (status, stderr), s, server)
        expect(s["clients"] == clients and s["connected"] == clients
               and s["logged_in"] == clients and s["all_logged_in_s"] is not None,
               "not every bot logged in", s, server)
        expect(s["failed"] == 0 and s["failures"] == {} and s["passed"], "failures", s, server)
        chats = s["chats"]
        # Pings go out and come in, and each one that came in was answered
        # and the answer came back: chats in both directions, none lost.
        expect(chats["pings_sent"] > 0 and chats["pings_received"] == chats["pings_sent"],
               "pings lost", s, server)
        expect(chats["answers_sent"] == chats["pings_received"]
               and chats["answers_received"] == chats["answers_sent"]
               and chats["unanswered"] == 0, "answers lost", s, server)
        expect(s["round_trip_ms"]["count"] == chats["answers_received"]
               and 0 < s["round_trip_ms"]["p50"] <= s["round_trip_ms"]["max"],
               "round trips not measured", s, server)
        expect(chats["refused"] == 0 and chats["other_received"] == 0, "stray chats", s, server)
    finally:
        server.stop()
        os.unlink(seed)
    return 0


def case_refused(args):
    seed = write_seed(args.bots, FIRST_ID, 10, "right")
    server = Server(args.server, seed)
    mine = tempfile.NamedTemporaryFile("w", suffix=".seed", delete=False)
    mine.close()
    try:
        # Two bots on one account would push each other out: refused.
        with open(mine.name, "w") as f:
            f.write("user %d a right\nuser %d b right\n" % (FIRST_ID, FIRST_ID))
        run = subprocess.run([args.bots, "--server", "127.0.0.1:%d" % server.port,
                              "--seed", mine.name], capture_output=True, text=True, timeout=60)
        if run.returncode != 2 or "defined twice" not in run.stderr:
            fail("a seed file defining an account twice was taken (exit %d): %s"
                 % (run.returncode, run.stderr))
        # The bots' accounts: 5 the server knows with the right password, 5
        # with a wrong one, 5 it has never heard of.
        with open(mine.name, "w") as f:
            for i in range(5):
                f.write("user %d b right\n" % (FIRST_ID + i))
            for i in range(5, 10):
                f.write("user %d b wrong   # comments are skipped\n" % (FIRST_ID + i))
            for i in range(5):
                f.write("user %d b right\n" % (FIRST_ID + 100 + i))
        common = ["--server", "127.0.0.1:%d" % server.port, "--seed", mine.name,
                  "--duration", "0", "--chat-rate", "0"]
        status, s, stderr = run_bots(args.bots, common + ["--max-failures", "40%"])
        expect(status == 1, "exit status %d with 10 of 15 failed, 40%% allowed\n%s" % (status, stderr),
               s, server)
        expect(s["logged_in"] == 5 and s["failed"] == 10 and not s["passed"]
               and abs(s["failure_share"] - 10 / 15) < 1e-6, "wrong counts", s, server)
        expect(s["failures"] == {"login refused: 密码错误": 5, "login refused: 用户不存在": 5},
               "failures not grouped by the server's reason", s, server)
        status, s, _ = run_bots(args.bots, common + ["--max-failures", "0.7"])
        expect(status == 0 and s["passed"], "exit status %d with 10 of 15 failed, 70%% allowed"
               % status, s, server)

        # Nobody listening: the module's reason, without the address.
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            closed_port = probe.getsockname()[1]
        status, s, _ = run_bots(args.bots, ["--server", "127.0.0.1:%d" % closed_port,
                                            "--first-id", "7", "--clients", "3"])
        expect(status == 1 and s["connected"] == 0
               and s["failures"] == {"connect: connection refused": 3},
               "refused connections not reported by reason", s)
    finally:
        server.stop()
        os.unlink(seed)
        os.unlink(mine.name)
    return 0


def case_accept(args):
    seed = write_seed(args.bots, FIRST_ID, 1, "pw")
    limit = 32
    server = Server(args.server, seed, limit=limit)
    clients = []
    try:
        # More connections than the server has descriptors: the kernel
        # completes them all, the server accepts until it runs out.
        for _ in range(limit + 8):
            clients.append(socket.create_connection(("127.0.0.1", server.port), timeout=10))

        def wait_log(text, seconds):
            deadline = time.monotonic() + seconds
            while time.monotonic() < deadline:
                log = server.read_log()
                if text in log:
                    return log
                time.sleep(0.05)
            fail("kelvo-server never logged %r\n%s" % (text, server.read_log()[-3000:]))

        wait_log("accept failed", 20)
        accepted = server.read_log().count("connected from")
        for c in clients[:20]:
            c.close()
        log = wait_log("accepting connections again", 20)
        stalls = log.count("accept failed")
        if stalls != 1:
            fail("%d 'accept failed' lines for one shortage (a busy retry loop)" % stalls)
        # Those that waited in the backlog are taken now.
        deadline = time.monotonic() + 20
        while server.read_log().count("connected from") < limit + 8:
            if time.monotonic() > deadline:
                fail("only %d of %d connections accepted after the shortage (%d before)"
                     % (server.read_log().count("connected from"), limit + 8, accepted))
            time.sleep(0.05)
    finally:
        for c in clients:
            c.close()
        server.stop()
        os.unlink(seed)
    return 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", required=True)
    ap.add_argument("--bots", required=True)
    ap.add_argument("case", choices=["crowd", "refused", "accept"])
    args = ap.parse_args()
    return {"crowd": case_crowd, "refused": case_refused, "accept": case_accept}[args.case](args)


if __name__ == "__main__":
    sys.exit(main())
