// What the TechEmpower test types answer, independent of the server they run on: the count
// parameter's rule, the JSON of World rows and the fortunes page. The vrns application
// (TechEmpower.cs) and the HttpListener peer of the benchmark share it, so the two differ only in
// the server underneath.
using System;
using System.Collections.Generic;
using System.Text;

namespace Vrns.Samples.TechEmpower
{
    public static class Render
    {
        public const int MostQueries = 500;
        public const string JsonType = "application/json";
        public const string HtmlType = "text/html; charset=utf-8";
        public const string TextType = "text/plain";
        public const string AddedFortune = "Additional fortune added at request time.";

        // The queries (or count) parameter: a number clamped to 1..500; missing or not a number: 1.
        public static int QueryCount(string value)
        {
            int n;
            if (value == null || !int.TryParse(value, out n) || n < 1) return 1;
            return n > MostQueries ? MostQueries : n;
        }

        public static string Message(string text)
        {
            var s = new StringBuilder(32);
            s.Append("{\"message\":");
            JsonString(s, text);
            return s.Append('}').ToString();
        }

        public static string World(World w)
        {
            var s = new StringBuilder(40);
            AppendWorld(s, w);
            return s.ToString();
        }

        public static string Worlds(World[] worlds)
        {
            var s = new StringBuilder(2 + worlds.Length * 32);
            s.Append('[');
            for (int i = 0; i < worlds.Length; i++) {
                if (i > 0) s.Append(',');
                AppendWorld(s, worlds[i]);
            }
            return s.Append(']').ToString();
        }

        static void AppendWorld(StringBuilder s, World w)
        {
            s.Append("{\"id\":").Append(w.Id).Append(",\"randomNumber\":").Append(w.RandomNumber).Append('}');
        }

        static void JsonString(StringBuilder s, string value)
        {
            s.Append('"');
            foreach (char ch in value) {
                if (ch == '"' || ch == '\\')
                    s.Append('\\').Append(ch);
                else if (ch < ' ')
                    s.Append("\\u").Append(((int)ch).ToString("x4"));
                else
                    s.Append(ch);
            }
            s.Append('"');
        }

        // The rows from the database plus one added now, sorted by message (ordinal: the order of
        // the UTF-16 code units, which is the order TechEmpower's check expects), as a table.
        public static string FortunesPage(List<Fortune> fortunes)
        {
            fortunes.Add(new Fortune { Id = 0, Message = AddedFortune });
            fortunes.Sort((a, b) => string.CompareOrdinal(a.Message, b.Message));
            var s = new StringBuilder(1600);
            s.Append("<!DOCTYPE html><html><head><title>Fortunes</title></head><body><table>" +
                     "<tr><th>id</th><th>message</th></tr>");
            foreach (Fortune f in fortunes) {
                s.Append("<tr><td>").Append(f.Id).Append("</td><td>");
                HtmlEncode(s, f.Message);
                s.Append("</td></tr>");
            }
            return s.Append("</table></body></html>").ToString();
        }

        // The five characters that matter in HTML text and attribute values, and nothing else:
        // every other character stays as it is, in the page's UTF-8.
        public static void HtmlEncode(StringBuilder s, string text)
        {
            foreach (char ch in text) {
                switch (ch) {
                case '&': s.Append("&amp;"); break;
                case '<': s.Append("&lt;"); break;
                case '>': s.Append("&gt;"); break;
                case '"': s.Append("&quot;"); break;
                case '\'': s.Append("&#39;"); break;
                default: s.Append(ch); break;
                }
            }
        }
    }
}
