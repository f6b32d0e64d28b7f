// The request body bytes the server holds for handlers at once (ReadBodyAsync's arrays, and the
// fields and in-memory file parts of forms), across every connection: without a bound, a hundred
// concurrent 8 MiB uploads held a gigabyte, which the collector kept long after. A request whose
// body would pass the bound is refused with 503 and Retry-After rather than made to wait: a
// waiting upload would hold its connection, its buffers and its time-out's clock while the
// client, told nothing, kept sending into a stalled window, and the waiters themselves would pile
// up; a 503 costs nothing to hold and tells the client (or a proxy in front, which may retry
// elsewhere) when to try again. The room is taken when the body is read and given back when the
// request's response has been sent, or (a form's, through its BudgetShare) when the form is
// disposed: as its request ends, or as its read fails. Any thread.
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

        // What is held now, for tests.
        internal long Used
        {
            get { return Interlocked.Read(ref used); }
        }
    }

    // What one form holds of the budget: taken as its parts grow, given back in part (a file
    // part moved to a temporary file) or all at once (GiveAll, which a second call makes no
    // harm of) when the form goes. A form without a server (FormReader.ReadAsync called by
    // an application) has none.
    sealed class BudgetShare
    {
        readonly BodyBudget budget;
        long held;

        public BudgetShare(BodyBudget budget)
        {
            this.budget = budget;
        }

        // Room for bytes more, or BadRequestBodyException(503) when the server has none.
        public void Take(long bytes)
        {
            if (!budget.TryTake(bytes)) throw new BadRequestBodyException(503);
            Interlocked.Add(ref held, bytes);
        }

        public void Give(long bytes)
        {
            Interlocked.Add(ref held, -bytes);
            budget.Give(bytes);
        }

        public void GiveAll()
        {
            long bytes = Interlocked.Exchange(ref held, 0);
            if (bytes != 0) budget.Give(bytes);
        }
    }
}
