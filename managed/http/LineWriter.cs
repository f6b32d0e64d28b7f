// Writes whole lines to a descriptor from a thread of its own, so that no caller ever waits for
// the destination: a pipe nobody reads, a stopped terminal, a slow disk. As the native server's
// logs do it: Append copies the line into a bounded buffer and returns at once; while the buffer
// has room no line is lost, and when it is full the line is dropped and counted. Once the
// destination takes lines again, the writer thread hands the count to the drop report. Lines go
// out whole and in order; the memory held is at most twice the bound (the buffer, and the batch
// being written).
//
// Threads: any thread appends; the writer thread (started with the first line) swaps the buffer
// for its batch under gate and writes without it.
using System;
using System.Threading;

namespace Vrns.Http
{
    sealed class LineWriter
    {
        const int FirstSize = 16384;

        readonly int fd;
        readonly int capacity;
        readonly Action<long> report;
        readonly string name;
        readonly object gate = new object();  // guards everything below
        byte[] pending = new byte[FirstSize];
        byte[] batch = new byte[FirstSize];
        int pendingLength;
        bool writing, started;
        long dropped, reported;

        // report: called on the writer thread, with no lock held, with the lines dropped since.
        public LineWriter(int fd, int capacity, Action<long> report, string name)
        {
            this.fd = fd;
            this.capacity = Math.Max(capacity, 1);
            this.report = report;
            this.name = name;
        }

        // Lines dropped in all: the buffer was full, or the descriptor failed.
        public long Dropped
        {
            get { lock (gate) return dropped; }
        }

        // Queues line[0..length); false when the buffer is full and it was dropped.
        public bool Append(byte[] line, int length)
        {
            lock (gate) {
                if (pendingLength + length > capacity) {
                    dropped++;
                    return false;
                }
                if (pendingLength + length > pending.Length)
                    Array.Resize(ref pending, Math.Min(capacity, Math.Max(pending.Length * 2, pendingLength + length)));
                Buffer.BlockCopy(line, 0, pending, pendingLength, length);
                pendingLength += length;
                if (!started) {
                    started = true;
                    new Thread(Run) { IsBackground = true, Name = name }.Start();
                }
                Monitor.PulseAll(gate);
                return true;
            }
        }

        // Waits up to msec for every line given so far to be written (or failed); false when
        // the time ran out first.
        public bool Flush(int msec)
        {
            int deadline = Environment.TickCount + msec;
            lock (gate) {
                while (pendingLength > 0 || writing) {
                    int left = deadline - Environment.TickCount;
                    if (left <= 0) return false;
                    Monitor.Wait(gate, left);
                }
            }
            return true;
        }

        void Run()
        {
            while (true) {
                int length;
                lock (gate) {
                    while (pendingLength == 0) Monitor.Wait(gate);
                    byte[] taken = pending;
                    pending = batch;
                    batch = taken;
                    length = pendingLength;
                    pendingLength = 0;
                    writing = true;
                }
                int errno;
                bool written = Posix.WriteAll(fd, batch, 0, length, out errno);
                long unreported;
                lock (gate) {
                    writing = false;
                    if (!written) dropped += Lines(batch, length);
                    unreported = written ? dropped - reported : 0;
                    reported += unreported;
                    Monitor.PulseAll(gate);
                }
                // The destination moves again: say what it missed, without the lock.
                if (unreported > 0 && report != null) report(unreported);
            }
        }

        static int Lines(byte[] b, int length)
        {
            int n = 0;
            for (int i = 0; i < length; i++)
                if (b[i] == '\n') n++;
            return n;
        }
    }
}
