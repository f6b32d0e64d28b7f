// A request body's framing: Content-Length bytes, or chunks (sizes in hexadecimal, extensions
// dropped, trailer fields read and dropped), in the native server's grammar: chunk framing takes
// CRLF alone, and an open line is refused only at a limit every ending of it would meet.
// Decodes from the connection's input buffer into the reader's array, or skips the bytes when
// nobody reads them. A malformed chunk gets 400, a body beyond the server's limit 413 (at once
// for a Content-Length, at the chunk that passes it), trailers beyond their limit 431. One per
// connection; not thread-safe.
using System;

namespace Vrns.Http
{
    sealed class BodyDecoder
    {
        enum Step { SizeLine, Data, DataEnd, Trailer, Done }

        // The limits are the native server's, from the one data file both are written from.
        const int MaxSizeLine = HttpGrammar.MaxChunkLineBytes;  // its extensions and CRLF included
        const int MaxTrailerBytes = HttpGrammar.MaxHeaderBytes;  // line endings and blank line included
        const int MaxSizeDigits = HttpGrammar.MaxChunkSizeDigits;

        Step step;
        bool chunked;
        long left;      // bytes of the body (Content-Length) or of the current chunk still to come
        long total;     // body bytes decoded so far
        long limit;     // the most body bytes taken
        int trailerBytes;

        public int Status;  // 400, 413 or 431 once decoding failed

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
            Status = !chunked && contentLength > limit ? 413 : 0;
            left = chunked ? 0 : Math.Max(contentLength, 0);
            step = chunked ? Step.SizeLine : left > 0 ? Step.Data : Step.Done;
        }

        // Decodes from b[pos..used) into dst[at..at+count) (dst null: the bytes are skipped).
        // Returns the body bytes produced; pos moves past what was used. 0 with !Done and
        // !Failed: more input is needed.
        public int Decode(byte[] b, ref int pos, int used, byte[] dst, int at, int count)
        {
            int produced = 0;
            while (step != Step.Done && Status == 0) {
                if (step == Step.Data) {
                    if (count == 0 || pos == used) break;
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
                    if (pos == used || !DataEnd(b, ref pos, used)) break;
                    step = Step.SizeLine;
                    continue;
                }
                int lf = Array.IndexOf(b, (byte)'\n', pos, used - pos);
                if (lf < 0) {
                    OpenLine(used - pos);
                    break;
                }
                if (step == Step.SizeLine)
                    SizeLine(b, pos, lf);
                else
                    TrailerLine(b, pos, lf);
                pos = lf + 1;
            }
            return produced;
        }

        // Exactly CRLF after a chunk's data; any other byte there is refused at once.
        bool DataEnd(byte[] b, ref int pos, int used)
        {
            if (b[pos] != '\r' || pos + 1 < used && b[pos + 1] != '\n') {
                Status = 400;
                return false;
            }
            if (pos + 1 >= used) return false;
            pos += 2;
            return true;
        }

        // An open line over its limit is refused: its LF still to come counts.
        void OpenLine(int open)
        {
            if (step == Step.SizeLine && open + 1 > MaxSizeLine) Status = 400;
            if (step == Step.Trailer && trailerBytes + open + 1 > MaxTrailerBytes) Status = 431;
        }

        // chunk-size [ws] [";" extensions] CRLF (b[lf] is the LF): 1 to 15 hex digits; the
        // extensions are dropped, but must hold no control character.
        void SizeLine(byte[] b, int at, int lf)
        {
            if (lf - at + 1 > MaxSizeLine || lf == at || b[lf - 1] != '\r') {
                Status = 400;  // too long, or a bare LF
                return;
            }
            int end = lf - 1;
            long size = 0;
            int i = at;
            for (; i < end; i++) {
                int digit = HexValue(b[i]);
                if (digit < 0) break;
                if (i - at == MaxSizeDigits) {
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
            if (i < end && (b[i] != ';' || !HeadParser.IsText(b, i, end))) {
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

        // Trailer fields are read and dropped, but must be fields: "name: value" with CRLF.
        void TrailerLine(byte[] b, int at, int lf)
        {
            trailerBytes += lf - at + 1;
            if (trailerBytes > MaxTrailerBytes) {
                Status = 431;
                return;
            }
            if (lf == at || b[lf - 1] != '\r') {
                Status = 400;
                return;
            }
            int end = lf - 1;
            if (end == at) {
                step = Step.Done;
                return;
            }
            int colon = Array.IndexOf(b, (byte)':', at, end - at);
            if (b[at] == ' ' || b[at] == '\t' || colon <= at) {
                Status = 400;
                return;
            }
            for (int i = at; i < colon; i++) {
                if (!HeadParser.IsTokenChar(b[i])) {
                    Status = 400;
                    return;
                }
            }
            if (!HeadParser.IsText(b, colon + 1, end)) Status = 400;
        }

        static int HexValue(byte c)
        {
            if (c >= '0' && c <= '9') return c - '0';
            if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') return (c | 0x20) - 'a' + 10;
            return -1;
        }
    }
}
