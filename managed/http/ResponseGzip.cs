// The opt-in gzip of handler responses (HttpServerOptions.GzipResponses). A whole body (Send) of
// a compressible media type (text/*, JSON, JavaScript, XML, SVG), at least GzipMinBytes long,
// goes out gzip-compressed with Content-Encoding: gzip when the client accepts gzip (q-values
// honoured, as for StaticFiles' siblings), and every such response says Vary: Accept-Encoding,
// compressed or not. Left as they are: streamed bodies and files, the files StaticFiles sends
// (with validators of their own, or fields made ready; their .gz siblings are the precompressed
// form), 206 and the bodiless statuses, and a response with its own Content-Encoding,
// Content-Range or ETag (a strong tag names one representation). Runs where the handler's Task
// completed, before the request ends.
using System;
using System.IO;
using System.IO.Compression;
using System.Text;

namespace Vrns.Http
{
    static class ResponseGzip
    {
        static readonly string[] CompressibleTypes = {
            "application/json", "application/javascript", "application/xml", "application/xhtml+xml", "image/svg+xml",
        };

        public static void Apply(HttpRequest request, HttpResponse r, int minBytes)
        {
            if (!Applies(r) || r.Length() < minBytes) return;
            r.AddTrustedHeader("Vary", "Accept-Encoding");
            if (!ContentCoding.AcceptsGzip(request.Headers)) return;
            var packed = new MemoryStream();
            using (var gzip = new GZipStream(packed, CompressionLevel.Fastest, true)) {
                if (r.Kind == BodyKind.Text) {
                    byte[] text = Encoding.UTF8.GetBytes(r.BodyText);
                    gzip.Write(text, 0, text.Length);
                } else {
                    gzip.Write(r.BodyBytes, r.BodyOffset, r.BodyCount);
                }
            }
            r.ReplaceBody(packed.GetBuffer(), (int)packed.Length);
            r.AddTrustedHeader("Content-Encoding", "gzip");
        }

        static bool Applies(HttpResponse r)
        {
            if ((r.Kind != BodyKind.Bytes && r.Kind != BodyKind.Text) || r.RawFields != null) return false;
            int status = r.Status;
            if (status == 206 || HttpResponse.BodyForbidden(status)) return false;
            if (r.HasField("Content-Encoding") || r.HasField("Content-Range") || r.HasField("ETag")) return false;
            return IsCompressible(r.ContentTypeValue);
        }

        internal static bool IsCompressible(string contentType)
        {
            if (contentType == null) return false;
            int semicolon = contentType.IndexOf(';');
            string type = (semicolon < 0 ? contentType : contentType.Substring(0, semicolon)).Trim().ToLowerInvariant();
            if (type.StartsWith("text/", StringComparison.Ordinal) || type.EndsWith("+json", StringComparison.Ordinal) ||
                type.EndsWith("+xml", StringComparison.Ordinal))
                return true;
            return Array.IndexOf(CompressibleTypes, type) >= 0;
        }
    }
}
