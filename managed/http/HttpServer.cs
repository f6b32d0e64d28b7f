// An HTTP/1.1 server for managed applications on the executable's engine, pump and writers.
//
//   var server = new HttpServer(new HttpServerOptions { Listen = { "127.0.0.1:8080" } });
//   server.Router.Map("GET", "/hello", async c => c.Response.Send("hello"));
//   return server.Run();   // until SIGINT or SIGTERM; then drains and returns 0
//
// Threads: pump workers accept, frame requests and take every completion; handlers run on the
// server's handler pool (HandlerPool), where they may block, or inline on the pump worker when
// a route or the options say so. Start takes the stop signals before it listens, and a thread of
// the server's own waits for them (Engine.WaitStopSignal), resumes accepting after a pause for
// want of descriptors, and drains.
// Accepting stops while MaxConnections are open and resumes when one closes: the accepting
// worker and the closing thread decide under acceptGate, after a full fence each (the count, then
// the paused flag; the flag, then the count), so a pause is never left without a resume.
// The drain (ConnectionDrain.cs): stop accepting (connections the kernel had completed are still
// served, later ones are refused), end at once the keep-alive connections idle between
// requests, let the requests in progress be answered (marked Connection: close) for up to
// DrainMsec, close each WebSocket with 1001 (WebSocketUpgrade.cs) and cut those still open at
// the bound, cut and count what is still running or sending, stop the engine.
using System;
using System.Collections.Generic;
using System.Globalization;
using System.Net;
using System.Threading;
using System.Threading.Tasks;

namespace Vrns.Http
{
    public sealed class HttpServerOptions
    {
        // "HOST:PORT" or "[IPV6]:PORT"; port 0 takes any free port (see HttpServer.Endpoints).
        public readonly List<string> Listen = new List<string>();
        // A request must be complete this long after its first byte; a connection idle between
        // requests is closed after it. 1 to 235 (the engine's longest wait).
        public int ReadTimeoutSec = 30;
        // A request body beyond this is answered 413.
        public long MaxBodyBytes = 8 << 20;
        // The body bytes ReadBodyAsync and ReadFormAsync may hold across all requests at once;
        // a request whose body or form would pass it is answered 503 with Retry-After (see
        // BodyBudget).
        public long MaxBufferedBodyBytes = 64 << 20;
        // Connections open at once; accepting waits while they are. 0: as the native server's
        // default, what the descriptor limit allows ((limit - 64) / 2, the soft limit first raised
        // to the hard one), but at most a quarter of physical memory at 128 KiB a connection.
        public int MaxConnections;
        // How long the drain lets requests in progress finish (0: no bound).
        public int DrainMsec = 5000;
        // SO_SNDBUF of each connection (0: the system's); small values keep writes waiting.
        public int SendBufferBytes;
        public int Backlog = 4096;
        // Handlers run on the server's handler pool (HandlerThread.Pool). True: on the pump worker
        // that framed the request, unless their route says Pool (HandlerThread.UnsafeInline:
        // cheaper, for handlers that never block).
        public bool UnsafeInlineHandlers;
        // The handler pool's bound; beyond it handlers wait for a thread.
        public int MaxHandlerThreads = HandlerPool.DefaultMaxThreads;
        // The limits of HttpRequest.ReadFormAsync.
        public FormOptions Form = new FormOptions();
        // The access log, in the native server's format: a file (appended to), "-" (standard
        // output), or null or "off" for none. Written by a thread of its own through a buffer of
        // AccessLogBufferBytes: a destination that stalls costs lines, counted and reported on
        // standard error, never a request's time.
        public string AccessLog;
        public int AccessLogBufferBytes = Http.AccessLog.DefaultBufferBytes;
        // Handler responses of compressible types, from GzipMinBytes on, go out gzip-compressed
        // to clients that accept it (see ResponseGzip).
        public bool GzipResponses;
        public int GzipMinBytes = 1024;
        // The Server field of every response; null or "": none. A value holds no control
        // character (else ArgumentException from the server's constructor).
        public string ServerHeader = "vrns";
        // The limits and the close handshake's bound of AcceptWebSocketAsync's sockets.
        public WebSocketOptions WebSockets = new WebSocketOptions();
    }

    // Runs around routing: does its work, awaits next() for the rest of the pipeline (the
    // middleware added after it, then the route's handler), and may work on the response after.
    // One that does not call next ends the request there.
    public delegate Task Middleware(HttpContext context, Func<Task> next);

    public sealed class HttpServer : RouteBuilder, IAcceptTarget, IDisposable
    {
        const int AcceptsPerWake = 64;
        const int SignalPollMsec = 100;
        const int AcceptPauseMsec = 100;
        const int MaxPendingOnStop = 4096;
        const int DrainPollMsec = 10;
        // At exit each log gets this long to write what it holds.
        const int ExitFlushMsec = 1000;
        // The native server's default connection limit: descriptors kept back for files and the
        // like, descriptors a connection may need (its socket and a file), the share of memory
        // connections may hold at worst, and the worst a connection holds.
        const ulong ReservedDescriptors = 64, DescriptorsPerConnection = 2, MemoryShare = 4;
        const ulong WorstBytesPerConnection = 128 << 10;
        const int MostConnections = 1000000;
        const int EMFILE = 24, ENFILE = 23, ENOBUFS = 105, ENOMEM = 12, ECONNABORTED = 103, EPROTO = 71;

        readonly HttpServerOptions options;
        readonly List<int> listenFds = new List<int>();
        readonly List<IPEndPoint> endpoints = new List<IPEndPoint>();
        readonly TaskCompletionSource<int> stopped = new TaskCompletionSource<int>();
        internal readonly ConnectionList Connections = new ConnectionList(Events.Remove);
        internal readonly ExchangePool Exchanges;
        internal readonly HandlerPool Handlers;
        internal readonly BodyBudget BodyBudget;
        internal AccessLog Log;  // null: none
        internal readonly WebSocketList LiveWebSockets = new WebSocketList();
        readonly object acceptGate = new object();  // orders the listeners' removals and re-additions
        int maxConnections;
        int stopping, stopRequested, signal;
        int limitPaused;  // out of the registry while MaxConnections are open
        long pausedUntil;  // Environment.TickCount msec until which accept rests; 0 when not

        public readonly Router Router = new Router();
        readonly List<Middleware> middleware = new List<Middleware>();
        // The middleware around the route's handler, composed at Start; null without any, so a
        // request then costs nothing for it.
        internal RequestHandler Pipeline;
        int started;

        // Receives each handler failure; the default queues a line for standard error: the
        // exception with its stack, or only its message when the connection was lost under the
        // handler (a client that went away mid-body is no fault of the application's).
        public Action<HttpRequest, Exception> HandlerFailed = (request, e) => {
            string what = "vrns-http: " + request.Method + " " + request.Path;
            ErrorLog.Write(e is ConnectionLostException ? what + " ended early: " + e.Message : what + " failed: " + e);
        };

        public HttpServer(HttpServerOptions options)
        {
            if (options.ReadTimeoutSec < 1 || options.ReadTimeoutSec > 235)
                throw new ArgumentOutOfRangeException("options", "ReadTimeoutSec is 1 to 235");
            if (options.MaxConnections < 0) throw new ArgumentOutOfRangeException("options", "MaxConnections is 0 (the default) or more");
            if (options.DrainMsec < 0) throw new ArgumentOutOfRangeException("options", "DrainMsec is 0 (no bound) or more");
            this.options = options;
            if (options.Listen.Count == 0) options.Listen.Add("127.0.0.1:8080");
            if (!string.IsNullOrEmpty(options.ServerHeader)) FieldText.CheckValue(options.ServerHeader);
            Exchanges = new ExchangePool(new StatusLines(options.ServerHeader));
            Handlers = new HandlerPool(options.MaxHandlerThreads);
            BodyBudget = new BodyBudget(options.MaxBufferedBodyBytes);
        }

        public int ReadTimeoutSec
        {
            get { return options.ReadTimeoutSec; }
        }

        public long MaxBodyBytes
        {
            get { return options.MaxBodyBytes; }
        }

        internal FormOptions FormOptions
        {
            get { return options.Form; }
        }

        // The opt-in gzip's threshold; 0 when it is off.
        internal int GzipMinBytes
        {
            get { return options.GzipResponses ? Math.Max(options.GzipMinBytes, 1) : 0; }
        }

        internal bool InlineHandlers
        {
            get { return options.UnsafeInlineHandlers; }
        }

        internal WebSocketOptions WebSocketOptions
        {
            get { return options.WebSockets; }
        }

        // The connection limit in force, once started.
        public int MaxConnections
        {
            get { return maxConnections; }
        }

        // The native server's default rule (see HttpServerOptions.MaxConnections).
        internal static int DefaultMaxConnections(ulong descriptors, ulong memoryBytes)
        {
            if (descriptors <= ReservedDescriptors + DescriptorsPerConnection) return 1;
            ulong n = (descriptors - ReservedDescriptors) / DescriptorsPerConnection;
            if (memoryBytes > 0) n = Math.Min(n, memoryBytes / MemoryShare / WorstBytesPerConnection);
            return (int)Math.Max(1, Math.Min(n, (ulong)MostConnections));
        }

        public bool Stopping
        {
            get { return Volatile.Read(ref stopping) != 0; }
        }

        // Where the server listens, once started.
        public IList<IPEndPoint> Endpoints
        {
            get { return endpoints; }
        }

        // The signal that stopped the server (0: Stop was called).
        public int StopSignal
        {
            get { return Volatile.Read(ref signal); }
        }

        // Completes with 0 once the server has drained.
        public Task<int> Completion
        {
            get { return stopped.Task; }
        }

        // Maps handlers (RouteBuilder's Map, MapPrefix, MapGet, ..., MapGroup): see Router.
        internal override void Add(string method, string path, bool prefix, RequestHandler handler, HandlerThread thread)
        {
            Router.Map(method, path, handler, thread, prefix);
        }

        internal override HttpServer Owner
        {
            get { return this; }
        }

        internal override RouteGroup AsGroup
        {
            get { return null; }
        }

        internal bool HasStarted
        {
            get { return Volatile.Read(ref started) != 0; }
        }

        // Adds middleware, run in the order added around routing, before Start. It runs where
        // the request's handler runs (HandlerThread); with middleware, the library's own answers
        // and StaticFiles run there too, as the middleware is application code.
        public void Use(Middleware m)
        {
            if (m == null) throw new ArgumentNullException("m");
            if (Volatile.Read(ref started) != 0) throw new InvalidOperationException("middleware is added before Start");
            middleware.Add(m);
            Router.OwnAnswersInline = false;
        }

        static RequestHandler Compose(List<Middleware> all)
        {
            if (all.Count == 0) return null;
            RequestHandler app = c => c.Handler(c) ?? Task.CompletedTask;
            for (int i = all.Count - 1; i >= 0; i--) {
                Middleware m = all[i];
                RequestHandler inner = app;
                app = c => m(c, () => inner(c));
            }
            return app;
        }

        // Parses "HOST:PORT" or "[IPV6]:PORT"; false for anything else.
        public static bool TryParseEndpoint(string text, out IPEndPoint endpoint)
        {
            endpoint = null;
            int colon = text.LastIndexOf(':');
            if (colon <= 0) return false;
            string host = text.Substring(0, colon);
            bool bracketed = host.StartsWith("[", StringComparison.Ordinal) && host.EndsWith("]", StringComparison.Ordinal);
            if (bracketed) host = host.Substring(1, host.Length - 2);
            IPAddress address;
            int port;
            if (!IPAddress.TryParse(host, out address) ||
                (address.AddressFamily == System.Net.Sockets.AddressFamily.InterNetworkV6) != bracketed ||
                !int.TryParse(text.Substring(colon + 1), NumberStyles.None, CultureInfo.InvariantCulture, out port) ||
                port > 65535)
                return false;
            endpoint = new IPEndPoint(address, port);
            return true;
        }

        // Opens the listening sockets, starts the engine and the stop thread. Throws
        // ArgumentException for a bad address and VrnsException when a call fails.
        public void Start()
        {
            // Taken before the first socket listens: a client that sees the port may send a stop
            // at once, and until the take a signal still ends the process.
            if (Interlocked.CompareExchange(ref started, 1, 0) != 0)
                throw new InvalidOperationException("the server was started or stopped already");
            Pipeline = Compose(middleware);
            Log = Http.AccessLog.Open(options.AccessLog, options.AccessLogBufferBytes);
            Engine.TakeStopSignals();
            ulong descriptors = Posix.RaiseDescriptorLimit();
            maxConnections = options.MaxConnections > 0 ? options.MaxConnections
                                                        : DefaultMaxConnections(descriptors, Posix.PhysicalMemoryBytes());
            Engine.Start();
            foreach (string listen in options.Listen) {
                IPEndPoint at;
                if (!TryParseEndpoint(listen, out at))
                    throw new ArgumentException("bad listen address '" + listen + "' (expected HOST:PORT or [IPv6]:PORT)");
                int port, errno;
                int fd = Posix.ListenTcp(at.Address.GetAddressBytes(), at.Port, options.Backlog, out port, out errno);
                if (fd < 0) throw new VrnsException("listen on " + listen, errno);
                listenFds.Add(fd);
                endpoints.Add(new IPEndPoint(at.Address, port));
            }
            foreach (int fd in listenFds) {
                int errno = Listeners.Add(fd, this);
                if (errno != 0) throw new VrnsException("Vrn_Accept_Add", errno);
            }
            var thread = new Thread(StopThread) { IsBackground = true, Name = "vrns-http-stop" };
            thread.Start();
        }

        // Starts, serves until SIGINT or SIGTERM (or Stop), drains; the status for Main.
        public int Run()
        {
            Start();
            return Completion.Result;
        }

        // Asks for the drain, as a stop signal would. A server never started is stopped at once
        // (and cannot start).
        public void Stop()
        {
            if (Interlocked.CompareExchange(ref started, 2, 0) == 0) {
                stopped.TrySetResult(0);
                return;
            }
            Volatile.Write(ref stopRequested, 1);
        }

        // Stop, then the drain's end (Completion).
        public Task StopAsync()
        {
            Stop();
            return Completion;
        }

        // Stops the server and waits for its drain, which lasts DrainMsec at most. Not from one
        // of its own handlers: the drain waits for them (use StopAsync there).
        public void Dispose()
        {
            if (Handlers.OnPoolThread) throw new InvalidOperationException("a handler cannot wait for its own server's drain: use StopAsync");
            StopAsync().Wait();
        }

        public void OnAccept(int listenFd, int code)
        {
            if (code != AcceptCode.ConnectionWaiting) {
                if (!Stopping) Pause(listenFd);
                return;
            }
            for (int i = 0; i < AcceptsPerWake && HasRoom(); i++) {
                int errno;
                if (!AcceptOne(listenFd, out errno)) {
                    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                        ErrorLog.Write("vrns-http: accept failed, errno " + errno + "; pausing");
                        Pause(listenFd);
                    }
                    if (errno != ECONNABORTED && errno != EPROTO) return;
                }
            }
        }

        // Accepts and starts one connection, even while stopping: it carries a request, which
        // the drain answers. False with errno when there was none.
        bool AcceptOne(int listenFd, out int errno)
        {
            var peer = new byte[16];
            int peerLength, peerPort;
            int fd = Posix.Accept(listenFd, peer, out peerLength, out peerPort, out errno);
            if (fd < 0) return false;
            Posix.SetNoDelay(fd);
            if (options.SendBufferBytes > 0) Posix.SetSendBuffer(fd, options.SendBufferBytes);
            var c = new HttpConnection(this, fd, peer, peerLength, peerPort);
            Connections.Add(c);
            c.Start();
            return true;
        }

        // Below the connection limit; at it, the listeners go out of the registry until a
        // connection closes (the kernel keeps completing connections into the backlog meanwhile).
        bool HasRoom()
        {
            if (Connections.Count < maxConnections) return true;
            lock (acceptGate) {
                if (limitPaused != 0) return false;
                Interlocked.Exchange(ref limitPaused, 1);
                if (Connections.Count < maxConnections || Stopping) {  // one closed meanwhile
                    limitPaused = 0;
                    return !Stopping;
                }
                foreach (int fd in listenFds) Listeners.Remove(fd);
            }
            return false;
        }

        // After the connection left the list (a full fence): accepting resumes when it was
        // paused at the limit.
        internal void ConnectionClosed(HttpConnection c)
        {
            Connections.Remove(c);
            if (Volatile.Read(ref limitPaused) == 0) return;
            lock (acceptGate) {
                if (limitPaused == 0 || Stopping) return;
                limitPaused = 0;
                if (Interlocked.Read(ref pausedUntil) == 0) AddListeners();
            }
        }

        void AddListeners()
        {
            foreach (int fd in listenFds) Listeners.Add(fd, this);  // EEXIST for those still in
        }

        // The registry keeps a readable socket armed: one that cannot be accepted from is taken
        // out for a while, or the callback would spin.
        void Pause(int listenFd)
        {
            lock (acceptGate) {
                Listeners.Remove(listenFd);
                Interlocked.Exchange(ref pausedUntil, Environment.TickCount + AcceptPauseMsec);
            }
        }

        internal void ReportHandlerFailure(HttpRequest request, Exception e)
        {
            try {
                Action<HttpRequest, Exception> report = HandlerFailed;
                if (report != null) report(request, e);
            } catch (Exception) {
            }
        }

        void StopThread()
        {
            while (true) {
                int sig = Engine.WaitStopSignal(SignalPollMsec);
                if (sig != 0) {
                    Volatile.Write(ref signal, sig);
                    break;
                }
                if (Volatile.Read(ref stopRequested) != 0) break;
                ResumeIfDue();
            }
            Drain();
            stopped.TrySetResult(0);
        }

        void ResumeIfDue()
        {
            long until = Interlocked.Read(ref pausedUntil);
            if (until == 0 || Environment.TickCount - until < 0) return;
            lock (acceptGate) {
                Interlocked.Exchange(ref pausedUntil, 0);
                if (limitPaused == 0 && !Stopping) AddListeners();
            }
        }

        void Drain()
        {
            Interlocked.Exchange(ref stopping, 1);  // a full fence: see HttpConnection.WaitForRequest
            lock (acceptGate) {
                foreach (int fd in listenFds) Listeners.Remove(fd);
            }
            foreach (int fd in listenFds) {
                int errno;
                for (int i = 0; i < MaxPendingOnStop && AcceptOne(fd, out errno);) i++;
                Posix.ShutdownBoth(fd);  // a listening socket stops listening; its number stays ours
            }
            int deadline = Environment.TickCount + options.DrainMsec;
            // WebSockets get a close with 1001 and close once the client answers (or their own
            // close bound passes); they count as connections meanwhile.
            LiveWebSockets.CloseForStop();
            // Idle connections are ended as the drain goes (one whose wait was armed just after
            // the last pass is woken again).
            while (Connections.Count > 0 && (options.DrainMsec == 0 || Environment.TickCount - deadline < 0)) {
                Connections.EndIdle();
                Thread.Sleep(DrainPollMsec);
            }
            int cut = Connections.CutBusy();
            if (cut > 0) ErrorLog.Write("vrns-http: the drain's time-out cut " + cut + " responses short");
            LiveWebSockets.AbortAll();
            Engine.Stop();
            int end = Environment.TickCount + 1000;
            while (Engine.IsRunning && Environment.TickCount - end < 0) Thread.Sleep(DrainPollMsec);
            foreach (int fd in listenFds) Posix.Close(fd);
            if (Log != null) Log.Finish(ExitFlushMsec);
            ErrorLog.Flush(ExitFlushMsec);
        }
    }
}
