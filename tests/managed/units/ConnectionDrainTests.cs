// The drain's passes over the server's connections: an idle one is ended and its wait
// cancelled; one ended earlier and not yet taken back by its owner has its wait cancelled again
// on every pass (its owner may have armed it just after the last cancel); one taken back, or
// busy, is left alone. The waits' cancels are recorded instead of reaching the engine.
using System.Collections.Generic;

namespace Vrns.Http.Units
{
    static class ConnectionDrainTests
    {
        static HttpConnection Listed(ConnectionList list, int fd, ConnectionState state)
        {
            var c = new HttpConnection(null, fd, new byte[] { 127, 0, 0, 1 }, 4, 1000 + fd);
            list.Add(c);
            c.Enter(state);
            return c;
        }

        static ConnectionState StateOf(HttpConnection c)
        {
            return (ConnectionState)c.TryMove(ConnectionState.Closed, ConnectionState.Closed);
        }

        [Test]
        static void EndedConnectionsAreCancelledAgainUntilTakenBack()
        {
            var cancelled = new List<int>();
            var list = new ConnectionList(cancelled.Add);
            HttpConnection idle = Listed(list, 10, ConnectionState.Idle);
            Listed(list, 11, ConnectionState.Handling);
            Listed(list, 12, ConnectionState.WaitingFirst);
            Listed(list, 13, ConnectionState.Reading);

            Check.Equal(1, list.EndIdle(), "the idle connection is ended");
            Check.Equal(ConnectionState.EndedIdle, StateOf(idle), "its state");
            Check.Equal("10", string.Join(",", cancelled), "its wait cancelled, no other");

            Check.Equal(0, list.EndIdle(), "nothing newly ended on the next pass");
            Check.Equal("10,10", string.Join(",", cancelled), "the ended connection's wait cancelled again");

            list.Reclaim(idle, ConnectionState.Reading);
            Check.Equal(0, list.EndIdle(), "nothing ended once taken back");
            Check.Equal("10,10", string.Join(",", cancelled), "a connection taken back is left alone");
        }
    }
}
