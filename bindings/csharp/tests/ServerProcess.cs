// Starts kelvo-server on a free loopback port for the session tests and
// stops it afterwards. The server's path comes from $KELVO_SERVER.
using System;
using System.Diagnostics;
using System.Threading;
using NUnit.Framework;

namespace Kelvo.Tests
{
    internal sealed class ServerProcess : IDisposable
    {
        private readonly Process _process;
        private readonly Thread _drain;
        public int Port { get; private set; }

        public ServerProcess()
        {
            string path = Environment.GetEnvironmentVariable("KELVO_SERVER");
            if (string.IsNullOrEmpty(path)) Assert.Fail("KELVO_SERVER must name the kelvo-server program");
            var start = new ProcessStartInfo(path, "--bind 127.0.0.1 --port 0 --admin-stdin")
            {
                UseShellExecute = false,
                RedirectStandardInput = true,
                RedirectStandardOutput = true,
                RedirectStandardError = true,
            };
            _process = Process.Start(start);
            _process.ErrorDataReceived += (s, e) => { };  // drained so the server never blocks on it
            _process.BeginErrorReadLine();
            string first = _process.StandardOutput.ReadLine();
            const string prefix = "listening on 127.0.0.1:";
            if (first == null || !first.StartsWith(prefix, StringComparison.Ordinal))
            {
                Dispose();
                Assert.Fail("kelvo-server did not start: " + first);
            }
            Port = int.Parse(first.Substring(prefix.Length));
            _drain = new Thread(() => { while (_process.StandardOutput.ReadLine() != null) { } }) { IsBackground = true };
            _drain.Start();
        }

        /// <summary>One admin console command (kick, notice, ...).</summary>
        public void Admin(string command)
        {
            _process.StandardInput.WriteLine(command);
            _process.StandardInput.Flush();
        }

        public void Dispose()
        {
            try
            {
                if (!_process.HasExited)
                {
                    Admin("quit");
                    if (!_process.WaitForExit(5000)) _process.Kill();
                }
            }
            catch (Exception) { }
            _process.Dispose();
        }
    }
}
