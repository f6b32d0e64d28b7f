// Maps a request-target to an open file beneath the served root and nowhere else. The path is
// decoded by SplitAndDecodeTarget (a NUL byte or a malformed escape is refused); the file is opened
// with openat2(RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS) relative to the root's descriptor, so
// neither "..", an absolute symlink nor a symlink that climbs out of the root can leave it.
// Only regular files are handed out. Pure functions of their arguments; any thread.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>

#include "orvanta/http/http_target.h"

struct ResolvedFile {
    int status = 0;  // 0: fd is an open regular file; otherwise the HTTP status to answer
    int fd = -1;     // owned by the caller when status is 0
    int error = 0;   // for status 500: the errno of the open or fstat that failed
    struct stat st {};
    std::string name;      // path of the file served, for its media type
    std::string location;  // for 301: where the directory is
    // For 403 of a directory without an index: its path from the root, ending in '/' ("./" for
    // the root), so that a listing can be offered instead.
    std::string directory;
};

// Opens what target names beneath rootFd (a directory descriptor). A directory is answered
// with its index.html when the path ends in '/', else with 301 to the path with the slash.
ResolvedFile ResolveTarget(int rootFd, std::string_view target);

// Opens rel beneath rootFd with flags (openat2, or the fallback below); -1 with errno.
int OpenBeneath(int rootFd, const std::string& rel, int flags);
// Opens rel beneath rootFd for reading; status 0 when it is a regular file, 301 for a
// directory, otherwise the HTTP status of the failure.
ResolvedFile OpenRegularBeneath(int rootFd, const std::string& rel);

// The confinement used where the kernel lacks openat2: components opened one at a time with
// O_NOFOLLOW, ".." refused (EXDEV). Declared here for its tests.
int OpenBeneathByComponents(int rootFd, const std::string& rel, int flags);

// The precompressed sibling of a resolved regular file: file.name + ".gz" opened beneath the
// root. status 0 when it is a regular file (its descriptor is then the caller's), otherwise why not.
ResolvedFile OpenGzipSibling(int rootFd, const ResolvedFile& file);
