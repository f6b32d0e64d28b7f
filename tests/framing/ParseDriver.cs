// The managed side of the framing table's parse runs: requests framed one after another from a
// byte stream by the library's HeadParser and BodyDecoder, used as the connection uses them (the
// head parsed in place, the body decoded from where it ends, the rest moved to the front for
// the next request), with each request's outcome in the table's canonical text. parse_driver.cpp
// does the same with the native parser; the differential fuzzer compares the two.
using System;
using System.IO;

namespace Vrns.Http.Framing
{
    sealed class ParseDriver
    {
        // The native server's body limit, the managed server's default.
        public const long ServerBodyLimit = HttpGrammar.MaxBodyBytes;

        readonly HeadParser head = new HeadParser();
        readonly BodyDecoder body = new BodyDecoder();
        readonly MemoryStream taken = new MemoryStream();  // the current request's body so far
        readonly byte[] scratch = new byte[4096];
        Outcomes outcomes;
        byte[] input = new byte[1024];
        int used, pos;
        bool inBody;
        long limit, consumed, requestEnd;  // stream offsets: of input[0], after the last whole request

        // The outcomes of stream fed in pieces cut at splits (ascending offsets into it), with
        // bodies limited to bodyLimit bytes (0: the servers' own limit).
        public string Frame(byte[] stream, int[] splits, long bodyLimit)
        {
            outcomes = new Outcomes();
            limit = bodyLimit > 0 ? bodyLimit : ServerBodyLimit;
            used = pos = 0;
            consumed = requestEnd = 0;
            inBody = false;
            head.Reset(0);
            taken.SetLength(0);
            int at = 0;
            for (int i = 0; i <= splits.Length; i++) {
                int end = i < splits.Length ? Math.Min(splits[i], stream.Length) : stream.Length;
                if (end < at) continue;
                if (!Feed(stream, at, end - at)) return outcomes.Text;
                at = end;
            }
            if (requestEnd < stream.Length) Add("more");
            return outcomes.Text;
        }

        // False once the connection would end.
        bool Feed(byte[] stream, int at, int count)
        {
            if (input.Length - used < count) Array.Resize(ref input, Math.Max(input.Length * 2, used + count));
            Buffer.BlockCopy(stream, at, input, used, count);
            used += count;
            while (true) {
                if (!inBody) {
                    HeadResult r = head.Parse(input, used);
                    if (r == HeadResult.NeedMore) return true;
                    if (r == HeadResult.Error) return Stop(head.Status.ToString());
                    body.Start(head.Chunked, head.ContentLength, limit);
                    if (body.Failed) return Stop(body.Status.ToString());
                    outcomes.AddHead(head.Method, input, head.TargetAt, head.TargetLength, head.VersionMajor,
                                     head.VersionMinor, head.Chunked, head.ContentLength, head.KeepAlive, head.Expects100);
                    pos = head.End;
                    inBody = true;
                }
                int n;
                do {
                    n = body.Decode(input, ref pos, used, scratch, 0, scratch.Length);
                    taken.Write(scratch, 0, n);
                } while (n > 0);
                if (body.Failed) return Stop(body.Status.ToString());
                if (!body.Done) return true;
                Add("ok");
                requestEnd = consumed + pos;
                if (!head.KeepAlive) return Stop("close");
                NextRequest();
            }
        }

        // As the connection does: what follows the request moves to the front.
        void NextRequest()
        {
            Buffer.BlockCopy(input, pos, input, 0, used - pos);
            consumed += pos;
            used -= pos;
            pos = 0;
            head.Reset(0);
            inBody = false;
            taken.SetLength(0);
        }

        void Add(string word)
        {
            outcomes.Add(word, taken.GetBuffer(), 0, (int)taken.Length);
            taken.SetLength(0);
        }

        bool Stop(string word)
        {
            Add(word);
            return false;
        }
    }
}
