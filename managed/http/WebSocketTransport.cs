// A WebSocket's transport on its HTTP connection, once the 101 is out: a receive is a read
// registration on the engine (a wait for input one whose readiness reads nothing, so that the
// socket holds no buffer while its client is quiet), a send is one non-blocking send of head and
// payload, the rest (if the socket did not take all) handed to the vector writer, whose
// completion is then the socket's back-pressure; no thread waits for either. The connection
// stays listed with the server in state Upgraded, so the drain counts it, and takes the socket
// back at the end: Close lingers as after a last response, Abort cuts. It keeps what the session
// needs of its handshake (the exchange went back at the upgrade): the bytes the client sent
// behind it, a copy of the request's head for the session's access log line and when it began;
// the bytes both ways are counted for that line.
//
// Threads: the socket's callers and the engine's and writers' completions on pump workers.
// `gate` guards the outstanding operations and the end; every use of the descriptor happens
// under it while the transport is not finished, and the connection closes the descriptor only
// after it is, so a descriptor is never used after its number was closed and reused. Tasks
// complete outside the gate (the socket calls in holding its own lock): the socket goes on
// inline on the pump worker, and may start its next send from there.
using System;
using System.IO;
using System.Threading.Tasks;

namespace Vrns.Http
{
    sealed class WebSocketTransport : IWebSocketTransport, IEventTarget, IWriteTarget
    {
        // The engine's longest wait; a quiet socket simply waits again (the socket bounds its
        // own waits).
        const int ReceiveWaitSec = 235;
        // What a receive attempt found besides a byte count.
        const int WouldBlock = -1, ReceiveFailed = -2;

        readonly HttpConnection connection;
        readonly int fd;
        readonly object gate = new object();  // guards what follows
        TaskCompletionSource<int> receive;
        ArraySegment<byte> receiveInto;  // no array: a wait for input (WaitForInputAsync)
        TaskCompletionSource<bool> send;
        // The last receive filled its buffer: more is likely waiting, so the next one reads
        // before it waits.
        bool readFirst;
        bool peerEnded, closing, aborted, finished;
        // For the session's access log line: bytes received and sent (heads and payloads).
        long bytesIn, bytesOut;
        // The bytes the client sent behind its handshake, taken before the first receive.
        byte[] early;
        int earlyAt;
        // The request's head (detached from the exchange) and when the session began.
        public readonly HeadParser Head;
        public readonly byte[] HeadBytes;
        public readonly long BeganMsec = Engine.NowMsec;

        public WebSocketTransport(HttpConnection connection, int fd, bool peerEnded, byte[] early, HttpRequest request)
        {
            this.connection = connection;
            this.fd = fd;
            this.peerEnded = peerEnded;
            this.early = early;
            Head = request.Head;
            HeadBytes = request.Buffer;
        }

        // Under the gate: bytes the client sent behind the handshake.
        int TakeEarly(ArraySegment<byte> into)
        {
            if (early == null) return 0;
            int n = Math.Min(early.Length - earlyAt, into.Count);
            Buffer.BlockCopy(early, earlyAt, into.Array, into.Offset, n);
            earlyAt += n;
            if (earlyAt == early.Length) early = null;
            return n;
        }

        public Task<int> ReceiveAsync(ArraySegment<byte> buffer)
        {
            lock (gate) {
                if (receive != null) throw new InvalidOperationException("a receive is already outstanding");
                if (aborted || finished) return Task.FromException<int>(Ended());
                int n = TakeEarly(buffer);
                bytesIn += n;
                if (n > 0) return Task.FromResult(n);
                if (peerEnded) return Task.FromResult(0);
                n = readFirst ? TryReceive(buffer) : WouldBlock;
                if (n >= 0) return Task.FromResult(n);
                if (n == ReceiveFailed) return Task.FromException<int>(new IOException("the connection failed"));
                if (Events.Listen(fd, Interest.Read, this, ReceiveWaitSec) != 0)
                    return Task.FromException<int>(new IOException("the connection cannot wait for input"));
                receive = new TaskCompletionSource<int>();
                receiveInto = buffer;
                return receive.Task;
            }
        }

        // Ready at once when bytes from the handshake wait, the stream ended or the last read
        // filled its buffer; else a read wait whose readiness reads nothing.
        public Task WaitForInputAsync()
        {
            lock (gate) {
                if (receive != null) throw new InvalidOperationException("a receive is already outstanding");
                if (aborted || finished) return Task.FromException(Ended());
                if (peerEnded || readFirst || early != null) return Task.CompletedTask;
                if (Events.Listen(fd, Interest.Read, this, ReceiveWaitSec) != 0)
                    return Task.FromException(new IOException("the connection cannot wait for input"));
                receive = new TaskCompletionSource<int>();
                receiveInto = default(ArraySegment<byte>);
                return receive.Task;
            }
        }

        public long BytesIn
        {
            get {
                lock (gate) return bytesIn;
            }
        }

        public long BytesOut
        {
            get {
                lock (gate) return bytesOut;
            }
        }

        // Under the gate: a byte count (0: the client ended the stream), WouldBlock or
        // ReceiveFailed.
        int TryReceive(ArraySegment<byte> into)
        {
            int errno;
            int n = Posix.Receive(fd, into.Array, into.Offset, into.Count, out errno);
            if (n < 0) {
                readFirst = false;
                return errno == Posix.EAGAIN ? WouldBlock : ReceiveFailed;
            }
            if (n == 0) peerEnded = true;
            readFirst = n == into.Count;
            bytesIn += n;
            return n;
        }

        public void OnEvent(int socket, int code)
        {
            TaskCompletionSource<int> done;
            int n = ReceiveFailed;
            bool cut;
            lock (gate) {
                done = receive;
                cut = aborted;
                if (done == null) throw new InvalidOperationException("a read event for WebSocket " + fd + " with no receive");
                if (!cut) {
                    // A time-out is a quiet client: wait again. So is a readiness with nothing in it.
                    // A wait for input reads nothing: the next receive does, at once.
                    if (receiveInto.Array == null && code != EventCode.TimedOutOrRemoved) {
                        readFirst = true;
                        n = 0;
                    } else {
                        n = code == EventCode.TimedOutOrRemoved ? WouldBlock : TryReceive(receiveInto);
                    }
                    if (n == WouldBlock && Events.Listen(fd, Interest.Read, this, ReceiveWaitSec) == 0) return;
                }
                receive = null;
            }
            if (n >= 0)
                done.TrySetResult(n);
            else
                done.TrySetException(cut ? Ended() : new IOException("the connection failed"));
            EndIfDone();
        }

        // Most frames fit the socket's buffer: they go out at once, and the Task is complete
        // before it is returned, so the sender goes on on its own thread, with no hop to a pump
        // worker and back. Only what the socket does not take waits for the writer.
        public Task SendAsync(ArraySegment<byte> head, ArraySegment<byte> payload)
        {
            lock (gate) {
                if (send != null) throw new InvalidOperationException("a send is already outstanding");
                if (aborted || closing || finished) return Task.FromException(Ended());
                int errno;
                bytesOut += head.Count + payload.Count;  // all of it, unless the connection fails
                if (Writes.SendAtOnce(fd, ref head, ref payload, out errno)) return Task.CompletedTask;
                if (errno != 0 && errno != Posix.EAGAIN)
                    return Task.FromException(new IOException("the write failed (errno " + errno + ")"));
                send = new TaskCompletionSource<bool>();
                Writes.Write(fd, head, payload, 0, this);
                return send.Task;
            }
        }

        public void OnWriteDone(int socket, int result)
        {
            TaskCompletionSource<bool> done;
            lock (gate) {
                done = send;
                send = null;
            }
            if (result == WriteResult.Done)
                done.TrySetResult(true);
            else
                done.TrySetException(new IOException("the write failed (" + result + ")"));
            EndIfDone();
        }

        public void Close()
        {
            lock (gate) {
                if (finished) return;
                closing = true;
            }
            EndIfDone();
        }

        // Shutting the socket down ends an armed wait at once (the engine reports the hang-up)
        // and fails a write in progress; the completions then let the connection close.
        public void Abort()
        {
            lock (gate) {
                if (finished || aborted) return;
                aborted = true;
                if (receive != null || send != null) Posix.ShutdownBoth(fd);
            }
            EndIfDone();
        }

        // Once closed or aborted with nothing outstanding: the connection takes the socket back.
        void EndIfDone()
        {
            bool linger;
            lock (gate) {
                if (finished || !(closing || aborted) || receive != null || send != null) return;
                finished = true;
                linger = !aborted && !peerEnded;
            }
            connection.EndWebSocket(linger);
        }

        static IOException Ended()
        {
            return new IOException("the WebSocket's connection has ended");
        }
    }
}
