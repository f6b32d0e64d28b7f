// Reads one request at a time from the connection's input: the head (HeadParser), the body's
// framing decided once when the request begins (as Kestrel's Http1MessageBody.For decides it:
// none, Content-Length or chunked, or a refusal), the body decoded for the handler (a piece into
// its array, or the whole body into one of ours, taken from the server's body budget) or
// skipped, and whether 100 Continue is owed before the body is waited for. It owns the input:
// what was received (Used), where the next request or body byte begins (Pos), the receive and the
// compaction; the connection arms the waits and decides what comes next. Used by one thread at a
// time: the one that owns the connection, or the handler's under the connection's lock.
using System;
using System.IO;

namespace Vrns.Http
{
    // A request body that cannot be read: its framing broke (400), it is too large (413), or the
    // server has no room to hold it now (503, with Retry-After).
    public sealed class BadRequestBodyException : IOException
    {
        public readonly int Status;

        public BadRequestBodyException(int status) : base("the request body is refused: " + status)
        {
            Status = status;
        }
    }

    // A handler's read or write on a connection that has ended: its client went away, a write
    // or the body's wait failed, or the drain's bound cut it. Nothing is wrong with the handler,
    // so the server's default report is one line, without the stack.
    public sealed class ConnectionLostException : IOException
    {
        public ConnectionLostException(string message) : base(message)
        {
        }
    }

    // How far a body read got: bytes for the reader, the body's end, input wanted, or a refusal.
    enum BodyProgress { Read, Ended, NeedMore, Failed }

    sealed class RequestReader
    {
        // The whole body of a chunked request is gathered in arrays that double from this size.
        const int FirstWholeSize = 16384;
        static readonly byte[] EmptyBody = new byte[0];

        // Room for the longest request line and header block the parser allows.
        public const int InputSize = 32768;

        public readonly HeadParser Head = new HeadParser();
        // The request's bytes where they were received: its strings are read where they lie.
        readonly byte[] input = new byte[InputSize];
        int used;  // bytes received into input
        int pos;  // the first not yet taken
        readonly BodyDecoder body = new BodyDecoder();
        BodyBudget budget;
        long maxBodyBytes;
        long reserved;  // taken from the budget for this request's whole body
        bool continueSent;

        // The handler's read in progress: a piece into its array, or the whole body.
        byte[] into;
        int at, count;
        byte[] whole;
        int got;

        public byte[] Input
        {
            get { return input; }
        }

        // Nothing of a next request received.
        public bool Empty
        {
            get { return used == 0; }
        }

        // Received bytes of the next request wait behind this one's.
        public bool MoreBuffered
        {
            get { return pos < used; }
        }

        // No room for more: within the limits the parser counts, but padded out to the whole
        // buffer.
        public bool Full
        {
            get { return used == input.Length; }
        }

        // Receives what the socket holds into the free end of the input. False on a socket error;
        // ended at the end of the stream.
        public bool Receive(int fd, ref bool ended)
        {
            if (Full) return false;  // the parser's limits come first; never here
            int errno;
            int n = Posix.Receive(fd, input, used, input.Length - used, out errno);
            if (n < 0) return errno == Posix.EAGAIN;
            if (n == 0) ended = true;
            used += n;
            return true;
        }

        // Parses the head received so far; once complete, the body (or the next request) begins
        // behind it.
        public HeadResult ParseHead()
        {
            if (used == 0) return HeadResult.NeedMore;
            HeadResult r = Head.Parse(input, used);
            if (r == HeadResult.Complete) pos = Head.End;
            return r;
        }

        // Drops the bytes taken, so the next request begins at the start.
        public void Compact()
        {
            if (pos == 0) return;
            Buffer.BlockCopy(input, pos, input, 0, used - pos);
            used -= pos;
            pos = 0;
        }

        // The body's bytes taken so far are dropped, but the head stays where the request's
        // strings are read: room for the body's next bytes.
        public void CompactBehindHead()
        {
            int end = Head.End;
            if (pos <= end) return;
            Buffer.BlockCopy(input, pos, input, end, used - pos);
            used -= pos - end;
            pos = end;
        }

        // What was received behind the request (a WebSocket's first frames), copied; null if none.
        public byte[] TakeRest()
        {
            int left = used - pos;
            if (left == 0) return null;
            var rest = new byte[left];
            Buffer.BlockCopy(input, pos, rest, 0, left);
            return rest;
        }

        // Back to the pool.
        public void Clear()
        {
            used = pos = 0;
            Head.Reset(0);
            EndRequest();
        }

        public bool BodyDone
        {
            get { return body.Done; }
        }

        public bool BodyFailed
        {
            get { return body.Failed; }
        }

        public bool HasBody
        {
            get { return Head.Chunked || Head.ContentLength > 0; }
        }

        // The framing of the request just parsed: 0 when it is read as it comes, else the status
        // that refuses it.
        public int BeginBody(long maxBodyBytes, BodyBudget bodyBudget)
        {
            budget = bodyBudget;
            this.maxBodyBytes = maxBodyBytes;
            continueSent = false;
            body.Start(Head.Chunked, Head.ContentLength, maxBodyBytes);
            if (!Head.Chunked && Head.ContentLength > maxBodyBytes) return 413;
            return 0;
        }

        // 100 Continue is owed when the client waits for it and the handler now wants the body,
        // unless the final status already went out.
        public bool TakeContinue(bool responseStarted)
        {
            if (!Head.Expects100 || continueSent || responseStarted) return false;
            continueSent = true;
            return true;
        }

        // Whether the body's framing lets the connection carry another request after this one.
        public bool FramingKept
        {
            get {
                if (body.Failed) return false;
                // A client told to wait for 100 may or may not send its body now: its framing is lost.
                return body.Done || !Head.Expects100 || continueSent;
            }
        }

        // ---- a piece of the body, into the handler's array ----

        public void ExpectPiece(byte[] array, int offset, int length)
        {
            into = array;
            at = offset;
            count = length;
            whole = null;
        }

        // Decodes what input holds into the piece; Read with n bytes, Ended, NeedMore or Failed.
        public BodyProgress ReadPiece(out int n)
        {
            n = 0;
            if (body.Failed) return BodyProgress.Failed;
            if (body.Done || count == 0) return BodyProgress.Ended;
            n = body.Decode(input, ref pos, used, into, at, count);
            if (body.Failed) return BodyProgress.Failed;
            if (n > 0) return BodyProgress.Read;
            return body.Done ? BodyProgress.Ended : BodyProgress.NeedMore;
        }

        // ---- the whole body, into an array of ours ----

        // Takes the body's room from the budget: all of a Content-Length at once, a chunked
        // body's as it grows. False when the budget has no room (the request gets 503).
        public bool ExpectWhole()
        {
            into = null;
            got = 0;
            if (!HasBody) {
                whole = EmptyBody;
                return true;
            }
            long size = Head.Chunked ? Math.Min(FirstWholeSize, maxBodyBytes) : Head.ContentLength;
            if (!Reserve(size)) return false;
            whole = new byte[size];
            return true;
        }

        // Decodes what input holds into the whole body; Ended once it is complete.
        public BodyProgress ReadWhole()
        {
            while (true) {
                got += body.Decode(input, ref pos, used, whole, got, whole.Length - got);
                if (body.Failed) return BodyProgress.Failed;
                if (body.Done) return BodyProgress.Ended;
                // With room left the decoder stopped for input; without, input waits for room,
                // unless the array is as large as a body may be (then only framing is left).
                if (got < whole.Length || pos == used || whole.Length >= maxBodyBytes) return BodyProgress.NeedMore;
                if (!Grow()) return BodyProgress.Failed;
            }
        }

        // The body read whole: exactly its bytes.
        public byte[] TakeWhole()
        {
            byte[] b = whole;
            whole = null;
            if (got == b.Length) return b;
            var exact = new byte[got];
            Buffer.BlockCopy(b, 0, exact, 0, got);
            return exact;
        }

        // Why the last read failed: the framing's status, or 503 when the budget had no room.
        public int FailureStatus
        {
            get { return body.Failed ? body.Status : 503; }
        }

        bool Grow()
        {
            int size = (int)Math.Min((long)whole.Length * 2, maxBodyBytes);
            if (!Reserve(size - whole.Length)) return false;
            var bigger = new byte[size];
            Buffer.BlockCopy(whole, 0, bigger, 0, got);
            whole = bigger;
            return true;
        }

        bool Reserve(long bytes)
        {
            if (!budget.TryTake(bytes)) return false;
            reserved += bytes;
            return true;
        }

        // ---- skipping ----

        // Skips the body nobody read; true once it has ended (false: more input, or Failed).
        public bool Skip()
        {
            body.Decode(input, ref pos, used, null, 0, int.MaxValue);
            return body.Done;
        }

        // The request is over: its arrays and its share of the budget go back.
        public void EndRequest()
        {
            into = null;
            whole = null;
            if (reserved > 0) budget.Give(reserved);
            reserved = 0;
        }
    }
}
