// The static files' cache on injected clocks: the second of trust, the racy-clean rule, one entry
// for every spelling of a path, and the bounds with least-recently-used eviction.
using System.Text;

namespace Vrns.Http.Units
{
    static class FileCacheTests
    {
        // The file's change time: 2020-01-01 00:00:00.250 UTC.
        const long ChangedSec = 1577836800, ChangedMsec = ChangedSec * 1000 + 250;

        static long now, wall;

        static FileCache NewCache()
        {
            now = 5000;
            wall = ChangedMsec + 5000;
            return new FileCache(() => now, () => wall);
        }

        static FileStatus Status(long size)
        {
            return new FileStatus { Mode = 0x8000, Device = 2049, Inode = 7, Size = size, MtimeSec = ChangedSec,
                                    MtimeNsec = 250000000, CtimeSec = ChangedSec, CtimeNsec = 250000000 };
        }

        // The file as StaticFiles makes it: read at the wall clock's time.
        static CachedFile Read(string contents)
        {
            FileStatus st = Status(contents.Length);
            return new CachedFile { Status = st, Bytes = Encoding.ASCII.GetBytes(contents),
                                    Racy = FileCache.ReadTooSoon(st, wall) };
        }

        static byte[] Key(string path)
        {
            return Encoding.ASCII.GetBytes(path);
        }

        static CachedFile Find(FileCache cache, string path, out CachedFile stale)
        {
            byte[] k = Key(path);
            return cache.Find(k, 0, k.Length, out stale);
        }

        static void Put(FileCache cache, string path, CachedFile file)
        {
            byte[] k = Key(path);
            cache.Put(k, 0, k.Length, file);
        }

        // A same-size rewrite in the tick of the read leaves the status as it was: bytes read
        // that soon are served while trusted, then read again; bytes read later are kept.
        [Test]
        static void RacyBytesAreReadAgainAtTheNextCheck()
        {
            var rows = new[] {
                new { What = "read 0.5 s after the change", ReadAfter = 500L, KeptAtCheck = false },
                new { What = "read 0.999 s after the change", ReadAfter = 999L, KeptAtCheck = false },
                new { What = "read 1 s after the change", ReadAfter = 1000L, KeptAtCheck = true },
                new { What = "read before the change (clock set back)", ReadAfter = -3000L, KeptAtCheck = false },
            };
            foreach (var row in rows) {
                FileCache cache = NewCache();
                wall = ChangedMsec + row.ReadAfter;
                CachedFile file = Read("aaaa");
                Put(cache, "/a", file);
                CachedFile stale;
                now += FileCache.TrustMsec - 1;
                Check.True(Find(cache, "/a", out stale) == file, row.What + ": trusted for a second");
                now += 1;
                Check.True(Find(cache, "/a", out stale) == null && stale == file, row.What + ": checked after it");
                // The rewrite "bbbb" left the status as it was.
                Check.Equal(row.KeptAtCheck, FileCache.StillHolds(stale, Status(4)), row.What + ": kept at the check");
            }
        }

        // Beside size, inode and modification time (checked end to end), the device and the change
        // time tell a file apart: the change time alone shows a same-size rewrite whose
        // modification time was put back (cp -p).
        [Test]
        static void ChangedDeviceOrChangeTimeIsReadAgain()
        {
            NewCache();
            CachedFile file = Read("aaaa");
            FileStatus device = Status(4), changed = Status(4);
            device.Device++;
            changed.CtimeNsec++;
            Check.True(FileCache.StillHolds(file, Status(4)), "unchanged");
            Check.True(!FileCache.StillHolds(file, device), "device");
            Check.True(!FileCache.StillHolds(file, changed), "change time");
        }

        // The key is the normalised path: every spelling finds the one entry.
        [Test]
        static void SpellingsOfAPathShareOneEntry()
        {
            FileCache cache = NewCache();
            CachedFile file = Read("aaaa");
            foreach (string spelling in new[] { "/a", "//a", "/./a", "/%61", "/b/../a" }) {
                byte[] raw = Key(spelling);
                var path = new byte[raw.Length + 1];
                int length;
                Check.Equal(0, PathNormalizer.Normalize(raw, 0, raw.Length, path, out length), spelling);
                CachedFile stale;
                if (cache.Find(path, 0, length, out stale) == null) cache.Put(path, 0, length, file);
                Check.True(cache.Find(path, 0, length, out stale) == file, spelling + " found");
            }
            Check.Equal(1, cache.Count, "entries");
        }

        // Either bound evicts the least recently used entries, a lookup counting as a use.
        [Test]
        static void BoundsEvictTheLeastRecentlyUsed()
        {
            var rows = new[] {
                new { What = "entries", MaxEntries = 2, MaxBytes = 100L, Sizes = new[] { 4, 4, 4 }, Kept = "/a /c" },
                new { What = "bytes", MaxEntries = 10, MaxBytes = 10L, Sizes = new[] { 4, 4, 4 }, Kept = "/a /c" },
                new { What = "bytes, a large newcomer", MaxEntries = 10, MaxBytes = 10L, Sizes = new[] { 3, 3, 8 },
                      Kept = "/c" },
                new { What = "larger than the bound", MaxEntries = 10, MaxBytes = 10L, Sizes = new[] { 4, 4, 11 },
                      Kept = "/a /b" },
            };
            foreach (var row in rows) {
                FileCache cache = NewCache();
                cache.MaxEntries = row.MaxEntries;
                cache.MaxBytes = row.MaxBytes;
                CachedFile stale;
                Put(cache, "/a", Read(new string('a', row.Sizes[0])));
                Put(cache, "/b", Read(new string('b', row.Sizes[1])));
                Find(cache, "/a", out stale);  // /a is now used more recently than /b
                Put(cache, "/c", Read(new string('c', row.Sizes[2])));
                string kept = "";
                foreach (string path in new[] { "/a", "/b", "/c" })
                    if (Find(cache, path, out stale) != null) kept += (kept.Length > 0 ? " " : "") + path;
                Check.Equal(row.Kept, kept, row.What);
                Check.True(cache.Bytes <= row.MaxBytes && cache.Count <= row.MaxEntries, row.What + ": within the bounds");
            }
        }
    }
}
