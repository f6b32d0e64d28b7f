// The threads handlers run on. A pump worker frames a request and queues its handler here, so a
// handler that blocks (synchronous I/O, .Result, .Wait(), Thread.Sleep, a lock) holds one of
// these threads and delays its own request only. The runtime's thread pool would not do: it adds
// a thread only slowly while its threads block, so four sleeping handlers would still hold up a
// fifth, instant one.
//
// Waking a sleeping thread for every item would cost each request two more wake-ups (the
// handler's thread, and the pump worker that takes the write's completion): that tripled the CPU
// time of a small request. So, as the pump does, an item wakes a thread only when none is awake
// to take it (or the queue outgrows the awake ones, up to one awake thread per processor), and an
// awake thread looks at the queue before it sleeps. An awake thread may be blocked in its
// handler, though: a watchdog looks every StallMsec while items wait, and when none was taken
// since its last look it gives waiting items threads, idle ones first, then new ones up to the
// bound (beyond it items wait their turn): as many as are awake, at most, so that the threads
// double while handlers keep blocking, yet a machine too loaded to schedule the awake threads
// for a while (which looks the same) does not get a thread per waiting item. A thread idle for
// RetireMsec ends; the watchdog parks while nothing waits.
//
// Each thread carries the pool's SynchronizationContext, so a handler's await continuations come
// back here, never to a pump worker or the runtime's pool.
//
// Threads: Post from any thread; the pool's threads run items; the watchdog has its own. The
// queue and the counters are lock-free; gate guards the idle list, the thread count and the
// watchdog's start. A poster counts the item (waiting) before it reads awake, and a thread going
// idle leaves awake before it looks at the queue again: with both full fences, either the poster
// sees the thread awake and the thread sees the item, or the poster wakes a thread.
using System;
using System.Collections.Concurrent;
using System.Collections.Generic;
using System.Threading;

namespace Vrns.Http
{
    sealed class HandlerPool
    {
        public const int DefaultMaxThreads = 1024;
        const int StallMsec = 5;
        const int RetireMsec = 10000;
        // Awake threads take items in turn; beyond this many waiting per awake thread, another
        // is woken, up to one awake thread per processor (more would only take turns on them).
        const int BacklogPerThread = 8;
        static readonly int Processors = Environment.ProcessorCount;
        // The watchdog parks after this many looks at an empty queue.
        const int LooksBeforeParking = 500;

        struct Item
        {
            public SendOrPostCallback Callback;
            public object State;
        }

        // A thread's wake-up: the binding's semaphore, a futex word, costs far less per wake-up
        // than the runtime's wait handles (see NativeSemaphore).
        sealed class Worker
        {
            public readonly NativeSemaphore Wake = new NativeSemaphore();
        }

        readonly ConcurrentQueue<Item> queue = new ConcurrentQueue<Item>();
        readonly object gate = new object();
        // Sleeping workers, the most recently busy last: it is woken first (its stack and caches
        // are warm), and the ones at the bottom age out.
        readonly List<Worker> idle = new List<Worker>();
        readonly int maxThreads;
        readonly Context context;
        readonly AutoResetEvent watchdogWake = new AutoResetEvent(false);
        int threads;  // started and not ended; guarded by gate
        bool watchdogStarted;  // guarded by gate
        int awake;  // threads not sleeping: running an item or about to look at the queue
        int waiting;  // items queued and not yet taken
        long taken;  // items taken, for the watchdog's look
        int watchdogParked;

        [ThreadStatic] static HandlerPool current;

        public HandlerPool(int maxThreads)
        {
            if (maxThreads < 1) throw new ArgumentOutOfRangeException("maxThreads", "at least 1");
            this.maxThreads = maxThreads;
            context = new Context(this);
        }

        // True on one of this pool's threads.
        public bool OnPoolThread
        {
            get { return current == this; }
        }

        public void Post(SendOrPostCallback callback, object state)
        {
            queue.Enqueue(new Item { Callback = callback, State = state });
            int n = Interlocked.Increment(ref waiting);
            int a = Volatile.Read(ref awake);
            if (a == 0 || (n > a * BacklogPerThread && a < Processors)) WakeOne();
            if (Volatile.Read(ref watchdogParked) != 0 && Interlocked.Exchange(ref watchdogParked, 0) != 0)
                watchdogWake.Set();
        }

        void WakeOne()
        {
            Worker woken;
            bool start;
            lock (gate) {
                TakeThread(out woken, out start);
                if (!watchdogStarted) {
                    watchdogStarted = true;
                    StartThread(Watchdog, "vrns-http-watchdog");
                }
            }
            Wake(woken, start);
        }

        // An idle worker to wake, or a new thread to start; neither at the bound. Caller holds gate.
        void TakeThread(out Worker woken, out bool start)
        {
            woken = null;
            start = false;
            if (idle.Count > 0) {
                woken = idle[idle.Count - 1];
                idle.RemoveAt(idle.Count - 1);
            } else if (threads < maxThreads) {
                threads++;
                start = true;
            } else {
                return;
            }
            Interlocked.Increment(ref awake);
        }

        void Wake(Worker woken, bool start)
        {
            if (woken != null) woken.Wake.Release();
            if (start) StartThread(() => Run(new Worker()), "vrns-http-handler");
        }

        static void StartThread(ThreadStart body, string name)
        {
            new Thread(body) { IsBackground = true, Name = name }.Start();
        }

        void Run(Worker self)
        {
            current = this;
            while (true) {
                Item item;
                if (queue.TryDequeue(out item)) {
                    Interlocked.Decrement(ref waiting);
                    Interlocked.Increment(ref taken);
                    RunItem(item);
                } else if (!GoIdle(self)) {
                    return;
                }
            }
        }

        // Sleeps until woken; false when the thread has been idle long enough to end.
        bool GoIdle(Worker self)
        {
            lock (gate) idle.Add(self);
            Interlocked.Decrement(ref awake);
            // An item posted while this thread still counted as awake woke nobody: take it.
            if (Volatile.Read(ref waiting) > 0) {
                lock (gate) {
                    if (idle.Remove(self)) {
                        Interlocked.Increment(ref awake);
                        return true;
                    }
                }
            }
            if (self.Wake.Wait(RetireMsec)) return true;
            lock (gate) {
                // Still listed: nobody is waking it, so it may end.
                if (idle.Remove(self)) {
                    threads--;
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
            while (true) {
                long now = Interlocked.Read(ref taken);
                int queued = Volatile.Read(ref waiting);
                if (queued > 0 && now == seen) GiveThreads(Math.Min(queued, Math.Max(1, Volatile.Read(ref awake))));
                seen = now;
                emptyLooks = queued == 0 ? emptyLooks + 1 : 0;
                if (emptyLooks < LooksBeforeParking) {
                    watchdogWake.WaitOne(StallMsec);
                    continue;
                }
                // Parked, then a look at the queue: an item posted before the flag was seen
                // would otherwise wait for the next post.
                Interlocked.Exchange(ref watchdogParked, 1);
                if (Volatile.Read(ref waiting) == 0) watchdogWake.WaitOne();
                Interlocked.Exchange(ref watchdogParked, 0);
                emptyLooks = 0;
            }
        }

        // The awake threads took nothing for a while: they are blocked (or, on a machine with
        // more runnable threads than processors, not scheduled: so at most as many again).
        void GiveThreads(int count)
        {
            for (int i = 0; i < count; i++) {
                Worker woken;
                bool start;
                lock (gate) TakeThread(out woken, out start);
                if (woken == null && !start) return;
                Wake(woken, start);
            }
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
