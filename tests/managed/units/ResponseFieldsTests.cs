// The one validated way to set a response field (SetHeader, AddHeader and ContentType alike),
// the statuses and bodies a response may have, what each result writes, and the Server field.
using System;
using System.Text;

namespace Vrns.Http.Units
{
    static class ResponseFieldsTests
    {
        static readonly Encoding Latin1 = Encoding.GetEncoding(28591);

        static HttpResponse NewResponse()
        {
            return NewContext().TheResponse;
        }

        static HttpContext NewContext()
        {
            byte[] input = Encoding.ASCII.GetBytes("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
            var head = new HeadParser();
            head.Parse(input, input.Length);
            return new HttpContext(null, null, head, input);
        }

        static string Body(HttpResponse r)
        {
            switch (r.Kind) {
                case BodyKind.None: return "";
                case BodyKind.Text: return r.BodyText;
                case BodyKind.Bytes: return Encoding.UTF8.GetString(r.BodyBytes, r.BodyOffset, r.BodyCount);
                default: return "?" + r.Kind;
            }
        }

        class Item
        {
            public int Id { get; set; }
            public string Name { get; set; }
        }

        // Each result: its status, the fields it writes, its body.
        static readonly Tuple<IResult, int, string, string>[] ResultRows = {
            Tuple.Create(Results.Ok(), 200, "", ""),
            Tuple.Create(Results.Ok(new Item { Id = 1, Name = "a" }), 200,
                         "Content-Type: application/json; charset=utf-8\r\n", "{\"id\":1,\"name\":\"a\"}"),
            Tuple.Create(Results.Created("/items/1", new Item { Id = 1 }), 201,
                         "Content-Type: application/json; charset=utf-8\r\nLocation: /items/1\r\n", "{\"id\":1,\"name\":null}"),
            Tuple.Create(Results.NoContent(), 204, "", ""),
            Tuple.Create(Results.NotFound(), 404, "", ""),
            Tuple.Create(Results.NotFound("no item 7"), 404, "Content-Type: application/json; charset=utf-8\r\n", "\"no item 7\""),
            Tuple.Create(Results.BadRequest(), 400, "", ""),
            Tuple.Create(Results.BadRequest(new[] { "name is required" }), 400, "Content-Type: application/json; charset=utf-8\r\n",
                         "[\"name is required\"]"),
            Tuple.Create(Results.StatusCode(409), 409, "", ""),
            Tuple.Create(Results.Problem("the store is down", 503), 503, "Content-Type: application/problem+json\r\n",
                         "{\"type\":\"about:blank\",\"title\":\"Service Unavailable\",\"status\":503,\"detail\":\"the store is down\"}"),
            Tuple.Create(Results.Problem(), 500, "Content-Type: application/problem+json\r\n",
                         "{\"type\":\"about:blank\",\"title\":\"Internal Server Error\",\"status\":500}"),
            // A type of one's own has no title unless given (RFC 9457 4.2.1: about:blank's is the phrase).
            Tuple.Create(Results.Problem("x", 422, null, "https://example.com/probs/x"), 422, "Content-Type: application/problem+json\r\n",
                         "{\"type\":\"https://example.com/probs/x\",\"status\":422,\"detail\":\"x\"}"),
            Tuple.Create(Results.Redirect("/a?b=1"), 302, "Location: /a?b=1\r\n", ""),
            Tuple.Create(Results.Redirect("/a", true), 301, "Location: /a\r\n", ""),
            Tuple.Create(Results.Redirect("/a", false, true), 307, "Location: /a\r\n", ""),
            Tuple.Create(Results.Redirect("/a", true, true), 308, "Location: /a\r\n", ""),
            Tuple.Create(Results.Json(new { message = "Hello, World!" }), 200, "Content-Type: application/json; charset=utf-8\r\n",
                         "{\"message\":\"Hello, World!\"}"),
            Tuple.Create(Results.Json(5, 202), 202, "Content-Type: application/json; charset=utf-8\r\n", "5"),
            Tuple.Create(Results.Text("h\u00e9"), 200, "Content-Type: text/plain; charset=utf-8\r\n", "h\u00e9"),
            Tuple.Create(Results.Text("a,b", "text/csv"), 200, "Content-Type: text/csv\r\n", "a,b"),
            Tuple.Create(Results.Html("<p>\u00e9</p>"), 200, "Content-Type: text/html; charset=utf-8\r\n", "<p>\u00e9</p>"),
        };

        [Test]
        static void ResultsWriteTheirStatusFieldsAndBody()
        {
            for (int i = 0; i < ResultRows.Length; i++) {
                HttpContext c = NewContext();
                Check.True(ResultRows[i].Item1.ExecuteAsync(c).IsCompleted, "row " + i + " completes at once");
                HttpResponse r = c.TheResponse;
                Check.Equal(ResultRows[i].Item2, r.Status, "row " + i + " status");
                Check.Equal(ResultRows[i].Item3, Written(r), "row " + i + " fields");
                Check.Equal(ResultRows[i].Item4, Body(r), "row " + i + " body");
                Check.Equal((long)Encoding.UTF8.GetByteCount(ResultRows[i].Item4), r.Length(), "row " + i + " length");
            }
            // What a result cannot say is refused when it is made, not when it is sent.
            Check.Throws<ArgumentException>(() => Results.Redirect("/a\r\nX: 1"), "a redirect that splits the head");
            Check.Throws<ArgumentException>(() => Results.Created("/a\nb", 1), "a location that splits the head");
            Check.Throws<ArgumentOutOfRangeException>(() => Results.Problem("x", 200), "a problem with a success status");
        }

        [Test]
        static void ServerFieldIsTheServersOrNone()
        {
            Check.Equal("HTTP/1.1 404 Not Found\r\nServer: vrns\r\nDate: ", Latin1.GetString(new StatusLines("vrns").LineAndServer(404)), "default");
            Check.Equal("HTTP/1.1 200 OK\r\nServer: shop/1.0 caf\u00e9\r\nDate: ", Latin1.GetString(new StatusLines("shop/1.0 caf\u00e9").LineAndServer(200)),
                        "set, one byte a character");
            Check.Equal("HTTP/1.1 200 OK\r\nDate: ", Latin1.GetString(new StatusLines(null).LineAndServer(200)), "removed");
            Check.Equal("HTTP/1.1 200 OK\r\nDate: ", Latin1.GetString(new StatusLines("").LineAndServer(200)), "removed by an empty value");
            Check.Throws<ArgumentException>(() => new HttpServer(new HttpServerOptions { ServerHeader = "a\r\nX-Injected: 1" }),
                                            "a value that splits the head");
        }

        // The fields as they go out.
        static string Written(HttpResponse r)
        {
            var b = new byte[1024];
            return Latin1.GetString(b, 0, r.PutFields(b, 0));
        }

        // Every way a handler sets a field's value.
        static readonly Action<HttpResponse, string>[] Setters = {
            (r, v) => r.SetHeader("X-Test", v),
            (r, v) => r.AddHeader("X-Test", v),
            (r, v) => r.ContentType = v,
            (r, v) => r.SetHeader("Content-Type", v),
        };

        [Test]
        static void ValuesThatWouldSplitOrBeCutAreRefused()
        {
            string[] refused = {
                "a\r\nX-Injected: 1", "a\rb", "a\nb", "a\0b", "a\u0001b", "a\u001fb", "a\u007fb",
                "a\u010A\u010Db",  // cut to bytes: LF and CR
                "a\u20ACb",
            };
            foreach (string value in refused) {
                for (int i = 0; i < Setters.Length; i++) {
                    HttpResponse r = NewResponse();
                    Check.Throws<ArgumentException>(() => Setters[i](r, value), "setter " + i + " " + Check.Escape(value));
                    Check.Equal("", Written(r), "nothing set by setter " + i + " " + Check.Escape(value));
                }
            }
        }

        [Test]
        static void TabsAndLatin1GoOutAsBytes()
        {
            HttpResponse r = NewResponse();
            r.SetHeader("X-Test", "a\tcaf\u00e9\u00ff");
            Check.Equal("X-Test: a\tcaf\u00e9\u00ff\r\n", Written(r), "HTAB and U+00E9, U+00FF");
        }

        [Test]
        static void NamesAreTokensAndTheServersOwnAreRefused()
        {
            string[] refused = { "", "X Test", "X:Test", "X\r\nY", "X\tY", "Caf\u00e9", "(x)", "Content-Length",
                                 "transfer-encoding", "Connection", "Date", "Server",
                                 // hop-by-hop: the server's to say about its connection
                                 "Upgrade", "keep-alive", "TE", "Trailer", "Proxy-Connection" };
            foreach (string name in refused) {
                HttpResponse r = NewResponse();
                Check.Throws<ArgumentException>(() => r.SetHeader(name, "v"), "SetHeader " + Check.Escape(name));
                Check.Throws<ArgumentException>(() => r.AddHeader(name, "v"), "AddHeader " + Check.Escape(name));
            }
            HttpResponse ok = NewResponse();
            ok.AddHeader("X-a!#$%&'*+-.^_`|~9", "v");
            Check.Equal("X-a!#$%&'*+-.^_`|~9: v\r\n", Written(ok), "every tchar");
        }

        [Test]
        static void EmptyContentTypeIsRefused()
        {
            foreach (string value in new[] { "", " ", "\t " }) {
                HttpResponse r = NewResponse();
                Check.Throws<ArgumentException>(() => r.ContentType = value, "ContentType " + Check.Escape(value));
                Check.Throws<ArgumentException>(() => r.SetHeader("Content-Type", value), "SetHeader " + Check.Escape(value));
                Check.Equal("", Written(r), "nothing set by " + Check.Escape(value));
            }
            HttpResponse none = NewResponse();
            none.ContentType = "a/b";
            none.ContentType = null;
            Check.Equal("", Written(none), "null sends none");
        }

        [Test]
        static void ContentTypeIsOneField()
        {
            HttpResponse r = NewResponse();
            r.SetHeader("content-type", "a/b");
            r.ContentType = "c/d";
            r.AddHeader("Content-Type", "e/f");
            Check.Equal("e/f", r.ContentType, "the shortcut sees the field");
            Check.Equal("Content-Type: e/f\r\n", Written(r), "sent once");
        }

        [Test]
        static void StatusesAreFinalOnes()
        {
            foreach (int status in new[] { 0, 99, 100, 101, 199, 600, 999 })
                Check.Throws<ArgumentOutOfRangeException>(() => NewResponse().StatusCode = status, "status " + status);
            foreach (int status in new[] { 200, 599 }) {
                HttpResponse r = NewResponse();
                r.StatusCode = status;
                Check.Equal(status, r.StatusCode, "status " + status);
            }
        }

        [Test]
        static void NoBodyWith204205And304()
        {
            var body = new byte[] { 1 };
            foreach (int status in new[] { 204, 205, 304 }) {
                HttpResponse before = NewResponse();
                before.StatusCode = status;
                Check.Throws<InvalidOperationException>(() => before.Send(body), status + " then Send");
                Check.Throws<InvalidOperationException>(() => before.Send("x"), status + " then Send(string)");
                Check.Throws<InvalidOperationException>(() => before.WriteAsync(body, 0, 1), status + " then WriteAsync");
                before.Send(new byte[0]);  // an empty body is none
                HttpResponse after = NewResponse();
                after.Send(body);
                Check.Throws<InvalidOperationException>(() => after.StatusCode = status, "Send then " + status);
                Check.Equal(200, after.StatusCode, "status kept after " + status);
            }
        }
    }
}
