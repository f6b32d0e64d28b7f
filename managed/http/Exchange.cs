// What only a request in progress needs: the input buffer, the request reader (its parser's
// tables are most of its size) and the response writer (its output array). Most of a keep-alive
// connection's life is spent idle between requests, so a connection takes one from the server's
// pool with a request's first bytes and gives it back once its answer is sent with nothing more
// buffered: an idle connection holds none of it, as the native server's connection holds no
// Exchange. Any thread.
namespace Vrns.Http
{
    sealed class Exchange
    {
        // Room for the longest request line and header block the parser allows.
        public const int InputSize = 32768;

        public readonly byte[] Input = new byte[InputSize];
        public int Used;  // bytes received into Input
        public int Pos;  // the first not yet taken
        public readonly RequestReader Reader = new RequestReader();
        public readonly ResponseWriter Writer = new ResponseWriter();
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
            x.Writer.Bind(c, fd, lines);
            return x;
        }

        // Nothing may use x afterwards: no write in flight, no handler that could read its input.
        public void Return(Exchange x)
        {
            x.Used = x.Pos = 0;
            x.Reader.Head.Reset(0);
            x.Reader.EndRequest();
            x.Writer.Unbind();
            lock (gate) {
                if (count < MaxKept) kept[count++] = x;
            }
        }
    }
}
