// The one validated way to set a response field (SetHeader, AddHeader and ContentType alike),
// and the statuses and bodies a response may have.
using System;
using System.Text;

namespace Vrns.Http.Units
{
    static class ResponseFieldsTests
    {
        static readonly Encoding Latin1 = Encoding.GetEncoding(28591);

        static HttpResponse NewResponse()
        {
            byte[] input = Encoding.ASCII.GetBytes("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
            var head = new HeadParser();
            head.Parse(input, input.Length);
            return new HttpContext(null, null, head, input).TheResponse;
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
