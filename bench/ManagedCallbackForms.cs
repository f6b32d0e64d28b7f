// One callback after another on one socket: "task" awaits each Events.WaitAsync (its
// continuation hops to the thread pool), "target" re-arms an IEventTarget from its own callback
// (no hop). Prints wall and CPU microseconds per callback after a warm-up.
using System;
using System.Diagnostics;
using System.Threading;
using System.Threading.Tasks;
using Vrns;

static class ManagedCallbackForms
{
    sealed class Rearm : IEventTarget
    {
        public readonly ManualResetEventSlim Done = new ManualResetEventSlim();
        int left;

        public Rearm(int count) { left = count; }

        public void OnEvent(int fd, int code)
        {
            if (--left > 0 && Events.Listen(fd, Interest.Write, this, 5) == 0) return;
            Done.Set();
        }
    }

    static async Task AwaitEach(int fd, int count)
    {
        for (int i = 0; i < count; i++) await Events.WaitAsync(fd, Interest.Write, 5);
    }

    static void Run(string form, int fd, int count)
    {
        if (form == "task") {
            AwaitEach(fd, count).Wait();
        } else {
            var target = new Rearm(count);
            Events.Listen(fd, Interest.Write, target, 5);
            target.Done.Wait();
        }
    }

    static int Main(string[] args)
    {
        int count = int.Parse(args[1]), a, b;
        Posix.SocketPair(out a, out b);
        Engine.Start();
        Run(args[0], a, count / 10);
        var process = Process.GetCurrentProcess();
        TimeSpan cpu = process.TotalProcessorTime;
        var clock = Stopwatch.StartNew();
        Run(args[0], a, count);
        process.Refresh();
        Console.WriteLine("{0:F2} {1:F2}", clock.Elapsed.TotalMilliseconds * 1000 / count,
                          (process.TotalProcessorTime - cpu).TotalMilliseconds * 1000 / count);
        return 0;
    }
}
