// One HTTP connection on the engine and the writers. It is armed for one thing at a time (a
// read registration or a write), so its callbacks never run at once; State says which. While
// the handler runs, the handler's own operation (a body read, a streamed write) is that one
// thing, and `gate` orders its completion against the handler's Task completing elsewhere.
//
//   Request: wait for a head (idle time-out between requests, the request's own deadline once
//            its first byte came) -> Handler: the handler runs; its body reads and streamed
//            writes -> Response: the final write -> the rest of an unread body is skipped
//            (Discard) -> the next pipelined request, or wait again.
//   A response that ends the connection is followed by Linger: input is read and dropped for a
//   bounded while, so the close does not reset the connection before the client has read it.
//   Pipelined requests already received are answered as a batch: a response wholly in output
//   stays there (gathered) while the next buffered request is served, and the batch goes out in
//   one write when the input runs out, a handler does not complete at once, a request has a body,
//   a response goes out from elsewhere (a file, a large body, a stream) or the batch is large.
using System;
using System.IO;
using System.Net;
using System.Runtime.CompilerServices;
using System.Text;
using System.Threading;
using System.Threading.Tasks;

namespace Vrns.Http
{
    // A request body that cannot be read: its framing broke (400) or it is too large (413).
    public sealed class BadRequestBodyException : IOException
    {
        public readonly int Status;

        public BadRequestBodyException(int status) : base("the request body is refused: " + status)
        {
            Status = status;
        }
    }

    sealed class HttpConnection : IEventTarget, IWriteTarget
    {
        enum State { Request, Handler, Response, Flush, Discard, Linger, Closed }

        const long LingerMsec = 2000;
        const int MaxLingerBytes = 1 << 20;
        // Bodies up to this size are copied behind the head: one buffer, one pin, one writev.
        const int CopyBodyMax = 1024;
        // A file region (or a string) up to this size is put behind the head and goes out in one
        // writev; larger ones go out from their own place.
        const int SmallFileMax = 16384;
        // A batch of gathered responses goes out once it reaches this size: with one more small
        // response it still fits the pool's buffer.
        const int BatchMax = 8192;

        static readonly byte[] Continue100 = Encoding.ASCII.GetBytes("HTTP/1.1 100 Continue\r\n\r\n");
        static readonly byte[] LastChunk = Encoding.ASCII.GetBytes("0\r\n\r\n");
        static readonly byte[] KeepAliveLine = Encoding.ASCII.GetBytes("Connection: keep-alive\r\n\r\n");
        static readonly byte[] CloseLine = Encoding.ASCII.GetBytes("Connection: close\r\n\r\n");
        static readonly Task<int> NoMoreBody = Task.FromResult(0);

        readonly HttpServer server;
        readonly int fd;
        readonly HeadParser head = new HeadParser();
        readonly BodyDecoder body = new BodyDecoder();
        readonly HttpRequest request;
        readonly HttpResponse response;
        readonly HttpContext context;
        readonly object gate = new object();  // guards operation and pendingFinish
        readonly Action handlerDone;
        readonly byte[] peer;
        readonly int peerLength, peerPort;
        IPAddress peerAddress;

        byte[] input;  // received bytes: the head at 0, then the body; null while idle
        int used, pos;  // bytes in input; the first not yet taken
        // The gathered responses, then the head (and a small body) of the one being sent: the
        // connection's own array for a single response, one lent by the pool for a batch.
        byte[] output;
        byte[] own = new byte[512];
        bool lent;  // output is the pool's
        int gathered;  // bytes of whole responses at the start of output, not yet written
        bool beginAfterFlush;  // after the flush: begin the parsed request (else parse input)
        volatile State state;
        int idle;  // 1 while waiting between requests with nothing buffered: the drain may end it
        bool answered, peerClosed, keepAlive, continueSent, chunkOpen;
        long requestDeadline, lingerDeadline;
        // When input last came: a request's clock starts then, one clock read per receive
        // rather than per pipelined request.
        long receivedMsec;
        int lingerBytes;
        int fileFd = -1;  // the file being sent, closed by the completion
        Task handlerTask;

        // The handler's one outstanding operation.
        enum Operation { None, Read, Continue, Write, Flush }
        Operation operation;
        Task pendingFinish;  // the handler finished while its operation was outstanding
        TaskCompletionSource<int> operationDone;
        byte[] readInto;
        int readAt, readCount;

        public HttpConnection(HttpServer server, int fd, byte[] peer, int peerLength, int peerPort)
        {
            this.server = server;
            this.fd = fd;
            this.peer = peer;
            this.peerLength = peerLength;
            this.peerPort = peerPort;
            request = new HttpRequest(this);
            response = new HttpResponse(this);
            context = new HttpContext(server, request, response);
            handlerDone = () => HandlerDone(handlerTask);
        }

        public int Fd
        {
            get { return fd; }
        }

        public IPAddress PeerAddress
        {
            get {
                if (peerAddress == null) {
                    var bytes = new byte[peerLength];
                    Buffer.BlockCopy(peer, 0, bytes, 0, peerLength);
                    peerAddress = new IPAddress(bytes);
                }
                return peerAddress;
            }
        }

        public int PeerPort
        {
            get { return peerPort; }
        }

        // Waiting between requests with nothing begun.
        public bool Idle
        {
            get { return Volatile.Read(ref idle) != 0; }
        }

        public void Start()
        {
            WaitForRequest();
        }

        // ---- reading requests ----

        void WaitForRequest()
        {
            bool nowIdle = answered && used == 0;
            // A full fence on both sides with the server's stopping flag: either the drain sees
            // this connection idle and ends it, or this sees the server stopping.
            Interlocked.Exchange(ref idle, nowIdle ? 1 : 0);
            if (nowIdle && server.Stopping) {
                Close();
                return;
            }
            int timeout = server.ReadTimeoutSec;
            if (requestDeadline != 0) {
                timeout = SecondsUntil(requestDeadline);
                if (timeout == 0) {
                    Close();
                    return;
                }
            }
            state = State.Request;
            if (Events.Listen(fd, Interest.Read, this, timeout) != 0) Close();
        }

        public void OnEvent(int socket, int code)
        {
            Volatile.Write(ref idle, 0);
            switch (state) {
                case State.Request:
                    if (code != EventCode.Readable || !Receive()) {
                        Close();
                        return;
                    }
                    ServeBuffered();
                    return;
                case State.Handler:
                    OnBodyInput(code);
                    return;
                case State.Discard:
                    if (code != EventCode.Readable || !Receive()) {
                        Close();
                        return;
                    }
                    Discard();
                    return;
                case State.Linger:
                    OnLingerInput(code);
                    return;
            }
        }

        // Reads what the socket holds into the free end of input. False on a socket error.
        bool Receive()
        {
            if (input == null) input = server.Buffers.Rent();
            if (used == input.Length) return false;  // the parser's limits come first; never here
            int errno;
            int n = Posix.Receive(fd, input, used, input.Length - used, out errno);
            if (n < 0) return errno == Posix.EAGAIN;
            if (n == 0) peerClosed = true;
            used += n;
            receivedMsec = Engine.NowMsec;
            return true;
        }

        void ServeBuffered()
        {
            HeadResult r = used == 0 ? HeadResult.NeedMore : head.Parse(input, used);
            if (r == HeadResult.NeedMore) {
                // The request's clock starts with its first byte, however slowly the rest comes.
                if (requestDeadline == 0 && used > 0)
                    requestDeadline = receivedMsec + server.ReadTimeoutSec * 1000L;
                if (gathered > 0) {  // nothing more to answer now: send the batch
                    Flush(false);
                    return;
                }
                if (peerClosed) {
                    Close();
                    return;
                }
                // Within the limits the parser counts, but padded out to the whole buffer.
                if (input != null && used == input.Length) {
                    Refuse(431);
                    return;
                }
                if (used == 0) server.Buffers.Return(ref input);
                WaitForRequest();
                return;
            }
            if (r == HeadResult.Error) {
                Refuse(head.Status);
                return;
            }
            if (requestDeadline == 0) requestDeadline = receivedMsec + server.ReadTimeoutSec * 1000L;
            pos = head.End;
            // A body may have to be waited for, or a 100 sent: the batch goes out before.
            if (gathered > 0 && (head.Chunked || head.ContentLength > 0)) {
                Flush(true);
                return;
            }
            BeginRequest();
        }

        // Writes the gathered responses; then the request goes on where it stopped.
        void Flush(bool thenBegin)
        {
            beginAfterFlush = thenBegin;
            state = State.Flush;
            int end = gathered;
            gathered = 0;
            Writes.Write(fd, new ArraySegment<byte>(output, 0, end), default(ArraySegment<byte>), 0, this);
        }

        void OnFlushDone(int result)
        {
            if (result != WriteResult.Done) {
                Close();
                return;
            }
            ReleaseOutput();
            if (beginAfterFlush)
                BeginRequest();
            else
                ServeBuffered();
        }

        void BeginRequest()
        {
            keepAlive = head.KeepAlive;
            continueSent = chunkOpen = false;
            body.Start(head.Chunked, head.ContentLength, server.MaxBodyBytes);
            if (!head.Chunked && head.ContentLength > server.MaxBodyBytes) {
                Refuse(413);
                return;
            }
            request.Begin(head, input);
            response.Begin();
            state = State.Handler;
            RequestHandler handler = server.Router.Find(request);
            Task task;
            try {
                task = handler(context);
            } catch (Exception e) {
                // Through HandlerDone: an operation the handler began before it threw must end
                // before the connection may be answered or closed.
                task = Task.FromException(e);
            }
            if (task == null || task.IsCompleted) {
                HandlerDone(task);
                return;
            }
            handlerTask = task;
            // Before the handler can finish: its response is then appended after the flush.
            if (gathered > 0) FlushForHandler();
            task.ConfigureAwait(false).GetAwaiter().UnsafeOnCompleted(handlerDone);
        }

        // The earlier responses must not wait for a handler that takes its time: they go out as
        // the handler's operation; one it begins meanwhile waits for that write.
        void FlushForHandler()
        {
            int end;
            lock (gate) {
                // A streamed write the handler began already took the batch with it.
                if (operation != Operation.None || gathered == 0) return;
                operation = Operation.Flush;
                operationDone = new TaskCompletionSource<int>();
                end = gathered;
                gathered = 0;
            }
            Writes.Write(fd, new ArraySegment<byte>(output, 0, end), default(ArraySegment<byte>), 0, this);
        }

        // op, once the outstanding flush has ended (rare: only a handler that began by waiting).
        static Task<T> AfterFlush<T>(Task flushed, Func<Task<T>> op)
        {
            return flushed.ContinueWith(_ => op(), CancellationToken.None, TaskContinuationOptions.ExecuteSynchronously,
                                        TaskScheduler.Default).Unwrap();
        }

        static Task AfterFlush(Task flushed, Func<Task> op)
        {
            return flushed.ContinueWith(_ => op(), CancellationToken.None, TaskContinuationOptions.ExecuteSynchronously,
                                        TaskScheduler.Default).Unwrap();
        }

        // ---- the handler's end ----

        void HandlerDone(Task task)
        {
            lock (gate) {
                if (operation != Operation.None) {
                    pendingFinish = task ?? NoMoreBody;
                    return;
                }
            }
            handlerTask = null;
            if (state == State.Closed) {
                response.ReleaseFile();
                return;
            }
            if (task != null && (task.IsFaulted || task.IsCanceled)) {
                Exception e = task.IsFaulted ? task.Exception.InnerException : new TaskCanceledException(task);
                HandlerFailed(e);
                return;
            }
            FinishResponse();
        }

        void HandlerFailed(Exception e)
        {
            var bad = e as BadRequestBodyException;
            if (bad == null) server.ReportHandlerFailure(request, e);
            response.ReleaseFile();
            if (response.Started) {  // the head is out: only a cut tells the client
                Close();
                return;
            }
            Refuse(bad != null ? bad.Status : 500);
        }

        // Whether the connection survives this response.
        bool KeepAliveNow()
        {
            if (!keepAlive || response.CloseRequested || server.Stopping || body.Failed) return false;
            // A client told to wait for 100 may or may not send its body now: its framing is lost.
            return body.Done || !head.Expects100 || continueSent;
        }

        void FinishResponse()
        {
            state = State.Response;
            if (response.Started) {
                FinishStream();
                return;
            }
            keepAlive = KeepAliveNow();
            bool headOnly = request.IsHead || response.StatusCode == 304 || response.StatusCode == 204;
            long length = response.Length();
            int at = WriteHead(gathered, response.StatusCode, length, keepAlive);
            var first = new ArraySegment<byte>(output, 0, at);
            if (headOnly || length == 0) {
                response.ReleaseFile();
                Complete(at);
                return;
            }
            switch (response.Kind) {
                case BodyKind.Text:
                    if (length > SmallFileMax) {  // the connection's buffer stays small
                        gathered = 0;
                        Writes.Write(fd, first, new ArraySegment<byte>(Encoding.UTF8.GetBytes(response.BodyText)), 0, this);
                        return;
                    }
                    at = Grow(at, (int)length);
                    at += Encoding.UTF8.GetBytes(response.BodyText, 0, response.BodyText.Length, output, at);
                    Complete(at);
                    return;
                case BodyKind.Bytes:
                    if (length <= CopyBodyMax) {
                        at = Grow(at, (int)length);
                        Buffer.BlockCopy(response.BodyBytes, response.BodyOffset, output, at, (int)length);
                        Complete(at + (int)length);
                    } else {
                        // The write's pin keeps the array until its completion; the response lets
                        // go of it now, so nothing but that pin holds a body sent once.
                        var body = new ArraySegment<byte>(response.BodyBytes, response.BodyOffset, (int)length);
                        response.BodyBytes = null;
                        gathered = 0;
                        Writes.Write(fd, first, body, 0, this);
                    }
                    return;
                case BodyKind.File:
                    SendFile(at);
                    return;
            }
        }

        // A small region goes out from memory behind the head; a larger one, or one that reads
        // short (the file shrank: the file sender then sees it end), through the file sender.
        void SendFile(int at)
        {
            int errno;
            long length = response.FileLength;
            if (length <= SmallFileMax) {
                at = Grow(at, (int)length);
                int n = Posix.ReadAt(response.FileFd, output, at, (int)length, response.FileOffset, out errno);
                if (n == length) {
                    response.ReleaseFile();
                    Complete(at + n);
                    return;
                }
            }
            gathered = 0;
            fileFd = response.FileFd;
            response.FileFd = -1;
            Writes.WriteFile(fd, new ArraySegment<byte>(output, 0, at), fileFd, response.FileOffset, length, 0, this);
        }

        // The response ends at end in output. While another whole request may be buffered and
        // the batch is small, it waits there for the next one's; else the batch goes out.
        void Complete(int end)
        {
            if (keepAlive && body.Done && pos < used && end < BatchMax) {
                if (!lent) {  // a batch begins: room for it, from the pool
                    byte[] batch = server.Buffers.Rent();
                    Buffer.BlockCopy(output, 0, batch, 0, end);
                    output = batch;
                    lent = true;
                }
                gathered = end;
                answered = true;
                NextRequest();
                return;
            }
            gathered = 0;
            Writes.Write(fd, new ArraySegment<byte>(output, 0, end), default(ArraySegment<byte>), 0, this);
        }

        // Writes the status line and fields into output from at; length -1: a streamed body.
        // Returns where the body goes.
        int WriteHead(int at, int status, long length, bool keep)
        {
            byte[] line = StatusText.LineAndServer(status);
            byte[] date = HttpDate.Now();
            int room = line.Length + date.Length + 120;
            if (response.ContentType != null) room += response.ContentType.Length + 16;
            for (int i = 0; i < response.Names.Count; i++) room += response.Names[i].Length + response.Values[i].Length + 4;
            if (response.RawFields != null) room += response.RawFields.Length;
            at = Grow(at, room);
            at = Ascii.Put(output, at, line);
            at = Ascii.Put(output, at, date);
            at = Ascii.Put(output, at, "\r\n");
            if (response.ContentType != null) at = PutField(at, "Content-Type", response.ContentType);
            for (int i = 0; i < response.Names.Count; i++) at = PutField(at, response.Names[i], response.Values[i]);
            if (response.RawFields != null) at = Ascii.Put(output, at, response.RawFields);
            if (length >= 0) {
                if (status != 204) {
                    at = Ascii.Put(output, at, "Content-Length: ");
                    at = Ascii.PutDecimal(output, at, length);
                    at = Ascii.Put(output, at, "\r\n");
                }
            } else if (head.VersionMinor >= 1) {
                at = Ascii.Put(output, at, "Transfer-Encoding: chunked\r\n");
            }
            return Ascii.Put(output, at, keep ? KeepAliveLine : CloseLine);
        }

        int PutField(int at, string name, string value)
        {
            at = Ascii.Put(output, at, name);
            at = Ascii.Put(output, at, ": ");
            at = Ascii.Put(output, at, value);
            return Ascii.Put(output, at, "\r\n");
        }

        // Makes room for count more bytes after at, keeping output[0..at).
        int Grow(int at, int count)
        {
            if (output == null) output = own;
            if (output.Length - at < count) {
                var bigger = new byte[Math.Max(at + count, output.Length * 2)];
                Buffer.BlockCopy(output, 0, bigger, 0, at);
                if (!lent) own = bigger;
                output = bigger;
            }
            return at;
        }

        // A generated page that ends the connection: the request cannot be framed, is refused,
        // or its handler failed.
        void Refuse(int status)
        {
            state = State.Response;
            keepAlive = false;
            byte[] page = StatusText.Page(status);
            response.Begin();
            response.ContentType = "text/html";
            int at = WriteHead(gathered, status, page.Length, false);
            at = Grow(at, page.Length);
            Buffer.BlockCopy(page, 0, output, at, page.Length);
            gathered = 0;
            Writes.Write(fd, new ArraySegment<byte>(output, 0, at + page.Length), default(ArraySegment<byte>), 0, this);
        }

        // ---- streaming ----

        public Task StreamAsync(HttpResponse r, byte[] data, int offset, int count)
        {
            lock (gate) {
                if (operation == Operation.Flush)
                    return AfterFlush(operationDone.Task, () => StreamAsync(r, data, offset, count));
                if (operation != Operation.None) throw new InvalidOperationException("a write or read is outstanding");
                if (state != State.Handler) return Task.FromException(new IOException("the connection is closed"));
                operation = Operation.Write;
            }
            // The earlier responses of a batch go out ahead of the stream's head.
            int at = gathered;
            gathered = 0;
            if (!r.Started) {
                r.Started = true;
                // HTTP/1.0 has no chunks: the body ends with the connection.
                if (head.VersionMinor == 0) keepAlive = false;
                keepAlive = KeepAliveNow();
                at = WriteHead(at, r.StatusCode, -1, keepAlive);
            }
            bool chunked = head.VersionMinor >= 1;
            if (request.IsHead) count = 0;
            if (chunked && count > 0) {
                at = Grow(at, 24);
                if (chunkOpen) at = Ascii.Put(output, at, "\r\n");
                at = Ascii.PutHex(output, at, count);
                at = Ascii.Put(output, at, "\r\n");
                chunkOpen = true;
            }
            var source = new TaskCompletionSource<int>();
            operationDone = source;
            if (at == 0 && count == 0) {
                EndOperation(0);
                return source.Task;
            }
            Writes.Write(fd, new ArraySegment<byte>(output, 0, at),
                         count > 0 ? new ArraySegment<byte>(data, offset, count) : default(ArraySegment<byte>), 0, this);
            return source.Task;
        }

        void FinishStream()
        {
            // HTTP/1.0 bodies end with the connection; a HEAD's has no bytes to end.
            if (head.VersionMinor == 0 || request.IsHead) {
                answered = true;
                LingerOrNext();
                return;
            }
            int at = Grow(0, 8);
            if (chunkOpen) at = Ascii.Put(output, at, "\r\n");
            at = Ascii.Put(output, at, LastChunk);
            Writes.Write(fd, new ArraySegment<byte>(output, 0, at), default(ArraySegment<byte>), 0, this);
        }

        // ---- the handler's body reads ----

        public Task<int> ReadBodyAsync(byte[] into, int offset, int count)
        {
            if (into == null) throw new ArgumentNullException("into");
            if (offset < 0 || count < 0 || offset + count > into.Length) throw new ArgumentOutOfRangeException("count");
            lock (gate) {
                if (operation == Operation.Flush)
                    return AfterFlush(operationDone.Task, () => ReadBodyAsync(into, offset, count));
                if (operation != Operation.None) throw new InvalidOperationException("a write or read is outstanding");
                if (state != State.Handler) return Task.FromException<int>(new IOException("the connection is closed"));
                if (body.Failed) return Task.FromException<int>(new BadRequestBodyException(body.Status));
                if (body.Done || count == 0) return NoMoreBody;
                int n = body.Decode(input, ref pos, used, into, offset, count);
                if (body.Failed) return Task.FromException<int>(new BadRequestBodyException(body.Status));
                if (n > 0 || body.Done) return n > 0 ? Task.FromResult(n) : NoMoreBody;
                if (peerClosed) return Task.FromException<int>(new IOException("the client closed the request body"));
                operation = Operation.Read;
                readInto = into;
                readAt = offset;
                readCount = count;
                operationDone = new TaskCompletionSource<int>();
            }
            Task<int> result = operationDone.Task;
            if (head.Expects100 && !continueSent && !response.Started) {
                // The body is wanted: say so, then wait for it.
                continueSent = true;
                operation = Operation.Continue;
                Writes.Write(fd, new ArraySegment<byte>(Continue100), default(ArraySegment<byte>), 0, this);
            } else {
                WaitForBody();
            }
            return result;
        }

        // The body's bytes follow the head, which stays where the request's strings are read.
        void WaitForBody()
        {
            if (pos > head.End) {
                Buffer.BlockCopy(input, pos, input, head.End, used - pos);
                used -= pos - head.End;
                pos = head.End;
            }
            int timeout = SecondsUntil(requestDeadline);
            if (timeout == 0 || Events.Listen(fd, Interest.Read, this, timeout) != 0) {
                Close();
                EndOperation(-1);
            }
        }

        void OnBodyInput(int code)
        {
            if (code != EventCode.Readable || !Receive()) {
                Close();
                EndOperation(-1);
                return;
            }
            int n = body.Decode(input, ref pos, used, readInto, readAt, readCount);
            if (n == 0 && !body.Done && !body.Failed) {
                if (peerClosed) {
                    Close();
                    EndOperation(-1);
                } else {
                    WaitForBody();
                }
                return;
            }
            EndOperation(body.Failed ? -2 : n);
        }

        // Completes the handler's operation (-1: the connection failed, -2: the body is refused)
        // and, when the handler finished meanwhile, finishes its response.
        void EndOperation(int result)
        {
            TaskCompletionSource<int> done;
            Task finished;
            lock (gate) {
                operation = Operation.None;
                done = operationDone;
                operationDone = null;
                readInto = null;
                finished = pendingFinish;
                pendingFinish = null;
            }
            // The handler may continue right here, inline.
            if (result == -1)
                done.TrySetException(new IOException("the connection failed"));
            else if (result == -2)
                done.TrySetException(new BadRequestBodyException(body.Status));
            else
                done.TrySetResult(result);
            if (finished != null) HandlerDone(finished == NoMoreBody ? null : finished);
        }

        // ---- after the response ----

        public void OnWriteDone(int socket, int result)
        {
            switch (state) {
                case State.Handler:
                    OnHandlerWriteDone(result);
                    return;
                case State.Response:
                    break;
                case State.Flush:
                    OnFlushDone(result);
                    return;
                default:
                    return;
            }
            if (fileFd >= 0) {
                Posix.Close(fileFd);
                fileFd = -1;
            }
            if (result != WriteResult.Done) {
                Close();
                return;
            }
            answered = true;
            LingerOrNext();
        }

        void OnHandlerWriteDone(int result)
        {
            if (result != WriteResult.Done) {
                Close();
                EndOperation(-1);
                return;
            }
            if (operation == Operation.Flush) ReleaseOutput();  // the handler's response rents anew
            if (operation == Operation.Continue) {
                operation = Operation.Read;
                WaitForBody();
                return;
            }
            EndOperation(0);
        }

        void LingerOrNext()
        {
            ReleaseOutput();
            if (!keepAlive) {
                LingerClose();
                return;
            }
            if (!body.Done) {
                state = State.Discard;
                Discard();
                return;
            }
            NextRequest();
        }

        // Skips the body nobody read, within the request's deadline.
        void Discard()
        {
            body.Decode(input, ref pos, used, null, 0, int.MaxValue);
            if (body.Failed) {
                Close();
                return;
            }
            if (body.Done) {
                NextRequest();
                return;
            }
            Compact();
            int timeout = SecondsUntil(requestDeadline);
            if (peerClosed || timeout == 0 || Events.Listen(fd, Interest.Read, this, timeout) != 0) Close();
        }

        // A batch's array back to the pool, unless it outgrew the pool's size.
        void ReleaseOutput()
        {
            if (lent && output.Length == BufferPool.Size) server.Buffers.Return(ref output);
            lent = false;
            output = null;
        }

        void Compact()
        {
            if (pos == 0) return;
            Buffer.BlockCopy(input, pos, input, 0, used - pos);
            used -= pos;
            pos = 0;
        }

        void NextRequest()
        {
            Compact();
            head.Reset(0);
            requestDeadline = 0;
            ServeBuffered();
        }

        void LingerClose()
        {
            if (peerClosed) {
                Close();
                return;
            }
            Posix.ShutdownWrite(fd);
            lingerDeadline = Engine.NowMsec + LingerMsec;
            lingerBytes = 0;
            state = State.Linger;
            if (Events.Listen(fd, Interest.Read, this, SecondsUntil(lingerDeadline)) != 0) Close();
        }

        // Reads and drops input until the peer closes, the while ends or enough came.
        void OnLingerInput(int code)
        {
            if (input == null) input = server.Buffers.Rent();
            while (code == EventCode.Readable && lingerBytes < MaxLingerBytes) {
                int errno;
                int n = Posix.Receive(fd, input, 0, input.Length, out errno);
                if (n > 0) {
                    lingerBytes += n;
                    continue;
                }
                if (n < 0 && errno == Posix.EAGAIN) {
                    int timeout = SecondsUntil(lingerDeadline);
                    if (timeout == 0 || Events.Listen(fd, Interest.Read, this, timeout) != 0) break;
                    return;
                }
                break;
            }
            Close();
        }

        // The engine's time-out, in whole seconds, for a wait that must end by deadline: rounded
        // up, so the wait does not end before it; 0 once it has passed.
        static int SecondsUntil(long deadline)
        {
            long left = deadline - Engine.NowMsec;
            return left > 0 ? (int)((left + 999) / 1000) : 0;
        }

        void Close()
        {
            bool handlerRunning = state == State.Handler;
            state = State.Closed;
            server.Forget(this);
            if (fileFd >= 0) Posix.Close(fileFd);
            fileFd = -1;
            Posix.Close(fd);
            // A handler still running may read the request's strings from the buffer.
            if (!handlerRunning) server.Buffers.Return(ref input);
        }
    }
}
