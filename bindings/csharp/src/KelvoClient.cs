// KelvoClient: one messaging client of the native module, driven from the
// thread that calls Pump().
//
// The client is put in pump mode before anything else, so the module's
// network thread only reads and queues: every event handler of this class
// runs inside Pump() (or inside the enumeration calls), on the caller's
// thread. A Unity MonoBehaviour calls Pump() from Update(); a console program
// calls WaitForEvents() and Pump() in a loop.
using System;
using System.Collections.Generic;
using System.Net;
using System.Net.Sockets;
using System.Runtime.InteropServices;
using System.Security.Cryptography;
using System.Text;
using System.Threading;

namespace Kelvo
{
    /// <summary>Which sink operation a ChatMessage came through.</summary>
    public enum ChatSource { Chat, ChatEx, Offline }

    /// <summary>A chat, a server notice or a stored offline message.</summary>
    public sealed class ChatMessage
    {
        public const int BlockSize = 38;

        public ChatMessage(ChatSource source, byte kind, uint sender, double value, string text, byte value1,
                           byte value2, byte value3, byte[] block, uint extra)
        {
            Source = source; Kind = kind; Sender = sender; Value = value; Text = text;
            Value1 = value1; Value2 = value2; Value3 = value3; Block = block; Extra = extra;
        }

        public ChatSource Source { get; private set; }
        /// <summary>0 for chat, 1-13 for server notices.</summary>
        public byte Kind { get; private set; }
        public uint Sender { get; private set; }
        /// <summary>The double of ChatEx and offline messages (0 for plain chat).</summary>
        public double Value { get; private set; }
        public string Text { get; private set; }
        public byte Value1 { get; private set; }
        public byte Value2 { get; private set; }
        public byte Value3 { get; private set; }
        /// <summary>The 38 uninterpreted bytes of an offline message, else null.</summary>
        public byte[] Block { get; private set; }
        public uint Extra { get; private set; }
    }

    public sealed class KelvoClient : IDisposable
    {
        // ---- events: raised only inside Pump() on the calling thread ----

        /// <summary>Outcome of Connect: true connected, false failed.</summary>
        public event Action<bool> Connected;
        public event Action Closed;
        public event Action ServerInfo;
        /// <summary>1 and "" on success, 0 and the server's reason on refusal.</summary>
        public event Action<uint, string> LoginResult;
        /// <summary>Forced logout (the account logged in elsewhere, or an operator kick).</summary>
        public event Action LoggedOut;
        public event Action<uint, UserRecord> AddUserResult;
        public event Action<uint, uint> RemoveUserResult;
        public event Action<uint, GroupRecord> AddGroupResult;
        public event Action<uint, uint> DeleteGroupResult;
        public event Action<uint, uint> UpdateGroupResult;
        public event Action<uint, uint> MoveUserResult;
        public event Action<ChatMessage> ChatReceived;
        public event Action<uint> AddUserRequest;
        public event Action<uint, UserRecord> AddUserReply;
        public event Action<uint> OnlineStateChanged;
        public event Action<uint> UserEnterGameServer;
        public event Action<uint> UserLeaveGameServer;
        public event Action<string> Log;
        public event Action<SearchUserResult> SearchUserResultReceived;
        public event Action<UserRecord> SearchUserListItem;
        public event Action<uint> SearchUserListEnd;
        /// <summary>
        /// An event handler threw. The exception stops at the binding (it
        /// never reaches the module); the event's other handlers and the
        /// following events are still delivered.
        /// Without a handler here it is written to Console.Error.
        /// </summary>
        public event Action<Exception> HandlerFailed;

        // ---- state ----

        private IntPtr _client;   // IImClient*, zero once disposed
        private IntPtr _pump;     // IImClientPump* of the same object
        private IntPtr _sink;     // our IImClientSink object, freed after Release
        private GCHandle _self;   // weak: the sink must not keep the client alive
        private readonly object _lifetime = new object();
        private int _depth;       // callbacks under way (to free the sink after the outermost)
        private bool _freeSinkPending;

        // Operations of IImClient (slots 3-27; 0-2 are IImBase's) and
        // IImClientPump, read from the object's tables once.
        private readonly Native.B _release;
        private readonly Native.BAddress _connect;
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

        ~KelvoClient() { Dispose(); }

        /// <summary>
        /// Releases the native client: no event is raised after it returns.
        /// Safe to call twice, and from inside an event handler (the module
        /// then ends the client when the outermost call returns).
        /// </summary>
        public void Dispose()
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
            GC.SuppressFinalize(this);
        }

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
            ThrowIfDisposed();
            return (int)_pumpEvents(_pump, (uint)Math.Max(0, maxEvents));
        }

        /// <summary>Events waiting now (a hint).</summary>
        public int PendingEvents { get { ThrowIfDisposed(); return (int)_pendingEvents(_pump); } }

        /// <summary>Blocks until an event is queued or the time passed; true when one is queued.</summary>
        public bool WaitForEvents(int timeoutMs)
        {
            ThrowIfDisposed();
            return _waitForEvents(_pump, (uint)Math.Max(0, timeoutMs)) != 0;
        }

        // ---- connection and requests; true means the module took the request ----

        /// <summary>Starts connecting to an IPv4 address; the outcome comes as Connected.</summary>
        public bool Connect(string ipAddress, int port)
        {
            var address = new ServerAddress { ServerIp = HostOrder(ipAddress), ServerPort = checked((ushort)port) };
            return Connect(address);
        }

        public bool Connect(ServerAddress address) { return _connect(Live, ref address) != 0; }

        public bool Close() { return _close(Live) != 0; }

        /// <summary>Logs in with the MD5 digest of the password's UTF-8 bytes, as the server keeps it.</summary>
        public bool Login(uint userId, string password)
        {
            if (password == null) throw new ArgumentNullException("password");
            byte[] digest;
            using (var md5 = MD5.Create()) digest = md5.ComputeHash(Encoding.UTF8.GetBytes(password));
            return Login(userId, digest, null);
        }

        /// <summary>Logs in with a 16-byte password block and an optional 33-byte extra block.</summary>
        public bool Login(uint userId, byte[] password16, byte[] extra33)
        {
            if (password16 == null || password16.Length != 16) throw new ArgumentException("16 bytes", "password16");
            if (extra33 != null && extra33.Length != 33) throw new ArgumentException("33 bytes", "extra33");
            return _login(Live, userId, password16, extra33) != 0;
        }

        public bool Logout(uint userId) { return _logout(Live, userId) != 0; }
        public bool AddUser(uint value1, uint value2, uint value3) { return _addUser(Live, value1, value2, value3) != 0; }
        public bool RemoveUser(uint userId) { return _removeUser(Live, userId) != 0; }
        public bool AddGroup(uint value1, uint value2, string name) { return _addGroup(Live, value1, value2, Gbk.Terminated(name)) != 0; }
        public bool DeleteGroup(uint groupId) { return _deleteGroup(Live, groupId) != 0; }
        public bool RenameGroup(uint groupId, string name) { return _renameGroup(Live, groupId, Gbk.Terminated(name)) != 0; }
        public bool MoveUser(uint value1, uint value2, uint value3) { return _moveUser(Live, value1, value2, value3) != 0; }

        public bool SendChatMessage(uint peerUserId, uint value, string text, byte chat1 = 0, byte chat2 = 0, byte chat3 = 0)
        {
            return _sendChat(Live, peerUserId, value, Gbk.Terminated(text), chat1, chat2, chat3) != 0;
        }

        public bool ReplyAddRequest(uint userId, uint value, bool accept)
        {
            return _replyAddRequest(Live, userId, value, (byte)(accept ? 1 : 0)) != 0;
        }

        public bool EnterGameServer(ushort gameServerId) { return _enterGameServer(Live, gameServerId) != 0; }
        public bool LeaveGameServer(ushort gameServerId) { return _leaveGameServer(Live, gameServerId) != 0; }
        /// <summary>A null name searches without a name.</summary>
        public bool SearchUser(uint value1, uint value2, string name) { return _searchUser(Live, value1, value2, Gbk.Terminated(name)) != 0; }

        // ---- local reads ----

        /// <summary>Friends matching every nonzero filter, in ascending id order.</summary>
        public List<UserRecord> GetUsers(uint relation = 0, uint groupId = 0, ushort gameServerId = 0, byte onlineState = 0)
        {
            IntPtr client = Live;
            return CollectUsers(() => _enumUsers(client, 0, relation, groupId, gameServerId, onlineState));
        }

        public List<UserRecord> GetAddRequests()
        {
            IntPtr client = Live;
            return CollectUsers(() => _enumAddRequests(client, 0));
        }

        public List<GroupRecord> GetGroups(uint groupKind = 0)
        {
            IntPtr client = Live;
            var saved = Sink.CollectGroups;
            var list = new List<GroupRecord>();
            Sink.CollectGroups = list;
            try { _enumGroups(client, 0, groupKind); }
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

        public bool TryGetUser(uint userId, out UserRecord user) { return _getUser(Live, userId, out user) != 0; }
        public bool TryGetAddRequest(uint userId, out UserRecord user) { return _getAddRequest(Live, userId, out user) != 0; }
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

        public bool IsGm { get { return _isGm(Live) != 0; } }

        private static uint HostOrder(string ipAddress)
        {
            IPAddress parsed = IPAddress.Parse(ipAddress);
            if (parsed.AddressFamily != AddressFamily.InterNetwork) throw new ArgumentException("IPv4 only", "ipAddress");
            byte[] b = parsed.GetAddressBytes();
            return (uint)(b[0] << 24 | b[1] << 16 | b[2] << 8 | b[3]);
        }

        // ---- raised by the sink, inside Pump ----

        internal void ReportHandlerFailure(Exception e)
        {
            try
            {
                var handler = HandlerFailed;
                if (handler != null) handler(e);
                else Console.Error.WriteLine("Kelvo: an event handler threw: " + e);
            }
            catch (Exception)
            {
                // A failing failure handler has nowhere left to report to.
            }
        }

        // Each subscriber runs on its own, so one that throws does not keep
        // the others from the event.
        private void Each(Delegate handlers, Action<Delegate> invoke)
        {
            if (handlers == null) return;
            foreach (Delegate handler in handlers.GetInvocationList())
            {
                try { invoke(handler); }
                catch (Exception e) { ReportHandlerFailure(e); }
            }
        }

        internal void RaiseConnect(bool ok) { Each(Connected, d => ((Action<bool>)d)(ok)); }
        internal void RaiseClosed() { Each(Closed, d => ((Action)d)()); }
        internal void RaiseServerInfo() { Each(ServerInfo, d => ((Action)d)()); }
        internal void RaiseLoginResult(uint result, string text) { Each(LoginResult, d => ((Action<uint, string>)d)(result, text)); }
        internal void RaiseLoggedOut() { Each(LoggedOut, d => ((Action)d)()); }
        internal void RaiseAddUserResult(uint result, UserRecord user) { Each(AddUserResult, d => ((Action<uint, UserRecord>)d)(result, user)); }
        internal void RaiseRemoveUserResult(uint result, uint userId) { Each(RemoveUserResult, d => ((Action<uint, uint>)d)(result, userId)); }
        internal void RaiseAddGroupResult(uint result, GroupRecord group) { Each(AddGroupResult, d => ((Action<uint, GroupRecord>)d)(result, group)); }
        internal void RaiseDeleteGroupResult(uint result, uint groupId) { Each(DeleteGroupResult, d => ((Action<uint, uint>)d)(result, groupId)); }
        internal void RaiseUpdateGroupResult(uint result, uint groupId) { Each(UpdateGroupResult, d => ((Action<uint, uint>)d)(result, groupId)); }
        internal void RaiseMoveUserResult(uint result, uint userId) { Each(MoveUserResult, d => ((Action<uint, uint>)d)(result, userId)); }
        internal void RaiseChat(ChatMessage message) { Each(ChatReceived, d => ((Action<ChatMessage>)d)(message)); }
        internal void RaiseAddUserRequest(uint userId) { Each(AddUserRequest, d => ((Action<uint>)d)(userId)); }
        internal void RaiseAddUserReply(uint result, UserRecord user) { Each(AddUserReply, d => ((Action<uint, UserRecord>)d)(result, user)); }
        internal void RaiseOnlineStateChanged(uint userId) { Each(OnlineStateChanged, d => ((Action<uint>)d)(userId)); }
        internal void RaiseUserEnterGameServer(uint userId) { Each(UserEnterGameServer, d => ((Action<uint>)d)(userId)); }
        internal void RaiseUserLeaveGameServer(uint userId) { Each(UserLeaveGameServer, d => ((Action<uint>)d)(userId)); }
        internal void RaiseLog(string text) { Each(Log, d => ((Action<string>)d)(text)); }
        internal void RaiseSearchUserResult(SearchUserResult result) { Each(SearchUserResultReceived, d => ((Action<SearchUserResult>)d)(result)); }
        internal void RaiseSearchUserListItem(UserRecord user) { Each(SearchUserListItem, d => ((Action<UserRecord>)d)(user)); }
        internal void RaiseSearchUserListEnd(uint count) { Each(SearchUserListEnd, d => ((Action<uint>)d)(count)); }
    }
}
