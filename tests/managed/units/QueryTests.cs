// QueryCollection: the raw query (one character per byte, as HttpRequest.Query gives it) and
// what a handler reads from it.
using System;
using System.Linq;

namespace Vrns.Http.Units
{
    static class QueryTests
    {
        // raw query, name asked for, every value expected ("|"-joined; null: none).
        static readonly string[][] Rows = {
            new[] { "a=1&b=2", "b", "2" },
            new[] { "a=1&a=2&a=3", "a", "1|2|3" },
            new[] { "a=x+y%20z", "a", "x y z" },
            new[] { "a=%2B+", "a", "+ " },
            new[] { "a=%E2%82%AC", "a", "\u20ac" },
            new[] { "a=%e2%82%ac", "a", "\u20ac" },
            new[] { "a=\u00e2\u0082\u00ac", "a", "\u20ac" },  // raw UTF-8 bytes
            new[] { "a=%zz&b=%4", "a", "%zz" },
            new[] { "a=%zz&b=%4", "b", "%4" },
            new[] { "a=%FF%E2%82", "a", "\ufffd\ufffd" },
            new[] { "a", "a", "" },
            new[] { "a=b=c", "a", "b=c" },
            new[] { "%61=1", "a", "1" },
            new[] { "A=1", "a", "1" },
            new[] { "&&a=1&&", "a", "1" },
            new[] { "a=1", "b", null },
            new[] { "", "a", null },
        };

        [Test]
        static void DecodesAsBrowsersDo()
        {
            foreach (string[] row in Rows) {
                var q = new QueryCollection(row[0]);
                string what = "query " + Check.Escape(row[0]) + " [" + row[1] + "]";
                string[] all = row[2] == null ? new string[0] : row[2].Split('|');
                Check.Equal(row[2] == null ? null : all[0], q[row[1]], what);
                Check.Equal(string.Join("|", all), string.Join("|", q.GetValues(row[1])), what + " GetValues");
            }
        }

        [Test]
        static void CountsAndEnumeratesPairsInOrder()
        {
            var q = new QueryCollection("b=1&&a=2&b=3&c");
            Check.Equal(4, q.Count, "Count");
            Check.Equal("b=1,a=2,b=3,c=", string.Join(",", q.Select(p => p.Key + "=" + p.Value)), "enumeration");
        }

        [Test]
        static void RefusesMoreThanATarget()
        {
            Check.Throws<ArgumentException>(() => new QueryCollection(new string('a', QueryCollection.MaxQueryLength + 1)),
                                            "a query over 8 KiB");
            string longest = new string('a', QueryCollection.MaxQueryLength);
            Check.Equal("", new QueryCollection(longest)[longest], "a query of exactly 8 KiB");
        }
    }
}
