// Routes are matched against normalised paths, so one that no normalised path can equal is
// refused when it is mapped, rather than never matching (a guard that guards nothing). A route
// group's paths are its prefix joined to the route's.
using System;
using System.Threading.Tasks;

namespace Vrns.Http.Units
{
    static class RouterTests
    {
        [Test]
        static void RoutesAreMappedInNormalForm()
        {
            RequestHandler handler = c => Task.CompletedTask;
            var rows = new[] {
                new { Path = "/private/", Refused = false },
                new { Path = "/50%off", Refused = false },       // a literal '%': paths are compared decoded
                new { Path = "/caf\u00e9", Refused = false },
                new { Path = "/private//", Refused = true },
                new { Path = "/./private/", Refused = true },
                new { Path = "/a/../private/", Refused = true },
                new { Path = "/private/.", Refused = true },
            };
            foreach (var row in rows) {
                var router = new Router();
                if (row.Refused)
                    Check.Throws<ArgumentException>(() => router.MapPrefix(null, row.Path, handler), row.Path);
                else
                    router.MapPrefix(null, row.Path, handler);
            }
        }

        // outer group prefix, group or route path, whether it is a group's, what is mapped.
        static readonly Tuple<string, string, bool, string>[] Joins = {
            Tuple.Create("", "/todo", true, "/todo"),
            Tuple.Create("", "/todo/", true, "/todo"),
            Tuple.Create("", "/", true, ""),  // the root group: its routes are the server's
            Tuple.Create("", "/", false, "/"),
            Tuple.Create("", "/x", false, "/x"),
            Tuple.Create("/todo", "/", false, "/todo"),  // the trailing-slash rule adds "/todo/"
            Tuple.Create("/todo", "/{id:int}", false, "/todo/{id:int}"),
            Tuple.Create("/todo", "/items/", true, "/todo/items"),
            Tuple.Create("/users/{id}", "/posts", false, "/users/{id}/posts"),
        };

        [Test]
        static void GroupPathsJoinTheirPrefix()
        {
            foreach (var row in Joins)
                Check.Equal(row.Item4, RouteGroup.Join(row.Item1, row.Item2, row.Item3), row.Item1 + " + " + row.Item2);
            Check.Throws<ArgumentException>(() => RouteGroup.Join("/todo", "x", false), "a path without its slash");
            var server = new HttpServer(new HttpServerOptions());
            server.MapGroup("/").MapGroup("/a/").MapGet("/", c => Task.CompletedTask);
            Check.Throws<ArgumentException>(() => server.MapGroup("/a").Map("GET", "//b", c => Task.CompletedTask), "mapped in normal form");
        }
    }
}
