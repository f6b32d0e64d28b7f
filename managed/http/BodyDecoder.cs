// A request body's framing: Content-Length bytes, or chunks (sizes in hexadecimal, extensions
// ignored, trailer fields read and dropped). Decodes from the connection's input buffer into the
// reader's array, or skips the bytes when nobody reads them. A malformed chunk gets 400, a body
// beyond the server's limit 413. One per connection; not thread-safe.
using System;

namespace Vrns.Http
{
    sealed class BodyDecoder
    {
        enum Step { SizeLine, Data, DataEnd, Trailer, Done }

        const int MaxLine = 4096;
        const int MaxTrailerBytes = HeadParser.MaxHeaderBytes;

        Step step;
        bool chunked;
        long left;      // bytes of the body (Content-Length) or of the current chunk still to come
        long total;     // body bytes decoded so far
        long limit;     // the most body bytes taken
        int trailerBytes;

        public int Status;  // 400 or 413 once decoding failed

        public bool Done
        {
            get { return step == Step.Done; }
        }

        public bool Failed
        {
            get { return Status != 0; }
        }

        public void Start(bool isChunked, long contentLength, long maxBytes)
        {
            chunked = isChunked;
            limit = maxBytes;
            total = 0;
            trailerBytes = 0;
            Status = 0;
            left = chunked ? 0 : Math.Max(contentLength, 0);
            step = chunked ? Step.SizeLine : left > 0 ? Step.Data : Step.Done;
        }

        // Decodes from b[pos..used) into dst[at..at+count) (dst null: the bytes are skipped).
        // Returns the body bytes produced; pos moves past what was used. 0 with !Done and
        // !Failed: more input is needed.
        public int Decode(byte[] b, ref int pos, int used, byte[] dst, int at, int count)
        {
            int produced = 0;
            while (step != Step.Done && Status == 0 && pos < used) {
                if (step == Step.Data) {
                    if (count == 0) break;
                    int n = (int)Math.Min(Math.Min(left, used - pos), count);
                    if (dst != null) Buffer.BlockCopy(b, pos, dst, at, n);
                    pos += n;
                    at += n;
                    count -= n;
                    produced += n;
                    left -= n;
                    total += n;
                    if (left == 0) step = chunked ? Step.DataEnd : Step.Done;
                    continue;
                }
                if (step == Step.DataEnd) {
                    if (!LineEnd(b, ref pos, used)) break;
                    step = Step.SizeLine;
                    continue;
                }
                int lf = Array.IndexOf(b, (byte)'\n', pos, used - pos);
                if (lf < 0) {
                    if (used - pos > MaxLine) Status = 400;
                    break;
                }
                int end = lf > pos && b[lf - 1] == '\r' ? lf - 1 : lf;
                if (step == Step.SizeLine)
                    SizeLine(b, pos, end);
                else
                    TrailerLine(pos, end);
                pos = lf + 1;
            }
            return produced;
        }

        // CRLF (or a bare LF) after a chunk's data.
        bool LineEnd(byte[] b, ref int pos, int used)
        {
            if (b[pos] == '\n') {
                pos++;
                return true;
            }
            if (b[pos] != '\r') {
                Status = 400;
                return false;
            }
            if (pos + 1 >= used) return false;
            if (b[pos + 1] != '\n') {
                Status = 400;
                return false;
            }
            pos += 2;
            return true;
        }

        void SizeLine(byte[] b, int at, int end)
        {
            long size = 0;
            int i = at;
            for (; i < end; i++) {
                int digit = HexValue(b[i]);
                if (digit < 0) break;
                if (i - at == 15) {  // a size no body reaches
                    Status = 400;
                    return;
                }
                size = size * 16 + digit;
            }
            if (i == at) {
                Status = 400;
                return;
            }
            while (i < end && (b[i] == ' ' || b[i] == '\t')) i++;
            if (i < end && b[i] != ';') {
                Status = 400;
                return;
            }
            if (size == 0) {
                step = Step.Trailer;
                return;
            }
            if (total + size > limit) {
                Status = 413;
                return;
            }
            left = size;
            step = Step.Data;
        }

        void TrailerLine(int at, int end)
        {
            if (end == at) {
                step = Step.Done;
                return;
            }
            trailerBytes += end - at + 2;
            if (trailerBytes > MaxTrailerBytes) Status = 431;
        }

        static int HexValue(byte c)
        {
            if (c >= '0' && c <= '9') return c - '0';
            if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') return (c | 0x20) - 'a' + 10;
            return -1;
        }
    }
}
