#!/usr/bin/env python3
"""Locust's own master and two workers run tools/locust/locustfile.py
against kelvo-server on loopback, and the reports are checked:

  distributed_test.py --server KELVO_SERVER --bots KELVO_BOTS --module LIB --out DIR CASE

steady   300 players (a seed file written by kelvo-bots), ramped over 10 s,
         for 30 s, headless: every request type is in the CSV statistics
         with its percentiles, no failure, 300 logins, 300 players at the
         peak.
refused  the same against a server where half the accounts have other
         passwords (the players log in as a numbered range), with the web
         UI: 150 logins fail, each shown with the server's reason and
         nothing else fails; Debian's chromium (headless) loads the
         statistics page while the players run and shows every request
         type, and the failure with its reason; its screenshot is
         DIR/refused-webui.png.

Counts are checked, never times. Exits 77 when Locust or chromium is
missing (tools/setup.sh installs them), 1 when a check fails.
"""

import argparse
import csv
import html.parser
import json
import os
import select
import shutil
import socket
import subprocess
import sys
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
LOCUSTFILE = os.path.join(HERE, "locustfile.py")
PYTHON = "/usr/bin/python3"
CHROMIUM = "/usr/bin/chromium"
PLAYERS = 300
# Rates a player keeps up (per second): enough of each action in 30 s.
RATES = ["--chat-rate", "0.5", "--move-rate", "0.1", "--search-rate", "0.05",
         "--friend-rate", "0.1"]
# Every request type the locustfile reports with an answer: (type, name).
REQUESTS = [("connect", "connect"), ("login", "login"), ("chat", "round trip"),
            ("search", "search_user"), ("friend", "add_user"), ("move", "enter_game_server")]

passed, failed = [], []


def check(ok, what):
    print("%s: %s" % ("ok" if ok else "FAILED", what))
    (passed if ok else failed).append(what)
    return ok


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    def __init__(self, binary, seed, log):
        self.proc = subprocess.Popen([binary, "--bind", "127.0.0.1", "--port", "0", "--seed", seed],
                                     stdout=subprocess.PIPE, stderr=open(log, "wb"))
        ready, _, _ = select.select([self.proc.stdout], [], [], 30)
        line = self.proc.stdout.readline().decode().strip() if ready else ""
        if not line.startswith("listening on 127.0.0.1:"):
            self.stop()
            raise SystemExit("kelvo-server did not start: %r" % line)
        self.port = int(line.rsplit(":", 1)[1])

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


class Swarm:
    """A master and its workers (two); their output goes to DIR/<name>-*.log."""

    def __init__(self, out, name, env, master_args, workers=2):
        self.out, self.name = out, name
        port = free_port()
        common = [PYTHON, "-m", "locust", "-f", LOCUSTFILE]
        self.master = subprocess.Popen(
            common + ["--master", "--master-bind-host", "127.0.0.1", "--master-bind-port", str(port),
                      "--expect-workers", str(workers), "--expect-workers-max-wait", "120",
                      "--csv", os.path.join(out, name), "--html", os.path.join(out, name + ".html"),
                      "--only-summary"] + master_args,
            stdout=open(self.log("master"), "wb"), stderr=subprocess.STDOUT, env=env)
        self.workers = [subprocess.Popen(
            common + ["--worker", "--master-host", "127.0.0.1", "--master-port", str(port)],
            stdout=open(self.log("worker%d" % i), "wb"), stderr=subprocess.STDOUT, env=env)
            for i in range(1, workers + 1)]

    def log(self, who):
        return os.path.join(self.out, "%s-%s.log" % (self.name, who))

    def wait(self, timeout):
        """The master's exit status; every process is gone afterwards."""
        procs = [self.master] + self.workers
        deadline = time.monotonic() + timeout
        try:
            status = self.master.wait(max(1, deadline - time.monotonic()))
            for w in self.workers:
                w.wait(max(1, deadline - time.monotonic()))
            return status
        except subprocess.TimeoutExpired:
            return None
        finally:
            for p in procs:
                if p.poll() is None:
                    p.kill()
                    p.wait()

    def logs_clean(self):
        """No traceback and no unhandled greenlet error in any log."""
        for who in ["master"] + ["worker%d" % (i + 1) for i in range(len(self.workers))]:
            with open(self.log(who), encoding="utf-8", errors="replace") as f:
                text = f.read()
            if "Traceback" in text or "Unhandled exception" in text:
                print(text[-3000:])
                return False
        return True


def read_csv(path):
    with open(path, encoding="utf-8", newline="") as f:
        return list(csv.DictReader(f))


def stats_table(out, name):
    """Prints the statistics as the report shows them; returns the rows by
    (type, name)."""
    rows = {(r["Type"], r["Name"]): r for r in read_csv(os.path.join(out, name + "_stats.csv"))}
    print("%-11s %-18s %8s %8s %6s %6s %6s" % ("type", "name", "requests", "failures", "p50",
                                                "p95", "p99"))
    for (kind, label), r in rows.items():
        print("%-11s %-18s %8s %8s %6s %6s %6s" % (kind or "", label, r["Request Count"],
                                                    r["Failure Count"], r["50%"], r["95%"],
                                                    r["99%"]))
    return rows


def peak_players(out, name):
    history = read_csv(os.path.join(out, name + "_stats_history.csv"))
    return max((int(r["User Count"]) for r in history), default=0)


def environment():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.path.join(ROOT, "bindings", "python")
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    return env


def write_seed(bots, path, first_id):
    subprocess.run([bots, "--first-id", str(first_id), "--clients", str(PLAYERS),
                    "--write-seed", path], check=True)


def case_steady(args, env):
    seed = os.path.join(args.out, "steady.seed")
    write_seed(args.bots, seed, 100000)
    server = Server(args.server, seed, os.path.join(args.out, "steady-server.log"))
    try:
        swarm = Swarm(args.out, "steady", env,
                      ["--headless", "-u", str(PLAYERS), "-r", "30", "-t", "30s",
                       "--host", "127.0.0.1:%d" % server.port, "--kelvo-seed", seed] + RATES)
        status = swarm.wait(240)
    finally:
        server.stop()
    check(status == 0, "the master exited with 0 (status %s)" % status)
    check(swarm.logs_clean(), "no traceback in the master's and workers' logs")
    rows = stats_table(args.out, "steady")
    players = peak_players(args.out, "steady")
    print("players at the peak: %d" % players)
    check(players == PLAYERS, "%d players ran" % PLAYERS)
    for key in REQUESTS:
        row = rows.get(key)
        if not check(row is not None and int(row["Request Count"]) > 0, "%s %s reported" % key):
            continue
        check(all(row[p] not in ("", "N/A") for p in ("50%", "95%", "99%")),
              "%s %s has its p50, p95 and p99" % key)
    login = rows.get(("login", "login"), {})
    check(login.get("Request Count") == str(PLAYERS), "every player logged in once")
    check(rows.get(("", "Aggregated"), {}).get("Failure Count") == "0", "no failure")
    check(read_csv(os.path.join(args.out, "steady_failures.csv")) == [], "the failure table is empty")
    check(read_csv(os.path.join(args.out, "steady_exceptions.csv")) == [], "no exception")


class Cells(html.parser.HTMLParser):
    """The text of each row of the tables with the given ids."""

    def __init__(self, ids):
        super().__init__()
        self.ids, self.rows = ids, {i: [] for i in ids}
        self.table, self.row, self.cell = None, None, None

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "table" and attrs.get("id") in self.ids:
            self.table = attrs["id"]
        elif self.table and tag == "tr":
            self.row = []
        elif self.row is not None and tag == "td":
            self.cell = ""

    def handle_endtag(self, tag):
        if tag == "td" and self.cell is not None:
            self.row.append(self.cell.strip())
            self.cell = None
        elif tag == "tr" and self.row is not None:
            if self.row:
                self.rows[self.table].append(self.row)
            self.row = None
        elif tag == "table":
            self.table = None

    def handle_data(self, data):
        if self.cell is not None:
            self.cell += data


def chromium(args, url, extra, timeout=90):
    profile = os.path.join(args.out, "chromium-profile")
    shutil.rmtree(profile, ignore_errors=True)
    cmd = [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
           "--no-first-run", "--disable-background-networking", "--disable-component-update",
           "--disable-sync", "--user-data-dir=" + profile, "--window-size=1400,1000",
           "--virtual-time-budget=5000"] + extra + [url]
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)


def logins(state):
    return sum(e["num_requests"] for e in state.get("stats", []) if e.get("method") == "login")


def web_ui_check(args, web_port):
    """While the players run: the statistics page as a browser shows it."""
    url = "http://127.0.0.1:%d/" % web_port
    deadline = time.monotonic() + 120
    state = {}
    while time.monotonic() < deadline:
        try:
            with urllib.request.urlopen(url + "stats/requests", timeout=5) as r:
                state = json.load(r)
            if state.get("state") == "running" and state.get("user_count") == PLAYERS \
                    and logins(state) == PLAYERS:
                break
        except (OSError, ValueError):
            pass
        time.sleep(0.5)
    check(state.get("state") == "running" and logins(state) == PLAYERS,
          "the web UI says running with %d players, every login answered (%s, %s, %s)"
          % (PLAYERS, state.get("state"), state.get("user_count"), logins(state)))
    time.sleep(5)  # a few rounds of everything in the table
    shot = os.path.join(args.out, "refused-webui.png")
    done = chromium(args, url, ["--screenshot=" + shot])
    check(done.returncode == 0 and os.path.exists(shot) and os.path.getsize(shot) > 10000,
          "chromium took a screenshot of the statistics page: %s" % shot)
    dom = chromium(args, url, ["--dump-dom"])
    page = dom.stdout.decode("utf-8", errors="replace")
    with open(os.path.join(args.out, "refused-webui.html"), "w", encoding="utf-8") as f:
        f.write(page)
    cells = Cells({"stats", "errors"})
    cells.feed(page)
    shown = {(r[0], r[1]) for r in cells.rows["stats"] if len(r) > 2}
    print("statistics page rows: %s" % sorted(shown))
    for key in REQUESTS:
        check(key in shown, "the statistics page shows %s %s" % key)
    errors = [r for r in cells.rows["errors"] if r]
    print("failures page rows: %s" % errors)
    check(any("LoginRefused: 密码错误" in " ".join(r) for r in errors),
          "the failures page shows the refused logins with the server's reason")


def case_refused(args, env):
    # Odd accounts have another password than the one the players use.
    seed = os.path.join(args.out, "refused.seed")
    with open(seed, "w", encoding="utf-8") as f:
        for user_id in range(200000, 200000 + PLAYERS):
            password = ("bot%d" if user_id % 2 == 0 else "other%d") % user_id
            f.write("user %d bot%d %s\n" % (user_id, user_id, password))
    server = Server(args.server, seed, os.path.join(args.out, "refused-server.log"))
    web_port = free_port()
    try:
        # The run ends when the checks of the web UI are done (-t only
        # bounds it): stopped through the UI, then the master is told to
        # quit (SIGTERM), which writes the CSV files' last state and exits
        # as after a run.
        swarm = Swarm(args.out, "refused", env,
                      ["--web-host", "127.0.0.1", "--web-port", str(web_port), "--autostart",
                       "--autoquit", "1", "-u", str(PLAYERS), "-r", "60", "-t", "150s",
                       "--host", "127.0.0.1:%d" % server.port,
                       "--kelvo-first-id", "200000", "--kelvo-password", "bot{id}"] + RATES)
        try:
            web_ui_check(args, web_port)
            urllib.request.urlopen("http://127.0.0.1:%d/stop" % web_port, timeout=30).read()
            time.sleep(4)  # the workers' last reports; the CSV files are rewritten every second
        finally:
            swarm.master.terminate()
            status = swarm.wait(240)
    finally:
        server.stop()
    # Locust's exit status is 1 when anything failed.
    check(status == 1, "the master exited with 1: there were failures (status %s)" % status)
    check(swarm.logs_clean(), "no traceback in the master's and workers' logs")
    rows = stats_table(args.out, "refused")
    fails = read_csv(os.path.join(args.out, "refused_failures.csv"))
    for r in fails:
        # Locust 2.12's master writes the reason a worker reported as a
        # Python literal: 'LoginRefused: ...'.
        r["Error"] = r["Error"][1:-1] if r["Error"][:1] == r["Error"][-1:] == "'" else r["Error"]
    print("failures by reason:")
    for r in fails:
        print("  %-7s %-8s %-28s %s" % (r["Method"], r["Name"], r["Error"], r["Occurrences"]))
    check([(r["Method"], r["Name"], r["Error"], r["Occurrences"]) for r in fails]
          == [("login", "login", "LoginRefused: 密码错误", str(PLAYERS // 2))],
          "exactly the %d refused logins failed, with the server's reason" % (PLAYERS // 2))
    login = rows.get(("login", "login"), {})
    check((login.get("Request Count"), login.get("Failure Count"))
          == (str(PLAYERS), str(PLAYERS // 2)), "300 logins, 150 of them refused")
    check(int(rows.get(("chat", "round trip"), {}).get("Request Count", 0)) > 0,
          "the players that got in chatted")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--bots", required=True)
    parser.add_argument("--module", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("case", choices=["steady", "refused"])
    args = parser.parse_args()
    probe = subprocess.run([PYTHON, "-c", "import locust, gevent"], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
    if probe.returncode != 0:
        print("skipped: %s has no locust (tools/setup.sh installs python3-locust)" % PYTHON)
        return 77
    if args.case == "refused" and not os.path.exists(CHROMIUM):
        print("skipped: no %s (tools/setup.sh installs chromium)" % CHROMIUM)
        return 77
    os.makedirs(args.out, exist_ok=True)
    env = environment()
    env["KELVO_MODULE"] = os.path.abspath(args.module)
    {"steady": case_steady, "refused": case_refused}[args.case](args, env)
    print("%d passed, %d failed" % (len(passed), len(failed)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
