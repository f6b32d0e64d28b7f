// A request's hold on its connection's buffers, driven on a real server over loopback. The
// scope's test hook runs between a handler's end and its failure report: there the connection is
// closed as a WebSocket's transport closes it, on another thread than the connection's, and the
// next exchange is rented and filled with another client's bytes. The report must still read its
// own request, and a late use of the request must throw ObjectDisposedException.
using System;
using System.Net.Sockets;
using System.Text;
using System.Threading;
using System.Threading.Tasks;

namespace Vrns.Http.Units
{
    static class RequestScopeTests
    {
        static readonly TimeSpan Deadline = TimeSpan.FromSeconds(30);

        [Test]
        static void ACloseBeforeTheReportLeavesTheRequestItsOwnBytes()
        {
            var server = new HttpServer(new HttpServerOptions { Listen = { "127.0.0.1:0" } });
            HttpContext stashed = null;
            string reported = null;
            var done = new ManualResetEventSlim();
            server.HandlerFailed = (request, e) => {
                reported = request.Path + " " + request.Headers["Cookie"];
                done.Set();
            };
            server.MapGet("/first", (RequestHandler)(c => {
                stashed = c;
                throw new InvalidOperationException("the handler fails");
            }));
            RequestScope.BeforeEndForTests = context => {
                if (context.TheServer != server) return;
                context.Connection.EndWebSocket(false);  // the transport's close, off the connection's thread
                Exchange next = server.Exchanges.Rent(null, -1);
                byte[] other = Encoding.ASCII.GetBytes("GET /other HTTP/1.1\r\nCookie: theirs\r\n\r\n");
                Buffer.BlockCopy(other, 0, next.Reader.Input, 0, other.Length);
                server.Exchanges.Return(next);
            };
            server.Start();
            try {
                using (var client = new TcpClient()) {
                    client.Connect(server.Endpoints[0]);
                    byte[] ask = Encoding.ASCII.GetBytes("GET /first HTTP/1.1\r\nHost: x\r\nCookie: mine\r\n\r\n");
                    client.GetStream().Write(ask, 0, ask.Length);
                    Check.True(done.Wait(Deadline), "the failure is reported");
                }
                Check.Equal("/first mine", reported, "the report reads its own request");
                Check.Throws<ObjectDisposedException>(() => { var p = stashed.TheRequest.Path; }, "a late use of the request");
                Check.Throws<ObjectDisposedException>(() => { var h = stashed.TheRequest.Headers["Cookie"]; },
                                                      "a late read of its fields");
            } finally {
                RequestScope.BeforeEndForTests = null;
                Check.True(server.StopAsync().Wait(Deadline), "the server drains");
            }
        }

        // The exchange's generation alone: a request whose exchange was given back (by a fault
        // that dropped every lease early) can no longer read it.
        [Test]
        static void AReturnedExchangeEndsTheRequestsPointingIntoIt()
        {
            var pool = new ExchangePool(new StatusLines(null));
            Exchange x = pool.Rent(null, -1);
            var scope = new RequestScope(pool, x);
            scope.CheckAlive();
            Check.True(!x.Release(), "the connection's lease is not the last");
            Check.True(x.Release(), "the scope's is");
            pool.Return(x);
            Check.Throws<ObjectDisposedException>(scope.CheckAlive, "a use after the exchange went back");
            Check.Throws<InvalidOperationException>(() => x.Release(), "a lease dropped twice");
        }
    }
}
