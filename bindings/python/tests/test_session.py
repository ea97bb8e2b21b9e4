"""The binding against kelvo-server: a whole session through the module's
interfaces, GBK both ways, and release at awkward moments."""

import asyncio
import gc
import os
import shutil
import socket
import struct
import subprocess
import sys
import threading
import time

import pytest

import kelvo
import kelvo.aio
from conftest import INSTALLED, MODULE


def until(client, test, timeout=5.0):
    """Pumps until test() holds; handlers see everything meanwhile."""
    deadline = time.monotonic() + timeout
    while not test():
        assert time.monotonic() < deadline, "condition not met in %.1f s" % timeout
        client.pump()
        client.wait_for_events(0.05)


def test_refused_login_carries_the_servers_gbk_reason(server):
    with kelvo.Client() as c:
        assert c.connect("127.0.0.1", server.port)
        assert c.wait_for(kelvo.Connected).ok
        assert c.login(1001, "not-alice")
        result = c.wait_for(kelvo.LoginResult)
        assert (result.result, result.text) == (kelvo.LoginCode.REFUSED, "密码错误")
        assert type(result.result) is kelvo.LoginCode and not result.ok
        assert c.my_info is None


def test_connect_to_a_closed_port_reports_failure(server):
    port = server.port
    server.stop()
    with kelvo.Client() as c:
        assert c.connect("127.0.0.1", port)
        assert c.wait_for(kelvo.Connected, timeout=10).result is kelvo.ConnectResult.FAILED
        # What the delivered events say is the reason a request was not sent.
        with pytest.raises(kelvo.NotSent) as refused:
            c.send_chat(1002, "hi")
        assert refused.value.reason is kelvo.Refusal.NOT_CONNECTED


def test_connect_by_name_or_ipv6_address(server):
    with kelvo.Client() as c:
        assert c.connect("localhost", server.port)  # ::1 refuses, 127.0.0.1 answers
        assert c.wait_for(kelvo.Connected).ok
        with pytest.raises(kelvo.NotSent) as busy:
            c.connect("localhost", server.port)
        assert busy.value.reason is kelvo.Refusal.CONNECTION_BUSY
    with kelvo.Client() as c:
        # kelvo-server listens on 127.0.0.1 only.
        assert c.connect("[::1]", server.port)
        assert c.wait_for(kelvo.Connected).result is kelvo.ConnectResult.FAILED
    for host, proxy in [("im example.com", None), ("[::1", None), ("", None),
                        ("localhost", ("proxy..example", 1080)), ("localhost", ("localhost", 0))]:
        with kelvo.Client() as c:
            with pytest.raises(kelvo.InvalidArgument) as bad:
                c.connect(host, server.port, proxy)
            assert bad.value.reason is kelvo.Refusal.BAD_HOST, host


def test_login_brings_own_data_roster_groups_and_request(login):
    alice = login(1001, "alice")
    me = alice.my_info
    assert (me.user_id, me.name, me.online_state) == (1001, "alice", kelvo.OnlineState.ONLINE)
    assert not alice.is_gm
    until(alice, lambda: alice.get_user(1005) is not None)
    users = {u.user_id: u for u in alice.users()}
    assert users[1002].name == "bob" and not users[1002].online
    assert users[1002].relation is kelvo.Relation.FRIEND
    assert users[1005].name == "小明" and users[1005].group_id == 2
    assert [u.user_id for u in alice.users(group_id=2)] == [1003, 1005]
    assert [u.user_id for u in alice.users(online_state=kelvo.OnlineState.OFFLINE)] == \
        [1002, 1003, 1005]
    assert [(g.group_id, g.name, g.parent_group_id) for g in alice.groups()] == \
        [(1, "Friends", 0), (2, "Guild", 1)]
    assert alice.get_group(2) == alice.groups()[1]
    assert alice.get_group(77) is None
    until(alice, lambda: alice.get_add_request(1004) is not None)
    assert [u.name for u in alice.add_requests()] == ["dave"]
    assert login(9000, "gm").is_gm


def test_presence_and_game_servers_reach_friends(login):
    alice = login(1001, "alice")
    seen = alice.seen
    bob = login(1002, "bob")
    until(alice, lambda: kelvo.OnlineStateChanged(1002) in seen)
    assert alice.get_user(1002).online
    assert bob.enter_game_server(7)
    until(alice, lambda: kelvo.UserEnteredGameServer(1002) in seen)
    assert [u.user_id for u in alice.users(game_server_id=7)] == [1002]
    assert bob.leave_game_server(7)
    until(alice, lambda: kelvo.UserLeftGameServer(1002) in seen)
    assert alice.get_user(1002).game_server_id == 0
    with pytest.raises(OverflowError):  # 16 bits on the wire: never wrapped to 1
        bob.enter_game_server(65537)


def test_accepting_a_request_adds_the_friend_on_both_sides(login):
    alice = login(1001, "alice")
    dave = login(1004, "dave")
    until(alice, lambda: alice.get_add_request(1004) is not None)
    assert alice.reply_add_request(user_id=1004, group_id=1, accept=True)
    assert alice.get_add_request(1004) is None
    added = alice.wait_for(kelvo.AddUserResult)
    assert (added.result, added.user.user_id, added.user.name) == \
        (kelvo.AddUserCode.ADDED, 1004, "dave")
    assert alice.get_user(1004) is not None
    theirs = dave.wait_for(kelvo.AddUserResult)
    assert (theirs.user.user_id, theirs.user.name) == (1001, "alice")
    with pytest.raises(kelvo.InvalidArgument) as refused:  # nothing pending any more
        alice.reply_add_request(1004, 1, True)
    assert refused.value.reason is kelvo.Refusal.NO_PENDING_REQUEST
    # Asking for someone already on the roster: kelvo-server's refusal code.
    assert alice.add_user(target_user_id=1002, group_id=1)
    assert alice.wait_for(kelvo.AddUserResult).result is kelvo.AddUserCode.REFUSED


def test_groups_with_gbk_names(login):
    alice = login(1001, "alice")
    until(alice, lambda: alice.get_group(2) is not None)
    assert alice.add_group(parent_group_id=0, group_kind=kelvo.GroupKind.FRIENDS, name="公会战")
    made = alice.wait_for(kelvo.AddGroupResult)
    assert made.result is kelvo.AddGroupCode.ADDED and made.group.name == "公会战"
    gid = made.group.group_id
    assert alice.get_group(gid).name == "公会战"
    assert alice.rename_group(gid, "好友们")
    assert alice.wait_for(kelvo.UpdateGroupResult) == kelvo.UpdateGroupResult(1, gid)
    assert alice.get_group(gid).name == "好友们"
    assert alice.delete_group(2)
    assert alice.wait_for(kelvo.DeleteGroupResult) == kelvo.DeleteGroupResult(1, 2)
    # The Guild's members went to its parent.
    assert alice.get_user(1005).group_id == 1
    # Texts the request cannot carry are refused before the module, each
    # with its reason; nothing is sent.
    refusals = [
        (lambda: alice.add_group(0, 1, "表情\U0001F600"), kelvo.Refusal.NOT_ENCODABLE),
        (lambda: alice.rename_group(gid, "a\0b"), kelvo.Refusal.CONTAINS_NUL),
        (lambda: alice.add_group(0, 1, ""), kelvo.Refusal.TEXT_EMPTY),
        (lambda: alice.add_group(0, 1, "组" * 32), kelvo.Refusal.TEXT_TOO_LONG),  # 64 bytes
        (lambda: alice.rename_group(gid, "x" * 64), kelvo.Refusal.TEXT_TOO_LONG),
        (lambda: alice.search_user("x" * 32), kelvo.Refusal.TEXT_TOO_LONG),
    ]
    for request, reason in refusals:
        with pytest.raises(kelvo.InvalidArgument) as refused:
            request()
        assert refused.value.reason is reason and isinstance(refused.value, ValueError)
    assert alice.add_group(0, 1, "组" * 31 + "x")  # 63 bytes: the longest name
    assert alice.wait_for(kelvo.AddGroupResult).result is kelvo.AddGroupCode.ADDED
    assert alice.add_group(0, 1, "好友们")
    taken = alice.wait_for(kelvo.AddGroupResult)
    assert (taken.result, taken.group.group_id) == (kelvo.AddGroupCode.NAME_TAKEN, gid)


def test_chat_both_ways_in_gbk(login):
    alice = login(1001, "alice")
    xiaoming = login(1005, "xiaoming")
    gc.collect()  # the sinks' callbacks must outlive any collection
    assert alice.send_chat(1005, "你好，小明！", chat1=1, chat2=2, chat3=3)
    got = xiaoming.wait_for(kelvo.ChatMessage)
    assert (got.kind, got.sender, got.text) == (kelvo.MessageKind.CHAT, 1001, "你好，小明！")
    assert (got.value1, got.value2, got.value3) == (1, 2, 3)
    assert xiaoming.send_chat(1001, "收到")
    back = alice.wait_for(kelvo.ChatMessage)
    assert (back.sender, back.text) == (1005, "收到")
    assert alice.send_chat(1005, "长" * 127 + "x")  # 255 GBK bytes: the longest
    assert xiaoming.wait_for(kelvo.ChatMessage).text == "长" * 127 + "x"
    for text, reason in [("长" * 128, kelvo.Refusal.TEXT_TOO_LONG),  # 256 GBK bytes
                         ("表情\U0001F600", kelvo.Refusal.NOT_ENCODABLE),
                         ("", kelvo.Refusal.TEXT_EMPTY)]:
        with pytest.raises(kelvo.InvalidArgument) as refused:
            alice.send_chat(1005, text)
        assert refused.value.reason is reason, text
    # Nothing of the refused texts reached 小明: the next chat is the next one.
    assert alice.send_chat(1005, "完")
    assert xiaoming.wait_for(kelvo.ChatMessage).text == "完"


def test_wait_for_keeps_what_it_passes_over(login):
    alice = login(1001, "alice")
    bob = login(1002, "bob")
    for text in ("一", "二", "三"):
        assert bob.send_chat(1001, text)
    second = alice.wait_for(lambda ev: isinstance(ev, kelvo.ChatMessage) and ev.text == "二")
    assert second.sender == 1002
    # The chat it passed over is still there, ahead of the later one.
    assert [alice.wait_for(kelvo.ChatMessage).text for _ in range(2)] == ["一", "三"]


def test_offline_chat_arrives_at_the_next_login(login):
    alice = login(1001, "alice")
    assert alice.send_chat(1002, "稍后见")
    # The server answers one connection's requests in order: once the search
    # is answered, the chat is stored.
    assert alice.search_user("bob")
    alice.wait_for(kelvo.SearchUserListEnd)
    bob = login(1002, "bob")
    until(bob, lambda: any(isinstance(e, kelvo.OfflineMessage) for e in bob.seen))
    [msg] = [e for e in bob.seen if isinstance(e, kelvo.OfflineMessage)]
    assert (msg.sender, msg.text, msg.block[:5]) == (1001, "稍后见", b"alice")


def test_search_by_gbk_name(login):
    alice = login(1001, "alice")
    assert alice.search_user("小")
    items = []
    alice.on(kelvo.SearchUserListItem, lambda ev: items.append(ev.user))
    end = alice.wait_for(kelvo.SearchUserListEnd)
    assert [(u.user_id, u.name) for u in items] == [(1005, "小明")]
    assert end.count == 1


def test_forced_logout_by_the_operator(server, login):
    alice = login(1001, "alice")
    assert server.admin("kick 1001") == "kicked 1001"
    alice.wait_for(kelvo.LoggedOut)
    assert alice.my_info is None
    assert alice.users() == []


def test_a_raising_handler_is_reported_and_delivery_goes_on(login):
    reports = []
    alice = login(1001, "alice", on_error=reports.append)
    chats = []

    def explode(ev):
        raise ValueError("handler bug")
    alice.on(kelvo.ChatMessage, explode)
    # Waiting inside a handler could never end (nothing is delivered until it
    # returns): refused, and reported like any raise.
    alice.on(kelvo.ChatMessage, lambda ev: alice.wait_for(kelvo.Log, timeout=60))
    alice.on(kelvo.ChatMessage, chats.append)
    bob = login(1002, "bob")
    assert bob.send_chat(1001, "一") and bob.send_chat(1001, "二")
    until(alice, lambda: len(chats) == 2)
    assert [c.text for c in chats] == ["一", "二"]
    assert [type(r.error) for r in reports] == [ValueError, kelvo.KelvoError] * 2
    assert reports[0].event == chats[0]
    assert sum(isinstance(e, kelvo.HandlerError) for e in alice.seen) == 0  # not re-dispatched


def _flood(sender, peer, count):
    sent = 0
    for i in range(count):
        try:
            sent += sender.send_chat(peer, "消息 %d" % i)
        except kelvo.NotSent as refused:  # send queue full
            assert refused.reason is kelvo.Refusal.NOT_SENT
    assert sent > 100
    return sent


def test_release_inside_a_handler_during_a_flood(login):
    alice = login(1001, "alice")
    bob = login(1002, "bob")
    seen = []

    def on_chat(ev):
        seen.append(ev)
        if len(seen) == 10:
            alice.release()
    alice.on(kelvo.ChatMessage, on_chat)
    _flood(bob, 1001, 2000)
    for _ in alice.events(timeout=10):
        pass
    assert alice.released and len(seen) == 10  # nothing after the release
    assert alice.pump() == []
    alice.release()
    with pytest.raises(kelvo.ReleasedError):
        alice.send_chat(1002, "x")
    with pytest.raises(kelvo.ReleasedError):
        alice.users()


def test_release_from_another_thread_while_pumping_a_flood(login):
    alice = login(1001, "alice")
    bob = login(1002, "bob")
    seen, fifty = [], threading.Event()

    def on_chat(ev):
        seen.append(ev)
        if len(seen) == 50:
            fifty.set()
    alice.on(kelvo.ChatMessage, on_chat)
    flood = {}

    def flooding():
        deadline = time.monotonic() + 10
        while not alice.released and time.monotonic() < deadline:
            try:
                bob.send_chat(1001, "洪水")
            except kelvo.NotSent:
                pass  # send queue full
        flood["stopped by the release"] = alice.released

    def releasing():
        fifty.wait(10)
        alice.release()
    threads = [threading.Thread(target=flooding), threading.Thread(target=releasing)]
    for t in threads:
        t.start()
    for _ in alice.events(timeout=10):
        pass  # ends when the client is released
    for t in threads:
        t.join()
    assert alice.released and len(seen) >= 50
    assert flood == {"stopped by the release": True}
    delivered = len(seen)
    assert alice.pump() == [] and len(seen) == delivered


class _SyncFace:
    """kelvo.Client behind the coroutines of the asyncio face, so that one
    session runs through either."""

    def __init__(self):
        self.client = kelvo.Client()

    async def connect(self, port):
        self.client.connect("127.0.0.1", port)
        return self.client.wait_for(kelvo.Connected, timeout=10)

    async def login(self, user_id, password):
        # No wait for the answer: login_complete() follows the login from
        # the request on.
        return self.client.login(user_id, password)

    async def login_complete(self, timeout=10.0):
        return self.client.login_complete(timeout)

    async def release(self):
        self.client.release()


class _AioFace(kelvo.aio.AsyncClient):
    async def connect(self, port):
        return await super().connect("127.0.0.1", port)

    async def login(self, user_id, password):
        return (await super().login(user_id, password)).ok


def _server_without_lists():
    """A listening socket and a thread that answers one login with login ok
    and the own data (user 1001) only: no group or friend list follows."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    listener.settimeout(10)

    def message(msg_id, body):
        return struct.pack("<HBB", 4 + len(body), 11 << 2, msg_id) + body

    def serve():
        conn, _ = listener.accept()
        with conn:
            conn.settimeout(10)
            conn.recv(4096)  # the login request
            own = struct.pack("<I", 1001).ljust(20, b"\0") + b"solo".ljust(32, b"\0")
            conn.sendall(message(51, bytes(4)) + message(48, own))
            conn.recv(4096)  # until the client closes

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    return listener, thread


@pytest.mark.parametrize("face", [_SyncFace, _AioFace], ids=["sync", "asyncio"])
def test_login_complete_waits_for_own_data_groups_and_friends(server, face):
    async def session():
        c = face()
        state = lambda: c.client.login_state  # noqa: E731
        try:
            assert state() is kelvo.LoginState.NONE
            assert (await c.connect(server.port)).ok
            assert await c.login_complete() is False, "no login under way"
            assert await c.login(1001, "alice")
            assert await c.login_complete() is True
            assert state() is kelvo.LoginState.COMPLETE
            assert c.client.my_info.user_id == 1001
            assert c.client.get_user(1005) is not None and c.client.groups()
            c.client.close()
            assert state() is kelvo.LoginState.NONE
            assert await c.login_complete() is False

            assert (await c.connect(server.port)).ok
            await c.login(1001, "not-alice")
            assert await c.login_complete() is False, "refused"
            assert c.client.my_info is None
            c.client.close()

            # No list at all: complete a quiet second after the own data,
            # with no event to say so.
            listener, thread = _server_without_lists()
            with listener:
                assert (await c.connect(listener.getsockname()[1])).ok
                await c.login(1001, "x")
                assert await c.login_complete() is True
                assert c.client.my_info.name == "solo" and c.client.users() == []
                c.client.close()
                thread.join(10)
        finally:
            await c.release()
    asyncio.run(asyncio.wait_for(session(), 60))


def _readme_bots():
    readme = os.path.join(os.path.dirname(__file__), "..", "README.md")
    with open(readme, encoding="utf-8") as f:
        blocks = [b.split("```", 1)[0] for b in f.read().split("```python\n")[1:]]
    bots = [b for b in blocks if "sys.argv" in b]
    assert len(bots) == 2, "the README shows a bot and its asyncio twin"
    return bots


@pytest.mark.parametrize("bot_source", _readme_bots(), ids=["sync", "asyncio"])
def test_the_readme_bot_answers_and_leaves_after_its_quota(server, login, bot_source):
    env = dict(os.environ)
    if not INSTALLED:
        env["PYTHONPATH"] = os.path.dirname(os.path.dirname(kelvo.__file__))
    bot = subprocess.Popen([sys.executable, "-c", bot_source, str(server.port), "2"],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env)
    try:
        alice = login(1001, "alice")
        # The bot is on line once alice's roster shows bob online, whichever
        # logged in first.
        until(alice, lambda: getattr(alice.get_user(1002), "online", False))
        for text in ("你好", "再见"):
            assert alice.send_chat(1002, text)
            reply = alice.wait_for(kelvo.ChatMessage)
            assert (reply.sender, reply.text) == (1002, "收到：" + text)
        out, _ = bot.communicate(timeout=10)
    finally:
        bot.kill()
    assert bot.returncode == 0, out
    assert out.decode().splitlines() == ["1001: 你好", "1001: 再见", "answered 2, bye"]


@pytest.mark.parametrize("place", ["in the package", "beside it", "nowhere"])
def test_the_module_is_found_next_to_the_package(tmp_path, place):
    package = os.path.dirname(kelvo.__file__)
    shutil.copytree(package, tmp_path / "kelvo",
                    ignore=shutil.ignore_patterns("__pycache__", "libkelvocore.so*"))
    where = {"in the package": tmp_path / "kelvo", "beside it": tmp_path}.get(place)
    if where is not None:
        os.symlink(MODULE, where / "libkelvocore.so")
    env = {k: v for k, v in os.environ.items() if k != "KELVO_MODULE"}
    env["PYTHONPATH"] = str(tmp_path)
    run = subprocess.run([sys.executable, "-c", "import kelvo; kelvo.Client().release()"],
                         capture_output=True, text=True, env=env, cwd=tmp_path, timeout=30)
    if where is None:
        assert run.returncode != 0 and "KELVO_MODULE is not set" in run.stderr
    else:
        assert run.returncode == 0, run.stderr
