// KelvoClient: one messaging client of the native module, driven from the
// thread that calls Pump().
//
// The client is put in pump mode before anything else, so the module's
// network thread only reads and queues: every event handler of this class
// runs inside Pump() (or inside the enumeration calls), on the caller's
// thread. A Unity MonoBehaviour calls Pump() from Update(); a console program
// calls WaitForEvents() and Pump() in a loop, or awaits the Task-based calls,
// which pump while they wait.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Globalization;
using System.Net;
using System.Net.Sockets;
using System.Runtime.InteropServices;
using System.Security.Cryptography;
using System.Text;
using System.Threading;
using System.Threading.Tasks;

namespace Kelvo
{
    /// <summary>
    /// One client of the Kelvo messaging module: connect, log in, send
    /// requests, read the local roster; the server's answers and pushes arrive
    /// as events, raised inside <see cref="Pump"/> on the thread that calls it.
    /// </summary>
    public sealed class KelvoClient : IDisposable
    {
        /// <summary>Longest chat text, in GBK bytes.</summary>
        public const int MaxChatBytes = 255;
        /// <summary>Longest group name, in GBK bytes (the server cuts longer ones).</summary>
        public const int MaxGroupNameBytes = 63;
        /// <summary>Longest searched name, in GBK bytes.</summary>
        public const int MaxSearchNameBytes = 31;

        // ---- events: raised only inside Pump() on the calling thread ----

        /// <summary>Outcome of Connect.</summary>
        public event EventHandler<ConnectedEventArgs> Connected;
        /// <summary>The connection was lost (Close raises none); the tables are emptied right after.</summary>
        public event EventHandler<ClosedEventArgs> Closed;
        /// <summary>Server information opening a login; the friend and group tables are emptied right after.</summary>
        public event EventHandler<ServerInfoEventArgs> ServerInfoReceived;
        /// <summary>The server's answer to Login.</summary>
        public event EventHandler<LoginResultEventArgs> LoginResultReceived;
        /// <summary>
        /// The login is complete: own data (<see cref="MyInfo"/>), the groups
        /// and the first friend list have arrived, or a second passed after
        /// the last of them with some missing. Raised once per login, inside
        /// Pump, once the events that completed it have run (the quiet
        /// second: at the first Pump after it, even with nothing queued).
        /// </summary>
        public event EventHandler<LoginCompletedEventArgs> LoginCompleted;
        /// <summary>Forced logout (the account logged in elsewhere, or an operator's kick).</summary>
        public event EventHandler<LoggedOutEventArgs> LoggedOut;
        /// <summary>Result of AddUser, or a game master coming online.</summary>
        public event EventHandler<AddUserResultEventArgs> AddUserResultReceived;
        /// <summary>Result of RemoveUser, or a game master going offline.</summary>
        public event EventHandler<RemoveUserResultEventArgs> RemoveUserResultReceived;
        /// <summary>Result of AddGroup.</summary>
        public event EventHandler<AddGroupResultEventArgs> AddGroupResultReceived;
        /// <summary>Result of DeleteGroup (members already refiled).</summary>
        public event EventHandler<DeleteGroupResultEventArgs> DeleteGroupResultReceived;
        /// <summary>Result of RenameGroup or a group update.</summary>
        public event EventHandler<UpdateGroupResultEventArgs> UpdateGroupResultReceived;
        /// <summary>Result of MoveUser (also raised by some add and remove results).</summary>
        public event EventHandler<MoveUserResultEventArgs> MoveUserResultReceived;
        /// <summary>A chat, a server notice or a stored offline message.</summary>
        public event EventHandler<ChatMessageEventArgs> ChatMessageReceived;
        /// <summary>Another user asks to be added.</summary>
        public event EventHandler<AddUserRequestEventArgs> AddUserRequestReceived;
        /// <summary>The other user declined the own add request.</summary>
        public event EventHandler<AddUserReplyEventArgs> AddUserReplyReceived;
        /// <summary>A friend's online state changed.</summary>
        public event EventHandler<OnlineStateChangedEventArgs> OnlineStateChanged;
        /// <summary>A friend entered a game server.</summary>
        public event EventHandler<UserEnteredGameServerEventArgs> UserEnteredGameServer;
        /// <summary>A friend left a game server.</summary>
        public event EventHandler<UserLeftGameServerEventArgs> UserLeftGameServer;
        /// <summary>A diagnostic text of the module.</summary>
        public event EventHandler<LogEventArgs> LogReceived;
        /// <summary>A single search result.</summary>
        public event EventHandler<SearchUserResultEventArgs> SearchUserResultReceived;
        /// <summary>One user of a search result list.</summary>
        public event EventHandler<SearchUserListItemEventArgs> SearchUserListItemReceived;
        /// <summary>The end of a search result list.</summary>
        public event EventHandler<SearchUserListEndEventArgs> SearchUserListEnded;
        /// <summary>
        /// An event handler threw. The exception stops at the binding (it
        /// never reaches the module); the event's other handlers and the
        /// following events are still delivered.
        /// Without a handler here it is written to Console.Error.
        /// </summary>
        public event EventHandler<HandlerFailedEventArgs> HandlerFailed;

        // ---- state ----

        private IntPtr _client;   // IImClient*, zero once disposed
        private IntPtr _pump;     // IImClientPump* of the same object
        private IntPtr _network;  // IImClientNetwork* of the same object; zero for an older module
        private IntPtr _sink;     // our IImClientSink object, freed after Release
        private GCHandle _self;   // weak: the sink must not keep the client alive
        private readonly object _lifetime = new object();
        private int _depth;       // callbacks under way (to free the sink after the outermost)
        private bool _freeSinkPending;
        private readonly List<Waiter> _waiters = new List<Waiter>();
        private readonly object _pumping = new object();  // Pump, WaitForEvents and Dispose

        // Operations of IImClient (slots 3-27; 0-2 are IImBase's) and
        // IImClientPump, read from the object's tables once.
        private readonly Native.B _release;
        private readonly Native.BAddress _connect;
        private readonly Native.QueryFn _query;
        private readonly Native.B _close;
        private readonly Native.BLogin _login;
        private readonly Native.BU _logout, _removeUser, _deleteGroup;
        private readonly Native.BUUU _addUser, _moveUser;
        private readonly Native.BUUT _addGroup, _searchUser;
        private readonly Native.BUT _renameGroup;
        private readonly Native.BChat _sendChat;
        private readonly Native.BUUB _replyAddRequest;
        private readonly Native.BH _enterGameServer, _leaveGameServer;
        private readonly Native.VEnumUsers _enumUsers;
        private readonly Native.VU _enumAddRequests;
        private readonly Native.VUU _enumGroups;
        private readonly Native.BGetUser _getUser, _getAddRequest;
        private readonly Native.BGetGroup _getGroup;
        private readonly Native.P _getMyInfo;
        private readonly Native.B _isGm;
        private readonly Native.BPtr _setSink;
        private readonly Native.BU _setDeliveryMode;
        private readonly Native.UU _pumpEvents;
        private readonly Native.U _pendingEvents;
        private readonly Native.BU _waitForEvents;
        private readonly Native.U _getLoginState;  // null without _network
        private bool _loginCompletedRaised;        // for the login under way

        /// <summary>
        /// Creates a client in pump mode with this object as its sink. Loads
        /// the module on first use (see Native.Create for where it is found).
        /// </summary>
        public KelvoClient()
        {
            Layout.Check();
            IntPtr client = Native.Create(Native.IidClient, Native.InterfaceVersion);
            if (client == IntPtr.Zero) throw new InvalidOperationException("Kelvo: CreateKelvoCore refused the interface");
            _release = Native.Slot<Native.B>(client, 1);
            try
            {
                var query = Native.Slot<Native.QueryFn>(client, 2);
                _query = query;
                _pump = query(client, Native.IidPump, Native.PumpInterfaceVersion);
                if (_pump == IntPtr.Zero) throw new InvalidOperationException("Kelvo: the module has no pump interface");

                _connect = Native.Slot<Native.BAddress>(client, 3);
                _close = Native.Slot<Native.B>(client, 4);
                _login = Native.Slot<Native.BLogin>(client, 5);
                _logout = Native.Slot<Native.BU>(client, 6);
                _addUser = Native.Slot<Native.BUUU>(client, 7);
                _removeUser = Native.Slot<Native.BU>(client, 8);
                _addGroup = Native.Slot<Native.BUUT>(client, 9);
                _deleteGroup = Native.Slot<Native.BU>(client, 10);
                _renameGroup = Native.Slot<Native.BUT>(client, 11);
                _moveUser = Native.Slot<Native.BUUU>(client, 12);
                _sendChat = Native.Slot<Native.BChat>(client, 13);
                // Slot 14 (Request_friend) is no longer supported by the module.
                _replyAddRequest = Native.Slot<Native.BUUB>(client, 15);
                _enterGameServer = Native.Slot<Native.BH>(client, 16);
                _leaveGameServer = Native.Slot<Native.BH>(client, 17);
                _enumUsers = Native.Slot<Native.VEnumUsers>(client, 18);
                _enumAddRequests = Native.Slot<Native.VU>(client, 19);
                _enumGroups = Native.Slot<Native.VUU>(client, 20);
                _getUser = Native.Slot<Native.BGetUser>(client, 21);
                _getAddRequest = Native.Slot<Native.BGetUser>(client, 22);
                _getGroup = Native.Slot<Native.BGetGroup>(client, 23);
                _getMyInfo = Native.Slot<Native.P>(client, 24);
                _isGm = Native.Slot<Native.B>(client, 25);
                _setSink = Native.Slot<Native.BPtr>(client, 26);
                _searchUser = Native.Slot<Native.BUUT>(client, 27);

                _setDeliveryMode = Native.Slot<Native.BU>(_pump, 3);
                _pumpEvents = Native.Slot<Native.UU>(_pump, 5);
                _pendingEvents = Native.Slot<Native.U>(_pump, 6);
                _waitForEvents = Native.Slot<Native.BU>(_pump, 7);

                _network = query(client, Native.IidNetwork, Native.NetworkInterfaceVersion);
                if (_network != IntPtr.Zero) _getLoginState = Native.Slot<Native.U>(_network, 6);

                if (_setDeliveryMode(_pump, Native.DeliveryPump) == 0)
                    throw new InvalidOperationException("Kelvo: the module refused pump mode");
                _self = GCHandle.Alloc(this, GCHandleType.Weak);
                _sink = Sink.Create(_self);
                if (_setSink(client, _sink) == 0) throw new InvalidOperationException("Kelvo: the module refused the sink");
            }
            catch
            {
                _release(client);
                if (_sink != IntPtr.Zero) Sink.Free(_sink);
                if (_self.IsAllocated) _self.Free();
                throw;
            }
            _client = client;
        }

        /// <summary>Releases a client that was dropped without Dispose.</summary>
        ~KelvoClient() { Dispose(); }

        /// <summary>
        /// Releases the native client: no event is raised after it returns.
        /// Safe to call twice, and from inside an event handler (the module
        /// then ends the client when the outermost call returns).
        /// </summary>
        public void Dispose()
        {
            // Never while another thread is inside Pump or WaitForEvents
            // (WaitForAsync pumps from wherever its continuation runs): the
            // release waits for that call to return. From a handler, the
            // pumping thread already holds the lock.
            lock (_pumping)
            {
                IntPtr client;
                lock (_lifetime)
                {
                    client = _client;
                    _client = IntPtr.Zero;
                }
                if (client == IntPtr.Zero) return;
                _release(client);
                lock (_lifetime)
                {
                    // Inside a callback the module may still be returning through
                    // the sink object: free it after the outermost callback.
                    if (_depth == 0) FreeSink(); else _freeSinkPending = true;
                }
            }
            GC.SuppressFinalize(this);
        }

        /// <summary>True once the client was disposed.</summary>
        public bool IsDisposed { get { return _client == IntPtr.Zero; } }

        private void FreeSink()
        {
            if (_sink != IntPtr.Zero) { Sink.Free(_sink); _sink = IntPtr.Zero; }
            if (_self.IsAllocated) _self.Free();
        }

        internal void EnterCallback() { lock (_lifetime) _depth++; }

        internal void LeaveCallback()
        {
            lock (_lifetime)
            {
                if (--_depth == 0 && _freeSinkPending) { _freeSinkPending = false; FreeSink(); }
            }
        }

        private IntPtr Live
        {
            get
            {
                IntPtr client = _client;
                if (client == IntPtr.Zero) throw new ObjectDisposedException("KelvoClient");
                return client;
            }
        }

        private void ThrowIfDisposed()
        {
            if (_client == IntPtr.Zero) throw new ObjectDisposedException("KelvoClient");
        }

        // ---- pump ----

        /// <summary>Runs up to maxEvents queued events here; returns how many ran (0 inside a handler).</summary>
        public int Pump(int maxEvents = 256)
        {
            lock (_pumping)
            {
                ThrowIfDisposed();
                int ran = (int)_pumpEvents(_pump, (uint)Math.Max(0, maxEvents));
                NoteLoginState();
                return ran;
            }
        }

        // After a pump: LoginCompleted when the login under way has become
        // complete. Not from a pump inside a handler (the outer one does it),
        // nor after a Dispose made in a handler.
        private void NoteLoginState()
        {
            if (_getLoginState == null || _depth != 0 || IsDisposed) return;
            if ((LoginState)_getLoginState(_network) != LoginState.Complete)
            {
                _loginCompletedRaised = false;
                return;
            }
            if (_loginCompletedRaised) return;
            _loginCompletedRaised = true;
            Raise(LoginCompleted, new LoginCompletedEventArgs());
        }

        /// <summary>Events waiting now (a hint).</summary>
        public int PendingEvents
        {
            get
            {
                lock (_pumping)
                {
                    ThrowIfDisposed();
                    return (int)_pendingEvents(_pump);
                }
            }
        }

        /// <summary>Blocks until an event is queued or the time passed; true when one is queued.</summary>
        public bool WaitForEvents(int timeoutMs)
        {
            // In slices, so that a Dispose from another thread (which waits
            // for this call) is not held up for the whole time.
            var clock = Stopwatch.StartNew();
            while (true)
            {
                lock (_pumping)
                {
                    ThrowIfDisposed();
                    long left = Math.Max(0, timeoutMs - clock.ElapsedMilliseconds);
                    if (_waitForEvents(_pump, (uint)Math.Min(WaitSliceMs, left)) != 0) return true;
                    if (left <= WaitSliceMs) return false;
                }
            }
        }

        private const int WaitSliceMs = 50;

        // ---- Task-based calls ----

        // One WaitForAsync under way: the events it accepts, and what came.
        private sealed class Waiter
        {
            internal Func<EventArgs, bool> Accepts;
            internal EventArgs Result;
        }

        /// <summary>
        /// Completes with the next event of type <typeparamref name="T"/> that
        /// <paramref name="match"/> accepts (any, when null), raised after the
        /// call. The handlers of every event run as usual. While it waits it
        /// pumps the client on the awaiting context (the Unity main thread, or
        /// thread-pool threads one at a time in a console program); pumping in
        /// Update() meanwhile is fine. Throws TimeoutException after
        /// <paramref name="timeout"/> (none: no limit), OperationCanceledException
        /// on cancellation and ObjectDisposedException when the client is
        /// disposed meanwhile.
        /// </summary>
        public Task<T> WaitForAsync<T>(Func<T, bool> match = null, TimeSpan? timeout = null,
                                       CancellationToken cancellationToken = default(CancellationToken))
            where T : EventArgs
        {
            ThrowIfDisposed();
            var waiter = new Waiter
            {
                Accepts = e =>
                {
                    var typed = e as T;
                    return typed != null && (match == null || match(typed));
                }
            };
            lock (_waiters) _waiters.Add(waiter);
            return Await<T>(waiter, timeout, cancellationToken);
        }

        private async Task<T> Await<T>(Waiter waiter, TimeSpan? timeout, CancellationToken cancellationToken)
            where T : EventArgs
        {
            try
            {
                var clock = Stopwatch.StartNew();
                int pause = 1;
                while (true)
                {
                    lock (_waiters)
                        if (waiter.Result != null) return (T)waiter.Result;
                    cancellationToken.ThrowIfCancellationRequested();
                    if (IsDisposed) throw new ObjectDisposedException("KelvoClient");
                    if (timeout.HasValue && clock.Elapsed >= timeout.Value)
                        throw new TimeoutException("Kelvo: no " + typeof(T).Name + " within " + timeout.Value);
                    if (Pump(256) > 0) { pause = 1; continue; }
                    // Nothing queued: yield the thread, a little longer each
                    // time while the line stays quiet.
                    await Task.Delay(pause, cancellationToken).ConfigureAwait(true);
                    pause = Math.Min(pause * 2, 10);
                }
            }
            catch (ObjectDisposedException)
            {
                lock (_waiters)
                    if (waiter.Result != null) return (T)waiter.Result;
                throw;
            }
            finally
            {
                lock (_waiters) _waiters.Remove(waiter);
            }
        }

        /// <summary>
        /// Connects and completes with the outcome (check
        /// <see cref="ConnectedEventArgs.Succeeded"/>). Throws
        /// InvalidOperationException when a connection is up or under way.
        /// Pumps while it waits, as WaitForAsync does.
        /// </summary>
        public Task<ConnectedEventArgs> ConnectAsync(string ipAddress, int port,
                                                     CancellationToken cancellationToken = default(CancellationToken))
        {
            Task<ConnectedEventArgs> outcome = WaitForAsync<ConnectedEventArgs>(null, null, cancellationToken);
            if (!Connect(ipAddress, port))
                throw new InvalidOperationException("Kelvo: a connection is up or being attempted");
            return outcome;
        }

        /// <summary>
        /// Logs in and completes with the server's answer (check
        /// <see cref="LoginResultEventArgs.Succeeded"/> and
        /// <see cref="LoginResultEventArgs.Text"/>). Throws
        /// InvalidOperationException when the request was not sent (not
        /// connected, send queue full).
        /// </summary>
        public Task<LoginResultEventArgs> LoginAsync(uint userId, string password,
                                                     CancellationToken cancellationToken = default(CancellationToken))
        {
            Task<LoginResultEventArgs> answer = WaitForAsync<LoginResultEventArgs>(null, null, cancellationToken);
            if (!Login(userId, password))
                throw new InvalidOperationException("Kelvo: the login was not sent (not connected, or the send queue is full)");
            return answer;
        }

        /// <summary>
        /// Completes with true once the login under way is complete
        /// (<see cref="LoginState"/> Complete), with false at once when no
        /// login is under way or when it ends first (refused, logged out,
        /// connection closed or lost). Pumps while it waits, as WaitForAsync
        /// does. Throws TimeoutException after <paramref name="timeout"/>
        /// (none: no limit), OperationCanceledException on cancellation and
        /// ObjectDisposedException when the client is disposed meanwhile.
        /// </summary>
        public async Task<bool> LoginCompletedAsync(TimeSpan? timeout = null,
                                                    CancellationToken cancellationToken = default(CancellationToken))
        {
            var clock = Stopwatch.StartNew();
            int pause = 1;
            while (true)
            {
                cancellationToken.ThrowIfCancellationRequested();
                LoginState state = LoginState;
                if (state == LoginState.Complete) return true;
                if (state == LoginState.None) return false;
                if (timeout.HasValue && clock.Elapsed >= timeout.Value)
                    throw new TimeoutException("Kelvo: the login was not complete within " + timeout.Value);
                if (Pump(256) > 0) { pause = 1; continue; }
                // The login may also complete by a quiet second with nothing
                // queued: look again a little later.
                await Task.Delay(pause, cancellationToken).ConfigureAwait(true);
                pause = Math.Min(pause * 2, 10);
            }
        }

        // ---- connection and requests ----
        // true: the module handed the message to the network library; the
        // answer, if any, comes later as an event. false: not sent (not
        // connected, send queue full). A text the request cannot carry throws
        // KelvoArgumentException (an ArgumentException) and nothing is sent.

        /// <summary>Starts connecting to a host; the outcome comes as <see cref="Connected"/>.</summary>
        /// <param name="host">A name ("im.example.com", resolved by the module), an IPv4 or an IPv6 address ("::1" or "[::1]").</param>
        /// <param name="port">The server's TCP port.</param>
        /// <returns>False while a connection is up or being attempted.</returns>
        public bool Connect(string host, int port) { return Connect(host, port, null, 0); }

        /// <summary>Starts connecting to a host through the SOCKS5 proxy at proxyHost:proxyPort (null: directly).</summary>
        /// <param name="host">A name, an IPv4 or an IPv6 address.</param>
        /// <param name="port">The server's TCP port.</param>
        /// <param name="proxyHost">The proxy's name or address; its name is resolved by the module, the server's by the proxy.</param>
        /// <param name="proxyPort">The proxy's TCP port.</param>
        /// <returns>False while a connection is up or being attempted.</returns>
        public bool Connect(string host, int port, string proxyHost, int proxyPort)
        {
            if (host == null) throw new ArgumentNullException("host");
            IPAddress literal;
            bool byAddress = IPAddress.TryParse(host, out literal) && literal.AddressFamily == AddressFamily.InterNetwork &&
                             host.IndexOf('.') >= 0;
            if (byAddress && proxyHost == null)
            {
                var address = new ServerAddress { ServerIp = HostOrder(host), ServerPort = checked((ushort)port) };
                return Connect(address);
            }
            IntPtr face = _query(Live, Native.IidNetwork, Native.NetworkInterfaceVersion);
            if (face == IntPtr.Zero) throw new ArgumentException("Kelvo: this module connects by IPv4 address only", "host");
            var setProxy = Native.Slot<Native.BHost>(face, 4);
            var connectTo = Native.Slot<Native.BHost>(face, 3);
            byte[] proxyText = proxyHost == null ? new byte[] { 0 } : HostText(proxyHost, "proxyHost");
            if (setProxy(face, proxyText, checked((ushort)(proxyHost == null ? 0 : proxyPort))) == 0) return false;
            return connectTo(face, HostText(host, "host"), checked((ushort)port)) != 0;
        }

        // ASCII, an internationalised name in its "xn--" form; zero-terminated.
        private static byte[] HostText(string host, string parameter)
        {
            string ascii = host;
            foreach (char c in host)
            {
                if (c < 0x80) continue;
                try { ascii = new IdnMapping().GetAscii(host); }
                catch (ArgumentException) { throw new ArgumentException("Kelvo: not a host name or address", parameter); }
                break;
            }
            return Encoding.ASCII.GetBytes(ascii + "\0");
        }

        /// <summary>Starts connecting, directly or through the SOCKS5 proxy the address names.</summary>
        /// <param name="address">Server and proxy, in host byte order.</param>
        public bool Connect(ServerAddress address) { return _connect(Live, ref address) != 0; }

        /// <summary>Closes the connection and empties the tables; raises no <see cref="Closed"/>.</summary>
        public bool Close() { return _close(Live) != 0; }

        /// <summary>Logs in with the MD5 digest of the password's UTF-8 bytes, as the server keeps it.</summary>
        /// <param name="userId">The account logging in.</param>
        /// <param name="password">The password as text.</param>
        public bool Login(uint userId, string password)
        {
            if (password == null) throw new ArgumentNullException("password");
            byte[] digest;
            using (var md5 = MD5.Create()) digest = md5.ComputeHash(Encoding.UTF8.GetBytes(password));
            return Login(userId, digest, null);
        }

        /// <summary>Logs in with a 16-byte password block and an optional 33-byte extra block.</summary>
        /// <param name="userId">The account logging in.</param>
        /// <param name="password">16 bytes: the MD5 digest of the password's UTF-8 bytes.</param>
        /// <param name="extra">33 bytes sent unchanged, zeros when null; kelvo-server ignores them.</param>
        public bool Login(uint userId, byte[] password, byte[] extra)
        {
            if (password == null || password.Length != 16) throw new ArgumentException("Kelvo: the password digest is 16 bytes", "password");
            if (extra != null && extra.Length != 33) throw new ArgumentException("Kelvo: extra is 33 bytes", "extra");
            if (_login(Live, userId, password, extra) == 0) return false;
            _loginCompletedRaised = false;  // a new login: LoginCompleted again
            return true;
        }

        /// <summary>Logs the own user out; the connection stays.</summary>
        /// <param name="userId">The account logging out (the own user).</param>
        public bool Logout(uint userId) { return _logout(Live, userId) != 0; }

        /// <summary>Asks another user to become a friend; the answer is <see cref="AddUserResultReceived"/> or <see cref="AddUserReplyReceived"/>.</summary>
        /// <param name="targetUserId">The user asked to become a friend.</param>
        /// <param name="groupId">The group to file the new friend under.</param>
        /// <param name="extra">Sent unchanged; kelvo-server ignores it.</param>
        public bool AddUser(uint targetUserId, uint groupId, uint extra = 0) { return _addUser(Live, targetUserId, groupId, extra) != 0; }

        /// <summary>Ends a friendship, on both sides; the answer is <see cref="RemoveUserResultReceived"/>.</summary>
        /// <param name="userId">The friend to remove, on both sides.</param>
        public bool RemoveUser(uint userId) { return _removeUser(Live, userId) != 0; }

        /// <summary>Creates a group; the answer is <see cref="AddGroupResultReceived"/>.</summary>
        /// <param name="parentGroupId">The group the new one sits in; 0 for the top level.</param>
        /// <param name="groupKind">The new group's kind, kept by the server and shown in its record.</param>
        /// <param name="name">The new group's name, 1 to 63 GBK bytes.</param>
        /// <exception cref="KelvoArgumentException">The name is empty, too long or not GBK.</exception>
        public bool AddGroup(uint parentGroupId, GroupKind groupKind, string name)
        {
            byte[] text = Gbk.ForRequest(name, "name", MaxGroupNameBytes);
            return _addGroup(Live, parentGroupId, (uint)groupKind, text) != 0;
        }

        /// <summary>Deletes a group; the answer is <see cref="DeleteGroupResultReceived"/>.</summary>
        /// <param name="groupId">The group to delete; its members move to its parent.</param>
        public bool DeleteGroup(uint groupId) { return _deleteGroup(Live, groupId) != 0; }

        /// <summary>Renames a group; the answer is <see cref="UpdateGroupResultReceived"/>.</summary>
        /// <param name="groupId">The group to rename.</param>
        /// <param name="name">The new name, 1 to 63 GBK bytes.</param>
        /// <exception cref="KelvoArgumentException">The name is empty, too long or not GBK.</exception>
        public bool RenameGroup(uint groupId, string name)
        {
            byte[] text = Gbk.ForRequest(name, "name", MaxGroupNameBytes);
            return _renameGroup(Live, groupId, text) != 0;
        }

        /// <summary>Files a friend under another group; the answer is <see cref="MoveUserResultReceived"/>.</summary>
        /// <param name="userId">The friend to refile.</param>
        /// <param name="groupId">The group to file the friend under.</param>
        /// <param name="extra">Sent unchanged; kelvo-server ignores it.</param>
        public bool MoveUser(uint userId, uint groupId, uint extra = 0) { return _moveUser(Live, userId, groupId, extra) != 0; }

        /// <summary>Sends a chat text to another user, who gets <see cref="ChatMessageReceived"/> (at his next login when offline).</summary>
        /// <param name="peerUserId">The user the text goes to (friend or not).</param>
        /// <param name="text">The text, 1 to 255 GBK bytes.</param>
        /// <param name="chat1">Application byte delivered to the peer as the chat's value1.</param>
        /// <param name="chat2">Application byte delivered to the peer as the chat's value2.</param>
        /// <param name="chat3">Application byte delivered to the peer as the chat's value3.</param>
        /// <param name="extra">Sent unchanged; the receiving client does not read it.</param>
        /// <returns>False when not sent: not connected, or the send queue is full.</returns>
        /// <exception cref="KelvoArgumentException">
        /// The text is empty, longer than 255 GBK bytes, or has a character GBK
        /// cannot hold (an emoji, say): nothing is sent.
        /// </exception>
        public bool SendChatMessage(uint peerUserId, string text, byte chat1 = 0, byte chat2 = 0, byte chat3 = 0,
                                    uint extra = 0)
        {
            byte[] bytes = Gbk.ForRequest(text, "text", MaxChatBytes);
            return _sendChat(Live, peerUserId, extra, bytes, chat1, chat2, chat3) != 0;
        }

        /// <summary>Answers another user's pending add request.</summary>
        /// <param name="userId">The user whose pending request is answered.</param>
        /// <param name="groupId">The group to file the asker under when accepting.</param>
        /// <param name="accept">True to accept, false to decline.</param>
        /// <returns>False when nothing is pending from that user, or when not sent.</returns>
        public bool ReplyAddRequest(uint userId, uint groupId, bool accept)
        {
            return _replyAddRequest(Live, userId, groupId, (byte)(accept ? 1 : 0)) != 0;
        }

        /// <summary>Announces that the own user plays on a game server; friends get <see cref="UserEnteredGameServer"/>.</summary>
        /// <param name="gameServerId">The game server the own user now plays on.</param>
        public bool EnterGameServer(ushort gameServerId) { return _enterGameServer(Live, gameServerId) != 0; }

        /// <summary>Announces that the own user left a game server.</summary>
        /// <param name="gameServerId">The game server the own user leaves.</param>
        public bool LeaveGameServer(ushort gameServerId) { return _leaveGameServer(Live, gameServerId) != 0; }

        /// <summary>Searches users by name; the answer is a <see cref="SearchUserListItemReceived"/> per user, then <see cref="SearchUserListEnded"/>.</summary>
        /// <param name="name">Part of the names to find, at most 31 GBK bytes; none (null) or empty finds everyone.</param>
        /// <param name="reserved1">Sent unchanged; kelvo-server ignores it.</param>
        /// <param name="reserved2">Sent unchanged; kelvo-server ignores it.</param>
        /// <exception cref="KelvoArgumentException">The name is too long or not GBK.</exception>
        public bool SearchUser(string name, uint reserved1 = 0, uint reserved2 = 0)
        {
            byte[] text = name == null ? null : Gbk.ForRequest(name, "name", MaxSearchNameBytes, allowEmpty: true);
            return _searchUser(Live, reserved1, reserved2, text) != 0;
        }

        // ---- local reads ----

        /// <summary>Friends matching every filter that is not Any/0, in ascending id order.</summary>
        /// <param name="relation">Kind of roster entry.</param>
        /// <param name="groupId">The group they are filed under.</param>
        /// <param name="gameServerId">The game server they play on.</param>
        /// <param name="onlineState">Their presence.</param>
        public List<UserRecord> GetUsers(Relation relation = Relation.Any, uint groupId = 0, ushort gameServerId = 0,
                                         OnlineState onlineState = OnlineState.Any)
        {
            IntPtr client = Live;
            return CollectUsers(() => _enumUsers(client, 0, (uint)relation, groupId, gameServerId, (byte)onlineState));
        }

        /// <summary>The pending add requests, in ascending id order.</summary>
        public List<UserRecord> GetAddRequests()
        {
            IntPtr client = Live;
            return CollectUsers(() => _enumAddRequests(client, 0));
        }

        /// <summary>The groups of a kind (Any: all), in ascending id order.</summary>
        /// <param name="groupKind">The kind to list.</param>
        public List<GroupRecord> GetGroups(GroupKind groupKind = GroupKind.Any)
        {
            IntPtr client = Live;
            var saved = Sink.CollectGroups;
            var list = new List<GroupRecord>();
            Sink.CollectGroups = list;
            try { _enumGroups(client, 0, (uint)groupKind); }
            finally { Sink.CollectGroups = saved; }
            return list;
        }

        private static List<UserRecord> CollectUsers(Action enumerate)
        {
            var saved = Sink.CollectUsers;
            var list = new List<UserRecord>();
            Sink.CollectUsers = list;
            try { enumerate(); }
            finally { Sink.CollectUsers = saved; }
            return list;
        }

        /// <summary>Copies a friend's record; false when he is not on the roster.</summary>
        public bool TryGetUser(uint userId, out UserRecord user) { return _getUser(Live, userId, out user) != 0; }
        /// <summary>Copies a pending add request's record; false when none is pending from that user.</summary>
        public bool TryGetAddRequest(uint userId, out UserRecord user) { return _getAddRequest(Live, userId, out user) != 0; }
        /// <summary>Copies a group's record; false when there is no such group.</summary>
        public bool TryGetGroup(uint groupId, out GroupRecord group) { return _getGroup(Live, groupId, out group) != 0; }

        /// <summary>A copy of the own record, or null until own data has arrived.</summary>
        public UserRecord? MyInfo
        {
            get
            {
                IntPtr info = _getMyInfo(Live);
                return info == IntPtr.Zero ? (UserRecord?)null : Blit.Read<UserRecord>(info);
            }
        }

        /// <summary>
        /// Where the current connection's login stands, as of the events
        /// pumped so far; back to None on Close, a loss, a refusal and a
        /// logout. NotSupportedException with a module older than
        /// IImClientNetwork.
        /// </summary>
        public LoginState LoginState
        {
            get
            {
                ThrowIfDisposed();
                if (_getLoginState == null) throw new NotSupportedException("Kelvo: the module has no IImClientNetwork");
                return (LoginState)_getLoginState(_network);
            }
        }

        /// <summary>True when own data has arrived and names a game master.</summary>
        public bool IsGm { get { return _isGm(Live) != 0; } }

        private static uint HostOrder(string ipAddress)
        {
            IPAddress parsed = IPAddress.Parse(ipAddress);
            if (parsed.AddressFamily != AddressFamily.InterNetwork) throw new ArgumentException("IPv4 only", "ipAddress");
            byte[] b = parsed.GetAddressBytes();
            return (uint)(b[0] << 24 | b[1] << 16 | b[2] << 8 | b[3]);
        }

        // ---- raised by the sink, inside Pump ----

        internal void ReportHandlerFailure(Exception e, EventArgs failed)
        {
            try
            {
                var handler = HandlerFailed;
                if (handler != null) handler(this, new HandlerFailedEventArgs(e, failed));
                else Console.Error.WriteLine("Kelvo: an event handler threw: " + e);
            }
            catch (Exception)
            {
                // A failing failure handler has nowhere left to report to.
            }
        }

        // Each subscriber runs on its own, so one that throws does not keep
        // the others from the event; then the waiting Task-based calls see it.
        private void Raise<T>(EventHandler<T> handlers, T args) where T : EventArgs
        {
            if (handlers != null)
            {
                foreach (Delegate handler in handlers.GetInvocationList())
                {
                    try { ((EventHandler<T>)handler)(this, args); }
                    catch (Exception e) { ReportHandlerFailure(e, args); }
                }
            }
            lock (_waiters)
            {
                foreach (Waiter waiter in _waiters)
                {
                    if (waiter.Result != null) continue;
                    try { if (waiter.Accepts(args)) waiter.Result = args; }
                    catch (Exception e) { ReportHandlerFailure(e, args); }
                }
            }
        }

        internal void RaiseConnect(uint state) { Raise(Connected, new ConnectedEventArgs((ConnectResult)state)); }
        internal void RaiseClosed(uint reason) { Raise(Closed, new ClosedEventArgs(reason)); }
        internal void RaiseServerInfo() { Raise(ServerInfoReceived, new ServerInfoEventArgs()); }
        internal void RaiseLoginResult(uint result, string text) { Raise(LoginResultReceived, new LoginResultEventArgs((LoginCode)result, text ?? "")); }
        internal void RaiseLoggedOut() { Raise(LoggedOut, new LoggedOutEventArgs()); }
        internal void RaiseAddUserResult(uint result, UserRecord user) { Raise(AddUserResultReceived, new AddUserResultEventArgs((AddUserCode)result, user)); }
        internal void RaiseRemoveUserResult(uint result, uint userId) { Raise(RemoveUserResultReceived, new RemoveUserResultEventArgs((RemoveUserCode)result, userId)); }
        internal void RaiseAddGroupResult(uint result, GroupRecord group) { Raise(AddGroupResultReceived, new AddGroupResultEventArgs((AddGroupCode)result, group)); }
        internal void RaiseDeleteGroupResult(uint result, uint groupId) { Raise(DeleteGroupResultReceived, new DeleteGroupResultEventArgs((DeleteGroupCode)result, groupId)); }
        internal void RaiseUpdateGroupResult(uint result, uint groupId) { Raise(UpdateGroupResultReceived, new UpdateGroupResultEventArgs((UpdateGroupCode)result, groupId)); }
        internal void RaiseMoveUserResult(uint result, uint userId) { Raise(MoveUserResultReceived, new MoveUserResultEventArgs((MoveUserCode)result, userId)); }
        internal void RaiseChat(ChatMessageEventArgs message) { Raise(ChatMessageReceived, message); }
        internal void RaiseAddUserRequest(uint userId) { Raise(AddUserRequestReceived, new AddUserRequestEventArgs(userId)); }
        internal void RaiseAddUserReply(uint result, UserRecord user) { Raise(AddUserReplyReceived, new AddUserReplyEventArgs((AddUserReplyCode)result, user)); }
        internal void RaiseOnlineStateChanged(uint userId) { Raise(OnlineStateChanged, new OnlineStateChangedEventArgs(userId)); }
        internal void RaiseUserEnterGameServer(uint userId) { Raise(UserEnteredGameServer, new UserEnteredGameServerEventArgs(userId)); }
        internal void RaiseUserLeaveGameServer(uint userId) { Raise(UserLeftGameServer, new UserLeftGameServerEventArgs(userId)); }
        internal void RaiseLog(string text) { Raise(LogReceived, new LogEventArgs(text)); }
        internal void RaiseSearchUserResult(SearchUserResult result) { Raise(SearchUserResultReceived, new SearchUserResultEventArgs(result)); }
        internal void RaiseSearchUserListItem(UserRecord user) { Raise(SearchUserListItemReceived, new SearchUserListItemEventArgs(user)); }
        internal void RaiseSearchUserListEnd(uint count) { Raise(SearchUserListEnded, new SearchUserListEndEventArgs(count)); }
    }
}
