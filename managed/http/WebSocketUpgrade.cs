// A request turned into a WebSocket (HttpContext.AcceptWebSocketAsync), and the server's list of
// live sockets that the drain closes.
//
// The handshake is decided by WebSocketHandshake. A refusal is answered as the handler's
// response (its status, the fields it names and the status page) and the Task faults with a
// WebSocketException: a handler that lets that exception through still sends the refusal, not a
// 500. An acceptance writes the 101 as the handler's one operation (after any batch of earlier
// answers), then the connection becomes the socket's transport (WebSocketTransport) and the
// socket is listed with the server until the handler's Task ends, when it is disposed (cut
// unless it was closed). The connection makes and lists the socket under its lock, so that a
// handler that ends meanwhile either finds the socket or stops it from being made.
using System;
using System.Collections.Generic;
using System.Net.WebSockets;
using System.Threading.Tasks;

namespace Vrns.Http
{
    static class WebSocketUpgrade
    {
        public static Task<WebSocket> AcceptAsync(HttpContext c, string subProtocol)
        {
            HttpRequest r = c.Request;
            if (c.Upgrading || c.Response.HasStarted)
                return Task.FromException<WebSocket>(new InvalidOperationException("the response has started"));
            WebSocketHandshake h = r.HasBody ? null : WebSocketHandshake.Check(r.Method, r.Protocol, r.Headers.GetValues, subProtocol);
            if (h == null || !h.Accepted) return Refuse(c, h);
            c.Upgrading = true;
            return AcceptCoreAsync(c, h);
        }

        static async Task<WebSocket> AcceptCoreAsync(HttpContext c, WebSocketHandshake h)
        {
            HttpConnection connection = c.Connection;
            await connection.UpgradeAsync(c, h.SwitchingProtocolsHead()).ConfigureAwait(false);
            ServerWebSocket ws = connection.BeginWebSocket(c, h.SubProtocol);
            if (ws == null)
                throw new WebSocketException(WebSocketError.ConnectionClosedPrematurely, "the connection ended during the upgrade");
            return ws;
        }

        // The refusal is the response (a handshake with a body, which would run into the
        // frames, is a 400); the exception is remembered, so that the handler may let it through.
        static Task<WebSocket> Refuse(HttpContext c, WebSocketHandshake h)
        {
            HttpResponse response = c.Response;
            int status = h != null ? h.Status : 400;
            bool version = false;
            for (int i = 0; h != null && i < h.FieldNames.Length; i++) {
                response.AddTrustedHeader(h.FieldNames[i], h.FieldValues[i]);  // Upgrade is refused to handlers
                version |= h.FieldNames[i] == "Sec-WebSocket-Version";
            }
            response.SendStatus(status);
            var e = new WebSocketException(version ? WebSocketError.UnsupportedVersion : WebSocketError.NotAWebSocket,
                                           "not a WebSocket handshake this server accepts: answered " + status);
            c.HandshakeRefusal = e;
            return Task.FromException<WebSocket>(e);
        }

        // Whether the handler's Task ended with its handshake's refusal, whose answer is ready.
        public static bool EndedByRefusal(HttpContext c, Task task)
        {
            return c.HandshakeRefusal != null && task.IsFaulted && task.Exception.InnerException == c.HandshakeRefusal;
        }
    }

    // The server's open WebSockets. The drain closes each with 1001 and, at its bound, cuts those
    // still open; a socket that comes after the drain began is closed as it comes.
    sealed class WebSocketList
    {
        readonly object gate = new object();  // guards sockets and stopping
        readonly HashSet<ServerWebSocket> sockets = new HashSet<ServerWebSocket>();
        bool stopping;

        public void Add(ServerWebSocket ws)
        {
            bool closeNow;
            lock (gate) {
                sockets.Add(ws);
                closeNow = stopping;
            }
            if (closeNow) ws.CloseForStopAsync();
        }

        public void Remove(ServerWebSocket ws)
        {
            lock (gate) sockets.Remove(ws);
        }

        public void CloseForStop()
        {
            foreach (ServerWebSocket ws in Stop()) ws.CloseForStopAsync();
        }

        public void AbortAll()
        {
            foreach (ServerWebSocket ws in Stop()) ws.Abort();
        }

        // The sockets listed now; from now on each one added is closed at once.
        ServerWebSocket[] Stop()
        {
            lock (gate) {
                stopping = true;
                var all = new ServerWebSocket[sockets.Count];
                sockets.CopyTo(all);
                return all;
            }
        }
    }
}
