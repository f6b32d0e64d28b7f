// The open-file cache: a changed file is served fresh once its entry's trust runs out, and the
// cache stays within its bounds. Time is a manual clock; files live in a temporary root.
#include "orvanta/static/open_file_cache.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <string>

namespace {

int64_t g_nowMsec = 0;
int64_t ManualClock() {
    return g_nowMsec;
}
int64_t g_wallMsec = 0;  // 0: the real time
int64_t ManualWallClock() {
    return g_wallMsec != 0 ? g_wallMsec : WallClockMsec();
}

int CountOwnDescriptors() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (d && readdir(d)) ++n;
    if (d) closedir(d);
    return n;
}

class OpenFileCacheTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vrns-cache-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        rootFd_ = open(root_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(rootFd_, 0);
        g_nowMsec = 0;
        g_wallMsec = 0;
    }
    void TearDown() override {
        close(rootFd_);
        EXPECT_EQ(system(("rm -rf '" + root_ + "'").c_str()), 0);
    }
    // Writes a file dated in the past, so that a rewrite within the same clock tick still
    // changes its modification time.
    void Write(const std::string& name, const std::string& data) {
        std::ofstream(root_ + "/" + name, std::ios::binary) << data;
        timespec past[2] = {{946684800, 0}, {946684800, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, (root_ + "/" + name).c_str(), past, 0), 0);
    }
    // The status, and for a file its contents as the response would send them.
    std::string Serve(OpenFileCache& cache, const std::string& target) {
        OpenedTarget t = cache.Open(rootFd_, target);
        if (t.status != 0) return std::to_string(t.status);
        if (t.file->InMemory()) return t.file->bytes;
        std::string out(size_t(t.file->st.st_size), '\0');
        EXPECT_EQ(pread(t.file->fd, out.data(), out.size(), 0), ssize_t(out.size()));
        return out;
    }
    std::string root_;
    int rootFd_ = -1;
};

TEST_F(OpenFileCacheTest, ChangedFilesAreServedFreshWithinTheValidity) {
    OpenFileCacheLimits limits;
    limits.smallFileMax = 8;  // "small" files go by bytes; "large-file" by a shared descriptor
    struct Case {
        const char* what;
        std::string name;
        std::string before;
        std::function<void(const std::string& path)> change;
        std::string after;
    };
    const Case cases[] = {
        {"rewritten in place", "small", "v1v1",
         [](const std::string& p) { std::ofstream(p, std::ios::binary | std::ios::in) << "v2v2"; }, "v2v2"},
        {"renamed over", "small", "v1v1",
         [](const std::string& p) {
             std::ofstream(p + ".new", std::ios::binary) << "new!";
             ASSERT_EQ(rename((p + ".new").c_str(), p.c_str()), 0);
         },
         "new!"},
        {"deleted", "small", "v1v1", [](const std::string& p) { ASSERT_EQ(unlink(p.c_str()), 0); }, "404"},
        {"truncated", "small", "v1v1", [](const std::string& p) { ASSERT_EQ(truncate(p.c_str(), 2), 0); },
         "v1"},
        {"large file renamed over", "large-file", "0123456789abcdef",
         [](const std::string& p) {
             std::ofstream(p + ".new", std::ios::binary) << "a different file";
             ASSERT_EQ(rename((p + ".new").c_str(), p.c_str()), 0);
         },
         "a different file"},
        {"large file deleted", "large-file", "0123456789abcdef",
         [](const std::string& p) { ASSERT_EQ(unlink(p.c_str()), 0); }, "404"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        OpenFileCache cache(limits, ManualClock);
        Write(c.name, c.before);
        g_nowMsec = 5000;
        OpenedTarget held = cache.Open(rootFd_, "/" + c.name);  // a response in flight
        ASSERT_EQ(held.status, 0);
        EXPECT_EQ(held.file->InMemory(), c.before.size() <= limits.smallFileMax);
        c.change(root_ + "/" + c.name);
        g_nowMsec = 5000 + limits.validMsec - 1;
        EXPECT_EQ(Serve(cache, "/" + c.name + "?q=1"), c.before) << "still trusted: no look at the file";
        g_nowMsec = 5000 + limits.validMsec;
        EXPECT_EQ(Serve(cache, "/" + c.name), c.after);
        EXPECT_EQ(cache.entries(), c.after == "404" ? 0u : 1u);
    }
}

TEST_F(OpenFileCacheTest, GzipSiblingIsCheckedWithItsFile) {
    OpenFileCache cache(OpenFileCacheLimits(), ManualClock);
    auto sibling = [&] {
        OpenedTarget t = cache.Open(rootFd_, "/page");
        return t.gzip ? t.gzip->bytes : std::string("none");
    };
    Write("page", "plain");
    EXPECT_EQ(sibling(), "none");
    Write("page.gz", "zipped");
    g_nowMsec += 999;
    EXPECT_EQ(sibling(), "none");
    g_nowMsec += 1;
    EXPECT_EQ(sibling(), "zipped");  // a new sibling is found
    Write("page.gz", "rezipped");
    g_nowMsec += 1000;
    EXPECT_EQ(sibling(), "rezipped");
    ASSERT_EQ(unlink((root_ + "/page.gz").c_str()), 0);
    g_nowMsec += 1000;
    EXPECT_EQ(sibling(), "none");
}

TEST_F(OpenFileCacheTest, StaysWithinItsBoundsAndHoldsNoIdleDescriptor) {
    OpenFileCacheLimits limits;
    limits.maxEntries = 3;
    limits.maxBytes = 10;
    limits.smallFileMax = 8;
    OpenFileCache cache(limits, ManualClock);
    for (const char* name : {"a", "b", "c", "d"}) Write(name, "1234");
    Write("e", "123456789");  // one past the small-file size: shared, not kept
    struct Step {
        const char* target;
        size_t entries;
        uint64_t bytes;
    };
    const Step steps[] = {
        {"/a", 1, 4}, {"/b", 2, 8}, {"/c", 2, 8},  // c's bytes push a, the least recent, out
        {"/b", 2, 8}, {"/d", 2, 8},                // b was used last: c goes
        {"/e", 3, 8},                              // no bytes of its own
    };
    OpenedTarget held;
    for (const Step& s : steps) {
        SCOPED_TRACE(s.target);
        held = cache.Open(rootFd_, s.target);
        ASSERT_EQ(held.status, 0);
        EXPECT_EQ(cache.entries(), s.entries);
        EXPECT_EQ(cache.bytes(), s.bytes);
    }
    // An evicted file is looked at again at once; a cached one is not (until the validity ends).
    Write("a", "AAAA");
    Write("d", "DDDD");
    EXPECT_EQ(Serve(cache, "/a"), "AAAA");
    EXPECT_EQ(Serve(cache, "/d"), "1234");
    // The larger file's descriptor lives as long as a response holds it, not in the cache.
    int open = CountOwnDescriptors();
    held = OpenedTarget();
    EXPECT_EQ(CountOwnDescriptors(), open - 1);
    EXPECT_EQ(Serve(cache, "/e"), "123456789");
    EXPECT_EQ(CountOwnDescriptors(), open - 1);
}

TEST_F(OpenFileCacheTest, ZeroEntriesCachesNothing) {
    OpenFileCacheLimits limits;
    limits.maxEntries = 0;
    OpenFileCache cache(limits, ManualClock);
    Write("a", "1234");
    EXPECT_EQ(Serve(cache, "/a"), "1234");
    Write("a", "5678");
    EXPECT_EQ(Serve(cache, "/a"), "5678");
    EXPECT_EQ(cache.entries(), 0u);
}

// A same-size rewrite within one timestamp tick leaves the fingerprint as it was, so bytes read
// within a second of the file's change time are read again at the next validation; bytes read
// later are kept. A listing page built within a second of its directory's change is built again
// alike. The wall clock stands at a chosen distance from the change time.
TEST_F(OpenFileCacheTest, BytesReadCloseToTheirChangeAreReadAgain) {
    OpenFileCache cache(OpenFileCacheLimits(), ManualClock, ManualWallClock);
    Write("a", "v1");
    ASSERT_EQ(mkdir((root_ + "/d").c_str(), 0755), 0);
    const std::pair<const char*, std::function<OpenedFileRef()>> kinds[] = {
        {"a file", [&] { return cache.Open(rootFd_, "/a").file; }},
        {"a listing", [&] { return cache.Listing(rootFd_, "d/"); }},
    };
    for (const auto& [what, open] : kinds) {
        SCOPED_TRACE(what);
        g_wallMsec = 1;  // long before the change: as racy as a read in its tick
        OpenedFileRef previous = open();
        ASSERT_TRUE(previous);
        const timespec changed = previous->st.st_ctim;
        // The wall clock at each validation after a change, and whether that one reads again.
        const std::pair<int64_t, bool> steps[] = {{0, true}, {kRacyMsec, true}, {kRacyMsec, false}};
        for (const auto& [sinceChange, readAgain] : steps) {
            g_wallMsec = int64_t(changed.tv_sec) * 1000 + changed.tv_nsec / 1000000 + sinceChange;
            g_nowMsec += OpenFileCacheLimits().validMsec;
            OpenedFileRef now = open();
            EXPECT_EQ(now != previous, readAgain) << sinceChange;
            previous = now;
        }
    }
}

// The key is the decoded path beneath the root: spellings of one path share one entry.
TEST_F(OpenFileCacheTest, SpellingsOfOnePathShareOneEntry) {
    OpenFileCache cache(OpenFileCacheLimits(), ManualClock);
    ASSERT_EQ(mkdir((root_ + "/d").c_str(), 0755), 0);
    Write("a", "A");
    Write("d/index.html", "I");
    for (const char* target : {"/a", "//a", "/./a", "/%61", "/a?x=1", "http://host/a", "/d/", "//d/./"})
        EXPECT_NE(Serve(cache, target), "404") << target;
    EXPECT_EQ(cache.entries(), 2u);
    EXPECT_EQ(Serve(cache, "/a/."), "404");  // a file is no directory, however the path is spelled
    // "./" is left out only where it is a whole segment: "/d./a" names no "/da".
    Write("da", "DA");
    EXPECT_EQ(Serve(cache, "/da"), "DA");
    EXPECT_EQ(Serve(cache, "/d./a"), "404");
}

// A listing is kept as a page and checked against its directory's own times once its trust
// runs out: a new entry is seen then, an unchanged directory keeps its page.
TEST_F(OpenFileCacheTest, ListingIsKeptUntilItsDirectoryChanges) {
    g_wallMsec = int64_t(time(nullptr) + 3600) * 1000;  // every change long past: nothing racy
    OpenFileCache cache(OpenFileCacheLimits(), ManualClock, ManualWallClock);
    ASSERT_EQ(mkdir((root_ + "/d").c_str(), 0755), 0);
    OpenedFileRef first = cache.Listing(rootFd_, "d/");
    ASSERT_TRUE(first);
    EXPECT_EQ(cache.Listing(rootFd_, "./d//"), first);  // one page for one directory
    Write("d/two", "2");
    g_nowMsec += OpenFileCacheLimits().validMsec - 1;
    EXPECT_EQ(cache.Listing(rootFd_, "d/"), first);  // trusted: the directory is not looked at
    g_nowMsec += 1;
    OpenedFileRef second = cache.Listing(rootFd_, "d/");
    EXPECT_NE(second->bytes.find(">two</a>"), std::string::npos) << second->bytes;
    g_nowMsec += OpenFileCacheLimits().validMsec;
    EXPECT_EQ(cache.Listing(rootFd_, "d/"), second);  // unchanged: the page is kept
    EXPECT_EQ(cache.bytes(), second->bytes.size());
}

}  // namespace
