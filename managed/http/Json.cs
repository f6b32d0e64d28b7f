// JSON in and out with the web's defaults: public properties of plain classes and structs, no
// attributes; names written in camelCase and read without regard to case; unknown names skipped.
// Each type's converter is made once by reflection and kept: its properties' getters and setters
// are typed delegates (no boxing, no reflective call per value), and each name's quoted UTF-8
// form is made once. Writing goes into a buffer of the calling thread's, reused; the result is
// one array of its exact size.
//
// Reading takes UTF-8 RFC 8259 JSON only, strictly: no comments, no trailing commas, no
// leading zeros, no NaN, a string's escapes and characters as the grammar says, nothing after
// the value; bytes that are not UTF-8 are refused. A value must fit its property's type: a string
// for a number, a fraction or overflow for an integer, null for a non-nullable value type, an
// array where an object is expected, all throw JsonException. Nesting is bounded (MaxDepth)
// both ways, so a deep input or a cycle in an object graph is refused, not a stack overflow.
//
// Types: string, bool, the integer types, double, float, decimal (written as JSON numbers),
// enums (their numbers), Guid, DateTime and DateTimeOffset (ISO 8601, "o"), TimeSpan ("c"),
// Nullable<T>, T[], List<T> and the interfaces it implements (read as a List<T>), other
// IEnumerable<T> (written only), Dictionary<string, T> and its interfaces, object (written as its
// runtime type; read as Dictionary<string, object>, List<object>, string, long, double, bool or
// null), and any other class or struct as an object of its public instance properties (those
// with a public setter are read; a class read needs a public parameterless constructor).
// Thread-safe.
using System;
using System.Collections;
using System.Collections.Concurrent;
using System.Collections.Generic;
using System.Globalization;
using System.Reflection;
using System.Text;

namespace Vrns.Http
{
    // Input that is not JSON, or not JSON of the type asked for.
    public sealed class JsonException : FormatException
    {
        public JsonException(string message) : base(message)
        {
        }
    }

    public static class Json
    {
        // Nesting deeper than this (objects and arrays) is refused, reading and writing.
        public const int MaxDepth = 64;

        [ThreadStatic] static JsonWriter writer;

        // value as UTF-8 JSON. Throws JsonException for a graph deeper than MaxDepth (a cycle)
        // or a double that JSON cannot hold (NaN, infinities), NotSupportedException for a type
        // that cannot be written (a pointer, a delegate).
        public static byte[] Serialize<T>(T value)
        {
            JsonWriter w = writer;
            if (w == null)
                writer = w = new JsonWriter();
            else if (w.Busy)
                w = new JsonWriter();  // a property's getter that serialises while a write is under way
            w.Reset();
            try {
                JsonConverters.For<T>().Write(w, value);
                return w.ToArray();
            } finally {
                w.Release();
            }
        }

        public static string SerializeToString<T>(T value)
        {
            return Encoding.UTF8.GetString(Serialize(value));
        }

        // The value of type T in utf8[offset, offset + count); JsonException when it is not one.
        public static T Deserialize<T>(byte[] utf8, int offset, int count)
        {
            if (utf8 == null) throw new ArgumentNullException("utf8");
            if (offset < 0 || count < 0 || offset > utf8.Length - count) throw new ArgumentOutOfRangeException("count");
            if (!Utf8Validator.IsValid(utf8, offset, count)) throw new JsonException("the text is not UTF-8");
            if (count >= 3 && utf8[offset] == 0xEF && utf8[offset + 1] == 0xBB && utf8[offset + 2] == 0xBF) {
                offset += 3;  // a byte order mark, which RFC 8259 lets a reader ignore
                count -= 3;
            }
            var r = new JsonReader(utf8, offset, offset + count);
            r.SkipSpace();
            if (r.AtEnd) throw new JsonException("no JSON value");
            T value = JsonConverters.For<T>().Read(r);
            r.SkipSpace();
            if (!r.AtEnd) throw r.Error("text after the value");
            return value;
        }

        public static T Deserialize<T>(byte[] utf8)
        {
            if (utf8 == null) throw new ArgumentNullException("utf8");
            return Deserialize<T>(utf8, 0, utf8.Length);
        }

        public static T Deserialize<T>(string json)
        {
            if (json == null) throw new ArgumentNullException("json");
            return Deserialize<T>(Encoding.UTF8.GetBytes(json));
        }

        // "Name" -> "name", "URLValue" -> "urlValue", "ID" -> "id": the leading capitals
        // lowered, but the last of a run that starts a word.
        public static string CamelCase(string name)
        {
            if (string.IsNullOrEmpty(name) || !char.IsUpper(name[0])) return name;
            char[] c = name.ToCharArray();
            for (int i = 0; i < c.Length; i++) {
                if (i == 1 && !char.IsUpper(c[i])) break;
                bool hasNext = i + 1 < c.Length;
                if (i > 0 && hasNext && !char.IsUpper(c[i + 1])) {
                    if (c[i + 1] == ' ') c[i] = char.ToLowerInvariant(c[i]);
                    break;
                }
                c[i] = char.ToLowerInvariant(c[i]);
            }
            return new string(c);
        }
    }

    // Writes UTF-8 JSON into an array that grows; kept per thread and reused.
    sealed class JsonWriter
    {
        const int FirstSize = 512;
        // An array grown past this is not kept for the thread's next use.
        const int KeptMax = 65536;
        static readonly byte[] Hex = Encoding.ASCII.GetBytes("0123456789abcdef");

        byte[] buffer = new byte[FirstSize];
        int at;
        int depth;
        bool busy;  // in use by a Serialize call; a call within it (from a getter) takes a new writer

        public bool Busy
        {
            get { return busy; }
        }

        public void Reset()
        {
            busy = true;
            at = 0;
            depth = 0;
        }

        public void Release()
        {
            busy = false;
            if (buffer.Length > KeptMax) buffer = new byte[FirstSize];
        }

        public byte[] ToArray()
        {
            var result = new byte[at];
            Buffer.BlockCopy(buffer, 0, result, 0, at);
            return result;
        }

        public void Enter()
        {
            if (++depth > Json.MaxDepth) throw new JsonException("the value nests deeper than " + Json.MaxDepth + " (a cycle?)");
        }

        public void Leave()
        {
            depth--;
        }

        void Room(int n)
        {
            if (buffer.Length - at >= n) return;
            var bigger = new byte[Math.Max(buffer.Length * 2, at + n)];
            Buffer.BlockCopy(buffer, 0, bigger, 0, at);
            buffer = bigger;
        }

        public void Byte(byte b)
        {
            Room(1);
            buffer[at++] = b;
        }

        public void Raw(byte[] bytes)
        {
            Room(bytes.Length);
            Buffer.BlockCopy(bytes, 0, buffer, at, bytes.Length);
            at += bytes.Length;
        }

        public void Ascii(string s)
        {
            Room(s.Length);
            foreach (char c in s) buffer[at++] = (byte)c;
        }

        public void Long(long v)
        {
            if (v < 0) {
                Byte((byte)'-');
                ULong(v == long.MinValue ? (ulong)long.MaxValue + 1 : (ulong)-v);
            } else {
                ULong((ulong)v);
            }
        }

        public void ULong(ulong v)
        {
            Room(20);
            int digits = 1;
            for (ulong t = v; t >= 10; t /= 10) digits++;
            for (int i = digits - 1; i >= 0; i--) {
                buffer[at + i] = (byte)('0' + (int)(v % 10));
                v /= 10;
            }
            at += digits;
        }

        public void Double(double v)
        {
            if (double.IsNaN(v) || double.IsInfinity(v)) throw new JsonException("JSON has no " + v);
            Ascii(v.ToString("R", CultureInfo.InvariantCulture));
        }

        // A string: '"' and '\\' and the control characters escaped, the rest as UTF-8 (a lone
        // surrogate, which UTF-8 cannot hold, as \uXXXX).
        public void String(string s)
        {
            Room(s.Length + 2);
            buffer[at++] = (byte)'"';
            for (int i = 0; i < s.Length; i++) {
                char c = s[i];
                if (c >= ' ' && c < 0x80 && c != '"' && c != '\\') {
                    if (at == buffer.Length) Room(1);
                    buffer[at++] = (byte)c;
                } else {
                    i = Special(s, i);
                }
            }
            Byte((byte)'"');
        }

        // The character at i that is not plain ASCII; the index of its last char.
        int Special(string s, int i)
        {
            char c = s[i];
            Room(12);
            if (c < 0x80) {
                buffer[at++] = (byte)'\\';
                switch (c) {
                    case '"': buffer[at++] = (byte)'"'; break;
                    case '\\': buffer[at++] = (byte)'\\'; break;
                    case '\n': buffer[at++] = (byte)'n'; break;
                    case '\r': buffer[at++] = (byte)'r'; break;
                    case '\t': buffer[at++] = (byte)'t'; break;
                    case '\b': buffer[at++] = (byte)'b'; break;
                    case '\f': buffer[at++] = (byte)'f'; break;
                    default: at--; Escape(c); break;
                }
                return i;
            }
            if (c < 0x800) {
                buffer[at++] = (byte)(0xC0 | (c >> 6));
                buffer[at++] = (byte)(0x80 | (c & 0x3F));
                return i;
            }
            if (char.IsHighSurrogate(c) && i + 1 < s.Length && char.IsLowSurrogate(s[i + 1])) {
                int cp = char.ConvertToUtf32(c, s[i + 1]);
                buffer[at++] = (byte)(0xF0 | (cp >> 18));
                buffer[at++] = (byte)(0x80 | ((cp >> 12) & 0x3F));
                buffer[at++] = (byte)(0x80 | ((cp >> 6) & 0x3F));
                buffer[at++] = (byte)(0x80 | (cp & 0x3F));
                return i + 1;
            }
            if (char.IsSurrogate(c)) {
                Escape(c);
                return i;
            }
            buffer[at++] = (byte)(0xE0 | (c >> 12));
            buffer[at++] = (byte)(0x80 | ((c >> 6) & 0x3F));
            buffer[at++] = (byte)(0x80 | (c & 0x3F));
            return i;
        }

        void Escape(char c)
        {
            buffer[at++] = (byte)'\\';
            buffer[at++] = (byte)'u';
            buffer[at++] = Hex[(c >> 12) & 15];
            buffer[at++] = Hex[(c >> 8) & 15];
            buffer[at++] = Hex[(c >> 4) & 15];
            buffer[at++] = Hex[c & 15];
        }
    }

    // Reads one UTF-8 JSON text (already checked to be UTF-8) token by token.
    sealed class JsonReader
    {
        readonly byte[] b;
        readonly int start, end;
        int at, depth;

        public JsonReader(byte[] bytes, int from, int to)
        {
            b = bytes;
            start = from;
            at = from;
            end = to;
        }

        public bool AtEnd
        {
            get { return at >= end; }
        }

        public JsonException Error(string what)
        {
            return new JsonException("bad JSON at byte " + (at - start) + ": " + what);
        }

        public void SkipSpace()
        {
            while (at < end && (b[at] == ' ' || b[at] == '\n' || b[at] == '\r' || b[at] == '\t')) at++;
        }

        // The next token's first byte, after white space; 0 at the end.
        public byte Peek()
        {
            SkipSpace();
            return at < end ? b[at] : (byte)0;
        }

        void Expect(byte c)
        {
            if (Peek() != c) throw Error("expected '" + (char)c + "'");
            at++;
        }

        void Literal(string word)
        {
            if (end - at < word.Length) throw Error("expected " + word);
            for (int i = 0; i < word.Length; i++)
                if (b[at + i] != word[i]) throw Error("expected " + word);
            at += word.Length;
        }

        // Takes a null when one comes.
        public bool TryNull()
        {
            if (Peek() != 'n') return false;
            Literal("null");
            return true;
        }

        public bool Bool()
        {
            byte c = Peek();
            if (c == 't') {
                Literal("true");
                return true;
            }
            if (c == 'f') {
                Literal("false");
                return false;
            }
            throw Error("expected true or false");
        }

        // An object: BeginObject, then NextName until it returns false.
        public void BeginObject()
        {
            if (Peek() != '{') throw Error(Peek() == '[' ? "an array where an object is expected" : "expected an object");
            Enter();
            at++;
        }

        // The next member's name (its raw bytes, between the quotes, and whether it has escapes);
        // the reader then stands at its value. False at the object's end. first: true before the
        // first member (the caller's, so that nested containers keep their own).
        public bool NextName(ref bool first, out int nameAt, out int nameLength, out bool escaped)
        {
            byte c = Peek();
            nameAt = nameLength = 0;
            escaped = false;
            if (c == '}') {
                at++;
                depth--;
                return false;
            }
            if (!first) {
                if (c != ',') throw Error("expected ',' or '}'");
                at++;
                c = Peek();
            }
            first = false;
            if (c != '"') throw Error("expected a member name");
            ScanString(out nameAt, out nameLength, out escaped);
            Expect((byte)':');
            return true;
        }

        // An array: BeginArray, then NextItem until it returns false.
        public void BeginArray()
        {
            if (Peek() != '[') throw Error(Peek() == '{' ? "an object where an array is expected" : "expected an array");
            Enter();
            at++;
        }

        public bool NextItem(ref bool first)
        {
            byte c = Peek();
            if (c == ']') {
                at++;
                depth--;
                return false;
            }
            if (!first) {
                if (c != ',') throw Error("expected ',' or ']'");
                at++;
            }
            first = false;
            return true;
        }

        void Enter()
        {
            if (++depth > Json.MaxDepth) throw Error("nested deeper than " + Json.MaxDepth);
        }

        // Past a string's closing quote; its content's place and whether it holds escapes.
        void ScanString(out int contentAt, out int length, out bool escaped)
        {
            at++;  // the opening quote
            contentAt = at;
            escaped = false;
            while (true) {
                if (at >= end) throw Error("an unterminated string");
                byte c = b[at];
                if (c == '"') break;
                if (c < 0x20) throw Error("a control character in a string");
                if (c == '\\') {
                    escaped = true;
                    at++;
                    if (at >= end) throw Error("an unterminated string");
                    c = b[at];
                    if (c == 'u') {
                        for (int i = 1; i <= 4; i++)
                            if (at + i >= end || HexValue(b[at + i]) < 0) throw Error("a bad \\u escape");
                        at += 4;
                    } else if ("\"\\/bfnrt".IndexOf((char)c) < 0) {
                        throw Error("a bad escape");
                    }
                }
                at++;
            }
            length = at - contentAt;
            at++;
        }

        static int HexValue(byte c)
        {
            if (c >= '0' && c <= '9') return c - '0';
            int l = c | 0x20;
            return l >= 'a' && l <= 'f' ? l - 'a' + 10 : -1;
        }

        public string String()
        {
            if (Peek() != '"') throw Error("expected a string");
            int s, n;
            bool escaped;
            ScanString(out s, out n, out escaped);
            return Text(s, n, escaped);
        }

        // The text of a string's content as ScanString found it.
        public string Text(int s, int n, bool escaped)
        {
            if (!escaped) return Encoding.UTF8.GetString(b, s, n);
            var text = new StringBuilder(n);
            int run = s, stop = s + n;
            for (int i = s; i < stop; i++) {
                if (b[i] != '\\') continue;
                if (i > run) text.Append(Encoding.UTF8.GetString(b, run, i - run));
                byte e = b[++i];
                switch (e) {
                    case (byte)'b': text.Append('\b'); break;
                    case (byte)'f': text.Append('\f'); break;
                    case (byte)'n': text.Append('\n'); break;
                    case (byte)'r': text.Append('\r'); break;
                    case (byte)'t': text.Append('\t'); break;
                    case (byte)'u':
                        text.Append((char)(HexValue(b[i + 1]) << 12 | HexValue(b[i + 2]) << 8 | HexValue(b[i + 3]) << 4 |
                                           HexValue(b[i + 4])));
                        i += 4;
                        break;
                    default: text.Append((char)e); break;  // '"', '\\', '/'
                }
                run = i + 1;
            }
            if (stop > run) text.Append(Encoding.UTF8.GetString(b, run, stop - run));
            return text.ToString();
        }

        // Whether the name bytes equal name (ASCII letters compared without case); names with
        // escapes or other characters are compared as strings, without case.
        public bool NameIs(int s, int n, bool escaped, byte[] asciiName, string name)
        {
            if (escaped || asciiName == null) return string.Equals(Text(s, n, escaped), name, StringComparison.OrdinalIgnoreCase);
            if (n != asciiName.Length) return false;
            for (int i = 0; i < n; i++) {
                int x = b[s + i], y = asciiName[i];
                if (x == y) continue;
                if ((x | 0x20) != (y | 0x20) || (y | 0x20) < 'a' || (y | 0x20) > 'z') return false;
            }
            return true;
        }

        // A number token: its place, and whether it is an integer (no fraction, no exponent).
        public void Number(out int s, out int n, out bool integer)
        {
            byte c = Peek();
            s = at;
            integer = true;
            if (c == '-') at++;
            if (at >= end || !IsDigit(b[at])) throw Error(c == '"' ? "a string where a number is expected" : "expected a number");
            if (b[at] == '0') {
                at++;
            } else {
                while (at < end && IsDigit(b[at])) at++;
            }
            if (at < end && b[at] == '.') {
                integer = false;
                at++;
                if (at >= end || !IsDigit(b[at])) throw Error("a bad number");
                while (at < end && IsDigit(b[at])) at++;
            }
            if (at < end && (b[at] | 0x20) == 'e') {
                integer = false;
                at++;
                if (at < end && (b[at] == '+' || b[at] == '-')) at++;
                if (at >= end || !IsDigit(b[at])) throw Error("a bad number");
                while (at < end && IsDigit(b[at])) at++;
            }
            if (at < end && IsDigit(b[at])) throw Error("a number with a leading zero");
            n = at - s;
        }

        static bool IsDigit(byte c)
        {
            return c >= '0' && c <= '9';
        }

        // An integer in [min, max]; a fraction, an exponent or a value outside is refused.
        public long Integer(long min, long max)
        {
            int s, n;
            bool integer;
            Number(out s, out n, out integer);
            if (!integer) throw Error("a fraction where an integer is expected");
            bool negative = b[s] == '-';
            ulong v = Magnitude(negative ? s + 1 : s, s + n);
            long value;
            if (negative) {
                if (v > (ulong)long.MaxValue + 1) throw Error("an integer out of range");
                value = v == (ulong)long.MaxValue + 1 ? long.MinValue : -(long)v;
            } else {
                if (v > (ulong)long.MaxValue) throw Error("an integer out of range");
                value = (long)v;
            }
            if (value < min || value > max) throw Error("an integer out of range");
            return value;
        }

        ulong Magnitude(int from, int to)
        {
            ulong v = 0;
            for (int i = from; i < to; i++) {
                ulong d = (ulong)(b[i] - '0');
                if (v > (ulong.MaxValue - d) / 10) throw Error("an integer out of range");
                v = v * 10 + d;
            }
            return v;
        }

        public ulong UInt64()
        {
            int s, n;
            bool integer;
            Number(out s, out n, out integer);
            if (!integer || b[s] == '-') throw Error("expected an unsigned integer");
            return Magnitude(s, s + n);
        }

        public string NumberText()
        {
            int s, n;
            bool integer;
            Number(out s, out n, out integer);
            return Encoding.ASCII.GetString(b, s, n);
        }

        // Skips one value of any kind (an unknown member's).
        public void Skip()
        {
            byte c = Peek();
            bool first = true;
            switch (c) {
                case (byte)'{':
                    BeginObject();
                    int s, n;
                    bool e;
                    while (NextName(ref first, out s, out n, out e)) Skip();
                    break;
                case (byte)'[':
                    BeginArray();
                    while (NextItem(ref first)) Skip();
                    break;
                case (byte)'"': String(); break;
                case (byte)'t':
                case (byte)'f': Bool(); break;
                case (byte)'n': Literal("null"); break;
                default: NumberText(); break;
            }
        }
    }
}
