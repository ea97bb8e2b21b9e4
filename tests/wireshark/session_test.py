#!/usr/bin/env python3
"""The demo's three sessions (alice direct, bob through microsocks, 小明
direct), captured on loopback with dumpcap while every kelvo-cli records
its inbound stream. Then:

  - tshark with the dissector decodes every message of the capture, the
    proxied leg included, and the decoded values are what the sessions
    sent and received;
  - each recording, played by kelvo-replay, gives the same sink events, in
    the same order, as the session that recorded it;
  - a recording converts to a sequence-fuzzer input, and a cut or damaged
    recording is refused with a clear error.

usage: session_test.py --server PATH --cli PATH --replay PATH [--keep DIR]
Exit status 77 (skipped) when capturing on loopback is not allowed here.
"""

import argparse
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

import wire

SKIP = 77
DEMO = os.path.join(wire.SOURCE, "tools", "demo")


def fail(text):
    print("FAIL: " + text)
    sys.exit(1)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(predicate, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.05)
    fail("timed out waiting for " + what)


def read(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


class Run:
    """Every process the test starts, ended in reverse order at the end."""

    def __init__(self, work):
        self.work = work
        self.procs = []

    def start(self, name, command, **kwargs):
        out = open(os.path.join(self.work, name + ".out"), "wb")
        err = open(os.path.join(self.work, name + ".err"), "wb")
        proc = subprocess.Popen(command, stdout=out, stderr=err, **kwargs)
        self.procs.append(proc)
        return proc

    def stop_all(self):
        for proc in reversed(self.procs):
            if proc.poll() is None:
                proc.terminate()
        for proc in reversed(self.procs):
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()


def run_demo(args, run, work):
    """The flow of tools/demo.sh, with a capture and recordings. Returns the
    server and proxy ports."""
    server = run.start("server", [args.server, "--bind", "127.0.0.1", "--port", "0",
                                  "--admin-stdin"], stdin=subprocess.PIPE)
    wait_for(lambda: "listening on 127.0.0.1:" in read(os.path.join(work, "server.out")), 10,
             "the server")
    port = int(re.search(r"listening on 127\.0\.0\.1:(\d+)",
                         read(os.path.join(work, "server.out"))).group(1))
    proxy_port = None
    for _ in range(10):
        candidate = free_port()
        proxy = run.start("proxy", ["microsocks", "-i", "127.0.0.1", "-p", str(candidate)])
        for _ in range(40):
            try:
                socket.create_connection(("127.0.0.1", candidate), timeout=1).close()
                proxy_port = candidate
                break
            except OSError:
                if proxy.poll() is not None:
                    break
                time.sleep(0.05)
        if proxy_port:
            break
    if not proxy_port:
        fail("microsocks did not start")

    capture = os.path.join(work, "session.pcapng")
    dumpcap = run.start("dumpcap", ["dumpcap", "-i", "lo", "-f",
                                    "tcp port %d or tcp port %d" % (port, proxy_port),
                                    "-w", capture])
    try:
        wait_for(lambda: "Capturing on" in read(os.path.join(work, "dumpcap.err"))
                 or dumpcap.poll() is not None, 15, "dumpcap")
    except SystemExit:
        raise
    if dumpcap.poll() is not None:
        print("SKIP: dumpcap cannot capture on lo here: " + read(os.path.join(work, "dumpcap.err")))
        sys.exit(SKIP)
    time.sleep(0.5)

    env = dict(os.environ, KELVO_PORT=str(port), PROXY_PORT=str(proxy_port))
    env.pop("KELVO_RECORD", None)
    sessions = {}

    def start_session(name):
        sessions[name] = run.start(name, [args.cli, "--script", os.path.join(DEMO, name + ".cli"),
                                          "--record", os.path.join(work, name + ".rec")], env=env)

    def marker(name, text):
        wait_for(lambda: ("--- " + text) in read(os.path.join(work, name + ".out"))
                 or sessions[name].poll() is not None, 20, name + ": " + text)
        if ("--- " + text) not in read(os.path.join(work, name + ".out")):
            fail("session %s ended before \"%s\":\n%s" % (name, text,
                                                         read(os.path.join(work, name + ".out"))))

    start_session("alice")
    marker("alice", "alice ready")
    start_session("bob")
    marker("bob", "bob left an offline message")
    marker("alice", "alice waits for the notices")
    server.stdin.write("notice system 1 Maintenance tonight at 23:00, 维护通知\n".encode())
    server.stdin.write(b"notice info 4 Double experience this weekend\n")
    server.stdin.flush()
    start_session("xiaoming")
    for name, proc in sessions.items():
        try:
            status = proc.wait(timeout=45)
        except subprocess.TimeoutExpired:
            fail("session %s did not end" % name)
        if status != 0:
            fail("session %s failed (%d):\n%s" % (name, status,
                                                  read(os.path.join(work, name + ".out"))))
    time.sleep(0.5)
    dumpcap.send_signal(signal.SIGINT)
    dumpcap.wait(timeout=10)
    return port, proxy_port, capture


def check_capture(capture, port, proxy_port):
    msgs = wire.messages(capture, "-o", "kelvo.tcp_port:%d" % port,
                         "-d", "tcp.port==%d,socks" % proxy_port)
    if not msgs:
        fail("nothing decoded in the capture")

    def values(msg_id, key, direction="server to client"):
        out = []
        for m in msgs:
            if m.get("id") == str(msg_id) and m.get("direction") == direction:
                out += m["fields"].get(key, [])
        return out

    problems = []

    def expect(what, condition):
        if not condition:
            problems.append(what)

    for m in msgs:
        expect("message in frame %s decoded with warnings %s" % (m["frame"], m["experts"]),
               not [e for e in m["experts"] if "size rule" in e or "outside" in e])
    logins = values(13, "userId", "client to server")
    # alice, bob, 小明, then 小明's machine as bob; each seen on both legs
    # of the proxied connection.
    expect("logins %s" % logins, sorted(set(logins)) == ["1001", "1002", "1005"]
           and logins.count("1002") >= 3)
    names = set()
    for m in msgs:
        if m.get("id") in ("47", "50"):
            for e in m["entries"]:
                names.update(e["fields"].get("name", []))
    expect("user list names %s" % names, {"alice", "bob", "carol", "小明"} <= names)
    alice_list = [m for m in msgs if m.get("id") == "47" and m["entries"]
                  and m["fields"].get("entryCount") == [str(len(m["entries"]))]]
    expect("user lists whose entry count matches their subtrees", alice_list)
    chats = values(73, "text") + values(73, "text", "client to server")
    for text in ("hi bob, see you on server 7", "你好 alice! leaving server 7 now",
                 "thanks alice, I am back", "welcome back, 小明"):
        expect("chat %r in %s" % (text, chats), text in chats)
    expect("offline message", "小明, the raid starts at nine" in values(70, "text"))
    expect("system notice", "Maintenance tonight at 23:00, 维护通知" in values(62, "text"))
    expect("info notice", "Double experience this weekend" in values(63, "text"))
    expect("search request", "小明" in values(10, "name", "client to server"))
    search = [e["fields"].get("name") for m in msgs if m.get("id") == "72" for e in m["entries"]]
    expect("search result entries %s" % search, ["小明"] in search)
    expect("group created", "Work" in values(58, "name"))
    expect("group renamed", "同事" in values(7, "name", "client to server"))
    expect("forced logout", any(m.get("id") == "53" for m in msgs))
    expect("friend request", "1004" in values(64, "userId"))
    proxied = [m for m in msgs if m.get("id") == "13"]
    expect("bob's login on the proxied leg and on the server's", len(proxied) >= 4)
    for problem in problems:
        print("FAIL: capture: " + problem)
    if problems:
        sys.exit(1)
    print("capture: %d messages decoded, every expected value found" % len(msgs))


EVENT = re.compile(r"^On(?!Enum)")


def events(text):
    """The sink events raised by the connection and by inbound messages:
    not the command echo, answers or enumerations, and not the log lines a
    host call produces on its own thread."""
    return [line for line in text.splitlines() if EVENT.match(line)]


def check_replays(args, work):
    for name in ("alice", "bob", "xiaoming"):
        recording = os.path.join(work, name + ".rec")
        done = subprocess.run([args.replay, recording], capture_output=True, timeout=60)
        if done.returncode != 0:
            fail("replay of %s failed: %s" % (name, done.stderr.decode(errors="replace")))
        want = events(read(os.path.join(work, name + ".out")))
        got = events(done.stdout.decode("utf-8", "replace"))
        if want != got:
            print("FAIL: replay of %s: events differ" % name)
            for line in __import__("difflib").unified_diff(want, got, "session", "replay",
                                                           lineterm=""):
                print("  " + line)
            sys.exit(1)
        print("replay %s: %d events, same as the session" % (name, len(want)))

    # A recording as a fuzzer input: mode byte, then [u16 length][message]...
    corpus = os.path.join(work, "alice.fuzz")
    done = subprocess.run([args.replay, "--fuzz-corpus", corpus, "--mode", "3",
                           os.path.join(work, "alice.rec")], capture_output=True, timeout=30)
    data = open(corpus, "rb").read() if done.returncode == 0 else b""
    pos, count = 1, 0
    while pos + 2 <= len(data):
        n = data[pos] | (data[pos + 1] << 8)
        message = data[pos + 2:pos + 2 + n]
        if len(message) != n or (message[0] | (message[1] << 8)) & 0x7FFF != n:
            fail("fuzz input: record %d is not one framed message" % count)
        pos += 2 + n
        count += 1
    if done.returncode != 0 or data[:1] != b"\x03" or pos != len(data) or count == 0:
        fail("fuzz input from the recording: status %d, %d bytes, %d messages"
             % (done.returncode, len(data), count))

    # Damaged recordings: each refused with its own reason.
    whole = open(os.path.join(work, "alice.rec"), "rb").read()
    cases = [
        ("cut inside a record", whole[:-3], "truncated"),
        ("cut inside a record head", whole[:12 + 5], "truncated"),
        ("other magic", b"KELVOREX" + whole[8:], "not a Kelvo recording"),
        ("newer version", whole[:8] + b"\x02\x00" + whole[10:], "version 2"),
        ("unknown kind", whole[:12] + b"\x09" + whole[13:], "unknown kind 9"),
    ]
    for what, data, reason in cases:
        path = os.path.join(work, "bad.rec")
        with open(path, "wb") as f:
            f.write(data)
        done = subprocess.run([args.replay, path], capture_output=True, timeout=30)
        err = done.stderr.decode(errors="replace")
        if done.returncode == 0 or reason not in err:
            fail("damaged recording (%s): status %d, %r" % (what, done.returncode, err))
    print("recordings: fuzz input of %d messages; %d damaged files refused" % (count, len(cases)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--cli", required=True)
    parser.add_argument("--replay", required=True)
    parser.add_argument("--keep", help="copy the capture and recordings here")
    args = parser.parse_args()
    for tool in ("tshark", "dumpcap", "microsocks"):
        if shutil.which(tool) is None:
            print("SKIP: %s is not installed (tools/setup.sh installs it)" % tool)
            return SKIP
    work = tempfile.mkdtemp(prefix="kelvo-wire.")
    run = Run(work)
    try:
        port, proxy_port, capture = run_demo(args, run, work)
        run.stop_all()
        if args.keep:
            os.makedirs(args.keep, exist_ok=True)
            for name in ("session.pcapng", "alice.rec", "bob.rec", "xiaoming.rec"):
                shutil.copy(os.path.join(work, name), args.keep)
            with open(os.path.join(args.keep, "ports"), "w") as f:
                f.write("%d %d\n" % (port, proxy_port))
        check_capture(capture, port, proxy_port)
        check_replays(args, work)
    finally:
        run.stop_all()
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
