// The callback object handed to the module: unmanaged memory laid out as a
// C++ object of IImClientSink, whose first word points to a table of 29
// function pointers and whose second word holds a GCHandle of the client it
// reports to.
//
// The functions behind the table are static methods, made once per process
// and kept in static fields, so the runtime can never collect one while the
// module holds its pointer; IL2CPP (Unity's ahead-of-time compiler) also
// accepts only static methods, marked MonoPInvokeCallback, as native
// callbacks. Every one catches whatever the client's handlers throw: an
// exception must never unwind into the module.
using System;
using System.Runtime.InteropServices;

namespace AOT
{
    // IL2CPP recognises this attribute by its name; Unity's own copy lives in
    // UnityEngine, which this assembly does not reference.
    [AttributeUsage(AttributeTargets.Method)]
    internal sealed class MonoPInvokeCallbackAttribute : Attribute
    {
        public MonoPInvokeCallbackAttribute(Type type) { Type = type; }
        public Type Type { get; private set; }
    }
}

namespace Kelvo
{
    using AOT;

    internal static class Sink
    {
        [UnmanagedFunctionPointer(CallingConvention.Winapi)] internal delegate byte SB(IntPtr self);
        [UnmanagedFunctionPointer(CallingConvention.Winapi)] internal delegate IntPtr SQuery(IntPtr self, IntPtr iid, uint version);
        [UnmanagedFunctionPointer(CallingConvention.Winapi)] internal delegate void SV(IntPtr self);
        [UnmanagedFunctionPointer(CallingConvention.Winapi)] internal delegate void SVU(IntPtr self, uint a);
        [UnmanagedFunctionPointer(CallingConvention.Winapi)] internal delegate void SVUU(IntPtr self, uint a, uint b);
        [UnmanagedFunctionPointer(CallingConvention.Winapi)] internal delegate void SVUP(IntPtr self, uint a, IntPtr p);
        [UnmanagedFunctionPointer(CallingConvention.Winapi)] internal delegate void SVP(IntPtr self, IntPtr p);
        [UnmanagedFunctionPointer(CallingConvention.Winapi)] internal delegate void SChat(IntPtr self, byte kind, uint sender, IntPtr text, byte v1, byte v2, byte v3);
        [UnmanagedFunctionPointer(CallingConvention.Winapi)] internal delegate void SChatEx(IntPtr self, byte kind, uint sender, double value, IntPtr text, byte v1, byte v2, byte v3);
        [UnmanagedFunctionPointer(CallingConvention.Winapi)] internal delegate void SOffline(IntPtr self, byte kind, uint sender, double value, IntPtr text, byte v1, byte v2, byte v3, IntPtr block, uint extra);
        [UnmanagedFunctionPointer(CallingConvention.Winapi)] internal delegate byte SEnum(IntPtr self, uint context, IntPtr record);

        internal const int SlotCount = 29;

        // In slot order; each delegate lives as long as the process.
        private static readonly Delegate[] Slots =
        {
            new SB(IsValid), new SB(Release), new SQuery(QueryInterface),
            new SVU(OnConnect), new SVU(OnClose), new SV(OnServerInfo), new SVUP(OnLoginResult), new SV(OnLogout),
            new SVUP(OnAddUserResult), new SVUU(OnRemoveUserResult), new SVUP(OnAddGroupResult),
            new SVUU(OnDeleteGroupResult), new SVUU(OnUpdateGroupResult), new SVUU(OnMoveUserResult),
            new SChat(OnChatMessage), new SChatEx(OnChatMessageEx), new SOffline(OnOfflineMessage),
            new SVU(OnAddUserRequest), new SVUP(OnAddUserReply), new SVU(OnOnlineStateChanged),
            new SVU(OnUserEnterGameServer), new SVU(OnUserLeaveGameServer), new SVP(OnLog),
            new SVP(OnSearchUserResult), new SVP(OnSearchUserListItem), new SVU(OnSearchUserListEnd),
            new SEnum(OnEnumUser), new SEnum(OnEnumAddRequest), new SEnum(OnEnumGroup),
        };

        private static readonly IntPtr Table = BuildTable();

        private static IntPtr BuildTable()
        {
            if (Slots.Length != SlotCount) throw new InvalidOperationException("Kelvo: sink table is not 29 slots");
            IntPtr table = Marshal.AllocHGlobal(SlotCount * IntPtr.Size);  // never freed: shared by every client
            for (int i = 0; i < SlotCount; i++)
                Marshal.WriteIntPtr(table, i * IntPtr.Size, Marshal.GetFunctionPointerForDelegate(Slots[i]));
            return table;
        }

        /// <summary>A new sink object reporting to the client behind `handle`.</summary>
        internal static IntPtr Create(GCHandle handle)
        {
            IntPtr self = Marshal.AllocHGlobal(2 * IntPtr.Size);
            Marshal.WriteIntPtr(self, 0, Table);
            Marshal.WriteIntPtr(self, IntPtr.Size, GCHandle.ToIntPtr(handle));
            return self;
        }

        internal static void Free(IntPtr self)
        {
            Marshal.WriteIntPtr(self, IntPtr.Size, IntPtr.Zero);
            Marshal.FreeHGlobal(self);
        }

        private static KelvoClient Target(IntPtr self)
        {
            IntPtr handle = Marshal.ReadIntPtr(self, IntPtr.Size);
            if (handle == IntPtr.Zero) return null;
            return GCHandle.FromIntPtr(handle).Target as KelvoClient;
        }

        // Runs one delivery for the client behind `self`; false when there is
        // none (collected, or its sink already detached).
        private static bool Deliver(IntPtr self, Action<KelvoClient> deliver)
        {
            KelvoClient client;
            try { client = Target(self); }
            catch (Exception) { return false; }
            if (client == null) return false;
            client.EnterCallback();
            try { deliver(client); }
            catch (Exception e) { client.ReportHandlerFailure(e, null); }
            finally { client.LeaveCallback(); }
            return true;
        }

        private static bool SameId(IntPtr iid, byte[] expected)
        {
            for (int i = 0; i < 16; i++)
                if (Marshal.ReadByte(iid, i) != expected[i]) return false;
            return true;
        }

        [MonoPInvokeCallback(typeof(SB))] private static byte IsValid(IntPtr self) { return 1; }
        // The module never releases its sink; the client frees it on Dispose.
        [MonoPInvokeCallback(typeof(SB))] private static byte Release(IntPtr self) { return 1; }

        [MonoPInvokeCallback(typeof(SQuery))]
        private static IntPtr QueryInterface(IntPtr self, IntPtr iid, uint version)
        {
            try
            {
                if (iid == IntPtr.Zero || version >> 24 != 1) return IntPtr.Zero;
                return SameId(iid, Native.IidSink) || SameId(iid, Native.IidBase) ? self : IntPtr.Zero;
            }
            catch (Exception) { return IntPtr.Zero; }
        }

        [MonoPInvokeCallback(typeof(SVU))] private static void OnConnect(IntPtr self, uint state) { Deliver(self, c => c.RaiseConnect(state)); }
        [MonoPInvokeCallback(typeof(SVU))] private static void OnClose(IntPtr self, uint reason) { Deliver(self, c => c.RaiseClosed(reason)); }
        [MonoPInvokeCallback(typeof(SV))] private static void OnServerInfo(IntPtr self) { Deliver(self, c => c.RaiseServerInfo()); }
        [MonoPInvokeCallback(typeof(SVUP))] private static void OnLoginResult(IntPtr self, uint result, IntPtr text) { Deliver(self, c => c.RaiseLoginResult(result, Gbk.FromNative(text))); }
        [MonoPInvokeCallback(typeof(SV))] private static void OnLogout(IntPtr self) { Deliver(self, c => c.RaiseLoggedOut()); }
        [MonoPInvokeCallback(typeof(SVUP))] private static void OnAddUserResult(IntPtr self, uint result, IntPtr user) { Deliver(self, c => c.RaiseAddUserResult(result, ReadUser(user))); }
        [MonoPInvokeCallback(typeof(SVUU))] private static void OnRemoveUserResult(IntPtr self, uint result, uint userId) { Deliver(self, c => c.RaiseRemoveUserResult(result, userId)); }
        [MonoPInvokeCallback(typeof(SVUP))] private static void OnAddGroupResult(IntPtr self, uint result, IntPtr group) { Deliver(self, c => c.RaiseAddGroupResult(result, ReadGroup(group))); }
        [MonoPInvokeCallback(typeof(SVUU))] private static void OnDeleteGroupResult(IntPtr self, uint result, uint groupId) { Deliver(self, c => c.RaiseDeleteGroupResult(result, groupId)); }
        [MonoPInvokeCallback(typeof(SVUU))] private static void OnUpdateGroupResult(IntPtr self, uint result, uint groupId) { Deliver(self, c => c.RaiseUpdateGroupResult(result, groupId)); }
        [MonoPInvokeCallback(typeof(SVUU))] private static void OnMoveUserResult(IntPtr self, uint result, uint userId) { Deliver(self, c => c.RaiseMoveUserResult(result, userId)); }

        [MonoPInvokeCallback(typeof(SChat))]
        private static void OnChatMessage(IntPtr self, byte kind, uint sender, IntPtr text, byte v1, byte v2, byte v3)
        {
            Deliver(self, c => c.RaiseChat(new ChatMessageEventArgs(ChatSource.Chat, (MessageKind)kind, sender, 0, Gbk.FromNative(text), v1, v2, v3, null, 0)));
        }

        [MonoPInvokeCallback(typeof(SChatEx))]
        private static void OnChatMessageEx(IntPtr self, byte kind, uint sender, double value, IntPtr text, byte v1, byte v2, byte v3)
        {
            Deliver(self, c => c.RaiseChat(new ChatMessageEventArgs(ChatSource.ChatEx, (MessageKind)kind, sender, value, Gbk.FromNative(text), v1, v2, v3, null, 0)));
        }

        [MonoPInvokeCallback(typeof(SOffline))]
        private static void OnOfflineMessage(IntPtr self, byte kind, uint sender, double value, IntPtr text, byte v1, byte v2, byte v3, IntPtr block, uint extra)
        {
            Deliver(self, c =>
            {
                byte[] copy = null;
                if (block != IntPtr.Zero)
                {
                    copy = new byte[ChatMessageEventArgs.BlockSize];
                    Marshal.Copy(block, copy, 0, copy.Length);
                }
                c.RaiseChat(new ChatMessageEventArgs(ChatSource.Offline, (MessageKind)kind, sender, value, Gbk.FromNative(text), v1, v2, v3, copy, extra));
            });
        }

        [MonoPInvokeCallback(typeof(SVU))] private static void OnAddUserRequest(IntPtr self, uint userId) { Deliver(self, c => c.RaiseAddUserRequest(userId)); }
        [MonoPInvokeCallback(typeof(SVUP))] private static void OnAddUserReply(IntPtr self, uint result, IntPtr user) { Deliver(self, c => c.RaiseAddUserReply(result, ReadUser(user))); }
        [MonoPInvokeCallback(typeof(SVU))] private static void OnOnlineStateChanged(IntPtr self, uint userId) { Deliver(self, c => c.RaiseOnlineStateChanged(userId)); }
        [MonoPInvokeCallback(typeof(SVU))] private static void OnUserEnterGameServer(IntPtr self, uint userId) { Deliver(self, c => c.RaiseUserEnterGameServer(userId)); }
        [MonoPInvokeCallback(typeof(SVU))] private static void OnUserLeaveGameServer(IntPtr self, uint userId) { Deliver(self, c => c.RaiseUserLeaveGameServer(userId)); }
        [MonoPInvokeCallback(typeof(SVP))] private static void OnLog(IntPtr self, IntPtr text) { Deliver(self, c => c.RaiseLog(Gbk.FromNative(text))); }

        [MonoPInvokeCallback(typeof(SVP))]
        private static void OnSearchUserResult(IntPtr self, IntPtr result)
        {
            Deliver(self, c => c.RaiseSearchUserResult(Blit.Read<SearchUserResult>(result)));
        }

        [MonoPInvokeCallback(typeof(SVP))] private static void OnSearchUserListItem(IntPtr self, IntPtr user) { Deliver(self, c => c.RaiseSearchUserListItem(ReadUser(user))); }
        [MonoPInvokeCallback(typeof(SVU))] private static void OnSearchUserListEnd(IntPtr self, uint count) { Deliver(self, c => c.RaiseSearchUserListEnd(count)); }

        // Enumerations only collect into the list of the call under way on
        // this thread; no handler runs, so they cannot nest.
        [ThreadStatic] internal static System.Collections.Generic.List<UserRecord> CollectUsers;
        [ThreadStatic] internal static System.Collections.Generic.List<GroupRecord> CollectGroups;

        [MonoPInvokeCallback(typeof(SEnum))]
        private static byte OnEnumUser(IntPtr self, uint context, IntPtr user)
        {
            try
            {
                if (CollectUsers == null || user == IntPtr.Zero) return 0;
                CollectUsers.Add(ReadUser(user));
                return 1;
            }
            catch (Exception) { return 0; }
        }

        [MonoPInvokeCallback(typeof(SEnum))]
        private static byte OnEnumAddRequest(IntPtr self, uint context, IntPtr user) { return OnEnumUser(self, context, user); }

        [MonoPInvokeCallback(typeof(SEnum))]
        private static byte OnEnumGroup(IntPtr self, uint context, IntPtr group)
        {
            try
            {
                if (CollectGroups == null || group == IntPtr.Zero) return 0;
                CollectGroups.Add(ReadGroup(group));
                return 1;
            }
            catch (Exception) { return 0; }
        }

        private static UserRecord ReadUser(IntPtr user) { return user == IntPtr.Zero ? default(UserRecord) : Blit.Read<UserRecord>(user); }
        private static GroupRecord ReadGroup(IntPtr group) { return group == IntPtr.Zero ? default(GroupRecord) : Blit.Read<GroupRecord>(group); }
    }
}
