// The cookies a request carries (c.Request.Cookies), read from its Cookie field(s) as RFC 6265
// servers read them and tolerant of what browsers send: pairs separated by ';', whitespace
// around names and values dropped, one pair of double quotes around a value removed, pieces
// without '=' or with an empty name skipped (a browser sends those for cookies a script made
// without a name), values as sent (no percent-decoding; bytes above 0x7F read as UTF-8).
// Names are compared with case, as browsers keep them apart; ["k"] is the first value, which
// is the one a browser sends first (the longest path, then the oldest), GetValues all.
// Parsed on first use; the fields are bounded by the head's limit.
using System;
using System.Collections.Generic;
using System.Text;
using System.Threading;

namespace Vrns.Http
{
    public sealed class RequestCookies : ValueCollection
    {
        readonly object gate = new object();  // guards the parse
        IEnumerable<string> fields;  // null once parsed

        // fields: the values of every Cookie field, in order (HttpRequest.Headers.GetValues),
        // taken now: the request's buffer they come from is reused after the request.
        public RequestCookies(IEnumerable<string> fields) : base(StringComparer.Ordinal)
        {
            if (fields == null) throw new ArgumentNullException("fields");
            this.fields = new List<string>(fields);
        }

        internal override void Load()
        {
            if (Volatile.Read(ref fields) == null) return;
            lock (gate) {
                if (fields == null) return;
                foreach (string field in fields) AddPairs(field);
                Volatile.Write(ref fields, null);
            }
        }

        void AddPairs(string field)
        {
            int at = 0;
            while (at < field.Length) {
                int semicolon = field.IndexOf(';', at);
                int stop = semicolon < 0 ? field.Length : semicolon;
                AddPair(field, at, stop);
                at = stop + 1;
            }
        }

        void AddPair(string field, int at, int end)
        {
            int eq = field.IndexOf('=', at, end - at);
            if (eq < 0) return;
            string name = Trim(field, at, eq);
            if (name.Length == 0) return;
            string value = Trim(field, eq + 1, end);
            if (value.Length >= 2 && value[0] == '"' && value[value.Length - 1] == '"')
                value = value.Substring(1, value.Length - 2);
            Add(Text(name), Text(value));
        }

        static string Trim(string s, int at, int end)
        {
            while (at < end && (s[at] == ' ' || s[at] == '\t')) at++;
            while (end > at && (s[end - 1] == ' ' || s[end - 1] == '\t')) end--;
            return s.Substring(at, end - at);
        }

        // A field's characters are its bytes; bytes above 0x7F are taken as UTF-8.
        static string Text(string s)
        {
            foreach (char c in s)
                if (c >= 0x80) return Encoding.UTF8.GetString(FormUrlEncoding.RawBytes(s));
            return s;
        }
    }
}
