// multipart/form-data (RFC 7578 over RFC 2046), streamed through one buffer. The body is read
// as if it began with CRLF, so every delimiter, the first included, is CRLF "--" boundary; what
// comes before the first one (the preamble) is dropped, and reading stops at the close
// delimiter ("--" after it), so the epilogue is never read. After a delimiter come optional
// spaces or tabs and CRLF, then the part's header lines up to an empty line: a
// Content-Disposition "form-data" with a name is required (a filename parameter makes the part
// a file, an empty one included, as browsers send an empty file input), Content-Type is kept,
// other fields are ignored; header lines are read as UTF-8, as browsers send file names.
// filename* is not supported (RFC 7578 tells senders not to use it): a part that names its
// file only that way is a field. Then the part's bytes up to the next delimiter: a field's kept
// up to MaxFieldBytes, a file's spooled (SpooledContent).
//
// 400: a bad boundary, a body that ends before the close delimiter, a delimiter followed by
// anything but padding and CRLF or "--", a header line without a colon or with a control
// character, a part that is not form-data with a name. 413: more parts than MaxParts, a field
// over MaxFieldBytes, header lines over MaxPartHeaderBytes, a body over MaxTotalBytes.
using System;
using System.IO;
using System.Text;
using System.Threading;
using System.Threading.Tasks;

namespace Vrns.Http
{
    sealed class MultipartFormReader
    {
        const int MaxBoundary = 70;
        const int MinBuffer = 8192;
        const string BoundaryChars = "'()+_,-./:=? ";

        // What a part's header lines said.
        sealed class PartHead
        {
            public string Name, FileName, ContentType;
            public bool HasDisposition;
        }

        readonly Stream body;
        readonly byte[] delimiter;  // CRLF "--" boundary
        readonly FormOptions options;
        readonly CancellationToken token;
        readonly FormCollection form;
        readonly byte[] buffer;
        int start, end, parts;
        long total;

        public MultipartFormReader(Stream body, string boundary, FormOptions options, CancellationToken token,
                                   BudgetShare share)
        {
            form = new FormCollection(share);
            this.body = body;
            this.options = options;
            this.token = token;
            delimiter = Encoding.ASCII.GetBytes("\r\n--" + boundary);
            buffer = new byte[Math.Max(MinBuffer, options.MaxPartHeaderBytes + delimiter.Length + 4)];
        }

        // 1 to 70 characters of DIGIT, ALPHA and "'()+_,-./:=?" or space, not ending in a space.
        public static bool IsBoundary(string s)
        {
            if (string.IsNullOrEmpty(s) || s.Length > MaxBoundary || s[s.Length - 1] == ' ') return false;
            foreach (char c in s) {
                bool alnum = (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
                if (!alnum && BoundaryChars.IndexOf(c) < 0) return false;
            }
            return true;
        }

        public async Task<FormCollection> ReadAsync()
        {
            try {
                buffer[0] = (byte)'\r';
                buffer[1] = (byte)'\n';
                end = 2;
                await CopyToDelimiterAsync(null, 0).ConfigureAwait(false);  // the preamble
                while (await PartFollowsAsync().ConfigureAwait(false)) {
                    if (++parts > options.MaxParts) throw new BadRequestBodyException(413);
                    PartHead head = await ReadHeadAsync().ConfigureAwait(false);
                    await ReadPartAsync(head).ConfigureAwait(false);
                }
                return form;
            } catch {
                form.Dispose();
                throw;
            }
        }

        async Task ReadPartAsync(PartHead head)
        {
            bool isFile = head.FileName != null;
            var content = new SpooledContent(isFile ? options.SpoolThresholdBytes : options.MaxFieldBytes,
                                             isFile ? options.TempDirectory ?? Path.GetTempPath() : null, form.Share);
            if (isFile) form.Files.Add(new FormFile(head.Name, head.FileName, head.ContentType, content));
            await CopyToDelimiterAsync(content, isFile ? long.MaxValue : options.MaxFieldBytes).ConfigureAwait(false);
            if (!isFile) {
                ArraySegment<byte> value = content.Memory;
                form.Add(head.Name, Encoding.UTF8.GetString(value.Array, value.Offset, value.Count));
            }
        }

        // Moves the bytes up to the next delimiter into into (null: drops them), at most limit of
        // them (413 beyond), and consumes the delimiter.
        async Task CopyToDelimiterAsync(SpooledContent into, long limit)
        {
            while (true) {
                int found = IndexOfDelimiter();
                // Without a delimiter, the last delimiter.Length - 1 bytes may begin one.
                int stop = found >= 0 ? found : Math.Max(start, end - delimiter.Length + 1);
                if (into != null) {
                    if (into.Length + stop - start > limit) throw new BadRequestBodyException(413);
                    into.Append(buffer, start, stop - start);
                }
                start = stop;
                if (found >= 0) {
                    start += delimiter.Length;
                    return;
                }
                await FillAsync().ConfigureAwait(false);
            }
        }

        int IndexOfDelimiter()
        {
            int last = end - delimiter.Length;
            for (int i = start; i <= last; i++) {
                i = Array.IndexOf(buffer, delimiter[0], i, last - i + 1);
                if (i < 0) return -1;
                int k = 1;
                while (k < delimiter.Length && buffer[i + k] == delimiter[k]) k++;
                if (k == delimiter.Length) return i;
            }
            return -1;
        }

        // After a delimiter: true when padding and CRLF follow (a part), false for "--" (the end).
        async Task<bool> PartFollowsAsync()
        {
            await EnsureAsync(2).ConfigureAwait(false);
            if (buffer[start] == '-' && buffer[start + 1] == '-') return false;
            while (true) {
                while (start < end && (buffer[start] == ' ' || buffer[start] == '\t')) start++;
                if (start < end) break;
                await FillAsync().ConfigureAwait(false);
            }
            await EnsureAsync(2).ConfigureAwait(false);
            if (buffer[start] != '\r' || buffer[start + 1] != '\n') throw new BadRequestBodyException(400);
            start += 2;
            return true;
        }

        async Task<PartHead> ReadHeadAsync()
        {
            var head = new PartHead();
            int headerBytes = 0;
            while (true) {
                int lf = LineEnd();
                if (lf < 0) {
                    if (headerBytes + end - start > options.MaxPartHeaderBytes) throw new BadRequestBodyException(413);
                    await FillAsync().ConfigureAwait(false);
                    continue;
                }
                int length = lf - 1 - start;
                headerBytes += length + 2;
                if (headerBytes > options.MaxPartHeaderBytes) throw new BadRequestBodyException(413);
                string line = Encoding.UTF8.GetString(buffer, start, length);
                start = lf + 1;
                if (length == 0) break;
                HeaderLine(line, head);
            }
            if (!head.HasDisposition || head.Name == null) throw new BadRequestBodyException(400);
            return head;
        }

        // The index of the LF of a CRLF in the buffer, -1 when there is none yet.
        int LineEnd()
        {
            for (int i = start + 1; i < end; i++) {
                i = Array.IndexOf(buffer, (byte)'\n', i, end - i);
                if (i < 0) return -1;
                if (buffer[i - 1] == '\r') return i;
            }
            return -1;
        }

        static void HeaderLine(string line, PartHead head)
        {
            int colon = line.IndexOf(':');
            if (colon <= 0) throw new BadRequestBodyException(400);
            foreach (char c in line)
                if ((c < ' ' && c != '\t') || c == 0x7f) throw new BadRequestBodyException(400);
            string name = line.Substring(0, colon);
            if (!HttpToken.IsToken(name)) throw new BadRequestBodyException(400);
            string value = line.Substring(colon + 1).Trim(' ', '\t');
            if (string.Equals(name, "Content-Type", StringComparison.OrdinalIgnoreCase)) {
                head.ContentType = value;
                return;
            }
            if (!string.Equals(name, "Content-Disposition", StringComparison.OrdinalIgnoreCase)) return;
            ParameterizedValue disposition = ParameterizedValue.Parse(value);
            if (head.HasDisposition || disposition == null ||
                !string.Equals(disposition.Value, "form-data", StringComparison.OrdinalIgnoreCase))
                throw new BadRequestBodyException(400);
            head.HasDisposition = true;
            head.Name = disposition["name"];
            head.FileName = disposition["filename"];
        }

        async Task EnsureAsync(int count)
        {
            while (end - start < count) await FillAsync().ConfigureAwait(false);
        }

        // Reads more of the body behind what the buffer holds; 400 when the body has ended.
        async Task FillAsync()
        {
            if (start > 0) {
                Buffer.BlockCopy(buffer, start, buffer, 0, end - start);
                end -= start;
                start = 0;
            }
            int n = await body.ReadAsync(buffer, end, buffer.Length - end, token).ConfigureAwait(false);
            if (n == 0) throw new BadRequestBodyException(400);
            total += n;
            if (total > options.MaxTotalBytes) throw new BadRequestBodyException(413);
            end += n;
        }
    }
}
