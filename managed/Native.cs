// The executable's exports, declared with their exact native types. DllImport("__Internal")
// resolves in the main program, which exports them (it is linked with -rdynamic); the host
// library's own exports are found there too. SetLastError marks the exports that report
// failure through errno (read it with Marshal.GetLastWin32Error()).
using System;
using System.Runtime.InteropServices;

namespace Vrns
{
    // Callback types. Each runs on a pump worker, a thread the runtime did not create; the
    // function pointer handed to the executable must stay alive for as long as it may be called.
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void ListenCallback(int fd, int code, IntPtr userData);

    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void AcceptCallback(int fd, int code);

    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void WriteCompletion(int fd, int result, IntPtr userData);

    // Codes of ListenCallback.
    public static class EventCode
    {
        public const int Readable = 1;
        public const int Writable = 2;
        public const int TimedOutOrRemoved = 0;
        public const int ErrorOrReplaced = -1;
    }

    // rwevent of VrnEpoll_Listen.
    public enum Interest
    {
        Read = 1,
        Write = 2,
    }

    // Codes of AcceptCallback.
    public static class AcceptCode
    {
        public const int ConnectionWaiting = 1;
        public const int RegistrationEnded = -1;
    }

    // Results of WriteCompletion besides a positive errno.
    public static class WriteResult
    {
        public const int Done = 0;
        public const int Failed = -1;
        public const int ConnectionFailed = 104;
        public const int TimedOut = 110;
    }

    // Figures of the engine and of the pump for a status page.
    [StructLayout(LayoutKind.Sequential)]
    public struct VrnEpollStats
    {
        public long armedReadHalves, armedWriteHalves, readWheelNodes, writeWheelNodes;
    }

    [StructLayout(LayoutKind.Sequential)]
    public struct VrnPumpStats
    {
        public long queuedTasks, workers, extraWorkers;
    }

    public static class Native
    {
        const string Exe = "__Internal";

        [DllImport(Exe, SetLastError = true)]
        public static extern int VrnEpoll_Init();
        [DllImport(Exe, SetLastError = true)]
        public static extern int VrnEpoll_Start();
        [DllImport(Exe)]
        public static extern void VrnEpoll_Close();
        [DllImport(Exe)]
        public static extern int VrnEpoll_IsRunning();
        [DllImport(Exe, SetLastError = true)]
        public static extern int VrnEpoll_Listen(int fd, int rwevent, IntPtr userData, IntPtr callback, int timeout);
        [DllImport(Exe)]
        public static extern void VrnEpoll_Remove(int fd);
        [DllImport(Exe)]
        public static extern long VrnNowMsec();

        // task: a native Vrn_Event_Pump_TaskBase object, or IntPtr.Zero to only start the pump.
        [DllImport(Exe)]
        public static extern void VRN_EventPump_AddTask(IntPtr task);

        [DllImport(Exe)]
        public static extern void Vrn_Accept_Init();
        [DllImport(Exe, SetLastError = true)]
        public static extern int Vrn_Accept_Add(int fd, IntPtr callback);
        [DllImport(Exe)]
        public static extern void Vrn_Accept_Remove(int fd);

        // The buffers must stay where they are until the completion runs; it may run on a pump
        // worker before the call returns.
        [DllImport(Exe)]
        public static extern void Vrn_Tcp_WriteAsync(int fd, IntPtr data1, ulong length1, IntPtr data2, ulong length2,
                                                     IntPtr userData, IntPtr completion, int timeout);
        [DllImport(Exe)]
        public static extern void Vrn_Tcp_WriteFileAsync(int fd, IntPtr header, ulong headerLength, int fileFd,
                                                         long fileOffset, ulong fileLength, IntPtr userData,
                                                         IntPtr completion, int timeout);

        [DllImport(Exe)]
        public static extern IntPtr get_system_defines();

        [DllImport(Exe, SetLastError = true)]
        public static extern int VrnEpoll_GetStats(out VrnEpollStats stats);
        [DllImport(Exe, SetLastError = true)]
        public static extern int VRN_EventPump_GetStats(out VrnPumpStats stats);

        // VrnMutex: a recursive mutex whose whole state is one pthread_mutex_t, constructed in
        // memory the caller owns and never moves: VrnMutexSize bytes, room for the mutex on any
        // Linux processor (40 bytes on x86_64, 48 on AArch64).
        public const int VrnMutexSize = 64;
        [DllImport(Exe, EntryPoint = "_ZN8VrnMutexC1Ev")]
        public static extern void VrnMutex_Construct(IntPtr self);
        [DllImport(Exe, EntryPoint = "_ZN8VrnMutexD1Ev")]
        public static extern void VrnMutex_Destroy(IntPtr self);
        [DllImport(Exe, EntryPoint = "_ZN8VrnMutex4LockEv")]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool VrnMutex_Lock(IntPtr self);
        [DllImport(Exe, EntryPoint = "_ZN8VrnMutex7TrylockEv")]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool VrnMutex_Trylock(IntPtr self);
        [DllImport(Exe, EntryPoint = "_ZN8VrnMutex6UnlockEv")]
        public static extern void VrnMutex_Unlock(IntPtr self);

        // The host library's: from now on SIGINT and SIGTERM are recorded for the wait below
        // instead of ending the process; 0 or an errno.
        [DllImport(Exe)]
        public static extern int Orvanta_TakeStopSignals();

        // The host library's: takes the stop signals and waits up to msec for one; the signal's
        // number, or 0 when the time ran out.
        [DllImport(Exe)]
        public static extern int Orvanta_WaitStopSignal(int msec);
    }
}
