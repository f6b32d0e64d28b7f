// A connection's last moments after its last response (or a WebSocket's close): the write half
// is shut, and what the client still sends is read and dropped until it closes its side, for at
// most LingerMsec and MaxLingerBytes. Closing at once with unread input would make the kernel
// answer with a reset, which can destroy the response still on its way to the client.
namespace Vrns.Http
{
    sealed class Linger
    {
        const long LingerMsec = 2000;
        const int MaxLingerBytes = 1 << 20;

        // What a lingering WebSocket's connection (it holds no exchange) reads and drops into:
        // one array for all, as nobody reads what lands in it.
        static readonly byte[] Sink = new byte[16384];

        readonly IEventTarget target;
        readonly int fd;
        long deadline;
        int bytes;

        // target: whom the engine tells that input came (the connection, in Lingering).
        public Linger(IEventTarget target, int fd)
        {
            this.target = target;
            this.fd = fd;
        }

        // Shuts the write half and waits for what comes: false when the wait cannot be armed.
        public bool Begin()
        {
            Posix.ShutdownWrite(fd);
            deadline = Engine.NowMsec + LingerMsec;
            bytes = 0;
            return Events.Listen(fd, Interest.Read, target, HttpConnection.SecondsUntil(deadline)) == 0;
        }

        // Reads and drops input (into input, or the shared sink when null). True: waiting again;
        // false: the peer closed, the while ended or enough came, and the connection closes.
        public bool OnInput(int code, byte[] input)
        {
            byte[] sink = input ?? Sink;
            while (code == EventCode.Readable && bytes < MaxLingerBytes) {
                int errno;
                int n = Posix.Receive(fd, sink, 0, sink.Length, out errno);
                if (n > 0) {
                    bytes += n;
                    continue;
                }
                if (n < 0 && errno == Posix.EAGAIN) {
                    int timeout = HttpConnection.SecondsUntil(deadline);
                    return timeout != 0 && Events.Listen(fd, Interest.Read, target, timeout) == 0;
                }
                return false;
            }
            return false;
        }
    }
}
