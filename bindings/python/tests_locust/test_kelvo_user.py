"""kelvo.locust in one process: Locust's own local runner drives KelvoUser
players against kelvo-server, and every failure reaches Locust's statistics
with its reason. A process of its own: importing Locust patches the
standard library for gevent (tools: CTest's PythonBinding.Locust)."""

import os
import socket
import sys
import time

import pytest

pytest.importorskip("locust")

import gevent  # noqa: E402
from locust import task  # noqa: E402
from locust.argument_parser import parse_options  # noqa: E402
from locust.env import Environment  # noqa: E402
import locust  # noqa: E402

import kelvo.locust as kl  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
from conftest import Server  # noqa: E402


def seeded(tmp_path, text):
    path = tmp_path / "seed"
    path.write_text(text, encoding="utf-8")
    return Server(str(path))


def run_until(done, timeout=20.0):
    deadline = time.monotonic() + timeout
    while not done():
        assert time.monotonic() < deadline, "timed out"
        gevent.sleep(0.05)


def failures(env):
    """{(type, name, reason): occurrences} of the run's failure table, as
    Locust shows the reason."""
    return {(e.method, e.name, e.parse_error(e.error)): e.occurrences
            for e in env.stats.errors.values()}


def environment(classes, host, *args):
    env = Environment(user_classes=classes, host=host, events=locust.events)
    env.parsed_options = parse_options(args=list(args))
    return env


def test_failures_reach_the_statistics_with_their_reasons(tmp_path):
    # 2001-2003 talk, 2004 is mute (never answers a ping), 2005's password
    # is not the one the players use.
    server = seeded(tmp_path, "".join("user %d p%d p%d\n" % (i, i, i) for i in range(2001, 2005))
                    + "user 2005 p2005 other\n")
    ids = iter([2001, 2002, 2003, 2005])
    # (user id, my_info) as each task found it: tasks start only once the
    # login is complete, so never None.
    own_data = []

    class Mute(kl.KelvoUser):
        fixed_count = 1
        answer_pings = False

        def take_account(self):
            return kl.Account(2004, "p2004")

        @task
        def idle(self):
            gevent.sleep(0.1)

    class Talker(kl.KelvoUser):
        fixed_count = 4

        def take_account(self):
            user_id = next(ids)
            return kl.Account(user_id, "p%d" % user_id)

        def on_start(self):
            super().on_start()
            self.done = False

        @task
        def talk(self):
            if not self.done and len(kl.players) == 4:  # every player that gets in is in
                self.done = True
                self.client.chat(2004, name="to mute")
                peer = 2001 if self.client.user_id != 2001 else 2002
                self.client.chat(peer, name="to talker")
            # A read through the player parks it once it is out, so a task
            # never runs on after its loss.
            me = self.client.my_info
            own_data.append((self.client.user_id, me and me.user_id))
            assert self.client.lost is None
            gevent.sleep(0.05)

    env = environment([Mute, Talker], "127.0.0.1:%d" % server.port, "--kelvo-timeout", "1")
    runner = env.create_local_runner()
    try:
        runner.start(5, spawn_rate=100)
        stats = env.stats
        run_until(lambda: stats.get("round trip", "chat").num_requests == 0
                  and stats.get("to talker", "chat").num_requests == 3
                  and stats.get("to mute", "chat").num_failures == 3)
        assert stats.get("login", "login").num_requests == 5
        assert stats.get("to talker", "chat").num_failures == 0
        assert failures(env) == {
            ("login", "login", "LoginRefused: 密码错误"): 1,
            ("chat", "to mute", "NoAnswer: no answer within 1 s"): 3,
        }
        assert sorted(kl.players._by_id) == [2001, 2002, 2003, 2004]
        assert {user for user, _ in own_data} == {2001, 2002, 2003}
        assert all(user == mine for user, mine in own_data), own_data

        # The server goes: each player reports the module's reason once and
        # is out, in no table, doing nothing more (no exception in a task),
        # yet still counted: Locust starts nobody in its place.
        server.stop()
        run_until(lambda: len(failures(env)) == 3)
        gevent.sleep(1.5)  # longer than the answer timeout: nothing else fails
        lost = {k: v for k, v in failures(env).items() if k[0] == "connection"}
        # (The module's line: "ImServerClient: connection to ... lost: connection closed by peer".)
        assert lost == {("connection", "lost", "ConnectionLost: connection closed by peer"): 4}
        assert len(kl.players) == 0
        assert runner.exceptions == {}
        assert runner.user_count == 5
    finally:
        runner.quit()
        server.stop()

    # Nobody listens any more: the connect fails with the module's reason.
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        closed = s.getsockname()[1]

    class Late(kl.KelvoUser):
        fixed_count = 1

        def take_account(self):
            return kl.Account(2001, "p2001")

        @task
        def idle(self):
            gevent.sleep(0.1)

    env = environment([Late], "kelvo://127.0.0.1:%d" % closed, "--kelvo-timeout", "5")
    runner = env.create_local_runner()
    try:
        runner.start(1, spawn_rate=10)
        run_until(lambda: env.stats.get("connect", "connect").num_failures == 1)
        assert failures(env) == {("connect", "connect", "ConnectFailed: connection refused"): 1}
    finally:
        runner.quit()


def test_tasks_start_once_the_login_is_complete():
    # Chaos seed 17 holds back every message after the login answer of the
    # first four connections (a delay at "after-login", 20 to 400 ms each):
    # the own data, groups and friends come well after LoginResult.
    server = Server(options=["--chaos", "17", "--chaos-share", "1", "--chaos-only", "delay"])
    accounts = iter([kl.Account(1001, "alice"), kl.Account(1002, "bob"), kl.Account(1003, "carol")])
    seen = []

    class Player(kl.KelvoUser):
        fixed_count = 3

        def take_account(self):
            return next(accounts)

        @task
        def look(self):
            me = self.client.my_info
            seen.append((self.client.user_id, me and me.user_id))
            gevent.sleep(0.05)

    env = environment([Player], "127.0.0.1:%d" % server.port)
    runner = env.create_local_runner()
    try:
        runner.start(3, spawn_rate=100)
        run_until(lambda: {user for user, _ in seen} == {1001, 1002, 1003})
        assert all(user == mine for user, mine in seen), seen
        assert failures(env) == {}
    finally:
        runner.quit()
        server.stop()


def test_accounts_are_handed_out_once(tmp_path):
    seed = tmp_path / "seed"
    seed.write_text("# two\nuser 7 a pa\n\nuser 9 b pb gm=1  # comment\ngroup 7 1 0 1 x\n")
    source = kl.AccountSource(str(seed), None, "ignored")
    assert [source.slot(0), source.slot(1)] == [kl.Account(7, "pa"), kl.Account(9, "pb")]
    with pytest.raises(IndexError):
        source.slot(2)
    numbered = kl.AccountSource(None, 4294967294, "x{id}y{id}")
    assert numbered.slot(1) == kl.Account(4294967295, "x4294967295y4294967295")
    with pytest.raises(IndexError):
        numbered.slot(2)
    for text, error in [("user 7 a pa\nuser 7 b pb\n", "defined twice"),
                        ("user 0 a pa\n", "expected user"), ("friend 1 2 1\n", "no user records")]:
        seed.write_text(text)
        with pytest.raises(ValueError, match=error):
            kl.AccountSource(str(seed), None, "")
    with pytest.raises(ValueError, match="either"):
        kl.AccountSource(str(seed), 5, "")

    # The master's side: every request gets accounts no other got, until
    # they run out, which is an error for the asking worker.
    pool = kl._AccountPool()
    env = environment([], "127.0.0.1:1", "--kelvo-first-id", "100", "--kelvo-password", "p{id}")
    first, err1 = pool.grant(env, 3)
    second, err2 = pool.grant(env, 2)
    assert err1 is None and err2 is None
    assert [i for i, _ in first + second] == [100, 101, 102, 103, 104]
    assert first[0] == (100, "p100")

    # A worker's side: grants go to the players waiting, in order; an error
    # fails the rest.
    waiting = [gevent.event.AsyncResult() for _ in range(3)]
    pool.waiting.extend(waiting)
    pool.asked = 3
    pool.granted([(5, "a"), (6, "b")], "every account is in use (7 accounts)")
    assert [w.get(timeout=1) for w in waiting[:2]] == [kl.Account(5, "a"), kl.Account(6, "b")]
    with pytest.raises(kl.KelvoFailure, match="in use"):
        waiting[2].get(timeout=1)
    assert pool.asked == 0 and not pool.waiting
