// A request the handler cannot serve as sent: a JSON body that is not JSON of the type asked for
// (400), or of another media type (415), a route value that is not of its type (400). As in
// ASP.NET Core, a handler lets it through and the server answers its status: as problem details
// (RFC 9457, the message as "detail"), on a connection kept open, unless the handler had chosen
// a body or begun streaming. It is never reported as a handler failure.
using System;
using System.IO;

namespace Vrns.Http
{
    public class BadHttpRequestException : IOException
    {
        public readonly int StatusCode;

        public BadHttpRequestException(string message, int statusCode = 400) : base(message)
        {
            if (statusCode < 400 || statusCode > 499) throw new ArgumentOutOfRangeException("statusCode", "a client error, 400 to 499");
            StatusCode = statusCode;
        }

        public BadHttpRequestException(string message, int statusCode, Exception inner) : base(message, inner)
        {
            if (statusCode < 400 || statusCode > 499) throw new ArgumentOutOfRangeException("statusCode", "a client error, 400 to 499");
            StatusCode = statusCode;
        }

        // Makes the answer in response; false when the handler had already chosen a body.
        internal bool TryAnswer(HttpResponse response)
        {
            if (response.Started || response.Kind != BodyKind.None) return false;
            ProblemDetails.Write(response, StatusCode, Message, null, null);
            return true;
        }
    }
}
