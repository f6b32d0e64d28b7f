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
            "/{id:}", "/{id:integer}", "/{id:Int}", "/{*rest:int}", "/{:int}", "/{id:regex()}", "/{id:regex(a}", "/{id:regex([)}",
            "/{id:regex(a/b)}",
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
            // constraints: a value they refuse does not match
            new[] { "/t/{id:int}", "/t/42", "id=42" },
            new[] { "/t/{id:int}", "/t/-2147483648", "id=-2147483648" },
            new[] { "/t/{id:int}", "/t/2147483648", null },
            new[] { "/t/{id:int}", "/t/+1", null },
            new[] { "/t/{id:int}", "/t/ 1", null },
            new[] { "/t/{id:int}", "/t/1.0", null },
            new[] { "/t/{id:int}", "/t/\u0661", null },  // an Arabic-Indic digit
            new[] { "/t/{id:int}", "/t/-", null },
            new[] { "/t/{id:int}/x", "/t/abc/x", null },
            new[] { "/t/{id:long}", "/t/9223372036854775807", "id=9223372036854775807" },
            new[] { "/t/{id:long}", "/t/9223372036854775808", null },
            new[] { "/t/{id:guid}", "/t/0f8fad5b-d9cb-469f-a165-70867728950e", "id=0f8fad5b-d9cb-469f-a165-70867728950e" },
            new[] { "/t/{id:guid}", "/t/0f8fad5bd9cb469fa16570867728950e", "id=0f8fad5bd9cb469fa16570867728950e" },
            new[] { "/t/{id:guid}", "/t/0f8fad5b", null },
            new[] { "/t/{y:regex(\\d{4})}", "/t/2024", "y=2024" },
            new[] { "/t/{y:regex(\\d{4})}", "/t/20245", null },  // the whole value
            new[] { "/t/{y:regex(\\d{4})}", "/t/x2024", null },
            new[] { "/t/{s:regex(a|b)}", "/t/b", "s=b" },  // the alternation inside the anchors
            new[] { "/t/{s:regex(a|b)}", "/t/ab", null },
            new[] { "/t/{s:regex([a-z]+)}", "/t/ABC", null },  // case counts
            // a pattern that backtracks without end on this value: the time-out's no match
            new[] { "/t/{s:regex((a+)+)}", "/t/" + new string('a', 40) + "b", null },
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
            // a constrained parameter before a plain one, whatever the order mapped
            new[] { "/a/{slug}", "/a/{id:int}", "/a/5", "/a/{id:int}" },
            new[] { "/a/{slug}", "/a/{id:int}", "/a/x", "/a/{slug}" },
            new[] { "/a/{id:guid}", "/a/{id:int}", "/a/5", "/a/{id:int}" },
            new[] { "/a/{id:int}", "/a/b", "/a/b", "/a/b" },
        };

        // The typed accessors read what their constraints take; another value is the client's
        // error (400), a name the route lacks the application's.
        [Test]
        static void TypedAccessors()
        {
            var values = new RouteValues();
            RouteTemplate.Parse("/t/{a}/{b}/{c}/{d}").TryMatch("/t/-7/9223372036854775807/0f8fad5b-d9cb-469f-a165-70867728950e/x", values);
            Check.Equal(-7, values.GetInt32("A"), "int, names without case");
            Check.Equal(9223372036854775807L, values.GetInt64("b"), "long");
            Check.Equal(new Guid("0f8fad5b-d9cb-469f-a165-70867728950e"), values.GetGuid("c"), "guid");
            Check.Equal(400, Check.Throws<BadHttpRequestException>(() => values.GetInt32("d"), "not an int").StatusCode, "400");
            Check.Throws<BadHttpRequestException>(() => values.GetInt32("b"), "an int too large");
            Check.Throws<BadHttpRequestException>(() => values.GetGuid("a"), "not a guid");
            Check.Throws<InvalidOperationException>(() => values.GetInt32("e"), "no such parameter");
        }

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
