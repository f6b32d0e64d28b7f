// The incremental UTF-8 check, each text fed whole and split in two at every byte.
using System;
using System.Linq;

namespace Vrns.Http.Units
{
    static class Utf8ValidatorTests
    {
        // Hexadecimal bytes, and whether they are a whole, well-formed text.
        static readonly Tuple<string, bool>[] Rows = {
            Tuple.Create("", true),
            Tuple.Create("48 69", true),
            Tuple.Create("c2 80", true),                // U+0080
            Tuple.Create("df bf", true),
            Tuple.Create("e0 a0 80", true),             // U+0800
            Tuple.Create("e2 82 ac", true),             // the euro sign
            Tuple.Create("ed 9f bf", true),             // U+D7FF
            Tuple.Create("ee 80 80", true),             // U+E000
            Tuple.Create("f0 90 80 80", true),          // U+10000
            Tuple.Create("f4 8f bf bf", true),          // U+10FFFF
            Tuple.Create("80", false),                  // a lone continuation byte
            Tuple.Create("c0 af", false),               // overlong '/'
            Tuple.Create("c1 bf", false),
            Tuple.Create("e0 9f bf", false),            // overlong U+07FF
            Tuple.Create("ed a0 80", false),            // a surrogate
            Tuple.Create("ed bf bf", false),
            Tuple.Create("f0 8f bf bf", false),         // overlong U+FFFF
            Tuple.Create("f4 90 80 80", false),         // above U+10FFFF
            Tuple.Create("f5 80 80 80", false),
            Tuple.Create("ff", false),
            Tuple.Create("e2 82", false),               // cut short at the end
            Tuple.Create("e2 28 a1", false),            // a continuation missing
            Tuple.Create("c2 41", false),
            Tuple.Create("48 e2 82 ac 80", false),
        };

        static bool Valid(byte[] b, int split)
        {
            var v = new Utf8Validator();
            return v.Feed(b, 0, split) && v.Feed(b, split, b.Length - split) && v.Complete;
        }

        [Test]
        static void ChecksAcrossPieces()
        {
            foreach (var row in Rows) {
                byte[] b = row.Item1.Split(new[] { ' ' }, StringSplitOptions.RemoveEmptyEntries)
                               .Select(h => Convert.ToByte(h, 16)).ToArray();
                for (int split = 0; split <= b.Length; split++)
                    Check.Equal(row.Item2, Valid(b, split), "bytes " + row.Item1 + " split at " + split);
            }
        }
    }
}
