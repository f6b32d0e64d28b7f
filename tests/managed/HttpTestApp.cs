// Handlers for the managed-only HTTP tests, on VrnsHttp.dll: bodies read whole, as a stream
// or not at all, streamed responses, handler failures before and after the head, routing,
// handlers that block, a request's objects used after its end, where handlers run, a
// guarded prefix (/private/) in front of the static files of DIR, and a WebSocket echo.
//   vrns HttpTestApp.exe [--listen HOST:PORT] [--read-timeout SECONDS] [--root DIR] [--send-buffer BYTES]
using System;
using System.Collections.Generic;
using System.IO;
using System.Net.WebSockets;
using System.Text;
using System.Threading;
using System.Threading.Tasks;
using Vrns.Http;

static class HttpTestApp
{

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

    static int Main(string[] args)
    {
        // A body budget of two bodies over half the limit: the second such at once gets 503.
        var options = new HttpServerOptions { MaxBodyBytes = 1 << 20, MaxBufferedBodyBytes = 1 << 20 };
        string root = ".";
        for (int i = 0; i + 1 < args.Length; i += 2) {
            if (args[i] == "--listen") options.Listen.Add(args[i + 1]);
            if (args[i] == "--read-timeout") options.ReadTimeoutSec = int.Parse(args[i + 1]);
            if (args[i] == "--root") root = args[i + 1];
            if (args[i] == "--send-buffer") options.SendBufferBytes = int.Parse(args[i + 1]);
        }
        if (options.Listen.Count == 0) options.Listen.Add("127.0.0.1:0");
        var server = new HttpServer(options);
        server.MapPrefix(null, "/private/", Deny);
        server.Router.Fallback = new StaticFiles(root).Handle;
        server.Map("POST", "/echo", Echo);
        server.Map("POST", "/echo-stream", EchoStream);
        server.Map(null, "/ignore", Ignore);
        server.Map("GET", "/stream", Stream);
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
        server.Map("GET", "/ws/echo", WebSocketEcho);
        server.Map("GET", "/ws/echo-inline", WebSocketEcho, HandlerThread.UnsafeInline);
        server.Start();
        Console.WriteLine("http-test: listening on {0}, serving {1}", server.Endpoints[0], root);
        return server.Completion.Result;
    }
}
