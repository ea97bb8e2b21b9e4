"""kelvo.SharedLoop against kelvo-server: many clients on the module's
shared loop, pumped together by one thread that waits on the loop's wait
handle; the handler rules hold across clients."""

import select
import threading
import time

import pytest

import kelvo

# Ten accounts of the server's own: numbered from 2001, password "p<id>".
SEED = "".join("user %d p%d p%d\n" % (i, i, i) for i in range(2001, 2011))


_made = []  # every client of a test, released after it whatever happened


@pytest.fixture
def loop():
    with kelvo.SharedLoop() as shared:
        yield shared
        while _made:
            _made.pop().release()


def pump_until(loop, done, timeout=10.0):
    """Waits on the wait handle (as an event loop would) and pumps, until
    done() or the time is up."""
    deadline = time.monotonic() + timeout
    while not done():
        left = deadline - time.monotonic()
        assert left > 0, "timed out"
        handle = loop.wait_handle()
        if handle is None:
            loop.wait(min(left, 0.05))
        else:
            select.select([handle], [], [], min(left, 0.5))
        loop.pump()


def crowd(loop, port, ids, **options):
    """Clients on the shared loop, connected and logged in as `ids`."""
    clients = {}
    answers = {}
    options.setdefault("keep_events", False)
    for user_id in ids:
        c = kelvo.Client(shared_loop=True, **options)
        _made.append(c)
        c.on(kelvo.Connected, lambda ev, c=c, u=user_id: c.login(u, "p%d" % u))
        c.on(kelvo.LoginResult, lambda ev, u=user_id: answers.__setitem__(u, ev))
        assert c.on_shared_loop
        clients[user_id] = c
        c.connect("127.0.0.1", port)
    pump_until(loop, lambda: len(answers) == len(ids))
    assert all(a.ok for a in answers.values()), answers
    return clients


def test_one_thread_pumps_every_client_through_the_wait_handle(seeded_server, loop):
    port = seeded_server(SEED).port
    ids = list(range(2001, 2011))
    clients = crowd(loop, port, ids)
    assert loop.wait_handle() is not None  # the loop runs: the descriptor exists
    got = []
    threads = set()
    for user_id, c in clients.items():
        def answer(ev, c=c, me=user_id):
            threads.add(threading.get_ident())
            if ev.text.startswith("ping"):
                c.send_chat(ev.sender, "pong %d" % me)  # a request from inside a handler
            else:
                got.append((me, ev.sender, ev.text))
        c.on(kelvo.ChatMessage, answer)
    # Each client pings the next one; every pong comes back to its sender.
    for i, user_id in enumerate(ids):
        clients[user_id].send_chat(ids[(i + 1) % len(ids)], "ping")
    pump_until(loop, lambda: len(got) == len(ids))
    assert sorted(got) == sorted((u, ids[(i + 1) % len(ids)], "pong %d" % ids[(i + 1) % len(ids)])
                                 for i, u in enumerate(ids))
    assert threads == {threading.get_ident()}
    # Nothing was kept for pump() or wait_for(): the handlers had it all.
    first = clients[ids[0]]
    assert not first._ready
    with pytest.raises(kelvo.KelvoError):
        first.wait_for(kelvo.ChatMessage, timeout=0.1)
    # Settled: the handle no longer polls readable once pumped empty.
    assert loop.pump() == 0
    assert select.select([loop.wait_handle()], [], [], 0)[0] == []
    for c in clients.values():
        c.release()


def test_handler_rules_hold_inside_the_shared_pump(seeded_server, loop):
    port = seeded_server(SEED).port
    clients = crowd(loop, port, [2001, 2002, 2003], keep_events=True)
    a, b, c = clients[2001], clients[2002], clients[2003]
    inside = {}

    def on_b(ev):
        # Inside a handler of the shared pump: neither pump may run events
        # of another client in the middle of this one, and nothing can
        # arrive while it runs, so a wait is refused at once.
        inside["loop.pump"] = loop.pump()
        inside["a.pump"] = a.pump()
        inside["a.wait_for_events"] = a.wait_for_events(1.0)
        with pytest.raises(kelvo.KelvoError, match="inside a handler"):
            a.wait_for(kelvo.ChatMessage, timeout=5)
        if ev.text == "leave":
            b.release()  # from its own handler: nothing after this event
    b.on(kelvo.ChatMessage, on_b)
    after = []
    c.on(kelvo.ChatMessage, after.append)

    a.send_chat(2002, "leave")
    a.send_chat(2002, "lost")     # b is released: never delivered
    a.send_chat(2003, "still here")
    # Two connections have no order between them: c's chat may come first.
    pump_until(loop, lambda: after and b.released)
    assert inside == {"loop.pump": 0, "a.pump": [], "a.wait_for_events": False}
    assert b.released
    assert [ev.text for ev in after] == ["still here"]

    # A KeyboardInterrupt in a handler leaves the native call first, then
    # comes out of loop.pump(); the other client's event still ran.
    stopped = []

    def interrupt(ev):
        stopped.append(ev.text)
        raise KeyboardInterrupt
    a.on(kelvo.ChatMessage, interrupt)
    c.send_chat(2001, "stop")
    a.send_chat(2003, "again")
    with pytest.raises(KeyboardInterrupt):
        pump_until(loop, lambda: len(after) == 2 and stopped)
    pump_until(loop, lambda: len(after) == 2)
    a.release()
    c.release()


def test_loop_threads_only_while_the_loop_is_not_running(seeded_server, loop):
    port = seeded_server(SEED).port
    assert loop.wait_handle() is None  # no client on the loop connected yet
    assert loop.set_threads(2)
    with pytest.raises(ValueError):
        loop.set_threads(65)
    clients = crowd(loop, port, [2001])
    assert not loop.set_threads(3)  # running
    handle = loop.wait_handle()
    for c in clients.values():
        c.release()
    # The loop stopped with its last client; the handle comes back the same.
    assert loop.set_threads(0)
    clients = crowd(loop, port, [2002])
    assert loop.wait_handle() == handle
    for c in clients.values():
        c.release()
    loop.release()
    with pytest.raises(kelvo.ReleasedError):
        loop.pump()
