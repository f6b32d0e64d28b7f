// Routes a request to its handler by method and path: exact paths first (in the order mapped),
// then prefixes (longest first). A GET route answers HEAD too, its body left out. A path that
// is mapped for other methods only is answered 405 with Allow; a path not mapped at all goes
// to the fallback (404 without one). Paths are compared in their normal form (PathNormalizer),
// as UTF-8 bytes, without making a string; a path that has none is answered with its refusal
// (400 or 403) and reaches no route, so no spelling of a guarded prefix gets past its guard.
// Mapping is done before the server starts; lookups are then read-only.
using System;
using System.Collections.Generic;
using System.Text;
using System.Threading.Tasks;

namespace Vrns.Http
{
    public sealed class Router
    {
        sealed class Route
        {
            public string Method;  // null: any
            public byte[] Path;
            public bool Prefix;
            public RequestHandler Handler;
        }

        readonly List<Route> exact = new List<Route>(), prefixes = new List<Route>();

        static readonly RequestHandler NotFound = Answer(404);
        static readonly RequestHandler BadPath = Answer(PathNormalizer.BadRequest);
        static readonly RequestHandler ClimbingPath = Answer(PathNormalizer.Forbidden);

        static RequestHandler Answer(int status)
        {
            return context => {
                context.Response.SendStatus(status);
                return Task.CompletedTask;
            };
        }

        // Answers every path no route takes (default: 404).
        public RequestHandler Fallback { get; set; }

        // method null: any method.
        public void Map(string method, string path, RequestHandler handler)
        {
            exact.Add(Make(method, path, false, handler));
        }

        public void MapPrefix(string method, string prefix, RequestHandler handler)
        {
            prefixes.Add(Make(method, prefix, true, handler));
            prefixes.Sort((a, b) => b.Path.Length.CompareTo(a.Path.Length));
        }

        static Route Make(string method, string path, bool prefix, RequestHandler handler)
        {
            if (path == null || path.Length == 0 || path[0] != '/') throw new ArgumentException("a path starts with '/'", "path");
            if (handler == null) throw new ArgumentNullException("handler");
            byte[] bytes = Encoding.UTF8.GetBytes(path);
            // Requests are matched in normal form: such a route would never match.
            if (!PathNormalizer.IsNormalRoute(bytes))
                throw new ArgumentException("a path is mapped in normal form, without '//', '.' or '..' segments: " + path, "path");
            return new Route { Method = method == null ? null : method.ToUpperInvariant(), Path = bytes, Prefix = prefix,
                               Handler = handler };
        }

        internal RequestHandler Find(HttpRequest request)
        {
            if (request.PathStatus != 0) return request.PathStatus == PathNormalizer.Forbidden ? ClimbingPath : BadPath;
            bool pathMapped = false;
            RequestHandler h = Search(exact, request, ref pathMapped) ?? Search(prefixes, request, ref pathMapped);
            if (h != null) return h;
            if (pathMapped) return MethodNotAllowed(request);
            return Fallback ?? NotFound;
        }

        RequestHandler Search(List<Route> routes, HttpRequest request, ref bool pathMapped)
        {
            string method = request.Method;
            for (int i = 0; i < routes.Count; i++) {
                Route r = routes[i];
                if (!PathMatches(r, request)) continue;
                if (r.Method == null || r.Method == method || (method == "HEAD" && r.Method == "GET")) return r.Handler;
                pathMapped = true;
            }
            return null;
        }

        static bool PathMatches(Route r, HttpRequest request)
        {
            int length = request.PathLength;
            if (r.Prefix ? length < r.Path.Length : length != r.Path.Length) return false;
            byte[] b = request.PathBytes;
            int at = request.PathAt;
            for (int i = 0; i < r.Path.Length; i++)
                if (b[at + i] != r.Path[i]) return false;
            return true;
        }

        // 405 naming the methods the path has.
        RequestHandler MethodNotAllowed(HttpRequest request)
        {
            var allowed = new List<string>();
            foreach (List<Route> routes in new[] { exact, prefixes }) {
                foreach (Route r in routes) {
                    if (!PathMatches(r, request)) continue;
                    if (!allowed.Contains(r.Method)) allowed.Add(r.Method);
                    if (r.Method == "GET" && !allowed.Contains("HEAD")) allowed.Add("HEAD");
                }
            }
            string allow = string.Join(", ", allowed);
            return context => {
                context.Response.SetHeader("Allow", allow);
                context.Response.SendStatus(405);
                return Task.CompletedTask;
            };
        }
    }

    // Input buffers, lent to connections while a request is in progress: an idle connection
    // holds none. Any thread.
    sealed class BufferPool
    {
        // Room for the longest request line and header block the parser allows.
        public const int Size = 32768;
        const int MaxKept = 1024;
        readonly object gate = new object();  // guards kept and count
        readonly byte[][] kept = new byte[MaxKept][];
        int count;

        public byte[] Rent()
        {
            lock (gate) {
                if (count > 0) {
                    byte[] b = kept[--count];
                    kept[count] = null;
                    return b;
                }
            }
            return new byte[Size];
        }

        public void Return(ref byte[] buffer)
        {
            byte[] b = buffer;
            buffer = null;
            if (b == null) return;
            lock (gate) {
                if (count < MaxKept) kept[count++] = b;
            }
        }
    }
}
