// The server WebSocket driven through an in-memory transport: client frames in as raw bytes,
// the frames the socket sends and the transport's end (closed or cut) out. One row per rule.
using System;
using System.Collections.Generic;
using System.Linq;
using System.Net.WebSockets;
using System.Text;
using System.Threading;
using System.Threading.Tasks;

namespace Vrns.Http.Units
{
    static class WebSocketTests
    {
        static readonly TimeSpan Deadline = TimeSpan.FromSeconds(30);
        static readonly byte[] MaskKey = { 0x37, 0xfa, 0x21, 0x3d };
        const int Cont = 0, Text = 1, Binary = 2, Close = 8, Ping = 9, Pong = 10;

        // Receives what the test feeds, a chunk (or what of it fits) per receive; records each
        // send as one array; holds sends when asked, to see the back-pressure.
        sealed class MemoryTransport : IWebSocketTransport
        {
            readonly object gate = new object();  // guards everything below
            readonly Queue<byte[]> chunks = new Queue<byte[]>();
            readonly List<byte[]> sent = new List<byte[]>();
            TaskCompletionSource<int> receive;
            ArraySegment<byte> receiveInto;
            TaskCompletionSource<bool> heldSend;
            bool ended, sending;
            public bool HoldSends;
            public int Closed, Aborted, Violations;

            public void Feed(params byte[][] pieces)
            {
                lock (gate) foreach (byte[] p in pieces) chunks.Enqueue(p);
                Deliver();
            }

            public void End()
            {
                lock (gate) ended = true;
                Deliver();
            }

            // Completes a waiting receive, outside the lock: the socket goes on inline.
            void Deliver()
            {
                TaskCompletionSource<int> waiting;
                int n;
                lock (gate) {
                    if (receive == null || (chunks.Count == 0 && !ended)) return;
                    waiting = receive;
                    receive = null;
                    n = receiveInto.Array == null ? 0 : Take(receiveInto);  // a wait takes nothing
                }
                waiting.SetResult(n);
            }

            int Take(ArraySegment<byte> into)
            {
                if (chunks.Count == 0) return 0;
                byte[] chunk = chunks.Peek();
                int n = Math.Min(chunk.Length, into.Count);
                Buffer.BlockCopy(chunk, 0, into.Array, into.Offset, n);
                chunks.Dequeue();
                if (n < chunk.Length) {
                    var rest = chunks.ToList();
                    chunks.Clear();
                    chunks.Enqueue(chunk.Skip(n).ToArray());
                    foreach (byte[] r in rest) chunks.Enqueue(r);
                }
                return n;
            }

            public Task<int> ReceiveAsync(ArraySegment<byte> buffer)
            {
                lock (gate) {
                    if (receive != null) Violations++;
                    if (Aborted > 0) return Task.FromException<int>(new System.IO.IOException("aborted"));
                    if (chunks.Count > 0 || ended) return Task.FromResult(Take(buffer));
                    receive = new TaskCompletionSource<int>();
                    receiveInto = buffer;
                    return receive.Task;
                }
            }

            public Task WaitForInputAsync()
            {
                lock (gate) {
                    if (receive != null) Violations++;
                    if (Aborted > 0) return Task.FromException<int>(new System.IO.IOException("aborted"));
                    if (chunks.Count > 0 || ended) return Task.CompletedTask;
                    receive = new TaskCompletionSource<int>();
                    receiveInto = default(ArraySegment<byte>);
                    return receive.Task;
                }
            }

            public Task SendAsync(ArraySegment<byte> head, ArraySegment<byte> payload)
            {
                lock (gate) {
                    if (sending || Closed > 0) Violations++;
                    sent.Add(head.Concat(payload.Count == 0 ? new byte[0] : payload).ToArray());
                    if (!HoldSends) return Task.CompletedTask;
                    sending = true;
                    heldSend = new TaskCompletionSource<bool>();
                    return heldSend.Task;
                }
            }

            public void ReleaseSend()
            {
                TaskCompletionSource<bool> held;
                lock (gate) {
                    held = heldSend;
                    heldSend = null;
                    sending = false;
                }
                held.SetResult(true);
            }

            public void Close()
            {
                lock (gate) Closed++;
            }

            public void Abort()
            {
                TaskCompletionSource<int> waiting;
                TaskCompletionSource<bool> held;
                lock (gate) {
                    Aborted++;
                    waiting = receive;
                    held = heldSend;
                    receive = null;
                    heldSend = null;
                }
                if (waiting != null) waiting.SetException(new System.IO.IOException("aborted"));
                if (held != null) held.SetException(new System.IO.IOException("aborted"));
            }

            public List<byte[]> Sent
            {
                get {
                    lock (gate) return sent.ToList();
                }
            }
        }

        // A client frame: masked unless told otherwise.
        static byte[] Frame(int opcode, bool fin, byte[] payload, bool masked = true, int reserved = 0)
        {
            var b = new List<byte> { (byte)((fin ? 0x80 : 0) | reserved | opcode) };
            int mask = masked ? 0x80 : 0;
            if (payload.Length < 126) {
                b.Add((byte)(mask | payload.Length));
            } else if (payload.Length <= 0xffff) {
                b.Add((byte)(mask | 126));
                b.Add((byte)(payload.Length >> 8));
                b.Add((byte)payload.Length);
            } else {
                b.Add((byte)(mask | 127));
                for (int i = 7; i >= 0; i--) b.Add((byte)((long)payload.Length >> (8 * i)));
            }
            if (!masked) return b.Concat(payload).ToArray();
            b.AddRange(MaskKey);
            return b.Concat(payload.Select((x, i) => (byte)(x ^ MaskKey[i % 4]))).ToArray();
        }

        static byte[] Frame(int opcode, bool fin, string text)
        {
            return Frame(opcode, fin, Encoding.UTF8.GetBytes(text));
        }

        static byte[] Bytes(params int[] values)
        {
            return values.Select(v => (byte)v).ToArray();
        }

        static byte[] CloseFrame(int code, byte[] reason)
        {
            return Frame(Close, true, new[] { (byte)(code >> 8), (byte)code }.Concat(reason).ToArray());
        }

        static string Hex(IEnumerable<byte[]> frames)
        {
            return string.Join(" | ", frames.Select(f => BitConverter.ToString(f)));
        }

        // The task's exception after it ended (null: it completed); a failure when it does not end.
        static Exception Outcome(Task task, string what)
        {
            try {
                if (!task.Wait(Deadline)) Check.Fail(what + ": did not end within the deadline");
                return null;
            } catch (AggregateException e) {
                return e.InnerException;
            }
        }

        static ServerWebSocket Socket(MemoryTransport t, WebSocketOptions options = null)
        {
            return new ServerWebSocket(t, options ?? new WebSocketOptions { MaxFrameBytes = 64, MaxMessageBytes = 100 }, null);
        }

        // Frames that break a rule, and the close code the socket must answer with.
        static readonly Tuple<string, byte[][], WebSocketCloseStatus>[] Refusals = {
            Tuple.Create("an unmasked frame", new[] { Frame(Text, true, Encoding.ASCII.GetBytes("hi"), masked: false) }, WebSocketCloseStatus.ProtocolError),
            Tuple.Create("a reserved bit", new[] { Frame(Text, true, Encoding.ASCII.GetBytes("hi"), reserved: 0x40) }, WebSocketCloseStatus.ProtocolError),
            Tuple.Create("opcode 3", new[] { Frame(3, true, "x") }, WebSocketCloseStatus.ProtocolError),
            Tuple.Create("opcode 11", new[] { Frame(11, true, "x") }, WebSocketCloseStatus.ProtocolError),
            Tuple.Create("a fragmented ping", new[] { Frame(Ping, false, "x") }, WebSocketCloseStatus.ProtocolError),
            Tuple.Create("a ping of 126 bytes", new[] { Frame(Ping, true, new byte[126]) }, WebSocketCloseStatus.ProtocolError),
            Tuple.Create("a continuation with no message", new[] { Frame(Cont, true, "x") }, WebSocketCloseStatus.ProtocolError),
            Tuple.Create("a message inside a message", new[] { Frame(Text, false, "a"), Frame(Text, true, "b") }, WebSocketCloseStatus.ProtocolError),
            Tuple.Create("a 64-bit length with its top bit", new[] { Bytes(0x82, 0xff, 0x80, 0, 0, 0, 0, 0, 0, 1, 1, 2, 3, 4) },
                         WebSocketCloseStatus.ProtocolError),
            Tuple.Create("a close of one byte", new[] { Frame(Close, true, Bytes(3)) }, WebSocketCloseStatus.ProtocolError),
            Tuple.Create("close code 1004", new[] { CloseFrame(1004, new byte[0]) }, WebSocketCloseStatus.ProtocolError),
            Tuple.Create("close code 1005", new[] { CloseFrame(1005, new byte[0]) }, WebSocketCloseStatus.ProtocolError),
            Tuple.Create("close code 1006", new[] { CloseFrame(1006, new byte[0]) }, WebSocketCloseStatus.ProtocolError),
            Tuple.Create("close code 1015", new[] { CloseFrame(1015, new byte[0]) }, WebSocketCloseStatus.ProtocolError),
            Tuple.Create("close code 1016", new[] { CloseFrame(1016, new byte[0]) }, WebSocketCloseStatus.ProtocolError),
            Tuple.Create("close code 5000", new[] { CloseFrame(5000, new byte[0]) }, WebSocketCloseStatus.ProtocolError),
            Tuple.Create("close code 999", new[] { CloseFrame(999, new byte[0]) }, WebSocketCloseStatus.ProtocolError),
            Tuple.Create("close code 2999", new[] { CloseFrame(2999, new byte[0]) }, WebSocketCloseStatus.ProtocolError),
            Tuple.Create("a close reason not UTF-8", new[] { CloseFrame(1000, Bytes(0xc0, 0xaf)) }, WebSocketCloseStatus.InvalidPayloadData),
            Tuple.Create("text not UTF-8", new[] { Frame(Text, true, Bytes(0x61, 0xff)) }, WebSocketCloseStatus.InvalidPayloadData),
            Tuple.Create("UTF-8 broken across fragments", new[] { Frame(Text, false, Bytes(0xe2, 0x82)), Frame(Cont, true, Bytes(0x28)) },
                         WebSocketCloseStatus.InvalidPayloadData),
            Tuple.Create("UTF-8 cut at the message's end", new[] { Frame(Text, false, Bytes(0x61)), Frame(Cont, true, Bytes(0xe2, 0x82)) },
                         WebSocketCloseStatus.InvalidPayloadData),
            Tuple.Create("a frame over MaxFrameBytes", new[] { Frame(Binary, true, new byte[65]) }, WebSocketCloseStatus.MessageTooBig),
            Tuple.Create("a message over MaxMessageBytes", new[] { Frame(Binary, false, new byte[60]), Frame(Cont, true, new byte[41]) },
                         WebSocketCloseStatus.MessageTooBig),
        };

        [Test]
        static void RefusesBrokenRulesWithTheirCloseCode()
        {
            foreach (var row in Refusals) {
                var t = new MemoryTransport();
                ServerWebSocket ws = Socket(t);
                t.Feed(row.Item2);
                Exception e = null;
                var buffer = new ArraySegment<byte>(new byte[1000]);
                for (int i = 0; i < 4 && e == null; i++) e = Outcome(ws.ReceiveAsync(buffer, CancellationToken.None), row.Item1);
                Check.True(e is WebSocketException, row.Item1 + ": thrown " + e);
                byte[] last = t.Sent.LastOrDefault();
                int code = last != null && last.Length >= 4 && last[0] == 0x88 ? last[2] << 8 | last[3] : -1;
                Check.Equal((int)row.Item3, code, row.Item1 + ": the close frame sent, " + Hex(t.Sent));
                Check.Equal(WebSocketState.Aborted, ws.State, row.Item1 + ": state");
                Check.Equal(1, t.Closed, row.Item1 + ": the connection closed after the close frame");
                Check.Equal(0, t.Violations, row.Item1 + ": one receive and one send at a time");
            }
        }

        static string Show(WebSocketReceiveResult r, ArraySegment<byte> buffer)
        {
            return r.MessageType + ":" + Encoding.UTF8.GetString(buffer.Array, buffer.Offset, r.Count) + (r.EndOfMessage ? ":end" : "");
        }

        [Test]
        static void AnswersPingsBetweenFragments()
        {
            var t = new MemoryTransport();
            ServerWebSocket ws = Socket(t);
            t.Feed(Frame(Text, false, "h\u00e9"), Frame(Ping, true, "p!"), Frame(Pong, true, "x"), Frame(Cont, true, "llo"));
            var buffer = new ArraySegment<byte>(new byte[100]);
            var got = new List<string>();
            for (int i = 0; i < 2; i++) {
                Task<WebSocketReceiveResult> r = ws.ReceiveAsync(buffer, CancellationToken.None);
                if (Outcome(r, "receive") == null) got.Add(Show(r.Result, buffer));
            }
            Check.Equal("Text:h\u00e9|Text:llo:end", string.Join("|", got), "the message around the ping");
            Check.Equal("8A-02-70-21", Hex(t.Sent), "one pong with the ping's payload, none for the pong");
        }

        [Test]
        static void UnmasksAcrossReadsAndFrames()
        {
            byte[] payload = Enumerable.Range(0, 9000).Select(i => (byte)(i * 7)).ToArray();
            byte[] frame = Frame(Binary, true, payload);
            // Through the socket's buffer, and straight into the caller's; reads that end on the
            // mask's phase, and reads that do not.
            foreach (int buffer in new[] { 7, 8192 })
            foreach (int piece in new[] { 1000, 999 }) {
                var t = new MemoryTransport();
                ServerWebSocket ws = Socket(t, new WebSocketOptions { MaxFrameBytes = 10000, MaxMessageBytes = 10000, ReceiveBufferBytes = 4096 });
                for (int at = 0; at < frame.Length; at += piece) t.Feed(frame.Skip(at).Take(piece).ToArray());
                var all = new List<byte>();
                var into = new ArraySegment<byte>(new byte[buffer]);
                bool end = false;
                while (!end) {
                    Task<WebSocketReceiveResult> r = ws.ReceiveAsync(into, CancellationToken.None);
                    if (Outcome(r, "receive") != null) break;
                    all.AddRange(into.Array.Take(r.Result.Count));
                    end = r.Result.EndOfMessage;
                }
                Check.True(all.SequenceEqual(payload), "a 9000-byte frame read " + buffer + " bytes at a time, fed " + piece);
            }
        }

        [Test]
        static void FramesWhatItSends()
        {
            var t = new MemoryTransport();
            ServerWebSocket ws = Socket(t);
            // payload, type, end of message, the frame's first bytes, its length
            var sends = new[] {
                Tuple.Create(Encoding.ASCII.GetBytes("hi"), WebSocketMessageType.Text, true, "81-02-68-69", 4),
                Tuple.Create(new byte[200], WebSocketMessageType.Binary, true, "82-7E-00-C8-00", 204),
                Tuple.Create(new byte[70000], WebSocketMessageType.Binary, true, "82-7F-00-00-00-00-00-01-11-70-00", 70010),
                Tuple.Create(Encoding.ASCII.GetBytes("a"), WebSocketMessageType.Text, false, "01-01-61", 3),
                Tuple.Create(Encoding.ASCII.GetBytes("b"), WebSocketMessageType.Text, true, "80-01-62", 3),
            };
            foreach (var s in sends) {
                Check.Equal(null, Outcome(ws.SendAsync(new ArraySegment<byte>(s.Item1), s.Item2, s.Item3, CancellationToken.None), "send"),
                            "send " + s.Item4);
                byte[] frame = t.Sent.Last();
                Check.Equal(s.Item4, BitConverter.ToString(frame.Take((s.Item4.Length + 1) / 3).ToArray()), "frame " + s.Item4);
                Check.Equal(s.Item5, frame.Length, "length of " + s.Item4);
            }
        }

        [Test]
        static void OneReceiveAndOneSendAtATimeAndSendsWaitForTheWriter()
        {
            var t = new MemoryTransport { HoldSends = true };
            ServerWebSocket ws = Socket(t);
            var buffer = new ArraySegment<byte>(new byte[10]);
            Task<WebSocketReceiveResult> first = ws.ReceiveAsync(buffer, CancellationToken.None);
            Check.Throws<InvalidOperationException>(() => ws.ReceiveAsync(buffer, CancellationToken.None), "a second receive");
            Task sent = ws.SendAsync(new ArraySegment<byte>(new byte[1]), WebSocketMessageType.Binary, true, CancellationToken.None);
            Check.Throws<InvalidOperationException>(() => ws.SendAsync(buffer, WebSocketMessageType.Binary, true, CancellationToken.None),
                                                    "a second send");
            Check.True(!sent.IsCompleted, "a send is not done before the writer has taken it");
            t.ReleaseSend();
            Check.Equal(null, Outcome(sent, "the send"), "the send, once taken");
            t.Feed(Frame(Binary, true, "x"));
            Check.Equal(null, Outcome(first, "the receive"), "the first receive");
            Check.Equal(0, t.Violations, "the transport saw one of each at a time");
        }

        [Test]
        static void FinishesTheCloseHandshake()
        {
            // The client closes; the application answers.
            var t = new MemoryTransport();
            ServerWebSocket ws = Socket(t);
            t.Feed(CloseFrame(1000, Encoding.UTF8.GetBytes("bye")));
            Task<WebSocketReceiveResult> r = ws.ReceiveAsync(new ArraySegment<byte>(new byte[10]), CancellationToken.None);
            if (Outcome(r, "the close") == null) {
                Check.Equal(WebSocketMessageType.Close, r.Result.MessageType, "a close result");
                Check.Equal(WebSocketCloseStatus.NormalClosure, r.Result.CloseStatus, "its status");
                Check.Equal("bye", ws.CloseStatusDescription, "its description");
            }
            Check.Equal(WebSocketState.CloseReceived, ws.State, "after the client's close");
            Outcome(ws.CloseOutputAsync(WebSocketCloseStatus.NormalClosure, "", CancellationToken.None), "the answer");
            Check.Equal("88-02-03-E8", Hex(t.Sent), "the close frame answered");
            Check.Equal(WebSocketState.Closed, ws.State, "after both");
            Check.Equal(1, t.Closed + 10 * t.Aborted, "the connection closed, not cut");

            // The server closes; the client answers after a data frame.
            t = new MemoryTransport();
            ws = Socket(t);
            Task closing = ws.CloseAsync(WebSocketCloseStatus.NormalClosure, "done", CancellationToken.None);
            Check.Equal("88-06-03-E8-64-6F-6E-65", Hex(t.Sent), "our close frame");
            Check.Equal(WebSocketState.CloseSent, ws.State, "after our close");
            t.Feed(Frame(Text, true, "late"), CloseFrame(1000, new byte[0]));
            Check.Equal(null, Outcome(closing, "CloseAsync"), "CloseAsync");
            Check.Equal(WebSocketState.Closed, ws.State, "after both");
            Check.Equal(1, t.Closed + 10 * t.Aborted, "the connection closed, not cut");
        }

        [Test]
        static void BoundsTheWaitForTheClientsClose()
        {
            var options = new WebSocketOptions { CloseTimeoutMsec = 50 };
            var t = new MemoryTransport();
            ServerWebSocket ws = Socket(t, options);
            Check.Equal(null, Outcome(ws.CloseAsync(WebSocketCloseStatus.NormalClosure, "", CancellationToken.None), "CloseAsync"),
                        "CloseAsync with a silent client");
            Check.Equal(WebSocketState.Aborted, ws.State, "cut at the bound");
            Check.Equal(1, t.Aborted, "the connection cut");

            // The server stops while the application waits in a receive: 1001, then the client's close.
            t = new MemoryTransport();
            ws = Socket(t, options);
            Task<WebSocketReceiveResult> waiting = ws.ReceiveAsync(new ArraySegment<byte>(new byte[10]), CancellationToken.None);
            Task stopped = ws.CloseForStopAsync();
            Check.Equal("88-02-03-E9", Hex(t.Sent), "a close with 1001");
            t.Feed(CloseFrame(1001, new byte[0]));
            Check.Equal(null, Outcome(waiting, "the application's receive"), "the application's receive");
            Check.Equal(null, Outcome(stopped, "the stop"), "the stop");
            Check.Equal(WebSocketState.Closed, ws.State, "after the stop");
            Check.Equal(1, t.Closed + 10 * t.Aborted, "the connection closed, not cut");
        }

        // A socket waiting for its client holds no input buffer: it goes back to the options'
        // pool while the wait lasts and is taken again when bytes come.
        [Test]
        static void HoldsNoInputBufferWhileItWaits()
        {
            var options = new WebSocketOptions();
            var t = new MemoryTransport();
            ServerWebSocket ws = Socket(t, options);
            var into = new ArraySegment<byte>(new byte[100]);
            t.Feed(Frame(Text, true, "one"));
            Task<WebSocketReceiveResult> first = ws.ReceiveAsync(into, CancellationToken.None);
            if (Outcome(first, "the first message") == null) Check.Equal("Text:one:end", Show(first.Result, into), "the first message");
            Task<WebSocketReceiveResult> waiting = ws.ReceiveAsync(into, CancellationToken.None);
            Check.True(!waiting.IsCompleted, "a receive waits for the client");
            Check.Equal(1, options.Buffers.Kept, "the input buffer is back in the pool while the socket waits");
            t.Feed(Frame(Text, true, "two"));
            if (Outcome(waiting, "the second message") == null) Check.Equal("Text:two:end", Show(waiting.Result, into), "the second message");
            Check.Equal(0, t.Violations, "one receive or wait at a time");
        }

        // Codes a close frame must not carry (RFC 6455 7.4: reserved, or only for reporting):
        // CloseAsync and CloseOutputAsync refuse them before anything is sent; the codes around
        // them go. 1005 is the platform's Empty: a close frame without a code.
        [Test]
        static void CloseRefusesCodesNoFrameMayCarry()
        {
            foreach (int code in new[] { 0, 999, 1004, 1006, 1015, 1016, 2999, 5000 }) {
                var t = new MemoryTransport();
                ServerWebSocket ws = Socket(t);
                Check.Throws<ArgumentException>(() => ws.CloseAsync((WebSocketCloseStatus)code, "", CancellationToken.None),
                                                "CloseAsync with " + code);
                Check.Throws<ArgumentException>(() => ws.CloseOutputAsync((WebSocketCloseStatus)code, "", CancellationToken.None),
                                                "CloseOutputAsync with " + code);
                Check.Equal("", Hex(t.Sent), "nothing sent for " + code);
                Check.Equal(WebSocketState.Open, ws.State, "still open after " + code);
            }
            foreach (int code in new[] { 1000, 1003, 1007, 1014, 3000, 4999 }) {
                var t = new MemoryTransport();
                ServerWebSocket ws = Socket(t);
                ws.CloseOutputAsync((WebSocketCloseStatus)code, "", CancellationToken.None);
                Check.Equal("88-02-" + ((code >> 8).ToString("X2")) + "-" + ((code & 0xff).ToString("X2")), Hex(t.Sent), "the close with " + code);
            }
            var empty = new MemoryTransport();
            Socket(empty).CloseOutputAsync(WebSocketCloseStatus.Empty, null, CancellationToken.None);
            Check.Equal("88-00", Hex(empty.Sent), "Empty: a close without a code");
        }

        // A client that pings and does not read: while one pong waits for the writer, later pings
        // replace the one waiting behind it, so two pongs at most are held, the latest ping's last.
        [Test]
        static void CoalescesPongsWhileTheWriterWaits()
        {
            var t = new MemoryTransport { HoldSends = true };
            ServerWebSocket ws = Socket(t);
            for (int i = 0; i < 1000; i++) t.Feed(Frame(Ping, true, "p" + i));
            t.Feed(Frame(Text, true, "after"));
            var buffer = new ArraySegment<byte>(new byte[100]);
            Task<WebSocketReceiveResult> r = ws.ReceiveAsync(buffer, CancellationToken.None);
            Check.Equal(null, Outcome(r, "the text behind the pings"), "the text behind the pings");
            Check.Equal("8A-02-70-30", Hex(t.Sent), "one pong out (the first ping's) while the writer holds it");
            t.ReleaseSend();
            Check.Equal("8A-02-70-30 | 8A-04-70-39-39-39", Hex(t.Sent), "then one more: the last ping's");
            Check.Equal(0, t.Violations, "one send at a time");
        }

        // Frames the client does not take pile up to MaxSendQueueBytes at most: the frame that
        // would pass it cuts the connection, and the application's send fails.
        [Test]
        static void CutsAClientThatLetsSendsPileUp()
        {
            var t = new MemoryTransport { HoldSends = true };
            ServerWebSocket ws = Socket(t, new WebSocketOptions { MaxSendQueueBytes = 100 });
            // Alone, a frame over the bound goes.
            Task big = ws.SendAsync(new ArraySegment<byte>(new byte[150]), WebSocketMessageType.Binary, true, CancellationToken.None);
            Check.Equal(1, t.Sent.Count, "a frame alone goes whatever its size");
            t.ReleaseSend();
            Check.Equal(null, Outcome(big, "the large frame"), "the large frame, taken");
            // 90 bytes wait for the writer; a ping's pong fits behind them, the next frame not.
            Task first = ws.SendAsync(new ArraySegment<byte>(new byte[88]), WebSocketMessageType.Binary, true, CancellationToken.None);
            t.Feed(Frame(Ping, true, "p"));
            Task<WebSocketReceiveResult> waiting = ws.ReceiveAsync(new ArraySegment<byte>(new byte[10]), CancellationToken.None);
            Check.Equal(0, t.Aborted, "93 bytes queued: within the bound");
            t.Feed(Frame(Ping, true, "0123456789"));
            Check.True(Outcome(waiting, "the receive") is WebSocketException, "the receive fails once cut");
            Check.Equal(1, t.Aborted, "a pong that passes the bound cuts the connection");
            Check.Equal(WebSocketState.Aborted, ws.State, "aborted");
            Check.True(Outcome(first, "the held frame") is WebSocketException, "the held frame fails");
        }

        [Test]
        static void CancellationAndAnEndedStreamAbort()
        {
            var t = new MemoryTransport();
            ServerWebSocket ws = Socket(t);
            var cancel = new CancellationTokenSource();
            Task<WebSocketReceiveResult> r = ws.ReceiveAsync(new ArraySegment<byte>(new byte[10]), cancel.Token);
            cancel.Cancel();
            Check.True(Outcome(r, "a cancelled receive") is OperationCanceledException, "a cancelled receive is cancelled");
            Check.Equal(WebSocketState.Aborted, ws.State, "after a cancelled receive");
            Check.Equal(1, t.Aborted, "the connection cut");

            t = new MemoryTransport();
            ws = Socket(t);
            t.End();
            Exception e = Outcome(ws.ReceiveAsync(new ArraySegment<byte>(new byte[10]), CancellationToken.None), "a receive at the end");
            Check.True(e is WebSocketException, "the stream ended without a close: " + e);
            Check.Equal(WebSocketState.Aborted, ws.State, "after the stream ended");
        }

        [Test]
        static void RunsNoApplicationCodeOnTheTransportsThread()
        {
            var t = new MemoryTransport();
            ServerWebSocket ws = Socket(t);
            int transportThread = Thread.CurrentThread.ManagedThreadId;
            Task<int> continuation = ws.ReceiveAsync(new ArraySegment<byte>(new byte[10]), CancellationToken.None)
                .ContinueWith(_ => Thread.CurrentThread.ManagedThreadId, TaskContinuationOptions.ExecuteSynchronously);
            t.Feed(Frame(Binary, true, "x"));  // completes the transport's receive on this thread
            if (Outcome(continuation, "the continuation") == null)
                Check.True(continuation.Result != transportThread, "the application's continuation ran on another thread");
        }
    }
}
