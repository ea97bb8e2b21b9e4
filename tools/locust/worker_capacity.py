#!/usr/bin/env python3
"""What one Locust worker process carries: players that only chat, at a
given rate each, in steps of N players, each step a run of its own (a
master and one worker against kelvo-server). For every step it prints the
chats the players asked for and got per second, the round trip's p50 and
p99, and the worker's CPU share (of one core) over the steady part of the
run, read from /proc. A worker is at its limit when its CPU nears 100 % (a
Locust worker is one Python thread) or it no longer keeps the rate.

  tools/locust/worker_capacity.py --server build/release/tools/kelvo_server/kelvo-server \\
      --bots build/release/tools/kelvo_bots/kelvo-bots --module build/release/libkelvocore.so \\
      --out /tmp/capacity --chat-rate 1 500 1000 1500 2000

Not a test: the figures depend on the machine and what else it runs.
"""

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import distributed_test as dt  # noqa: E402

TICK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK  # utime + stime


def step(args, env, players, seed, port):
    ramp = 100.0  # players started per second (Locust warns above 100 a worker)
    ramp_s = players / ramp
    steady = args.steady
    name = "capacity-%d" % players
    swarm = dt.Swarm(args.out, name, env, [
        "--headless", "-u", str(players), "-r", "%g" % ramp, "-t", "%ds" % int(ramp_s + steady + 5),
        "--host", "127.0.0.1:%d" % port, "--kelvo-seed", seed, "--chat-rate", str(args.chat_rate),
        "--move-rate", "0", "--search-rate", "0", "--friend-rate", "0"], workers=1)
    worker = swarm.workers[0]
    # The steady part: CPU from 8 s after the last player started.
    time.sleep(ramp_s + 8)
    t0, c0 = time.monotonic(), cpu_seconds(worker.pid)
    time.sleep(steady - 5)
    t1, c1 = time.monotonic(), cpu_seconds(worker.pid)
    swarm.wait(120)
    history = dt.read_csv(os.path.join(args.out, name + "_stats_history.csv"))
    # Once every player is in, the players only chat.
    chats = [r for r in history if r["Name"] == "Aggregated" and int(r["User Count"]) == players]
    # Locust's rate is an average over the last 10 s: past the logins first.
    got = [float(r["Requests/s"]) for r in chats[12:-2]] or [0.0]
    rows = {(r["Type"], r["Name"]): r for r in dt.read_csv(os.path.join(args.out, name + "_stats.csv"))}
    chat = rows.get(("chat", "round trip"), {})
    return {"players": players, "asked": players * args.chat_rate,
            "got": sum(got) / len(got), "p50": chat.get("50%"), "p99": chat.get("99%"),
            "failures": rows.get(("", "Aggregated"), {}).get("Failure Count"),
            "cpu": 100.0 * (c1 - c0) / (t1 - t0)}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--bots", required=True)
    parser.add_argument("--module", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--chat-rate", type=float, default=1.0)
    parser.add_argument("--steady", type=int, default=25, help="seconds at full strength")
    parser.add_argument("players", type=int, nargs="+")
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    env = dt.environment()
    env["KELVO_MODULE"] = os.path.abspath(args.module)
    seed = os.path.join(args.out, "capacity.seed")
    dt.PLAYERS = max(args.players)
    dt.write_seed(args.bots, seed, 100000)
    print("%8s %12s %10s %6s %6s %9s %9s" % ("players", "chats/s asked", "got", "p50", "p99",
                                             "failures", "worker CPU"))
    for n in args.players:
        server = dt.Server(args.server, seed, os.path.join(args.out, "capacity-server.log"))
        try:
            r = step(args, env, n, seed, server.port)
        finally:
            server.stop()
        print("%8d %12.0f %10.0f %6s %6s %9s %8.0f%%" % (r["players"], r["asked"], r["got"], r["p50"],
                                                       r["p99"], r["failures"], r["cpu"]))
        sys.stdout.flush()


if __name__ == "__main__":
    main()
