// The TechEmpower test types on VrnsHttp.dll, over SQLite (embedded, the default) or PostgreSQL
// through ODBC:
//
//   vrns VrnsTechEmpower.exe [--listen HOST:PORT] [--sqlite FILE] [--odbc CONNECTION-STRING]
//                            [--db-connections N]
//
//   GET /plaintext                  Hello, World!
//   GET /json                       {"message":"Hello, World!"}
//   GET /db                         one random World row as {"id":N,"randomNumber":N}
//   GET /queries?queries=N          N random rows (N clamped to 1..500; not a number: 1)
//   GET /updates?queries=N          N random rows, each given a new random number and written back
//   GET /fortunes                   the Fortune rows and one added, sorted, as an HTML table
//   GET /cached-queries?count=N     N random rows from a copy of World held in memory
//
// --sqlite FILE (default techempower.sqlite in the working directory) is created with its rows
// when it does not exist; --odbc uses the tables of a database prepared beforehand instead.
// A database failure answers 500, no free connection within 10 s 503 (problem details).
using System;
using System.IO;
using System.Text;
using System.Threading.Tasks;
using Vrns.Http;

namespace Vrns.Samples.TechEmpower
{
    public static class TechEmpowerApp
    {
        const string Usage = "usage: vrns VrnsTechEmpower.exe [--listen HOST:PORT] [--sqlite FILE] " +
                             "[--odbc CONNECTION-STRING] [--db-connections N]";
        static readonly byte[] HelloWorld = Encoding.ASCII.GetBytes("Hello, World!");

        static Database db;
        static World[] cache;

        static Task Plaintext(HttpContext c)
        {
            c.Response.ContentType = "text/plain";
            c.Response.Send(HelloWorld);
            return Task.CompletedTask;
        }

        static World[] CachedWorlds(int count)
        {
            var worlds = new World[count];
            for (int i = 0; i < count; i++) worlds[i] = cache[Database.RandomId()];
            return worlds;
        }

        // The database blocks: its handlers run on the handler pool (the server's default), and
        // a request that finds every connection busy for too long gets 503.
        static IResult FromDatabase(Func<IResult> query)
        {
            try {
                return query();
            } catch (TimeoutException e) {
                return Results.Problem(e.Message, 503);
            }
        }

        static int Count(HttpContext c, string name)
        {
            return Render.QueryCount(c.Request.QueryString[name]);
        }

        public static void Map(HttpServer server)
        {
            server.Map("GET", "/plaintext", Plaintext, HandlerThread.UnsafeInline);
            server.Map("GET", "/json", c => Results.Json(new HelloMessage { Message = "Hello, World!" }),
                       HandlerThread.UnsafeInline);
            server.MapGet("/db", c => FromDatabase(() => Results.Json(db.RandomWorlds(1)[0])));
            server.MapGet("/queries", c => FromDatabase(() => Results.Json(db.RandomWorlds(Count(c, "queries")))));
            server.MapGet("/updates", c => FromDatabase(() => Results.Json(db.UpdateRandomWorlds(Count(c, "queries")))));
            server.MapGet("/fortunes", c => FromDatabase(() => Results.Html(Render.FortunesPage(db.Fortunes()))));
            server.Map("GET", "/cached-queries", c => Results.Json(CachedWorlds(Count(c, "count"))),
                       HandlerThread.UnsafeInline);
        }

        public static int Main(string[] args)
        {
            string listen = "127.0.0.1:8080", sqlite = "techempower.sqlite", odbc = null;
            int connections = Database.DefaultMaxConnections;
            for (int i = 0; i < args.Length; i += 2) {
                string value = i + 1 < args.Length ? args[i + 1] : null;
                System.Net.IPEndPoint ignored;
                if (args[i] == "--listen" && value != null && HttpServer.TryParseEndpoint(value, out ignored))
                    listen = value;
                else if (args[i] == "--sqlite" && value != null)
                    sqlite = value;
                else if (args[i] == "--odbc" && value != null)
                    odbc = value;
                else if (args[i] == "--db-connections" && int.TryParse(value, out connections) && connections > 0)
                    continue;
                else {
                    Console.Error.WriteLine(Usage);
                    return 2;
                }
            }
            var options = new HttpServerOptions();
            options.Listen.Add(listen);
            var server = new HttpServer(options);
            try {
                db = odbc != null ? Database.Odbc(odbc, connections) : Database.Sqlite(sqlite, connections);
                cache = db.AllWorlds();
                Map(server);
                server.Start();
            } catch (Exception e) {
                Console.Error.WriteLine("vrns-techempower: " + e.Message);
                return 1;
            }
            Console.WriteLine("vrns-techempower: listening on {0}", server.Endpoints[0]);
            Console.WriteLine("vrns-techempower: database {0}", odbc != null ? "odbc" : Path.GetFullPath(sqlite));
            int status = server.Completion.Result;
            db.Dispose();
            return status;
        }
    }
}
