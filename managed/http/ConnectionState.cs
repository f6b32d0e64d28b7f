// A managed connection's one state (HttpConnection), the whole phase it is in, as the native
// connection names its own. Each move of the connection's own names the state it leaves:
//
//   WaitingFirst, Idle --bytes--> Reading --head complete--> Handling --handler done--> Sending
//     (or straight to the next buffered request, the answer gathered for a batch)
//   Sending --sent, kept alive--> Discarding (a body nobody read) --> Reading or Idle
//   Sending --sent, the connection's last--> Lingering --input drained--> Closed
//   Idle --the drain--> EndedIdle --> Closed, or what raced in answered as the last
//   Handling, Sending --the drain's bound--> Cut --> Closed
//   Handling --101 sent--> Upgraded (a WebSocket's: WebSocketTransport) --closed--> Lingering,
//     or --cut--> Closed
//   any --time-out, error, the peer gone--> Closed

namespace Vrns.Http
{
    // A connection's phase. Written by its owner (the callback or handler thread that runs for
    // it); read by the drain, which also moves Idle to EndedIdle and Handling or Sending to Cut.
    enum ConnectionState
    {
        WaitingFirst,  // accepted; nothing of its first request received yet
        Idle,  // kept alive after a response; nothing of its next request received yet
        Reading,  // a request begun: its head is arriving
        Handling,  // its handler runs (and the body reads and streamed writes it asks for)
        Sending,  // a response, a batch of them or a refusal handed to a writer
        Discarding,  // the body nobody read being skipped before the next request
        Lingering,  // its last response sent; unread input drained before the close
        EndedIdle,  // ended by the drain while idle: its owner closes it, or answers what raced in
        Cut,  // its response cut by the drain's bound: whatever completes next closes it
        Upgraded,  // a WebSocket's transport (WebSocketTransport); the drain closes its socket
        Closed,
    }
}
