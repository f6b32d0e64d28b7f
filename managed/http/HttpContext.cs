// One request as its handler sees it: the request, the response, the client's going
// (RequestAborted) and the WebSocket hand-off.
//
// A context, its request and its response are made for one request and die with it: once the
// handler's Task has completed, any use throws ObjectDisposedException, and nothing they do can
// reach the connection's next exchange (see RequestScope).
using System;
using System.Net;
using System.Threading;
using System.Threading.Tasks;

namespace Vrns.Http
{
    public sealed class HttpContext
    {
        readonly HttpServer server;
        readonly HttpRequest request;
        readonly HttpResponse response;
        internal readonly HttpConnection Connection;
        internal RequestHandler Handler;
        // The handler runs where the request was framed (a pump worker), and the library's Tasks
        // complete there too, as they always did; otherwise their continuations never run on the
        // thread that completes them.
        internal bool Inline;
        // AcceptWebSocketAsync: the upgrade has begun (the response is the 101 or nothing), its
        // socket once made, or the refusal the handler may let through (see WebSocketUpgrade).
        internal bool Upgrading;
        internal ServerWebSocket WebSocket;
        internal Exception HandshakeRefusal;
        readonly RequestScope scope;

        // scope null: a request that points into no pooled exchange (a unit test's).
        internal HttpContext(HttpServer server, HttpConnection connection, HeadParser head, byte[] input,
                             RequestScope scope = null)
        {
            this.server = server;
            this.scope = scope ?? new RequestScope(null, null);
            Connection = connection;
            request = new HttpRequest(this, head, input);
            response = new HttpResponse(this);
        }

        public HttpRequest Request
        {
            get {
                CheckAlive();
                return request;
            }
        }

        public HttpResponse Response
        {
            get {
                CheckAlive();
                return response;
            }
        }

        // Cancelled when the client goes away (the end of its stream, an error, a failed write),
        // a body read hits the read time-out, or the drain's bound cuts the request. Its
        // callbacks run on the handler pool. Made when first asked for.
        public CancellationToken RequestAborted
        {
            get {
                CheckAlive();
                return Connection.AbortToken(this);
            }
        }

        public HttpServer Server
        {
            get {
                CheckAlive();
                return server;
            }
        }

        internal HttpServer TheServer
        {
            get { return server; }
        }

        // Answers the WebSocket handshake and returns the socket, which is disposed when the
        // handler's Task ends. A request that is not a handshake this server accepts gets its
        // refusal as the response (405, 400, or 426 with Upgrade or Sec-WebSocket-Version: 13)
        // and the Task faults with a WebSocketException. subProtocol must be one the client
        // offered (else ArgumentException).
        public Task<System.Net.WebSockets.WebSocket> AcceptWebSocketAsync(string subProtocol = null)
        {
            return WebSocketUpgrade.AcceptAsync(this, subProtocol);
        }

        // For the connection, which reads them after the end.
        internal HttpRequest TheRequest
        {
            get { return request; }
        }

        internal HttpResponse TheResponse
        {
            get { return response; }
        }

        internal RequestScope Scope
        {
            get { return scope; }
        }

        internal void CheckAlive()
        {
            scope.CheckAlive();
        }

        // After reading bytes the connection reuses (see RequestScope).
        internal void CheckStillAlive()
        {
            scope.CheckStillAlive();
        }
    }
}
