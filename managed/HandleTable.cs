// Live objects addressed by a number that travels through the executable as userData. A number
// is never reused, so a late or repeated callback finds nothing instead of a stranger's object.
using System;
using System.Collections.Generic;

namespace Vrns
{
    // Safe to call from any thread.
    public sealed class HandleTable<T> where T : class
    {
        readonly object gate = new object();  // guards items and next
        readonly Dictionary<long, T> items = new Dictionary<long, T>();
        long next = 1;

        public IntPtr Add(T item)
        {
            lock (gate) {
                long key = next++;
                items.Add(key, item);
                return new IntPtr(key);
            }
        }

        // The object for key, or null; it stays in the table.
        public T Get(IntPtr key)
        {
            lock (gate) {
                T item;
                return items.TryGetValue(key.ToInt64(), out item) ? item : null;
            }
        }

        // Takes the object for key out of the table; null when it is not there (any more).
        public T Take(IntPtr key)
        {
            lock (gate) {
                T item;
                if (!items.TryGetValue(key.ToInt64(), out item)) return null;
                items.Remove(key.ToInt64());
                return item;
            }
        }

        public int Count
        {
            get { lock (gate) return items.Count; }
        }

        public List<T> Snapshot()
        {
            lock (gate) return new List<T>(items.Values);
        }
    }
}
