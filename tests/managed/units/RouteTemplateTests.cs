// Route templates: refused at Map time, matched segment by segment against the normalised
// path, and ordered by precedence.
using System;
using System.Linq;

namespace Vrns.Http.Units
{
    static class RouteTemplateTests
    {
        static readonly string[] Malformed = {
            null, "", "users/{id}", "/a//b", "/a/", "/a{id}", "/{id}x", "/{id", "/id}", "/{}", "/{*}", "/{a-b}", "/{a b}",
            "/{*rest}/x", "/{id}/{ID}", "/{a}/{*a}", "/{{a}}",
        };

        [Test]
        static void RefusesMalformedTemplates()
        {
            foreach (string t in Malformed)
                Check.Throws<ArgumentException>(() => RouteTemplate.Parse(t), "template " + (t ?? "null"));
        }

        // template, path, values expected ("name=value" joined by ';'; null: no match).
        static readonly string[][] Matches = {
            new[] { "/users/{id}", "/users/5", "id=5" },
            new[] { "/users/{id}", "/users/a b", "id=a b" },
            new[] { "/users/{id}", "/users/%41", "id=%41" },  // the path is decoded once, before routing
            new[] { "/users/{id}", "/users/", null },
            new[] { "/users/{id}", "/users", null },
            new[] { "/users/{id}", "/users/5/", null },
            new[] { "/users/{id}", "/users/5/x", null },
            new[] { "/users/{id}", "/Users/5", null },
            new[] { "/users/{id}", "/usersx/5", null },
            new[] { "/users/{id}/posts/{post}", "/users/7/posts/x.y", "id=7;post=x.y" },
            new[] { "/users/{id}/posts/{post}", "/users/7/comments/1", null },
            new[] { "/{a}/{b}", "/x/y", "a=x;b=y" },
            new[] { "/files/{*rest}", "/files/a/b.txt", "rest=a/b.txt" },
            new[] { "/files/{*rest}", "/files/", "rest=" },
            new[] { "/files/{*rest}", "/files", "rest=" },
            new[] { "/files/{*rest}", "/filesx", null },
            new[] { "/{*all}", "/", "all=" },
            new[] { "/", "/", "" },
            new[] { "/", "/a", null },
            new[] { "/caf\u00e9/{x}", "/caf\u00e9/\u00fc", "x=\u00fc" },
        };

        [Test]
        static void MatchesSegmentBySegment()
        {
            foreach (string[] row in Matches) {
                var values = new RouteValues();
                bool matched = RouteTemplate.Parse(row[0]).TryMatch(row[1], values);
                string what = row[0] + " on " + row[1];
                Check.Equal(row[2] != null, matched, what);
                Check.Equal(row[2] ?? "", string.Join(";", values.Select(p => p.Key + "=" + p.Value)), what + " values");
            }
            var byName = new RouteValues();
            RouteTemplate.Parse("/u/{Id}").TryMatch("/u/9", byName);
            Check.Equal("9", byName["id"], "names without case");
        }

        // templates in the order mapped, then the path, then the template that must take it.
        static readonly string[][] Precedence = {
            new[] { "/users/{id}", "/users/{x}/{y}", "/users/{id}/edit", "/users/new/edit", "/users/{id}/edit" },
            new[] { "/a/{x}/c", "/a/b/{y}", "/a/b/c", "/a/b/{y}" },
            new[] { "/a/{*rest}", "/a/{x}", "/a/b", "/a/{x}" },
            new[] { "/a/{x}/{*rest}", "/a/{x}", "/a/b", "/a/{x}" },
            new[] { "/{*all}", "/a/{*rest}", "/a/b/c", "/a/{*rest}" },
            new[] { "/{a}/x", "/{b}/x", "/v/x", "/{a}/x" },
            new[] { "/{b}/x", "/{a}/x", "/v/x", "/{b}/x" },
        };

        [Test]
        static void OrdersByPrecedence()
        {
            foreach (string[] row in Precedence) {
                var list = new RouteTemplateList<string>();
                for (int i = 0; i < row.Length - 2; i++) list.Add(RouteTemplate.Parse(row[i]), row[i]);
                int found = list.Find(row[row.Length - 2], new RouteValues(), 0);
                string what = string.Join(", ", row.Take(row.Length - 2)) + " on " + row[row.Length - 2];
                Check.Equal(row[row.Length - 1], found < 0 ? null : list.ItemAt(found), what);
            }
        }
    }
}
