// Reads one request at a time from the connection's input: the head (HeadParser), the body's
// framing decided once when the request begins (as Kestrel's Http1MessageBody.For decides it:
// none, Content-Length or chunked, or a refusal), the body decoded for the handler (a piece into
// its array, or the whole body into one of ours, taken from the server's body budget) or
// skipped, and whether 100 Continue is owed before the body is waited for. It does no I/O: the
// connection receives into the input and arms the waits. Used by one thread at a time: the one
// that owns the connection, or the handler's under the connection's lock.
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

        public readonly HeadParser Head = new HeadParser();
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
        public BodyProgress ReadPiece(byte[] input, ref int pos, int used, out int n)
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
        public BodyProgress ReadWhole(byte[] input, ref int pos, int used)
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
        public bool Skip(byte[] input, ref int pos, int used)
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
