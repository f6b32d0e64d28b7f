#include "orvanta/static/http_resolve.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

int StatusForOpenError(int err) {
    switch (err) {
        case ENOENT:
        case ENOTDIR:
        case ENAMETOOLONG:  // a name longer than any file can have does not exist
            return 404;
        case EACCES:
        case EPERM:
        case EXDEV:  // the path would leave the root
        case ELOOP:  // a magic link, or too many links
        case ENXIO:  // a socket or a FIFO without a writer
            return 403;
        default:
            return 500;
    }
}

}  // namespace

// Kernels before 5.6 lack openat2, and some seccomp profiles refuse it; then each component is opened in turn
// without following symlinks and ".." is refused, which is stricter but equally confined. A symlink met where
// a directory should be reads as ENOTDIR; it is reported as the refused link it is (ELOOP), as a symlink at
// the end is.
int OpenBeneathByComponents(int rootFd, const std::string& rel, int flags) {
    int dir = fcntl(rootFd, F_DUPFD_CLOEXEC, 0);  // close-on-exec like every other descriptor here
    if (dir < 0) return -1;
    size_t pos = 0;
    while (true) {
        size_t slash = rel.find('/', pos);
        bool last = slash == std::string::npos;
        std::string part = rel.substr(pos, last ? std::string::npos : slash - pos);
        pos = slash + 1;
        if (part.empty() || part == ".") {
            if (!last) continue;
            part = ".";
        }
        if (part == "..") {
            close(dir);
            errno = EXDEV;
            return -1;
        }
        int next = openat(dir, part.c_str(),
                          last ? flags | O_NOFOLLOW : O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        int saved = errno;
        struct stat st;
        if (next < 0 && saved == ENOTDIR && !last &&
            fstatat(dir, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
            saved = ELOOP;
        close(dir);
        if (next < 0 || last) {
            errno = saved;
            return next;
        }
        dir = next;
    }
}

int OpenBeneath(int rootFd, const std::string& rel, int flags) {
    open_how how{};
    how.flags = flags;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    long fd;
    do fd = syscall(SYS_openat2, rootFd, rel.c_str(), &how, sizeof how);
    while (fd < 0 && errno == EINTR);
    // Refused outright, by a kernel without the call (ENOSYS) or a seccomp profile that does not
    // know it (EPERM): the components are walked instead. A file's own EPERM is found again there.
    if (fd < 0 && (errno == ENOSYS || errno == EPERM)) return OpenBeneathByComponents(rootFd, rel, flags);
    return int(fd);
}

namespace {

// The path relative to the root: leading slashes dropped, "" becoming ".".
std::string RelativePath(const std::string& decoded) {
    size_t start = decoded.find_first_not_of('/');
    return start == std::string::npos ? std::string(".") : decoded.substr(start);
}

}  // namespace

ResolvedFile OpenRegularBeneath(int rootFd, const std::string& rel) {
    ResolvedFile r;
    r.fd = OpenBeneath(rootFd, rel, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (r.fd < 0) {
        r.error = errno;
        r.status = StatusForOpenError(r.error);
        return r;
    }
    if (fstat(r.fd, &r.st) != 0) {
        r.error = errno;
        r.status = 500;
    } else if (S_ISDIR(r.st.st_mode)) {
        r.status = 301;  // the caller decides between the index and a redirect
    } else if (!S_ISREG(r.st.st_mode)) {
        r.status = 403;
    }
    if (r.status != 0) {
        close(r.fd);
        r.fd = -1;
    }
    r.name = rel;
    return r;
}

ResolvedFile OpenGzipSibling(int rootFd, const ResolvedFile& file) {
    return OpenRegularBeneath(rootFd, file.name + ".gz");
}

ResolvedFile ResolveTarget(int rootFd, std::string_view target) {
    TargetPath path;
    ResolvedFile r;
    if (!SplitAndDecodeTarget(target, &path, &r.status)) return r;
    std::string rel = RelativePath(path.decoded);
    r = OpenRegularBeneath(rootFd, rel);
    if (r.status != 301) return r;
    if (path.decoded.empty() || path.decoded.back() != '/') {
        // One leading slash only: "//host/" would send the client to another host.
        r.location = "/" + path.rawPath.substr(path.rawPath.find_first_not_of('/')) + "/";
        if (!path.rawQuery.empty()) r.location += "?" + path.rawQuery;
        return r;
    }
    if (rel.back() != '/') rel += '/';
    r = OpenRegularBeneath(rootFd, rel == "./" ? std::string("index.html") : rel + "index.html");
    // A directory without an index is refused, unless the caller lists it.
    if (r.status == 404 || r.status == 301) {
        r.status = 403;
        r.directory = rel;
    }
    return r;
}
