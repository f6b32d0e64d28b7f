// What only a request in progress needs: the input buffer, the request reader (its parser's
// tables are most of its size) and the response writer (its output array). Most of a keep-alive
// connection's life is spent idle between requests, so a connection takes one from the server's
// pool with a request's first bytes and gives it back once its answer is sent with nothing more
// buffered: an idle connection holds none of it, as the native server's connection holds no
// Exchange. Any thread.
//
// Who gives it back is counted, not decided: the connection holds a lease from the rent, the
// request's scope (RequestScope) one while its handler runs, and whoever drops the last lease
// returns it, once. Each return moves the generation on, so a request that outlived its exchange
// can tell that the bytes it points into are another request's now.
using System;
using System.Threading;

namespace Vrns.Http
{
    sealed class Exchange
    {
        public readonly RequestReader Reader = new RequestReader();
        public readonly ResponseWriter Writer = new ResponseWriter();
        int leases, generation;

        public int Generation
        {
            get { return Volatile.Read(ref generation); }
        }

        public void Lease()
        {
            Interlocked.Increment(ref leases);
        }

        // True for the last lease: its holder gives the exchange back. A lease dropped twice is
        // a fault that would hand one exchange to two requests: it throws rather than corrupt.
        public bool Release()
        {
            int left = Interlocked.Decrement(ref leases);
            if (left < 0) throw new InvalidOperationException("an exchange's lease was dropped twice");
            return left == 0;
        }

        // The first lease: the renter's.
        internal void Rented()
        {
            Volatile.Write(ref leases, 1);
        }

        internal void Returned()
        {
            Interlocked.Increment(ref generation);
        }
    }

    sealed class ExchangePool
    {
        // Kept for reuse at most; more are left to the collector. About 35 MiB at worst.
        const int MaxKept = 1024;
        readonly object gate = new object();  // guards kept and count
        readonly Exchange[] kept = new Exchange[MaxKept];
        int count;

        readonly StatusLines lines;

        public ExchangePool(StatusLines lines)
        {
            this.lines = lines;
        }

        public Exchange Rent(HttpConnection c, int fd)
        {
            Exchange x = null;
            lock (gate) {
                if (count > 0) {
                    x = kept[--count];
                    kept[count] = null;
                }
            }
            if (x == null) x = new Exchange();
            x.Rented();
            x.Writer.Bind(c, fd, lines);
            return x;
        }

        // By the holder of its last lease: nothing may use x afterwards, and a request that still
        // points into it sees its generation moved on.
        public void Return(Exchange x)
        {
            x.Returned();
            x.Reader.Clear();
            x.Writer.Unbind();
            lock (gate) {
                if (count < MaxKept) kept[count++] = x;
            }
        }
    }
}
