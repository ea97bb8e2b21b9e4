// Texts cross the module boundary as NUL-terminated GBK (code page 936).
using System;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Text;

namespace Kelvo
{
    /// <summary>GBK (code page 936), the encoding of every text that crosses the module.</summary>
    public static class Gbk
    {
        private static Encoding _encoding;
        private static Encoding _strict;

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

        // Code page 936 that throws on a character it cannot hold, where the
        // default one would put '?' in its place and send a different text.
        private static Encoding Strict
        {
            get
            {
                if (_strict == null)
                {
                    var strict = (Encoding)Encoding.Clone();
                    strict.EncoderFallback = EncoderFallback.ExceptionFallback;
                    _strict = strict;
                }
                return _strict;
            }
        }

        /// <summary>
        /// The text as GBK with a terminating NUL, as a request carries it, or
        /// a <see cref="KelvoArgumentException"/> naming why it cannot be sent:
        /// empty (unless allowed), longer than <paramref name="maxBytes"/> GBK
        /// bytes, a character GBK cannot hold, or a NUL inside.
        /// </summary>
        internal static byte[] ForRequest(string text, string paramName, int maxBytes, bool allowEmpty = false)
        {
            if (text == null) throw new ArgumentNullException(paramName);
            if (text.IndexOf('\0') >= 0)
                throw new KelvoArgumentException(TextRefusal.ContainsNul, paramName,
                    "Kelvo: the text contains a NUL character, where it would be cut");
            byte[] body;
            try { body = Strict.GetBytes(text); }
            catch (EncoderFallbackException e)
            {
                throw new KelvoArgumentException(TextRefusal.NotEncodable, paramName, string.Format(
                    "Kelvo: the text has a character GBK cannot hold (U+{0:X4} at {1}); nothing was sent",
                    e.CharUnknownHigh != '\0' ? char.ConvertToUtf32(e.CharUnknownHigh, e.CharUnknownLow) : (int)e.CharUnknown,
                    e.Index));
            }
            // An encoder that ignores its fallback would still turn the text
            // into another one: a round trip tells.
            if (Encoding.GetString(body) != text)
                throw new KelvoArgumentException(TextRefusal.NotEncodable, paramName,
                    "Kelvo: the text has a character GBK cannot hold; nothing was sent");
            if (body.Length == 0 && !allowEmpty)
                throw new KelvoArgumentException(TextRefusal.Empty, paramName, "Kelvo: the text is empty");
            if (body.Length > maxBytes)
                throw new KelvoArgumentException(TextRefusal.TooLong, paramName, string.Format(
                    "Kelvo: the text is {0} GBK bytes, at most {1} fit; nothing was sent", body.Length, maxBytes));
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
