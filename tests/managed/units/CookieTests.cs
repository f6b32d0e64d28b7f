// Cookies: the Cookie field(s) read into RequestCookies, and Set-Cookie values from
// System.Net.Cookie, refusals first.
using System;
using System.Linq;
using System.Net;

namespace Vrns.Http.Units
{
    static class CookieTests
    {
        // A cookie that System.Net.Cookie accepts but that must not reach a Set-Cookie field.
        static readonly Func<Cookie>[] Refused = {
            () => new Cookie("a", "x;Domain=evil.example"),
            () => new Cookie("a", "x\r\nSet-Cookie: b=c"),
            () => new Cookie("a", "x y"),
            () => new Cookie("a", "x,y"),
            () => new Cookie("a", "x\"y"),
            () => new Cookie("a", "x\\y"),
            () => new Cookie("a", "\"x"),
            () => new Cookie("a", "\u00e9"),
            () => new Cookie("a/b", "x"),
            () => new Cookie("a@b", "x"),
            () => new Cookie("\u00e9", "x"),
            () => new Cookie("a", "x", "/p;Secure"),
            () => new Cookie("a", "x", "/p\n"),
            () => new Cookie("a", "x", "/\u00e9"),
            () => new Cookie("a", "x", "/", "evil.example;x"),
            () => new Cookie("a", "x", "/", "ex ample.com"),
        };

        [Test]
        static void RefusesWhatCouldAddAnAttributeOrAField()
        {
            for (int i = 0; i < Refused.Length; i++) {
                Cookie c = Refused[i]();
                Check.Throws<ArgumentException>(() => SetCookie.Format(c, SameSiteMode.Unspecified, null),
                                                "row " + i + ": " + Check.Escape(c.Name + "=" + c.Value + " path " + c.Path + " domain " + c.Domain));
            }
            var lax = new Cookie("a", "b");
            Check.Throws<ArgumentException>(() => SetCookie.Format(lax, SameSiteMode.None, null), "SameSite=None without Secure");
            Check.Throws<ArgumentOutOfRangeException>(() => SetCookie.Format(lax, SameSiteMode.Unspecified, TimeSpan.FromSeconds(-1)),
                                                      "a negative Max-Age");
        }

        [Test]
        static void FormatsAttributes()
        {
            var all = new Cookie("id", "a1", "/app", "example.com") { Secure = true, HttpOnly = true };
            var dated = new Cookie("d", "\"q\"") { Expires = new DateTime(1994, 11, 6, 8, 49, 37, DateTimeKind.Utc) };
            var rows = new[] {
                Tuple.Create(new Cookie("a", ""), SameSiteMode.Unspecified, (TimeSpan?)null, "a="),
                Tuple.Create(all, SameSiteMode.Strict, (TimeSpan?)null, "id=a1; Domain=example.com; Path=/app; Secure; HttpOnly; SameSite=Strict"),
                Tuple.Create(new Cookie("s", "1") { Secure = true }, SameSiteMode.None, (TimeSpan?)null, "s=1; Secure; SameSite=None"),
                Tuple.Create(dated, SameSiteMode.Lax, (TimeSpan?)TimeSpan.FromHours(1),
                             "d=\"q\"; Expires=Sun, 06 Nov 1994 08:49:37 GMT; Max-Age=3600; SameSite=Lax"),
            };
            foreach (var row in rows)
                Check.Equal(row.Item4, SetCookie.Format(row.Item1, row.Item2, row.Item3), row.Item4);
            var expired = new Cookie("gone", "") { Expired = true };
            string text = SetCookie.Format(expired, SameSiteMode.Unspecified, null);
            Check.True(text.StartsWith("gone=; Expires=") && text.EndsWith(" GMT; Max-Age=0"), "an expired cookie: " + text);
        }

        // Cookie field values, the name asked for, every value expected ("|"-joined; null: none).
        static readonly string[][] Parsed = {
            new[] { "a=1; b=2", "b", "2" },
            new[] { "a=1;b=2", "b", "2" },
            new[] { " a = 1 ;\tb=2\t", "a", "1" },
            new[] { "a=\"q v\"", "a", "q v" },
            new[] { "a=1; a=2", "a", "1|2" },
            new[] { "a=1\nb=2", "b", "2" },  // two fields
            new[] { "junk; a=1", "a", "1" },
            new[] { "=x; a=1", "", null },
            new[] { "A=1", "a", null },
            new[] { "a=x=y", "a", "x=y" },
            new[] { "a=%41", "a", "%41" },
            new[] { "a=\u00c3\u00a9", "a", "\u00e9" },
            new[] { "a=", "a", "" },
            new[] { "", "a", null },
        };

        [Test]
        static void ReadsTheCookieFields()
        {
            foreach (string[] row in Parsed) {
                var cookies = new RequestCookies(row[0].Split('\n'));
                string what = "Cookie " + Check.Escape(row[0]) + " [" + row[1] + "]";
                string[] all = row[2] == null ? new string[0] : row[2].Split('|');
                Check.Equal(row[2] == null ? null : all[0], cookies[row[1]], what);
                Check.Equal(string.Join("|", all), string.Join("|", cookies.GetValues(row[1])), what + " GetValues");
            }
            var pieces = new RequestCookies(new[] { "junk; a=1; =x; b=2" });
            Check.Equal("a=1,b=2", string.Join(",", pieces.Select(p => p.Key + "=" + p.Value)), "only pairs with a name count");
        }
    }
}
