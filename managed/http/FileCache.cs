// The static files' cache of small files: their bytes and validators by request path.
using System;
using System.Collections.Concurrent;
using System.Collections.Generic;
using System.Threading;

namespace Vrns.Http
{
    // A small file's bytes and validators, shared by the responses that send it: never changed
    // once made, but for the time it was last found unchanged.
    sealed class CachedFile
    {
        // An entry is trusted this long; then the next request opens the path again (confined as
        // ever) and compares the file's identity, size and time.
        const long TrustMsec = 1000;

        public FileStatus Status;
        public byte[] Bytes;
        public byte[] Fields;  // Content-Type, the validators and Accept-Ranges, ready to send
        public string Type, ETag, LastModified;
        long checkedAt;

        public bool Fresh()
        {
            return Engine.NowMsec - Volatile.Read(ref checkedAt) < TrustMsec;
        }

        public void Checked()
        {
            Volatile.Write(ref checkedAt, Engine.NowMsec);
        }

        public bool Same(FileStatus st)
        {
            return st.Inode == Status.Inode && st.Size == Status.Size && st.MtimeSec == Status.MtimeSec &&
                   st.MtimeNsec == Status.MtimeNsec;
        }
    }

    // Decoded request paths to cached files, looked up by the path's bytes without making a key.
    // At most Limit entries; when full, a new path is not kept (entries are replaced in place).
    // Any thread; a lookup takes no lock.
    sealed class FileCache
    {
        struct Key
        {
            public byte[] Bytes;
            public int Length, Hash;
        }

        sealed class KeyComparer : IEqualityComparer<Key>
        {
            public bool Equals(Key a, Key b)
            {
                if (a.Length != b.Length || a.Hash != b.Hash) return false;
                for (int i = 0; i < a.Length; i++)
                    if (a.Bytes[i] != b.Bytes[i]) return false;
                return true;
            }

            public int GetHashCode(Key k)
            {
                return k.Hash;
            }
        }

        readonly ConcurrentDictionary<Key, CachedFile> files = new ConcurrentDictionary<Key, CachedFile>(new KeyComparer());
        int count;
        public int Limit = 1024;

        static Key Make(byte[] path, int length)
        {
            int hash = length;
            for (int i = 0; i < length; i++) hash = hash * 31 + path[i];
            return new Key { Bytes = path, Length = length, Hash = hash };
        }

        public CachedFile Find(byte[] path, int length)
        {
            if (Limit == 0) return null;
            CachedFile f;
            return files.TryGetValue(Make(path, length), out f) ? f : null;
        }

        public void Put(byte[] path, int length, CachedFile file)
        {
            Key k = Make(path, length);
            var own = new byte[length];
            Buffer.BlockCopy(path, 0, own, 0, length);
            k.Bytes = own;
            if (files.ContainsKey(k)) {
                files[k] = file;
            } else if (Interlocked.Increment(ref count) <= Limit) {
                if (!files.TryAdd(k, file)) Interlocked.Decrement(ref count);
            } else {
                Interlocked.Decrement(ref count);
            }
        }
    }
}
