// The sample application on VrnsHttp.dll:
//
//   vrns VrnsSample.exe --listen HOST:PORT --root DIR [--read-timeout S] [--drain-timeout S]
//                       [--max-connections N] [--access-log FILE|-|off] [--unsafe-inline-handlers]
//
//   GET /plaintext      Hello, World! (text/plain)
//   GET /json           {"message":"Hello, World!"} (application/json; charset=utf-8), serialised per request
//   POST /echo          the request body, with its Content-Type
//   GET /hello/{name}   Hello, NAME! (a route template's value)
//   GET /upload         a form with a text field and a file
//   POST /upload        what the form sent: the field, and each file's name, size and SHA-256
//   GET /chat           a chat page over the WebSocket at /chat/ws, which broadcasts (Chat.cs)
//   anything else       the static files beneath --root
//
// SIGINT or SIGTERM drains it (see HttpServer) and it exits 0, after one line of totals. Its
// handlers run on the server's handler pool; --unsafe-inline-handlers runs them on the pump
// workers instead (for the benchmark: they never block). The static files always run inline.
// Two options exist for the tests: --gc-stress adds a thread that allocates hard and collects
// without pause until the stop, and sends files from arrays of their own, to show that pinned
// buffers and callbacks on foreign threads survive the collector; --send-buffer BYTES sets each connection's SO_SNDBUF, so that small
// values keep writes (and their pins) waiting for the reader.
using System;
using System.Collections.Generic;
using System.IO;
using System.Text;
using System.Threading;
using System.Threading.Tasks;
using Vrns;
using Vrns.Http;

namespace Vrns.Sample
{
    sealed class Options
    {
        public string Listen = "127.0.0.1:8080";
        public string Root = ".";
        public int ReadTimeoutSec = 30;
        public int DrainTimeoutSec = 5;
        public int MaxConnections;
        public bool GcStress, InlineHandlers;
        public int SendBuffer;
        public string AccessLog = "off";
        const int MostDrainSeconds = 86400, MostConnections = 1000000;

        public const string Usage =
            "usage: vrns VrnsSample.exe [--listen HOST:PORT] [--root DIR] [--read-timeout SECONDS] " +
            "[--drain-timeout SECONDS] [--max-connections N] [--access-log FILE|-|off] [--unsafe-inline-handlers] " +
            "[--send-buffer BYTES] [--gc-stress]";

        public static Options Parse(string[] args)
        {
            var o = new Options();
            for (int i = 0; i < args.Length; i++) {
                string name = args[i];
                if (name == "--gc-stress") {
                    o.GcStress = true;
                    continue;
                }
                if (name == "--unsafe-inline-handlers") {
                    o.InlineHandlers = true;
                    continue;
                }
                if (i + 1 >= args.Length) throw new ArgumentException(Usage);
                string value = args[++i];
                System.Net.IPEndPoint ignored;
                if (name == "--listen") {
                    if (!HttpServer.TryParseEndpoint(value, out ignored))
                        throw new ArgumentException("bad --listen '" + value + "' (expected HOST:PORT or [IPv6]:PORT)");
                    o.Listen = value;
                } else if (name == "--root") {
                    if (!Directory.Exists(value)) throw new ArgumentException("--root '" + value + "' is not a directory");
                    o.Root = Path.GetFullPath(value);
                } else if (name == "--read-timeout") {
                    if (!int.TryParse(value, out o.ReadTimeoutSec) || o.ReadTimeoutSec < 1 || o.ReadTimeoutSec > 235)
                        throw new ArgumentException("bad --read-timeout '" + value + "' (expected 1 to 235)");
                } else if (name == "--drain-timeout") {
                    if (!int.TryParse(value, out o.DrainTimeoutSec) || o.DrainTimeoutSec < 0 ||
                        o.DrainTimeoutSec > MostDrainSeconds)
                        throw new ArgumentException("bad --drain-timeout '" + value + "' (expected 0 to 86400)");
                } else if (name == "--max-connections") {
                    if (!int.TryParse(value, out o.MaxConnections) || o.MaxConnections < 1 || o.MaxConnections > MostConnections)
                        throw new ArgumentException("bad --max-connections '" + value + "' (expected 1 to 1000000)");
                } else if (name == "--access-log") {
                    o.AccessLog = value;
                } else if (name == "--send-buffer") {
                    if (!int.TryParse(value, out o.SendBuffer) || o.SendBuffer < 1)
                        throw new ArgumentException("bad --send-buffer '" + value + "' (expected a byte count)");
                } else {
                    throw new ArgumentException(Usage);
                }
            }
            if (o.Root == ".") o.Root = Path.GetFullPath(".");
            return o;
        }
    }

    // A route template and a form with a file upload.
    static class FormRoutes
    {
        const string UploadPage =
            "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Upload</title></head><body>\n" +
            "<form method=\"post\" action=\"/upload\" enctype=\"multipart/form-data\">\n" +
            "<p><label>Title <input name=\"title\"></label></p>\n" +
            "<p><label>File <input type=\"file\" name=\"file\" multiple></label></p>\n" +
            "<p><button>Send</button></p>\n</form>\n</body></html>\n";

        public static void Map(HttpServer server)
        {
            server.Map("GET", "/hello/{name}", Hello);
            server.Map("GET", "/upload", c => {
                c.Response.ContentType = "text/html; charset=utf-8";
                c.Response.Send(UploadPage);
                return Task.CompletedTask;
            });
            server.Map("POST", "/upload", Upload);
        }

        static Task Hello(HttpContext c)
        {
            c.Response.ContentType = "text/plain; charset=utf-8";
            c.Response.Send("Hello, " + c.Request.RouteValues["name"] + "!\n");
            return Task.CompletedTask;
        }

        // The form's field, and each file read back from where it was spooled.
        static async Task Upload(HttpContext c)
        {
            FormCollection form = await c.Request.ReadFormAsync();
            var said = new StringBuilder();
            said.Append("title: ").Append(form["title"] ?? "").Append('\n');
            using (var sha = System.Security.Cryptography.SHA256.Create()) {
                foreach (FormFile f in form.Files) {
                    byte[] hash;
                    using (Stream s = f.OpenReadStream()) hash = sha.ComputeHash(s);
                    said.Append(f.Name).Append(": ").Append(f.FileName).Append(", ").Append(f.Length).Append(" bytes, ")
                        .Append(f.ContentType ?? "no type").Append(", sha256 ")
                        .Append(BitConverter.ToString(hash).Replace("-", "").ToLowerInvariant()).Append('\n');
                }
            }
            c.Response.ContentType = "text/plain; charset=utf-8";
            c.Response.Send(said.ToString());
        }
    }

    public static class SampleApp
    {
        static readonly byte[] Hello = Encoding.ASCII.GetBytes("Hello, World!");
        static int stressRounds, stop;

        static Task Plaintext(HttpContext c)
        {
            c.Response.ContentType = "text/plain";
            c.Response.Send(Hello);
            return Task.CompletedTask;
        }

        // A new object serialised for each request, as the benchmark's rules ask.
        static Task Json(HttpContext c)
        {
            return c.Response.WriteJsonAsync(new { message = "Hello, World!" });
        }

        static async Task Echo(HttpContext c)
        {
            byte[] body = await c.Request.ReadBodyAsync().ConfigureAwait(false);
            c.Response.ContentType = c.Request.GetHeader("Content-Type") ?? "application/octet-stream";
            c.Response.Send(body);
        }

        static void StressCollector()
        {
            var keep = new List<byte[]>();
            var random = new Random(1);
            while (Volatile.Read(ref stop) == 0) {
                for (int i = 0; i < 2000; i++) {
                    keep.Add(new byte[random.Next(16, 4000)]);
                    if (keep.Count > 500) keep.RemoveAt(random.Next(keep.Count));
                }
                GC.Collect();
                Interlocked.Increment(ref stressRounds);
            }
        }

        public static int Main(string[] args)
        {
            Options o;
            try {
                o = Options.Parse(args);
            } catch (ArgumentException e) {
                Console.Error.WriteLine("vrns-managed: " + e.Message);
                return 2;
            }
            var options = new HttpServerOptions {
                ReadTimeoutSec = o.ReadTimeoutSec,
                DrainMsec = o.DrainTimeoutSec * 1000,
                MaxConnections = o.MaxConnections,
                SendBufferBytes = o.SendBuffer,
                UnsafeInlineHandlers = o.InlineHandlers,
                AccessLog = o.AccessLog,
            };
            options.Listen.Add(o.Listen);
            var server = new HttpServer(options);
            try {
                var files = new StaticFiles(o.Root);
                // Each response's body in a young array of its own: unpinned, it would move.
                if (o.GcStress) {
                    files.MemoryBodyMax = 1 << 20;
                    files.CacheEntries = 0;
                }
                server.Map("GET", "/plaintext", Plaintext);
                server.Map("GET", "/json", Json);
                server.Map("POST", "/echo", Echo);
                FormRoutes.Map(server);
                Chat.Map(server);
                server.Router.Fallback = files.Handle;
                server.Start();
            } catch (Exception e) when (e is IOException || e is VrnsException || e is ArgumentException) {
                Console.Error.WriteLine("vrns-managed: " + e.Message);
                return 1;
            }
            Console.WriteLine("vrns-managed: listening on {0}, serving {1}", server.Endpoints[0], o.Root);
            Thread stress = null;
            if (o.GcStress) {
                stress = new Thread(StressCollector) { IsBackground = true };
                stress.Start();
            }
            int status = server.Completion.Result;
            Volatile.Write(ref stop, 1);
            if (stress != null) stress.Join();
            Console.WriteLine("vrns-managed: stopped by signal {0}; writes started {1}, completed {2}, stray {3}; " +
                              "collections {4}, stress rounds {5}, callback failures {6}",
                              server.StopSignal, Writes.Started, Writes.Completed, Writes.Stray, GC.CollectionCount(0),
                              Volatile.Read(ref stressRounds), Engine.CallbackFailures);
            return status;
        }
    }
}
