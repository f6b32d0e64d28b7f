// The CPU time one thread has used, readable from any thread of the process: a pool tells a
// thread that is blocked (its clock stands still) from one that is busy or only waits for a
// processor (its clock moves, if slowly on a loaded machine). Taken by the thread itself (the C
// library names a thread's clock through its pthread_t, which only it knows for certain).
using System;
using System.Runtime.InteropServices;

namespace Vrns
{
    public struct ThreadCpuClock
    {
        [StructLayout(LayoutKind.Sequential)]
        struct Timespec
        {
            public long Seconds, Nanoseconds;
        }

        [DllImport("libc")]
        static extern UIntPtr pthread_self();
        [DllImport("libc")]
        static extern int pthread_getcpuclockid(UIntPtr thread, out int clock);
        [DllImport("libc")]
        static extern int clock_gettime(int clock, out Timespec now);

        readonly int clock;
        readonly bool valid;

        ThreadCpuClock(int clock, bool valid)
        {
            this.clock = clock;
            this.valid = valid;
        }

        // The calling thread's clock.
        public static ThreadCpuClock OfCurrentThread()
        {
            int id;
            bool ok = pthread_getcpuclockid(pthread_self(), out id) == 0;
            return new ThreadCpuClock(ok ? id : 0, ok);
        }

        // The CPU time used so far; -1 when it cannot be read (no clock was had, or the thread
        // has ended).
        public long Nanoseconds
        {
            get {
                Timespec t;
                if (!valid || clock_gettime(clock, out t) != 0) return -1;
                return t.Seconds * 1000000000L + t.Nanoseconds;
            }
        }
    }
}
