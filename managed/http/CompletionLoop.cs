// The completions of writes the writer finished at once (Written.Now), run as the writers' would
// be, on the thread that made the write. One that falls due from inside another (the next
// pipelined response, an inline handler's next piece, or a piece from another handler thread
// meanwhile) is counted and runs after it, in the same loop, so that a long pipelined input
// never deepens the stack and no completion is lost.
using System.Threading;

namespace Vrns.Http
{
    sealed class CompletionLoop
    {
        readonly IWriteTarget target;
        readonly int fd;
        int owed;  // completions due that have not run

        public CompletionLoop(IWriteTarget target, int fd)
        {
            this.target = target;
            this.fd = fd;
        }

        // A write completed at once: its completion runs now, or after the one running.
        public void Done()
        {
            if (Interlocked.Increment(ref owed) != 1) return;
            do {
                target.OnWriteDone(fd, WriteResult.Done);
            } while (Interlocked.Decrement(ref owed) != 0);
        }
    }
}
