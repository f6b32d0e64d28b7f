// The walk that stands in for openat2 where it is refused (ENOSYS, EPERM): what it opens beneath
// a root and what it refuses. Under qemu-user every StaticFiles open takes this path; natively
// only this test does.
using System;
using System.IO;
using System.Runtime.InteropServices;
using System.Text;

namespace Vrns.Http.Units
{
    static unsafe class OpenBeneathTests
    {
        const int EXDEV = 18, ELOOP = 40, ENOTDIR = 20, ENOENT = 2, ENAMETOOLONG = 36;

        [DllImport("libc", SetLastError = true)]
        static extern int symlink(string target, string path);
        [DllImport("libc", SetLastError = true)]
        static extern int mkfifo(string path, int mode);

        [Test]
        static void WalkOpensBeneathTheRootOnly()
        {
            string base_ = Path.Combine(Path.GetTempPath(), "vrns-walk-" + Guid.NewGuid().ToString("N"));
            string root = Path.Combine(base_, "root");
            Directory.CreateDirectory(Path.Combine(root, "sub"));
            File.WriteAllText(Path.Combine(base_, "secret.txt"), "secret");
            File.WriteAllText(Path.Combine(root, "hello.txt"), "hello");
            File.WriteAllText(Path.Combine(root, "sub", "index.html"), "index");
            Check.Equal(0, symlink("hello.txt", Path.Combine(root, "in-link")), "symlink");
            Check.Equal(0, symlink("../secret.txt", Path.Combine(root, "out-link")), "symlink");
            Check.Equal(0, symlink("sub", Path.Combine(root, "dir-link")), "symlink");
            Check.Equal(0, mkfifo(Path.Combine(root, "fifo"), 0x1a4), "mkfifo");
            var rows = new[] {
                // path beneath the root, errno (0: opened), the first bytes read ("": none checked)
                new { Path = "hello.txt", Errno = 0, Read = "hello" },
                new { Path = "sub//index.html", Errno = 0, Read = "index" },
                new { Path = "./sub/./index.html", Errno = 0, Read = "index" },
                new { Path = ".", Errno = 0, Read = "" },
                new { Path = "sub/", Errno = 0, Read = "" },
                new { Path = "fifo", Errno = 0, Read = "" },  // opened at once, without a writer
                new { Path = "../secret.txt", Errno = EXDEV, Read = "" },
                new { Path = "sub/../hello.txt", Errno = EXDEV, Read = "" },  // stricter than openat2
                new { Path = "out-link", Errno = ELOOP, Read = "" },
                new { Path = "in-link", Errno = ELOOP, Read = "" },
                new { Path = "dir-link/index.html", Errno = ELOOP, Read = "" },
                new { Path = "hello.txt/x", Errno = ENOTDIR, Read = "" },
                new { Path = "missing", Errno = ENOENT, Read = "" },
                new { Path = new string('n', 256), Errno = ENAMETOOLONG, Read = "" },
            };
            int errno;
            int rootFd = Posix.OpenDirectory(root, out errno);
            int descriptors = Directory.GetFileSystemEntries("/proc/self/fd").Length;
            foreach (var row in rows) {
                byte[] path = Encoding.ASCII.GetBytes(row.Path + "\0");
                int fd;
                fixed (byte* p = path) fd = Posix.OpenReadByComponents(rootFd, p, out errno);
                Check.Equal(row.Errno, fd < 0 ? errno : 0, row.Path);
                if (fd < 0) continue;
                var bytes = new byte[16];
                if (row.Read.Length > 0)
                    Check.Equal(row.Read, Encoding.ASCII.GetString(bytes, 0, Posix.ReadAt(fd, bytes, 0, 16, 0, out errno)), row.Path);
                Posix.Close(fd);
            }
            Check.Equal(descriptors, Directory.GetFileSystemEntries("/proc/self/fd").Length, "descriptors left open by the walk");
            Posix.Close(rootFd);
            Directory.Delete(base_, true);
        }
    }
}
