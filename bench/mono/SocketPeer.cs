// The managed benchmark's peer on Mono's own asynchronous sockets (Task-based Socket): a
// keep-alive HTTP/1.1 loop answering GET /plaintext, GET /json and the files under --root, as
// the managed sample answers them.
//
//   mono MonoSocketPeer.exe --listen HOST:PORT --root DIR
//
// Each connection owns one input and one output buffer for its life. Every complete request in
// the input is answered into the output before a single send, so pipelined requests cost one
// receive and one send per batch, and responses leave in order.
using System;
using System.IO;
using System.Net;
using System.Net.Sockets;
using System.Text;
using System.Threading;
using System.Threading.Tasks;

namespace VrnsBench {

static class SocketPeer {
    const string Usage = "usage: MonoSocketPeer.exe --listen HOST:PORT --root DIR";
    const int Backlog = 4096;

    static int Main(string[] args) {
        PeerOptions options;
        try {
            options = PeerOptions.Parse(args, Usage);
        } catch (ArgumentException e) {
            Console.Error.WriteLine(e.Message);
            return 2;
        }
        IPAddress address = IPAddress.Parse(options.Host);
        var listener = new Socket(address.AddressFamily, SocketType.Stream, ProtocolType.Tcp);
        listener.SetSocketOption(SocketOptionLevel.Socket, SocketOptionName.ReuseAddress, true);
        listener.Bind(new IPEndPoint(address, options.Port));
        listener.Listen(Backlog);
        Console.WriteLine("listening on {0}:{1}", options.Host, options.Port);
        AcceptLoop(listener, options.Root).Wait();  // runs until the process is stopped
        return 0;
    }

    static async Task AcceptLoop(Socket listener, string root) {
        while (true) {
            Socket socket = await listener.AcceptAsync().ConfigureAwait(false);
            socket.NoDelay = true;
            _ = new Connection(socket, root).RunAsync();  // ends by itself, closing its socket
        }
    }
}

// One client connection: read, answer every complete request, send, until the client closes or
// asks to.
sealed class Connection {
    const int InputSize = 16 * 1024;
    const int OutputSize = 32 * 1024;
    // Room made in the output before each answer: enough for any head and the fixed bodies, so
    // that appending never waits for the socket.
    const int AnswerRoom = 1024;

    static readonly byte[] HeadEnd = { (byte)'\r', (byte)'\n', (byte)'\r', (byte)'\n' };
    static readonly byte[] PlainTextHead = Head(200, "OK", Answers.PlainTextType, Answers.PlainText.Length);
    static readonly byte[] JsonHead = Encoding.ASCII.GetBytes(
        "HTTP/1.1 200 OK\r\nServer: mono-sockets\r\nContent-Type: " + Answers.JsonType + "\r\nContent-Length: ");
    static readonly byte[] DateLine = Encoding.ASCII.GetBytes("\r\nDate: ");
    static readonly byte[] NotFoundHead = Head(404, "Not Found", null, 0);
    static readonly byte[] MethodHead = Encoding.ASCII.GetBytes(
        "HTTP/1.1 405 Method Not Allowed\r\nServer: mono-sockets\r\nAllow: GET, HEAD\r\nContent-Length: 0\r\nDate: ");
    static readonly byte[] BadRequestHead = Head(400, "Bad Request", null, 0);
    static readonly byte[] TooLargeHead = Head(431, "Request Header Fields Too Large", null, 0);
    static readonly byte[] NotImplementedHead = Head(501, "Not Implemented", null, 0);
    static readonly byte[] PlainPath = Encoding.ASCII.GetBytes("/plaintext");
    static readonly byte[] JsonPath = Encoding.ASCII.GetBytes("/json");
    static readonly byte[] CloseLine = Encoding.ASCII.GetBytes("\r\nConnection: close");
    static readonly byte[] KeepAliveLine = Encoding.ASCII.GetBytes("\r\nConnection: keep-alive");

    readonly Socket socket;
    readonly string root;
    readonly byte[] input = new byte[InputSize];
    readonly byte[] output = new byte[OutputSize];
    int start, end;      // unparsed input
    long discard;        // body bytes of the last request still to skip
    int outLength;

    // What the request head said, beyond its line.
    bool closeAfter, keepAlive10, chunked;
    long contentLength;

    public Connection(Socket socket, string root) {
        this.socket = socket;
        this.root = root;
    }

    public async Task RunAsync() {
        try {
            while (true) {
                if (end == input.Length) {
                    if (start == 0) {  // a head larger than the whole buffer
                        Append(TooLargeHead, true, false);
                        await FlushAsync().ConfigureAwait(false);
                        return;
                    }
                    Buffer.BlockCopy(input, start, input, 0, end - start);
                    end -= start;
                    start = 0;
                }
                int n = await socket.ReceiveAsync(new ArraySegment<byte>(input, end, input.Length - end),
                    SocketFlags.None).ConfigureAwait(false);
                if (n == 0) return;
                end += n;
                if (!await AnswerBufferedAsync().ConfigureAwait(false)) return;
            }
        } catch (SocketException) {
        } catch (ObjectDisposedException) {
        } catch (IOException) {
        } finally {
            socket.Close();
        }
    }

    // Answers every complete request in the input; false when the connection is to close.
    async Task<bool> AnswerBufferedAsync() {
        while (true) {
            if (discard > 0) {
                int skip = (int)Math.Min(discard, end - start);
                start += skip;
                discard -= skip;
                if (discard > 0) break;
            }
            int headEnd = IndexOf(input, start, end, HeadEnd);
            if (headEnd < 0) break;
            int headStart = start;
            start = headEnd + HeadEnd.Length;
            if (output.Length - outLength < AnswerRoom) await FlushAsync().ConfigureAwait(false);
            if (!await AnswerAsync(headStart, headEnd).ConfigureAwait(false)) {
                await FlushAsync().ConfigureAwait(false);
                return false;
            }
        }
        if (start == end) start = end = 0;
        await FlushAsync().ConfigureAwait(false);
        return true;
    }

    // One request whose head is input[from, to); false when the connection is to close.
    async Task<bool> AnswerAsync(int from, int to) {
        int lineEnd = IndexOf(input, from, to, HeadEnd, 2);
        if (lineEnd < 0) lineEnd = to;
        int methodEnd = Array.IndexOf(input, (byte)' ', from, lineEnd - from);
        int targetEnd = methodEnd < 0 ? -1 : Array.IndexOf(input, (byte)' ', methodEnd + 1, lineEnd - methodEnd - 1);
        if (targetEnd < 0 || !ReadHeaders(lineEnd, to)) {
            Append(BadRequestHead, true, false);
            return false;
        }
        bool http10 = lineEnd - targetEnd - 1 == 8 && input[targetEnd + 8] == (byte)'0';
        bool close = closeAfter || (http10 && !keepAlive10);
        if (chunked) {  // request bodies in chunks are not taken
            Append(NotImplementedHead, true, false);
            return false;
        }
        discard = contentLength;
        bool head = Is(input, from, methodEnd, "HEAD");
        if (!head && !Is(input, from, methodEnd, "GET")) {
            Append(MethodHead, close, http10 && !close);
            return !close;
        }
        int pathStart = methodEnd + 1;
        int pathEnd = Array.IndexOf(input, (byte)'?', pathStart, targetEnd - pathStart);
        if (pathEnd < 0) pathEnd = targetEnd;
        if (Equal(input, pathStart, pathEnd, PlainPath)) {
            Append(PlainTextHead, close, http10 && !close);
            if (!head) Append(Answers.PlainText, 0, Answers.PlainText.Length);
        } else if (Equal(input, pathStart, pathEnd, JsonPath)) {
            string json = Answers.Json();
            Append(JsonHead, 0, JsonHead.Length);
            AppendNumber(Encoding.UTF8.GetByteCount(json));
            Append(DateLine, close, http10 && !close);
            if (!head) outLength += Encoding.UTF8.GetBytes(json, 0, json.Length, output, outLength);
        } else {
            string path = Encoding.ASCII.GetString(input, pathStart, pathEnd - pathStart);
            await SendFileAsync(FileCache.Find(root, path), head, close, http10 && !close).ConfigureAwait(false);
        }
        return !close;
    }

    // Reads the header lines of input[from, to) into the request's fields; false if malformed.
    bool ReadHeaders(int from, int to) {
        closeAfter = keepAlive10 = chunked = false;
        contentLength = 0;
        int line = from + 2;
        while (line < to) {
            int lineEnd = IndexOf(input, line, to, HeadEnd, 2);
            if (lineEnd < 0) lineEnd = to;
            int colon = Array.IndexOf(input, (byte)':', line, lineEnd - line);
            if (colon < 0) return false;
            int value = colon + 1;
            while (value < lineEnd && (input[value] == ' ' || input[value] == '\t')) value++;
            if (IsName(line, colon, "connection")) {
                if (Contains(value, lineEnd, "close")) closeAfter = true;
                if (Contains(value, lineEnd, "keep-alive")) keepAlive10 = true;
            } else if (IsName(line, colon, "content-length")) {
                long length = 0;
                for (int i = value; i < lineEnd; i++) {
                    byte c = input[i];
                    if (c == ' ' || c == '\t') continue;
                    if (c < '0' || c > '9' || length > long.MaxValue / 10 - 10) return false;
                    length = length * 10 + (c - '0');
                }
                contentLength = length;
            } else if (IsName(line, colon, "transfer-encoding")) {
                chunked = true;
            }
            line = lineEnd + 2;
        }
        return true;
    }

    async Task SendFileAsync(StaticFile file, bool head, bool close, bool keepAlive) {
        FileStream stream = null;
        if (file != null && file.Body == null) {
            try {
                stream = new FileStream(file.Path, FileMode.Open, FileAccess.Read, FileShare.ReadWrite, 1);
            } catch (Exception e) when (e is IOException || e is UnauthorizedAccessException) {
                file = null;
            }
        }
        if (file == null) {
            Append(NotFoundHead, close, keepAlive);
            return;
        }
        using (stream) {
            long length = stream != null ? stream.Length : file.Body.Length;
            AppendAscii("HTTP/1.1 200 OK\r\nServer: mono-sockets\r\nContent-Type: ");
            AppendAscii(file.Type);
            AppendAscii("\r\nLast-Modified: ");
            AppendAscii(file.LastModified);
            AppendAscii("\r\nETag: ");
            AppendAscii(file.ETag);
            AppendAscii("\r\nContent-Length: ");
            AppendNumber(length);
            AppendAscii("\r\nDate: ");
            AppendTail(close, keepAlive);
            if (head) return;
            // Bodies go through the output beside the other answers of the batch, in pieces when
            // they are larger than its room.
            int offset = 0;
            while (length > 0) {
                if (outLength == output.Length) await FlushAsync().ConfigureAwait(false);
                int room = (int)Math.Min(length, output.Length - outLength);
                int n;
                if (stream == null) {
                    Buffer.BlockCopy(file.Body, offset, output, outLength, room);
                    n = room;
                    offset += n;
                } else {
                    n = stream.Read(output, outLength, room);
                    if (n == 0) throw new IOException("file shrank while sent");  // the length was promised
                }
                outLength += n;
                length -= n;
            }
        }
    }

    // A fixed head that ends with "Date: ", then the date, the Connection line and the blank line.
    void Append(byte[] head, bool close, bool keepAlive) {
        Append(head, 0, head.Length);
        AppendTail(close, keepAlive);
    }

    void AppendTail(bool close, bool keepAlive) {
        byte[] date = HttpDate.Current;
        Append(date, 0, date.Length);
        if (close) Append(CloseLine, 0, CloseLine.Length);
        else if (keepAlive) Append(KeepAliveLine, 0, KeepAliveLine.Length);
        Append(HeadEnd, 0, HeadEnd.Length);
    }

    // The room was made before the answer began (AnswerRoom).
    void Append(byte[] bytes, int offset, int count) {
        Buffer.BlockCopy(bytes, offset, output, outLength, count);
        outLength += count;
    }

    void AppendAscii(string text) {
        for (int i = 0; i < text.Length; i++) output[outLength++] = (byte)text[i];
    }

    void AppendNumber(long value) {
        int digits = 1;
        for (long rest = value / 10; rest > 0; rest /= 10) digits++;
        for (int i = digits - 1; i >= 0; i--) {
            output[outLength + i] = (byte)('0' + value % 10);
            value /= 10;
        }
        outLength += digits;
    }

    async Task FlushAsync() {
        int sent = 0;
        while (sent < outLength) {
            sent += await socket.SendAsync(new ArraySegment<byte>(output, sent, outLength - sent),
                SocketFlags.None).ConfigureAwait(false);
        }
        outLength = 0;
    }

    static byte[] Head(int status, string reason, string type, int length) {
        var text = new StringBuilder();
        text.Append("HTTP/1.1 ").Append(status).Append(' ').Append(reason).Append("\r\nServer: mono-sockets\r\n");
        if (type != null) text.Append("Content-Type: ").Append(type).Append("\r\n");
        text.Append("Content-Length: ").Append(length).Append("\r\nDate: ");
        return Encoding.ASCII.GetBytes(text.ToString());
    }

    static int IndexOf(byte[] buffer, int from, int to, byte[] pattern, int patternLength = 4) {
        for (int i = Array.IndexOf(buffer, pattern[0], from, to - from); i >= 0 && i + patternLength <= to;
             i = Array.IndexOf(buffer, pattern[0], i + 1, to - i - 1)) {
            int k = 1;
            while (k < patternLength && buffer[i + k] == pattern[k]) k++;
            if (k == patternLength) return i;
            if (i + 1 >= to) break;
        }
        return -1;
    }

    static bool Equal(byte[] buffer, int from, int to, byte[] expected) {
        if (to - from != expected.Length) return false;
        for (int i = 0; i < expected.Length; i++)
            if (buffer[from + i] != expected[i]) return false;
        return true;
    }

    static bool Is(byte[] buffer, int from, int to, string expected) {
        if (to - from != expected.Length) return false;
        for (int i = 0; i < expected.Length; i++)
            if (buffer[from + i] != expected[i]) return false;
        return true;
    }

    // Header names compare without regard to case; expected is lower case.
    bool IsName(int from, int to, string expected) {
        if (to - from != expected.Length) return false;
        for (int i = 0; i < expected.Length; i++)
            if ((input[from + i] | 0x20) != expected[i]) return false;
        return true;
    }

    bool Contains(int from, int to, string word) {
        for (int i = from; i + word.Length <= to; i++) {
            int k = 0;
            while (k < word.Length && (input[i + k] | 0x20) == word[k]) k++;
            if (k == word.Length) return true;
        }
        return false;
    }
}

}
