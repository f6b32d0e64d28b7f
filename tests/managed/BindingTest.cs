// Drives each export of the executable from managed code, through the binding, and checks the
// codes it reports. Run as `vrns BindingTest.exe`; exit status 0 when every check held, else the
// number of failed checks. Each check waits with a deadline; collections run between them so
// that callbacks arrive on pump workers the collector has already stopped and restarted.
using System;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;
using System.Threading.Tasks;
using Vrns;

static class BindingTest
{
    // How long a check waits for what must come. Only a fault reaches it: a wait that held a
    // loaded machine's scheduler for five seconds once failed a sound run, so it is far beyond
    // any pause a busy machine makes, and beyond the native time-outs a check lets run out
    // (NativeSeconds), while the runner's 60-second kill stays above it.
    const int DeadlineMsec = 30000;
    // The native time-out of a wait or write that must complete before it: one a loaded machine
    // cannot reach either. Checks of the time-out itself give 1 second.
    const int NativeSeconds = 20;
    static int failures;

    [DllImport("libc", SetLastError = true)]
    static extern IntPtr send(int fd, byte[] data, UIntPtr length, int flags);
    [DllImport("libc")]
    static extern long syscall(long number);
    [DllImport("libc")]
    static extern int gettid();

    static void Check(string name, bool ok, string detail = "")
    {
        Console.WriteLine("{0} {1}{2}", ok ? "ok  " : "FAIL", name, ok ? "" : ": " + detail);
        if (!ok) failures++;
    }

    static void CheckEqual<T>(string name, T expected, T actual)
    {
        Check(name, Equals(expected, actual), "expected " + expected + ", got " + actual);
    }

    // The task's result, or int.MinValue when the deadline passed first.
    static int Await(Task<int> task)
    {
        return task.Wait(DeadlineMsec) ? task.Result : int.MinValue;
    }

    static int SendBytes(int fd, int count)
    {
        var chunk = new byte[count];
        return (int)send(fd, chunk, (UIntPtr)count, Engine.Defines.msg_nosignal | Engine.Defines.msg_dontwait);
    }

    // Fills fd's send path until the kernel refuses more.
    static void Fill(int fd)
    {
        while (SendBytes(fd, 65536) > 0) {
        }
    }

    static void Pair(out int a, out int b)
    {
        if (!Posix.SocketPair(out a, out b)) throw new InvalidOperationException("socketpair failed");
    }

    static void ConstantsRecord()
    {
        CheckEqual("record size", SystemDefines.Size, Marshal.SizeOf(typeof(SystemDefines)));
        IntPtr record = Native.get_system_defines();
        CheckEqual("record address stable", record, Native.get_system_defines());
        SystemDefines d = Engine.Defines;
        var fields = typeof(SystemDefines).GetFields();
        int matched = 0;
        for (int i = 0; i < fields.Length; i++) {
            if (fields[i].IsLiteral) continue;
            if ((int)fields[i].GetValue(d) == Marshal.ReadInt32(record, 4 * matched)) matched++;
        }
        CheckEqual("every field at its position", 43, matched);
        var expected = new[] { Tuple.Create(0, 2), Tuple.Create(1, 10), Tuple.Create(2, 1), Tuple.Create(3, 1),
                               Tuple.Create(4, 1), Tuple.Create(6, 1), Tuple.Create(8, 6), Tuple.Create(10, 0),
                               Tuple.Create(21, 1), Tuple.Create(24, 1), Tuple.Create(28, 16384),
                               Tuple.Create(29, 2048), Tuple.Create(40, 30) };
        foreach (var e in expected) CheckEqual("record position " + e.Item1, e.Item2, Marshal.ReadInt32(record, 4 * e.Item1));
        CheckEqual("sys_gettid is this processor's gettid", (long)gettid(), syscall(d.sys_gettid));
    }

    static void EngineCodes()
    {
        Engine.Start();
        Check("engine running", SpinWait.SpinUntil(() => Engine.IsRunning, DeadlineMsec));
        Check("engine clock", Engine.NowMsec > 0, Engine.NowMsec.ToString());
        var never = new Thrower();
        CheckEqual("bad descriptor gives EBADF", 9, Events.Listen(-1, Interest.Read, never, 1));
        CheckEqual("bad interest gives EINVAL", Posix.EINVAL, Events.Listen(0, (Interest)3, never, 1));

        int a, b;
        Pair(out a, out b);
        Task<int> readable = Events.WaitAsync(a, Interest.Read, 30);
        GC.Collect();
        SendBytes(b, 1);
        CheckEqual("read-ready", EventCode.Readable, Await(readable));

        int c, d;
        Pair(out c, out d);
        CheckEqual("time-out", EventCode.TimedOutOrRemoved, Await(Events.WaitAsync(c, Interest.Read, 1)));

        Task<int> removed = Events.WaitAsync(c, Interest.Read, 30);
        Events.Remove(c);
        CheckEqual("removal", EventCode.TimedOutOrRemoved, Await(removed));

        Fill(c);
        Task<int> old = Events.WaitAsync(c, Interest.Write, 30);
        Task<int> hold = Events.WaitAsync(c, Interest.Read, 30);
        Task<int> replacing = Events.WaitAsync(c, Interest.Write, 30);
        CheckEqual("replacement", EventCode.ErrorOrReplaced, Await(old));
        VrnEpollStats engine;
        VrnPumpStats pump;
        CheckEqual("engine figures", 0, Native.VrnEpoll_GetStats(out engine));
        Check("both halves armed and in the wheels", engine.armedReadHalves >= 1 && engine.armedWriteHalves >= 1 &&
                                                      engine.readWheelNodes >= 1 && engine.writeWheelNodes >= 1,
              engine.armedReadHalves + "/" + engine.armedWriteHalves + "/" + engine.readWheelNodes + "/" +
                  engine.writeWheelNodes);
        CheckEqual("pump figures", 0, Native.VRN_EventPump_GetStats(out pump));
        Check("pump running", pump.workers >= 1, pump.workers.ToString());
        Events.Remove(c);
        CheckEqual("replacing registration removed", EventCode.TimedOutOrRemoved, Await(replacing));
        Await(hold);
        foreach (int fd in new[] { a, b, c, d }) Posix.Close(fd);
    }

    static void WriteCompletions()
    {
        int a, b;
        Pair(out a, out b);
        byte[] first = Encoding.ASCII.GetBytes("hello, "), second = Encoding.ASCII.GetBytes("world");
        CheckEqual("write completion 0", WriteResult.Done,
                   Await(Writes.WriteAsync(a, new ArraySegment<byte>(first), new ArraySegment<byte>(second),
                                           NativeSeconds)));
        var got = new byte[32];
        int errno;
        int n = Posix.Receive(b, got, 0, got.Length, out errno);
        CheckEqual("both buffers arrive in order", "hello, world", Encoding.ASCII.GetString(got, 0, Math.Max(n, 0)));

        Fill(a);
        Task<int> waiting = Writes.WriteAsync(a, new ArraySegment<byte>(new byte[4096]), default(ArraySegment<byte>), 30);
        GC.Collect();
        Events.Remove(a);
        CheckEqual("write completion 110 (wait cancelled)", WriteResult.TimedOut, Await(waiting));

        Task<int> reset = Writes.WriteAsync(a, new ArraySegment<byte>(new byte[4096]), default(ArraySegment<byte>), 30);
        Posix.Close(b);
        CheckEqual("write completion 104 (peer gone while waiting)", WriteResult.ConnectionFailed, Await(reset));
        Posix.Close(a);
        CheckEqual("every completion matched its write", 0L, Writes.Stray);
        CheckEqual("no write left in flight", 0, Writes.InFlight);
    }

    sealed class AcceptProbe : IAcceptTarget
    {
        public readonly SemaphoreSlim Waiting = new SemaphoreSlim(0), Ended = new SemaphoreSlim(0);

        public void OnAccept(int fd, int code)
        {
            int errno;
            if (code == AcceptCode.ConnectionWaiting) {
                int s = Posix.Accept(fd, out errno);
                if (s >= 0) Posix.Close(s);
                Waiting.Release();
            } else if (code == AcceptCode.RegistrationEnded) {
                Ended.Release();
            }
        }
    }

    static void Accepts()
    {
        int port, errno;
        int listenFd = Posix.ListenTcp4(new byte[] { 127, 0, 0, 1 }, 0, 16, out port, out errno);
        Check("listening socket", listenFd >= 0, "errno " + errno);
        var probe = new AcceptProbe();
        CheckEqual("accept registration", 0, Listeners.Add(listenFd, probe));
        CheckEqual("duplicate accept registration refused with EEXIST", Posix.EEXIST, Listeners.Add(listenFd, probe));
        CheckEqual("accept registration beyond the bound gives EBADF", 9, Listeners.Add(1000001, probe));
        // A read registration of its own on the listening socket replaces the registry's (armed
        // by the time Add returned, and nothing is waiting yet to re-arm it).
        Task<int> mine = Events.WaitAsync(listenFd, Interest.Read, 30);
        Check("accept -1 when the registration ends", probe.Ended.Wait(DeadlineMsec));
        Events.Remove(listenFd);
        Await(mine);
        CheckEqual("registering again after the end", 0, Listeners.Add(listenFd, probe));
        using (var client = new System.Net.Sockets.Socket(System.Net.Sockets.AddressFamily.InterNetwork,
                                                          System.Net.Sockets.SocketType.Stream,
                                                          System.Net.Sockets.ProtocolType.Tcp)) {
            client.Connect(new System.Net.IPEndPoint(System.Net.IPAddress.Loopback, port));
            Check("accept 1", probe.Waiting.Wait(DeadlineMsec));
        }
        Listeners.Remove(listenFd);
        Posix.Close(listenFd);
    }

    sealed class Thrower : IEventTarget
    {
        public void OnEvent(int fd, int code)
        {
            throw new InvalidOperationException("thrown by a callback on purpose");
        }
    }

    static void CallbackExceptionsAreContained()
    {
        long before = Engine.CallbackFailures;
        int a, b;
        Pair(out a, out b);
        CheckEqual("throwing target registered", 0, Events.Listen(a, Interest.Write, new Thrower(), NativeSeconds));
        Check("exception reported, process alive",
              SpinWait.SpinUntil(() => Engine.CallbackFailures > before, DeadlineMsec));
        CheckEqual("the pump still delivers afterwards", EventCode.Writable,
                   Await(Events.WaitAsync(a, Interest.Write, NativeSeconds)));
        Posix.Close(a);
        Posix.Close(b);
    }

    static void Mutex()
    {
        IntPtr m = Marshal.AllocHGlobal(Native.VrnMutexSize);
        Native.VrnMutex_Construct(m);
        Check("mutex lock", Native.VrnMutex_Lock(m));
        Check("mutex lock again (recursive)", Native.VrnMutex_Lock(m));
        bool other = true;
        var t = new Thread(() => other = Native.VrnMutex_Trylock(m));
        t.Start();
        t.Join();
        CheckEqual("mutex trylock from another thread", false, other);
        Native.VrnMutex_Unlock(m);
        Native.VrnMutex_Unlock(m);
        Native.VrnMutex_Destroy(m);
        Marshal.FreeHGlobal(m);
        Native.VRN_EventPump_AddTask(IntPtr.Zero);  // starts the pump (running already), queues nothing
    }

    static int Main()
    {
        ConstantsRecord();
        EngineCodes();
        WriteCompletions();
        Accepts();
        CallbackExceptionsAreContained();
        Mutex();
        Engine.Stop();
        Console.WriteLine(failures == 0 ? "all checks held" : failures + " checks failed");
        return failures;
    }
}
