// What a handler answers: a status, header fields, and one of a whole body (bytes, a string, a
// file region) written when the handler's Task completes, or a body streamed with WriteAsync
// in chunked encoding, each write's Task completing when the writer has taken it (the
// back-pressure). The server adds Date, Server, Content-Length or Transfer-Encoding and
// Connection itself. One response object per connection, reused: valid until the handler's
// Task completes.
using System;
using System.Collections.Generic;
using System.Text;
using System.Threading.Tasks;

namespace Vrns.Http
{
    public delegate Task RequestHandler(HttpContext context);

    public sealed class HttpContext
    {
        public readonly HttpRequest Request;
        public readonly HttpResponse Response;
        public readonly HttpServer Server;

        internal HttpContext(HttpServer server, HttpRequest request, HttpResponse response)
        {
            Server = server;
            Request = request;
            Response = response;
        }
    }

    // What the body is, once the handler has chosen.
    enum BodyKind { None, Bytes, Text, File, Empty }

    public sealed class HttpResponse
    {
        readonly HttpConnection connection;
        internal readonly List<string> Names = new List<string>(), Values = new List<string>();
        internal BodyKind Kind;
        internal byte[] BodyBytes;
        internal int BodyOffset, BodyCount;
        internal string BodyText;
        internal int FileFd = -1;
        internal long FileOffset, FileLength, AnnouncedLength;
        internal byte[] RawFields;  // fields the library made ready ("Name: value\r\n" ...), or null
        internal bool Started;  // the head went out with the first streamed write
        internal bool CloseRequested;
        int status;

        internal HttpResponse(HttpConnection connection)
        {
            this.connection = connection;
        }

        internal void Begin()
        {
            status = 200;
            ContentType = null;
            Names.Clear();
            Values.Clear();
            Kind = BodyKind.None;
            BodyBytes = null;
            BodyText = null;
            FileFd = -1;
            RawFields = null;
            Started = CloseRequested = false;
        }

        public int StatusCode
        {
            get { return status; }
            set {
                if (value < 200 || value > 999) throw new ArgumentOutOfRangeException("value", "a final status, 200 to 999");
                CheckNotStarted();
                status = value;
            }
        }

        // Content-Type (null: none is sent).
        public string ContentType { get; set; }

        // True once the head has gone out (a streamed body has begun): the status and fields
        // can no longer change, and a failure can only cut the connection.
        public bool HasStarted
        {
            get { return Started; }
        }

        // Sets a field, replacing an earlier value of the same name. The framing fields
        // (Content-Length, Transfer-Encoding, Connection) and Date are the server's.
        public void SetHeader(string name, string value)
        {
            CheckField(name, value);
            for (int i = 0; i < Names.Count; i++) {
                if (string.Equals(Names[i], name, StringComparison.OrdinalIgnoreCase)) {
                    Values[i] = value;
                    return;
                }
            }
            Names.Add(name);
            Values.Add(value);
        }

        // A field the library itself sets once (its name and value known to be valid).
        internal void AddTrustedHeader(string name, string value)
        {
            Names.Add(name);
            Values.Add(value);
        }

        // Adds a field, keeping earlier ones of the same name (Set-Cookie).
        public void AddHeader(string name, string value)
        {
            CheckField(name, value);
            Names.Add(name);
            Values.Add(value);
        }

        void CheckField(string name, string value)
        {
            CheckNotStarted();
            if (string.IsNullOrEmpty(name) || value == null) throw new ArgumentNullException(name == null ? "name" : "value");
            foreach (string reserved in Reserved)
                if (string.Equals(name, reserved, StringComparison.OrdinalIgnoreCase))
                    throw new ArgumentException(name + " is set by the server", "name");
            if (string.Equals(name, "Content-Type", StringComparison.OrdinalIgnoreCase)) {
                ContentType = value;
                return;
            }
            foreach (char c in name)
                if (c <= ' ' || c >= 0x7f || c == ':') throw new ArgumentException("bad field name " + name, "name");
            foreach (char c in value)
                if (c == '\r' || c == '\n' || c == '\0' || c > 0xff) throw new ArgumentException("bad field value", "value");
        }

        static readonly string[] Reserved = { "Content-Length", "Transfer-Encoding", "Connection", "Date" };

        // Ends the connection after this response.
        public void CloseConnection()
        {
            CloseRequested = true;
        }

        // The whole body; the array must not change until the handler's Task completes.
        public void Send(byte[] body)
        {
            Send(body, 0, body.Length);
        }

        public void Send(byte[] body, int offset, int count)
        {
            if (body == null) throw new ArgumentNullException("body");
            if (offset < 0 || count < 0 || offset + count > body.Length) throw new ArgumentOutOfRangeException("count");
            Choose(BodyKind.Bytes);
            BodyBytes = body;
            BodyOffset = offset;
            BodyCount = count;
        }

        // The whole body as UTF-8.
        public void Send(string text)
        {
            if (text == null) throw new ArgumentNullException("text");
            Choose(BodyKind.Text);
            BodyText = text;
        }

        // length bytes of an open file from offset, sent with the file sender. The response owns
        // the descriptor from here on and closes it after the send.
        public void SendFile(int fileFd, long offset, long length)
        {
            if (fileFd < 0 || offset < 0 || length < 0) throw new ArgumentOutOfRangeException("fileFd");
            Choose(BodyKind.File);
            FileFd = fileFd;
            FileOffset = offset;
            FileLength = length;
        }

        // The status's small HTML page (as the native server's errors look).
        public void SendStatus(int code)
        {
            StatusCode = code;
            ContentType = "text/html";
            Send(StatusText.Page(code));
        }

        // No body, but a Content-Length announcing length (a 304 or a HEAD of a known size).
        internal void SendEmpty(long length)
        {
            Choose(BodyKind.Empty);
            AnnouncedLength = length;
        }

        // Streams a piece of the body (chunked; HTTP/1.0: until the connection closes). The
        // first write sends the head. The array must not change until the Task completes.
        public Task WriteAsync(byte[] buffer, int offset, int count)
        {
            if (buffer == null) throw new ArgumentNullException("buffer");
            if (offset < 0 || count < 0 || offset + count > buffer.Length) throw new ArgumentOutOfRangeException("count");
            if (Kind != BodyKind.None) throw new InvalidOperationException("the body was already chosen");
            return connection.StreamAsync(this, buffer, offset, count);
        }

        public Task WriteAsync(string text)
        {
            byte[] bytes = Encoding.UTF8.GetBytes(text);
            return WriteAsync(bytes, 0, bytes.Length);
        }

        void Choose(BodyKind kind)
        {
            CheckNotStarted();
            if (Kind != BodyKind.None) throw new InvalidOperationException("the body was already chosen");
            Kind = kind;
        }

        void CheckNotStarted()
        {
            if (Started) throw new InvalidOperationException("the response has started");
        }

        // The response's body length as Content-Length gives it.
        internal long Length()
        {
            switch (Kind) {
                case BodyKind.Bytes: return BodyCount;
                case BodyKind.Text: return Encoding.UTF8.GetByteCount(BodyText);
                case BodyKind.File: return FileLength;
                case BodyKind.Empty: return AnnouncedLength;
                default: return 0;
            }
        }

        // A file the response still holds (the handler failed, or the send is over).
        internal void ReleaseFile()
        {
            if (FileFd >= 0) Posix.Close(FileFd);
            FileFd = -1;
        }
    }
}
