// Routes are matched against normalised paths, so one that no normalised path can equal is
// refused when it is mapped, rather than never matching (a guard that guards nothing).
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
    }
}
