#!/usr/bin/env python3
"""The Wireshark dissector (tools/wireshark/kelvo.lua) under tshark, on
hand-built captures and on the recorded demo session kept in
tools/wireshark/captures/:

  - messages split over segments and several in one segment are framed;
  - every id's size rule, at and just past its bounds, warns exactly when
    the client would reject the message;
  - list entries become one subtree each, passed-over and cut-off entries
    are marked;
  - the heuristic takes a connection that starts with a login on any port
    and leaves other traffic alone;
  - random lengths and bytes inside valid frames raise no Lua error;
  - the kept demo capture decodes with the values its sessions used;
  - the kept TLS capture decodes with the key log the client wrote, and
    shows nothing without it.

Exit status 77 (skipped) when tshark is not installed.
"""

import os
import random
import shutil
import struct
import sys
import tempfile

import wire

SKIP = 77

# (id, direction, smallest, largest length): the client's dispatcher for
# inbound ids, the fixed request sizes for outbound ones.
SIZE_RULES = [
    (9, "in", 4, 271), (45, "in", 11, 11), (46, "in", 4, 1440), (47, "in", 4, 1440),
    (48, "in", 4, 56), (49, "in", 4, 1440), (50, "in", 4, 1440), (51, "in", 8, 8),
    (52, "in", 262, 262), (53, "in", 10, 10), (54, "in", 4, 57), (55, "in", 17, 17),
    (56, "in", 11, 11), (58, "in", 4, 79), (59, "in", 79, 79), (60, "in", 12, 12),
    (61, "in", 13, 13), (62, "in", 4, 268), (63, "in", 4, 268), (64, "in", 60, 60),
    (65, "in", 4, 53), (66, "in", 74, 74), (67, "in", 16, 16), (68, "in", 23, 279),
    (70, "in", 68, 324), (71, "in", 4, 20), (72, "in", 4, 1444), (73, "in", 23, 279),
    (2, "out", 8, 8), (3, "out", 16, 16), (4, "out", 8, 8), (5, "out", 76, 76),
    (6, "out", 8, 8), (7, "out", 72, 72), (8, "out", 16, 16), (10, "out", 46, 46),
    (11, "out", 16, 16), (12, "out", 7, 7), (13, "out", 58, 58), (73, "out", 279, 279),
]

failures = []


def check(what, condition):
    if not condition:
        failures.append(what)


def decode(path, *options):
    return wire.messages(path, "-o", "kelvo.tcp_port:7000", *options)


def size_warned(msg):
    return any("outside" in e for e in msg["experts"])


def test_framing(work):
    """One user list, a group list and a chat cut at odd places: the first
    message spans three segments, the last segment carries the end of one
    message and two whole ones."""
    path = os.path.join(work, "framing.pcap")
    users = wire.message(47, wire.user_entry(1002, "bob") + wire.user_entry(1005, "小明")
                         + wire.user_entry(1003, "carol", online=1) + b"\0")
    groups = wire.message(46, wire.group_entry(1, "Friends") + wire.group_entry(3, "同事", 1))
    chat = wire.chat_in(1002, "你好 alice")
    notice = wire.message(62, struct.pack("<IBBBB", 1, 0, 0, 0, 0) + "维护通知".encode("gbk") + b"\0")
    stream = users + groups + chat + notice
    w = wire.PcapWriter(path)
    w.send("c", wire.login(1001))
    cuts = [7, 40, len(users) + 5]
    last = 0
    for cut in cuts + [len(stream)]:
        w.send("s", stream[last:cut])
        last = cut
    w.close()
    msgs = decode(path)
    check("framing: ids %s" % [m.get("id") for m in msgs],
          [m.get("id") for m in msgs] == ["13", "47", "46", "73", "62"])
    if len(msgs) != 5:
        return
    login, ulist, glist, chat_msg, notice_msg = msgs
    check("login fields", login["fields"].get("userId") == ["1001"]
          and login["direction"] == "client to server" and login["fields"].get("marker") == ["1"])
    check("user list spans frames 5-7", ulist["frame"] == 7)
    check("user entries %s" % ulist["entries"],
          [e["fields"].get("name") for e in ulist["entries"]] == [["bob"], ["小明"], ["carol"]]
          and [e["fields"].get("userId") for e in ulist["entries"]]
          == [["1002"], ["1005"], ["1003"]]
          and ulist["entries"][2]["fields"].get("onlineState") == ["1"])
    check("user list count", ulist["fields"].get("entryCount") == ["3"])
    check("group entries", [e["fields"].get("name") for e in glist["entries"]]
          == [["Friends"], ["同事"]]
          and glist["entries"][1]["fields"].get("parentGroupId") == ["1"])
    check("chat", chat_msg["fields"].get("sender") == ["1002"]
          and chat_msg["fields"].get("text") == ["你好 alice"]
          and chat_msg["fields"].get("chat1") == ["1"]
          and chat_msg["direction"] == "server to client")
    check("notice", notice_msg["fields"].get("text") == ["维护通知"]
          and notice_msg["fields"].get("type") == ["1"])
    check("glist, chat and notice share the last segment",
          glist["frame"] == chat_msg["frame"] == notice_msg["frame"] == 8)
    for m in msgs:
        check("no warnings on good messages: %s" % m["experts"], not m["experts"])


def test_size_rules(work):
    """Each id at its bounds and one past them, in its own direction."""
    path = os.path.join(work, "sizes.pcap")
    w = wire.PcapWriter(path)
    sent = []
    rng = random.Random(15)
    for msg_id, direction, low, high in SIZE_RULES:
        for length in sorted({low - 1, low, high, high + 1}):
            if length < 4:
                continue
            body = bytes(rng.randrange(1, 256) for _ in range(length - 4))
            w.send("c" if direction == "out" else "s", wire.message(msg_id, body))
            sent.append((msg_id, length, not low <= length <= high))
    w.close()
    msgs = decode(path)
    check("size rules: %d messages decoded of %d" % (len(msgs), len(sent)),
          len(msgs) == len(sent))
    for (msg_id, length, bad), m in zip(sent, msgs):
        check("id %d length %d: warned=%s" % (msg_id, length, size_warned(m)),
              m.get("id") == str(msg_id) and m.get("length") == str(length)
              and size_warned(m) == bad)


def test_odd_messages(work):
    """Entries the client passes over or that end the list, an id the
    client does not define, another category, flag bits, and a length word
    below 4 that ends the framing."""
    path = os.path.join(work, "odd.pcap")
    short_entry = bytes([10]) + b"\x01" * 9                    # below 18: passed over
    cut_entry = bytes([40]) + b"\x02" * 10                      # runs past the message
    w = wire.PcapWriter(path)
    w.send("c", wire.login(1001))
    w.send("s", wire.message(50, short_entry + wire.user_entry(1002, "bob") + cut_entry))
    w.send("s", wire.message(99, b"\0" * 8))
    w.send("s", wire.message(61, struct.pack("<IB", 7, 2) + b"\0" * 4, category=12))
    w.send("s", wire.message(61, struct.pack("<IB", 7, 2) + b"\0" * 4, flag1=True, flag3=True))
    w.send("s", b"\x02\x00\x2c\x3d" + b"\0" * 6)
    w.close()
    msgs = decode(path)
    check("odd: %s" % [m.get("id") for m in msgs], len(msgs) == 6)
    if len(msgs) != 6:
        return
    ulist, undefined, category, flagged, framing = msgs[1:]
    check("passed-over entry", len(ulist["entries"]) == 2
          and any("passes over" in e for e in ulist["entries"][0]["experts"])
          and ulist["entries"][1]["fields"].get("name") == ["bob"]
          and ulist["fields"].get("entryCount") == ["1"])
    check("cut-off entry", any("runs past" in e for e in ulist["experts"]))
    check("undefined id", any("undefined" in e.lower() for e in undefined["experts"]))
    check("category 12", any("Category is not 11" in e for e in category["experts"]))
    check("flags masked", flagged.get("length") == "13" and flagged["fields"]["flag1"] == ["1"]
          and flagged["fields"]["flag3"] == ["1"] and flagged["fields"]["flag2"] == ["0"]
          and flagged["fields"].get("userId") == ["7"] and not flagged["experts"])
    check("framing error", any("cannot be framed" in e for e in framing["experts"]))


def test_heuristic(work):
    """No port preference: a connection that starts with a login is taken,
    with its replies; one that does not is left alone."""
    path = os.path.join(work, "heuristic.pcap")
    w = wire.PcapWriter(path, client_port=41000, server_port=9123)
    w.send("c", wire.login(1005))
    w.send("s", wire.message(51, b"\0" * 4) + wire.chat_in(1001, "hello"))
    w.close()
    clear_flags = os.path.join(work, "heuristic-flags.pcap")
    w = wire.PcapWriter(clear_flags, client_port=41002, server_port=9125)
    w.send("c", wire.login(1005, flag3=False))
    w.close()
    other = os.path.join(work, "other.pcap")
    w = wire.PcapWriter(other, client_port=41001, server_port=9124)
    w.send("c", wire.message(2, struct.pack("<I", 1)))          # a logout, not a login
    w.send("s", wire.message(51, b"\0" * 4))
    w.close()
    msgs = wire.messages(path, "-o", "kelvo.tcp_port:0")
    check("heuristic: %s" % [m.get("id") for m in msgs],
          [m.get("id") for m in msgs] == ["13", "51", "73"]
          and msgs[2]["fields"].get("text") == ["hello"])
    check("heuristic: a login with its flags clear",
          [m.get("id") for m in wire.messages(clear_flags, "-o", "kelvo.tcp_port:0")] == ["13"])
    check("heuristic leaves other streams", not wire.messages(other, "-o", "kelvo.tcp_port:0"))
    check("heuristic can be turned off",
          not wire.messages(path, "-o", "kelvo.tcp_port:0", "-o", "kelvo.heuristic:FALSE"))
    check("Decode As", len(wire.messages(other, "-o", "kelvo.tcp_port:0",
                                         "-d", "tcp.port==9124,kelvo")) == 2)


def test_fuzzed(work):
    """Valid frames of random lengths and bytes, in both directions and cut
    at random places: tshark ends cleanly and raises no Lua error."""
    rng = random.Random(1515)
    path = os.path.join(work, "fuzz.pcap")
    w = wire.PcapWriter(path)
    ids = [r[0] for r in SIZE_RULES] + [0, 1, 44, 57, 69, 74, 255]
    for _ in range(300):
        side = rng.choice("cs")
        length = rng.choice([rng.randrange(4, 64), rng.randrange(4, 1500)])
        body = bytes(rng.randrange(256) for _ in range(length - 4))
        if rng.random() < 0.3:   # list entries with random lengths
            body = bytes(rng.choice([0, 1, 9, 15, 18, 47, 49, 72, 200]) if i % 17 == 0 else b
                         for i, b in enumerate(body))
        data = wire.message(rng.choice(ids), body, category=rng.choice([11, 11, 11, 5]),
                            flag1=rng.random() < 0.2, flag2=rng.random() < 0.2)
        while data:
            cut = rng.randrange(1, len(data) + 1)
            w.send(side, data[:cut])
            data = data[cut:]
    w.send("s", b"\x01\x00\xff")                                 # framing error at the end
    w.close()
    for options in ([], ["-V"], ["-T", "pdml"]):
        status, out, err = wire.tshark(path, "-o", "kelvo.tcp_port:7000", *options)
        check("fuzzed capture %s: status %d, Lua errors %s" % (options, status,
                                                                [l for l in (out + err).splitlines()
                                                                 if "Lua" in l or "bug" in l][:3]),
              status == 0 and "Lua Error" not in out + err and "Dissector bug" not in out + err)


def test_demo_fixture():
    """The demo session kept in the repository: direct connections by the
    port preference, bob's proxied leg through the SOCKS dissector."""
    path = os.path.join(wire.CAPTURES, "demo_session.pcapng")
    with open(os.path.join(wire.CAPTURES, "demo_session.ports")) as f:
        server_port, proxy_port = f.read().split()[:2]
    msgs = wire.messages(path, "-o", "kelvo.tcp_port:" + server_port,
                         "-d", "tcp.port==%s,socks" % proxy_port)
    check("demo fixture: %d messages" % len(msgs), len(msgs) >= 80)
    check("demo fixture: no warnings", not [m for m in msgs if m["experts"]])
    texts = {t for m in msgs for t in m["fields"].get("text", [])}
    check("demo fixture texts", {"你好 alice! leaving server 7 now",
                                 "小明, the raid starts at nine",
                                 "Maintenance tonight at 23:00, 维护通知"} <= texts)
    searches = [[e["fields"].get("name") for e in m["entries"]] for m in msgs if m.get("id") == "72"]
    check("demo fixture search list %s" % searches, [["小明"]] in searches)


def test_tls_fixture():
    """A login over TLS kept in the repository: the client's TLS session
    (KELVO_TLS_KEYLOG=tls_login.keys) against kelvo-server --tls-cert.
    Decrypted with that key log, the messages inside are found by the
    heuristic and by Decode As; without it, none is."""
    path = os.path.join(wire.CAPTURES, "tls_login.pcapng")
    keys = "tls.keylog_file:" + os.path.join(wire.CAPTURES, "tls_login.keys")
    with open(os.path.join(wire.CAPTURES, "tls_login.ports")) as f:
        server_port = f.read().split()[0]
    msgs = wire.messages(path, "-o", "kelvo.tcp_port:0", "-o", keys)
    check("TLS fixture by the heuristic: %s" % [m.get("id") for m in msgs],
          [m.get("id") for m in msgs] == ["13", "45", "51"]
          and msgs[0]["fields"].get("userId") == ["1001"])
    msgs = wire.messages(path, "-o", "kelvo.tcp_port:0", "-o", keys, "-o", "kelvo.heuristic:FALSE",
                         "-d", "tls.port==%s,kelvo" % server_port)
    check("TLS fixture by Decode As", [m.get("id") for m in msgs] == ["13", "45", "51"])
    check("TLS fixture without the key log",
          not wire.messages(path, "-o", "kelvo.tcp_port:0"))


def main():
    if shutil.which("tshark") is None:
        print("SKIP: tshark is not installed (tools/setup.sh installs it)")
        return SKIP
    work = tempfile.mkdtemp(prefix="kelvo-dissector.")
    try:
        for test in (test_framing, test_size_rules, test_odd_messages, test_heuristic,
                     test_fuzzed):
            before = len(failures)
            test(work)
            print("%s: %s" % (test.__name__, "ok" if len(failures) == before else "FAILED"))
        for test in (test_demo_fixture, test_tls_fixture):
            before = len(failures)
            test()
            print("%s: %s" % (test.__name__, "ok" if len(failures) == before else "FAILED"))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
