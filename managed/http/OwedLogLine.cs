// The access log's line a connection owes for the response it began: its status and its body's
// bytes (a streamed body's grow as its pieces go out), and whether its request's line can be
// logged (a request refused before it was framed has none). Written once the response is
// complete, or when the connection closes with it cut short; a WebSocket's session gets its own
// line when it ends. Touched only by whichever thread runs for the connection.
namespace Vrns.Http
{
    sealed class OwedLogLine
    {
        readonly HttpServer server;  // its Log, when it keeps one
        readonly ConnectionPeer peer;
        int status;  // 0: no line owed
        long bytes;
        bool requestBegun;

        public OwedLogLine(HttpServer server, ConnectionPeer peer)
        {
            this.server = server;
            this.peer = peer;
        }

        // The request's head was framed and begun: its line can be logged.
        public void RequestBegun()
        {
            requestBegun = true;
        }

        public void NextRequest()
        {
            requestBegun = false;
        }

        public void Owe(int status, long bytes)
        {
            if (server.Log == null) return;
            this.status = status;
            this.bytes = bytes;
        }

        // A streamed piece went to the writer.
        public void Add(long count)
        {
            bytes += count;
        }

        public void Write(HeadParser head, byte[] input)
        {
            if (status == 0) return;
            server.Log.Write(peer.Text, requestBegun ? head : null, input, status, bytes);
            status = 0;
        }

        // The session's line: 101, the bytes sent (frames), then those received and how long it
        // lasted.
        public void WriteSession(WebSocketTransport t)
        {
            if (server.Log == null) return;
            server.Log.WriteSession(peer.Text, t.Head, t.HeadBytes, t.BytesOut, t.BytesIn, Engine.NowMsec - t.BeganMsec);
        }
    }
}
