// How the binding reaches the module: the one export, and the tables of
// operations of the interfaces it returns.
//
// Calling convention. Every interface operation is a C++ member function
// called through its object's table; `this` is passed as an explicit first
// IntPtr argument. That matches the module on every platform it is built for:
//  - x86_64 (Linux, macOS, Windows): each has one convention and `this` is
//    simply the first argument;
//  - i686 Windows: the module declares every operation __stdcall (`this`
//    pushed last, callee pops), i.e. stdcall with `this` first;
//  - i686 Linux: g++ passes `this` as the first stack argument, caller pops,
//    i.e. cdecl with `this` first.
// CallingConvention.Winapi means stdcall on Windows and cdecl elsewhere, so
// one set of delegate types covers all four. (ThisCall would be wrong on
// i686 Windows: the module is not built __thiscall.)
//
// bool results and arguments are C++ bool, one byte: they are declared as
// byte, since the default marshalling of bool is a four-byte BOOL whose upper
// bytes the module never sets. Texts go in as GBK byte arrays (pinned for the
// call), records by reference or as pointers read with Marshal.
using System;
using System.Runtime.InteropServices;

namespace Kelvo
{
    internal static class Native
    {
        // The interface identifiers, as the module's GUID layout (Data1-3 in
        // little-endian order, then 8 bytes) which Guid.ToByteArray produces.
        internal static readonly byte[] IidClient = new Guid("A3BC050A-B6DC-4807-B91E-B90373289B83").ToByteArray();
        internal static readonly byte[] IidBase = new Guid("92D87E91-5A5B-4A45-8CFD-382FE6B32B0B").ToByteArray();
        internal static readonly byte[] IidSink = new Guid("597D8B19-0D30-4700-98B4-C6F6859AB5C8").ToByteArray();
        internal static readonly byte[] IidPump = new Guid("6C1F3E52-2B7D-4F0A-9E64-0D5A8C17B3E9").ToByteArray();
        internal static readonly byte[] IidNetwork = new Guid("6F1C2D8A-5B34-4E9D-A2C7-0E8B3F5D7A19").ToByteArray();
        internal const uint InterfaceVersion = 0x01010100;
        internal const uint PumpInterfaceVersion = 0x01000000;
        internal const uint NetworkInterfaceVersion = 0x01000000;
        internal const uint DeliveryPump = 1;

        // ---- the export ----

        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        internal delegate IntPtr CreateFn(byte[] iid, uint version);

        [DllImport("kelvocore", CallingConvention = CallingConvention.Cdecl, EntryPoint = "CreateKelvoCore")]
        private static extern IntPtr CreateKelvoCoreImport(byte[] iid, uint version);

        private static CreateFn _create;

        /// <summary>
        /// CreateKelvoCore from the module at $KELVO_MODULE when that is set,
        /// otherwise from "kelvocore" as the runtime finds native plugins
        /// (libkelvocore.so through LD_LIBRARY_PATH, kelvocore.dll next to the
        /// program, Unity's Plugins folder).
        /// </summary>
        internal static IntPtr Create(byte[] iid, uint version)
        {
            if (_create == null)
            {
                string path = Environment.GetEnvironmentVariable("KELVO_MODULE");
                _create = string.IsNullOrEmpty(path) ? CreateKelvoCoreImport : LoadExport(path);
            }
            return _create(iid, version);
        }

        private static CreateFn LoadExport(string path)
        {
            IntPtr symbol;
            if (Environment.OSVersion.Platform == PlatformID.Win32NT)
            {
                IntPtr module = LoadLibraryW(path);
                if (module == IntPtr.Zero) throw new DllNotFoundException("Kelvo: cannot load " + path);
                symbol = GetProcAddress(module, "CreateKelvoCore");
            }
            else
            {
                const int RTLD_NOW = 2;
                IntPtr module = dlopen(path, RTLD_NOW);
                if (module == IntPtr.Zero)
                    throw new DllNotFoundException("Kelvo: cannot load " + path + ": " +
                                                   Marshal.PtrToStringAnsi(dlerror()));
                symbol = dlsym(module, "CreateKelvoCore");
            }
            if (symbol == IntPtr.Zero) throw new EntryPointNotFoundException("Kelvo: no CreateKelvoCore in " + path);
            // The module stays loaded for the life of the process: a client's
            // network thread may still be leaving when the last one is released.
            return (CreateFn)Marshal.GetDelegateForFunctionPointer(symbol, typeof(CreateFn));
        }

        [DllImport("libdl.so.2")] private static extern IntPtr dlopen(string path, int flags);
        [DllImport("libdl.so.2")] private static extern IntPtr dlsym(IntPtr module, string name);
        [DllImport("libdl.so.2")] private static extern IntPtr dlerror();
        [DllImport("kernel32", CharSet = CharSet.Unicode)] private static extern IntPtr LoadLibraryW(string path);
        [DllImport("kernel32", CharSet = CharSet.Ansi)] private static extern IntPtr GetProcAddress(IntPtr module, string name);

        // ---- operations, by signature ----

        [UnmanagedFunctionPointer(CallingConvention.Winapi)] internal delegate byte B(IntPtr self);
        [UnmanagedFunctionPointer(CallingConvention.Winapi)] internal delegate IntPtr QueryFn(IntPtr self, byte[] iid, uint version);
        [UnmanagedFunctionPointer(CallingConvention.Winapi)] internal delegate byte BAddress(IntPtr self, ref ServerAddress address);
        [UnmanagedFunctionPointer(CallingConvention.Winapi)] internal delegate byte BPtr(IntPtr self, IntPtr pointer);
        [UnmanagedFunctionPointer(CallingConvention.Winapi)] internal delegate byte BLogin(IntPtr self, uint userId, byte[] password, byte[] extra);
        [UnmanagedFunctionPointer(CallingConvention.Winapi)] internal delegate byte BU(IntPtr self, uint a);
        [UnmanagedFunctionPointer(CallingConvention.Winapi)] internal delegate byte BUUU(IntPtr self, uint a, uint b, uint c);
        [UnmanagedFunctionPointer(CallingConvention.Winapi)] internal delegate byte BUUT(IntPtr self, uint a, uint b, byte[] text);
        [UnmanagedFunctionPointer(CallingConvention.Winapi)] internal delegate byte BUT(IntPtr self, uint a, byte[] text);
        [UnmanagedFunctionPointer(CallingConvention.Winapi)] internal delegate byte BChat(IntPtr self, uint peer, uint value, byte[] text, byte c1, byte c2, byte c3);
        [UnmanagedFunctionPointer(CallingConvention.Winapi)] internal delegate void VU(IntPtr self, uint a);
        [UnmanagedFunctionPointer(CallingConvention.Winapi)] internal delegate byte BUUB(IntPtr self, uint a, uint b, byte flag);
        [UnmanagedFunctionPointer(CallingConvention.Winapi)] internal delegate byte BH(IntPtr self, ushort a);
        [UnmanagedFunctionPointer(CallingConvention.Winapi)] internal delegate byte BHost(IntPtr self, byte[] host, ushort port);
        [UnmanagedFunctionPointer(CallingConvention.Winapi)] internal delegate void VEnumUsers(IntPtr self, uint context, uint relation, uint groupId, ushort gameServerId, byte onlineState);
        [UnmanagedFunctionPointer(CallingConvention.Winapi)] internal delegate void VUU(IntPtr self, uint a, uint b);
        [UnmanagedFunctionPointer(CallingConvention.Winapi)] internal delegate byte BGetUser(IntPtr self, uint id, out UserRecord record);
        [UnmanagedFunctionPointer(CallingConvention.Winapi)] internal delegate byte BGetGroup(IntPtr self, uint id, out GroupRecord record);
        [UnmanagedFunctionPointer(CallingConvention.Winapi)] internal delegate IntPtr P(IntPtr self);
        [UnmanagedFunctionPointer(CallingConvention.Winapi)] internal delegate uint U(IntPtr self);
        [UnmanagedFunctionPointer(CallingConvention.Winapi)] internal delegate uint UU(IntPtr self, uint a);

        /// <summary>The operation in `slot` of the object's table.</summary>
        internal static T Slot<T>(IntPtr self, int slot) where T : class
        {
            IntPtr table = Marshal.ReadIntPtr(self);
            IntPtr function = Marshal.ReadIntPtr(table, slot * IntPtr.Size);
            return (T)(object)Marshal.GetDelegateForFunctionPointer(function, typeof(T));
        }
    }
}
