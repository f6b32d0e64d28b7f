// Names with values, in the order they came, as a request gives them: the query, the cookies,
// a form's fields, a route's values. ["name"] is the first value (null when there is none),
// GetValues every one in order; Count and enumeration count each pair, repeats included. The
// comparer says whether names differ by case. A collection made for one request is filled
// once (on first use where it is parsed lazily) and then only read.
using System;
using System.Collections;
using System.Collections.Generic;

namespace Vrns.Http
{
    public abstract class ValueCollection : IEnumerable<KeyValuePair<string, string>>
    {
        static readonly string[] None = new string[0];

        readonly StringComparer comparer;
        readonly List<string> names = new List<string>(), values = new List<string>();

        internal ValueCollection(StringComparer comparer)
        {
            this.comparer = comparer;
        }

        // Fills the collection on first use (collections parsed lazily override it).
        internal virtual void Load()
        {
        }

        internal void Add(string name, string value)
        {
            names.Add(name);
            values.Add(value);
        }

        // Drops the pairs from index first on (a route that matched in part).
        internal void RemoveFrom(int first)
        {
            names.RemoveRange(first, names.Count - first);
            values.RemoveRange(first, values.Count - first);
        }

        internal int Pairs
        {
            get { return names.Count; }
        }

        public int Count
        {
            get {
                Load();
                return names.Count;
            }
        }

        public string this[string name]
        {
            get {
                int i = IndexOf(name);
                return i < 0 ? null : values[i];
            }
        }

        public bool ContainsKey(string name)
        {
            return IndexOf(name) >= 0;
        }

        // Every value of name, in order; empty when there is none.
        public string[] GetValues(string name)
        {
            Load();
            int n = 0;
            for (int i = 0; i < names.Count; i++)
                if (comparer.Equals(names[i], name)) n++;
            if (n == 0) return None;
            var all = new string[n];
            n = 0;
            for (int i = 0; i < names.Count; i++)
                if (comparer.Equals(names[i], name)) all[n++] = values[i];
            return all;
        }

        int IndexOf(string name)
        {
            if (name == null) throw new ArgumentNullException("name");
            Load();
            for (int i = 0; i < names.Count; i++)
                if (comparer.Equals(names[i], name)) return i;
            return -1;
        }

        public IEnumerator<KeyValuePair<string, string>> GetEnumerator()
        {
            Load();
            for (int i = 0; i < names.Count; i++) yield return new KeyValuePair<string, string>(names[i], values[i]);
        }

        IEnumerator IEnumerable.GetEnumerator()
        {
            return GetEnumerator();
        }
    }
}
