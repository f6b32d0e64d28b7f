// Text put into HTML: the five characters that could end an element, an attribute value or a
// character reference (& < > " ') become references, and nothing else changes: non-ASCII text
// stays as it is, for a UTF-8 page (WebUtility.HtmlEncode writes much of it as numeric
// references, which also makes the page larger). Safe in element content and in quoted
// attribute values; not in unquoted attributes, scripts, styles or URLs.
using System.Text;

namespace Vrns.Http
{
    public static class HtmlEncoder
    {
        public static string Encode(string text)
        {
            if (text == null) return null;
            int i = 0;
            while (i < text.Length && !Special(text[i])) i++;
            if (i == text.Length) return text;  // most text has nothing to escape: no copy
            var b = new StringBuilder(text.Length + 16);
            b.Append(text, 0, i);
            Append(b, text, i);
            return b.ToString();
        }

        // Appends text, encoded, to b.
        public static void Encode(StringBuilder b, string text)
        {
            if (text != null) Append(b, text, 0);
        }

        static void Append(StringBuilder b, string text, int from)
        {
            int run = from;
            for (int i = from; i < text.Length; i++) {
                string reference = Reference(text[i]);
                if (reference == null) continue;
                b.Append(text, run, i - run).Append(reference);
                run = i + 1;
            }
            b.Append(text, run, text.Length - run);
        }

        static bool Special(char c)
        {
            return c == '&' || c == '<' || c == '>' || c == '"' || c == '\'';
        }

        static string Reference(char c)
        {
            switch (c) {
                case '&': return "&amp;";
                case '<': return "&lt;";
                case '>': return "&gt;";
                case '"': return "&quot;";
                case '\'': return "&#39;";
                default: return null;
            }
        }
    }
}
