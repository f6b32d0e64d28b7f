// The query string's pairs (c.Request.QueryString): ["a"] is the first value of a, decoded as a
// browser decodes a form (FormUrlEncoding: '+' and "%XX", UTF-8, nothing refused), GetValues
// all of them; names are compared without case, as HttpListener's QueryString compares them.
// Parsed on first use from the raw query, which the request's target bounds (8 KiB).
using System;
using System.Threading;

namespace Vrns.Http
{
    public sealed class QueryCollection : ValueCollection
    {
        public const int MaxQueryLength = HeadParser.MaxTargetBytes;

        readonly object gate = new object();  // guards the parse
        string raw;  // null once parsed

        // raw: what follows '?' as sent, without it (HttpRequest.Query).
        public QueryCollection(string raw) : base(StringComparer.OrdinalIgnoreCase)
        {
            if (raw == null) throw new ArgumentNullException("raw");
            if (raw.Length > MaxQueryLength) throw new ArgumentException("a query is at most 8 KiB", "raw");
            this.raw = raw;
        }

        internal override void Load()
        {
            if (Volatile.Read(ref raw) == null) return;
            lock (gate) {
                if (raw == null) return;
                byte[] b = FormUrlEncoding.RawBytes(raw);
                FormUrlEncoding.AddPairs(b, 0, b.Length, this);
                Volatile.Write(ref raw, null);
            }
        }
    }
}
