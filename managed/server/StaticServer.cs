// A static-file HTTP/1.1 server on the Vrns binding: GET and HEAD, persistent connections,
// small bodies through Writes.Write (one writev of header and body), larger files through
// Writes.WriteFile (header, then sendfile). SIGINT or SIGTERM stops it: no new connections,
// idle ones are cancelled, responses in flight finish (up to 5 s), then Main returns 0.
//
// Threads: the main thread parses options, starts everything and waits for the stop signal.
// Pump workers run the rest: accepting (Server.OnAccept) and each connection's callbacks. A
// connection has one registration or one write outstanding at a time, so its callbacks never
// run at once; its State says which one it waits for.
//
//   --gc-stress          adds a thread that allocates hard and collects in a loop until the
//                        stop, to show that pinned buffers and callbacks on foreign threads
//                        survive the collector.
//   --send-buffer BYTES  each connection's SO_SNDBUF: small values make writes wait for the
//                        peer, so buffers stay pinned across collections.
using System;
using System.Collections.Generic;
using System.IO;
using System.Text;
using System.Threading;
using Vrns;

sealed class Options
{
    public byte[] Address = { 127, 0, 0, 1 };
    public int Port = 8080;
    public string Root = ".";
    public int ReadTimeoutSec = 30;
    public bool GcStress;
    public int SendBuffer;

    const string Usage = "usage: vrns VrnsStaticServer.exe [--listen IPV4:PORT] [--root DIR] [--read-timeout SECONDS] [--send-buffer BYTES] [--gc-stress]";

    public static Options Parse(string[] args)
    {
        var o = new Options();
        for (int i = 0; i < args.Length; i++) {
            string name = args[i];
            if (name == "--gc-stress") {
                o.GcStress = true;
                continue;
            }
            if (i + 1 >= args.Length) throw new ArgumentException(Usage);
            string value = args[++i];
            if (name == "--listen") {
                int colon = value.LastIndexOf(':');
                System.Net.IPAddress ip;
                if (colon < 0 || !System.Net.IPAddress.TryParse(value.Substring(0, colon), out ip) ||
                    ip.AddressFamily != System.Net.Sockets.AddressFamily.InterNetwork ||
                    !int.TryParse(value.Substring(colon + 1), out o.Port) || o.Port < 0 || o.Port > 65535)
                    throw new ArgumentException("bad --listen '" + value + "' (expected IPV4:PORT)");
                o.Address = ip.GetAddressBytes();
            } else if (name == "--root") {
                if (!Directory.Exists(value)) throw new ArgumentException("--root '" + value + "' is not a directory");
                o.Root = Path.GetFullPath(value);
            } else if (name == "--send-buffer") {
                if (!int.TryParse(value, out o.SendBuffer) || o.SendBuffer < 1)
                    throw new ArgumentException("bad --send-buffer '" + value + "' (expected a byte count)");
            } else if (name == "--read-timeout") {
                if (!int.TryParse(value, out o.ReadTimeoutSec) || o.ReadTimeoutSec < 1 || o.ReadTimeoutSec > 235)
                    throw new ArgumentException("bad --read-timeout '" + value + "' (expected 1 to 235)");
            } else {
                throw new ArgumentException(Usage);
            }
        }
        return o;
    }
}

// One parsed request head, read from the bytes without building strings for the fields.
sealed class Request
{
    public bool Head, Allowed, KeepAlive;
    public string Target;

    static readonly byte[] ConnectionName = Encoding.ASCII.GetBytes("connection:");

    // Parses head[0..length) (without the blank line); null when it is not a request.
    public static Request Parse(byte[] head, int length)
    {
        int lineEnd = IndexOf(head, 0, length, (byte)'\r');
        if (lineEnd < 0) lineEnd = length;
        int sp1 = IndexOf(head, 0, lineEnd, (byte)' ');
        int sp2 = sp1 < 0 ? -1 : IndexOf(head, sp1 + 1, lineEnd, (byte)' ');
        if (sp2 < 0 || lineEnd - sp2 - 1 != 8 || !Matches(head, sp2 + 1, "HTTP/1.")) return null;
        var r = new Request();
        r.Head = sp1 == 4 && Matches(head, 0, "HEAD");
        r.Allowed = r.Head || (sp1 == 3 && Matches(head, 0, "GET"));
        r.Target = Encoding.ASCII.GetString(head, sp1 + 1, sp2 - sp1 - 1);
        r.KeepAlive = head[lineEnd - 1] == '1';
        for (int at = lineEnd + 2; at < length;) {
            int end = IndexOf(head, at, length, (byte)'\r');
            if (end < 0) end = length;
            if (end - at > ConnectionName.Length && MatchesLower(head, at, ConnectionName)) {
                string value = Encoding.ASCII.GetString(head, at + ConnectionName.Length, end - at - ConnectionName.Length)
                                   .Trim();
                if (string.Equals(value, "close", StringComparison.OrdinalIgnoreCase)) r.KeepAlive = false;
                if (string.Equals(value, "keep-alive", StringComparison.OrdinalIgnoreCase)) r.KeepAlive = true;
            }
            at = end + 2;
        }
        return r;
    }

    static int IndexOf(byte[] b, int from, int to, byte value)
    {
        int i = Array.IndexOf(b, value, from, to - from);
        return i;
    }

    static bool Matches(byte[] b, int at, string text)
    {
        for (int i = 0; i < text.Length; i++)
            if (b[at + i] != text[i]) return false;
        return true;
    }

    static bool MatchesLower(byte[] b, int at, byte[] lower)
    {
        for (int i = 0; i < lower.Length; i++)
            if ((b[at + i] | 0x20) != lower[i]) return false;
        return true;
    }
}

sealed class Connection : IEventTarget, IWriteTarget
{
    enum State { Reading, Writing, Closed }

    const int BufferSize = 8192;
    const int WriteTimeoutSec = 30;
    // Bodies up to this size are read into memory and written with the header in one writev.
    const int SmallBody = 16 * 1024;

    readonly Server server;
    readonly int fd;
    readonly byte[] input = new byte[BufferSize];
    int used;
    volatile State state;  // also read by the main thread at the stop
    int fileFd = -1;
    bool keepAlive;
    public IntPtr Key;

    public Connection(Server server, int fd)
    {
        this.server = server;
        this.fd = fd;
    }

    public int Fd
    {
        get { return fd; }
    }

    public bool WaitingForRequest
    {
        get { return state == State.Reading; }
    }

    public void Start()
    {
        Next();
    }

    // Answers a request already buffered (pipelining), or waits for more input.
    void Next()
    {
        int head = HeadLength();
        if (head >= 0) {
            Respond(head);
            return;
        }
        if (used == input.Length || server.Stopping) {
            Close();
            return;
        }
        state = State.Reading;
        if (Events.Listen(fd, Interest.Read, this, server.ReadTimeoutSec) != 0) Close();
    }

    public void OnEvent(int socket, int code)
    {
        if (state != State.Reading) throw new InvalidOperationException("read event while " + state);
        if (code != EventCode.Readable) {
            Close();
            return;
        }
        int errno;
        int n = Posix.Receive(fd, input, used, input.Length - used, out errno);
        if (n <= 0 && !(n < 0 && errno == Posix.EAGAIN)) {
            Close();
            return;
        }
        if (n > 0) used += n;
        Next();
    }

    public void OnWriteDone(int socket, int result)
    {
        if (state != State.Writing) throw new InvalidOperationException("write completion while " + state);
        if (fileFd >= 0) {
            Posix.Close(fileFd);
            fileFd = -1;
        }
        if (result != WriteResult.Done || !keepAlive) {
            Close();
            return;
        }
        Next();
    }

    // Length of the first request head in input, blank line included; -1 while incomplete.
    int HeadLength()
    {
        for (int i = 3; i < used; i++)
            if (input[i] == '\n' && input[i - 1] == '\r' && input[i - 2] == '\n' && input[i - 3] == '\r') return i + 1;
        return -1;
    }

    void Respond(int head)
    {
        Request request = Request.Parse(input, head - 4);
        Buffer.BlockCopy(input, head, input, 0, used - head);
        used -= head;
        state = State.Writing;
        if (request == null) {
            SendStatus(400, "Bad Request", false, false);
        } else if (!request.Allowed) {
            SendStatus(405, "Method Not Allowed", false, false);
        } else {
            SendFile(request);
        }
    }

    void SendFile(Request request)
    {
        bool head = request.Head;
        string path = server.Resolve(request.Target);
        int errno;
        long length = 0;
        int file = path == null ? -1 : Posix.OpenRegularFile(path, out length, out errno);
        if (file < 0) {
            SendStatus(404, "Not Found", request.KeepAlive, head);
            return;
        }
        keepAlive = request.KeepAlive && !server.Stopping;
        byte[] header = Header(200, "OK", Server.ContentType(path), length, keepAlive);
        if (head) {
            Posix.Close(file);
            Writes.Write(fd, new ArraySegment<byte>(header), default(ArraySegment<byte>), WriteTimeoutSec, this);
        } else if (length <= SmallBody) {
            var body = new byte[length];
            int n = Posix.ReadAt(file, body, (int)length, 0, out errno);
            Posix.Close(file);
            if (n != length) {
                keepAlive = false;
                body = new byte[0];
                header = Header(500, "Internal Server Error", "text/plain", 0, false);
            }
            Writes.Write(fd, new ArraySegment<byte>(header), new ArraySegment<byte>(body), WriteTimeoutSec, this);
        } else {
            fileFd = file;
            Writes.WriteFile(fd, new ArraySegment<byte>(header), file, 0, length, WriteTimeoutSec, this);
        }
    }

    void SendStatus(int status, string reason, bool keep, bool head)
    {
        keepAlive = keep && !server.Stopping;
        byte[] body = Encoding.ASCII.GetBytes(status + " " + reason + "\n");
        byte[] header = Header(status, reason, "text/plain", body.Length, keepAlive);
        Writes.Write(fd, new ArraySegment<byte>(header), head ? default(ArraySegment<byte>) : new ArraySegment<byte>(body),
                     WriteTimeoutSec, this);
    }

    static byte[] Header(int status, string reason, string type, long length, bool keep)
    {
        return Encoding.ASCII.GetBytes("HTTP/1.1 " + status + " " + reason + "\r\nServer: vrns-managed\r\nContent-Type: " +
                                       type + "\r\nContent-Length: " + length + "\r\nConnection: " +
                                       (keep ? "keep-alive" : "close") + "\r\n\r\n");
    }

    void Close()
    {
        state = State.Closed;
        server.Forget(this);
        Posix.Close(fd);
    }
}

sealed class Server : IAcceptTarget
{
    readonly Options options;
    readonly HandleTable<Connection> connections = new HandleTable<Connection>();
    int listenFd = -1;
    int stopping;

    public Server(Options options)
    {
        this.options = options;
    }

    public int ReadTimeoutSec
    {
        get { return options.ReadTimeoutSec; }
    }

    public bool Stopping
    {
        get { return Volatile.Read(ref stopping) != 0; }
    }

    public void Start()
    {
        Engine.Start();
        int port, errno;
        listenFd = Posix.ListenTcp4(options.Address, options.Port, 511, out port, out errno);
        if (listenFd < 0) throw new VrnsException("listen", errno);
        errno = Listeners.Add(listenFd, this);
        if (errno != 0) throw new VrnsException("Vrn_Accept_Add", errno);
        Console.WriteLine("vrns-managed: listening on {0}:{1}, serving {2}", new System.Net.IPAddress(options.Address),
                          port, options.Root);
    }

    public void OnAccept(int fd, int code)
    {
        if (code != AcceptCode.ConnectionWaiting) {
            Console.Error.WriteLine("vrns-managed: the listening socket was given up");
            return;
        }
        for (int i = 0; i < 64 && !Stopping; i++) {
            int errno;
            int socket = Posix.Accept(fd, out errno);
            if (socket < 0) {
                if (errno != Posix.EAGAIN) Console.Error.WriteLine("vrns-managed: accept failed, errno {0}", errno);
                return;
            }
            if (options.SendBuffer > 0) Posix.SetSendBuffer(socket, options.SendBuffer);
            var connection = new Connection(this, socket);
            connection.Key = connections.Add(connection);
            connection.Start();
        }
    }

    public void Forget(Connection connection)
    {
        connections.Take(connection.Key);
    }

    // The file beneath the root that target names, or null when it would leave the root.
    public string Resolve(string target)
    {
        int query = target.IndexOfAny(new[] { '?', '#' });
        if (query >= 0) target = target.Substring(0, query);
        if (target.Length == 0 || target[0] != '/') return null;
        string path = target.IndexOf('%') < 0 ? target : Uri.UnescapeDataString(target);
        if (path.IndexOf('\0') >= 0) return null;
        if (path.IndexOf("..", StringComparison.Ordinal) >= 0)
            foreach (string segment in path.Split('/'))
                if (segment == "..") return null;
        if (path[path.Length - 1] == '/') path += "index.html";
        return options.Root + path;
    }

    public static string ContentType(string path)
    {
        switch (Path.GetExtension(path).ToLowerInvariant()) {
            case ".html": case ".htm": return "text/html";
            case ".txt": return "text/plain";
            case ".css": return "text/css";
            case ".js": return "application/javascript";
            case ".json": return "application/json";
            case ".png": return "image/png";
            case ".jpg": case ".jpeg": return "image/jpeg";
            default: return "application/octet-stream";
        }
    }

    // Stops accepting, cancels idle connections, and waits up to graceMsec for the rest.
    public bool Stop(int graceMsec)
    {
        Volatile.Write(ref stopping, 1);
        Listeners.Remove(listenFd);
        Posix.Close(listenFd);
        long deadline = Environment.TickCount + graceMsec;
        while (connections.Count > 0 || Writes.InFlight > 0) {
            // A connection waiting for a request is cancelled (its callback closes it); one that
            // is writing finishes its response and closes when its completion sees the stop.
            foreach (Connection c in connections.Snapshot())
                if (c.WaitingForRequest) Events.Remove(c.Fd);
            if (Environment.TickCount - deadline > 0) return false;
            Thread.Sleep(10);
        }
        Engine.Stop();
        return true;
    }
}

static class Program
{
    static int stressRounds;

    static void StressCollector(object server)
    {
        var keep = new List<byte[]>();
        var random = new Random(1);
        while (!((Server)server).Stopping) {
            for (int i = 0; i < 2000; i++) {
                keep.Add(new byte[random.Next(16, 4000)]);
                if (keep.Count > 500) keep.RemoveAt(random.Next(keep.Count));
            }
            GC.Collect();
            Interlocked.Increment(ref stressRounds);
        }
    }

    static int Main(string[] args)
    {
        Options options;
        try {
            options = Options.Parse(args);
        } catch (ArgumentException e) {
            Console.Error.WriteLine("vrns-managed: " + e.Message);
            return 2;
        }
        var server = new Server(options);
        try {
            Engine.TakeStopSignals();  // before the port is announced: a client may stop us at once
            server.Start();
        } catch (VrnsException e) {
            Console.Error.WriteLine("vrns-managed: " + e.Message);
            return 1;
        }
        Thread stress = null;
        if (options.GcStress) {
            stress = new Thread(StressCollector) { IsBackground = true };
            stress.Start(server);
        }
        int signal;
        while ((signal = Engine.WaitStopSignal(1000)) == 0) {
        }
        bool drained = server.Stop(5000);
        if (stress != null) stress.Join();
        Console.WriteLine("vrns-managed: stopped by signal {0}; writes started {1}, completed {2}, stray {3}; " +
                          "collections {4}, stress rounds {5}, callback failures {6}",
                          signal, Writes.Started, Writes.Completed, Writes.Stray, GC.CollectionCount(0),
                          Volatile.Read(ref stressRounds), Engine.CallbackFailures);
        return drained ? 0 : 1;
    }
}
