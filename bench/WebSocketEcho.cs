// The WebSocket echo of bench/websocket_echo.sh on two hosts, with one echo loop for both:
// VrnsHttp's HttpServer (its handler on the server's handler pool, as an application's runs by
// default) and, compiled with -define:MONO_PEER, Mono's own server WebSocket on Mono's sockets,
// run under plain mono. Each piece a receive returns goes back as a frame of its own.
//
//   vrns WebSocketEcho.exe HOST:PORT [--unsafe-inline]     mono MonoWebSocketEcho.exe HOST:PORT
//
// --unsafe-inline maps the route to the pump workers (HandlerThread.UnsafeInline), where the
// socket's Tasks complete inline too: the echo never blocks.
//
// Both answer GET /ws with the handshake. The benchmark stops them with SIGTERM.
using System;
using System.Net;
using System.Net.WebSockets;
using System.Threading;
using System.Threading.Tasks;
#if MONO_PEER
using System.Net.Sockets;
using System.Security.Cryptography;
using System.Text;
using System.Text.RegularExpressions;
#else
using Vrns.Http;
#endif

namespace VrnsBench
{
    static class WebSocketEcho
    {
        // Larger than the benchmark's largest message and its frame head.
        const int BufferBytes = 8192;

        static async Task EchoAsync(WebSocket ws)
        {
            var buffer = new byte[BufferBytes];
            try {
                while (true) {
                    WebSocketReceiveResult r = await ws.ReceiveAsync(new ArraySegment<byte>(buffer), CancellationToken.None);
                    if (r.MessageType == WebSocketMessageType.Close) {
                        await ws.CloseOutputAsync(WebSocketCloseStatus.NormalClosure, "", CancellationToken.None);
                        return;
                    }
                    await ws.SendAsync(new ArraySegment<byte>(buffer, 0, r.Count), r.MessageType, r.EndOfMessage,
                                       CancellationToken.None);
                }
            } catch (WebSocketException) {
                // The load generator went away.
            } finally {
                ws.Dispose();
            }
        }

#if MONO_PEER
        // Mono's HttpListener refuses the upgrade (its AcceptWebSocketAsync is not implemented in
        // Mono 6.8): the peer answers the handshake itself on a TcpListener's connection and
        // hands the stream to Mono's own server WebSocket (WebSocket.CreateFromStream), which is
        // what HttpListener hands out where it does implement the upgrade.
        static int Main(string[] args)
        {
            int colon = args[0].LastIndexOf(':');
            var listener = new TcpListener(IPAddress.Parse(args[0].Substring(0, colon)), int.Parse(args[0].Substring(colon + 1)));
            listener.Start(4096);
            Console.WriteLine("listening on {0}", args[0]);
            for (int i = 0; i < Environment.ProcessorCount * 4; i++) Task.Run(() => AcceptLoop(listener));
            Thread.Sleep(Timeout.Infinite);
            return 0;
        }

        static async Task AcceptLoop(TcpListener listener)
        {
            while (true) {
                TcpClient client = await listener.AcceptTcpClientAsync().ConfigureAwait(false);
                client.NoDelay = true;
                _ = UpgradeAsync(client);  // not awaited: the loop takes the next connection at once
            }
        }

        // The handshake (the load generator sends nothing more before the 101), then the echo.
        static async Task UpgradeAsync(TcpClient client)
        {
            NetworkStream stream = client.GetStream();
            var head = new byte[8192];
            int used = 0, n;
            string request = "";
            while (!request.Contains("\r\n\r\n") && used < head.Length &&
                   (n = await stream.ReadAsync(head, used, head.Length - used)) > 0) {
                used += n;
                request = Encoding.ASCII.GetString(head, 0, used);
            }
            Match key = Regex.Match(request, @"^GET /ws HTTP/1\.1\r\n(?:.*\r\n)*?Sec-WebSocket-Key: *([^\r]+)\r\n", RegexOptions.IgnoreCase);
            if (!key.Success) {
                client.Close();
                return;
            }
            string accept;
            using (var sha1 = SHA1.Create())
                accept = Convert.ToBase64String(sha1.ComputeHash(Encoding.ASCII.GetBytes(key.Groups[1].Value.Trim() + AcceptGuid)));
            byte[] answer = Encoding.ASCII.GetBytes("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n" +
                                                    "Connection: Upgrade\r\nSec-WebSocket-Accept: " + accept + "\r\n\r\n");
            await stream.WriteAsync(answer, 0, answer.Length);
            await EchoAsync(WebSocket.CreateFromStream(stream, true, null, WebSocket.DefaultKeepAliveInterval));
            client.Close();
        }

        const string AcceptGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
#else
        static int Main(string[] args)
        {
            var options = new HttpServerOptions();
            options.Listen.Add(args[0]);
            var server = new HttpServer(options);
            HandlerThread where = args.Length > 1 && args[1] == "--unsafe-inline" ? HandlerThread.UnsafeInline : HandlerThread.Pool;
            server.Map("GET", "/ws", async c => await EchoAsync(await c.AcceptWebSocketAsync()), where);
            server.Map("GET", "/", c => Task.CompletedTask);
            server.Start();
            Console.WriteLine("listening on {0}", server.Endpoints[0]);
            return server.Completion.Result;
        }
#endif
    }
}
