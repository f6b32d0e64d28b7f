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
// An item is {"id":1,"name":"walk dog","isComplete":false}. A body that is not JSON
// (Content-Type other than application/json) is answered 415; a malformed one, an array or a
// value of the wrong type, 400 with the reason. --store memory (the default) forgets the items at
// exit; --store sqlite keeps them in --sqlite FILE (default todo.sqlite), created when missing.
using System;
using System.Collections.Generic;
using System.Text;
using System.Threading.Tasks;
using Vrns.Http;

namespace Vrns.Samples.Todo
{
    public static class TodoApi
    {
        const string Usage = "usage: vrns VrnsTodoApi.exe [--listen HOST:PORT] [--store memory|sqlite] [--sqlite FILE]";
        const string Prefix = "/todoitems";
        const string JsonType = "application/json; charset=utf-8";

        static ITodoStore store;

        static void Json(HttpContext c, int status, string json)
        {
            c.Response.StatusCode = status;
            c.Response.ContentType = JsonType;
            c.Response.Send(json);
        }

        // The route's {id}: a number, else no item has it.
        static bool TryId(HttpContext c, out int id)
        {
            if (int.TryParse(c.Request.RouteValues["id"], out id)) return true;
            c.Response.SendStatus(404);
            return false;
        }

        // The body as a Todo; false after answering 415 or 400.
        static async Task<Todo> ReadTodo(HttpContext c)
        {
            string type = c.Request.GetHeader("Content-Type") ?? "";
            int semicolon = type.IndexOf(';');
            string media = (semicolon < 0 ? type : type.Substring(0, semicolon)).Trim();
            if (!media.Equals("application/json", StringComparison.OrdinalIgnoreCase)) {
                c.Response.SendStatus(415);
                return null;
            }
            byte[] body = await c.Request.ReadBodyAsync();
            string error;
            Todo t = TodoJson.Read(Encoding.UTF8.GetString(body), out error);
            if (t == null) {
                c.Response.StatusCode = 400;
                c.Response.ContentType = "text/plain; charset=utf-8";
                c.Response.Send("bad to-do item: " + error + "\n");
            }
            return t;
        }

        static Task GetAll(HttpContext c)
        {
            Json(c, 200, TodoJson.Write(store.All(false)));
            return Task.CompletedTask;
        }

        static Task GetComplete(HttpContext c)
        {
            Json(c, 200, TodoJson.Write(store.All(true)));
            return Task.CompletedTask;
        }

        static Task GetOne(HttpContext c)
        {
            int id;
            if (!TryId(c, out id)) return Task.CompletedTask;
            Todo t = store.Find(id);
            if (t == null)
                c.Response.SendStatus(404);
            else
                Json(c, 200, TodoJson.Write(t));
            return Task.CompletedTask;
        }

        static async Task Post(HttpContext c)
        {
            Todo t = await ReadTodo(c);
            if (t == null) return;
            t = store.Add(t);
            c.Response.SetHeader("Location", Prefix + "/" + t.Id);
            Json(c, 201, TodoJson.Write(t));
        }

        static async Task Put(HttpContext c)
        {
            int id;
            if (!TryId(c, out id)) return;
            Todo t = await ReadTodo(c);
            if (t == null) return;
            c.Response.SendStatus(store.Update(id, t) ? 204 : 404);
        }

        static Task Delete(HttpContext c)
        {
            int id;
            if (TryId(c, out id)) c.Response.SendStatus(store.Delete(id) ? 204 : 404);
            return Task.CompletedTask;
        }

        public static void Map(HttpServer server)
        {
            server.Map("GET", Prefix, GetAll);
            server.Map("GET", Prefix + "/complete", GetComplete);
            server.Map("GET", Prefix + "/{id}", GetOne);
            server.Map("POST", Prefix, Post);
            server.Map("PUT", Prefix + "/{id}", Put);
            server.Map("DELETE", Prefix + "/{id}", Delete);
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
