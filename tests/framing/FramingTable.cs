// The framing table (framing.table, its format described at its top) as the managed runners read
// it: each row's request stream and the parse drivers' expected outcomes in their canonical
// text; the servers' answers are for the C++ runner (framing_table.h), so they are only checked
// for form here. The managed unit test and the differential fuzzer share it.
using System;
using System.Collections.Generic;
using System.IO;
using System.Text;

namespace Vrns.Http.Framing
{
    sealed class TableRow
    {
        public string Name;
        public int Line;
        public byte[] Stream;
        public long BodyLimit;  // for the parse drivers; 0: the servers' own
        public string Parse;    // the expected outcomes, canonical; null: the row has none
        public string Heads = "";  // the expected heads, canonical ("\nHEAD" each); empty: not pinned

        // A driver's text as the row compares it: without its heads when the row pins none.
        public string AsPinned(string text)
        {
            int lf = text.IndexOf('\n');
            return Heads.Length > 0 || lf < 0 ? text : text.Substring(0, lf);
        }
    }

    static class FramingTable
    {
        // The rows of the table at path; throws FormatException naming the line when malformed.
        public static List<TableRow> Load(string path)
        {
            var rows = new List<TableRow>();
            var stream = new MemoryStream();
            string name = Path.GetFileName(path);
            string[] lines = File.ReadAllLines(path, Latin1);
            for (int i = 0; i < lines.Length; i++) {
                string line = lines[i].TrimEnd(' ', '\t', '\r');
                if (line.Length == 0 || line[0] == '#') continue;
                if (line.StartsWith("== ", StringComparison.Ordinal)) {
                    Close(rows, stream);
                    rows.Add(new TableRow { Name = line.Substring(3), Line = i + 1 });
                    continue;
                }
                if (rows.Count == 0) throw new FormatException(name + ":" + (i + 1) + ": a line before the first row");
                int space = line.IndexOf(' ');
                string keyword = space < 0 ? line : line.Substring(0, space);
                string value = space < 0 ? "" : line.Substring(space + 1).TrimStart(' ');
                if (!Take(rows[rows.Count - 1], keyword, value, stream))
                    throw new FormatException(name + ":" + (i + 1) + ": malformed line");
            }
            Close(rows, stream);
            return rows;
        }

        static readonly Encoding Latin1 = Encoding.GetEncoding(28591);

        static void Close(List<TableRow> rows, MemoryStream stream)
        {
            if (rows.Count == 0) return;
            rows[rows.Count - 1].Stream = stream.ToArray();
            stream.SetLength(0);
        }

        static bool Take(TableRow row, string keyword, string value, MemoryStream stream)
        {
            byte[] bytes;
            switch (keyword) {
                case "send":
                    if (!Unescape(value, out bytes)) return false;
                    stream.Write(bytes, 0, bytes.Length);
                    return true;
                case "limit":
                    return long.TryParse(value, out row.BodyLimit) && row.BodyLimit > 0;
                case "parse":
                    row.Parse = Canonical(value);
                    return row.Parse != null;
                case "head":
                    List<string> words = Words(value);
                    if (words.Count < 3) return false;
                    // The target may be written with the table's escapes (a repetition): it is
                    // compared in the canonical escaped form.
                    byte[] target;
                    if (!Unescape(words[1], out target)) return false;
                    var head = new StringBuilder("\n").Append(words[0]).Append(' ');
                    Escape(head, target, 0, target.Length);
                    for (int i = 2; i < words.Count; i++) head.Append(' ').Append(words[i]);
                    row.Heads += head.ToString();
                    return true;
                case "serve":
                case "only":
                    return value.Length > 0;
            }
            return false;
        }

        // Splits a value into words: spaces part them, except within a quoted string.
        static List<string> Words(string value)
        {
            var words = new List<string>();
            int i = 0;
            while (i < value.Length) {
                if (value[i] == ' ') {
                    i++;
                    continue;
                }
                int start = i;
                bool quoted = false;
                for (; i < value.Length && (quoted || value[i] != ' '); i++) {
                    if (quoted && value[i] == '\\')
                        i++;
                    else if (value[i] == '"')
                        quoted = !quoted;
                }
                words.Add(value.Substring(start, Math.Min(i, value.Length) - start));
            }
            return words;
        }

        // The canonical form of a "parse" value; null when malformed.
        static string Canonical(string value)
        {
            var outcomes = new Outcomes();
            foreach (string w in Words(value)) {
                int open = w.IndexOf('(');
                byte[] body = null;
                if (open >= 0) {
                    string q = w.Substring(open + 1, w.Length - open - 1);
                    if (!w.EndsWith(")", StringComparison.Ordinal) || q.Length < 3 || q[0] != '"' || q[q.Length - 2] != '"' ||
                        !Unescape(q.Substring(1, q.Length - 3), out body))
                        return null;
                }
                outcomes.Add(open < 0 ? w : w.Substring(0, open), body, 0, body == null ? 0 : body.Length);
            }
            return outcomes.Text;
        }

        static int Hex(char c)
        {
            if (c >= '0' && c <= '9') return c - '0';
            if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') return (c | 0x20) - 'a' + 10;
            return -1;
        }

        // The table's escapes: \r \n \t \xHH \" \\ \}, and \{N*TEXT} for TEXT N times.
        public static bool Unescape(string text, out byte[] bytes)
        {
            var b = new MemoryStream();
            bool ok = Unescape(text, b);
            bytes = b.ToArray();
            return ok;
        }

        static bool Unescape(string text, MemoryStream b)
        {
            for (int i = 0; i < text.Length; i++) {
                if (text[i] != '\\') {
                    b.WriteByte((byte)text[i]);
                    continue;
                }
                if (++i == text.Length) return false;
                switch (text[i]) {
                    case 'r': b.WriteByte((byte)'\r'); break;
                    case 'n': b.WriteByte((byte)'\n'); break;
                    case 't': b.WriteByte((byte)'\t'); break;
                    case 'x': {
                        int hi = i + 2 < text.Length ? Hex(text[i + 1]) : -1;
                        int lo = hi >= 0 ? Hex(text[i + 2]) : -1;
                        if (lo < 0) return false;
                        b.WriteByte((byte)(hi * 16 + lo));
                        i += 2;
                        break;
                    }
                    case '{': {
                        int star = text.IndexOf('*', i);
                        int end = star < 0 ? -1 : RepetitionEnd(text, star + 1);
                        int count;
                        if (end < 0 || !int.TryParse(text.Substring(i + 1, star - i - 1), out count) || count <= 0) return false;
                        byte[] unit;
                        if (!Unescape(text.Substring(star + 1, end - star - 1), out unit)) return false;
                        for (int n = 0; n < count; n++) b.Write(unit, 0, unit.Length);
                        i = end;
                        break;
                    }
                    default: b.WriteByte((byte)text[i]); break;
                }
            }
            return true;
        }

        static int RepetitionEnd(string text, int i)
        {
            for (; i < text.Length; i++) {
                if (text[i] == '\\')
                    i++;
                else if (text[i] == '}')
                    return i;
            }
            return -1;
        }

        // Printable ASCII as it is but '"' and '\', which are escaped, as are CR, LF, tab and
        // every other byte (\xHH): the C++ runners' form, byte for byte.
        public static void Escape(StringBuilder s, byte[] b, int at, int count)
        {
            for (int i = at; i < at + count; i++) {
                byte c = b[i];
                if (c == '\r') s.Append("\\r");
                else if (c == '\n') s.Append("\\n");
                else if (c == '\t') s.Append("\\t");
                else if (c == '"' || c == '\\') s.Append('\\').Append((char)c);
                else if (c >= 0x20 && c < 0x7f) s.Append((char)c);
                else s.Append("\\x").Append(c.ToString("x2"));
            }
        }
    }

    // A parse driver's outcomes in canonical text: one word per request, "ok" or the refusal's
    // status, with the body bytes taken as ("...") when there are any; then "close" or "more".
    sealed class Outcomes
    {
        readonly StringBuilder text = new StringBuilder();
        readonly StringBuilder heads = new StringBuilder();

        public void Add(string word, byte[] body, int at, int count)
        {
            if (text.Length > 0) text.Append(' ');
            text.Append(word);
            if (count == 0) return;
            text.Append("(\"");
            FramingTable.Escape(text, body, at, count);
            text.Append("\")");
        }

        // A head the parser accepted: the native driver's form (framing_table.h), byte for byte.
        public void AddHead(string method, byte[] b, int targetAt, int targetLength, int major, int minor, bool chunked,
                            long length, bool keepAlive, bool expectsContinue)
        {
            heads.Append('\n').Append(method).Append(' ');
            FramingTable.Escape(heads, b, targetAt, targetLength);
            heads.Append(" HTTP/").Append(major).Append('.').Append(minor);
            if (chunked) heads.Append(" chunked");
            if (!chunked && length > 0) heads.Append(" length=").Append(length);
            heads.Append(keepAlive ? " keep" : " close");
            if (expectsContinue) heads.Append(" continue");
        }

        public string Text
        {
            get { return text.ToString() + heads.ToString(); }
        }
    }
}
