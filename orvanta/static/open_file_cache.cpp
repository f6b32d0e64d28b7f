#include "orvanta/static/open_file_cache.h"

#include <errno.h>
#include <unistd.h>

#include "orvanta/http/content_coding.h"
#include "orvanta/http/http_validators.h"
#include "orvanta/static/http_resolve.h"

namespace {

// The part of a target that decides which file it names: an origin-form path without its query
// or fragment. Anything else is kept whole.
std::string_view CacheKey(std::string_view target) {
    if (target.empty() || target[0] != '/') return target;
    return target.substr(0, target.find_first_of("?#"));
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
OpenedFileRef MakeOpenedFile(ResolvedFile&& resolved, uint64_t smallFileMax) {
    auto file = std::make_shared<OpenedFile>();
    file->fd = resolved.fd;
    file->st = resolved.st;
    file->name = std::move(resolved.name);
    file->etag = MakeETag(file->st);
    uint64_t size = uint64_t(file->st.st_size);
    if (size <= smallFileMax && ReadFileRegion(file->fd, 0, size, &file->bytes)) {
        close(file->fd);
        file->fd = -1;
    } else {
        file->bytes.clear();
    }
    return file;
}

// The stale file when resolved is still the same one (resolved's descriptor is then closed),
// else resolved made into an opened file.
OpenedFileRef Reuse(const OpenedFileRef& stale, ResolvedFile&& resolved, uint64_t smallFileMax) {
    if (!stale || !SameFile(stale->st, resolved.st)) return MakeOpenedFile(std::move(resolved), smallFileMax);
    close(resolved.fd);
    return stale;
}

// Resolves target and its sibling; stale files that are found unchanged are kept.
OpenedTarget Resolve(int rootFd, std::string_view target, uint64_t smallFileMax, const OpenedTarget& stale) {
    ResolvedFile resolved = ResolveTarget(rootFd, target);
    OpenedTarget out;
    out.status = resolved.status;
    out.error = resolved.error;
    out.location = std::move(resolved.location);
    out.directory = std::move(resolved.directory);
    if (resolved.status != 0) return out;
    ResolvedFile sibling = OpenGzipSibling(rootFd, resolved);
    if (sibling.status == 0) out.gzip = Reuse(stale.gzip, std::move(sibling), smallFileMax);
    out.file = Reuse(stale.file, std::move(resolved), smallFileMax);
    return out;
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

OpenedTarget OpenTarget(int rootFd, std::string_view target, uint64_t smallFileMax) {
    return Resolve(rootFd, target, smallFileMax, OpenedTarget());
}

void OpenFileCache::Held::Set(const OpenedFileRef& file) {
    if (file && file->InMemory())
        kept = file;
    else
        shared = file;
}

OpenFileCache::OpenFileCache(const OpenFileCacheLimits& limits, Clock clock)
    : limits_(limits), clock_(clock) {}

OpenedTarget OpenFileCache::Open(int rootFd, std::string_view target) {
    std::string_view key = CacheKey(target);
    int64_t now = clock_();
    OpenedTarget out, stale;
    if (Lookup(key, now, &out, &stale)) return out;
    out = Resolve(rootFd, target, limits_.smallFileMax, stale);
    Store(key, out, now);
    return out;
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
