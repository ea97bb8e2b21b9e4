"""The binding against kelvo-server: a whole session through the module's
interfaces, GBK both ways, and release at awkward moments."""

import gc
import os
import shutil
import subprocess
import sys
import threading
import time

import pytest

import kelvo


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
        assert (result.result, result.text) == (0, "密码错误")
        assert c.my_info is None


def test_connect_to_a_closed_port_reports_failure(server):
    port = server.port
    server.stop()
    with kelvo.Client() as c:
        assert c.connect("127.0.0.1", port)
        assert c.wait_for(kelvo.Connected, timeout=10).ok is False


def test_login_brings_own_data_roster_groups_and_request(login):
    alice = login(1001, "alice")
    me = alice.my_info
    assert (me.user_id, me.name, me.online_state) == (1001, "alice", 2)
    assert not alice.is_gm
    until(alice, lambda: alice.get_user(1005) is not None)
    users = {u.user_id: u for u in alice.users()}
    assert users[1002].name == "bob" and not users[1002].online
    assert users[1005].name == "小明" and users[1005].group_id == 2
    assert [u.user_id for u in alice.users(group_id=2)] == [1003, 1005]
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
    assert alice.reply_add_request(1004, 1, True)
    assert alice.get_add_request(1004) is None
    added = alice.wait_for(kelvo.AddUserResult)
    assert (added.result, added.user.user_id, added.user.name) == (2, 1004, "dave")
    assert alice.get_user(1004) is not None
    theirs = dave.wait_for(kelvo.AddUserResult)
    assert (theirs.user.user_id, theirs.user.name) == (1001, "alice")
    assert not alice.reply_add_request(1004, 1, True)  # nothing pending any more


def test_groups_with_gbk_names(login):
    alice = login(1001, "alice")
    until(alice, lambda: alice.get_group(2) is not None)
    assert alice.add_group(0, 1, "公会战")
    made = alice.wait_for(kelvo.AddGroupResult)
    assert made.result == 1 and made.group.name == "公会战"
    gid = made.group.group_id
    assert alice.get_group(gid).name == "公会战"
    assert alice.rename_group(gid, "好友们")
    assert alice.wait_for(kelvo.UpdateGroupResult) == kelvo.UpdateGroupResult(1, gid)
    assert alice.get_group(gid).name == "好友们"
    assert alice.delete_group(2)
    assert alice.wait_for(kelvo.DeleteGroupResult) == kelvo.DeleteGroupResult(1, 2)
    # The Guild's members went to its parent.
    assert alice.get_user(1005).group_id == 1
    # Texts GBK cannot hold, or with a NUL, are refused before the module.
    with pytest.raises(UnicodeEncodeError):
        alice.add_group(0, 1, "\U0001F600")
    with pytest.raises(ValueError):
        alice.rename_group(gid, "a\0b")
    assert not alice.add_group(0, 1, "")  # the module's own refusal


def test_chat_both_ways_in_gbk(login):
    alice = login(1001, "alice")
    xiaoming = login(1005, "xiaoming")
    gc.collect()  # the sinks' callbacks must outlive any collection
    assert alice.send_chat(1005, "你好，小明！", chat1=1, chat2=2, chat3=3)
    got = xiaoming.wait_for(kelvo.ChatMessage)
    assert (got.kind, got.sender, got.text) == (0, 1001, "你好，小明！")
    assert (got.value1, got.value2, got.value3) == (1, 2, 3)
    assert xiaoming.send_chat(1001, "收到")
    back = alice.wait_for(kelvo.ChatMessage)
    assert (back.sender, back.text) == (1005, "收到")
    assert not alice.send_chat(1005, "长" * 128)  # 256 GBK bytes: over the limit


def test_offline_chat_arrives_at_the_next_login(login):
    alice = login(1001, "alice")
    assert alice.send_chat(1002, "稍后见")
    # The server answers one connection's requests in order: once the search
    # is answered, the chat is stored.
    assert alice.search_user(0, 0, "bob")
    alice.wait_for(kelvo.SearchUserListEnd)
    bob = login(1002, "bob")
    until(bob, lambda: any(isinstance(e, kelvo.OfflineMessage) for e in bob.seen))
    [msg] = [e for e in bob.seen if isinstance(e, kelvo.OfflineMessage)]
    assert (msg.sender, msg.text, msg.block[:5]) == (1001, "稍后见", b"alice")


def test_search_by_gbk_name(login):
    alice = login(1001, "alice")
    assert alice.search_user(0, 0, "小")
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
        sent += sender.send_chat(peer, "消息 %d" % i)
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
            bob.send_chat(1001, "洪水")
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


def test_the_readme_bot_answers_and_leaves_after_its_quota(server, login):
    readme = os.path.join(os.path.dirname(__file__), "..", "README.md")
    with open(readme, encoding="utf-8") as f:
        bot_source = f.read().split("```python\n", 1)[1].split("```", 1)[0]
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(kelvo.__file__)))
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
    shutil.copytree(package, tmp_path / "kelvo", ignore=shutil.ignore_patterns("__pycache__"))
    where = {"in the package": tmp_path / "kelvo", "beside it": tmp_path}.get(place)
    if where is not None:
        os.symlink(os.environ["KELVO_MODULE"], where / "libkelvocore.so")
    env = {k: v for k, v in os.environ.items() if k != "KELVO_MODULE"}
    env["PYTHONPATH"] = str(tmp_path)
    run = subprocess.run([sys.executable, "-c", "import kelvo; kelvo.Client().release()"],
                         capture_output=True, text=True, env=env, cwd=tmp_path, timeout=30)
    if where is None:
        assert run.returncode != 0 and "KELVO_MODULE is not set" in run.stderr
    else:
        assert run.returncode == 0, run.stderr
