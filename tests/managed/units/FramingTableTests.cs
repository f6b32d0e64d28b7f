// The framing table's parse rows through the managed HeadParser and BodyDecoder: each stream fed
// whole and fed a byte at a time (in 4093-byte pieces beyond 64 KiB) must give the row's
// outcomes (and the heads it pins), as the native parser's run of the same rows (tests/framing/framing_test.cpp) must.
using System;
using System.Collections.Generic;
using Vrns.Http.Framing;

namespace Vrns.Http.Units
{
    static class FramingTableTests
    {
        const int ByteByByteMax = 65536;
        const int LargePiece = 4093;

        [Test]
        static void ManagedParsersFrameEveryRowAsTheTableSays()
        {
            string path = Environment.GetEnvironmentVariable("VRNS_FRAMING_TABLE");
            Check.True(path != null, "VRNS_FRAMING_TABLE names the table");
            if (path == null) return;
            var driver = new ParseDriver();
            int parsed = 0;
            foreach (TableRow row in FramingTable.Load(path)) {
                if (row.Parse == null) continue;
                parsed++;
                string what = "framing.table:" + row.Line + " " + row.Name;
                string expected = row.Parse + row.Heads;
                Check.Equal(expected, row.AsPinned(driver.Frame(row.Stream, new int[0], row.BodyLimit)), what + ", fed whole");
                int step = row.Stream.Length <= ByteByByteMax ? 1 : LargePiece;
                var splits = new List<int>();
                for (int at = step; at < row.Stream.Length; at += step) splits.Add(at);
                Check.Equal(expected, row.AsPinned(driver.Frame(row.Stream, splits.ToArray(), row.BodyLimit)),
                            what + ", fed in pieces of " + step);
            }
            Check.True(parsed > 50, "the table lost its rows");
        }
    }
}
