// The client going while its handler runs, and the handler's RequestAborted. A watch (the read
// half) is armed while a handler that did not complete at once, or that asked for
// RequestAborted, has no operation outstanding: it takes what arrives into the input and sees
// the client go (the end of its stream, or an error), which closes the connection: the
// descriptor goes at once, however long the handler takes, its RequestAborted is cancelled (on
// the handler pool, never where the connection's callbacks run) and its later reads and writes
// fail. The drain's cut cancels RequestAborted too. A client that half-closes its side after
// its request is taken as gone, as Kestrel takes it. The watch is cancelled (Events.Remove,
// never replaced by another Listen, which the engine reports as an anomaly) before anything
// else arms the connection: an operation, or the response once the handler ends. The watch is
// armed only while no operation is, so the write half is idle whenever it is cancelled, and
// Remove cancels the watch alone; a cancelled watch hears of it and is ignored.
//
// One per connection, for each request it handles in turn; the token's source belongs to the
// request (its RequestScope). Everything here but Cancel runs under the connection's lock.
using System;
using System.Threading;

namespace Vrns.Http
{
    sealed class AbortWatch
    {
        // A watch waits at most this long (the engine's longest wait), then looks again.
        const int LongestWatchSec = 235;

        // The token's callbacks are application code: they run on the handler pool.
        static readonly SendOrPostCallback CancelPosted = o => {
            try {
                ((CancellationTokenSource)o).Cancel();
            } catch (Exception e) {
                ErrorLog.Write("vrns-http: a RequestAborted callback failed: " + e);
            }
        };

        readonly HttpConnection connection;
        readonly HttpServer server;
        readonly int fd;
        // The running handler's RequestAborted, once asked for; read without the lock by the
        // drain's cut.
        CancellationTokenSource source;
        // Whether the client is watched for while the handler runs, and the watch armed while
        // no operation is.
        bool watched;
        Armed armed;

        public AbortWatch(HttpConnection connection, HttpServer server, int fd)
        {
            this.connection = connection;
            this.server = server;
            this.fd = fd;
        }

        public bool Watched
        {
            get { return watched; }
        }

        // The client is watched for until the handler ends.
        public void Watch()
        {
            watched = true;
        }

        // The request's RequestAborted, made when first asked for.
        public CancellationTokenSource Source(RequestScope scope)
        {
            if (scope.AbortSource != null) return scope.AbortSource;
            var made = scope.AbortSource = new CancellationTokenSource();
            // A full fence before the caller reads the state; the drain's cut moves the state,
            // then reads the source: one of the two sees the other.
            Interlocked.Exchange(ref source, made);
            return made;
        }

        // The connection closed, or the drain cut it, while the handler runs. Without the lock.
        public void Cancel()
        {
            CancellationTokenSource s = Volatile.Read(ref source);
            if (s != null) server.Handlers.Post(CancelPosted, s);
        }

        // Arms the read half, unless armed already. The caller checked that the handler runs
        // watched, no operation is outstanding and the input has room.
        public void Arm()
        {
            if (armed != null) return;
            var w = new Armed(this);
            armed = w;
            if (Events.Listen(fd, Interest.Read, w, LongestWatchSec) != 0) armed = null;
        }

        // Cancels the armed watch. Only the read half is armed then, so Remove cancels nothing
        // else.
        public void Drop()
        {
            if (armed == null) return;
            armed = null;
            Events.Remove(fd);
        }

        // The handler ended: nothing is watched for it any more.
        public void End()
        {
            Drop();
            watched = false;
            Volatile.Write(ref source, null);
        }

        void Heard(Armed w, int code)
        {
            lock (connection) {
                if (armed != w) return;  // cancelled for an operation, or the request is over
                armed = null;
                connection.OnWatchHeard(code);
            }
        }

        // One arming: a cancelled one that still hears of it is told from the one armed now.
        sealed class Armed : IEventTarget
        {
            readonly AbortWatch watch;

            public Armed(AbortWatch watch)
            {
                this.watch = watch;
            }

            public void OnEvent(int fd, int code)
            {
                watch.Heard(this, code);
            }
        }
    }
}
