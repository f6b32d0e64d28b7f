// Shapes of a managed application's end, each after a callback has run on a pump worker (which
// attaches that worker to the runtime for good):
//   return N   Main returns N
//   exit N     Environment.Exit(N)
//   mask       exit 0 when no thread blocks a signal, as under plain mono: SIGINT and SIGTERM
//              can reach every thread (a program that never takes them ends on them) and so
//              can the collector's own, checked after a collection with the engine and the
//              pump running
using System;
using System.IO;
using System.Threading.Tasks;
using Vrns;

static class ExitProbe
{
    static int RunCallbackOnPumpWorker()
    {
        int a, b;
        Posix.SocketPair(out a, out b);
        Engine.Start();
        Task<int> writable = Events.WaitAsync(a, Interest.Write, 5);
        return writable.Wait(5000) ? writable.Result : -100;
    }

    // Threads that block any signal.
    static int ThreadsThatBlockSignals()
    {
        int wrong = 0;
        foreach (string task in Directory.GetDirectories("/proc/self/task")) {
            foreach (string line in File.ReadAllLines(task + "/status")) {
                if (!line.StartsWith("SigBlk:")) continue;
                ulong blocked = Convert.ToUInt64(line.Substring(7).Trim(), 16);
                if (blocked != 0) {
                    Console.Error.WriteLine("thread {0} blocks {1:x}", Path.GetFileName(task), blocked);
                    wrong++;
                }
            }
        }
        return wrong;
    }

    static int Main(string[] args)
    {
        if (RunCallbackOnPumpWorker() != EventCode.Writable) return 100;
        switch (args[0]) {
            case "return":
                return int.Parse(args[1]);
            case "exit":
                Environment.Exit(int.Parse(args[1]));
                return 101;
            case "mask":
                GC.Collect();
                return ThreadsThatBlockSignals();
            default:
                return 102;
        }
    }
}
