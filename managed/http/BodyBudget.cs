// The request body bytes the server holds for handlers at once (ReadBodyAsync's arrays), across
// every connection: without a bound, a hundred concurrent 8 MiB uploads held a gigabyte, which
// the collector kept long after. A request whose body would pass the bound is refused with 503
// and Retry-After rather than made to wait: a waiting upload would hold its connection, its
// buffers and its time-out's clock while the client, told nothing, kept sending into a stalled
// window, and the waiters themselves would pile up; a 503 costs nothing to hold and tells the
// client (or a proxy in front, which may retry elsewhere) when to try again. The room is taken
// when the body is read and given back when the request's response has been sent. Any thread.
using System.Threading;

namespace Vrns.Http
{
    sealed class BodyBudget
    {
        readonly long limit;
        long used;

        public BodyBudget(long limit)
        {
            this.limit = limit;
        }

        public bool TryTake(long bytes)
        {
            while (true) {
                long now = Interlocked.Read(ref used);
                if (now + bytes > limit) return false;
                if (Interlocked.CompareExchange(ref used, now + bytes, now) == now) return true;
            }
        }

        public void Give(long bytes)
        {
            Interlocked.Add(ref used, -bytes);
        }
    }
}
