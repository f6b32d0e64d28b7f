// How the host treats a managed program, one shape per first argument; "ready" on standard
// output when the program waits for the test's signal:
//   plain [engine]          waits to be stopped; with "engine", after a callback on a pump worker
//   cancel keep|exit [engine]  the same, with a Console.CancelKeyPress handler that keeps the
//                           program running (then Main returns 3) or lets it end
//   take                    takes the stop signals; a thread of its own prints one line per
//                           signal and checks the pump still delivers; exit 0 on SIGINT
//   continuation            a continuation of a binding Task waits for a second callback
//   failures N              N callbacks throw while standard error is a full pipe
// Every wait has a deadline; a shape that outlives it returns 4.
using System;
using System.Diagnostics;
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

    static int Take()
    {
        Engine.TakeStopSignals();
        if (!PumpDelivers()) return 5;
        int status = 4;
        var waiter = new Thread(() => {
            int signal;
            while ((signal = Engine.WaitStopSignal(LifeMsec)) != 0) {
                Console.WriteLine("signal {0}, pump {1}", signal, PumpDelivers() ? "delivers" : "stalled");
                if (signal == 2) {
                    status = 0;
                    return;
                }
            }
        });
        waiter.Start();
        Console.WriteLine("ready");
        waiter.Join();
        return status;
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
        Console.WriteLine("second callback {0}", both.Result);
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
