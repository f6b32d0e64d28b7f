// Handlers for the managed-only HTTP tests, on VrnsHttp.dll: bodies read whole, as a stream
// or not at all, streamed responses, handler failures before and after the head, routing,
// handlers that block, a request's objects used after its end, where handlers run, a guarded
// prefix (/private/) in front of the static files of DIR; route templates, middleware, the
// query, cookies, forms (files spooled in SPOOL), RequestAborted, a handler that never
// completes, a stop asked by a handler, an access log, gzip, a WebSocket echo; JSON bodies and
// results, typed route values, route groups with their own middleware (beneath /mw/, traced
// with the server's), the trailing slash.
//   vrns HttpTestApp.exe [--listen HOST:PORT] [--read-timeout SECONDS] [--root DIR] [--spool SPOOL]
//                        [--access-log FILE] [--access-log-buffer BYTES] [--drain-msec MSEC]
//                        [--send-buffer BYTES] [--max-handler-threads N] [--max-route-threads N]
//                        [--max-route-queue N] [--ws-keepalive-msec MSEC] [--ws-idle-msec MSEC]
using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Net;
using System.Net.WebSockets;
using System.Runtime.CompilerServices;
using System.Text;
using System.Threading;
using System.Threading.Tasks;
using Vrns.Http;

public sealed class Todo
{
    public int Id { get; set; }
    public string Name { get; set; }
    public bool IsComplete { get; set; }
}

static class HttpTestApp
{
    // Reads a Todo (415 or 400 when the body is not one) and answers it back as created.
    static async Task<IResult> CreateTodo(HttpContext c)
    {
        Todo t = await c.Request.ReadJsonAsync<Todo>();
        return Results.Created("/json/todo/" + t.Id, t);
    }

    // 404 for the id 404, else a Todo of that id.
    static IResult GetTodo(HttpContext c)
    {
        int id = c.Request.RouteValues.GetInt32("id");
        return id == 404 ? Results.NotFound() : Results.Ok(new Todo { Id = id, Name = "n" });
    }

    // Route groups beneath /mw/ (so the server's tracing middleware runs too): /mw/grp with two
    // middleware and a group inside it with one more, and a sibling group with its own.
    static void MapGroups(HttpServer server)
    {
        RouteGroup g = server.MapGroup("/mw/grp");
        g.MapGet("/", c => {
            Trace(c, "h");
            return Results.Text("group root");
        });
        g.MapGet("/{id:int}", c => {
            Trace(c, "h");
            return Results.Text("item " + c.Request.RouteValues.GetInt32("id"));
        });
        g.Use(Tracing("g1", null));
        g.Use(Tracing("g2", "/mw/grp/stop"));
        g.MapGet("/stop", c => Results.Text("not reached"));
        RouteGroup inner = g.MapGroup("/inner/");
        inner.Use(Tracing("i", null));
        inner.MapGet("/x", c => {
            Trace(c, "h");
            return Results.Text("inner");
        });
        RouteGroup other = server.MapGroup("/mw/other");
        other.Use(Tracing("o", null));
        other.MapGet("/x", c => {
            Trace(c, "h");
            return Results.Text("other");
        });
    }

    static async Task Echo(HttpContext c)
    {
        c.Response.Send(await c.Request.ReadBodyAsync());
    }

    // Reads the body through the stream in small pieces.
    static async Task EchoStream(HttpContext c)
    {
        var all = new MemoryStream();
        var piece = new byte[7];
        int n;
        while ((n = await c.Request.Body.ReadAsync(piece, 0, piece.Length)) > 0) all.Write(piece, 0, n);
        c.Response.Send(all.ToArray());
    }

    static Task Ignore(HttpContext c)
    {
        c.Response.Send("ignored");
        return Task.CompletedTask;
    }

    static async Task Stream(HttpContext c)
    {
        c.Response.ContentType = "text/plain";
        for (int i = 1; i <= 3; i++) await c.Response.WriteAsync("part" + i + ";");
    }

    // Answers after the handler has returned, from another thread.
    static async Task Slow(HttpContext c)
    {
        await Task.Delay(50);
        c.Response.Send("slow");
    }

    static Task Throw(HttpContext c)
    {
        throw new InvalidOperationException("thrown before the head");
    }

    static async Task ThrowAfterHead(HttpContext c)
    {
        await c.Response.WriteAsync("begun;");
        throw new InvalidOperationException("thrown after the head");
    }

    // Fails later, on another thread: the Task faults after the handler returned.
    static async Task ThrowLater(HttpContext c)
    {
        await Task.Delay(10);
        throw new InvalidOperationException("thrown after an await");
    }

    // Blocks its thread on the body (sent later than the head) with .Result.
    static Task BlockingRead(HttpContext c)
    {
        c.Response.Send(c.Request.ReadBodyAsync().Result);
        return Task.CompletedTask;
    }

    static async Task<byte[]> BodyOf(HttpContext c)
    {
        return await c.Request.ReadBodyAsync();
    }

    // .Result of an async method whose await continues on the handler's thread pool.
    static Task BlockingHelper(HttpContext c)
    {
        c.Response.Send(BodyOf(c).Result);
        return Task.CompletedTask;
    }

    // Thread.Sleep until /wake, counted while asleep (/sleepers).
    static int sleepers, awake;

    static Task Sleep(HttpContext c)
    {
        Interlocked.Increment(ref sleepers);
        for (int i = 0; i < 1000 && Volatile.Read(ref awake) == 0; i++) Thread.Sleep(10);
        Interlocked.Decrement(ref sleepers);
        c.Response.Send("slept");
        return Task.CompletedTask;
    }

    static Task Sleepers(HttpContext c)
    {
        c.Response.Send(Volatile.Read(ref sleepers).ToString());
        return Task.CompletedTask;
    }

    static Task Wake(HttpContext c)
    {
        Volatile.Write(ref awake, 1);
        c.Response.Send("woken");
        return Task.CompletedTask;
    }

    // Keeps the request's objects for /late-use, which tries each on the same connection's next
    // request and answers what each threw. The request and response are kept apart from the
    // context, so that each must refuse by itself.
    static HttpContext kept;
    static HttpRequest keptRequest;
    static HttpResponse keptResponse;
    static Stream keptBody;

    static Task Keep(HttpContext c)
    {
        kept = c;
        keptRequest = c.Request;
        keptResponse = c.Response;
        keptBody = c.Request.Body;
        c.Response.Send("kept");
        return Task.CompletedTask;
    }

    static Task LateUse(HttpContext c)
    {
        var tries = new List<KeyValuePair<string, Action>> {
            Try("Request", () => { var r = kept.Request; }),
            Try("Path", () => { var p = keptRequest.Path; }),
            Try("SetHeader", () => keptResponse.SetHeader("X-Stale", "1")),
            Try("StatusCode", () => keptResponse.StatusCode = 201),
            Try("Send", () => keptResponse.Send("stale")),
            Try("WriteAsync", () => keptResponse.WriteAsync("stale").Wait()),
            Try("ReadBodyAsync", () => keptRequest.ReadBodyAsync().Wait()),
            Try("Body.ReadAsync", () => keptBody.ReadAsync(new byte[1], 0, 1).Wait()),
        };
        var said = new StringBuilder();
        foreach (var t in tries) {
            string outcome = "none";
            try {
                t.Value();
            } catch (AggregateException e) {
                outcome = e.InnerException.GetType().Name;
            } catch (Exception e) {
                outcome = e.GetType().Name;
            }
            said.Append(t.Key).Append('=').Append(outcome).Append(';');
        }
        c.Response.Send(said.ToString());
        return Task.CompletedTask;
    }

    static KeyValuePair<string, Action> Try(string what, Action action)
    {
        return new KeyValuePair<string, Action>(what, action);
    }

    // A status without a body.
    static Task NoBody(HttpContext c)
    {
        c.Response.StatusCode = int.Parse(c.Request.Path.Substring("/no-body/".Length));
        return Task.CompletedTask;
    }

    // Where the handler runs: a thread of the server's handler pool, or the pump worker.
    static Task Where(HttpContext c)
    {
        c.Response.Send(Thread.CurrentThread.Name == "vrns-http-handler" ? "pool" : "pump");
        return Task.CompletedTask;
    }

    static Task Describe(HttpContext c)
    {
        HttpRequest r = c.Request;
        c.Response.SetHeader("X-Seen", r.GetHeader("x-TEST") ?? "-");
        c.Response.Send(r.Method + " " + r.Path + " ? " + r.Query + " from " + r.RemoteAddress + " " + r.Protocol);
        return Task.CompletedTask;
    }

    // What an application's guard does: every path under the prefix is refused.
    static Task Deny(HttpContext c)
    {
        c.Response.StatusCode = 403;
        c.Response.Send("denied");
        return Task.CompletedTask;
    }

    // ---- templates, middleware, query, cookies, forms ----

    static Task Say(HttpContext c, string text)
    {
        c.Response.Send(text);
        return Task.CompletedTask;
    }

    // What the middleware and the handler did to a request under /mw/, in order, as X-Trace.
    static readonly ConditionalWeakTable<HttpContext, StringBuilder> traces = new ConditionalWeakTable<HttpContext, StringBuilder>();

    static void Trace(HttpContext c, string step)
    {
        c.Response.SetHeader("X-Trace", traces.GetOrCreateValue(c).Append(step).ToString());
    }

    static Middleware Tracing(string name, string endsAt)
    {
        return async (c, next) => {
            if (!c.Request.Path.StartsWith("/mw/", StringComparison.Ordinal)) {
                await next();
                return;
            }
            Trace(c, name + "<");
            if (c.Request.Path == endsAt) {
                c.Response.StatusCode = 403;
                return;
            }
            await next();
            Trace(c, ">" + name);
        };
    }

    static string Pairs(IEnumerable<KeyValuePair<string, string>> pairs)
    {
        return string.Join(";", pairs.Select(p => p.Key + "=" + p.Value));
    }

    static Task Query(HttpContext c)
    {
        QueryCollection q = c.Request.QueryString;
        return Say(c, "a=" + q["A"] + ";all=" + string.Join(",", q.GetValues("a")) + ";count=" + q.Count + ";pairs=" + Pairs(q));
    }

    static Task Cookies(HttpContext c)
    {
        c.Response.AppendCookie(new Cookie("seen", "1") { Path = "/", HttpOnly = true });
        c.Response.AppendCookie(new Cookie("theme", "dark"), SameSiteMode.Lax, TimeSpan.FromHours(1));
        return Say(c, "k=" + c.Request.Cookies["k"] + ";K=" + (c.Request.Cookies["K"] ?? "-") + ";q=" + c.Request.Cookies["q"]);
    }

    // The form's fields, and each file with its length and the sum of its bytes read back.
    static async Task<string> DescribeForm(HttpContext c)
    {
        FormCollection form = await c.Request.ReadFormAsync();
        var said = new List<string> { Pairs(form) };
        foreach (FormFile f in form.Files) {
            long sum = 0;
            var piece = new byte[4096];
            using (Stream s = f.OpenReadStream()) {
                int n;
                while ((n = s.Read(piece, 0, piece.Length)) > 0)
                    for (int i = 0; i < n; i++) sum += piece[i];
            }
            said.Add("file " + f.Name + "," + f.FileName + "," + f.ContentType + "," + f.Length + ",sum " + sum);
        }
        return string.Join(";", said.Where(p => p.Length > 0));
    }

    static async Task Form(HttpContext c)
    {
        c.Response.Send(await DescribeForm(c));
    }

    static async Task FormThenThrow(HttpContext c)
    {
        await DescribeForm(c);
        throw new InvalidOperationException("thrown with a form read");
    }

    // Holds its form until /release; /form-held counts the forms held.
    static TaskCompletionSource<bool> release = new TaskCompletionSource<bool>();
    static int formsHeld;

    static async Task FormHold(HttpContext c)
    {
        string said = await DescribeForm(c);
        Interlocked.Increment(ref formsHeld);
        await release.Task;
        c.Response.Send(said);
    }

    static Task Release(HttpContext c)
    {
        release.TrySetResult(true);
        return Say(c, "released");
    }

    // ---- RequestAborted, stopping ----

    static int waiting, aborted;

    // Waits on nothing but its RequestAborted.
    static async Task Abortable(HttpContext c)
    {
        CancellationToken token = c.RequestAborted;
        Interlocked.Increment(ref waiting);
        try {
            await Task.Delay(Timeout.Infinite, token);
        } catch (TaskCanceledException) {
            Interlocked.Increment(ref aborted);
        }
    }

    // Reads its body, which never comes whole: the read fails at the read time-out, and the
    // token says so too.
    static async Task AbortableRead(HttpContext c)
    {
        CancellationToken token = c.RequestAborted;  // asked before the read, which takes the watch's place
        try {
            await c.Request.ReadBodyAsync();
        } catch (IOException) {
        }
        await Abortable(c);
    }

    // Never completes, and never asks for RequestAborted; /never-count counts those begun.
    static int nevers;

    static Task Never(HttpContext c)
    {
        Interlocked.Increment(ref nevers);
        return new TaskCompletionSource<bool>().Task;
    }

    // Asks for its RequestAborted and answers at once: the next request on the connection
    // follows the watch the token armed.
    static Task TokenLive(HttpContext c)
    {
        return Say(c, c.RequestAborted.IsCancellationRequested ? "cancelled" : "live");
    }

    static Task Counts(HttpContext c)
    {
        return Say(c, "waiting " + Volatile.Read(ref waiting) + ", aborted " + Volatile.Read(ref aborted));
    }

    // Dispose would wait for this handler's own end: it refuses; StopAsync drains.
    static Task stopped;

    static Task StopFromHandler(HttpContext c)
    {
        string dispose = "none";
        try {
            c.Server.Dispose();
        } catch (InvalidOperationException) {
            dispose = "refused";
        }
        Volatile.Write(ref stopped, c.Server.StopAsync());
        return Say(c, "stopping; dispose " + dispose);
    }

    static Task BigText(HttpContext c)
    {
        c.Response.ContentType = "text/plain; charset=utf-8";
        var text = new StringBuilder();
        for (int i = 0; i < 200; i++) text.Append("line ").Append(i).Append(" of a text that compresses\n");
        return Say(c, text.ToString());
    }

    // Echoes each piece as it comes (a fragment for a fragment, in a 4 KiB buffer; on the handler
    // pool, or at /ws/echo-inline on the pump workers, the socket's Tasks completing there) and answers
    // the client's close with its code; a text message "close" makes the server close first
    // (1000, "bye"). The handshake's refusal is let through, as a handler that does not look at
    // it would.
    static async Task WebSocketEcho(HttpContext c)
    {
        WebSocket ws = await c.AcceptWebSocketAsync();
        var buffer = new byte[4096];
        try {
            while (true) {
                WebSocketReceiveResult r = await ws.ReceiveAsync(new ArraySegment<byte>(buffer), CancellationToken.None);
                if (r.MessageType == WebSocketMessageType.Close) {
                    await ws.CloseAsync(r.CloseStatus.Value, r.CloseStatusDescription, CancellationToken.None);
                    return;
                }
                if (r.MessageType == WebSocketMessageType.Text && r.EndOfMessage && Encoding.UTF8.GetString(buffer, 0, r.Count) == "close") {
                    await ws.CloseAsync(WebSocketCloseStatus.NormalClosure, "bye", CancellationToken.None);
                    return;
                }
                await ws.SendAsync(new ArraySegment<byte>(buffer, 0, r.Count), r.MessageType, r.EndOfMessage, CancellationToken.None);
            }
        } catch (WebSocketException) {
            // The client broke the protocol (the socket closed with its code) or went away.
        }
    }

    // The echo once the handler has taken its time: its client was watched meanwhile.
    static async Task WebSocketEchoLate(HttpContext c)
    {
        await Task.Delay(1);
        await WebSocketEcho(c);
    }

    static int Main(string[] args)
    {
        // A body budget of two bodies over half the limit: the second such at once gets 503.
        // Forms: 64 KiB in memory per file, then spooled; 512 KiB at most.
        var options = new HttpServerOptions { MaxBodyBytes = 1 << 20, MaxBufferedBodyBytes = 1 << 20, GzipResponses = true,
                                              ServerHeader = "vrns-test" };
        options.Form.MaxTotalBytes = 512 << 10;
        options.Form.MaxFieldBytes = 1024;
        // WebSockets from pages of this server and of one other origin; requests without Origin
        // (the tests' clients) pass.
        options.WebSockets.AllowedOrigins = new[] { "http://allowed.example" };
        options.WebSockets.AllowSameOrigin = true;
        string root = ".";
        for (int i = 0; i + 1 < args.Length; i += 2) {
            if (args[i] == "--listen") options.Listen.Add(args[i + 1]);
            if (args[i] == "--read-timeout") options.ReadTimeoutSec = int.Parse(args[i + 1]);
            if (args[i] == "--root") root = args[i + 1];
            if (args[i] == "--spool") options.Form.TempDirectory = args[i + 1];
            if (args[i] == "--access-log") options.AccessLog = args[i + 1];
            if (args[i] == "--access-log-buffer") options.AccessLogBufferBytes = int.Parse(args[i + 1]);
            if (args[i] == "--drain-msec") options.DrainMsec = int.Parse(args[i + 1]);
            if (args[i] == "--send-buffer") options.SendBufferBytes = int.Parse(args[i + 1]);
            if (args[i] == "--ws-keepalive-msec") options.WebSockets.KeepAliveIntervalMsec = int.Parse(args[i + 1]);
            if (args[i] == "--ws-idle-msec") options.WebSockets.IdleTimeoutMsec = int.Parse(args[i + 1]);
            if (args[i] == "--max-handler-threads") options.MaxHandlerThreads = int.Parse(args[i + 1]);
            if (args[i] == "--max-route-threads") options.MaxRouteHandlerThreads = int.Parse(args[i + 1]);
            if (args[i] == "--max-route-queue") options.MaxRouteHandlerQueue = int.Parse(args[i + 1]);
        }
        if (options.Listen.Count == 0) options.Listen.Add("127.0.0.1:0");
        var server = new HttpServer(options);
        server.MapPrefix(null, "/private/", Deny);
        server.Router.Fallback = new StaticFiles(root).Handle;
        server.Map("POST", "/echo", Echo);
        server.Map("POST", "/echo-stream", EchoStream);
        server.Map(null, "/ignore", Ignore);
        server.Map("GET", "/stream", Stream);
        // Inline, a piece that goes out at once has its Task completed before WriteAsync
        // returns, and the handler writes the next on the same stack.
        server.Map("GET", "/stream-inline", Stream, HandlerThread.UnsafeInline);
        server.Map("GET", "/slow", Slow);
        server.Map("GET", "/throw", Throw);
        server.Map("GET", "/throw-after-head", ThrowAfterHead);
        server.Map("GET", "/throw-later", ThrowLater);
        server.MapPrefix("GET", "/describe/", Describe);
        server.Map("POST", "/block-read", BlockingRead);
        server.Map("POST", "/block-helper", BlockingHelper);
        server.Map("GET", "/sleep", Sleep);
        server.Map("GET", "/sleepers", Sleepers);
        server.Map("GET", "/wake", Wake);
        server.Map("GET", "/keep", Keep);
        server.Map("GET", "/late-use", LateUse);
        server.MapPrefix("GET", "/no-body/", NoBody);
        server.Map("GET", "/where", Where);
        server.Map("GET", "/where-inline", Where, HandlerThread.UnsafeInline);
        server.Map("GET", "/users/{id}", c => Say(c, "user " + c.Request.RouteValues["ID"]));
        server.Map("GET", "/users/new", c => Say(c, "new user"));
        server.MapPrefix("GET", "/users/", c => Say(c, "users prefix"));
        server.Map("GET", "/users/{id}/posts/{post}", c => Say(c, "post " + Pairs(c.Request.RouteValues)));
        server.Map("GET", "/files/{*rest}", c => Say(c, "rest=" + c.Request.RouteValues["rest"]));
        server.Map("POST", "/items/{id}", c => Say(c, "item"));
        server.Use(Tracing("a", null));
        server.Use(Tracing("b", "/mw/stop"));
        server.Map("GET", "/mw/handler", c => {
            Trace(c, "h");
            return Say(c, "handled");
        });
        server.Map("GET", "/query", Query);
        server.Map("GET", "/cookies", Cookies);
        server.Map("POST", "/form", Form);
        server.Map("POST", "/form-throw", FormThenThrow);
        server.Map("POST", "/form-hold", FormHold);
        server.Map("GET", "/release", Release);
        server.Map("GET", "/form-held", c => Say(c, Volatile.Read(ref formsHeld).ToString()));
        server.Map("GET", "/never", Never);
        server.Map("GET", "/never-count", c => Say(c, Volatile.Read(ref nevers).ToString()));
        server.Map("GET", "/abortable", Abortable);
        server.Map("POST", "/abortable-read", AbortableRead);
        server.Map("GET", "/counts", Counts);
        server.Map("GET", "/token-live", TokenLive);
        server.Map("GET", "/stop", StopFromHandler);
        server.Map("GET", "/big-text", BigText);
        server.Map("GET", "/ws/echo", WebSocketEcho);
        server.Map("GET", "/ws/echo-inline", WebSocketEcho, HandlerThread.UnsafeInline);
        server.Map("GET", "/ws/echo-late", WebSocketEchoLate);
        server.Map("POST", "/json/todo", CreateTodo);
        server.MapGet("/json/todo/{id:int}", GetTodo);
        server.MapGet("/typed/{id:long}", c => Results.Text("long " + c.Request.RouteValues.GetInt64("id")));
        server.MapGet("/typed/{id:guid}", c => Results.Text("guid " + c.Request.RouteValues.GetGuid("id")));
        server.MapGet("/typed/{slug:regex([a-z]+-[0-9]{2})}", c => Results.Text("slug " + c.Request.RouteValues["slug"]));
        server.MapGet("/untyped/{id}", c => Results.Text("int " + c.Request.RouteValues.GetInt32("id")));
        MapGroups(server);
        server.Start();
        Console.WriteLine("http-test: listening on {0}, serving {1}", server.Endpoints[0], root);
        int status = server.Completion.Result;
        Task asked = Volatile.Read(ref stopped);
        if (asked != null) Console.WriteLine("http-test: drained, {0}", asked.Wait(5000) ? asked.Status.ToString() : "not yet");
        server.Dispose();  // drained already: returns at once
        // The tokens of requests the drain cut are cancelled on the handler pool: give them time.
        for (int i = 0; i < 500 && Volatile.Read(ref aborted) < Volatile.Read(ref waiting); i++) Thread.Sleep(10);
        Console.WriteLine("http-test: disposed; waiting {0}, aborted {1}", Volatile.Read(ref waiting), Volatile.Read(ref aborted));
        return status;
    }
}
