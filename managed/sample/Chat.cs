// The sample's chat: a page at /chat whose few lines of script open a WebSocket at /chat/ws;
// every text message a socket sends goes to every open socket, the sender's included.
//
// Each member's sends go out one at a time, in order, from a queue of its own, so a slow reader
// holds up only itself; one that falls MaxQueued messages behind is cut. A message is at most
// MaxMessageBytes of UTF-8 (a longer one closes its socket with 1009). Only pages of this
// server's own origin may open a socket (SocketOptions).
using System;
using System.Collections.Generic;
using System.Net.WebSockets;
using System.Text;
using System.Threading;
using System.Threading.Tasks;
using Vrns.Http;

namespace Vrns.Sample
{
    static class Chat
    {
        const int MaxMessageBytes = 4096;
        const int MaxQueued = 256;

        static readonly object gate = new object();  // guards members
        static readonly List<Member> members = new List<Member>();

        // The page's script opens the socket from this server's own origin: a page elsewhere
        // (with its visitor's cookies) is refused with 403.
        public static WebSocketOptions SocketOptions()
        {
            return new WebSocketOptions { AllowSameOrigin = true };
        }

        public static void Map(HttpServer server)
        {
            server.Map("GET", "/chat", Page);
            server.Map("GET", "/chat/ws", Join);
        }

        static Task Page(HttpContext c)
        {
            c.Response.ContentType = "text/html; charset=utf-8";
            c.Response.Send(PageBytes);
            return Task.CompletedTask;
        }

        static async Task Join(HttpContext c)
        {
            WebSocket ws = await c.AcceptWebSocketAsync();
            var member = new Member(ws);
            lock (gate) members.Add(member);
            try {
                // A quiet member holds no message buffer: a receive of no bytes waits for the
                // next message to begin, and only then is a buffer taken for it.
                while (true) {
                    WebSocketReceiveResult r = await ws.ReceiveAsync(new ArraySegment<byte>(NoBytes), CancellationToken.None);
                    if (r.MessageType == WebSocketMessageType.Close) {
                        await ws.CloseOutputAsync(WebSocketCloseStatus.NormalClosure, "", CancellationToken.None);
                        break;
                    }
                    byte[] buffer = RentBuffer();
                    try {
                        int length = r.EndOfMessage ? (r.MessageType == WebSocketMessageType.Text ? 0 : -2)
                                                    : await ReceiveMessageAsync(ws, buffer, r.MessageType);
                        if (length == -1) break;
                        if (length >= 0) Broadcast(new ArraySegment<byte>(buffer, 0, length));
                    } finally {
                        ReturnBuffer(buffer);
                    }
                }
            } catch (WebSocketException) {
                // The member went away without a close, or broke the protocol: it is gone either way.
            } finally {
                lock (gate) members.Remove(member);
            }
        }

        static readonly byte[] NoBytes = new byte[0];
        static readonly Stack<byte[]> buffers = new Stack<byte[]>();  // guarded by gate; MaxKeptBuffers at most
        const int MaxKeptBuffers = 64;

        static byte[] RentBuffer()
        {
            lock (gate) if (buffers.Count > 0) return buffers.Pop();
            return new byte[MaxMessageBytes];
        }

        static void ReturnBuffer(byte[] buffer)
        {
            lock (gate) if (buffers.Count < MaxKeptBuffers) buffers.Push(buffer);
        }

        // The rest of a message begun as type into buffer: its length when it is text, -2 when
        // it is not (binary is not chat), -1 once the socket is closed (the client's close
        // answered) or the message was refused.
        static async Task<int> ReceiveMessageAsync(WebSocket ws, byte[] buffer, WebSocketMessageType type)
        {
            int length = 0;
            while (true) {
                if (length == buffer.Length) {
                    await ws.CloseAsync(WebSocketCloseStatus.MessageTooBig, "at most 4096 bytes", CancellationToken.None);
                    return -1;
                }
                WebSocketReceiveResult r = await ws.ReceiveAsync(new ArraySegment<byte>(buffer, length, buffer.Length - length),
                                                                 CancellationToken.None);
                if (r.MessageType == WebSocketMessageType.Close) {
                    await ws.CloseOutputAsync(WebSocketCloseStatus.NormalClosure, "", CancellationToken.None);
                    return -1;
                }
                length += r.Count;
                if (r.EndOfMessage) return type == WebSocketMessageType.Text ? length : -2;
                if (type != WebSocketMessageType.Text) length = 0;  // a binary message is not chat: dropped as it comes
            }
        }

        static void Broadcast(ArraySegment<byte> message)
        {
            var copy = new byte[message.Count];  // shared by every member's send
            Buffer.BlockCopy(message.Array, message.Offset, copy, 0, message.Count);
            Member[] all;
            lock (gate) all = members.ToArray();
            foreach (Member m in all) m.Post(copy);
        }

        sealed class Member
        {
            readonly WebSocket ws;
            readonly object gate = new object();  // guards tail and queued
            Task tail = Task.CompletedTask;
            int queued;

            public Member(WebSocket ws)
            {
                this.ws = ws;
            }

            public void Post(byte[] message)
            {
                lock (gate) {
                    if (queued == MaxQueued) {
                        ws.Abort();
                        return;
                    }
                    queued++;
                    tail = tail.ContinueWith(_ => SendAsync(message), TaskScheduler.Default).Unwrap();
                }
            }

            async Task SendAsync(byte[] message)
            {
                try {
                    await ws.SendAsync(new ArraySegment<byte>(message), WebSocketMessageType.Text, true, CancellationToken.None);
                } catch (Exception e) when (e is WebSocketException || e is ObjectDisposedException) {
                    // Closed meanwhile: its own receive loop sees the end.
                } finally {
                    lock (gate) queued--;
                }
            }
        }

        static readonly byte[] PageBytes = Encoding.UTF8.GetBytes(@"<!doctype html>
<html><head><meta charset=""utf-8""><title>vrns chat</title></head>
<body data-state=""connecting"">
<h1>Chat</h1>
<ul id=""log""></ul>
<form id=""say""><input id=""text"" autocomplete=""off"" maxlength=""1000""> <button>Send</button></form>
<script>
const log = document.getElementById('log'), text = document.getElementById('text');
const ws = new WebSocket((location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host + '/chat/ws');
ws.onopen = () => document.body.dataset.state = 'open';
ws.onclose = () => document.body.dataset.state = 'closed';
ws.onmessage = e => log.appendChild(document.createElement('li')).textContent = e.data;
document.getElementById('say').onsubmit = e => {
  e.preventDefault();
  if (text.value && ws.readyState === WebSocket.OPEN) ws.send(text.value);
  text.value = '';
};
</script>
</body></html>
");
    }
}
