// What a handler sees of a request. The request line and fields stay in the connection's
// buffer; their strings are made when first asked for. One request object per connection,
// reused: it is valid until the handler's Task completes.
using System;
using System.Collections;
using System.Collections.Generic;
using System.IO;
using System.Net;
using System.Text;
using System.Threading;
using System.Threading.Tasks;

namespace Vrns.Http
{
    public sealed class HttpRequest
    {
        readonly HttpConnection connection;
        readonly RequestHeaders headers;
        readonly RequestBodyStream body;
        internal HeadParser Head;
        internal byte[] Buffer;
        // The normalised path (PathNormalizer): in Buffer where the path was sent in normal
        // form, else in ownPath or, when longer, an array of this request's own. PathStatus is
        // 0, or the status the request is refused with before routing (its path is then empty).
        internal byte[] PathBytes;
        internal int PathAt, PathLength, PathStatus;
        // The path as sent: the target up to '?' or '#'.
        int rawPathAt, rawPathLength;
        byte[] ownPath;
        string target, path, rawPath, query;

        // Paths up to this long are normalised into the request's own array, made once;
        // a longer one (rare) gets an array for that request alone, so no connection keeps one.
        const int OwnPathBytes = 256;

        internal HttpRequest(HttpConnection connection)
        {
            this.connection = connection;
            headers = new RequestHeaders(this);
            body = new RequestBodyStream(connection);
        }

        internal void Begin(HeadParser head, byte[] buffer)
        {
            Head = head;
            Buffer = buffer;
            target = path = rawPath = query = null;
            // The path starts at the target's start, or after "scheme://authority" (absolute form).
            int at = head.TargetAt;
            int end = head.TargetAt + head.TargetLength;
            if (buffer[at] != '/' && buffer[at] != '*') {
                int scheme = IndexOf(buffer, at, end, (byte)':');
                at = scheme < 0 || scheme + 3 > end ? end : scheme + 3;
                while (at < end && buffer[at] != '/' && buffer[at] != '?' && buffer[at] != '#') at++;
            }
            int stop = at;
            while (stop < end && buffer[stop] != '?' && buffer[stop] != '#') stop++;
            rawPathAt = at;
            rawPathLength = stop - at;
            NormalizePath();
        }

        void NormalizePath()
        {
            PathStatus = 0;
            if (PathNormalizer.IsNormal(Buffer, rawPathAt, rawPathLength)) {
                PathBytes = Buffer;
                PathAt = rawPathAt;
                PathLength = rawPathLength;
                return;
            }
            byte[] into = rawPathLength < OwnPathBytes ? ownPath ?? (ownPath = new byte[OwnPathBytes])
                                                       : new byte[rawPathLength + 1];
            PathBytes = into;
            PathAt = 0;
            PathStatus = PathNormalizer.Normalize(Buffer, rawPathAt, rawPathLength, into, out PathLength);
        }

        static int IndexOf(byte[] b, int from, int to, byte value)
        {
            return Array.IndexOf(b, value, from, to - from);
        }

        // "GET", "HEAD", "POST" ... (one string per method, made once).
        public string Method
        {
            get { return Head.Method; }
        }

        public bool IsHead
        {
            get { return Head.Method == "HEAD"; }
        }

        // The request-target as sent.
        public string Target
        {
            get { return target ?? (target = Latin1(Head.TargetAt, Head.TargetLength)); }
        }

        // The path, normalised once before routing: percent-decoded (as UTF-8), runs of slashes
        // merged, "." and ".." segments resolved; "/" for an absolute-form target without one.
        // What the router matched and StaticFiles serves. Without the query.
        public string Path
        {
            get { return path ?? (path = Utf8.GetString(PathBytes, PathAt, PathLength)); }
        }

        // The path as sent (not decoded, nothing resolved), without the query; "" for an
        // absolute-form target without one.
        public string RawPath
        {
            get { return rawPath ?? (rawPath = Latin1(rawPathAt, rawPathLength)); }
        }

        // What follows '?' as sent, without it (and without a '#' part); "" when there is none.
        public string Query
        {
            get {
                if (query != null) return query;
                int at = rawPathAt + rawPathLength, end = Head.TargetAt + Head.TargetLength;
                if (at >= end || Buffer[at] != '?') return query = "";
                int hash = IndexOf(Buffer, at + 1, end, (byte)'#');
                return query = Latin1(at + 1, (hash < 0 ? end : hash) - at - 1);
            }
        }

        // "HTTP/1.1" or "HTTP/1.0".
        public string Protocol
        {
            get { return Head.VersionMinor == 0 ? "HTTP/1.0" : "HTTP/1.1"; }
        }

        public RequestHeaders Headers
        {
            get { return headers; }
        }

        // The first value of the field, compared without case; null when absent.
        public string GetHeader(string name)
        {
            return headers[name];
        }

        // Content-Length, or -1 (none, or a chunked body).
        public long ContentLength
        {
            get { return Head.ContentLength; }
        }

        public bool HasBody
        {
            get { return Head.Chunked || Head.ContentLength > 0; }
        }

        // The body as it arrives; ReadAsync only (a read never blocks a thread). Bytes nobody
        // reads are skipped after the response.
        public Stream Body
        {
            get { return body; }
        }

        // The whole body (up to the server's MaxBodyBytes; beyond, the request is answered 413).
        public async Task<byte[]> ReadBodyAsync()
        {
            if (!HasBody) return EmptyBody;
            if (!Head.Chunked) {
                var whole = new byte[Head.ContentLength];
                int got = 0;
                while (got < whole.Length) {
                    int n = await connection.ReadBodyAsync(whole, got, whole.Length - got).ConfigureAwait(false);
                    if (n == 0) throw new IOException("the request body ended early");
                    got += n;
                }
                return whole;
            }
            var all = new MemoryStream();
            var chunk = new byte[16384];
            int read;
            while ((read = await connection.ReadBodyAsync(chunk, 0, chunk.Length).ConfigureAwait(false)) > 0)
                all.Write(chunk, 0, read);
            return all.ToArray();
        }

        static readonly byte[] EmptyBody = new byte[0];
        // Field values are bytes; each byte becomes the character of the same number.
        static readonly Encoding Latin1Encoding = Encoding.GetEncoding(28591);
        static readonly Encoding Utf8 = new UTF8Encoding(false, true);

        public IPAddress RemoteAddress
        {
            get { return connection.PeerAddress; }
        }

        public int RemotePort
        {
            get { return connection.PeerPort; }
        }

        internal string Latin1(int at, int length)
        {
            return Latin1Encoding.GetString(Buffer, at, length);
        }
    }

    // The request's fields, looked up by name without case; values are made on demand.
    public sealed class RequestHeaders : IEnumerable<KeyValuePair<string, string>>
    {
        readonly HttpRequest request;

        internal RequestHeaders(HttpRequest request)
        {
            this.request = request;
        }

        public int Count
        {
            get { return request.Head.Count; }
        }

        public string this[string name]
        {
            get {
                int i = IndexOf(name);
                return i < 0 ? null : ValueAt(i);
            }
        }

        public bool Contains(string name)
        {
            return IndexOf(name) >= 0;
        }

        // Every value of the field, in order.
        public IEnumerable<string> GetValues(string name)
        {
            HeadParser h = request.Head;
            for (int i = 0; i < h.Count; i++)
                if (NameIs(i, name)) yield return ValueAt(i);
        }

        internal int IndexOf(string name)
        {
            HeadParser h = request.Head;
            for (int i = 0; i < h.Count; i++)
                if (NameIs(i, name)) return i;
            return -1;
        }

        bool NameIs(int i, string name)
        {
            HeadParser h = request.Head;
            if (h.NameLength[i] != name.Length) return false;
            byte[] b = request.Buffer;
            int at = h.NameAt[i];
            for (int k = 0; k < name.Length; k++) {
                int c = b[at + k], d = name[k];
                if (c >= 'A' && c <= 'Z') c |= 0x20;
                if (d >= 'A' && d <= 'Z') d |= 0x20;
                if (c != d) return false;
            }
            return true;
        }

        internal string ValueAt(int i)
        {
            return request.Latin1(request.Head.ValueAt[i], request.Head.ValueLength[i]);
        }

        public IEnumerator<KeyValuePair<string, string>> GetEnumerator()
        {
            HeadParser h = request.Head;
            for (int i = 0; i < h.Count; i++)
                yield return new KeyValuePair<string, string>(request.Latin1(h.NameAt[i], h.NameLength[i]), ValueAt(i));
        }

        IEnumerator IEnumerable.GetEnumerator()
        {
            return GetEnumerator();
        }
    }

    // The body as a read-only stream over the connection; a synchronous Read would block a pump
    // worker, so only ReadAsync is offered.
    sealed class RequestBodyStream : Stream
    {
        readonly HttpConnection connection;

        public RequestBodyStream(HttpConnection connection)
        {
            this.connection = connection;
        }

        public override Task<int> ReadAsync(byte[] buffer, int offset, int count, CancellationToken token)
        {
            return connection.ReadBodyAsync(buffer, offset, count);
        }

        public override int Read(byte[] buffer, int offset, int count)
        {
            throw new NotSupportedException("the request body is read with ReadAsync");
        }

        public override bool CanRead
        {
            get { return true; }
        }

        public override bool CanSeek
        {
            get { return false; }
        }

        public override bool CanWrite
        {
            get { return false; }
        }

        public override long Length
        {
            get { throw new NotSupportedException(); }
        }

        public override long Position
        {
            get { throw new NotSupportedException(); }
            set { throw new NotSupportedException(); }
        }

        public override void Flush()
        {
        }

        public override long Seek(long offset, SeekOrigin origin)
        {
            throw new NotSupportedException();
        }

        public override void SetLength(long value)
        {
            throw new NotSupportedException();
        }

        public override void Write(byte[] buffer, int offset, int count)
        {
            throw new NotSupportedException();
        }
    }
}
