// What a stopping server needs to drain its connections: the list of open connections, and the
// drain's decisions, which follow from each connection's state alone, as the native server's.
//
// The drain ends a connection only while it is idle between requests: it marks it EndedIdle and
// cancels its read wait (Events.Remove), which calls the connection back on a pump worker, where
// the connection closes itself as every other close is made. It never shuts a socket down: a
// shut read side reports EPOLLRDHUP, which the writers take for a hang-up, so a request that
// raced in would get a truncated answer. A request that did race in is still answered, as the
// connection's last. A connection waiting for its first request, reading one, running its
// handler or sending is left to finish; at the drain's bound those still running a handler or
// sending are cut (Cut) and counted.
//
// A connection is listed from its start until just before its descriptor is closed, and the
// list's lock is held across both the removal and every use of a listed descriptor, so a
// descriptor is never used after its number was closed and reused. An owner takes a connection
// back from EndedIdle under the same lock (Reclaim), after which the drain leaves it alone.
using System;
using System.Threading;

namespace Vrns.Http
{
    sealed class ConnectionList
    {
        readonly object gate = new object();  // guards the links of every listed connection and head
        // Cancels a connection's read wait by its descriptor: the engine's Events.Remove; a
        // test's recorder in the unit tests.
        readonly Action<int> cancelWait;
        HttpConnection head;
        int count;

        public ConnectionList(Action<int> cancelWait)
        {
            this.cancelWait = cancelWait;
        }

        public int Count
        {
            get { return Volatile.Read(ref count); }
        }

        public void Add(HttpConnection c)
        {
            lock (gate) {
                c.ListPrev = null;
                c.ListNext = head;
                if (head != null) head.ListPrev = c;
                head = c;
                Interlocked.Increment(ref count);
            }
        }

        // A full fence after the count: see HttpServer.ConnectionClosed.
        public void Remove(HttpConnection c)
        {
            lock (gate) {
                if (c.ListPrev != null)
                    c.ListPrev.ListNext = c.ListNext;
                else
                    head = c.ListNext;
                if (c.ListNext != null) c.ListNext.ListPrev = c.ListPrev;
                c.ListPrev = c.ListNext = null;
                Interlocked.Decrement(ref count);
            }
        }

        // Ends every idle connection (Idle to EndedIdle) and cancels its wait, and cancels again
        // the waits of those ended earlier that their owner has not taken back (the wait may have
        // been armed just after the last cancel). Returns how many were newly ended. The state
        // changes are full fences, as the owner's move to Idle and the server's stopping flag are:
        // either the drain ends an idle connection here, or its owner sees the server stopping.
        public int EndIdle()
        {
            int n = 0;
            lock (gate) {
                for (HttpConnection c = head; c != null; c = c.ListNext) {
                    int was = c.TryMove(ConnectionState.Idle, ConnectionState.EndedIdle);
                    if (was == (int)ConnectionState.Idle || was == (int)ConnectionState.EndedIdle) cancelWait(c.Fd);
                    if (was == (int)ConnectionState.Idle) n++;
                }
            }
            return n;
        }

        // At the drain's bound: every connection still running its handler or sending goes to Cut
        // (a handler's RequestAborted is cancelled). Returns how many.
        public int CutBusy()
        {
            int n = 0;
            lock (gate) {
                for (HttpConnection c = head; c != null; c = c.ListNext) {
                    if (c.TryMove(ConnectionState.Handling, ConnectionState.Cut) == (int)ConnectionState.Handling) {
                        c.AbortHandler();  // the handler's RequestAborted: its request will not be answered
                        n++;
                    } else if (c.TryMove(ConnectionState.Sending, ConnectionState.Cut) == (int)ConnectionState.Sending) {
                        n++;
                    }
                }
            }
            return n;
        }

        // The owner of a connection in EndedIdle takes it back in state, after which the drain
        // leaves it alone.
        public void Reclaim(HttpConnection c, ConnectionState state)
        {
            lock (gate) c.Enter(state);
        }
    }
}
