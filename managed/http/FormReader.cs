// Reads a request's form from its body stream (ReadAsync only: a synchronous read would block a
// pump worker) by its Content-Type: application/x-www-form-urlencoded or multipart/form-data,
// none or another type refused with 415, a malformed one with 400. Bytes are decoded as they arrive, never the whole body in
// memory: a field is kept up to MaxFieldBytes, a file part in memory up to SpoolThresholdBytes
// and then in a temporary file. A malformed body is refused with BadRequestBodyException(400),
// one over a limit with BadRequestBodyException(413); either way whatever was made so far
// (temporary files included) is released before the exception leaves.
using System;
using System.IO;
using System.Threading;
using System.Threading.Tasks;

namespace Vrns.Http
{
    public sealed class FormOptions
    {
        // Fields and files together (urlencoded: pairs).
        public int MaxParts = 1024;
        // A field's value (urlencoded: a whole pair, before decoding).
        public int MaxFieldBytes = 64 << 10;
        // A multipart part's header lines, with the line ends.
        public int MaxPartHeaderBytes = 16 << 10;
        // The body read for the form, preamble and delimiters included.
        public long MaxTotalBytes = 8 << 20;
        // A file part longer than this goes to a temporary file.
        public int SpoolThresholdBytes = 64 << 10;
        // Where temporary files are made (null: Path.GetTempPath(), which honours TMPDIR).
        public string TempDirectory;

        internal static readonly FormOptions Default = new FormOptions();
    }

    public static class FormReader
    {
        public const string UrlEncoded = "application/x-www-form-urlencoded";
        public const string Multipart = "multipart/form-data";

        public static Task<FormCollection> ReadAsync(Stream body, string contentType, FormOptions options,
                                                     CancellationToken token)
        {
            if (body == null) throw new ArgumentNullException("body");
            options = options ?? FormOptions.Default;
            if (contentType == null) return Refused(415);
            ParameterizedValue type = ParameterizedValue.Parse(contentType);
            if (type == null) return Refused(400);
            if (string.Equals(type.Value, UrlEncoded, StringComparison.OrdinalIgnoreCase))
                return new UrlEncodedFormReader(body, options, token).ReadAsync();
            if (!string.Equals(type.Value, Multipart, StringComparison.OrdinalIgnoreCase)) return Refused(415);
            string boundary = type["boundary"];
            if (!MultipartFormReader.IsBoundary(boundary)) return Refused(400);
            return new MultipartFormReader(body, boundary, options, token).ReadAsync();
        }

        static Task<FormCollection> Refused(int status)
        {
            return Task.FromException<FormCollection>(new BadRequestBodyException(status));
        }
    }

    // Pairs split at '&' as the bytes arrive; each pair is kept only until it is decoded.
    sealed class UrlEncodedFormReader
    {
        const int ReadSize = 4096;

        readonly Stream body;
        readonly FormOptions options;
        readonly CancellationToken token;
        readonly FormCollection form = new FormCollection();
        byte[] pair = new byte[64];
        int pairLength;
        long total;

        public UrlEncodedFormReader(Stream body, FormOptions options, CancellationToken token)
        {
            this.body = body;
            this.options = options;
            this.token = token;
        }

        public async Task<FormCollection> ReadAsync()
        {
            var chunk = new byte[ReadSize];
            int n;
            while ((n = await body.ReadAsync(chunk, 0, chunk.Length, token).ConfigureAwait(false)) > 0) {
                total += n;
                if (total > options.MaxTotalBytes) throw new BadRequestBodyException(413);
                Take(chunk, n);
            }
            EndPair();
            return form;
        }

        void Take(byte[] chunk, int n)
        {
            int at = 0;
            while (at < n) {
                int amp = Array.IndexOf(chunk, (byte)'&', at, n - at);
                int stop = amp < 0 ? n : amp;
                Keep(chunk, at, stop - at);
                if (amp < 0) return;
                EndPair();
                at = amp + 1;
            }
        }

        void Keep(byte[] b, int at, int count)
        {
            if (pairLength + count > options.MaxFieldBytes) throw new BadRequestBodyException(413);
            if (pairLength + count > pair.Length) Array.Resize(ref pair, Math.Max(pair.Length * 2, pairLength + count));
            Buffer.BlockCopy(b, at, pair, pairLength, count);
            pairLength += count;
        }

        void EndPair()
        {
            if (pairLength == 0) return;
            if (form.Pairs == options.MaxParts) throw new BadRequestBodyException(413);
            FormUrlEncoding.AddPair(pair, 0, pairLength, form);
            pairLength = 0;
        }
    }
}
