// The few C library calls a managed server needs around the binding: listening and accepting,
// reading, opening files, closing. Each retries EINTR and returns -1 with the errno in *errno.
using System;
using System.Runtime.InteropServices;

namespace Vrns
{
    public static unsafe class Posix
    {
        public const int EINTR = 4, EAGAIN = 11, EEXIST = 17, EINVAL = 22;
        const int SolSocket = 1, SockStream = 1, SockCloexec = 0x80000, OCloexec = 0x80000, ORdonly = 0;

        [DllImport("libc", SetLastError = true)]
        static extern int socket(int domain, int type, int protocol);
        [DllImport("libc", SetLastError = true)]
        static extern int setsockopt(int fd, int level, int name, ref int value, int length);
        [DllImport("libc", SetLastError = true)]
        static extern int bind(int fd, byte[] address, int length);
        [DllImport("libc", SetLastError = true)]
        static extern int listen(int fd, int backlog);
        [DllImport("libc", SetLastError = true)]
        static extern int getsockname(int fd, byte[] address, ref int length);
        [DllImport("libc", SetLastError = true)]
        static extern int accept4(int fd, IntPtr address, IntPtr length, int flags);
        [DllImport("libc", SetLastError = true)]
        static extern IntPtr recv(int fd, byte* buffer, UIntPtr length, int flags);
        [DllImport("libc", SetLastError = true)]
        static extern IntPtr pread(int fd, byte* buffer, UIntPtr length, long offset);
        [DllImport("libc", SetLastError = true)]
        static extern int open(string path, int flags);
        [DllImport("libc", SetLastError = true)]
        static extern int socketpair(int domain, int type, int protocol, int[] fds);
        [DllImport("libc", SetLastError = true)]
        static extern int shutdown(int fd, int how);
        [DllImport("libc")]
        static extern int close(int fd);
        [DllImport("libc")]
        static extern int* __errno_location();
        [DllImport("libc", SetLastError = true)]
        static extern int statx(int dirfd, string path, int flags, uint mask, byte* buffer);

        // struct statx has one layout on every Linux processor: the mode at byte 28, the size at 40.
        const int AtEmptyPath = 0x1000, StatxSize = 256, StatxModeOffset = 28, StatxSizeOffset = 40;
        const uint StatxTypeAndSize = 0x1 | 0x200;
        const int SIfmt = 0xF000, SIfreg = 0x8000;

        // For the calls that report failure through errno without clearing it first.
        public static void ClearErrno()
        {
            *__errno_location() = 0;
        }

        // A non-blocking IPv4 listening socket on address:port (port 0: any); the port it got.
        public static int ListenTcp4(byte[] address, int port, int backlog, out int boundPort, out int errno)
        {
            SystemDefines d = Engine.Defines;
            boundPort = 0;
            int fd = socket(d.af_inet, SockStream | d.o_nonblock | SockCloexec, 0);
            if (fd < 0) {
                errno = Marshal.GetLastWin32Error();
                return -1;
            }
            int one = 1;
            var sa = new byte[16];
            sa[0] = (byte)d.af_inet;
            sa[2] = (byte)(port >> 8);
            sa[3] = (byte)port;
            Array.Copy(address, 0, sa, 4, 4);
            int length = sa.Length;
            if (setsockopt(fd, SolSocket, d.so_reuseaddr, ref one, 4) != 0 || bind(fd, sa, sa.Length) != 0 ||
                listen(fd, backlog) != 0 || getsockname(fd, sa, ref length) != 0) {
                errno = Marshal.GetLastWin32Error();
                close(fd);
                return -1;
            }
            boundPort = (sa[2] << 8) | sa[3];
            errno = 0;
            return fd;
        }

        public static bool SetSendBuffer(int fd, int bytes)
        {
            return setsockopt(fd, SolSocket, Engine.Defines.so_sndbuf, ref bytes, 4) == 0;
        }

        // A connected pair of non-blocking local stream sockets.
        public static bool SocketPair(out int a, out int b)
        {
            var fds = new int[2];
            bool ok = socketpair(1 /* AF_UNIX */, SockStream | Engine.Defines.o_nonblock | SockCloexec, 0, fds) == 0;
            a = fds[0];
            b = fds[1];
            return ok;
        }

        // A waiting connection, non-blocking; -1 with EAGAIN when there is none.
        public static int Accept(int listenFd, out int errno)
        {
            int fd;
            do {
                fd = accept4(listenFd, IntPtr.Zero, IntPtr.Zero, Engine.Defines.o_nonblock | SockCloexec);
                errno = fd < 0 ? Marshal.GetLastWin32Error() : 0;
            } while (fd < 0 && errno == EINTR);
            return fd;
        }

        // Bytes read into buffer[offset..], 0 at the end of the stream, -1 with errno.
        public static int Receive(int fd, byte[] buffer, int offset, int count, out int errno)
        {
            long n;
            fixed (byte* p = buffer) {
                do {
                    n = (long)recv(fd, p + offset, (UIntPtr)count, 0);
                    errno = n < 0 ? Marshal.GetLastWin32Error() : 0;
                } while (n < 0 && errno == EINTR);
            }
            return (int)n;
        }

        public static int ReadAt(int fd, byte[] buffer, int count, long offset, out int errno)
        {
            long n;
            fixed (byte* p = buffer) {
                do {
                    n = (long)pread(fd, p, (UIntPtr)count, offset);
                    errno = n < 0 ? Marshal.GetLastWin32Error() : 0;
                } while (n < 0 && errno == EINTR);
            }
            return (int)n;
        }

        public static int OpenRead(string path, out int errno)
        {
            int fd;
            do {
                fd = open(path, ORdonly | OCloexec);
                errno = fd < 0 ? Marshal.GetLastWin32Error() : 0;
            } while (fd < 0 && errno == EINTR);
            return fd;
        }

        // A regular file opened for reading, with its size; -1 with errno otherwise (EISDIR for
        // anything but a regular file).
        public static int OpenRegularFile(string path, out long size, out int errno)
        {
            size = 0;
            int fd = OpenRead(path, out errno);
            if (fd < 0) return -1;
            byte* st = stackalloc byte[StatxSize];
            if (statx(fd, "", AtEmptyPath, StatxTypeAndSize, st) != 0) {
                errno = Marshal.GetLastWin32Error();
                close(fd);
                return -1;
            }
            if ((*(ushort*)(st + StatxModeOffset) & SIfmt) != SIfreg) {
                errno = 21;  // EISDIR
                close(fd);
                return -1;
            }
            size = *(long*)(st + StatxSizeOffset);
            return fd;
        }

        public static void ShutdownWrite(int fd)
        {
            shutdown(fd, 1);
        }

        // Never retried: the descriptor is gone whatever close reports.
        public static void Close(int fd)
        {
            close(fd);
        }
    }
}
