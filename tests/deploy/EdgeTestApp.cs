// The managed server behind HAProxy in deploy.haproxy_edge: it says who it is and what the edge
// told it about the client, and holds a POST unanswered, for a stop to cut.
//   vrns EdgeTestApp.exe
//   GET /who.txt   "managed proto=P for=F": every X-Forwarded-Proto and X-Forwarded-For value
//   GET /fields    "managed forwarded=F real=R host=H port=P": the Forwarded, X-Real-IP,
//                  X-Forwarded-Host and X-Forwarded-Port values that reached it ("-": none)
//   GET /ws        a WebSocket that echoes each message
//   GET /-/status  200, for HAProxy's health checks
//   POST /hold     read, announced on standard output ("edge-test: holding a POST"), never answered
// SIGTERM drains for 300 ms (the held POST is cut then) and it exits 0.
using System;
using System.Net.WebSockets;
using System.Threading;
using System.Threading.Tasks;
using Vrns.Http;

static class EdgeTestApp
{
    static string Values(HttpRequest r, string name)
    {
        string all = string.Join(",", r.Headers.GetValues(name));
        return all.Length > 0 ? all : "-";
    }

    static Task Who(HttpContext c)
    {
        HttpRequest r = c.Request;
        c.Response.Send("managed proto=" + Values(r, "X-Forwarded-Proto") + " for=" + Values(r, "X-Forwarded-For"));
        return Task.CompletedTask;
    }

    static Task Fields(HttpContext c)
    {
        HttpRequest r = c.Request;
        c.Response.Send("managed forwarded=" + Values(r, "Forwarded") + " real=" + Values(r, "X-Real-IP") +
                        " host=" + Values(r, "X-Forwarded-Host") + " port=" + Values(r, "X-Forwarded-Port"));
        return Task.CompletedTask;
    }

    static async Task Echo(HttpContext c)
    {
        WebSocket socket = await c.AcceptWebSocketAsync();
        var buffer = new byte[1024];
        while (true) {
            WebSocketReceiveResult got = await socket.ReceiveAsync(new ArraySegment<byte>(buffer), CancellationToken.None);
            if (got.MessageType == WebSocketMessageType.Close) {
                await socket.CloseAsync(WebSocketCloseStatus.NormalClosure, "", CancellationToken.None);
                return;
            }
            await socket.SendAsync(new ArraySegment<byte>(buffer, 0, got.Count), got.MessageType, got.EndOfMessage,
                                   CancellationToken.None);
        }
    }

    static async Task Hold(HttpContext c)
    {
        await c.Request.ReadBodyAsync();
        Console.WriteLine("edge-test: holding a POST");
        await new TaskCompletionSource<bool>().Task;
    }

    static int Main()
    {
        var server = new HttpServer(new HttpServerOptions { Listen = { "127.0.0.1:0" }, DrainMsec = 300 });
        server.Map("GET", "/who.txt", Who);
        server.Map("GET", "/fields", Fields);
        server.Map("GET", "/ws", Echo);
        server.Map("GET", "/-/status", c => { c.Response.Send("ok"); return Task.CompletedTask; });
        server.Map("POST", "/hold", Hold);
        server.Start();
        Console.WriteLine("edge-test: listening on {0}", server.Endpoints[0]);
        return server.Completion.Result;
    }
}
