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

With --tls the same demo runs over TLS (kelvo-server's own listener, every
session verifying the server against a CA made here, the proxy asking for a
username and password) while the clients write their TLS secrets to a key
log (KELVO_TLS_KEYLOG). Then the capture holds no message in clear, tshark
decodes nothing without the key log, and with it the dissector finds every
message inside TLS and the checks above hold as they are; the recordings,
taken inside the client, are the clear stream and replay as before.

usage: session_test.py --server PATH --cli PATH --replay PATH [--tls] [--keep DIR]
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


PROXY_USER = "demo"
PROXY_PASSWORD = "demo-proxy-password"
SERVER_NAME = "im.kelvo.test"


def make_certificates(work):
    """A CA and a server certificate for SERVER_NAME, as tools/demo.sh --tls
    makes them."""
    def openssl(*options):
        done = subprocess.run(["openssl"] + list(options), cwd=work, capture_output=True,
                              timeout=60)
        if done.returncode != 0:
            fail("openssl %s: %s" % (options[0], done.stderr.decode(errors="replace")))
    p256 = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]
    openssl("req", "-x509", *p256, "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
            "-subj", "/CN=Kelvo Demo CA", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    openssl("req", "-new", *p256, "-keyout", "server.key", "-out", "server.csr",
            "-subj", "/CN=" + SERVER_NAME)
    with open(os.path.join(work, "server.ext"), "w") as f:
        f.write("basicConstraints=critical,CA:FALSE\nextendedKeyUsage=serverAuth\n"
                "subjectAltName=DNS:%s\n" % SERVER_NAME)
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-set_serial", "7", "-days", "2", "-extfile", "server.ext", "-out", "server.pem")


def run_demo(args, run, work):
    """The flow of tools/demo.sh, with a capture and recordings. Returns the
    server and proxy ports."""
    server_tls, cli_tls, proxy_auth = [], [], []
    if args.tls:
        make_certificates(work)
        server_tls = ["--tls-cert", os.path.join(work, "server.pem"),
                      "--tls-key", os.path.join(work, "server.key")]
        cli_tls = ["--tls", "--tls-server-name", SERVER_NAME,
                   "--tls-ca", os.path.join(work, "ca.pem")]
        proxy_auth = ["-u", PROXY_USER, "-P", PROXY_PASSWORD]
    server = run.start("server", [args.server, "--bind", "127.0.0.1", "--port", "0",
                                  "--admin-stdin"] + server_tls, stdin=subprocess.PIPE)
    wait_for(lambda: "listening on 127.0.0.1:" in read(os.path.join(work, "server.out")), 10,
             "the server")
    port = int(re.search(r"listening on 127\.0\.0\.1:(\d+)",
                         read(os.path.join(work, "server.out"))).group(1))
    proxy_port = None
    for _ in range(10):
        candidate = free_port()
        proxy = run.start("proxy", ["microsocks", "-i", "127.0.0.1", "-p", str(candidate)]
                          + proxy_auth)
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
    env.pop("KELVO_TLS_KEYLOG", None)
    if args.tls:
        env["KELVO_TLS_KEYLOG"] = os.path.join(work, "keys.log")
    sessions = {}

    def start_session(name):
        flags = list(cli_tls)
        if args.tls and name == "bob":
            flags += ["--proxy-user", PROXY_USER, "--proxy-password", PROXY_PASSWORD]
        sessions[name] = run.start(name, [args.cli] + flags + [
            "--script", os.path.join(DEMO, name + ".cli"),
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


# Texts of the demo that must never cross the wire in clear over TLS.
CLEAR_TEXTS = ("hi bob, see you on server 7", "小明, the raid starts at nine",
               "Maintenance tonight at 23:00, 维护通知")


def check_tls_capture(capture, port, proxy_port, keys):
    """Over TLS: the capture holds TLS only, and nothing decodes without the
    key log. Returns the tshark options that decrypt it."""
    raw = open(capture, "rb").read()
    for text in CLEAR_TEXTS:
        for encoding in ("utf-8", "gbk"):
            if text.encode(encoding) in raw:
                fail("the capture holds %r in clear (%s)" % (text, encoding))
    if not os.path.exists(keys) or os.stat(keys).st_mode & 0o077:
        fail("the key log %s is missing or readable by others" % keys)
    base = ["-o", "kelvo.tcp_port:0", "-d", "tcp.port==%d,socks" % proxy_port]
    if wire.messages(capture, *base):
        fail("messages decoded without the key log")
    status, out, _ = wire.tshark(capture, "-Y", "tls.handshake.type == 1", "-T", "fields",
                                 "-e", "tls.handshake.extensions_server_name")
    names = out.split()
    # alice, bob (on both legs of the proxy) and 小明.
    if status != 0 or len(names) < 4 or set(names) != {SERVER_NAME}:
        fail("ClientHellos carrying the server name: %r" % names)
    # What TLS does not protect: the proxy's username and password cross the
    # client's leg in clear (RFC 1929), before any TLS.
    status, out, _ = wire.tshark(capture, "-d", "tcp.port==%d,socks" % proxy_port,
                                 "-Y", "socks.username", "-T", "fields",
                                 "-e", "socks.username", "-e", "socks.password")
    if status != 0 or out.split() != [PROXY_USER, PROXY_PASSWORD]:
        fail("the proxy credentials as the capture shows them: %r" % out)
    print("capture over TLS: no text in clear, nothing decoded without the key log, "
          "%d ClientHellos naming %s, the proxy credentials in clear as RFC 1929 sends them"
          % (len(names), SERVER_NAME))
    return base + ["-o", "tls.keylog_file:" + keys]


def check_capture(capture, port, proxy_port, keys=None):
    if keys:
        options = check_tls_capture(capture, port, proxy_port, keys)
    else:
        options = ["-o", "kelvo.tcp_port:%d" % port, "-d", "tcp.port==%d,socks" % proxy_port]
    msgs = wire.messages(capture, *options)
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
    # alice, bob, 小明, then 小明's machine as bob; bob's seen on both legs
    # of the proxied connection. Over TLS only on the proxy's leg to the
    # server: on the client's leg TLS comes through Wireshark's SOCKS
    # dissector, which hands it the far end's ports for both directions, and
    # TLS cannot tell its two ends apart there to decrypt.
    legs = 1 if keys else 2
    expect("logins %s" % logins, sorted(set(logins)) == ["1001", "1002", "1005"]
           and logins.count("1002") >= legs + 1)
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
    expect("bob's login on the proxied leg and on the server's", len(proxied) >= legs + 2)
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
    parser.add_argument("--tls", action="store_true",
                        help="the demo over TLS, decrypted with the clients' key log")
    parser.add_argument("--keep", help="copy the capture and recordings here")
    args = parser.parse_args()
    for tool in ("tshark", "dumpcap", "microsocks") + (("openssl",) if args.tls else ()):
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
            for name in ("session.pcapng", "alice.rec", "bob.rec", "xiaoming.rec") + (
                    ("keys.log",) if args.tls else ()):
                shutil.copy(os.path.join(work, name), args.keep)
            with open(os.path.join(args.keep, "ports"), "w") as f:
                f.write("%d %d\n" % (port, proxy_port))
        check_capture(capture, port, proxy_port,
                      os.path.join(work, "keys.log") if args.tls else None)
        check_replays(args, work)
    finally:
        run.stop_all()
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
