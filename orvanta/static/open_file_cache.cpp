#include "orvanta/static/open_file_cache.h"

#include <errno.h>
#include <time.h>
#include <unistd.h>

#include "orvanta/http/content_coding.h"
#include "orvanta/http/http_validators.h"
#include "orvanta/static/autoindex.h"
#include "orvanta/static/http_resolve.h"

namespace {

// A decoded path with runs of '/' made one and "./" segments left out, which change nothing in
// what openat2 finds. ".." and a final "." stay: they can change it.
std::string NormalizePath(std::string_view decoded) {
    std::string out;
    out.reserve(decoded.size());
    for (size_t i = 0; i < decoded.size(); ++i) {
        bool segmentStart = i == 0 || decoded[i - 1] == '/';
        if (decoded[i] == '/' && !out.empty() && out.back() == '/') continue;
        if (segmentStart && decoded[i] == '.' && i + 1 < decoded.size() && decoded[i + 1] == '/') {
            ++i;  // "./": the next character is its slash
            continue;
        }
        out += decoded[i];
    }
    return out;
}

// The cache's key for a target: its decoded path, normalized, without query or fragment. False
// for a target that names no path (its 400 is not cached).
bool CacheKey(std::string_view target, std::string* key) {
    TargetPath path;
    int status;
    if (!SplitAndDecodeTarget(target, &path, &status)) return false;
    *key = NormalizePath(path.decoded);
    return true;
}

// A listing's directory as the page names it: "sub/" for "sub//" or "./sub/", "./" for the root.
std::string NormalizeDirectory(const std::string& directory) {
    std::string path = NormalizePath("/" + directory);
    return path.size() > 1 ? path.substr(1) : std::string("./");
}

// A listing's key: its normalized directory behind a NUL, which no decoded path holds.
std::string ListingKey(const std::string& directory) {
    return std::string(1, '\0') + directory;
}

// True when something read at wallMsec may predate a change in the same timestamp tick as
// changed (a change time in the future counts too: the clock was set back).
bool Racy(const timespec& changed, int64_t wallMsec) {
    int64_t changedMsec = int64_t(changed.tv_sec) * 1000 + changed.tv_nsec / 1000000;
    return wallMsec - changedMsec < kRacyMsec;
}

bool SameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// The same file with the same contents, as far as fstat can tell: a rewrite changes the times,
// a rename over or a new file the inode.
bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           SameTime(a.st_mtim, b.st_mtim) && SameTime(a.st_ctim, b.st_ctim);
}

// Takes over a resolved file's descriptor; a small file is read whole and its descriptor
// closed. A file that turns out shorter than fstat said keeps its descriptor instead.
OpenedFileRef MakeOpenedFile(ResolvedFile&& resolved, uint64_t smallFileMax, int64_t (*wallClock)()) {
    auto file = std::make_shared<OpenedFile>();
    file->fd = resolved.fd;
    file->st = resolved.st;
    file->name = std::move(resolved.name);
    file->etag = MakeETag(file->st);
    uint64_t size = uint64_t(file->st.st_size);
    if (size <= smallFileMax && ReadFileRegion(file->fd, 0, size, &file->bytes)) {
        close(file->fd);
        file->fd = -1;
        file->racy = Racy(file->st.st_ctim, wallClock());
    } else {
        file->bytes.clear();
    }
    return file;
}

// Whether the stale file (or page) still stands for what fstat now tells: its fingerprint is
// unchanged, and its bytes were not read in the tick of a change that the fingerprint could hide.
bool StillHolds(const OpenedFileRef& stale, const struct stat& now) {
    return stale && !stale->racy && SameFile(stale->st, now);
}

// The stale file when resolved is still the same one (resolved's descriptor is then closed),
// else resolved made into an opened file.
OpenedFileRef Reuse(const OpenedFileRef& stale, ResolvedFile&& resolved, uint64_t smallFileMax,
                    int64_t (*wallClock)()) {
    if (!StillHolds(stale, resolved.st)) return MakeOpenedFile(std::move(resolved), smallFileMax, wallClock);
    close(resolved.fd);
    return stale;
}

// Resolves target and its sibling; stale files that are found unchanged are kept.
OpenedTarget Resolve(int rootFd, std::string_view target, uint64_t smallFileMax, const OpenedTarget& stale,
                     int64_t (*wallClock)()) {
    ResolvedFile resolved = ResolveTarget(rootFd, target);
    OpenedTarget out;
    out.status = resolved.status;
    out.error = resolved.error;
    out.location = std::move(resolved.location);
    out.directory = std::move(resolved.directory);
    if (resolved.status != 0) return out;
    ResolvedFile sibling = OpenGzipSibling(rootFd, resolved);
    if (sibling.status == 0) out.gzip = Reuse(stale.gzip, std::move(sibling), smallFileMax, wallClock);
    out.file = Reuse(stale.file, std::move(resolved), smallFileMax, wallClock);
    return out;
}

// The listing of directory: the stale page while the directory is unchanged, else built anew.
OpenedFileRef MakeListing(int rootFd, const std::string& directory, const OpenedFileRef& stale,
                          int64_t (*wallClock)()) {
    int fd = OpenListedDirectory(rootFd, directory);
    if (fd < 0) return nullptr;
    auto page = std::make_shared<OpenedFile>();
    if (fstat(fd, &page->st) != 0) {
        close(fd);
        return nullptr;
    }
    if (StillHolds(stale, page->st)) {
        close(fd);
        return stale;
    }
    page->name = directory;
    if (!ListOpenDirectory(rootFd, fd, directory, &page->bytes)) return nullptr;
    page->racy = Racy(page->st.st_ctim, wallClock());
    return page;
}

}  // namespace

OpenedFile::~OpenedFile() {
    if (fd >= 0) close(fd);
}

bool ReadFileRegion(int fd, uint64_t offset, uint64_t length, std::string* out) {
    out->resize(length);
    uint64_t done = 0;
    while (done < length) {
        ssize_t n;
        do n = pread(fd, out->data() + done, length - done, off_t(offset + done));
        while (n < 0 && errno == EINTR);
        if (n <= 0) return false;  // an error, or the file ends sooner
        done += uint64_t(n);
    }
    return true;
}

int64_t WallClockMsec() {
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return int64_t(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

OpenedTarget OpenTarget(int rootFd, std::string_view target, uint64_t smallFileMax) {
    return Resolve(rootFd, target, smallFileMax, OpenedTarget(), WallClockMsec);
}

OpenedFileRef OpenListing(int rootFd, const std::string& directory) {
    return MakeListing(rootFd, NormalizeDirectory(directory), nullptr, WallClockMsec);
}

void OpenFileCache::Held::Set(const OpenedFileRef& file) {
    if (file && file->InMemory())
        kept = file;
    else
        shared = file;
}

OpenFileCache::OpenFileCache(const OpenFileCacheLimits& limits, Clock clock, Clock wallClock)
    : limits_(limits), clock_(clock), wallClock_(wallClock) {}

OpenedTarget OpenFileCache::Open(int rootFd, std::string_view target) {
    std::string key;
    if (!CacheKey(target, &key))
        return Resolve(rootFd, target, limits_.smallFileMax, OpenedTarget(), wallClock_);
    int64_t now = clock_();
    OpenedTarget out, stale;
    if (Lookup(key, now, &out, &stale)) return out;
    out = Resolve(rootFd, target, limits_.smallFileMax, stale, wallClock_);
    Store(key, out, now);
    return out;
}

OpenedFileRef OpenFileCache::Listing(int rootFd, const std::string& requested) {
    std::string directory = NormalizeDirectory(requested);
    std::string key = ListingKey(directory);
    int64_t now = clock_();
    OpenedTarget out, stale;
    if (Lookup(key, now, &out, &stale)) return out.file;
    out.file = MakeListing(rootFd, directory, stale.file, wallClock_);
    out.status = out.file ? 0 : 403;
    Store(key, out, now);
    return out.file;
}

bool OpenFileCache::Lookup(std::string_view key, int64_t now, OpenedTarget* out, OpenedTarget* stale) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto found = index_.find(key);
    if (found == index_.end()) return false;
    Entry& e = *found->second;
    OpenedFileRef file = e.file.Get(), gzip = e.gzip.Get();
    if (!file || (e.hasGzip && !gzip)) {  // a larger file nobody sends any more: it is closed
        EraseLocked(found->second);
        return false;
    }
    OpenedTarget* to = now - e.validatedAt < limits_.validMsec ? out : stale;
    to->file = std::move(file);
    to->gzip = std::move(gzip);
    if (to == stale) return false;
    lru_.splice(lru_.begin(), lru_, found->second);
    return true;
}

void OpenFileCache::Store(std::string_view key, const OpenedTarget& opened, int64_t now) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto found = index_.find(key);
    if (found != index_.end()) EraseLocked(found->second);
    if (opened.status != 0 || limits_.maxEntries == 0) return;
    uint64_t size = 0;
    for (const OpenedFileRef& f : {opened.file, opened.gzip})
        if (f && f->InMemory()) size += f->bytes.size();
    if (size > limits_.maxBytes) return;
    Entry e;
    e.key.assign(key);
    e.file.Set(opened.file);
    e.gzip.Set(opened.gzip);
    e.hasGzip = opened.gzip != nullptr;
    e.validatedAt = now;
    e.bytes = size;
    lru_.push_front(std::move(e));
    index_.emplace(lru_.front().key, lru_.begin());
    bytes_ += size;
    TrimLocked();
}

void OpenFileCache::EraseLocked(Lru::iterator it) {
    bytes_ -= it->bytes;
    index_.erase(it->key);
    lru_.erase(it);
}

void OpenFileCache::TrimLocked() {
    while (!lru_.empty() && (lru_.size() > limits_.maxEntries || bytes_ > limits_.maxBytes))
        EraseLocked(std::prev(lru_.end()));
}

size_t OpenFileCache::entries() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return lru_.size();
}

uint64_t OpenFileCache::bytes() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return bytes_;
}
