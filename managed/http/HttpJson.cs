// JSON bodies for handlers, as ASP.NET Core's ReadFromJsonAsync and WriteAsJsonAsync:
//
//   var todo = await c.Request.ReadJsonAsync<Todo>();   // 415 or 400 when it is not one
//   await c.Response.WriteJsonAsync(todo);
//
// Reading refuses, with BadHttpRequestException (which the server answers when the handler lets
// it through, as problem details): a Content-Type that is not application/json or a "+json"
// type, or whose charset is not UTF-8 (415); an empty body, malformed JSON, JSON of another shape
// or type than T, and a top-level null (400). The body is read whole first, within the server's
// MaxBodyBytes (413 beyond). See Json for the rules of the conversion.
using System;
using System.Threading.Tasks;

namespace Vrns.Http
{
    public static class HttpJson
    {
        public const string ContentType = "application/json; charset=utf-8";

        public static async Task<T> ReadJsonAsync<T>(this HttpRequest request)
        {
            if (request == null) throw new ArgumentNullException("request");
            CheckMediaType(request.GetHeader("Content-Type"));
            byte[] body = await request.ReadBodyAsync().ConfigureAwait(false);
            if (body.Length == 0) throw new BadHttpRequestException("the request has no JSON body");
            T value;
            try {
                value = Json.Deserialize<T>(body);
            } catch (JsonException e) {
                throw new BadHttpRequestException("the body is not JSON of a " + typeof(T).Name + ": " + e.Message, 400, e);
            }
            if (value == null) throw new BadHttpRequestException("the body is null where a " + typeof(T).Name + " is expected");
            return value;
        }

        // Sets Content-Type (application/json; charset=utf-8) and the body: value as JSON.
        public static Task WriteJsonAsync<T>(this HttpResponse response, T value)
        {
            if (response == null) throw new ArgumentNullException("response");
            byte[] json = Json.Serialize(value);
            response.ContentType = ContentType;
            response.Send(json);
            return Task.CompletedTask;
        }

        // application/json or any type/subtype+json, in UTF-8 (the only charset JSON has).
        static void CheckMediaType(string contentType)
        {
            ParameterizedValue type = ParameterizedValue.Parse(contentType);
            if (type == null) throw new BadHttpRequestException("expected Content-Type application/json", 415);
            string media = type.Value;
            int slash = media.IndexOf('/');
            bool json = string.Equals(media, "application/json", StringComparison.OrdinalIgnoreCase) ||
                        (slash > 0 && media.EndsWith("+json", StringComparison.OrdinalIgnoreCase));
            string charset = type["charset"];
            if (!json || (charset != null && !string.Equals(charset, "utf-8", StringComparison.OrdinalIgnoreCase)))
                throw new BadHttpRequestException("expected Content-Type application/json in UTF-8, not " + contentType, 415);
        }
    }
}
