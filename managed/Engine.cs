// The process-wide side of the binding: starting and stopping the engine, the constants
// record, the stop signals, and where exceptions thrown by callback bodies go.
using System;
using System.Collections.Generic;
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

        // From now on SIGINT and SIGTERM are the program's, to collect with WaitStopSignal,
        // instead of ending the process as they do in a program that never takes them. A
        // program that announces that it is ready (a server printing its port) takes them first,
        // so that a signal sent on the announcement cannot end it. Taking twice does nothing.
        public static void TakeStopSignals()
        {
            int errno = Native.Orvanta_TakeStopSignals();
            if (errno != 0) throw new VrnsException("Orvanta_TakeStopSignals", errno);
        }

        // Takes the stop signals (see TakeStopSignals) and waits up to msec for one: the
        // signal's number, or 0 when the time ran out. Any thread may wait; a signal that
        // arrived while nobody waited is reported by the next wait.
        public static int WaitStopSignal(int msec)
        {
            return Native.Orvanta_WaitStopSignal(msec);
        }

        // Receives whatever a callback body throws: an exception that left a callback would end
        // the process. It runs on a reporter thread of its own, never on the pump worker that
        // caught the exception, so it may block (the default writes one line to standard error,
        // which may be a pipe nobody reads).
        public static Action<Exception> CallbackFailed = e => Console.Error.WriteLine("vrns: callback failed: " + e.Message);

        static long callbackFailures;
        static readonly FailureReporter reporter = new FailureReporter();

        // Exceptions caught in callbacks, reported or not.
        public static long CallbackFailures
        {
            get { return Interlocked.Read(ref callbackFailures); }
        }

        // Failures that found the reporter's queue full and were counted but not reported.
        public static long CallbackReportsDropped
        {
            get { return reporter.Dropped; }
        }

        internal static void Report(Exception e)
        {
            Interlocked.Increment(ref callbackFailures);
            reporter.Post(e);
        }

        // Hands each failure to CallbackFailed on a thread of its own, through a bounded queue: a
        // worker only queues, and a failure that finds the queue full is dropped and counted.
        sealed class FailureReporter
        {
            const int Capacity = 1024;
            readonly object gate = new object();  // guards queue and the thread's start
            readonly Queue<Exception> queue = new Queue<Exception>();
            Thread thread;
            long dropped;

            public long Dropped
            {
                get { return Interlocked.Read(ref dropped); }
            }

            public void Post(Exception e)
            {
                lock (gate) {
                    if (queue.Count >= Capacity) {
                        Interlocked.Increment(ref dropped);
                        return;
                    }
                    queue.Enqueue(e);
                    if (thread != null) {
                        Monitor.Pulse(gate);
                        return;
                    }
                    thread = new Thread(Run) { IsBackground = true, Name = "vrns failure reporter" };
                }
                thread.Start();
            }

            void Run()
            {
                for (;;) {
                    Exception e;
                    lock (gate) {
                        while (queue.Count == 0) Monitor.Wait(gate);
                        e = queue.Dequeue();
                    }
                    try {
                        Action<Exception> report = CallbackFailed;
                        if (report != null) report(e);
                    } catch (Exception) {
                    }
                }
            }
        }
    }
}
