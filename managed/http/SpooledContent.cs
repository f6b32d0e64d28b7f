// A form part's bytes as they arrive: in memory up to a threshold, then in a temporary file
// (TempFile: no name, mode 0600) that the content's Dispose closes, which removes it. Its array
// is held against the server's body budget as it grows (BadRequestBodyException(503) when the
// budget has no room), and given back when the bytes move to the file; a field's stays held
// with the form, whose value it became. Written by
// the one form reader; read afterwards through any number of streams, each with its own
// position. A stream used after Dispose throws ObjectDisposedException.
using System;
using System.IO;
using System.Threading;
using System.Threading.Tasks;

namespace Vrns.Http
{
    sealed class SpooledContent : IDisposable
    {
        const int FirstBlock = 1024;

        readonly int threshold;
        readonly string tempDirectory;  // null: never spooled (the caller bounds the length)
        readonly BudgetShare share;  // null: outside the budget
        byte[] memory = new byte[0];
        TempFile file;
        long length;
        bool disposed;

        public SpooledContent(int threshold, string tempDirectory, BudgetShare share)
        {
            this.threshold = threshold;
            this.tempDirectory = tempDirectory;
            this.share = share;
        }

        public long Length
        {
            get { return length; }
        }

        public bool InFile
        {
            get { return file != null; }
        }

        public void Append(byte[] b, int at, int count)
        {
            if (count == 0) return;
            if (file == null && tempDirectory != null && length + count > threshold) {
                file = TempFile.Create(tempDirectory);
                file.Write(memory, 0, (int)length, 0);
                if (share != null) share.Give(memory.Length);
                memory = null;
            }
            if (file != null) {
                file.Write(b, at, count, length);
            } else {
                Grow((int)length + count);
                Buffer.BlockCopy(b, at, memory, (int)length, count);
            }
            length += count;
        }

        void Grow(int needed)
        {
            if (needed <= memory.Length) return;
            int size = Math.Max(memory.Length * 2, FirstBlock);
            while (size < needed) size *= 2;
            if (share != null) share.Take(size - memory.Length);
            Array.Resize(ref memory, size);
        }

        // The bytes, when they are in memory.
        public ArraySegment<byte> Memory
        {
            get { return new ArraySegment<byte>(memory, 0, (int)length); }
        }

        public Stream OpenRead()
        {
            if (disposed) throw new ObjectDisposedException("the form was disposed");
            if (file == null) return new MemoryStream(memory, 0, (int)length, false);
            return new TempFileStream(file, length);
        }

        public void Dispose()
        {
            disposed = true;
            if (file != null) file.Dispose();
        }
    }

    // A read-only, seekable view of a temporary file's first length bytes.
    sealed class TempFileStream : Stream
    {
        readonly TempFile file;
        readonly long length;
        long position;

        public TempFileStream(TempFile file, long length)
        {
            this.file = file;
            this.length = length;
        }

        public override int Read(byte[] buffer, int offset, int count)
        {
            if (buffer == null) throw new ArgumentNullException("buffer");
            if (offset < 0 || count < 0 || offset + count > buffer.Length) throw new ArgumentOutOfRangeException("count");
            int n = (int)Math.Min(count, Math.Max(0, length - position));
            if (n == 0) return 0;
            n = file.Read(buffer, offset, n, position);
            position += n;
            return n;
        }

        // A read of the page cache: done at once, like StaticFiles' reads.
        public override Task<int> ReadAsync(byte[] buffer, int offset, int count, CancellationToken token)
        {
            return Task.FromResult(Read(buffer, offset, count));
        }

        public override long Seek(long offset, SeekOrigin origin)
        {
            long to = origin == SeekOrigin.Begin ? offset : origin == SeekOrigin.Current ? position + offset : length + offset;
            if (to < 0) throw new IOException("a seek before the start");
            return position = to;
        }

        public override bool CanRead
        {
            get { return true; }
        }

        public override bool CanSeek
        {
            get { return true; }
        }

        public override bool CanWrite
        {
            get { return false; }
        }

        public override long Length
        {
            get { return length; }
        }

        public override long Position
        {
            get { return position; }
            set { Seek(value, SeekOrigin.Begin); }
        }

        public override void Flush()
        {
        }

        public override void SetLength(long value)
        {
            throw new NotSupportedException();
        }

        public override void Write(byte[] buffer, int offset, int count)
        {
            throw new NotSupportedException();
        }
    }
}
