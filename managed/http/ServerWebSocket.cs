// The server side of a WebSocket (RFC 6455) as the platform's System.Net.WebSockets.WebSocket,
// so code written for HttpListener's AcceptWebSocketAsync runs unchanged, over an
// IWebSocketTransport the connection provides. No thread of its own: receives and sends are
// the transport's Tasks, and one Timer bounds the close handshake.
//
// Receiving: frame heads go through FrameReader (its rules: 1002, 1009); text is checked as it
// is delivered, across reads and fragments (1007); pings are answered with pongs at once, also
// between the fragments of a message; a close frame is checked (a code a peer may send, its
// reason UTF-8) and returned as a Close result. A broken rule sends a close frame with its code,
// ends the connection (Aborted) and throws WebSocketException. A receive parses what is
// buffered synchronously and waits only for the transport, continuing from that one wait, so a
// message costs no chain of async methods. At most one receive and one send may be outstanding,
// as the platform's type promises; the socket's own frames (pongs, close) are queued behind the
// application's send, whole frames in order. Application Tasks complete with
// RunContinuationsAsynchronously, so no application code runs on the transport's thread (but for
// a socket made with inlineContinuations, whose application promises never to block).
//
// What a peer can pile up is bounded. Sending is one loop (Pump) over four slots, never a chain
// of continuations: the application's one frame, a pong, a keep-alive ping and our close frame.
// A ping arriving while a pong waits replaces that pong's payload (RFC 6455 5.5.3 lets a server
// answer only the most recent), so a peer that sends pings and never reads holds at most two
// pongs here (one in the writer, one waiting). Bytes queued and not yet taken by the writer are
// bounded by MaxSendQueueBytes: a frame that would take them past it while an earlier one is
// still waiting cuts the connection (a close frame would wait behind the very bytes the peer does
// not read). The input buffer is rented from the options' pool only while bytes are buffered or
// being read: a socket waiting for its peer holds none. One timer sends a keep-alive ping after
// KeepAliveIntervalMsec of silence and closes the socket (1001) after IdleTimeoutMsec of it.
//
// Closing: once this side has sent its close frame it waits CloseTimeoutMsec for the client's,
// then aborts. When both close frames have passed and ours has been taken by the writer, the
// transport is closed (State Closed). CloseForStopAsync is the server's stop: a close with 1001.
// Threads: the application's, and the transport's completions; `gate` guards the state below it.
using System;
using System.IO;
using System.Net.WebSockets;
using System.Text;
using System.Threading;
using System.Threading.Tasks;

namespace Vrns.Http
{
    sealed class ServerWebSocket : WebSocket
    {
        const int MinReceiveBuffer = 256;  // a control frame's head and payload always fit
        const int MaxControlPayload = 125;

        // A rule the client broke: the close code to answer with.
        sealed class Refusal : Exception
        {
            public readonly WebSocketCloseStatus Code;

            public Refusal(WebSocketCloseStatus code) : base("the client broke a rule: close " + (int)code)
            {
                Code = code;
            }
        }

        readonly IWebSocketTransport transport;
        readonly WebSocketOptions options;
        readonly string subProtocol;
        readonly TaskCreationOptions completions;  // of the application's Tasks
        readonly TaskCompletionSource<bool> ended = new TaskCompletionSource<bool>(TaskCreationOptions.RunContinuationsAsynchronously);

        // The receive side: used by the one outstanding receive only.
        readonly FrameReader reader;
        readonly Utf8Validator utf8 = new Utf8Validator();
        readonly int inputSize;
        byte[] input;  // rented while bytes are buffered or a read is under way; else null
        bool inputReady;  // the transport said input is waiting: read it before waiting again
        Task inputWait;
        readonly byte[] control = new byte[MaxControlPayload];
        int inPos, inEnd;
        long payloadLeft;  // of the current data frame
        int controlLeft = -1;  // a control frame's payload still to come in whole (-1: none)
        bool inFrame;
        // The receive in progress: the caller's buffer, its answer, and the transport's receive
        // it waits for (direct: straight into the caller's buffer).
        ArraySegment<byte> receiveInto;
        Outcome<WebSocketReceiveResult> receiveOutcome;
        Task<int> arriving;
        bool direct;
        readonly Action resumeReceive, resumeReady, endReceive, endSend, releaseNothing = () => { };
        // The frame the pump has handed to the transport and is waiting for.
        Task pumpWait;
        readonly Action resumePump;
        // When input last came (Environment.TickCount), for the keep-alive timer.
        int lastInput;
        readonly Timer keepAlive;

        readonly object gate = new object();  // guards what follows
        readonly byte[] dataHead = new byte[FrameWriter.MaxHeadBytes];  // the one application send's head
        WebSocketState state = WebSocketState.Open;
        bool receiving, sending, continuing, closeSent, closeReceived, finished, disposed;
        // The send slots (see Pump): each waits for the pump, which sends one frame at a time.
        ArraySegment<byte> dataSlotHead, dataSlotPayload;
        bool dataQueued, pongQueued, pingQueued, pumping;
        Outcome<bool> sendOutcome;  // the application's send, from its queueing to its end
        byte[] pongWaiting, pongOut;  // the waiting pong's frame, and the one the writer may hold
        int pongLength;
        byte[] closeFrame;  // waiting
        TaskCompletionSource<bool> closeSource;  // our close frame's send
        Task closeSend;
        Slot inFlight;
        int inFlightBytes;
        long queuedBytes;  // waiting in the slots or handed to the transport and not yet taken
        Timer closeTimer;
        WebSocketCloseStatus? closeStatus;
        string closeDescription;

        // inlineContinuations: the application's continuations may run on the transport's thread
        // (a handler that opted in to the pump workers, which never blocks).
        public ServerWebSocket(IWebSocketTransport transport, WebSocketOptions options, string subProtocol,
                               bool inlineContinuations = false)
        {
            completions = inlineContinuations ? TaskCreationOptions.None : TaskCreationOptions.RunContinuationsAsynchronously;
            if (transport == null) throw new ArgumentNullException("transport");
            this.transport = transport;
            this.options = options ?? WebSocketOptions.Default;
            this.subProtocol = subProtocol;
            reader = new FrameReader(this.options.MaxFrameBytes, this.options.MaxMessageBytes);
            inputSize = Math.Max(MinReceiveBuffer, this.options.ReceiveBufferBytes);
            resumeReceive = () => RunReceive(arriving);
            resumeReady = () => {
                Observed(inputWait);
                inputWait = null;
                inputReady = true;
                RunReceive(null);
            };
            endReceive = EndReceive;
            endSend = EndSend;
            resumePump = ResumePump;
            lastInput = Environment.TickCount;
            int tick = KeepAliveTick(this.options);
            if (tick > 0) keepAlive = new Timer(s => ((ServerWebSocket)s).OnKeepAliveTick(), this, tick, tick);
        }

        public override WebSocketState State
        {
            get {
                lock (gate) return state;
            }
        }

        public override WebSocketCloseStatus? CloseStatus
        {
            get {
                lock (gate) return closeStatus;
            }
        }

        public override string CloseStatusDescription
        {
            get {
                lock (gate) return closeDescription;
            }
        }

        public override string SubProtocol
        {
            get { return subProtocol; }
        }

        // ---- receiving ----

        public override Task<WebSocketReceiveResult> ReceiveAsync(ArraySegment<byte> buffer, CancellationToken token)
        {
            if (buffer.Array == null) throw new ArgumentNullException("buffer");
            lock (gate) {
                CheckNotDisposed();
                if (state != WebSocketState.Open && state != WebSocketState.CloseSent)
                    return Task.FromException<WebSocketReceiveResult>(InvalidState());
                if (receiving) throw new InvalidOperationException("a receive is already outstanding");
                receiving = true;
            }
            var outcome = new Outcome<WebSocketReceiveResult>(this, completions, token, endReceive);
            StartReceive(buffer, outcome);
            return outcome.Task;
        }

        void EndReceive()
        {
            lock (gate) receiving = false;
        }

        // The socket's own receive (the close handshake's), without a token.
        Task<WebSocketReceiveResult> ReceiveCoreAsync(ArraySegment<byte> buffer)
        {
            var outcome = new Outcome<WebSocketReceiveResult>(this, completions, CancellationToken.None, releaseNothing);
            StartReceive(buffer, outcome);
            return outcome.Task;
        }

        void StartReceive(ArraySegment<byte> buffer, Outcome<WebSocketReceiveResult> outcome)
        {
            receiveInto = buffer;
            receiveOutcome = outcome;
            RunReceive(null);
        }

        // Takes what arrived (when something did), then the next piece of a message or the close
        // frame from what is buffered, receiving more while that is not enough. A receive that
        // waits continues here when it completes: one continuation per wait, and none while the
        // bytes are already buffered.
        void RunReceive(Task<int> arrived)
        {
            try {
                while (true) {
                    WebSocketReceiveResult r = arrived != null ? Arrived(arrived) : null;
                    arrived = null;
                    if (r == null) r = Next();
                    if (r != null) {
                        Answer(r, null);
                        return;
                    }
                    if (!direct && !inputReady && inPos == inEnd) {
                        // Nothing buffered: the buffer goes back while the peer is quiet.
                        Task ready = transport.WaitForInputAsync();
                        if (ready.IsCompleted) {
                            Observed(ready);
                        } else {
                            ReleaseInput();
                            inputWait = ready;
                            ready.ConfigureAwait(false).GetAwaiter().UnsafeOnCompleted(resumeReady);
                            return;
                        }
                    }
                    inputReady = false;
                    Task<int> more = direct ? transport.ReceiveAsync(DirectPart()) : ReceiveMore();
                    if (!more.IsCompleted) {
                        arriving = more;
                        more.ConfigureAwait(false).GetAwaiter().UnsafeOnCompleted(resumeReceive);
                        return;
                    }
                    arrived = more;
                }
            } catch (Refusal e) {
                // Our close frame with the rule's code, then the connection ends.
                var failure = new WebSocketException(WebSocketError.Faulted, e.Message);
                FailAsync(e.Code).ContinueWith(_ => Answer(null, failure), CancellationToken.None,
                                               TaskContinuationOptions.ExecuteSynchronously, TaskScheduler.Default);
            } catch (Exception e) {
                Abort();
                Answer(null, e);
            }
        }

        void Answer(WebSocketReceiveResult r, Exception failure)
        {
            Outcome<WebSocketReceiveResult> outcome = receiveOutcome;
            receiveOutcome = null;
            receiveInto = default(ArraySegment<byte>);
            if (failure == null)
                outcome.Succeed(r);
            else
                outcome.Fail(failure);
        }

        // What a transport receive brought: into the input, or (direct) a piece of the payload.
        WebSocketReceiveResult Arrived(Task<int> arrived)
        {
            int n = arrived.GetAwaiter().GetResult();
            if (n == 0) throw new EndOfStreamException("the client ended the stream");
            Volatile.Write(ref lastInput, Environment.TickCount);
            if (!direct) {
                inEnd += n;
                return null;
            }
            reader.Unmask(receiveInto.Array, receiveInto.Offset, n);
            payloadLeft -= n;
            return Deliver(receiveInto, n);
        }

        // The next piece of a message, or the close frame, from what is buffered; null when more
        // input is needed (direct: a payload larger than the socket's buffer goes straight to the
        // caller's). A ping is answered, a pong dropped.
        WebSocketReceiveResult Next()
        {
            direct = false;
            while (true) {
                if (controlLeft >= 0) {
                    if (inEnd - inPos < controlLeft) return null;
                    WebSocketReceiveResult close = ControlFrame();
                    if (close != null) return close;
                    continue;
                }
                if (!inFrame) {
                    if (!reader.TakeHead(input, ref inPos, inEnd)) {
                        if (reader.Failed) throw new Refusal(reader.Error);
                        return null;
                    }
                    if (Opcode.IsControl(reader.FrameOpcode)) {
                        controlLeft = (int)reader.Length;
                        continue;
                    }
                    payloadLeft = reader.Length;
                    inFrame = payloadLeft > 0 || reader.IsFinal;  // an empty fragment says nothing
                    if (!inFrame) continue;
                }
                return Payload();
            }
        }

        // Moves payload bytes of the current frame into the caller's buffer, unmasked.
        WebSocketReceiveResult Payload()
        {
            ArraySegment<byte> buffer = receiveInto;
            if (payloadLeft == 0 || buffer.Count == 0) return Deliver(buffer, 0);
            if (inPos == inEnd) {
                direct = buffer.Count >= inputSize;
                return null;
            }
            int n = (int)Math.Min(Math.Min(payloadLeft, inEnd - inPos), buffer.Count);
            Buffer.BlockCopy(input, inPos, buffer.Array, buffer.Offset, n);
            inPos += n;
            reader.Unmask(buffer.Array, buffer.Offset, n);
            payloadLeft -= n;
            return Deliver(buffer, n);
        }

        ArraySegment<byte> DirectPart()
        {
            return new ArraySegment<byte>(receiveInto.Array, receiveInto.Offset, (int)Math.Min(payloadLeft, receiveInto.Count));
        }

        WebSocketReceiveResult Deliver(ArraySegment<byte> buffer, int n)
        {
            bool text = reader.MessageOpcode == Opcode.Text;
            if (text && !utf8.Feed(buffer.Array, buffer.Offset, n)) throw new Refusal(WebSocketCloseStatus.InvalidPayloadData);
            bool end = payloadLeft == 0 && reader.IsFinal;
            if (payloadLeft == 0) inFrame = false;
            if (end && text) {
                if (!utf8.Complete) throw new Refusal(WebSocketCloseStatus.InvalidPayloadData);
                utf8.Reset();
            }
            return new WebSocketReceiveResult(n, text ? WebSocketMessageType.Text : WebSocketMessageType.Binary, end);
        }

        // More input behind what is buffered, which moves to the front first.
        Task<int> ReceiveMore()
        {
            if (input == null) {
                input = options.Buffers.Rent(inputSize);
                inPos = inEnd = 0;
            }
            if (inPos > 0) {
                Buffer.BlockCopy(input, inPos, input, 0, inEnd - inPos);
                inEnd -= inPos;
                inPos = 0;
            }
            return transport.ReceiveAsync(new ArraySegment<byte>(input, inEnd, input.Length - inEnd));
        }

        void ReleaseInput()
        {
            if (input == null) return;
            options.Buffers.Return(input);
            input = null;
            inPos = inEnd = 0;
        }

        // A whole control frame is buffered: a ping is answered, a pong dropped, a close frame
        // returned as the Close result.
        WebSocketReceiveResult ControlFrame()
        {
            int length = controlLeft;
            controlLeft = -1;
            Buffer.BlockCopy(input, inPos, control, 0, length);
            reader.Unmask(control, 0, length);
            inPos += length;
            if (reader.FrameOpcode == Opcode.Ping) {
                Pong(length);
                return null;
            }
            return reader.FrameOpcode == Opcode.Close ? CloseFrame(length) : null;
        }

        // Answers a ping: the pong waiting (if one is) takes this ping's payload instead.
        void Pong(int length)
        {
            bool start, cut;
            lock (gate) {
                if (closeSent || finished) return;  // nothing may follow a close frame
                int bytes = 2 + length;
                cut = Overflows(bytes - (pongQueued ? pongLength : 0));
                if (!cut) {
                    if (pongWaiting == null) pongWaiting = new byte[2 + MaxControlPayload];
                    FrameWriter.WriteHead(pongWaiting, Opcode.Pong, true, length);
                    Buffer.BlockCopy(control, 0, pongWaiting, 2, length);
                    queuedBytes += bytes - (pongQueued ? pongLength : 0);
                    pongLength = bytes;
                    pongQueued = true;
                }
                start = !cut && StartPump();
            }
            if (cut) Abort();
            if (start) Pump();
        }

        WebSocketReceiveResult CloseFrame(int length)
        {
            var status = WebSocketCloseStatus.Empty;
            string reason = "";
            if (length == 1) throw new Refusal(WebSocketCloseStatus.ProtocolError);
            if (length >= 2) {
                int code = control[0] << 8 | control[1];
                if (!IsCloseCode(code)) throw new Refusal(WebSocketCloseStatus.ProtocolError);
                var text = new Utf8Validator();
                if (!text.Feed(control, 2, length - 2) || !text.Complete) throw new Refusal(WebSocketCloseStatus.InvalidPayloadData);
                status = (WebSocketCloseStatus)code;
                reason = Encoding.UTF8.GetString(control, 2, length - 2);
            }
            Task ours;
            lock (gate) {
                closeReceived = true;
                closeStatus = status;
                closeDescription = reason;
                state = closeSent ? WebSocketState.Closed : WebSocketState.CloseReceived;
                ours = closeSent ? closeSend : null;
            }
            if (ours != null) EndAfter(ours);
            return new WebSocketReceiveResult(0, WebSocketMessageType.Close, true, status, reason);
        }

        // The codes a close frame may carry (the registered ones and those for applications).
        static bool IsCloseCode(int code)
        {
            return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) || (code >= 3000 && code <= 4999);
        }

        // A broken rule: our close frame with its code, then the connection ends.
        async Task FailAsync(WebSocketCloseStatus code)
        {
            try {
                await SendClose(code, "").ConfigureAwait(false);
            } catch (Exception) {
                // The connection failed first; it is cut below all the same.
            }
            lock (gate) {
                if (state != WebSocketState.Closed) state = WebSocketState.Aborted;
            }
            End(true);
        }

        // ---- sending ----

        public override Task SendAsync(ArraySegment<byte> buffer, WebSocketMessageType messageType, bool endOfMessage,
                                       CancellationToken token)
        {
            if (buffer.Array == null) throw new ArgumentNullException("buffer");
            if (messageType == WebSocketMessageType.Close) throw new ArgumentException("a close is sent with CloseAsync", "messageType");
            lock (gate) {
                CheckNotDisposed();
                if (state != WebSocketState.Open && state != WebSocketState.CloseReceived) return Task.FromException(InvalidState());
                if (sending) throw new InvalidOperationException("a send is already outstanding");
                sending = true;
            }
            // Made outside the gate: a token cancelled already aborts the socket at once.
            var outcome = new Outcome<bool>(this, completions, token, endSend);
            bool start, cut;
            Exception refused = null;
            lock (gate) {
                int opcode = continuing ? Opcode.Continuation : messageType == WebSocketMessageType.Text ? Opcode.Text : Opcode.Binary;
                int headLength = FrameWriter.WriteHead(dataHead, opcode, endOfMessage, buffer.Count);
                int bytes = headLength + buffer.Count;
                cut = Overflows(bytes);
                if (state != WebSocketState.Open && state != WebSocketState.CloseReceived)
                    refused = InvalidState();
                else if (cut)
                    refused = new WebSocketException(WebSocketError.Faulted, "the client reads too slowly: " + queuedBytes +
                                                                             " bytes wait for it");
                if (refused == null) {
                    continuing = !endOfMessage;
                    dataSlotHead = new ArraySegment<byte>(dataHead, 0, headLength);
                    dataSlotPayload = buffer;
                    dataQueued = true;
                    sendOutcome = outcome;
                    queuedBytes += bytes;
                }
                start = refused == null && StartPump();
            }
            if (cut) Abort();
            if (refused != null) outcome.Fail(refused);
            if (start) Pump();
            return outcome.Task;
        }

        void EndSend()
        {
            lock (gate) sending = false;
        }

        // Under gate: whether queueing bytes more would pass the bound. A frame alone always
        // goes (a large message to a client that reads is no pile-up).
        bool Overflows(long bytes)
        {
            return queuedBytes > 0 && queuedBytes + bytes > options.MaxSendQueueBytes;
        }

        // Under gate: true when the caller is to run the pump (none is running).
        bool StartPump()
        {
            if (pumping) return false;
            pumping = true;
            return true;
        }

        enum Slot { None, Data, Pong, Ping, Close }

        static readonly byte[] PingFrame = { 0x80 | Opcode.Ping, 0 };

        // Sends what waits in the slots, one frame at a time, in a loop: a send that completes at
        // once is followed by the next on this thread, one that waits resumes here from its
        // completion. Control frames go first (they may come between a message's fragments); the
        // close frame goes last and only once nothing else waits, so nothing follows it. A send
        // that fails fails what waits in turn, each at once, in the same loop.
        void Pump()
        {
            while (true) {
                ArraySegment<byte> head, payload = default(ArraySegment<byte>);
                lock (gate) {
                    if (pongQueued) {
                        byte[] swap = pongOut;
                        pongOut = pongWaiting;
                        pongWaiting = swap;
                        pongQueued = false;
                        head = new ArraySegment<byte>(pongOut, 0, pongLength);
                        inFlight = Slot.Pong;
                    } else if (pingQueued) {
                        pingQueued = false;
                        head = new ArraySegment<byte>(PingFrame);
                        inFlight = Slot.Ping;
                    } else if (dataQueued) {
                        dataQueued = false;
                        head = dataSlotHead;
                        payload = dataSlotPayload;
                        dataSlotPayload = default(ArraySegment<byte>);
                        inFlight = Slot.Data;
                    } else if (closeFrame != null) {
                        head = new ArraySegment<byte>(closeFrame);
                        closeFrame = null;
                        inFlight = Slot.Close;
                    } else {
                        pumping = false;
                        return;
                    }
                    inFlightBytes = head.Count + payload.Count;
                }
                Task sent;
                try {
                    sent = transport.SendAsync(head, payload);
                } catch (Exception e) {
                    sent = Task.FromException(e);
                }
                if (!sent.IsCompleted) {
                    pumpWait = sent;
                    sent.ConfigureAwait(false).GetAwaiter().UnsafeOnCompleted(resumePump);
                    return;
                }
                Sent(sent);
            }
        }

        void ResumePump()
        {
            Task sent = pumpWait;
            pumpWait = null;
            Sent(sent);
            Pump();
        }

        // The frame in flight has been taken by the writer, or failed.
        void Sent(Task sent)
        {
            Slot slot;
            Outcome<bool> outcome = null;
            TaskCompletionSource<bool> close = null;
            lock (gate) {
                slot = inFlight;
                inFlight = Slot.None;
                queuedBytes -= inFlightBytes;
                if (slot == Slot.Data) {
                    outcome = sendOutcome;
                    sendOutcome = null;
                }
                if (slot == Slot.Close) close = closeSource;
            }
            Exception failure = sent.Status == TaskStatus.RanToCompletion ? null
                              : sent.IsFaulted ? sent.Exception.InnerException : new TaskCanceledException(sent);
            if (outcome != null) {
                if (failure == null)
                    outcome.Succeed(true);
                else
                    outcome.Fail(failure);
            } else if (close != null) {
                if (failure == null)
                    close.TrySetResult(true);
                else
                    close.TrySetException(failure);
            }
        }

        static void Observed(Task task)
        {
            if (task != null && task.IsFaulted) GC.KeepAlive(task.Exception);
        }

        static void Observe(Task task)
        {
            task.ContinueWith(t => t.Exception, CancellationToken.None,
                              TaskContinuationOptions.OnlyOnFaulted | TaskContinuationOptions.ExecuteSynchronously,
                              TaskScheduler.Default);
        }

        // ---- keep-alive ----

        // The timer's period: the keep-alive interval, or a fraction of the idle bound without
        // one (0: neither is on).
        static int KeepAliveTick(WebSocketOptions o)
        {
            int tick = o.KeepAliveIntervalMsec > 0 ? o.KeepAliveIntervalMsec : o.IdleTimeoutMsec / 4;
            if (o.IdleTimeoutMsec > 0 && o.KeepAliveIntervalMsec > o.IdleTimeoutMsec) tick = o.IdleTimeoutMsec;
            return Math.Max(tick, o.IdleTimeoutMsec > 0 || o.KeepAliveIntervalMsec > 0 ? 1 : 0);
        }

        // A peer silent for the idle bound is closed (1001, "idle"; the close time-out then cuts
        // one that does not answer); one silent for the interval gets a ping, which a live peer
        // answers with a pong.
        void OnKeepAliveTick()
        {
            int silent = unchecked(Environment.TickCount - Volatile.Read(ref lastInput));
            if (options.IdleTimeoutMsec > 0 && silent >= options.IdleTimeoutMsec) {
                Observe(SendClose(WebSocketCloseStatus.EndpointUnavailable, "idle"));
                return;
            }
            if (options.KeepAliveIntervalMsec <= 0 || silent < options.KeepAliveIntervalMsec) return;
            bool start;
            lock (gate) {
                if (closeSent || finished || pingQueued || inFlight == Slot.Ping || Overflows(PingFrame.Length)) return;
                pingQueued = true;
                queuedBytes += PingFrame.Length;
                start = StartPump();
            }
            if (start) Pump();
        }

        // ---- closing ----

        public override Task CloseOutputAsync(WebSocketCloseStatus closeStatus, string statusDescription, CancellationToken token)
        {
            Exception refused = CloseRefused(closeStatus, statusDescription);
            if (refused != null) return Task.FromException(refused);
            return Track(SendClose(closeStatus, statusDescription), token);
        }

        public override Task CloseAsync(WebSocketCloseStatus closeStatus, string statusDescription, CancellationToken token)
        {
            Exception refused = CloseRefused(closeStatus, statusDescription);
            if (refused != null) return Task.FromException(refused);
            return Track(CloseCoreAsync(closeStatus, statusDescription), token);
        }

        // Why a close cannot be sent now (null: it can); bad arguments throw at once.
        Exception CloseRefused(WebSocketCloseStatus status, string description)
        {
            CheckCloseArguments(status, description);
            lock (gate) {
                CheckNotDisposed();
                bool over = state == WebSocketState.Aborted || (state == WebSocketState.Closed && !closeSent);
                return over ? InvalidState() : null;
            }
        }

        // Sends our close, then waits for the client's: by receiving here, or, when the
        // application has a receive outstanding, for that receive to meet it. The close timer
        // bounds the wait (it aborts); the wait itself never throws.
        async Task CloseCoreAsync(WebSocketCloseStatus status, string description)
        {
            await SendClose(status, description).ConfigureAwait(false);
            bool receiveHere;
            lock (gate) {
                if (closeReceived || finished) return;
                receiveHere = !receiving;
                receiving = true;
            }
            if (!receiveHere) {
                await ended.Task.ConfigureAwait(false);
                return;
            }
            try {
                var discard = new ArraySegment<byte>(new byte[MinReceiveBuffer]);
                while ((await ReceiveCoreAsync(discard).ConfigureAwait(false)).MessageType != WebSocketMessageType.Close) {
                }
            } catch (WebSocketException) {
                // Aborted at the bound, or the client broke a rule: the socket has ended either way.
            } finally {
                EndReceive();
            }
        }

        // Queues our close frame once (later calls get the same send). The client's close is
        // awaited for CloseTimeoutMsec before the connection is cut.
        Task SendClose(WebSocketCloseStatus status, string description)
        {
            byte[] payload = FrameWriter.ClosePayload(status, description);
            Task sent;
            bool both;
            bool start;
            lock (gate) {
                if (closeSent || finished) return closeSend ?? Task.CompletedTask;
                closeSent = true;
                both = closeReceived;
                state = both ? WebSocketState.Closed : WebSocketState.CloseSent;
                if (!both) closeTimer = new Timer(s => ((ServerWebSocket)s).Abort(), this, options.CloseTimeoutMsec, Timeout.Infinite);
                closeFrame = FrameWriter.Control(Opcode.Close, payload, payload.Length);
                queuedBytes += closeFrame.Length;  // always queued: the bound cuts nothing that ends anyway
                closeSource = new TaskCompletionSource<bool>(TaskCreationOptions.RunContinuationsAsynchronously);
                sent = closeSend = closeSource.Task;
                start = StartPump();
            }
            if (start) Pump();
            if (both) EndAfter(sent);
            return sent;
        }

        // Both close frames have passed: the connection closes once ours is out.
        void EndAfter(Task closeFrameSent)
        {
            closeFrameSent.ContinueWith(t => End(!t.IsFaulted), CancellationToken.None,
                                        TaskContinuationOptions.ExecuteSynchronously, TaskScheduler.Default);
        }

        // The server is stopping: a close with 1001 (Going Away), unless one was sent; completes
        // once the connection is closed or cut (at most CloseTimeoutMsec after the close frame
        // went out).
        internal Task CloseForStopAsync()
        {
            Observe(SendClose(WebSocketCloseStatus.EndpointUnavailable, ""));
            return ended.Task;
        }

        static void CheckCloseArguments(WebSocketCloseStatus status, string description)
        {
            if (status == WebSocketCloseStatus.Empty) {
                if (!string.IsNullOrEmpty(description)) throw new ArgumentException("no description without a status", "statusDescription");
                return;
            }
            if (!IsCloseCode((int)status)) throw new ArgumentException("a close frame cannot carry " + (int)status, "closeStatus");
            if (description != null && Encoding.UTF8.GetByteCount(description) > FrameWriter.MaxCloseReason)
                throw new ArgumentException("at most 123 bytes of UTF-8", "statusDescription");
        }

        // ---- ending ----

        public override void Abort()
        {
            lock (gate) {
                if (finished) return;
                if (state != WebSocketState.Closed) state = WebSocketState.Aborted;
            }
            End(false);
        }

        public override void Dispose()
        {
            lock (gate) {
                if (disposed) return;
                disposed = true;
                if (state != WebSocketState.Aborted) state = WebSocketState.Closed;
            }
            End(false);
        }

        // Once: the close timer stops and the transport is closed (graceful) or cut.
        void End(bool graceful)
        {
            lock (gate) {
                if (finished) return;
                finished = true;
                if (closeTimer != null) closeTimer.Dispose();
                if (keepAlive != null) keepAlive.Dispose();
            }
            if (graceful)
                transport.Close();
            else
                transport.Abort();
            ended.TrySetResult(true);
        }

        void CheckNotDisposed()
        {
            if (disposed) throw new ObjectDisposedException("WebSocket");
        }

        WebSocketException InvalidState()
        {
            return new WebSocketException(WebSocketError.InvalidState, "the WebSocket is " + state);
        }

        // The application's view of an operation: its Task never runs continuations on the
        // transport's thread (unless the socket's continuations are inline), a cancelled token aborts the socket (as the platform's do) and
        // cancels the Task, and release runs before the Task completes, so the next call may
        // follow at once. The token is watched from the start: a cancel that comes first aborts
        // the socket, and the operation then fails as cancelled.
        sealed class Outcome<T>
        {
            readonly TaskCompletionSource<T> done;
            readonly CancellationToken token;
            readonly Action release;
            readonly CancellationTokenRegistration cancel;

            public Outcome(ServerWebSocket ws, TaskCreationOptions completions, CancellationToken token, Action release)
            {
                done = new TaskCompletionSource<T>(completions);
                this.token = token;
                this.release = release;
                if (token.CanBeCanceled) cancel = token.Register(s => ((ServerWebSocket)s).Abort(), ws);
            }

            public Task<T> Task
            {
                get { return done.Task; }
            }

            public void Succeed(T value)
            {
                End();
                done.TrySetResult(value);
            }

            public void Fail(Exception e)
            {
                End();
                if (token.IsCancellationRequested)
                    done.TrySetCanceled(token);
                else
                    done.TrySetException(Wrap(e));
            }

            void End()
            {
                cancel.Dispose();
                release();
            }
        }

        // A close's Task, as the application sees it.
        Task Track(Task inner, CancellationToken token)
        {
            var outcome = new Outcome<bool>(this, completions, token, releaseNothing);
            inner.ContinueWith(t => {
                if (t.Status == TaskStatus.RanToCompletion)
                    outcome.Succeed(true);
                else
                    outcome.Fail(t.IsFaulted ? t.Exception.InnerException : new TaskCanceledException(t));
            }, CancellationToken.None, TaskContinuationOptions.ExecuteSynchronously, TaskScheduler.Default);
            return outcome.Task;
        }

        static Exception Wrap(Exception e)
        {
            return e is WebSocketException ? e : new WebSocketException(WebSocketError.ConnectionClosedPrematurely, e);
        }
    }
}
