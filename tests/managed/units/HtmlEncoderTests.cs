// Text put into HTML: the five characters and nothing else.
using System;
using System.Text;

namespace Vrns.Http.Units
{
    static class HtmlEncoderTests
    {
        static readonly string[][] Rows = {
            new[] { "plain", "plain" },
            new[] { "", "" },
            new[] { "a & b", "a &amp; b" },
            new[] { "<script>alert(\"This should not be displayed in a browser alert box.\");</script>",
                    "&lt;script&gt;alert(&quot;This should not be displayed in a browser alert box.&quot;);&lt;/script&gt;" },
            new[] { "aren't", "aren&#39;t" },
            new[] { "&amp;", "&amp;amp;" },  // encoded once more: the encoder does not guess
            // Non-ASCII stays as it is (a UTF-8 page), astral characters and controls included.
            new[] { "フレームワークのベンチマーク", "フレームワークのベンチマーク" },
            new[] { "caf\u00e9 \U0001F600 \u00a0\u2028", "caf\u00e9 \U0001F600 \u00a0\u2028" },
            new[] { "<>&\"'", "&lt;&gt;&amp;&quot;&#39;" },
        };

        [Test]
        static void EscapesTheFiveCharactersOnly()
        {
            foreach (string[] row in Rows) {
                Check.Equal(row[1], HtmlEncoder.Encode(row[0]), Check.Escape(row[0]));
                var b = new StringBuilder("x");
                HtmlEncoder.Encode(b, row[0]);
                Check.Equal("x" + row[1], b.ToString(), "appended: " + Check.Escape(row[0]));
            }
            Check.Equal(null, HtmlEncoder.Encode(null), "null");
        }
    }
}
