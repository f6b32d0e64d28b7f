// The one normalised path: each row a path as sent and what the router and StaticFiles then see
// (or the status that refuses it). The spellings of a guarded prefix are checked end to end in
// ManagedHttp; these rows are the rest of the rules.
using System.Text;

namespace Vrns.Http.Units
{
    static class PathNormalizerTests
    {
        [Test]
        static void PathsAsSentAndAsSeen()
        {
            var rows = new[] {
                // raw, status, normalised
                new { Raw = "/a/b.txt", Status = 0, Path = "/a/b.txt" },
                new { Raw = "", Status = 0, Path = "/" },  // an absolute-form target without a path
                new { Raw = "*", Status = 0, Path = "*" },
                new { Raw = "/a//b///", Status = 0, Path = "/a/b/" },
                new { Raw = "/a/.", Status = 0, Path = "/a/" },
                new { Raw = "/a/./", Status = 0, Path = "/a/" },
                new { Raw = "/a/..", Status = 0, Path = "/" },
                new { Raw = "/a/b/../../c", Status = 0, Path = "/c" },
                new { Raw = "/.../.a/..b", Status = 0, Path = "/.../.a/..b" },
                new { Raw = "/%2e%2E/", Status = 403, Path = "" },
                new { Raw = "/a/../..", Status = 403, Path = "" },
                new { Raw = "/a%2Fb", Status = 400, Path = "" },
                new { Raw = "/%zz", Status = 400, Path = "" },
                new { Raw = "/%4", Status = 400, Path = "" },
                new { Raw = "/a%00", Status = 400, Path = "" },
                // UTF-8, escaped or sent raw; nothing else
                new { Raw = "/caf%C3%A9", Status = 0, Path = "/caf\u00e9" },
                new { Raw = "/caf\u00c3\u00a9", Status = 0, Path = "/caf\u00e9" },
                new { Raw = "/%F0%9F%98%80", Status = 0, Path = "/\U0001F600" },
                new { Raw = "/%E9", Status = 400, Path = "" },           // Latin-1
                new { Raw = "/%C0%AF", Status = 400, Path = "" },        // an overlong '/'
                new { Raw = "/%ED%A0%80", Status = 400, Path = "" },     // a surrogate
                new { Raw = "/%F4%90%80%80", Status = 400, Path = "" },  // past U+10FFFF
                new { Raw = "/%C3", Status = 400, Path = "" },           // cut short
            };
            var latin1 = Encoding.GetEncoding(28591);
            foreach (var row in rows) {
                byte[] raw = latin1.GetBytes("<" + row.Raw + ">");  // the path amid other bytes
                var into = new byte[raw.Length + 1];
                int length;
                int status = PathNormalizer.Normalize(raw, 1, raw.Length - 2, into, out length);
                Check.Equal(row.Status, status, row.Raw + " status");
                if (status == 0) Check.Equal(row.Path, Encoding.UTF8.GetString(into, 0, length), row.Raw);
                // A path taken as sent must be one that normalising leaves as it is.
                if (PathNormalizer.IsNormal(raw, 1, raw.Length - 2))
                    Check.True(status == 0 && row.Path == row.Raw, row.Raw + " taken as sent");
            }
        }
    }
}
