// One request's lifetime, from its handler's start to the moment it lets go of the connection's
// buffers. A request's strings, its parsed head and its body are read where they lie, in the
// pooled exchange, so the request must never outlive its hold on it; and the end of a request is
// one sequence that must see the request whole: the failure report (which may log the request's
// fields), the gzip of the response (which reads Accept-Encoding), then the end that makes every
// later use throw. The scope holds a lease on the exchange across all of it (the connection holds
// its own), so a connection closed meanwhile on another thread (the client gone, a WebSocket's
// transport ending, the drain) cannot give the exchange to the next client while the end still
// reads it: the exchange goes back when the last of the two leases is dropped, by whoever drops it.
//
//   handler's Task completes --> End: report, gzip, ended --> lease dropped --> (last lease:
//   the exchange back to the pool, its generation moved on)
//
// The scope remembers the exchange's generation: a use after the end, or after the exchange was
// returned (whichever thread makes it, however late), throws ObjectDisposedException; it never
// reads another request's bytes. A request that became a WebSocket copies its head (Detach) and
// drops its lease at once: it no longer points into the exchange, and a long-lived socket must
// not keep the exchange's buffers.
using System;
using System.Threading;
using System.Threading.Tasks;

namespace Vrns.Http
{
    sealed class RequestScope
    {
        // Runs between a handler's end and its failure report: the unit tests close the connection
        // there, where a close once handed the exchange to the next request.
        internal static Action<HttpContext> BeforeEndForTests = null;

        readonly ExchangePool pool;
        Exchange exchange;  // the leased exchange; null once the lease is dropped (or none)
        readonly int generation;
        int ended;
        // The request's RequestAborted, once asked for (the connection's lock; see AbortWatch).
        internal CancellationTokenSource AbortSource;

        // x null: a request that points into no pooled exchange (a unit test's).
        public RequestScope(ExchangePool pool, Exchange x)
        {
            this.pool = pool;
            if (x == null) return;
            x.Lease();
            exchange = x;
            generation = x.Generation;
        }

        public bool Ended
        {
            get { return Volatile.Read(ref ended) != 0; }
        }

        public void CheckAlive()
        {
            if (Volatile.Read(ref ended) != 0) throw Dead();
            Exchange x = Volatile.Read(ref exchange);
            if (x != null && x.Generation != generation) throw Dead();
        }

        // After reading bytes the exchange holds: they belonged to this request only if it was
        // still alive once they were read (the fence keeps the reads before the check).
        public void CheckStillAlive()
        {
            Interlocked.MemoryBarrier();
            CheckAlive();
        }

        static ObjectDisposedException Dead()
        {
            return new ObjectDisposedException("HttpContext", "the request is over: its handler's Task has completed");
        }

        // The handler's Task completed (null: completed without one). Reports a failure, gzips a
        // response that stands, ends the request, then drops the lease. Returns 0 when the
        // response stands, else the status of the refusal owed (500 for a plain failure).
        public int End(HttpServer server, HttpContext context, Task task)
        {
            Action<HttpContext> hook = Volatile.Read(ref BeforeEndForTests);
            if (hook != null) hook(context);
            int refusal = 0;
            try {
                refusal = Failure(server, context, task);
                if (refusal == 0 && server.GzipMinBytes > 0)
                    ResponseGzip.Apply(context.TheRequest, context.TheResponse, server.GzipMinBytes);
            } finally {
                Volatile.Write(ref ended, 1);
                context.TheRequest.ReleaseForm();
                DropLease();
            }
            return refusal;
        }

        static int Failure(HttpServer server, HttpContext context, Task task)
        {
            if (task == null || !(task.IsFaulted || task.IsCanceled) || WebSocketUpgrade.EndedByRefusal(context, task)) return 0;
            Exception e = task.IsFaulted ? task.Exception.InnerException : null;
            var bad = e as BadRequestBodyException;
            if (bad != null) return bad.Status;
            // A request refused by the handler's own reading (a JSON body of the wrong type) is an
            // answer, not a failure: its status goes out as any response does.
            var refused = e as BadHttpRequestException;
            if (refused != null) return refused.TryAnswer(context.TheResponse) ? 0 : refused.StatusCode;
            server.ReportHandlerFailure(context.TheRequest, e ?? new TaskCanceledException(task));
            return 500;
        }

        // The request copied what it needs of the exchange (it became a WebSocket).
        public void Detach()
        {
            DropLease();
        }

        void DropLease()
        {
            Exchange x = Interlocked.Exchange(ref exchange, null);
            if (x != null && x.Release()) pool.Return(x);
        }
    }
}
