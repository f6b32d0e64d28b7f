// What a handler sees of a request. The request line and fields stay in the connection's
// buffer; their strings are made when first asked for. Made for one request: once its handler's
// Task has completed, any use throws ObjectDisposedException (see HttpContext), and a string is
// handed out only when the request was still alive after its bytes were read, so a late reader
// never sees the connection's next request.
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
        readonly HttpContext context;
        readonly HeadParser head;
        readonly byte[] buffer;
        RequestHeaders headers;
        RequestBodyStream body;
        readonly int rawPathAt, rawPathLength;  // the target up to '?' or '#'
        // The normalised path (PathNormalizer): in buffer where the path was sent in normal form,
        // else in an array of this request's own. pathStatus is 0, or the status the request is
        // refused with before routing (its path is then empty).
        readonly byte[] pathBytes;
        readonly int pathAt, pathLength, pathStatus;
        // The head's figures, the request's own: read without a second look.
        readonly string method;
        readonly int versionMinor;
        readonly long contentLength;
        readonly bool chunked;
        string target, path, rawPath, query;
        // Made when first asked for: a request that does not use them costs nothing for them.
        QueryCollection queryString;
        RequestCookies cookies;
        RouteValues routeValues;
        Task<FormCollection> form;

        internal HttpRequest(HttpContext context, HeadParser head, byte[] buffer)
        {
            this.context = context;
            this.head = head;
            this.buffer = buffer;
            method = head.Method;
            versionMinor = head.VersionMinor;
            contentLength = head.ContentLength;
            chunked = head.Chunked;
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
            // Most paths are sent in normal form and are used where they lie.
            if (PathNormalizer.IsNormal(buffer, rawPathAt, rawPathLength)) {
                pathBytes = buffer;
                pathAt = rawPathAt;
                pathLength = rawPathLength;
            } else {
                pathBytes = new byte[rawPathLength + 1];
                pathStatus = PathNormalizer.Normalize(buffer, rawPathAt, rawPathLength, pathBytes, out pathLength);
            }
        }

        static int IndexOf(byte[] b, int from, int to, byte value)
        {
            return Array.IndexOf(b, value, from, to - from);
        }

        // The parsed head and the bytes it points into, while the request lives.
        internal HeadParser Head
        {
            get {
                context.CheckAlive();
                return head;
            }
        }

        internal byte[] Buffer
        {
            get {
                context.CheckAlive();
                return buffer;
            }
        }

        internal byte[] PathBytes
        {
            get {
                context.CheckAlive();
                return pathBytes;
            }
        }

        internal int PathAt
        {
            get {
                context.CheckAlive();
                return pathAt;
            }
        }

        internal int PathStatus
        {
            get {
                context.CheckAlive();
                return pathStatus;
            }
        }

        internal int PathLength
        {
            get {
                context.CheckAlive();
                return pathLength;
            }
        }

        // "GET", "HEAD", "POST" ... (one string per method, made once).
        public string Method
        {
            get {
                context.CheckAlive();
                return method;
            }
        }

        public bool IsHead
        {
            get { return Method == "HEAD"; }
        }

        // The request-target as sent.
        public string Target
        {
            get {
                context.CheckAlive();
                return target ?? (target = Latin1(head.TargetAt, head.TargetLength));
            }
        }

        // The path, normalised once before routing: percent-decoded (as UTF-8), runs of slashes
        // merged, "." and ".." segments resolved; "/" for an absolute-form target without one.
        // What the router matched and StaticFiles serves. Without the query.
        public string Path
        {
            get {
                context.CheckAlive();
                if (path != null) return path;
                string p = Utf8.GetString(pathBytes, pathAt, pathLength);
                context.CheckStillAlive();
                return path = p;
            }
        }

        // The path as sent (not decoded, nothing resolved), without the query; "" for an
        // absolute-form target without one.
        public string RawPath
        {
            get {
                context.CheckAlive();
                return rawPath ?? (rawPath = Latin1(rawPathAt, rawPathLength));
            }
        }

        // What follows '?' as sent, without it (and without a '#' part); "" when there is none.
        public string Query
        {
            get {
                context.CheckAlive();
                if (query != null) return query;
                int at = rawPathAt + rawPathLength, end = head.TargetAt + head.TargetLength;
                bool none = at >= end || buffer[at] != '?';
                int hash = none ? -1 : IndexOf(buffer, at + 1, end, (byte)'#');
                string q = none ? "" : Latin1(at + 1, (hash < 0 ? end : hash) - at - 1);
                context.CheckStillAlive();
                return query = q;
            }
        }

        // The query's pairs, decoded as a browser encodes a form ('+' and "%XX", UTF-8); names
        // compared without case. Query stays as sent.
        public QueryCollection QueryString
        {
            get {
                context.CheckAlive();
                return queryString ?? (queryString = new QueryCollection(Query));
            }
        }

        // The cookies of the Cookie field(s); names compared with case.
        public RequestCookies Cookies
        {
            get {
                context.CheckAlive();
                return cookies ?? (cookies = new RequestCookies(Headers.GetValues("Cookie")));
            }
        }

        // The values of the route template that matched ("/users/{id}": ["id"]); empty for
        // other routes.
        public RouteValues RouteValues
        {
            get {
                context.CheckAlive();
                return routeValues ?? (routeValues = new RouteValues());
            }
        }

        // The form of an application/x-www-form-urlencoded or multipart/form-data body, read as
        // it arrives (FormReader; options: the server's FormOptions when null). Asked again, the
        // same Task (one thread at a time, as the body). A malformed body fails it with
        // BadRequestBodyException(400), one over a limit with 413, another media type with 415,
        // a form the server has no room to hold (MaxBufferedBodyBytes) with 503: a handler that
        // lets it through answers that status. The form, its temporary files and its room in the
        // budget go with the request.
        public Task<FormCollection> ReadFormAsync(FormOptions options = null)
        {
            context.CheckAlive();
            if (form != null) return form;
            HttpServer server = context.TheServer;
            return form = FormReader.ReadAsync(Body, GetHeader("Content-Type"), options ?? server.FormOptions,
                                               CancellationToken.None, new BudgetShare(server.BodyBudget));
        }

        // The request is over (its handler's Task completed, after any ReadFormAsync it made):
        // its form is disposed, now or when its read ends. A read begun later fails, as the body
        // refuses a request that is over, and the reader releases what it made.
        internal void ReleaseForm()
        {
            Task<FormCollection> f = form;
            if (f == null) return;
            f.ContinueWith(t => {
                if (t.Status == TaskStatus.RanToCompletion) t.Result.Dispose();
            }, CancellationToken.None, TaskContinuationOptions.ExecuteSynchronously, TaskScheduler.Default);
        }

        // "HTTP/1.1" or "HTTP/1.0".
        public string Protocol
        {
            get {
                context.CheckAlive();
                return versionMinor == 0 ? "HTTP/1.0" : "HTTP/1.1";
            }
        }

        public RequestHeaders Headers
        {
            get {
                context.CheckAlive();
                return headers ?? (headers = new RequestHeaders(this));
            }
        }

        // The first value of the field, compared without case; null when absent.
        public string GetHeader(string name)
        {
            return Headers[name];
        }

        // Content-Length, or -1 (none, or a chunked body).
        public long ContentLength
        {
            get {
                context.CheckAlive();
                return contentLength;
            }
        }

        public bool HasBody
        {
            get {
                context.CheckAlive();
                return chunked || contentLength > 0;
            }
        }

        // The body as it arrives; ReadAsync only (a read never blocks a thread). Bytes nobody
        // reads are skipped after the response.
        public Stream Body
        {
            get {
                context.CheckAlive();
                return body ?? (body = new RequestBodyStream(context));
            }
        }

        // The whole body (up to the server's MaxBodyBytes: beyond, the request is answered 413;
        // and while the server holds MaxBufferedBodyBytes of bodies, 503 with Retry-After).
        public Task<byte[]> ReadBodyAsync()
        {
            return context.Connection.ReadWholeBodyAsync(context);
        }

        public IPAddress RemoteAddress
        {
            get {
                context.CheckAlive();
                return context.Connection.PeerAddress;
            }
        }

        public int RemotePort
        {
            get {
                context.CheckAlive();
                return context.Connection.PeerPort;
            }
        }

        // Field values are bytes; each byte becomes the character of the same number.
        static readonly Encoding Latin1Encoding = Encoding.GetEncoding(28591);
        static readonly Encoding Utf8 = new UTF8Encoding(false, true);

        internal string Latin1(int at, int length)
        {
            context.CheckAlive();
            string s = Latin1Encoding.GetString(buffer, at, length);
            context.CheckStillAlive();
            return s;
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

        // The match is made on bytes a late reader may see change: the value read after it is
        // what tells (Latin1 throws once the request is over).
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
            HeadParser h = request.Head;
            return request.Latin1(h.ValueAt[i], h.ValueLength[i]);
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
        readonly HttpContext context;

        public RequestBodyStream(HttpContext context)
        {
            this.context = context;
        }

        public override Task<int> ReadAsync(byte[] buffer, int offset, int count, CancellationToken token)
        {
            if (buffer == null) throw new ArgumentNullException("buffer");
            if (offset < 0 || count < 0 || offset > buffer.Length - count) throw new ArgumentOutOfRangeException("count");
            return context.Connection.ReadBodyAsync(context, buffer, offset, count);
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
