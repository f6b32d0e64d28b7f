// Reads a request's form from its body stream (ReadAsync only: a synchronous read would block a
// pump worker) by its Content-Type: application/x-www-form-urlencoded or multipart/form-data,
// none or another type refused with 415, a malformed one with 400. Bytes are decoded as they arrive, never the whole body in
// memory: a field is kept up to MaxFieldBytes, a file part in memory up to SpoolThresholdBytes
// and then in a temporary file. What a form keeps in memory (its fields' bytes and the arrays
// grown for them, its file parts not yet spooled) counts against the server's
// MaxBufferedBodyBytes, as ReadBodyAsync's bodies do: past it the read fails with
// BadRequestBodyException(503), and the handler that lets it through answers 503 with
// Retry-After. A malformed body is refused with BadRequestBodyException(400), one over a limit
// with BadRequestBodyException(413); either way whatever was made so far (temporary files and
// the budget's room included) is released before the exception leaves, as it is when the body's
// read fails (the client went away).
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
            return ReadAsync(body, contentType, options, token, null);
        }

        // share: the server's budget, for a request's form (null: none).
        internal static Task<FormCollection> ReadAsync(Stream body, string contentType, FormOptions options,
                                                       CancellationToken token, BudgetShare share)
        {
            if (body == null) throw new ArgumentNullException("body");
            options = options ?? FormOptions.Default;
            if (contentType == null) return Refused(415);
            ParameterizedValue type = ParameterizedValue.Parse(contentType);
            if (type == null) return Refused(400);
            if (string.Equals(type.Value, UrlEncoded, StringComparison.OrdinalIgnoreCase))
                return new UrlEncodedFormReader(body, options, token, share).ReadAsync();
            if (!string.Equals(type.Value, Multipart, StringComparison.OrdinalIgnoreCase)) return Refused(415);
            string boundary = type["boundary"];
            if (!MultipartFormReader.IsBoundary(boundary)) return Refused(400);
            return new MultipartFormReader(body, boundary, options, token, share).ReadAsync();
        }

        static Task<FormCollection> Refused(int status)
        {
            return Task.FromException<FormCollection>(new BadRequestBodyException(status));
        }
    }

    // Pairs split at '&' as the bytes arrive; each pair is kept only until it is decoded. The
    // budget holds each pair's bytes once decoded (its name and value stay in the form), and the
    // pair's array as it grows.
    sealed class UrlEncodedFormReader
    {
        const int ReadSize = 4096;
        const int FirstPairSize = 64;

        readonly Stream body;
        readonly FormOptions options;
        readonly CancellationToken token;
        readonly FormCollection form;
        byte[] pair;
        int pairLength;
        long total;

        public UrlEncodedFormReader(Stream body, FormOptions options, CancellationToken token, BudgetShare share)
        {
            this.body = body;
            this.options = options;
            this.token = token;
            form = new FormCollection(share);
        }

        public async Task<FormCollection> ReadAsync()
        {
            try {
                Hold(FirstPairSize);
                pair = new byte[FirstPairSize];
                var chunk = new byte[ReadSize];
                int n;
                while ((n = await body.ReadAsync(chunk, 0, chunk.Length, token).ConfigureAwait(false)) > 0) {
                    total += n;
                    if (total > options.MaxTotalBytes) throw new BadRequestBodyException(413);
                    Take(chunk, n);
                }
                EndPair();
                return form;
            } catch {
                form.Dispose();
                throw;
            }
        }

        void Hold(long bytes)
        {
            if (form.Share != null) form.Share.Take(bytes);
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
            if (pairLength + count > pair.Length) {
                int size = Math.Max(pair.Length * 2, pairLength + count);
                Hold(size - pair.Length);
                Array.Resize(ref pair, size);
            }
            Buffer.BlockCopy(b, at, pair, pairLength, count);
            pairLength += count;
        }

        void EndPair()
        {
            if (pairLength == 0) return;
            if (form.Pairs == options.MaxParts) throw new BadRequestBodyException(413);
            Hold(pairLength);
            FormUrlEncoding.AddPair(pair, 0, pairLength, form);
            pairLength = 0;
        }
    }
}
