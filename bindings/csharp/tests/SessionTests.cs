// The binding against kelvo-server's demo accounts: every call crosses the
// real module, every event comes back through the sink table built in C#.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Linq;
using System.Threading;
using NUnit.Framework;

namespace Kelvo.Tests
{
    // A client with everything its events said, and the threads they came on.
    internal sealed class Peer : IDisposable
    {
        public readonly KelvoClient Client = new KelvoClient();
        public readonly List<string> Events = new List<string>();
        public readonly List<ChatMessageEventArgs> Chats = new List<ChatMessageEventArgs>();
        public readonly List<UserRecord> SearchItems = new List<UserRecord>();
        public readonly List<Exception> Failures = new List<Exception>();
        public readonly HashSet<int> Threads = new HashSet<int>();
        public bool? ConnectedOk;
        public LoginCode? LoginCode;
        public string LoginText;
        public uint? SearchEnd;
        public int LoggedOut;
        public int LoginsCompleted;

        public Peer()
        {
            Action<string> note = e => { Events.Add(e); Threads.Add(Thread.CurrentThread.ManagedThreadId); };
            Client.Connected += (s, e) => { ConnectedOk = e.Succeeded; note("connect " + e.Result); };
            Client.LoginResultReceived += (s, e) => { LoginCode = e.Result; LoginText = e.Text; note("login " + e.Result); };
            Client.LoggedOut += (s, e) => { LoggedOut++; note("logout"); };
            Client.LoginCompleted += (s, e) =>
            {
                // Raised with the login's data in.
                if (Client.MyInfo.HasValue && Client.GetGroups().Count > 0) LoginsCompleted++;
                note("complete");
            };
            Client.ChatMessageReceived += (s, e) => { Chats.Add(e); note("chat " + e.Sender); };
            Client.AddUserRequestReceived += (s, e) => note("request " + e.UserId);
            Client.AddUserResultReceived += (s, e) => note("adduser " + e.Result + " " + e.User.UserId + " " + e.User.Name);
            Client.AddGroupResultReceived += (s, e) => note("addgroup " + e.Result + " " + e.Group.GroupId + " " + e.Group.Name);
            Client.UpdateGroupResultReceived += (s, e) => note("updategroup " + e.Result + " " + e.GroupId);
            Client.DeleteGroupResultReceived += (s, e) => note("deletegroup " + e.Result + " " + e.GroupId);
            Client.OnlineStateChanged += (s, e) => note("presence " + e.UserId);
            Client.UserEnteredGameServer += (s, e) => note("enter " + e.UserId);
            Client.UserLeftGameServer += (s, e) => note("leave " + e.UserId);
            Client.MoveUserResultReceived += (s, e) => note("move " + e.Result + " " + e.UserId);
            Client.RemoveUserResultReceived += (s, e) => note("remove " + e.Result + " " + e.UserId);
            Client.Closed += (s, e) => note("closed");
            Client.SearchUserListItemReceived += (s, e) => { SearchItems.Add(e.User); note("found " + e.User.UserId); };
            Client.SearchUserListEnded += (s, e) => { SearchEnd = e.Count; note("searchend " + e.Count); };
            Client.HandlerFailed += (s, e) => Failures.Add(e.Exception);
        }

        public void Dispose() { Client.Dispose(); }
    }

    [TestFixture]
    public class SessionTests
    {
        private ServerProcess _server;

        [SetUp] public void StartServer() { _server = new ServerProcess(); }
        [TearDown] public void StopServer() { _server.Dispose(); }

        // Pumps every peer on this thread until the condition holds; fails
        // after ten seconds.
        private static void PumpUntil(Func<bool> condition, string what, params Peer[] peers)
        {
            var clock = Stopwatch.StartNew();
            while (!condition())
            {
                if (clock.ElapsedMilliseconds > 10000) Assert.Fail("timed out waiting for " + what);
                bool any = false;
                foreach (Peer p in peers) if (!p.Client.IsDisposed) any |= p.Client.Pump(256) > 0;
                if (!any && !peers[0].Client.IsDisposed) peers[0].Client.WaitForEvents(5);
            }
        }

        private Peer LogIn(uint userId, string password)
        {
            var peer = new Peer();
            Assert.IsTrue(peer.Client.Connect("127.0.0.1", _server.Port));
            PumpUntil(() => peer.ConnectedOk.HasValue, "connect", peer);
            Assert.IsTrue(peer.ConnectedOk.Value);
            Assert.IsTrue(peer.Client.Login(userId, password));
            PumpUntil(() => peer.LoginCode.HasValue && peer.Client.MyInfo.HasValue, "login", peer);
            Assert.AreEqual(Kelvo.LoginCode.Succeeded, peer.LoginCode.Value, peer.LoginText);
            return peer;
        }

        [Test]
        public void ConnectsByNameAndByIpv6Address()
        {
            using (var byName = new Peer())
            using (var byIpv6 = new Peer())
            {
                // "localhost": ::1 refuses (the server listens on 127.0.0.1), 127.0.0.1 answers.
                Assert.IsTrue(byName.Client.Connect("localhost", _server.Port));
                PumpUntil(() => byName.ConnectedOk.HasValue, "connect by name", byName);
                Assert.IsTrue(byName.ConnectedOk.Value);
                Assert.IsFalse(byName.Client.Connect("localhost", _server.Port), "a connection is up");
                Assert.IsTrue(byIpv6.Client.Connect("[::1]", _server.Port));
                PumpUntil(() => byIpv6.ConnectedOk.HasValue, "connect to ::1", byIpv6);
                Assert.IsFalse(byIpv6.ConnectedOk.Value);
            }
        }

        [Test]
        public void RosterPresenceRequestsAndGroups()
        {
            using (Peer alice = LogIn(1001, "alice"))
            {
                PumpUntil(() => alice.Client.GetUsers().Count == 3 && alice.Events.Contains("request 1004"),
                          "alice's roster and dave's request", alice);
                Assert.AreEqual("alice", alice.Client.MyInfo.Value.Name);
                Assert.IsFalse(alice.Client.IsGm);

                // Roster and groups as the demo set files them; 小明 checks GBK names in records.
                List<UserRecord> users = alice.Client.GetUsers();
                CollectionAssert.AreEqual(new uint[] { 1002, 1003, 1005 }, users.Select(u => u.UserId).ToArray());
                CollectionAssert.AreEqual(new[] { "bob", "carol", "小明" }, users.Select(u => u.Name).ToArray());
                UserRecord xiaoming;
                Assert.IsTrue(alice.Client.TryGetUser(1005, out xiaoming));
                Assert.AreEqual(2u, xiaoming.GroupId);
                Assert.AreEqual(OnlineState.Offline, xiaoming.OnlineState);
                Assert.AreEqual(Relation.Friend, xiaoming.Relation);
                CollectionAssert.AreEqual(new uint[] { 1003, 1005 }, alice.Client.GetUsers(groupId: 2, onlineState: OnlineState.Offline)
                    .Select(u => u.UserId).ToArray());
                List<GroupRecord> groups = alice.Client.GetGroups();
                CollectionAssert.AreEqual(new uint[] { 1, 2 }, groups.Select(g => g.GroupId).ToArray());
                Assert.AreEqual("Guild", groups[1].Name);
                Assert.AreEqual(1u, groups[1].ParentGroupId);
                UserRecord nobody;
                Assert.IsFalse(alice.Client.TryGetUser(4242, out nobody));

                // Presence: bob comes online and onto a game server.
                using (Peer bob = LogIn(1002, "bob"))
                {
                    PumpUntil(() => alice.Events.Contains("presence 1002"), "bob online", alice, bob);
                    UserRecord b;
                    Assert.IsTrue(alice.Client.TryGetUser(1002, out b));
                    Assert.AreEqual(OnlineState.Online, b.OnlineState);
                    Assert.IsTrue(bob.Client.EnterGameServer(7));
                    PumpUntil(() => alice.Events.Contains("enter 1002"), "bob entering server 7", alice, bob);
                    Assert.IsTrue(alice.Client.TryGetUser(1002, out b));
                    Assert.AreEqual(7u, b.GameServerId);
                    Assert.IsTrue(bob.Client.LeaveGameServer(7));
                    PumpUntil(() => alice.Events.Contains("leave 1002"), "bob leaving server 7", alice, bob);
                    alice.Events.Clear();
                    Assert.IsTrue(bob.Client.Logout(1002));
                    PumpUntil(() => alice.Events.Contains("presence 1002"), "bob offline", alice, bob);
                    Assert.IsTrue(alice.Client.TryGetUser(1002, out b));
                    Assert.AreEqual(OnlineState.Offline, b.OnlineState);
                }

                // Refile carol under group 1, then drop bob from the roster.
                Assert.IsTrue(alice.Client.MoveUser(userId: 1003, groupId: 1));
                PumpUntil(() => alice.Events.Contains("move Moved 1003"), "carol moved", alice);
                UserRecord carol;
                Assert.IsTrue(alice.Client.TryGetUser(1003, out carol));
                Assert.AreEqual(1u, carol.GroupId);
                Assert.IsTrue(alice.Client.RemoveUser(1002));
                PumpUntil(() => alice.Events.Contains("remove Removed 1002"), "bob removed", alice);
                Assert.IsFalse(alice.Client.TryGetUser(1002, out carol));

                // The pending request: accept dave into group 1.
                CollectionAssert.AreEqual(new uint[] { 1004 }, alice.Client.GetAddRequests().Select(u => u.UserId).ToArray());
                UserRecord dave;
                Assert.IsTrue(alice.Client.TryGetAddRequest(1004, out dave));
                Assert.AreEqual("dave", dave.Name);
                Assert.IsTrue(alice.Client.ReplyAddRequest(userId: 1004, groupId: 1, accept: true));
                PumpUntil(() => alice.Events.Contains("adduser Added 1004 dave"), "dave added", alice);
                Assert.IsFalse(alice.Client.ReplyAddRequest(1004, 1, true), "nothing pending any more");
                Assert.IsTrue(alice.Client.TryGetUser(1004, out dave));
                Assert.AreEqual(0, alice.Client.GetAddRequests().Count);

                // Groups: add one with a GBK name (63 bytes at most), rename it, delete it.
                Assert.IsTrue(alice.Client.AddGroup(parentGroupId: 1, groupKind: GroupKind.Friends, name: "战队"));
                PumpUntil(() => alice.Events.Contains("addgroup Added 3 战队"), "group added", alice);
                GroupRecord added;
                Assert.IsTrue(alice.Client.TryGetGroup(3, out added));
                Assert.AreEqual("战队", added.Name);
                Assert.IsTrue(alice.Client.RenameGroup(3, "公会二"));
                PumpUntil(() => alice.Events.Contains("updategroup Updated 3"), "group renamed", alice);
                Assert.IsTrue(alice.Client.TryGetGroup(3, out added));
                Assert.AreEqual("公会二", added.Name);
                Assert.IsTrue(alice.Client.DeleteGroup(3));
                PumpUntil(() => alice.Events.Contains("deletegroup Deleted 3"), "group deleted", alice);
                Assert.IsFalse(alice.Client.TryGetGroup(3, out added));
                var tooLong = Assert.Throws<KelvoArgumentException>(() => alice.Client.AddGroup(0, GroupKind.Friends, new string('x', 64)));
                Assert.AreEqual(TextRefusal.TooLong, tooLong.Reason);
                Assert.AreEqual("name", tooLong.ParamName);
                Assert.Throws<KelvoArgumentException>(() => alice.Client.RenameGroup(1, ""));

                // Every handler ran on this, the pumping, thread.
                CollectionAssert.AreEqual(new[] { Thread.CurrentThread.ManagedThreadId }, alice.Threads.ToArray());
                Assert.AreEqual(0, alice.Failures.Count);
            }
        }

        [Test]
        public void ChatBothWaysInGbkAndSearch()
        {
            using (Peer alice = LogIn(1001, "alice"))
            using (Peer xiaoming = LogIn(1005, "xiaoming"))
            {
                Assert.IsTrue(alice.Client.SendChatMessage(1005, "你好，小明！", 1, 2, 3));
                PumpUntil(() => xiaoming.Chats.Count == 1, "chat to 小明", alice, xiaoming);
                ChatMessageEventArgs got = xiaoming.Chats[0];
                Assert.AreEqual(1001u, got.Sender);
                Assert.AreEqual(MessageKind.Chat, got.Kind);
                Assert.AreEqual("你好，小明！", got.Text);
                Assert.AreEqual(new byte[] { 1, 2, 3 }, new[] { got.Value1, got.Value2, got.Value3 });

                Assert.IsTrue(xiaoming.Client.SendChatMessage(1001, "收到 ok"));
                PumpUntil(() => alice.Chats.Count == 1, "chat back to alice", alice, xiaoming);
                Assert.AreEqual(1005u, alice.Chats[0].Sender);
                Assert.AreEqual("收到 ok", alice.Chats[0].Text);

                // Texts the request cannot carry throw, naming the reason, and
                // nothing is sent: an emoji is not turned into "??".
                var refusals = new[]
                {
                    Tuple.Create("表情\U0001F600", TextRefusal.NotEncodable, "U+1F600"),
                    Tuple.Create(new string('字', 128), TextRefusal.TooLong, "256 GBK bytes"),
                    Tuple.Create("", TextRefusal.Empty, "empty"),
                    Tuple.Create("a\0b", TextRefusal.ContainsNul, "NUL"),
                };
                foreach (var refusal in refusals)
                {
                    var e = Assert.Throws<KelvoArgumentException>(() => alice.Client.SendChatMessage(1005, refusal.Item1));
                    Assert.AreEqual(refusal.Item2, e.Reason);
                    Assert.AreEqual("text", e.ParamName);
                    StringAssert.Contains(refusal.Item3, e.Message);
                }
                Assert.IsTrue(alice.Client.SendChatMessage(1005, new string('字', 127) + "x"), "255 GBK bytes fit");
                Assert.IsTrue(alice.Client.SendChatMessage(1005, "完"));
                PumpUntil(() => xiaoming.Chats.Count == 3, "the two chats after the refused ones", alice, xiaoming);
                CollectionAssert.AreEqual(new[] { "你好，小明！", new string('字', 127) + "x", "完" },
                                          xiaoming.Chats.Select(c => c.Text).ToArray());

                // Search by a GBK fragment of a name.
                Assert.IsTrue(alice.Client.SearchUser("小"));
                PumpUntil(() => alice.SearchEnd.HasValue, "search end", alice, xiaoming);
                Assert.AreEqual(1u, alice.SearchEnd.Value);
                Assert.AreEqual(1005u, alice.SearchItems.Single().UserId);
                Assert.AreEqual("小明", alice.SearchItems.Single().Name);

                // Chat to carol while she is offline: stored, then delivered
                // through the offline operation with the send time and the
                // sender's name in its block.
                double before = (DateTime.UtcNow - new DateTime(1970, 1, 1)).TotalSeconds;
                Assert.IsTrue(alice.Client.SendChatMessage(1003, "离线留言"));
                using (Peer carol = LogIn(1003, "carol"))
                {
                    PumpUntil(() => carol.Chats.Count == 1, "the offline message", carol, alice);
                    ChatMessageEventArgs stored = carol.Chats[0];
                    Assert.AreEqual(ChatSource.Offline, stored.Source);
                    Assert.AreEqual(1001u, stored.Sender);
                    Assert.AreEqual("离线留言", stored.Text);
                    Assert.That(stored.Value, Is.InRange(before - 5, before + 60));
                    Assert.AreEqual(ChatMessageEventArgs.BlockSize, stored.Block.Length);
                    Assert.AreEqual("alice", Gbk.Decode(stored.Block));
                }
            }
        }

        [Test]
        public void RefusedLoginForcedLogoutAndThrowingHandlers()
        {
            using (var carol = new Peer())
            {
                Assert.IsTrue(carol.Client.Connect("127.0.0.1", _server.Port));
                PumpUntil(() => carol.ConnectedOk.HasValue, "connect", carol);
                Assert.IsTrue(carol.Client.Login(1003, "wrong"));
                PumpUntil(() => carol.LoginCode.HasValue, "refusal", carol);
                Assert.AreEqual(Kelvo.LoginCode.Refused, carol.LoginCode.Value);
                Assert.AreEqual("密码错误", carol.LoginText);
                Assert.IsNull(carol.Client.MyInfo);
                Assert.AreEqual(LoginState.None, carol.Client.LoginState);
                Assert.IsFalse(carol.Client.LoginCompletedAsync(TimeSpan.FromSeconds(10)).Result, "refused");
                Assert.IsFalse(carol.Events.Contains("complete"));
            }

            using (Peer alice = LogIn(1001, "alice"))
            {
                PumpUntil(() => alice.Events.Contains("complete"), "the login complete", alice);
                Assert.AreEqual(LoginState.Complete, alice.Client.LoginState);

                // A throwing handler is reported and the next handler and event still run.
                int after = 0;
                alice.Client.LoggedOut += (s, e) => { throw new InvalidOperationException("handler bug"); };
                alice.Client.LoggedOut += (s, e) => after++;
                _server.Admin("kick 1001");
                PumpUntil(() => alice.LoggedOut == 1, "the kick", alice);
                Assert.IsNull(alice.Client.MyInfo);
                Assert.AreEqual(LoginState.None, alice.Client.LoginState);
                Assert.AreEqual(1, alice.Failures.Count);
                Assert.AreEqual("handler bug", alice.Failures[0].Message);

                // Logged out but connected: logging in again works.
                alice.LoginCode = null;
                Assert.IsTrue(alice.Client.Login(1001, "alice"));
                Assert.IsTrue(alice.Client.LoginCompletedAsync(TimeSpan.FromSeconds(10)).Result);
                Assert.AreEqual(Kelvo.LoginCode.Succeeded, alice.LoginCode.Value);
                alice.Client.Pump();
                Assert.AreEqual(2, alice.LoginsCompleted, "once per login, each with its data in");

                // A second login of the same account elsewhere forces this one out.
                using (Peer other = LogIn(1001, "alice"))
                {
                    PumpUntil(() => alice.LoggedOut == 2, "forced out by the second login", alice, other);
                    Assert.AreEqual(2, after, "the handler after the throwing one ran each time");
                    PumpUntil(() => other.Events.Contains("complete"), "the other login complete", other);
                    Assert.AreEqual(1, other.LoginsCompleted);
                }

                // The server going away is reported once, and empties the tables.
                _server.Admin("quit");
                PumpUntil(() => alice.Events.Contains("closed"), "the connection closing", alice);
                Assert.IsNull(alice.Client.MyInfo);
                Assert.AreEqual(0, alice.Client.GetGroups().Count);
            }
        }

        // Sends `count` chats, waiting while the send queue is full.
        private static void Send(Peer from, uint to, string prefix, int count)
        {
            var clock = Stopwatch.StartNew();
            for (int i = 0; i < count; i++)
            {
                while (!from.Client.SendChatMessage(to, prefix + i))
                {
                    if (clock.ElapsedMilliseconds > 10000) Assert.Fail("send queue stayed full");
                    from.Client.Pump(256);
                    Thread.Sleep(1);
                }
            }
        }

        [Test]
        public void DisposeDuringAFlood()
        {
            const int Flood = 2000;
            using (Peer bob = LogIn(1002, "bob"))
            {
                Peer alice = LogIn(1001, "alice");
                int seen = 0;
                alice.Client.ChatMessageReceived += (s, m) =>
                {
                    // Dispose from inside a handler, with most of the flood still queued.
                    if (++seen == 100) { alice.Client.Dispose(); alice.Client.Dispose(); }
                };
                Send(bob, 1001, "洪水 ", Flood);
                var clock = Stopwatch.StartNew();
                while (!alice.Client.IsDisposed && clock.ElapsedMilliseconds < 10000)
                {
                    alice.Client.Pump(64);
                    bob.Client.Pump(64);
                    GC.Collect();  // a collected callback would crash the next delivery
                }
                Assert.IsTrue(alice.Client.IsDisposed);
                Assert.AreEqual(100, seen, "no event after Dispose inside the handler");
                Assert.Throws<ObjectDisposedException>(() => alice.Client.Pump());
                Assert.Throws<ObjectDisposedException>(() => alice.Client.SendChatMessage(1002, "x"));
                alice.Dispose();

                // Dispose from outside while the flood is still arriving and queued.
                Peer again = LogIn(1001, "alice");
                int late = 0;
                again.Client.ChatMessageReceived += (s, m) => late++;
                Send(bob, 1001, "再来 ", Flood);
                PumpUntil(() => late > 0, "the second flood reaching alice", again, bob);
                again.Client.WaitForEvents(50);
                again.Dispose();
                int atDispose = late;
                bob.Client.Pump(256);
                GC.Collect();
                GC.WaitForPendingFinalizers();
                Assert.AreEqual(atDispose, late);
                again.Dispose();
            }
        }
    }
}
