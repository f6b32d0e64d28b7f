// The one operation a running handler may have outstanding on its connection: a body read (a
// piece, or the whole body), a streamed write or the 101 of an upgrade, or the flush of earlier
// pipelined answers that the connection began for it. It holds the Task the handler awaits and,
// when the handler's own Task completed meanwhile, that Task, for the end to run once the
// operation is over: a request's end never overtakes its last operation. Guarded by the
// connection's lock; its Tasks are completed outside it (Complete), where an inline handler may
// go on at once.
using System;
using System.Threading;
using System.Threading.Tasks;

namespace Vrns.Http
{
    enum Operation { None, Flush, Read, ReadWhole, Write }

    sealed class HandlerOperation
    {
        // Results of an operation besides a byte count.
        public const int Failed = -1, Refused = -2;

        // A handler's Task that completed without one (a null Task), deferred as any other.
        static readonly Task NoTask = Task.FromResult(0);

        Operation kind;
        TaskCompletionSource<int> piece;
        TaskCompletionSource<byte[]> whole;
        Task finished;
        public bool SendingContinue;  // the operation's 100 Continue is being written

        public Operation Kind
        {
            get { return kind; }
        }

        public bool Outstanding
        {
            get { return kind != Operation.None; }
        }

        // The Task of an operation that completes with a count (or nothing): a read of a piece,
        // a write, a flush. Continuations run asynchronously unless the handler runs inline.
        public Task<int> Begin(Operation op, bool inline)
        {
            kind = op;
            piece = inline ? new TaskCompletionSource<int>()
                           : new TaskCompletionSource<int>(TaskCreationOptions.RunContinuationsAsynchronously);
            return piece.Task;
        }

        public Task<byte[]> BeginWhole(bool inline)
        {
            kind = Operation.ReadWhole;
            whole = inline ? new TaskCompletionSource<byte[]>()
                           : new TaskCompletionSource<byte[]>(TaskCreationOptions.RunContinuationsAsynchronously);
            return whole.Task;
        }

        // op, once the outstanding flush has ended (rare: only a handler that began by waiting).
        public Task<T> AfterFlush<T>(Func<Task<T>> op)
        {
            return piece.Task.ContinueWith(_ => op(), CancellationToken.None, TaskContinuationOptions.ExecuteSynchronously,
                                           TaskScheduler.Default).Unwrap();
        }

        public Task AfterFlush(Func<Task> op)
        {
            return piece.Task.ContinueWith(_ => op(), CancellationToken.None, TaskContinuationOptions.ExecuteSynchronously,
                                           TaskScheduler.Default).Unwrap();
        }

        // The handler's Task completed while the operation is outstanding: its end waits.
        public void DeferEnd(Task task)
        {
            finished = task ?? NoTask;
        }

        // Ends the operation (under the lock): what completes it, for Complete outside the lock,
        // and the handler's Task deferred meanwhile (found set: the handler has ended; its Task
        // null when it completed without one).
        public Ending End(out bool ended, out Task task)
        {
            var e = new Ending { Piece = piece, Whole = whole };
            kind = Operation.None;
            piece = null;
            whole = null;
            ended = finished != null;
            task = finished == NoTask ? null : finished;
            finished = null;
            return e;
        }

        public struct Ending
        {
            public TaskCompletionSource<int> Piece;
            public TaskCompletionSource<byte[]> Whole;

            // A count (or the whole body), or the failure; outside the lock.
            public void Complete(int result, byte[] body, Exception failure)
            {
                if (Whole != null) {
                    if (failure != null)
                        Whole.TrySetException(failure);
                    else
                        Whole.TrySetResult(body);
                } else if (failure != null) {
                    Piece.TrySetException(failure);
                } else {
                    Piece.TrySetResult(result);
                }
            }
        }
    }
}
