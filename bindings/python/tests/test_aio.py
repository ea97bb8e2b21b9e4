"""kelvo.aio against kelvo-server: the loop pumps, awaits see the answers to
their own requests, and a release ends every wait."""

import asyncio
import socket
import threading

import pytest

import kelvo
import kelvo.aio


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 30))


async def logged_in(port, user_id, password):
    client = kelvo.aio.AsyncClient()
    await client.__aenter__()
    assert (await client.connect("127.0.0.1", port)).ok
    login = await client.login(user_id, password)
    assert login.result is kelvo.LoginCode.SUCCEEDED, login.text
    return client


def test_chat_handlers_on_the_loop_thread_and_concurrent_waits(server):
    async def session():
        alice = await logged_in(server.port, 1001, "alice")
        bob = await logged_in(server.port, 1002, "bob")
        threads = set()
        alice.on(kelvo.ChatMessage, lambda ev: threads.add(threading.get_ident()))
        # Two waits at once, each for its own text, answered out of order.
        first = asyncio.ensure_future(alice.wait_for(
            lambda ev: isinstance(ev, kelvo.ChatMessage) and ev.text == "甲"))
        second = asyncio.ensure_future(alice.wait_for(
            lambda ev: isinstance(ev, kelvo.ChatMessage) and ev.text == "乙"))
        await asyncio.sleep(0)
        assert bob.send_chat(1001, "乙") and bob.send_chat(1001, "甲")
        got = await asyncio.gather(first, second)
        assert [(ev.sender, ev.text) for ev in got] == [(1002, "甲"), (1002, "乙")]
        assert threads == {threading.get_ident()}
        # Requests and reads are the synchronous client's.
        assert alice.get_user(1002).online_state is kelvo.OnlineState.ONLINE
        with pytest.raises(kelvo.InvalidArgument):
            alice.send_chat(1002, "长" * 128)
        await bob.release()
        await alice.release()
    run(session())


def test_connect_awaits_its_own_outcome_not_an_older_one(server):
    with socket.socket() as s:  # a port nobody listens on
        s.bind(("127.0.0.1", 0))
        closed_port = s.getsockname()[1]

    async def session():
        async with kelvo.aio.AsyncClient() as c:
            # A failed attempt whose Connected nobody takes stays waiting...
            c.client.connect("127.0.0.1", closed_port)
            while not any(isinstance(ev, kelvo.Connected) for _, ev in c.client._ready):
                await asyncio.sleep(0.01)  # pumped by the loop meanwhile
            # ...and connect() answers with the outcome of its own attempt.
            deadline = asyncio.get_running_loop().time() + 10
            while True:
                try:
                    outcome = await c.connect("127.0.0.1", server.port)
                    break
                except kelvo.NotSent as busy:  # the failed attempt not yet over
                    assert busy.reason is kelvo.Refusal.CONNECTION_BUSY
                    assert asyncio.get_running_loop().time() < deadline
                    await asyncio.sleep(0.01)
            assert outcome.result is kelvo.ConnectResult.SUCCEEDED
            stale = await c.wait_for(kelvo.Connected, timeout=1)
            assert stale.result is kelvo.ConnectResult.FAILED
    run(session())


def test_release_ends_iteration_and_waits(server):
    async def session():
        alice = await logged_in(server.port, 1001, "alice")
        waiting = asyncio.ensure_future(alice.wait_for(kelvo.LoggedOut, timeout=20))
        seen = []

        async def iterate():
            async for ev in alice.events():
                seen.append(ev)
        iterating = asyncio.ensure_future(iterate())
        await asyncio.sleep(0.05)
        await alice.release()
        await asyncio.wait_for(iterating, 5)  # ended by the release, not by a timeout
        with pytest.raises(kelvo.ReleasedError):
            await waiting
        with pytest.raises(kelvo.ReleasedError):
            alice.send_chat(1002, "x")
        await alice.release()  # twice is fine
    run(session())
