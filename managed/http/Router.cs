// Routes a request to its handler by method and path: exact paths first (in the order mapped),
// then templates ("/users/{id}", "/files/{*rest}": RouteTemplate, in its precedence), then
// the same two again for a path with a trailing slash, without it ("/hello/" reaches "/hello"
// when nothing takes "/hello/" itself), then prefixes (longest first). A template's values go
// to the request's RouteValues. A GET route answers HEAD too, its body left out. A path that
// is mapped for other methods only is answered 405 with Allow; a path not mapped at all goes
// to the fallback (404 without one). Paths are compared in their normal form (PathNormalizer),
// as UTF-8 bytes, without making a string; a path that has none is answered with its refusal
// (400 or 403) and reaches no route, so no spelling of a guarded prefix gets past its guard.
// Mapping is done before the server starts; lookups are then read-only. Each
// route says where its handler runs (HandlerThread); the library's own answers (404, 405) and
// StaticFiles never block, and run where the request was framed.
using System;
using System.Collections.Generic;
using System.Text;
using System.Threading.Tasks;

namespace Vrns.Http
{
    // Where a handler runs.
    public enum HandlerThread
    {
        // As the server's options say (HttpServerOptions.UnsafeInlineHandlers; default: Pool).
        ServerDefault,
        // A thread of the server's handler pool: the handler may block (synchronous I/O, .Result,
        // .Wait(), Thread.Sleep, a lock) and delays its own request only; its await continuations
        // come back to the pool.
        Pool,
        // The pump worker that framed the request, with no hop to another thread: cheaper, for a
        // handler that never blocks. One that blocks there holds a worker every connection's
        // events need, and can stop the whole server; the library's Tasks complete inline there,
        // so a .Result or .Wait() on them waits for a pump worker it may itself be holding.
        UnsafeInline,
    }

    public sealed class Router
    {
        sealed class Route
        {
            public string Method;  // null: any
            public byte[] Path;
            public bool Prefix;
            public RequestHandler Handler;
            public HandlerThread Thread;
        }

        readonly List<Route> exact = new List<Route>(), prefixes = new List<Route>();
        readonly RouteTemplateList<Route> templates = new RouteTemplateList<Route>();

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

        // The library's own answers and StaticFiles run where the request was framed, unless
        // middleware runs around them (application code: it runs where handlers do).
        internal bool OwnAnswersInline = true;

        // Answers every path no route takes (default: 404), on FallbackThread.
        public RequestHandler Fallback { get; set; }

        public HandlerThread FallbackThread { get; set; }

        // method null: any method. A path with a parameter ("{id}", a final "{*rest}") is a
        // template; a malformed one throws ArgumentException.
        public void Map(string method, string path, RequestHandler handler, HandlerThread thread = HandlerThread.ServerDefault)
        {
            Route r = Make(method, path, false, handler, thread);
            if (RouteTemplate.IsTemplate(path))
                templates.Add(RouteTemplate.Parse(path), r);
            else
                exact.Add(r);
        }

        internal void Map(string method, string path, RequestHandler handler, HandlerThread thread, bool prefix)
        {
            if (prefix)
                MapPrefix(method, path, handler, thread);
            else
                Map(method, path, handler, thread);
        }

        public void MapPrefix(string method, string prefix, RequestHandler handler,
                              HandlerThread thread = HandlerThread.ServerDefault)
        {
            prefixes.Add(Make(method, prefix, true, handler, thread));
            prefixes.Sort((a, b) => b.Path.Length.CompareTo(a.Path.Length));
        }

        static Route Make(string method, string path, bool prefix, RequestHandler handler, HandlerThread thread)
        {
            if (path == null || path.Length == 0 || path[0] != '/') throw new ArgumentException("a path starts with '/'", "path");
            if (handler == null) throw new ArgumentNullException("handler");
            byte[] bytes = Encoding.UTF8.GetBytes(path);
            // Requests are matched in normal form: such a route would never match.
            if (!PathNormalizer.IsNormalRoute(bytes))
                throw new ArgumentException("a path is mapped in normal form, without '//', '.' or '..' segments: " + path, "path");
            return new Route { Method = method == null ? null : method.ToUpperInvariant(), Path = bytes, Prefix = prefix,
                               Handler = handler, Thread = thread };
        }

        internal RequestHandler Find(HttpRequest request, out HandlerThread thread)
        {
            HandlerThread own = OwnAnswersInline ? HandlerThread.UnsafeInline : HandlerThread.ServerDefault;
            thread = own;
            if (request.PathStatus != 0) return request.PathStatus == PathNormalizer.Forbidden ? ClimbingPath : BadPath;
            bool pathMapped = false;
            // The trailing-slash rule: "/a/" that no exact route or template takes as it is goes
            // to the one that takes "/a", before any prefix is tried.
            bool slash = HasTrailingSlash(request);
            Route r = Search(exact, request, 0, ref pathMapped) ?? SearchTemplates(request, 0, ref pathMapped) ??
                      (slash ? Search(exact, request, 1, ref pathMapped) ?? SearchTemplates(request, 1, ref pathMapped) : null) ??
                      Search(prefixes, request, 0, ref pathMapped);
            if (r != null) {
                thread = r.Thread;
                return r.Handler;
            }
            if (pathMapped) return MethodNotAllowed(request, slash);
            if (Fallback == null) return NotFound;
            thread = Fallback.Target is StaticFiles ? own : FallbackThread;
            return Fallback;
        }

        static bool HasTrailingSlash(HttpRequest request)
        {
            return request.PathLength > 1 && request.PathBytes[request.PathAt + request.PathLength - 1] == '/';
        }

        // trim: 1 to match the path without its trailing slash.
        Route Search(List<Route> routes, HttpRequest request, int trim, ref bool pathMapped)
        {
            for (int i = 0; i < routes.Count; i++) {
                Route r = routes[i];
                if (!PathMatches(r, request, trim)) continue;
                if (MethodMatches(r, request.Method)) return r;
                pathMapped = true;
            }
            return null;
        }

        static bool MethodMatches(Route r, string method)
        {
            return r.Method == null || r.Method == method || (method == "HEAD" && r.Method == "GET");
        }

        // The first template in precedence that matches the path and the method; its values stay
        // in the request's RouteValues. The path's string is made only when templates exist.
        Route SearchTemplates(HttpRequest request, int trim, ref bool pathMapped)
        {
            if (templates.Count == 0) return null;
            string path = Trimmed(request, trim);
            RouteValues values = request.RouteValues;
            for (int i = templates.Find(path, values, 0); i >= 0; i = templates.Find(path, values, i + 1)) {
                Route r = templates.ItemAt(i);
                if (MethodMatches(r, request.Method)) return r;
                values.RemoveFrom(0);
                pathMapped = true;
            }
            return null;
        }

        static void Allow(List<string> allowed, string method)
        {
            if (!allowed.Contains(method)) allowed.Add(method);
            if (method == "GET" && !allowed.Contains("HEAD")) allowed.Add("HEAD");
        }

        static string Trimmed(HttpRequest request, int trim)
        {
            string path = request.Path;
            return trim == 0 ? path : path.Substring(0, path.Length - trim);
        }

        static bool PathMatches(Route r, HttpRequest request, int trim)
        {
            int length = request.PathLength - trim;
            if (r.Prefix ? length < r.Path.Length : length != r.Path.Length) return false;
            byte[] b = request.PathBytes;
            int at = request.PathAt;
            for (int i = 0; i < r.Path.Length; i++)
                if (b[at + i] != r.Path[i]) return false;
            return true;
        }

        // 405 naming the methods the path has, with its trailing slash and without.
        RequestHandler MethodNotAllowed(HttpRequest request, bool slash)
        {
            var allowed = new List<string>();
            foreach (Route r in prefixes)
                if (PathMatches(r, request, 0)) Allow(allowed, r.Method);
            for (int trim = 0; trim <= (slash ? 1 : 0); trim++) {
                foreach (Route r in exact)
                    if (PathMatches(r, request, trim)) Allow(allowed, r.Method);
                string path = Trimmed(request, trim);
                var scratch = new RouteValues();
                for (int i = templates.Find(path, scratch, 0); i >= 0; i = templates.Find(path, scratch, i + 1))
                    Allow(allowed, templates.ItemAt(i).Method);
            }
            string allow = string.Join(", ", allowed);
            return context => {
                context.Response.SetHeader("Allow", allow);
                context.Response.SendStatus(405);
                return Task.CompletedTask;
            };
        }
    }
}
