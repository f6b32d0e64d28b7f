// The handler pool on its own: a post wakes a sleeping thread without the watchdog's help;
// threads blocked in their items get more threads, threads busy with the processor do not; a
// route at its thread bound holds up only itself and its queue refuses past its bound; Dispose
// refuses what waits and ends the threads. Waits have deadlines far beyond what a loaded machine
// needs; the checks count threads, never time.
using System;
using System.Threading;
using Vrns;

namespace Vrns.Http.Units
{
    static class HandlerPoolTests
    {
        const int DeadlineMsec = 60000;
        // Long enough that the watchdog never looks during a test that slows it.
        const int WatchdogOffMsec = 600000;

        // Waits for the condition until the deadline; false if it never held.
        static bool WaitFor(Func<bool> condition)
        {
            int end = Environment.TickCount + DeadlineMsec;
            while (!condition()) {
                if (Environment.TickCount - end > 0) return false;
                Thread.Sleep(1);
            }
            return true;
        }

        // Uses the processor until the calling thread has spent msec of CPU time.
        static void Spin(int msec)
        {
            ThreadCpuClock clock = ThreadCpuClock.OfCurrentThread();
            long end = clock.Nanoseconds + msec * 1000000L;
            while (clock.Nanoseconds < end) {
            }
        }

        // With the watchdog as good as off, only the posts wake threads: one lost wake-up leaves
        // an item waiting past the deadline. Items are posted one after another (the thread goes
        // to sleep between them, or is about to) and from two threads at once.
        [Test]
        static void PostWakesASleepingThread()
        {
            using (var pool = new HandlerPool(8)) {
                pool.StallMsec = WatchdogOffMsec;
                var done = new SemaphoreSlim(0);
                object route = new object();
                for (int i = 0; i < 300; i++) {
                    if (i % 2 == 0)
                        pool.Post(_ => done.Release(), null);
                    else
                        pool.TryPost(route, _ => done.Release(), null);
                    if (!done.Wait(DeadlineMsec)) {
                        Check.Fail("item " + i + " posted alone never ran");
                        return;
                    }
                }
                int ran = 0;
                ThreadStart post = () => {
                    for (int i = 0; i < 500; i++) pool.Post(_ => Interlocked.Increment(ref ran), null);
                };
                var a = new Thread(post);
                var b = new Thread(post);
                a.Start();
                b.Start();
                a.Join();
                b.Join();
                Check.True(WaitFor(() => Volatile.Read(ref ran) == 1000), "items posted from two threads all ran: " + ran);
            }
        }

        // Items that block get a thread each; items that use the processor take turns on about
        // as many threads as there are processors.
        [Test]
        static void BlockedItemsGetThreadsBusyItemsDoNot()
        {
            const int Blocked = 16, Busy = 60, Margin = 4;
            using (var pool = new HandlerPool(128, 128)) {
                var release = new ManualResetEventSlim(false);
                int waitingInside = 0, busyDone = 0;
                object blockedRoute = new object(), busyRoute = new object();
                for (int i = 0; i < Blocked; i++)
                    pool.TryPost(blockedRoute, _ => {
                        Interlocked.Increment(ref waitingInside);
                        release.Wait();
                    }, null);
                Check.True(WaitFor(() => Volatile.Read(ref waitingInside) == Blocked),
                           "every blocked item got a thread: " + waitingInside + " of " + Blocked);
                int before = pool.PeakThreads;
                for (int i = 0; i < Busy; i++)
                    pool.TryPost(busyRoute, _ => {
                        Spin(20);
                        Interlocked.Increment(ref busyDone);
                    }, null);
                Check.True(WaitFor(() => Volatile.Read(ref busyDone) == Busy), "the busy items all ran: " + busyDone);
                int most = Blocked + 4 * Environment.ProcessorCount + Margin;
                Check.True(pool.PeakThreads <= most, "busy items took " + (pool.PeakThreads - before) + " threads more than the " +
                                                          before + " of the blocked ones; at most " + most + " in all");
                release.Set();
            }
        }

        // A route holding its bound of threads, all blocked: its next requests queue up to the
        // queue's bound and are refused beyond it, while another route's request runs.
        [Test]
        static void BlockedRouteHoldsUpOnlyItself()
        {
            const int RouteThreads = 3, RouteQueue = 4;
            using (var pool = new HandlerPool(8, RouteThreads, RouteQueue)) {
                var release = new ManualResetEventSlim(false);
                var other = new ManualResetEventSlim(false);
                int inside = 0, most = 0, ran = 0;
                object slow = new object();
                SendOrPostCallback block = _ => {
                    int now = Interlocked.Increment(ref inside);
                    for (int m = Volatile.Read(ref most); now > m; m = Volatile.Read(ref most))
                        Interlocked.CompareExchange(ref most, now, m);
                    release.Wait();
                    Interlocked.Decrement(ref inside);
                    Interlocked.Increment(ref ran);
                };
                for (int i = 0; i < RouteThreads; i++) Check.True(pool.TryPost(slow, block, null), "a request under the thread bound");
                Check.True(WaitFor(() => Volatile.Read(ref inside) == RouteThreads), "the route's threads all blocked");
                for (int i = 0; i < RouteQueue; i++) Check.True(pool.TryPost(slow, block, null), "request " + i + " within the queue's bound");
                Check.True(!pool.TryPost(slow, block, null), "a request past the queue's bound is refused");
                Check.True(pool.TryPost(new object(), _ => other.Set(), null), "another route's request is queued");
                Check.True(other.Wait(DeadlineMsec), "another route's request ran while the route was blocked");
                release.Set();
                Check.True(WaitFor(() => Volatile.Read(ref ran) == RouteThreads + RouteQueue), "the queued requests ran: " + ran);
                Check.Equal(RouteThreads, Volatile.Read(ref most), "the route's threads at once");
            }
        }

        // Dispose refuses what waits, turns later requests away and ends the threads.
        [Test]
        static void DisposeRefusesWaitingAndEndsThreads()
        {
            var pool = new HandlerPool(1);
            var release = new ManualResetEventSlim(false);
            var started = new ManualResetEventSlim(false);
            object route = new object();
            int refused = 0, ranLate = 0;
            pool.TryPost(route, _ => {
                started.Set();
                release.Wait();
            }, null);
            Check.True(started.Wait(DeadlineMsec), "the first request ran");
            for (int i = 0; i < 3; i++) pool.TryPost(route, _ => Interlocked.Increment(ref ranLate), null);
            pool.Dispose(_ => Interlocked.Increment(ref refused));
            Check.Equal(3, refused, "the waiting requests refused");
            Check.True(!pool.TryPost(route, _ => Interlocked.Increment(ref ranLate), null), "a request after Dispose is refused");
            var continued = new ManualResetEventSlim(false);
            pool.Post(_ => continued.Set(), null);
            Check.True(continued.Wait(DeadlineMsec), "a continuation after Dispose still runs");
            release.Set();
            Check.True(WaitFor(() => pool.Threads == 0), "the threads ended: " + pool.Threads);
            Check.Equal(0, Volatile.Read(ref ranLate), "refused requests never ran");
        }
    }
}
