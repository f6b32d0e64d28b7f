// Parses a request head in place: the request line and header fields lie in the connection's
// input buffer, and the parser keeps only their offsets, so a request costs no string until a
// handler asks for one. It frames requests the way the native server does, refusing what could
// be read two ways (a request smuggled past a proxy): Content-Length with Transfer-Encoding, a
// repeated, listed or malformed Content-Length, a coding other than chunked, whitespace in a
// field name, a folded field. Fed as bytes arrive; each complete line is checked at once, so a
// limit is enforced before the head ends. One per connection; not thread-safe.
using System;

namespace Vrns.Http
{
    enum HeadResult { NeedMore, Complete, Error }

    sealed class HeadParser
    {
        // A request-target longer than this gets 414.
        public const int MaxTargetBytes = 8192;
        // Header fields (names, values and 4 bytes of separators each) beyond this get 431.
        public const int MaxHeaderBytes = 16384;
        // More fields than this get 431.
        public const int MaxHeaders = 100;
        const int MaxRequestLine = MaxTargetBytes + 64;

        static readonly string[] Methods = {
            "GET", "HEAD", "POST", "PUT", "DELETE", "CONNECT", "OPTIONS", "TRACE", "PATCH", "COPY", "LOCK",
            "MKCOL", "MOVE", "PROPFIND", "PROPPATCH", "SEARCH", "UNLOCK", "BIND", "REBIND", "UNBIND", "ACL",
            "REPORT", "MKACTIVITY", "CHECKOUT", "MERGE", "M-SEARCH", "NOTIFY", "SUBSCRIBE", "UNSUBSCRIBE",
            "PURGE", "MKCALENDAR", "LINK", "UNLINK", "SOURCE",
        };

        public readonly int[] NameAt = new int[MaxHeaders], NameLength = new int[MaxHeaders];
        public readonly int[] ValueAt = new int[MaxHeaders], ValueLength = new int[MaxHeaders];

        // Results, valid once Parse says Complete (Status once it says Error).
        public int Status;
        public int End;  // the first byte after the blank line
        public string Method;
        public int TargetAt, TargetLength;
        public int VersionMajor, VersionMinor;
        public int Count;
        public long ContentLength;  // -1: none
        public bool Chunked, KeepAlive, Expects100, ExpectsOther;

        // Progress through the head.
        int lineStart, headerBytes, hostFields, transferCodings;
        bool requestLineDone, transferIsChunked, connectionClose, connectionKeepAlive, connectionUpgrade, upgrade;

        public HeadParser()
        {
            Reset(0);
        }

        // Starts over on a head that begins at start.
        public void Reset(int start)
        {
            lineStart = start;
            requestLineDone = false;
            headerBytes = hostFields = transferCodings = Count = Status = 0;
            transferIsChunked = connectionClose = connectionKeepAlive = connectionUpgrade = upgrade = false;
            ContentLength = -1;
            Chunked = KeepAlive = Expects100 = ExpectsOther = false;
            Method = null;
        }

        // Parses buffer[.., used) from where the last call stopped.
        public HeadResult Parse(byte[] b, int used)
        {
            if (Status != 0) return HeadResult.Error;
            while (true) {
                int lf = Array.IndexOf(b, (byte)'\n', lineStart, used - lineStart);
                if (lf < 0) return Incomplete(b, used);
                int end = lf > lineStart && b[lf - 1] == '\r' ? lf - 1 : lf;
                if (!requestLineDone) {
                    if (end == lineStart) {  // empty lines before a request are ignored
                        lineStart = lf + 1;
                        continue;
                    }
                    if (!RequestLine(b, lineStart, end)) return HeadResult.Error;
                    requestLineDone = true;
                } else if (end == lineStart) {
                    End = lf + 1;
                    return Finish(b) ? HeadResult.Complete : HeadResult.Error;
                } else if (!HeaderLine(b, lineStart, end)) {
                    return HeadResult.Error;
                }
                lineStart = lf + 1;
            }
        }

        bool Fail(int status)
        {
            Status = status;
            return false;
        }

        // A line still open may already be over its limit.
        HeadResult Incomplete(byte[] b, int used)
        {
            int open = used - lineStart;
            if (!requestLineDone) {
                int space = Array.IndexOf(b, (byte)' ', lineStart, open);
                if (space >= 0) {
                    int second = Array.IndexOf(b, (byte)' ', space + 1, used - space - 1);
                    int target = (second < 0 ? used : second) - space - 1;
                    if (target > MaxTargetBytes) Fail(414);
                }
                if (Status == 0 && open > MaxRequestLine) Fail(400);
            } else if (headerBytes + open > MaxHeaderBytes + 4) {
                Fail(431);
            }
            return Status == 0 ? HeadResult.NeedMore : HeadResult.Error;
        }

        bool RequestLine(byte[] b, int at, int end)
        {
            int sp1 = Array.IndexOf(b, (byte)' ', at, end - at);
            if (sp1 < 0) return Fail(400);
            Method = KnownMethod(b, at, sp1 - at);
            int target = sp1 + 1;
            int sp2 = Array.IndexOf(b, (byte)' ', target, end - target);
            if (sp2 < 0) return Fail(end - target > MaxTargetBytes ? 414 : 400);
            if (sp2 - target > MaxTargetBytes) return Fail(414);
            if (Method == null || sp2 == target) return Fail(400);
            byte first = b[target];
            if (first != '/' && first != '*' && !IsLetter(first)) return Fail(400);
            for (int i = target; i < sp2; i++)
                if (b[i] <= ' ' || b[i] == 0x7f) return Fail(400);
            TargetAt = target;
            TargetLength = sp2 - target;
            // "HTTP/d.d" and nothing after it.
            int v = sp2 + 1;
            if (end - v != 8 || b[v] != 'H' || b[v + 1] != 'T' || b[v + 2] != 'T' || b[v + 3] != 'P' ||
                b[v + 4] != '/' || !IsDigit(b[v + 5]) || b[v + 6] != '.' || !IsDigit(b[v + 7]))
                return Fail(400);
            VersionMajor = b[v + 5] - '0';
            VersionMinor = b[v + 7] - '0';
            return true;
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

        bool HeaderLine(byte[] b, int at, int end)
        {
            if (b[at] == ' ' || b[at] == '\t') return Fail(400);  // a folded line: two readings
            int colon = Array.IndexOf(b, (byte)':', at, end - at);
            if (colon <= at) return Fail(400);
            for (int i = at; i < colon; i++)
                if (!IsTokenChar(b[i])) return Fail(400);
            int v = colon + 1, e = end;
            while (v < e && (b[v] == ' ' || b[v] == '\t')) v++;
            headerBytes += colon - at + (e - v) + 4;
            if (headerBytes > MaxHeaderBytes) return Fail(431);
            while (e > v && (b[e - 1] == ' ' || b[e - 1] == '\t')) e--;
            for (int i = v; i < e; i++)
                if (b[i] < ' ' && b[i] != '\t' || b[i] == 0x7f) return Fail(400);
            if (Count == MaxHeaders) return Fail(431);
            NameAt[Count] = at;
            NameLength[Count] = colon - at;
            ValueAt[Count] = v;
            ValueLength[Count] = e - v;
            Count++;
            return Note(b, at, colon - at, v, e - v);
        }

        // The fields that frame the request or decide the connection's fate.
        bool Note(byte[] b, int name, int nameLength, int value, int valueLength)
        {
            if (Ascii.EqualsIgnoreCase(b, name, nameLength, "content-length")) {
                // One field of digits only: "5, 5", a sign or a second field are refused.
                if (ContentLength >= 0 || valueLength == 0 || valueLength > 18) return Fail(FramingStatus());
                long n = 0;
                for (int i = value; i < value + valueLength; i++) {
                    if (!IsDigit(b[i])) return Fail(FramingStatus());
                    n = n * 10 + (b[i] - '0');
                }
                ContentLength = n;
            } else if (Ascii.EqualsIgnoreCase(b, name, nameLength, "transfer-encoding")) {
                if (valueLength > 0 || transferCodings == 0) transferCodings++;
                transferIsChunked = transferCodings == 1 && Ascii.EqualsIgnoreCase(b, value, valueLength, "chunked");
            } else if (Ascii.EqualsIgnoreCase(b, name, nameLength, "host")) {
                hostFields++;
            } else if (Ascii.EqualsIgnoreCase(b, name, nameLength, "connection")) {
                NoteConnection(b, value, valueLength);
            } else if (Ascii.EqualsIgnoreCase(b, name, nameLength, "upgrade")) {
                upgrade = true;
            } else if (Ascii.EqualsIgnoreCase(b, name, nameLength, "expect")) {
                if (Ascii.EqualsIgnoreCase(b, value, valueLength, "100-continue"))
                    Expects100 = true;
                else
                    ExpectsOther = true;
            }
            return true;
        }

        // A framing error is 501 once a coding other than chunked was named, as the native server
        // answers it.
        int FramingStatus()
        {
            return transferCodings > 0 && !transferIsChunked ? 501 : 400;
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

        bool Finish(byte[] b)
        {
            if (transferCodings > 0 && !transferIsChunked) return Fail(501);
            if (transferCodings > 0 && ContentLength >= 0) return Fail(400);
            if (VersionMajor != 1) return Fail(505);
            // HTTP/1.1 requires exactly one Host field; more than one is never valid.
            if (hostFields > 1 || (VersionMinor >= 1 && hostFields == 0)) return Fail(400);
            Chunked = transferCodings > 0;
            KeepAlive = VersionMinor >= 1 ? !connectionClose : connectionKeepAlive;
            if ((upgrade && connectionUpgrade) || Method == "CONNECT") KeepAlive = false;
            // An expectation means nothing to an HTTP/1.0 client.
            if (VersionMinor == 0) Expects100 = ExpectsOther = false;
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
        static bool IsTokenChar(byte c)
        {
            if (c >= '0' && c <= '9' || IsLetter(c)) return true;
            switch ((char)c) {
                case '!': case '#': case '$': case '%': case '&': case '\'': case '*': case '+': case '-': case '.':
                case '^': case '_': case '`': case '|': case '~':
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
