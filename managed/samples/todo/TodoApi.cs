// A REST API over a store of to-do items, in the shape of ASP.NET Core's minimal-API TodoApi:
//
//   vrns VrnsTodoApi.exe [--listen HOST:PORT] [--store memory|sqlite] [--sqlite FILE]
//
//   GET    /todoitems            every item, as a JSON array
//   GET    /todoitems/complete   the items whose isComplete is true
//   GET    /todoitems/{id}       one item; 404 when there is none
//   POST   /todoitems            stores the item in the body; 201 with its Location and the item
//   PUT    /todoitems/{id}       replaces an item's name and isComplete; 204, or 404
//   DELETE /todoitems/{id}       removes an item; 204, or 404
//
// An item is {"id":1,"name":"walk dog","isComplete":false} (names in any case on the way in).
// A body that is not JSON (Content-Type other than application/json) is answered 415; a
// malformed one, an array or a value of the wrong type 400, both with problem details. --store memory (the default) forgets the items at
// exit; --store sqlite keeps them in --sqlite FILE (default todo.sqlite), created when missing.
using System;
using Vrns.Http;

namespace Vrns.Samples.Todo
{
    public static class TodoApi
    {
        const string Usage = "usage: vrns VrnsTodoApi.exe [--listen HOST:PORT] [--store memory|sqlite] [--sqlite FILE]";

        static ITodoStore store;

        // The store blocks (SQLite): the handlers run on the handler pool, the server's default.
        // A body that is not a Todo never reaches them: ReadJsonAsync throws
        // BadHttpRequestException, which the server answers 415 or 400 with problem details.
        public static void Map(HttpServer server)
        {
            RouteGroup items = server.MapGroup("/todoitems");
            items.MapGet("/", c => Results.Ok(store.All(false)));
            items.MapGet("/complete", c => Results.Ok(store.All(true)));
            items.MapGet("/{id:int}", c => {
                Todo t = store.Find(c.Request.RouteValues.GetInt32("id"));
                return t == null ? Results.NotFound() : Results.Ok(t);
            });
            items.MapPost("/", async c => {
                Todo t = store.Add(await c.Request.ReadJsonAsync<Todo>());
                return Results.Created("/todoitems/" + t.Id, t);
            });
            items.MapPut("/{id:int}", async c => {
                Todo t = await c.Request.ReadJsonAsync<Todo>();
                return store.Update(c.Request.RouteValues.GetInt32("id"), t) ? Results.NoContent() : Results.NotFound();
            });
            items.MapDelete("/{id:int}", c =>
                store.Delete(c.Request.RouteValues.GetInt32("id")) ? Results.NoContent() : Results.NotFound());
        }

        public static int Main(string[] args)
        {
            string listen = "127.0.0.1:8080", kind = "memory", file = "todo.sqlite";
            for (int i = 0; i < args.Length; i += 2) {
                string value = i + 1 < args.Length ? args[i + 1] : null;
                System.Net.IPEndPoint ignored;
                if (args[i] == "--listen" && value != null && HttpServer.TryParseEndpoint(value, out ignored))
                    listen = value;
                else if (args[i] == "--store" && (value == "memory" || value == "sqlite"))
                    kind = value;
                else if (args[i] == "--sqlite" && value != null)
                    file = value;
                else {
                    Console.Error.WriteLine(Usage);
                    return 2;
                }
            }
            var options = new HttpServerOptions();
            options.Listen.Add(listen);
            var server = new HttpServer(options);
            try {
                store = kind == "sqlite" ? (ITodoStore)new SqliteTodoStore(file) : new MemoryTodoStore();
                Map(server);
                server.Start();
            } catch (Exception e) {
                Console.Error.WriteLine("vrns-todo: " + e.Message);
                return 1;
            }
            Console.WriteLine("vrns-todo: listening on {0}", server.Endpoints[0]);
            int status = server.Completion.Result;
            store.Dispose();
            return status;
        }
    }
}
