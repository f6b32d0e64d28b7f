// application/x-www-form-urlencoded, as browsers read it (the URL standard's parser): pairs
// separated by '&', empty pairs skipped, name and value split at the first '=' (a pair without
// one is a name with an empty value), '+' a space, "%XX" the byte XX, and the bytes then read
// as UTF-8. Nothing is refused: a '%' not followed by two hexadecimal digits stays as it is,
// and bytes that are not UTF-8 become U+FFFD, so any query or body decodes to the same text a
// browser's URLSearchParams gives. Pure functions; any thread.
using System;
using System.Text;

namespace Vrns.Http
{
    static class FormUrlEncoding
    {
        // Adds every pair of b[at..end) to into.
        public static void AddPairs(byte[] b, int at, int end, ValueCollection into)
        {
            while (at < end) {
                int amp = Array.IndexOf(b, (byte)'&', at, end - at);
                int stop = amp < 0 ? end : amp;
                if (stop > at) AddPair(b, at, stop, into);
                at = stop + 1;
            }
        }

        // One pair, b[at..end) holding no '&'.
        public static void AddPair(byte[] b, int at, int end, ValueCollection into)
        {
            int eq = Array.IndexOf(b, (byte)'=', at, end - at);
            if (eq < 0)
                into.Add(Decode(b, at, end), "");
            else
                into.Add(Decode(b, at, eq), Decode(b, eq + 1, end));
        }

        public static string Decode(byte[] b, int at, int end)
        {
            int i = at;
            while (i < end && b[i] != '%' && b[i] != '+' && b[i] < 0x80) i++;
            if (i == end) return Encoding.ASCII.GetString(b, at, end - at);  // nothing to decode
            var bytes = new byte[end - at];
            int n = 0;
            for (i = at; i < end; i++) {
                byte c = b[i];
                int hi, lo;
                if (c == '+') {
                    c = (byte)' ';
                } else if (c == '%' && (hi = Hex(b, i + 1, end)) >= 0 && (lo = Hex(b, i + 2, end)) >= 0) {
                    c = (byte)(hi * 16 + lo);
                    i += 2;
                }
                bytes[n++] = c;
            }
            return Encoding.UTF8.GetString(bytes, 0, n);
        }

        // The value of the hexadecimal digit at b[i], -1 when there is none (or i is past end).
        static int Hex(byte[] b, int i, int end)
        {
            if (i >= end) return -1;
            int c = b[i];
            if (c >= '0' && c <= '9') return c - '0';
            c |= 0x20;
            return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        }

        // The bytes a raw query stands for: the request gives it one character per byte; a
        // character above U+00FF, which no request holds, is taken as its UTF-8 encoding.
        public static byte[] RawBytes(string raw)
        {
            foreach (char c in raw)
                if (c > 0xff) return Encoding.UTF8.GetBytes(raw);
            var b = new byte[raw.Length];
            for (int i = 0; i < raw.Length; i++) b[i] = (byte)raw[i];
            return b;
        }
    }
}
