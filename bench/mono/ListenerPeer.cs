// The managed benchmark's peer on Mono's System.Net.HttpListener: GET /plaintext, GET /json and
// the files under --root, as the managed sample answers them.
//
//   mono MonoListenerPeer.exe --listen HOST:PORT --root DIR
//
// Several GetContextAsync calls are kept outstanding so that a new request never waits for the
// accept loop; each context is answered without waiting for the one before. HttpListener itself
// adds Date and Server, keeps connections alive and frames the request.
using System;
using System.IO;
using System.Net;
using System.Threading;
using System.Threading.Tasks;

namespace VrnsBench {

static class ListenerPeer {
    const string Usage = "usage: MonoListenerPeer.exe --listen HOST:PORT --root DIR";
    // Bodies up to this size are read whole and written in one call; larger ones are streamed.
    const int WholeBodyLimit = 64 * 1024;
    const int StreamChunk = 64 * 1024;

    [ThreadStatic] static byte[] fileBuffer;

    static int Main(string[] args) {
        PeerOptions options;
        try {
            options = PeerOptions.Parse(args, Usage);
        } catch (ArgumentException e) {
            Console.Error.WriteLine(e.Message);
            return 2;
        }
        var listener = new HttpListener();
        listener.Prefixes.Add("http://" + options.Host + ":" + options.Port + "/");
        listener.IgnoreWriteExceptions = true;
        listener.Start();
        Console.WriteLine("listening on {0}:{1}", options.Host, options.Port);
        int loops = Environment.ProcessorCount * 4;
        for (int i = 0; i < loops; i++) Task.Run(() => AcceptLoop(listener, options.Root));
        // The benchmark stops the process with SIGTERM.
        Thread.Sleep(Timeout.Infinite);
        return 0;
    }

    static async Task AcceptLoop(HttpListener listener, string root) {
        while (listener.IsListening) {
            HttpListenerContext context;
            try {
                context = await listener.GetContextAsync().ConfigureAwait(false);
            } catch (HttpListenerException) {
                return;
            } catch (ObjectDisposedException) {
                return;
            }
            _ = AnswerAsync(context, root);  // not awaited: the loop takes the next request at once
        }
    }

    static async Task AnswerAsync(HttpListenerContext context, string root) {
        HttpListenerResponse response = context.Response;
        try {
            HttpListenerRequest request = context.Request;
            bool head = request.HttpMethod == "HEAD";
            if (!head && request.HttpMethod != "GET") {
                response.StatusCode = 405;
                response.AddHeader("Allow", "GET, HEAD");
                response.ContentLength64 = 0;
            } else {
                string path = request.Url.AbsolutePath;
                if (path == "/plaintext") {
                    Write(response, Answers.PlainTextType, Answers.PlainText, Answers.PlainText.Length, head);
                } else if (path == "/json") {
                    Write(response, Answers.JsonType, Answers.Json, Answers.Json.Length, head);
                } else {
                    await SendFileAsync(response, Answers.ResolveFile(root, path), head).ConfigureAwait(false);
                }
            }
            response.Close();
        } catch (Exception e) when (e is HttpListenerException || e is IOException || e is ObjectDisposedException) {
            response.Abort();  // the client went away
        }
    }

    static void Write(HttpListenerResponse response, string type, byte[] body, int length, bool head) {
        response.ContentType = type;
        response.ContentLength64 = length;
        if (!head) response.OutputStream.Write(body, 0, length);
    }

    static async Task SendFileAsync(HttpListenerResponse response, string file, bool head) {
        FileStream stream = null;
        try {
            if (file != null) stream = new FileStream(file, FileMode.Open, FileAccess.Read, FileShare.ReadWrite, 1);
        } catch (IOException) {
        } catch (UnauthorizedAccessException) {
        }
        if (stream == null) {
            response.StatusCode = 404;
            response.ContentLength64 = 0;
            return;
        }
        using (stream) {
            long length = stream.Length;
            if (head) {
                response.ContentType = Answers.ContentType(file);
                response.ContentLength64 = length;
            } else if (length <= WholeBodyLimit) {
                byte[] buffer = fileBuffer ?? (fileBuffer = new byte[WholeBodyLimit]);
                int read = ReadWhole(stream, buffer, (int)length);
                Write(response, Answers.ContentType(file), buffer, read, false);
            } else {
                response.ContentType = Answers.ContentType(file);
                response.ContentLength64 = length;
                await stream.CopyToAsync(response.OutputStream, StreamChunk).ConfigureAwait(false);
            }
        }
    }

    // A file that shrank since its length was taken gives what is left; the client sees a short
    // body, as from any server.
    static int ReadWhole(FileStream stream, byte[] buffer, int length) {
        int total = 0;
        while (total < length) {
            int n = stream.Read(buffer, total, length - total);
            if (n == 0) break;
            total += n;
        }
        return total;
    }
}

}
