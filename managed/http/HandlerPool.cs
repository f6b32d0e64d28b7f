// The threads handlers run on. A pump worker frames a request and queues its handler here, so a
// handler that blocks (synchronous I/O, .Result, .Wait(), Thread.Sleep, a lock) holds one of
// these threads and delays its own request only. The runtime's thread pool would not do: it adds
// a thread only slowly while its threads block, so four sleeping handlers would still hold up a
// fifth, instant one.
//
// Requests queue per route (a lane each, keyed by the route's handler) and lanes take turns, so
// a route whose handlers block holds up only itself: a lane holds at most maxRouteThreads
// threads (half the bound by default), and what waits beyond stays in its own queue, bounded by
// maxRouteQueue (beyond it TryPost refuses: the server answers 503). Per-lane turns alone would
// not do: once a blocking route holds every thread, no turn comes round.
//
// Continuations (a handler's awaits coming back through the pool's SynchronizationContext, and
// the library's own posts) have one lane of their own, taken before any request, with no queue
// bound (they belong to requests already admitted) and not held to the thread bound: a handler
// blocked in .Result may be waiting for one, so when every thread is blocked a continuation gets
// a thread beyond the bound (one per look of the watchdog), and the pool cannot deadlock on its
// own continuations however small the bound.
//
// Waking a sleeping thread for every item would cost each request two more wake-ups (the
// handler's thread, and the pump worker that takes the write's completion): that tripled the CPU
// time of a small request. So, as the pump does, an item wakes a thread only when none is awake
// to take it (or the queue outgrows the awake ones, up to one awake thread per processor), and an
// awake thread looks at the queue before it sleeps; threads the watchdog found blocked do not
// count as awake for this until they finish their item. An awake thread may be blocked in its
// handler, though: a watchdog looks every StallMsec while items wait that a thread could take,
// and when none was taken since its last look it reads the CPU clock of each thread running an
// item (ThreadCpuClock). A thread that neither ran nor waited for a processor for StalledLooks
// looks in a row is blocked; one that ran is busy, and one that waited is runnable on a loaded
// machine: another thread would only take turns with them. While fewer threads than processors
// are awake and not blocked, the missing ones are given (idle ones first, then new ones up to
// the bound), doubled on each look in a row that leaves items waiting (GiveThreads): the threads
// grow fast while handlers keep blocking, and CPU-bound handlers keep the pool near the number
// of processors. A thread idle for RetireMsec ends; the watchdog parks while nothing waits.
//
// Threads: Post and TryPost from any thread; the pool's threads run items; the watchdog has its
// own. gate guards everything but the wake-ups, which are given after it is left: a poster
// decides under it whether to wake, and a thread lists itself idle under it after finding nothing
// to take, so a post never finds a thread that is about to sleep without it.
using System;
using System.Collections.Generic;
using System.Runtime.CompilerServices;
using System.Threading;

namespace Vrns.Http
{
    sealed class HandlerPool : IDisposable
    {
        public const int DefaultMaxThreads = 1024;
        public const int DefaultMaxRouteQueue = 4096;
        const int DefaultStallMsec = 5;
        // A thread's CPU clock must stand still this many looks in a row to count as blocked: a
        // runnable thread on a loaded machine may wait a few milliseconds for a processor.
        const int StalledLooks = 2;
        // Standing still: less than this share of a look's time on a processor. A handler that
        // polls (Thread.Sleep(10) until something changes) uses a few microseconds each time it
        // wakes; one that computes gets whole time slices (a millisecond or more) when it runs.
        const int RunSharePerLook = 20;
        const int RetireMsec = 10000;
        // Awake threads take items in turn; beyond this many waiting per awake thread, another
        // is woken, up to one awake thread per processor (more would only take turns on them).
        const int BacklogPerThread = 8;
        static readonly int Processors = Environment.ProcessorCount;
        // The watchdog parks after this many looks at nothing to take.
        const int LooksBeforeParking = 500;
        // The doubling of GiveThreads stops here (2^16 threads a look).
        const int MaxStreak = 16;
        // Lanes of routes with nothing queued or running are dropped once there are more.
        const int LanesKept = 256;

        struct Item
        {
            public SendOrPostCallback Callback;
            public object State;
            public Lane Lane;  // null: a continuation
        }

        sealed class Lane
        {
            public readonly Queue<Item> Items = new Queue<Item>();
            public readonly object Key;
            public int Running;
            public bool Listed;  // in ready

            public Lane(object key)
            {
                Key = key;
            }
        }

        // A thread's wake-up: the binding's semaphore, a futex word, costs far less per wake-up
        // than the runtime's wait handles (see NativeSemaphore). The rest is guarded by gate.
        sealed class Worker
        {
            public readonly NativeSemaphore Wake = new NativeSemaphore();
            public readonly HandlerPool Pool;
            public ThreadCpuClock Clock;
            // The watchdog's own: the clock at its last look, and the looks in a row it stood still.
            public long CpuSeen = -1, WaitSeen = -1;
            public int Still;
            public bool Busy;  // running an item
            public long Runs;  // items taken
            // Counted in blockedSeen until it finishes its item; RunsSeen is the watchdog's own.
            public bool CountedBlocked;
            public long RunsSeen;
            public Lane Lane;  // the route of the request it runs; null for a continuation

            public Worker(HandlerPool pool)
            {
                Pool = pool;
            }
        }

        sealed class ByReference : IEqualityComparer<object>
        {
            public static readonly ByReference Instance = new ByReference();

            public new bool Equals(object a, object b)
            {
                return ReferenceEquals(a, b);
            }

            public int GetHashCode(object o)
            {
                return RuntimeHelpers.GetHashCode(o);
            }
        }

        readonly object gate = new object();
        readonly Queue<Item> continuations = new Queue<Item>();
        // Lanes with an item to take and room under their bound, in turn.
        readonly Queue<Lane> ready = new Queue<Lane>();
        readonly Dictionary<object, Lane> lanes = new Dictionary<object, Lane>(ByReference.Instance);
        // Sleeping workers, the most recently busy last: it is woken first (its stack and caches
        // are warm), and the ones at the bottom age out.
        readonly List<Worker> idle = new List<Worker>();
        readonly List<Worker> all = new List<Worker>();
        readonly int maxThreads, maxRouteThreads, maxRouteQueue;
        readonly Context context;
        readonly AutoResetEvent watchdogWake = new AutoResetEvent(false);
        int threads;  // started and not ended
        int peakThreads;
        bool watchdogStarted, watchdogParked, disposed;
        int awake;  // threads not sleeping: running an item or about to look at the queue
        int blockedSeen;  // awake threads the watchdog found blocked (see CountBlocked)
        int waiting;  // items queued, continuations and requests
        long taken;  // items taken, for the watchdog's look
        int stallMsec = DefaultStallMsec;
        // The watchdog's own: gives in a row, and stalled looks since the last give.
        int streak, looksSinceGive;

        [ThreadStatic] static Worker current;

        public HandlerPool(int maxThreads, int maxRouteThreads = 0, int maxRouteQueue = DefaultMaxRouteQueue)
        {
            if (maxThreads < 1) throw new ArgumentOutOfRangeException("maxThreads", "at least 1");
            if (maxRouteThreads < 0 || maxRouteThreads > maxThreads)
                throw new ArgumentOutOfRangeException("maxRouteThreads", "0 (half of maxThreads) to maxThreads");
            if (maxRouteQueue < 1) throw new ArgumentOutOfRangeException("maxRouteQueue", "at least 1");
            this.maxThreads = maxThreads;
            this.maxRouteThreads = maxRouteThreads > 0 ? maxRouteThreads : Math.Max(1, maxThreads / 2);
            this.maxRouteQueue = maxRouteQueue;
            context = new Context(this);
        }

        // The watchdog's period; tests lengthen it to see that posts alone wake threads.
        internal int StallMsec
        {
            get { return Volatile.Read(ref stallMsec); }
            set { Volatile.Write(ref stallMsec, value); }
        }

        long MinRunNsPerLook
        {
            get { return StallMsec * 1000000L / RunSharePerLook; }
        }

        internal int Threads
        {
            get { lock (gate) return threads; }
        }

        // The most threads alive at once since the pool began.
        internal int PeakThreads
        {
            get { lock (gate) return peakThreads; }
        }

        // True on one of this pool's threads.
        public bool OnPoolThread
        {
            get { return current != null && current.Pool == this; }
        }

        // True on a thread of this pool that runs a request of route: another request of it may
        // run here at once, as the thread counts against the route's bound already.
        public bool RunsRoute(object route)
        {
            Worker w = current;
            return w != null && w.Pool == this && w.Lane != null && ReferenceEquals(w.Lane.Key, route);
        }

        // Queues a request of route; false when its route's queue is full or the pool disposed.
        public bool TryPost(object route, SendOrPostCallback callback, object state)
        {
            Worker woken;
            bool start;
            lock (gate) {
                if (disposed) return false;
                Lane lane = LaneOf(route);
                if (lane.Items.Count >= maxRouteQueue) return false;
                lane.Items.Enqueue(new Item { Callback = callback, State = state, Lane = lane });
                waiting++;
                List(lane);
                WakeIfNone(out woken, out start);
            }
            Wake(woken, start);
            return true;
        }

        // Queues a continuation. After Dispose it goes to the runtime's thread pool, so a Task
        // still waiting for it completes.
        public void Post(SendOrPostCallback callback, object state)
        {
            Worker woken = null;
            bool start = false, queued = false;
            lock (gate) {
                if (!disposed) {
                    continuations.Enqueue(new Item { Callback = callback, State = state });
                    waiting++;
                    queued = true;
                    WakeIfNone(out woken, out start);
                }
            }
            if (queued)
                Wake(woken, start);
            else
                ThreadPool.UnsafeQueueUserWorkItem(s => callback(s), state);
        }

        // Ends the threads once they finish what they run; requests still queued are refused
        // through refuse (each with its state), continuations go to the runtime's thread pool.
        public void Dispose(Action<object> refuse)
        {
            var refused = new List<Item>();
            var moved = new List<Item>();
            var woken = new List<Worker>();
            lock (gate) {
                if (disposed) return;
                disposed = true;
                foreach (Lane lane in lanes.Values) {
                    refused.AddRange(lane.Items);
                    lane.Items.Clear();  // a thread still running a request of it looks there next
                }
                moved.AddRange(continuations);
                lanes.Clear();
                ready.Clear();
                continuations.Clear();
                waiting = 0;
                woken.AddRange(idle);
                awake += idle.Count;
                idle.Clear();
            }
            foreach (Worker w in woken) w.Wake.Release();
            watchdogWake.Set();
            foreach (Item item in moved) ThreadPool.UnsafeQueueUserWorkItem(s => item.Callback(s), item.State);
            if (refuse != null)
                foreach (Item item in refused) refuse(item.State);
        }

        public void Dispose()
        {
            Dispose(null);
        }

        // Caller holds gate.
        Lane LaneOf(object route)
        {
            Lane lane;
            if (lanes.TryGetValue(route, out lane)) return lane;
            if (lanes.Count >= LanesKept) DropEmptyLanes();
            lane = new Lane(route);
            lanes.Add(route, lane);
            return lane;
        }

        void DropEmptyLanes()
        {
            var empty = new List<object>();
            foreach (KeyValuePair<object, Lane> e in lanes)
                if (e.Value.Items.Count == 0 && e.Value.Running == 0) empty.Add(e.Key);
            foreach (object key in empty) lanes.Remove(key);
        }

        // Puts a lane in turn if it has an item to take and room under its bound. Caller holds gate.
        void List(Lane lane)
        {
            if (lane.Listed || lane.Items.Count == 0 || lane.Running >= maxRouteThreads) return;
            lane.Listed = true;
            ready.Enqueue(lane);
        }

        bool HasWork
        {
            get { return continuations.Count > 0 || ready.Count > 0; }
        }

        // Wakes a thread for what was just queued when none is awake to take it, or the queue
        // outgrows the awake ones. Caller holds gate.
        void WakeIfNone(out Worker woken, out bool start)
        {
            woken = null;
            start = false;
            if (!HasWork) return;
            int free = awake - blockedSeen;
            if (free <= 0 || (waiting > free * BacklogPerThread && free < Processors)) TakeThread(false, out woken, out start);
            if (!watchdogStarted) {
                watchdogStarted = true;
                StartThread(Watchdog, "vrns-http-watchdog");
            } else if (watchdogParked) {
                watchdogParked = false;
                watchdogWake.Set();
            }
        }

        // An idle worker to wake, or a new thread to start (beyond the bound only if allowed).
        // Caller holds gate.
        bool TakeThread(bool beyondBound, out Worker woken, out bool start)
        {
            woken = null;
            start = false;
            if (idle.Count > 0) {
                woken = idle[idle.Count - 1];
                idle.RemoveAt(idle.Count - 1);
            } else if (threads < maxThreads || beyondBound) {
                threads++;
                peakThreads = Math.Max(peakThreads, threads);
                start = true;
            } else {
                return false;
            }
            awake++;
            return true;
        }

        void Wake(Worker woken, bool start)
        {
            if (woken != null) woken.Wake.Release();
            if (start) StartThread(() => Run(new Worker(this)), "vrns-http-handler");
        }

        static void StartThread(ThreadStart body, string name)
        {
            new Thread(body) { IsBackground = true, Name = name }.Start();
        }

        void Run(Worker self)
        {
            current = self;
            self.Clock = ThreadCpuClock.OfCurrentThread();
            lock (gate) all.Add(self);
            while (true) {
                Item item;
                bool got;
                lock (gate) {
                    Finish(self);
                    got = Take(self, out item);
                    // Past the bound only for a continuation: with none left, such a thread ends.
                    if (!got && (disposed || threads > maxThreads)) {
                        End(self);
                        return;
                    }
                    if (!got) {
                        idle.Add(self);
                        awake--;
                    }
                }
                if (got) {
                    RunItem(item);
                } else if (!Sleep(self)) {
                    return;
                }
            }
        }

        // The next item: continuations first, then the lanes in turn. Caller holds gate.
        bool Take(Worker self, out Item item)
        {
            if (continuations.Count > 0) {
                item = continuations.Dequeue();
            } else {
                item = default(Item);
                while (ready.Count > 0) {
                    Lane lane = ready.Dequeue();
                    lane.Listed = false;
                    if (lane.Items.Count == 0 || lane.Running >= maxRouteThreads) continue;
                    item = lane.Items.Dequeue();
                    lane.Running++;
                    List(lane);  // to the back of the turn
                    break;
                }
                if (item.Callback == null) return false;
            }
            waiting--;
            taken++;
            self.Busy = true;
            self.Runs++;
            self.Lane = item.Lane;
            return true;
        }

        // The request the thread ran gives its route's place back. Caller holds gate.
        void Finish(Worker self)
        {
            self.Busy = false;
            if (self.CountedBlocked) {
                self.CountedBlocked = false;
                blockedSeen--;
            }
            if (self.Lane == null) return;
            self.Lane.Running--;
            List(self.Lane);
            self.Lane = null;
        }

        // Caller holds gate.
        void End(Worker self)
        {
            threads--;
            awake--;
            all.Remove(self);
        }

        // Sleeps until woken; false when the thread has been idle long enough to end.
        bool Sleep(Worker self)
        {
            if (self.Wake.Wait(RetireMsec)) return true;
            lock (gate) {
                // Still listed: nobody is waking it, so it may end.
                if (idle.Remove(self)) {
                    threads--;
                    all.Remove(self);
                    return false;
                }
            }
            self.Wake.Wait(-1);  // a poster took it off the list just now: its wake is on the way
            return true;
        }

        // An item may change the thread's context; the next starts with the pool's again.
        void RunItem(Item item)
        {
            if (SynchronizationContext.Current != context) SynchronizationContext.SetSynchronizationContext(context);
            try {
                item.Callback(item.State);
            } catch (Exception e) {
                ErrorLog.Write("vrns-http: a handler's continuation failed: " + e);
            }
        }

        void Watchdog()
        {
            long seen = -1;
            int emptyLooks = 0;
            var woken = new List<Worker>();
            var busy = new List<Worker>();
            while (true) {
                bool stalled = false;
                lock (gate) {
                    if (disposed) return;
                    if (!HasWork) {
                        emptyLooks++;
                    } else {
                        emptyLooks = 0;
                        stalled = taken == seen;
                        if (stalled)
                            foreach (Worker w in all) {
                                if (w.Busy) {
                                    busy.Add(w);
                                    w.RunsSeen = w.Runs;
                                } else {
                                    w.Still = 0;
                                }
                            }
                    }
                    seen = taken;
                    if (emptyLooks >= LooksBeforeParking) watchdogParked = true;
                }
                if (stalled) {
                    // The clocks are read outside the gate: a thousand of them take a while.
                    int blocked = Blocked(busy);
                    int starts;
                    lock (gate) {
                        CountBlocked(busy);
                        starts = disposed ? 0 : GiveThreads(blocked, woken);
                    }
                    busy.Clear();
                    foreach (Worker w in woken) w.Wake.Release();
                    woken.Clear();
                    for (; starts > 0; starts--) Wake(null, true);
                }
                // Parked, a post wakes it (a post while the flag was being set sees it set).
                watchdogWake.WaitOne(emptyLooks >= LooksBeforeParking ? -1 : StallMsec);
                if (emptyLooks >= LooksBeforeParking) emptyLooks = 0;
            }
        }

        // Nothing was taken since the last look. Threads awake and not blocked use the
        // processors (or are about to take an item): with as many as there are processors, more
        // would only take turns with them. Short of that, the missing ones are given, doubled on
        // each give in a row while items are left waiting (handlers that keep blocking; a thread
        // just given counts as running until its clock has been seen standing still, so the row
        // ends only after that), as far as the bound allows (continuations: one beyond it). Returns the threads to start;
        // the workers to wake go to woken. Caller holds gate.
        int GiveThreads(int blocked, List<Worker> woken)
        {
            int running = awake - blocked;
            if (running >= Processors) {
                if (++looksSinceGive > StalledLooks) streak = 0;
                return 0;
            }
            int takeable = Takeable();
            int give = Math.Min(takeable, (Processors - running) << streak);
            // A give that covers every item waiting ends the row: what comes next starts over.
            streak = give == takeable ? 0 : Math.Min(streak + 1, MaxStreak);
            looksSinceGive = 0;
            int starts = 0;
            for (int i = 0; i < give; i++) {
                Worker w;
                bool start;
                if (!TakeThread(false, out w, out start)) {
                    if (continuations.Count > 0 && TakeThread(true, out w, out start) && start) starts++;
                    break;
                }
                if (start) starts++;
                else woken.Add(w);
            }
            return starts;
        }

        // The items a thread could take now: the continuations, and what each lane in turn has
        // room for under its bound (a route at its bound needs no more threads, however many of
        // its requests wait). Caller holds gate.
        int Takeable()
        {
            int n = continuations.Count;
            foreach (Lane lane in ready) n += Math.Min(lane.Items.Count, maxRouteThreads - lane.Running);
            return n;
        }

        // The threads just measured blocked that are still in the same item count as not awake
        // for a post (blockedSeen), until they finish it: a post then wakes a thread at once
        // rather than waiting for the watchdog's look. Caller holds gate.
        void CountBlocked(List<Worker> busy)
        {
            foreach (Worker w in busy) {
                if (w.CountedBlocked || !w.Busy || w.Runs != w.RunsSeen || w.Still < StalledLooks) continue;
                w.CountedBlocked = true;
                blockedSeen++;
            }
        }

        // Of the threads that were running an item, those that neither ran (their CPU clock stood
        // as good as still) nor waited for a processor over the looks before.
        int Blocked(List<Worker> busy)
        {
            int blocked = 0;
            foreach (Worker w in busy) {
                long now = w.Clock.Nanoseconds;
                bool ran = now >= 0 && w.CpuSeen >= 0 && now - w.CpuSeen >= MinRunNsPerLook;
                w.CpuSeen = now;
                // Its CPU clock stood still: blocked, or runnable and not given a processor (a
                // loaded machine), which its wait for one tells (a file read each, spared for the
                // threads already found blocked in the item they run).
                long wait = ran || Volatile.Read(ref w.CountedBlocked) ? -1 : w.Clock.RunQueueWaitNanoseconds;
                bool waited = wait >= 0 && w.WaitSeen >= 0 && wait - w.WaitSeen >= MinRunNsPerLook;
                if (!ran) w.WaitSeen = wait;
                w.Still = ran || waited ? 0 : w.Still + 1;
                if (w.Still >= StalledLooks) blocked++;
            }
            return blocked;
        }

        // Where a handler's await continuations go: back to the pool. Send runs at once.
        sealed class Context : SynchronizationContext
        {
            readonly HandlerPool pool;

            public Context(HandlerPool pool)
            {
                this.pool = pool;
            }

            public override void Post(SendOrPostCallback d, object state)
            {
                pool.Post(d, state);
            }

            public override void Send(SendOrPostCallback d, object state)
            {
                d(state);
            }

            public override SynchronizationContext CreateCopy()
            {
                return this;
            }
        }
    }
}
