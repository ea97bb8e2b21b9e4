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

The churn soak (kelvo-bots --churn), also under the sanitizers:

  churn     --cycles cycles (default 5,000) of create, connect, log in,
            chat, end by Close, Release or Release in a callback, over
            every delivery mode: no problem, no hang, descriptors and
            threads back where they started.
  unload    cycles ended by the host with the module unloaded and loaded
            again every 100: the module's file really goes each time.
  chaos     the churn against kelvo-server --chaos for --seconds (default
            60), the server's drop among the ends: every end reported once
            with one reason line; the faults injected and the reasons
            reported, by kind.
  chaos-tls the same over TLS, the server's certificate verified.
  drops     a server that drops every connection (reset or FIN mid-message):
            each drop reported exactly once, with its reason.

Reconnection (kelvo-bots --reconnect):

  reconnect 300 bots logged in; the server is killed (SIGKILL) and started
            again on the same port about a second later: every bot logs in
            again within the cap + 2 s of the restart, and no second holds
            more than a third of those logins (full jitter spreads them).

usage: load_test.py --server PATH --bots PATH [--sanitized] [--cycles N] [--seconds S] CASE
Exit status 77 (skipped) when the descriptor limit is too low for the crowd.
"""

import argparse
import json
import os
import re
import resource
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

SKIP = 77
FIRST_ID = 500000


def fail(text):
    print("FAIL: " + text)
    sys.exit(1)


class Server:
    """kelvo-server on a free loopback port, its log in a file."""

    def __init__(self, path, seed, limit=None, extra=(), port=0):
        self.log = tempfile.NamedTemporaryFile("w+", suffix=".log")
        preexec = None
        if limit is not None:
            preexec = lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (limit, limit))
        self.process = subprocess.Popen(
            [path, "--port", str(port), "--seed", seed] + list(extra), stdin=subprocess.DEVNULL,
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


SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                   "WARNING: ThreadSanitizer")
SLOTS = 8


def sanitizer_report(text):
    for mark in SANITIZER_MARKS:
        at = text.find(mark)
        if at >= 0:
            return text[max(0, at - 200):at + 6000]
    return None


def run_churn(args, server, seed, extra, timeout):
    """kelvo-bots --churn with `extra`; its JSON summary, after the checks
    every run shares: no crash, no hang, no sanitizer report, passed."""
    command = [args.bots, "--json", "--server", "127.0.0.1:%d" % server.port, "--seed", seed,
               "--clients", str(SLOTS)] + extra
    if args.sanitized:
        # The sanitizer's quarantine holds freed memory back: resident
        # memory says nothing about leaks there (LeakSanitizer does).
        command += ["--max-growth-kib", "10000000"]
    print("$ " + " ".join(command))
    run = subprocess.run(command, capture_output=True, text=True, timeout=timeout,
                         stdin=subprocess.DEVNULL)
    sys.stdout.write(run.stderr if len(run.stderr) < 4000 else run.stderr[-4000:])
    report = sanitizer_report(run.stderr)
    if report is not None:
        fail("sanitizer report from kelvo-bots:\n" + report)
    if run.returncode < 0:
        fail("kelvo-bots died of signal %d\n%s" % (-run.returncode, run.stderr[-3000:]))
    lines = run.stdout.strip().splitlines()
    try:
        summary = json.loads(lines[-1])
    except (ValueError, IndexError):
        fail("no JSON summary (exit %d)\nstdout: %s\nstderr: %s" % (run.returncode, run.stdout,
                                                                    run.stderr[-3000:]))
    if summary.get("hang"):
        fail("a host call hung\n" + run.stderr[-3000:])
    print("cycles %d in %.1f s; modes %s; ends %s" % (summary["cycles"], summary["run_s"],
                                                     summary["modes"], summary["ends"]))
    print("reasons reported, by kind: %s" % json.dumps(summary["reasons"], ensure_ascii=False))
    print("VmRSS after the first tenth and after: %s KiB; growth %d KiB" % (
        [m["rss_kib"] for m in summary["marks"] if m["percent"] >= 10], summary["growth_kib"]))
    print("descriptors %d -> %d, threads %d -> %d" % (
        summary["start"]["descriptors"], summary["end"]["descriptors"],
        summary["start"]["threads"], summary["end"]["threads"]))
    expect(run.returncode == 0 and summary["passed"] and summary["problems"] == 0
           and summary["failures"] == [], "the churn failed (exit %d)" % run.returncode, summary,
           server)
    expect(summary["end"]["descriptors"] == summary["start"]["descriptors"]
           and summary["end"]["threads"] == summary["start"]["threads"],
           "descriptors or threads left behind", summary, server)
    # Every report came with exactly one reason line (the tool checks each
    # connection; this is the sum).
    expect(summary["reason_lines"] == summary["server_ended"] + summary["failed_attempts"],
           "reason lines and end reports do not pair up", summary, server)
    return summary


def stop_chaos_server(server):
    """SIGTERM; the faults the server injected, by kind, from its last line."""
    server.process.terminate()
    server.process.wait(timeout=30)
    log = server.read_log()
    report = sanitizer_report(log)
    if report is not None:
        fail("sanitizer report from kelvo-server:\n" + report)
    found = re.findall(r"chaos: (\d+) injected of (\d+) planned: (.*)", log)
    if not found:
        fail("kelvo-server printed no chaos counts at SIGTERM\n" + log[-3000:])
    injected = {}
    for item in found[-1][2].split(", "):
        kind, count = item.rsplit(" ", 1)
        injected[kind] = int(count)
    print("faults injected by kind: %s (%s of %s planned)" % (injected, found[-1][0],
                                                             found[-1][1]))
    return injected


def churn_seed(args):
    return write_seed(args.bots, FIRST_ID, SLOTS, "pw{id}")


def case_churn(args):
    seed = churn_seed(args)
    server = Server(args.server, seed)
    try:
        # Case unload unloads, after host ends only.
        s = run_churn(args, server, seed, ["--churn", str(args.cycles)], 900)
        expect(s["cycles"] == args.cycles, "not every cycle ran", s, server)
        expect(sorted(s["modes"]) == ["own", "pump", "shared", "shared-pump"],
               "a delivery mode never came up", s, server)
        for end in ("close", "release", "released in OnLoginResult", "released in OnChatMessage"):
            expect(s["ends"].get(end, 0) > 0, "no cycle ended by " + end, s, server)
        expect(s["logged_in"] > 0 and s["echoes"] > 0, "no login or chat", s, server)
        expect(s["strays"] == 0, "callbacks after their cycle", s, server)
    finally:
        server.stop()
        os.unlink(seed)
    return 0


def case_unload(args):
    seed = churn_seed(args)
    server = Server(args.server, seed)
    try:
        s = run_churn(args, server, seed, ["--churn", "1000", "--ends", "close,release",
                                           "--unload-every", "100"], 600)
        expect(s["unloads"] >= 5, "the module was hardly unloaded", s, server)
        # Nothing pins the module after host ends but a connection still
        # flushing, which these cycles hardly leave.
        expect(s["unmapped"] >= 1, "the module never left the address space", s, server)
        print("unloads %d, the module's file unmapped after %d" % (s["unloads"], s["unmapped"]))
    finally:
        server.stop()
        os.unlink(seed)
    return 0


def chaos_run(args, server_extra, bots_extra, seconds):
    seed = churn_seed(args)
    server = Server(args.server, seed, extra=["--chaos", "20240611"] + server_extra)
    try:
        # The memory budget is wider than for the plain churn: a run of a
        # minute is still warming up. Measured in a release build, the
        # chaos run grew 1.36 MiB from its first tenth over 14,000 cycles,
        # the last 4,000 of them +0.1 MiB; the TLS churn +2 MiB from cycle
        # 2,000 to 10,000 (OpenSSL's state), flat from there to 20,000.
        s = run_churn(args, server, seed, ["--churn-seconds", str(seconds), "--ends", "all",
                                           "--drop-wait", "1", "--chat-wait", "1",
                                           "--max-growth-kib", "4096"]
                      + bots_extra, seconds + 300)
        expect(s["server_ended"] > 0, "the chaos server never ended a connection", s, server)
        expect(s["strays"] == 0, "callbacks after their cycle", s, server)
        injected = stop_chaos_server(server)
        return s, injected
    finally:
        server.stop()
        os.unlink(seed)


def case_chaos(args):
    s, injected = chaos_run(args, [], [], args.seconds)
    for kind in ("reset", "fin", "stall", "drip", "delay", "garbage"):
        if injected.get(kind, 0) == 0:
            fail("no %s fault in %s s: %s" % (kind, args.seconds, injected))
    return 0


def make_certificates(folder):
    """A CA and a certificate for im.kelvo.test that it signed."""
    openssl = shutil.which("openssl")
    if openssl is None:
        print("SKIP: no openssl command")
        sys.exit(SKIP)

    def run(*words):
        subprocess.run([openssl] + list(words), check=True, capture_output=True, cwd=folder)
    run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem",
        "-days", "2", "-subj", "/CN=Kelvo Churn CA")
    run("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out", "server.csr",
        "-subj", "/CN=im.kelvo.test")
    with open(os.path.join(folder, "ext.cnf"), "w") as f:
        f.write("subjectAltName=DNS:im.kelvo.test\n")
    run("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
        "-CAcreateserial", "-out", "server.pem", "-days", "2", "-extfile", "ext.cnf")
    return [os.path.join(folder, n) for n in ("ca.pem", "server.pem", "server.key")]


def case_chaos_tls(args):
    with tempfile.TemporaryDirectory() as folder:
        ca, cert, key = make_certificates(folder)
        s, injected = chaos_run(args, ["--tls-cert", cert, "--tls-key", key],
                                ["--tls-ca", ca], max(10, args.seconds // 3))
        expect(s["tls"] and s["logged_in"] > 0, "no login over TLS", s)
        if injected.get("tls-noclose", 0) == 0:
            fail("no TLS end without close_notify: %s" % injected)
    return 0


def case_drops(args):
    seed = churn_seed(args)
    cycles = 400
    server = Server(args.server, seed, extra=["--chaos", "7", "--chaos-share", "1",
                                              "--chaos-only", "reset,fin"])
    try:
        s = run_churn(args, server, seed, ["--churn", str(cycles), "--ends", "server",
                                           "--expect-drops", "--drop-wait", "10"], 600)
        # Every connection reaches its fault (the chats reach the last
        # point), so every one ends by the server and says so once.
        expect(s["ends"] == {"server drop": cycles}, "not every connection was dropped", s, server)
        expect(s["server_ended"] == cycles and s["reason_lines"] == cycles
               and s["failed_attempts"] == 0, "a drop not reported exactly once", s, server)
        expect(set(s["reasons"]) <= {"connection reset by peer", "connection closed by peer"},
               "a drop reported with another reason", s, server)
        injected = stop_chaos_server(server)
        expect(injected["reset"] + injected["fin"] == cycles, "faults and drops differ", s)
        # A reset is never told as an orderly close, also when a request
        # the host sent met it first.
        expect(s["reasons"].get("connection reset by peer", 0) == injected["reset"]
               and s["reasons"].get("connection closed by peer", 0) == injected["fin"],
               "resets and FINs told as each other: %s" % injected, s)
    finally:
        server.stop()
        os.unlink(seed)
    return 0


def case_reconnect(args):
    # Full jitter spreads the logins over about the first delay: with a
    # one-second outage, 10 s keeps the busiest second near a seventh of
    # them, and leaves room for a starved server or pump that answers a
    # second's logins in a burst.
    clients, first_ms, cap_ms = 300, 10000, 20000
    seed = write_seed(args.bots, FIRST_ID, clients, "pw{id}")
    server = Server(args.server, seed)
    port = server.port
    bots = subprocess.Popen(
        [args.bots, "--json", "--quiet", "--server", "127.0.0.1:%d" % port, "--seed", seed,
         "--ramp", "0", "--duration", "60", "--chat-rate", "0", "--timeout", "60", "--drain", "0",
         "--reconnect", "%d,%d" % (first_ms, cap_ms)],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    lines = []
    all_in = threading.Event()

    def read_events():
        for line in bots.stderr:
            lines.append(line)
            if line.startswith("all "):
                all_in.set()

    reader = threading.Thread(target=read_events, daemon=True)
    reader.start()
    try:
        if not all_in.wait(60):
            bots.kill()
            fail("the bots did not all log in:\n" + "".join(lines[-20:]))
        server.process.kill()
        server.process.wait()
        server.stop()
        # The outage: about a second with nothing on the port.
        time.sleep(1.0)
        # The restart is the moment the server says it listens; it listens
        # a little before, so bots may be back before this process hears
        # it, but never before the launch.
        launch_ns = time.monotonic_ns()
        server = Server(args.server, seed, port=port)
        restart_ns = time.monotonic_ns()
        # stderr is the reader's: only stdout here.
        out = bots.stdout.read()
        bots.wait(timeout=120)
        reader.join(10)
        try:
            s = json.loads(out)
        except ValueError:
            fail("no JSON summary (exit %d)\nstdout: %s\nstderr: %s"
                 % (bots.returncode, out, "".join(lines[-20:])))
        back = {}
        for line in lines:
            words = line.split()
            if len(words) == 3 and words[0] == "relogin":
                back.setdefault(int(words[1]), int(words[2]))
        expect(s["failed"] == 0 and s["reconnect"]["losses"] >= clients
               and s["reconnect"]["relogins"] == clients and s["reconnect"]["not_back"] == 0
               and len(back) == clients, "not every bot logged in again", s, server)
        expect(min(back.values()) >= launch_ns, "a login before the server was back", s, server)
        after = sorted((t - restart_ns) / 1e9 for t in back.values())
        # The busiest second: the most logins in any one-second window.
        busiest, j = 0, 0
        for i, t in enumerate(after):
            while t - after[j] >= 1.0:
                j += 1
            busiest = max(busiest, i - j + 1)
        per_second = [0] * (int(max(after[-1], 0)) + 1)
        for t in after:
            per_second[max(int(t), 0)] += 1
        print("reconnect %d,%d ms: %d bots back %.3f s (median) %.3f s (max) after the restart; "
              "busiest second %d (%.1f%%); %d failed attempts; per second %s"
              % (first_ms, cap_ms, len(after), after[len(after) // 2], after[-1], busiest,
                 100.0 * busiest / clients, s["reconnect"]["failed_attempts"], per_second))
        expect(after[-1] <= cap_ms / 1000.0 + 2, "not all back within the cap + 2 s", s, server)
        expect(busiest * 3 <= clients, "more than a third back in one second", s, server)
    finally:
        if bots.poll() is None:
            bots.kill()
            bots.wait()
        server.stop()
        os.unlink(seed)
    return 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", required=True)
    ap.add_argument("--bots", required=True)
    ap.add_argument("--sanitized", action="store_true",
                    help="the tools are built with a sanitizer: no memory budget")
    ap.add_argument("--cycles", type=int, default=5000)
    ap.add_argument("--seconds", type=int, default=60)
    cases = {"crowd": case_crowd, "refused": case_refused, "accept": case_accept,
             "churn": case_churn, "unload": case_unload, "chaos": case_chaos,
             "chaos-tls": case_chaos_tls, "drops": case_drops, "reconnect": case_reconnect}
    ap.add_argument("case", choices=sorted(cases))
    args = ap.parse_args()
    return cases[args.case](args)


if __name__ == "__main__":
    sys.exit(main())
