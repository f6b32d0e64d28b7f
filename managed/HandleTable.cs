// Live objects addressed by a number that travels through the executable as userData. A number
// is never reused, so a late or repeated callback finds nothing instead of a stranger's object.
using System;
using System.Collections.Concurrent;
using System.Collections.Generic;
using System.Threading;

namespace Vrns
{
    // Safe to call from any thread; pump workers add and take at once, so the map is striped.
    public sealed class HandleTable<T> where T : class
    {
        readonly ConcurrentDictionary<long, T> items = new ConcurrentDictionary<long, T>();
        long next;

        public IntPtr Add(T item)
        {
            long key = Interlocked.Increment(ref next);
            items[key] = item;
            return new IntPtr(key);
        }

        // The object for key, or null; it stays in the table.
        public T Get(IntPtr key)
        {
            T item;
            return items.TryGetValue(key.ToInt64(), out item) ? item : null;
        }

        // Takes the object for key out of the table; null when it is not there (any more).
        public T Take(IntPtr key)
        {
            T item;
            return items.TryRemove(key.ToInt64(), out item) ? item : null;
        }

        public int Count
        {
            get { return items.Count; }
        }

        public List<T> Snapshot()
        {
            return new List<T>(items.Values);
        }
    }
}
