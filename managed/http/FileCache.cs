// The static files' cache: small files' bytes and validators (and their FILE.gz siblings') by
// the request's normalised path (PathNormalizer), so "/a", "//a", "/./a" and "/%61" share one
// entry, kept by the rules of the native server's open-file cache.
//
// Trust: an entry is trusted for TrustMsec after it was made or last checked; then the next
// request opens the path again (under the same confinement as ever) and compares the file's
// device, inode, size, modification and change times with the entry's: unchanged, the entry is
// kept and trusted again; changed, replaced, removed, it is read afresh or dropped.
//
// Racily clean: those times have the kernel's timestamp granularity, so a same-size rewrite in
// the tick of a read leaves them as they were. Bytes read less than RacyMsec after the file's
// change time are served while the entry is trusted but read again at its next check; only
// bytes read later are kept across checks (Git's rule for a racily clean index entry).
//
// Bounds: at most MaxEntries entries and MaxBytes bytes of contents; the least recently used
// entries go first. Any thread: one lock guards the index and the recency list, held for a
// lookup, a splice or an eviction, never across a system call.
using System;
using System.Collections.Generic;

namespace Vrns.Http
{
    // A file's bytes (when small) and validators, shared by the responses that send it and never
    // changed once made.
    sealed class CachedFile
    {
        public FileStatus Status;
        public byte[] Bytes;
        public byte[] Fields;  // Content-Type, the validators and Accept-Ranges, ready to send
        public string Type, ETag, LastModified;
        // Read within RacyMsec of the file's change time: read again at the next check.
        public bool Racy;
        // The precompressed FILE.gz beside the file, kept and checked with it; null: none.
        public CachedFile Gzip;

        // The bytes the entry keeps, its sibling's included.
        public long Size
        {
            get { return Bytes.Length + (Gzip != null ? Gzip.Bytes.Length : 0); }
        }

        // The same file with the same contents as far as statx can tell: a rewrite changes the
        // times, a rename over or a new file the inode.
        public bool Same(FileStatus st)
        {
            FileStatus s = Status;
            return st.Device == s.Device && st.Inode == s.Inode && st.Size == s.Size && st.MtimeSec == s.MtimeSec &&
                   st.MtimeNsec == s.MtimeNsec && st.CtimeSec == s.CtimeSec && st.CtimeNsec == s.CtimeNsec;
        }
    }

    sealed class FileCache
    {
        public const long TrustMsec = 1000;
        // Well past any file system's timestamp tick.
        public const long RacyMsec = 1000;

        // The path's bytes in an array of the caller's (a lookup) or the entry's own (a key kept).
        struct Key
        {
            public byte[] Bytes;
            public int At, Length, Hash;
        }

        sealed class KeyComparer : IEqualityComparer<Key>
        {
            public bool Equals(Key a, Key b)
            {
                if (a.Length != b.Length || a.Hash != b.Hash) return false;
                for (int i = 0; i < a.Length; i++)
                    if (a.Bytes[a.At + i] != b.Bytes[b.At + i]) return false;
                return true;
            }

            public int GetHashCode(Key k)
            {
                return k.Hash;
            }
        }

        // One path's entry, linked from the most recently used (newest) to the least.
        sealed class Entry
        {
            public Key Key;
            public CachedFile File;
            public long CheckedAt;
            public Entry Newer, Older;
        }

        // Mixed into every hash, so that colliding paths cannot be prepared in advance.
        static readonly int Seed = new Random().Next();

        readonly Func<long> clock, wallClock;
        readonly object gate = new object();  // guards index, newest, oldest, bytes and the bounds
        readonly Dictionary<Key, Entry> index = new Dictionary<Key, Entry>(new KeyComparer());
        Entry newest, oldest;
        long bytes;
        int maxEntries = 1024;
        long maxBytes = 16 << 20;

        // clock (monotonic, milliseconds) times the trust; wallClock (milliseconds since 1970)
        // is compared with the files' change times.
        public FileCache(Func<long> clock, Func<long> wallClock)
        {
            this.clock = clock;
            this.wallClock = wallClock;
        }

        // How many entries are kept (0: none, every request opens its file).
        public int MaxEntries
        {
            get { lock (gate) return maxEntries; }
            set {
                lock (gate) {
                    maxEntries = Math.Max(0, value);
                    Trim();
                }
            }
        }

        // How many bytes of contents are kept.
        public long MaxBytes
        {
            get { lock (gate) return maxBytes; }
            set {
                lock (gate) {
                    maxBytes = Math.Max(0, value);
                    Trim();
                }
            }
        }

        public int Count
        {
            get { lock (gate) return index.Count; }
        }

        public long Bytes
        {
            get { lock (gate) return bytes; }
        }

        public long WallMsec()
        {
            return wallClock();
        }

        // Whether bytes read at wallMsec may predate a change that left st as it was (a change
        // time in the future counts too: the clock was set back).
        public static bool ReadTooSoon(FileStatus st, long wallMsec)
        {
            return wallMsec - (st.CtimeSec * 1000 + st.CtimeNsec / 1000000) < RacyMsec;
        }

        // Whether stale still stands for the file now described by st.
        public static bool StillHolds(CachedFile stale, FileStatus st)
        {
            return !stale.Racy && stale.Same(st);
        }

        // The trusted entry of path[at..at+length), or null; an entry past its trust goes to
        // stale, to be checked against what the path names now (StillHolds).
        public CachedFile Find(byte[] path, int at, int length, out CachedFile stale)
        {
            stale = null;
            Key k = Make(path, at, length);
            long now = clock();
            lock (gate) {
                Entry e;
                if (!index.TryGetValue(k, out e)) return null;
                if (now - e.CheckedAt >= TrustMsec) {
                    stale = e.File;
                    return null;
                }
                Unlink(e);
                LinkNewest(e);
                return e.File;
            }
        }

        // Keeps file as the entry of path[at..at+length), checked now, in place of what was
        // there; then the least recently used go while a bound is exceeded. A file larger than
        // the byte bound is not kept.
        public void Put(byte[] path, int at, int length, CachedFile file)
        {
            Key k = Make(path, at, length);
            long now = clock();
            lock (gate) {
                Entry e;
                bool found = index.TryGetValue(k, out e);
                if (maxEntries == 0 || file.Size > maxBytes) {
                    if (found) Drop(e);
                    return;
                }
                if (found) {
                    bytes -= e.File.Size;
                    Unlink(e);
                } else {
                    var own = new byte[length];
                    Buffer.BlockCopy(path, at, own, 0, length);
                    k.Bytes = own;
                    k.At = 0;
                    e = new Entry { Key = k };
                    index.Add(k, e);
                }
                e.File = file;
                e.CheckedAt = now;
                bytes += file.Size;
                LinkNewest(e);
                Trim();
            }
        }

        // Forgets path[at..at+length): it names no file to keep any more.
        public void Remove(byte[] path, int at, int length)
        {
            Key k = Make(path, at, length);
            lock (gate) {
                Entry e;
                if (index.TryGetValue(k, out e)) Drop(e);
            }
        }

        static Key Make(byte[] path, int at, int length)
        {
            uint hash = (uint)Seed ^ 2166136261;
            for (int i = 0; i < length; i++) hash = (hash ^ path[at + i]) * 16777619;  // FNV-1a
            return new Key { Bytes = path, At = at, Length = length, Hash = (int)hash };
        }

        void Trim()
        {
            while (oldest != null && (index.Count > maxEntries || bytes > maxBytes)) Drop(oldest);
        }

        void Drop(Entry e)
        {
            Unlink(e);
            index.Remove(e.Key);
            bytes -= e.File.Size;
        }

        void LinkNewest(Entry e)
        {
            e.Older = newest;
            e.Newer = null;
            if (newest != null) newest.Newer = e;
            newest = e;
            if (oldest == null) oldest = e;
        }

        void Unlink(Entry e)
        {
            if (e.Newer != null) e.Newer.Older = e.Older;
            else newest = e.Older;
            if (e.Older != null) e.Older.Newer = e.Newer;
            else oldest = e.Newer;
            e.Newer = e.Older = null;
        }
    }
}
