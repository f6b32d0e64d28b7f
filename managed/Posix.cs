// The few C library calls a managed server needs around the binding: listening and accepting,
// reading, opening files, closing. Each retries EINTR and returns -1 with the errno in *errno.
using System;
using System.Runtime.InteropServices;
using System.Threading;

namespace Vrns
{
    // What statx says about an open file.
    public struct FileStatus
    {
        public int Mode;
        public long Device, Inode, Size, MtimeSec, CtimeSec;
        public uint MtimeNsec, CtimeNsec;

        public bool IsRegular
        {
            get { return (Mode & 0xF000) == 0x8000; }
        }

        public bool IsDirectory
        {
            get { return (Mode & 0xF000) == 0x4000; }
        }
    }

    public static unsafe class Posix
    {
        public const int EINTR = 4, EAGAIN = 11, EEXIST = 17, EINVAL = 22;
        const int SolSocket = 1, SockStream = 1, SockCloexec = 0x80000, OCloexec = 0x80000, ORdonly = 0;

        [DllImport("libc", SetLastError = true)]
        static extern int socket(int domain, int type, int protocol);
        [DllImport("libc", SetLastError = true)]
        static extern int setsockopt(int fd, int level, int name, ref int value, int length);
        [DllImport("libc", SetLastError = true)]
        static extern int listen(int fd, int backlog);
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
        [DllImport("libc", SetLastError = true)]
        static extern int accept4(int fd, byte* address, ref int length, int flags);
        [DllImport("libc", SetLastError = true)]
        static extern int bind(int fd, byte* address, int length);
        [DllImport("libc", SetLastError = true)]
        static extern int getsockname(int fd, byte* address, ref int length);
        [DllImport("libc", SetLastError = true)]
        static extern int open(byte* path, int flags);
        [DllImport("libc", SetLastError = true)]
        static extern long syscall(long number, int dirfd, byte* path, OpenHow* how, UIntPtr size);
        [DllImport("libc", SetLastError = true)]
        static extern int openat(int dirfd, byte* path, int flags);
        [DllImport("libc", SetLastError = true)]
        static extern int statx(int dirfd, byte* path, int flags, uint mask, byte* buffer);

        // struct statx has one layout on every Linux processor: the mode at byte 28, the size at 40.
        const int AtEmptyPath = 0x1000, StatxSize = 256, StatxModeOffset = 28, StatxSizeOffset = 40;
        const uint StatxTypeAndSize = 0x1 | 0x200;
        const int SIfmt = 0xF000, SIfreg = 0x8000;
        const int StatxInoOffset = 32, StatxCtimeOffset = 96, StatxMtimeOffset = 112, StatxDevMajorOffset = 136;
        const uint StatxBasicStats = 0x7ff;

        // openat2 has one number on every Linux processor (the calls added since 5.1 share it).
        const long SysOpenat2 = 437;
        const ulong ResolveNoMagiclinks = 0x02, ResolveBeneath = 0x08;
        const int OPath = 0x200000, ONoctty = 0x100;
        // O_DIRECTORY and O_NOFOLLOW are among the few flags whose values differ on AArch64.
        static readonly bool Arm64 = RuntimeInformation.ProcessArchitecture == Architecture.Arm64;
        static readonly int ODirectory = Arm64 ? 0x4000 : 0x10000, ONofollow = Arm64 ? 0x8000 : 0x20000;
        const int AtSymlinkNofollow = 0x100, SIflnk = 0xA000, NameMax = 255;
        const uint StatxType = 0x1;
        const int EPERM = 1, ENOTDIR = 20, EXDEV = 18, ENAMETOOLONG = 36, ELOOP = 40, ENOSYS = 38;
        // Set once openat2 answered ENOSYS: every open walks from then on.
        static bool openat2Missing;
        const int IpprotoTcp = 6, TcpNodelay = 1, ShutRead = 0, ShutBoth = 2;
        const int SockaddrInSize = 16;
        const int SockaddrIn6Size = 28;

        [StructLayout(LayoutKind.Sequential)]
        struct OpenHow
        {
            public ulong Flags, Mode, Resolve;
        }

        // For the calls that report failure through errno without clearing it first.
        public static void ClearErrno()
        {
            *__errno_location() = 0;
        }

        // A non-blocking IPv4 listening socket on address:port (port 0: any); the port it got.
        public static int ListenTcp4(byte[] address, int port, int backlog, out int boundPort, out int errno)
        {
            return ListenTcp(address, port, backlog, out boundPort, out errno);
        }

        // A non-blocking listening socket on an IPv4 (4 bytes) or IPv6 (16 bytes) address and a
        // port (0: any); the port it got.
        public static int ListenTcp(byte[] address, int port, int backlog, out int boundPort, out int errno)
        {
            SystemDefines d = Engine.Defines;
            bool v6 = address.Length == 16;
            int family = v6 ? d.af_inet6 : d.af_inet;
            // sockaddr_in and sockaddr_in6 share the family and the port (network order); the
            // address follows at byte 4, or at byte 8 after IPv6's flow label.
            int size = v6 ? SockaddrIn6Size : SockaddrInSize;
            byte* sa = stackalloc byte[SockaddrIn6Size];
            for (int i = 0; i < SockaddrIn6Size; i++) sa[i] = 0;
            *(ushort*)sa = (ushort)family;
            sa[2] = (byte)(port >> 8);
            sa[3] = (byte)port;
            int at = v6 ? 8 : 4;
            for (int i = 0; i < address.Length; i++) sa[at + i] = address[i];
            boundPort = 0;
            int fd = socket(family, SockStream | d.o_nonblock | SockCloexec, 0);
            if (fd < 0) {
                errno = Marshal.GetLastWin32Error();
                return -1;
            }
            int one = 1;
            int length = size;
            if (setsockopt(fd, SolSocket, d.so_reuseaddr, ref one, 4) != 0 || bind(fd, sa, size) != 0 ||
                listen(fd, backlog) != 0 || getsockname(fd, sa, ref length) != 0) {
                errno = Marshal.GetLastWin32Error();
                close(fd);
                return -1;
            }
            boundPort = (sa[2] << 8) | sa[3];
            errno = 0;
            return fd;
        }

        // A waiting connection, non-blocking, with its peer: the address's bytes (4 or 16) go to
        // peer, which must hold 16, and their count to peerLength. -1 with EAGAIN when there is none.
        public static int Accept(int listenFd, byte[] peer, out int peerLength, out int peerPort, out int errno)
        {
            byte* sa = stackalloc byte[SockaddrIn6Size];
            int fd;
            do {
                int length = SockaddrIn6Size;
                fd = accept4(listenFd, sa, ref length, Engine.Defines.o_nonblock | SockCloexec);
                errno = fd < 0 ? Marshal.GetLastWin32Error() : 0;
            } while (fd < 0 && errno == EINTR);
            peerLength = 0;
            peerPort = 0;
            if (fd < 0) return fd;
            bool v6 = *(ushort*)sa == (ushort)Engine.Defines.af_inet6;
            peerLength = v6 ? 16 : 4;
            peerPort = (sa[2] << 8) | sa[3];
            for (int i = 0; i < peerLength; i++) peer[i] = sa[(v6 ? 8 : 4) + i];
            return fd;
        }

        // Small responses go out at once instead of waiting for the peer's delayed ACK.
        public static bool SetNoDelay(int fd)
        {
            int one = 1;
            return setsockopt(fd, IpprotoTcp, TcpNodelay, ref one, 4) == 0;
        }

        // Ends reading: a registration waiting for input sees the end of the stream.
        public static bool ShutdownRead(int fd)
        {
            return shutdown(fd, ShutRead) == 0;
        }

        // A listening socket stops listening; its number stays taken until Close.
        public static void ShutdownBoth(int fd)
        {
            shutdown(fd, ShutBoth);
        }

        // A directory to open files beneath (O_PATH): -1 with errno, ENOTDIR for anything else.
        public static int OpenDirectory(string path, out int errno)
        {
            int fd;
            do {
                fd = open(path, OPath | OCloexec);
                errno = fd < 0 ? Marshal.GetLastWin32Error() : 0;
            } while (fd < 0 && errno == EINTR);
            if (fd < 0) return -1;
            FileStatus st;
            if (!Stat(fd, out st, out errno) || !st.IsDirectory) {
                if (errno == 0) errno = 20;  // ENOTDIR
                close(fd);
                return -1;
            }
            return fd;
        }

        // Opens the NUL-terminated relative path beneath dirFd for reading, without blocking (a
        // FIFO or a device opens at once) and without leaving the directory: neither "..", an
        // absolute symlink nor one that climbs out resolves, and magic links are refused. -1
        // with errno (EXDEV for a path that would leave). Where openat2 is refused (ENOSYS:
        // kernels before 5.6 and qemu-user; EPERM: a seccomp profile without it) the path is
        // walked instead (OpenReadByComponents), which is stricter and as confined.
        public static int OpenReadBeneath(int dirFd, byte* path, out int errno)
        {
            if (!Volatile.Read(ref openat2Missing)) {
                var how = new OpenHow { Flags = (ulong)ReadFlags(), Resolve = ResolveBeneath | ResolveNoMagiclinks };
                long fd;
                do {
                    fd = syscall(SysOpenat2, dirFd, path, &how, (UIntPtr)sizeof(OpenHow));
                    errno = fd < 0 ? Marshal.GetLastWin32Error() : 0;
                } while (fd < 0 && errno == EINTR);
                if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return (int)fd;
                // A missing call stays missing; a refusal may be this file's own EPERM.
                if (errno == ENOSYS) Volatile.Write(ref openat2Missing, true);
            }
            return OpenReadByComponents(dirFd, path, out errno);
        }

        // OpenReadBeneath without openat2: each component of the path opened in turn beneath
        // the last, none followed when it is a symbolic link (ELOOP, whether it stays inside or
        // not) and ".." refused (EXDEV); empty and "." components are skipped. -1 with errno.
        public static int OpenReadByComponents(int dirFd, byte* path, out int errno)
        {
            byte* name = stackalloc byte[NameMax + 1];
            int dir = dirFd;
            byte* p = path;
            while (true) {
                byte* end = p;
                while (*end != 0 && *end != '/') end++;
                bool last = *end == 0;
                int length = (int)(end - p);
                if (length > NameMax) return FailWalk(dir, dirFd, ENAMETOOLONG, out errno);
                if (length == 2 && p[0] == '.' && p[1] == '.') return FailWalk(dir, dirFd, EXDEV, out errno);
                bool self = length == 0 || (length == 1 && p[0] == '.');
                if (self && !last) {
                    p = end + 1;
                    continue;
                }
                if (self) {
                    name[0] = (byte)'.';
                    length = 1;
                } else {
                    for (int i = 0; i < length; i++) name[i] = p[i];
                }
                name[length] = 0;
                int fd = OpenAt(dir, name, last ? ReadFlags() | ONofollow : OPath | ODirectory | ONofollow | OCloexec, out errno);
                // A symbolic link met as a directory reads as "not a directory"; it is a link refused.
                if (fd < 0 && errno == ENOTDIR && !last && IsSymlink(dir, name)) errno = ELOOP;
                if (dir != dirFd) close(dir);
                if (fd < 0 || last) return fd;
                dir = fd;
                p = end + 1;
            }
        }

        static int ReadFlags()
        {
            return ORdonly | OCloexec | ONoctty | Engine.Defines.o_nonblock;
        }

        static int FailWalk(int dir, int dirFd, int error, out int errno)
        {
            if (dir != dirFd) close(dir);
            errno = error;
            return -1;
        }

        static int OpenAt(int dirFd, byte* name, int flags, out int errno)
        {
            int fd;
            do {
                fd = openat(dirFd, name, flags);
                errno = fd < 0 ? Marshal.GetLastWin32Error() : 0;
            } while (fd < 0 && errno == EINTR);
            return fd;
        }

        static bool IsSymlink(int dirFd, byte* name)
        {
            byte* st = stackalloc byte[StatxSize];
            return statx(dirFd, name, AtSymlinkNofollow, StatxType, st) == 0 &&
                   (*(ushort*)(st + StatxModeOffset) & SIfmt) == SIflnk;
        }

        // The type, size, identity and modification time of an open descriptor.
        public static bool Stat(int fd, out FileStatus status, out int errno)
        {
            byte* st = stackalloc byte[StatxSize];
            status = default(FileStatus);
            if (statx(fd, "", AtEmptyPath, StatxBasicStats, st) != 0) {
                errno = Marshal.GetLastWin32Error();
                return false;
            }
            errno = 0;
            status.Mode = *(ushort*)(st + StatxModeOffset);
            status.Inode = *(long*)(st + StatxInoOffset);
            status.Size = *(long*)(st + StatxSizeOffset);
            status.MtimeSec = *(long*)(st + StatxMtimeOffset);
            status.MtimeNsec = *(uint*)(st + StatxMtimeOffset + 8);
            status.CtimeSec = *(long*)(st + StatxCtimeOffset);
            status.CtimeNsec = *(uint*)(st + StatxCtimeOffset + 8);
            status.Device = ((long)*(uint*)(st + StatxDevMajorOffset) << 32) | *(uint*)(st + StatxDevMajorOffset + 4);
            return true;
        }

        // Bytes read into buffer[at..at+count) from the file's offset; -1 with errno.
        public static int ReadAt(int fd, byte[] buffer, int at, int count, long offset, out int errno)
        {
            long n;
            fixed (byte* p = buffer) {
                do {
                    n = (long)pread(fd, p + at, (UIntPtr)count, offset);
                    errno = n < 0 ? Marshal.GetLastWin32Error() : 0;
                } while (n < 0 && errno == EINTR);
            }
            return (int)n;
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

        [StructLayout(LayoutKind.Sequential)]
        struct IoVec
        {
            public byte* Base;
            public UIntPtr Length;
        }

        // struct msghdr, the same on every 64-bit Linux.
        [StructLayout(LayoutKind.Sequential)]
        struct MsgHdr
        {
            public IntPtr Name;
            public int NameLength;
            public IoVec* Iov;
            public UIntPtr IovLength;
            public IntPtr Control;
            public UIntPtr ControlLength;
            public int Flags;
        }

        [DllImport("libc", SetLastError = true)]
        static extern IntPtr sendmsg(int fd, MsgHdr* message, int flags);

        // A peer that has gone raises no SIGPIPE: the send fails with EPIPE instead.
        const int MsgDontwait = 0x40, MsgNosignal = 0x4000;

        // One non-blocking send of first then second (either may be empty), as much as the
        // socket takes now: the bytes sent, -1 with errno (EAGAIN: no room at all).
        public static int SendNow(int fd, ArraySegment<byte> first, ArraySegment<byte> second, out int errno)
        {
            long n;
            fixed (byte* a = first.Array)
            fixed (byte* b = second.Array) {
                IoVec* parts = stackalloc IoVec[2];
                int count = 0;
                if (first.Count > 0) parts[count++] = new IoVec { Base = a + first.Offset, Length = (UIntPtr)first.Count };
                if (second.Count > 0) parts[count++] = new IoVec { Base = b + second.Offset, Length = (UIntPtr)second.Count };
                var message = new MsgHdr { Iov = parts, IovLength = (UIntPtr)count };
                do {
                    n = (long)sendmsg(fd, &message, MsgDontwait | MsgNosignal);
                    errno = n < 0 ? Marshal.GetLastWin32Error() : 0;
                } while (n < 0 && errno == EINTR);
            }
            return (int)n;
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

        // ---- writing a log ----

        // The generic Linux numbers, the same on x86_64 and AArch64.
        const int OWronly = 1, OCreat = 0x40, OAppend = 0x400, LogFileMode = 0x1a4 /* 0644 */;
        const short PollOut = 4;

        [StructLayout(LayoutKind.Sequential)]
        struct PollFd
        {
            public int Fd;
            public short Events, Revents;
        }

        [DllImport("libc", SetLastError = true)]
        static extern int open(string path, int flags, int mode);
        [DllImport("libc", SetLastError = true)]
        static extern IntPtr write(int fd, byte* buffer, UIntPtr length);
        [DllImport("libc", SetLastError = true)]
        static extern int poll(PollFd* fds, UIntPtr count, int timeoutMsec);

        // A file opened for appending, made with mode 0644 when missing; -1 with errno.
        public static int OpenAppend(string path, out int errno)
        {
            int fd;
            do {
                fd = open(path, OWronly | OCreat | OAppend | OCloexec, LogFileMode);
                errno = fd < 0 ? Marshal.GetLastWin32Error() : 0;
            } while (fd < 0 && errno == EINTR);
            return fd;
        }

        // Writes all of buffer[at..at+count), however many writes it takes (a signal or a full
        // pipe cuts one short; a non-blocking descriptor's EAGAIN waits for room). False with
        // errno when the descriptor fails.
        public static bool WriteAll(int fd, byte[] buffer, int at, int count, out int errno)
        {
            errno = 0;
            fixed (byte* p = buffer) {
                while (count > 0) {
                    long n = (long)write(fd, p + at, (UIntPtr)count);
                    if (n > 0) {
                        at += (int)n;
                        count -= (int)n;
                        continue;
                    }
                    errno = n < 0 ? Marshal.GetLastWin32Error() : 0;
                    if (errno == EINTR) continue;
                    if (errno != EAGAIN) return false;
                    var wait = new PollFd { Fd = fd, Events = PollOut };
                    while (poll(&wait, (UIntPtr)1, -1) < 0 && Marshal.GetLastWin32Error() == EINTR) {
                    }
                }
            }
            errno = 0;
            return true;
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

        // ---- limits: what a server may hold ----

        // RLIMIT_NOFILE and sysconf's names have these numbers on every Linux processor; rlim_t
        // is 64 bits wide on both 64-bit ones.
        const int RlimitNofile = 7, ScPageSize = 30, ScPhysPages = 85;

        [StructLayout(LayoutKind.Sequential)]
        struct Rlimit
        {
            public ulong Current, Max;
        }

        [DllImport("libc", SetLastError = true)]
        static extern int getrlimit(int resource, out Rlimit limit);
        [DllImport("libc", SetLastError = true)]
        static extern int setrlimit(int resource, ref Rlimit limit);
        [DllImport("libc")]
        static extern long sysconf(int name);

        // Raises the soft limit on open descriptors to the hard one, as servers do (the hard
        // limit is what the administrator allows); the soft limit then in force (ulong.MaxValue:
        // none, or unknown).
        public static ulong RaiseDescriptorLimit()
        {
            Rlimit limit;
            if (getrlimit(RlimitNofile, out limit) != 0) return ulong.MaxValue;
            if (limit.Current < limit.Max) {
                var raised = new Rlimit { Current = limit.Max, Max = limit.Max };
                if (setrlimit(RlimitNofile, ref raised) == 0) limit.Current = limit.Max;
            }
            return limit.Current;
        }

        // The machine's physical memory in bytes (a cgroup's own limit is not consulted); 0 when
        // unknown.
        public static ulong PhysicalMemoryBytes()
        {
            long pages = sysconf(ScPhysPages), pageSize = sysconf(ScPageSize);
            return pages > 0 && pageSize > 0 ? (ulong)pages * (ulong)pageSize : 0;
        }
    }
}
