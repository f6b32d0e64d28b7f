// The connection's states refuse what they were not armed for: a callback that comes in a state
// that did not arm it ends the connection (one log line), its descriptor closed and the
// connection out of the server's list, rather than an exception thrown out to the binding with
// the descriptor held. The connection runs on one end of a socket pair; the other end sees it go.
namespace Vrns.Http.Units
{
    static class ConnectionStateTests
    {
        static readonly ConnectionState[] NothingWritten = { ConnectionState.WaitingFirst, ConnectionState.Idle,
                                                             ConnectionState.Reading, ConnectionState.Discarding,
                                                             ConnectionState.Lingering, ConnectionState.EndedIdle };

        [Test]
        static void AWriteEndInAStateWithoutAWriteClosesTheDescriptor()
        {
            var server = new HttpServer(new HttpServerOptions());
            foreach (ConnectionState s in NothingWritten) {
                int mine, peer;
                Check.True(Posix.SocketPair(out mine, out peer), "a socket pair");
                var c = new HttpConnection(server, mine, new byte[] { 127, 0, 0, 1 }, 4, 1000);
                server.Connections.Add(c);
                c.Enter(s);
                c.OnWriteDone(mine, WriteResult.Done);  // never throws
                Check.Equal(ConnectionState.Closed, (ConnectionState)c.TryMove(ConnectionState.Closed, ConnectionState.Closed),
                            s + ": the connection's state");
                Check.Equal(0, server.Connections.Count, s + ": out of the server's list");
                var b = new byte[1];
                int errno;
                Check.Equal(0, Posix.Receive(peer, b, 0, 1, out errno), s + ": the peer sees the descriptor closed");
                Posix.Close(peer);
            }
        }
    }
}
