// What a server WebSocket needs of its connection, and its limits. The HTTP connection
// implements the transport on the engine and the writers once it has answered 101; the socket
// never holds a thread while it waits. The socket starts sends while holding its own lock, so
// the transport completes its Tasks holding no lock of its own (else the two could deadlock).
using System;
using System.Threading.Tasks;

namespace Vrns.Http
{
    public interface IWebSocketTransport
    {
        // Receives into buffer (bytes the connection read past the handshake come first);
        // completes with the count, 0 when the client ended the stream, or faults (IOException)
        // when the connection failed or was aborted. At most one is outstanding. It waits as long
        // as it takes: the socket bounds its own waits (the close handshake) and aborts.
        Task<int> ReceiveAsync(ArraySegment<byte> buffer);

        // Completes when input is waiting to be received (or the stream ended, or the connection
        // failed: the next ReceiveAsync tells which), taking none of it, so that a socket whose
        // peer is quiet holds no buffer. At most one receive or wait is outstanding.
        Task WaitForInputAsync();

        // Sends head then payload (either may be empty) in one write; completes when the writer
        // has taken both, so the arrays may be reused then (the back-pressure), or faults. At most
        // one is outstanding; the next may be started from the previous one's completion, on the
        // thread that completes it.
        Task SendAsync(ArraySegment<byte> head, ArraySegment<byte> payload);

        // The socket is done and its last send has completed: the connection ends as an HTTP
        // connection does after its last response (no reset before the client has read it).
        void Close();

        // Cuts the connection now: an outstanding receive or send faults. Any thread.
        void Abort();
    }

    public sealed class WebSocketOptions
    {
        // A data frame over this, or a message whose frames add up to more, is refused (1009).
        public long MaxFrameBytes = 1 << 20;
        public long MaxMessageBytes = 1 << 20;
        // Once the socket has sent its close frame (CloseAsync, CloseOutputAsync, the server
        // stopping, a refused frame), how long it lets the client take to answer with its own (or
        // the writer to take ours) before it cuts the connection.
        public int CloseTimeoutMsec = 5000;
        // The socket's input buffer (a receive larger than it goes straight to the caller's).
        // HttpListener's default: a message of a few KiB and its head come in with one read.
        // Rented from a pool of these options' own while bytes are buffered or being read; a
        // socket waiting for its peer holds none.
        public int ReceiveBufferBytes = 16384;
        // Bytes of frames the socket has queued and the writer has not yet taken (the
        // application's frame, pongs, a keep-alive ping). A frame that would take them past this
        // while an earlier one still waits for the client cuts the connection (a client that
        // does not read). A frame alone always goes, whatever its size.
        public long MaxSendQueueBytes = 1 << 20;
        // After this long without a byte from the client the socket sends a ping (a live client
        // answers with a pong); 0: no keep-alive pings.
        public int KeepAliveIntervalMsec = 30000;
        // After this long without a byte from the client the socket is closed (1001 "idle", then
        // cut at CloseTimeoutMsec if the client does not answer); 0: never. Silence is counted
        // from what the socket has read: an application that never calls ReceiveAsync should set
        // 0. The check runs once per keep-alive interval, so the close comes within an interval
        // after the bound.
        public int IdleTimeoutMsec = 90000;
        // Origins whose pages may open a WebSocket (the Origin field, compared without regard to
        // case, e.g. "https://chat.example:8443"); null: any. A handshake from another origin gets
        // 403 before the upgrade. A request without Origin (not from a browser) is let through.
        public string[] AllowedOrigins;
        // Let through an Origin whose host and port are the request's Host (the page came from
        // this server), besides AllowedOrigins. Setting it alone allows only the same origin.
        public bool AllowSameOrigin;

        internal static readonly WebSocketOptions Default = new WebSocketOptions();

        // The sockets' input buffers, of ReceiveBufferBytes each.
        internal readonly BufferPool Buffers = new BufferPool();
    }

    // Arrays of one size, kept for reuse up to a bound (more are left to the collector). A
    // request for another size (the options changed) is a new array. Any thread.
    sealed class BufferPool
    {
        const int MaxKept = 256;  // 4 MiB of the default 16 KiB buffers at most
        readonly object gate = new object();  // guards kept and count
        readonly byte[][] kept = new byte[MaxKept][];
        int count;

        public byte[] Rent(int size)
        {
            lock (gate) {
                if (count > 0 && kept[count - 1].Length == size) {
                    byte[] b = kept[--count];
                    kept[count] = null;
                    return b;
                }
            }
            return new byte[size];
        }

        public int Kept
        {
            get {
                lock (gate) return count;
            }
        }

        public void Return(byte[] b)
        {
            lock (gate) {
                if (count < MaxKept) kept[count++] = b;
            }
        }
    }
}
