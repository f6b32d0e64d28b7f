// Writes a connection's responses: the head (status line, the handler's fields, the framing and
// Connection fields: "close" on a connection's last response, "keep-alive" to an HTTP/1.0 client
// that keeps it, none to an HTTP/1.1 one, for which persistence is the default), the body from
// memory, a file or a stream of chunks, and the generated pages of refusals. A response that is whole in memory may wait in the output array for the
// next pipelined request's (a batch), and the batch goes out in one write when the connection
// says so; anything larger goes out from its own place behind the head. Every call says what
// became of its bytes (Written): most go out at once, and then the writer says so to its caller,
// which goes on, instead of calling its owner back from inside the call; the rest go to the
// writers, whose completion comes to the connection. The connection allows one write at a time,
// so the output array is never changed while a write has it pinned. Used by one thread at a
// time: the connection's owner.
using System;
using System.Text;

namespace Vrns.Http
{
    // What a writer's call did with its bytes: nothing to write (a response gathered, or an empty
    // piece), all of them out now (nobody calls back: the caller goes on as after a completion),
    // or handed to the writers (the connection's OnWriteDone follows).
    enum Written { Nothing, Now, Later }

    sealed class ResponseWriter
    {
        const int OwnSize = 512;
        // An array grown past this (a head with huge fields) is not kept with the pooled exchange.
        const int KeptOutputMax = 32768;
        // Bodies up to this size are copied behind the head: one buffer, one pin, one writev.
        const int CopyBodyMax = 1024;
        // A file region (or a string) up to this size is put behind the head and goes out in one
        // writev; larger ones go out from their own place.
        const int SmallBodyMax = 16384;
        // A batch of gathered responses goes out once it reaches this size.
        const int BatchMax = 8192;
        // A 503 for want of room asks the client to come back after this many seconds.
        const string RetryAfterField = "Retry-After: 1\r\n";

        static readonly byte[] Continue100 = Encoding.ASCII.GetBytes("HTTP/1.1 100 Continue\r\n\r\n");
        static readonly byte[] LastChunk = Encoding.ASCII.GetBytes("0\r\n\r\n");
        static readonly byte[] KeepAliveLine = Encoding.ASCII.GetBytes("Connection: keep-alive\r\n\r\n");
        static readonly byte[] CloseLine = Encoding.ASCII.GetBytes("Connection: close\r\n\r\n");
        static readonly byte[] EndOfHead = Encoding.ASCII.GetBytes("\r\n");

        HttpConnection connection;
        int fd;
        StatusLines lines;  // the server's status lines, with its Server field
        // The gathered responses, then the head (and a small body) of the one being sent.
        byte[] output = new byte[OwnSize];
        int gathered;  // bytes of whole responses at the start of output, not yet written
        bool chunkOpen;  // a streamed chunk's data went out without its closing CRLF
        int fileFd = -1;  // the file being sent, closed when the write completes

        public void Bind(HttpConnection c, int socket, StatusLines serverLines)
        {
            connection = c;
            fd = socket;
            lines = serverLines;
        }

        // Back to the pool: nothing gathered, no file, no write in flight.
        public void Unbind()
        {
            connection = null;
            gathered = 0;
            chunkOpen = false;
            if (output.Length > KeptOutputMax) output = new byte[OwnSize];
        }

        public int Gathered
        {
            get { return gathered; }
        }

        public void BeginResponse()
        {
            chunkOpen = false;
        }

        // The gathered responses go out.
        public Written SendBatch()
        {
            int end = gathered;
            gathered = 0;
            return Write(end, default(ArraySegment<byte>));
        }

        public void SendContinue()
        {
            Writes.Write(fd, new ArraySegment<byte>(Continue100), default(ArraySegment<byte>), 0, connection);
        }

        // A handler's whole response, its head not yet out. Nothing when it was gathered (it waits
        // for the next request's: mayGather says one is buffered).
        public Written Finish(HttpResponse r, bool isHead, bool http10, bool keepAlive, bool mayGather)
        {
            int status = r.Status;
            long length = r.Length();
            int at = WriteHead(gathered, r, status, length, http10, keepAlive, false);
            if (isHead || HttpResponse.BodyForbidden(status) || length == 0) {
                r.ReleaseFile();
                return Complete(at, mayGather);
            }
            var first = new ArraySegment<byte>(output, 0, at);
            switch (r.Kind) {
                case BodyKind.Text:
                    if (length > SmallBodyMax) {  // the output array stays small
                        gathered = 0;
                        return WriteLater(first, new ArraySegment<byte>(Encoding.UTF8.GetBytes(r.BodyText)));
                    }
                    at = Grow(at, (int)length);
                    at += Encoding.UTF8.GetBytes(r.BodyText, 0, r.BodyText.Length, output, at);
                    return Complete(at, mayGather);
                case BodyKind.Bytes:
                    if (length <= CopyBodyMax) {
                        at = Grow(at, (int)length);
                        Buffer.BlockCopy(r.BodyBytes, r.BodyOffset, output, at, (int)length);
                        return Complete(at + (int)length, mayGather);
                    }
                    // The write's pin keeps the array until its completion; the response lets go
                    // of it now, so nothing but that pin holds a body sent once.
                    var body = new ArraySegment<byte>(r.BodyBytes, r.BodyOffset, (int)length);
                    r.BodyBytes = null;
                    gathered = 0;
                    return WriteLater(first, body);
                default:
                    return SendFile(r, at, mayGather);
            }
        }

        // A small region goes out from memory behind the head; a larger one, or one that reads
        // short (the file shrank: the file sender then sees it end), through the file sender.
        Written SendFile(HttpResponse r, int at, bool mayGather)
        {
            long length = r.FileLength;
            if (length <= SmallBodyMax) {
                at = Grow(at, (int)length);
                int errno;
                int n = Posix.ReadAt(r.FileFd, output, at, (int)length, r.FileOffset, out errno);
                if (n == length) {
                    r.ReleaseFile();
                    return Complete(at + n, mayGather);
                }
            }
            gathered = 0;
            fileFd = r.TakeFile();
            Writes.WriteFile(fd, new ArraySegment<byte>(output, 0, at), fileFd, r.FileOffset, length, 0, connection);
            return Written.Later;
        }

        // The response ends at end in output: it waits there for the next one's while the batch
        // is small, else the batch goes out.
        Written Complete(int end, bool mayGather)
        {
            if (mayGather && end < BatchMax) {
                gathered = end;
                return Written.Nothing;
            }
            gathered = 0;
            return Write(end, default(ArraySegment<byte>));
        }

        // A piece of a streamed body (chunked; HTTP/1.0: as it is, the body ending with the
        // connection). The first piece takes the head, and the gathered responses go ahead of
        // it.
        public Written Stream(HttpResponse r, bool isHead, bool http10, bool keepAlive, byte[] data, int offset, int count)
        {
            int at = gathered;
            gathered = 0;
            if (!r.Started) {
                r.Started = true;
                at = WriteHead(at, r, r.Status, -1, http10, keepAlive, !http10);
            }
            if (isHead) count = 0;
            if (!http10 && count > 0) {
                at = Grow(at, 24);
                if (chunkOpen) at = Ascii.Put(output, at, "\r\n");
                at = Ascii.PutHex(output, at, count);
                at = Ascii.Put(output, at, "\r\n");
                chunkOpen = true;
            }
            if (at == 0 && count == 0) return Written.Nothing;
            return Write(at, count > 0 ? new ArraySegment<byte>(data, offset, count) : default(ArraySegment<byte>));
        }

        // The 101 that hands the connection to a WebSocket; the gathered responses go ahead of it.
        public Written Upgrade(byte[] head)
        {
            int end = gathered;
            gathered = 0;
            return Write(end, new ArraySegment<byte>(head));
        }

        // The streamed body's end: the last chunk. Nothing to write for an HTTP/1.0 body (it ends
        // with the connection) or a HEAD's (no bytes to end).
        public Written FinishStream(bool isHead, bool http10)
        {
            if (http10 || isHead) return Written.Nothing;
            int at = Grow(0, 8);
            if (chunkOpen) at = Ascii.Put(output, at, "\r\n");
            at = Ascii.Put(output, at, LastChunk);
            return Write(at, default(ArraySegment<byte>));
        }

        // A generated page that ends the connection: the request cannot be framed, is refused,
        // or its handler failed. The gathered responses go ahead of it.
        public Written Refuse(int status)
        {
            byte[] page = StatusText.Page(status);
            byte[] line = lines.LineAndServer(status);
            byte[] date = HttpDate.Now();
            int at = Grow(gathered, line.Length + date.Length + page.Length + 128);
            at = Ascii.Put(output, at, line);
            at = Ascii.Put(output, at, date);
            at = Ascii.Put(output, at, "\r\nContent-Type: text/html\r\n");
            if (status == 503) at = Ascii.Put(output, at, RetryAfterField);
            at = Ascii.Put(output, at, "Content-Length: ");
            at = Ascii.PutDecimal(output, at, page.Length);
            at = Ascii.Put(output, at, "\r\n");
            at = Ascii.Put(output, at, CloseLine);
            at = Ascii.Put(output, at, page);
            gathered = 0;
            return Write(at, default(ArraySegment<byte>));
        }

        // The write in flight completed: its file is closed.
        public void WriteDone()
        {
            CloseFile();
        }

        public void CloseFile()
        {
            if (fileFd >= 0) Posix.Close(fileFd);
            fileFd = -1;
        }

        // Most responses fit the socket's buffer: they go out at once, on this thread, without
        // the writer's round trip (its pins, its queued completion and the call back into managed
        // code).
        Written Write(int end, ArraySegment<byte> after)
        {
            var first = new ArraySegment<byte>(output, 0, end);
            int errno;  // a failed send is the writer's to report, as it reports its own
            if (Writes.SendAtOnce(fd, ref first, ref after, out errno)) return Written.Now;
            return WriteLater(first, after);
        }

        // A large body goes to the writer as it is.
        Written WriteLater(ArraySegment<byte> first, ArraySegment<byte> after)
        {
            Writes.Write(fd, first, after, 0, connection);
            return Written.Later;
        }

        // Writes the status line and fields into output from at; length -1: a streamed body,
        // chunked when chunked says so. Returns where the body goes.
        int WriteHead(int at, HttpResponse r, int status, long length, bool http10, bool keepAlive, bool chunked)
        {
            byte[] line = lines.LineAndServer(status);
            byte[] date = HttpDate.Now();
            at = Grow(at, line.Length + date.Length + r.FieldBytes() + 96);
            at = Ascii.Put(output, at, line);
            at = Ascii.Put(output, at, date);
            at = Ascii.Put(output, at, "\r\n");
            at = r.PutFields(output, at);
            if (length >= 0) {
                // 204 has no length at all; 304 the length of what a 200 would send, only when
                // the handler gave it (SendEmpty); 205 says 0.
                if (status != 204 && (status != 304 || r.Kind == BodyKind.Empty)) {
                    at = Ascii.Put(output, at, "Content-Length: ");
                    at = Ascii.PutDecimal(output, at, length);
                    at = Ascii.Put(output, at, "\r\n");
                }
            } else if (chunked) {
                at = Ascii.Put(output, at, "Transfer-Encoding: chunked\r\n");
            }
            return Ascii.Put(output, at, !keepAlive ? CloseLine : http10 ? KeepAliveLine : EndOfHead);
        }

        // Makes room for count more bytes after at, keeping output[0..at).
        int Grow(int at, int count)
        {
            if (output.Length - at < count) {
                var bigger = new byte[Math.Max(at + count, output.Length * 2)];
                Buffer.BlockCopy(output, 0, bigger, 0, at);
                output = bigger;
            }
            return at;
        }
    }
}
