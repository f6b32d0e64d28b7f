// What a handler answers: a status, header fields, and one of a whole body (bytes, a string, a
// file region) written when the handler's Task completes, or a body streamed with WriteAsync in
// chunked encoding, each write's Task completing when the writer has taken it (the
// back-pressure). The server adds Date, Server, Content-Length or Transfer-Encoding and
// Connection itself.
//
// Every field goes through one check (FieldText): names are tokens, values hold no control
// character but HTAB and nothing above U+00FF, refused with an exception, never cut;
// ContentType is a shortcut of the same path, and each field is sent once. Status codes are the
// final ones, 200 to 599 (100 Continue is the server's own, sent when the handler reads the
// body); 204, 205 and 304 carry no body.
//
// Its context, request and response die with the request (see HttpContext).
using System;
using System.Net;
using System.Threading;
using System.Threading.Tasks;

namespace Vrns.Http
{
    // What the body is, once the handler has chosen.
    enum BodyKind { None, Bytes, Text, File, Empty }

    public sealed class HttpResponse
    {
        const string ContentTypeName = "Content-Type";
        // The fields only the server sets.
        static readonly string[] Reserved = { "Content-Length", "Transfer-Encoding", "Connection", "Date", "Server" };
        // The other hop-by-hop fields: they speak of this connection, which the server manages
        // (a WebSocket's Upgrade included); a handler's would contradict it, or a proxy in front
        // would act on them.
        static readonly string[] HopByHop = { "Upgrade", "Keep-Alive", "TE", "Trailer", "Proxy-Connection" };

        readonly HttpContext context;
        int status = 200;
        string contentType;
        string[] fields;  // name, value, name, value, ... (fieldCount strings)
        int fieldCount;
        internal BodyKind Kind;
        internal byte[] BodyBytes;
        internal int BodyOffset, BodyCount;
        internal string BodyText;
        internal int FileFd = -1;
        internal long FileOffset, FileLength, AnnouncedLength;
        internal byte[] RawFields;  // fields the library made ready ("Name: value\r\n" ...), or null
        internal bool Started;  // the head went out with the first streamed write
        internal bool CloseRequested;

        internal HttpResponse(HttpContext context)
        {
            this.context = context;
        }

        public int StatusCode
        {
            get {
                context.CheckAlive();
                return status;
            }
            set {
                if (value < 200 || value > 599)
                    throw new ArgumentOutOfRangeException(
                        "value", "a final status, 200 to 599 (100 Continue is sent by the server when the body is read)");
                context.CheckAlive();
                CheckNotStarted();
                if (BodyForbidden(value) && HasContent()) throw NoBody(value);
                status = value;
            }
        }

        // Content-Type (null: none is sent); the same field as SetHeader("Content-Type", ...). An
        // empty value (or only spaces) is refused with ArgumentException: a field that names no
        // type tells the client nothing, and null says "none" plainly.
        public string ContentType
        {
            get {
                context.CheckAlive();
                return contentType;
            }
            set {
                context.CheckAlive();
                CheckNotStarted();
                if (value != null) {
                    FieldText.CheckValue(value);
                    if (value.Trim(' ', '\t').Length == 0)
                        throw new ArgumentException("an empty Content-Type: null sends none", "value");
                }
                contentType = value;
            }
        }

        // True once the head has gone out (a streamed body has begun): the status and fields
        // can no longer change, and a failure can only cut the connection.
        public bool HasStarted
        {
            get {
                context.CheckAlive();
                return Started;
            }
        }

        // Sets a field, replacing earlier values of the same name. The framing fields
        // (Content-Length, Transfer-Encoding, Connection), Date and Server are the server's, and
        // the other hop-by-hop fields (Upgrade, Keep-Alive, TE, Trailer, Proxy-Connection) are
        // refused: ArgumentException.
        public void SetHeader(string name, string value)
        {
            if (!CheckField(name, value)) return;
            for (int i = 0; i < fieldCount; i += 2) {
                if (string.Equals(fields[i], name, StringComparison.OrdinalIgnoreCase)) {
                    fields[i + 1] = value;
                    return;
                }
            }
            Append(name, value);
        }

        // Adds a field, keeping earlier ones of the same name (Set-Cookie). Content-Type is one
        // field: it is set, not added.
        public void AddHeader(string name, string value)
        {
            if (CheckField(name, value)) Append(name, value);
        }

        // Adds one Set-Cookie field for cookie (SetCookie.Format says what a cookie may hold); the
        // value then passes the check every field passes.
        public void AppendCookie(Cookie cookie, SameSiteMode sameSite = SameSiteMode.Unspecified, TimeSpan? maxAge = null)
        {
            AddHeader("Set-Cookie", SetCookie.Format(cookie, sameSite, maxAge));
        }

        // A field the library itself sets once (its name and value known to be valid).
        internal void AddTrustedHeader(string name, string value)
        {
            context.CheckAlive();
            Append(name, value);
        }

        // False when the field was Content-Type, which is set here.
        bool CheckField(string name, string value)
        {
            context.CheckAlive();
            CheckNotStarted();
            FieldText.CheckName(name);
            if (string.Equals(name, ContentTypeName, StringComparison.OrdinalIgnoreCase)) {
                if (value == null) throw new ArgumentNullException("value");
                ContentType = value;
                return false;
            }
            foreach (string reserved in Reserved)
                if (string.Equals(name, reserved, StringComparison.OrdinalIgnoreCase))
                    throw new ArgumentException(name + " is set by the server", "name");
            foreach (string hop in HopByHop)
                if (string.Equals(name, hop, StringComparison.OrdinalIgnoreCase))
                    throw new ArgumentException(name + " is a hop-by-hop field: the server manages the connection", "name");
            FieldText.CheckValue(value);
            return true;
        }

        void Append(string name, string value)
        {
            if (fields == null) {
                fields = new string[8];
            } else if (fieldCount == fields.Length) {
                Array.Resize(ref fields, fields.Length * 2);
            }
            fields[fieldCount++] = name;
            fields[fieldCount++] = value;
        }

        // Ends the connection after this response.
        public void CloseConnection()
        {
            context.CheckAlive();
            CloseRequested = true;
        }

        // The whole body; the array must not change until the handler's Task completes.
        public void Send(byte[] body)
        {
            if (body == null) throw new ArgumentNullException("body");
            Send(body, 0, body.Length);
        }

        public void Send(byte[] body, int offset, int count)
        {
            if (body == null) throw new ArgumentNullException("body");
            if (offset < 0 || count < 0 || offset > body.Length - count) throw new ArgumentOutOfRangeException("count");
            Choose(BodyKind.Bytes, count);
            BodyBytes = body;
            BodyOffset = offset;
            BodyCount = count;
        }

        // The whole body as UTF-8.
        public void Send(string text)
        {
            if (text == null) throw new ArgumentNullException("text");
            Choose(BodyKind.Text, text.Length);
            BodyText = text;
        }

        // length bytes of an open file from offset, sent with the file sender. The response owns
        // the descriptor once this returns, and closes it after the send; when it throws, the
        // descriptor stays the caller's.
        public void SendFile(int fileFd, long offset, long length)
        {
            if (fileFd < 0 || offset < 0 || length < 0) throw new ArgumentOutOfRangeException("fileFd");
            Choose(BodyKind.File, length);
            FileFd = fileFd;
            FileOffset = offset;
            FileLength = length;
        }

        // The status's small HTML page (as the native server's errors look); no page for the
        // statuses that carry no body.
        public void SendStatus(int code)
        {
            StatusCode = code;
            if (BodyForbidden(code)) return;
            ContentType = "text/html";
            Send(StatusText.Page(code));
        }

        // No body, but a Content-Length announcing length (a 304 or a HEAD of a known size).
        internal void SendEmpty(long length)
        {
            Choose(BodyKind.Empty, 0);
            AnnouncedLength = length;
        }

        // Streams a piece of the body (chunked; HTTP/1.0: until the connection closes). The
        // first write sends the head. The array must not change until the Task completes.
        public Task WriteAsync(byte[] buffer, int offset, int count)
        {
            if (buffer == null) throw new ArgumentNullException("buffer");
            if (offset < 0 || count < 0 || offset > buffer.Length - count) throw new ArgumentOutOfRangeException("count");
            context.CheckAlive();
            if (Kind != BodyKind.None) throw new InvalidOperationException("the body was already chosen");
            if (BodyForbidden(status)) throw NoBody(status);
            return context.Connection.StreamAsync(context, buffer, offset, count);
        }

        public Task WriteAsync(string text)
        {
            if (text == null) throw new ArgumentNullException("text");
            byte[] bytes = System.Text.Encoding.UTF8.GetBytes(text);
            return WriteAsync(bytes, 0, bytes.Length);
        }

        void Choose(BodyKind kind, long length)
        {
            context.CheckAlive();
            CheckNotStarted();
            if (Kind != BodyKind.None) throw new InvalidOperationException("the body was already chosen");
            if (length > 0 && BodyForbidden(status)) throw NoBody(status);
            Kind = kind;
        }

        void CheckNotStarted()
        {
            if (Started) throw new InvalidOperationException("the response has started");
        }

        // 204, 205 and 304 carry no body (RFC 9110 15.3.5, 15.3.6, 15.4.5).
        internal static bool BodyForbidden(int status)
        {
            return status == 204 || status == 205 || status == 304;
        }

        static InvalidOperationException NoBody(int status)
        {
            return new InvalidOperationException("a " + status + " response has no body");
        }

        bool HasContent()
        {
            switch (Kind) {
                case BodyKind.Bytes: return BodyCount > 0;
                case BodyKind.Text: return BodyText.Length > 0;
                case BodyKind.File: return FileLength > 0;
                default: return false;
            }
        }

        internal int Status
        {
            get { return status; }
        }

        internal string ContentTypeValue
        {
            get { return contentType; }
        }

        // Whether the handler set a field of this name.
        internal bool HasField(string name)
        {
            for (int i = 0; i < fieldCount; i += 2)
                if (string.Equals(fields[i], name, StringComparison.OrdinalIgnoreCase)) return true;
            return false;
        }

        // The whole body becomes body[0..count) (a compressed form of it).
        internal void ReplaceBody(byte[] body, int count)
        {
            Kind = BodyKind.Bytes;
            BodyText = null;
            BodyBytes = body;
            BodyOffset = 0;
            BodyCount = count;
        }

        // The response's body length as Content-Length gives it.
        internal long Length()
        {
            switch (Kind) {
                case BodyKind.Bytes: return BodyCount;
                case BodyKind.Text: return System.Text.Encoding.UTF8.GetByteCount(BodyText);
                case BodyKind.File: return FileLength;
                case BodyKind.Empty: return AnnouncedLength;
                default: return 0;
            }
        }

        // The room the fields take in a head (each character one byte), a little over.
        internal int FieldBytes()
        {
            int n = contentType != null ? contentType.Length + 16 : 0;
            for (int i = 0; i < fieldCount; i++) n += fields[i].Length + 2;
            return n + (RawFields != null ? RawFields.Length : 0);
        }

        // Writes Content-Type, the fields and the library's ready fields at at; the position after.
        internal int PutFields(byte[] b, int at)
        {
            if (contentType != null) at = PutField(b, at, ContentTypeName, contentType);
            for (int i = 0; i < fieldCount; i += 2) at = PutField(b, at, fields[i], fields[i + 1]);
            return RawFields != null ? Ascii.Put(b, at, RawFields) : at;
        }

        static int PutField(byte[] b, int at, string name, string value)
        {
            at = Ascii.Put(b, at, name);
            at = Ascii.Put(b, at, ": ");
            at = Ascii.Put(b, at, value);
            return Ascii.Put(b, at, "\r\n");
        }

        // The descriptor, now the writer's.
        internal int TakeFile()
        {
            int f = FileFd;
            FileFd = -1;
            return f;
        }

        // A file the response still holds (the handler failed, or the send is over).
        internal void ReleaseFile()
        {
            if (FileFd >= 0) Posix.Close(FileFd);
            FileFd = -1;
        }
    }
}
