// A bounded cache of the files the server answers with, so that a hot file costs no openat2,
// fstat or close. Keyed by the decoded path beneath the root (the query and fragment do not
// change the file; "/a", "//a", "/./a" and "/%61" share one entry). An entry holds the file and
// its precompressed FILE.gz sibling, or that there is none. Only regular files and directory
// listings are cached; redirects and errors are resolved afresh every time.
//
// A small file (up to the small-file limit) is kept as its bytes and its fstat result, its
// descriptor closed once read: it goes out from memory in one gather write. A larger file is
// shared, not kept: its entry names the open descriptor while responses are sending from it,
// and the last of them closes it, so an idle server holds no descriptor for the cache. A
// listing is kept as its page, whatever its size, with the directory's fstat result.
//
// Freshness: an entry is trusted for at most validMsec (1 s by default). After that, the next
// request for it resolves the path and the sibling again (openat2 and fstat, under the same
// confinement as an uncached request) and compares device, inode, size, modification and change
// times: files found unchanged keep their bytes or descriptor; a changed, replaced, removed or
// new one is served fresh. So a change is seen within validMsec of it, as with nginx's
// open_file_cache_valid. A listing is compared by its directory's own times: an entry added,
// removed or renamed is seen, a listed file's new size or time only with the directory's next
// change.
//
// Those times have the kernel's timestamp granularity: a same-size rewrite within one tick
// leaves them all unchanged. Bytes read within kRacyMsec of the file's change time (or a page
// built within it of the directory's) are therefore served but not trusted past the entry's
// validity: the next validation reads them again, as Git treats a racily clean index entry.
//
// Memory: at most maxEntries entries and maxBytes bytes of small files' contents and pages; the
// least recently used entries go first. Any thread: one mutex guards the index, held for a
// lookup and a list splice only, never across a system call.
#pragma once

#include <stdint.h>
#include <sys/stat.h>

#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

// One opened regular file, immutable once made. Either its bytes were read (fd is -1) or it
// holds its descriptor, closed when the last holder lets go.
struct OpenedFile {
    int fd = -1;
    struct stat st {};
    std::string name;   // path beneath the root, for the media type
    std::string bytes;  // the whole file when fd is -1
    std::string etag;   // MakeETag(st), made once
    // The bytes were read within kRacyMsec of the file's change time: a rewrite in the same
    // timestamp tick would leave st as it is, so they are read again at the next validation.
    bool racy = false;

    OpenedFile() = default;
    OpenedFile(const OpenedFile&) = delete;
    OpenedFile& operator=(const OpenedFile&) = delete;
    ~OpenedFile();
    bool InMemory() const { return fd < 0; }
};
using OpenedFileRef = std::shared_ptr<const OpenedFile>;

// How close to a file's change time its bytes may be read and still be trusted as the bytes of
// that fingerprint: well past any file system's timestamp tick.
constexpr int64_t kRacyMsec = 1000;

// CLOCK_REALTIME in milliseconds, the clock of the files' times.
int64_t WallClockMsec();

struct OpenFileCacheLimits {
    size_t maxEntries = 1024;
    uint64_t maxBytes = 16u << 20;
    uint64_t smallFileMax = 64u << 10;  // bytes; larger files are shared, not kept
    int64_t validMsec = 1000;
};

// What opening a request-target gave: status 0 and the file (and its FILE.gz sibling when that
// is a regular file), or the HTTP status to answer with ResolveTarget's location (301) or
// directory (a directory without an index).
struct OpenedTarget {
    int status = 0;
    int error = 0;  // ResolveTarget's errno behind a 500
    std::string location;
    std::string directory;
    OpenedFileRef file;
    OpenedFileRef gzip;
};

class OpenFileCache {
  public:
    using Clock = int64_t (*)();  // milliseconds
    // clock (monotonic) times the entries' validity; wallClock is compared with the files'
    // change times.
    OpenFileCache(const OpenFileCacheLimits& limits, Clock clock, Clock wallClock = WallClockMsec);
    OpenFileCache(const OpenFileCache&) = delete;
    OpenFileCache& operator=(const OpenFileCache&) = delete;

    // What target names beneath rootFd: from the cache while its entry is trusted, else
    // resolved, compared with the entry and cached again.
    OpenedTarget Open(int rootFd, std::string_view target);
    // The listing page of directory (as ResolveTarget names it, "./" for the root) as an
    // in-memory file, from the cache while trusted, else checked against the directory and
    // built again when it changed; null when the directory cannot be read.
    OpenedFileRef Listing(int rootFd, const std::string& directory);

    size_t entries() const;
    uint64_t bytes() const;

  private:
    // A file as an entry holds it: a small file's bytes for good, a larger one only while
    // responses hold it.
    struct Held {
        OpenedFileRef kept;
        std::weak_ptr<const OpenedFile> shared;
        void Set(const OpenedFileRef& file);
        OpenedFileRef Get() const { return kept ? kept : shared.lock(); }
    };
    struct Entry {
        std::string key;
        Held file;
        Held gzip;
        bool hasGzip = false;
        int64_t validatedAt = 0;
        uint64_t bytes = 0;
    };
    using Lru = std::list<Entry>;  // most recently used first
    struct KeyHash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
    };
    using Index = std::unordered_map<std::string_view, Lru::iterator, KeyHash, std::equal_to<>>;

    // True with *out filled while key's entry is trusted. An expired entry's files go to
    // *stale, to be compared with what the path names now; an entry whose larger file nobody
    // holds any more is dropped.
    bool Lookup(std::string_view key, int64_t now, OpenedTarget* out, OpenedTarget* stale);
    // Caches what key opened as, replacing what was there; a failed open only forgets the key.
    void Store(std::string_view key, const OpenedTarget& opened, int64_t now);
    void EraseLocked(Lru::iterator it);
    void TrimLocked();

    const OpenFileCacheLimits limits_;
    const Clock clock_;
    const Clock wallClock_;
    mutable std::mutex mutex_;  // guards lru_, index_ and bytes_
    Lru lru_;
    Index index_;  // keys view the entries' own key strings
    uint64_t bytes_ = 0;
};

// Resolves target and its FILE.gz sibling beneath rootFd (ResolveTarget, OpenGzipSibling); a
// regular file of at most smallFileMax bytes is read whole and its descriptor closed. Uncached.
OpenedTarget OpenTarget(int rootFd, std::string_view target, uint64_t smallFileMax);

// The listing page of directory (as OpenFileCache::Listing takes it) built afresh, as an
// in-memory file; null when the directory cannot be read. Uncached.
OpenedFileRef OpenListing(int rootFd, const std::string& directory);

// Reads length bytes at offset into out; false when the file ends sooner or the read fails.
bool ReadFileRegion(int fd, uint64_t offset, uint64_t length, std::string* out);
