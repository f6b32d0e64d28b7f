// Routes a request to its handler by method and path: exact paths first (in the order mapped),
// then templates ("/users/{id}", "/files/{*rest}": RouteTemplate, in its precedence), then
// prefixes (longest first). A template's values go to the request's RouteValues. A GET route answers HEAD too, its body left out. A path that
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
            Route r = Search(exact, request, ref pathMapped) ?? SearchTemplates(request, ref pathMapped) ??
                      Search(prefixes, request, ref pathMapped);
            if (r != null) {
                thread = r.Thread;
                return r.Handler;
            }
            if (pathMapped) return MethodNotAllowed(request);
            if (Fallback == null) return NotFound;
            thread = Fallback.Target is StaticFiles ? own : FallbackThread;
            return Fallback;
        }

        Route Search(List<Route> routes, HttpRequest request, ref bool pathMapped)
        {
            for (int i = 0; i < routes.Count; i++) {
                Route r = routes[i];
                if (!PathMatches(r, request)) continue;
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
        Route SearchTemplates(HttpRequest request, ref bool pathMapped)
        {
            if (templates.Count == 0) return null;
            string path = request.Path;
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
            foreach (List<Route> routes in new[] { exact, prefixes })
                foreach (Route r in routes)
                    if (PathMatches(r, request)) Allow(allowed, r.Method);
            var scratch = new RouteValues();
            for (int i = templates.Find(request.Path, scratch, 0); i >= 0; i = templates.Find(request.Path, scratch, i + 1))
                Allow(allowed, templates.ItemAt(i).Method);
            string allow = string.Join(", ", allowed);
            return context => {
                context.Response.SetHeader("Allow", allow);
                context.Response.SendStatus(405);
                return Task.CompletedTask;
            };
        }
    }
}
