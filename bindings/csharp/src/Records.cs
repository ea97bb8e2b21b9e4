// The records that cross the module boundary, laid out byte for byte as the
// C++ headers declare them (include/kelvo/kelvo_types.h). They are blittable:
// no managed references, fixed-size text fields, explicit offsets, so the
// runtime copies them without conversion and a pointer from the module can
// be read straight into one. Layout.Check() compares them with the native
// sizes and offsets when the first client is made.
//
// Text fields are plain byte blocks (Bytes32, Bytes64) rather than `fixed`
// buffers so the assembly needs no unsafe code: a Unity project can take the
// sources as they are.
using System;
using System.Runtime.InteropServices;

namespace Kelvo
{
    /// <summary>32 bytes of NUL-padded GBK text, as in UserRecord.name.</summary>
    [StructLayout(LayoutKind.Sequential, Size = 32)]
    public struct Bytes32
    {
        private byte _first;  // the rest of the 32 bytes follow it (Size)

        /// <summary>The bytes as an array.</summary>
        public byte[] ToArray() { return Blit.ToBytes(this, 32); }
        /// <summary>A block holding the array's first 32 bytes, zero-padded.</summary>
        public static Bytes32 FromArray(byte[] bytes) { return Blit.FromBytes<Bytes32>(bytes, 32); }
    }

    /// <summary>64 bytes of NUL-padded GBK text, as in GroupRecord.name.</summary>
    [StructLayout(LayoutKind.Sequential, Size = 64)]
    public struct Bytes64
    {
        private byte _first;

        /// <summary>The bytes as an array.</summary>
        public byte[] ToArray() { return Blit.ToBytes(this, 64); }
        /// <summary>A block holding the array's first 64 bytes, zero-padded.</summary>
        public static Bytes64 FromArray(byte[] bytes) { return Blit.FromBytes<Bytes64>(bytes, 64); }
    }

    /// <summary>One user: a friend, a pending request, a search result or the own user.</summary>
    [StructLayout(LayoutKind.Explicit, Size = 64)]
    public struct UserRecord
    {
        /// <summary>The user's id, the key he is stored under.</summary>
        [FieldOffset(0)] public uint UserId;
        /// <summary>Kind of roster entry.</summary>
        [FieldOffset(4)] public Relation Relation;  // kind of roster entry
        /// <summary>The group the user is filed under.</summary>
        [FieldOffset(8)] public uint GroupId;
        /// <summary>The game server the user plays on; 0 = none.</summary>
        [FieldOffset(12)] public uint GameServerId;
        /// <summary>Nonzero for a game master.</summary>
        [FieldOffset(16)] public uint GmLevel;
        /// <summary>Profile value, uninterpreted.</summary>
        [FieldOffset(20)] public uint Attr1;
        /// <summary>Profile value, uninterpreted.</summary>
        [FieldOffset(24)] public uint Attr2;
        /// <summary>Profile value, uninterpreted.</summary>
        [FieldOffset(28)] public byte Attr3;
        /// <summary>Profile flag, uninterpreted.</summary>
        [FieldOffset(29)] public byte AttrFlag;
        /// <summary>Presence as the server sends it.</summary>
        [FieldOffset(30)] public OnlineState OnlineState;  // Offline is 1
        /// <summary>The name: 32 bytes of NUL-padded GBK.</summary>
        [FieldOffset(31)] public Bytes32 NameBytes;

        /// <summary>The name decoded from GBK (up to the first NUL).</summary>
        public string Name { get { return Gbk.Decode(NameBytes.ToArray()); } }

        /// <summary>The main fields, for logs.</summary>
        public override string ToString()
        {
            return string.Format("UserRecord({0} \"{1}\" group {2} state {3})", UserId, Name, GroupId, OnlineState);
        }
    }

    /// <summary>One group of the roster; the key is GroupId.</summary>
    [StructLayout(LayoutKind.Explicit, Size = 80)]
    public struct GroupRecord
    {
        /// <summary>Kind of group.</summary>
        [FieldOffset(0)] public GroupKind GroupKind;
        /// <summary>The group's id, its key.</summary>
        [FieldOffset(4)] public uint GroupId;
        /// <summary>The group that takes the members when this one is deleted.</summary>
        [FieldOffset(8)] public uint ParentGroupId;
        /// <summary>Uninterpreted.</summary>
        [FieldOffset(12)] public uint GroupAttr;
        /// <summary>The name: 64 bytes of NUL-padded GBK.</summary>
        [FieldOffset(16)] public Bytes64 NameBytes;

        /// <summary>The name decoded from GBK (up to the first NUL).</summary>
        public string Name { get { return Gbk.Decode(NameBytes.ToArray()); } }

        /// <summary>The main fields, for logs.</summary>
        public override string ToString()
        {
            return string.Format("GroupRecord({0} \"{1}\" parent {2})", GroupId, Name, ParentGroupId);
        }
    }

    /// <summary>Where Connect goes; addresses and ports in host byte order.</summary>
    [StructLayout(LayoutKind.Explicit, Size = 20)]
    public struct ServerAddress
    {
        /// <summary>The server's IPv4 address.</summary>
        [FieldOffset(0)] public uint ServerIp;
        /// <summary>The server's TCP port.</summary>
        [FieldOffset(4)] public ushort ServerPort;
        /// <summary>The SOCKS5 proxy's IPv4 address; 0 connects directly.</summary>
        [FieldOffset(8)] public uint ProxyIp;
        /// <summary>Handed to the network library unchanged.</summary>
        [FieldOffset(12)] public uint ProxyParam;
        /// <summary>The SOCKS5 proxy's TCP port.</summary>
        [FieldOffset(16)] public ushort ProxyPort;
    }

    /// <summary>The four values of a single search result, in message order.</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct SearchUserResult
    {
        /// <summary>Value 1 of the result, in message order.</summary>
        public uint Value1;
        /// <summary>Value 2 of the result, in message order.</summary>
        public uint Value2;
        /// <summary>Value 3 of the result, in message order.</summary>
        public uint Value3;
        /// <summary>Value 4 of the result, in message order.</summary>
        public uint Value4;
    }

    /// <summary>
    /// The native sizes and offsets, copied from the C++ header's pins. A
    /// mismatch means this assembly and the module disagree on a record and
    /// every read would be garbage, so it stops the first client instead.
    /// </summary>
    public static class Layout
    {
        private static readonly object[][] Expected =
        {
            // type, size, then field name / offset pairs
            new object[] { typeof(UserRecord), 64, "UserId", 0, "Relation", 4, "GroupId", 8, "GameServerId", 12,
                           "GmLevel", 16, "Attr1", 20, "Attr2", 24, "Attr3", 28, "AttrFlag", 29,
                           "OnlineState", 30, "NameBytes", 31 },
            new object[] { typeof(GroupRecord), 80, "GroupKind", 0, "GroupId", 4, "ParentGroupId", 8,
                           "GroupAttr", 12, "NameBytes", 16 },
            new object[] { typeof(ServerAddress), 20, "ServerIp", 0, "ServerPort", 4, "ProxyIp", 8,
                           "ProxyParam", 12, "ProxyPort", 16 },
            new object[] { typeof(SearchUserResult), 16, "Value1", 0, "Value2", 4, "Value3", 8, "Value4", 12 },
            new object[] { typeof(Bytes32), 32 },
            new object[] { typeof(Bytes64), 64 },
        };

        private static bool _checked;

        /// <summary>Throws InvalidOperationException naming the first field that differs.</summary>
        public static void Check()
        {
            if (_checked) return;
            foreach (object[] row in Expected)
            {
                var type = (Type)row[0];
                int size = Marshal.SizeOf(type);
                if (size != (int)row[1])
                    throw new InvalidOperationException(string.Format(
                        "Kelvo: {0} is {1} bytes here, {2} in the module", type.Name, size, row[1]));
                for (int i = 2; i < row.Length; i += 2)
                {
                    var field = (string)row[i];
                    int offset = Marshal.OffsetOf(type, field).ToInt32();
                    if (offset != (int)row[i + 1])
                        throw new InvalidOperationException(string.Format(
                            "Kelvo: {0}.{1} is at offset {2} here, {3} in the module", type.Name, field, offset,
                            row[i + 1]));
                }
            }
            _checked = true;
        }
    }

    /// <summary>Copies between blittable structs and byte arrays without unsafe code.</summary>
    internal static class Blit
    {
        internal static byte[] ToBytes<T>(T value, int size) where T : struct
        {
            var bytes = new byte[size];
            IntPtr buffer = Marshal.AllocHGlobal(size);
            try
            {
                Marshal.StructureToPtr(value, buffer, false);
                Marshal.Copy(buffer, bytes, 0, size);
            }
            finally { Marshal.FreeHGlobal(buffer); }
            return bytes;
        }

        internal static T FromBytes<T>(byte[] bytes, int size) where T : struct
        {
            IntPtr buffer = Marshal.AllocHGlobal(size);
            try
            {
                Marshal.Copy(new byte[size], 0, buffer, size);
                if (bytes != null) Marshal.Copy(bytes, 0, buffer, Math.Min(bytes.Length, size));
                return (T)Marshal.PtrToStructure(buffer, typeof(T));
            }
            finally { Marshal.FreeHGlobal(buffer); }
        }

        internal static T Read<T>(IntPtr pointer) where T : struct
        {
            return (T)Marshal.PtrToStructure(pointer, typeof(T));
        }
    }
}
