// The differential fuzzer of the two HTTP/1.1 parsers: it mutates the framing table's request
// streams (split points, bytes inserted, replaced and removed, case, whitespace, digits, line
// endings, lines repeated, dropped or swapped, framing words spliced in, streams joined) and
// frames each with the managed HeadParser and BodyDecoder (ParseDriver.cs) and with the native
// server's RequestParser (parse_driver.cpp, through libvrns_framing_native.so), each side fed in
// pieces cut at points of its own. The first difference in a status, the connection's end or a
// body byte, or in a field read from a head (its method, target, version, body, keep-alive or
// Expect), stops it: the stream is saved as a table row (with both outcomes beside it) and the
// exit status is 1. Otherwise it runs for the seconds given and prints what it checked.
//   vrns VrnsFramingFuzz.exe TABLE SECONDS [OUTDIR [SEED]]   (OUTDIR default ".", SEED: the clock)
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Runtime.InteropServices;
using System.Text;

namespace Vrns.Http.Framing
{
    static class FramingFuzz
    {
        // Rows longer than this are left out as seeds: mutating them costs more than it finds.
        const int MaxSeedBytes = 65536;
        const int Batch = 256;
        const int MinRun = 16;

        [DllImport("vrns_framing_native")]
        static extern int vrns_frame_native(byte[] stream, int length, int[] splits, int count, long bodyLimit,
                                            byte[] output, int cap);

        static byte[] nativeOut = new byte[1 << 16];

        static string FrameNative(byte[] stream, int[] splits, long bodyLimit)
        {
            int n = vrns_frame_native(stream, stream.Length, splits, splits.Length, bodyLimit, nativeOut, nativeOut.Length);
            if (n > nativeOut.Length) {
                nativeOut = new byte[n];
                n = vrns_frame_native(stream, stream.Length, splits, splits.Length, bodyLimit, nativeOut, nativeOut.Length);
            }
            return Encoding.ASCII.GetString(nativeOut, 0, n);
        }

        static int Main(string[] args)
        {
            double seconds;
            ulong seed = (ulong)DateTime.UtcNow.Ticks;
            if (args.Length < 2 || !double.TryParse(args[1], out seconds) || args.Length > 3 && !ulong.TryParse(args[3], out seed)) {
                Console.Error.WriteLine("usage: vrns VrnsFramingFuzz.exe TABLE SECONDS [OUTDIR [SEED]]");
                return 2;
            }
            string outDir = args.Length > 2 ? args[2] : ".";
            List<TableRow> rows = FramingTable.Load(args[0]).Where(r => r.Stream.Length <= MaxSeedBytes).ToList();
            var mutator = new Mutator(seed, rows.Select(r => r.Stream).ToArray());
            var driver = new ParseDriver();
            var tally = new Dictionary<string, long>();
            long streams = 0;
            var clock = Stopwatch.StartNew();
            Console.WriteLine("framing fuzz: {0} seed streams, seed {1}, {2} s", rows.Count, seed, seconds);
            while (clock.Elapsed.TotalSeconds < seconds) {
                for (int i = 0; i < Batch; i++) {
                    TableRow row = rows[mutator.Below(rows.Count)];
                    byte[] stream = mutator.Mutate(row.Stream);
                    long limit = mutator.Below(4) == 0 ? 1 + mutator.Below(64) : row.BodyLimit;
                    int[] managedSplits = mutator.Splits(stream.Length), nativeSplits = mutator.Splits(stream.Length);
                    string managed = driver.Frame(stream, managedSplits, limit);
                    string native = FrameNative(stream, nativeSplits, limit);
                    if (managed != native) return Report(outDir, stream, limit, managed, native, managedSplits, nativeSplits);
                    streams++;
                    string last = LastOutcome(managed);
                    long count;
                    tally.TryGetValue(last, out count);
                    tally[last] = count + 1;
                }
            }
            double elapsed = clock.Elapsed.TotalSeconds;
            Console.WriteLine("framing fuzz: {0} streams in {1:F1} s ({2:F0} a second), no difference", streams, elapsed,
                              streams / elapsed);
            Console.WriteLine("framing fuzz: how the streams ended: " +
                              string.Join(", ", tally.OrderByDescending(t => t.Value).Select(t => t.Key + " " + t.Value)));
            return streams > 0 ? 0 : 1;
        }

        // The last outcome's word ("ok", "400", "close", "more"), its body and the heads left out.
        static string LastOutcome(string text)
        {
            int lf = text.IndexOf('\n');
            string outcomes = lf < 0 ? text : text.Substring(0, lf);
            int start = 0, end = 0;
            for (int i = 0; i < outcomes.Length; i++) {
                char c = outcomes[i];
                if (c == ' ') {
                    start = i + 1;
                } else if (c == '(') {
                    end = i;
                    // The body's own quotes are escaped: the first unescaped one closes it.
                    for (i += 2; i < outcomes.Length && outcomes[i] != '"'; i++)
                        if (outcomes[i] == '\\') i++;
                    i++;  // its ')'
                    continue;
                }
                if (c != ' ') end = i + 1;
            }
            return end > start ? outcomes.Substring(start, end - start) : "(nothing)";
        }

        // The difference as a table row, to add to the table once the parsers agree on it.
        static int Report(string outDir, byte[] stream, long limit, string managed, string native, int[] managedSplits,
                          int[] nativeSplits)
        {
            var row = new StringBuilder();
            row.Append("# managed: ").Append(managed.Replace("\n", "\n#   head ")).Append('\n');
            row.Append("# native:  ").Append(native.Replace("\n", "\n#   head ")).Append('\n');
            row.Append("# managed fed in pieces cut at ").Append(string.Join(" ", managedSplits)).Append('\n');
            row.Append("# native fed in pieces cut at ").Append(string.Join(" ", nativeSplits)).Append('\n');
            row.Append("== a difference the fuzzer found\n");
            if (limit > 0) row.Append("limit ").Append(limit).Append('\n');
            row.Append("send  ");
            // Runs of one byte are written as repetitions, so a long target stays readable.
            for (int at = 0; at < stream.Length;) {
                int run = 1;
                while (at + run < stream.Length && stream[at + run] == stream[at]) run++;
                if (run >= MinRun && stream[at] != (byte)'}') {
                    row.Append("\\{").Append(run).Append('*');
                    FramingTable.Escape(row, stream, at, 1);
                    row.Append('}');
                } else {
                    FramingTable.Escape(row, stream, at, run);
                }
                at += run;
            }
            row.Append('\n');
            string path = Path.Combine(outDir, "framing-difference.txt");
            File.WriteAllText(path, row.ToString());
            Console.Error.Write(row.ToString());
            Console.Error.WriteLine("framing fuzz: the parsers differ; the stream is in " + path);
            return 1;
        }
    }

    // Mutations of request streams, from a seeded generator so that a run can be repeated.
    sealed class Mutator
    {
        const int MaxMutations = 4;
        const int MaxStreamBytes = 1 << 17;

        static readonly byte[] Bytes = Encoding.ASCII.GetBytes("\r\n \t:;,=0123456789abcdefxXHT/%*-\"\\");
        static readonly byte[] Odd = { 0, 1, 0x7f, 0x80, 0xff, (byte)'\r', (byte)'\n' };
        static readonly byte[][] Words = new[] {
            "Transfer-Encoding: chunked\r\n", "Content-Length: 5\r\n", "Content-Length: 0\r\n", "Host: x\r\n",
            "Connection: close\r\n", "Connection: keep-alive\r\n", "Expect: 100-continue\r\n", "\r\n", "\r\n\r\n",
            "0\r\n\r\n", "5\r\nhello\r\n", "HTTP/1.0", "HTTP/1.1", "chunked", ";ext=1", "GET / HTTP/1.1\r\n",
            "ffffffffffffffff", "99999999999999999999", "8388609", "gzip, ", "Upgrade: x\r\n", "OPTIONS * ",
            "http://x/", " ", "\t", ":", ",", "\r", "\n",
        }.Select(w => Encoding.ASCII.GetBytes(w)).ToArray();

        readonly byte[][] seeds;
        ulong state;
        byte[] buf = new byte[1024];
        int length;

        public Mutator(ulong seed, byte[][] seeds)
        {
            this.seeds = seeds;
            state = seed | 1;
        }

        // xorshift64*: fast, and the same sequence for the same seed.
        ulong Next()
        {
            state ^= state >> 12;
            state ^= state << 25;
            state ^= state >> 27;
            return state * 2685821657736338717UL;
        }

        public int Below(int n)
        {
            return (int)((Next() >> 33) % (ulong)n);
        }

        // A copy of stream with up to four mutations (none, at times: the row as it is).
        public byte[] Mutate(byte[] stream)
        {
            length = 0;
            Insert(0, stream, 0, stream.Length);
            int n = Below(MaxMutations + 1);
            for (int i = 0; i < n; i++) MutateOnce();
            var result = new byte[length];
            Buffer.BlockCopy(buf, 0, result, 0, length);
            return result;
        }

        // Ascending cut points: none, a few, or (for a short stream) every byte.
        public int[] Splits(int streamLength)
        {
            int kind = Below(8);
            if (streamLength < 2 || kind == 0) return new int[0];
            if (kind == 1 && streamLength <= 512) return Enumerable.Range(1, streamLength - 1).ToArray();
            var cuts = new int[1 + Below(6)];
            for (int i = 0; i < cuts.Length; i++) cuts[i] = 1 + Below(streamLength - 1);
            Array.Sort(cuts);
            return cuts;
        }

        void MutateOnce()
        {
            int at = Below(length + 1);
            switch (Below(12)) {
                case 0: InsertByte(at, Bytes[Below(Bytes.Length)]); break;
                case 1: InsertByte(at, Below(3) == 0 ? Odd[Below(Odd.Length)] : (byte)Below(256)); break;
                case 2: Remove(at, 1 + Below(8)); break;
                case 3: if (at < length) buf[at] = Bytes[Below(Bytes.Length)]; break;
                case 4: FlipCase(at); break;
                case 5: ChangeDigits(at); break;
                case 6: ChangeLineEnding(at); break;
                case 7: ChangeWhitespace(at); break;
                case 8: { byte[] w = Words[Below(Words.Length)]; Insert(at, w, 0, w.Length); break; }
                case 9: RepeatOrDropLine(at); break;
                case 10: SwapLines(at); break;
                case 11: { byte[] s = seeds[Below(seeds.Length)]; Insert(Below(2) == 0 ? length : at, s, 0, Below(s.Length + 1)); break; }
            }
        }

        void Insert(int at, byte[] src, int from, int count)
        {
            if (length + count > MaxStreamBytes) return;
            if (length + count > buf.Length) Array.Resize(ref buf, Math.Max(buf.Length * 2, length + count));
            Buffer.BlockCopy(buf, at, buf, at + count, length - at);
            Buffer.BlockCopy(src, from, buf, at, count);
            length += count;
        }

        void InsertByte(int at, byte b)
        {
            Insert(at, new[] { b }, 0, 1);
        }

        void Remove(int at, int count)
        {
            count = Math.Min(count, length - at);
            Buffer.BlockCopy(buf, at + count, buf, at, length - at - count);
            length -= count;
        }

        // The first byte from at that is one of wanted, or -1.
        int Find(int at, Func<byte, bool> wanted)
        {
            for (int i = at; i < length; i++)
                if (wanted(buf[i])) return i;
            return -1;
        }

        void FlipCase(int at)
        {
            int i = Find(at, c => (c | 0x20) >= 'a' && (c | 0x20) <= 'z');
            if (i >= 0) buf[i] ^= 0x20;
        }

        // A number made longer, shorter or different: limits and overflows live there.
        void ChangeDigits(int at)
        {
            int i = Find(at, c => c >= '0' && c <= '9');
            if (i < 0) return;
            switch (Below(4)) {
                case 0: buf[i] = (byte)('0' + Below(10)); break;
                case 1: for (int n = Below(20); n > 0; n--) InsertByte(i, (byte)('0' + Below(10))); break;
                case 2: Remove(i, 1); break;
                case 3: InsertByte(i, (byte)"0f9-+ "[Below(6)]); break;
            }
        }

        // CRLF made LF, LF made CRLF, a CR alone or a CR doubled.
        void ChangeLineEnding(int at)
        {
            int i = Find(at, c => c == '\n');
            if (i < 0) return;
            bool crlf = i > 0 && buf[i - 1] == '\r';
            switch (Below(4)) {
                case 0: if (crlf) Remove(i - 1, 1); else InsertByte(i, (byte)'\r'); break;
                case 1: buf[i] = (byte)'\r'; break;
                case 2: InsertByte(i, (byte)'\r'); break;
                case 3: Remove(i, 1); break;
            }
        }

        // Whitespace added where it may or may not belong: before a colon, after one, at a
        // line's start or end, doubled between words.
        void ChangeWhitespace(int at)
        {
            int i = Find(at, c => c == ':' || c == ' ' || c == '\n' || c == ';');
            if (i < 0) return;
            byte ws = Below(2) == 0 ? (byte)' ' : (byte)'\t';
            if (buf[i] == ' ' && Below(2) == 0)
                Remove(i, 1);
            else
                InsertByte(i + Below(2), ws);
        }

        // The line bounds around at: [start, end) with end after its LF.
        void LineAt(int at, out int start, out int end)
        {
            start = at;
            while (start > 0 && buf[start - 1] != '\n') start--;
            end = at;
            while (end < length && buf[end] != '\n') end++;
            if (end < length) end++;
        }

        void RepeatOrDropLine(int at)
        {
            if (length == 0) return;
            int start, end;
            LineAt(Math.Min(at, length - 1), out start, out end);
            if (end <= start) return;
            if (Below(2) == 0) {
                Remove(start, end - start);
                return;
            }
            var line = new byte[end - start];
            Buffer.BlockCopy(buf, start, line, 0, line.Length);
            for (int n = 1 + Below(3); n > 0; n--) Insert(end, line, 0, line.Length);
        }

        void SwapLines(int at)
        {
            if (length == 0) return;
            int s1, e1;
            LineAt(Math.Min(at, length - 1), out s1, out e1);
            if (e1 >= length || e1 <= s1) return;
            int s2, e2;
            LineAt(e1, out s2, out e2);
            var first = new byte[e1 - s1];
            Buffer.BlockCopy(buf, s1, first, 0, first.Length);
            Buffer.BlockCopy(buf, s2, buf, s1, e2 - s2);
            Buffer.BlockCopy(first, 0, buf, s1 + e2 - s2, first.Length);
        }
    }
}
