// The Task-based calls against kelvo-server, and the enums and parameter
// names against docs/arguments-and-results.md (the table the C++ headers and
// the Python binding are checked against too).
using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Threading;
using System.Threading.Tasks;
using NUnit.Framework;

namespace Kelvo.Tests
{
    [TestFixture]
    public class TaskTests
    {
        private ServerProcess _server;

        [SetUp] public void StartServer() { _server = new ServerProcess(); }
        [TearDown] public void StopServer() { _server.Dispose(); }

        private static T Finish<T>(Task<T> task)
        {
            Assert.IsTrue(task.Wait(TimeSpan.FromSeconds(15)), "the task did not complete");
            return task.Result;
        }

        [Test]
        public void ConnectLoginAndWaitForWithoutAPumpLoop()
        {
            using (var alice = new KelvoClient())
            using (var bob = new KelvoClient())
            {
                // No one pumps but the Task-based calls themselves.
                Assert.AreEqual(ConnectResult.Succeeded, Finish(alice.ConnectAsync("127.0.0.1", _server.Port)).Result);
                LoginResultEventArgs refused = Finish(alice.LoginAsync(1001, "wrong"));
                Assert.AreEqual(LoginCode.Refused, refused.Result);
                Assert.AreEqual("密码错误", refused.Text);
                Assert.IsTrue(Finish(alice.LoginAsync(1001, "alice")).Succeeded);
                Assert.Throws<InvalidOperationException>(() => alice.ConnectAsync("127.0.0.1", _server.Port));

                Assert.IsTrue(Finish(bob.ConnectAsync("127.0.0.1", _server.Port)).Succeeded);
                Assert.IsTrue(Finish(bob.LoginAsync(1002, "bob")).Succeeded);

                // The match picks the second chat; the first still reached the handler.
                var handled = new List<string>();
                alice.ChatMessageReceived += (s, e) => handled.Add(e.Text);
                Task<ChatMessageEventArgs> second = alice.WaitForAsync<ChatMessageEventArgs>(e => e.Text == "二");
                Assert.IsTrue(bob.SendChatMessage(1001, "一") && bob.SendChatMessage(1001, "二"));
                Assert.AreEqual(1002u, Finish(second).Sender);
                CollectionAssert.AreEqual(new[] { "一", "二" }, handled);

                // Cancellation and the time limit end a wait that nothing answers.
                using (var cancel = new CancellationTokenSource())
                {
                    Task<LoggedOutEventArgs> never = alice.WaitForAsync<LoggedOutEventArgs>(cancellationToken: cancel.Token);
                    cancel.Cancel();
                    var thrown = Assert.Throws<AggregateException>(() => never.Wait(TimeSpan.FromSeconds(15)));
                    Assert.IsInstanceOf<OperationCanceledException>(thrown.InnerException);
                }
                Task<LoggedOutEventArgs> limited = alice.WaitForAsync<LoggedOutEventArgs>(timeout: TimeSpan.FromMilliseconds(50));
                var late = Assert.Throws<AggregateException>(() => limited.Wait(TimeSpan.FromSeconds(15)));
                Assert.IsInstanceOf<TimeoutException>(late.InnerException);

                // A forced logout completes a wait for it.
                Task<LoggedOutEventArgs> kicked = alice.WaitForAsync<LoggedOutEventArgs>();
                _server.Admin("kick 1001");
                Finish(kicked);
                Assert.IsNull(alice.MyInfo);
            }
        }

        [Test]
        public void DisposeEndsAWait()
        {
            var alice = new KelvoClient();
            Assert.IsTrue(Finish(alice.ConnectAsync("127.0.0.1", _server.Port)).Succeeded);
            Task<LoggedOutEventArgs> waiting = alice.WaitForAsync<LoggedOutEventArgs>();
            alice.Dispose();
            var thrown = Assert.Throws<AggregateException>(() => waiting.Wait(TimeSpan.FromSeconds(15)));
            Assert.IsInstanceOf<ObjectDisposedException>(thrown.InnerException);
        }
    }

    [TestFixture]
    public class TableTests
    {
        // The rows of the table under `section` in docs/arguments-and-results.md.
        private static List<string[]> Rows(string section)
        {
            string path = Environment.GetEnvironmentVariable("KELVO_ARGUMENTS_TABLE");
            if (string.IsNullOrEmpty(path)) Assert.Fail("KELVO_ARGUMENTS_TABLE must name docs/arguments-and-results.md");
            string text = File.ReadAllText(path);
            string body = text.Split(new[] { "\n## " + section + "\n" }, StringSplitOptions.None)[1];
            body = body.Split(new[] { "\n## " }, StringSplitOptions.None)[0];
            return body.Split('\n').Where(l => l.StartsWith("|")).Skip(2)
                .Select(l => l.Trim().Trim('|').Split('|').Select(c => c.Trim().Trim('`')).ToArray())
                .ToList();
        }

        [Test]
        public void EnumsHoldExactlyTheTablesCodes()
        {
            var expected = new Dictionary<Type, Dictionary<string, ulong>>();
            foreach (string[] row in Rows("Result codes and values"))
            {
                string[] name = row[4].Split('.');
                Type type = typeof(KelvoClient).Assembly.GetType("Kelvo." + name[0]);
                Assert.IsNotNull(type, "no enum Kelvo." + name[0]);
                if (!expected.ContainsKey(type)) expected[type] = new Dictionary<string, ulong>();
                expected[type][name[1]] = ulong.Parse(row[2]);
            }
            Assert.AreEqual(13, expected.Count, "enums in the table");
            foreach (var pair in expected)
            {
                var actual = Enum.GetNames(pair.Key).ToDictionary(
                    n => n, n => Convert.ToUInt64(Enum.Parse(pair.Key, n)));
                CollectionAssert.AreEquivalent(pair.Value, actual, pair.Key.Name);
            }
        }

        [Test]
        public void RequestsTakeTheTablesParameterNames()
        {
            foreach (var op in Rows("Request arguments").GroupBy(r => r[0]))
            {
                string[] named = op.Select(r => r[3]).OrderBy(n => n).ToArray();
                // The overload that names them all (Login has a digest form).
                bool found = typeof(KelvoClient).GetMethods(BindingFlags.Public | BindingFlags.Instance)
                    .Where(m => m.Name == op.Key)
                    .Any(m => m.GetParameters().Select(p => p.Name).OrderBy(n => n).SequenceEqual(named));
                Assert.IsTrue(found, "KelvoClient." + op.Key + " takes (" + string.Join(", ", named) + ")");
            }
        }
    }
}
