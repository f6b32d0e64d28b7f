// Handlers for the managed-only HTTP tests, on VrnsHttp.dll: bodies read whole, as a stream
// or not at all, streamed responses, handler failures before and after the head, routing, and
// a guarded prefix (/private/) in front of the static files of DIR.
//   vrns HttpTestApp.exe --listen HOST:PORT --root DIR
using System;
using System.IO;
using System.Text;
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

    static int Main(string[] args)
    {
        var options = new HttpServerOptions { MaxBodyBytes = 1 << 20 };
        options.Listen.Add(args.Length == 4 && args[0] == "--listen" ? args[1] : "127.0.0.1:0");
        var server = new HttpServer(options);
        server.MapPrefix(null, "/private/", Deny);
        string root = args.Length == 4 && args[2] == "--root" ? args[3] : ".";
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
        server.Start();
        Console.WriteLine("http-test: listening on {0}, serving {1}", server.Endpoints[0], root);
        return server.Completion.Result;
    }
}
