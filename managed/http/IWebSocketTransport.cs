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
        public int ReceiveBufferBytes = 16384;

        internal static readonly WebSocketOptions Default = new WebSocketOptions();
    }
}
