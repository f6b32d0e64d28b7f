// How the host treats a managed program, one shape per first argument; "ready" on standard
// output when the program waits for the test's signal:
//   plain [engine]          waits to be stopped; with "engine", after a callback on a pump worker
//   cancel keep|exit [engine]  the same, with a Console.CancelKeyPress handler that keeps the
//                           program running (then Main returns 3) or lets it end
//   take                    takes the stop signals and sends them to its own threads; exits
//                           with the number of signals that did not arrive
//   continuation            a continuation of a binding Task waits for a second callback; exit 0
//                           when it came
//   failures N              N callbacks throw (standard error is a full pipe in the test)
// Every wait has a deadline; plain and cancel return 4 when they outlive theirs.
using System;
using System.Diagnostics;
using System.IO;
using System.Runtime.InteropServices;
using System.Threading;
using System.Threading.Tasks;
using Vrns;

static class HostingProbe
{
    const int DeadlineMsec = 5000;
    const int LifeMsec = 60000;

    // Writes one byte count times through fd, one write at a time, reading each from peer, and
    // throws from every completion.
    sealed class Thrower : IWriteTarget
    {
        static readonly ArraySegment<byte> one = new ArraySegment<byte>(new byte[1]);
        readonly byte[] sink = new byte[16];
        readonly int peer;
        int left;

        public Thrower(int fd, int peer, int count)
        {
            this.peer = peer;
            left = count;
            Writes.Write(fd, one, default(ArraySegment<byte>), 5, this);
        }

        public void OnWriteDone(int fd, int result)
        {
            int errno;
            Posix.Receive(peer, sink, 0, sink.Length, out errno);
            if (Interlocked.Decrement(ref left) > 0) Writes.Write(fd, one, default(ArraySegment<byte>), 5, this);
            throw new InvalidOperationException("probe failure");
        }
    }

    // One callback through the engine and a pump worker, within the deadline.
    static bool PumpDelivers()
    {
        int a, b;
        if (!Posix.SocketPair(out a, out b)) return false;
        Engine.Start();
        Task<int> writable = Events.WaitAsync(a, Interest.Write, 5);
        bool ok = writable.Wait(DeadlineMsec) && writable.Result == EventCode.Writable;
        Posix.Close(a);
        Posix.Close(b);
        return ok;
    }

    static int Plain(bool engine)
    {
        if (engine && !PumpDelivers()) return 5;
        Console.WriteLine("ready");
        Thread.Sleep(LifeMsec);
        return 4;
    }

    static int Cancel(bool keep, bool engine)
    {
        var fired = new ManualResetEventSlim();
        Console.CancelKeyPress += (sender, e) => {
            Console.WriteLine("cancel fired");
            e.Cancel = keep;
            fired.Set();
        };
        if (engine && !PumpDelivers()) return 5;
        Console.WriteLine("ready");
        if (!fired.Wait(LifeMsec)) return 4;
        if (keep) return 3;
        Thread.Sleep(LifeMsec);  // the runtime ends the process meanwhile
        return 4;
    }

    [DllImport("libc")]
    static extern int getpid();
    [DllImport("libc")]
    static extern int tgkill(int pid, int tid, int signal);

    // Whether the thread blocks SIGTERM. None of the program's does (ExitProbe's "mask" checks
    // that); under qemu-user the emulator's own thread does, and cannot be handed one.
    static bool BlocksSigterm(string task)
    {
        foreach (string line in File.ReadAllLines(task + "/status"))
            if (line.StartsWith("SigBlk:")) return (Convert.ToUInt64(line.Substring(7).Trim(), 16) & (1UL << 14)) != 0;
        return false;
    }

    // SIGTERM to each thread in turn (the runtime's, the engine's loop thread, the pump's
    // workers) reaches the wait, and the pump, interrupted in its waits, goes on delivering;
    // then SIGINT. Returns the number of signals that did not arrive so.
    static int Take()
    {
        Engine.TakeStopSignals();
        if (!PumpDelivers()) return 100;
        int pid = getpid(), failed = 0;
        foreach (string task in Directory.GetDirectories("/proc/self/task")) {
            if (BlocksSigterm(task)) continue;
            if (tgkill(pid, int.Parse(Path.GetFileName(task)), 15) != 0) continue;  // it has ended
            int signal = Engine.WaitStopSignal(DeadlineMsec);
            if (signal != 15 || !PumpDelivers()) {
                Console.Error.WriteLine("SIGTERM to thread {0}: got {1}", Path.GetFileName(task), signal);
                failed++;
            }
        }
        tgkill(pid, pid, 2);
        return failed + (Engine.WaitStopSignal(DeadlineMsec) == 2 ? 0 : 1);
    }

    // Run inline on the pump worker that delivered the first callback, the wait below would
    // hold the only worker that could deliver the second.
    static async Task<int> SecondCallbackFromContinuation(int a, int b)
    {
        await Events.WaitAsync(a, Interest.Write, 5);
        Task<int> second = Events.WaitAsync(b, Interest.Write, 5);
        return second.Wait(DeadlineMsec) ? second.Result : -1;
    }

    static int Continuation()
    {
        int a, b;
        if (!Posix.SocketPair(out a, out b)) return 5;
        Engine.Start();
        Task<int> both = SecondCallbackFromContinuation(a, b);
        if (!both.Wait(2 * DeadlineMsec)) return 4;
        return both.Result == EventCode.Writable ? 0 : 1;
    }

    static int Failures(int count)
    {
        int a, b;
        if (!Posix.SocketPair(out a, out b)) return 5;
        Engine.Start();
        new Thrower(a, b, count);
        var clock = Stopwatch.StartNew();
        while (Engine.CallbackFailures < count && clock.ElapsedMilliseconds < DeadlineMsec) Thread.Sleep(10);
        Console.WriteLine("failures {0}, dropped {1}, pump {2}", Engine.CallbackFailures,
                          Engine.CallbackReportsDropped, PumpDelivers() ? "delivers" : "stalled");
        return 0;
    }

    static int Main(string[] args)
    {
        bool engine = args[args.Length - 1] == "engine";
        switch (args[0]) {
            case "plain":
                return Plain(engine);
            case "cancel":
                return Cancel(args[1] == "keep", engine);
            case "take":
                return Take();
            case "continuation":
                return Continuation();
            case "failures":
                return Failures(int.Parse(args[1]));
            default:
                return 2;
        }
    }
}
