// The TodoApi's JSON: a Todo written as {"id":1,"name":"walk dog","isComplete":false} and read
// back from a request body with the names in any case and unknown names ignored. A small reader
// of its own, so that the sample needs nothing but the runtime's class libraries: an application
// on a library JSON binder (Request.ReadJsonAsync<Todo>, Response.WriteJsonAsync) drops this
// file and calls that instead.
using System;
using System.Collections.Generic;
using System.Globalization;
using System.Text;

namespace Vrns.Samples.Todo
{
    public static class TodoJson
    {
        // Deeper nesting than this in an ignored value is refused, so a hostile body cannot
        // exhaust the stack.
        const int MostDepth = 32;

        public static string Write(Todo t)
        {
            var s = new StringBuilder(64);
            Append(s, t);
            return s.ToString();
        }

        public static string Write(List<Todo> items)
        {
            var s = new StringBuilder(2 + items.Count * 48);
            s.Append('[');
            for (int i = 0; i < items.Count; i++) {
                if (i > 0) s.Append(',');
                Append(s, items[i]);
            }
            return s.Append(']').ToString();
        }

        static void Append(StringBuilder s, Todo t)
        {
            s.Append("{\"id\":").Append(t.Id).Append(",\"name\":");
            if (t.Name == null) {
                s.Append("null");
            } else {
                s.Append('"');
                foreach (char ch in t.Name) {
                    if (ch == '"' || ch == '\\') s.Append('\\').Append(ch);
                    else if (ch < ' ') s.Append("\\u").Append(((int)ch).ToString("x4"));
                    else s.Append(ch);
                }
                s.Append('"');
            }
            s.Append(",\"isComplete\":").Append(t.IsComplete ? "true" : "false").Append('}');
        }

        // A Todo from a JSON object; null, with the reason in error, for anything else (malformed
        // JSON, an array, a name of the wrong type).
        public static Todo Read(string text, out string error)
        {
            var r = new Reader(text);
            try {
                r.Space();
                if (r.Peek() != '{') throw new FormatException("expected a JSON object");
                var t = new Todo();
                r.Object((name, reader) => {
                    switch (name.ToLowerInvariant()) {
                    case "id": reader.Number(); break;  // the store assigns ids
                    case "name": t.Name = reader.StringOrNull(); break;
                    case "iscomplete": t.IsComplete = reader.Bool(); break;
                    default: reader.Skip(0); break;
                    }
                });
                r.Space();
                if (!r.AtEnd) throw new FormatException("text after the object");
                error = null;
                return t;
            } catch (FormatException e) {
                error = e.Message;
                return null;
            }
        }

        sealed class Reader
        {
            readonly string s;
            int at;

            public Reader(string text)
            {
                s = text;
            }

            public bool AtEnd
            {
                get { return at >= s.Length; }
            }

            public char Peek()
            {
                if (at >= s.Length) throw new FormatException("unexpected end of JSON");
                return s[at];
            }

            public void Space()
            {
                while (at < s.Length && (s[at] == ' ' || s[at] == '\t' || s[at] == '\r' || s[at] == '\n')) at++;
            }

            void Expect(char c)
            {
                Space();
                if (Peek() != c) throw new FormatException("expected '" + c + "' at " + at);
                at++;
            }

            bool Word(string w)
            {
                if (string.CompareOrdinal(s, at, w, 0, w.Length) != 0) return false;
                at += w.Length;
                return true;
            }

            public void Object(Action<string, Reader> member)
            {
                Expect('{');
                Space();
                if (Peek() == '}') {
                    at++;
                    return;
                }
                for (;;) {
                    Space();
                    string name = String();
                    Expect(':');
                    Space();
                    member(name, this);
                    Space();
                    char c = Peek();
                    at++;
                    if (c == '}') return;
                    if (c != ',') throw new FormatException("expected ',' or '}' at " + (at - 1));
                }
            }

            public string String()
            {
                if (Peek() != '"') throw new FormatException("expected a string at " + at);
                var b = new StringBuilder();
                for (at++;;) {
                    char c = Peek();
                    at++;
                    if (c == '"') return b.ToString();
                    if (c < ' ') throw new FormatException("control character in a string");
                    if (c != '\\') {
                        b.Append(c);
                        continue;
                    }
                    char e = Peek();
                    at++;
                    switch (e) {
                    case '"': case '\\': case '/': b.Append(e); break;
                    case 'b': b.Append('\b'); break;
                    case 'f': b.Append('\f'); break;
                    case 'n': b.Append('\n'); break;
                    case 'r': b.Append('\r'); break;
                    case 't': b.Append('\t'); break;
                    case 'u':
                        int code;
                        if (at + 4 > s.Length ||
                            !int.TryParse(s.Substring(at, 4), NumberStyles.AllowHexSpecifier, CultureInfo.InvariantCulture, out code))
                            throw new FormatException("bad \\u escape");
                        b.Append((char)code);
                        at += 4;
                        break;
                    default: throw new FormatException("bad escape \\" + e);
                    }
                }
            }

            public string StringOrNull()
            {
                return Word("null") ? null : String();
            }

            public bool Bool()
            {
                if (Word("true")) return true;
                if (Word("false")) return false;
                throw new FormatException("expected true or false at " + at);
            }

            public double Number()
            {
                int start = at;
                while (at < s.Length && "+-0123456789.eE".IndexOf(s[at]) >= 0) at++;
                double d;
                if (!double.TryParse(s.Substring(start, at - start), NumberStyles.Float, CultureInfo.InvariantCulture, out d))
                    throw new FormatException("expected a number at " + start);
                return d;
            }

            public void Skip(int depth)
            {
                if (depth > MostDepth) throw new FormatException("JSON nested deeper than " + MostDepth);
                char c = Peek();
                if (c == '"') {
                    String();
                } else if (c == '{') {
                    Object((name, r) => r.Skip(depth + 1));
                } else if (c == '[') {
                    at++;
                    Space();
                    if (Peek() == ']') {
                        at++;
                        return;
                    }
                    for (;;) {
                        Space();
                        Skip(depth + 1);
                        Space();
                        char d = Peek();
                        at++;
                        if (d == ']') return;
                        if (d != ',') throw new FormatException("expected ',' or ']'");
                    }
                } else if (!Word("true") && !Word("false") && !Word("null")) {
                    Number();
                }
            }
        }
    }
}
