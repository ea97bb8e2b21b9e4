"""Building Kelvo messages and writing them into pcap files as TCP streams
over loopback, and reading tshark's PDML back, for the dissector tests."""

import os
import struct
import subprocess
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.abspath(os.path.join(HERE, "..", ".."))
DISSECTOR = os.path.join(SOURCE, "tools", "wireshark", "kelvo.lua")
CAPTURES = os.path.join(SOURCE, "tools", "wireshark", "captures")


def message(msg_id, body=b"", category=11, length=None, flag1=False, flag2=False, flag3=False):
    """A message: header (length word, category byte, id) and body."""
    total = 4 + len(body) if length is None else length
    word = (total & 0x7FFF) | (0x8000 if flag1 else 0)
    cat = (category << 2) | (1 if flag2 else 0) | (2 if flag3 else 0)
    return struct.pack("<HBB", word, cat, msg_id) + body


def field(text, width):
    """A fixed-width text field: the bytes, then zeros."""
    data = text.encode("gbk") if isinstance(text, str) else text
    return data[:width] + b"\0" * (width - len(data[:width]))


def user_entry(user_id, name, online=2, group=1, gs=0, relation=2):
    raw = name.encode("gbk") + b"\0"
    entry = struct.pack("<IBBBBHHHH", user_id, 0, 0, relation, online, group, 0, gs, 0) + raw
    return bytes([len(entry) + 1]) + entry


def group_entry(group_id, name, parent=0, kind=1):
    raw = name.encode("gbk") + b"\0"
    entry = struct.pack("<HHBH", group_id, parent, kind, 0) + raw
    return bytes([len(entry) + 1]) + entry


def chat_in(sender, text):
    body = struct.pack("<I", sender) + b"\0" * 5 + bytes([1, 2, 3]) + b"\0" * 7
    return message(73, body + field(text, 256))


def login(user_id, flag3=True):
    """A login request; the client library sets flag 3 on every request."""
    return message(13, struct.pack("<IB", user_id, 1) + b"\x11" * 16 + b"\0" * 33, flag3=flag3)


class PcapWriter:
    """A classic pcap file of Ethernet/IPv4/TCP frames between 127.0.0.1
    ports: one stream per writer, sequence numbers kept per direction."""

    def __init__(self, path, client_port=40000, server_port=7000):
        self.file = open(path, "wb")
        self.file.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
        self.ports = {"c": client_port, "s": server_port}
        self.seq = {"c": 1000, "s": 5000}
        self.time = 1_700_000_000.0
        self._frame("c", b"", 0x02)           # SYN
        self.seq["c"] += 1
        self._frame("s", b"", 0x12)           # SYN+ACK
        self.seq["s"] += 1
        self._frame("c", b"", 0x10)           # ACK

    def _frame(self, side, payload, flags):
        other = "s" if side == "c" else "c"
        ack = self.seq[other] if flags & 0x10 else 0
        tcp = struct.pack(">HHIIBBHHH", self.ports[side], self.ports[other], self.seq[side], ack,
                          5 << 4, flags, 65535, 0, 0)
        ip_len = 20 + len(tcp) + len(payload)
        ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, ip_len, 0, 0x4000, 64, 6, 0,
                         bytes([127, 0, 0, 1]), bytes([127, 0, 0, 1]))
        ip = ip[:10] + struct.pack(">H", _checksum(ip)) + ip[12:]
        frame = b"\0" * 12 + b"\x08\x00" + ip + tcp + payload
        self.time += 0.001
        sec = int(self.time)
        usec = int(round((self.time - sec) * 1e6))
        self.file.write(struct.pack("<IIII", sec, usec, len(frame), len(frame)) + frame)

    def send(self, side, payload):
        """One TCP segment from `side` ("c" client, "s" server)."""
        self._frame(side, payload, 0x18)
        self.seq[side] += len(payload)

    def close(self):
        self.file.close()


def _checksum(data):
    total = 0
    for i in range(0, len(data), 2):
        total += (data[i] << 8) + data[i + 1]
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def tshark(capture, *options):
    """Runs tshark with the dissector over `capture`; returns (status,
    stdout, stderr)."""
    command = ["tshark", "-n", "-X", "lua_script:" + DISSECTOR, "-r", capture] + list(options)
    done = subprocess.run(command, capture_output=True, timeout=120)
    return (done.returncode, done.stdout.decode("utf-8", "replace"),
            done.stderr.decode("utf-8", "replace"))


def messages(capture, *options):
    """Every decoded message of the capture, in order, as a dict: frame
    number, id, length, direction, the message's own fields (name -> list
    of shown values), its list entries (a list of such dicts) and its
    expert infos. Raises on a tshark failure or a Lua error."""
    status, out, err = tshark(capture, "-T", "pdml", *options)
    if status != 0 or "Lua Error" in out or "Lua Error" in err:
        raise AssertionError("tshark failed (%d): %s%s" % (status, err, _lua_errors(out)))
    result = []
    for packet in ET.fromstring(out).iter("packet"):
        number = None
        for proto in packet.findall("proto"):
            if proto.get("name") == "frame":
                for f in proto.iter("field"):
                    if f.get("name") == "frame.number":
                        number = int(f.get("show"))
            if proto.get("name") != "kelvo":
                continue
            result.append(_message(proto, number))
    return result


def _lua_errors(out):
    return "\n".join(line for line in out.splitlines() if "Lua Error" in line)


def _message(proto, number):
    msg = {"frame": number, "fields": {}, "entries": [], "experts": []}
    for f in proto:
        _collect(f, msg)
    return msg


def _collect(f, msg):
    name = f.get("name") or ""
    if name == "expert" or name.startswith("_ws.expert"):
        for sub in f.iter("field"):
            if sub.get("name") == "_ws.expert.message":
                msg["experts"].append(sub.get("show"))
        return
    if name == "kelvo":  # a list entry
        entry = {"fields": {}, "entries": [], "experts": []}
        for sub in f:
            _collect(sub, entry)
        msg["entries"].append(entry)
        return
    if name.startswith("kelvo."):
        key = name[len("kelvo."):]
        msg["fields"].setdefault(key, []).append(f.get("show"))
        if key in ("id", "length", "direction"):
            msg[key] = f.get("show")
    for sub in f:
        _collect(sub, msg)
