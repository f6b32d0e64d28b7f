// Parses a request head in place: the request line and header fields lie in the connection's
// input buffer, and the parser keeps only their offsets, so a request costs no string until a
// handler asks for one. Its grammar is the native server's, line for line (tests/framing holds
// the two to one table and a differential fuzzer): a line ends with LF, a CR before it dropped;
// what could be read two ways is refused (a request smuggled past a proxy): Content-Length with
// Transfer-Encoding, a repeated, listed or malformed Content-Length, a coding other than chunked,
// a coding on HTTP/1.0, whitespace in a field name, a folded field, a Host that is no host.
// Fed as bytes arrive; each complete line is checked at once, and an open line against the
// limits every ending of it would meet, so the outcome never depends on how the bytes were
// split. One per connection; not thread-safe.
using System;

namespace Vrns.Http
{
    enum HeadResult { NeedMore, Complete, Error }

    sealed class HeadParser
    {
        // The limits and the methods are the native server's, from the one data file both are
        // written from (HttpGrammar.cs).
        public const int MaxTargetBytes = HttpGrammar.MaxTargetBytes;  // beyond: 414
        public const int MaxHeaderBytes = HttpGrammar.MaxHeaderBytes;  // beyond: 431
        public const int MaxHeaders = HttpGrammar.MaxHeaderFields;  // more: 431
        const int LongestMethod = HttpGrammar.LongestMethod;
        const int MaxContentLengthDigits = HttpGrammar.MaxContentLengthDigits;
        const int VersionBytes = 8;  // "HTTP/1.1"

        static readonly string[] Methods = HttpGrammar.Methods;

        // Each field's name and value in the buffer (the arrays are replaced only by Snapshot).
        public int[] NameAt = new int[MaxHeaders], NameLength = new int[MaxHeaders];
        public int[] ValueAt = new int[MaxHeaders], ValueLength = new int[MaxHeaders];

        // Results, valid once Parse says Complete (Status once it says Error).
        public int Status;
        public int End;  // the first byte after the blank line
        public string Method;
        public int TargetAt, TargetLength;
        public int VersionMajor, VersionMinor;
        public int Count;
        public long ContentLength;  // -1: none
        public bool Chunked, KeepAlive, Expects100;

        // Progress through the head.
        int lineStart, scanned, headerBytes, hostFields, transferFields;
        bool requestLineDone, transferIsChunked, connectionClose, connectionKeepAlive, connectionUpgrade, upgrade,
            expectsOther;

        public HeadParser()
        {
            Reset(0);
        }

        // A complete head's results alone, in arrays of its own size: what a request that
        // outlives its connection's buffers (a WebSocket's) keeps of its head.
        public HeadParser Snapshot()
        {
            var h = (HeadParser)MemberwiseClone();
            h.NameAt = Fields(NameAt);
            h.NameLength = Fields(NameLength);
            h.ValueAt = Fields(ValueAt);
            h.ValueLength = Fields(ValueLength);
            return h;
        }

        int[] Fields(int[] all)
        {
            var some = new int[Count];
            Array.Copy(all, some, Count);
            return some;
        }

        // Starts over on a head that begins at start.
        public void Reset(int start)
        {
            lineStart = start;
            scanned = 0;
            requestLineDone = false;
            headerBytes = hostFields = transferFields = Count = Status = 0;
            transferIsChunked = connectionClose = connectionKeepAlive = connectionUpgrade = upgrade = expectsOther = false;
            ContentLength = -1;
            Chunked = KeepAlive = Expects100 = false;
            Method = null;
        }

        // Parses buffer[.., used) from where the last call stopped.
        public HeadResult Parse(byte[] b, int used)
        {
            if (Status != 0) return HeadResult.Error;
            while (true) {
                int from = lineStart + scanned;
                int lf = Array.IndexOf(b, (byte)'\n', from, used - from);
                if (lf < 0) {
                    scanned = used - lineStart;
                    return OpenLine(b, used) ? HeadResult.NeedMore : HeadResult.Error;
                }
                scanned = 0;
                int at = lineStart;
                lineStart = lf + 1;
                int end = lf > at && b[lf - 1] == '\r' ? lf - 1 : lf;
                if (!requestLineDone) {
                    if (end > at && !RequestLine(b, at, end)) return HeadResult.Error;
                    requestLineDone = end > at;
                    continue;
                }
                headerBytes += lf - at + 1;
                if (headerBytes > MaxHeaderBytes) {
                    Fail(431);
                    return HeadResult.Error;
                }
                if (end == at) {
                    End = lf + 1;
                    return Finish() ? HeadResult.Complete : HeadResult.Error;
                }
                if (!HeaderLine(b, at, end)) return HeadResult.Error;
            }
        }

        bool Fail(int status)
        {
            Status = status;
            return false;
        }

        // An open line is refused only where every ending of it would be refused with the same
        // status: its LF still to come counts.
        bool OpenLine(byte[] b, int used)
        {
            int open = used - lineStart;
            if (requestLineDone) return headerBytes + open + 1 <= MaxHeaderBytes || Fail(431);
            // The request line's parts are each bounded: a method no longer than the longest
            // known one, a target within its limit, then "HTTP/d.d" and perhaps a CR.
            int sp1 = Array.IndexOf(b, (byte)' ', lineStart, open);
            if (sp1 < 0) return open <= LongestMethod || Fail(400);
            Method = KnownMethod(b, lineStart, sp1 - lineStart);
            if (Method == null) return Fail(400);
            int sp2 = Array.IndexOf(b, (byte)' ', sp1 + 1, used - sp1 - 1);
            int targetEnd = sp2 < 0 ? used : sp2;
            if (sp2 < 0 && targetEnd > sp1 + 1 && b[targetEnd - 1] == '\r') targetEnd--;  // may end the line
            if (targetEnd - sp1 - 1 > MaxTargetBytes) return Fail(414);
            return sp2 < 0 || used - sp2 - 1 <= VersionBytes + 1 || Fail(400);
        }

        // "METHOD SP target SP HTTP/d.d".
        bool RequestLine(byte[] b, int at, int end)
        {
            int sp1 = Array.IndexOf(b, (byte)' ', at, end - at);
            if (sp1 < 0) return Fail(400);
            Method = KnownMethod(b, at, sp1 - at);
            if (Method == null) return Fail(400);
            int target = sp1 + 1;
            int sp2 = Array.IndexOf(b, (byte)' ', target, end - target);
            if ((sp2 < 0 ? end : sp2) - target > MaxTargetBytes) return Fail(414);
            if (sp2 < 0 || sp2 == target || !ValidTarget(b, target, sp2)) return Fail(400);
            TargetAt = target;
            TargetLength = sp2 - target;
            int v = sp2 + 1;
            if (end - v != VersionBytes || b[v] != 'H' || b[v + 1] != 'T' || b[v + 2] != 'T' || b[v + 3] != 'P' ||
                b[v + 4] != '/' || !IsDigit(b[v + 5]) || b[v + 6] != '.' || !IsDigit(b[v + 7]))
                return Fail(400);
            VersionMajor = b[v + 5] - '0';
            VersionMinor = b[v + 7] - '0';
            return VersionMajor == 1 || Fail(505);
        }

        // Origin form "/...", "*" (OPTIONS only) or absolute form "scheme://..."; no byte of it
        // whitespace or a control character.
        bool ValidTarget(byte[] b, int at, int end)
        {
            for (int i = at; i < end; i++)
                if (b[i] <= ' ' || b[i] == 0x7f) return false;
            if (b[at] == '/') return true;
            if (b[at] == '*' && end - at == 1) return Method == "OPTIONS";
            int s = at;
            while (s < end && (IsLetter(b[s]) || s > at && (IsDigit(b[s]) || b[s] == '+' || b[s] == '-' || b[s] == '.'))) s++;
            return s > at && end - s >= 3 && b[s] == ':' && b[s + 1] == '/' && b[s + 2] == '/';
        }

        static string KnownMethod(byte[] b, int at, int length)
        {
            foreach (string m in Methods) {
                if (m.Length != length) continue;
                int i = 0;
                while (i < length && b[at + i] == m[i]) i++;
                if (i == length) return m;
            }
            return null;
        }

        // "name: value" (its bytes already counted).
        bool HeaderLine(byte[] b, int at, int end)
        {
            if (Count == MaxHeaders) return Fail(431);
            // A line that begins with whitespace continues the one before (obs-fold), or hides a
            // field from whoever does not fold: two readings.
            if (b[at] == ' ' || b[at] == '\t') return Fail(400);
            int colon = Array.IndexOf(b, (byte)':', at, end - at);
            if (colon <= at) return Fail(400);
            for (int i = at; i < colon; i++)
                if (!IsTokenChar(b[i])) return Fail(400);
            int v = colon + 1, e = end;
            while (v < e && (b[v] == ' ' || b[v] == '\t')) v++;
            while (e > v && (b[e - 1] == ' ' || b[e - 1] == '\t')) e--;
            if (!IsText(b, v, e)) return Fail(400);
            NameAt[Count] = at;
            NameLength[Count] = colon - at;
            ValueAt[Count] = v;
            ValueLength[Count] = e - v;
            Count++;
            return Note(b, at, colon - at, v, e - v);
        }

        // Visible ASCII, space, tab and obs-text: no control character, no DEL.
        internal static bool IsText(byte[] b, int at, int end)
        {
            for (int i = at; i < end; i++)
                if (b[i] < ' ' && b[i] != '\t' || b[i] == 0x7f) return false;
            return true;
        }

        // The fields that frame the request or decide the connection's fate.
        bool Note(byte[] b, int name, int nameLength, int value, int valueLength)
        {
            if (Ascii.EqualsIgnoreCase(b, name, nameLength, "content-length")) {
                // One field of at most 18 digits: "5, 5", a sign, a second field or a number that
                // could overflow are refused.
                if (ContentLength >= 0 || valueLength == 0 || valueLength > MaxContentLengthDigits) return Fail(400);
                long n = 0;
                for (int i = value; i < value + valueLength; i++) {
                    if (!IsDigit(b[i])) return Fail(400);
                    n = n * 10 + (b[i] - '0');
                }
                ContentLength = n;
            } else if (Ascii.EqualsIgnoreCase(b, name, nameLength, "transfer-encoding")) {
                transferFields++;
                transferIsChunked = Ascii.EqualsIgnoreCase(b, value, valueLength, "chunked");
            } else if (Ascii.EqualsIgnoreCase(b, name, nameLength, "host")) {
                hostFields++;
                for (int i = value; i < value + valueLength; i++)
                    if (!IsHostChar(b[i])) return Fail(400);
            } else if (Ascii.EqualsIgnoreCase(b, name, nameLength, "connection")) {
                NoteConnection(b, value, valueLength);
            } else if (Ascii.EqualsIgnoreCase(b, name, nameLength, "upgrade")) {
                upgrade = true;
            } else if (Ascii.EqualsIgnoreCase(b, name, nameLength, "expect")) {
                if (Ascii.EqualsIgnoreCase(b, value, valueLength, "100-continue"))
                    Expects100 = true;
                else
                    expectsOther = true;
            }
            return true;
        }

        void NoteConnection(byte[] b, int at, int length)
        {
            int end = at + length;
            while (at < end) {
                int comma = Array.IndexOf(b, (byte)',', at, end - at);
                int itemEnd = comma < 0 ? end : comma;
                int s = at, e = itemEnd;
                while (s < e && (b[s] == ' ' || b[s] == '\t')) s++;
                while (e > s && (b[e - 1] == ' ' || b[e - 1] == '\t')) e--;
                if (Ascii.EqualsIgnoreCase(b, s, e - s, "close")) connectionClose = true;
                if (Ascii.EqualsIgnoreCase(b, s, e - s, "keep-alive")) connectionKeepAlive = true;
                if (Ascii.EqualsIgnoreCase(b, s, e - s, "upgrade")) connectionUpgrade = true;
                at = itemEnd + 1;
            }
        }

        // The framing decision, in one place and in this order (the native server's order).
        bool Finish()
        {
            bool http10 = VersionMinor == 0;
            // HTTP/1.0 knows no transfer coding: its framing is faulty whatever else it says.
            if (http10 && transferFields > 0) return Fail(400);
            // Only one coding is understood, "chunked" in one field; any other leaves the length
            // unknown.
            if (transferFields > 0 && (transferFields > 1 || !transferIsChunked)) return Fail(501);
            if (transferFields > 0 && ContentLength >= 0) return Fail(400);
            // HTTP/1.1 requires exactly one Host field; more than one is never valid.
            if (hostFields > 1 || (!http10 && hostFields == 0)) return Fail(400);
            // An expectation means nothing to an HTTP/1.0 client.
            if (!http10 && expectsOther) return Fail(417);
            Chunked = transferFields > 0;
            KeepAlive = !connectionClose && (!http10 || connectionKeepAlive);
            // After an upgrade or a tunnel the bytes are no longer HTTP/1.1.
            if ((upgrade && connectionUpgrade) || Method == "CONNECT") KeepAlive = false;
            // The client waits for 100 Continue only before a body it announced, and an HTTP/1.0
            // client never does.
            Expects100 = Expects100 && !http10 && (Chunked || ContentLength > 0);
            return true;
        }

        static bool IsDigit(byte c)
        {
            return c >= '0' && c <= '9';
        }

        static bool IsLetter(byte c)
        {
            return (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
        }

        // RFC 9110 tchar.
        internal static bool IsTokenChar(byte c)
        {
            if (c >= '0' && c <= '9' || IsLetter(c)) return true;
            switch ((char)c) {
                case '!': case '#': case '$': case '%': case '&': case '\'': case '*': case '+': case '-': case '.':
                case '^': case '_': case '`': case '|': case '~':
                    return true;
            }
            return false;
        }

        // uri-host [":" port] by its characters: unreserved, sub-delims, '%', ':' and the brackets
        // of an IP literal.
        static bool IsHostChar(byte c)
        {
            if (c >= '0' && c <= '9' || IsLetter(c)) return true;
            switch ((char)c) {
                case '-': case '.': case '_': case '~': case '!': case '$': case '&': case '\'': case '(': case ')':
                case '*': case '+': case ',': case ';': case '=': case '%': case ':': case '[': case ']':
                    return true;
            }
            return false;
        }
    }

    // Byte comparisons against ASCII text, without making strings.
    static class Ascii
    {
        public static bool EqualsIgnoreCase(byte[] b, int at, int length, string lower)
        {
            if (length != lower.Length) return false;
            for (int i = 0; i < length; i++) {
                int c = b[at + i];
                if (c >= 'A' && c <= 'Z') c |= 0x20;
                if (c != lower[i]) return false;
            }
            return true;
        }

        public static bool EqualsIgnoreCase(byte[] b, int at, int length, byte[] other)
        {
            if (length != other.Length) return false;
            for (int i = 0; i < length; i++) {
                int c = b[at + i], d = other[i];
                if (c >= 'A' && c <= 'Z') c |= 0x20;
                if (d >= 'A' && d <= 'Z') d |= 0x20;
                if (c != d) return false;
            }
            return true;
        }

        public static bool Equals(byte[] b, int at, int length, string text)
        {
            if (length != text.Length) return false;
            for (int i = 0; i < length; i++)
                if (b[at + i] != text[i]) return false;
            return true;
        }

        // Writes text (ASCII) at at; returns the position after it.
        public static int Put(byte[] b, int at, string text)
        {
            for (int i = 0; i < text.Length; i++) b[at + i] = (byte)text[i];
            return at + text.Length;
        }

        public static int Put(byte[] b, int at, byte[] bytes)
        {
            Buffer.BlockCopy(bytes, 0, b, at, bytes.Length);
            return at + bytes.Length;
        }

        // Writes n in decimal; returns the position after it.
        public static int PutDecimal(byte[] b, int at, long n)
        {
            if (n == 0) {
                b[at] = (byte)'0';
                return at + 1;
            }
            int digits = 0;
            for (long m = n; m > 0; m /= 10) digits++;
            for (int i = at + digits - 1; n > 0; n /= 10) b[i--] = (byte)('0' + n % 10);
            return at + digits;
        }

        public static int PutHex(byte[] b, int at, long n)
        {
            int digits = 1;
            for (long m = n >> 4; m > 0; m >>= 4) digits++;
            for (int i = at + digits - 1; i >= at; i--, n >>= 4) b[i] = (byte)"0123456789abcdef"[(int)(n & 15)];
            return at + digits;
        }
    }
}
