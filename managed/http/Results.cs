// Results a handler returns instead of writing the response itself, in ASP.NET Core's shape:
//
//   server.Map("GET", "/todos/{id:int}", c => {
//       Todo t = store.Find(c.Request.RouteValues.GetInt32("id"));
//       return t == null ? Results.NotFound() : Results.Ok(t);
//   });
//
// Each is an IResult whose ExecuteAsync writes its status, fields and body into the response. A
// result without a body goes out with Content-Length: 0 (204 with none). JSON bodies are written
// by Json, as application/json; charset=utf-8; problem details as application/problem+json.
using System;
using System.Text;
using System.Threading.Tasks;

namespace Vrns.Http
{
    public interface IResult
    {
        Task ExecuteAsync(HttpContext context);
    }

    public static class Results
    {
        // 200 with value as JSON; without a value, no body.
        public static IResult Ok()
        {
            return new StatusResult(200);
        }

        public static IResult Ok<T>(T value)
        {
            return new JsonResult<T>(200, value, null);
        }

        // 201 with Location (absolute or relative, as given) and value as JSON.
        public static IResult Created<T>(string location, T value)
        {
            if (location == null) throw new ArgumentNullException("location");
            FieldText.CheckValue(location);
            return new JsonResult<T>(201, value, location);
        }

        public static IResult NoContent()
        {
            return new StatusResult(204);
        }

        // 404, no body.
        public static IResult NotFound()
        {
            return new StatusResult(404);
        }

        public static IResult NotFound<T>(T value)
        {
            return new JsonResult<T>(404, value, null);
        }

        // 400, no body.
        public static IResult BadRequest()
        {
            return new StatusResult(400);
        }

        public static IResult BadRequest<T>(T value)
        {
            return new JsonResult<T>(400, value, null);
        }

        public static IResult StatusCode(int statusCode)
        {
            if (statusCode < 200 || statusCode > 599) throw new ArgumentOutOfRangeException("statusCode", "a final status, 200 to 599");
            return new StatusResult(statusCode);
        }

        // RFC 9457 problem details: {"type", "title", "status", "detail"}. Without a type, the
        // type is "about:blank" and the title the status's reason phrase, as RFC 9457 says.
        public static IResult Problem(string detail = null, int statusCode = 500, string title = null, string type = null)
        {
            if (statusCode < 400 || statusCode > 599) throw new ArgumentOutOfRangeException("statusCode", "an error, 400 to 599");
            return new ProblemResult(detail, statusCode, title, type);
        }

        // 302 Found (permanent: 301; preserveMethod: 307, or 308 when permanent too) to url.
        public static IResult Redirect(string url, bool permanent = false, bool preserveMethod = false)
        {
            if (url == null) throw new ArgumentNullException("url");
            FieldText.CheckValue(url);
            int status = preserveMethod ? (permanent ? 308 : 307) : (permanent ? 301 : 302);
            return new StatusResult(status, url);
        }

        public static IResult Json<T>(T value, int statusCode = 200)
        {
            if (statusCode < 200 || statusCode > 599) throw new ArgumentOutOfRangeException("statusCode", "a final status, 200 to 599");
            return new JsonResult<T>(statusCode, value, null);
        }

        // text as UTF-8, text/plain; charset=utf-8 unless contentType says otherwise.
        public static IResult Text(string text, string contentType = null, int statusCode = 200)
        {
            if (text == null) throw new ArgumentNullException("text");
            if (contentType != null) FieldText.CheckValue(contentType);
            return new TextResult(statusCode, text, contentType ?? "text/plain; charset=utf-8");
        }

        // html as UTF-8, text/html; charset=utf-8 (see HtmlEncoder for text put into it).
        public static IResult Html(string html, int statusCode = 200)
        {
            if (html == null) throw new ArgumentNullException("html");
            return new TextResult(statusCode, html, "text/html; charset=utf-8");
        }
    }

    // A status without a body, and a Location for a redirect.
    sealed class StatusResult : IResult
    {
        readonly int status;
        readonly string location;

        public StatusResult(int status, string location = null)
        {
            this.status = status;
            this.location = location;
        }

        public Task ExecuteAsync(HttpContext c)
        {
            c.Response.StatusCode = status;
            if (location != null) c.Response.SetHeader("Location", location);
            return Task.CompletedTask;
        }
    }

    sealed class JsonResult<T> : IResult
    {
        readonly int status;
        readonly T value;
        readonly string location;

        public JsonResult(int status, T value, string location)
        {
            this.status = status;
            this.value = value;
            this.location = location;
        }

        public Task ExecuteAsync(HttpContext c)
        {
            HttpResponse r = c.Response;
            r.StatusCode = status;
            if (location != null) r.SetHeader("Location", location);
            return r.WriteJsonAsync(value);
        }
    }

    sealed class TextResult : IResult
    {
        readonly int status;
        readonly string text, contentType;

        public TextResult(int status, string text, string contentType)
        {
            this.status = status;
            this.text = text;
            this.contentType = contentType;
        }

        public Task ExecuteAsync(HttpContext c)
        {
            HttpResponse r = c.Response;
            r.StatusCode = status;
            r.ContentType = contentType;
            r.Send(text);
            return Task.CompletedTask;
        }
    }

    sealed class ProblemResult : IResult
    {
        readonly string detail, title, type;
        readonly int status;

        public ProblemResult(string detail, int status, string title, string type)
        {
            this.detail = detail;
            this.status = status;
            this.title = title;
            this.type = type;
        }

        public Task ExecuteAsync(HttpContext c)
        {
            ProblemDetails.Write(c.Response, status, detail, title, type);
            return Task.CompletedTask;
        }
    }

    static class ProblemDetails
    {
        public const string ContentType = "application/problem+json";

        // Without a type, "about:blank", whose title is the status's reason phrase (RFC 9457
        // 4.2.1). Members without a value are left out.
        public static void Write(HttpResponse r, int status, string detail, string title, string type)
        {
            var json = new StringBuilder("{\"type\":");
            json.Append(Json.SerializeToString(type ?? "about:blank"));
            if (title == null && type == null) title = StatusText.Reason(status);
            if (title != null) json.Append(",\"title\":").Append(Json.SerializeToString(title));
            json.Append(",\"status\":").Append(status);
            if (detail != null) json.Append(",\"detail\":").Append(Json.SerializeToString(detail));
            json.Append('}');
            r.StatusCode = status;
            r.ContentType = ContentType;
            r.Send(json.ToString());
        }
    }
}
