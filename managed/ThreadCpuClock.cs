// The CPU time one thread has used, readable from any thread of the process, and the time it
// spent runnable but waiting for a processor: a pool tells a thread that is blocked (both stand
// still) from one that is busy (its CPU clock moves) or only waits its turn on a loaded machine
// (its wait moves). Taken by the thread itself (the C library names a thread's clock through its
// pthread_t, which only it knows for certain).
using System;
using System.Globalization;
using System.IO;
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
        [DllImport("libc")]
        static extern int gettid();

        readonly int clock;
        readonly bool valid;
        readonly string schedstat;  // the kernel's scheduler figures of the thread

        ThreadCpuClock(int clock, bool valid, int tid)
        {
            this.clock = clock;
            this.valid = valid;
            schedstat = "/proc/self/task/" + tid.ToString(CultureInfo.InvariantCulture) + "/schedstat";
        }

        // The calling thread's clock.
        public static ThreadCpuClock OfCurrentThread()
        {
            int id;
            bool ok = pthread_getcpuclockid(pthread_self(), out id) == 0;
            return new ThreadCpuClock(ok ? id : 0, ok, gettid());
        }

        // The time the thread has spent runnable, waiting for a processor (the second figure of
        // its schedstat); -1 when it cannot be read (a kernel without scheduler statistics, or
        // the thread has ended). A file read: for a thread whose CPU clock stood still only.
        public long RunQueueWaitNanoseconds
        {
            get {
                if (schedstat == null) return -1;
                try {
                    string[] figures = File.ReadAllText(schedstat).Split(' ');
                    long wait;
                    return figures.Length >= 2 && long.TryParse(figures[1], NumberStyles.None, CultureInfo.InvariantCulture, out wait)
                               ? wait
                               : -1;
                } catch (IOException) {
                    return -1;
                } catch (UnauthorizedAccessException) {
                    return -1;
                }
            }
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
