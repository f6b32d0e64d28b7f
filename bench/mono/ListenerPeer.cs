// The managed benchmark's peer on Mono's System.Net.HttpListener: GET /plaintext, GET /json and
// the files under --root, as the managed sample answers them.
//
//   mono MonoListenerPeer.exe --listen HOST:PORT --root DIR
//
// Several GetContextAsync calls are kept outstanding so that a new request never waits for the
// accept loop; each context is answered without waiting for the one before. HttpListener itself
// adds Date and Server, keeps connections alive (for at most 100 requests each: Mono's own
// limit) and frames the request. It answers only the first of pipelined requests.
using System;
using System.IO;
using System.Net;
using System.Threading;
using System.Threading.Tasks;

namespace VrnsBench {

static class ListenerPeer {
    const string Usage = "usage: MonoListenerPeer.exe --listen HOST:PORT --root DIR";
    const int StreamChunk = 64 * 1024;
    const int JsonBufferSize = 256;

    [ThreadStatic] static byte[] jsonBuffer;

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
                    byte[] buffer = jsonBuffer ?? (jsonBuffer = new byte[JsonBufferSize]);
                    string json = Answers.Json();
                    int length = System.Text.Encoding.UTF8.GetBytes(json, 0, json.Length, buffer, 0);
                    Write(response, Answers.JsonType, buffer, length, head);
                } else {
                    await SendFileAsync(response, FileCache.Find(root, path), head).ConfigureAwait(false);
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

    static async Task SendFileAsync(HttpListenerResponse response, StaticFile file, bool head) {
        if (file == null) {
            response.StatusCode = 404;
            response.ContentLength64 = 0;
            return;
        }
        response.AddHeader("Last-Modified", file.LastModified);
        response.AddHeader("ETag", file.ETag);
        if (file.Body != null) {
            Write(response, file.Type, file.Body, file.Body.Length, head);
            return;
        }
        FileStream stream;
        try {
            stream = new FileStream(file.Path, FileMode.Open, FileAccess.Read, FileShare.ReadWrite, 1);
        } catch (Exception e) when (e is IOException || e is UnauthorizedAccessException) {
            response.StatusCode = 404;
            response.ContentLength64 = 0;
            return;
        }
        using (stream) {
            response.ContentType = file.Type;
            response.ContentLength64 = stream.Length;
            if (!head) await stream.CopyToAsync(response.OutputStream, StreamChunk).ConfigureAwait(false);
        }
    }
}

}
