// What maps routes: the server, and its route groups (server.MapGroup("/todoitems")), with the
// same calls. A handler is a RequestHandler (writes the response itself) or returns an IResult
// (Results.Ok(todo)), synchronously or as a Task; MapGet, MapPost, MapPut, MapDelete and
// MapPatch name the method.
using System;
using System.Threading.Tasks;

namespace Vrns.Http
{
    public abstract class RouteBuilder
    {
        internal RouteBuilder()
        {
        }

        // The server's own mapping, for the path as this builder sees it (a group's is beneath
        // its prefix).
        internal abstract void Add(string method, string path, bool prefix, RequestHandler handler, HandlerThread thread);

        internal abstract HttpServer Owner { get; }

        internal abstract RouteGroup AsGroup { get; }

        // method null: any method. See Router for templates, precedence and the trailing slash.
        public void Map(string method, string path, RequestHandler handler, HandlerThread thread = HandlerThread.ServerDefault)
        {
            Add(method, path, false, handler, thread);
        }

        public void Map(string method, string path, Func<HttpContext, IResult> handler,
                        HandlerThread thread = HandlerThread.ServerDefault)
        {
            Add(method, path, false, Adapt(handler), thread);
        }

        public void Map(string method, string path, Func<HttpContext, Task<IResult>> handler,
                        HandlerThread thread = HandlerThread.ServerDefault)
        {
            Add(method, path, false, Adapt(handler), thread);
        }

        public void MapPrefix(string method, string prefix, RequestHandler handler,
                              HandlerThread thread = HandlerThread.ServerDefault)
        {
            Add(method, prefix, true, handler, thread);
        }

        public void MapGet(string path, RequestHandler handler) { Map("GET", path, handler); }
        public void MapGet(string path, Func<HttpContext, IResult> handler) { Map("GET", path, handler); }
        public void MapGet(string path, Func<HttpContext, Task<IResult>> handler) { Map("GET", path, handler); }
        public void MapPost(string path, RequestHandler handler) { Map("POST", path, handler); }
        public void MapPost(string path, Func<HttpContext, IResult> handler) { Map("POST", path, handler); }
        public void MapPost(string path, Func<HttpContext, Task<IResult>> handler) { Map("POST", path, handler); }
        public void MapPut(string path, RequestHandler handler) { Map("PUT", path, handler); }
        public void MapPut(string path, Func<HttpContext, IResult> handler) { Map("PUT", path, handler); }
        public void MapPut(string path, Func<HttpContext, Task<IResult>> handler) { Map("PUT", path, handler); }
        public void MapDelete(string path, RequestHandler handler) { Map("DELETE", path, handler); }
        public void MapDelete(string path, Func<HttpContext, IResult> handler) { Map("DELETE", path, handler); }
        public void MapDelete(string path, Func<HttpContext, Task<IResult>> handler) { Map("DELETE", path, handler); }
        public void MapPatch(string path, RequestHandler handler) { Map("PATCH", path, handler); }
        public void MapPatch(string path, Func<HttpContext, IResult> handler) { Map("PATCH", path, handler); }
        public void MapPatch(string path, Func<HttpContext, Task<IResult>> handler) { Map("PATCH", path, handler); }

        // A group of routes beneath prefix ("/todoitems"; it may hold parameters, "/users/{id}"),
        // with middleware of its own (RouteGroup.Use), and groups of its own.
        public RouteGroup MapGroup(string prefix)
        {
            return new RouteGroup(Owner, AsGroup, RouteGroup.Join(AsGroup == null ? "" : AsGroup.Prefix, prefix, true));
        }

        static RequestHandler Adapt(Func<HttpContext, IResult> handler)
        {
            if (handler == null) throw new ArgumentNullException("handler");
            return c => Execute(handler(c), c);
        }

        static RequestHandler Adapt(Func<HttpContext, Task<IResult>> handler)
        {
            if (handler == null) throw new ArgumentNullException("handler");
            return c => {
                Task<IResult> t = handler(c);
                if (t == null) throw new InvalidOperationException("the handler returned no Task");
                return t.Status == TaskStatus.RanToCompletion ? Execute(t.Result, c) : ExecuteLater(t, c);
            };
        }

        static async Task ExecuteLater(Task<IResult> t, HttpContext c)
        {
            await Execute(await t, c);
        }

        static Task Execute(IResult result, HttpContext c)
        {
            if (result == null) throw new InvalidOperationException("the handler returned no result");
            return result.ExecuteAsync(c);
        }
    }

    // Routes beneath a prefix, and the middleware that runs for them only: a group's middleware
    // runs after the server's (which runs around routing) and an outer group's, in the order
    // added, around the route's handler, where the handler runs. Middleware may be added after
    // the group's routes are mapped, but not once the server has started.
    public sealed class RouteGroup : RouteBuilder
    {
        readonly HttpServer server;
        readonly RouteGroup parent;
        readonly System.Collections.Generic.List<Middleware> middleware = new System.Collections.Generic.List<Middleware>();

        // The group's full prefix, without a trailing slash ("" for the root).
        public readonly string Prefix;

        internal RouteGroup(HttpServer server, RouteGroup parent, string prefix)
        {
            this.server = server;
            this.parent = parent;
            Prefix = prefix;
        }

        internal override HttpServer Owner
        {
            get { return server; }
        }

        internal override RouteGroup AsGroup
        {
            get { return this; }
        }

        public void Use(Middleware m)
        {
            if (m == null) throw new ArgumentNullException("m");
            if (server.HasStarted) throw new InvalidOperationException("middleware is added before Start");
            middleware.Add(m);
        }

        internal override void Add(string method, string path, bool prefix, RequestHandler handler, HandlerThread thread)
        {
            if (handler == null) throw new ArgumentNullException("handler");
            server.Router.Map(method, Join(Prefix, path, false), new GroupRoute(this, handler).Invoke, thread, prefix);
        }

        // prefix + path: a route's "/" is the prefix itself, which the trailing-slash rule also
        // answers with a slash; a group's prefix keeps no trailing slash ("/" is the root's, "").
        internal static string Join(string prefix, string path, bool isGroup)
        {
            if (path == null || path.Length == 0 || path[0] != '/') throw new ArgumentException("a path starts with '/'", "path");
            if (isGroup) return prefix + (path[path.Length - 1] == '/' ? path.Substring(0, path.Length - 1) : path);
            if (path == "/") return prefix.Length == 0 ? "/" : prefix;
            return prefix + path;
        }

        // The middleware of this group and its parents, outermost first, around handler: made at
        // a route's first request, when the server has started and no more can be added.
        RequestHandler Compose(RequestHandler handler)
        {
            RequestHandler app = handler;
            for (RouteGroup g = this; g != null; g = g.parent) {
                for (int i = g.middleware.Count - 1; i >= 0; i--) {
                    Middleware m = g.middleware[i];
                    RequestHandler inner = app;
                    app = c => m(c, () => inner(c));
                }
            }
            return app;
        }

        sealed class GroupRoute
        {
            readonly RouteGroup group;
            readonly RequestHandler handler;
            RequestHandler composed;

            public GroupRoute(RouteGroup group, RequestHandler handler)
            {
                this.group = group;
                this.handler = handler;
            }

            public Task Invoke(HttpContext c)
            {
                RequestHandler app = System.Threading.Volatile.Read(ref composed);
                if (app == null) {
                    app = group.Compose(handler);
                    System.Threading.Volatile.Write(ref composed, app);
                }
                return app(c);
            }
        }
    }
}
