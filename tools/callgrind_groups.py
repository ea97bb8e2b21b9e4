#!/usr/bin/env python3
"""Instructions per message by function group, from two callgrind profiles.

    callgrind_groups.py MESSAGES WITH.out WITHOUT.out BINARY-NAME

WITH.out profiles `kelvo_e2e_ratio count KIND MESSAGES`, WITHOUT.out the same
command with 0 messages. Everything that does not grow with the messages
(start-up, connecting, the roster fill, the sentinel) is in both profiles, so
the difference divided by MESSAGES is the cost of one message, exactly.

Attribution. Functions of the benchmark binary whose names carry kelvo:: or
Nimbo2:: (the client and the library are linked in statically) are "ours".
Each instruction of ours goes to a group by the source file it was compiled
from (so code inlined from inbox.h into the read loop counts as framing) or,
for lines from library headers, by the function it runs in. A call from our
code to anything else (libc's recv and mutexes, libstdc++, the PLT) counts,
with everything that call ran, to the group of the calling line. Heap
allocations are the calls from our code to malloc, calloc, realloc or
operator new. The kernel's own work (the copy in recv) is not counted.
"""
import re
import sys
from collections import defaultdict

# (group, function pattern, file pattern): the first rule that matches wins.
RULES = [
    ("raw reader", r"InboundRaw", None),
    ("bench harness",
     r"MakeStream|ServeStream|InboundClient|CountRun|WaitFor|ConnectClient|Listener|"
     r"bench::\(anonymous namespace\)::Main|PinThisThread|ChooseCpus", None),
    ("sink call", r"NullSink::|TimingSink::", None),
    ("inbox/framing", None, r"nimbolink/src/inbox\.(h|cpp)$"),
    ("handler", None, r"src/(roster|messaging)/|src/protocol/(byte_io|entry_walker)\.h$"),
    # message_ids.h: reading and matching headers (a run's size rule).
    ("dispatch", None, r"src/protocol/(dispatch\.cpp|message_ids\.h)$"),
    ("Deliver loop", None, r"src/core/|nimbolink/src/tcp_client_socks5\.cpp$"),
    # Lines from library headers (atomics, shared_ptr, mutex) and from
    # engine.cpp go by the function they run in.
    # A run handler's atomics are the rule checks between two messages.
    ("Deliver loop", r"ImServerClient::Run", r"atomic_base\.h$"),
    ("handler", r"ImServerClient::(Handle(?!Message)|Run|OnlineStateChange)", None),
    ("dispatch", r"ImServerClient::(Dispatch|HandleMessage)", None),
    ("inbox/framing", r"Nimbo2::Inbox::", None),
    ("Deliver loop",
     r"kelvo::|ClientState::(Notify|DeliverHere|Take|Done|DoneNote|DoneReport|Current|PendingEvents)|"
     r"TCPClient_Socks5::|Conn::(PeekLocked|ConsumeLocked|PendingLocked)", None),
    ("socket read loop", r"Nimbo2::", None),
]
COMPILED = [(g, re.compile(f) if f else None, re.compile(p) if p else None) for g, f, p in RULES]

CLIENT_GROUPS = ["socket read loop", "inbox/framing", "Deliver loop", "dispatch", "handler",
                 "sink call", "other"]
ALLOC = re.compile(r"^(malloc|calloc|realloc|aligned_alloc|posix_memalign|memalign|"
                   r"operator new(\[\])?)\b")
OURS = re.compile(r"kelvo::|Nimbo2::")


def classify(fn, path):
    for group, fpat, ppat in COMPILED:
        if fpat is not None and not fpat.search(fn):
            continue
        if ppat is not None and not ppat.search(path):
            continue
        return group
    return "other"


def parse(path):
    """Self cost and outgoing calls of each (object, function, source file)."""
    names = {"ob": {}, "fl": {}, "fn": {}}
    kinds = {"ob": "ob", "cob": "ob", "fl": "fl", "fi": "fl", "fe": "fl", "cfi": "fl",
             "cfl": "fl", "fn": "fn", "cfn": "fn"}

    def name(kind, rest):
        rest = rest.strip()
        if rest.startswith("("):
            close = rest.index(")")
            key = rest[1:close]
            tail = rest[close + 1:].strip()
            if tail:
                names[kind][key] = tail
            return names[kind].get(key, "???")
        return rest

    self_cost = defaultdict(int)
    calls = []  # (ob, fn, file, callee ob, callee fn, count, inclusive)
    positions = 1
    ob = fl = fi = fn = ""
    cob = cfn = None
    pending_calls = None
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            if not line or line[0] == "#":
                continue
            c = line[0]
            if c.isdigit() or c in "+-*":
                tokens = line.split()
                ir = int(tokens[positions]) if len(tokens) > positions else 0
                if pending_calls is not None:
                    calls.append((ob, fn, fi, cob if cob is not None else ob, cfn,
                                  pending_calls, ir))
                    pending_calls = None
                    cob = cfn = None
                else:
                    self_cost[(ob, fn, fi)] += ir
                continue
            key, _, rest = line.partition("=")
            if key == "positions":
                positions = len(rest.split())
            elif key in ("ob", "fl", "fi", "fe", "fn", "cob", "cfi", "cfl", "cfn"):
                value = name(kinds[key], rest)
                if key == "ob":
                    ob = value
                elif key == "fl":
                    fl = fi = value
                elif key in ("fi", "fe"):
                    fi = value
                elif key == "fn":
                    fn = value
                    fi = fl
                elif key == "cob":
                    cob = value
                elif key == "cfn":
                    cfn = value
            elif key == "calls":
                pending_calls = int(rest.split()[0])
    return self_cost, calls


def groups(path, binary):
    self_cost, calls = parse(path)

    def ours(ob, fn):
        return ob.endswith(binary) and OURS.search(fn) is not None

    cost = defaultdict(int)
    allocs = defaultdict(int)
    total = 0
    for (ob, fn, fi), ir in self_cost.items():
        total += ir
        if ours(ob, fn):
            cost[classify(fn, fi)] += ir
    for ob, fn, fi, cob, cfn, count, ir in calls:
        if not ours(ob, fn) or ours(cob, cfn):
            continue
        group = classify(fn, fi)
        cost[group] += ir
        if ALLOC.match(cfn):
            allocs[group] += count
    return cost, allocs, total


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    messages = int(sys.argv[1])
    binary = sys.argv[4]
    with_cost, with_allocs, with_total = groups(sys.argv[2], binary)
    base_cost, base_allocs, base_total = groups(sys.argv[3], binary)

    def per(group, table_with, table_base):
        return (table_with.get(group, 0) - table_base.get(group, 0)) / messages

    client = sum(per(g, with_cost, base_cost) for g in CLIENT_GROUPS)
    raw = per("raw reader", with_cost, base_cost)
    print(f"  {'client, by group':<34} {'instructions/message':>20}")
    for g in CLIENT_GROUPS:
        print(f"    {g:<32} {per(g, with_cost, base_cost):>20.1f}")
    print(f"    {'total':<32} {client:>20.1f}")
    print(f"  {'raw reader':<34} {raw:>20.1f}")
    print(f"  client / raw {client / raw if raw else float('nan'):.2f}")
    client_allocs = sum(per(g, with_allocs, base_allocs) for g in CLIENT_GROUPS)
    print(f"  heap allocations per message, client: {client_allocs:.4f}")
    print(f"  (program totals: {with_total:,} and {base_total:,} instructions)")
    # For the caller: one line to grep.
    print(f"RESULT client={client:.1f} raw={raw:.1f} allocs={client_allocs:.4f}")


if __name__ == "__main__":
    main()
