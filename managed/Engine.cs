// The process-wide side of the binding: starting and stopping the engine, the constants
// record, the stop signals, and where exceptions thrown by callback bodies go.
using System;
using System.Runtime.InteropServices;
using System.Threading;

namespace Vrns
{
    public sealed class VrnsException : Exception
    {
        public readonly int Errno;

        public VrnsException(string call, int errno) : base(call + " failed, errno " + errno)
        {
            Errno = errno;
        }
    }

    public static class Engine
    {
        static readonly object gate = new object();  // serialises Start, guards started
        static bool started;
        static SystemDefines defines;
        static int definesRead;

        // Initialises and starts the engine once; later calls do nothing. The loop thread sets
        // IsRunning itself, shortly after.
        public static void Start()
        {
            lock (gate) {
                if (started) return;
                if (Native.VrnEpoll_Init() != 0) throw new VrnsException("VrnEpoll_Init", Marshal.GetLastWin32Error());
                // Start counts an errno the thread left behind as its own failure.
                Posix.ClearErrno();
                if (Native.VrnEpoll_Start() != 0) throw new VrnsException("VrnEpoll_Start", Marshal.GetLastWin32Error());
                started = true;
            }
        }

        // Asks the loop thread to end (within about 100 ms); it cannot be started again.
        public static void Stop()
        {
            Native.VrnEpoll_Close();
        }

        public static bool IsRunning
        {
            get { return Native.VrnEpoll_IsRunning() != 0; }
        }

        // The engine's cached clock, in milliseconds.
        public static long NowMsec
        {
            get { return Native.VrnNowMsec(); }
        }

        // The executable's constants record, copied once.
        public static SystemDefines Defines
        {
            get {
                if (Volatile.Read(ref definesRead) == 0) {
                    int size = Marshal.SizeOf(typeof(SystemDefines));
                    if (size != SystemDefines.Size)
                        throw new InvalidOperationException("SystemDefines is " + size + " bytes, the record " +
                                                            SystemDefines.Size);
                    defines = (SystemDefines)Marshal.PtrToStructure(Native.get_system_defines(), typeof(SystemDefines));
                    Volatile.Write(ref definesRead, 1);
                }
                return defines;
            }
        }

        // Waits up to msec for SIGINT or SIGTERM: the signal's number, or 0 when the time ran out.
        public static int WaitStopSignal(int msec)
        {
            return Native.Orvanta_WaitStopSignal(msec);
        }

        // Receives whatever a callback body throws: an exception that left a callback would end
        // the process. The default writes one line to standard error.
        public static Action<Exception> CallbackFailed = e => Console.Error.WriteLine("vrns: callback failed: " + e.Message);

        static long callbackFailures;

        public static long CallbackFailures
        {
            get { return Interlocked.Read(ref callbackFailures); }
        }

        internal static void Report(Exception e)
        {
            Interlocked.Increment(ref callbackFailures);
            try {
                Action<Exception> report = CallbackFailed;
                if (report != null) report(e);
            } catch (Exception) {
            }
        }
    }
}
