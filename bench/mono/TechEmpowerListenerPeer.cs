// The TechEmpower sample's application on Mono's System.Net.HttpListener, for the benchmark: the
// same database code, JSON and HTML (managed/samples/techempower/Database.cs and Render.cs,
// VrnsHttp's Json and HtmlEncoder), only the server differs.
//
//   mono TechEmpowerListenerPeer.exe --listen HOST:PORT [--sqlite FILE | --odbc CONNECTION-STRING]
//
// Several GetContextAsync calls stay outstanding so that a new request never waits for the
// accept loop. The database calls block the thread-pool thread that answers, as a handler on
// HttpListener written in the usual way does. HttpListener adds Date and Server itself.
using System;
using System.Net;
using System.Text;
using System.Threading;
using System.Threading.Tasks;
using Vrns.Http;
using Vrns.Samples.TechEmpower;

namespace VrnsBench {

static class TechEmpowerListenerPeer {
    const string Usage = "usage: TechEmpowerListenerPeer.exe --listen HOST:PORT [--sqlite FILE | --odbc CONNECTION-STRING]";
    const string JsonType = "application/json; charset=utf-8";
    static readonly byte[] HelloWorld = Encoding.ASCII.GetBytes("Hello, World!");
    static Database db;
    static World[] cache;

    static int Main(string[] args) {
        string listen = null, sqlite = "techempower.sqlite", odbc = null;
        for (int i = 0; i + 1 < args.Length; i += 2) {
            if (args[i] == "--listen") listen = args[i + 1];
            else if (args[i] == "--sqlite") sqlite = args[i + 1];
            else if (args[i] == "--odbc") odbc = args[i + 1];
        }
        if (listen == null || args.Length % 2 != 0) {
            Console.Error.WriteLine(Usage);
            return 2;
        }
        db = odbc != null ? Database.Odbc(odbc) : Database.Sqlite(sqlite);
        cache = db.AllWorlds();
        var listener = new HttpListener();
        listener.Prefixes.Add("http://" + listen + "/");
        listener.IgnoreWriteExceptions = true;
        listener.Start();
        Console.WriteLine("listening on {0}", listen);
        for (int i = 0; i < Environment.ProcessorCount * 4; i++) Task.Run(() => AcceptLoop(listener));
        Thread.Sleep(Timeout.Infinite);  // the benchmark stops the process with SIGTERM
        return 0;
    }

    static async Task AcceptLoop(HttpListener listener) {
        while (listener.IsListening) {
            HttpListenerContext context;
            try {
                context = await listener.GetContextAsync().ConfigureAwait(false);
            } catch (Exception e) when (e is HttpListenerException || e is ObjectDisposedException) {
                return;
            }
            ThreadPool.QueueUserWorkItem(Answer, context);  // the loop takes the next request at once
        }
    }

    static int Count(HttpListenerRequest request, string name) {
        return Render.QueryCount(request.QueryString[name]);
    }

    static void Answer(object state) {
        var context = (HttpListenerContext)state;
        HttpListenerResponse response = context.Response;
        try {
            HttpListenerRequest request = context.Request;
            switch (request.Url.AbsolutePath) {
            case "/plaintext": Write(response, "text/plain", HelloWorld); break;
            case "/json": Write(response, JsonType, Json.Serialize(new HelloMessage { Message = "Hello, World!" })); break;
            case "/db": Write(response, JsonType, Json.Serialize(db.RandomWorlds(1)[0])); break;
            case "/queries": Write(response, JsonType, Json.Serialize(db.RandomWorlds(Count(request, "queries")))); break;
            case "/updates": Write(response, JsonType, Json.Serialize(db.UpdateRandomWorlds(Count(request, "queries")))); break;
            case "/fortunes":
                Write(response, "text/html; charset=utf-8", Encoding.UTF8.GetBytes(Render.FortunesPage(db.Fortunes())));
                break;
            case "/cached-queries":
                var worlds = new World[Count(request, "count")];
                for (int i = 0; i < worlds.Length; i++) worlds[i] = cache[Database.RandomId()];
                Write(response, JsonType, Json.Serialize(worlds));
                break;
            default:
                response.StatusCode = 404;
                response.ContentLength64 = 0;
                break;
            }
            response.Close();
        } catch (Exception) {
            response.Abort();  // the client went away, or the database failed: the benchmark counts it
        }
    }

    static void Write(HttpListenerResponse response, string type, byte[] body) {
        response.ContentType = type;
        response.ContentLength64 = body.Length;
        response.OutputStream.Write(body, 0, body.Length);
    }
}

}
