// Texts cross the module boundary as NUL-terminated GBK (code page 936).
using System;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Text;

namespace Kelvo
{
    public static class Gbk
    {
        private static Encoding _encoding;

        /// <summary>
        /// Code page 936. Mono ships it in its I18N assemblies (Debian:
        /// libmono-i18n4.0-all; Unity: I18N.dll and I18N.CJK.dll copied into
        /// the project). .NET Core and .NET 5+ need the code-pages provider
        /// registered first; it is looked up by name so this assembly keeps
        /// no reference to the package that carries it.
        /// </summary>
        public static Encoding Encoding
        {
            get
            {
                if (_encoding == null) _encoding = Load();
                return _encoding;
            }
        }

        private static Encoding Load()
        {
            try { return Encoding.GetEncoding(936); }
            catch (Exception) { }
            Type provider = Type.GetType("System.Text.CodePagesEncodingProvider, System.Text.Encoding.CodePages");
            if (provider != null)
            {
                var instance = provider.GetProperty("Instance", BindingFlags.Public | BindingFlags.Static);
                var value = instance == null ? null : instance.GetValue(null, null) as EncodingProvider;
                if (value != null)
                {
                    Encoding.RegisterProvider(value);
                    return Encoding.GetEncoding(936);
                }
            }
            throw new NotSupportedException(
                "Kelvo: code page 936 (GBK) is not available; on Mono install the I18N assemblies " +
                "(I18N.dll, I18N.CJK.dll), on .NET Core reference System.Text.Encoding.CodePages");
        }

        /// <summary>The text as GBK with a terminating NUL; null stays null.</summary>
        public static byte[] Terminated(string text)
        {
            if (text == null) return null;
            byte[] body = Encoding.GetBytes(text);
            var bytes = new byte[body.Length + 1];
            Buffer.BlockCopy(body, 0, bytes, 0, body.Length);
            return bytes;
        }

        /// <summary>Decodes up to the first NUL (or the whole block).</summary>
        public static string Decode(byte[] bytes)
        {
            int length = Array.IndexOf(bytes, (byte)0);
            if (length < 0) length = bytes.Length;
            return Encoding.GetString(bytes, 0, length);
        }

        // The module caps its texts (OnLog 511 bytes, chat 255); the bound
        // only guards against a pointer that is not a text at all.
        private const int MaxNativeText = 64 * 1024;

        /// <summary>Reads a NUL-terminated GBK text owned by the module; null gives null.</summary>
        public static string FromNative(IntPtr text)
        {
            if (text == IntPtr.Zero) return null;
            int length = 0;
            while (length < MaxNativeText && Marshal.ReadByte(text, length) != 0) length++;
            var bytes = new byte[length];
            Marshal.Copy(text, bytes, 0, length);
            return Encoding.GetString(bytes);
        }
    }
}
