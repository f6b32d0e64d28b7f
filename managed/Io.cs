// The safe layer over the engine, the writers and the listening-socket registry.
//
// Every native callback is one static delegate, created once and kept alive by a static field
// for the life of the process. What a registration is for travels as userData: a number into a
// HandleTable, never a closure, so a callback that arrives late or twice finds nothing. Buffers
// are pinned and registered before the write call, because the completion may run on a pump
// worker before the call returns, and stay pinned until the completion has run. Every callback
// body runs behind a catch-all that hands the exception to Engine.Report, which queues it for
// Engine.CallbackFailed on a thread of its own.
using System;
using System.Runtime.InteropServices;
using System.Threading;
using System.Threading.Tasks;

namespace Vrns
{
    // Receives one event of a one-shot registration: an EventCode.
    public interface IEventTarget
    {
        void OnEvent(int fd, int code);
    }

    // Receives the one completion of a write: a WriteResult or a positive errno.
    public interface IWriteTarget
    {
        void OnWriteDone(int fd, int result);
    }

    // Receives a listening socket's notifications: an AcceptCode.
    public interface IAcceptTarget
    {
        void OnAccept(int listenFd, int code);
    }

    // Turns a callback into a Task. Continuations never run inline on the pump worker that
    // delivered the callback, whatever the caller's options: they go to the thread pool, so a
    // continuation that blocks holds up a pool thread, not the pump.
    sealed class TaskTarget : IEventTarget, IWriteTarget
    {
        readonly TaskCompletionSource<int> source;

        public TaskTarget(TaskCreationOptions options)
        {
            source = new TaskCompletionSource<int>(options | TaskCreationOptions.RunContinuationsAsynchronously);
        }

        public Task<int> Task
        {
            get { return source.Task; }
        }

        public void OnEvent(int fd, int code)
        {
            source.TrySetResult(code);
        }

        public void OnWriteDone(int fd, int result)
        {
            source.TrySetResult(result);
        }

        public void Fail(Exception e)
        {
            source.TrySetException(e);
        }
    }

    public static class Events
    {
        static readonly HandleTable<IEventTarget> waiting = new HandleTable<IEventTarget>();
        static readonly ListenCallback callback = OnListen;
        static readonly IntPtr callbackPointer = Marshal.GetFunctionPointerForDelegate(callback);

        // Arms one-shot interest with a time-out in seconds (0: 30). target.OnEvent runs once on
        // a pump worker. Returns 0, or the errno of the refusal (EINVAL for a null target or an
        // interest other than Read and Write); target is then never called.
        public static int Listen(int fd, Interest interest, IEventTarget target, int timeoutSec)
        {
            // Refused by the engine without an errno of its own; the thread's may be stale.
            if (target == null || (interest != Interest.Read && interest != Interest.Write)) return Posix.EINVAL;
            IntPtr key = waiting.Add(target);
            if (Native.VrnEpoll_Listen(fd, (int)interest, key, callbackPointer, timeoutSec) == 0) return 0;
            int errno = Marshal.GetLastWin32Error();
            waiting.Take(key);
            return errno != 0 ? errno : -1;
        }

        // The event code of one registration; a refused registration faults the task.
        public static Task<int> WaitAsync(int fd, Interest interest, int timeoutSec,
                                          TaskCreationOptions options = TaskCreationOptions.None)
        {
            var target = new TaskTarget(options);
            int errno = Listen(fd, interest, target, timeoutSec);
            if (errno != 0) target.Fail(new VrnsException("VrnEpoll_Listen", errno));
            return target.Task;
        }

        // Cancels both halves; their targets receive EventCode.TimedOutOrRemoved.
        public static void Remove(int fd)
        {
            Native.VrnEpoll_Remove(fd);
        }

        public static int Pending
        {
            get { return waiting.Count; }
        }

        static void OnListen(int fd, int code, IntPtr userData)
        {
            try {
                IEventTarget target = waiting.Take(userData);
                if (target != null) target.OnEvent(fd, code);
            } catch (Exception e) {
                Engine.Report(e);
            }
        }
    }

    public static class Writes
    {
        // One write in flight: its pins and whom to tell.
        sealed class Request
        {
            public GCHandle First, Second;
            public IWriteTarget Target;
            int released;

            public IntPtr Pin(ArraySegment<byte> segment, ref GCHandle pin)
            {
                if (segment.Array == null || segment.Count == 0) return IntPtr.Zero;
                pin = GCHandle.Alloc(segment.Array, GCHandleType.Pinned);
                return pin.AddrOfPinnedObject() + segment.Offset;
            }

            // Once, from whichever side gets here first.
            public void Release()
            {
                if (Interlocked.Exchange(ref released, 1) != 0) return;
                if (First.IsAllocated) First.Free();
                if (Second.IsAllocated) Second.Free();
            }
        }

        static readonly HandleTable<Request> inFlight = new HandleTable<Request>();
        static readonly WriteCompletion completion = OnWritten;
        static readonly IntPtr completionPointer = Marshal.GetFunctionPointerForDelegate(completion);
        static long started, completed, stray;

        // Writes first then second (either may be empty) and calls target.OnWriteDone once, on a
        // pump worker; the arrays stay pinned until then. Time-out in seconds (0: the default).
        public static void Write(int fd, ArraySegment<byte> first, ArraySegment<byte> second, int timeoutSec,
                                 IWriteTarget target)
        {
            var request = new Request { Target = target };
            IntPtr a = request.Pin(first, ref request.First);
            IntPtr b = request.Pin(second, ref request.Second);
            IntPtr key = inFlight.Add(request);
            Interlocked.Increment(ref started);
            Native.Vrn_Tcp_WriteAsync(fd, a, (ulong)first.Count, b, (ulong)second.Count, key, completionPointer,
                                      timeoutSec);
            UnpinEarlyIfBroken(request);
        }

        // Sends first then second now, without the writer: as much as the socket takes at once
        // (non-blocking). True when it took everything, which counts as a write begun and
        // completed. Else first and second are left holding what it did not take, for the
        // caller to Write, and errno says why (0: a part was taken; EAGAIN: no room at all).
        public static bool SendAtOnce(int fd, ref ArraySegment<byte> first, ref ArraySegment<byte> second, out int errno)
        {
            int sent = Posix.SendNow(fd, first, second, out errno);
            if (sent == first.Count + second.Count) {
                Interlocked.Increment(ref started);
                Interlocked.Increment(ref completed);
                return true;
            }
            if (sent > 0) {
                int fromFirst = Math.Min(sent, first.Count);
                first = Rest(first, fromFirst);
                second = Rest(second, sent - fromFirst);
            }
            return false;
        }

        static ArraySegment<byte> Rest(ArraySegment<byte> segment, int taken)
        {
            return taken == 0 ? segment : new ArraySegment<byte>(segment.Array, segment.Offset + taken, segment.Count - taken);
        }

        // Writes header, then length bytes of fileFd from offset; the header stays pinned and
        // fileFd must stay open until target.OnWriteDone runs.
        public static void WriteFile(int fd, ArraySegment<byte> header, int fileFd, long offset, long length,
                                     int timeoutSec, IWriteTarget target)
        {
            var request = new Request { Target = target };
            IntPtr h = request.Pin(header, ref request.First);
            IntPtr key = inFlight.Add(request);
            Interlocked.Increment(ref started);
            Native.Vrn_Tcp_WriteFileAsync(fd, h, (ulong)header.Count, fileFd, offset, (ulong)length, key,
                                          completionPointer, timeoutSec);
            UnpinEarlyIfBroken(request);
        }

        public static Task<int> WriteAsync(int fd, ArraySegment<byte> first, ArraySegment<byte> second, int timeoutSec,
                                           TaskCreationOptions options = TaskCreationOptions.None)
        {
            var target = new TaskTarget(options);
            Write(fd, first, second, timeoutSec, target);
            return target.Task;
        }

        public static Task<int> WriteFileAsync(int fd, ArraySegment<byte> header, int fileFd, long offset, long length,
                                               int timeoutSec,
                                               TaskCreationOptions options = TaskCreationOptions.None)
        {
            var target = new TaskTarget(options);
            WriteFile(fd, header, fileFd, offset, length, timeoutSec, target);
            return target.Task;
        }

        // Writes begun, completions delivered to their write, and completions that matched no
        // write in flight (a duplicate or a stranger's): started == completed + InFlight and
        // Stray == 0 while the executable keeps its contract.
        public static long Started
        {
            get { return Interlocked.Read(ref started); }
        }

        public static long Completed
        {
            get { return Interlocked.Read(ref completed); }
        }

        public static long Stray
        {
            get { return Interlocked.Read(ref stray); }
        }

        public static int InFlight
        {
            get { return inFlight.Count; }
        }

        static void OnWritten(int fd, int result, IntPtr userData)
        {
            try {
                Request request = inFlight.Take(userData);
                if (request == null) {
                    Interlocked.Increment(ref stray);
                    return;
                }
                request.Release();
                Interlocked.Increment(ref completed);
                request.Target.OnWriteDone(fd, result);
            } catch (Exception e) {
                Engine.Report(e);
            }
        }

        // A build with VRNS_UNPINNED_WRITES gives the buffers back to the collector as soon as the
        // call returns, while the write may still wait: the fault the pins exist to prevent, kept
        // so that the tests can show that their checker sees it.
        static void UnpinEarlyIfBroken(Request request)
        {
#if VRNS_UNPINNED_WRITES
            request.Release();
#endif
        }
    }

    public static class Listeners
    {
        static readonly object gate = new object();  // guards targets
        static readonly System.Collections.Generic.Dictionary<int, IAcceptTarget> targets =
            new System.Collections.Generic.Dictionary<int, IAcceptTarget>();
        static readonly AcceptCallback callback = OnAccept;
        static readonly IntPtr callbackPointer = Marshal.GetFunctionPointerForDelegate(callback);

        // Keeps a listening socket armed; target.OnAccept gets AcceptCode.ConnectionWaiting for
        // each readiness and AcceptCode.RegistrationEnded once when the registry gives the
        // socket up. Returns 0 or the errno of the refusal.
        public static int Add(int fd, IAcceptTarget target)
        {
            lock (gate) {
                if (targets.ContainsKey(fd)) return 17;  // EEXIST, as the registry says
                targets.Add(fd, target);
            }
            Native.Vrn_Accept_Init();
            if (Native.Vrn_Accept_Add(fd, callbackPointer) == 0) return 0;
            int errno = Marshal.GetLastWin32Error();
            lock (gate) targets.Remove(fd);
            return errno != 0 ? errno : -1;
        }

        // Stops notifications for fd; the socket stays open.
        public static void Remove(int fd)
        {
            Native.Vrn_Accept_Remove(fd);
            lock (gate) targets.Remove(fd);
        }

        static void OnAccept(int fd, int code)
        {
            try {
                IAcceptTarget target;
                lock (gate) {
                    if (!targets.TryGetValue(fd, out target)) return;
                    if (code == AcceptCode.RegistrationEnded) targets.Remove(fd);
                }
                target.OnAccept(fd, code);
            } catch (Exception e) {
                Engine.Report(e);
            }
        }
    }
}
