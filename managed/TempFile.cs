// A temporary file that has no name: open(O_TMPFILE) in a directory, mode 0600, so no other
// user can open it and nothing is left behind when the process dies; where the file system
// has no O_TMPFILE, a file created 0600 with O_EXCL under a random name and unlinked at once.
// Read and written at offsets (pread, pwrite). Any thread: the descriptor is used and closed
// under one lock, so a read racing Dispose gets ObjectDisposedException, never another file's
// bytes through a reused descriptor number.
using System;
using System.IO;
using System.Runtime.InteropServices;
using System.Security.Cryptography;

namespace Vrns
{
    public sealed unsafe class TempFile : IDisposable
    {
        // The same numbers on x86_64 and AArch64 (the generic Linux flags).
        const int ORdwr = 2, OCreat = 0x40, OExcl = 0x80, OCloexec = 0x80000, OTmpfile = 0x410000;
        const int OwnerReadWrite = 0x180;  // 0600
        const int EISDIR = 21, EOPNOTSUPP = 95;
        const int NameAttempts = 16;

        [DllImport("libc", SetLastError = true)]
        static extern int open(string path, int flags, int mode);
        [DllImport("libc", SetLastError = true)]
        static extern int unlink(string path);
        [DllImport("libc", SetLastError = true)]
        static extern IntPtr pwrite(int fd, byte* buffer, UIntPtr length, long offset);

        readonly object gate = new object();  // guards fd
        int fd;

        TempFile(int fd)
        {
            this.fd = fd;
        }

        // A new empty file in directory; IOException naming the errno when none can be made.
        public static TempFile Create(string directory)
        {
            int errno;
            int fd = Open(directory, OTmpfile | ORdwr | OCloexec, out errno);
            if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == Posix.EINVAL)) fd = CreateUnlinked(directory, out errno);
            if (fd < 0) throw new IOException("cannot make a temporary file in " + directory + ": errno " + errno);
            return new TempFile(fd);
        }

        static int CreateUnlinked(string directory, out int errno)
        {
            errno = Posix.EEXIST;
            var random = new byte[12];
            using (var rng = RandomNumberGenerator.Create()) {
                for (int i = 0; i < NameAttempts && errno == Posix.EEXIST; i++) {
                    rng.GetBytes(random);
                    string path = Path.Combine(directory, "vrns-" + BitConverter.ToString(random).Replace("-", ""));
                    int fd = Open(path, OCreat | OExcl | ORdwr | OCloexec, out errno);
                    if (fd < 0) continue;
                    unlink(path);
                    return fd;
                }
            }
            return -1;
        }

        static int Open(string path, int flags, out int errno)
        {
            int fd;
            do {
                fd = open(path, flags, OwnerReadWrite);
                errno = fd < 0 ? Marshal.GetLastWin32Error() : 0;
            } while (fd < 0 && errno == Posix.EINTR);
            return fd;
        }

        // Writes all of buffer[at..at+count) at offset.
        public void Write(byte[] buffer, int at, int count, long offset)
        {
            lock (gate) {
                CheckOpen();
                fixed (byte* p = buffer) {
                    while (count > 0) {
                        long n = (long)pwrite(fd, p + at, (UIntPtr)count, offset);
                        if (n < 0) {
                            int errno = Marshal.GetLastWin32Error();
                            if (errno == Posix.EINTR) continue;
                            throw new IOException("cannot write a temporary file: errno " + errno);
                        }
                        at += (int)n;
                        count -= (int)n;
                        offset += n;
                    }
                }
            }
        }

        // Bytes read into buffer[at..at+count) from offset; 0 at the end.
        public int Read(byte[] buffer, int at, int count, long offset)
        {
            lock (gate) {
                CheckOpen();
                int errno;
                int n = Posix.ReadAt(fd, buffer, at, count, offset, out errno);
                if (n < 0) throw new IOException("cannot read a temporary file: errno " + errno);
                return n;
            }
        }

        void CheckOpen()
        {
            if (fd < 0) throw new ObjectDisposedException("TempFile");
        }

        public void Dispose()
        {
            lock (gate) {
                if (fd < 0) return;
                Posix.Close(fd);
                fd = -1;
            }
        }
    }
}
